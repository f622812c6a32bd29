// Every rank's timers, combined by path (runformat/combined.h) up a
// reduction tree of ceil(log2 P) rounds, so that rank 0's memory grows with
// the distinct paths and its work with log P. Nothing recurses, so trees of
// any depth work.
#include "mpi/reduce.h"


#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "runformat/combined.h"
#include "runformat/text.h"
#include "runformat/files.h"
#include "runformat/placeholders.h"
#include "include/timetree_mpi.h"

namespace timetree {

using combined::Node;
using combined::Run;

namespace {

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
  if (timer.count > 0) {
    node->intervals = combined::Figure{0, timer.min_interval_seconds, timer.max_interval_seconds,
                                       own.rank, own.rank};
    node->has_intervals = true;
  }
  node->bytes = static_cast<double>(timer.bytes);
  node->throttled = timer.throttled;
  node->has_counters = timer.counters;
  for (int i = 0; i < combined::kCounterCount; ++i) node->counters[i] = timer.counter_values[i];
  if (timer.series_every > 0) {
    node->has_series = true;
    node->series.every = timer.series_every;
    node->series.steps = timer.series_steps;
    node->series.inexact = timer.series_inexact;
    node->series.total.assign(timer.series_seconds, timer.series_seconds + timer.series_points);
    node->series.longest.assign(timer.series_max_seconds,
                                timer.series_max_seconds + timer.series_points);
  }
}

}  // namespace

combined::Metadata OwnMetadata() {
  combined::Metadata metadata;
  TimeForEachMetadata(
      [](const char* key, const char* value, void* into) {
        static_cast<combined::Metadata*>(into)->emplace_back(key, value);
      },
      &metadata);
  return metadata;
}

namespace {

// A combined run as bytes, node by node in preorder: depth, name length,
// name, sources, the count, total and self figures (sum, min, max, and the
// source of each extreme), the squared differences of the totals, the
// sources in which it ran, flags (bit 0 stopped implicitly, bit 2 names
// merged, bit 3 throttled, bit 4 with intervals), the interval figure
// (shortest and longest, with their sources), the bytes, then the
// counters present (bits) and each of them; with flag bit 5 (bit 6: inexact)
// its series: every, steps, points, then the points' seconds and longest.
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
    const uint8_t flags = static_cast<uint8_t>(
        (node.implicit ? 1 : 0) | (node.names_merged ? 4 : 0) | (node.throttled ? 8 : 0) |
        (node.has_intervals ? 16 : 0) | (node.has_series ? 32 : 0) |
        (node.has_series && node.series.inexact ? 64 : 0));
    Append(out, &d, sizeof d);
    Append(out, &length, sizeof length);
    Append(out, node.name.data(), length);
    Append(out, &sources, sizeof sources);
    for (const combined::Figure* f : {&node.count, &node.total, &node.self, &node.intervals}) {
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
    Append(out, &node.bytes, sizeof node.bytes);
    const uint32_t counters = node.has_counters;
    Append(out, &counters, sizeof counters);
    for (int i = 0; i < combined::kCounterCount; ++i) {
      if ((counters & (1u << i)) != 0) Append(out, &node.counters[i], sizeof node.counters[i]);
    }
    if (node.has_series) {
      const int64_t points = static_cast<int64_t>(node.series.total.size());
      Append(out, &node.series.every, sizeof node.series.every);
      Append(out, &node.series.steps, sizeof node.series.steps);
      Append(out, &points, sizeof points);
      Append(out, node.series.total.data(), sizeof(double) * node.series.total.size());
      Append(out, node.series.longest.data(), sizeof(double) * node.series.longest.size());
    }
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
    combined::Figure figures[4];
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
    double m2 = 0, bytes = 0;
    int64_t running = 0;
    uint8_t flags = 0;
    uint32_t counters = 0;
    double values[combined::kCounterCount] = {};
    if (!take(&m2, sizeof m2) || !take(&running, sizeof running) || !take(&flags, sizeof flags) ||
        !take(&bytes, sizeof bytes) || !take(&counters, sizeof counters) ||
        counters >= (1u << combined::kCounterCount)) {
      return false;
    }
    for (int i = 0; i < combined::kCounterCount; ++i) {
      if ((counters & (1u << i)) != 0 && !take(&values[i], sizeof values[i])) return false;
    }
    timetree::SeriesPoints<double> series;
    if ((flags & 32) != 0) {
      int64_t points = 0;
      if (!take(&series.every, sizeof series.every) || !take(&series.steps, sizeof series.steps) ||
          !take(&points, sizeof points) || series.every < 1 ||
          (series.every & (series.every - 1)) != 0 || series.steps < 0 ||
          points != (series.steps + series.every - 1) / series.every ||
          static_cast<uint64_t>(points) > (size - at) / (2 * sizeof(double))) {
        return false;
      }
      series.total.resize(static_cast<size_t>(points));
      series.longest.resize(static_cast<size_t>(points));
      if (!take(series.total.data(), sizeof(double) * series.total.size()) ||
          !take(series.longest.data(), sizeof(double) * series.longest.size())) {
        return false;
      }
      series.inexact = (flags & 64) != 0;
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
    node->throttled = (flags & 8) != 0;
    node->has_intervals = (flags & 16) != 0;
    node->intervals = figures[3];
    node->bytes = bytes;
    node->has_counters = counters;
    for (int i = 0; i < combined::kCounterCount; ++i) node->counters[i] = values[i];
    node->has_series = (flags & 32) != 0;
    node->series = std::move(series);
  }
  return true;
}

}  // namespace

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
      PMPI_Send(&size, 1, MPI_LONG_LONG, rank - step, kTag, comm);
      if (size > 0) {
        PMPI_Send(bytes.data(), static_cast<int>(size), MPI_CHAR, rank - step, kTag, comm);
      }
      return nullptr;
    }
    if (rank % (2 * step) == 0 && rank + step < ranks) {
      long long size = 0;
      PMPI_Recv(&size, 1, MPI_LONG_LONG, rank + step, kTag, comm, MPI_STATUS_IGNORE);
      if (size < 0) {
        whole = false;
        continue;
      }
      std::vector<char> bytes(static_cast<size_t>(size) + 1);
      if (size > 0) {
        PMPI_Recv(bytes.data(), static_cast<int>(size), MPI_CHAR, rank + step, kTag, comm,
                 MPI_STATUS_IGNORE);
      }
      Run received;
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

bool Agree(MPI_Comm comm, bool ok) {
  int value = ok ? 1 : 0;
  PMPI_Bcast(&value, 1, MPI_INT, 0, comm);
  return value != 0;
}

}  // namespace timetree

