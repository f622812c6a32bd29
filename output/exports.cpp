// Exports of the timer tree for other tools: JSON, folded stacks and an SVG
// flame graph. Each walks the tree without recursion, so any depth works.
#include "output/exports.h"
#include "runformat/text.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "include/timetree.h"
#include "runformat/combined.h"
#include "runformat/files.h"
#include "runformat/flamegraph.h"
#include "output/hints.h"
#include "output/metadata.h"
#include "runformat/reportpage.h"
#include "registry/counters.h"
#include "registry/memory.h"
#include "registry/series.h"
#include "registry/dtimemgr.h"
#include "registry/merge.h"
#include "registry/snapshot.h"
#include "stopwatch/access.h"
#include "stopwatch/atomics.h"
#include "registry/walk.h"

namespace timetree {

namespace {

// Every node of a snapshot's tree counts its time as the snapshot does (see
// Snapshot::kUpToNow), so its total is its watch's.
double Seconds(TimerNode& node) { return node.watch.GetElapsedTime(); }

// Ticks per second, as the JSON export gives them.
double Frequency() {
  const double frequency = LoadAcquire(StopWatch::m_frequency);
  return frequency != 0.0 ? frequency : TickFrequency();
}

// The shortest and the longest interval in seconds; a timer with no
// finished interval (only a running one) has its running one as both.
struct Extremes {
  double shortest, longest;
};
Extremes ExtremesOf(const TimerNode& node) {
  const int64_t shortest = node.shortest != INT64_MAX ? node.shortest : node.longest;
  return {static_cast<double>(shortest) / Frequency(),
          static_cast<double>(node.longest) / Frequency()};
}

}  // namespace

int64_t PairsOf(const Snapshot& snapshot) {
  int64_t pairs = 0;
  if (snapshot.top() == nullptr) return 0;
  WalkPreorder(*snapshot.top(), [&pairs](TimerNode* node, int) {
    pairs += node->count;
    return true;
  });
  return pairs;
}

namespace {

// Running at the snapshot, or when its thread ended.
bool ShownRunning(const TimerNode& node) {
  return StopWatchAccess::Running(node.watch) || node.endedRunning;
}

double SelfSeconds(TimerNode& node) {
  double self = Seconds(node);
  for (PtrListNode* p = node.children.head(); p != nullptr; p = p->next) {
    self -= Seconds(*static_cast<TimerNode*>(p->data));
  }
  return self > 0.0 ? self : 0.0;
}

// Writes what build appends to text into a new file at path, whole (see
// runformat/files.h); false when there is nothing to export, or the file
// cannot be written whole (errno then says why). Memory
// that runs out while the text is built also ends in false: no exception
// leaves the library. build(text, flush, snapshot) sees every thread's
// timers merged by path.
template <class Build>
bool ExportTo(const char* path, Build& build, int& error) {
  if (path == nullptr) return false;
  const Snapshot snapshot(Snapshot::kUpToNow);
  if (snapshot.top() == nullptr) return false;
  WholeFile file(path);
  if (!file.opened()) {
    error = file.error();
    return false;
  }
  bool ok = true;
  try {
    std::string text;
    // Written out in pieces of about 64 KiB, so that a large tree never
    // needs its whole text in memory at once.
    build(
        text,
        [&](bool last) {
          if (text.size() >= (64u << 10) || last) {
            ok = ok && file.Write(text);
            text.clear();
          }
        },
        snapshot);
  } catch (...) {
    ok = false;
  }
  if (!ok || !file.Commit()) {
    error = file.error();
    return false;
  }
  NoteWritten();
  return true;
}

// errno is set after the snapshot and the file are gone, whose release
// could change it.
template <class Build>
bool Export(const char* path, Build build) {
  int error = 0;
  const bool written = ExportTo(path, build, error);
  if (!written) errno = error;
  return written;
}

// node's series in seconds.
SeriesPoints<double> SeriesSeconds(const TimerNode& node) {
  const SeriesPoints<int64_t> ticks = ReadSeries(node);
  SeriesPoints<double> seconds;
  seconds.every = ticks.every;
  seconds.steps = ticks.steps;
  const double frequency = TickFrequency();
  for (size_t i = 0; i < ticks.total.size(); ++i) {
    seconds.total.push_back(static_cast<double>(ticks.total[i]) / frequency);
    seconds.longest.push_back(static_cast<double>(ticks.longest[i]) / frequency);
  }
  return seconds;
}

// A timer's memory per space, as the run format gives it: a sum at
// 2^64 - 1 stopped there.
std::vector<combined::MemoryUse> MemoryUses(const MemorySums& sums) {
  std::vector<combined::MemoryUse> uses;
  const unsigned used = LoadAcquire(sums.used);
  for (int i = 0; i < kMemorySpaces; ++i) {
    if ((used & (1u << i)) == 0 || MemorySpaceName(i) == nullptr) continue;
    combined::MemoryUse use;
    use.space = MemorySpaceName(i);
    use.allocated = LoadRelaxed(sums.allocated[i]);
    use.freed = LoadRelaxed(sums.freed[i]);
    use.peak = LoadRelaxed(sums.peak[i]);
    use.saturated = use.allocated == UINT64_MAX || use.freed == UINT64_MAX;
    uses.push_back(std::move(use));
  }
  combined::SortSpaces(uses);
  return uses;
}

// Appends the timers under top as a JSON array's elements.
template <class Flush>
void AppendJsonTimers(std::string& out, const PtrList& top, Flush& flush) {
  WalkNested(
      top,
      [&](TimerNode* node, int, bool first) {
        out += first ? "\n{\"name\": \"" : ",\n{\"name\": \"";
        AppendJsonString(out, node->FullName());
        AppendFormat(out, "\", \"count\": %lld", static_cast<long long>(node->count));
        AppendFormat(out, ", \"total_seconds\": %.17g", Seconds(*node));
        AppendFormat(out, ", \"self_seconds\": %.17g", SelfSeconds(*node));
        out += node->stoppedImplicitly != 0 ? ", \"stopped_implicitly\": true"
                                            : ", \"stopped_implicitly\": false";
        out += ShownRunning(*node) ? ", \"running\": true" : ", \"running\": false";
        if (node->namesMerged != 0) out += ", \"names_merged\": true";
        // Where more than one thread started the path: the spread of its
        // total over them.
        const Spread spread = SpreadOf(*node);
        if (spread.threads > 1) {
          const double frequency = TickFrequency();
          const double mean = Seconds(*node) / spread.threads;
          const double max = spread.max / frequency;
          AppendFormat(out,
                       ", \"threads\": %d, \"min_seconds\": %.17g, \"max_seconds\": %.17g, "
                       "\"mean_seconds\": %.17g, \"imbalance\": %.17g",
                       spread.threads, spread.min / frequency, max, mean,
                       mean > 0 ? max / mean : 1.0);
        }
        if (node->count > 0) {
          const Extremes extremes = ExtremesOf(*node);
          AppendFormat(out, ", \"min_interval_seconds\": %.17g, \"max_interval_seconds\": %.17g",
                       extremes.shortest, extremes.longest);
        }
        if (node->bytes != 0) {
          AppendFormat(out, ", \"bytes\": %llu", static_cast<unsigned long long>(node->bytes));
          if (node->bytes == UINT64_MAX) out += ", \"bytes_saturated\": true";
        }
        if (node->throttled) out += ", \"throttled\": true";
        // TIMETREE_COUNTERS' sums, over the finished intervals, in the run
        // format's order.
        static_assert(combined::kCounterCount == kCounters, "one name per counter");
        if (const CounterSums* sums = LoadAcquire(node->counters)) {
          for (int i = 0; i < combined::kCounterCount; ++i) {
            if ((g_registry.counters & (1 << i)) == 0) continue;
            AppendFormat(out, i == 0 ? ", \"%s\": %.17g" : ", \"%s\": %.0f",
                         combined::kCounterNames[i], CounterValue(*sums, i));
          }
        }
        if (node->series != nullptr) combined::AppendSeriesJson(out, SeriesSeconds(*node));
        if (const MemorySums* memory = LoadAcquire(node->memory)) {
          combined::AppendMemoryJson(out, MemoryUses(*memory));
        }
        out += ", \"children\": [";
        flush(false);
      },
      [&](TimerNode*, int) { out += "]}"; });
}

}  // namespace

}  // namespace timetree

using timetree::TimerNode;

bool TimeWriteJson(const char* path) {
  return timetree::Export(path, [](std::string& out, auto flush,
                                   const timetree::Snapshot& snapshot) {
    timetree::AppendFormat(out, "{\"schema\": 2, \"frequency\": %.17g, \"timers\": [",
                           timetree::Frequency());
    timetree::AppendJsonTimers(out, *snapshot.top(), flush);
    out += "\n], \"threads\": [";
    // Each thread's own tree; one whose thread still runs is copied first,
    // so that what is written is read once, as of one moment.
    for (timetree::ThreadTree* t = snapshot.first(); t != nullptr; t = t->nextReported) {
      if (!t->finished) {
        pthread_getname_np(t->thread, t->threadName, sizeof t->threadName);
      }
      out += t == snapshot.first() ? "\n{" : ",\n{";
      timetree::AppendFormat(out, "\"tid\": %ld, \"name\": \"", t->tid);
      timetree::AppendJsonString(out, t->threadName);
      timetree::AppendFormat(out, "\", \"finished\": %s, \"threads\": %d, \"timers\": [",
                             t->finished ? "true" : "false", t->threads);
      timetree::PtrList copy;
      snapshot.CopyTree(*t, copy);
      timetree::AppendJsonTimers(out, copy, flush);
      if (copy.head() != nullptr) timetree::DestroyTimers(copy, nullptr);
      out += "\n]}";
    }
    out += "\n]";
    timetree::AppendMetadataJson(out, snapshot.threads(), timetree::PairsOf(snapshot));
    out += "}\n";
    flush(true);
  });
}

namespace timetree {

namespace {

// The timers under top as a combined tree of one source under root.
void AddToRun(const PtrList& top, combined::Node& root) {
  std::vector<combined::Node*> parents{&root};
  WalkPreorder(top, [&](TimerNode* node, int depth) {
    parents.resize(static_cast<size_t>(depth) + 1);
    combined::Node* n = parents.back()->AddChild(node->FullName());
    const double count = static_cast<double>(node->count);
    const double total = Seconds(*node);
    const double self = SelfSeconds(*node);
    n->sources = 1;
    n->count = combined::Figure{count, count, count, 0, 0};
    n->total = combined::Figure{total, total, total, 0, 0};
    n->self = combined::Figure{self, self, self, 0, 0};
    n->implicit = node->stoppedImplicitly != 0;
    n->running = ShownRunning(*node) ? 1 : 0;
    n->names_merged = node->namesMerged != 0;
    if (node->count > 0) {
      const Extremes extremes = ExtremesOf(*node);
      n->intervals = combined::Figure{0, extremes.shortest, extremes.longest, 0, 0};
      n->has_intervals = true;
    }
    n->bytes = static_cast<double>(node->bytes);
    n->throttled = node->throttled;
    if (node->series != nullptr) {
      n->series = SeriesSeconds(*node);
      n->has_series = true;
    }
    const Spread spread = SpreadOf(*node);
    if (spread.threads > 1) {
      n->threads = spread.threads;
      n->thread_min = spread.min / TickFrequency();
      n->thread_max = spread.max / TickFrequency();
    }
    parents.push_back(n);
    return true;
  });
}

}  // namespace

bool WriteReportPage(const char* path) {
  return Export(path, [](std::string& out, auto flush, const Snapshot& snapshot) {
    combined::Run run;
    run.file = program_invocation_short_name;
    AddToRun(*snapshot.top(), run.root);
    for (ThreadTree* t = snapshot.first(); t != nullptr; t = t->nextReported) {
      auto thread = std::make_unique<combined::ThreadRun>();
      if (!t->finished) pthread_getname_np(t->thread, t->threadName, sizeof t->threadName);
      thread->tid = t->tid;
      thread->name = t->threadName;
      thread->finished = t->finished;
      thread->threads = t->threads;
      PtrList copy;
      snapshot.CopyTree(*t, copy);
      AddToRun(copy, thread->root);
      if (copy.head() != nullptr) DestroyTimers(copy, nullptr);
      run.threads.push_back(std::move(thread));
    }
    run.metadata = RunMetadata(snapshot.threads(), PairsOf(snapshot));
    out = ReportPage(RunPageData(run) + "]}");
    flush(true);
  });
}

}  // namespace timetree

void TimeForEachMetadata(void (*visit)(const char* key, const char* value, void* context),
                         void* context) {
  if (visit == nullptr) return;
  std::vector<std::pair<std::string, std::string>> metadata;
  try {
    const timetree::Snapshot snapshot;
    metadata = timetree::RunMetadata(snapshot.threads(), timetree::PairsOf(snapshot));
  } catch (const std::bad_alloc&) {
    return;  // memory is short: no metadata
  }
  for (const auto& entry : metadata) visit(entry.first.c_str(), entry.second.c_str(), context);
}

bool TimeWriteFolded(const char* path) {
  return timetree::Export(path, [](std::string& out, auto flush,
                                   const timetree::Snapshot& snapshot) {
    std::string stack;              // the frames down to the current timer
    std::vector<size_t> lengths;    // stack's length before each frame
    timetree::WalkNested(
        *snapshot.top(),
        [&](TimerNode* node, int depth, bool) {
          lengths.push_back(stack.size());
          if (depth > 0) stack += ';';
          timetree::AppendFoldedName(stack, node->FullName());
          out += stack;
          timetree::AppendFormat(
              out, " %lld\n",
              static_cast<long long>(std::llround(timetree::SelfSeconds(*node) * 1e6)));
          flush(false);
        },
        [&](TimerNode*, int) {
          stack.resize(lengths.back());
          lengths.pop_back();
        });
    flush(true);
  });
}

bool TimeWriteFlameGraph(const char* path) {
  return timetree::Export(path, [&](std::string& out, auto flush,
                                    const timetree::Snapshot& snapshot) {
    const timetree::PtrList& top = *snapshot.top();
    double total = 0.0;
    for (timetree::PtrListNode* p = top.head(); p != nullptr; p = p->next) {
      total += timetree::Seconds(*static_cast<TimerNode*>(p->data));
    }
    int max_depth = 0;
    timetree::WalkPreorder(top, [&](TimerNode*, int depth) {
      if (depth > max_depth) max_depth = depth;
      return true;
    });
    std::string title;
    timetree::AppendFormat(title,
                           "timetree flame graph: %.6f s in all; width is total time, "
                           "hover for details",
                           total);
    timetree::FlameGraph graph(out, total, max_depth, title);
    std::string details;
    timetree::WalkPreorder(top, [&](TimerNode* node, int depth) {
      details.clear();
      timetree::AppendFormat(details, "count %lld, total %.6f s, self %.6f s%s",
                             static_cast<long long>(node->count), timetree::Seconds(*node),
                             timetree::SelfSeconds(*node),
                             timetree::ShownRunning(*node) ? ", running" : "");
      graph.Box(depth, node->FullName(), timetree::Seconds(*node), details,
                timetree::FlameGraph::WarmColour(node->FullName()));
      flush(false);
      return true;
    });
    graph.Finish();
    flush(true);
  });
}

bool TimeForEachTimer64(void (*visit)(const TimeTimerInfo64& timer, void* context),
                        void* context) {
  if (visit == nullptr) return false;
  const timetree::Snapshot snapshot(timetree::Snapshot::kUpToNow);
  if (snapshot.top() == nullptr) return false;
  timetree::WalkPreorder(*snapshot.top(), [&](TimerNode* node, int depth) {
    const timetree::Extremes extremes =
        node->count > 0 ? timetree::ExtremesOf(*node) : timetree::Extremes{0, 0};
    const char* name = node->FullName();
    TimeTimerInfo64 info{depth,
                         name,
                         node->count,
                         timetree::Seconds(*node),
                         timetree::SelfSeconds(*node),
                         node->stoppedImplicitly != 0,
                         timetree::ShownRunning(*node),
                         node->namesMerged != 0,
                         extremes.shortest,
                         extremes.longest,
                         node->bytes,
                         node->throttled,
                         std::strlen(name),
                         0,
                         {},
                         0,
                         0,
                         0,
                         nullptr,
                         nullptr,
                         false};
    timetree::SeriesPoints<double> series;
    if (node->series != nullptr) {
      series = timetree::SeriesSeconds(*node);
      info.series_every = series.every;
      info.series_steps = series.steps;
      info.series_points = series.total.size();
      info.series_seconds = series.total.data();
      info.series_max_seconds = series.longest.data();
      info.series_inexact = series.inexact;
    }
    if (const timetree::CounterSums* sums = timetree::LoadAcquire(node->counters)) {
      info.counters = static_cast<unsigned>(timetree::g_registry.counters);
      for (int i = 0; i < timetree::kCounters; ++i) {
        info.counter_values[i] = timetree::CounterValue(*sums, i);
      }
    }
    visit(info, context);
    return true;
  });
  timetree::NoteWritten();
  return true;
}

namespace {

struct Narrowing {
  void (*visit)(const TimeTimerInfo& timer, void* context);
  void* context;
};

// Hands a timer to a visitor of the 32-bit form; a count past INT_MAX
// stops there, and a name at its first 25 characters, as that form has
// always had it.
void VisitNarrowed(const TimeTimerInfo64& timer, void* context) {
  const auto& to = *static_cast<Narrowing*>(context);
  char cut[timetree::kNameSize];
  timetree::CopyTimerName(cut, timer.name);
  const TimeTimerInfo info{timer.depth,
                           cut,
                           timer.count < INT_MAX ? static_cast<int>(timer.count) : INT_MAX,
                           timer.total_seconds,
                           timer.self_seconds,
                           timer.stopped_implicitly,
                           timer.running};
  to.visit(info, to.context);
}

}  // namespace

bool TimeForEachTimer(void (*visit)(const TimeTimerInfo& timer, void* context), void* context) {
  if (visit == nullptr) return false;
  Narrowing to{visit, context};
  return TimeForEachTimer64(&VisitNarrowed, &to);
}
