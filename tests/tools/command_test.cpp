// The command as a whole: trouble said in one line with exit status 2, misspellings, deep files.
#include "tools/tool.h"

namespace timetree_tools_test {
namespace {

// Output that cannot be written, a directory as input and a negative
// figure are each trouble, said in one short line, for every subcommand.
TEST(Tools, OutputFailuresAndBadOptionsAreTrouble) {
  const std::string err = Temp("err");
  for (const char* args : {"show base.json", "diff base.json new.json", "folded base.json",
                           "check new.json --budget budget.txt", "merge base.json new.json -o -",
                           "--help", "show --help"}) {
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
  for (const auto& [args, said] :
       {std::pair{"", "A subcommand is required ('timetree --help' lists the options)"},
        std::pair{"shwo", "'shwo' is not a subcommand; did you mean 'show'?"},
        std::pair{"shwo base.json", "'shwo' is not a subcommand; did you mean 'show'?"},
        std::pair{"frobnicate x", "'frobnicate' is not a subcommand; 'timetree --help' lists them"},
        std::pair{"show base.json --sortt name",
                  "'--sortt' is not an option of show; did you mean '--sort'?"},
        std::pair{"diff base.json new.json --treshold=5",
                  "'--treshold' is not an option of diff; did you mean '--threshold'?"},
        // A value not in an option's list, said as the command's own.
        std::pair{"show base.json --sort totl",
                  "show --sort: 'totl' is not one of total, self, count, name; did you mean "
                  "'total'?"},
        std::pair{"show",
                  "show RUN.json is required ('timetree show --help' lists the options)"}}) {
    r = Tool(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.err, std::string("timetree: ") + said + "\n");
  }
  EXPECT_EQ(Tool("check new.json --budget .").err, "timetree: .: is a directory\n");
  for (const char* args : {"show base.json --min-share -1", "diff base.json new.json --threshold -1",
                           "show base.json --depth 0", "show base.json --depth 2x",
                           "show base.json --min-share 5%"}) {
    r = Tool(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_LT(r.err.size(), 120u) << r.err;
    EXPECT_EQ(r.err.rfind("timetree: ", 0), 0u) << r.err;
  }
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
      // A line ending in a blank holds no count: not folded stacks.
      {"blank.txt", "main 100\nmain;solve \n", "show", "blank.txt: not JSON"},
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

// A file as deep as the library writes goes through every subcommand in
// memory that grows with the file, not with the square of its depth (which
// took 1.4 GB at 10,000 levels), and show's indentation stops at 90 columns.
TEST(Tools, DeepFilesTakeMemoryInProportionToTheirSize) {
  const std::string deep = Temp("deep.json"), merged = Temp("deep-merged.json"),
                    svg = Temp("deep.svg"), page = Temp("deep.html");
  WriteDeepRun(deep, kDeep, 1, true);
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

}  // namespace
}  // namespace timetree_tools_test
