// How long the summary across ranks takes: every rank creates TIMERS timers
// (a hundred under each of TIMERS / 100 top-level ones, with names of 24
// characters), then rank 0 reports the time of TimeMpiSummary and of
// TimeMpiWriteJson, measured from a barrier to the collective's return, and
// how much its peak resident memory grew in the calls.
//
//   mpirun -np 64 --oversubscribe mpi_scale [TIMERS]
#include <mpi.h>
#include <timetree_mpi.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank = 0, ranks = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  const int timers = argc > 1 ? std::atoi(argv[1]) : 10000;
  setenv("TIMING_ON", "1", 1);
  setenv("TIMING_FILE", "1", 1);
  TimeOpenOStream("/dev/null");
  char name[32];
  for (int outer = 0; outer < timers / 100; ++outer) {
    std::snprintf(name, sizeof name, "outer_timer_number_%05d", outer);
    TimeStartTimer(name);
    for (int inner = 0; inner < 99; ++inner) {
      // Ranks differ a little: some paths are on some ranks only.
      std::snprintf(name, sizeof name, "inner_timer_number_%05d", inner + (rank % 3));
      TimeStartTimer(name);
      TimeStopTimer(name);
    }
    std::snprintf(name, sizeof name, "outer_timer_number_%05d", outer);
    TimeStopTimer(name);
  }
  auto peak_kib = [] {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
  };
  const long before = peak_kib();
  MPI_Barrier(MPI_COMM_WORLD);
  double start = MPI_Wtime();
  TimeMpiSummary(MPI_COMM_WORLD);
  const double summary = MPI_Wtime() - start;
  MPI_Barrier(MPI_COMM_WORLD);
  start = MPI_Wtime();
  TimeMpiWriteJson(MPI_COMM_WORLD, "/dev/null");
  const double json = MPI_Wtime() - start;
  if (rank == 0) {
    std::printf("%d ranks x %d timers: TimeMpiSummary %.3f s, TimeMpiWriteJson %.3f s, "
                "rank 0's peak memory +%.1f MiB\n",
                ranks, timers, summary, json, (peak_kib() - before) / 1024.0);
  }
  TimeCloseOStream();
  MPI_Finalize();
  return 0;
}
