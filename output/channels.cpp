// The two output channels: the console (a stream such as stdout, flushed at
// every write so that it keeps its place among the host's own output) and a
// text file (buffered; its contents reach the disk at the latest when it is
// closed).
#include "output/channels.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/timetree.h"
#include "output/hints.h"
#include "registry/dtimemgr.h"
#include "stopwatch/atomics.h"

namespace timetree {

namespace {
CommentSpy g_commentSpy = nullptr;
}  // namespace

void SetCommentSpyForTesting(CommentSpy spy) { g_commentSpy = spy; }

void CommentF(const char* format, ...) {
  // Report rows and messages fit the stack buffer; a longer text is
  // formatted again into one of its exact size rather than cut.
  char buffer[1024];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length < 0) return;
  if (static_cast<size_t>(length) < sizeof buffer) {
    TimeComment(buffer);
    return;
  }
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) return;
  va_start(args, format);
  std::vsnprintf(text, static_cast<size_t>(length) + 1, format, args);
  va_end(args);
  TimeComment(text);
  std::free(text);
}

}  // namespace timetree

void TimeComment(const char* text) {
  if (text == nullptr) return;
  timetree::TimeManager& tm = timetree::g_timeManager;
  // Each text is written whole: texts of other threads come before or after.
  const timetree::ChannelLock lock;
  if (timetree::g_commentSpy != nullptr) timetree::g_commentSpy(text);
  if (tm.console == nullptr && tm.file == nullptr) {
    if (text[0] != '\0' && timetree::LoadRelaxed(tm.enabled) != 0) timetree::NoteDropped();
    return;
  }
  timetree::NoteWritten();
  // Failed writes are ignored on both channels.
  const size_t length = std::strlen(text);
  if (tm.console != nullptr) {
    std::fwrite(text, 1, length, tm.console);
    std::fflush(tm.console);
  }
  if (tm.file != nullptr) std::fwrite(text, 1, length, tm.file);
}

void TimeCloseOStream() {
  timetree::TimeManager& tm = timetree::g_timeManager;
  const timetree::ChannelLock lock;
  // Releasing the console only forgets it: standard output stays the host's.
  tm.console = nullptr;
  if (tm.file != nullptr) {
    std::fclose(tm.file);
    tm.file = nullptr;
  }
  tm.bannerPrinted = 0;
}
