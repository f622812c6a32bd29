// The global timing state and the tree of named, nested timers.
#ifndef TIMETREE_REGISTRY_DTIMEMGR_H
#define TIMETREE_REGISTRY_DTIMEMGR_H

#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "registry/names.h"
#include "registry/ptrlist.h"
#include "sibling/faults.h"
#include "stopwatch/StopWatch.h"

namespace timetree {

struct ThreadTree;
struct TraceBuffer;

// A timer path handed from one thread to another (a TimeContext): its last
// name and the record of the path above it. One record is made per distinct
// path, never changed and kept until unload, so that a context can be read
// safely after the timers it was taken from are gone.
struct PathRecord {
  const PathRecord* parent;
  char name[kNameStorage];
  const char* fullName;  // the creating name whole when it is longer than
                         // name (kept as long as the record), else null;
                         // a worker's copy of the path keeps it, so that
                         // merging the two does not see names that differ
};

struct TimerNode {
  // At most kNameLength characters, zero-padded to kNameStorage bytes.
  alignas(8) char name[kNameStorage] = {};
  PtrList children;              // timers started while this one was current
  TimerNode* parent = nullptr;   // null at top level
  PtrList* owner = nullptr;      // the list that holds this node
  StopWatch watch;               // its own count stays 0: see count
  int64_t count = 0;             // starts, exact at any number
  int stoppedImplicitly = 0;     // closed by a stop that named an outer timer
  int namesMerged = 0;           // started under a name that differs from
                                 // the creating one past kNameLength
  bool longNameUnknown = false;  // longName could not be kept
  bool top = false;              // started at the thread's top level under
                                 // an adopted path: its parent is that
                                 // path's last node, which is not running
  bool endedRunning = false;     // its thread ended (or a fork left it
                                 // behind) while it ran: its last interval
                                 // ends there, and it is shown running
  char* longName = nullptr;      // the creating name whole (malloc), when it
                                 // is longer than kNameLength; else null
  PtrListNode* slot = nullptr;   // this node's entry in its owner list
  const struct PathRecord* path = nullptr;  // its path as a context, once asked
  // Over the threads that started this path, once merged or folded (kept):
  // how many, and the least and greatest of their totals in ticks. A node
  // not kept is one thread's: one thread when started, none otherwise.
  bool spreadKept = false;
  int spreadThreads = 0;
  double spreadMin = 0.0;
  double spreadMax = 0.0;

  TimerNode() = default;
  TimerNode(const TimerNode&) = delete;
  TimerNode& operator=(const TimerNode&) = delete;
  // Destroys and frees the whole subtree, without recursion.
  ~TimerNode();

  // A new record, or null when the allocation at site fails.
  static TimerNode* Create(AllocSite site);

  // The name that created the timer, whole.
  const char* FullName() const { return longName != nullptr ? longName : name; }
  // Keeps name whole in longName when it is longer than the stored name.
  void KeepLongName(const char* full);
};

// The spread of a timer's total over the threads that started its path.
struct Spread {
  int threads;
  double min, max;  // ticks
};
// Read atomically: node may be another thread's, being timed.
Spread SpreadOf(const TimerNode& node);

// Creates timer name (key its key) at the end of list, under parent, in the
// calling thread's tree, bracketed as a change of the tree's shape; null
// when it cannot be allocated.
TimerNode* NewTimer(ThreadTree& tree, PtrList& list, TimerNode* parent, bool top,
                    const char* name, const NameKey& key);

// Called by a start whose name has at least kNameLength characters, with
// the timer it found: when name differs, past the compared characters, from
// the name that created the timer, marks the timer and says once on
// standard error that the two are counted as one.
void NoteLongName(TimerNode& node, const char* name);

// The index of a wide list: an open-addressing table of its timers by name,
// at most half full, probed linearly. Only the thread that owns the list
// uses it; the list itself keeps the order of first starts.
struct NameIndex {
  uint32_t shift;  // 64 - log2(slots), the slot count a power of two
  uint32_t used;
  TimerNode* slots[1];  // 2^(64 - shift) of them

  uint64_t First(const NameKey& key) const { return (KeyHash(key) * kSlotFactor) >> shift; }
  uint64_t Mask() const { return (uint64_t{1} << (64 - shift)) - 1; }
};

// The record of node's path as a context, made for node and its ancestors
// as needed; null when memory is short. The calling thread's own nodes only.
const PathRecord* PathOf(TimerNode* node);

// The timer of list whose name equals key, or null, by a walk.
TimerNode* WalkForTimer(const PtrList& list, const NameKey& key);

// The timer of list whose name equals key, or null. A list of more than a
// few timers is searched through its index, others by a walk.
inline TimerNode* FindTimer(const PtrList& list, const NameKey& key) {
  if (const auto* index = static_cast<const NameIndex*>(list.index())) {
    const uint64_t mask = index->Mask();
    for (uint64_t at = index->First(key);; at = (at + 1) & mask) {
      TimerNode* node = index->slots[at];
      if (node == nullptr || KeyMatches(node->name, key)) return node;
    }
  }
  return WalkForTimer(list, key);
}

// Appends node to list and to the list's index, which is built once the
// list is wide enough and grown as it fills, and sets node->slot before the
// node is reachable. Null when no list block could be had (the list is then
// unchanged); when the index cannot grow it is dropped, and finding falls
// back to the walk. pending, when given, holds each index that is being
// built or released meanwhile, so that it stays reachable.
PtrListNode* AddTimer(PtrList& list, TimerNode* node, void** pending = nullptr);

// Destroys and frees every timer in list with its whole subtree, then empties
// list. owner is the node whose children list is (null for a list of top-level
// timers or of flat records). Works at any depth without recursion.
void DestroyTimers(PtrList& list, TimerNode* owner);

// Visits every timer under the timers of top in depth-first order, a parent
// before its children and siblings in list order, without recursion.
// visit(node, depth) gets depth 0 for the timers of top and returns whether
// to go on into the node's children. Lists of timers never hold null.
template <class Visit>
void WalkPreorder(const PtrList& top, Visit visit) {
  for (PtrListNode* t = top.head(); t != nullptr; t = t->next) {
    auto* root = static_cast<TimerNode*>(t->data);
    if (root == nullptr) continue;
    TimerNode* node = root;
    int depth = 0;
    bool descend = visit(node, depth);
    for (;;) {
      PtrListNode* next = descend ? node->children.head() : nullptr;
      if (next != nullptr) {
        ++depth;
      } else {
        // No child to enter: the next sibling, climbing as far as needed.
        while (node != root) {
          next = node->slot->next;
          if (next != nullptr) break;
          node = node->parent;
          --depth;
        }
        if (next == nullptr) break;
      }
      node = static_cast<TimerNode*>(next->data);
      descend = visit(node, depth);
    }
  }
}

// Visits every timer under the timers of top in depth-first order without
// recursion, calling enter(node, depth, first) on the way down (first: the
// node is the first of its list) and leave(node, depth) once all of its
// children have been left: the shape of a nested text such as JSON.
template <class Enter, class Leave>
void WalkNested(const PtrList& top, Enter enter, Leave leave) {
  PtrListNode* p = top.head();
  int depth = 0;
  while (p != nullptr) {
    auto* node = static_cast<TimerNode*>(p->data);
    enter(node, depth, p->prev == nullptr);
    if (PtrListNode* child = node->children.head()) {
      p = child;
      ++depth;
      continue;
    }
    leave(node, depth);
    while (p->next == nullptr && depth > 0) {
      node = node->parent;
      --depth;
      leave(node, depth);
      p = node->slot;
    }
    p = p->next;
  }
}

// A lock that its holder may take again. Its owner is the holder's
// pthread_t, which a forked child keeps, so that the child can release what
// the fork handlers took (a recursive pthread mutex names its owner by the
// thread id, which changes in the child).
class RecursiveLock {
 public:
  constexpr RecursiveLock() = default;
  void Lock() {
    const pthread_t self = pthread_self();
    // Only the holder can find itself the owner, so depth_ is then its own.
    if (pthread_equal(LoadOwner(), self)) {
      ++depth_;
      return;
    }
    mutex_.lock();
    __atomic_store_n(&owner_, self, __ATOMIC_RELAXED);
    depth_ = 1;
  }
  void Unlock() {
    if (--depth_ == 0) {
      __atomic_store_n(&owner_, pthread_t{}, __ATOMIC_RELAXED);
      mutex_.unlock();
    }
  }

 private:
  pthread_t LoadOwner() const { return __atomic_load_n(&owner_, __ATOMIC_RELAXED); }
  std::mutex mutex_;
  pthread_t owner_{};
  int depth_ = 0;  // only the owner changes or trusts it
};

// The timers of one thread. Only the owning thread changes them; reports on
// other threads read them (see the comment at the top of dtimemgr.cpp).
struct ThreadTree {
  PtrList root;                    // top-level timers, in order of first start
  TimerNode* current = nullptr;    // innermost running timer
  TimerNode* base = nullptr;       // the adopted path's last node: where the
                                   // thread's top-level timers go; null: root
  TimerNode* lastBase = nullptr;   // the last such node, found again at once
                                   // when its path is adopted again
  PtrList* currentList = &root;    // where the next start looks and adds
  uint64_t generation = 0;         // the clear whose timers these are
  uint64_t order = 0;              // when its first timer since that clear
                                   // started, among all threads; 0: none yet
  ThreadTree* nextTree = nullptr;  // the registry's chain of trees
  ThreadTree* nextReported = nullptr;  // a report's trees, in order
  pthread_t thread{};              // the owner, while attached
  long tid = 0;                    // the owner's OS thread id
  char threadName[16] = {};        // as the host named the thread, if it did
  TraceBuffer* trace = nullptr;    // its timeline, while recording is on
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

  constexpr ThreadTree() = default;
  ThreadTree(const ThreadTree&) = delete;
  ThreadTree& operator=(const ThreadTree&) = delete;
};

// The global timing state. Its own tree is that of the process's main
// thread, so that a host with one thread works on it alone, exactly as
// before threads were supported; other threads' trees are allocated.
struct TimeManager : ThreadTree {
  int enabled = 0;                 // last value of TIMING_ON
  FILE* console = nullptr;         // console channel, while open
  FILE* file = nullptr;            // file channel, while open
  int bannerPrinted = 0;           // banner written since the last close

  uint64_t clearGeneration = 0;    // raised by every clear
  uint64_t lastOrder = 0;          // the order last handed to a tree
  ThreadTree* trees = nullptr;     // every attached or finished tree
  TraceBuffer* traces = nullptr;   // every thread's timeline buffer
  std::mutex registryMutex;        // guards trees, clears, reports, exports
  RecursiveLock channelLock;        // guards the channels' fields and writes
  pthread_key_t exitKey{};         // runs the thread-exit hook
  bool exitKeyCreated = false;
  bool unloaded = false;           // the destructor has run
  ThreadTree* setAside = nullptr;  // trees a fork caught half-changed, in
                                   // the child: never read, never released
  PtrList* setAsideRoot = nullptr; // the same for this tree's own root list
  int outputAsked = 0;             // TIMETREE_OUTPUT names outputs: a clear
                                   // keeps timing on unless TIMING_ON is
                                   // set to an off value
  long timingReadPid = 0;          // the process whose clear read TIMING_ON
                                   // last; 0: none has
  int offNoted = 0;                // a start has met timing off
  long offHintPid = 0;             // the process that then had TIMING_ON
                                   // unset, to be told at exit; 0: none

  constexpr TimeManager() = default;
  TimeManager(const TimeManager&) = delete;
  TimeManager& operator=(const TimeManager&) = delete;
  // Unload: closes the channels, clears the timers, disables timing.
  ~TimeManager();
};

// The one global timing state. It is constant-initialised, so it is valid
// before any constructor of the library or its host runs.
extern TimeManager g_timeManager;

// The calling thread's tree without attaching one: null when the thread has
// never timed. A tree that a clear on another thread emptied is reset first.
ThreadTree* CallingTreeIfAttached();

// The first start that finds timing off notes whether TIMING_ON is unset;
// at unload WriteOffHint then says, once, how to turn timing on.
void NoteStartWhileOff() __attribute__((noinline));
void WriteOffHint();

// Whether a report shows tree: it belongs to the clear of that generation
// and holds timers.
bool Reportable(const ThreadTree& tree, uint64_t generation);

// Holds the output channels for a whole message or report, so that text of
// other threads never interleaves with it. Recursive: TimeComment inside
// takes it again.
class ChannelLock {
 public:
  ChannelLock() { g_timeManager.channelLock.Lock(); }
  ~ChannelLock() { g_timeManager.channelLock.Unlock(); }
  ChannelLock(const ChannelLock&) = delete;
  ChannelLock& operator=(const ChannelLock&) = delete;
};

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_DTIMEMGR_H
