// The MPI component: every rank's timers serialised compactly, gathered on
// rank 0 with MPI_Gatherv, read back as one source per rank and combined by
// path (output/combined.h), with a hash per node, so that the work on
// rank 0 grows with the total number of timers. Nothing recurses, so trees
// of any depth work.
#include "include/timetree_mpi.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "output/combined.h"
#include "output/exports.h"

namespace timetree {
namespace {

using combined::Node;
using combined::Run;

// One timer in the gathered bytes: depth, name length, name, count, total
// and self seconds, flags (bit 0 stopped implicitly, bit 1 running, bit 2
// names merged).
void Append(std::string& out, const void* bytes, size_t size) {
  out.append(static_cast<const char*>(bytes), size);
}

void Serialise(const TimeTimerInfo64& timer, void* context) {
  auto& out = *static_cast<std::string*>(context);
  const uint32_t depth = static_cast<uint32_t>(timer.depth);
  const uint32_t length = static_cast<uint32_t>(std::strlen(timer.name));
  const int64_t count = timer.count;
  const uint8_t flags = static_cast<uint8_t>((timer.stopped_implicitly ? 1 : 0) |
                                             (timer.running ? 2 : 0) |
                                             (timer.names_merged ? 4 : 0));
  Append(out, &depth, sizeof depth);
  Append(out, &length, sizeof length);
  Append(out, timer.name, length);
  Append(out, &count, sizeof count);
  Append(out, &timer.total_seconds, sizeof timer.total_seconds);
  Append(out, &timer.self_seconds, sizeof timer.self_seconds);
  Append(out, &flags, sizeof flags);
}

// Reads one rank's bytes back into a run of one source (numbered 0; Combine
// numbers the sources in order). False when they do not hold a well-formed
// tree.
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
  while (at < size) {
    uint32_t depth = 0, length = 0;
    int64_t count = 0;
    double total = 0, self = 0;
    uint8_t flags = 0;
    if (!take(&depth, sizeof depth) || !take(&length, sizeof length) || size - at < length) {
      return false;
    }
    std::string name(data + at, length);
    at += length;
    if (!take(&count, sizeof count) || !take(&total, sizeof total) ||
        !take(&self, sizeof self) || !take(&flags, sizeof flags)) {
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
    if (parent->Child(name) != nullptr) return false;
    Node* node = parent->AddChild(name);
    node->sources = 1;
    node->count = combined::Figure{static_cast<double>(count), static_cast<double>(count),
                                   static_cast<double>(count), 0, 0};
    node->total = combined::Figure{total, total, total, 0, 0};
    node->self = combined::Figure{self, self, self, 0, 0};
    node->implicit = (flags & 1) != 0;
    node->running = (flags & 2) != 0;
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

// Gathers every rank's timers on rank 0 and combines them there: rank 0
// gets the combined run (null when no rank has a timer, or the data could
// not be had), the other ranks null.
std::unique_ptr<Run> Gather(MPI_Comm comm) {
  int rank = 0, ranks = 1;
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &ranks);
  std::string bytes;
  TimeForEachTimer64(&Serialise, &bytes);
  // More than INT_MAX bytes cannot be gathered in one call; such a rank
  // sends nothing and the gather reports it.
  const int size = bytes.size() <= static_cast<size_t>(INT_MAX) ? static_cast<int>(bytes.size())
                                                                : -1;
  std::vector<int> sizes(rank == 0 ? static_cast<size_t>(ranks) : 0);
  MPI_Gather(&size, 1, MPI_INT, sizes.data(), 1, MPI_INT, 0, comm);
  std::vector<int> offsets(sizes.size());
  bool whole = true;
  long long all = 0;
  for (size_t r = 0; r < sizes.size(); ++r) {
    if (sizes[r] < 0 || all + sizes[r] > INT_MAX) {
      whole = false;
      sizes[r] = 0;
    }
    offsets[r] = static_cast<int>(all);
    all += sizes[r];
  }
  std::vector<char> gathered(static_cast<size_t>(all) + 1);
  MPI_Gatherv(bytes.data(), size < 0 ? 0 : size, MPI_CHAR, gathered.data(), sizes.data(),
              offsets.data(), MPI_CHAR, 0, comm);
  if (rank != 0 || !whole) return nullptr;

  std::vector<std::unique_ptr<Run>> runs;
  for (int r = 0; r < ranks; ++r) {
    auto run = std::make_unique<Run>();
    if (!Deserialise(gathered.data() + offsets[r], static_cast<size_t>(sizes[r]), *run)) {
      return nullptr;
    }
    runs.push_back(std::move(run));
  }
  // Each rank is one source, numbered by its rank.
  auto all_ranks = combined::Combine(runs);
  if (all_ranks->root.children.empty()) return nullptr;
  return all_ranks;
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

bool TimeMpiSummary(MPI_Comm comm) {
  if (!timetree::Usable(comm, "TimeMpiSummary")) return false;
  const std::unique_ptr<timetree::combined::Run> run = timetree::Gather(comm);
  bool written = false;
  if (run != nullptr) {
    std::string text = "\n";
    timetree::AppendFormat(text, "%-30s | %5s | %10s | %17s | %17s | %17s | %8s | %8s | %9s\n",
                           "LABEL", "RANKS", "COUNT", "MEAN", "MIN", "MAX", "MIN RANK",
                           "MAX RANK", "IMBALANCE");
    TimeComment(text.c_str());
    timetree::combined::Preorder(run->root, [](const timetree::combined::Node& node, int depth) {
      std::string label(std::min(static_cast<size_t>(depth), timetree::kIndentLimit), ' ');
      label += node.name;
      const double mean = node.Mean();
      std::string row;
      timetree::AppendFormat(row, "%-30s | %5ld | %10.0f | %17lf | %17lf | %17lf | %8ld | %8ld | %9.2f\n",
                             label.c_str(), node.sources, node.count.sum, mean, node.total.min,
                             node.total.max, node.total.min_source, node.total.max_source,
                             mean > 0 ? node.total.max / mean : 1.0);
      TimeComment(row.c_str());
      return true;
    });
    written = true;
  }
  return timetree::Agree(comm, written);
}

bool TimeMpiWriteJson(MPI_Comm comm, const char* path) {
  if (!timetree::Usable(comm, "TimeMpiWriteJson")) return false;
  const std::unique_ptr<timetree::combined::Run> run = timetree::Gather(comm);
  bool written = false;
  if (run != nullptr && path != nullptr) {
    const std::string text = timetree::combined::CombinedJson(*run);
    if (FILE* file = std::fopen(path, "we")) {
      written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
      written = std::fclose(file) == 0 && written;
    }
  }
  return timetree::Agree(comm, written);
}
