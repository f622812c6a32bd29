// Internal side of the output channels.
#ifndef TIMETREE_OUTPUT_CHANNELS_H
#define TIMETREE_OUTPUT_CHANNELS_H

namespace timetree {

// Formats like printf and writes the result through TimeComment in one
// piece, whatever its length.
void CommentF(const char* format, ...) __attribute__((format(printf, 1, 2)));

using CommentSpy = void (*)(const char* text);

// When set, every TimeComment text is also handed to spy; for tests that
// check in how many pieces a message is written.
void SetCommentSpyForTesting(CommentSpy spy);

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_CHANNELS_H
