// Timetree show.
#include <sstream>

#include "tools/lib/series.h"
#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

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
  EXPECT_EQ(Tool("show base.json --sort name").out.substr(153),
            "  parse        2   250 ms   250 ms     125 ms   25.0%\n"
            "  setup ?      1  50.0 ms  50.0 ms    50.0 ms    5.0%\n"
            "  solve        1   500 ms   500 ms     500 ms   50.0%\n");
  EXPECT_EQ(Tool("show base.json --sort name --depth 1").out,
            "base.json: 4 timers, 1.00 s in all, 1 thread\n"
            "NAME  COUNT   TOTAL    SELF  PER START   SHARE\n"
            "main      1  1.00 s  200 ms     1.00 s  100.0%\n");
}

// Files of 1.4 and later: each timer's shortest and longest interval, the
// bytes its calls moved, the throttled mark; merged, the longest interval
// of any source and which source it was.
TEST(Tools, ShowGivesIntervalExtremesBytesAndMarks) {
  EXPECT_EQ(Tool("show extremes.json").out,
            "extremes.json: 3 timers, 1.00 s in all\n"
            "NAME              COUNT   TOTAL    SELF  PER START  SHORTEST  LONGEST  BYTES   SHARE\n"
            "main                  1  1.00 s  100 ms     1.00 s    1.00 s   1.00 s      -  100.0%\n"
            "  MPI_Allreduce       4  500 ms  500 ms     125 ms   10.0 ms   470 ms   32 B   50.0%\n"
            "  get            100000  400 ms  400 ms    4.00 \u00b5s   2.00 \u00b5s  30.0 \u00b5s      -   40.0%"
            "  throttled\n");
  // A file without them (base.json) has none to give: "-" in its rows.
  const std::string merged = Temp("extremes-merged.json");
  ASSERT_EQ(Tool("merge extremes.json base.json extremes.json -o " + merged).status, 0);
  const Result shown = Tool("show --no-metadata " + merged);
  std::remove(merged.c_str());
  EXPECT_NE(shown.out.find("  LONGEST  (src)  BYTES   SHARE\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("\n  MPI_Allreduce        2       8   500 ms     125 ms   500 ms      0   500 ms"
                           "      0     0 s       1.00   470 ms      0   64 B   50.0%\n"),
            std::string::npos)
      << shown.out;
  EXPECT_NE(shown.out.find("\n  parse                1       2   250 ms     125 ms   250 ms      1   250 ms"
                           "      1     0 s       1.00        -      -      -   25.0%\n"),
            std::string::npos);
  EXPECT_NE(shown.out.find("\nLONGEST: the longest single interval in any source, and its source\n"),
            std::string::npos);
}

// What timing cost, from the file's measured pair and its counts; where it
// is a large share, the timer that made the most pairs is named.
TEST(Tools, ShowEstimatesWhatTimingCost) {
  const std::string out = Tool("show costly.json --no-metadata").out;
  EXPECT_EQ(out.substr(0, out.find("NAME") + 4),
            "costly.json: 2 timers, 1.00 s in all\n"
            "timing cost \u2248 40% of the time in timers (10000001 pairs \u00d7 40.0 ns): "
            "consider excluding or throttling get (10000000 pairs)\n"
            "NAME");
  EXPECT_EQ(Tool("show base.json").out.find("timing cost"), std::string::npos);
  // --threads on a file that has none: the tree shown, and a word.
  const Result r = Tool("show costly.json --no-metadata --threads");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Tool("show costly.json --no-metadata").out);
  EXPECT_EQ(r.err, "timetree: costly.json: no per-thread trees in this file\n");
}

// A small cost: two decimals, the other work that timing did beside the
// pairs, and no timer named; a combined file's other work is its sources'
// sum.
TEST(Tools, ShowGivesASmallTimingCostAndTheOtherWork) {
  const std::string a = Temp("cost-a.json"), b = Temp("cost-b.json"), merged = Temp("cost-ab.json");
  for (const std::string& path : {a, b}) {
    std::ofstream(path)
        << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
           "\"total_seconds\": 1, \"self_seconds\": 0.9, \"stopped_implicitly\": "
           "false, \"running\": false, \"children\": [{\"name\": \"get\", "
           "\"count\": 99999, \"total_seconds\": 0.1, \"self_seconds\": 0.1, "
           "\"stopped_implicitly\": false, \"running\": false, \"children\": []}]}], "
           "\"metadata\": {\"timing_pair_seconds\": 4e-08, \"timing_other_seconds\": "
           "0.001, \"timing_hook_calls\": 10}}";
  }
  ASSERT_EQ(Tool("merge " + a + " " + b + " -o " + merged).status, 0);
  const std::string one = Tool("show --no-metadata " + a).out;
  const std::string both = Tool("show --no-metadata " + merged).out;
  std::remove(a.c_str());
  std::remove(b.c_str());
  std::remove(merged.c_str());
  const auto cost_line = [](const std::string& out) {
    const size_t at = out.find('\n') + 1;
    return out.substr(at, out.find('\n', at) + 1 - at);
  };
  EXPECT_EQ(cost_line(one),
            "timing cost \u2248 0.50% of the time in timers (100000 pairs \u00d7 40.0 ns, and 1.00 "
            "ms of other work: 10 hook calls of instrumented functions and the trials' clock "
            "reads)\n");
  EXPECT_EQ(cost_line(both),
            "timing cost \u2248 0.50% of the time in timers (200000 pairs \u00d7 40.0 ns, and 2.00 "
            "ms of other work: 20 hook calls of instrumented functions and the trials' clock "
            "reads)\n");
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
  // Two threads are a spread too.
  const std::string two = Temp("two-threads.json");
  std::ofstream(two)
      << "{\"schema\": 2, \"timers\": [{\"name\": \"work\", \"count\": 2, "
         "\"total_seconds\": 0.003, \"self_seconds\": 0.003, \"stopped_implicitly\": "
         "false, \"running\": false, \"threads\": 2, \"min_seconds\": 0.001, "
         "\"max_seconds\": 0.002, \"children\": []}]}";
  EXPECT_NE(Tool("html '" + two + "' -o -")
                .out.find("\"threads\": [2], \"tmin\": [0.001], "
                          "\"tmax\": [0.002]"),
            std::string::npos);
  std::remove(two.c_str());
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

}  // namespace
}  // namespace timetree_tools_test

namespace timetree_tools_test {
namespace {

// Names alike in their first 25 characters and more stay apart in show and
// merge; show fits a long name into COLUMNS by shortening its middle, so
// that both ends (which tell overloads apart) stay and no two rows read the
// same; --wide prints it whole.
TEST(Tools, ShowKeepsLookAlikeNamesApartAndShortensTheirMiddle) {
  const char* names[] = {"solver::detail::Assembler<double>::assemble_matrix(int)",
                         "solver::detail::Assembler<double>::assemble_vector(int)",
                         "solver::detail::Assembler<float>::assemble_matrix(int)",
                         "solver::detail::Assembler<float>::assemble_vector(int)"};
  const std::string run = Temp("alike.json");
  {
    std::ofstream out(run);
    out << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, \"total_seconds\": 1, "
           "\"self_seconds\": 0.74, \"stopped_implicitly\": false, \"running\": false, "
           "\"children\": [";
    int count = 3;
    for (const char* name : names) {
      out << (count == 3 ? "" : ", ") << "{\"name\": \"" << name << "\", \"count\": " << count
          << ", \"total_seconds\": " << 0.01 * count << ", \"self_seconds\": " << 0.01 * count
          << ", \"stopped_implicitly\": false, \"running\": false, \"children\": []}";
      count = count == 3 ? 5 : count == 5 ? 7 : 11;
    }
    out << "]}]}";
  }
  const Result fitted = Tool("show '" + run + "' --no-metadata --width 80");
  const Result wide = Tool("show '" + run + "' --no-metadata --width 80 --wide");
  // Into a file (or a pipe), names stay whole whatever COLUMNS says.
  setenv("COLUMNS", "80", 1);
  const Result piped = Tool("show '" + run + "' --no-metadata");
  unsetenv("COLUMNS");
  EXPECT_EQ(fitted.out.substr(fitted.out.find('\n') + 1),
            "NAME                                                  COUNT    TOTAL     SELF  PER START   SHARE\n"
            "main                                                      1   1.00 s   740 ms     1.00 s  100.0%\n"
            "  solver::detail::Assembler\u2026e>::assemble_matrix(int)      3  30.0 ms  30.0 ms    10.0 ms    3.0%\n"
            "  solver::detail::Assembler\u2026e>::assemble_vector(int)      5  50.0 ms  50.0 ms    10.0 ms    5.0%\n"
            "  solver::detail::Assembler\u2026t>::assemble_matrix(int)      7  70.0 ms  70.0 ms    10.0 ms    7.0%\n"
            "  solver::detail::Assembler\u2026t>::assemble_vector(int)     11   110 ms   110 ms    10.0 ms   11.0%\n");
  for (const Result* r : {&wide, &piped}) {
    for (const char* name : names) EXPECT_NE(r->out.find(std::string("  ") + name + "  "), std::string::npos) << r->out;
  }
  // Merged, each stays its own path with its own count.
  const std::string merged = Temp("alike-merged.json");
  ASSERT_EQ(Tool("merge '" + run + "' '" + run + "' -o '" + merged + "'").status, 0);
  const std::string text = Read(merged);
  for (const char* name : names) {
    EXPECT_NE(text.find(std::string("{\"name\": \"") + name + "\", \"sources\": 2"), std::string::npos) << text;
  }
  std::remove(run.c_str());
  std::remove(merged.c_str());
}

}  // namespace
}  // namespace timetree_tools_test

namespace timetree_tools_test {
namespace {

// Threads that time from start to end add up past the run: where the file
// has the process's wall time and more than one thread timed, shares are of
// that, and the threads' sum is said as thread time; one thread's file
// reads as it always has.
TEST(Tools, ShareIsOfTheRunWhenThreadsTimeAtOnce) {
  auto write = [](const std::string& path, int threads) {
    std::ofstream(path)
        << "{\"schema\": 2, \"timers\": [{\"name\": \"Loop()\", \"count\": 3, \"total_seconds\": "
           "22.26, \"self_seconds\": 22.26, \"stopped_implicitly\": false, \"running\": false, "
           "\"children\": []}, {\"name\": \"simulate\", \"count\": 1, \"total_seconds\": 6.16, "
           "\"self_seconds\": 6.16, \"stopped_implicitly\": false, \"running\": false, "
           "\"children\": []}], \"metadata\": {\"threads\": "
        << threads << ", \"wall_seconds\": 7.42}}";
  };
  const std::string pool = Temp("pool.json"), one = Temp("one.json");
  write(pool, 4);
  write(one, 1);
  const std::string shown = Tool("show '" + pool + "' --no-metadata").out;
  EXPECT_EQ(shown.substr(shown.find(':')),
            ": 2 timers, 7.42 s in all (the process's wall time; 28.4 s of thread time in "
            "top-level timers)\n"
            "NAME      COUNT   TOTAL    SELF  PER START   SHARE\n"
            "Loop()        3  22.3 s  22.3 s     7.42 s  300.0%\n"
            "simulate      1  6.16 s  6.16 s     6.16 s   83.0%\n"
            "SHARE above 100%: threads that ran at the same time, whose totals add up\n")
      << shown;
  const std::string alone = Tool("show '" + one + "' --no-metadata").out;
  EXPECT_EQ(alone.substr(alone.find(':')),
            ": 2 timers, 28.4 s in all\n"
            "NAME      COUNT   TOTAL    SELF  PER START  SHARE\n"
            "Loop()        3  22.3 s  22.3 s     7.42 s  78.3%\n"
            "simulate      1  6.16 s  6.16 s     6.16 s  21.7%\n");
  std::remove(pool.c_str());
  std::remove(one.c_str());
}

// At a terminal, the series' line of marks fills its width and no more.
TEST(Tools, SeriesLineFitsTheTerminal) {
  timetree::combined::Node node;
  node.name = "step";
  node.has_series = true;
  node.series.steps = 30;
  node.series.total.assign(30, 1.0);
  node.series.longest.assign(30, 1.0);
  std::ostringstream out;
  timetree_cli::WriteSeries(node, 0, 20, true, out);
  std::string marks = "  ";
  for (int i = 0; i < 18; ++i) marks += "\u2588";
  EXPECT_NE(out.str().find("\n" + marks + "\n"), std::string::npos) << out.str();
}

// A loop's series: the slowest steps with the children that took their
// time and a line of the whole; two runs merged step by step (the shorter
// series folded to the longer's points); compared by median; a series
// whose points do not cover its steps refused.
TEST(Tools, SeriesShownMergedAndCompared) {
  const std::string a = Temp("series-a.json"), b = Temp("series-b.json"),
                    merged = Temp("series-merged.json"), bad = Temp("series-bad.json");
  auto timer = [](const char* name, double total, const char* series, const char* children) {
    return std::string("{\"name\": \"") + name +
           "\", \"count\": 8, \"total_seconds\": " + std::to_string(total) +
           ", \"self_seconds\": 0, \"stopped_implicitly\": false, " +
           "\"running\": false, \"series\": " + series + ", \"children\": [" + children + "]}";
  };
  std::ofstream(a) << "{\"schema\": 2, \"timers\": ["
                   << timer("step", 16,
                            "{\"every\": 2, \"steps\": 8, \"seconds\": [2, 2, 10, 2], "
                            "\"max_seconds\": [1, 1, 9, 1]}",
                            (timer("a", 3.5,
                                   "{\"every\": 2, \"steps\": 8, \"seconds\": [1, 1, 0.5, 1], "
                                   "\"max_seconds\": [0.5, 0.5, 0.25, 0.5]}",
                                   "") +
                             ", " +
                             timer("b", 9.5,
                                   "{\"every\": 2, \"steps\": 8, \"seconds\": [0.5, 0.5, 8, "
                                   "0.5], \"max_seconds\": [0.25, 0.25, 7.75, 0.25]}",
                                   ""))
                                .c_str())
                   << "]}";
  std::ofstream(b) << "{\"schema\": 2, \"timers\": ["
                   << timer("step", 5,
                            "{\"every\": 1, \"steps\": 5, \"seconds\": [1, 1, 1, 1, 1], "
                            "\"max_seconds\": [1, 1, 1, 1, 1]}",
                            "")
                   << "]}";
  EXPECT_EQ(Tool("show '" + a + "' --series step --slowest 2 --no-metadata").out.substr(a.size()),
            ": 3 timers, 16.0 s in all\n"
            "step: 8 steps in 4 points of 2 steps, median 1.00 s a step\n"
            "slowest (the longest step of each point, and each child's longest in it):\n"
            "  steps 5-6: 9.00 s; b 7.75 s (median 250 ms), a 250 ms (median 500 ms)\n"
            "  steps 1-2: 1.00 s; a 500 ms (median 500 ms), b 250 ms (median 250 ms)\n"
            "  \u2582\u2582\u2588\u2582\n"
            "  (2 steps a mark, the tallest 9.00 s)\n");
  // A series of single steps says no points.
  EXPECT_EQ(Tool("show '" + b + "' --series step --slowest 1 --no-metadata").out.substr(b.size()),
            ": 1 timers, 5.00 s in all\n"
            "step: 5 steps, median 1.00 s a step\n"
            "slowest:\n"
            "  step 1: 1.00 s\n"
            "  \u2588\u2588\u2588\u2588\u2588\n"
            "  (1 step a mark, the tallest 1.00 s)\n");
  ASSERT_EQ(Tool("merge '" + a + "' '" + b + "' -o '" + merged + "'").status, 0);
  EXPECT_NE(Read(merged).find("\"series\": {\"every\": 2, \"steps\": 8, \"seconds\": [4, 4, 11, "
                              "2], \"max_seconds\": [1, 1, 9, 1]}"),
            std::string::npos)
      << Read(merged);
  EXPECT_EQ(Tool("diff '" + b + "' '" + a + "' --metric series_median_seconds").out,
            "NAME    BASE     NEW   CHANGE      %\n"
            "step  1.00 s  1.00 s      0 s  +0.0%\n"
            "  a        -  500 ms  +500 ms    new\n"
            "  b        -  250 ms  +250 ms    new\n");
  EXPECT_NE(
      Tool("show '" + b + "' --series nothing")
          .err.find(
              "has no series of a timer named \"nothing\": run it with TIMETREE_SERIES=nothing"),
      std::string::npos);
  std::ofstream(bad) << "{\"schema\": 2, \"timers\": ["
                     << timer("step", 5,
                              "{\"every\": 1, \"steps\": 5, \"seconds\": [1, 1, 1], "
                              "\"max_seconds\": [1, 1, 1]}",
                              "")
                     << "]}";
  const Result refused = Tool("show '" + bad + "'");
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("not an array of one point per every steps"), std::string::npos)
      << refused.err;
}

}  // namespace
}  // namespace timetree_tools_test
