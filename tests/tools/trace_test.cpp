// Timetree trace.
#include <cstdio>
#include <fstream>

#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

// Every figure readable at any scale: a unit per value with three
// significant figures, plain seconds never 0.000000 for a non-zero time,
// and columns as wide as their widest value.
// Per thread: events, span, time inside its outermost events, the path of
// most self time; said below: a full buffer's dropped intervals and events
// that do not nest, events still running. Events out of order are sorted;
// "B" events are not read.
TEST(Tools, TraceSummarisesEachThreadOfEachProcess) {
  EXPECT_EQ(Tool("trace trace.json").out,
            "TIMELINE trace.json: 7 events on 3 threads of 2 processes, 1.00 ms from the first "
            "start to the last end\n"
            "PROCESS  THREAD  TID  EVENTS  DROPPED     SPAN     BUSY  BUSIEST PATH     SELF\n"
            "solver     main   70       4        0  1.00 ms  1.00 ms     run;solve   500 \u00b5s\n"
            "solver   worker   71       2        5   550 \u00b5s   500 \u00b5s          work   400 \u00b5s\n"
            "8             -   80       1        0  10.0 \u00b5s  10.0 \u00b5s      rank 1's  10.0 \u00b5s\n"
            "thread 71 of solver: 5 intervals not recorded (its buffer was full): its timeline "
            "ends early\n"
            "thread 71 of solver: 1 event ends after the event that encloses it: the file does "
            "not nest properly\n"
            "thread 80 of 8: 1 event was still running when the file was written: it ends "
            "there\n");
}

// Another tool's timeline whose own members, floats among them, come before
// its events is still known as a timeline.
TEST(Tools, ATimelineIsKnownWhateverComesBeforeItsEvents) {
  const std::string file = Temp("floats-first.json");
  std::ofstream(file) << "{\"displayTimeUnit\": \"ns\", \"version\": 1.5, \"traceEvents\": "
                         "[{\"name\": \"a\", \"ph\": \"X\", \"pid\": 1, \"tid\": 1, "
                         "\"ts\": 0.5, \"dur\": 2.5}]}";
  const Result r = Tool("trace '" + file + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 event on 1 thread, "), std::string::npos) << r.out;
}

// A time past what any timeline holds is refused, naming where it is.
TEST(Tools, ATimelineTimeOfMillionsOfYearsIsRefused) {
  const std::string file = Temp("far-future.json");
  std::ofstream(file) << "{\"traceEvents\": [{\"name\": \"a\", \"ph\": \"X\", \"pid\": 1, "
                         "\"tid\": 1, \"ts\": 2e21, \"dur\": 1}]}";
  const Result r = Tool("trace '" + file + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("more than 1e15 seconds (32 million years): not a time"), std::string::npos)
      << r.err;
}

// The page's lanes: a thread by the name the host gave it; one that carries
// the program's own name (the host never named it) by its tid alone; a
// process without a name by its pid.
TEST(Tools, TimelineLanesNameTheThreadsTheHostNamed) {
  const std::string page = Tool("html threads_trace.json -o -").out;
  EXPECT_NE(page.find("\"label\": \"threads \u00b7 tid 20568\""), std::string::npos);
  EXPECT_NE(page.find("\"label\": \"threads \u00b7 worker 0 (tid 20570)\""), std::string::npos);
  // The file's metadata goes with it, for the page's metadata line.
  EXPECT_NE(page.find("\"metadata\": {\"program\": \"threads\", \"arguments\": \"./threads\""),
            std::string::npos);
  EXPECT_NE(Tool("html trace.json -o -").out.find("\"label\": \"pid 8 \u00b7 tid 80\""),
            std::string::npos);
  // A process named otherwise than the program (an MPI rank): a thread
  // that carries the program's name, from the file's metadata, is unnamed.
  const std::string rank = Temp("rank-lanes.json");
  std::ofstream(rank) << "{\"traceEvents\": [{\"ph\": \"M\", \"name\": \"process_name\", \"pid\": "
                         "3, \"args\": {\"name\": \"rank 0\"}}, {\"ph\": \"M\", \"name\": "
                         "\"thread_name\", \"pid\": 3, \"tid\": 9, \"args\": {\"name\": \"app\"}}, "
                         "{\"name\": \"a\", \"ph\": \"X\", \"pid\": 3, \"tid\": 9, \"ts\": 0, "
                         "\"dur\": 1}], \"metadata\": {\"program\": \"app\"}}";
  EXPECT_NE(Tool("html '" + rank + "' -o -").out.find("\"label\": \"rank 0 \u00b7 tid 9\""),
            std::string::npos);
  // Members in any order: a thread's name in args before the event's own.
  const std::string order = Temp("args-first.json");
  std::ofstream(order) << "{\"traceEvents\": [{\"args\": {\"name\": \"io\"}, \"ph\": \"M\", "
                          "\"name\": \"thread_name\", \"pid\": 3, \"tid\": 9}, {\"name\": "
                          "\"a\", \"ph\": \"X\", \"pid\": 3, \"tid\": 9, \"ts\": 0, \"dur\": 1}]}";
  EXPECT_NE(Tool("html '" + order + "' -o -").out.find("\"label\": \"pid 3 \u00b7 io (tid 9)\""),
            std::string::npos);
}

// Siblings back to back, whose start and length add up (in binary) to a
// hair past the next one's start, nest side by side, not one in the other.
TEST(Tools, TraceKeepsSiblingsThatTouchSideBySide) {
  const std::string file = Temp("touching.json");
  std::ofstream(file) << "{\"traceEvents\": ["
                         "{\"ph\": \"X\", \"name\": \"run\", \"pid\": 1, \"tid\": 1, \"ts\": 0, \"dur\": 1},"
                         "{\"ph\": \"X\", \"name\": \"a\", \"pid\": 1, \"tid\": 1, \"ts\": 0.1, \"dur\": 0.2},"
                         "{\"ph\": \"X\", \"name\": \"b\", \"pid\": 1, \"tid\": 1, \"ts\": 0.3, \"dur\": 0.7}]}";
  const Result r = Tool("trace '" + file + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("run;b"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("does not nest"), std::string::npos) << r.out;
  std::remove(file.c_str());
}

}  // namespace
}  // namespace timetree_tools_test
