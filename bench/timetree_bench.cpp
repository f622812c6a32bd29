// Costs of the measured path, each to be read as a ratio to the raw clock
// reads measured in the same run.
#include <benchmark/benchmark.h>
#include <timetree.h>

#include <cstdlib>
#include <ctime>

namespace {

void BM_TwoClockReads(benchmark::State& state) {
  for (auto _ : state) {
    timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    clock_gettime(CLOCK_MONOTONIC, &b);
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_TwoClockReads);

void BM_StopWatchStartStop(benchmark::State& state) {
  StopWatch watch;
  for (auto _ : state) {
    watch.StartTimer();
    benchmark::DoNotOptimize(watch.StopTimer());
  }
}
BENCHMARK(BM_StopWatchStartStop);

void BM_ExistingTimerStartStop(benchmark::State& state) {
  setenv("TIMING_ON", "1", 1);
  TimeClear();
  TimeStartTimer("outer");
  TimeStartTimer("t");
  TimeStopTimer("t");
  for (auto _ : state) {
    TimeStartTimer("t");
    TimeStopTimer("t");
  }
  TimeStopTimer("outer");
  TimeClear();
}
BENCHMARK(BM_ExistingTimerStartStop);

}  // namespace

BENCHMARK_MAIN();
