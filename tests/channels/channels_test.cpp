#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support.h"

namespace {

using timetree_test::CommentLog;
using timetree_test::ReadFile;

class Channels : public timetree_test::TimingTest {};

TEST_F(Channels, TextIsWrittenVerbatimPercentSignsIncluded) {
  OpenCapture();
  TimeComment("100%d %s %n done");
  TimeComment("");
  TimeComment(nullptr);
  TimeComment(" and no newline added");
  EXPECT_EQ(Captured(), "100%d %s %n done and no newline added");
}

TEST_F(Channels, BothChannelsGetTheSameBytes) {
  Switch("TIMING_CONSOLE", "1");
  OpenCapture();
  Switch("TIMING_CONSOLE", "1");
  TimeOpenOStream(path_.c_str());
  ::testing::internal::CaptureStdout();
  TimeComment("line one\n");
  TimeComment("50% two\n");
  const std::string console = ::testing::internal::GetCapturedStdout();
  const std::string file = Captured();
  EXPECT_EQ(console, "line one\n50% two\n");
  EXPECT_EQ(file, console);
}

TEST_F(Channels, ConsoleWriteKeepsItsPlaceAmongTheHostsOutput) {
  Switch("TIMING_CONSOLE", "1");
  TimeOpenOStream(nullptr);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(write(STDOUT_FILENO, "a", 1), 1);
  TimeComment("b");
  ASSERT_EQ(write(STDOUT_FILENO, "c", 1), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "abc");
}

TEST_F(Channels, NothingIsWrittenAfterClose) {
  Switch("TIMING_CONSOLE", "1");
  OpenCapture();
  Switch("TIMING_CONSOLE", "1");
  TimeOpenOStream(path_.c_str());
  TimeComment("before\n");
  TimeCloseOStream();
  ::testing::internal::CaptureStdout();
  TimeComment("after\n");
  TimeCloseOStream();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ReadFile(path_), "before\n");
  // The host's standard output still works after the console is released.
  EXPECT_GE(std::printf("%s", ""), 0);
  EXPECT_EQ(std::fflush(stdout), 0);
}

TEST_F(Channels, CommentWithBothChannelsClosedStillReachesNoStream) {
  TimeComment("nowhere\n");
  EXPECT_EQ(CommentLog::pieces.size(), 1u);  // handed over, written nowhere
}

}  // namespace
