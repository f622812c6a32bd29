// StopWatch: an accumulating stopwatch on a monotonic 64-bit tick counter.
//
// Hosts embed and copy StopWatch objects, so the instance layout is part of
// the library's binary interface: four fields, in this order, 32 bytes on
// x86-64. No operation takes a lock; use one watch from one thread at a time
// (different watches on different threads at once are fine, and so is the
// shared m_frequency).
#ifndef TIMETREE_STOPWATCH_H
#define TIMETREE_STOPWATCH_H

#include <cstdint>

#include "timetree_export.h"

namespace timetree {
struct StopWatchAccess;
}

class TIMETREE_API StopWatch {
 public:
  // count 0, elapsed 0.0, not running; there is no start reading until the
  // first StartTimer.
  StopWatch();
  StopWatch(const StopWatch&) = default;
  // Does nothing.
  ~StopWatch();
  // Copies every field, the start reading and the running flag included.
  StopWatch& operator=(const StopWatch& other);

  // Counts one more start and reads the counter, last of all, so that the
  // bookkeeping is not part of the interval. On a running watch it simply
  // restarts the interval.
  void StartTimer();
  // Reads the counter first of all, adds the interval to the total and
  // returns it in counter ticks (not seconds). Does not check that the watch
  // runs. REQUIRES: StartTimer was called at least once.
  double StopTimer();
  // Seconds accumulated over the finished intervals; a running interval is
  // not included.
  double GetElapsedTime();
  // Returns what GetElapsedTime returned before, then sets the total and the
  // count to 0 and the watch to not running.
  double ResetElapsedTime();
  // Number of StartTimer calls since construction or the last reset.
  int GetCount();
  // Writes one line "| label | count | seconds | average |\n" to console, a
  // FILE* passed as void*, and flushes it. A null console writes nothing; a
  // null label prints as empty; an idle watch averages 0.000000. The line is
  // written whole whatever the length of the label.
  void Print(const char* label, void* console);

  // Counter ticks per second, shared by every watch; 0.0 until the first call
  // that converts ticks to seconds fills it. The library fills it safely from
  // any number of threads; a host that reads it directly while another thread
  // may be filling it should first convert on its own thread (GetElapsedTime),
  // after which the value never changes.
  static double m_frequency;

 private:
  friend struct timetree::StopWatchAccess;

  int32_t count_;    // starts since construction or the last reset
  int64_t start_;    // counter reading of the last StartTimer
  double elapsed_;   // accumulated ticks of all finished intervals
  int32_t running_;  // 1 between StartTimer and StopTimer/reset
};

#endif  // TIMETREE_STOPWATCH_H
