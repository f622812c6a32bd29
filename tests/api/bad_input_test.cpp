// Bad input of every kind, in one table: each case says what the library
// must write (exactly), and none may crash, leak or write out of bounds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "channels/channels.h"
#include "output/banner.h"
#include "registry/dtimemgr.h"
#include "support.h"

namespace {

using timetree_test::Format;
using timetree_test::Header;
using timetree_test::Row;

const std::string kMiB(1 << 20, 'm');
const std::string kNotUtf8 = "\xff\xfe\xc3\x28\x80 bytes";
constexpr char kDate[] = "\n***** Testing on build dated: 11/8/106 *****\n";

std::string WatchRow(const std::string& label) {
  return Format("| %-20s | %6d | %17lf | %17lf |\n", label.c_str(), 0, 0.0, 0.0);
}

class BadInput : public timetree_test::TimingTest {};

TEST_F(BadInput, TableOfBadInputs) {
  // The marker files of the banner cases.
  const std::string old_marker = NewFile("old"), late_marker = NewFile("late"),
                    locked = NewFile("locked"), folder = NewFile("folder");
  for (const auto& [path, utc] : {std::make_pair(old_marker, time_t{315532799}),
                                  std::make_pair(late_marker, time_t{4354819200}),
                                  std::make_pair(locked, time_t{1162944000})}) {
    std::ofstream(path) << "x";
    utimbuf times{utc, utc};
    utime(path.c_str(), &times);
  }
  chmod(locked.c_str(), 0);
  mkdir(folder.c_str(), 0700);
  // Opening a FIFO for reading would wait for a writer: the call must
  // return, leaving out the date as for a missing file.
  const std::string fifo = NewFile("fifo");
  mkfifo(fifo.c_str(), 0600);
  timetree::SetArchitectureForTesting("sparc");  // no machine line
  auto banner_with = [](const std::string& marker) {
    return [marker] {
      setenv("TIMING_BUILD_MARKER", marker.c_str(), 1);
      TimeCommentBuildInfo();
    };
  };
  // Root reads a file whatever its mode.
  const std::string locked_text = geteuid() == 0 ? kDate : "";

  struct Case {
    const char* what;
    std::function<void()> act;
    std::string expected;
  };
  const Case cases[] = {
      {"null everywhere",
       [] {
         TimeStartTimer(nullptr);
         TimeStopTimer(nullptr);
         TimeStopTimer(nullptr);
         TimeComment(nullptr);
         TimeOpenOStream(nullptr);  // keeps the open file
         TimePrintIndented(nullptr);
         StopWatch w;
         w.Print(nullptr, nullptr);
       },
       "No timer active while trying to stop timer \"\"\n"},
      {"empty texts",
       [] {
         TimeComment("");
         TimeStartTimer("");
         TimeStopTimer("");
         TimePrintIndented("");
       },
       Header() + Row("", 1, 0.0)},
      {"1 MiB comment", [] { TimeComment(kMiB.c_str()); }, kMiB},
      {"1 MiB name, cut to 25 and echoed whole",
       [] {
         TimeStartTimer(kMiB.c_str());
         TimeStopTimer(kMiB.c_str());
         TimeStopTimer(kMiB.c_str());
         TimePrint();
       },
       "No timer active while trying to stop timer \"" + kMiB + "\"\n" + Header() +
           Row(kMiB.substr(0, 25), 1, 0.0)},
      {"1 MiB stopwatch label",
       [] {
         StopWatch w;
         w.Print(kMiB.c_str(), timetree::g_channels.file);
       },
       WatchRow(kMiB)},
      {"bytes that are not UTF-8",
       [] {
         TimeComment(kNotUtf8.c_str());
         TimeStartTimer(kNotUtf8.c_str());
         TimeStopTimer("other");
       },
       kNotUtf8 + "Timer could not find timer \"other\"\n"
                  "Check that start and stop have the same name\n"},
      {"printf directives in every text",
       [] {
         TimeComment("%n%s%d%%\n");
         TimeStartTimer("%n%s");
         TimeStartTimer("%s%s%s");
         TimeStopTimer("%n%s");
         TimePrintIndented("%n");
       },
       "%n%s%d%%\n" + Header() + Row("%n%s", 1, 0.0) + Row("?n%s%s%s", 1, 0.0) +
           timetree_test::ImplicitNote()},
      {"unopenable paths leave the file channel closed",
       [] {
         TimeCloseOStream();
         // A folder, a place where not even root may create a file, and a
         // missing folder.
         for (const char* path : {"/tmp", "/proc/timetree.txt", "/nonexistent/folder/x.txt"}) {
           TimeOpenOStream(path);
           if (timetree::g_channels.file != nullptr) ADD_FAILURE() << "opened " << path;
           TimeComment("goes nowhere\n");
         }
       },
       ""},
      {"marker dated before 1980", banner_with(old_marker), ""},
      {"marker dated after 2107", banner_with(late_marker), ""},
      {"marker that is a folder", banner_with(folder), ""},
      {"marker that is a FIFO", banner_with(fifo), ""},
      {"marker that is a device", banner_with("/dev/null"), ""},
      {"marker that is unreadable", banner_with(locked), locked_text},
  };
  for (const Case& c : cases) {
    OpenCapture();
    c.act();
    EXPECT_EQ(Captured(), c.expected) << c.what;
    TimeClear();
  }
  timetree::SetArchitectureForTesting(nullptr);
  rmdir(folder.c_str());
}

TEST_F(BadInput, IndentationUnitsOfZeroToNineCharactersAndNull) {
  OpenCapture();
  TimeStartTimer("a");
  TimeStartTimer("b");
  Run("c", 1);
  TimeStopTimer("b");
  TimeStopTimer("a");
  std::string expected;
  auto expect_unit = [&expected](const std::string& used) {
    expected += Header() + Row("a", 1, 0.001) + Row(used + "b", 1, 0.001) +
                Row(used + used + "c", 1, 0.001);
  };
  const std::string digits = "123456789";
  for (size_t length = 0; length <= 9; ++length) {
    const std::string unit = digits.substr(0, length);
    TimePrintIndented(unit.c_str());
    expect_unit(length >= 1 && length <= 7 ? unit : ".");
  }
  TimePrintIndented(nullptr);
  expect_unit(".");
  TimePrintIndented("%s%n");  // a unit is text, not a format
  expect_unit("%s%n");
  EXPECT_EQ(Captured(), expected);
}

}  // namespace
