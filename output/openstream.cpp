// Opening the outputs: clearing the timers, then the file and the console
// channel opened or closed by their switches.
#include <cstdio>

#include "include/timetree.h"
#include "registry/dtimemgr.h"
#include "sibling/switches.h"

void TimeOpenOStream(const char* path) {
  timetree::TimeManager& tm = timetree::g_timeManager;
  // Any message of the clear goes to the channels as they stood before.
  TimeClear();
  const timetree::ChannelLock lock;

  int file_on = 0;
  timetree::ReadSwitch("TIMING_FILE", &file_on);
  if (file_on != 0) {
    // An open file stays open and the new path is ignored; a file that
    // cannot be opened is tried again at the next call. Close-on-exec, so that
    // a child the host starts does not inherit it.
    if (tm.file == nullptr && path != nullptr) tm.file = std::fopen(path, "we");
  } else if (tm.file != nullptr) {
    std::fclose(tm.file);
    tm.file = nullptr;
  }

  int console_on = 0;
  timetree::ReadSwitch("TIMING_CONSOLE", &console_on);
  if (console_on != 0) {
    if (tm.console == nullptr) tm.console = stdout;
  } else {
    tm.console = nullptr;
  }
}
