// Merging timer trees by path: timers with the same chain of names from the
// top become one, their counts and totals summed. The threads' trees are
// merged this way for the reports, and finished threads' trees are folded
// together the same way.
#ifndef TIMETREE_REGISTRY_MERGE_H
#define TIMETREE_REGISTRY_MERGE_H

#include "registry/dtimemgr.h"

namespace timetree {

// Adds every timer of the tree under from to the tree under into: a path
// already in into gets the count and ticks added and the stopped-implicitly
// and running marks or-ed in; a new path is appended after into's own
// timers of the same parent, in from's order. Merging a, then b, into an
// empty tree therefore lists a's paths in a's order, then those that b adds.
//
// from may be a tree that its owning thread is changing: it is read with
// acquire and atomic loads, so every value read is one that was written.
// into must be the caller's alone. No recursion, so any depth works. False
// when a timer could not be allocated: that timer's subtree is left out.
bool MergeTimers(PtrList& into, const PtrList& from);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_MERGE_H
