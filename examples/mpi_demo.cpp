// An MPI host whose ranks do uneven work, so that the summary across ranks
// shows where the time goes and which rank is slow: rank r sorts
// (r + 1) * N numbers, then all ranks meet in an all-reduce, where the fast
// ones wait for the slow one.
//
//   mpirun -np 4 mpi_demo [--size N] [--export PATH]
//
// Timing and the console are switched on unless the environment says
// otherwise; --export writes the combined JSON to PATH.
#include <mpi.h>
#include <timetree_mpi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  size_t size = 200000;
  const char* export_path = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--size") == 0) size = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--export") == 0) export_path = argv[i + 1];
  }
  setenv("TIMING_ON", "1", 0);
  setenv("TIMING_CONSOLE", "1", 0);
  TimeOpenOStream(nullptr);

  TimeStartTimer("rank work");
  TimeStartTimer("generate");
  std::vector<uint32_t> data((static_cast<size_t>(rank) + 1) * size);
  uint64_t state = 0x9E3779B97F4A7C15ULL + static_cast<uint64_t>(rank);
  for (auto& value : data) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    value = static_cast<uint32_t>(state);
  }
  TimeStopTimer("generate");
  TimeStartTimer("sort");
  std::sort(data.begin(), data.end());
  TimeStopTimer("sort");
  TimeStartTimer("all-reduce");
  uint64_t sum = 0, total = 0;
  for (size_t i = 0; i < data.size(); i += 1000) sum += data[i];
  MPI_Allreduce(&sum, &total, 1, MPI_UINT64_T, MPI_SUM, MPI_COMM_WORLD);
  TimeStopTimer("all-reduce");
  TimeStopTimer("rank work");
  if (rank == 1) {
    // Only some ranks write a checkpoint: a path that not every rank has.
    TimeStartTimer("checkpoint");
    std::vector<uint32_t> copy(data.begin(), data.begin() + static_cast<long>(size / 10));
    TimeStopTimer("checkpoint");
  }

  if (rank == 0) std::printf("mpi_demo: checksum %llx\n", static_cast<unsigned long long>(total));
  TimeMpiSummary(MPI_COMM_WORLD);
  if (export_path != nullptr && !TimeMpiWriteJson(MPI_COMM_WORLD, export_path) && rank == 0) {
    std::fprintf(stderr, "mpi_demo: could not write %s\n", export_path);
  }
  TimeCloseOStream();
  MPI_Finalize();
  return 0;
}
