#include "stopwatch/ticks.h"

#include <ctime>

#include "stopwatch/StopWatch.h"

namespace timetree {

TickReader g_tickOverride = nullptr;

namespace {
double g_overrideFrequency = 0.0;
}  // namespace

int64_t ReadClockTicks() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double TickFrequency() {
  if (g_tickOverride != nullptr) return g_overrideFrequency;
  return 1e9;
}

void SetTickSourceForTesting(TickReader reader, double frequency) {
  g_tickOverride = reader;
  g_overrideFrequency = reader != nullptr ? frequency : 0.0;
  StopWatch::m_frequency = g_overrideFrequency;
}

}  // namespace timetree
