// The two output channels: the console (a stream such as stdout, flushed at
// every write so that it keeps its place among the host's own output) and a
// text file (buffered; its contents reach the disk at the latest when it is
// closed).
#include "channels/channels.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/timetree.h"
#include "stopwatch/atomics.h"

namespace timetree {

Channels g_channels;
bool (*g_timingOnForChannels)() = nullptr;

namespace {

CommentSpy g_commentSpy = nullptr;
int g_written = 0;
long g_droppedPid = 0;  // the process in which text went nowhere

}  // namespace

void FlushFileChannel() {
  if (g_channels.file != nullptr) std::fflush(g_channels.file);
}

void NoteWritten() { StoreRelaxed(g_written, 1); }
bool AnythingWritten() { return LoadRelaxed(g_written) != 0; }
long DroppedPid() { return LoadRelaxed(g_droppedPid); }

void ResetNotesForTesting() {
  StoreRelaxed(g_written, 0);
  StoreRelaxed(g_droppedPid, 0L);
}

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
  timetree::Channels& channels = timetree::g_channels;
  // Each text is written whole: texts of other threads come before or after.
  const timetree::ChannelLock lock;
  if (timetree::g_commentSpy != nullptr) timetree::g_commentSpy(text);
  if (channels.console == nullptr && channels.file == nullptr) {
    if (text[0] != '\0' && timetree::g_timingOnForChannels != nullptr &&
        timetree::g_timingOnForChannels()) {
      timetree::StoreRelaxed(timetree::g_droppedPid, static_cast<long>(getpid()));
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
