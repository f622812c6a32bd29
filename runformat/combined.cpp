#include "runformat/combined.h"

#include <algorithm>

#include <cmath>
#include <cstdlib>
#include <set>

#include "runformat/text.h"
#include "registry/merge.h"

namespace timetree {
namespace combined {

Node::~Node() {
  std::vector<std::unique_ptr<Node>> pending = std::move(children);
  while (!pending.empty()) {
    std::unique_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children) pending.push_back(std::move(child));
    node->children.clear();
  }
}

Node* Node::Child(const std::string& child_name) const {
  const auto found = by_name.find(child_name);
  return found != by_name.end() ? found->second : nullptr;
}

Node* Node::AddChild(const std::string& child_name) {
  auto node = std::make_unique<Node>();
  node->name = child_name;
  node->parent = this;
  node->index = children.size();
  children.push_back(std::move(node));
  by_name.emplace(child_name, children.back().get());
  return children.back().get();
}

namespace {

// Runs' trees as merging by path walks them.
struct RunTrees : NodeCursor {
  using Into = Node;
  using IntoNode = Node;

  static Node* Parent(Node* node) { return node->parent; }
  static Node* FindOrAdd(Node& root, Node* parent, Cursor at) {
    Node& list = parent != nullptr ? *parent : root;
    if (Node* found = list.Child(at->name)) return found;
    return list.AddChild(at->name);
  }

  static void Add(Figure& to, const Figure& from, bool first) {
    if (first) {
      to = from;
      return;
    }
    to.sum += from.sum;
    // Ties keep the earlier source, so that combining in any grouping
    // names the same one.
    if (from.min < to.min) {
      to.min = from.min;
      to.min_source = from.min_source;
    }
    if (from.max > to.max) {
      to.max = from.max;
      to.max_source = from.max_source;
    }
  }

  static void Combine(Node* to, Cursor from) {
    const bool first = to->sources == 0;
    if (first) {
      to->m2 = from->m2;
    } else {
      // The pairwise update of the squared differences (Chan, Golub and
      // LeVeque), from the two parts' sources, means and squared differences.
      const double na = static_cast<double>(to->sources);
      const double nb = static_cast<double>(from->sources);
      const double delta = from->total.sum / nb - to->total.sum / na;
      to->m2 += from->m2 + delta * delta * na * nb / (na + nb);
    }
    Add(to->count, from->count, first);
    Add(to->total, from->total, first);
    Add(to->self, from->self, first);
    to->sources += from->sources;
    to->implicit = to->implicit || from->implicit;
    to->running += from->running;
    to->names_merged = to->names_merged || from->names_merged;
    if (from->has_intervals) {
      Add(to->intervals, from->intervals, !to->has_intervals);
      to->has_intervals = true;
    }
    to->bytes += from->bytes;
    to->throttled = to->throttled || from->throttled;
    for (int i = 0; i < kCounterCount; ++i) {
      if ((from->has_counters & (1u << i)) == 0) continue;
      to->counters[i] = i == kPeakCounter && (to->has_counters & (1u << i)) != 0
                            ? std::max(to->counters[i], from->counters[i])
                            : to->counters[i] + from->counters[i];
    }
    to->has_counters |= from->has_counters;
    if (from->has_series) {
      if (to->has_series) {
        to->series.Add(from->series);
      } else {
        to->series = from->series;
      }
      to->has_series = true;
    }
    AddMemoryUse(to->memory, from->memory);
  }
};

}  // namespace

double Node::StdDev() const {
  return sources > 0 && m2 > 0 ? std::sqrt(m2 / static_cast<double>(sources)) : 0.0;
}

void MergeRuns(Run& into, const Run& from) {
  MergeByPath(RunTrees(), into.root, from.root);
  into.sources += from.sources;
}

std::unique_ptr<Run> Combine(std::vector<std::unique_ptr<Run>>& runs) {
  auto combined = std::make_unique<Run>();
  combined->combined = true;
  combined->sources = 0;
  bool whole = true;  // every source's metadata is known
  for (const auto& run : runs) {
    // Source indices count across the inputs: shift this run's by the
    // sources before it.
    const long offset = combined->sources;
    std::vector<Node*> todo{&run->root};
    while (!todo.empty()) {
      Node* node = todo.back();
      todo.pop_back();
      for (Figure* f : {&node->count, &node->total, &node->self, &node->intervals}) {
        f->min_source += offset;
        f->max_source += offset;
      }
      for (auto& child : node->children) todo.push_back(child.get());
    }
    MergeRuns(*combined, *run);
    // Each source keeps its metadata, when every input gives each of its
    // sources'.
    if (!run->combined) {
      combined->source_metadata.push_back(run->metadata);
    } else if (run->source_metadata.size() == static_cast<size_t>(run->sources)) {
      for (const Metadata& m : run->source_metadata) combined->source_metadata.push_back(m);
    } else {
      whole = false;
    }
  }
  if (!whole) combined->source_metadata.clear();
  combined->metadata = AgreedMetadata(combined->source_metadata);
  return combined;
}

Metadata AgreedMetadata(std::vector<Metadata>& sources) {
  bool any = false;
  for (const Metadata& m : sources) any = any || !m.empty();
  Metadata agreed;
  if (!any) {
    sources.clear();
    return agreed;
  }
  for (const auto& entry : sources.front()) {
    bool all = true;
    for (const Metadata& m : sources) {
      bool same = false;
      for (const auto& e : m) same = same || e == entry;
      all = all && same;
    }
    if (all) agreed.push_back(entry);
  }
  return agreed;
}

void AppendSeriesJson(std::string& out, const SeriesPoints<double>& series) {
  AppendFormat(out, ", \"series\": {\"every\": %lld, \"steps\": %lld, \"seconds\": [",
               static_cast<long long>(series.every), static_cast<long long>(series.steps));
  for (size_t i = 0; i < series.total.size(); ++i) {
    AppendFormat(out, i == 0 ? "%.9g" : ", %.9g", series.total[i]);
  }
  out += "], \"max_seconds\": [";
  for (size_t i = 0; i < series.longest.size(); ++i) {
    AppendFormat(out, i == 0 ? "%.9g" : ", %.9g", series.longest[i]);
  }
  out += series.inexact ? "], \"inexact\": true}" : "]}";
}

void SortSpaces(std::vector<MemoryUse>& memory) {
  std::sort(memory.begin(), memory.end(),
            [](const MemoryUse& a, const MemoryUse& b) { return a.space < b.space; });
}

void AppendMemoryJson(std::string& out, const std::vector<MemoryUse>& memory) {
  if (memory.empty()) return;
  out += ", \"memory\": {";
  for (size_t i = 0; i < memory.size(); ++i) {
    const MemoryUse& use = memory[i];
    out += i == 0 ? "\"" : ", \"";
    AppendJsonString(out, use.space.c_str());
    AppendFormat(
        out,
        "\": {\"allocated_bytes\": %llu, \"freed_bytes\": %llu, "
        "\"peak_live_bytes\": %llu%s}",
        static_cast<unsigned long long>(use.allocated), static_cast<unsigned long long>(use.freed),
        static_cast<unsigned long long>(use.peak), use.saturated ? ", \"saturated\": true" : "");
  }
  out += '}';
}

void AddMemoryUse(std::vector<MemoryUse>& to, const std::vector<MemoryUse>& from) {
  for (const MemoryUse& use : from) {
    MemoryUse* into = nullptr;
    for (MemoryUse& have : to) {
      if (have.space == use.space) into = &have;
    }
    if (into == nullptr) {
      to.push_back(use);
      continue;
    }
    into->saturated = into->saturated || use.saturated;
    into->allocated = SaturatingAdd(into->allocated, use.allocated, &into->saturated);
    into->freed = SaturatingAdd(into->freed, use.freed, &into->saturated);
    into->peak = std::max(into->peak, use.peak);
  }
  SortSpaces(to);
}

void AppendMetadataObject(std::string& out, const Metadata& metadata) {
  out += '{';
  const char* comma = "";
  for (const auto& entry : metadata) {
    out += comma;
    out += '"';
    AppendJsonString(out, entry.first.c_str());
    out += "\": \"";
    AppendJsonString(out, entry.second.c_str());
    out += '"';
    comma = ", ";
  }
  out += '}';
}

std::string FoldedPath(const Node& node) {
  std::vector<const Node*> chain;
  for (const Node* n = &node; n != nullptr && n->parent != nullptr; n = n->parent) {
    chain.push_back(n);
  }
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += ';';
    AppendFoldedName(path, (*it)->name.c_str());
  }
  return path;
}

double RunTotal(const Run& run) {
  double total = 0;
  for (const auto& node : run.root.children) total += node->Mean();
  return total;
}

namespace {

// A top-level timer's share of the wall time: its total; while it runs
// (its open interval not counted), at least its children's finished ones.
double TopLevelTime(const Node& node) {
  double time = node.Mean();
  if (node.running) {
    double children = 0;
    for (const auto& child : node.children) children += child->Mean();
    time = std::max(time, children);
  }
  return time;
}

}  // namespace


double MetadataNumber(const Metadata& metadata, const char* key) {
  for (const auto& entry : metadata) {
    if (entry.first == key) return std::strtod(entry.second.c_str(), nullptr);
  }
  return 0;
}

long MetadataRank(const Metadata& metadata) {
  long rank = -1;
  for (const auto& entry : metadata) {
    if (entry.first != "rank") continue;
    char* end = nullptr;
    rank = std::strtol(entry.second.c_str(), &end, 10);
    if (end == entry.second.c_str() || *end != '\0' || rank < 0) rank = -1;
  }
  return rank;
}

double ProcessWallTime(const Run& run, bool* threaded) {
  double wall = MetadataNumber(run.metadata, "wall_seconds");
  double threads = MetadataNumber(run.metadata, "threads");
  if (!run.source_metadata.empty()) {
    // A combined run's: the mean over its sources, as its figures are.
    wall = 0;
    for (const auto& metadata : run.source_metadata) {
      wall += MetadataNumber(metadata, "wall_seconds");
      threads = std::max(threads, MetadataNumber(metadata, "threads"));
    }
    wall /= static_cast<double>(run.source_metadata.size());
  }
  if (threaded != nullptr) *threaded = threads > 1;
  return wall;
}

std::string MissingRanks(const Run& run) {
  long ranks = 0;
  std::set<long> present;
  for (const auto& metadata : run.source_metadata) {
    const long size = static_cast<long>(MetadataNumber(metadata, "ranks"));
    const long rank = MetadataRank(metadata);
    if (size <= 0 || rank < 0 || (ranks != 0 && size != ranks)) return "";
    present.insert(rank);
    ranks = size;
  }
  if (ranks <= 0 || static_cast<long>(present.size()) >= ranks) return "";
  std::vector<long> missing;
  for (long r = 0; r < ranks; ++r) {
    if (present.count(r) == 0) missing.push_back(r);
  }
  std::string text;
  AppendFormat(text, "of a job of %ld ranks, rank%s ", ranks, missing.size() == 1 ? "" : "s");
  constexpr size_t kNamed = 16;
  for (size_t i = 0; i < missing.size() && i < kNamed; ++i) {
    if (i > 0) text += i + 1 == missing.size() ? " and " : ", ";
    text += std::to_string(missing[i]);
  }
  if (missing.size() > kNamed) AppendFormat(text, " and %zu more", missing.size() - kNamed);
  text += missing.size() == 1 ? " is missing" : " are missing";
  return text;
}

double RunWallTime(const Run& run) {
  bool threaded = false;
  const double wall = ProcessWallTime(run, &threaded);
  if (threaded && wall > 0) return wall;
  const Node& top = run.combined || run.threads.empty() ? run.root : run.threads.front()->root;
  double total = 0;
  for (const auto& node : top.children) total += TopLevelTime(*node);
  return total;
}

std::string CombinedJson(const Run& run) {
  std::string out;
  AppendFormat(out, "{\"schema\": %d, \"combined\": true, \"sources\": %ld, \"timers\": [",
                         kSchema, run.sources);
  auto figure = [&out](const char* key, const Figure& f, long sources, bool seconds,
                       const double* stddev = nullptr) {
    if (seconds) {
      AppendFormat(out, ", \"%s\": {\"sum\": %.17g, \"mean\": %.17g", key, f.sum,
                   f.sum / static_cast<double>(sources));
      if (stddev != nullptr) AppendFormat(out, ", \"stddev\": %.17g", *stddev);
      AppendFormat(out, ", \"min\": %.17g, \"max\": %.17g, \"min_source\": %ld, \"max_source\": %ld}",
                   f.min, f.max, f.min_source, f.max_source);
    } else {
      AppendFormat(out, ", \"%s\": {\"sum\": %.17g, \"min\": %.17g, \"max\": %.17g}",
                             key, f.sum, f.min, f.max);
    }
  };
  // Written nested without recursion: each node opens its object and its
  // children's array, which close once its last descendant is written.
  std::vector<const Node*> open;
  Preorder(run.root, [&](const Node& node, int depth) {
    while (static_cast<int>(open.size()) > depth) {
      out += "]}";
      open.pop_back();
    }
    out += node.index == 0 ? "\n{\"name\": \"" : ",\n{\"name\": \"";
    AppendJsonString(out, node.name.c_str());
    AppendFormat(out, "\", \"sources\": %ld", node.sources);
    figure("count", node.count, node.sources, false);
    const double stddev = node.StdDev();
    figure("total_seconds", node.total, node.sources, true, &stddev);
    figure("self_seconds", node.self, node.sources, true);
    out += node.implicit ? ", \"stopped_implicitly\": true" : ", \"stopped_implicitly\": false";
    if (node.running > 0) AppendFormat(out, ", \"running_sources\": %ld", node.running);
    if (node.names_merged) out += ", \"names_merged\": true";
    if (node.has_intervals) {
      AppendFormat(out,
                   ", \"min_interval_seconds\": %.17g, \"min_interval_source\": %ld, "
                   "\"max_interval_seconds\": %.17g, \"max_interval_source\": %ld",
                   node.intervals.min, node.intervals.min_source, node.intervals.max,
                   node.intervals.max_source);
    }
    if (node.bytes > 0) AppendFormat(out, ", \"bytes\": %.17g", node.bytes);
    if (node.throttled) out += ", \"throttled\": true";
    for (int i = 0; i < kCounterCount; ++i) {
      if ((node.has_counters & (1u << i)) != 0) {
        AppendFormat(out, ", \"%s\": %.17g", kCounterNames[i], node.counters[i]);
      }
    }
    if (node.has_series) AppendSeriesJson(out, node.series);
    AppendMemoryJson(out, node.memory);
    out += ", \"children\": [";
    open.push_back(&node);
    return true;
  });
  while (!open.empty()) {
    out += "]}";
    open.pop_back();
  }
  out += "\n]";
  if (!run.source_metadata.empty()) {
    out += ", \"metadata\": ";
    AppendMetadataObject(out, run.metadata);
    out += ", \"source_metadata\": [";
    for (size_t i = 0; i < run.source_metadata.size(); ++i) {
      if (i > 0) out += ", ";
      AppendMetadataObject(out, run.source_metadata[i]);
    }
    out += "]";
  }
  out += "}\n";
  return out;
}

NodeCursor::Cursor NodeCursor::First(const Node& root) {
  return root.children.empty() ? nullptr : root.children.front().get();
}

NodeCursor::Cursor NodeCursor::Next(Cursor at) {
  const auto& siblings = at->parent->children;
  return at->index + 1 < siblings.size() ? siblings[at->index + 1].get() : nullptr;
}

NodeCursor::Cursor NodeCursor::Up(Cursor at) {
  return at->parent != nullptr && at->parent->parent != nullptr ? at->parent : nullptr;
}

}  // namespace combined
}  // namespace timetree
