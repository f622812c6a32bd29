// Internal access to a StopWatch's count and total, for the flat report that
// sums watches of the same name.
#ifndef TIMETREE_STOPWATCH_ACCESS_H
#define TIMETREE_STOPWATCH_ACCESS_H

#include "stopwatch/StopWatch.h"

namespace timetree {

struct StopWatchAccess {
  static int32_t& Count(StopWatch& w) { return w.count_; }
  static double& Elapsed(StopWatch& w) { return w.elapsed_; }
  static bool Running(const StopWatch& w) { return w.running_ != 0; }
};

}  // namespace timetree

#endif  // TIMETREE_STOPWATCH_ACCESS_H
