/* An MPI program with no timer of its own and no timetree call: run with
 * TIMETREE_MPI_CALLS=1 and libtimetree_mpi given by LD_PRELOAD, its MPI
 * calls are timed. 10 all-reduces of one double, a broadcast of 4 ints,
 * rank 0 sends 100 bytes to rank 1 and 4 that rank 1 receives as a
 * double, an all-to-all and a reduce-scatter
 * of no int for rank 0 and 4 for rank 1 (16 bytes each on every rank),
 * every other timed call once, a barrier. Run on 2 ranks. */
#include <mpi.h>

/* Every other timed call once on each rank (the nonblocking ones with one
 * wait each), with 2 ints (8 bytes) wherever there is data: rank 0 sends
 * by each kind of send, rank 1 posts a nonblocking receive for each. */
static void EveryOtherCall(int rank) {
  MPI_Comm w = MPI_COMM_WORLD;
  int a[2] = {1, 2}, b[4] = {0}, two[2] = {2, 2}, at[2] = {0, 2}, flag = 0, index = 0, done = 0;
  int which[1];
  MPI_Request r = MPI_REQUEST_NULL, none = MPI_REQUEST_NULL;
  MPI_Status status;
  static char attached[64 + MPI_BSEND_OVERHEAD];
  void* detached = NULL;
  int size = 0;
  MPI_Buffer_attach(attached, sizeof attached);
  if (rank == 0) {
    MPI_Ssend(a, 2, MPI_INT, 1, 1, w);
    MPI_Bsend(a, 2, MPI_INT, 1, 2, w);
  } else {
    MPI_Irecv(b, 2, MPI_INT, 0, 1, w, &r);
    MPI_Wait(&r, &status);
    MPI_Irecv(b, 2, MPI_INT, 0, 2, w, &r);
    MPI_Waitall(1, &r, &status);
    MPI_Irecv(b, 2, MPI_INT, 0, 3, w, &r); /* posted before the ready send */
  }
  MPI_Ibarrier(w, &none);
  MPI_Wait(&none, &status);
  if (rank == 0) {
    MPI_Rsend(a, 2, MPI_INT, 1, 3, w);
    MPI_Isend(a, 2, MPI_INT, 1, 4, w, &r);
    MPI_Waitsome(1, &r, &done, which, &status);
    MPI_Issend(a, 2, MPI_INT, 1, 5, w, &r);
    MPI_Waitany(1, &r, &index, &status);
  } else {
    MPI_Waitany(1, &r, &index, &status);
    MPI_Probe(0, 4, w, &status);
    MPI_Iprobe(0, 4, w, &flag, &status);
    MPI_Irecv(b, 2, MPI_INT, 0, 4, w, &r);
    MPI_Wait(&r, &status);
    MPI_Irecv(b, 2, MPI_INT, 0, 5, w, &r);
    MPI_Waitsome(1, &r, &done, which, &status);
  }
  MPI_Sendrecv(a, 2, MPI_INT, 1 - rank, 6, b, 2, MPI_INT, 1 - rank, 6, w, &status);
  /* Completed requests: each test answers at once. */
  MPI_Test(&none, &flag, &status);
  MPI_Testall(1, &none, &flag, &status);
  MPI_Testany(1, &none, &index, &flag, &status);
  MPI_Ibcast(a, 2, MPI_INT, 0, w, &r);
  MPI_Wait(&r, &status);
  MPI_Reduce(a, b, 2, MPI_INT, MPI_SUM, 0, w);
  MPI_Ireduce(a, b, 2, MPI_INT, MPI_SUM, 0, w, &r);
  MPI_Wait(&r, &status);
  MPI_Iallreduce(a, b, 2, MPI_INT, MPI_SUM, w, &r);
  MPI_Wait(&r, &status);
  MPI_Scan(a, b, 2, MPI_INT, MPI_SUM, w);
  MPI_Exscan(a, b, 2, MPI_INT, MPI_SUM, w);
  MPI_Reduce_scatter_block(a, b, 1, MPI_INT, MPI_SUM, w);
  MPI_Gather(a, 2, MPI_INT, b, 2, MPI_INT, 0, w);
  MPI_Gatherv(a, 2, MPI_INT, b, two, at, MPI_INT, 0, w);
  MPI_Allgather(a, 2, MPI_INT, b, 2, MPI_INT, w);
  MPI_Allgatherv(a, 2, MPI_INT, b, two, at, MPI_INT, w);
  MPI_Scatter(b, 2, MPI_INT, a, 2, MPI_INT, 0, w);
  MPI_Scatterv(b, two, at, MPI_INT, a, 2, MPI_INT, 0, w);
  MPI_Alltoall(a, 1, MPI_INT, b, 1, MPI_INT, w);
  MPI_Buffer_detach(&detached, &size);
}

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
  /* 4 bytes received as a double: not a whole number of the type, so the
   * bytes that came are counted as bytes. */
  double part = 0;
  if (rank == 0) MPI_Send(message, 4, MPI_BYTE, 1, 9, MPI_COMM_WORLD);
  if (rank == 1) MPI_Recv(&part, 1, MPI_DOUBLE, 0, 9, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  /* Counts that differ by rank, one of them none: a byte count that skips a
   * rank, or counts none as one, is wrong. */
  const int counts[2] = {0, 4}, displs[2] = {0, 0};
  const int received[2] = {counts[rank], counts[rank]}, from[2] = {0, counts[rank]};
  int send[4] = {1, 2, 3, 4}, got[8];
  MPI_Alltoallv(send, counts, displs, MPI_INT, got, received, from, MPI_INT, MPI_COMM_WORLD);
  MPI_Reduce_scatter(send, got, counts, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
  EveryOtherCall(rank);
  MPI_Barrier(MPI_COMM_WORLD);
  MPI_Finalize();
  return 0;
}
