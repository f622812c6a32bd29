#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "sibling/morvex.h"
#include "sibling/switches.h"

namespace {

TEST(Switches, ValuesReadAsTabulated) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {nullptr, 0}, {"", 0},      {"0", 0},        {"1", 1},     {"2", 2},
      {"-1", -1},   {"+3", 3},    {"007", 7},      {"on", 1},    {"ON", 1},
      {"True", 1},  {"yes", 1},   {"off", 0},      {"OFF", 0},   {"False", 0},
      {"no", 0},    {"NO", 0},    {" 0 ", 0},      {"\toff\n", 0}, {"   ", 0},
      {"maybe", 1}, {"1x", 1},    {"-", 1},        {"0.0", 1},   {"nope", 1},
      {"99999999999", INT_MAX},   {"-99999999999", INT_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(timetree::ParseSwitchValue(c.text), c.expected)
        << "text: " << (c.text != nullptr ? c.text : "(unset)");
  }
}

TEST(Switches, ReadAnewFromTheEnvironmentAtEveryCall) {
  unsetenv("TIMETREE_TEST_SWITCH");
  int out = -7;
  EXPECT_EQ(timetree::ReadSwitch("TIMETREE_TEST_SWITCH", &out), 0);
  EXPECT_EQ(out, 0);
  setenv("TIMETREE_TEST_SWITCH", "yes", 1);
  EXPECT_EQ(timetree::ReadSwitch("TIMETREE_TEST_SWITCH", &out), 1);
  EXPECT_EQ(out, 1);
  setenv("TIMETREE_TEST_SWITCH", "-1", 1);
  EXPECT_EQ(timetree::CheckDebugRegEntry("TIMETREE_TEST_SWITCH", 0), -1);
  unsetenv("TIMETREE_TEST_SWITCH");
}

// Under LeakSanitizer a block left behind fails the run.
TEST(Morvex, ChainLinksEveryBlockAndFreesThemAll) {
  timetree::Morvex* first = nullptr;
  timetree::Morvex* blocks[5];
  for (auto& block : blocks) {
    block = timetree::Morvex::Create(first, 10, 24);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(first, block);
    // The whole element area is usable.
    std::memset(block->Data(), 0xAB, 10 * 24);
  }
  EXPECT_EQ(static_cast<char*>(blocks[0]->Data()),
            reinterpret_cast<char*>(blocks[0]) + sizeof(void*));
  int linked = 0;
  for (timetree::Morvex* b = first; b != nullptr; b = b->next) ++linked;
  EXPECT_EQ(linked, 5);
  timetree::Morvex::FreeDataChain(first);
  timetree::Morvex::FreeDataChain(nullptr);
}

}  // namespace
