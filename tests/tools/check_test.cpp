// Timetree check, the CI gate, on one run and on repeated runs.
#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

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
  // A merged file is judged by its sources' mean (main: 1.25 s, 2.5 s in all).
  r = Tool("check merged.json --budget budget.txt");
  EXPECT_EQ(r.out, "over budget: main 1.25 s > 1.20 s\ncheck failed: 1 of 3 limits exceeded\n");
  EXPECT_EQ(Tool("diff base.json merged.json").out.substr(0, 96),
            "NAME            BASE      NEW    CHANGE       %\n"
            "main          1.00 s   1.25 s   +250 ms  +25.0%\n");
}

// Several runs a side: the gate judges medians with a Mann-Whitney test,
// refuses a number of runs with which it could never fail, and diff gives
// medians and p-values.
// A path at 0 s in both runs has not changed: 0%, no regression.
TEST(Tools, APathAtZeroInBothRunsIsUnchanged) {
  const std::string run = Temp("zero.json");
  std::ofstream(run) << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
                        "\"total_seconds\": 1, \"self_seconds\": 1, \"stopped_implicitly\": false, "
                        "\"running\": false, \"children\": [{\"name\": \"idle\", \"count\": 1, "
                        "\"total_seconds\": 0, \"self_seconds\": 0, \"stopped_implicitly\": false, "
                        "\"running\": false, \"children\": []}]}]}";
  EXPECT_EQ(Tool("diff '" + run + "' '" + run + "'").out,
            "NAME      BASE     NEW  CHANGE      %\n"
            "main    1.00 s  1.00 s     0 s  +0.0%\n"
            "  idle     0 s     0 s     0 s  +0.0%\n");
  EXPECT_EQ(Tool("check '" + run + "' --against '" + run + "' --max-regression 10").status, 0);
  std::remove(run.c_str());
}

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
  // --min-seconds leaves out a path below it on both sides only: one that
  // grew from 0.1 ms past it is judged.
  std::vector<std::string> tiny, grown;
  for (int i = 0; i < 5; ++i) {
    tiny.push_back(Temp("tiny" + std::to_string(i) + ".json"));
    grown.push_back(Temp("grown" + std::to_string(i) + ".json"));
    write(tiny.back(), 0.0001 + 0.000001 * i);
    write(grown.back(), 1.0 + 0.01 * i);
  }
  r = Tool("check" + join(grown, 5) + " --against" + join(tiny, 5) +
           " --max-regression 10 --min-seconds 0.001");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  for (const auto& f : base) std::remove(f.c_str());
  for (const auto& f : slow) std::remove(f.c_str());
  for (const auto& f : tiny) std::remove(f.c_str());
  for (const auto& f : grown) std::remove(f.c_str());
}

}  // namespace
}  // namespace timetree_tools_test

namespace timetree_tools_test {
namespace {

// A run made with TIMETREE_COUNTERS: show's columns, a merge that sums the
// counters and keeps the highest peak, and the gate on a counter.
TEST(Tools, CountersAreShownMergedAndJudged) {
  const std::string run = Temp("counters.json"), other = Temp("counters2.json"),
                    merged = Temp("counters-merged.json"), budget = Temp("counters-budget.txt");
  auto write = [](const std::string& path, double cpu, double peak) {
    std::ofstream(path) << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
                           "\"total_seconds\": 2, \"self_seconds\": 2, \"stopped_implicitly\": "
                           "false, \"running\": false, \"cpu_seconds\": "
                        << std::to_string(cpu)
                        << ", \"page_faults\": 65536, \"peak_rss_bytes\": " << std::to_string(peak)
                        << ", \"children\": []}]}";
  };
  write(run, 0.5, 268435456);
  write(other, 1.5, 1073741824);
  const std::string shown = Tool("show '" + run + "' --no-metadata").out;
  EXPECT_EQ(
      shown.substr(shown.find("NAME")),
      "NAME  COUNT   TOTAL    SELF  PER START     CPU  CPU/WALL  FAULTS   PEAK RSS   SHARE\n"
      "main      1  2.00 s  2.00 s     2.00 s  500 ms      0.25   65536  256.0 MiB  100.0%\n");
  ASSERT_EQ(Tool("merge '" + run + "' '" + other + "' -o '" + merged + "'").status, 0);
  const std::string text = Read(merged);
  EXPECT_NE(text.find("\"cpu_seconds\": 2,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"peak_rss_bytes\": 1073741824"), std::string::npos) << text;
  // The converters carry them: Hatchet and json-split as inclusive metrics,
  // a combined file's per source as its times are.
  EXPECT_NE(Tool("convert '" + merged + "' --to hatchet -o -")
                .out.find("\"count\": 2, \"cpu_seconds (inc)\": 1, \"page_faults (inc)\": 65536, "
                          "\"peak_rss_bytes (inc)\": 1073741824}"),
            std::string::npos);
  EXPECT_NE(
      Tool("convert '" + merged + "' --to caliper-json-split -o -")
          .out.find(
              "[0, 2, 2, 1, 65536, 1073741824]\n], \"columns\": [\"path\", \"sum#time.duration\", "
              "\"inclusive#sum#time.duration\", \"inclusive#cpu_seconds\", "
              "\"inclusive#page_faults\", \"inclusive#peak_rss_bytes\"]"),
      std::string::npos);
  std::ofstream(budget) << "main 536870912\n";
  Result r = Tool("check '" + merged + "' --metric peak_rss_bytes --budget '" + budget + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "over budget: main 1.0 GiB > 512.0 MiB\ncheck failed: 1 of 1 limits exceeded\n");
  r = Tool("check '" + other + "' --metric cpu_seconds --against '" + run +
           "' --max-regression 50");
  EXPECT_EQ(r.out,
            "regression: main 500 ms -> 1.50 s (+200.0%) > +50%\n"
            "check failed: 1 of 1 limits exceeded\n");
  EXPECT_EQ(Tool("diff '" + run + "' '" + other + "' --metric peak_rss_bytes").out,
            "NAME       BASE      NEW      CHANGE        %\n"
            "main  256.0 MiB  1.0 GiB  +768.0 MiB  +300.0%\n");
  r = Tool("check '" + run + "' --metric context_switches --budget '" + budget + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "timetree: " + run +
                       " has no context_switches: run it with "
                       "TIMETREE_COUNTERS=context_switches (or all)\n");
  EXPECT_EQ(Tool("check '" + run + "' --metric cycles --budget '" + budget + "'").err,
            "timetree: " + run +
                " has no cycles: run it with TIMETREE_COUNTERS=cycles on a processor that "
                "counts it\n");
  for (const std::string& path : {run, other, merged, budget}) std::remove(path.c_str());
}

// Repeated runs judged on a counter: every run's figure is the counter's,
// the first base run's too, and a verdict writes counts.
TEST(Tools, RepeatedRunsAreJudgedOnACounter) {
  std::vector<std::string> base, next;
  auto write = [](const std::string& path, int faults) {
    std::ofstream(path)
        << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
           "\"total_seconds\": 5000, \"self_seconds\": 5000, \"stopped_implicitly\": "
           "false, \"running\": false, \"page_faults\": "
        << faults << ", \"children\": []}]}";
  };
  std::string runs, against;
  for (int i = 0; i < 5; ++i) {
    base.push_back(Temp("faults-base" + std::to_string(i) + ".json"));
    next.push_back(Temp("faults-next" + std::to_string(i) + ".json"));
    write(base.back(), 1000 + i);
    write(next.back(), 1300 + i);
    against += " '" + base.back() + "'";
    runs += " '" + next.back() + "'";
  }
  const Result r =
      Tool("check" + runs + " --against" + against + " --metric page_faults --max-regression 10");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "regression: main median 1002 -> 1302 (+29.9%) > +10%, p = 0.00794\n"
            "check failed: 1 of 1 limits exceeded\n");
  // A budget on the runs' median.
  const std::string budget = Temp("faults-budget.txt");
  std::ofstream(budget) << "main 1300\n";
  EXPECT_EQ(Tool("check" + runs + " --metric page_faults --budget '" + budget + "'").out,
            "over budget: main median 1302 > 1300\ncheck failed: 1 of 1 limits exceeded\n");
  std::remove(budget.c_str());
  for (const auto& f : base) std::remove(f.c_str());
  for (const auto& f : next) std::remove(f.c_str());
}

// Memory per space: show's columns (a combined file's sums as means, its
// peak the highest), a merge space by space, and a file whose memory is not
// whole bytes refused.
TEST(Tools, MemoryIsShownAndMergedSpaceBySpace) {
  const std::string run = Temp("memory.json"), other = Temp("memory2.json"),
                    merged = Temp("memory-merged.json"), bad = Temp("memory-bad.json");
  auto write = [](const std::string& path, const std::string& memory) {
    std::ofstream(path) << "{\"schema\": 2, \"timers\": [{\"name\": \"main\", \"count\": 1, "
                           "\"total_seconds\": 2, \"self_seconds\": 2, \"stopped_implicitly\": "
                           "false, \"running\": false, \"memory\": {"
                        << memory << "}, \"children\": []}]}";
  };
  write(run,
        "\"Host\": {\"allocated_bytes\": 2048, \"freed_bytes\": 1024, \"peak_live_bytes\": 4096}");
  write(other,
        "\"Cuda\": {\"allocated_bytes\": 18446744073709551615, \"freed_bytes\": 0, "
        "\"peak_live_bytes\": 1, \"saturated\": true}, \"Host\": {\"allocated_bytes\": 6144, "
        "\"freed_bytes\": 0, \"peak_live_bytes\": 8192}");
  const std::string shown = Tool("show '" + run + "' --no-metadata").out;
  EXPECT_EQ(
      shown.substr(shown.find("NAME")),
      "NAME  COUNT   TOTAL    SELF  PER START  Host ALLOCATED  Host FREED  Host PEAK   SHARE\n"
      "main      1  2.00 s  2.00 s     2.00 s         2.0 KiB     1.0 KiB    4.0 KiB  100.0%\n");
  ASSERT_EQ(Tool("merge '" + run + "' '" + other + "' -o '" + merged + "'").status, 0);
  const std::string text = Read(merged);
  EXPECT_NE(text.find("\"memory\": {\"Cuda\": {\"allocated_bytes\": 18446744073709551615, "
                      "\"freed_bytes\": 0, \"peak_live_bytes\": 1, \"saturated\": true}, "
                      "\"Host\": {\"allocated_bytes\": 8192, \"freed_bytes\": 1024, "
                      "\"peak_live_bytes\": 8192}}"),
            std::string::npos)
      << text;
  const std::string table = Tool("show '" + merged + "' --no-metadata").out;
  EXPECT_NE(
      table.find("  Cuda ALLOCATED  Cuda FREED  Cuda PEAK  Host ALLOCATED  Host FREED  Host PEAK"),
      std::string::npos)
      << table;
  EXPECT_NE(
      table.find("       saturated   saturated        1 B         4.0 KiB       512 B    8.0 KiB"),
      std::string::npos)
      << table;
  // A space that one source saturated is saturated in the merge, whatever
  // the sum.
  write(bad,
        "\"Host\": {\"allocated_bytes\": 1, \"freed_bytes\": 0, \"peak_live_bytes\": 1, "
        "\"saturated\": true}");
  ASSERT_EQ(Tool("merge '" + run + "' '" + bad + "' -o '" + merged + "'").status, 0);
  EXPECT_NE(Read(merged).find("\"Host\": {\"allocated_bytes\": 2049, \"freed_bytes\": 1024, "
                              "\"peak_live_bytes\": 4096, \"saturated\": true}"),
            std::string::npos)
      << Read(merged);
  write(bad, "\"Host\": {\"allocated_bytes\": -1, \"freed_bytes\": 0, \"peak_live_bytes\": 0}");
  const Result refused = Tool("show '" + bad + "'");
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(
      refused.err.find("timers[0].memory.Host.allocated_bytes: not a whole number of 0 or more"),
      std::string::npos)
      << refused.err;
  for (const auto& f : {run, other, merged, bad}) std::remove(f.c_str());
}

}  // namespace
}  // namespace timetree_tools_test
