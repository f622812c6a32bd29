/* An MPI program with no timer of its own and no timetree call: run with
 * TIMETREE_MPI_CALLS=1 and libtimetree_mpi given by LD_PRELOAD, its MPI
 * calls are timed. 10 all-reduces of one double, a broadcast of 4 ints,
 * rank 0 sends 100 bytes to rank 1, an all-to-all and a reduce-scatter
 * of 1 int for rank 0 and 3 for rank 1 (16 bytes each on every rank), a
 * barrier. Run on 2 ranks. */
#include <mpi.h>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  double x = rank, sum = 0;
  for (int i = 0; i < 10; ++i) MPI_Allreduce(&x, &sum, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
  int values[4] = {1, 2, 3, 4};
  MPI_Bcast(values, 4, MPI_INT, 0, MPI_COMM_WORLD);
  char message[100] = {0};
  if (rank == 0) MPI_Send(message, 100, MPI_CHAR, 1, 7, MPI_COMM_WORLD);
  /* A receive of up to 200 bytes counts the 100 that came. */
  char arrived[200];
  if (rank == 1) MPI_Recv(arrived, 200, MPI_CHAR, 0, 7, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  /* Counts that differ by rank: a byte count that skips a rank is wrong. */
  const int counts[2] = {1, 3}, displs[2] = {0, 1};
  const int received[2] = {counts[rank], counts[rank]}, from[2] = {0, counts[rank]};
  int send[4] = {1, 2, 3, 4}, got[6];
  MPI_Alltoallv(send, counts, displs, MPI_INT, got, received, from, MPI_INT, MPI_COMM_WORLD);
  MPI_Reduce_scatter(send, got, counts, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  MPI_Barrier(MPI_COMM_WORLD);
  MPI_Finalize();
  return 0;
}
