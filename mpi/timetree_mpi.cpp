// The MPI component: every rank's timers, combined by path
// (output/combined.h) up a reduction tree of ceil(log2 P) rounds, so that
// rank 0's memory grows with the distinct paths and its work with log P.
// Nothing recurses, so trees of any depth work.
#include "include/timetree_mpi.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "output/combined.h"
#include "output/exports.h"
#include "output/files.h"
#include "output/placeholders.h"

namespace timetree {
namespace {

using combined::Node;
using combined::Run;

// A rank's own timers as a combined run of one source, numbered by its rank.
struct OwnRun {
  Run run;
  std::vector<Node*> parents;  // the last node at each depth
  long rank = 0;
};

void AddOwn(const TimeTimerInfo64& timer, void* context) {
  auto& own = *static_cast<OwnRun*>(context);
  const size_t depth = static_cast<size_t>(timer.depth);
  own.parents.resize(depth + 1);
  Node* parent = depth == 0 ? &own.run.root : own.parents[depth - 1];
  Node* node = parent->AddChild(timer.name);
  own.parents[depth] = node;
  node->sources = 1;
  auto one = [&own](double value) {
    return combined::Figure{value, value, value, own.rank, own.rank};
  };
  node->count = one(static_cast<double>(timer.count));
  node->total = one(timer.total_seconds);
  node->self = one(timer.self_seconds);
  node->implicit = timer.stopped_implicitly;
  node->running = timer.running ? 1 : 0;
  node->names_merged = timer.names_merged;
}

// This process's metadata, values as text.
combined::Metadata OwnMetadata() {
  combined::Metadata metadata;
  TimeForEachMetadata(
      [](const char* key, const char* value, void* into) {
        static_cast<combined::Metadata*>(into)->emplace_back(key, value);
      },
      &metadata);
  return metadata;
}

// A combined run as bytes, node by node in preorder: depth, name length,
// name, sources, the count, total and self figures (sum, min, max, and the
// source of each extreme), the squared differences of the totals, the
// sources in which it ran, flags (bit 0 stopped implicitly, bit 2 names
// merged).
void Append(std::string& out, const void* bytes, size_t size) {
  out.append(static_cast<const char*>(bytes), size);
}

void AppendText(std::string& out, const std::string& text) {
  const uint32_t length = static_cast<uint32_t>(text.size());
  Append(out, &length, sizeof length);
  Append(out, text.data(), length);
}

// The bytes start with the sources' metadata: how many sources, then for
// each how many keys and each key and value (length, bytes).
std::string Serialise(const Run& run) {
  std::string out;
  const uint32_t sources = static_cast<uint32_t>(run.source_metadata.size());
  Append(out, &sources, sizeof sources);
  for (const combined::Metadata& m : run.source_metadata) {
    const uint32_t keys = static_cast<uint32_t>(m.size());
    Append(out, &keys, sizeof keys);
    for (const auto& entry : m) {
      AppendText(out, entry.first);
      AppendText(out, entry.second);
    }
  }
  combined::Preorder(run.root, [&out](const Node& node, int depth) {
    const uint32_t d = static_cast<uint32_t>(depth);
    const uint32_t length = static_cast<uint32_t>(node.name.size());
    const int64_t sources = node.sources;
    const int64_t running = node.running;
    const uint8_t flags = static_cast<uint8_t>((node.implicit ? 1 : 0) | (node.names_merged ? 4 : 0));
    Append(out, &d, sizeof d);
    Append(out, &length, sizeof length);
    Append(out, node.name.data(), length);
    Append(out, &sources, sizeof sources);
    for (const combined::Figure* f : {&node.count, &node.total, &node.self}) {
      const int64_t min_source = f->min_source, max_source = f->max_source;
      Append(out, &f->sum, sizeof f->sum);
      Append(out, &f->min, sizeof f->min);
      Append(out, &f->max, sizeof f->max);
      Append(out, &min_source, sizeof min_source);
      Append(out, &max_source, sizeof max_source);
    }
    Append(out, &node.m2, sizeof node.m2);
    Append(out, &running, sizeof running);
    Append(out, &flags, sizeof flags);
    return true;
  });
  return out;
}

// Reads bytes that Serialise wrote back into run. False when they do not
// hold a well-formed tree.
bool Deserialise(const char* data, size_t size, Run& run) {
  Node* parent = &run.root;
  uint32_t parent_depth = 0;  // depth of parent's children
  size_t at = 0;
  auto take = [&](void* into, size_t n) {
    if (size - at < n) return false;
    std::memcpy(into, data + at, n);
    at += n;
    return true;
  };
  auto text = [&](std::string& into) {
    uint32_t length = 0;
    if (!take(&length, sizeof length) || size - at < length) return false;
    into.assign(data + at, length);
    at += length;
    return true;
  };
  uint32_t sources_with_metadata = 0;
  if (!take(&sources_with_metadata, sizeof sources_with_metadata)) return false;
  for (uint32_t i = 0; i < sources_with_metadata; ++i) {
    uint32_t keys = 0;
    if (!take(&keys, sizeof keys) || keys > size - at) return false;
    combined::Metadata m;
    for (uint32_t k = 0; k < keys; ++k) {
      std::string key, value;
      if (!text(key) || !text(value)) return false;
      m.emplace_back(std::move(key), std::move(value));
    }
    run.source_metadata.push_back(std::move(m));
  }
  while (at < size) {
    uint32_t depth = 0, length = 0;
    int64_t sources = 0;
    if (!take(&depth, sizeof depth) || !take(&length, sizeof length) || size - at < length) {
      return false;
    }
    std::string name(data + at, length);
    at += length;
    combined::Figure figures[3];
    if (!take(&sources, sizeof sources)) return false;
    for (combined::Figure& f : figures) {
      int64_t min_source = 0, max_source = 0;
      if (!take(&f.sum, sizeof f.sum) || !take(&f.min, sizeof f.min) ||
          !take(&f.max, sizeof f.max) || !take(&min_source, sizeof min_source) ||
          !take(&max_source, sizeof max_source)) {
        return false;
      }
      f.min_source = static_cast<long>(min_source);
      f.max_source = static_cast<long>(max_source);
    }
    double m2 = 0;
    int64_t running = 0;
    uint8_t flags = 0;
    if (!take(&m2, sizeof m2) || !take(&running, sizeof running) || !take(&flags, sizeof flags)) {
      return false;
    }
    // Preorder with depths: climb to the parent of this depth, or enter the
    // last node added.
    if (depth > parent_depth + 1 || (depth == parent_depth + 1 && parent->children.empty())) {
      return false;
    }
    if (depth == parent_depth + 1) {
      parent = parent->children.back().get();
      parent_depth = depth;
    }
    while (parent_depth > depth) {
      parent = parent->parent;
      --parent_depth;
    }
    if (parent->Child(name) != nullptr || sources < 1) return false;
    Node* node = parent->AddChild(name);
    node->sources = static_cast<long>(sources);
    node->count = figures[0];
    node->total = figures[1];
    node->self = figures[2];
    node->m2 = m2;
    node->implicit = (flags & 1) != 0;
    node->running = static_cast<long>(running);
    node->names_merged = (flags & 4) != 0;
  }
  return true;
}

// Whether MPI can be used on comm; otherwise says why on this rank's
// channels.
bool Usable(MPI_Comm comm, const char* call) {
  int initialised = 0, finalised = 0;
  MPI_Initialized(&initialised);
  MPI_Finalized(&finalised);
  std::string message;
  if (initialised == 0 || finalised != 0) {
    AppendFormat(message, "%s: MPI is %s\n", call,
                 initialised == 0 ? "not initialised" : "already finalised");
  } else if (comm == MPI_COMM_NULL) {
    AppendFormat(message, "%s: the communicator is MPI_COMM_NULL\n", call);
  }
  if (message.empty()) return true;
  TimeComment(message.c_str());
  return false;
}

// Combines every rank's timers on rank 0 by a reduction tree: in round k,
// each rank r with r mod 2^(k+1) = 2^k sends what it holds (its own timers
// and those of the ranks it received from) to r - 2^k, which merges them
// into its own by path. After ceil(log2 P) rounds rank 0 holds them all;
// no rank ever holds more than its own run, one received run and their
// merge, and rank 0 merges log2 P runs. Ranks are merged in rank order in
// any grouping, so the rows, sums' sources and ties are those of merging
// rank 0, 1, 2, ... in turn. Rank 0 gets the combined run (null when no rank
// has a timer, or the data could not be had), the other ranks null.
std::unique_ptr<Run> Reduce(MPI_Comm comm) {
  int rank = 0, ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  OwnRun own;
  own.rank = rank;
  TimeForEachTimer64(&AddOwn, &own);
  auto held = std::make_unique<Run>();
  held->combined = true;
  held->sources = 0;
  combined::MergeRuns(*held, own.run);  // one source, this rank, timers or none
  // The rank's metadata travels with its timers, ranks and rank included.
  TimeSetMetadata("ranks", std::to_string(ranks).c_str());
  TimeSetMetadata("rank", std::to_string(rank).c_str());
  held->source_metadata.push_back(OwnMetadata());
  own.parents.clear();
  bool whole = true;
  constexpr int kTag = 0x7472;  // "tr"
  for (int step = 1; step < ranks; step *= 2) {
    if (rank % (2 * step) == step) {
      // Send up and stop. A size of -1 says that this part is not whole.
      const std::string bytes = whole ? Serialise(*held) : std::string();
      long long size = whole && bytes.size() <= static_cast<size_t>(INT_MAX)
                           ? static_cast<long long>(bytes.size())
                           : -1;
      MPI_Send(&size, 1, MPI_LONG_LONG, rank - step, kTag, comm);
      if (size > 0) {
        MPI_Send(bytes.data(), static_cast<int>(size), MPI_CHAR, rank - step, kTag, comm);
      }
      return nullptr;
    }
    if (rank % (2 * step) == 0 && rank + step < ranks) {
      long long size = 0;
      MPI_Recv(&size, 1, MPI_LONG_LONG, rank + step, kTag, comm, MPI_STATUS_IGNORE);
      if (size < 0) {
        whole = false;
        continue;
      }
      std::vector<char> bytes(static_cast<size_t>(size) + 1);
      if (size > 0) {
        MPI_Recv(bytes.data(), static_cast<int>(size), MPI_CHAR, rank + step, kTag, comm,
                 MPI_STATUS_IGNORE);
      }
      Run received;
      // The sender's part covers the ranks from it up to the next part.
      received.sources = std::min(step, ranks - (rank + step));
      if (!Deserialise(bytes.data(), static_cast<size_t>(size), received)) {
        whole = false;
        continue;
      }
      if (whole) {
        combined::MergeRuns(*held, received);
        for (auto& m : received.source_metadata) held->source_metadata.push_back(std::move(m));
      }
    }
  }
  if (!whole || held->root.children.empty()) return nullptr;
  held->sources = ranks;
  if (held->source_metadata.size() != static_cast<size_t>(ranks)) held->source_metadata.clear();
  held->metadata = combined::AgreedMetadata(held->source_metadata);
  return held;
}

// The same answer on every rank: rank 0's.
bool Agree(MPI_Comm comm, bool ok) {
  int value = ok ? 1 : 0;
  MPI_Bcast(&value, 1, MPI_INT, 0, comm);
  return value != 0;
}

// Labels are indented as TimePrintIndented(" ") indents: one blank per
// level, no more once 90 are reached.
constexpr size_t kIndentLimit = 90;

}  // namespace
}  // namespace timetree

namespace timetree {
namespace {

// The summary's text: a header and a row per path.
std::string SummaryText(const combined::Run& run) {
  std::string text = "\n";
    timetree::AppendFormat(text,
                           "%-30s | %5s | %10s | %17s | %17s | %17s | %8s | %8s | %9s | %17s\n",
                           "LABEL", "RANKS", "COUNT", "MEAN", "MIN", "MAX", "MIN RANK",
                           "MAX RANK", "IMBALANCE", "STDDEV");
  timetree::combined::Preorder(run.root, [&text](const timetree::combined::Node& node, int depth) {
      std::string label(std::min(static_cast<size_t>(depth), timetree::kIndentLimit), ' ');
      label += node.name;
      const double mean = node.Mean();
      std::string row;
      timetree::AppendFormat(
          row, "%-30s | %5ld | %10.0f | %17lf | %17lf | %17lf | %8ld | %8ld | %9.2f | %17lf\n",
          label.c_str(), node.sources, node.count.sum, mean, node.total.min, node.total.max,
          node.total.min_source, node.total.max_source, mean > 0 ? node.total.max / mean : 1.0,
          node.StdDev());
      text += row;
      return true;
    });
  return text;
}

// Load time, for %t in TIMETREE_OUTPUT's paths.
const time_t g_loaded = std::time(nullptr);

// The load time as %t gives it: UTC, 20261208T081500Z.
std::string Started() {
  struct tm utc {};
  gmtime_r(&g_loaded, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace
}  // namespace timetree

bool TimeMpiSummary(MPI_Comm comm) {
  if (!timetree::Usable(comm, "TimeMpiSummary")) return false;
  const std::unique_ptr<timetree::combined::Run> run = timetree::Reduce(comm);
  if (run != nullptr) TimeComment(timetree::SummaryText(*run).c_str());
  return timetree::Agree(comm, run != nullptr);
}

bool TimeMpiWriteJson(MPI_Comm comm, const char* path) {
  if (!timetree::Usable(comm, "TimeMpiWriteJson")) return false;
  const std::unique_ptr<timetree::combined::Run> run = timetree::Reduce(comm);
  bool written = false;
  if (run != nullptr && path != nullptr) {
    written = timetree::WriteWholeFile(path, timetree::combined::CombinedJson(*run));
  }
  return timetree::Agree(comm, written);
}

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
  MPI_Barrier(comm);
  if (rank == 0) {
    for (int r = 1; r < ranks; ++r) {
      for (int i = 0; i < kExchanges; ++i) {
        char ask = 0;
        MPI_Recv(&ask, 1, MPI_CHAR, r, kClockTag, comm, MPI_STATUS_IGNORE);
        const long long now = MonotonicNow();
        MPI_Send(&now, 1, MPI_LONG_LONG, r, kClockTag, comm);
      }
    }
    return;
  }
  long long best = -1;
  for (int i = 0; i < kExchanges; ++i) {
    const char ask = 0;
    const long long sent = MonotonicNow();
    MPI_Send(&ask, 1, MPI_CHAR, 0, kClockTag, comm);
    long long theirs = 0;
    MPI_Recv(&theirs, 1, MPI_LONG_LONG, 0, kClockTag, comm, MPI_STATUS_IGNORE);
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
  MPI_Send(text, static_cast<int>(size), MPI_CHAR, 0, kPieceTag,
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
  MPI_Bcast(&origin, 1, MPI_LONG_LONG, 0, comm);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string name;
  timetree::AppendFormat(name, "rank %d (%s)", rank, host);
  const long long local_origin = origin - offset;
  long long clock[2] = {offset, residual};
  std::vector<long long> clocks(rank == 0 ? 2 * static_cast<size_t>(ranks) : 2);
  MPI_Gather(clock, 2, MPI_LONG_LONG, clocks.data(), 2, MPI_LONG_LONG, 0, comm);
  if (rank != 0) {
    timetree::Forward forward{comm};
    int recorded = TimeWriteTraceEvents(rank, local_origin, name.c_str(), &timetree::SendPiece,
                                        &forward)
                       ? 1
                       : 0;
    MPI_Send(&recorded, 1, MPI_INT, 0, timetree::kDoneTag, comm);
    return timetree::Agree(comm, false);
  }
  std::unique_ptr<timetree::WholeFile> whole;
  if (path != nullptr) whole = std::make_unique<timetree::WholeFile>(path);
  timetree::WholeFile* file = whole != nullptr && whole->file() != nullptr ? whole.get() : nullptr;
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
      MPI_Probe(r, MPI_ANY_TAG, comm, &status);
      if (status.MPI_TAG == timetree::kDoneTag) {
        int theirs = 0;
        MPI_Recv(&theirs, 1, MPI_INT, r, timetree::kDoneTag, comm, MPI_STATUS_IGNORE);
        recorded += theirs;
        break;
      }
      int size = 0;
      MPI_Get_count(&status, MPI_CHAR, &size);
      std::vector<char> piece(static_cast<size_t>(size) + 1);
      MPI_Recv(piece.data(), size, MPI_CHAR, r, timetree::kPieceTag, comm, MPI_STATUS_IGNORE);
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

// TIMETREE_OUTPUT's MPI items, written as the program finalises MPI, while
// every rank is still there: mpi-summary (rank 0's summary on its standard
// error, as the host may have no channel open), mpi-json:PATH and
// mpi-trace:PATH. The
// program's call reaches this wrapper when libtimetree_mpi is linked before
// the MPI library (as CMake's timetree::mpi and timetree-mpi.pc link it);
// MPI's profiling interface then finalises.
extern "C" TIMETREE_API int MPI_Finalize(void) {
  const char* list = std::getenv("TIMETREE_OUTPUT");
  int initialised = 0, finalised = 0;
  MPI_Initialized(&initialised);
  MPI_Finalized(&finalised);
  if (list != nullptr && initialised != 0 && finalised == 0) {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    for (const std::string& item : timetree::SplitList(list)) {
      if (item == "mpi-summary") {
        const std::unique_ptr<timetree::combined::Run> run =
            timetree::Reduce(MPI_COMM_WORLD);
        if (rank == 0 && run != nullptr) {
          std::fputs(timetree::SummaryText(*run).c_str(), stderr);
        }
      } else if ((item.rfind("mpi-json:", 0) == 0 && item.size() > 9) ||
                 (item.rfind("mpi-trace:", 0) == 0 && item.size() > 10)) {
        const bool trace = item[4] == 't';
        const std::string path =
            timetree::FillInPath(item.substr(trace ? 10 : 9), timetree::Started().c_str());
        const bool written = trace ? TimeMpiWriteTrace(MPI_COMM_WORLD, path.c_str())
                                   : TimeMpiWriteJson(MPI_COMM_WORLD, path.c_str());
        if (!written && rank == 0) {
          std::fprintf(stderr, "timetree: TIMETREE_OUTPUT: %s could not be written\n",
                       path.c_str());
        }
      }
    }
  }
  return PMPI_Finalize();
}
