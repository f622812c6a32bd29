// Merging trees by path: nodes with the same chain of names from the top
// become one. Written once, for every kind of tree that is merged: the
// threads' timer trees (registry/merge.h) and the runs and processes that
// the command line and the MPI component combine (the run format). Generic,
// with no type of its own, so that any layer may use it.
#ifndef TIMETREE_REGISTRY_MERGEBYPATH_H
#define TIMETREE_REGISTRY_MERGEBYPATH_H

namespace timetree {

// Adds every node of the tree from to the tree into, path by path: a path
// already in into is combined with from's node, a new path is appended after
// into's own nodes under the same parent, in from's order. Merging a, then
// b, into an empty tree therefore lists a's paths in a's order, then those
// that b adds; and merging is associative. No recursion, so any depth works.
//
// Tree describes both trees (Into and From, whose Cursor designates a node
// within its sibling list):
//   Cursor First(const From&)                 the first top-level node
//   Cursor FirstChild(Cursor), Next(Cursor)   null at the end
//   Cursor Up(Cursor)                         the parent's cursor; null at top
//   IntoNode* FindOrAdd(Into&, IntoNode* parent, Cursor)  parent null at top;
//                                              null when it cannot be had
//   IntoNode* Parent(IntoNode*)
//   void Combine(IntoNode*, Cursor)
// The functions are called through tree, so that they may be static or
// read state of tree's own. False when a node could not be had: that node's
// subtree is left out.
template <class Tree>
bool MergeByPath(const Tree& tree, typename Tree::Into& into, const typename Tree::From& from) {
  using Cursor = typename Tree::Cursor;
  using IntoNode = typename Tree::IntoNode;
  bool whole = true;
  Cursor at = tree.First(from);
  IntoNode* into_parent = nullptr;  // where at's node goes: its children
  while (at) {
    IntoNode* target = tree.FindOrAdd(into, into_parent, at);
    if (target == nullptr) {
      whole = false;
    } else {
      tree.Combine(target, at);
      if (Cursor child = tree.FirstChild(at)) {
        at = child;
        into_parent = target;
        continue;
      }
    }
    // The next sibling, climbing as far as needed.
    for (;;) {
      if (Cursor next = tree.Next(at)) {
        at = next;
        break;
      }
      at = tree.Up(at);
      if (!at) break;
      into_parent = tree.Parent(into_parent);
    }
  }
  return whole;
}

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_MERGEBYPATH_H
