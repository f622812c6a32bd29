// The timetree command, run as a user runs it, on small files whose
// expected output was worked out by hand (tests/data).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

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
  EXPECT_EQ(r.out,
            "base.json: 4 timers, 1.000000 s in all, 1 thread\n"
            "NAME                                COUNT      TOTAL s       SELF s   SHARE\n"
            "main                                    1     1.000000     0.200000  100.0%\n"
            "  parse                                 2     0.250000     0.250000   25.0%\n"
            "  solve                                 1     0.500000     0.500000   50.0%\n"
            "  setup ?                               1     0.050000     0.050000    5.0%\n"
            "\n"
            "thread 4711 \"main\":\n"
            "NAME                                COUNT      TOTAL s       SELF s   SHARE\n"
            "main                                    1     1.000000     0.200000  100.0%\n"
            "  parse                                 2     0.250000     0.250000   25.0%\n"
            "  solve                                 1     0.500000     0.500000   50.0%\n"
            "  setup ?                               1     0.050000     0.050000    5.0%\n");
  // Hidden below 30%, with what is under them; a schema 1 file reads too.
  EXPECT_EQ(Tool("show base.json --min-share 30").out,
            "base.json: 4 timers, 1.000000 s in all, 1 thread\n"
            "NAME                                COUNT      TOTAL s       SELF s   SHARE\n"
            "main                                    1     1.000000     0.200000  100.0%\n"
            "  solve                                 1     0.500000     0.500000   50.0%\n");
  EXPECT_EQ(Tool("show old.json").status, 0);
}

TEST(Tools, ShowOfACombinedFileGivesWhereMinAndMaxComeFrom) {
  const Result r = Tool("show merged.json");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "merged.json: 5 timers, 1.250000 s in all (mean over the sources of each path), "
            "2 sources\n"
            "NAME                           SOURCES      COUNT       MEAN s        MIN s  (src)"
            "        MAX s  (src) IMBALANCE   SHARE\n"
            "main                                 2          2     1.250000     1.000000      0"
            "     1.500000      1      1.20  100.0%\n"
            "  parse                              2          4     0.187500     0.125000      1"
            "     0.250000      0      1.33   15.0%\n"
            "  solve                              2          2     0.750000     0.500000      0"
            "     1.000000      1      1.33   60.0%\n"
            "  setup ?                            1          1     0.050000     0.050000      0"
            "     0.050000      0      1.00    4.0%\n"
            "  write out                          1          4     0.050000     0.050000      1"
            "     0.050000      1      1.00    4.0%\n"
            "(src): the source (file or rank, counted from 0) of the least and the greatest "
            "total; IMBALANCE: MAX / MEAN; ?: stopped implicitly\n");
}

TEST(Tools, DiffSortsByChangeAndMarksNewAndGone) {
  const std::string head =
      "PATH                                       BASE s        NEW s     CHANGE s    CHANGE\n";
  const std::string main_row =
      "main                                     1.000000     1.500000    +0.500000    +50.0%\n";
  const std::string solve =
      "main;solve                               0.500000     1.000000    +0.500000   +100.0%\n";
  const std::string parse =
      "main;parse                               0.250000     0.125000    -0.125000    -50.0%\n";
  const std::string setup =
      "main;setup                               0.050000            -    -0.050000      gone\n";
  const std::string write_out =
      "main;write_out                                  -     0.050000    +0.050000       new\n";
  // Largest change first; equal changes keep tree order.
  const Result r = Tool("diff base.json new.json");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, head + main_row + solve + parse + setup + write_out);
  // Tree order, and rows that changed less than 60% hidden.
  EXPECT_EQ(Tool("diff base.json new.json --sort path --threshold 60").out,
            head + solve + setup + write_out);
  EXPECT_EQ(Tool("diff base.json base.json").status, 0);
}

TEST(Tools, CheckGatesOnBudgetAndRegression) {
  Result r = Tool("check new.json --budget budget.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "over budget: main 1.500000 s > 1.200000 s\n"
            "over budget: main;solve 1.000000 s > 0.800000 s\n"
            "check failed: 2 of 3 limits exceeded\n");
  r = Tool("check base.json --budget budget.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "check passed: 3 limits hold\n");

  r = Tool("check new.json --against base.json --max-regression 60");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "regression: main;solve 0.500000 s -> 1.000000 s (+100.0%) > +60%\n"
            "check failed: 1 of 3 limits exceeded\n");
  // Paths below 1.1 s in both runs are noise: only main still counts.
  r = Tool("check new.json --against base.json --max-regression 60 --min-seconds 1.1");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "check passed: 1 limits hold\n");
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
      {"missing.json", nullptr, "show", "missing.json: cannot be read"},
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
      {"budget.txt", "main 1\nmain;solve fast\n", "check new.json --budget",
       "budget.txt:2: \"fast\" is not a number of seconds (0 or more)"},
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
