#include "registry/merge.h"

#include <cstring>

#include "stopwatch/access.h"
#include "stopwatch/atomics.h"

namespace timetree {

namespace {

// The timer of that stored name among list's, created at the tail when
// there is none; null when it could not be allocated.
TimerNode* FindOrAdd(PtrList& list, TimerNode* parent, const char* name) {
  if (TimerNode* found = FindTimer(list, NameKey(name))) return found;
  TimerNode* node = TimerNode::Create(AllocSite::kMergedTimer);
  if (node == nullptr) return nullptr;
  std::memcpy(node->name, name, kNameSize);
  node->parent = parent;
  node->owner = &list;
  node->slot = AddTimer(list, node);
  if (node->slot == nullptr) {
    delete node;
    return nullptr;
  }
  return node;
}

void AddInto(TimerNode& to, const TimerNode& from) {
  int32_t& count = StopWatchAccess::Count(to.watch);
  // Wrapping, not undefined, should the summed starts pass INT_MAX.
  count = static_cast<int32_t>(static_cast<uint32_t>(count) +
                               static_cast<uint32_t>(StopWatchAccess::LoadCount(from.watch)));
  StopWatchAccess::Elapsed(to.watch) += StopWatchAccess::LoadElapsed(from.watch);
  if (LoadRelaxed(from.stoppedImplicitly) != 0) to.stoppedImplicitly = 1;
  if (StopWatchAccess::LoadRunning(from.watch)) StopWatchAccess::SetRunning(to.watch);
}

}  // namespace

bool MergeTimers(PtrList& into, const PtrList& from) {
  bool whole = true;
  PtrListNode* p = from.SharedHead();
  TimerNode* into_parent = nullptr;  // where p's timer goes: its children
  PtrList* into_list = &into;
  while (p != nullptr) {
    // A node's element, name, parent and slot are set before the node is
    // linked, so they are read plainly once the link has been acquired.
    const auto* source = static_cast<const TimerNode*>(p->data);
    TimerNode* target = FindOrAdd(*into_list, into_parent, source->name);
    if (target == nullptr) {
      whole = false;
    } else {
      AddInto(*target, *source);
      if (PtrListNode* child = source->children.SharedHead()) {
        p = child;
        into_parent = target;
        into_list = &target->children;
        continue;
      }
    }
    // The next sibling, climbing as far as needed.
    for (;;) {
      PtrListNode* next = LoadAcquire(p->next);
      if (next != nullptr) {
        p = next;
        break;
      }
      const TimerNode* up = source->parent;
      if (up == nullptr) {
        p = nullptr;
        break;
      }
      source = up;
      p = up->slot;
      into_parent = into_parent->parent;
      into_list = into_parent != nullptr ? &into_parent->children : &into;
    }
  }
  return whole;
}

}  // namespace timetree
