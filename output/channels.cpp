// The two output channels: the console (a stream such as stdout, flushed at
// every write so that it keeps its place among the host's own output) and a
// text file (buffered; its contents reach the disk at the latest when it is
// closed).
#include "output/channels.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/timetree.h"
#include "output/hints.h"
#include "registry/dtimemgr.h"
#include "stopwatch/atomics.h"

namespace timetree {

Channels g_channels;

namespace {

CommentSpy g_commentSpy = nullptr;

// Buffered file output is written out before a fork, so that a child that
// exits does not write the parent's pending bytes a second time (the
// registry holds the channel lock across the fork meanwhile).
void FlushBeforeFork() {
  if (g_channels.file != nullptr) std::fflush(g_channels.file);
}

struct Hooks {
  Hooks() { g_hooks.beforeFork = &FlushBeforeFork; }
} g_setHooks;

}  // namespace

void SetCommentSpyForTesting(CommentSpy spy) { g_commentSpy = spy; }

}  // namespace timetree

void TimeComment(const char* text) {
  if (text == nullptr) return;
  timetree::Channels& channels = timetree::g_channels;
  // Each text is written whole: texts of other threads come before or after.
  const timetree::ChannelLock lock;
  if (timetree::g_commentSpy != nullptr) timetree::g_commentSpy(text);
  if (channels.console == nullptr && channels.file == nullptr) {
    if (text[0] != '\0' && timetree::LoadRelaxed(timetree::g_registry.enabled) != 0) {
      timetree::NoteDropped();
    }
    return;
  }
  timetree::NoteWritten();
  // Failed writes are ignored on both channels.
  const size_t length = std::strlen(text);
  if (channels.console != nullptr) {
    std::fwrite(text, 1, length, channels.console);
    std::fflush(channels.console);
  }
  if (channels.file != nullptr) std::fwrite(text, 1, length, channels.file);
}

void TimeCloseOStream() {
  timetree::Channels& channels = timetree::g_channels;
  const timetree::ChannelLock lock;
  // Releasing the console only forgets it: standard output stays the host's.
  channels.console = nullptr;
  if (channels.file != nullptr) {
    std::fclose(channels.file);
    channels.file = nullptr;
  }
  channels.bannerPrinted = 0;
}
