// Internal side of the output channels: their state, which TimeComment,
// TimeCloseOStream, TimeOpenOStream and the banner change.
#ifndef TIMETREE_OUTPUT_CHANNELS_H
#define TIMETREE_OUTPUT_CHANNELS_H

#include <cstdio>

namespace timetree {

// The two channels and the banner's flag. Constant-initialised: closed, and
// no banner written, when the library is loaded. Read and changed under the
// channel lock (ChannelLock, registry/dtimemgr.h).
struct Channels {
  FILE* console = nullptr;  // the console channel (standard output), while open
  FILE* file = nullptr;     // the file channel, while open
  int bannerPrinted = 0;    // the banner was written since the last close
};
extern Channels g_channels;

using CommentSpy = void (*)(const char* text);

// When set, every TimeComment text is also handed to spy; for tests that
// check in how many pieces a message is written.
void SetCommentSpyForTesting(CommentSpy spy);

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_CHANNELS_H
