// The timer trees of the threads, and the registry that holds them: the
// types that the start/stop path, the timeline, the fork handlers and the
// reports share. The code that attaches, resets, folds and retires trees is
// in threads.cpp.
#ifndef TIMETREE_REGISTRY_THREADTREE_H
#define TIMETREE_REGISTRY_THREADTREE_H

#include <pthread.h>

#include <cstdint>
#include <mutex>

#include "registry/timernode.h"
#include "stopwatch/atomics.h"
#include "stopwatch/locks.h"

namespace timetree {

struct TimelineBuffer;

// A timer found by the name pointer a start passed, in the list it was
// looked up in: a host that names its timers with string literals (or any
// text that stays put) passes the same pointer each time, so that a start
// that is not the last-found or next timer of its list is found again
// without hashing its name. Checked by the list and a compare of the name
// before use; forgotten whenever the tree's timers go. next is the timer of
// the same list that was started after node last time, by the name pointer
// nextName: a loop that starts its timers in a fixed order finds each one
// there by a compare of pointers, its lines fetched ahead while the one
// before it ran, and its name compared as any guess is.
struct SiteEntry {
  const char* name;
  const PtrList* list;
  TimerNode* node;
  TimerNode* next;       // of list, or null
  const char* nextName;  // the name pointer next was started with
};
constexpr int kSiteBits = 11;
constexpr uint64_t kSiteSlots = uint64_t{1} << kSiteBits;  // direct-mapped, by the two pointers

// The timers of one thread. Only the owning thread changes them; reports on
// other threads read them (see the comment at the top of threads.cpp).
struct alignas(64) ThreadTree {
  // What every start and stop reads, in the first cache line.
  TimerNode* current = nullptr;    // innermost running timer
  PtrList* currentList = &root;    // where the next start looks and adds
  uint64_t generation = 0;         // the clear whose timers these are
  TimelineBuffer* timeline = nullptr;  // while recording is on
  TimerNode* base = nullptr;       // the adopted path's last node: where the
                                   // thread's top-level timers go; null: root
  PtrList root;                    // top-level timers, in order of first start
  TimerNode* lastBase = nullptr;   // the last two such nodes, found again
  TimerNode* otherBase = nullptr;  // at once when their paths are adopted
                                   // again (a pool whose regions alternate
                                   // between two timers)
  uint64_t order = 0;              // when its first timer since that clear
                                   // started, among all threads; 0: none yet
  ThreadTree* nextTree = nullptr;  // the registry's chain of trees
  ThreadTree* nextReported = nullptr;  // a report's trees, in order
  pthread_t thread{};              // the owner, while attached
  long tid = 0;                    // the owner's OS thread id
  char threadName[16] = {};        // as the host named the thread, if it did
  int threads = 0;                 // threads whose timers these are: 1, more
                                   // once finished threads are folded in
  bool attached = false;           // a thread owns it (or owned it)
  bool finished = false;           // its thread has exited
  bool leftRunning = false;        // it exited inside a timer
  // A fork may come while the owner is changing the tree's shape (creating
  // a timer, growing an index, emptying a stale tree). The owner raises
  // changing meanwhile and keeps what it allocates reachable from pending,
  // so that a forked child can set such a tree aside whole, without reading
  // or releasing any of it.
  int changing = 0;
  void* pendingNode = nullptr;
  void* pendingIndex[2] = {};      // an index being built, one released
  // kSiteSlots entries (calloc), allocated when one of its lists is first
  // wide enough to be indexed; null before, or when that failed.
  SiteEntry* sites = nullptr;
  // The entry of the timer that the last start through sites found: the
  // next start in its list looks at its next first. Null, or in sites.
  SiteEntry* lastSite = nullptr;
  // The owner's stack, once a call site's record asked (a name on it is not
  // constant text): [stackLow, stackHigh); stackHigh null: not known yet, or
  // it could not be had (then no record is filled).
  const char* stackLow = nullptr;
  const char* stackHigh = nullptr;
  bool stackAsked = false;

  constexpr ThreadTree() = default;
  ThreadTree(const ThreadTree&) = delete;
  ThreadTree& operator=(const ThreadTree&) = delete;
};

// Every thread's tree and timeline, and the clear generation. Its mutex
// guards the chain of trees, the clear, the thread-exit hook, reports and
// exports; it is never taken on the start/stop path except once, when a
// thread attaches its tree. Constant-initialised and trivially destroyed, so
// that it is valid before any constructor and after every destructor of the
// library or its host.
struct alignas(64) Registry {
  constexpr explicit Registry(ThreadTree* main) : mainTree(main) {}
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // What every start and stop reads, in one cache line.
  uint64_t clearGeneration = 0;    // raised by every clear
  int enabled = 0;                 // timing is on: the last value of
                                   // TIMING_ON (see TimeManager)
  int counters = 0;                // what TIMETREE_COUNTERS asks for (a
                                   // CounterBit set), read at load
  int series = 0;                  // some timer name keeps a series
                                   // (TIMETREE_SERIES, TimeSeries)
  ThreadTree* mainTree;            // the main thread's tree, which is part
                                   // of the global timing state
  uint64_t lastOrder = 0;          // the order last handed to a tree
  ThreadTree* trees = nullptr;     // every attached or finished tree
  TimelineBuffer* timelines = nullptr;  // every thread's timeline buffer
  OwnedMutex mutex;
  pthread_key_t exitKey{};         // runs the thread-exit hook
  bool exitKeyCreated = false;
  bool unloaded = false;           // the timing state has been destroyed
  ThreadTree* setAside = nullptr;  // trees a fork caught half-changed, in
                                   // the child: never read, never released
  PtrList* setAsideRoot = nullptr; // the same for the main tree's root list
};

extern Registry g_registry;

// The clear generation as of now.
inline uint64_t CurrentGeneration() { return LoadAcquire(g_registry.clearGeneration); }

// Whether a report shows tree: it belongs to the clear of that generation
// and holds timers.
inline bool Reportable(const ThreadTree& tree, uint64_t generation) {
  return LoadAcquire(tree.generation) == generation && LoadRelaxed(tree.order) != 0 &&
         tree.root.SharedHead() != nullptr;
}

// Where a start of name in list finds its site entry.
inline uint64_t SiteSlot(const char* name, const PtrList* list) {
  const uint64_t mix = reinterpret_cast<uintptr_t>(name) ^ (reinterpret_cast<uintptr_t>(list) << 7);
  return (mix * 0x9E3779B97F4A7C15ull) >> (64 - kSiteBits);
}

// Forgets every site entry of tree: its timers are gone, or set aside.
void ForgetSites(ThreadTree& tree);

// Destroys every timer of tree, by its owner (or the registry, for a tree
// no thread owns), and forgets the site entries that led to them.
void DestroyTreeTimers(ThreadTree& tree);

// Brackets a change of a tree's shape by its owner (see
// ThreadTree::changing). The mark is an exchange, so that none of the
// tree's stores that follow can be seen before it; it is paid once per
// created timer, never by a start of an existing one.
inline void BeginChange(ThreadTree& tree) {
  __atomic_exchange_n(&tree.changing, 1, __ATOMIC_SEQ_CST);
}
inline void EndChange(ThreadTree& tree) { StoreRelease(tree.changing, 0); }

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_THREADTREE_H
