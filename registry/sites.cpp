// Call sites' records: the layout the inline path of include/timetree_site.h
// relies on, checked against the library's own, and the conditions under
// which a record is filled.
#include "registry/sites.h"

#include <pthread.h>

#include <cstddef>

#include "registry/dtimemgr.h"
#include "stopwatch/access.h"
#include "stopwatch/ticks.h"

namespace timetree {

// What the header's inline path reads and writes, where it does.
static_assert(offsetof(ThreadTree, current) == TIMETREE_SITE_TREE_CURRENT, "site layout");
static_assert(offsetof(ThreadTree, currentList) == TIMETREE_SITE_TREE_LIST, "site layout");
static_assert(offsetof(ThreadTree, timeline) == TIMETREE_SITE_TREE_TIMELINE, "site layout");
static_assert(offsetof(ThreadTree, base) == TIMETREE_SITE_TREE_BASE, "site layout");
static_assert(offsetof(ThreadTree, root) == TIMETREE_SITE_TREE_ROOT, "site layout");
static_assert(offsetof(TimerNode, count) == TIMETREE_SITE_NODE_COUNT, "site layout");
static_assert(offsetof(TimerNode, shortest) == TIMETREE_SITE_NODE_SHORTEST, "site layout");
static_assert(offsetof(TimerNode, longest) == TIMETREE_SITE_NODE_LONGEST, "site layout");
static_assert(offsetof(TimerNode, parent) == TIMETREE_SITE_NODE_PARENT, "site layout");
static_assert(offsetof(TimerNode, top) == TIMETREE_SITE_NODE_TOP, "site layout");
static_assert(sizeof(bool) == 1, "site layout");
static_assert(offsetof(TimerNode, children) == TIMETREE_SITE_NODE_CHILDREN, "site layout");
static_assert(sizeof(timetree_site) == 64, "a record is one cache line");

static_assert(offsetof(TimerNode, watch) + StopWatchAccess::kStartOffset ==
                  TIMETREE_SITE_NODE_START,
              "site layout");
static_assert(offsetof(TimerNode, watch) + StopWatchAccess::kElapsedOffset ==
                  TIMETREE_SITE_NODE_ELAPSED,
              "site layout");
static_assert(offsetof(TimerNode, watch) + StopWatchAccess::kRunningOffset ==
                  TIMETREE_SITE_NODE_RUNNING,
              "site layout");

namespace {

// Whether text lies on the calling thread's stack, where an array of const
// char may hold other text at the next call (its bounds asked once per
// tree). True when the bounds cannot be had.
bool OnOwnStack(ThreadTree& tree, const char* text) {
  if (!tree.stackAsked) {
    tree.stackAsked = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* low = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        tree.stackLow = static_cast<const char*>(low);
        tree.stackHigh = tree.stackLow + size;
      }
      pthread_attr_destroy(&attr);
    }
  }
  if (tree.stackHigh == nullptr) return true;
  // Compared as addresses: text is not an object of the stack in general.
  const auto at = reinterpret_cast<uintptr_t>(text);
  return at >= reinterpret_cast<uintptr_t>(tree.stackLow) &&
         at < reinterpret_cast<uintptr_t>(tree.stackHigh);
}

}  // namespace

void FillSite(timetree_site& site, const char* name, ThreadTree& tree, const PtrList* list,
              uint64_t epoch) {
  if (site.abi != TIMETREE_SITE_ABI || (site.flags & TIMETREE_SITE_CONSTANT) == 0) return;
  // The inline path reads the time-stamp counter, counts no counters and
  // adds to no series: where any of those applies, every start is ours.
  if (g_tickMode != TickMode::kTsc || g_registry.counters != 0) return;
  TimerNode* node = tree.current;
  if (node == nullptr || node->owner != list || tree.currentList != &node->children ||
      node->inSeries) {
    return;
  }
  const char* kept = LoadRelaxed(site.name);
  if (kept != nullptr && kept != name) return;
  void* const self = timetree_site_self();
  void* owner = LoadRelaxed(site.owner);
  if (owner == nullptr) {
    if (OnOwnStack(tree, name)) return;
    // The first thread to fill the record owns it; the others' starts are
    // always ours, so that no two threads ever write it.
    if (!__atomic_compare_exchange_n(&site.owner, &owner, self, false, __ATOMIC_RELAXED,
                                     __ATOMIC_RELAXED)) {
      return;
    }
  } else if (owner != self) {
    return;
  }
  StoreRelaxed(site.name, name);
  StoreRelaxed(site.epoch_word, const_cast<const uint64_t*>(&g_siteEpoch));
  StoreRelaxed(site.tree, reinterpret_cast<char*>(&tree));
  StoreRelaxed(site.node, reinterpret_cast<char*>(node));
  StoreRelaxed(site.list, reinterpret_cast<char*>(const_cast<PtrList*>(list)));
  // Last: the record is valid from here.
  StoreRelease(site.epoch, epoch);
}

}  // namespace timetree
