// Row and merge operations of the two timing reports.
#ifndef TIMETREE_REGISTRY_REPORTS_H
#define TIMETREE_REGISTRY_REPORTS_H

#include "registry/dtimemgr.h"

namespace timetree {

// Adds node's count and ticks to the record of its name in flat, creating
// the record at the tail on first meeting. False when no record could be
// allocated, in which case flat is unchanged.
bool MergeInto(TimerNode& node, PtrList& flat);

// Writes node's report row: depth units of indentation (none when depth is
// 0 or less, and no more once 90 characters are reached), the first one
// replaced by "?" when the node was stopped implicitly (then *implicit_seen
// is set), the name, the count, total and average seconds.
void PrintRow(TimerNode& node, int depth, int* implicit_seen,
              const char* unit);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_REPORTS_H
