#include "stopwatch/ticks.h"

#include <time.h>

#include <cstdlib>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <mutex>

#include "include/StopWatch.h"
#include "stopwatch/atomics.h"

namespace timetree {

TickMode g_tickMode = TickMode::kMonotonic;
uint64_t g_siteEpoch = 1;
TickReader g_tickOverride = nullptr;

namespace {

// The frequency measurement needs at least this long a span of both clocks.
constexpr int64_t kMinCalibrationNs = int64_t{10} * 1000 * 1000;

TickMode g_loadMode = TickMode::kMonotonic;
double g_overrideFrequency = 0.0;
double g_tscFrequency = 0.0;

// One reading of both clocks at (nearly) the same instant.
struct Anchor {
  int64_t tsc;
  int64_t ns;
};
Anchor g_loadAnchor{0, 0};

#if defined(__x86_64__) || defined(__i386__)
// The counter reading is the midpoint of two rdtsc around the clock read;
// of a few tries the tightest pair is kept, so that an interruption between
// the reads does not skew the measurement.
Anchor ReadAnchor() {
  Anchor best{0, 0};
  uint64_t best_width = UINT64_MAX;
  for (int i = 0; i < 5; ++i) {
    const uint64_t before = __rdtsc();
    const int64_t ns = MonotonicNanoseconds();
    const uint64_t after = __rdtsc();
    if (after - before < best_width) {
      best_width = after - before;
      best = {static_cast<int64_t>(before + (after - before) / 2), ns};
    }
  }
  return best;
}
#else
Anchor ReadAnchor() { return {0, MonotonicNanoseconds()}; }
#endif

double MeasureTscFrequency() {
  Anchor now = ReadAnchor();
  const int64_t missing = kMinCalibrationNs - (now.ns - g_loadAnchor.ns);
  if (missing > 0) {
    const timespec pause{0, static_cast<long>(missing)};
    nanosleep(&pause, nullptr);
    now = ReadAnchor();
  }
  return static_cast<double>(now.tsc - g_loadAnchor.tsc) * 1e9 /
         static_cast<double>(now.ns - g_loadAnchor.ns);
}

bool TscWanted() {
  const char* clock = std::getenv("TIMETREE_CLOCK");
  return clock == nullptr || std::strcmp(clock, "monotonic") != 0;
}

// Chooses the source when the library is loaded, before any host code can
// read the counter.
struct LoadTimeSelection {
  LoadTimeSelection() { SelectTickSource(TscWanted()); }
} g_loadTimeSelection;

}  // namespace

bool HasInvariantTsc() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) == 0 || eax < 0x80000007u) {
    return false;
  }
  __cpuid(0x80000007u, eax, ebx, ecx, edx);
  return (edx & (1u << 8)) != 0;
#else
  return false;
#endif
}

void SelectTickSource(bool use_tsc) {
  g_loadMode = use_tsc && HasInvariantTsc() ? TickMode::kTsc : TickMode::kMonotonic;
  g_tickMode = g_loadMode;
  RaiseSiteEpoch();
  StoreRelease(g_tscFrequency, 0.0);
  g_loadAnchor = ReadAnchor();
  StoreRelease(StopWatch::m_frequency, 0.0);
}

double TickFrequency() {
  switch (g_tickMode) {
    case TickMode::kOverride:
      return g_overrideFrequency;
    case TickMode::kMonotonic:
      return 1e9;
    case TickMode::kTsc:
      break;
  }
  double frequency = LoadAcquire(g_tscFrequency);
  if (frequency == 0.0) {
    // Measured once: threads that ask at the same moment wait for the one
    // measurement rather than each sleeping through its own.
    static std::mutex measuring;
    const std::lock_guard<std::mutex> lock(measuring);
    frequency = LoadAcquire(g_tscFrequency);
    if (frequency == 0.0) {
      frequency = MeasureTscFrequency();
      StoreRelease(g_tscFrequency, frequency);
    }
  }
  return frequency;
}

TickClock MonotonicTickClock() {
  switch (g_tickMode) {
    case TickMode::kOverride:
      return {0, 0, 1e9 / g_overrideFrequency, 0};
    case TickMode::kMonotonic:
      return {0, 0, 1.0, g_loadAnchor.ns};
    case TickMode::kTsc:
      break;
  }
  const Anchor now = ReadAnchor();
  const double rate =
      now.ns - g_loadAnchor.ns >= kMinCalibrationNs && now.tsc > g_loadAnchor.tsc
          ? static_cast<double>(now.ns - g_loadAnchor.ns) /
                static_cast<double>(now.tsc - g_loadAnchor.tsc)
          : 1e9 / TickFrequency();
  return {g_loadAnchor.tsc, g_loadAnchor.ns, rate, g_loadAnchor.ns};
}

const char* TickSourceName() {
  switch (g_tickMode) {
    case TickMode::kTsc:
      return "tsc";
    case TickMode::kMonotonic:
      return "monotonic";
    case TickMode::kOverride:
      break;
  }
  return "test";
}

void SetTickSourceForTesting(TickReader reader, double frequency) {
  g_tickOverride = reader;
  g_tickMode = reader != nullptr ? TickMode::kOverride : g_loadMode;
  RaiseSiteEpoch();
  g_overrideFrequency = reader != nullptr ? frequency : 0.0;
  StoreRelease(StopWatch::m_frequency, g_overrideFrequency);
}

}  // namespace timetree
