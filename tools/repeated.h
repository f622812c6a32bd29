// Several runs on each side of a comparison: each path's totals in every
// run that has it, for the repeated-run gate and table.
#ifndef TIMETREE_TOOLS_REPEATED_H
#define TIMETREE_TOOLS_REPEATED_H

#include <memory>
#include <string>
#include <vector>

#include "run.h"

namespace timetree_cli {

struct PathTotals {
  std::string path;  // as the folded export writes it
  std::string name;
  int depth = 0;
  std::vector<double> base, next;  // a total per run that has the path
};

// Every path of any run, in the order of first appearance (base runs
// first), with its totals.
std::vector<PathTotals> GatherTotals(const std::vector<std::unique_ptr<Run>>& base,
                                     const std::vector<std::unique_ptr<Run>>& next);

// The runs at paths (files), read.
std::vector<std::unique_ptr<Run>> ReadRuns(const std::vector<std::string>& paths);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_REPEATED_H
