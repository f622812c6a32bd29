// Internal access to a StopWatch: the start and stop edges inlined into the
// timer registry's own measured path, and the count and total that the flat
// report sums.
//
// A timer's watch is written by the one thread that owns it while reports on
// other threads read it, so the edges store each field atomically (plain
// stores on x86-64) and readers of another thread's timers use the Load
// functions; each value read is then one that was written, never torn.
#ifndef TIMETREE_STOPWATCH_ACCESS_H
#define TIMETREE_STOPWATCH_ACCESS_H

#include "stopwatch/StopWatch.h"
#include "stopwatch/atomics.h"
#include "stopwatch/ticks.h"

namespace timetree {

struct StopWatchAccess {
  static void Start(StopWatch& w) {
    StoreRelaxed(w.running_, 1);
    StoreRelaxed(w.count_, w.count_ + 1);
    // Read last, so that the bookkeeping above is outside the interval.
    StoreRelaxed(w.start_, ReadTicks());
  }

  static double Stop(StopWatch& w) {
    // Read first, before any work of the stop itself.
    const int64_t now = ReadTicks();
    // The full 64-bit difference: a wrap of the counter's low 32 bits
    // during the interval does not matter.
    const double interval = static_cast<double>(now - w.start_);
    StoreRelaxed(w.running_, 0);
    StoreRelaxed(w.elapsed_, w.elapsed_ + interval);
    return interval;
  }

  static int32_t& Count(StopWatch& w) { return w.count_; }
  static double& Elapsed(StopWatch& w) { return w.elapsed_; }
  static bool Running(const StopWatch& w) { return w.running_ != 0; }
  static void SetRunning(StopWatch& w) { w.running_ = 1; }

  // Adds from's count and total to to's: the sums of the flat report and of
  // merging by path. from is read atomically, as another thread may be
  // running it; the count wraps, rather than overflows, past INT_MAX.
  static void AddInto(StopWatch& to, const StopWatch& from) {
    to.count_ = static_cast<int32_t>(static_cast<uint32_t>(to.count_) +
                                     static_cast<uint32_t>(LoadCount(from)));
    to.elapsed_ += LoadElapsed(from);
  }

  // Reads of a watch that another thread may be running.
  static int32_t LoadCount(const StopWatch& w) { return LoadRelaxed(w.count_); }
  static double LoadElapsed(const StopWatch& w) { return LoadRelaxed(w.elapsed_); }
  static bool LoadRunning(const StopWatch& w) { return LoadRelaxed(w.running_) != 0; }
};

}  // namespace timetree

#endif  // TIMETREE_STOPWATCH_ACCESS_H
