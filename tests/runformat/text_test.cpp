// The text helpers' edges: which bytes are one UTF-8 character (the names
// that reports pass through or mark), and how far apart two words are (the
// "did you mean" of every misspelt input).
#include <gtest/gtest.h>

#include <string>

#include "runformat/text.h"

namespace {

size_t Length(const char* bytes) {
  return timetree::Utf8SequenceLength(reinterpret_cast<const unsigned char*>(bytes));
}

TEST(Text, Utf8SequencesAtTheEdgesOfEachLength) {
  const struct {
    const char* bytes;
    size_t length;
  } cases[] = {
      {"A", 1},
      {"\xc2\x80", 2},          // U+0080, the first of two bytes
      {"\xc1\xbf", 0},          // overlong
      {"\xe0\xa0\x80", 3},      // U+0800
      {"\xe0\x9f\xbf", 0},      // overlong
      {"\xed\x9f\xbf", 3},      // U+D7FF
      {"\xed\xa0\x80", 0},      // a surrogate
      {"\xf0\x90\x80\x80", 4},  // U+10000
      {"\xf0\x8f\xbf\xbf", 0},  // overlong
      {"\xf0\x90\x80"
       "A",
       0},  // its fourth byte not a continuation
      {"\xf0\x90"
       "AA",
       0},
      {"\xf4\x8f\xbf\xbf", 4},  // U+10FFFF
      {"\xf4\x90\x80\x80", 0},  // past it
      {"\xf5\x80\x80\x80", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(Length(c.bytes), c.length) << c.bytes;
}

TEST(Text, EditDistanceCountsASwapOfNeighboursAsOne) {
  EXPECT_EQ(timetree::EditDistance("shwo", "show"), 1u);
  EXPECT_EQ(timetree::EditDistance("ab", "ba"), 1u);
  EXPECT_EQ(timetree::EditDistance("kitten", "sitting"), 3u);
  EXPECT_EQ(timetree::EditDistance("", "abc"), 3u);
  EXPECT_EQ(timetree::EditDistance("abc", ""), 3u);
  EXPECT_EQ(timetree::EditDistance("same", "same"), 0u);
}

}  // namespace
