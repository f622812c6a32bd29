#include "registry/timernode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "stopwatch/access.h"
#include "stopwatch/atomics.h"

namespace timetree {

TimerNode* TimerNode::Create(AllocSite site) {
  if (AllocationFails(site)) return nullptr;
  return new (std::nothrow) TimerNode;
}

TimerNode::~TimerNode() {
  DestroyTimers(children, this);
  std::free(longName);
}

void TimerNode::KeepLongName(const char* full) {
  if (full == nullptr || full[0] == '\0' || std::strlen(full) <= kNameLength) return;
  if (!AllocationFails(AllocSite::kLongName)) longName = strdup(full);
  // Without the whole name, differing long names cannot be told apart; the
  // timer is then left unchecked rather than marked by mistake.
  longNameUnknown = longName == nullptr;
}

void NoteLongName(TimerNode& node, const char* name) {
  if (LoadRelaxed(node.namesMerged) != 0 || node.longNameUnknown) return;
  if (std::strcmp(node.FullName() + kNameLength, name + kNameLength) == 0) return;
  StoreRelaxed(node.namesMerged, 1);
  std::fprintf(stderr,
               "timetree: \"%s\" is counted as \"%s\": names are compared on their "
               "first %d characters\n",
               name, node.FullName(), kNameLength);
}

Spread SpreadOf(const TimerNode& node) {
  if (node.spreadKept) return Spread{node.spreadThreads, node.spreadMin, node.spreadMax};
  const double total = StopWatchAccess::LoadElapsed(node.watch);
  return Spread{LoadRelaxed(node.count) > 0 ? 1 : 0, total, total};
}

void DestroyTimers(PtrList& list, TimerNode* owner) {
  // Each list is consumed from its head; a child's own list is consumed
  // before the child is freed, so that a chain of any depth is destroyed
  // in a loop rather than by recursion. Every timer's parent is the owner of
  // the list that holds it, which is the way back up.
  TimerNode* node = owner;
  PtrList* list_of_node = &list;
  for (;;) {
    if (PtrListNode* head = list_of_node->head()) {
      list_of_node->DropHead();
      if (auto* child = static_cast<TimerNode*>(head->data)) {
        node = child;
        list_of_node = &child->children;
      }
      continue;
    }
    list_of_node->RemoveAll();
    if (node == owner) return;
    TimerNode* up = node->parent;
    delete node;  // its children are gone, so this does not descend again
    node = up;
    list_of_node = node == owner ? &list : &node->children;
  }
}

}  // namespace timetree
