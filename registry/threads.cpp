// The timer trees of the threads: each thread that starts a timer gets a
// tree of its own (the main thread's is the one inside the global timing
// state), reached through a thread-local pointer. Starts and stops touch
// only the calling thread's tree: no lock and no atomic read-modify-write.
// Fields that other threads read (list links, a watch's count and total,
// the current timer, the tree's generation and order) are stored
// atomically, links with release, so that a reader that follows them with
// acquire loads finds every node complete and every value as some moment
// left it, never torn.
//
// Clearing. A clear on any thread deletes its own timers at once and raises
// the clear generation; every other live tree is then stale. Its owner
// notices at its next start or stop, deletes its old timers itself and goes
// on with an empty tree; until then reports skip it. Nothing but the owner
// ever frees a live tree's timers, so no thread can meet a freed node.
// Trees of threads that have finished belong to the registry and are freed
// by the clear itself.
//
// A report reads every tree whose generation is the current one, under the
// registry's mutex: a stale tree cannot change back to current while the
// report holds it, and an owner frees timers only while its tree is stale,
// so what the report walks stays allocated.
//
// Finished threads. When a thread exits, its tree stays for the reports
// until the next clear. To bound memory by distinct paths rather than by
// threads, a finished tree is folded into a finished neighbour (in the order
// of first starts), which keeps the merged order the same.
#include "registry/threads.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "registry/merge.h"
#include "registry/nameindex.h"
#include "registry/series.h"
#include "registry/timeline.h"
#include "stopwatch/access.h"

namespace timetree {

__thread ThreadTree* t_callingTree __attribute__((tls_model("initial-exec"))) = nullptr;

void ForgetSites(ThreadTree& tree) {
  if (tree.sites != nullptr) std::memset(tree.sites, 0, kSiteSlots * sizeof(SiteEntry));
}

void DestroyTreeTimers(ThreadTree& tree) {
  // No call site's record may lead to the timers any more.
  RaiseSiteEpoch();
  if (tree.root.head() != nullptr) DestroyTimers(tree.root, nullptr);
  ForgetSites(tree);
}

void ResetTree(ThreadTree& tree, uint64_t generation) {
  BeginChange(tree);
  DestroyTreeTimers(tree);
  StoreRelaxed(tree.current, static_cast<TimerNode*>(nullptr));
  tree.base = nullptr;
  tree.lastBase = tree.otherBase = nullptr;
  tree.currentList = &tree.root;
  StoreRelaxed(tree.order, uint64_t{0});
  tree.leftRunning = false;
  ResetTimeline(tree, generation);
  StoreRelease(tree.generation, generation);
  EndChange(tree);
}

void EndRunningTimers(ThreadTree& tree, int64_t now, bool fork_child) {
  for (TimerNode* node = tree.current; node != nullptr; node = node->top ? nullptr : node->parent) {
    if (!StopWatchAccess::Running(node->watch)) continue;
    if (tree.timeline != nullptr) {
      RecordEndedRunning(*tree.timeline, node, StopWatchAccess::StartTicks(node->watch), now,
                         fork_child);
    }
    // The interval cut short is at least as long as it ran.
    const int64_t ran = now - StopWatchAccess::StartTicks(node->watch);
    if (ran > node->longest) StoreRelaxed(node->longest, ran);
    StopWatchAccess::EndAt(node->watch, now);
    node->endedRunning = true;
  }
}

namespace {

bool IsMainThread() { return syscall(SYS_gettid) == getpid(); }

void Unlink(ThreadTree& tree) {
  for (ThreadTree** link = &g_registry.trees; *link != nullptr; link = &(*link)->nextTree) {
    if (*link == &tree) {
      *link = tree.nextTree;
      break;
    }
  }
  tree.nextTree = nullptr;
}

// Frees a tree that no thread owns any more; the main thread's tree, which
// is part of the global state, is only emptied. Under the registry mutex.
void Retire(ThreadTree& tree) {
  Unlink(tree);
  if (&tree == g_registry.mainTree) {
    ResetTree(tree, tree.generation);
    tree.attached = tree.finished = false;
    tree.threads = 0;
    return;
  }
  DestroyTreeTimers(tree);
  std::free(tree.sites);
  delete &tree;
}

// Folds a tree that has just finished into the finished trees next to it in
// the order of first starts. Merging neighbours keeps the merged report the
// same, since merging by path is associative. Under the registry mutex.
void FoldFinished(ThreadTree* tree) {
  const uint64_t generation = g_registry.clearGeneration;
  ThreadTree* before = nullptr;
  ThreadTree* after = nullptr;
  for (ThreadTree* t = g_registry.trees; t != nullptr; t = t->nextTree) {
    if (t == tree || !Reportable(*t, generation)) continue;
    if (t->order < tree->order && (before == nullptr || t->order > before->order)) before = t;
    if (t->order > tree->order && (after == nullptr || t->order < after->order)) after = t;
  }
  // The main thread's tree stays in place, so it is the one folded into.
  if (before != nullptr && before->finished && tree != g_registry.mainTree) {
    MergeTimers(before->root, tree->root);
    before->threads += tree->threads;
    before->leftRunning = before->leftRunning || tree->leftRunning;
    Retire(*tree);
    tree = before;
  }
  if (after != nullptr && after->finished && after != g_registry.mainTree) {
    MergeTimers(tree->root, after->root);
    tree->threads += after->threads;
    tree->leftRunning = tree->leftRunning || after->leftRunning;
    Retire(*after);
  }
}

// Runs on a thread that exits after it timed.
void OnThreadExit(void* data) {
  auto* tree = static_cast<ThreadTree*>(data);
  const std::lock_guard<OwnedMutex> lock(g_registry.mutex);
  t_callingTree = nullptr;
  // A thread made later may have the same thread pointer: the records this
  // one filled must not lead it to this tree.
  RaiseSiteEpoch();
  const bool reportable = Reportable(*tree, g_registry.clearGeneration);
  if (reportable) {
    pthread_getname_np(pthread_self(), tree->threadName, sizeof tree->threadName);
    tree->leftRunning = tree->current != nullptr;
    EndRunningTimers(*tree, ReadTicks(), false);
  }
  // The thread's timeline stays whole, apart from the folding of its timers.
  DetachTimeline(*tree);
  if (!reportable) {
    Retire(*tree);
    return;
  }
  tree->finished = true;
  StoreRelaxed(tree->current, static_cast<TimerNode*>(nullptr));
  tree->base = nullptr;
  tree->lastBase = tree->otherBase = nullptr;
  tree->currentList = &tree->root;
  FoldFinished(tree);
}

}  // namespace

ThreadTree* AttachCallingThread() {
  // A start reached while this thread holds the registry (a host's own
  // operator new, timed, called by a report or by this thread's exit) is
  // declined: the lock cannot be taken twice.
  if (g_registry.mutex.HeldByCaller()) return nullptr;
  const std::lock_guard<OwnedMutex> lock(g_registry.mutex);
  ThreadTree* tree = nullptr;
  if (!g_registry.mainTree->attached && IsMainThread()) {
    tree = g_registry.mainTree;
  } else {
    if (AllocationFails(AllocSite::kThreadTree)) return nullptr;
    tree = new (std::nothrow) ThreadTree;
    if (tree == nullptr) return nullptr;
  }
  if (!g_registry.exitKeyCreated && !g_registry.unloaded) {
    g_registry.exitKeyCreated = pthread_key_create(&g_registry.exitKey, &OnThreadExit) == 0;
  }
  if (g_registry.exitKeyCreated) pthread_setspecific(g_registry.exitKey, tree);
  tree->attached = true;
  tree->finished = false;
  tree->threads = 1;
  tree->thread = pthread_self();
  tree->tid = static_cast<long>(syscall(SYS_gettid));
  tree->nextTree = g_registry.trees;
  g_registry.trees = tree;
  ResetTree(*tree, g_registry.clearGeneration);
  AttachTimeline(*tree);
  t_callingTree = tree;
  return tree;
}

ThreadTree* CallingTreeIfAttached() { return StoppingTree(); }

void FreeFinishedTrees() {
  for (ThreadTree* t = g_registry.trees; t != nullptr;) {
    ThreadTree* next = t->nextTree;
    if (t->finished) Retire(*t);
    t = next;
  }
}

TimerNode* NewTimer(ThreadTree& tree, PtrList& list, TimerNode* parent, bool top,
                    const char* name, const NameKey& key) {
  TimerNode* node = TimerNode::Create(AllocSite::kTimer);
  if (node == nullptr) return nullptr;
  BeginChange(tree);
  tree.pendingNode = node;
  // The key's characters: a name given with its length has no terminator;
  // a longer one is (see timetree_start_n).
  std::memcpy(node->name, key.text, key.length < kNameLength ? key.length : kNameLength);
  if (key.length >= kNameLength) {
    node->KeepLongName(name);
    if (node->longName != nullptr || node->longNameUnknown) {
      node->name[kNameKind] = key.whole ? kNamedWhole : kNamedByPrefix;
    }
    if (key.whole && node->longName == nullptr && node->longNameUnknown) {
      // A timer known by its whole name cannot be found again without it.
      tree.pendingNode = nullptr;
      EndChange(tree);
      delete node;
      return nullptr;
    }
  }
  node->parent = parent;
  node->top = top;
  node->owner = &list;
  if (LoadRelaxed(g_registry.series) != 0) {
    node->series = NewSeries(*node, parent);
    node->inSeries = node->series != nullptr;
  }
  if (tree.order == 0) {
    // The tree's place among the threads' trees in the reports: when its
    // first timer since the last clear started.
    StoreRelaxed(tree.order,
                 __atomic_add_fetch(&g_registry.lastOrder, 1, __ATOMIC_RELAXED));
  }
  if (AddTimer(list, node, tree.pendingIndex) == nullptr) {
    // No list block: leave the tree as it was.
    delete node;
    node = nullptr;
  } else if (tree.sites == nullptr && list.index() != nullptr) {
    // A list wide enough for an index: starts in any order are found by
    // their name pointers from now on (no memory: by the index alone).
    tree.sites = static_cast<SiteEntry*>(std::calloc(kSiteSlots, sizeof(SiteEntry)));
  }
  tree.pendingNode = nullptr;
  EndChange(tree);
  return node;
}
void SetTimelineLimit(uint64_t limit) {
  if (limit > kMostTimelineEvents) limit = kMostTimelineEvents;
  StoreRelaxed(g_timelineLimit, limit);
  const std::lock_guard<OwnedMutex> lock(g_registry.mutex);
  ThreadTree* tree = CallingTreeIfAttached();
  if (tree == nullptr) return;
  if (limit == 0) {
    // The buffer stays in the registry until the next clear; the thread
    // records no more.
    DetachTimeline(*tree);
  } else if (tree->timeline == nullptr) {
    AttachTimeline(*tree);
  } else {
    tree->timeline->limit = limit;
  }
}

}  // namespace timetree
