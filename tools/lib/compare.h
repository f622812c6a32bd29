// Two runs side by side, path by path: what diff, check and the
// differential flame graph compare.
#ifndef TIMETREE_TOOLS_LIB_COMPARE_H
#define TIMETREE_TOOLS_LIB_COMPARE_H

#include <ostream>
#include <string>
#include <vector>

#include "lib/run.h"

namespace timetree_cli {

constexpr size_t kNoParent = static_cast<size_t>(-1);

struct Compared {
  std::string name;
  size_t parent = kNoParent;  // the parent's row, before this one
  int depth = 0;
  bool in_base = false, in_next = false;
  double base = 0, next = 0;  // mean totals, 0 where the path is missing
  const Node* next_node = nullptr;

  double Change() const { return next - base; }
  // The change in percent of the base: infinite for a path new in next or
  // grown from 0.
  double Percent() const;
};

// Every path of either run, in tree order: base's paths in base's order,
// each followed by the paths that next adds under it.
std::vector<Compared> CompareRuns(const Run& base, const Run& next);

// What diff and check compare: the wall time (total_seconds, the default)
// or a counter of TIMETREE_COUNTERS, by its JSON name. Not the resident
// set's growth, which may be below 0, where a percentage of the base means
// nothing.
extern const std::vector<std::string> kMetrics;
// Puts the metric in each timer's total of run (read from file), so that
// the comparison judges it as it judges time: a path's sum over its
// sources (a peak: the highest, times the sources, so that the mean is
// it). A file without the counter cannot be judged by it.
void UseMetric(Run& run, const std::string& file, const std::string& metric);
// What the metric's figures are in: "seconds", "bytes", or its name.
std::string MetricUnit(const std::string& metric);
// A figure of the metric: a time as Duration gives it (with_unit:
// DurationWithUnit), bytes as BytesText, a count as CountText; signed: with
// a sign (exactly 0 has none).
std::string MetricText(const std::string& metric, double value, bool plain, bool with_unit,
                       bool sign = false);

// The path of rows[row] as FoldedPath writes it ("outer;inner"). Spelt out
// only where it is printed, so that a deep tree's rows take memory in
// proportion to its depth, not its square.
std::string PathOf(const std::vector<Compared>& rows, size_t row);

// Warns on err, one line per key, where the metadata of two runs differ in
// a key that makes runs unlike in a way that can change their timings
// (host, cpu, os, clock, timetree_version, threads, ranks, and arguments
// other than where the program writes), saying why it matters, so that a
// comparison of unlike runs is seen. Nothing when either run has no
// metadata.
void WarnUnlike(const Run& base, const Run& next, std::ostream& err);

// Percent as the tools print it: "+12.5%", "new", "gone".
std::string PercentText(const Compared& row);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_COMPARE_H
