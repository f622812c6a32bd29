#include <gtest/gtest.h>

#include <string>

#include "registry/dtimemgr.h"
#include "sibling/faults.h"
#include "support.h"

namespace {

using timetree_test::Header;
using timetree_test::ImplicitNote;
using timetree_test::Row;
using timetree_test::Warning;

class Reports : public timetree_test::TimingTest {
 protected:
  // A at top level (started twice), B at top level, A under B (3 starts):
  // 1,000 ticks are one second.
  void BuildMixedTree() {
    Run("A", 100);
    Run("A", 100);
    TimeStartTimer("B");
    for (int i = 0; i < 3; ++i) Run("A", 10);
    timetree_test::FakeClock::now += 1000;
    TimeStopTimer("B");
  }
};

TEST_F(Reports, NothingIsWrittenWhenDisabledOrEmpty) {
  OpenCapture();
  TimePrint();
  TimePrintIndented(nullptr);
  TimeStartTimer("A");  // running, but timing turned off below
  Switch("TIMING_ON", "0");
  TimeClear();
  TimePrint();
  TimePrintIndented(".");
  EXPECT_EQ(Captured(), "dtimemgr - TimeClear deleted running timer: A\n"
                        "dtimemgr search_list problem\n");
}

TEST_F(Reports, FlatReportSumsEachNameInOrderOfFirstMeeting) {
  OpenCapture();
  BuildMixedTree();
  TimePrint();
  EXPECT_EQ(Captured(), Header() + Row("A", 5, 0.230) + Row("B", 1, 1.030));
}

TEST_F(Reports, IndentedReportHasOneRowPerTimer) {
  OpenCapture();
  BuildMixedTree();
  TimePrintIndented(nullptr);
  EXPECT_EQ(Captured(), Header() + Row("A", 2, 0.200) + Row("B", 1, 1.030) +
                            Row(".A", 3, 0.030));
}

TEST_F(Reports, NameNestedInItselfCountsTwiceInTheFlatTotal) {
  OpenCapture();
  TimeStartTimer("R");
  timetree_test::FakeClock::now += 50;
  Run("R", 20);
  TimeStopTimer("R");
  TimePrint();
  EXPECT_EQ(Captured(), Header() + Row("R", 2, 0.090));
}

TEST_F(Reports, RunningTimerWarnsAndCountsOnlyFinishedIntervals) {
  OpenCapture();
  Run("A", 100);
  TimeStartTimer("A");
  timetree_test::FakeClock::now += 5000;
  TimePrint();
  TimePrintIndented(nullptr);
  const std::string table = Header() + Row("A", 2, 0.100);
  EXPECT_EQ(Captured(), Warning() + table + Warning() + table);
}

TEST_F(Reports, ImplicitStopIsMarkedOnlyInTheIndentedReport) {
  OpenCapture();
  TimeStartTimer("A");
  TimeStartTimer("B");
  TimeStartTimer("C");
  timetree_test::FakeClock::now += 4;
  TimeStopTimer("B");  // closes C implicitly
  TimeStopTimer("A");
  TimePrintIndented(nullptr);
  TimePrintIndented("->");
  TimePrint();
  EXPECT_EQ(Captured(),
            Header() + Row("A", 1, 0.004) + Row(".B", 1, 0.004) +
                Row("?.C", 1, 0.004) + ImplicitNote() +
                Header() + Row("A", 1, 0.004) + Row("->B", 1, 0.004) +
                Row("?>->C", 1, 0.004) + ImplicitNote() +
                Header() + Row("A", 1, 0.004) + Row("B", 1, 0.004) +
                Row("C", 1, 0.004));
}

TEST_F(Reports, IndentationStopsGrowingAtNinetyCharacters) {
  OpenCapture();
  for (int i = 0; i < 21; ++i) TimeStartTimer("n");
  TimeStopTimer("none");  // marks all but the top-level one
  TimePrintIndented("12345");
  TimePrintIndented("1234567");
  const std::string text = Captured();
  // The depth-20 rows: 18 units of 5 reach 90; 13 units of 7 reach 91.
  const std::string five = "?" + std::string("12345").substr(1) +
                           [] { std::string s; for (int i = 1; i < 18; ++i) s += "12345"; return s; }();
  const std::string seven = "?" + std::string("1234567").substr(1) +
                            [] { std::string s; for (int i = 1; i < 13; ++i) s += "1234567"; return s; }();
  EXPECT_EQ(five.size(), 90u);
  EXPECT_EQ(seven.size(), 91u);
  EXPECT_NE(text.find("\n" + Row(five + "n", 1, 0.0)), std::string::npos);
  EXPECT_NE(text.find("\n" + Row(seven + "n", 1, 0.0)), std::string::npos);
  // Rows at depths 18 to 20 share the same label with unit 5.
  size_t rows = 0;
  for (size_t at = text.find(Row(five + "n", 1, 0.0)); at != std::string::npos;
       at = text.find(Row(five + "n", 1, 0.0), at + 1)) {
    ++rows;
  }
  EXPECT_EQ(rows, 3u);
}

TEST_F(Reports, LongNamesPushTheRowRightAndAreNeverCut) {
  OpenCapture();
  const std::string name(25, 'w');
  TimeStartTimer("outer");
  Run((name + "-cut-here").c_str(), 2);
  TimeStopTimer("outer");
  TimePrintIndented("1234567");
  EXPECT_EQ(Captured(), Header() + Row("outer", 1, 0.002) +
                            Row("1234567" + name, 1, 0.002));
}

TEST_F(Reports, FlatRecordThatCannotBeHadLeavesOutOneSubtree) {
  OpenCapture();
  TimeStartTimer("A");
  Run("B", 1);
  TimeStopTimer("A");
  Run("C", 2);
  Run("B", 4);
  static int calls;
  calls = 0;
  // The first record (A) fails: A and its child B are left out, but the
  // later top-level B still makes its row.
  timetree::g_faultHook = [](timetree::AllocSite site) {
    return site == timetree::AllocSite::kFlatRecord && calls++ == 0;
  };
  TimePrint();
  timetree::g_faultHook = nullptr;
  EXPECT_EQ(Captured(), Header() + Row("C", 1, 0.002) + Row("B", 1, 0.004));
}

TEST_F(Reports, PercentSignsInNamesAreWrittenAsTheyAre) {
  OpenCapture();
  Run("100%s%n", 1);
  TimePrint();
  EXPECT_EQ(Captured(), Header() + Row("100%s%n", 1, 0.001));
}

}  // namespace
