// An MPI host with no call for its output: it times on every rank and
// finalises MPI; TIMETREE_OUTPUT (mpi-summary, mpi-json:PATH) makes the
// library write the summary and the combined JSON from inside
// MPI_Finalize. Rank 0 then says whether the file argv[1] is there.
// With argv[2] "term", every rank is ended by SIGTERM inside "killed",
// before MPI_Finalize, as a scheduler ends a job at its time limit.
// Rank r times r + 1 steps; rank 2's second step takes 20 ms, the slowest
// step of the job.
#include <mpi.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <timetree.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  TimeStartTimer("rank work");
  for (int i = 0; i <= rank; ++i) {
    TimeStartTimer("step");
    if (rank == 2 && i == 1) usleep(20000);
    TimeStopTimer("step");
  }
  TimeStopTimer("rank work");
  if (argc > 2 && std::strcmp(argv[2], "term") == 0) {
    MPI_Barrier(MPI_COMM_WORLD);
    TimeStartTimer("killed");
    raise(SIGTERM);
    for (;;) pause();
  }
  MPI_Finalize();
  struct stat st {};
  if (rank == 0 && argc > 1 && stat(argv[1], &st) == 0 && st.st_size > 0) {
    std::printf("mpi_output_host: the combined JSON was written\n");
  }
  return 0;
}
