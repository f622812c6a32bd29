#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "output/hints.h"
#include "registry/dtimemgr.h"
#include "support.h"

namespace {

using timetree_test::Header;
using timetree_test::ReadFile;
using timetree_test::Row;

class Lifecycle : public timetree_test::TimingTest {};

// A host that exits without closing the outputs, with a timer still running,
// loses nothing: unloading closes the file after clearing nothing into it.
TEST_F(Lifecycle, ExitWithoutCloseKeepsEverythingWritten) {
  const std::string path = NewFile("exit");
  EXPECT_EXIT(
      {
        Switch("TIMING_ON", "1");
        Switch("TIMING_FILE", "1");
        Switch("TIMING_CONSOLE", "0");
        TimeOpenOStream(path.c_str());
        Run("A", 1);
        TimePrint();
        TimeComment("last line\n");
        TimeStartTimer("still running");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(path), Header() + Row("A", 1, 0.001) + "last line\n");
}

// A program that times while TIMING_ON is unset is told once, at exit, how
// to turn timing on; not when TIMING_ON is set to an off value, not with
// TIMETREE_QUIET=1, and nothing else changes.
TEST_F(Lifecycle, TimingLeftOffByAnUnsetSwitchIsExplainedOnceAtExit) {
  struct Case {
    const char* timing_on;  // null: unset
    const char* quiet;
    bool hint;
  };
  for (const Case& c : {Case{nullptr, nullptr, true}, Case{"", nullptr, true},
                        Case{"0", nullptr, false}, Case{nullptr, "1", false}}) {
    const std::string err = NewFile("stderr");
    EXPECT_EXIT(
        {
          if (std::freopen(err.c_str(), "w", stderr) == nullptr) std::_Exit(3);
          Switch("TIMING_ON", c.timing_on);
          Switch("TIMETREE_QUIET", c.quiet);
          timetree::g_timeManager.offNoted = 0;
          timetree::g_timeManager.offHintPid = 0;
          TimeClear();
          for (int i = 0; i < 3; ++i) Run("work", 1);
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string said = ReadFile(err);
    EXPECT_EQ(said.empty(), !c.hint) << said;
    if (c.hint) {
      EXPECT_EQ(said,
                "timetree: timing was off because TIMING_ON is not set; to time and see the "
                "reports, set TIMING_ON=1 and TIMING_CONSOLE=1 (standard output) and/or "
                "TIMING_FILE=1 (the program's file); TIMETREE_QUIET=1 silences this line\n");
    }
  }
}

// Seeing nothing always comes with a reason, said once at exit: text that
// went nowhere, timers that ran with nothing written, TIMING_ON that was
// never read; and nothing when something was written.
TEST_F(Lifecycle, SeeingNothingIsExplainedOnceAtExit) {
  const std::string nowhere =
      "timetree: reports or messages went nowhere: no output channel was open when they were "
      "written; set TIMING_CONSOLE=1 (standard output) and/or TIMING_FILE=1 (the program's "
      "file), which TimeOpenOStream reads, or TIMETREE_OUTPUT=report for both reports on "
      "standard error at exit; TIMETREE_QUIET=1 silences this line\n";
  const std::string nothing =
      "timetree: timers ran, but nothing was written: no output channel was open and no "
      "report, export or TIMETREE_OUTPUT item was asked for; set TIMING_CONSOLE=1 and/or "
      "TIMING_FILE=1 (read by TimeOpenOStream) and call TimePrint, or set "
      "TIMETREE_OUTPUT=report (or json:PATH, ...) to write at exit; TIMETREE_QUIET=1 "
      "silences this line\n";
  const std::string unread =
      "timetree: timing was off: TIMING_ON is set, but the program never called "
      "TimeOpenOStream or TimeClear, which read it; call one of them before timing, or set "
      "TIMETREE_OUTPUT=report to time without them; TIMETREE_QUIET=1 silences this line\n";
  const std::string file = NewFile("hint-file");
  struct Case {
    const char* what;
    bool clear;       // TimeClear (or, with a file, TimeOpenOStream) first
    const char* file_on;
    void (*after)();  // what the host does with its timers
    const char* quiet;
    std::string said;
  };
  const Case cases[] = {
      {"no channel, no report", true, nullptr, [] {}, nullptr, nothing},
      {"a report, no channel", true, nullptr, [] { TimePrint(); }, nullptr, nowhere},
      {"a report to a file", true, "1", [] { TimePrint(); }, nullptr, ""},
      {"an export", true, nullptr, [] { TimeWriteJson("/dev/null"); }, nullptr, ""},
      {"quiet", true, nullptr, [] { TimePrint(); }, "1", ""},
      {"never read", false, nullptr, [] {}, nullptr, unread},
  };
  for (const Case& c : cases) {
    const std::string err = NewFile("stderr");
    EXPECT_EXIT(
        {
          if (std::freopen(err.c_str(), "w", stderr) == nullptr) std::_Exit(3);
          timetree::ResetHintsForTesting();
          timetree::g_timeManager.offNoted = 0;
          timetree::g_timeManager.offHintPid = 0;
          Switch("TIMING_ON", "1");
          Switch("TIMING_FILE", c.file_on);
          Switch("TIMETREE_QUIET", c.quiet);
          if (c.clear) TimeOpenOStream(file.c_str());
          for (int i = 0; i < 3; ++i) Run("work", 1);
          c.after();
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadFile(err), c.said) << c.what;
  }
}

// Runs a helper program and returns its exit status.
int RunHelper(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Lifecycle, ThousandLoadsAndUnloadsEachCloseTheFileWhole) {
  const std::string file = NewFile("cycles");
  EXPECT_EQ(RunHelper(std::string(TIMETREE_DLOPEN_HOST) + " cycles " +
                      TIMETREE_LIBRARY + " " + file),
            0);
}

TEST_F(Lifecycle, CallsAfterTheLibrarysTeardownDoNoHarm) {
  const std::string file = NewFile("late");
  NewFile("late.txt.late");
  EXPECT_EQ(RunHelper(std::string(TIMETREE_DLOPEN_HOST) + " after-unload " +
                      TIMETREE_LIBRARY + " " + file),
            0);
  EXPECT_EQ(ReadFile(file), "written before exit\n");
  std::remove((file + ".late").c_str());
}

TEST_F(Lifecycle, HostStaticObjectsCallingDuringExitAreWritten) {
  const std::string file = NewFile("static");
  EXPECT_EQ(RunHelper(std::string(TIMETREE_STATIC_HOST) + " " + file), 0);
  // The host's statics go before the library's teardown, so their output
  // reaches the file; the running timer is then deleted with the channels
  // already closed.
  const std::string text = ReadFile(file);
  EXPECT_NE(text.find("Timer could not find timer \"nothing running\"\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("\n.in destructor "), std::string::npos) << text;
  EXPECT_NE(text.find("destructor done\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("dtimemgr"), std::string::npos) << text;
}

}  // namespace
