#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

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
