// The library's tick source: a monotonic 64-bit counter of fixed frequency,
// read once at each edge of a measured interval.
#ifndef TIMETREE_STOPWATCH_TICKS_H
#define TIMETREE_STOPWATCH_TICKS_H

#include <cstdint>

namespace timetree {

using TickReader = int64_t (*)();

// Non-null only while a test drives the counter with exact values.
extern TickReader g_tickOverride;

int64_t ReadClockTicks();

inline int64_t ReadTicks() {
  if (__builtin_expect(g_tickOverride != nullptr, 0)) return g_tickOverride();
  return ReadClockTicks();
}

// Ticks per second of ReadTicks.
double TickFrequency();

// Replaces the counter with reader and its frequency with frequency, also in
// StopWatch::m_frequency; a null reader restores the real counter and leaves
// m_frequency to be filled again at its next use.
void SetTickSourceForTesting(TickReader reader, double frequency);

}  // namespace timetree

#endif  // TIMETREE_STOPWATCH_TICKS_H
