// Every rank's timeline in one file, each rank's clock aligned to rank 0's.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "include/timetree_mpi.h"
#include "mpi/reduce.h"
#include "runformat/combined.h"
#include "runformat/files.h"
#include "runformat/text.h"

namespace timetree {
namespace {

// Tags of the timeline's messages.
constexpr int kClockTag = 0x7463;  // "tc"
constexpr int kPieceTag = 0x7470;  // "tp"
constexpr int kDoneTag = 0x7464;   // "td"
constexpr int kExchanges = 16;

long long MonotonicNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// This rank's clock offset from rank 0 (add it to a reading of this rank's
// CLOCK_MONOTONIC to get rank 0's) and its uncertainty, both in
// nanoseconds. Each rank in turn asks rank 0 for its clock kExchanges
// times; the exchange of the shortest round trip counts, with rank 0's
// reading taken as made halfway through it, so that the error is at most
// half that round trip (the residual).
void MeasureOffset(MPI_Comm comm, int rank, int ranks, long long* offset, long long* residual) {
  *offset = 0;
  *residual = 0;
  PMPI_Barrier(comm);
  if (rank == 0) {
    for (int r = 1; r < ranks; ++r) {
      for (int i = 0; i < kExchanges; ++i) {
        char ask = 0;
        PMPI_Recv(&ask, 1, MPI_CHAR, r, kClockTag, comm, MPI_STATUS_IGNORE);
        const long long now = MonotonicNow();
        PMPI_Send(&now, 1, MPI_LONG_LONG, r, kClockTag, comm);
      }
    }
    return;
  }
  long long best = -1;
  for (int i = 0; i < kExchanges; ++i) {
    const char ask = 0;
    const long long sent = MonotonicNow();
    PMPI_Send(&ask, 1, MPI_CHAR, 0, kClockTag, comm);
    long long theirs = 0;
    PMPI_Recv(&theirs, 1, MPI_LONG_LONG, 0, kClockTag, comm, MPI_STATUS_IGNORE);
    const long long back = MonotonicNow();
    if (best < 0 || back - sent < best) {
      best = back - sent;
      *offset = theirs - (sent + (back - sent) / 2);
    }
  }
  *residual = (best + 1) / 2;
}

struct Forward {
  MPI_Comm comm;
};

// A rank's piece of the timeline, sent to rank 0.
bool SendPiece(const char* text, unsigned long size, void* context) {
  PMPI_Send(text, static_cast<int>(size), MPI_CHAR, 0, kPieceTag,
           static_cast<Forward*>(context)->comm);
  return true;
}

bool WritePiece(const char* text, unsigned long size, void* context) {
  auto* file = static_cast<WholeFile*>(context);
  return file != nullptr && file->Write(text, size);
}

}  // namespace
}  // namespace timetree

bool TimeMpiWriteTrace(MPI_Comm comm, const char* path) {
  if (!timetree::Usable(comm, "TimeMpiWriteTrace")) return false;
  int rank = 0, ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  long long offset = 0, residual = 0;
  timetree::MeasureOffset(comm, rank, ranks, &offset, &residual);
  // Times count from rank 0's load, on rank 0's clock.
  long long origin = TimeTraceOrigin();
  PMPI_Bcast(&origin, 1, MPI_LONG_LONG, 0, comm);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string name;
  timetree::AppendFormat(name, "rank %d (%s)", rank, host);
  const long long local_origin = origin - offset;
  long long clock[2] = {offset, residual};
  std::vector<long long> clocks(rank == 0 ? 2 * static_cast<size_t>(ranks) : 2);
  PMPI_Gather(clock, 2, MPI_LONG_LONG, clocks.data(), 2, MPI_LONG_LONG, 0, comm);
  if (rank != 0) {
    timetree::Forward forward{comm};
    int recorded = TimeWriteTraceEvents(rank, local_origin, name.c_str(), &timetree::SendPiece,
                                        &forward)
                       ? 1
                       : 0;
    PMPI_Send(&recorded, 1, MPI_INT, 0, timetree::kDoneTag, comm);
    return timetree::Agree(comm, false);
  }
  std::unique_ptr<timetree::WholeFile> whole;
  if (path != nullptr) whole = std::make_unique<timetree::WholeFile>(path);
  timetree::WholeFile* file = whole != nullptr && whole->opened() ? whole.get() : nullptr;
  bool ok = file != nullptr;
  std::string head = "{\"displayTimeUnit\": \"ns\", \"traceEvents\": [\n"
                     "{\"ph\": \"M\", \"name\": \"process_sort_index\", \"pid\": 0, \"tid\": 0, "
                     "\"args\": {\"sort_index\": 0}}";
  ok = ok && timetree::WritePiece(head.data(), head.size(), file);
  int recorded = TimeWriteTraceEvents(0, local_origin, name.c_str(), &timetree::WritePiece, file);
  for (int r = 1; r < ranks; ++r) {
    // Rank r's pieces, in order, then whether it recorded anything.
    for (;;) {
      MPI_Status status;
      PMPI_Probe(r, MPI_ANY_TAG, comm, &status);
      if (status.MPI_TAG == timetree::kDoneTag) {
        int theirs = 0;
        PMPI_Recv(&theirs, 1, MPI_INT, r, timetree::kDoneTag, comm, MPI_STATUS_IGNORE);
        recorded += theirs;
        break;
      }
      int size = 0;
      MPI_Get_count(&status, MPI_CHAR, &size);
      std::vector<char> piece(static_cast<size_t>(size) + 1);
      PMPI_Recv(piece.data(), size, MPI_CHAR, r, timetree::kPieceTag, comm, MPI_STATUS_IGNORE);
      ok = ok && timetree::WritePiece(piece.data(), static_cast<unsigned long>(size), file);
    }
  }
  std::string tail;
  timetree::AppendFormat(tail,
                         "\n], \"otherData\": {\"ranks\": %d, \"clock\": \"CLOCK_MONOTONIC, "
                         "aligned to rank 0\", \"clock_offsets_us\": [",
                         ranks);
  long long worst = 0;
  for (int r = 0; r < ranks; ++r) {
    timetree::AppendFormat(tail, "%s%.3f", r == 0 ? "" : ", ", clocks[2 * r] / 1000.0);
    worst = std::max(worst, clocks[2 * r + 1]);
  }
  timetree::AppendFormat(tail, "], \"clock_residual_us\": [");
  for (int r = 0; r < ranks; ++r) {
    timetree::AppendFormat(tail, "%s%.3f", r == 0 ? "" : ", ", clocks[2 * r + 1] / 1000.0);
  }
  timetree::AppendFormat(tail, "], \"largest_clock_residual_us\": %.3f}", worst / 1000.0);
  tail += ", \"metadata\": ";
  timetree::combined::AppendMetadataObject(tail, timetree::OwnMetadata());
  tail += "}\n";
  ok = ok && timetree::WritePiece(tail.data(), tail.size(), file);
  ok = ok && file->Commit();
  return timetree::Agree(comm, ok && recorded > 0);
}

