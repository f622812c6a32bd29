// The few ways the tests reach the library's internals: the main thread's
// timers by position (to set a count past what a test could start, or to
// check what a start made), and its root list. One place, so that a change
// of the tree's layout changes the tests here alone.
#ifndef TIMETREE_TESTS_INTERNALS_H
#define TIMETREE_TESTS_INTERNALS_H

#include "registry/dtimemgr.h"
#include "registry/timernode.h"

namespace timetree_test {

// The main thread's top-level timers.
inline timetree::PtrList& TopList() { return timetree::g_timeManager.root; }
inline int TopCount() { return static_cast<int>(TopList().count()); }

// The index-th timer of list (0 the first), which must have that many.
inline timetree::TimerNode* NthTimer(const timetree::PtrList& list, int index) {
  timetree::PtrListNode* p = list.head();
  for (int i = 0; i < index; ++i) p = p->next;
  return static_cast<timetree::TimerNode*>(p->data);
}
inline timetree::TimerNode* TopTimer(int index) { return NthTimer(TopList(), index); }
inline timetree::TimerNode* LastTopTimer() { return TopTimer(TopCount() - 1); }
inline timetree::TimerNode* ChildTimer(timetree::TimerNode* node, int index) {
  return NthTimer(node->children, index);
}

// No timer of the main thread runs and the next start looks at the top.
inline bool MainThreadIdle() {
  return timetree::g_timeManager.current == nullptr &&
         timetree::g_timeManager.currentList == &TopList();
}

}  // namespace timetree_test

#endif  // TIMETREE_TESTS_INTERNALS_H
