// Opening the outputs: clearing the timers, then the file and the console
// channel opened or closed by their switches.
#include <cstdio>

#include "channels/channels.h"
#include "include/timetree.h"
#include "registry/dtimemgr.h"
#include "sibling/switches.h"

void TimeOpenOStream(const char* path) {
  timetree::Channels& channels = timetree::g_channels;
  // Any message of the clear goes to the channels as they stood before.
  TimeClear();
  const timetree::ChannelLock lock;

  int file_on = 0;
  timetree::ReadSwitch("TIMING_FILE", &file_on);
  if (file_on != 0) {
    // An open file stays open and the new path is ignored; a file that
    // cannot be opened is tried again at the next call. Close-on-exec, so that
    // a child the host starts does not inherit it.
    if (channels.file == nullptr && path != nullptr) channels.file = std::fopen(path, "we");
  } else if (channels.file != nullptr) {
    std::fclose(channels.file);
    channels.file = nullptr;
  }

  int console_on = 0;
  timetree::ReadSwitch("TIMING_CONSOLE", &console_on);
  if (console_on != 0) {
    if (channels.console == nullptr) channels.console = stdout;
  } else {
    channels.console = nullptr;
  }
}
