#include "include/StopWatch.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "stopwatch/access.h"
#include "support.h"

namespace {

using timetree_test::FakeClock;
using timetree_test::Format;

static_assert(sizeof(StopWatch) == 32, "hosts embed StopWatch: layout is ABI");
static_assert(std::is_standard_layout<StopWatch>::value, "plain value class");

class StopWatchTest : public ::testing::Test {
 protected:
  void SetUp() override { FakeClock::Install(1000.0); }
  void TearDown() override { FakeClock::Remove(); }
};

// What Print writes to a stream, as text.
std::string Printed(StopWatch& watch, const char* label) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  watch.Print(label, out);
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

// The 32-bit count of a host's watch stops at INT_MAX instead of wrapping
// to a negative count and average.
TEST_F(StopWatchTest, CountStopsAtTheLargestInt) {
  StopWatch watch;
  timetree::StopWatchAccess::SetCountForTesting(watch, INT32_MAX - 1);
  for (int i = 0; i < 3; ++i) {
    watch.StartTimer();
    FakeClock::now += 1000;
    watch.StopTimer();
  }
  EXPECT_EQ(watch.GetCount(), INT32_MAX);
  EXPECT_EQ(Printed(watch, "x"),
            Format("| %-20s | %6d | %17lf | %17lf |\n", "x", INT32_MAX, 3.0, 3.0 / INT32_MAX));
}

TEST_F(StopWatchTest, AccumulatesIntervalsAndReturnsEachInTicks) {
  StopWatch watch;
  EXPECT_EQ(watch.GetCount(), 0);
  EXPECT_EQ(watch.GetElapsedTime(), 0.0);

  FakeClock::now = 100;
  watch.StartTimer();
  FakeClock::now = 350;
  EXPECT_EQ(watch.StopTimer(), 250.0);
  FakeClock::now = 1000;
  watch.StartTimer();
  FakeClock::now = 1500;
  EXPECT_EQ(watch.StopTimer(), 500.0);

  EXPECT_EQ(watch.GetCount(), 2);
  EXPECT_DOUBLE_EQ(watch.GetElapsedTime(), 0.75);
}

TEST_F(StopWatchTest, RunningIntervalIsNotCountedUntilStopped) {
  StopWatch watch;
  watch.StartTimer();
  FakeClock::now = 400;
  watch.StopTimer();
  watch.StartTimer();
  FakeClock::now = 900;
  EXPECT_DOUBLE_EQ(watch.GetElapsedTime(), 0.4);
  EXPECT_EQ(watch.GetCount(), 2);
}

TEST_F(StopWatchTest, SecondStartWithoutStopRestartsTheInterval) {
  StopWatch watch;
  watch.StartTimer();
  FakeClock::now = 1000;
  watch.StartTimer();
  FakeClock::now = 1200;
  EXPECT_EQ(watch.StopTimer(), 200.0);
  EXPECT_EQ(watch.GetCount(), 2);
  EXPECT_DOUBLE_EQ(watch.GetElapsedTime(), 0.2);
}

TEST_F(StopWatchTest, ResetReturnsTotalAndStartsAfresh) {
  StopWatch watch;
  watch.StartTimer();
  FakeClock::now = 3000;
  watch.StopTimer();
  EXPECT_DOUBLE_EQ(watch.ResetElapsedTime(), 3.0);
  EXPECT_EQ(watch.GetCount(), 0);
  EXPECT_EQ(watch.GetElapsedTime(), 0.0);
  watch.StartTimer();
  FakeClock::now = 3500;
  watch.StopTimer();
  EXPECT_DOUBLE_EQ(watch.GetElapsedTime(), 0.5);
}

TEST_F(StopWatchTest, IntervalAcrossLow32BitWrapIsTheFullDifference) {
  StopWatch watch;
  FakeClock::now = 0xFFFFFF00LL;
  watch.StartTimer();
  FakeClock::now = 0x100000100LL;
  EXPECT_EQ(watch.StopTimer(), 512.0);
}

TEST_F(StopWatchTest, CopyCarriesTheRunningInterval) {
  StopWatch watch;
  FakeClock::now = 10;
  watch.StartTimer();
  StopWatch copy;
  copy = watch;
  FakeClock::now = 60;
  EXPECT_EQ(copy.StopTimer(), 50.0);
  EXPECT_EQ(copy.GetCount(), 1);
}

TEST_F(StopWatchTest, PrintWritesOneExactRow) {
  StopWatch watch;
  for (int i = 0; i < 4; ++i) {
    watch.StartTimer();
    FakeClock::now += 250;
    watch.StopTimer();
  }
  EXPECT_EQ(Printed(watch, "parse"),
            "| parse                |      4 |          1.000000 |          0.250000 |\n");
}

TEST_F(StopWatchTest, IdleWatchPrintsZeroAverage) {
  StopWatch watch;
  EXPECT_EQ(Printed(watch, "idle"),
            Format("| %-20s | %6d | %17lf | %17lf |\n", "idle", 0, 0.0, 0.0));
  EXPECT_EQ(Printed(watch, nullptr),
            Format("| %-20s | %6d | %17lf | %17lf |\n", "", 0, 0.0, 0.0));
}

TEST_F(StopWatchTest, LongLabelIsWrittenWhole) {
  StopWatch watch;
  const std::string label(5000, 'L');
  const std::string line = Printed(watch, label.c_str());
  EXPECT_EQ(line, "| " + label + Format(" | %6d | %17lf | %17lf |\n", 0, 0.0, 0.0));
}

TEST_F(StopWatchTest, PrintToNullConsoleStillFillsFrequency) {
  FakeClock::Remove();
  StopWatch watch;
  watch.Print("x", nullptr);
  EXPECT_GT(StopWatch::m_frequency, 0.0);
}

TEST(StopWatchRealClock, MeasuresASleepWithinBounds) {
  StopWatch watch;
  watch.StartTimer();
  const timespec pause{0, 20 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  watch.StopTimer();
  EXPECT_GE(watch.GetElapsedTime(), 0.019);
  EXPECT_LT(watch.GetElapsedTime(), 5.0);
}

}  // namespace
