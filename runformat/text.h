// Text of the run format: printf-style appending to a string of any
// length, names escaped for JSON, folded stacks and XML, UTF-8 made valid,
// times of a timeline written exactly, and the distance between two names
// (for "did you mean").
#ifndef TIMETREE_RUNFORMAT_TEXT_H
#define TIMETREE_RUNFORMAT_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace timetree {

// Appends the printf-style formatted text to out, whatever its length.
void AppendFormat(std::string& out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Length of the well-formed UTF-8 sequence at text (1 to 4), or 0 when the
// bytes there are not one (overlong forms and surrogates included).
size_t Utf8SequenceLength(const unsigned char* text);

// Appends text as the contents of a JSON string: quotes, backslashes and
// control characters escaped, malformed UTF-8 replaced by U+FFFD.
void AppendJsonString(std::string& out, const char* text);

// Appends a name as one frame of a folded stack: ";" becomes ":", white
// space and control characters "_", malformed UTF-8 "?", empty "(empty)".
void AppendFoldedName(std::string& out, const char* name);

// Appends text (which may hold zero bytes) with every byte that starts no
// well-formed UTF-8 sequence replaced by U+FFFD.
void AppendValidUtf8(std::string& out, const std::string& text);

// Appends units of 1/1024 microsecond as microseconds, exactly: the whole
// part, then the fraction's decimal digits (at most 10), at least three.
// Timelines are written in these units because readers add "dur" to "ts"
// as doubles to find an event's end, and an end one unit of the last place
// past the next event's start nests that event inside it; multiples of
// 1/1024 are exact doubles and exact decimals, so every sum is exact and an
// end equals the start written for the same moment.
void AppendMicros(std::string& out, int64_t units);

// Edits (insertions, deletions, substitutions, swaps of neighbours) from a
// to b: how near a misspelt name is to one that exists.
size_t EditDistance(const std::string& a, const std::string& b);

// Appends text as XML character data: markup characters as entities,
// characters that XML forbids and malformed UTF-8 replaced by U+FFFD.
void AppendXmlText(std::string& out, const char* text);

}  // namespace timetree

#endif  // TIMETREE_RUNFORMAT_TEXT_H
