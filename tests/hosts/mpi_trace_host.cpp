// An MPI host whose ranks reach a collective at different times: rank r
// works (r + 1) * 40 ms, then all-reduces. TimeMpiWriteTrace puts every
// rank's timeline in argv[1], where the fast ranks' wait inside
// "allreduce" shows; TIMETREE_OUTPUT's mpi-trace item writes the same at
// MPI_Finalize. With argv[2] "many", each rank also times 2,000 ticks,
// whose timeline is sent to rank 0 in several pieces.
#include <mpi.h>
#include <timetree.h>
#include <timetree_mpi.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  TimeClear();
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  TimeStartTimer("rank work");
  for (int i = 0; i <= rank; ++i) {
    TimeStartTimer("step");
    usleep(40000);
    TimeStopTimer("step");
  }
  TimeStopTimer("rank work");
  if (argc > 2 && argv[2][0] == 'm') {
    for (int i = 0; i < 2000; ++i) {
      TimeStartTimer("tick");
      TimeStopTimer("tick");
    }
  }
  TimeStartTimer("allreduce");
  int value = rank, sum = 0;
  MPI_Allreduce(&value, &sum, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  TimeStopTimer("allreduce");
  const bool written = argc > 1 && TimeMpiWriteTrace(MPI_COMM_WORLD, argv[1]);
  if (rank == 0) std::printf("mpi_trace_host: the trace was %swritten\n", written ? "" : "not ");
  MPI_Finalize();
  return written ? 0 : 1;
}
