// Internal side of the library's exports.
#ifndef TIMETREE_OUTPUT_EXPORTS_H
#define TIMETREE_OUTPUT_EXPORTS_H

#include <cstdint>

#include "registry/snapshot.h"

namespace timetree {

// The timer pairs that the snapshot's timers made: their counts summed.
int64_t PairsOf(const Snapshot& snapshot);

// The report page of every thread's timers (as 'timetree html' draws a
// run's JSON) in a new file at path; as the exports, false when there is
// nothing to write or the file cannot be written whole.
bool WriteReportPage(const char* path);

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_EXPORTS_H
