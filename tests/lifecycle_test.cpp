#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support.h"

namespace {

using timetree_test::Header;
using timetree_test::ReadFile;
using timetree_test::Row;

class Lifecycle : public timetree_test::TimingTest {};

// A host that exits without closing the outputs, with a timer still running,
// loses nothing: unloading closes the file after clearing nothing into it.
TEST_F(Lifecycle, ExitWithoutCloseKeepsEverythingWritten) {
  const std::string path = NewFile("exit");
  EXPECT_EXIT(
      {
        Switch("TIMING_ON", "1");
        Switch("TIMING_FILE", "1");
        Switch("TIMING_CONSOLE", "0");
        TimeOpenOStream(path.c_str());
        Run("A", 1);
        TimePrint();
        TimeComment("last line\n");
        TimeStartTimer("still running");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(path), Header() + Row("A", 1, 0.001) + "last line\n");
}

}  // namespace
