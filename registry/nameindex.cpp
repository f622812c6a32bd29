#include "registry/nameindex.h"

#include <cstddef>
#include <cstdlib>

namespace timetree {

namespace {

// Lists of this many timers or more are indexed.
constexpr int kIndexFrom = 6;

size_t IndexBytes(uint32_t slots) {
  return offsetof(NameIndex, slots) + sizeof(TimerNode*) * slots;
}

void IndexInsert(NameIndex& index, TimerNode* node) {
  const uint64_t mask = index.Mask();
  uint64_t at = index.First(KeyOf(*node));
  while (index.slots[at] != nullptr) at = (at + 1) & mask;
  index.slots[at] = node;
  ++index.used;
}

// A new index of list's timers with room for at least wanted; null when it
// could not be allocated. pending, when given, holds it while it is built.
NameIndex* BuildIndex(const PtrList& list, uint32_t wanted, void** pending) {
  uint32_t slots = 16, shift = 60;
  while (slots < 2 * wanted) {
    slots *= 2;
    --shift;
  }
  if (AllocationFails(AllocSite::kNameIndex)) return nullptr;
  auto* index = static_cast<NameIndex*>(std::calloc(1, IndexBytes(slots)));
  if (index == nullptr) return nullptr;
  if (pending != nullptr) pending[0] = index;
  index->shift = shift;
  for (PtrListNode* p = list.head(); p != nullptr; p = p->next) {
    IndexInsert(*index, static_cast<TimerNode*>(p->data));
  }
  return index;
}

}  // namespace

TimerNode* WalkForTimer(const PtrList& list, const NameKey& key) {
  for (PtrListNode* p = list.head(); p != nullptr; p = p->next) {
    auto* node = static_cast<TimerNode*>(p->data);
    if (Matches(*node, key)) return node;
  }
  return nullptr;
}

PtrListNode* AddTimer(PtrList& list, TimerNode* node, void** pending) {
  PtrListNode* slot = list.AddTail(node, &node->slot);
  if (slot == nullptr || list.count() < kIndexFrom) return slot;
  auto* index = static_cast<NameIndex*>(list.index());
  if (index != nullptr && 2 * (index->used + 1) <= index->Mask() + 1) {
    IndexInsert(*index, node);
    return slot;
  }
  // Built, or grown to twice the size, from the list: O(1) amortised per
  // timer. Without memory the list is walked instead. The new index is in
  // place before the old one is released, and each stays reachable from
  // pending (a pair) meanwhile.
  NameIndex* grown = BuildIndex(list, static_cast<uint32_t>(list.count()), pending);
  if (pending != nullptr) pending[1] = index;
  list.set_index(grown);
  std::free(index);
  if (pending != nullptr) pending[0] = pending[1] = nullptr;
  return slot;
}

}  // namespace timetree
