#include "registry/merge.h"

#include <algorithm>
#include <cstring>

#include "stopwatch/access.h"
#include "stopwatch/atomics.h"

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
    const char* name = Of(at)->name;
    if (TimerNode* found = FindTimer(list, NameKey(name))) return found;
    TimerNode* node = TimerNode::Create(AllocSite::kMergedTimer);
    if (node == nullptr) return nullptr;
    std::memcpy(node->name, name, kNameSize);
    node->KeepLongName(Of(at)->longName);
    node->longNameUnknown = node->longNameUnknown || Of(at)->longNameUnknown;
    node->parent = parent;
    node->owner = &list;
    node->slot = AddTimer(list, node);
    if (node->slot == nullptr) {
      delete node;
      return nullptr;
    }
    return node;
  }

  static void Combine(TimerNode* to, Cursor at) {
    const TimerNode& from = *Of(at);
    // The spread first, from the totals as they were before the sum.
    const Spread a = SpreadOf(*to);
    const Spread b = SpreadOf(from);
    to->spreadKept = true;
    to->spreadThreads = a.threads + b.threads;
    to->spreadMin = a.threads == 0 ? b.min : b.threads == 0 ? a.min : std::min(a.min, b.min);
    to->spreadMax = a.threads == 0 ? b.max : b.threads == 0 ? a.max : std::max(a.max, b.max);
    StopWatchAccess::AddInto(to->watch, from.watch);
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
  }
};

}  // namespace

Spread SpreadOf(const TimerNode& node) {
  if (node.spreadKept) return Spread{node.spreadThreads, node.spreadMin, node.spreadMax};
  const double total = StopWatchAccess::LoadElapsed(node.watch);
  return Spread{LoadRelaxed(node.count) > 0 ? 1 : 0, total, total};
}

bool MergeTimers(PtrList& into, const PtrList& from) {
  return MergeByPath<TimerTrees>(into, from);
}

}  // namespace timetree
