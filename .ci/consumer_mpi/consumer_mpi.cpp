// Uses the installed MPI component on two ranks and checks its answer.
#include <timetree_mpi.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  setenv("TIMING_ON", "1", 1);
  setenv("TIMING_CONSOLE", rank == 0 ? "1" : "0", 1);
  TimeOpenOStream(nullptr);
  TimeStartTimer("consumer");
  TimeStopTimer("consumer");
  const bool ok = TimeMpiSummary(MPI_COMM_WORLD);
  TimeCloseOStream();
  MPI_Finalize();
  if (!ok) {
    std::fprintf(stderr, "consumer_mpi: no summary\n");
    return 1;
  }
  if (rank == 0) std::printf("consumer_mpi: ok\n");
  return 0;
}
