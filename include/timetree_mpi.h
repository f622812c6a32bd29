// timetree for MPI programs: the timers of all ranks combined, as a summary
// table and as the combined JSON format. Link timetree::mpi (CMake) or
// timetree-mpi (pkg-config). Both calls are collective over comm: every rank
// of comm must make the same call.
#ifndef TIMETREE_MPI_H
#define TIMETREE_MPI_H

#include <mpi.h>

#include "timetree.h"

// Every rank contributes its timers (all its threads merged, as the reports
// merge them); rank 0 merges the ranks' trees by path and writes to its open
// channels one row per path, indented one blank per level: the number of
// ranks that have the path, the summed count, the mean, least and greatest
// of the per-rank totals in seconds, the ranks that hold the least and the
// greatest, and the imbalance (greatest / mean). Other ranks write nothing;
// nothing is written when no rank has a timer. Returns, on every rank, true
// when the summary was written. MPI not initialised or already finalised,
// or comm MPI_COMM_NULL: false, with a one-line message on this rank's
// channels.
TIMETREE_API bool TimeMpiSummary(MPI_Comm comm);

// As TimeMpiSummary, but rank 0 writes the combined tree to path (which only
// rank 0's matters) in the combined JSON format, each rank one source
// numbered by its rank. True on every rank when the file was written whole;
// false also when no rank has a timer.
TIMETREE_API bool TimeMpiWriteJson(MPI_Comm comm, const char* path);

// Every rank's timeline (see TimeWriteTrace) in one trace-event file that
// rank 0 writes to path: "pid" is the rank, and times count from rank 0's
// load on rank 0's clock. Each rank's CLOCK_MONOTONIC is aligned to rank
// 0's at the call by the shortest of 16 round trips to rank 0; "otherData"
// gives each rank's offset and residual (half that round trip, the most
// the alignment can be off) in microseconds. Rank 0 receives the ranks'
// events in pieces, so no rank holds more than its own. True on every rank
// when the file was written whole and some rank recorded a timeline.
TIMETREE_API bool TimeMpiWriteTrace(MPI_Comm comm, const char* path);

#endif  // TIMETREE_MPI_H
