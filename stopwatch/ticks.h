// The library's tick source: a monotonic 64-bit counter of fixed frequency,
// read once at each edge of a measured interval.
//
// Where the processor has an invariant time-stamp counter (x86-64, CPUID
// says so) the counter is read directly with rdtsc, which costs a fraction
// of a clock_gettime call; its frequency is found by comparing it with
// CLOCK_MONOTONIC between library load and the first frequency query.
// Elsewhere, or when TIMETREE_CLOCK=monotonic is set at load, the counter is
// CLOCK_MONOTONIC in nanoseconds.
#ifndef TIMETREE_STOPWATCH_TICKS_H
#define TIMETREE_STOPWATCH_TICKS_H

#include <cstdint>
#include <ctime>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace timetree {

enum class TickMode : int { kTsc = 0, kMonotonic = 1, kOverride = 2 };

using TickReader = int64_t (*)();

// One load decides the source on every read.
extern TickMode g_tickMode;
extern TickReader g_tickOverride;

inline int64_t MonotonicNanoseconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t ReadTicks() {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_expect(g_tickMode == TickMode::kTsc, 1)) {
    return static_cast<int64_t>(__rdtsc());
  }
#endif
  if (g_tickMode == TickMode::kOverride) return g_tickOverride();
  return MonotonicNanoseconds();
}

// Ticks per second of ReadTicks. For the time-stamp counter the first call
// may wait until 10 ms have passed since load, so that the measurement is
// accurate; later calls return the same value at once.
double TickFrequency();

// The epoch of the call sites' records (include/timetree_site.h): raised by
// every change after which a record filled before may no longer be used (of
// the tick source, here; of a tree's timers or of the thread owning one, in
// the registry). Records compare it with the value they were filled at.
extern uint64_t g_siteEpoch;
inline void RaiseSiteEpoch() { __atomic_fetch_add(&g_siteEpoch, 1, __ATOMIC_RELEASE); }

// Counter readings as CLOCK_MONOTONIC nanoseconds: ns = ns0 + (ticks -
// ticks0) * nsPerTick. For the time-stamp counter the rate is measured over
// the whole time since load (at least 10 ms), which keeps readings taken
// hours apart within a few microseconds of the clock. origin is the
// library's load on that clock. A test counter maps to nanoseconds by its
// frequency, from 0.
struct TickClock {
  int64_t ticks0;
  int64_t ns0;
  double nsPerTick;
  int64_t origin;
};
TickClock MonotonicTickClock();

// Whether the processor reports an invariant time-stamp counter.
bool HasInvariantTsc();

// Which source is in use: "tsc" or "monotonic" (or "test").
const char* TickSourceName();

// Chooses the source as at load: the time-stamp counter when use_tsc and
// the processor has an invariant one, otherwise CLOCK_MONOTONIC. Restarts
// the frequency measurement and empties StopWatch::m_frequency.
void SelectTickSource(bool use_tsc);

// Replaces the counter with reader and its frequency with frequency, also in
// StopWatch::m_frequency; a null reader restores the source chosen at load
// and leaves m_frequency to be filled again at its next use.
void SetTickSourceForTesting(TickReader reader, double frequency);

}  // namespace timetree

#endif  // TIMETREE_STOPWATCH_TICKS_H
