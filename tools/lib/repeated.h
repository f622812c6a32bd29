// Several runs on each side of a comparison: each path's totals in every
// run that has it, for the repeated-run gate and table.
#ifndef TIMETREE_TOOLS_LIB_REPEATED_H
#define TIMETREE_TOOLS_LIB_REPEATED_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "lib/run.h"

namespace timetree_cli {

// A path, by its last name (as the folded export writes it) under its
// parent's entry: the whole path is spelt out only where it is printed, so
// that deep trees take memory in proportion to their timers.
struct PathTotals {
  std::string name;     // as the run has it
  std::string folded;   // as the folded export writes it
  int depth = 0;
  size_t parent = static_cast<size_t>(-1);  // none at the top
  std::vector<double> base, next;  // a total per run that has the path
};

// Every path of any run, in the order of first appearance (base runs
// first), parents before children, with its totals. Paths are the same
// when their names are.
std::vector<PathTotals> GatherTotals(const std::vector<std::unique_ptr<Run>>& base,
                                     const std::vector<std::unique_ptr<Run>>& next);

// The path of paths[i] as the folded export writes it ("outer;inner").
std::string FoldedPathOf(const std::vector<PathTotals>& paths, size_t i);

// The entries of a folded path: none, one, or several when names that
// fold alike ("a b" and "a_b") make it ambiguous.
std::vector<size_t> FindFoldedPath(const std::vector<PathTotals>& paths, const std::string& path);

// The runs at paths (files), read.
std::vector<std::unique_ptr<Run>> ReadRuns(const std::vector<std::string>& paths);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_REPEATED_H
