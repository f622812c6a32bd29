// Timetree diff, and what it says of unlike runs.
#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

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
      // A path naming the compared file itself is the program's output.
      {"solver json:out/a.json mesh.dat", "solver json:run2/b.json mesh.dat", ""},
      {"demo --size 100000 --export=base", "demo --size 150000 --export=new",
       "timetree: warning: the runs differ in arguments (\"--size 100000\" in a.json, \"--size "
       "150000\" in b.json): the program was run with other inputs or settings\n"},
      {"demo --mode=fast", "demo --mode=exact",
       "timetree: warning: the runs differ in arguments (\"--mode=fast\" in a.json, "
       "\"--mode=exact\" in b.json): the program was run with other inputs or settings\n"},
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

}  // namespace
}  // namespace timetree_tools_test
