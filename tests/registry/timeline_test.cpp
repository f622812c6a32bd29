// The timeline: one event per finished interval, in order of start and
// properly nested, the repair mark kept, a full buffer keeping its first
// events and saying how many it dropped, and a clear emptying every
// thread's buffer.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "registry/threads.h"
#include "registry/timeline.h"
#include "support.h"

namespace {

using timetree_test::FakeClock;
using timetree_test::Format;
using timetree_test::ReadFile;

class Timeline : public timetree_test::TimingTest {
 protected:
  void SetUp() override {
    TimingTest::SetUp();
    timetree::SetTimelineLimit(100);
  }
  void TearDown() override {
    timetree::SetTimelineLimit(0);
    TimingTest::TearDown();
  }

  // The lines of the file written now that match kind ("X", "i", ...).
  std::vector<std::string> Written(const char* kind) {
    const std::string path = NewFile("trace");
    EXPECT_TRUE(TimeWriteTrace(path.c_str()));
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    const std::string marker = Format("{\"ph\": \"%s\"", kind);
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, marker.size(), marker) == 0) lines.push_back(line);
    }
    return lines;
  }

  static std::string Event(const char* name, const char* ts, const char* dur,
                           const char* args = "") {
    return Format("{\"ph\": \"X\", \"name\": \"%s\", \"pid\": %d, \"tid\": %ld, \"ts\": %s, "
                  "\"dur\": %s%s},",
                  name, static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)), ts,
                  dur, args);
  }
};

TEST_F(Timeline, EveryIntervalOnceInOrderOfStartWithTheRepairMark) {
  OpenCapture();
  TimeStartTimer("run");
  FakeClock::now += 1;
  Run("step", 2);
  TimeStartTimer("step");
  FakeClock::now += 1;
  TimeStartTimer("inner");
  FakeClock::now += 1;
  TimeStopTimer("step");  // closes inner on the way
  FakeClock::now += 1;
  TimeStopTimer("run");
  std::vector<std::string> events = Written("X");
  // The last element of the array has no comma.
  if (!events.empty() && events.back().back() != ',') events.back() += ',';
  EXPECT_EQ(events, (std::vector<std::string>{
                        Event("run", "0.000", "6000.000"),
                        Event("step", "1000.000", "2000.000"),
                        Event("step", "3000.000", "2000.000"),
                        Event("inner", "4000.000", "1000.000",
                              ", \"args\": {\"stopped_implicitly\": true}"),
                    }));
}

// Readers add "dur" to "ts" in doubles: an event that ends where the next
// starts must not end a unit of the last place after it (the next would
// seem nested inside it), nor a child that stops with its parent after it.
TEST_F(Timeline, StartPlusDurationIsTheStopAsReadersAddThem) {
  FakeClock::Install(1e9);  // ticks are nanoseconds
  OpenCapture();
  FakeClock::now = 353639103;
  for (int i = 0; i < 60; ++i) Run("step", 10);
  // Nested timers that all stop at one moment, starting 7 ns apart.
  for (int i = 0; i < 40; ++i) {
    TimeStartTimer("deep");
    FakeClock::now += 7;
  }
  for (int i = 0; i < 40; ++i) TimeStopTimer("deep");
  std::vector<double> starts, ends;
  for (const std::string& line : Written("X")) {
    const double ts = std::strtod(line.c_str() + line.find("\"ts\": ") + 6, nullptr);
    starts.push_back(ts);
    ends.push_back(ts + std::strtod(line.c_str() + line.find("\"dur\": ") + 7, nullptr));
  }
  ASSERT_EQ(starts.size(), 100u);
  for (size_t i = 1; i < 60; ++i) EXPECT_EQ(ends[i - 1], starts[i]) << i;
  for (size_t i = 61; i < 100; ++i) EXPECT_EQ(ends[60], ends[i]) << i;
}

// A timer still running at the export (a killed job's) ends there, marked.
TEST_F(Timeline, RunningTimersEndAtTheExport) {
  OpenCapture();
  TimeStartTimer("job");
  Run("step", 2);
  FakeClock::now += 1;
  std::vector<std::string> events = Written("X");
  if (!events.empty() && events.back().back() != ',') events.back() += ',';
  EXPECT_EQ(events, (std::vector<std::string>{
                        Event("job", "0.000", "3000.000", ", \"args\": {\"running\": true}"),
                        Event("step", "0.000", "2000.000"),
                    }));
  TimeStopTimer("job");
}

// A running timer is drawn wherever it hangs: under an adopted path whose
// timer ran before (and runs no more), and in the lane of a thread that
// ended inside it, up to that end.
TEST_F(Timeline, RunningTimersUnderAnAdoptedPathOrOfAnEndedThreadAreDrawn) {
  OpenCapture();
  TimeStartTimer("run");
  const TimeContext run = TimeCurrentContext();
  FakeClock::now += 1;
  TimeStopTimer("run");
  FakeClock::now += 1;
  TimeAdoptContext(run);
  TimeStartTimer("work");
  FakeClock::now += 2;
  std::string left;
  std::thread worker([&left] {
    TimeStartTimer("left");
    FakeClock::now += 3;
    left = Event("left", "0.000", "3000.000", ", \"args\": {\"running\": true}");
  });
  worker.join();
  std::vector<std::string> events = Written("X");
  if (!events.empty() && events.back().back() != ',') events.back() += ',';
  EXPECT_EQ(events, (std::vector<std::string>{
                        Event("run", "0.000", "1000.000"),
                        Event("work", "2000.000", "2000.000", ", \"args\": {\"running\": true}"),
                        left,
                    }));
  TimeStopTimer("work");
  TimeAdoptContext(TimeContext{});
}

TEST_F(Timeline, AFullBufferKeepsItsFirstEventsAndCountsTheRest) {
  // Past the first chunk (1,364 events), and past the limit within the
  // second.
  timetree::SetTimelineLimit(1500);
  OpenCapture();
  for (int i = 0; i < 2000; ++i) Run(i < 1500 ? "kept" : "dropped", 1);
  const std::vector<std::string> events = Written("X");
  ASSERT_EQ(events.size(), 1500u);
  EXPECT_NE(events.back().find("\"ts\": 1499000.000"), std::string::npos) << events.back();
  const std::vector<std::string> said = Written("i");
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("\"timetree: 500 intervals not recorded: the buffer of 1500 events was "
                         "full (see TIMETREE_TRACE)\""),
            std::string::npos)
      << said[0];
  EXPECT_NE(said[0].find("\"ts\": 1500000.000"), std::string::npos) << said[0];
  const std::vector<std::string> named = Written("M");
  EXPECT_TRUE(std::any_of(named.begin(), named.end(), [](const std::string& line) {
    return line.find("\"events\": 1500, \"dropped\": 500") != std::string::npos;
  }));
  // The file as a whole: well-formed with the mark in it, its totals right.
  const std::string whole = NewFile("full-trace.json");
  ASSERT_TRUE(TimeWriteTrace(whole.c_str()));
  EXPECT_NE(ReadFile(whole).find(", \"events\": 1500, \"dropped\": 500,"), std::string::npos);
  EXPECT_EQ(
      std::system(
          ("python3 -c 'import json, sys; json.load(open(sys.argv[1]))' '" + whole + "'").c_str()),
      0);
  // The tree is whole.
  int64_t dropped_starts = 0;
  TimeForEachTimer64(
      [](const TimeTimerInfo64& timer, void* count) {
        if (std::string(timer.name) == "dropped") *static_cast<int64_t*>(count) = timer.count;
      },
      &dropped_starts);
  EXPECT_EQ(dropped_starts, 500);
  // After a clear, the buffer holds the next 1,500 in full and drops none:
  // its chunks kept, its count of dropped intervals emptied.
  TimeClear();
  for (int i = 0; i < 1500; ++i) Run("again", 1);
  EXPECT_EQ(Written("X").size(), 1500u);
  EXPECT_TRUE(Written("i").empty());
}

// A limit raised holds for a thread that is already recording.
TEST_F(Timeline, ARaisedLimitHoldsForAThreadAlreadyRecording) {
  timetree::SetTimelineLimit(3);
  OpenCapture();
  Run("first", 1);
  timetree::SetTimelineLimit(100);
  for (int i = 0; i < 5; ++i) Run("next", 1);
  EXPECT_EQ(Written("X").size(), 6u);
}

TEST_F(Timeline, AClearEmptiesEveryThreadsBufferAndExitedThreadsKeepTheirLanes) {
  timetree::SetTimelineLimit(3000);
  OpenCapture();
  std::thread([] { Run("gone", 1); }).join();
  std::atomic<int> step{0};
  std::thread live([&] {
    Run("old", 1);
    step = 1;
    while (step != 2) std::this_thread::yield();
    Run("new", 1);
    step = 3;
  });
  while (step != 1) std::this_thread::yield();
  // Past the first chunk, whose successors the clear keeps too.
  for (int i = 0; i < 2000; ++i) Run("main old", 1);
  TimeClear();
  step = 2;
  while (step != 3) std::this_thread::yield();
  live.join();
  // Two exited threads whose timers are folded into one tree: two lanes.
  std::thread([] { Run("kept", 1); }).join();
  std::thread([] { Run("kept", 1); }).join();
  Run("main new", 1);
  std::multiset<std::string> names;
  std::set<std::string> threads;
  for (const std::string& line : Written("X")) {
    const size_t name = line.find("\"name\": \"") + 9;
    names.insert(line.substr(name, line.find('"', name) - name));
    const size_t tid = line.find("\"tid\": ");
    threads.insert(line.substr(tid, line.find(',', tid) - tid));
  }
  EXPECT_EQ(names, (std::multiset<std::string>{"kept", "kept", "main new", "new"}));
  EXPECT_EQ(threads.size(), 4u);
}

// An export reads another thread's buffer while that thread appends to it
// and grows it by chunks (run under ThreadSanitizer in CI): every event read
// is whole, and a later export holds at least as many.
TEST_F(Timeline, AnExportWhileAThreadRecordsReadsWholeEvents) {
  timetree::SetTimelineLimit(5000);  // three chunks
  OpenCapture();
  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  std::thread worker([&] {
    // Bounded: under valgrind a spinning thread runs a whole time slice at
    // each of the exporter's writes.
    for (int i = 0; i < 100000 && !done; ++i) {
      Run("work", 1);
      started = 1;
    }
  });
  while (started == 0) std::this_thread::yield();
  size_t before = 0;
  for (int i = 0; i < 3; ++i) {
    const std::vector<std::string> events = Written("X");
    size_t whole = 0, recorded = 0;
    for (const std::string& line : events) {
      // The one that runs ends at the export, by the exporting thread's clock.
      const bool running = line.find("\"running\": true") != std::string::npos;
      recorded += !running;
      whole += line.rfind("{\"ph\": \"X\", \"name\": \"work\"", 0) == 0 &&
               (running || line.find("\"dur\": 1000.000}") != std::string::npos);
    }
    EXPECT_EQ(whole, events.size());
    EXPECT_GE(recorded, before);
    before = recorded;
  }
  done = true;
  worker.join();
}

// Recording turned on for a thread that timed before it: its tree gets a
// buffer then, and its next intervals are recorded.
TEST_F(Timeline, RecordingTurnedOnAfterTheThreadTimedRecordsWhatFollows) {
  timetree::SetTimelineLimit(0);
  OpenCapture();
  Run("before", 1);
  timetree::SetTimelineLimit(100);
  Run("after", 1);
  const std::vector<std::string> events = Written("X");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("\"name\": \"after\""), std::string::npos) << events[0];
}

TEST_F(Timeline, NothingIsWrittenWhileRecordingIsOff) {
  timetree::SetTimelineLimit(0);
  OpenCapture();
  Run("run", 1);
  const std::string path = NewFile("trace");
  EXPECT_FALSE(TimeWriteTrace(path.c_str()));
  EXPECT_FALSE(TimeWriteTrace(nullptr));
}

}  // namespace
