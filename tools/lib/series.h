// A timer's series over its loop's steps, as the command reads it: the
// median step, the slowest steps with the children that took their time,
// and a one-line picture of the whole series.
#ifndef TIMETREE_TOOLS_LIB_SERIES_H
#define TIMETREE_TOOLS_LIB_SERIES_H

#include <ostream>
#include <string>
#include <vector>

#include "runformat/combined.h"

namespace timetree_cli {

// The median of a series' steps: of each point's mean step (its seconds
// over the steps it covers); 0 for none.
double SeriesMedian(const timetree::SeriesPoints<double>& series);

// The timers of run named name (whole) that keep a series, in the tree's
// order.
std::vector<const timetree::combined::Node*> SeriesTimers(const timetree::combined::Run& run,
                                                          const std::string& name);

// Writes node's series: its steps, the slowest (up to slowest of them) with
// what its children took in each, and a line of at most columns marks.
void WriteSeries(const timetree::combined::Node& node, int slowest, size_t columns, bool plain,
                 std::ostream& out);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_SERIES_H
