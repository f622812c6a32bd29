// The record of a timer's path as a context (see TimeContext in
// timetree.h), shared by contexts and the timeline.
#ifndef TIMETREE_REGISTRY_CONTEXTS_H
#define TIMETREE_REGISTRY_CONTEXTS_H

#include "registry/timernode.h"

namespace timetree {

// The record of node's path as a context, made for node and its ancestors
// as needed; null when memory is short. The calling thread's own nodes only.
const PathRecord* PathOf(TimerNode* node);
// The same, with the records' mutex held by the caller (a fork's child).
const PathRecord* PathOfWithPathsLocked(TimerNode* node);

// The records' mutex, held across a fork (see fork.cpp).
void LockPaths();
void UnlockPaths();

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_CONTEXTS_H
