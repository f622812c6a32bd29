// Finding a timer among the children of one list: a walk for short lists,
// an open-addressing index by name for wide ones.
#ifndef TIMETREE_REGISTRY_NAMEINDEX_H
#define TIMETREE_REGISTRY_NAMEINDEX_H

#include <cstdint>

#include "registry/timernode.h"

namespace timetree {

// The index of a wide list: an open-addressing table of its timers by name,
// at most half full, probed linearly. Only the thread that owns the list
// uses it; the list itself keeps the order of first starts.
struct NameIndex {
  uint32_t shift;  // 64 - log2(slots), the slot count a power of two
  uint32_t used;
  TimerNode* slots[1];  // 2^(64 - shift) of them

  uint64_t First(const NameKey& key) const { return (KeyHash(key) * kSlotFactor) >> shift; }
  uint64_t Mask() const { return (uint64_t{1} << (64 - shift)) - 1; }
};

// The timer of list whose name equals key, or null, by a walk.
TimerNode* WalkForTimer(const PtrList& list, const NameKey& key);

// The timer of list whose name equals key, or null. A list of more than a
// few timers is searched through its index, others by a walk.
inline TimerNode* FindTimer(const PtrList& list, const NameKey& key) {
  if (const auto* index = static_cast<const NameIndex*>(list.index())) {
    const uint64_t mask = index->Mask();
    for (uint64_t at = index->First(key);; at = (at + 1) & mask) {
      TimerNode* node = index->slots[at];
      if (node == nullptr || Matches(*node, key)) return node;
    }
  }
  return WalkForTimer(list, key);
}

// Appends node to list and to the list's index, which is built once the
// list is wide enough and grown as it fills, and sets node->slot before the
// node is reachable. Null when no list block could be had (the list is then
// unchanged); when the index cannot grow it is dropped, and finding falls
// back to the walk. pending, when given, holds each index that is being
// built or released meanwhile, so that it stays reachable.
PtrListNode* AddTimer(PtrList& list, TimerNode* node, void** pending = nullptr);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_NAMEINDEX_H
