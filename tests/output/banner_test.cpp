#include "output/banner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <fstream>
#include <string>

#include "support.h"

namespace {

using timetree_test::CommentLog;

constexpr char kPentium[] =
    "\n***** TEST MACHINE: Pentium based (TD2 and above) *****\n";

class Banner : public timetree_test::TimingTest {
 protected:
  void SetUp() override {
    TimingTest::SetUp();
    timetree::SetArchitectureForTesting("x86_64");
  }
  void TearDown() override {
    timetree::SetArchitectureForTesting(nullptr);
    TimingTest::TearDown();
  }
  // A marker file last written at utc.
  std::string Marker(time_t utc) {
    const std::string path = NewFile("marker");
    std::ofstream(path) << "marker";
    utimbuf times{utc, utc};
    utime(path.c_str(), &times);
    return path;
  }
};

TEST_F(Banner, DateWordDecodesAsTheDosFormat) {
  struct Case {
    time_t utc;
    bool ok;
    int year, month, day;
  } cases[] = {
      {1162944000, true, 2006, 11, 8},  // 2006-11-08 00:00:00 UTC
      {1163030399, true, 2006, 11, 8},  // 23:59:59 the same day, still UTC
      {315532800, true, 1980, 1, 1},    // first day of the range
      {315532799, false, 0, 0, 0},      // 1979-12-31
      {4354819199, true, 2107, 12, 31}, // last day of the range
      {4354819200, false, 0, 0, 0},     // 2108-01-01
  };
  for (const Case& c : cases) {
    uint16_t date = 0;
    EXPECT_EQ(timetree::DosDateFromTime(c.utc, &date), c.ok) << c.utc;
    if (!c.ok) continue;
    EXPECT_EQ((date >> 9) + 1980, c.year) << c.utc;
    EXPECT_EQ((date >> 5) & 0x0F, c.month) << c.utc;
    EXPECT_EQ(date & 0x1F, c.day) << c.utc;
  }
}

TEST_F(Banner, MarkerDateAndMachineAreWrittenOncePerOpening) {
  Switch("TIMING_BUILD_MARKER", Marker(1162944000 + 3600).c_str());
  OpenCapture();
  TimeCommentBuildInfo();
  TimeCommentBuildInfo();
  const std::string once =
      std::string("\n***** Testing on build dated: 11/8/106 *****\n") + kPentium;
  EXPECT_EQ(Captured(), once);
  // A new opening after the close writes it again.
  OpenCapture();
  TimeCommentBuildInfo();
  EXPECT_EQ(Captured(), once);
}

TEST_F(Banner, MissingMarkerLeavesOutOnlyTheDate) {
  Switch("TIMING_BUILD_MARKER", "/nonexistent/BSCFILES.TXT");
  OpenCapture();
  TimeCommentBuildInfo();
  TimeCommentBuildInfo();
  EXPECT_EQ(Captured(), kPentium);
}

TEST_F(Banner, BeforeAnyOpeningItWritesNothingButStillCounts) {
  Switch("TIMING_BUILD_MARKER", Marker(1162944000).c_str());
  TimeCommentBuildInfo();  // no channel open: goes nowhere
  Switch("TIMING_ON", "1");
  Switch("TIMING_FILE", "1");
  path_ = NewFile("late");
  TimeOpenOStream(path_.c_str());  // does not clear the banner flag
  TimeCommentBuildInfo();
  EXPECT_EQ(Captured(), "");
}

TEST_F(Banner, ProcessorClassByArchitecture) {
  EXPECT_STREQ(timetree::MachineLine("i486"),
               "\n***** TEST MACHINE: 486 based (TD1) *****\n");
  for (const char* arch : {"i586", "i686", "x86_64"}) {
    EXPECT_STREQ(timetree::MachineLine(arch), kPentium) << arch;
  }
  for (const char* arch : {"aarch64", "i386", "riscv64", "", "x86_64 "}) {
    EXPECT_EQ(timetree::MachineLine(arch), nullptr) << arch;
  }
  EXPECT_EQ(timetree::MachineLine(nullptr), nullptr);

  timetree::SetArchitectureForTesting("aarch64");
  Switch("TIMING_BUILD_MARKER", "/nonexistent");
  OpenCapture();
  TimeCommentBuildInfo();
  EXPECT_EQ(Captured(), "");
}

}  // namespace
