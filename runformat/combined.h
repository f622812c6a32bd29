// The combined format: the timer trees of many runs or processes merged
// by path, with per path the number of sources that have it and the sum,
// least and greatest of each figure and the source of each. A single run is
// held as a combined one of one source, so that everything that reads runs
// handles both alike. Shared by the timetree command and the MPI component.
#ifndef TIMETREE_RUNFORMAT_COMBINED_H
#define TIMETREE_RUNFORMAT_COMBINED_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "registry/seriespoints.h"

namespace timetree {
namespace combined {

// The newest JSON schema that is read and written.
constexpr int kSchema = 2;

// A figure over the sources that have a path: sum, least and greatest, and
// the (first) source index of each.
struct Figure {
  double sum = 0, min = 0, max = 0;
  long min_source = 0, max_source = 0;
};

// The counters TIMETREE_COUNTERS adds to a timer, as the JSON names them;
// the one at kPeakCounter merges by its highest, the others by their sum.
constexpr int kCounterCount = 9;
constexpr const char* kCounterNames[kCounterCount] = {
    "cpu_seconds", "page_faults",  "context_switches", "rss_growth_bytes", "peak_rss_bytes",
    "cycles",      "instructions", "cache_misses",     "branch_misses"};
constexpr int kPeakCounter = 4;

// One memory space's figures of a timer: bytes allocated and freed (sums
// over the sources), and the most live after an allocation within it (the
// highest of the sources'); saturated where a source's sum stopped at
// 2^64 - 1.
struct MemoryUse {
  std::string space;
  uint64_t allocated = 0, freed = 0, peak = 0;
  bool saturated = false;
};

struct Node {
  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Frees the subtree without recursion, so that any depth works.
  ~Node();

  std::string name;
  Node* parent = nullptr;
  size_t index = 0;  // place among the parent's children
  std::vector<std::unique_ptr<Node>> children;
  std::unordered_map<std::string, Node*> by_name;

  long sources = 0;  // how many sources have this path
  Figure count, total, self;
  // The sum of the squared differences of the sources' totals from their
  // mean, which merges pairwise (so that combining in any grouping gives
  // the figure a single pass gives); 0 for one source.
  double m2 = 0;
  bool implicit = false;  // stopped implicitly in any source
  long running = 0;  // the sources in which it ran when written: a single
                     // run's 1 or 0; kept per source, so that a killed
                     // job's merged files still say which timers ran
  bool names_merged = false;  // names that differ past the 25th character
                              // counted as this one timer, in any source
  // A single run's path that more than one thread started: how many, and
  // the least and greatest of their totals; threads 0 otherwise.
  long threads = 0;
  double thread_min = 0, thread_max = 0;
  // The shortest and the longest single interval over the sources (min and
  // max, with the source of each; sum unused), when any source gives them.
  Figure intervals;
  bool has_intervals = false;
  double bytes = 0;        // summed over the sources
  bool throttled = false;  // its caller stopped timing it, in any source
  // The counters (see kCounterNames) any source gave, as bits, and their
  // values.
  unsigned has_counters = 0;
  double counters[kCounterCount] = {};
  // Its series over a loop's steps (seconds), when it has one: the sources'
  // added step by step.
  bool has_series = false;
  SeriesPoints<double> series;
  // What its intervals allocated and freed per memory space (TimeAddMemory,
  // the Kokkos tool), one entry a space, in the order of their names.
  std::vector<MemoryUse> memory;

  // The total over the sources that have the path: a single run's own.
  double Mean() const { return sources > 0 ? total.sum / sources : 0.0; }
  double MeanSelf() const { return sources > 0 ? self.sum / sources : 0.0; }
  // The standard deviation of the sources' totals (over the sources that
  // have the path, dividing by their number).
  double StdDev() const;
  Node* Child(const std::string& child_name) const;
  Node* AddChild(const std::string& child_name);
};

// How merging by path (registry/merge.h) walks a tree of Nodes as the tree
// it merges from: the cursor is the node itself.
struct NodeCursor {
  using From = Node;
  using Cursor = const Node*;
  static Cursor First(const Node& root);
  static Cursor FirstChild(Cursor at) { return First(*at); }
  static Cursor Next(Cursor at);
  static Cursor Up(Cursor at);
};

// One thread's own tree, as the JSON's per-thread part gives it.
struct ThreadRun {
  long tid = 0;
  std::string name;
  bool finished = false;
  long threads = 1;
  Node root;
};

// A run's metadata: keys and values (numbers as their text), in order.
using Metadata = std::vector<std::pair<std::string, std::string>>;

struct Run {
  std::string file;
  bool combined = false;
  long sources = 1;
  Metadata metadata;  // a single run's; a combined run's: what all agree on
  std::vector<Metadata> source_metadata;  // a combined run's, per source
  Node root;  // its children are the top-level timers
  std::vector<std::unique_ptr<ThreadRun>> threads;
};

// Merges from into into by path: sources add, figures combine, source
// indices are taken as they are (both runs number the same sources).
// Combining the sources in order, in any grouping, gives the same run.
void MergeRuns(Run& into, const Run& from);

// Combines runs (single or combined, in any mix) into one combined run:
// sources add up, and each path's figures combine, source indices counted
// across the inputs in order (the inputs' own indices are shifted so).
// Combining combined runs gives what combining their sources at once gives.
std::unique_ptr<Run> Combine(std::vector<std::unique_ptr<Run>>& runs);

// The run's wall time, against which shares are taken. Where more than one
// thread timed and the file has the process's wall time (since 1.5), that:
// a pool's threads that time from start to end, summed, are thread time,
// never the run. Otherwise, as a one-thread host always had it, the first
// thread's top-level totals (a thread's top-level timers never overlap);
// for a file without per-thread trees, and for combined runs, the
// top-level totals (means) summed. A top-level timer still running (a
// snapshot, a killed job) counts at least its children's finished time.
double RunWallTime(const Run& run);
// The process's wall time from the library's load to the file's writing
// ("wall_seconds"; a combined run's: the mean over its sources), 0 for a
// file without it; threaded, when given, says whether more than one thread
// timed (then RunWallTime is this).
double ProcessWallTime(const Run& run, bool* threaded = nullptr);
// A number of metadata (its key's value read as one); 0 when it has none.
double MetadataNumber(const Metadata& metadata, const char* key);
// The MPI rank that metadata gives ("rank", a whole number of 0 or more);
// -1 when it gives none.
long MetadataRank(const Metadata& metadata);
// Where a combined run's sources are ranks of one job whose size their
// metadata gives ("ranks", "rank"), and some ranks are not among them (a
// killed job whose ranks did not all write): "of a job of 4 ranks, ranks 1
// and 3 are missing". Empty when none is, or the metadata does not say.
std::string MissingRanks(const Run& run);

// The keys on which all sources' metadata agree (a source without any
// agrees on none); sources is emptied when none has any.
Metadata AgreedMetadata(std::vector<Metadata>& sources);

// Appends metadata as a JSON object of texts.
void AppendMetadataObject(std::string& out, const Metadata& metadata);

// Appends a timer's ", \"series\": {...}" (every, steps, seconds,
// max_seconds), as the library and combined files write it.
void AppendSeriesJson(std::string& out, const SeriesPoints<double>& series);

// Appends a timer's ", \"memory\": {SPACE: {...}, ...}" (allocated_bytes,
// freed_bytes, peak_live_bytes, and "saturated": true where so).
void AppendMemoryJson(std::string& out, const std::vector<MemoryUse>& memory);
// Puts memory's spaces in the order of their names, as files give them.
void SortSpaces(std::vector<MemoryUse>& memory);
// Adds from's figures into to's, space by space (a merge).
void AddMemoryUse(std::vector<MemoryUse>& to, const std::vector<MemoryUse>& from);

// The combined format, as text.
std::string CombinedJson(const Run& run);

// A node's path from the top, each name as the folded export writes it
// (";" as ":", blanks and control characters as "_", empty as "(empty)"),
// joined by ";".
std::string FoldedPath(const Node& node);

// Visits every node under root, parent before children, without
// recursion: visit(node, depth) with depth 0 at the top; returns whether to
// enter the node's children.
template <class Visit>
void Preorder(const Node& root, Visit visit) {
  struct Frame {
    const Node* node;
    size_t next;
  };
  std::vector<Frame> stack{{&root, 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.node->children.size()) {
      stack.pop_back();
      continue;
    }
    const Node* child = frame.node->children[frame.next++].get();
    if (visit(*child, static_cast<int>(stack.size()) - 1)) stack.push_back({child, 0});
  }
}

// The sum of the top-level nodes' mean totals: the whole run.
double RunTotal(const Run& run);

}  // namespace combined
}  // namespace timetree

#endif  // TIMETREE_RUNFORMAT_COMBINED_H
