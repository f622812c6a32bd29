#include "runformat/text.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "channels/channels.h"
#include "internals.h"
#include "output/exports.h"
#include "registry/counters.h"
#include "support.h"

namespace timetree_test {
int RunCompiledOutScopes();
}

namespace {

using timetree_test::FakeClock;
using timetree_test::ReadFile;

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Runs a Python snippet on file and returns what it printed; empty when
// Python is not there.
std::string Python(const std::string& code, const std::string& file, const std::string& out) {
  const std::string command =
      "python3 -c '" + code + "' '" + file + "' > '" + out + "' 2>&1";
  if (std::system(command.c_str()) != 0) return "python failed: " + ReadFile(out);
  return ReadFile(out);
}

class Exports : public timetree_test::TimingTest {
 protected:
  void SetUp() override {
    TimingTest::SetUp();
    FakeClock::Install(1e6);  // one tick is one microsecond
  }
  // main (2 starts, 100 us of its own) holding parse (30 us) and load, in
  // which step was closed implicitly; then io, running for 1000 us: the
  // exports count it up to their moment, as a snapshot of a job does.
  void BuildTree() {
    OpenCapture();
    TimeStartTimer("main");
    FakeClock::now += 50;
    TimeStartTimer("parse");
    FakeClock::now += 30;
    TimeStopTimer("parse");
    TimeStartTimer("load");
    TimeStartTimer("step");
    FakeClock::now += 20;
    TimeStopTimer("load");  // closes step implicitly
    FakeClock::now += 50;
    TimeStopTimer("main");
    Run("main", 0);
    TimeStartTimer("io");
    FakeClock::now += 1000;
  }
};

TEST_F(Exports, JsonHoldsTheWholeTreeExactly) {
  BuildTree();
  const std::string path = NewFile("tree.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  const std::string timers =
      "\n{\"name\": \"main\", \"count\": 2, \"total_seconds\": 0.00014999999999999999, "
      "\"self_seconds\": 9.9999999999999991e-05, \"stopped_implicitly\": false, "
      "\"running\": false, \"min_interval_seconds\": 0, "
      "\"max_interval_seconds\": 0.00014999999999999999, \"children\": [\n"
      "{\"name\": \"parse\", \"count\": 1, \"total_seconds\": 3.0000000000000001e-05, "
      "\"self_seconds\": 3.0000000000000001e-05, \"stopped_implicitly\": false, "
      "\"running\": false, \"min_interval_seconds\": 3.0000000000000001e-05, "
      "\"max_interval_seconds\": 3.0000000000000001e-05, \"children\": []},\n"
      "{\"name\": \"load\", \"count\": 1, \"total_seconds\": 2.0000000000000002e-05, "
      "\"self_seconds\": 0, \"stopped_implicitly\": false, "
      "\"running\": false, \"min_interval_seconds\": 2.0000000000000002e-05, "
      "\"max_interval_seconds\": 2.0000000000000002e-05, \"children\": [\n"
      "{\"name\": \"step\", \"count\": 1, \"total_seconds\": 2.0000000000000002e-05, "
      "\"self_seconds\": 2.0000000000000002e-05, \"stopped_implicitly\": true, "
      "\"running\": false, \"min_interval_seconds\": 2.0000000000000002e-05, "
      "\"max_interval_seconds\": 2.0000000000000002e-05, \"children\": []}]}]},\n"
      "{\"name\": \"io\", \"count\": 1, \"total_seconds\": 0.001, \"self_seconds\": 0.001, "
      "\"stopped_implicitly\": false, \"running\": true, \"min_interval_seconds\": 0.001, "
      "\"max_interval_seconds\": 0.001, \"children\": []}";
  // With one thread, the merged tree and that thread's own are the same.
  char thread_name[16] = {};
  pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
  // The metadata comes last (its own test is below).
  const std::string file = ReadFile(path);
  const size_t metadata = file.find(", \"metadata\": {\"program\": ");
  ASSERT_NE(metadata, std::string::npos) << file;
  EXPECT_EQ(file.substr(0, metadata),
            "{\"schema\": 2, \"frequency\": 1000000, \"timers\": [" + timers +
                "\n], \"threads\": [\n" +
                timetree_test::Format("{\"tid\": %ld, \"name\": \"%s\", ",
                                      static_cast<long>(syscall(SYS_gettid)), thread_name) +
                "\"finished\": false, \"threads\": 1, \"timers\": [" + timers + "\n]}\n]");
  EXPECT_EQ(file.substr(file.size() - 3), "}}\n");
  // A real parser reads it, and finds the counts of the tree.
  const std::string walk =
      "import json,sys\n"
      "d=json.load(open(sys.argv[1]))\n"
      "def w(t,p):\n"
      " for x in t: print(p+x[\"name\"], x[\"count\"], x[\"running\"]); w(x[\"children\"], p+\"  \")\n"
      "w(d[\"timers\"], \"\")";
  EXPECT_EQ(Python(walk, path, NewFile("walk.txt")),
            "main 2 False\n  parse 1 False\n  load 1 False\n    step 1 False\nio 1 True\n");
}

// The collected keys in their order, a TIMETREE_META_ key, and the host's
// keys, the last value winning (also over a collected key), from any thread.
TEST_F(Exports, JsonCarriesTheRunsMetadata) {
  OpenCapture();
  Run("main", 1);
  setenv("TIMETREE_META_GIT_COMMIT", "abc123", 1);
  // The run's wall time, from the library's load, is past this pause.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::thread([] { TimeSetMetadata("input", "mesh_a.dat"); }).join();
  std::thread([] {
    TimeSetMetadata("input", "mesh_b.dat");
    TimeSetMetadata("host", "renamed \"node\"");
    TimeSetMetadata(nullptr, "ignored");
  }).join();
  const std::string path = NewFile("metadata.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  unsetenv("TIMETREE_META_GIT_COMMIT");
  EXPECT_EQ(
      Python("import json,sys\n"
             "m=json.load(open(sys.argv[1]))[\"metadata\"]\n"
             "print(list(m))\n"
             "print(m[\"host\"], m[\"input\"], m[\"git_commit\"], m[\"threads\"], m[\"clock\"],"
             " m[\"clock_frequency\"], m[\"timetree_version\"] != \"\", m[\"pid\"] > 0,"
             " m[\"start_time\"] <= m[\"end_time\"], m[\"start_time\"].endswith(\"Z\"),"
             " m[\"timing_pairs\"])\n"
             "print(m[\"arguments\"].split()[0].endswith(m[\"program\"]),"
             " (m[\"cpu\"] != \"\") == (\"model name\" in open(\"/proc/cpuinfo\").read()),"
             " 0.1 <= m[\"wall_seconds\"] < 3600)",
             path, NewFile("metadata.txt")),
      "['program', 'arguments', 'host', 'pid', 'start_time', 'end_time', "
      "'timetree_version', 'threads', 'clock', 'clock_frequency', 'wall_seconds', 'os', 'cpu', "
      "'timing_pairs', 'timing_pair_seconds', 'timing_cost_seconds', "
      "'git_commit', 'input']\n"
      "renamed \"node\" mesh_b.dat abc123 1 test 1000000 True True True True 1\n"
      "True True True\n");
}

// A cost kind given again replaces its first (in a child, as kinds stay for
// the process's life).
TEST_F(Exports, ACostKindGivenAgainReplacesItsFirst) {
  OpenCapture();
  Run("main", 1);
  const std::string path = NewFile("kinds.json");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TimeAddCostKind("probe", [](uint64_t* count, double* each) { *count = 1, *each = 1; });
    TimeAddCostKind("probe", [](uint64_t* count, double* each) { *count = 2, *each = 0.25; });
    _exit(TimeWriteJson(path.c_str()) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(ReadFile(path).find("\"timing_probe\": 2, \"timing_probe_seconds\": 0.25, "
                                "\"timing_other_seconds\": 0.5,"),
            std::string::npos)
      << ReadFile(path);
}

// What timing cost, on the real counter: the pairs made (every count, of
// every thread), the measured cost of one (tens of nanoseconds, not 0,
// not microseconds), and their product; the host's call gives the same
// figure.
TEST_F(Exports, MetadataEstimatesWhatTimingCost) {
  timetree_test::FakeClock::Remove();
  OpenCapture();
  for (int i = 0; i < 1000; ++i) Run("step", 0);
  std::thread([] { Run("step", 0); }).join();
  const std::string path = NewFile("cost.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  const double pair = TimePairSeconds();
  EXPECT_GT(pair, 1e-9);
  EXPECT_LT(pair, 2e-6);
  EXPECT_EQ(Python("import json,sys\n"
                   "m=json.load(open(sys.argv[1]))[\"metadata\"]\n"
                   "print(m[\"timing_pairs\"], "
                   "abs(m[\"timing_cost_seconds\"] / (1001 * m[\"timing_pair_seconds\"]) - 1) < 1e-5)",
                   path, NewFile("cost.txt")),
            "1001 True\n");
  const std::string text = ReadFile(path);
  EXPECT_NE(text.find(timetree_test::Format("\"timing_pair_seconds\": %.6g,", pair)),
            std::string::npos)
      << text;
}

TEST_F(Exports, JsonStaysValidWhateverBytesANameHolds) {
  OpenCapture();
  const char* names[] = {"quote\" back\\slash", "tab\tnew\nline\x01", "\x1f unit", "over\xe0\x80\xafong",
                         "\xff\xfe bad",
                         "caf\xc3\xa9 ok", "\xed\xa0\x80 surrogate",
                         ("cut\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
                          "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac")};
  for (const char* name : names) Run(name, 1);
  const std::string path = NewFile("bytes.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  EXPECT_EQ(Python("import json,sys\n"
                   "for t in json.load(open(sys.argv[1]))[\"timers\"]: print(ascii(t[\"name\"]))",
                   path, NewFile("names.txt")),
            "'quote\" back\\\\slash'\n"
            "'tab\\tnew\\nline\\x01'\n"
            "'\\x1f unit'\n"
            "'over\\ufffd\\ufffd\\ufffdong'\n"
            "'\\ufffd\\ufffd bad'\n"
            "'caf\\xe9 ok'\n"
            "'\\ufffd\\ufffd\\ufffd surrogate'\n"
            // whole: the 25-character cut, inside the eighth euro sign, is
            // the text reports' alone
            "'cut\\u20ac\\u20ac\\u20ac\\u20ac\\u20ac\\u20ac\\u20ac\\u20ac'\n");
}

// The formatting helper behind every export writes texts of any length
// whole, at its buffer's edges too.
TEST_F(Exports, FormattedTextsOfEveryLengthAreWrittenWhole) {
  for (const size_t n : {0, 1, 254, 255, 256, 257, 511, 512, 513, 100000}) {
    const std::string text(n, 'x');
    std::string out = "<";
    timetree::AppendFormat(out, "%s", text.c_str());
    EXPECT_EQ(out, "<" + text) << n;
  }
}

TEST_F(Exports, FoldedLinesSumToTheTopLevelTotals) {
  BuildTree();
  const std::string path = NewFile("tree.folded");
  ASSERT_TRUE(TimeWriteFolded(path.c_str()));
  EXPECT_EQ(ReadFile(path),
            "main 100\n"
            "main;parse 30\n"
            "main;load 0\n"
            "main;load;step 20\n"
            "io 1000\n");
  // 100 + 30 + 0 + 20 = 150 us, main's total; io has no finished interval.
}

TEST_F(Exports, FoldedNamesAreMadeSafe) {
  OpenCapture();
  TimeStartTimer("a;b c");
  Run("new\nline\ttab", 7);
  Run("", 3);
  Run("\xff", 1);
  TimeStopTimer("a;b c");
  const std::string path = NewFile("safe.folded");
  ASSERT_TRUE(TimeWriteFolded(path.c_str()));
  EXPECT_EQ(ReadFile(path),
            "a:b_c 0\n"
            "a:b_c;new_line_tab 7\n"
            "a:b_c;(empty) 3\n"
            "a:b_c;? 1\n");
}

TEST_F(Exports, FlameGraphIsWellFormedWithOneBoxPerTimer) {
  BuildTree();
  TimeStartTimer("<&\"'\x01\xff>");
  TimeStopTimer("io");
  const std::string path = NewFile("tree.svg");
  ASSERT_TRUE(TimeWriteFlameGraph(path.c_str()));
  const std::string text = ReadFile(path);
  EXPECT_EQ(text.find("http", text.find("xmlns") + 30), std::string::npos)
      << "nothing is fetched from elsewhere";
  EXPECT_EQ(Python("import sys,xml.etree.ElementTree as E\n"
                   "ns={\"s\":\"http://www.w3.org/2000/svg\"}\n"
                   "r=E.parse(sys.argv[1]).getroot()\n"
                   "for g in r.findall(\"s:g\",ns):\n"
                   " t=g.find(\"s:title\",ns).text.split(chr(10))\n"
                   " w=float(g.find(\"s:rect\",ns).get(\"width\"))\n"
                   " print(ascii(t[0]), t[1], round(w))",
                   path, NewFile("boxes.txt")),
            // 1,180 px for 1,150 us: main's 150 us, io's 1,000 us.
            "'main' count 2, total 0.000150 s, self 0.000100 s 154\n"
            "'parse' count 1, total 0.000030 s, self 0.000030 s 31\n"
            "'load' count 1, total 0.000020 s, self 0.000000 s 21\n"
            "'step' count 1, total 0.000020 s, self 0.000020 s 21\n"
            "'io' count 1, total 0.001000 s, self 0.001000 s 1026\n"
            "'<&\"\\'\\ufffd\\ufffd>' count 1, total 0.000000 s, self 0.000000 s 0\n");
}

TEST_F(Exports, NothingIsWrittenWhenOffOrEmpty) {
  const std::string path = NewFile("none");
  OpenCapture();
  EXPECT_FALSE(TimeWriteJson(path.c_str()));  // no timers
  EXPECT_FALSE(TimeWriteFolded(path.c_str()));
  EXPECT_FALSE(TimeWriteFlameGraph(path.c_str()));
  EXPECT_FALSE(Exists(path));
  Run("a", 1);
  EXPECT_FALSE(TimeWriteJson(nullptr));
  EXPECT_FALSE(TimeWriteJson("/nonexistent/folder/x.json"));
  EXPECT_FALSE(TimeWriteJson("/dev/full"));  // the write fails
  Switch("TIMING_ON", "0");
  TimeClear();
  EXPECT_FALSE(TimeWriteJson(path.c_str()));
  EXPECT_FALSE(Exists(path));
}

TEST_F(Exports, DeepTreesExportWithoutRecursion) {
  Switch("TIMING_ON", "1");
  TimeClear();
  for (int i = 0; i < 300000; ++i) TimeStartTimer("deep");
  EXPECT_TRUE(TimeWriteJson("/dev/null"));
  EXPECT_TRUE(TimeWriteFlameGraph("/dev/null"));
  TimeClear();
}

int ScopedWork(bool early) {
  TIMETREE_SCOPE("work");
  if (early) return 1;  // the scope still stops "work"
  TIMETREE_SCOPE("inner");
  throw std::runtime_error("thrown through two scopes");
}

TEST_F(Exports, ScopeStopsOnEarlyReturnAndException) {
  OpenCapture();
  {
    TimeScope outer("outer");
    ScopedWork(true);
    EXPECT_THROW(ScopedWork(false), std::runtime_error);
  }
  TimePrintIndented(nullptr);
  EXPECT_EQ(Captured(), timetree_test::Header() + timetree_test::Row("outer", 1, 0.0) +
                            timetree_test::Row(".work", 2, 0.0) +
                            timetree_test::Row("..inner", 1, 0.0));
}

// The visitor sees the tree the exports write, parent before children.
TEST_F(Exports, ForEachTimerVisitsTheReportedTree) {
  EXPECT_FALSE(TimeForEachTimer([](const TimeTimerInfo&, void*) {}, nullptr));  // timing off
  BuildTree();
  std::string seen;
  ASSERT_TRUE(TimeForEachTimer(
      [](const TimeTimerInfo& t, void* context) {
        *static_cast<std::string*>(context) += timetree_test::Format(
            "%d %s %d %.0f %.0f %d %d\n", t.depth, t.name, t.count, t.total_seconds * 1e6,
            t.self_seconds * 1e6, t.stopped_implicitly, t.running);
      },
      &seen));
  EXPECT_EQ(seen,
            "0 main 2 150 100 0 0\n1 parse 1 30 30 0 0\n1 load 1 20 0 0 0\n"
            "2 step 1 20 20 1 0\n0 io 1 1000 1000 0 1\n");
}

// A timer started more than 2^31 times (reached through the count itself)
// is exact in both reports, the JSON and the 64-bit visitor; the int visitor
// stops at INT_MAX. The flat report sums two such timers without wrapping.
TEST_F(Exports, CountsPast2To31AreExactEverywhere) {
  OpenCapture();
  TimeStartTimer("outer");
  Run("big", 1);
  TimeStopTimer("outer");
  Run("big", 1);
  timetree::TimerNode* outer = timetree_test::TopTimer(0);
  timetree::TimerNode* nested = timetree_test::ChildTimer(outer, 0);
  timetree::TimerNode* top = timetree_test::LastTopTimer();
  nested->count = INT32_MAX;
  top->count = INT32_MAX;
  Run("big", 1);  // top: 2^31
  TimePrint();
  TimePrintIndented(nullptr);
  const std::string r = timetree_test::Format("%-30s | %6s | %17lf | %17lf\n", "big",
                                               "4294967295", 0.000003, 0.000003 / 4294967295.0);
  const std::string i = timetree_test::Format("%-30s | %6s | %17lf | %17lf\n", ".big",
                                               "2147483647", 0.000001, 0.000001 / 2147483647.0);
  const std::string t = timetree_test::Format("%-30s | %6s | %17lf | %17lf\n", "big",
                                               "2147483648", 0.000002, 0.000002 / 2147483648.0);
  const std::string o = timetree_test::Row("outer", 1, 0.000001);
  EXPECT_EQ(Captured(), timetree_test::Header() + o + r + timetree_test::Header() + o + i + t);

  const std::string json = NewFile("big.json");
  ASSERT_TRUE(TimeWriteJson(json.c_str()));
  EXPECT_NE(ReadFile(json).find("\"name\": \"big\", \"count\": 2147483648,"), std::string::npos);
  std::string seen;
  TimeForEachTimer64(
      [](const TimeTimerInfo64& t, void* c) {
        *static_cast<std::string*>(c) += timetree_test::Format("%lld ", static_cast<long long>(t.count));
      },
      &seen);
  TimeForEachTimer(
      [](const TimeTimerInfo& t, void* c) {
        *static_cast<std::string*>(c) += timetree_test::Format("%d ", t.count);
      },
      &seen);
  EXPECT_EQ(seen, "1 2147483647 2147483648 1 2147483647 2147483647 ");
}

// Timers whose names differ past the 25th character are marked in the
// JSON, also when two threads' timers are merged by path.
TEST_F(Exports, MergedLongNamesAreMarkedInTheJson) {
  OpenCapture();
  testing::internal::CaptureStderr();
  Run("a name of more than 25 characters, first", 1);
  Run("a name of more than 25 characters, second", 1);
  std::thread([] { Run("another long name of 25+ characters: x", 1); }).join();
  Run("another long name of 25+ characters: y", 1);
  Run("short", 1);
  // A name of exactly the compared length, then a longer one that begins
  // with it: merged too, and said.
  Run("twenty-five characters ..", 1);
  Run("twenty-five characters .., and more", 1);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("timetree: \"twenty-five characters .., and more\" is counted as "
                      "\"twenty-five characters ..\": names are compared on their first 25 "
                      "characters\n"),
            std::string::npos)
      << said;
  const std::string json = NewFile("merged.json");
  ASSERT_TRUE(TimeWriteJson(json.c_str()));
  const std::string text = ReadFile(json);
  size_t marks = 0;
  for (size_t at = 0; (at = text.find("\"names_merged\": true", at)) != std::string::npos; ++at) {
    ++marks;
  }
  // Each of the two timers in the merged tree, the first in the main
  // thread's own tree too; and the timer of 25 characters, in both.
  EXPECT_EQ(marks, 5u) << text;
  EXPECT_EQ(text.find("\"short\", \"count\": 1, \"total_seconds\": 9.9999999999999995e-07, "
                      "\"self_seconds\": 9.9999999999999995e-07, \"stopped_implicitly\": false, "
                      "\"running\": false, \"min_interval_seconds\": 9.9999999999999995e-07, "
                      "\"max_interval_seconds\": 9.9999999999999995e-07, \"children\""),
            text.find("\"short\""));
}

// Per path over the threads: the shortest and the longest single interval
// (a running one, and one cut short by its thread's end, count in the
// longest as far as they ran), the bytes summed, the throttled mark of any
// thread; the visitor hands over the same.
TEST_F(Exports, IntervalExtremesBytesAndMarksMergeOverThreads) {
  OpenCapture();
  TimeStartTimer("step");
  TimeAddBytes(10);
  FakeClock::now += 4;
  TimeStopTimer("step");
  Run("step", 6);
  TimeAddBytes(99);  // no timer runs: nothing
  std::thread([] {
    Run("step", 2);
    TimeStartTimer("step");
    TimeAddBytes(5);
    FakeClock::now += 3;
    TimeStopTimer("step");
    TimeMarkThrottled("step");
    TimeStartTimer("cut");
    FakeClock::now += 8;  // the thread ends inside it
  }).join();
  TimeStartTimer("open");
  FakeClock::now += 9;
  const std::string path = NewFile("extremes.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  const std::string json = ReadFile(path);
  const auto row = [&json](const char* name) {
    const size_t at = json.find(std::string("{\"name\": \"") + name + "\"");
    return at == std::string::npos ? std::string() : json.substr(at, json.find('\n', at) - at);
  };
  // Ticks are microseconds here.
  const auto extremes = [](double shortest, double longest) {
    return timetree_test::Format("\"min_interval_seconds\": %.17g, \"max_interval_seconds\": %.17g",
                                 shortest * 1e-6, longest * 1e-6);
  };
  EXPECT_NE(row("step").find(extremes(2, 6) + ", \"bytes\": 15, \"throttled\": true, \"children\""),
            std::string::npos)
      << row("step");
  EXPECT_NE(row("cut").find("\"running\": true, " + extremes(8, 8) + ", \"children\""),
            std::string::npos)
      << row("cut");
  EXPECT_NE(row("open").find("\"running\": true, " + extremes(9, 9) + ", \"children\""),
            std::string::npos)
      << row("open");
  struct Seen {
    double shortest = 0, longest = 0;
    uint64_t bytes = 0;
    bool throttled = false;
  } seen;
  TimeForEachTimer64(
      [](const TimeTimerInfo64& t, void* context) {
        if (std::string(t.name) != "step") return;
        *static_cast<Seen*>(context) = {t.min_interval_seconds, t.max_interval_seconds, t.bytes,
                                        t.throttled};
      },
      &seen);
  EXPECT_EQ(seen.shortest, 2e-6);
  EXPECT_EQ(seen.longest, 6e-6);
  EXPECT_EQ(seen.bytes, 15u);
  EXPECT_TRUE(seen.throttled);
  TimeStopTimer("open");
}

// A translation unit built with TIMETREE_DISABLE neither evaluates a scope's
// name nor starts a timer, while timing is on.
TEST_F(Exports, DisabledScopesCallNothing) {
  OpenCapture();
  EXPECT_EQ(timetree_test::RunCompiledOutScopes(), 0);
  TimePrint();
  EXPECT_EQ(Captured(), "");
}

}  // namespace

// Exports give every name whole, in both modes of comparison; the 64-bit
// visitor hands over its length, the first visitor keeps the cut form.
TEST_F(Exports, NamesAreWholeInTheExportsAndTheVisitors) {
  const std::string huge = std::string(10000, 'n');
  for (const bool whole : {false, true}) {
    SCOPED_TRACE(whole ? "full" : "25");
    timetree::g_wholeNames = whole;
    OpenCapture();
    Run("solver::detail::Assembler<double>::assemble_matrix(int)", 1);
    Run(huge.c_str(), 1);
    timetree::g_wholeNames = false;
    const std::string path = NewFile("whole.json");
    ASSERT_TRUE(TimeWriteJson(path.c_str()));
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("{\"name\": \"solver::detail::Assembler<double>::assemble_matrix(int)\""),
              std::string::npos);
    EXPECT_NE(text.find("{\"name\": \"" + huge + "\""), std::string::npos);
    std::string seen;
    TimeForEachTimer64(
        [](const TimeTimerInfo64& t, void* c) {
          *static_cast<std::string*>(c) += timetree_test::Format("%zu:%zu ", t.name_length,
                                                                 std::strlen(t.name));
        },
        &seen);
    TimeForEachTimer(
        [](const TimeTimerInfo& t, void* c) {
          *static_cast<std::string*>(c) += timetree_test::Format("%zu ", std::strlen(t.name));
        },
        &seen);
    EXPECT_EQ(seen, "55:55 10000:10000 25 25 ");
  }
}

namespace {

// A byte sum past 2^64 - 1 stays there and says so: on one thread, and
// merged over two whose sums each fit.
TEST_F(Exports, ByteSumsSaturateAndSaySo) {
  OpenCapture();
  TimeStartTimer("huge");
  TimeAddBytes(UINT64_MAX - 5);
  TimeAddBytes(10);
  TimeStopTimer("huge");
  TimeStartTimer("halves");
  TimeAddBytes(UINT64_MAX / 2 + 1);
  TimeStopTimer("halves");
  std::thread([] {
    TimeStartTimer("halves");
    TimeAddBytes(UINT64_MAX / 2 + 1);
    TimeStopTimer("halves");
  }).join();
  const std::string path = NewFile("bytes.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  const std::string json = ReadFile(path);
  const std::string merged = json.substr(0, json.find("\"threads\": ["));
  for (const char* name : {"huge", "halves"}) {
    const size_t at = merged.find(std::string("{\"name\": \"") + name + "\"");
    ASSERT_NE(at, std::string::npos) << merged;
    const std::string row = merged.substr(at, merged.find('\n', at) - at);
    EXPECT_NE(row.find("\"bytes\": 18446744073709551615, \"bytes_saturated\": true"),
              std::string::npos)
        << row;
  }
}

// Memory goes to the running timer and every one it runs in, not to one
// that has stopped; over threads the sums add and the peak is the higher;
// a sum past 2^64 - 1 says so.
TEST_F(Exports, MemoryIsKeptByEveryRunningTimerAndMergedOverThreads) {
  OpenCapture();
  TimeStartTimer("outer");
  TimeStartTimer("done");
  TimeAddMemory("Host", 100, 0, 100);
  TimeStopTimer("done");
  TimeStartTimer("inner");
  TimeAddMemory("Host", 50, 0, 150);
  TimeAddMemory("Host", 0, 100, 50);  // a free raises no peak
  TimeAddMemory("Cuda", UINT64_MAX, 0, 1);
  TimeAddMemory("Cuda", 1, 0, 2);
  TimeStopTimer("inner");
  TimeStopTimer("outer");
  TimeAddMemory("Host", 7, 0, 7);  // no timer runs: nothing
  std::thread([] {
    TimeStartTimer("outer");
    TimeAddMemory("Host", 1, 2, 400);
    TimeStopTimer("outer");
  }).join();
  const std::string path = NewFile("memory.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  const std::string json = ReadFile(path);
  const std::string merged = json.substr(0, json.find("\"threads\": ["));
  const auto memory = [&merged](const char* name) {
    const size_t at = merged.find(std::string("{\"name\": \"") + name + "\"");
    if (at == std::string::npos) return std::string("no timer");
    const std::string row = merged.substr(at, merged.find('\n', at) - at);
    const size_t from = row.find("\"memory\": ");
    return from == std::string::npos ? std::string()
                                     : row.substr(from, row.find(", \"children") - from);
  };
  EXPECT_EQ(memory("done"),
            "\"memory\": {\"Host\": {\"allocated_bytes\": 100, \"freed_bytes\": 0, "
            "\"peak_live_bytes\": 100}}");
  const std::string cuda =
      "\"memory\": {\"Cuda\": {\"allocated_bytes\": 18446744073709551615, \"freed_bytes\": 0, "
      "\"peak_live_bytes\": 2, \"saturated\": true}, ";
  EXPECT_EQ(memory("inner"), cuda +
                                 "\"Host\": {\"allocated_bytes\": 50, \"freed_bytes\": 100, "
                                 "\"peak_live_bytes\": 150}}");
  EXPECT_EQ(memory("outer"), cuda +
                                 "\"Host\": {\"allocated_bytes\": 151, \"freed_bytes\": 102, "
                                 "\"peak_live_bytes\": 400}}");
}

// Past the eighth space a space's memory is left out, said once, and
// added to no other space.
TEST_F(Exports, MemoryOfANinthSpaceIsSaidAndAddedToNoOther) {
  OpenCapture();
  testing::internal::CaptureStderr();
  TimeStartTimer("t");
  const char* spaces[] = {"S1", "S2", "S3", "S4", "S5", "S6", "S7", "S8"};
  for (const char* space : spaces) TimeAddMemory(space, 1, 0, 1);
  TimeAddMemory("Ninth", 1000, 0, 1000);
  TimeAddMemory("Tenth", 1000, 0, 1000);
  TimeStopTimer("t");
  // The spaces are the process's, and earlier tests in it may have named
  // some: the first left out may be any from S1 on. It is said once.
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said.rfind("timetree: memory of more than 8 spaces is not kept per timer; space \"", 0),
            0u)
      << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  const std::string path = NewFile("spaces.json");
  ASSERT_TRUE(TimeWriteJson(path.c_str()));
  const std::string json = ReadFile(path);
  EXPECT_EQ(json.find("\"Ninth\": {"), std::string::npos);
  EXPECT_EQ(json.find("\"Tenth\": {"), std::string::npos);
  // No space kept took the bytes of those left out: each of t's has 1.
  const size_t at = json.find("{\"name\": \"t\"");
  ASSERT_NE(at, std::string::npos);
  const std::string row = json.substr(at, json.find('\n', at) - at);
  const std::string key = "\"allocated_bytes\": ";
  int kept = 0;
  for (size_t p = row.find(key); p != std::string::npos; p = row.find(key, p + 1), ++kept) {
    EXPECT_EQ(row.compare(p + key.size(), 2, "1,"), 0) << row;
  }
  EXPECT_GT(kept, 0);
}

// What a host reads through the visitor: each timer's counters (the bits
// asked for, the CPU time in the first place) and series; a visit counts as
// output (no "nothing was written" at exit). The page the library writes
// carries the series.
TEST_F(Exports, VisitorAndPageCarryCountersAndSeries) {
  OpenCapture();
  TimeSeries("exports-step");
  for (int i = 1; i <= 3; ++i) {
    TimeStartTimer("exports-step");
    FakeClock::now += 10 * i;
    TimeStopTimer("exports-step");
  }
  const int saved = timetree::g_registry.counters;
  timetree::g_registry.counters = timetree::kCpuSeconds;
  TimeStartTimer("spin");
  timetree_test::SpinThreadCpu(5000000);
  TimeStopTimer("spin");
  timetree::ResetNotesForTesting();
  struct Seen {
    unsigned counters = 0;
    double cpu = -1;
    int64_t every = -1, steps = -1;
    std::string seconds;
  };
  std::vector<std::pair<std::string, Seen>> seen;
  ASSERT_TRUE(TimeForEachTimer64(
      [](const TimeTimerInfo64& t, void* context) {
        Seen s{t.counters, t.counter_values[0], t.series_every, t.series_steps, ""};
        for (size_t i = 0; i < t.series_points; ++i) {
          s.seconds += timetree_test::Format("%.0f ", t.series_seconds[i] * 1e6);
        }
        static_cast<std::vector<std::pair<std::string, Seen>>*>(context)->emplace_back(t.name, s);
      },
      &seen));
  timetree::g_registry.counters = saved;
  EXPECT_TRUE(timetree::AnythingWritten());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].first, "exports-step");
  EXPECT_EQ(seen[0].second.counters, 0u);
  EXPECT_EQ(seen[0].second.every, 1);
  EXPECT_EQ(seen[0].second.steps, 3);
  EXPECT_EQ(seen[0].second.seconds, "10 20 30 ");
  EXPECT_EQ(seen[1].first, "spin");
  EXPECT_EQ(seen[1].second.counters, static_cast<unsigned>(timetree::kCpuSeconds));
  EXPECT_GE(seen[1].second.cpu, 0.005);
  EXPECT_LT(seen[1].second.cpu, 1.0);
  EXPECT_EQ(seen[1].second.every, 0);
  const std::string page = NewFile("series.html");
  ASSERT_TRUE(timetree::WriteReportPage(page.c_str()));
  EXPECT_NE(
      ReadFile(page).find("\"series\": {\"0\": [1, 3, [1e-05,2e-05,3e-05], [1e-05,2e-05,3e-05]]}"),
      std::string::npos);
}

}  // namespace
