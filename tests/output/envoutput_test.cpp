// Output named by the environment, from a host that has no code for it:
// what is written at exit and on the signals of a batch scheduler, and that
// the host's exit status and its own signal handler stay as they were.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "output/hints.h"
#include "support.h"

namespace {

using timetree_test::ReadFile;

struct Outcome {
  int status;  // the wait status
  std::string out, err;
};

// Runs the output host with argv and only the environment given.
Outcome Host(std::vector<std::string> args, std::vector<std::string> env) {
  const std::string out = timetree_test::TempPath("host-out");
  const std::string err = timetree_test::TempPath("host-err");
  if (args.size() == 1) args.push_back("-");  // no snapshot to wait for
  args.insert(args.begin(), TIMETREE_OUTPUT_HOST);
  args.push_back(TIMETREE_LIBRARY);
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen(out.c_str(), "w", stdout) == nullptr) _exit(99);
    if (std::freopen(err.c_str(), "w", stderr) == nullptr) _exit(99);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(&a[0]);
    for (auto& e : env) envp.push_back(&e[0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(98);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome outcome{status, ReadFile(out), ReadFile(err)};
  std::remove(out.c_str());
  std::remove(err.c_str());
  return outcome;
}

TEST(EnvironmentOutput, WrittenAtExitWithoutAnyCallAndNamedWhenItCannotBe) {
  const std::string dir = timetree_test::TempPath("env");
  ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
  const Outcome o = Host({"exit"}, {"TIMETREE_OUTPUT=report,json:" + dir + "/run-%p-%r.json,folded:" +
                                        dir + "/run-%h-%t%%.folded,bogus,svg:" + dir + "/run.svg,html:" +
                                        dir + "/run.html,json:/nonexistent/run.json,json:,json:" +
                                        dir,
                                    "OMPI_COMM_WORLD_RANK=7"});
  ASSERT_TRUE(WIFEXITED(o.status));
  EXPECT_EQ(WEXITSTATUS(o.status), 3);  // the host's own
  // Both reports, on standard error as no channel is open; each bad item and
  // each output that could not be written named once.
  const std::string left_out =
      "\" is left out: not one of report, json:PATH, folded:PATH, svg:PATH, html:PATH, "
      "trace:PATH, mpi-summary, mpi-json:PATH, mpi-trace:PATH\n";
  EXPECT_EQ(o.err.find("timetree: TIMETREE_OUTPUT: \"bogus" + left_out), 0u) << o.err;
  EXPECT_NE(o.err.find("timetree: TIMETREE_OUTPUT: \"json:" + left_out), std::string::npos);
  EXPECT_NE(o.err.find("\nmain                           |      1 |"), std::string::npos);
  EXPECT_NE(o.err.find("\n.work                          |      1 |"), std::string::npos);
  EXPECT_NE(o.err.find("timetree: TIMETREE_OUTPUT: /nonexistent/run.json cannot be written: its "
                       "folder does not exist\n"),
            std::string::npos);
  EXPECT_NE(o.err.find("timetree: TIMETREE_OUTPUT: " + dir + " is a directory\n"), std::string::npos)
      << o.err;

  EXPECT_NE(ReadFile(dir + "/run.svg").find("<svg"), std::string::npos);
  // The page, as 'timetree html' draws the run's JSON.
  EXPECT_NE(ReadFile(dir + "/run.html").find("\"views\": [{\"label\": \"all threads\", \"name\": "
                                             "[\"main\",\"work\"], \"depth\": [0,1]"),
            std::string::npos);
  // %p and %r filled in: the json file is the only other one.
  const std::string listing = dir + "/listing";
  ASSERT_EQ(system(("ls '" + dir + "' > '" + listing + "'").c_str()), 0);
  const std::string files = ReadFile(listing);
  EXPECT_NE(files.find("-7.json\n"), std::string::npos) << files;
  // %h, %t (the load time, UTC) and %% in the folded stacks' name.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const size_t folded = files.find(std::string("run-") + host + "-20");
  ASSERT_NE(folded, std::string::npos) << files;
  const std::string name = files.substr(folded, files.find('\n', folded) - folded);
  EXPECT_EQ(name.substr(name.size() - 9), "Z%.folded") << name;
  EXPECT_EQ(ReadFile(dir + "/" + name).rfind("main ", 0), 0u);
  EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(EnvironmentOutput, SignalsOfABatchSchedulerKeepTheTimings) {
  const std::string json = timetree_test::TempPath("signal.json");
  const std::string trace = timetree_test::TempPath("signal.trace.json");
  const std::string output = "TIMETREE_OUTPUT=json:" + json;
  // SIGTERM inside a timer: the file holds it as running, and the host
  // ends as SIGTERM ends it without the library; the timeline ends with
  // the running timer, up to the signal.
  Outcome o = Host({"term"}, {output + ",trace:" + trace});
  EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGTERM) << o.status;
  EXPECT_NE(ReadFile(json).find("{\"name\": \"main\", \"count\": 1, "), std::string::npos);
  EXPECT_NE(ReadFile(json).find("\"running\": true"), std::string::npos);
  EXPECT_NE(ReadFile(trace).find("{\"ph\": \"X\", \"name\": \"main\""), std::string::npos);
  EXPECT_NE(ReadFile(trace).find("\"args\": {\"running\": true}}"), std::string::npos);
  std::remove(json.c_str());
  std::remove(trace.c_str());
  // SIGUSR1 twice: two snapshots, and the program goes on.
  o = Host({"usr1", json}, {output});
  EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 3) << o.status << o.err;
  EXPECT_EQ(o.out, "went on\n");
  // A handler the host had installed still runs.
  o = Host({"handler", json}, {output});
  EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 3) << o.status << o.err;
  EXPECT_EQ(o.out, "host handler ran\n");
  // TIMETREE_SIGNALS=none leaves the signals alone: SIGUSR1 ends the host.
  o = Host({"usr1", json}, {output, "TIMETREE_SIGNALS=none"});
  EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGUSR1) << o.status;
  std::remove(json.c_str());
}

// Files in a folder: no temporary file may be left beside the outputs.
std::string Listing(const std::string& dir) {
  const std::string list = dir + ".list";
  std::system(("ls -A '" + dir + "' > '" + list + "'").c_str());
  const std::string text = ReadFile(list);
  std::remove(list.c_str());
  return text;
}

bool Whole(const std::string& text, const char* head) {
  return text.rfind(head, 0) == 0 && text.size() > 3 && text.substr(text.size() - 3) == "}}\n";
}

// A SIGTERM that lands near the program's normal end, at 20 moments around
// the exit's writing of the outputs: whichever writes, the files are whole
// every time, and nothing else is left in the folder.
// What the documents promise of signals and paths, case by case: SIGXCPU
// is among the signals handled by default; a signal the host ignored before
// the library loaded stays ignored; a forked child that exits writes
// nothing of its parent's, and one that raises SIGTERM is ended by it; %r
// without a launcher is 0; a killed rank's part has its rank padded to the
// width of the largest.
TEST(EnvironmentOutput, PromisedSignalsAndPaths) {
  struct Case {
    const char* what;
    std::vector<std::string> args, env;
    int signal;      // the signal that ends the host, or 0: it exits with 3
    const char* out;
    std::vector<std::string> files;  // the only files written, in dir
  };
  const std::string dir = timetree_test::TempPath("promised");
  const std::vector<Case> cases = {
      {"SIGXCPU",
       {"xcpu"},
       {"TIMETREE_OUTPUT=json:" + dir + "/run.json"},
       SIGXCPU,
       "",
       {"run.json"}},
      {"ignored SIGTERM",
       {"ignored"},
       {"TIMETREE_OUTPUT=json:" + dir + "/run.json"},
       0,
       "went on\n",
       {"run.json"}},
      {"forked child", {"fork"}, {"TIMETREE_OUTPUT=json:" + dir + "/run-%p.json"}, 0, "", {"run-"}},
      // A forked child's signals are the host's again: SIGTERM ends it, and
      // it writes nothing.
      {"forked child's SIGTERM",
       {"forkterm"},
       {"TIMETREE_OUTPUT=json:" + dir + "/run-%p.json"},
       0,
       "",
       {"run-"}},
      // With no signal handled, the exit still writes (and stops no thread).
      {"no signals",
       {"exit"},
       {"TIMETREE_OUTPUT=json:" + dir + "/run.json", "TIMETREE_SIGNALS=none"},
       0,
       "",
       {"run.json"}},
      {"%r alone",
       {"exit"},
       {"TIMETREE_OUTPUT=json:" + dir + "/run-%r.json"},
       0,
       "",
       {"run-0.json"}},
      {"rank part",
       {"term"},
       {"TIMETREE_OUTPUT=mpi-json:" + dir + "/ranks.json", "OMPI_COMM_WORLD_RANK=3",
        "OMPI_COMM_WORLD_SIZE=12"},
       SIGTERM,
       "",
       {"ranks.rank-03.json"}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
    const Outcome o = Host(c.args, c.env);
    if (c.signal != 0) {
      EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == c.signal) << c.what << o.err;
    } else {
      EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 3) << c.what << o.err;
    }
    EXPECT_EQ(o.out, c.out) << c.what;
    ASSERT_EQ(system(("ls '" + dir + "' > '" + dir + ".ls'").c_str()), 0);
    const std::string listing = ReadFile(dir + ".ls");
    std::remove((dir + ".ls").c_str());
    size_t lines = 0;
    for (char ch : listing) lines += ch == '\n' ? 1 : 0;
    EXPECT_EQ(lines, c.files.size()) << c.what << ": " << listing;
    for (const std::string& f : c.files) {
      EXPECT_EQ(listing.rfind(f, 0), 0u) << c.what << ": " << listing;
    }
  }
  // A killed rank's timeline part is that rank's lane, whatever its digits.
  ASSERT_EQ(system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
  Host({"term"},
       {"TIMETREE_OUTPUT=mpi-trace:" + dir + "/trace.json", "SLURM_PROCID=12", "SLURM_NTASKS=13"});
  const std::string part = ReadFile(dir + "/trace.rank-12.json");
  EXPECT_NE(part.find("\"name\": \"process_name\", \"pid\": 12, \"tid\": 0, \"args\": "
                      "{\"name\": \"rank 12 ("),
            std::string::npos)
      << part.substr(0, 400);
  EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
  // Nor does the child write what goes to standard error: the two reports
  // come once, from the parent.
  const std::string err = Host({"fork"}, {"TIMETREE_OUTPUT=report"}).err;
  size_t headers = 0;
  for (size_t at = err.find("LABEL "); at != std::string::npos; at = err.find("LABEL ", at + 1)) {
    ++headers;
  }
  EXPECT_EQ(headers, 2u) << err;
}

// TIMETREE_TRACE past what a thread's events can be numbered by is capped
// there, and said; the largest it can be is taken as it is.
TEST(EnvironmentOutput, TraceLimitIsCappedWhereEventsCanBeNumbered) {
  const std::string capped =
      "timetree: TIMETREE_TRACE=4294967295 is more than a thread can record; each thread "
      "records at most 4294967294 events\n";
  EXPECT_NE(Host({"exit"}, {"TIMETREE_TRACE=4294967295", "TIMETREE_OUTPUT=report"})
                .err.find(capped),
            std::string::npos);
  EXPECT_EQ(Host({"exit"}, {"TIMETREE_TRACE=4294967294", "TIMETREE_OUTPUT=report"})
                .err.find("more than a thread can record"),
            std::string::npos);
}

TEST(EnvironmentOutput, SignalNearTheExitLeavesWholeFiles) {
  const std::string dir = timetree_test::TempPath("race");
  ASSERT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
  const std::string json = dir + "/run.json", trace = dir + "/trace.json";
  for (int run = 0; run < 20; ++run) {
    std::remove(json.c_str());
    std::remove(trace.c_str());
    const Outcome o = Host({"race", std::to_string(run * 800)},
                           {"TIMETREE_OUTPUT=json:" + json + ",trace:" + trace});
    EXPECT_TRUE((WIFEXITED(o.status) && WEXITSTATUS(o.status) == 3) ||
                (WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGTERM))
        << run << ": " << o.status << o.err;
    EXPECT_TRUE(Whole(ReadFile(json), "{\"schema\": 2, ")) << run << ": " << ReadFile(json);
    EXPECT_TRUE(Whole(ReadFile(trace), "{\"displayTimeUnit\"")) << run;
    EXPECT_EQ(Listing(dir), "run.json\ntrace.json\n") << run;
  }
  // A snapshot, then a SIGTERM at once: the last write stands, whole, with
  // main still running and counted up to the signal.
  std::remove(json.c_str());
  std::remove(trace.c_str());
  const Outcome o = Host({"usr1term"}, {"TIMETREE_OUTPUT=json:" + json});
  EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGTERM) << o.status;
  const std::string text = ReadFile(json);
  EXPECT_TRUE(Whole(text, "{\"schema\": 2, ")) << text;
  EXPECT_NE(text.find("{\"name\": \"main\", \"count\": 1, \"total_seconds\": "), std::string::npos);
  EXPECT_EQ(text.find("\"total_seconds\": 0, "), std::string::npos) << text;
  EXPECT_EQ(Listing(dir), "run.json\n");
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

// What the environment asks for that cannot be done as asked is said at
// load, once, with what follows from it.
TEST(EnvironmentOutput, ItemsThatCannotBeAsAskedAreSaid) {
  const std::string dir = timetree_test::TempPath("said");
  ASSERT_EQ(std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
  Outcome o = Host({"exit"}, {"TIMETREE_OUTPUT=json:" + dir + "/a-%x.json,folded:" + dir +
                                  "/a-%x.json,trace:" + dir + "/t.json",
                              "TIMETREE_TRACE=0"});
  EXPECT_EQ(o.err,
            "timetree: TIMETREE_OUTPUT: \"json:" + dir + "/a-%x.json\": %x is not a placeholder "
            "(%p, %h, %r, %t, %%): it is kept as written\n"
            "timetree: TIMETREE_OUTPUT: \"folded:" + dir + "/a-%x.json\": %x is not a placeholder "
            "(%p, %h, %r, %t, %%): it is kept as written\n"
            "timetree: TIMETREE_OUTPUT: \"folded:" + dir + "/a-%x.json\" is left out: \"json:" +
            dir + "/a-%x.json\" writes " + dir + "/a-%x.json already\n"
            "timetree: TIMETREE_OUTPUT: \"trace:" + dir + "/t.json\" is left out: TIMETREE_TRACE=0 "
            "turns the timeline off\n");
  EXPECT_EQ(ReadFile(dir + "/a-%x.json").rfind("{\"schema\": 2, ", 0), 0u);
  EXPECT_EQ(Listing(dir), "a-%x.json\n");
  // A value that is not one: the timeline asked for is recorded all the
  // same, and the message says so.
  o = Host({"exit"}, {"TIMETREE_OUTPUT=trace:" + dir + "/t.json", "TIMETREE_TRACE=-5"});
  EXPECT_EQ(o.err, "timetree: TIMETREE_TRACE=-5 is neither a number of events per thread nor on "
                   "or off; the timeline that TIMETREE_OUTPUT asks for records the default "
                   "1000000 events per thread\n");
  EXPECT_NE(ReadFile(dir + "/t.json").find("\"events_per_thread\": 1000000,"), std::string::npos);
  EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

// Outputs asked for from the environment keep timing on through the host's
// own TimeOpenOStream, unless TIMING_ON turns it off, which is said; a
// variable that looks like one of the library's is named at load.
TEST(EnvironmentOutput, AskingForOutputKeepsTimingOnAndNearMissesAreNamed) {
  const std::string json = timetree_test::TempPath("kept.json");
  std::remove(json.c_str());
  Outcome o = Host({"open"}, {"TIMETREE_OUTPUT=json:" + json});
  EXPECT_EQ(o.err, "");
  EXPECT_NE(ReadFile(json).find("{\"name\": \"main\", \"count\": 1, "), std::string::npos);
  std::remove(json.c_str());
  o = Host({"open"}, {"TIMETREE_OUTPUT=json:" + json, "TIMING_ON=0"});
  EXPECT_EQ(o.err, "timetree: TIMING_ON=0 turns timing off, so TIMETREE_OUTPUT has no timers to "
                   "write\ntimetree: TIMETREE_OUTPUT: no timers to write to " + json + "\n");
  o = Host({"exit"}, {"TIMING_CONSOL=1", "TIMETREE_QUIET=0"});
  EXPECT_EQ(o.err.rfind("timetree: the environment has TIMING_CONSOL, which timetree does not "
                        "read; did you mean TIMING_CONSOLE?\n", 0), 0u) << o.err;
}

TEST(EnvironmentOutput, NearMissesOfTheLibrarysVariables) {
  const char* const env[] = {"TIMING_CONSOL=1", "TIMETREE_OUTPUTS=json:x", "timing_on=1",
                             "TIMETREE_FOO=1", "PATH=/bin", "TIMETREE_META_GIT=1",
                             "TIMING_ON=1", "timetree_meta_git=1", "TIMIN_FILE=1", nullptr};
  const std::string all =
      "TIMING_ON, TIMING_FILE, TIMING_CONSOLE, TIMING_BUILD_MARKER, TIMETREE_OUTPUT, "
      "TIMETREE_SIGNALS, TIMETREE_TRACE, TIMETREE_QUIET, TIMETREE_CLOCK, TIMETREE_NAMES, "
      "TIMETREE_COUNTERS, TIMETREE_SERIES, TIMETREE_SERIES_POINTS, TIMETREE_MPI_CALLS, "
      "TIMETREE_FUNCTIONS_INCLUDE, TIMETREE_FUNCTIONS_EXCLUDE, TIMETREE_FUNCTIONS_MAX_DEPTH, "
      "TIMETREE_FUNCTIONS_THROTTLE, TIMETREE_FUNCTIONS_THROTTLE_NS";
  const std::vector<std::string> expected = {
      "timetree: the environment has TIMING_CONSOL, which timetree does not read; did you mean "
      "TIMING_CONSOLE?",
      "timetree: the environment has TIMETREE_OUTPUTS, which timetree does not read; did you "
      "mean TIMETREE_OUTPUT?",
      "timetree: the environment has timing_on, which timetree does not read; did you mean "
      "TIMING_ON?",
      "timetree: the environment has TIMETREE_FOO, which timetree does not read (it reads " + all +
          " and TIMETREE_META_<KEY>)",
      "timetree: the environment has timetree_meta_git, which timetree does not read; did you "
      "mean TIMETREE_META_git?",
      "timetree: the environment has TIMIN_FILE, which timetree does not read; did you mean "
      "TIMING_FILE?"};
  EXPECT_EQ(timetree::NearMisses(env), expected);
}

}  // namespace
