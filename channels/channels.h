// The messages' sink: the two output channels (the console and a text
// file), the lock that keeps a message or report whole, and what reached
// the user. Below the timers, so that they and every layer above write
// their messages here. TimeComment and TimeCloseOStream are declared in
// timetree.h.
#ifndef TIMETREE_CHANNELS_CHANNELS_H
#define TIMETREE_CHANNELS_CHANNELS_H

#include <cstdio>

#include "stopwatch/locks.h"

namespace timetree {

// The two channels and the banner's flag. Constant-initialised: closed, and
// no banner written, when the library is loaded. Read and changed under the
// channel lock.
struct Channels {
  FILE* console = nullptr;  // the console channel (standard output), while open
  FILE* file = nullptr;     // the file channel, while open
  int bannerPrinted = 0;    // the banner was written since the last close
  RecursiveLock lock;       // held for a whole message or report
};
extern Channels g_channels;

// Holds the output channels for a whole message or report, so that text of
// other threads never interleaves with it. Recursive: TimeComment inside
// takes it again.
class ChannelLock {
 public:
  ChannelLock() { g_channels.lock.Lock(); }
  ~ChannelLock() { g_channels.lock.Unlock(); }
  ChannelLock(const ChannelLock&) = delete;
  ChannelLock& operator=(const ChannelLock&) = delete;
};

// Formats like printf and writes the result through TimeComment in one
// piece, whatever its length.
void CommentF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes out what is buffered for the file channel; before a fork (under
// the channel lock), so that a child that exits does not write the
// parent's pending bytes a second time.
void FlushFileChannel();

// Whether timing is on, asked when a text finds no channel open: only then
// is the text noted as lost. Set by the timers when the library is loaded.
extern bool (*g_timingOnForChannels)();

// Something reached the user: text on an open channel, an export written,
// the timers handed to the host, outputs named by TIMETREE_OUTPUT.
void NoteWritten();
bool AnythingWritten();
// The process in which text for the channels went nowhere while timing was
// on; 0: none.
long DroppedPid();
// Forgets both notes, as in a process that has just loaded the library.
void ResetNotesForTesting();

using CommentSpy = void (*)(const char* text);

// When set, every TimeComment text is also handed to spy; for tests that
// check in how many pieces a message is written.
void SetCommentSpyForTesting(CommentSpy spy);

}  // namespace timetree

#endif  // TIMETREE_CHANNELS_CHANNELS_H
