// What the MPI component's calls share: whether MPI can be used, every
// rank's timers combined on rank 0, one answer for all ranks.
#ifndef TIMETREE_MPI_REDUCE_H
#define TIMETREE_MPI_REDUCE_H

#include <mpi.h>

#include <memory>

#include "runformat/combined.h"

namespace timetree {

// Whether MPI can be used on comm; otherwise says why on this rank's
// channels, naming call.
bool Usable(MPI_Comm comm, const char* call);

// Combines every rank's timers on rank 0 by a reduction tree: in round k,
// each rank r with r mod 2^(k+1) = 2^k sends what it holds (its own timers
// and those of the ranks it received from) to r - 2^k, which merges them
// into its own by path. After ceil(log2 P) rounds rank 0 holds them all;
// no rank ever holds more than its own run, one received run and their
// merge, and rank 0 merges log2 P runs. Ranks are merged in rank order in
// any grouping, so the rows, sums' sources and ties are those of merging
// rank 0, 1, 2, ... in turn. Rank 0 gets the combined run (null when no rank
// has a timer, or the data could not be had), the other ranks null.
std::unique_ptr<combined::Run> Reduce(MPI_Comm comm);

// The same answer on every rank: rank 0's.
bool Agree(MPI_Comm comm, bool ok);

// This process's metadata, values as text.
combined::Metadata OwnMetadata();

// The summary's text: a header and a row per path, each indented as
// TimePrintIndented(" ") indents.
std::string SummaryText(const combined::Run& run);

}  // namespace timetree

#endif  // TIMETREE_MPI_REDUCE_H
