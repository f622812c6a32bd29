#include "registry/merge.h"

#include "registry/counters.h"
#include "registry/memory.h"
#include "registry/series.h"

#include <algorithm>
#include <cstring>

#include "stopwatch/access.h"
#include "stopwatch/atomics.h"
#include "registry/nameindex.h"

namespace timetree {

namespace {

// Timer trees as MergeByPath walks them. A node's element, name, parent and
// slot are set before the node is linked, so they are read plainly once the
// link has been acquired; links, counts and totals are read atomically.
struct TimerTrees {
  using Into = PtrList;
  using From = PtrList;
  using IntoNode = TimerNode;
  using Cursor = PtrListNode*;

  static TimerNode* Of(Cursor at) { return static_cast<TimerNode*>(at->data); }
  static Cursor First(const PtrList& from) { return from.SharedHead(); }
  static Cursor FirstChild(Cursor at) { return Of(at)->children.SharedHead(); }
  static Cursor Next(Cursor at) { return LoadAcquire(at->next); }
  static Cursor Up(Cursor at) {
    const TimerNode* parent = Of(at)->parent;
    return parent != nullptr ? parent->slot : nullptr;
  }
  static TimerNode* Parent(TimerNode* node) { return node->parent; }

  static TimerNode* FindOrAdd(PtrList& into, TimerNode* parent, Cursor at) {
    PtrList& list = parent != nullptr ? parent->children : into;
    if (TimerNode* found = FindTimer(list, KeyOf(*Of(at)))) return found;
    TimerNode* node = TimerNode::Create(AllocSite::kMergedTimer);
    if (node == nullptr) return nullptr;
    if (!node->CopyName(*Of(at))) {
      delete node;
      return nullptr;
    }
    node->parent = parent;
    node->owner = &list;
    node->slot = AddTimer(list, node);
    if (node->slot == nullptr) {
      delete node;
      return nullptr;
    }
    return node;
  }

  // When set, a running timer counts its open interval up to this reading.
  const int64_t* up_to = nullptr;

  // from's open interval up to up_to, in ticks: 0 without up_to, or when
  // it does not run.
  int64_t Open(const TimerNode& from) const {
    if (up_to == nullptr || !StopWatchAccess::LoadRunning(from.watch)) return 0;
    const int64_t start = StopWatchAccess::LoadStartTicks(from.watch);
    return *up_to > start ? *up_to - start : 0;
  }

  void Combine(TimerNode* to, Cursor at) const {
    const TimerNode& from = *Of(at);
    // Its total in ticks: the finished intervals, and with up_to the open
    // one, which also counts in the longest interval (it is at least that
    // long).
    const int64_t open = Open(from);
    const double ticks = StopWatchAccess::LoadElapsed(from.watch) + static_cast<double>(open);
    to->shortest = std::min(to->shortest, LoadRelaxed(from.shortest));
    to->longest = std::max({to->longest, LoadRelaxed(from.longest), open});
    to->bytes = SaturatingAdd(to->bytes, LoadRelaxed(from.bytes));
    if (LoadRelaxed(from.throttled)) to->throttled = true;
    AddCounters(*to, from);
    AddSeries(*to, from);
    AddMemory(*to, from);
    // The spread first, from the totals as they were before the sum.
    const Spread a = SpreadOf(*to);
    const Spread b = from.spreadKept ? SpreadOf(from)
                                     : Spread{LoadRelaxed(from.count) > 0 ? 1 : 0, ticks, ticks};
    to->spreadKept = true;
    to->spreadThreads = a.threads + b.threads;
    to->spreadMin = a.threads == 0 ? b.min : b.threads == 0 ? a.min : std::min(a.min, b.min);
    to->spreadMax = a.threads == 0 ? b.max : b.threads == 0 ? a.max : std::max(a.max, b.max);
    StopWatchAccess::Elapsed(to->watch) += ticks;
    to->count += LoadRelaxed(from.count);
    if (LoadRelaxed(from.stoppedImplicitly) != 0) to->stoppedImplicitly = 1;
    // Timers of two threads (or runs) whose names differ only past the
    // compared characters are merged too: say so.
    if (LoadRelaxed(from.namesMerged) != 0 ||
        (!to->longNameUnknown && !from.longNameUnknown &&
         std::strcmp(to->FullName(), from.FullName()) != 0)) {
      to->namesMerged = 1;
    }
    if (StopWatchAccess::LoadRunning(from.watch)) StopWatchAccess::SetRunning(to->watch);
    if (from.endedRunning) to->endedRunning = true;
  }
};

}  // namespace

bool MergeTimers(PtrList& into, const PtrList& from, const int64_t* up_to) {
  TimerTrees trees;
  trees.up_to = up_to;
  return MergeByPath(trees, into, from);
}

}  // namespace timetree
