#include "registry/dtimemgr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "internals.h"
#include "sibling/faults.h"
#include "support.h"

namespace {

using timetree::g_timeManager;
using timetree::TimerNode;
using timetree_test::CommentLog;
using Pieces = std::vector<std::string>;

class TimerTree : public timetree_test::TimingTest {
 protected:
  static TimerNode* Top(int index) { return timetree_test::TopTimer(index); }
  static TimerNode* Child(TimerNode* node, int index) {
    return timetree_test::ChildTimer(node, index);
  }
  static bool Idle() { return timetree_test::MainThreadIdle(); }
};

TEST_F(TimerTree, StartsAndStopsAreIgnoredUntilTimingIsRead) {
  Switch("TIMING_ON", "1");  // set, but not read yet
  TimeStartTimer("A");
  TimeStopTimer("A");
  TimeStopTimer("B");
  EXPECT_EQ(timetree_test::TopCount(), 0);
  EXPECT_TRUE(CommentLog::pieces.empty());
}

TEST_F(TimerTree, RepeatedStartOfOneNameContinuesOneTimer) {
  OpenCapture();
  Run("A", 10);
  Run("A", 30);
  ASSERT_EQ(timetree_test::TopCount(), 1);
  EXPECT_EQ(Top(0)->count, 2);
  EXPECT_DOUBLE_EQ(Top(0)->watch.GetElapsedTime(), 0.040);
  EXPECT_TRUE(Idle());
  EXPECT_EQ(Captured(), "");
}

TEST_F(TimerTree, SameNameNestedInsideItselfIsAChild) {
  OpenCapture();
  TimeStartTimer("A");
  TimeStartTimer("A");
  TimeStopTimer("A");
  TimeStopTimer("A");
  ASSERT_EQ(timetree_test::TopCount(), 1);
  TimerNode* outer = Top(0);
  ASSERT_EQ(outer->children.count(), 1);
  TimerNode* inner = Child(outer, 0);
  EXPECT_EQ(inner->parent, outer);
  EXPECT_EQ(inner->owner, &outer->children);
  EXPECT_EQ(outer->count, 1);
  EXPECT_EQ(inner->count, 1);
  EXPECT_EQ(inner->stoppedImplicitly, 0);
  EXPECT_TRUE(Idle());
}

TEST_F(TimerTree, StopOfOuterTimerClosesAndMarksInnerOnes) {
  OpenCapture();
  TimeStartTimer("A");
  TimeStartTimer("B");
  TimeStartTimer("C");
  timetree_test::FakeClock::now += 7;
  TimeStopTimer("A");
  TimerNode* a = Top(0);
  TimerNode* b = Child(a, 0);
  TimerNode* c = Child(b, 0);
  EXPECT_EQ(a->stoppedImplicitly, 0);
  EXPECT_EQ(b->stoppedImplicitly, 1);
  EXPECT_EQ(c->stoppedImplicitly, 1);
  for (TimerNode* t : {a, b, c}) {
    EXPECT_DOUBLE_EQ(t->watch.GetElapsedTime(), 0.007) << t->name;
  }
  EXPECT_TRUE(Idle());
  EXPECT_EQ(Captured(), "");
}

TEST_F(TimerTree, StopNamingNoRunningTimerClosesAllAndSaysSoOnce) {
  OpenCapture();
  TimeStartTimer("A");
  TimeStartTimer("B");
  TimeStopTimer("B-typo");
  EXPECT_EQ(CommentLog::pieces,
            (Pieces{"Timer could not find timer \"", "B-typo",
                    "\"\nCheck that start and stop have the same name\n"}));
  EXPECT_EQ(Child(Top(0), 0)->stoppedImplicitly, 1);
  EXPECT_EQ(Top(0)->stoppedImplicitly, 0);  // never set at top level
  EXPECT_TRUE(Idle());
  EXPECT_EQ(Captured(),
            "Timer could not find timer \"B-typo\"\n"
            "Check that start and stop have the same name\n");
}

TEST_F(TimerTree, StopWithNoTimerRunningIsReportedInThreePieces) {
  OpenCapture();
  TimeStopTimer("X");
  TimeStopTimer(nullptr);
  EXPECT_EQ(CommentLog::pieces,
            (Pieces{"No timer active while trying to stop timer \"", "X", "\"\n",
                    "No timer active while trying to stop timer \"", "\"\n"}));
  EXPECT_EQ(Captured(),
            "No timer active while trying to stop timer \"X\"\n"
            "No timer active while trying to stop timer \"\"\n");
}

// Names that agree on their first 25 characters are one timer, as always,
// but never in silence: the first start under a name that differs past them
// says so on standard error, once per timer, and marks the timer.
TEST_F(TimerTree, NamesCompareOnTheirFirst25CharactersOnly) {
  OpenCapture();
  const char* long_a = "abcdefghijklmnopqrstuvwxy-first";
  const char* long_b = "abcdefghijklmnopqrstuvwxy-second";
  const char* exactly_25 = "abcdefghijklmnopqrstuvwxy";
  testing::internal::CaptureStderr();
  Run(long_a, 1);
  Run(long_a, 1);
  EXPECT_EQ(Top(0)->namesMerged, 0);
  Run(long_b, 1);
  Run(exactly_25, 1);
  Run(long_b, 1);
  // Names of 25 characters or fewer, and long names that repeat, say nothing.
  TimeStartTimer("child-of-exactly-25-chars");
  Run("abcdefghijklmnopqrstuvwxy-same-long-name", 1);
  Run("abcdefghijklmnopqrstuvwxy-same-long-name", 1);
  TimeStopTimer("child-of-exactly-25-chars");
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, std::string("timetree: \"") + long_b + "\" is counted as \"" + long_a +
                      "\": names are compared on their first 25 characters\n");
  ASSERT_EQ(timetree_test::TopCount(), 2);
  EXPECT_STREQ(Top(0)->name, exactly_25);
  EXPECT_EQ(Top(0)->count, 5);
  EXPECT_EQ(Top(0)->namesMerged, 1);
  EXPECT_EQ(Child(Top(1), 0)->namesMerged, 0);
  // Messages echo the name as passed, uncut.
  TimeStopTimer(long_b);
  EXPECT_EQ(Captured(), std::string("No timer active while trying to stop timer \"") +
                            long_b + "\"\n");
}

TEST_F(TimerTree, NullAndEmptyNamesAreOneTimer) {
  OpenCapture();
  Run(nullptr, 1);
  Run("", 1);
  TimeStartTimer(nullptr);
  TimeStopTimer("");
  ASSERT_EQ(timetree_test::TopCount(), 1);
  EXPECT_STREQ(Top(0)->name, "");
  EXPECT_EQ(Top(0)->count, 3);
  EXPECT_EQ(Captured(), "");
}

TEST_F(TimerTree, ClearWithRunningTimerNamesItThenTheListLine) {
  OpenCapture();
  TimeStartTimer("A");
  TimeStartTimer("B");
  TimeClear();
  EXPECT_EQ(timetree_test::TopCount(), 0);
  EXPECT_EQ(timetree_test::TopList().blocks(), nullptr);
  EXPECT_TRUE(Idle());
  EXPECT_EQ(CommentLog::pieces,
            (Pieces{"dtimemgr - TimeClear deleted running timer: B\n",
                    "dtimemgr search_list problem\n"}));
  // Timing stays on: the cleared tree fills again.
  Run("C", 1);
  EXPECT_EQ(timetree_test::TopCount(), 1);
}

TEST_F(TimerTree, TimerFoundLastIsForgottenWhenTheTreeIsCleared) {
  OpenCapture();
  Run("A", 1);
  Run("A", 1);  // found again, through the list's last-found timer
  TimeClear();
  Run("A", 1);  // must not reach the deleted timer
  ASSERT_EQ(timetree_test::TopCount(), 1);
  EXPECT_EQ(Top(0)->count, 1);
  TimeStartTimer("B");
  Run("x", 1);
  Run("y", 1);
  Run("x", 1);  // the walk finds x although y was found last
  TimeStopTimer("B");
  EXPECT_EQ(Child(Top(1), 0)->count, 2);
  EXPECT_EQ(Top(1)->children.count(), 2);
}

// In a wide list a start is found again by the pointer its name was
// passed as: a buffer that now holds another name is that other timer, the
// same pointer under another parent is that parent's timer, and after a
// clear the pointer finds nothing of before (the top-level list, whose
// address stays, is where a forgotten entry would lead to a freed timer).
TEST_F(TimerTree, ANamePointerFindsItsTimerOnlyWhileItNamesIt) {
  OpenCapture();
  char buffer[8] = "a0";
  for (int round = 0; round < 2; ++round) {
    for (char c = '0'; c <= '7'; ++c) {
      buffer[1] = c;
      Run(buffer, 1);  // eight top-level timers: a wide, indexed list
    }
    for (const char c : {'5', '2', '7', '2', '0'}) {
      buffer[1] = c;  // the same pointer, another name each time
      Run(buffer, 1);
    }
    TimeStartTimer("other");
    Run(buffer, 1);  // a0 under other: a new timer, not the top-level one
    TimeStopTimer("other");
    ASSERT_EQ(timetree_test::TopCount(), 9);
    const int64_t want[] = {2, 1, 3, 1, 1, 2, 1, 2};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Top(i)->count, want[i]) << round << " a" << i;
    ASSERT_EQ(Top(8)->children.count(), 1);
    EXPECT_EQ(Child(Top(8), 0)->count, 1);
    TimeClear();  // the second round must not reach the deleted timers
  }
}

// A start in a wide list first tries the timer that followed the last one
// found there: a guess that is another timer of the list, or a timer of the
// same name under another parent, is not taken.
TEST_F(TimerTree, TheTimerThatFollowedLastTimeIsTakenOnlyWhenItIsTheOne) {
  OpenCapture();
  const char* const names[] = {"a", "b", "c", "d", "e", "f"};
  TimeStartTimer("Q");
  for (const char* name : names) Run(name, 1);
  TimeStartTimer("P");
  for (const char* name : names) Run(name, 1);
  // Followed a: b, then c (the guess b is wrong), then c again.
  for (const char* name : {"a", "b", "a", "c", "a"}) Run(name, 1);
  TimeStopTimer("P");
  Run("c", 1);  // Q's c: a's last follower in P is P's c
  TimeStopTimer("Q");
  EXPECT_TRUE(Idle());
  TimerNode* q = Top(0);
  TimerNode* p = Child(q, 6);
  ASSERT_EQ(q->children.count(), 7);
  const int64_t in_q[] = {1, 1, 2, 1, 1, 1};
  const int64_t in_p[] = {4, 2, 2, 1, 1, 1};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Child(q, i)->count, in_q[i]) << names[i];
    EXPECT_EQ(Child(p, i)->count, in_p[i]) << names[i];
  }
}

TEST_F(TimerTree, FailedTimerAllocationLeavesTheStateAsItWas) {
  OpenCapture();
  TimeStartTimer("A");
  timetree::g_faultHook = [](timetree::AllocSite site) {
    return site == timetree::AllocSite::kTimer;
  };
  TimeStartTimer("B");
  timetree::g_faultHook = nullptr;
  EXPECT_EQ(g_timeManager.current, Top(0));
  EXPECT_EQ(Top(0)->children.count(), 0);
  // The host's stop of B now closes A and says B was not found.
  TimeStopTimer("B");
  EXPECT_TRUE(Idle());
  EXPECT_EQ(Top(0)->count, 1);
}

TEST_F(TimerTree, FailedListBlockFreesTheNewTimerAndStartsNothing) {
  OpenCapture();
  for (int i = 0; i < 10; ++i) Run(std::to_string(i).c_str(), 1);
  timetree::g_faultHook = [](timetree::AllocSite site) {
    return site == timetree::AllocSite::kListBlock;
  };
  TimeStartTimer("eleventh");  // needs a second block of the root list
  timetree::g_faultHook = nullptr;
  EXPECT_EQ(timetree_test::TopCount(), 10);
  EXPECT_TRUE(Idle());
  Run("eleventh", 1);
  EXPECT_EQ(timetree_test::TopCount(), 11);
}

// Names of every length from 1 to 32 that differ in one byte, at each
// place, are two timers when the byte is among the first 25 and one timer
// after; a name is never the same timer as its own prefix. Each pair is
// found by a walk (a list of two) and again through the index (all of a
// length under one wide list).
TEST_F(TimerTree, NamesDifferInAnyOfTheirFirst25BytesAtEveryLength) {
  OpenCapture();
  testing::internal::CaptureStderr();  // the long names' merge notes
  for (int length = 1; length <= 32; ++length) {
    const std::string base(static_cast<size_t>(length), 'n');
    for (int at = 0; at < length; ++at) {
      std::string other = base;
      other[static_cast<size_t>(at)] = 'm';
      const int expected = at < 25 ? 2 : 1;
      for (const char* parent : {"indexed", "walked"}) {
        const std::string list =
            parent + std::string(" ") + std::to_string(length) +
            (parent[0] == 'w' ? " " + std::to_string(at) : std::string());
        TimeStartTimer(list.c_str());
        Run(base.c_str(), 1);
        Run(other.c_str(), 1);
        Run(base.substr(0, static_cast<size_t>(length) - 1).c_str(), 1);  // a prefix
        TimeStopTimer(list.c_str());
      }
      // Past 25 characters the prefix too is the base's timer.
      const int prefix_apart = length <= 25 ? 1 : 0;
      TimerNode* walked = Top(timetree_test::TopCount() - 1);
      EXPECT_EQ(walked->children.count(), expected + prefix_apart) << length << " " << at;
      EXPECT_EQ(Child(walked, 0)->count, 4 - expected - prefix_apart) << length << " " << at;
    }
    TimerNode* indexed = Top(timetree_test::TopCount() - 1 - length);
    // The base, a variant for each of its first 25 bytes, and its prefix.
    EXPECT_EQ(indexed->children.count(), 1 + std::min(length, 25) + (length <= 25 ? 1 : 0))
        << length;
  }
  testing::internal::GetCapturedStderr();
}

// A million nested timers: stopping, both reports and clearing must not
// recurse as deep as the nesting (the default stack is 8 MiB).
TEST_F(TimerTree, MillionLevelsDeepNeitherRecursesNorLoses) {
  constexpr int kDepth = 1000000;
  Switch("TIMING_ON", "1");
  Switch("TIMING_FILE", "1");
  TimeOpenOStream("/dev/null");
  for (int i = 0; i < kDepth; ++i) TimeStartTimer("deep");
  TimePrintIndented(nullptr);
  TimeStopTimer("nowhere");  // closes every level, outermost last
  EXPECT_TRUE(Idle());
  TimerNode* node = Top(0);
  int depth = 1;
  while (node->children.head() != nullptr) {
    node = Child(node, 0);
    ++depth;
    ASSERT_EQ(node->stoppedImplicitly, 1);
  }
  EXPECT_EQ(depth, kDepth);
  TimePrint();
  TimePrintIndented(".");
  TimeClear();
  EXPECT_EQ(timetree_test::TopCount(), 0);
}

}  // namespace
