#include <gtest/gtest.h>

#include <string>

#include "registry/dtimemgr.h"
#include "sibling/faults.h"
#include "support.h"

namespace {

using timetree_test::FakeClock;
using timetree_test::Header;
using timetree_test::ReadFile;
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
  // Units are repeated until the label is 90 characters or longer: one and
  // two characters stop at exactly 90 (a limit of 89 would stop one and
  // five characters short), five at 90 too, seven at 91.
  const struct {
    const char* unit;
    size_t length;   // of the deepest rows' indentation
    int deep_rows;   // rows of 101 that carry that indentation
  } cases[] = {{".", 90, 11}, {"ab", 90, 56}, {"12345", 90, 83}, {"1234567", 91, 88}};
  for (const auto& c : cases) {
    OpenCapture();
    for (int i = 0; i < 101; ++i) TimeStartTimer("n");
    TimeStopTimer("none");  // marks all but the top-level one
    TimePrintIndented(c.unit);
    const std::string text = Captured();
    std::string label;
    while (label.size() < c.length) label += c.unit;
    label[0] = '?';
    ASSERT_EQ(label.size(), c.length) << c.unit;
    size_t rows = 0;
    for (size_t at = text.find("\n" + Row(label + "n", 1, 0.0)); at != std::string::npos;
         at = text.find("\n" + Row(label + "n", 1, 0.0), at + 1)) {
      ++rows;
    }
    EXPECT_EQ(rows, static_cast<size_t>(c.deep_rows)) << c.unit;
    TimeClear();
  }
}

// Children whose seconds add up to a hair more than their parent's (3 ticks
// against 1 and 2 at 10 per second: 0.3 - 0.1 - 0.2 < 0 in binary floating
// point) leave a self time of exactly 0, never a negative one.
TEST_F(Reports, SelfTimeIsNeverBelowZero) {
  FakeClock::Install(10.0);
  OpenCapture();
  TimeStartTimer("parent");
  Run("one", 1);
  Run("two", 2);
  TimeStopTimer("parent");
  const std::string json = NewFile("self.json"), svg = NewFile("self.svg");
  ASSERT_TRUE(TimeWriteJson(json.c_str()));
  ASSERT_TRUE(TimeWriteFlameGraph(svg.c_str()));
  EXPECT_NE(ReadFile(json).find("\"name\": \"parent\", \"count\": 1, "
                                "\"total_seconds\": 0.29999999999999999, \"self_seconds\": 0,"),
            std::string::npos);
  EXPECT_NE(ReadFile(svg).find("parent\ncount 1, total 0.300000 s, self 0.000000 s<"),
            std::string::npos);
  EXPECT_EQ(ReadFile(json).find("\": -"), std::string::npos);
  EXPECT_EQ(ReadFile(svg).find("-0.0"), std::string::npos);
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

// Names alike in their first 25 characters: one timer under the first release's
// rule (its reports byte for byte as always, the stored name in the rows),
// two under TIMETREE_NAMES=full, whose rows are widened by whole names;
// a name of 10,000 characters is found again and stopped by its name.
TEST_F(Reports, LookAlikeNamesAreOneTimerByDefaultAndTwoWhenComparedWhole) {
  const std::string block = "solver::assemble_jacobian_block";
  const std::string boundary = "solver::assemble_jacobian_boundary";
  const std::string huge = std::string(9990, 'h') + "-the-end!";
  for (const bool whole : {false, true}) {
    SCOPED_TRACE(whole ? "full" : "25");
    timetree::g_wholeNames = whole;
    OpenCapture();
    testing::internal::CaptureStderr();
    Run(block.c_str(), 1);
    Run(boundary.c_str(), 2);
    Run(block.c_str(), 4);
    Run(huge.c_str(), 8);
    Run(huge.c_str(), 16);
    const std::string said = testing::internal::GetCapturedStderr();
    TimePrintIndented(nullptr);
    TimePrint();
    const std::string rows = whole ? Row(block, 2, 0.005) + Row(boundary, 1, 0.002) +
                                         Row(huge, 2, 0.024)
                                   : Row(block.substr(0, 25), 3, 0.007) +
                                         Row(huge.substr(0, 25), 2, 0.024);
    EXPECT_EQ(Captured(), Header() + rows + Header() + rows);
    EXPECT_EQ(said, whole ? ""
                          : "timetree: \"" + boundary + "\" is counted as \"" + block +
                                "\": names are compared on their first 25 characters\n");
    timetree::g_wholeNames = false;
  }
}

// A name a component makes (compared whole) of exactly 25 characters is
// not the host's longer timer that shares them: that one is known by its
// first 25 characters only.
TEST_F(Reports, AWholeNameOfTwentyFiveCharactersIsNotALongerPrefixNamedTimer) {
  const std::string longer = "solver::assemble_jacobian_block";
  const std::string exact = longer.substr(0, 25);
  OpenCapture();
  Run(longer.c_str(), 1);
  TimeStartWholeName(exact.c_str(), exact.size());
  FakeClock::now += 2;
  TimeStopWholeName(exact.c_str(), exact.size());
  TimePrintIndented(nullptr);
  EXPECT_EQ(Captured(), Header() + Row(exact, 1, 0.001) + Row(exact, 1, 0.002));
}
