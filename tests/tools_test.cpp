// The timetree command, run as a user runs it, on small files whose
// expected output was worked out by hand (tests/data).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>

namespace timetree_test_json {

// A run of top-level timers of the given totals; each is marked as a
// timer that counted names merged past their 25th character.
std::string Run(std::initializer_list<std::pair<const char*, double>> timers) {
  std::string text = "{\"schema\": 2, \"timers\": [";
  const char* comma = "";
  for (const auto& [name, total] : timers) {
    text += comma + std::string("{\"name\": \"") + name + "\", \"count\": 1, \"total_seconds\": " +
            std::to_string(total) + ", \"self_seconds\": " + std::to_string(total) +
            ", \"stopped_implicitly\": false, \"running\": false, \"names_merged\": true, "
            "\"children\": []}";
    comma = ", ";
  }
  return text + "]}";
}

}  // namespace timetree_test_json

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Result {
  int status;
  std::string out, err;
};

std::string Temp(const std::string& stem) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/timetree-tools-" +
         std::to_string(getpid()) + "-" + stem;
}

// Runs "timetree ARGS" in the data folder.
Result Tool(const std::string& args) {
  const std::string out = Temp("out"), err = Temp("err");
  const std::string command = "cd '" TIMETREE_TEST_DATA "' && '" TIMETREE_TOOL "' " + args +
                              " > '" + out + "' 2> '" + err + "'";
  const int status = std::system(command.c_str());
  Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(out), Read(err)};
  std::remove(out.c_str());
  std::remove(err.c_str());
  return result;
}

TEST(Tools, ShowPrintsTheTreeWithShares) {
  const Result r = Tool("show base.json --threads");
  EXPECT_EQ(r.status, 0);
  const std::string table =
      "NAME       COUNT    TOTAL     SELF  PER START   SHARE\n"
      "main           1   1.00 s   200 ms     1.00 s  100.0%\n"
      "  parse        2   250 ms   250 ms     125 ms   25.0%\n"
      "  solve        1   500 ms   500 ms     500 ms   50.0%\n"
      "  setup ?      1  50.0 ms  50.0 ms    50.0 ms    5.0%\n";
  EXPECT_EQ(r.out, "base.json: 4 timers, 1.00 s in all, 1 thread\n" + table +
                       "\nthread 4711 \"main\":\n" + table);
  // Hidden below 30%, with what is under them; a schema 1 file reads too.
  EXPECT_EQ(Tool("show base.json --min-share 30").out,
            "base.json: 4 timers, 1.00 s in all, 1 thread\n"
            "NAME     COUNT   TOTAL    SELF  PER START   SHARE\n"
            "main         1  1.00 s  200 ms     1.00 s  100.0%\n"
            "  solve      1  500 ms  500 ms     500 ms   50.0%\n");
  EXPECT_EQ(Tool("show old.json").status, 0);
  // Siblings by their figure, largest first; levels cut by --depth.
  EXPECT_EQ(Tool("show base.json --sort self").out.substr(153),
            "  solve        1   500 ms   500 ms     500 ms   50.0%\n"
            "  parse        2   250 ms   250 ms     125 ms   25.0%\n"
            "  setup ?      1  50.0 ms  50.0 ms    50.0 ms    5.0%\n");
  EXPECT_EQ(Tool("show base.json --sort name --depth 1").out,
            "base.json: 4 timers, 1.00 s in all, 1 thread\n"
            "NAME  COUNT   TOTAL    SELF  PER START   SHARE\n"
            "main      1  1.00 s  200 ms     1.00 s  100.0%\n");
}

// Paths that several threads started: their spread over the threads, and
// shares of the run's wall time (the first thread's), which threads at work
// at once pass together, with a word saying so.
TEST(Tools, ShowGivesThreadsSpreadAndSharesOfTheWallTime) {
  const Result r = Tool("show threads.json --threads");
  EXPECT_EQ(r.status, 0);
  const std::string over =
      "SHARE above 100%: threads that ran at the same time, whose totals add up\n";
  EXPECT_EQ(r.out,
            "threads.json: 2 timers, 10.0 ms in all, 3 threads\n"
            "NAME    COUNT    TOTAL     SELF  PER START  THREADS      MIN      MAX  IMBALANCE   SHARE\n"
            "run         1  10.0 ms      0 s    10.0 ms        1  10.0 ms  10.0 ms       1.00  100.0%\n"
            "  work      4  16.0 ms  16.0 ms    4.00 ms        3  4.00 ms  8.00 ms       1.50  160.0%\n" +
                over +
                "\nthread 100 \"host\":\n"
                "NAME    COUNT    TOTAL     SELF  PER START   SHARE\n"
                "run         1  10.0 ms  6.00 ms    10.0 ms  100.0%\n"
                "  work      2  4.00 ms  4.00 ms    2.00 ms   40.0%\n"
                "\nthread 101 \"worker\", finished (2 finished threads folded):\n"
                "NAME      COUNT    TOTAL     SELF  PER START  THREADS      MIN      MAX  IMBALANCE   SHARE\n"
                "run;work      2  12.0 ms  12.0 ms    6.00 ms        2  4.00 ms  8.00 ms       1.33  120.0%\n" +
                over);
  // The header counts every thread, as the metadata does; a worker's rows
  // of the path it adopted (count 0) are shown when asked for.
  EXPECT_NE(Tool("show threads.json --threads --all").out.find(
                "\nthread 101 \"worker\", finished (2 finished threads folded):\n"
                "NAME    COUNT    TOTAL     SELF  PER START  THREADS      MIN      MAX  IMBALANCE   SHARE\n"
                "run         0      0 s      0 s          -        0      0 s      0 s       1.00    0.0%\n"
                "  work      2  12.0 ms  12.0 ms    6.00 ms        2  4.00 ms  8.00 ms       1.33  120.0%\n"),
            std::string::npos);
  // A child above its parent's share has its note too; columns line up as
  // a terminal shows them (a wide character takes two, an accent none).
  EXPECT_EQ(Tool("show shares.json").out,
            "shares.json: 4 timers, 1.00 s in all\n"
            "NAME           COUNT   TOTAL    SELF  PER START  THREADS     MIN     MAX  IMBALANCE  SHARE\n"
            "forces             1  500 ms     0 s     500 ms        1  500 ms  500 ms       1.00  50.0%\n"
            "  pair_forces      2  900 ms  900 ms     450 ms        2  400 ms  500 ms       1.11  90.0%\n"
            "\u8a08\u7b97               1  250 ms  250 ms     250 ms        1  250 ms  250 ms       1.00  25.0%\n"
            "e\u0301t\u00e9                1  250 ms  250 ms     250 ms        1  250 ms  250 ms       1.00  25.0%\n"
            "SHARE above its parent's: threads that ran at the same time, whose totals add up\n");
  // A job killed inside its one top-level timer (written on SIGTERM): the
  // open interval is not counted, so the wall time is at least what
  // finished under it.
  EXPECT_EQ(Tool("show killed.json").out,
            "killed.json: 2 timers, 2.00 s in all, 1 thread\n"
            "NAME    COUNT   TOTAL    SELF  PER START   SHARE\n"
            "solve       1     0 s     0 s        0 s    0.0%  running\n"
            "  step   9379  2.00 s  2.00 s     214 µs  100.0%  running\n");
  // The page gets the same figures and the same wall time.
  const std::string page = Temp("threads.html");
  ASSERT_EQ(Tool("html threads.json -o '" + page + "'").status, 0);
  const std::string html = Read(page);
  std::remove(page.c_str());
  EXPECT_NE(html.find("\"total\": 0.01,"), std::string::npos);
  EXPECT_NE(html.find("\"threads\": [1,3], \"tmin\": [0.01,0.004], \"tmax\": [0.01,0.008]"),
            std::string::npos);
}

// A run's metadata under show's first line (hidden on request); a
// comparison of runs that differ in what makes runs unlike warns once per
// such key, and a merge keeps each source's with what all agree on on top.
TEST(Tools, MetadataIsShownAndUnlikeRunsAreSaidToBe) {
  const Result shown = Tool("show meta_a.json");
  EXPECT_EQ(shown.out.substr(0, shown.out.find("NAME")),
            "meta_a.json: 1 timers, 1.00 s in all\n"
            "  arguments: solver mesh.dat\n  clock: tsc\n  clock_frequency: 3000000000\n"
            "  cpu: Example CPU\n  end_time: 2026-12-01T10:00:01Z\n  git_commit: aaa111\n"
            "  host: node1\n  os: 6.1.0\n  pid: 100\n  program: solver\n"
            "  start_time: 2026-12-01T10:00:00Z\n  threads: 1\n  timetree_version: 1.2.0\n");
  EXPECT_EQ(Tool("show meta_a.json --no-metadata").out.find("  host"), std::string::npos);
  // Only what can change the timings, and why; a commit of the host's own
  // keys tells runs apart on purpose.
  const std::string warnings =
      "timetree: warning: the runs differ in host (\"node1\" in meta_a.json, \"node2\" in "
      "meta_b.json): timings from two machines also compare the machines\n";
  const Result diff = Tool("diff meta_a.json meta_b.json");
  EXPECT_EQ(diff.status, 0);
  EXPECT_EQ(diff.err, warnings);
  const Result check = Tool("check meta_b.json --against meta_a.json --max-regression 50");
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.err, warnings);
  // Arguments differ only where they name an output, or the path the
  // program was started by: nothing is said; otherwise what differs is.
  const struct {
    const char *base, *next, *said;
  } arguments[] = {
      {"demo --size 100000 --export base", "build/demo --size 100000 --export new", ""},
      {"demo -o a.json --threads 4", "demo -o b.json --threads 4", ""},
      {"demo --size 100000 --export=base", "demo --size 150000 --export=new",
       "timetree: warning: the runs differ in arguments (\"--size 100000\" in a.json, \"--size "
       "150000\" in b.json): the program was run with other inputs or settings\n"},
      {"solver mesh-a.dat", "solver mesh-b.dat",
       "timetree: warning: the runs differ in arguments (\"mesh-a.dat\" in a.json, "
       "\"mesh-b.dat\" in b.json): the program was run with other inputs or settings\n"},
  };
  const std::string dir = Temp("args");
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  for (const auto& c : arguments) {
    for (const auto& [file, args] : {std::pair{"a.json", c.base}, std::pair{"b.json", c.next}}) {
      std::ofstream(dir + "/" + file)
          << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
             "\"total_seconds\": 1, \"self_seconds\": 1, \"stopped_implicitly\": false, "
             "\"running\": false, \"children\": []}], \"metadata\": {\"arguments\": \""
          << args << "\"}}";
    }
    const std::string command = "cd '" + dir + "' && '" TIMETREE_TOOL "' diff a.json b.json "
                                ">/dev/null 2> err";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(Read(dir + "/err"), c.said) << c.base;
  }
  ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
  const std::string merged = Temp("merged-meta.json");
  ASSERT_EQ(Tool("merge meta_a.json meta_b.json -o '" + merged + "'").status, 0);
  const std::string text = Read(merged);
  EXPECT_NE(text.find("], \"metadata\": {\"arguments\": \"solver mesh.dat\", \"clock\": \"tsc\", "
                      "\"cpu\": \"Example CPU\", \"os\": \"6.1.0\", \"program\": \"solver\", "
                      "\"threads\": \"1\", \"timetree_version\": \"1.2.0\"}, \"source_metadata\": "
                      "[{\"arguments\": \"solver mesh.dat\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"git_commit\": \"bbb222\""), std::string::npos);
  std::remove(merged.c_str());
}

// A run whose names each format must escape: a quote and markup, and ";"
// with a byte that is not UTF-8.
void WriteHostileRun(const std::string& path) {
  std::ofstream(path) << "{\"schema\": 2, \"timers\": [{\"name\": \"q\\\"uote <b>\", \"count\": 2, "
                         "\"total_seconds\": 3, \"self_seconds\": 1, \"stopped_implicitly\": false, "
                         "\"running\": false, \"children\": [{\"name\": \"a;b \xff\", \"count\": 1, "
                         "\"total_seconds\": 2, \"self_seconds\": 2, \"stopped_implicitly\": false, "
                         "\"running\": false, \"children\": []}]}]}";
}

// Each format of convert, checked against its documented schema, with names
// that each format must escape (in benchmark, ";" is the path's separator,
// written as %3B in a name), and a combined file.
TEST(Tools, ConvertWritesEachFormatWithItsNamesEscaped) {
  const std::string run = Temp("hostile-convert.json");
  WriteHostileRun(run);
  const std::string out = Temp("converted.json");
  for (const char* to : {"hatchet", "caliper-json-split", "speedscope"}) {
    for (const std::string& file : {run, std::string(TIMETREE_TEST_DATA "/merged.json")}) {
      ASSERT_EQ(Tool("convert '" + file + "' --to " + to + " -o '" + out + "'").status, 0) << to;
      const bool hostile = file == run;
      const std::string names = hostile ? " 'q\"uote <b>' 'a;b \\ufffd'" : " main solve";
      EXPECT_EQ(std::system(("python3 '" TIMETREE_TEST_DATA "/check_convert.py' " + std::string(to) +
                             " '" + out + "'" + names)
                                .c_str()),
                0)
          << to << " " << file;
    }
  }
  ASSERT_EQ(Tool("convert '" + run + "' --to benchmark -o '" + out + "'").status, 0);
  EXPECT_EQ(std::system(("python3 '" TIMETREE_TEST_DATA "/check_convert.py' benchmark '" + out +
                         "' 'q\"uote <b>' 'a%3Bb \\ufffd'")
                            .c_str()),
            0);
  // Names that the folded form writes alike keep series of their own, and
  // a budget line that would judge both is refused.
  std::ofstream(run) << timetree_test_json::Run({{"a b", 1}, {"a_b", 2}, {"x;y", 3}, {"x:y", 4}});
  EXPECT_EQ(Tool("convert '" + run + "' --to benchmark -o -").out,
            "[\n{\"name\": \"a b\", \"unit\": \"s\", \"value\": 1, \"extra\": \"count 1\"},\n"
            "{\"name\": \"a_b\", \"unit\": \"s\", \"value\": 2, \"extra\": \"count 1\"},\n"
            "{\"name\": \"x%3By\", \"unit\": \"s\", \"value\": 3, \"extra\": \"count 1\"},\n"
            "{\"name\": \"x:y\", \"unit\": \"s\", \"value\": 4, \"extra\": \"count 1\"}\n]\n");
  const std::string budget = Temp("alike.txt");
  std::ofstream(budget) << "a_b 5\n";
  const Result r = Tool("check '" + run + "' --budget '" + budget + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "timetree: " + budget + ":1: \"a_b\" names 2 paths in " + run +
                       " (names that differ only in blanks, control characters or \";\" fold "
                       "alike): one limit cannot judge them\n");
  std::remove(budget.c_str());
  // Standard output with -o -; a run that cannot be read is trouble.
  EXPECT_EQ(Tool("convert merged.json --to benchmark -o -").out.rfind("[\n{\"name\": \"main\", \"unit\": \"s\", \"value\": 1.25, \"range\": \"\u00b1 0.25\", \"extra\": \"count 2\"},\n", 0), 0u);
  EXPECT_EQ(Tool("convert missing.json --to hatchet -o -").status, 2);
  std::remove(run.c_str());
  std::remove(out.c_str());
}

// The pprof format, read by the real pprof: self as flat, total as cum, as
// show gives them, and names as they were.
TEST(Tools, PprofReadsTheConvertedRunAsShowGivesIt) {
  if (std::system("command -v go >/dev/null 2>&1") != 0) GTEST_SKIP() << "no go (golang-go)";
  const std::string out = Temp("base.pb.gz");
  ASSERT_EQ(Tool("convert base.json --to pprof -o '" + out + "'").status, 0);
  const std::string top = Temp("top.txt");
  const std::string go = "HOME='" + Temp("gohome") + "' GOCACHE='" + Temp("gocache") +
                         "' go tool pprof -top '";
  ASSERT_EQ(std::system((go + out + "' > '" + top + "' 2>/dev/null").c_str()), 0);
  const std::string text = Read(top);
  EXPECT_NE(text.find("     500ms 50.00% 50.00%      500ms 50.00%  solve\n"
                      "     250ms 25.00% 75.00%      250ms 25.00%  parse\n"
                      "     200ms 20.00% 95.00%     1000ms   100%  main\n"
                      "      50ms  5.00%   100%       50ms  5.00%  setup\n"),
            std::string::npos)
      << text;
  // Names that other formats must escape pass as they are (as UTF-8).
  const std::string run = Temp("hostile-pprof.json");
  WriteHostileRun(run);
  // (-top shortens what looks like a template's arguments; -raw shows the
  // whole name.)
  ASSERT_EQ(Tool("convert '" + run + "' --to pprof -o '" + out + "'").status, 0);
  const std::string raw = "HOME='" + Temp("gohome") + "' GOCACHE='" + Temp("gocache") +
                          "' go tool pprof -raw '";
  ASSERT_EQ(std::system((raw + out + "' > '" + top + "' 2>/dev/null").c_str()), 0);
  EXPECT_NE(Read(top).find(" a;b \xef\xbf\xbd :0"), std::string::npos) << Read(top);
  EXPECT_NE(Read(top).find("(q\"uote <b>)"), std::string::npos) << Read(top);
  for (const std::string& f : {out, top, run}) std::remove(f.c_str());
  ASSERT_EQ(std::system(("rm -rf '" + Temp("gohome") + "' '" + Temp("gocache") + "'").c_str()), 0);
}

// Several runs a side: the gate judges medians with a Mann-Whitney test,
// refuses a number of runs with which it could never fail, and diff gives
// medians and p-values.
TEST(Tools, RepeatedRunsAreJudgedByMediansAndATest) {
  std::vector<std::string> base, slow;
  auto write = [](const std::string& path, double main_seconds) {
    std::ofstream(path) << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
                           "\"total_seconds\": " << main_seconds << ", \"self_seconds\": "
                        << main_seconds << ", \"stopped_implicitly\": false, \"running\": false, "
                           "\"children\": []}]}";
  };
  for (int i = 0; i < 5; ++i) {
    base.push_back(Temp("base" + std::to_string(i) + ".json"));
    slow.push_back(Temp("slow" + std::to_string(i) + ".json"));
    write(base.back(), 1.0 + 0.01 * i);
    write(slow.back(), 1.3 + 0.01 * i);
  }
  auto join = [](const std::vector<std::string>& files, size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += " '" + files[i] + "'";
    return text;
  };
  // Slower by 30% in every run: the test's p-value is 2/252.
  Result r = Tool("check" + join(slow, 5) + " --against" + join(base, 5) + " --max-regression 10");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "regression: main median 1.02 s -> 1.32 s (+29.4%) > +10%, p = 0.00794\n"
            "check failed: 1 of 1 limits exceeded\n");
  // The same runs on both sides pass; so does a regression within the limit.
  EXPECT_EQ(Tool("check" + join(base, 5) + " --against" + join(base, 5) + " --max-regression 10")
                .status,
            0);
  EXPECT_EQ(Tool("check" + join(slow, 5) + " --against" + join(base, 5) + " --max-regression 40")
                .status,
            0);
  // Three a side can never reach p < 0.05: trouble, not a pass.
  r = Tool("check" + join(slow, 3) + " --against" + join(base, 3) + " --max-regression 10");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("with 3 base runs and 3 runs the test's p-value is never below 0.05"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Tool("diff --base" + join(base, 5) + " --new" + join(slow, 5)).out,
            "NAME    BASE     NEW   CHANGE       %        P\n"
            "main  1.02 s  1.32 s  +300 ms  +29.4%  0.00794\n"
            "BASE and NEW: medians over 5 and 5 runs; P: two-sided Mann-Whitney test (three or "
            "more runs a side)\n");
  for (const auto& f : base) std::remove(f.c_str());
  for (const auto& f : slow) std::remove(f.c_str());
}

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

TEST(Tools, TimesHaveAUnitPerValueAndColumnsFitTheirValues) {
  EXPECT_EQ(Tool("show units.json").out,
            "units.json: 8 timers, 98765 s in all\n"
            "NAME            COUNT    TOTAL     SELF  PER START   SHARE\n"
            "whole run   123456789  98765 s  98753 s     800 \u00b5s  100.0%\n"
            "  one ns            1  1.00 ns  1.00 ns    1.00 ns    0.0%\n"
            "  999 ns            1   999 ns   999 ns     999 ns    0.0%\n"
            "  999.7 ns          1  1.00 \u00b5s  1.00 \u00b5s    1.00 \u00b5s    0.0%\n"
            "  one us            1  1.00 \u00b5s  1.00 \u00b5s    1.00 \u00b5s    0.0%\n"
            "  1.5 ms            1  1.50 ms  1.50 ms    1.50 ms    0.0%\n"
            "  12 s              2   12.0 s   12.0 s     6.00 s    0.0%\n"
            "  zero              1      0 s      0 s        0 s    0.0%\n");
  EXPECT_EQ(Tool("show units.json --seconds --sort count").out,
            "units.json: 8 timers, 98765.000000 s in all\n"
            "NAME            COUNT        TOTAL s         SELF s    PER START s   SHARE\n"
            "whole run   123456789   98765.000000   98752.998497       0.000800  100.0%\n"
            "  12 s              2      12.000000      12.000000       6.000000    0.0%\n"
            "  one ns            1  0.00000000100  0.00000000100  0.00000000100    0.0%\n"
            "  999 ns            1    0.000000999    0.000000999    0.000000999    0.0%\n"
            "  999.7 ns          1     0.00000100     0.00000100     0.00000100    0.0%\n"
            "  one us            1     0.00000100     0.00000100     0.00000100    0.0%\n"
            "  1.5 ms            1       0.001500       0.001500       0.001500    0.0%\n"
            "  zero              1       0.000000       0.000000       0.000000    0.0%\n");
}

// Zero and equal figures: a path grown from 0 is an infinite change and a
// regression, an unchanged one neither, a path that fell to 0 is -100%; a
// combined path whose mean is 0 has an imbalance of 1; a limit exactly met
// holds; the names-merged mark survives a merge.
TEST(Tools, ZeroAndEqualFigures) {
  const std::string base = Temp("zero-base.json"), next = Temp("zero-new.json"),
                    merged = Temp("zero-merged.json");
  auto run = [](const std::string& path, double a, double b, double c) {
    std::ofstream(path) << timetree_test_json::Run({{"a", a}, {"b", b}, {"c", c}});
  };
  run(base, 0, 1, 1);
  run(next, 1, 1, 0);
  Result r = Tool("diff " + base + " " + next + " --paths");
  EXPECT_EQ(r.out,
            "PATH    BASE     NEW   CHANGE        %\n"
            "a        0 s  1.00 s  +1.00 s    +inf%\n"
            "b     1.00 s  1.00 s      0 s    +0.0%\n"
            "c     1.00 s     0 s  -1.00 s  -100.0%\n");
  r = Tool("check " + next + " --against " + base + " --max-regression 0");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "regression: a 0 s -> 1.00 s (+inf%) > +0%\ncheck failed: 1 of 3 limits exceeded\n");
  ASSERT_EQ(Tool("merge " + base + " " + base + " -o " + merged).status, 0);
  r = Tool("show " + merged);
  EXPECT_NE(r.out.find("\na           2      2     0 s        0 s     0 s      0     0 s      0"
                       "     0 s       1.00   0.0%  names merged\n"),
            std::string::npos)
      << r.out;
  r = Tool("check base.json --budget exact.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "check passed: 2 limits hold\n");
  for (const auto& f : {base, next, merged}) std::remove(f.c_str());
}

TEST(Tools, ShowOfACombinedFileGivesWhereMinAndMaxComeFrom) {
  const Result r = Tool("show merged.json");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "merged.json: 5 timers, 1.25 s in all (mean over the sources of each path), "
            "2 sources\n"
            "NAME         SOURCES  COUNT     MEAN  PER START      MIN  (src)      MAX  (src)"
            "   STDDEV  IMBALANCE   SHARE\n"
            "main               2      2   1.25 s     1.25 s   1.00 s      0   1.50 s      1"
            "   250 ms       1.20  100.0%\n"
            "  parse            2      4   188 ms    93.8 ms   125 ms      1   250 ms      0"
            "  62.5 ms       1.33   15.0%\n"
            "  solve            2      2   750 ms     750 ms   500 ms      0   1.00 s      1"
            "   250 ms       1.33   60.0%\n"
            "  setup ?          1      1  50.0 ms    50.0 ms  50.0 ms      0  50.0 ms      0"
            "      0 s       1.00    4.0%\n"
            "  write out        1      4  50.0 ms    12.5 ms  50.0 ms      1  50.0 ms      1"
            "      0 s       1.00    4.0%\n"
            "(src): the source (file or rank, counted from 0) of the least and the greatest "
            "total; STDDEV: of the sources' totals; IMBALANCE: MAX / MEAN; ?: stopped "
            "implicitly\n");
}

TEST(Tools, DiffShowsTheTreeAndMarksNewAndGone) {
  const std::string head = "NAME            BASE      NEW    CHANGE        %\n";
  const std::string main_row = "main          1.00 s   1.50 s   +500 ms   +50.0%\n";
  const std::string parse = "  parse       250 ms   125 ms   -125 ms   -50.0%\n";
  const std::string solve = "  solve       500 ms   1.00 s   +500 ms  +100.0%\n";
  const std::string setup = "  setup      50.0 ms        -  -50.0 ms     gone\n";
  const std::string write_out = "  write out        -  50.0 ms  +50.0 ms      new\n";
  // A timing diff nearly always differs: exit 0 unless asked.
  Result r = Tool("diff base.json new.json");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, head + main_row + parse + solve + setup + write_out);
  EXPECT_EQ(Tool("diff base.json new.json --exit-code").status, 1);
  EXPECT_EQ(Tool("diff base.json base.json --exit-code").status, 0);
  // Largest change first, by whole path; equal changes keep tree order.
  EXPECT_EQ(Tool("diff base.json new.json --sort change --threshold 60").out,
            "PATH               BASE      NEW    CHANGE        %\n"
            "main;solve       500 ms   1.00 s   +500 ms  +100.0%\n"
            "main;setup      50.0 ms        -  -50.0 ms     gone\n"
            "main;write_out        -  50.0 ms  +50.0 ms      new\n");
  // Rows below 0.2 s in both runs are hidden.
  EXPECT_EQ(Tool("diff base.json new.json --min-seconds 0.2 --paths --seconds").out,
            "PATH          BASE s     NEW s   CHANGE s        %\n"
            "main        1.000000  1.500000  +0.500000   +50.0%\n"
            "main;parse  0.250000  0.125000  -0.125000   -50.0%\n"
            "main;solve  0.500000  1.000000  +0.500000  +100.0%\n");
}

TEST(Tools, CheckGatesOnBudgetAndRegression) {
  Result r = Tool("check new.json --budget budget.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "over budget: main 1.50 s > 1.20 s\n"
            "over budget: main;solve 1.00 s > 800 ms\n"
            "check failed: 2 of 3 limits exceeded\n");
  r = Tool("check base.json --against base.json --max-regression 0");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "check passed: 4 limits hold\n") << "a path exactly at its limit holds";

  // Paths in one run only do not fail the gate but are listed after it.
  r = Tool("check new.json --against base.json --max-regression 60 --seconds");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "regression: main;solve 0.500000 s -> 1.000000 s (+100.0%) > +60%\n"
            "check failed: 1 of 3 limits exceeded\n"
            "gone from the base: main;setup\n"
            "new in the run: main;write_out\n");
  // Paths below 1.1 s in both runs are noise: only main still counts; a
  // check that judges nothing at all is trouble.
  r = Tool("check new.json --against base.json --max-regression 60 --min-seconds 1.1");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "check passed: 1 limits hold\n");
  r = Tool("check new.json --against base.json --max-regression 60 --min-seconds 2");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "timetree: check judged no limit: every path in both runs is below "
                   "--min-seconds\n");
  EXPECT_EQ(Tool("check new.json").status, 2);
}

TEST(Tools, MergeWritesTheCombinedFormatAndIsAssociative) {
  const std::string ab = Temp("ab.json"), abc = Temp("abc.json"), bc = Temp("bc.json"),
                    ab_c = Temp("ab_c.json"), a_bc = Temp("a_bc.json");
  ASSERT_EQ(Tool("merge base.json new.json -o " + ab).status, 0);
  EXPECT_EQ(Read(ab), Read(TIMETREE_TEST_DATA "/merged.json"));
  // Combining combined files is combining their sources at once.
  ASSERT_EQ(Tool("merge base.json new.json old.json -o " + abc).status, 0);
  ASSERT_EQ(Tool("merge " + ab + " old.json -o " + ab_c).status, 0);
  ASSERT_EQ(Tool("merge new.json old.json -o " + bc).status, 0);
  ASSERT_EQ(Tool("merge base.json " + bc + " -o " + a_bc).status, 0);
  EXPECT_EQ(Read(ab_c), Read(abc));
  EXPECT_EQ(Read(a_bc), Read(abc));
  for (const auto& f : {ab, abc, bc, ab_c, a_bc}) std::remove(f.c_str());
}

TEST(Tools, FoldedAndDifferentialFlameGraph) {
  EXPECT_EQ(Tool("folded new.json").out,
            "main 325000\nmain;parse 125000\nmain;solve 1000000\nmain;write_out 50000\n");
  const std::string svg = Temp("diff.svg"), report = Temp("colours.txt");
  ASSERT_EQ(Tool("flame --diff base.json new.json -o " + svg).status, 0);
  // A real XML parser reads it; the slower box is red, the faster blue,
  // the new one red.
  const std::string command =
      "python3 -c 'import sys, xml.etree.ElementTree as E\n"
      "n = \"{http://www.w3.org/2000/svg}\"\n"
      "for g in E.parse(sys.argv[1]).getroot().iter(n + \"g\"):\n"
      "  print(g.find(n + \"title\").text.split(chr(10))[0], g.find(n + \"rect\").get(\"fill\"))' '" +
      svg + "' > '" + report + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Read(report),
            "main rgb(255,125,125)\n"
            "parse rgb(125,125,255)\n"
            "solve rgb(255,40,40)\n"
            "write out rgb(255,40,40)\n");
  std::remove(svg.c_str());
  std::remove(report.c_str());
}

// Output that cannot be written, a directory as input and a negative
// figure are each trouble, said in one short line, for every subcommand.
TEST(Tools, OutputFailuresAndBadOptionsAreTrouble) {
  const std::string err = Temp("err");
  for (const char* args : {"show base.json", "diff base.json new.json", "folded base.json",
                           "check new.json --budget budget.txt", "--help", "show --help"}) {
    const std::string command = "cd '" TIMETREE_TEST_DATA "' && '" TIMETREE_TOOL "' " +
                                std::string(args) + " > /dev/full 2> '" + err + "'";
    const int status = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 2) << args;
    EXPECT_EQ(Read(err), "timetree: cannot write standard output: No space left on device\n")
        << args;
  }
  // A closed pipe ends the command quietly, as it ends 'git log | head'.
  const std::string big = Temp("big.json"), status = Temp("status");
  {
    std::ofstream out(big);
    out << "{\"schema\": 2, \"timers\": [";
    for (int i = 0; i < 5000; ++i) {
      out << (i == 0 ? "" : ", ") << "{\"name\": \"t" << i << "\", \"count\": 1, "
          << "\"total_seconds\": 1, \"self_seconds\": 1, \"stopped_implicitly\": false, "
          << "\"running\": false, \"children\": []}";
    }
    out << "]}";
  }
  const std::string piped = "( '" TIMETREE_TOOL "' show '" + big + "' 2> '" + err +
                            "'; echo $? > '" + status + "' ) | head -c 1 > /dev/null";
  ASSERT_EQ(std::system(piped.c_str()), 0);
  EXPECT_EQ(Read(status), "141\n");
  EXPECT_EQ(Read(err), "");
  for (const auto& f : {err, big, status}) std::remove(f.c_str());
  Result r = Tool("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("timetree 1.", 0), 0u) << r.out;
  // A bad command line is trouble, not the argument library's own codes.
  for (const char* args : {"", "show", "frobnicate x.json", "show base.json --sort size",
                           "diff base.json", "check new.json --against base.json"}) {
    EXPECT_EQ(Tool(args).status, 2) << args;
  }
  r = Tool("show .");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "timetree: .: is a directory\n");
  // Each file problem names its cause.
  EXPECT_EQ(Tool("html base.json -o .").err, "timetree: .: is a directory\n");
  EXPECT_EQ(Tool("merge base.json -o /nonexistent/m.json").err,
            "timetree: /nonexistent/m.json: cannot be written: its folder does not exist\n");
  EXPECT_EQ(Tool("merge base.json -o /dev/full").err,
            "timetree: /dev/full: cannot be written: the disk is full\n");
  // A misspelt subcommand or option, with what was probably meant.
  for (const auto& [args, said] : {
           std::pair{"shwo base.json", "'shwo' is not a subcommand; did you mean 'show'?"},
           std::pair{"frobnicate x", "'frobnicate' is not a subcommand; 'timetree --help' lists them"},
           std::pair{"show base.json --sortt name",
                     "'--sortt' is not an option of show; did you mean '--sort'?"},
           std::pair{"diff base.json new.json --treshold=5",
                     "'--treshold' is not an option of diff; did you mean '--threshold'?"}}) {
    r = Tool(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.err, std::string("timetree: ") + said + "\n");
  }
  EXPECT_EQ(Tool("check new.json --budget .").err, "timetree: .: is a directory\n");
  for (const char* args : {"show base.json --min-share -1", "diff base.json new.json --threshold -1",
                           "show base.json --depth 0"}) {
    r = Tool(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_LT(r.err.size(), 120u) << r.err;
  }
}

// The page holds names as data: none can end its script element or open
// markup, however it spells the closing tag.
TEST(Tools, PageKeepsHostileNamesAsData) {
  const std::string run = Temp("hostile.json"), page = Temp("hostile.html"),
                    plain = Temp("plain.html");
  std::ofstream(run) << "{\"schema\": 2, \"timers\": [{\"name\": \"</script ><img src=x>\", "
                        "\"count\": 1, \"total_seconds\": 1, \"self_seconds\": 1, "
                        "\"stopped_implicitly\": false, \"running\": false, \"children\": "
                        "[{\"name\": \"</SCRIPT/x><!--\", \"count\": 1, \"total_seconds\": 0, "
                        "\"self_seconds\": 0, \"stopped_implicitly\": false, \"running\": false, "
                        "\"children\": []}]}]}";
  ASSERT_EQ(Tool("html " + run + " -o " + page).status, 0);
  ASSERT_EQ(Tool("html base.json -o " + plain).status, 0);
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) ++n;
    return n;
  };
  const std::string hostile = Read(page);
  EXPECT_EQ(count(hostile, "</"), count(Read(plain), "</"));
  EXPECT_EQ(count(hostile, "<img"), 0u);
  EXPECT_EQ(count(hostile, "<!--"), count(Read(plain), "<!--"));
  for (const auto& f : {run, page, plain}) std::remove(f.c_str());
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' runtimes are slow and keep memory of their own (shadow,
// quarantine): a smaller file, and no bound on memory.
constexpr int kDeep = 20000;
constexpr bool kBoundMemory = false;
#else
constexpr int kDeep = 100000;
constexpr bool kBoundMemory = true;
#endif

// A file as deep as the library writes goes through every subcommand in
// memory that grows with the file, not with the square of its depth (which
// took 1.4 GB at 10,000 levels), and show's indentation stops at 90 columns.
TEST(Tools, DeepFilesTakeMemoryInProportionToTheirSize) {
  const std::string deep = Temp("deep.json"), merged = Temp("deep-merged.json"),
                    svg = Temp("deep.svg"), page = Temp("deep.html");
  {
    std::ofstream out(deep);
    out << "{\"schema\": 2, \"timers\": [";
    for (int i = 0; i < kDeep; ++i) {
      out << "{\"name\": \"level" << i << "\", \"count\": 1, \"total_seconds\": "
          << (kDeep - i) << ", \"self_seconds\": 1, \"stopped_implicitly\": false, "
          << "\"running\": false, \"children\": [";
    }
    for (int i = 0; i < kDeep; ++i) out << "]}";
    out << "]}\n";
  }
  for (const std::string& args :
       {"show " + deep, "diff " + deep + " " + deep, "check " + deep + " --against " + deep +
        " --max-regression 0", "merge " + deep + " " + deep + " -o " + merged,
        "show " + merged, "diff " + merged + " " + deep, "flame " + deep + " -o " + svg,
        "html " + merged + " -o " + page, "convert " + deep + " --to pprof -o " + svg}) {
    const Result r = Tool(args);
    EXPECT_EQ(r.status, 0) << args << ": " << r.err;
    if (args.rfind("show " + deep, 0) == 0) {
      const size_t last = r.out.rfind("\n", r.out.size() - 2);
      EXPECT_EQ(r.out.substr(last + 1, 96), std::string(90, ' ') + "level" +
                                                 std::to_string(kDeep - 1).substr(0, 1));
    }
  }
  struct rusage usage;
  getrusage(RUSAGE_CHILDREN, &usage);
  const long file_kb = static_cast<long>(Read(merged).size() / 1024);
  if (kBoundMemory) {
    EXPECT_LT(usage.ru_maxrss, 12 * file_kb + 64 * 1024) << "KB at most, for " << file_kb << " KB";
  }
  for (const auto& f : {deep, merged, svg, page}) std::remove(f.c_str());
}

// merge never writes a file that its own reader refuses: sums past what a
// file may hold are trouble, naming the path, and nothing is written.
TEST(Tools, MergeThatWouldOverflowWritesNothing) {
  const std::string a = Temp("huge-a.json"), b = Temp("huge-b.json"), out = Temp("huge.json");
  for (const auto& [path, total] : {std::pair{a, "6e14"}, std::pair{b, "7e14"}}) {
    std::ofstream(path) << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
                           "\"total_seconds\": 1, \"self_seconds\": 1, \"stopped_implicitly\": "
                           "false, \"running\": false, \"children\": [{\"name\": \"big\", "
                           "\"count\": 1, \"total_seconds\": "
                        << total << ", \"self_seconds\": 1, \"stopped_implicitly\": false, "
                        << "\"running\": false, \"children\": []}]}]}";
  }
  const Result r = Tool("merge " + a + " " + b + " -o " + out);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "timetree: merge: the sum of the total seconds of \"main;big\" is more than "
                   "1e15 seconds, more than a file may hold; nothing written\n");
  EXPECT_FALSE(std::ifstream(out).good());
  for (const auto& f : {a, b}) std::remove(f.c_str());
}

// Each bad input: exit 2, and one line on stderr naming the file and the
// problem.
TEST(Tools, BadInputIsOneClearLineAndExitTwo) {
  const std::string dir = Temp("bad");
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  const struct {
    const char* file;
    const char* content;
    const char* command;
    const char* error;
  } cases[] = {
      {"missing.json", nullptr, "show", "missing.json: does not exist"},
      {"text.json", "timings: none", "show", "text.json: not JSON: parse error at line 1"},
      {"array.json", "[1, 2]", "show", "array.json: not a timetree run: not a JSON object"},
      {"noschema.json", "{\"timers\": []}", "show", "noschema.json: not a timetree run"},
      {"future.json", "{\"schema\": 9, \"timers\": []}", "show",
       "future.json: schema 9 is newer than this tool reads (2)"},
      {"noname.json", "{\"schema\": 2, \"timers\": [{\"count\": 1}]}", "show",
       "noname.json: timers[0]: no \"name\""},
      {"negative.json",
       "{\"schema\": 2, \"timers\": [{\"name\": \"a\", \"count\": 1, \"total_seconds\": -1,"
       " \"self_seconds\": 0, \"stopped_implicitly\": false, \"running\": false, "
       "\"children\": []}]}",
       "show", "negative.json: timers[0].total_seconds: negative or not finite"},
      {"word.json",
       "{\"schema\": 2, \"timers\": [{\"name\": \"a\", \"count\": \"many\"}]}", "folded",
       "word.json: timers[0].count: not a whole number"},
      {"source.json",
       "{\"schema\": 2, \"combined\": true, \"sources\": 1, \"timers\": [{\"name\": \"a\", "
       "\"sources\": 1, \"count\": {\"sum\": 1, \"min\": 1, \"max\": 1}, \"total_seconds\": "
       "{\"sum\": 1, \"mean\": 1, \"min\": 1, \"max\": 1, \"min_source\": 0, \"max_source\": "
       "3}}]}",
       "show", "source.json: timers[0].total_seconds: source index past the file's sources"},
      {"spread.json",
       "{\"schema\": 2, \"timers\": [{\"name\": \"a\", \"count\": 2, \"total_seconds\": 1,"
       " \"self_seconds\": 1, \"stopped_implicitly\": false, \"running\": false, \"threads\": 2,"
       " \"min_seconds\": 0.2, \"max_seconds\": 0.3, \"children\": []}]}",
       "show", "spread.json: timers[0].threads: threads' least and greatest do not fit the total"},
      {"budget.txt", "main 1\nmain;solve fast\n", "check new.json --budget",
       "budget.txt:2: \"fast\" is not a number of seconds (0 or more)"},
      // A gate cannot pass by mistake: limits for paths that are not in the
      // run, no limits at all, or a base run with nothing in common.
      {"typo.txt", "main 5\n# the solver\nmian 0.001\n", "check new.json --budget",
       "typo.txt:3: no path \"mian\" in new.json (did you mean \"main\"?)"},
      {"spaces.txt", "main solve 1\n", "check new.json --budget",
       "spaces.txt:1: no path \"main solve\" in new.json (did you mean \"main;solve\"?)"},
      {"far.txt", "main;zzz 1\n", "check new.json --budget", "far.txt:1: no path \"main;zzz\" in "
       "new.json\n"},
      {"empty.txt", "# nothing yet\n\n", "check new.json --budget", "empty.txt: no limits in the file"},
      {"other.json",
       "{\"schema\": 2, \"timers\": [{\"name\": \"other\", \"count\": 1, \"total_seconds\": 1,"
       " \"self_seconds\": 1, \"stopped_implicitly\": false, \"running\": false, "
       "\"children\": []}]}",
       "check new.json --max-regression 10 --against",
       "other.json and new.json have no path in common: nothing to compare"},
      // A combined node that cannot be right: its sum below its max.
      {"impossible.json",
       "{\"schema\": 2, \"combined\": true, \"sources\": 2, \"timers\": [{\"name\": \"a\", "
       "\"sources\": 2, \"count\": {\"sum\": 2, \"min\": 1, \"max\": 1}, \"total_seconds\": "
       "{\"sum\": 1, \"mean\": 0.5, \"min\": 0.1, \"max\": 15, \"min_source\": 0, "
       "\"max_source\": 1}}]}",
       "show", "impossible.json: timers[0].total_seconds: sum below max"},
      // Timelines and runs told apart; a cut timeline.
      {"cut.json", "{\"traceEvents\": [{\"ph\": \"X\"", "trace",
       "cut.json: not JSON (at byte 28): parse error at line 1, column 28"},
      {"run.json", "{\"schema\": 2, \"timers\": []}", "trace",
       "run.json: not a timeline (no \"traceEvents\"): read a run with 'timetree show'"},
      {"timeline.json", "[{\"ph\": \"X\", \"name\": \"a\", \"ts\": 0, \"dur\": 1}]", "show",
       "timeline.json: a timeline, not a run: read it with 'timetree trace' or 'timetree html'"},
      // Figures that cannot be: a timer's own time above its total, a time
      // past any run's, a timeline's negative or non-numeric figures.
      {"selfish.json",
       "{\"schema\": 2, \"timers\": [{\"name\": \"a\", \"count\": 1, \"total_seconds\": 1,"
       " \"self_seconds\": 2, \"stopped_implicitly\": false, \"running\": false, "
       "\"children\": []}]}",
       "show", "selfish.json: timers[0].self_seconds: above total_seconds"},
      {"huge.json",
       "{\"schema\": 2, \"timers\": [{\"name\": \"a\", \"count\": 1, \"total_seconds\": 1e300,"
       " \"self_seconds\": 0, \"stopped_implicitly\": false, \"running\": false, "
       "\"children\": []}]}",
       "show", "huge.json: timers[0].total_seconds: more than 1e15 seconds (32 million years): "
       "not a time"},
      {"negdur.json", "[{\"ph\": \"X\", \"name\": \"a\", \"ts\": 0, \"dur\": -1, \"pid\": 1}]",
       "trace", "negdur.json: [0].dur: negative"},
      {"textts.json",
       "{\"traceEvents\": [{\"ph\": \"M\"}, {\"ph\": \"X\", \"name\": \"a\", \"ts\": \"0\"}]}",
       "trace", "textts.json: traceEvents[1].ts: not a number"},
      {"negpid.json", "[{\"ph\": \"X\", \"name\": \"a\", \"ts\": 0, \"dur\": 1, \"pid\": -3}]",
       "html -o /dev/null", "negpid.json: [0].pid: negative"},
      {"nodur.json", "[{\"ph\": \"X\", \"name\": \"a\", \"ts\": 0, \"pid\": 1}]", "trace",
       "nodur.json: [0].dur: missing from a complete event"},
      // Files that are not runs: said what they are and what reads them.
      {"empty.json", "\n", "show",
       "empty.json: an empty file, with no run in it: timetree reads the JSON that TimeWriteJson "
       "(or TIMETREE_OUTPUT=json:PATH) writes"},
      {"report.txt",
       "\nLABEL                          |  COUNT |             TOTAL |           AVERAGE\n"
       "main                           |      1 |          0.500000 |          0.500000\n",
       "show", "report.txt: the text report of TimePrint or TimePrintIndented, not a run"},
      {"stacks.folded", "main 100\nmain;solve_it 30\n", "diff base.json",
       "stacks.folded: folded stacks (TimeWriteFolded), not a run: flamegraph.pl and speedscope "
       "read them"},
      {"run.pb.gz", "\x1f\x8b\x08\x00", "show",
       "run.pb.gz: a gzip-compressed file (a pprof profile?), not a run: 'go tool pprof' reads a "
       "profile"},
      {"mean.json",
       "{\"schema\": 2, \"combined\": true, \"sources\": 2, \"timers\": [{\"name\": \"a\", "
       "\"sources\": 2, \"count\": {\"sum\": 2, \"min\": 1, \"max\": 1}, \"total_seconds\": "
       "{\"sum\": 3, \"mean\": 1.5, \"min\": 2, \"max\": 2.5, \"min_source\": 0, "
       "\"max_source\": 1}}]}",
       "show", "mean.json: timers[0].total_seconds: mean outside min to max"},
  };
  for (const auto& c : cases) {
    const std::string path = dir + "/" + c.file;
    if (c.content != nullptr) std::ofstream(path) << c.content;
    const Result r = Tool(std::string(c.command) + " '" + path + "'");
    EXPECT_EQ(r.status, 2) << c.file;
    EXPECT_EQ(r.out, "") << c.file;
    EXPECT_EQ(r.err.rfind("timetree: " + path.substr(0, 0) + dir + "/" + c.error, 0), 0u)
        << c.file << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.file << ": one line";
    std::remove(path.c_str());
  }
  std::system(("rmdir '" + dir + "'").c_str());
}

}  // namespace
