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
                                        dir + "/run.html,json:/nonexistent/run.json,json:",
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
  EXPECT_NE(o.err.find("timetree: TIMETREE_OUTPUT: /nonexistent/run.json could not be written\n"),
            std::string::npos);

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

}  // namespace
