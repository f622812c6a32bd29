// What timing an MPI call costs: an MPI_Allreduce of 8 bytes on every rank,
// timed by TIMETREE_MPI_CALLS (the program's MPI_Allreduce, through the
// library), against the same call made straight to MPI's profiling
// interface (PMPI_Allreduce), in alternating batches of one run; rank 0
// prints the medians and their ratio.
//
//   mpirun -np 2 timetree_mpi_calls [CALLS PER BATCH]
#include <mpi.h>
#include <timetree.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  // Read at the first call, before which they must be set.
  setenv("TIMETREE_MPI_CALLS", "1", 1);
  setenv("TIMING_ON", "1", 1);
  MPI_Init(&argc, &argv);
  TimeOpenOStream(nullptr);  // reads TIMING_ON: timing on, no channel
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
  double x = rank, sum = 0;
  std::vector<double> timed, plain;
  TimeStartTimer("bench");
  for (int batch = 0; batch < 21; ++batch) {
    for (int timing = 0; timing < 2; ++timing) {
      PMPI_Barrier(MPI_COMM_WORLD);
      const double start = MPI_Wtime();
      for (int i = 0; i < calls; ++i) {
        if (timing != 0) {
          MPI_Allreduce(&x, &sum, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        } else {
          PMPI_Allreduce(&x, &sum, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        }
      }
      (timing != 0 ? timed : plain).push_back((MPI_Wtime() - start) / calls * 1e9);
    }
  }
  TimeStopTimer("bench");
  if (rank == 0) {
    std::printf("MPI_Allreduce of 8 bytes: %.0f ns timed, %.0f ns untimed: %.3fx (medians of 21 "
                "batches of %d)\n",
                Median(timed), Median(plain), Median(timed) / Median(plain), calls);
  }
  MPI_Finalize();
  return 0;
}
