// Call sites' records: a timer started and stopped through one (inline,
// where the record is filled) is the timer its name gives, with the same
// counts, nesting and repairs; a record that a clear, a thread's exit or a
// change of clock made stale is never followed; names that are not
// constant text are timed by their text.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "include/timetree_site.h"
#include "registry/threads.h"
#include "stopwatch/ticks.h"
#include "support.h"

namespace {

using timetree_test::FakeClock;

// Every timer as "depth name count" with its marks, in report order.
std::vector<std::string> Timers() {
  std::vector<std::string> rows;
  TimeForEachTimer64(
      [](const TimeTimerInfo64& t, void* context) {
        auto& out = *static_cast<std::vector<std::string>*>(context);
        out.push_back(timetree_test::Format(
            "%d %s %lld%s%s", t.depth, t.name, static_cast<long long>(t.count),
            t.stopped_implicitly ? " ?" : "", t.running ? " running" : ""));
        // A finished interval was measured and kept whole.
        if (t.count > 0 && !t.running) {
          EXPECT_GT(t.total_seconds, 0.0) << t.name;
          EXPECT_GT(t.min_interval_seconds, 0.0) << t.name;
          EXPECT_LE(t.min_interval_seconds, t.max_interval_seconds) << t.name;
          EXPECT_LE(t.max_interval_seconds, t.total_seconds) << t.name;
        }
      },
      &rows);
  return rows;
}

// On the processor's counter, which the inline path reads: the tests' hand
// driven clock would keep every start in the library.
class Sites : public timetree_test::TimingTest {
 protected:
  void SetUp() override {
    TimingTest::SetUp();
    FakeClock::Remove();
    Switch("TIMING_ON", "1");
    TimeClear();
  }
  void TearDown() override { TimingTest::TearDown(); }
  static bool Inline() { return timetree::g_tickMode == timetree::TickMode::kTsc; }
  // Whether site is filled for the calling thread, as of now.
  static bool Filled(const timetree_site& site) {
    return site.owner == timetree_site_self() && site.epoch == timetree::g_siteEpoch;
  }
};

timetree_site g_outer = TIMETREE_SITE_INIT("outer");
timetree_site g_inner = TIMETREE_SITE_INIT("inner");

// The same steps through records or by name: loops, a timer left running
// inside a record's (stopped implicitly by the record's stop), a stop by
// name of a record's timer, a stop naming an outer timer.
template <bool kThroughSites>
void Steps() {
  const auto start = [](timetree_site& site) {
    if (kThroughSites) {
      timetree_site_start(&site);
    } else {
      TimeStartTimer(site.name);
    }
  };
  const auto stop = [](timetree_site& site) {
    if (kThroughSites) {
      timetree_site_stop(&site);
    } else {
      TimeStopTimer(site.name);
    }
  };
  for (int i = 0; i < 50; ++i) {
    start(g_outer);
    for (int j = 0; j < 3; ++j) {
      start(g_inner);
      stop(g_inner);
    }
    TimeStartTimer("inner");
    stop(g_inner);
    start(g_inner);
    TimeStartTimer("left running");
    stop(g_inner);
    start(g_inner);
    TimeStopTimer("inner");
    stop(g_outer);
  }
  start(g_outer);
  start(g_inner);
  stop(g_outer);
}

TEST_F(Sites, ATimerThroughItsRecordIsTheTimerOfItsName) {
  Steps<false>();
  const std::vector<std::string> by_name = Timers();
  TimeClear();
  Steps<true>();
  EXPECT_EQ(Timers(), by_name);
  EXPECT_EQ(by_name,
            (std::vector<std::string>{"0 outer 51", "1 inner 301 ?", "2 left running 50 ?"}));
  if (!Inline()) GTEST_SKIP() << "no invariant time-stamp counter: every start is the library's";
  EXPECT_TRUE(Filled(g_outer));
  EXPECT_TRUE(Filled(g_inner));

  // Nested in itself: the inner start is another timer, found by name.
  TimeClear();
  static timetree_site self = TIMETREE_SITE_INIT("self");
  timetree_site_start(&self);
  timetree_site_start(&self);
  timetree_site_stop(&self);
  timetree_site_stop(&self);
  timetree_site_start(&self);
  timetree_site_stop(&self);
  EXPECT_EQ(Timers(), (std::vector<std::string>{"0 self 2", "1 self 1"}));

  // Names compared whole (a function's): two that share their first 25
  // characters are two timers, inline or not.
  TimeClear();
  const auto whole = [](const char* name) {
    timetree_site site = TIMETREE_SITE_INIT(name);
    site.flags |= TIMETREE_SITE_WHOLE;
    return site;
  };
  static timetree_site block = whole("solver::assemble_jacobian_block");
  static timetree_site boundary = whole("solver::assemble_jacobian_boundary");
  for (timetree_site* site : {&block, &boundary, &block, &block}) {
    timetree_site_start(site);
    timetree_site_stop(site);
  }
  EXPECT_EQ(Timers(), (std::vector<std::string>{"0 solver::assemble_jacobian_block 3",
                                                "0 solver::assemble_jacobian_boundary 1"}));
  EXPECT_TRUE(Filled(block));
}

TEST_F(Sites, AStaleRecordIsNeverFollowed) {
  if (!Inline()) GTEST_SKIP() << "no invariant time-stamp counter";
  static timetree_site site = TIMETREE_SITE_INIT("kept");
  for (int i = 0; i < 3; ++i) {
    timetree_site_start(&site);
    timetree_site_stop(&site);
  }
  ASSERT_TRUE(Filled(site));
  // Its timer is gone: the next start makes a new one.
  TimeClear();
  EXPECT_FALSE(Filled(site));
  timetree_site_start(&site);
  timetree_site_stop(&site);
  EXPECT_EQ(Timers(), std::vector<std::string>{"0 kept 1"});
  // Timing off: nothing is timed, inline or not.
  Switch("TIMING_ON", "0");
  TimeClear();
  timetree_site_start(&site);
  timetree_site_stop(&site);
  EXPECT_FALSE(Filled(site));
  Switch("TIMING_ON", "1");
  TimeClear();
  EXPECT_TRUE(Timers().empty());
  timetree_site_start(&site);
  timetree_site_stop(&site);
  ASSERT_TRUE(Filled(site));
  // Another clock: the interval is the new clock's, exactly (one tick of
  // it, shorter than any the processor's counter measured).
  FakeClock::Install();
  timetree_site_start(&site);
  FakeClock::now += 1;
  timetree_site_stop(&site);
  EXPECT_FALSE(Filled(site));
  TimeForEachTimer64(
      [](const TimeTimerInfo64& t, void*) { EXPECT_EQ(t.min_interval_seconds, 0.001); }, nullptr);
}

TEST_F(Sites, EachThreadTimesInItsOwnTreeAndALaterThreadNeverInAGoneOne) {
  static timetree_site site = TIMETREE_SITE_INIT("work");
  const auto work = [] {
    for (int i = 0; i < 1000; ++i) {
      timetree_site_start(&site);
      timetree_site_stop(&site);
    }
  };
  // One at a time: a thread made after another's exit often has its thread
  // pointer, and must not follow that thread's record (the first one's tree
  // is still whole, nothing folded into it yet).
  for (int i = 0; i < 3; ++i) {
    std::thread([&work] {
      work();
      EXPECT_TRUE(site.owner != timetree_site_self() ||
                  site.tree == reinterpret_cast<char*>(timetree::CallingTreeIfAttached()));
    }).join();
  }
  std::thread first(work), second(work);
  first.join();
  second.join();
  work();
  EXPECT_EQ(Timers(), std::vector<std::string>{"0 work 6000"});
}

TEST_F(Sites, WhatTheInlinePathDoesNotDoKeepsTheLibrarysStarts) {
  // A series' step adds to its series at every stop.
  TimeSeries("site step");
  TimeClear();
  static timetree_site step = TIMETREE_SITE_INIT("site step");
  for (int i = 0; i < 5; ++i) {
    timetree_site_start(&step);
    timetree_site_stop(&step);
  }
  EXPECT_FALSE(Filled(step));
  int64_t steps = 0;
  TimeForEachTimer64(
      [](const TimeTimerInfo64& t, void* n) { *static_cast<int64_t*>(n) = t.series_steps; },
      &steps);
  EXPECT_EQ(steps, 5);

  // The timeline gets every interval, also of a record filled before it.
  TimeClear();
  static timetree_site traced = TIMETREE_SITE_INIT("traced");
  timetree_site_start(&traced);
  timetree_site_stop(&traced);
  timetree::SetTimelineLimit(100);
  TimeClear();
  for (int i = 0; i < 4; ++i) {
    timetree_site_start(&traced);
    timetree_site_stop(&traced);
  }
  const std::string path = NewFile("trace");
  ASSERT_TRUE(TimeWriteTrace(path.c_str()));
  const std::string trace = timetree_test::ReadFile(path);
  size_t events = 0;
  for (size_t at = trace.find("\"name\": \"traced\""); at != std::string::npos;
       at = trace.find("\"name\": \"traced\"", at + 1)) {
    ++events;
  }
  EXPECT_EQ(events, 4u);
  timetree::SetTimelineLimit(0);
}

// TIMETREE_SCOPE keeps a record only for constant text, and a record's
// name is the first it was filled with.
TEST_F(Sites, ScopesWhoseNameChangesTimeEachText) {
  for (int i = 0; i < 6; ++i) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "buf%d", i % 2);
    { TIMETREE_SCOPE(buffer); }
    const char* pointer = i % 3 == 0 ? "p0" : "p1";
    { TIMETREE_SCOPE(pointer); }
    const char on_stack[] = {'s', static_cast<char>('0' + i % 2), '\0'};
    { TIMETREE_SCOPE(on_stack); }
    { TIMETREE_SCOPE(i < 4 ? "c0" : "c1"); }
    { TIMETREE_FUNCTION_SCOPE(); }
  }
  EXPECT_EQ(Timers(),
            (std::vector<std::string>{"0 buf0 3", "0 p0 2", "0 s0 3", "0 c0 4", "0 TestBody 6",
                                      "0 buf1 3", "0 p1 4", "0 s1 3", "0 c1 2"}));
}

}  // namespace
