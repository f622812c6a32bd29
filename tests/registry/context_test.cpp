// Contexts handed between threads: a worker's top-level timers nest under
// the path where its work was spawned, never above it, and a context of an
// earlier clear is empty.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "support.h"

namespace {

using timetree_test::FakeClock;
using timetree_test::Header;
using timetree_test::Row;

class Contexts : public timetree_test::TimingTest {};

TEST_F(Contexts, WorkersTimersNestUnderTheSpawnersPath) {
  OpenCapture();
  TimeStartTimer("run");
  FakeClock::now += 1;
  TimeStartTimer("iteration");
  const TimeContext context = TimeCurrentContext();
  ASSERT_NE(context.path, nullptr);
  std::thread worker([context] {
    {
      const TimeContextScope scope(context);
      Run("work", 2);
      Run("work", 2);
      // A stop naming a timer of the adopted path finds no running timer of
      // that name: the path's timers are not the worker's to stop.
      TimeStartTimer("inner");
      FakeClock::now += 3;
      TimeStopTimer("iteration");
    }
    Run("after", 1);  // the scope has ended: top level again
  });
  worker.join();
  FakeClock::now += 10;
  TimeStopTimer("iteration");
  TimeStopTimer("run");
  TimePrint();
  TimePrintIndented("  ");
  EXPECT_EQ(Captured(),
            "Timer could not find timer \"iteration\"\nCheck that start and stop have the same "
            "name\n" +
                Header() + Row("run", 1, 0.011) + Row("iteration", 1, 0.010) +
                Row("work", 2, 0.004) + Row("inner", 1, 0.003) + Row("after", 1, 0.001) +
                Header() + Row("run", 1, 0.011) + Row("  iteration", 1, 0.010) +
                Row("    work", 2, 0.004) + Row("    inner", 1, 0.003) + Row("after", 1, 0.001));
}

// A path deeper than a context's walk keeps on its stack (64 levels) is
// built whole in the worker's tree.
TEST_F(Contexts, AWorkerAdoptsAPathOfAHundredLevels) {
  OpenCapture();
  for (int i = 0; i < 100; ++i) TimeStartTimer(i % 2 == 0 ? "even" : "odd");
  const TimeContext context = TimeCurrentContext();
  std::thread worker([context] {
    const TimeContextScope scope(context);
    Run("deep work", 1);
  });
  worker.join();
  for (int i = 99; i >= 0; --i) TimeStopTimer(i % 2 == 0 ? "even" : "odd");
  int depth = -1;
  TimeForEachTimer64(
      [](const TimeTimerInfo64& timer, void* out) {
        if (std::string(timer.name) == "deep work") *static_cast<int*>(out) = timer.depth;
      },
      &depth);
  EXPECT_EQ(depth, 100);
}

// A worker that adopts the path of a timer with a long name has the same
// name there: nothing says that different names were merged.
TEST_F(Contexts, AdoptedLongNamesAreNotMarkedMerged) {
  OpenCapture();
  TimeStartTimer("solver::assemble_jacobian_block");
  const TimeContext context = TimeCurrentContext();
  std::thread worker([context] {
    const TimeContextScope scope(context);
    Run("work", 2);
  });
  worker.join();
  TimeStopTimer("solver::assemble_jacobian_block");
  const std::string path = NewFile("adopted.json");
  std::remove(path.c_str());
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  const std::string json = timetree_test::ReadFile(path);
  EXPECT_NE(json.find("{\"name\": \"work\""), std::string::npos);
  EXPECT_EQ(json.find("names_merged"), std::string::npos) << json;
}

TEST_F(Contexts, AdoptedPathOutlivesTheSpawnersTimerButNotAClear) {
  OpenCapture();
  TimeStartTimer("run");
  const TimeContext context = TimeCurrentContext();
  std::atomic<int> step{0};
  std::thread worker([&] {
    EXPECT_EQ(TimeAdoptContext(context).path, nullptr);  // nothing adopted before
    TimeStartTimer("work");
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    FakeClock::now += 4;
    TimeStopTimer("work");
    Run("more", 1);  // the spawner's run has stopped; still under it
    // What it adopted is its current context while it runs no timer.
    EXPECT_EQ(TimeCurrentContext().path, context.path);
  });
  while (step.load() != 1) std::this_thread::yield();
  FakeClock::now += 2;
  TimeStopTimer("run");
  step = 2;
  worker.join();
  TimePrintIndented(nullptr);

  // After a clear the context is empty: adopting it does nothing, however
  // many clears ago it was taken.
  TimeClear();
  TimeClear();
  std::thread late([context] {
    TimeAdoptContext(context);
    Run("late", 1);
    EXPECT_EQ(TimeCurrentContext().path, nullptr);
  });
  late.join();
  TimePrintIndented(nullptr);
  EXPECT_EQ(Captured(), Header() + Row("run", 1, 0.002) + Row(".work", 1, 0.004) +
                            Row(".more", 1, 0.001) + Header() + Row("late", 1, 0.001));
}

// A clear by the thread that adopted a path ends the adoption: its next
// timers are at the top, not under the path's cleared timers.
TEST_F(Contexts, AClearByTheAdoptingThreadEndsItsAdoption) {
  OpenCapture();
  TimeStartTimer("run");
  const TimeContext context = TimeCurrentContext();
  TimeStopTimer("run");
  std::thread worker([context] {
    TimeAdoptContext(context);
    Run("work", 1);
    TimeClear();
    EXPECT_EQ(TimeCurrentContext().path, nullptr);
    Run("after", 1);
    TimePrintIndented(nullptr);
  });
  worker.join();
  EXPECT_EQ(Captured(), Header() + Row("after", 1, 0.001));
}

TEST_F(Contexts, ThreadAdoptingItsOwnPathOrNothingTimesAsBefore) {
  OpenCapture();
  EXPECT_EQ(TimeCurrentContext().path, nullptr);  // no timer
  TimeAdoptContext(TimeContext{nullptr, 0});
  TimeStartTimer("run");
  {
    // As the first thread of an OpenMP team does: its own path.
    const TimeContextScope scope(TimeCurrentContext());
    Run("step", 1);
  }
  TimeStopTimer("run");
  Run("next", 1);
  TimePrintIndented(nullptr);
  EXPECT_EQ(Captured(), Header() + Row("run", 1, 0.001) + Row(".step", 1, 0.001) +
                            Row("next", 1, 0.001));
}

// Whether a running timer encloses a timer is decided at each start: a
// timer made inside its running parent and started again at the top of
// the adopted path (its parent not running) does not reach into the parent
// on a stop of another name, and one made at the top of the adopted path
// and started again inside its running parent stops back into it.
TEST_F(Contexts, WhatEnclosesATimerIsDecidedAtEachStart) {
  OpenCapture();
  TimeStartTimer("run");
  Run("step", 1);
  const TimeContext run = TimeCurrentContext();
  FakeClock::now += 1;
  TimeStopTimer("run");
  FakeClock::now += 5;  // run is not running from here on
  TimeAdoptContext(run);
  TimeStartTimer("step");
  FakeClock::now += 2;
  TimeStopTimer("other");
  TimeStartTimer("top");
  FakeClock::now += 1;
  TimeStopTimer("top");
  TimeAdoptContext(TimeContext{});
  TimeStartTimer("run");
  TimeStartTimer("top");
  FakeClock::now += 1;
  TimeStopTimer("top");
  FakeClock::now += 1;
  TimeStopTimer("run");
  TimePrintIndented(nullptr);
  EXPECT_EQ(Captured(),
            "Timer could not find timer \"other\"\nCheck that start and stop have the same "
            "name\n" +
                Header() + Row("run", 2, 0.004) + Row(".step", 2, 0.003) + Row(".top", 2, 0.002));
}

// The JSON gives a path's spread over the threads that started it; paths
// of one thread, and those a thread only adopted, stay as they were.
TEST_F(Contexts, JsonGivesTheSpreadOverTheThreadsThatStartedAPath) {
  OpenCapture();
  TimeStartTimer("run");
  const TimeContext context = TimeCurrentContext();
  Run("work", 1);
  for (int ticks : {3, 5}) {
    std::thread([context, ticks] {
      const TimeContextScope scope(context);
      Run("work", ticks);
    }).join();
  }
  FakeClock::now += 1;
  TimeStopTimer("run");
  const std::string path = NewFile("spread.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  const std::string json = timetree_test::ReadFile(path);
  const double mean = 9 / 1000.0 / 3;
  const std::string work = timetree_test::Format(
      "{\"name\": \"work\", \"count\": 3, \"total_seconds\": %.17g, \"self_seconds\": %.17g, "
      "\"stopped_implicitly\": false, \"running\": false, \"threads\": 3, \"min_seconds\": "
      "%.17g, \"max_seconds\": %.17g, \"mean_seconds\": %.17g, \"imbalance\": %.17g, "
      "\"min_interval_seconds\": %.17g, \"max_interval_seconds\": %.17g, \"children\": []}",
      9 / 1000.0, 9 / 1000.0, 1 / 1000.0, 5 / 1000.0, mean, 5 / 1000.0 / mean, 1 / 1000.0,
      5 / 1000.0);
  EXPECT_NE(json.find(work), std::string::npos) << json;
  const std::string run = timetree_test::Format(
      "{\"name\": \"run\", \"count\": 1, \"total_seconds\": %.17g, \"self_seconds\": 0, "
      "\"stopped_implicitly\": false, \"running\": false, \"min_interval_seconds\": %.17g, "
      "\"max_interval_seconds\": %.17g, \"children\": [",
      2 / 1000.0, 2 / 1000.0, 2 / 1000.0);
  EXPECT_EQ(json.find(run), json.find("{\"name\": \"run\"")) << json;
}

}  // namespace
