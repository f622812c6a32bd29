// (PtrList: the list's long-standing name, kept for those who know it by it.)
// PtrList: a doubly linked list of untyped pointers whose nodes are carved
// from blocks of a Morvex chain and released only all together.
#ifndef TIMETREE_REGISTRY_PTRLIST_H
#define TIMETREE_REGISTRY_PTRLIST_H

#include "sibling/morvex.h"

namespace timetree {

struct PtrListNode {
  PtrListNode* next;  // following node; in the free chain, the next free one
  PtrListNode* prev;
  void* data;
};

class PtrList {
 public:
  static constexpr int kBlockSize = 10;

  constexpr PtrList() = default;
  PtrList(const PtrList&) = delete;
  PtrList& operator=(const PtrList&) = delete;
  ~PtrList() { RemoveAll(); }

  // Appends element and returns its node; null when no block could be had,
  // in which case the list is unchanged. When slot is given, the node is
  // stored there before the node becomes reachable from the list.
  PtrListNode* AddTail(void* element, PtrListNode** slot = nullptr);
  // Empties the list and releases every block in one pass.
  void RemoveAll();

  PtrListNode* head() const { return head_; }
  // The head as another thread than the one that appends may read it.
  PtrListNode* SharedHead() const {
    PtrListNode* head;
    __atomic_load(&head_, &head, __ATOMIC_ACQUIRE);
    return head;
  }
  PtrListNode* tail() const { return tail_; }
  int count() const { return count_; }
  Morvex* blocks() const { return blocks_; }

  // The element that its user last looked up in this list, or null; emptied
  // by RemoveAll, so it never outlives the elements.
  void* hint() const { return hint_; }
  void set_hint(void* element) { hint_ = element; }

  // A lookup index that its user keeps beside the list (allocated with
  // malloc); freed by RemoveAll with the blocks.
  void* index() const { return index_; }
  void set_index(void* index) { index_ = index; }

  // Hands everything the list holds to an empty list, releasing nothing,
  // and leaves this one empty: for a list whose state may be half-changed,
  // which must then never be released.
  void MoveTo(PtrList& other) {
    other.head_ = head_;
    other.tail_ = tail_;
    other.count_ = count_;
    other.free_ = free_;
    other.blocks_ = blocks_;
    other.hint_ = hint_;
    other.index_ = index_;
    head_ = tail_ = free_ = nullptr;
    count_ = 0;
    blocks_ = nullptr;
    hint_ = index_ = nullptr;
  }

  // Advances the head without releasing anything; only for consuming a list
  // that is about to be emptied by RemoveAll.
  void DropHead() { head_ = head_->next; }

 private:
  // What a lookup reads first, together at the start.
  void* hint_ = nullptr;
  PtrListNode* head_ = nullptr;
  void* index_ = nullptr;
  PtrListNode* tail_ = nullptr;
  PtrListNode* free_ = nullptr;
  Morvex* blocks_ = nullptr;
  int count_ = 0;
  int blockSize_ = kBlockSize;
};

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_PTRLIST_H
