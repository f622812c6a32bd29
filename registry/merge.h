// Merging timer trees by path: the threads' trees for the reports and
// exports, and finished threads' trees folded together.
#ifndef TIMETREE_REGISTRY_MERGE_H
#define TIMETREE_REGISTRY_MERGE_H

#include <cstdint>

#include "registry/mergebypath.h"
#include "registry/timernode.h"

namespace timetree {

// MergeByPath for timer trees: counts and ticks are summed, the
// stopped-implicitly and running marks or-ed. With up_to, a timer that runs
// also counts its open interval, up to that counter reading (a snapshot);
// without it only finished intervals count, as the flat and indented reports have it.
//
// from may be a tree that its owning thread is changing: it is read with
// acquire and atomic loads, so every value read is one that was written.
// into must be the caller's alone.
bool MergeTimers(PtrList& into, const PtrList& from, const int64_t* up_to = nullptr);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_MERGE_H
