// The timing manager: the global state, the timer trees of the threads and
// their start/stop protocol with the repair of unbalanced calls.
//
// Threads. Every thread that starts a timer gets a tree of its own (the main
// thread's is the one inside g_timeManager), reached through a thread-local
// pointer. Starts and stops touch only the calling thread's tree: no lock
// and no atomic read-modify-write. Fields that other threads read (list
// links, a watch's count and total, the current timer, the tree's
// generation and order) are stored atomically, links with release, so that
// a reader that follows them with acquire loads finds every node complete
// and every value as some moment left it, never torn.
//
// Clearing. A clear on any thread deletes its own timers at once and raises
// the clear generation; every other live tree is then stale. Its owner
// notices at its next start or stop, deletes its old timers itself and goes
// on with an empty tree; until then reports skip it. Nothing but the owner
// ever frees a live tree's timers, so no thread can meet a freed node.
// Trees of threads that have finished belong to the registry and are freed
// by the clear itself.
//
// The registry mutex guards the chain of trees, the clear, the thread-exit
// hook, reports and exports; it is never taken on the start/stop path
// except once, when a thread attaches its tree. A report reads every tree
// whose generation is the current one: a stale tree cannot change back to
// current while the report holds the mutex, and an owner frees timers only
// while its tree is stale, so what the report walks stays allocated.
//
// Finished threads. When a thread exits, its tree stays for the reports
// until the next clear. To bound memory by distinct paths rather than by
// threads, a finished tree is folded into a finished neighbour (in the order
// of first starts), which keeps the merged order the same.
#include "registry/dtimemgr.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "include/timetree.h"
#include "output/channels.h"
#include "output/envoutput.h"
#include "output/hints.h"
#include "registry/merge.h"
#include "registry/trace.h"
#include "sibling/switches.h"
#include "stopwatch/access.h"
#include "stopwatch/atomics.h"

namespace timetree {

TimeManager g_timeManager;

namespace {

// The calling thread's tree, or null before its first timer.
__thread ThreadTree* t_callingTree __attribute__((tls_model("initial-exec"))) = nullptr;

uint64_t CurrentGeneration() { return LoadAcquire(g_timeManager.clearGeneration); }

// Guards the interned path records of contexts and of the timeline's
// events; taken on a stop the first time a timer is recorded, so it is also
// held across a fork, lest a child wait forever for a parent's thread.
std::mutex g_pathMutex;

// Brackets a change of a tree's shape by its owner (see ThreadTree::changing).
// The mark is an exchange, so that none of the tree's stores that follow can
// be seen before it; it is paid once per created timer, never by a start of
// an existing one.
inline void BeginChange(ThreadTree& tree) {
  __atomic_exchange_n(&tree.changing, 1, __ATOMIC_SEQ_CST);
}
inline void EndChange(ThreadTree& tree) { StoreRelease(tree.changing, 0); }

// Empties a tree that a clear on another thread made stale. Only the owner
// (or the registry, for a finished tree) calls it.
void ResetTree(ThreadTree& tree, uint64_t generation) {
  BeginChange(tree);
  if (tree.root.head() != nullptr) DestroyTimers(tree.root, nullptr);
  StoreRelaxed(tree.current, static_cast<TimerNode*>(nullptr));
  tree.base = nullptr;
  tree.lastBase = nullptr;
  tree.currentList = &tree.root;
  StoreRelaxed(tree.order, uint64_t{0});
  tree.leftRunning = false;
  ResetTrace(tree, generation);
  StoreRelease(tree.generation, generation);
  EndChange(tree);
}

bool IsMainThread() { return syscall(SYS_gettid) == getpid(); }

// Ends, at now, the intervals of the timers that run on a tree whose thread
// has gone (the current timer and those outside it): each keeps the time up
// to then and is shown as having ended running, so that a snapshot does not
// count time after the thread's end.
void EndRunningTimers(ThreadTree& tree, int64_t now) {
  for (TimerNode* node = tree.current; node != nullptr; node = node->top ? nullptr : node->parent) {
    if (!StopWatchAccess::Running(node->watch)) continue;
    StopWatchAccess::EndAt(node->watch, now);
    node->endedRunning = true;
  }
}

void Unlink(ThreadTree& tree) {
  TimeManager& tm = g_timeManager;
  for (ThreadTree** link = &tm.trees; *link != nullptr; link = &(*link)->nextTree) {
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
  if (&tree == &g_timeManager) {
    ResetTree(tree, tree.generation);
    tree.attached = tree.finished = false;
    tree.threads = 0;
    return;
  }
  if (tree.root.head() != nullptr) DestroyTimers(tree.root, nullptr);
  delete &tree;
}

// Folds a tree that has just finished into the finished trees next to it in
// the order of first starts. Merging neighbours keeps the merged report the
// same, since merging by path is associative. Under the registry mutex.
void FoldFinished(ThreadTree* tree) {
  TimeManager& tm = g_timeManager;
  const uint64_t generation = tm.clearGeneration;
  ThreadTree* before = nullptr;
  ThreadTree* after = nullptr;
  for (ThreadTree* t = tm.trees; t != nullptr; t = t->nextTree) {
    if (t == tree || !Reportable(*t, generation)) continue;
    if (t->order < tree->order && (before == nullptr || t->order > before->order)) before = t;
    if (t->order > tree->order && (after == nullptr || t->order < after->order)) after = t;
  }
  // The main thread's tree stays in place, so it is the one folded into.
  if (before != nullptr && before->finished && tree != &tm) {
    MergeTimers(before->root, tree->root);
    before->threads += tree->threads;
    before->leftRunning = before->leftRunning || tree->leftRunning;
    Retire(*tree);
    tree = before;
  }
  if (after != nullptr && after->finished && after != &tm) {
    MergeTimers(tree->root, after->root);
    tree->threads += after->threads;
    tree->leftRunning = tree->leftRunning || after->leftRunning;
    Retire(*after);
  }
}

// Runs on a thread that exits after it timed.
void OnThreadExit(void* data) {
  auto* tree = static_cast<ThreadTree*>(data);
  TimeManager& tm = g_timeManager;
  const std::lock_guard<std::mutex> lock(tm.registryMutex);
  t_callingTree = nullptr;
  // The thread's timeline stays whole, apart from the folding of its timers.
  DetachTrace(*tree);
  if (!Reportable(*tree, tm.clearGeneration)) {
    Retire(*tree);
    return;
  }
  pthread_getname_np(pthread_self(), tree->threadName, sizeof tree->threadName);
  tree->finished = true;
  tree->leftRunning = tree->current != nullptr;
  EndRunningTimers(*tree, ReadTicks());
  StoreRelaxed(tree->current, static_cast<TimerNode*>(nullptr));
  tree->base = nullptr;
  tree->lastBase = nullptr;
  tree->currentList = &tree->root;
  FoldFinished(tree);
}

// Attaches a tree to the calling thread; null when none can be allocated.
ThreadTree* AttachCallingThread() {
  TimeManager& tm = g_timeManager;
  const std::lock_guard<std::mutex> lock(tm.registryMutex);
  ThreadTree* tree = nullptr;
  if (!tm.attached && IsMainThread()) {
    tree = &tm;
  } else {
    if (AllocationFails(AllocSite::kThreadTree)) return nullptr;
    tree = new (std::nothrow) ThreadTree;
    if (tree == nullptr) return nullptr;
  }
  if (!tm.exitKeyCreated && !tm.unloaded) {
    tm.exitKeyCreated = pthread_key_create(&tm.exitKey, &OnThreadExit) == 0;
  }
  if (tm.exitKeyCreated) pthread_setspecific(tm.exitKey, tree);
  tree->attached = true;
  tree->finished = false;
  tree->threads = 1;
  tree->thread = pthread_self();
  tree->tid = static_cast<long>(syscall(SYS_gettid));
  tree->nextTree = tm.trees;
  tm.trees = tree;
  ResetTree(*tree, tm.clearGeneration);
  AttachTrace(*tree);
  t_callingTree = tree;
  return tree;
}

// The calling thread's tree for a stop, never attaching one; a tree that a
// clear on another thread made stale is reset first.
inline ThreadTree* StoppingTree() {
  ThreadTree* tree = t_callingTree;
  if (__builtin_expect(tree != nullptr && tree->generation != CurrentGeneration(), 0)) {
    ResetTree(*tree, CurrentGeneration());
  }
  return tree;
}

// The calling thread's tree for a start: as for a stop, and attached on the
// thread's first start.
inline ThreadTree* CallingTree() {
  ThreadTree* tree = StoppingTree();
  return __builtin_expect(tree != nullptr, 1) ? tree : AttachCallingThread();
}

// Buffered file output is written out before a fork, so that a child that
// exits does not write the parent's pending bytes a second time; the locks
// are held across the fork so that the child's copy of the state is whole.
void BeforeFork() {
  TimeManager& tm = g_timeManager;
  tm.registryMutex.lock();
  tm.channelLock.Lock();
  g_pathMutex.lock();
  LockChunkMapper();
  if (tm.file != nullptr) std::fflush(tm.file);
}

void AfterForkInParent() {
  TimeManager& tm = g_timeManager;
  UnlockChunkMapper();
  g_pathMutex.unlock();
  tm.channelLock.Unlock();
  tm.registryMutex.unlock();
}

// Where the child keeps the root list of the main thread's tree when a fork
// caught that tree half-changed: static, so that nothing is allocated in the
// child's handler, and never destroyed.
alignas(PtrList) unsigned char g_setAsideRoot[sizeof(PtrList)];

// Sets aside, in a forked child, a tree whose owner was changing its shape
// at the fork: it is kept reachable but never read or released again, so
// the child's reports, clears and exit never follow a half-made node or
// release an index twice. Its timers are left out of the child's reports.
void SetAside(ThreadTree& tree) {
  TimeManager& tm = g_timeManager;
  if (&tree != &tm) {
    tree.nextTree = tm.setAside;
    tm.setAside = &tree;
    return;
  }
  // The main thread's tree is part of the global state: its root list is
  // moved aside and the tree starts empty.
  auto* root = new (g_setAsideRoot) PtrList;
  tm.root.MoveTo(*root);
  tm.setAsideRoot = root;
  tm.current = nullptr;
  tm.base = nullptr;
  tm.lastBase = nullptr;
  tm.currentList = &tm.root;
  tm.order = 0;
  tm.attached = tm.finished = tm.leftRunning = false;
  tm.threads = 0;
  tm.changing = 0;
}

// The child has only the thread that forked: the other threads' trees are
// finished ones now, or set aside when their owners were changing them.
void AfterForkInChild() {
  TimeManager& tm = g_timeManager;
  const int64_t now = ReadTicks();
  for (ThreadTree** link = &tm.trees; *link != nullptr;) {
    ThreadTree* t = *link;
    if (t == t_callingTree || t->finished) {
      link = &t->nextTree;
      continue;
    }
    // The thread's timeline ends here; one that was being emptied is left
    // unread.
    if (t->trace != nullptr) {
      t->trace->finished = true;
      t->trace->abandoned = LoadAcquire(t->changing) != 0;
      t->trace = nullptr;
    }
    if (LoadAcquire(t->changing) != 0) {
      *link = t->nextTree;
      SetAside(*t);
      continue;
    }
    t->finished = true;
    t->leftRunning = t->current != nullptr;
    EndRunningTimers(*t, now);
    t->current = nullptr;
    t->base = nullptr;
    t->lastBase = nullptr;
    t->currentList = &t->root;
    link = &t->nextTree;
  }
  UnlockChunkMapper();
  g_pathMutex.unlock();
  tm.channelLock.Unlock();
  tm.registryMutex.unlock();
}

struct ForkHandlers {
  ForkHandlers() { pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild); }
} g_forkHandlers;

}  // namespace

namespace {

// Unset or empty: the state in which a host that times sees nothing and is
// not told why.
bool TimingOnUnset() {
  const char* value = std::getenv("TIMING_ON");
  return value == nullptr || value[0] == '\0';
}

}  // namespace

void NoteStartWhileOff() {
  TimeManager& tm = g_timeManager;
  if (__atomic_exchange_n(&tm.offNoted, 1, __ATOMIC_RELAXED) != 0) return;
  StoreRelaxed(tm.offHintPid, static_cast<long>(getpid()));
}

void WriteOffHint() {
  TimeManager& tm = g_timeManager;
  // Only the process that timed says it (not a forked child that exits),
  // and only when timing is still off for the same reason.
  if (LoadRelaxed(tm.offHintPid) != static_cast<long>(getpid())) return;
  if (LoadRelaxed(tm.enabled) != 0) return;
  int quiet = 0;
  if (ReadSwitch("TIMETREE_QUIET", &quiet) != 0) return;
  int on = 0;
  if (TimingOnUnset()) {
    std::fputs(
        "timetree: timing was off because TIMING_ON is not set; to time and see the reports, "
        "set TIMING_ON=1 and TIMING_CONSOLE=1 (standard output) and/or TIMING_FILE=1 (the "
        "program's file); TIMETREE_QUIET=1 silences this line\n",
        stderr);
  } else if (ReadSwitch("TIMING_ON", &on) != 0 && LoadRelaxed(tm.timingReadPid) == 0) {
    // Set, but never read: the design reads it at a clear only.
    std::fputs(
        "timetree: timing was off: TIMING_ON is set, but the program never called "
        "TimeOpenOStream or TimeClear, which read it; call one of them before timing, or set "
        "TIMETREE_OUTPUT=report to time without them; TIMETREE_QUIET=1 silences this line\n",
        stderr);
  }
}

bool Reportable(const ThreadTree& tree, uint64_t generation) {
  return LoadAcquire(tree.generation) == generation && LoadRelaxed(tree.order) != 0 &&
         tree.root.SharedHead() != nullptr;
}

ThreadTree* CallingTreeIfAttached() { return StoppingTree(); }

TimeManager::~TimeManager() {
  // Its thread may be waiting for the registry mutex, which is taken below.
  StopChunkMapper();
  // What TIMETREE_OUTPUT asks for, while the timers and channels are there.
  WriteEnvironmentOutputs();
  StopEnvironmentOutput();
  WriteOffHint();
  WriteExitHints();
  TimeCloseOStream();
  // Its messages go nowhere now that the channels are closed.
  TimeClear();
  StoreRelaxed(enabled, 0);
  const std::lock_guard<std::mutex> lock(registryMutex);
  // Threads still running keep their trees; no exit hook may run into
  // unloaded code.
  unloaded = true;
  if (exitKeyCreated) pthread_key_delete(exitKey);
  exitKeyCreated = false;
  // The calling thread's timeline goes with the library, lest a host that
  // loads and unloads it again keep every load's.
  if (ThreadTree* own = CallingTreeIfAttached()) DetachTrace(*own);
  FreeFinishedTraces();
}

TimerNode* TimerNode::Create(AllocSite site) {
  if (AllocationFails(site)) return nullptr;
  return new (std::nothrow) TimerNode;
}

TimerNode::~TimerNode() {
  DestroyTimers(children, this);
  std::free(longName);
}

void TimerNode::KeepLongName(const char* full) {
  if (full == nullptr || full[0] == '\0' || std::strlen(full) <= kNameLength) return;
  if (!AllocationFails(AllocSite::kLongName)) longName = strdup(full);
  // Without the whole name, differing long names cannot be told apart; the
  // timer is then left unchecked rather than marked by mistake.
  longNameUnknown = longName == nullptr;
}

void NoteLongName(TimerNode& node, const char* name) {
  if (LoadRelaxed(node.namesMerged) != 0 || node.longNameUnknown) return;
  if (std::strcmp(node.FullName() + kNameLength, name + kNameLength) == 0) return;
  StoreRelaxed(node.namesMerged, 1);
  std::fprintf(stderr,
               "timetree: \"%s\" is counted as \"%s\": names are compared on their "
               "first %d characters\n",
               name, node.FullName(), kNameLength);
}

namespace {

// Lists of this many timers or more are indexed.
constexpr int kIndexFrom = 6;

size_t IndexBytes(uint32_t slots) {
  return offsetof(NameIndex, slots) + sizeof(TimerNode*) * slots;
}

void IndexInsert(NameIndex& index, TimerNode* node) {
  const uint64_t mask = index.Mask();
  uint64_t at = index.First(NameKey(node->name));
  while (index.slots[at] != nullptr) at = (at + 1) & mask;
  index.slots[at] = node;
  ++index.used;
}

// A new index of list's timers with room for at least wanted; null when it
// could not be allocated. pending, when given, holds it while it is built.
NameIndex* BuildIndex(const PtrList& list, uint32_t wanted, void** pending) {
  uint32_t slots = 16, shift = 60;
  while (slots < 2 * wanted) {
    slots *= 2;
    --shift;
  }
  if (AllocationFails(AllocSite::kNameIndex)) return nullptr;
  auto* index = static_cast<NameIndex*>(std::calloc(1, IndexBytes(slots)));
  if (index == nullptr) return nullptr;
  if (pending != nullptr) pending[0] = index;
  index->shift = shift;
  for (PtrListNode* p = list.head(); p != nullptr; p = p->next) {
    IndexInsert(*index, static_cast<TimerNode*>(p->data));
  }
  return index;
}

}  // namespace

TimerNode* WalkForTimer(const PtrList& list, const NameKey& key) {
  for (PtrListNode* p = list.head(); p != nullptr; p = p->next) {
    auto* node = static_cast<TimerNode*>(p->data);
    if (KeyMatches(node->name, key)) return node;
  }
  return nullptr;
}

PtrListNode* AddTimer(PtrList& list, TimerNode* node, void** pending) {
  PtrListNode* slot = list.AddTail(node, &node->slot);
  if (slot == nullptr || list.count() < kIndexFrom) return slot;
  auto* index = static_cast<NameIndex*>(list.index());
  if (index != nullptr && 2 * (index->used + 1) <= index->Mask() + 1) {
    IndexInsert(*index, node);
    return slot;
  }
  // Built, or grown to twice the size, from the list: O(1) amortised per
  // timer. Without memory the list is walked instead. The new index is in
  // place before the old one is released, and each stays reachable from
  // pending (a pair) meanwhile.
  NameIndex* grown = BuildIndex(list, static_cast<uint32_t>(list.count()), pending);
  if (pending != nullptr) pending[1] = index;
  list.set_index(grown);
  std::free(index);
  if (pending != nullptr) pending[0] = pending[1] = nullptr;
  return slot;
}

void DestroyTimers(PtrList& list, TimerNode* owner) {
  // Each list is consumed from its head; a child's own list is consumed
  // before the child is freed, so that a chain of any depth is destroyed
  // in a loop rather than by recursion. Every timer's parent is the owner of
  // the list that holds it, which is the way back up.
  TimerNode* node = owner;
  PtrList* list_of_node = &list;
  for (;;) {
    if (PtrListNode* head = list_of_node->head()) {
      list_of_node->DropHead();
      if (auto* child = static_cast<TimerNode*>(head->data)) {
        node = child;
        list_of_node = &child->children;
      }
      continue;
    }
    list_of_node->RemoveAll();
    if (node == owner) return;
    TimerNode* up = node->parent;
    delete node;  // its children are gone, so this does not descend again
    node = up;
    list_of_node = node == owner ? &list : &node->children;
  }
}

namespace {

void FreeFinishedTrees() {
  TimeManager& tm = g_timeManager;
  for (ThreadTree* t = tm.trees; t != nullptr;) {
    ThreadTree* next = t->nextTree;
    if (t->finished) Retire(*t);
    t = next;
  }
}

}  // namespace

TimerNode* NewTimer(ThreadTree& tree, PtrList& list, TimerNode* parent, bool top,
                    const char* name, const NameKey& key) {
  TimerNode* node = TimerNode::Create(AllocSite::kTimer);
  if (node == nullptr) return nullptr;
  BeginChange(tree);
  tree.pendingNode = node;
  CopyTimerName(node->name, name);
  if (key.length == kNameLength) node->KeepLongName(name);
  node->parent = parent;
  node->top = top;
  node->owner = &list;
  if (tree.order == 0) {
    // The tree's place among the threads' trees in the reports: when its
    // first timer since the last clear started.
    StoreRelaxed(tree.order,
                 __atomic_add_fetch(&g_timeManager.lastOrder, 1, __ATOMIC_RELAXED));
  }
  if (AddTimer(list, node, tree.pendingIndex) == nullptr) {
    // No list block: leave the tree as it was.
    delete node;
    node = nullptr;
  }
  tree.pendingNode = nullptr;
  EndChange(tree);
  return node;
}

}  // namespace timetree

using timetree::g_timeManager;
using timetree::StopWatchAccess;
using timetree::ThreadTree;
using timetree::TimerNode;

void TimeStartTimer(const char* name) {
  timetree::TimeManager& tm = g_timeManager;
  if (timetree::LoadRelaxed(tm.enabled) == 0) {
    if (__builtin_expect(timetree::LoadRelaxed(tm.offNoted) == 0, 0)) {
      timetree::NoteStartWhileOff();
    }
    return;
  }
  ThreadTree* tree = timetree::CallingTree();
  if (tree == nullptr) return;

  // Only the current timer's children are searched: the same name under
  // another parent is another timer. A list never holds two timers of one
  // name, so any match is the first. The timer last found in the list is
  // tried before the walk: loops start the same timer again and again.
  timetree::PtrList* list = tree->currentList;
  const timetree::NameKey key(name);
  auto* node = static_cast<TimerNode*>(list->hint());
  if (node == nullptr || !timetree::KeyMatches(node->name, key)) {
    node = timetree::FindTimer(*list, key);
  }
  if (node != nullptr) {
    // Only a name as long as the compared part can differ past it.
    if (__builtin_expect(key.length == timetree::kNameLength, 0) &&
        (name[timetree::kNameLength] != '\0' || node->longName != nullptr)) {
      timetree::NoteLongName(*node, name);
    }
    list->set_hint(node);
    timetree::StoreRelaxed(tree->current, node);
    tree->currentList = &node->children;
    StopWatchAccess::Start(node->watch, node->count);  // last: the search is not timed
    return;
  }

  // A top-level timer under an adopted path hangs from the path's last
  // node, which is not one of the thread's running timers.
  node = timetree::NewTimer(*tree, *list, tree->current != nullptr ? tree->current : tree->base,
                            tree->current == nullptr && tree->base != nullptr, name, key);
  if (node == nullptr) return;
  list->set_hint(node);
  timetree::StoreRelaxed(tree->current, node);
  tree->currentList = &node->children;
  StopWatchAccess::Start(node->watch, node->count);  // last: the bookkeeping is not timed
}

void TimeStopTimer(const char* name) {
  timetree::TimeManager& tm = g_timeManager;
  if (timetree::LoadRelaxed(tm.enabled) == 0) return;
  ThreadTree* tree = timetree::StoppingTree();

  // Each turn closes the current timer; the loop goes on outwards while the
  // name is not the closed timer's and that timer had a parent.
  for (;;) {
    TimerNode* node = tree != nullptr ? tree->current : nullptr;
    if (node == nullptr) {
      const timetree::ChannelLock whole_message;
      TimeComment("No timer active while trying to stop timer \"");
      TimeComment(name);
      TimeComment("\"\n");
      return;
    }
    // Stop first, so that the name handling below is not timed.
    const int64_t stopped = StopWatchAccess::StopAt(node->watch);

    // The running timer outside this one; none for a top-level timer, also
    // one under an adopted path.
    TimerNode* const outer = node->top ? nullptr : node->parent;
    bool go_on = false;
    if (!timetree::KeyMatches(node->name, timetree::NameKey(name))) {
      if (outer != nullptr) {
        timetree::StoreRelaxed(node->stoppedImplicitly, 1);
        go_on = true;
      } else {
        const timetree::ChannelLock whole_message;
        TimeComment("Timer could not find timer \"");
        TimeComment(name);
        TimeComment("\"\nCheck that start and stop have the same name\n");
      }
    }
    if (tree->trace != nullptr) {
      timetree::RecordInterval(*tree->trace, node, StopWatchAccess::StartTicks(node->watch),
                               stopped, go_on);
    }
    timetree::StoreRelaxed(tree->current, outer);
    tree->currentList = outer != nullptr    ? &outer->children
                        : tree->base != nullptr ? &tree->base->children
                                                : &tree->root;
    if (!go_on) return;
  }
}

void TimeClear() {
  timetree::TimeManager& tm = g_timeManager;
  const std::lock_guard<std::mutex> lock(tm.registryMutex);
  // Only the calling thread's own timers are reported on; other threads'
  // trees are emptied by their owners (see the top of this file).
  ThreadTree* tree = timetree::CallingTreeIfAttached();
  if (tree != nullptr) {
    // An adopted path ends with the timers it was built in.
    if (tree->base != nullptr && tree->current == nullptr) tree->currentList = &tree->root;
    tree->base = nullptr;
    tree->lastBase = nullptr;
    if (tree->current != nullptr) {
      timetree::CommentF("dtimemgr - TimeClear deleted running timer: %s\n",
                         tree->current->name);
      timetree::StoreRelaxed(tree->current, static_cast<TimerNode*>(nullptr));
    } else if (tree->currentList != &tree->root) {
      TimeComment("dtimemgr - search_list problem ???\n");
      tree->currentList = &tree->root;
    }
    // After a running timer was deleted the current list still designates
    // its children, so this line always follows the deleted-running-timer
    // line.
    const bool list_was_not_root = tree->currentList != &tree->root;
    if (tree->root.head() != nullptr) timetree::DestroyTimers(tree->root, nullptr);
    if (list_was_not_root) {
      TimeComment("dtimemgr search_list problem\n");
      tree->currentList = &tree->root;
    }
  }
  const uint64_t generation = tm.clearGeneration + 1;
  timetree::StoreRelease(tm.clearGeneration, generation);
  if (tree != nullptr) {
    timetree::StoreRelaxed(tree->order, uint64_t{0});
    timetree::StoreRelease(tree->generation, generation);
    timetree::ResetTrace(*tree, generation);
  }
  timetree::FreeFinishedTrees();
  timetree::FreeFinishedTraces();
  int enabled = 0;
  timetree::ReadSwitch("TIMING_ON", &enabled);
  timetree::StoreRelaxed(tm.timingReadPid, static_cast<long>(getpid()));
  if (enabled == 0 && tm.outputAsked != 0) {
    // Outputs asked for from the environment keep timing on, unless
    // TIMING_ON turns it off: that is said, once.
    if (timetree::TimingOnUnset()) {
      enabled = 1;
    } else if (__atomic_exchange_n(&tm.outputAsked, 2, __ATOMIC_RELAXED) == 1) {
      std::fprintf(stderr,
                   "timetree: TIMING_ON=%s turns timing off, so TIMETREE_OUTPUT has no timers to "
                   "write\n",
                   std::getenv("TIMING_ON"));
    }
  }
  timetree::StoreRelaxed(tm.enabled, enabled);
}

// Contexts: a thread's timer path handed to another thread, whose top-level
// timers then go under that path. The path is kept as interned records (one
// per distinct path, never freed before unload), so that a context stays
// safe to read whatever happens to the timers it was taken from; a context
// carries the clear generation it was taken in, and is empty after a clear.
namespace timetree {
namespace {

// Every record, by parent record and name. Allocated once and reachable
// until exit, so that a context met late in the program's exit still reads
// a live record.
std::map<std::pair<const PathRecord*, std::string>, PathRecord>* g_paths = nullptr;

}  // namespace

const PathRecord* PathOf(TimerNode* node) {
  std::vector<TimerNode*> chain;
  for (TimerNode* n = node; n != nullptr && n->path == nullptr; n = n->parent) chain.push_back(n);
  const std::lock_guard<std::mutex> lock(g_pathMutex);
  try {
    if (g_paths == nullptr) g_paths = new std::map<std::pair<const PathRecord*, std::string>, PathRecord>;
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
      TimerNode* n = *at;
      const PathRecord* parent = n->parent != nullptr ? n->parent->path : nullptr;
      auto found = g_paths->emplace(std::make_pair(parent, std::string(n->name)), PathRecord{});
      PathRecord& record = found.first->second;
      if (found.second) {
        record.parent = parent;
        std::memcpy(record.name, n->name, kNameStorage);
        record.fullName = n->longName != nullptr ? strdup(n->longName) : nullptr;
      }
      n->path = &record;
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return node->path;
}

namespace {

// The node of record's path in tree, made (never started) where missing;
// null when memory is short.
TimerNode* BuildPath(ThreadTree& tree, const PathRecord* record) {
  std::vector<const PathRecord*> records;
  for (const PathRecord* r = record; r != nullptr; r = r->parent) records.push_back(r);
  PtrList* list = &tree.root;
  TimerNode* parent = nullptr;
  for (auto at = records.rbegin(); at != records.rend(); ++at) {
    const NameKey key((*at)->name);
    TimerNode* node = FindTimer(*list, key);
    if (node == nullptr) {
      const char* name = (*at)->fullName != nullptr ? (*at)->fullName : (*at)->name;
      node = NewTimer(tree, *list, parent, false, name, key);
    }
    if (node == nullptr) return nullptr;
    node->path = *at;
    parent = node;
    list = &node->children;
  }
  return parent;
}

}  // namespace
}  // namespace timetree

TimeContext TimeCurrentContext() {
  TimeContext context{nullptr, 0};
  if (timetree::LoadRelaxed(g_timeManager.enabled) == 0) return context;
  ThreadTree* tree = timetree::CallingTreeIfAttached();
  if (tree == nullptr) return context;
  TimerNode* node = tree->current != nullptr ? tree->current : tree->base;
  if (node == nullptr) return context;
  context.path = node->path != nullptr ? node->path : timetree::PathOf(node);
  if (context.path != nullptr) context.generation = tree->generation;
  return context;
}

TimeContext TimeAdoptContext(TimeContext context) {
  TimeContext previous{nullptr, 0};
  ThreadTree* tree = context.path != nullptr && timetree::LoadRelaxed(g_timeManager.enabled) != 0
                         ? timetree::CallingTree()
                         : timetree::CallingTreeIfAttached();
  if (tree == nullptr) return previous;
  if (tree->base != nullptr) previous = TimeContext{tree->base->path, tree->generation};
  // A context of an earlier clear, like the empty one, leaves the root.
  const auto* record = static_cast<const timetree::PathRecord*>(context.path);
  if (context.generation != tree->generation) record = nullptr;
  if (record == (tree->base != nullptr ? tree->base->path : nullptr)) return previous;
  TimerNode* base = nullptr;
  if (record != nullptr) {
    // A pool's thread adopts the same path region after region.
    base = tree->lastBase != nullptr && tree->lastBase->path == record
               ? tree->lastBase
               : timetree::BuildPath(*tree, record);
    if (base != nullptr) tree->lastBase = base;
  }
  tree->base = base;
  // Timers running now stay where they are; the next top-level start, now
  // or once they have stopped, goes under the adopted path.
  if (tree->current == nullptr) tree->currentList = base != nullptr ? &base->children : &tree->root;
  return previous;
}
