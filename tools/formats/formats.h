// The formats of other tools that 'timetree convert' writes, one file
// each. Each writer walks the tree without recursion, so any depth works; a
// combined file gives each path's mean over its sources (counts summed).
#ifndef TIMETREE_TOOLS_FORMATS_FORMATS_H
#define TIMETREE_TOOLS_FORMATS_FORMATS_H

#include <string>

#include "lib/run.h"
#include "runformat/text.h"

namespace timetree_cli {

// Formats that name each path in full (pprof's and speedscope's stacks,
// benchmark's series) stop at this depth: the levels below a timer at it
// are summed into one frame or series of this name under it, so that a
// tree of any depth converts in time and memory in proportion to its
// timers (a path of a million levels would otherwise be written a million
// times).
constexpr int kDeepest = 128;
constexpr char kDeeper[] = "(deeper levels)";

// Counter i of TIMETREE_COUNTERS (runformat's kCounterNames) of node, per
// source as the formats give times: a combined file's sum over its sources
// divided by them, the peak as it is (the highest).
inline double CounterPerSource(const Node& node, int i) {
  if (i == timetree::combined::kPeakCounter || node.sources <= 1) return node.counters[i];
  return node.counters[i] / static_cast<double>(node.sources);
}

// pprof: a gzip-compressed profile.proto (pprof.cpp).
std::string Pprof(const Run& run);

// Hatchet's literal format: a list of roots, each a frame with its metrics
// (self and inclusive seconds, count, the counters) and children
// (hatchet.cpp).
std::string Hatchet(const Run& run);

// Caliper's json-split form, as Hatchet and Thicket read it (caliper.cpp).
std::string CaliperSplit(const Run& run);

// For CI benchmark dashboards: each path's mean time per start
// (benchmark.cpp).
std::string Benchmark(const Run& run);

// speedscope's file format (speedscope.cpp).
std::string Speedscope(const Run& run);

// Appends text as a JSON string, quotes included.
inline void AppendQuoted(std::string& out, const std::string& text) {
  out += '"';
  timetree::AppendJsonString(out, text.c_str());
  out += '"';
}

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_FORMATS_FORMATS_H
