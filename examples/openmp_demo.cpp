// An OpenMP host with uneven work per thread: each iteration's parallel
// region gives thread t (t + 1) shares of a sum, so the team waits for its
// last thread. Built with clang -fopenmp and linked with the OpenMP tool,
// the threads' timers nest where each region began, with no code for it.
//
//   openmp_demo [--size N] [--export PATH]
//
// Timing and the console are switched on unless the environment says
// otherwise; --export writes the JSON to PATH.
#include <omp.h>
#include <timetree.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  long size = 200000;
  const char* export_path = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size") == 0) size = std::strtol(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--export") == 0) export_path = argv[i + 1];
  }
  setenv("TIMING_ON", "1", 0);
  setenv("TIMING_CONSOLE", "1", 0);
  TimeOpenOStream(nullptr);

  double total = 0;
  TimeStartTimer("run");
  for (int iteration = 0; iteration < 4; ++iteration) {
    TIMETREE_SCOPE("iteration");
#pragma omp parallel num_threads(4) reduction(+ : total)
    {
      TIMETREE_SCOPE("sum");
      const long shares = (omp_get_thread_num() + 1) * size;
      for (long i = 1; i <= shares; ++i) total += std::sin(static_cast<double>(i));
    }
  }
  TimeStopTimer("run");
  std::printf("openmp_demo: total %.6f\n", total);
  TimePrintIndented(nullptr);
  if (export_path != nullptr && !TimeWriteJson(export_path)) {
    std::fprintf(stderr, "openmp_demo: could not write %s\n", export_path);
    return 1;
  }
  return 0;
}
