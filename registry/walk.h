// Walks over a tree of timers, without recursion, so that any depth works:
// every report, export and merge reads the tree through them.
#ifndef TIMETREE_REGISTRY_WALK_H
#define TIMETREE_REGISTRY_WALK_H

#include "registry/timernode.h"

namespace timetree {

// Visits every timer under the timers of top in depth-first order, a parent
// before its children and siblings in list order, without recursion.
// visit(node, depth) gets depth 0 for the timers of top and returns whether
// to go on into the node's children. Lists of timers never hold null.
template <class Visit>
void WalkPreorder(const PtrList& top, Visit visit) {
  for (PtrListNode* t = top.head(); t != nullptr; t = t->next) {
    auto* root = static_cast<TimerNode*>(t->data);
    if (root == nullptr) continue;
    TimerNode* node = root;
    int depth = 0;
    bool descend = visit(node, depth);
    for (;;) {
      PtrListNode* next = descend ? node->children.head() : nullptr;
      if (next != nullptr) {
        ++depth;
      } else {
        // No child to enter: the next sibling, climbing as far as needed.
        while (node != root) {
          next = node->slot->next;
          if (next != nullptr) break;
          node = node->parent;
          --depth;
        }
        if (next == nullptr) break;
      }
      node = static_cast<TimerNode*>(next->data);
      descend = visit(node, depth);
    }
  }
}

// Visits every timer under the timers of top in depth-first order without
// recursion, calling enter(node, depth, first) on the way down (first: the
// node is the first of its list) and leave(node, depth) once all of its
// children have been left: the shape of a nested text such as JSON.
template <class Enter, class Leave>
void WalkNested(const PtrList& top, Enter enter, Leave leave) {
  PtrListNode* p = top.head();
  int depth = 0;
  while (p != nullptr) {
    auto* node = static_cast<TimerNode*>(p->data);
    enter(node, depth, p->prev == nullptr);
    if (PtrListNode* child = node->children.head()) {
      p = child;
      ++depth;
      continue;
    }
    leave(node, depth);
    while (p->next == nullptr && depth > 0) {
      node = node->parent;
      --depth;
      leave(node, depth);
      p = node->slot;
    }
    p = p->next;
  }
}

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_WALK_H
