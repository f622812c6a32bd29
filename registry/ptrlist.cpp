#include "registry/ptrlist.h"

#include <cstdlib>

#include "stopwatch/atomics.h"

namespace timetree {

PtrListNode* PtrList::AddTail(void* element, PtrListNode** slot) {
  if (free_ == nullptr) {
    Morvex* block = Morvex::Create(blocks_, static_cast<uint32_t>(blockSize_),
                                   sizeof(PtrListNode));
    if (block == nullptr) return nullptr;
    // Pushed last to first, so that the block's nodes are then taken in
    // ascending address order.
    auto* nodes = static_cast<PtrListNode*>(block->Data());
    for (int i = blockSize_ - 1; i >= 0; --i) {
      nodes[i].next = free_;
      free_ = &nodes[i];
    }
  }
  PtrListNode* node = free_;
  free_ = node->next;

  node->prev = tail_;
  node->next = nullptr;
  node->data = element;
  ++count_;
  if (slot != nullptr) *slot = node;
  // The link that makes the node reachable is stored last, with release, so
  // that a thread walking the list from head with acquire loads sees the
  // node and what its element holds complete.
  if (tail_ != nullptr) {
    StoreRelease(tail_->next, node);
  } else {
    StoreRelease(head_, node);
  }
  tail_ = node;
  return node;
}

void PtrList::RemoveAll() {
  count_ = 0;
  head_ = tail_ = free_ = nullptr;
  hint_ = nullptr;
  std::free(index_);
  index_ = nullptr;
  Morvex::FreeDataChain(blocks_);
  blocks_ = nullptr;
}

}  // namespace timetree
