// Allocation failures at each allocation point, at the first, the n-th and
// every call, and write errors on the file channel: the library neither
// crashes nor leaks (under LeakSanitizer), the tree stays consistent and the
// reports stay well-formed.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "channels/channels.h"
#include "internals.h"
#include "registry/dtimemgr.h"
#include "sibling/faults.h"
#include "support.h"

namespace {

using timetree::AllocSite;
using timetree::g_timeManager;
using timetree::PtrList;
using timetree::PtrListNode;
using timetree::TimerNode;

struct Schedule {
  static inline AllocSite site;
  static inline int fail_at = 0;  // 0: every call
  static inline int calls = 0;
  static bool Hook(AllocSite s) {
    if (s != site) return false;
    ++calls;
    return fail_at == 0 || calls == fail_at;
  }
};

// Checks every link of the tree and the current-timer invariant; returns the
// number of timers.
int ExpectConsistent() {
  int timers = 0;
  bool current_found = g_timeManager.current == nullptr;
  struct Level {
    const PtrList* list;
    TimerNode* owner;
  };
  std::vector<Level> todo{{&timetree_test::TopList(), nullptr}};
  while (!todo.empty()) {
    const Level level = todo.back();
    todo.pop_back();
    int count = 0;
    const PtrListNode* prev = nullptr;
    std::set<std::string> names;  // a lost index entry would add a twin
    for (PtrListNode* p = level.list->head(); p != nullptr; p = p->next) {
      ++count;
      EXPECT_TRUE(names.insert(static_cast<TimerNode*>(p->data)->name).second);
      EXPECT_EQ(p->prev, prev);
      auto* node = static_cast<TimerNode*>(p->data);
      EXPECT_EQ(node->parent, level.owner);
      EXPECT_EQ(node->owner, level.list);
      EXPECT_EQ(node->slot, p);
      EXPECT_GE(node->count, 1);
      EXPECT_LE(std::strlen(node->name), 25u);
      if (node == g_timeManager.current) current_found = true;
      todo.push_back({&node->children, node});
      prev = p;
      ++timers;
    }
    EXPECT_EQ(level.list->tail(), prev);
    EXPECT_EQ(level.list->count(), count);
  }
  EXPECT_TRUE(current_found);
  EXPECT_EQ(g_timeManager.currentList, g_timeManager.current != nullptr
                                           ? &g_timeManager.current->children
                                           : &timetree_test::TopList());
  return timers;
}

// Every line is one the library may write.
void ExpectWellFormed(const std::string& text) {
  static const std::regex kLine(
      R"(|LABEL {25} \|  COUNT \| {13}TOTAL \| {11}AVERAGE)"
      R"(|.* \| +-?\d+ \| +\d+\.\d{6} \| +\d+\.\d{6})"
      R"(|Warning:  some timers are still running)"
      R"(|Timers with \? were stopped implicitly)"
      R"(|This is usually due to an early return which avoided the _time_stop)"
      R"(|Timer could not find timer ".*")"
      R"(|Check that start and stop have the same name)"
      R"(|No timer active while trying to stop timer ".*")"
      R"(|dtimemgr - TimeClear deleted running timer: .*)"
      R"(|dtimemgr search_list problem)");
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, kLine)) << "line: " << line;
  }
  EXPECT_TRUE(text.empty() || text.back() == '\n');
}

// Builds a tree with many siblings (several list blocks), nesting, implicit
// stops and misnamed stops, with both reports between the steps.
void Workload() {
  for (int round = 0; round < 3; ++round) {
    TimeStartTimer("outer");
    for (int i = 0; i < 23; ++i) {
      const std::string name = "child" + std::to_string(i);
      TimeStartTimer(name.c_str());
      TimeStartTimer("leaf");
      timetree_test::FakeClock::now += 3;
      if (i % 5 == 0) {
        TimeStopTimer(name.c_str());  // leaf closed implicitly
      } else {
        TimeStopTimer("leaf");
        TimeStopTimer(name.c_str());
      }
      ExpectConsistent();
    }
    // Names past the compared length: one differs only after it.
    TimeStartTimer("a name longer than twenty-five");
    TimeStopTimer("a name longer than twenty-five");
    TimeStartTimer("a name longer than twenty-five, too");
    TimeStopTimer("a name longer than twenty-five, too");
    TimePrint();
    TimeStopTimer("outer");
    TimeStartTimer("top");
    TimeStopTimer("missing");
    TimePrintIndented("->");
    TimePrint();
    ExpectConsistent();
  }
}

class Faults : public timetree_test::TimingTest {
 protected:
  void TearDown() override {
    timetree::g_faultHook = nullptr;
    TimingTest::TearDown();
  }
};

TEST_F(Faults, EveryAllocationPointFailingAtFirstNthOrEveryCall) {
  // The name index is built for "outer"'s 23 children.
  const AllocSite sites[] = {AllocSite::kTimer, AllocSite::kListBlock,
                             AllocSite::kFlatRecord, AllocSite::kNameIndex,
                             AllocSite::kLongName};
  const int fail_ats[] = {1, 2, 7, 30, 0};
  int runs = 0;
  for (AllocSite site : sites) {
    for (int fail_at : fail_ats) {
      OpenCapture();
      Schedule::site = site;
      Schedule::fail_at = fail_at;
      Schedule::calls = 0;
      timetree::g_faultHook = &Schedule::Hook;
      Workload();
      timetree::g_faultHook = nullptr;
      const int timers = ExpectConsistent();
      if (fail_at == 0 && (site == AllocSite::kTimer || site == AllocSite::kListBlock)) {
        EXPECT_EQ(timers, 0) << "nothing can be created";
      }
      // The tree still works once memory is back.
      TimeStartTimer("after");
      TimeStopTimer("after");
      TimePrint();
      TimeClear();
      EXPECT_EQ(ExpectConsistent(), 0);
      const std::string text = Captured();
      ExpectWellFormed(text);
      EXPECT_GT(Schedule::calls, 0) << "the failure was never reached";
      ++runs;
    }
  }
  EXPECT_EQ(runs, 25);
}

TEST_F(Faults, FlatRecordsFailingEverywhereLeaveHeaderOnly) {
  OpenCapture();
  Run("A", 1);
  Schedule::site = AllocSite::kFlatRecord;
  Schedule::fail_at = 0;
  timetree::g_faultHook = &Schedule::Hook;
  TimePrint();
  timetree::g_faultHook = nullptr;
  EXPECT_EQ(Captured(), timetree_test::Header());
}

TEST_F(Faults, WriteErrorsOnTheFileAreIgnored) {
  Switch("TIMING_ON", "1");
  Switch("TIMING_FILE", "1");
  TimeOpenOStream("/dev/full");
  ASSERT_NE(timetree::g_channels.file, nullptr);
  const std::string big(100000, 'x');
  TimeComment(big.c_str());  // past the stream's buffer: the write fails
  Workload();
  TimeCloseOStream();  // the final flush fails too
  EXPECT_EQ(timetree::g_channels.file, nullptr);
  // The next file works as usual.
  OpenCapture();
  TimeComment("fine\n");
  EXPECT_EQ(Captured(), "fine\n");
}

}  // namespace
