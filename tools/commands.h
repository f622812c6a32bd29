// The subcommands of the timetree command. Each returns the exit status:
// 0 all holds, 1 a difference or a limit exceeded, 2 trouble (bad input,
// a file that cannot be read or written). Bad input throws InputError,
// which main reports.
#ifndef TIMETREE_TOOLS_COMMANDS_H
#define TIMETREE_TOOLS_COMMANDS_H

#include <ostream>
#include <string>
#include <vector>

namespace timetree_cli {

struct ShowOptions {
  std::string run;
  double min_share = 0;  // percent
  bool threads = false;
  std::string sort;      // total, self, count, name; empty: the tree's order
  int depth = 1 << 30;   // levels shown
  bool seconds = false;  // plain seconds rather than a unit per value
  bool no_metadata = false;
  bool all = false;      // a thread's rows of a path it adopted, too
};
int Show(const ShowOptions& options, std::ostream& out, std::ostream& err);

struct DiffOptions {
  std::string base, next;
  // Several runs a side (--base, --new): medians, and the p-value where
  // each side has three or more.
  std::vector<std::string> base_runs, next_runs;
  std::string sort = "path";  // the tree's order, or "change"
  double threshold = 0;       // percent
  double min_seconds = 0;
  bool paths = false;         // whole paths rather than an indented tree
  bool seconds = false;
  bool exit_code = false;     // exit 1 when a shown path differs
};
int Diff(const DiffOptions& options, std::ostream& out);

struct CheckOptions {
  std::vector<std::string> runs;     // the new runs
  std::string budget;
  std::vector<std::string> against;  // the base runs
  double alpha = 0.05;               // with 3 or more runs a side
  double max_regression = -1;  // percent; below 0: not given
  double min_seconds = 0;
  bool seconds = false;
};
int Check(const CheckOptions& options, std::ostream& out);

struct MergeOptions {
  std::vector<std::string> runs;
  std::string output;
};
int Merge(const MergeOptions& options);

struct FlameOptions {
  std::vector<std::string> runs;  // one, or base and new with diff
  bool diff = false;
  double threshold = 1;  // percent of change drawn grey
  std::string output;
};
int Flame(const FlameOptions& options);

int Folded(const std::string& run, std::ostream& out);

struct HtmlOptions {
  std::vector<std::string> runs;  // one, or base and new with diff
  bool diff = false;
  std::string output;
};
int Html(const HtmlOptions& options);

struct ConvertOptions {
  std::string run;
  std::string to;      // pprof, hatchet, caliper-json-split, benchmark, speedscope
  std::string output;  // "-": standard output
};
int Convert(const ConvertOptions& options, std::ostream& out);

struct TraceOptions {
  std::string trace;
  bool seconds = false;
};
// A timeline's summary: per thread, its events, span, busy time and busiest
// path.
int Trace(const TraceOptions& options, std::ostream& out);

// Writes text to path whole; throws InputError naming path when it cannot.
void WriteFile(const std::string& path, const std::string& text);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_COMMANDS_H
