// Memory per timer (TimeAddMemory): the run's spaces, named once each, and
// each timer's sums, added to the calling thread's running timers.
#include "registry/memory.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "include/timetree.h"
#include "registry/threads.h"
#include "registry/timernode.h"
#include "stopwatch/atomics.h"

namespace timetree {

namespace {

// The spaces' names; g_spaceCount of them are published. A new one is
// added under the registry's mutex, which a fork holds across.
char g_spaceNames[kMemorySpaces][kMemorySpaceName];
int g_spaceCount = 0;
bool g_spacesFullSaid = false;

// Space name's index, added where it is new; -1 when kMemorySpaces are
// kept already (said once). A name is compared on its first
// kMemorySpaceName - 1 characters.
int SpaceIndex(const char* name) {
  auto find = [name](int count) {
    for (int i = 0; i < count; ++i) {
      if (std::strncmp(g_spaceNames[i], name, kMemorySpaceName - 1) == 0) return i;
    }
    return -1;
  };
  const int found = find(LoadAcquire(g_spaceCount));
  if (found >= 0) return found;
  const std::lock_guard<OwnedMutex> lock(g_registry.mutex);
  const int count = g_spaceCount;
  const int again = find(count);
  if (again >= 0) return again;
  if (count == kMemorySpaces) {
    if (!g_spacesFullSaid) {
      g_spacesFullSaid = true;
      std::fprintf(stderr,
                   "timetree: memory of more than %d spaces is not kept per timer; "
                   "space \"%s\"'s is left out\n",
                   kMemorySpaces, name);
    }
    return -1;
  }
  std::snprintf(g_spaceNames[count], kMemorySpaceName, "%s", name);
  StoreRelease(g_spaceCount, count + 1);
  return count;
}

}  // namespace

const char* MemorySpaceName(int i) {
  return i >= 0 && i < LoadAcquire(g_spaceCount) ? g_spaceNames[i] : nullptr;
}

void AddMemory(TimerNode& to, const TimerNode& from) {
  const MemorySums* add = LoadAcquire(from.memory);
  if (add == nullptr) return;
  if (to.memory == nullptr) {
    to.memory = new (std::nothrow) MemorySums;
    if (to.memory == nullptr) return;
  }
  MemorySums& sums = *to.memory;
  const unsigned used = LoadAcquire(add->used);
  for (int i = 0; i < kMemorySpaces; ++i) {
    if ((used & (1u << i)) == 0) continue;
    sums.allocated[i] = SaturatingAdd(sums.allocated[i], LoadRelaxed(add->allocated[i]));
    sums.freed[i] = SaturatingAdd(sums.freed[i], LoadRelaxed(add->freed[i]));
    const uint64_t peak = LoadRelaxed(add->peak[i]);
    if (peak > sums.peak[i]) sums.peak[i] = peak;
  }
  sums.used |= used;
}

}  // namespace timetree

using timetree::TimerNode;

void TimeAddMemory(const char* space, unsigned long long allocated, unsigned long long freed,
                   unsigned long long live) {
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0 || space == nullptr) return;
  timetree::ThreadTree* tree = timetree::CallingTreeIfAttached();
  TimerNode* node = tree != nullptr ? tree->current : nullptr;
  if (node == nullptr) return;
  const int i = timetree::SpaceIndex(space);
  if (i < 0) return;
  // The running timer and every one it runs in: each interval holds what
  // the timers within it did, as its time does. A timer started at the top
  // of an adopted path ends the walk (the path's timers do not run here).
  for (;;) {
    timetree::MemorySums* sums = timetree::LoadRelaxed(node->memory);
    if (sums == nullptr) {
      sums = new (std::nothrow) timetree::MemorySums;
      if (sums == nullptr) return;  // memory is short: these timers have none
      timetree::StoreRelease(node->memory, sums);
    }
    timetree::StoreRelaxed(sums->allocated[i],
                           timetree::SaturatingAdd(sums->allocated[i], allocated));
    timetree::StoreRelaxed(sums->freed[i], timetree::SaturatingAdd(sums->freed[i], freed));
    if (allocated != 0 && live > sums->peak[i]) timetree::StoreRelaxed(sums->peak[i], live);
    timetree::StoreRelease(sums->used, sums->used | (1u << i));
    if (node->top || node->parent == nullptr) break;
    node = node->parent;
  }
}
