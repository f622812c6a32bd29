#include <gtest/gtest.h>

#include <string>

#include "channels/channels.h"
#include "internals.h"
#include "support.h"

namespace {

using timetree_test::ReadFile;

class OpenStream : public timetree_test::TimingTest {};

TEST_F(OpenStream, FileSwitchOnWithNullPathOpensNothing) {
  Switch("TIMING_ON", "1");
  Switch("TIMING_FILE", "1");
  TimeOpenOStream(nullptr);
  EXPECT_EQ(timetree::g_channels.file, nullptr);
  EXPECT_EQ(timetree::g_registry.enabled, 1);
}

TEST_F(OpenStream, SecondOpenKeepsTheFirstFileUntilTheSwitchTurnsOff) {
  OpenCapture();
  const std::string second = NewFile("second");
  TimeComment("one\n");
  TimeOpenOStream(second.c_str());
  TimeComment("two\n");
  Switch("TIMING_FILE", "0");
  TimeOpenOStream(second.c_str());
  TimeComment("three\n");
  EXPECT_EQ(timetree::g_channels.file, nullptr);
  EXPECT_EQ(ReadFile(path_), "one\ntwo\n");
  EXPECT_EQ(ReadFile(second), "");  // never created
}

TEST_F(OpenStream, ConsoleSwitchTurnedOffReleasesTheConsole) {
  Switch("TIMING_CONSOLE", "on");
  TimeOpenOStream(nullptr);
  EXPECT_EQ(timetree::g_channels.console, stdout);
  Switch("TIMING_CONSOLE", "off");
  TimeOpenOStream(nullptr);
  EXPECT_EQ(timetree::g_channels.console, nullptr);
}

TEST_F(OpenStream, AllSwitchesOffDisablesClosesAndDeletesTimers) {
  OpenCapture();
  Run("A", 5);
  Switch("TIMING_ON", "0");
  Switch("TIMING_FILE", "0");
  Switch("TIMING_CONSOLE", "0");
  TimeOpenOStream(path_.c_str());
  EXPECT_EQ(timetree::g_registry.enabled, 0);
  EXPECT_EQ(timetree::g_channels.file, nullptr);
  EXPECT_EQ(timetree::g_channels.console, nullptr);
  EXPECT_EQ(timetree_test::TopCount(), 0);
}

TEST_F(OpenStream, RunningTimerMessageGoesToTheChannelsOpenBefore) {
  OpenCapture();
  TimeStartTimer("busy");
  Switch("TIMING_FILE", "0");
  TimeOpenOStream(nullptr);
  EXPECT_EQ(ReadFile(path_),
            "dtimemgr - TimeClear deleted running timer: busy\n"
            "dtimemgr search_list problem\n");
}

TEST_F(OpenStream, UnopenableFileIsTriedAgainAtTheNextCall) {
  Switch("TIMING_ON", "1");
  Switch("TIMING_FILE", "1");
  TimeOpenOStream("/nonexistent-dir/timetree/out.txt");
  EXPECT_EQ(timetree::g_channels.file, nullptr);
  path_ = NewFile("retry");
  TimeOpenOStream(path_.c_str());
  EXPECT_NE(timetree::g_channels.file, nullptr);
  TimeComment("ok\n");
  EXPECT_EQ(Captured(), "ok\n");
}

}  // namespace
