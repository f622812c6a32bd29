// What the OpenMP tool costs a parallel region: near-empty regions of as
// many threads as processors (or THREADS), inside a running timer, timed as
// a whole; with "alternate", the regions begin under two timers in turn.
// Run it twice, as is and with OMP_TOOL=disabled (the runtime then never
// loads the tool): the difference per region, divided by the threads, is
// the tool's cost per implicit task.
//
//     timetree_openmp_regions [REGIONS [THREADS [alternate]]]
#include <omp.h>
#include <timetree.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Written by every region, so that no region is optimised away.
volatile int g_sink[64];

int main(int argc, char** argv) {
  const int regions = argc > 1 ? std::atoi(argv[1]) : 200000;
  setenv("TIMING_ON", "1", 1);
  TimeClear();
  omp_set_num_threads(argc > 2 ? std::atoi(argv[2]) : omp_get_num_procs());
  TimeStartTimer("run");
  // Warm up: the team's threads exist before the clock starts.
#pragma omp parallel
  {
    g_sink[omp_get_thread_num() & 63] = 0;
  }
  const bool alternate = argc > 3 && std::strcmp(argv[3], "alternate") == 0;
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < regions; ++i) {
    const char* phase = i % 2 == 0 ? "phase_a" : "phase_b";
    if (alternate) TimeStartTimer(phase);
#pragma omp parallel
    {
      g_sink[omp_get_thread_num() & 63] = i;
    }
    if (alternate) TimeStopTimer(phase);
  }
  const auto end = std::chrono::steady_clock::now();
  TimeStopTimer("run");
  const double ns = std::chrono::duration<double, std::nano>(end - begin).count() / regions;
  std::printf("%.0f ns per region of %d threads%s\n", ns, omp_get_max_threads(),
              alternate ? ", beginning under two timers in turn" : "");
  return 0;
}
