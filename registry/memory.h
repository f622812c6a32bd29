// Memory a timer's intervals allocated and freed, per memory space, as a
// caller reports it (the Kokkos tool reports Kokkos' allocations): sums of
// what was allocated and freed while the timer ran, inside timers within it
// too, and the most that was live right after one of those allocations.
#ifndef TIMETREE_REGISTRY_MEMORY_H
#define TIMETREE_REGISTRY_MEMORY_H

#include <cstdint>

namespace timetree {

struct TimerNode;

// Memory spaces a run can keep per timer; a further space's memory is kept
// by none (said once).
constexpr int kMemorySpaces = 8;
constexpr int kMemorySpaceName = 32;  // a space's name, terminated

// One timer's sums, made at the first report while it ran (published by
// its owner, read by reports). Space i is the run's i-th (MemorySpaceName);
// used has bit i where it has any.
struct MemorySums {
  unsigned used = 0;
  uint64_t allocated[kMemorySpaces] = {};
  uint64_t freed[kMemorySpaces] = {};
  uint64_t peak[kMemorySpaces] = {};
};

// The name of the run's space i, or null where there is none yet.
const char* MemorySpaceName(int i);

// Adds from's sums into to's (a merge of threads' trees): the sums add,
// past 2^64 - 1 staying there, and the peak is the higher.
void AddMemory(TimerNode& to, const TimerNode& from);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_MEMORY_H
