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

#include <cstddef>
#include <cstdint>

#include "include/StopWatch.h"
#include "stopwatch/atomics.h"
#include "stopwatch/ticks.h"

namespace timetree {

struct StopWatchAccess {
  // Where a call site's inline path finds the watch's fields.
  static constexpr size_t kStartOffset = offsetof(StopWatch, start_);
  static constexpr size_t kElapsedOffset = offsetof(StopWatch, elapsed_);
  static constexpr size_t kRunningOffset = offsetof(StopWatch, running_);

  // A host's watch: its 32-bit count stops at the largest int rather than
  // wrap to a negative count.
  static void Start(StopWatch& w) {
    StoreRelaxed(w.running_, 1);
    StoreRelaxed(w.count_, w.count_ + (w.count_ != INT32_MAX ? 1 : 0));
    // Read last, so that the bookkeeping above is outside the interval.
    StoreRelaxed(w.start_, ReadTicks());
  }

  // A timer of the tree: its watch's own count stays 0, and count, the
  // timer's exact 64-bit count, is raised instead.
  static void Start(StopWatch& w, int64_t& count) {
    StoreRelaxed(w.running_, 1);
    StoreRelaxed(count, count + 1);
    StoreRelaxed(w.start_, ReadTicks());
  }

  static double Stop(StopWatch& w) {
    const int64_t start = w.start_;
    return static_cast<double>(StopAt(w) - start);
  }

  // Stops w and returns the counter's reading at the stop.
  static int64_t StopAt(StopWatch& w) {
    // Read first, before any work of the stop itself.
    const int64_t now = ReadTicks();
    // The full 64-bit difference: a wrap of the counter's low 32 bits
    // during the interval does not matter.
    const double interval = static_cast<double>(now - w.start_);
    StoreRelaxed(w.running_, 0);
    StoreRelaxed(w.elapsed_, w.elapsed_ + interval);
    return now;
  }

  // Ends a running interval at now, as a stop at that reading would, by the
  // watch's owner or for a thread that has gone.
  static void EndAt(StopWatch& w, int64_t now) {
    if (w.running_ == 0) return;
    StoreRelaxed(w.elapsed_, w.elapsed_ + static_cast<double>(now - w.start_));
    StoreRelaxed(w.running_, 0);
  }

  static int64_t StartTicks(const StopWatch& w) { return w.start_; }
  static int64_t LoadStartTicks(const StopWatch& w) { return LoadRelaxed(w.start_); }

  static double& Elapsed(StopWatch& w) { return w.elapsed_; }
  static bool Running(const StopWatch& w) { return w.running_ != 0; }
  static void SetRunning(StopWatch& w) { w.running_ = 1; }

  // Adds from's total to to's: the sums of the flat report and of merging
  // by path. from is read atomically, as another thread may be running it.
  static void AddInto(StopWatch& to, const StopWatch& from) { to.elapsed_ += LoadElapsed(from); }

  // Tests reach a count near its limit without billions of starts.
  static void SetCountForTesting(StopWatch& w, int32_t count) { w.count_ = count; }

  // Reads of a watch that another thread may be running.
  static double LoadElapsed(const StopWatch& w) { return LoadRelaxed(w.elapsed_); }
  static bool LoadRunning(const StopWatch& w) { return LoadRelaxed(w.running_) != 0; }
};

}  // namespace timetree

#endif  // TIMETREE_STOPWATCH_ACCESS_H
