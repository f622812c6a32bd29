// Internal access to a StopWatch: the start and stop edges inlined into the
// timer registry's own measured path, and the count and total that the flat
// report sums.
#ifndef TIMETREE_STOPWATCH_ACCESS_H
#define TIMETREE_STOPWATCH_ACCESS_H

#include "stopwatch/StopWatch.h"
#include "stopwatch/ticks.h"

namespace timetree {

struct StopWatchAccess {
  static void Start(StopWatch& w) {
    w.running_ = 1;
    ++w.count_;
    // Read last, so that the bookkeeping above is outside the interval.
    w.start_ = ReadTicks();
  }

  static double Stop(StopWatch& w) {
    // Read first, before any work of the stop itself.
    const int64_t now = ReadTicks();
    // The full 64-bit difference: a wrap of the counter's low 32 bits
    // during the interval does not matter.
    const double interval = static_cast<double>(now - w.start_);
    w.running_ = 0;
    w.elapsed_ += interval;
    return interval;
  }

  static int32_t& Count(StopWatch& w) { return w.count_; }
  static double& Elapsed(StopWatch& w) { return w.elapsed_; }
  static bool Running(const StopWatch& w) { return w.running_ != 0; }
};

}  // namespace timetree

#endif  // TIMETREE_STOPWATCH_ACCESS_H
