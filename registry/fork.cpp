// A fork may come at any moment, also while another thread creates a timer
// (linking it, growing its list's index, emptying its tree after a clear).
// The child has only the thread that forked: the other threads' trees are
// finished ones there, or set aside whole when their owners were changing
// them, so that the child never follows a half-made node.
#include <pthread.h>

#include <cstdint>
#include <mutex>
#include <new>

#include "registry/contexts.h"
#include "registry/dtimemgr.h"
#include "registry/threads.h"
#include "registry/timeline.h"
#include "stopwatch/ticks.h"

namespace timetree {

namespace {

// The locks are held across the fork so that the child's copy of the state
// is whole; buffered file output is written out meanwhile, so that a child
// that exits does not write the parent's pending bytes a second time.
void BeforeFork() {
  g_registry.mutex.lock();
  g_channels.lock.Lock();
  LockPaths();
  LockChunkMapper();
  FlushFileChannel();
}

void AfterForkInParent() {
  UnlockChunkMapper();
  UnlockPaths();
  g_channels.lock.Unlock();
  g_registry.mutex.unlock();
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
    tree.nextTree = g_registry.setAside;
    g_registry.setAside = &tree;
    return;
  }
  // The main thread's tree is part of the global state: its root list is
  // moved aside and the tree starts empty.
  auto* root = new (g_setAsideRoot) PtrList;
  tm.root.MoveTo(*root);
  ForgetSites(tm);
  g_registry.setAsideRoot = root;
  tm.current = nullptr;
  tm.base = nullptr;
  tm.lastBase = tm.otherBase = nullptr;
  tm.currentList = &tm.root;
  tm.order = 0;
  tm.attached = tm.finished = tm.leftRunning = false;
  tm.threads = 0;
  tm.changing = 0;
}

// The child has only the thread that forked: the other threads' trees are
// finished ones now, or set aside when their owners were changing them.
void AfterForkInChild() {
  const int64_t now = ReadTicks();
  // The child's new threads may have the thread pointers of the parent's.
  RaiseSiteEpoch();
  for (ThreadTree** link = &g_registry.trees; *link != nullptr;) {
    ThreadTree* t = *link;
    if (t == t_callingTree || t->finished) {
      link = &t->nextTree;
      continue;
    }
    const bool changing = LoadAcquire(t->changing) != 0;
    if (!changing) {
      t->leftRunning = t->current != nullptr;
      EndRunningTimers(*t, now, true);
    }
    // The thread's timeline ends here; one that was being emptied is left
    // unread.
    if (t->timeline != nullptr) {
      t->timeline->finished = true;
      t->timeline->abandoned = changing;
      t->timeline = nullptr;
    }
    if (changing) {
      *link = t->nextTree;
      SetAside(*t);
      continue;
    }
    t->finished = true;
    t->current = nullptr;
    t->base = nullptr;
    t->lastBase = t->otherBase = nullptr;
    t->currentList = &t->root;
    link = &t->nextTree;
  }
  UnlockChunkMapper();
  UnlockPaths();
  g_channels.lock.Unlock();
  g_registry.mutex.unlock();
}

struct ForkHandlers {
  ForkHandlers() { pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild); }
} g_forkHandlers;


}  // namespace

}  // namespace timetree
