// The calling thread's tree, attached at its first timer, and the life of
// every thread's tree: reset after another thread's clear, ended and folded
// when its thread exits, retired by a clear.
#ifndef TIMETREE_REGISTRY_THREADS_H
#define TIMETREE_REGISTRY_THREADS_H

#include <cstdint>

#include "registry/threadtree.h"

namespace timetree {

// The calling thread's tree, or null before its first timer.
extern __thread ThreadTree* t_callingTree __attribute__((tls_model("initial-exec")));

// Empties a tree that a clear on another thread made stale, for the clear
// of generation. Only the owner (or the registry, for a finished tree)
// calls it.
void ResetTree(ThreadTree& tree, uint64_t generation);

// Attaches a tree to the calling thread; null when none can be allocated.
ThreadTree* AttachCallingThread();

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

// The calling thread's tree without attaching one: null when the thread has
// never timed.
ThreadTree* CallingTreeIfAttached();

// Ends, at now, the intervals of the timers that run on a tree whose thread
// has gone (the current timer and those outside it): each keeps the time up
// to then and is shown as having ended running, so that a snapshot does not
// count time after the thread's end. The thread's timeline, if any, gets
// each of those intervals, marked running; fork_child: in a fork's child,
// with the locks the fork holds.
void EndRunningTimers(ThreadTree& tree, int64_t now, bool fork_child);

// Frees the trees of exited threads; by a clear, under the registry mutex.
void FreeFinishedTrees();

// Creates timer name (key its key) at the end of list, under parent, in the
// calling thread's tree, bracketed as a change of the tree's shape; null
// when it cannot be allocated.
TimerNode* NewTimer(ThreadTree& tree, PtrList& list, TimerNode* parent, bool top,
                    const char* name, const NameKey& key);

// Turns recording on with limit events per thread (0: off; at most
// kMostTimelineEvents), for threads
// that attach after the call and the calling thread; TIMETREE_OUTPUT's
// trace item and the tests use it.
void SetTimelineLimit(uint64_t limit);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_THREADS_H
