#include "registry/ptrlist.h"

#include <gtest/gtest.h>

#include "sibling/faults.h"

namespace {

using timetree::PtrList;
using timetree::PtrListNode;

int BlockCount(const PtrList& list) {
  int n = 0;
  for (timetree::Morvex* b = list.blocks(); b != nullptr; b = b->next) ++n;
  return n;
}

TEST(PtrList, TakesOneBlockPerTenElements) {
  PtrList list;
  int items[25];
  EXPECT_EQ(BlockCount(list), 0);
  for (int i = 0; i < 25; ++i) {
    ASSERT_NE(list.AddTail(&items[i]), nullptr);
    EXPECT_EQ(BlockCount(list), i / 10 + 1) << "after element " << i + 1;
  }
  EXPECT_EQ(list.count(), 25);
  // Nodes of one block are handed out in ascending address order.
  PtrListNode* first = list.head();
  EXPECT_EQ(first->next, first + 1);
}

TEST(PtrList, KeepsOrderBothWays) {
  PtrList list;
  int a = 1, b = 2, c = 3;
  list.AddTail(&a);
  list.AddTail(&b);
  list.AddTail(&c);
  PtrListNode* n = list.head();
  EXPECT_EQ(n->data, &a);
  EXPECT_EQ(n->prev, nullptr);
  EXPECT_EQ(n->next->data, &b);
  EXPECT_EQ(n->next->next->data, &c);
  EXPECT_EQ(n->next->next, list.tail());
  EXPECT_EQ(list.tail()->next, nullptr);
  EXPECT_EQ(list.tail()->prev->data, &b);
  EXPECT_EQ(list.tail()->prev->prev->data, &a);
}

TEST(PtrList, RemoveAllReleasesBlocksAndListStartsAfresh) {
  PtrList list;
  int x = 0;
  for (int i = 0; i < 12; ++i) list.AddTail(&x);
  list.RemoveAll();
  EXPECT_EQ(list.count(), 0);
  EXPECT_EQ(list.head(), nullptr);
  EXPECT_EQ(list.tail(), nullptr);
  EXPECT_EQ(list.blocks(), nullptr);
  list.RemoveAll();  // nothing left to release
  ASSERT_NE(list.AddTail(&x), nullptr);
  EXPECT_EQ(BlockCount(list), 1);
  EXPECT_EQ(list.head(), list.tail());
}

TEST(PtrList, NoBlockLeavesTheListUnchanged) {
  PtrList list;
  int items[10];
  for (int& item : items) list.AddTail(&item);
  timetree::g_faultHook = [](timetree::AllocSite) { return true; };
  int extra = 0;
  EXPECT_EQ(list.AddTail(&extra), nullptr);
  timetree::g_faultHook = nullptr;
  EXPECT_EQ(list.count(), 10);
  EXPECT_EQ(list.tail()->data, &items[9]);
  EXPECT_EQ(list.tail()->next, nullptr);
  EXPECT_EQ(BlockCount(list), 1);
  // The next block can be had again.
  ASSERT_NE(list.AddTail(&extra), nullptr);
  EXPECT_EQ(list.tail()->data, &extra);
}

}  // namespace
