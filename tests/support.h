// Shared helpers of the tests: a tick source driven by hand, switch
// settings that are restored afterwards, and capture of what the library
// writes through its file channel.
#ifndef TIMETREE_TESTS_SUPPORT_H
#define TIMETREE_TESTS_SUPPORT_H

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "channels/channels.h"
#include "include/timetree.h"
#include "stopwatch/ticks.h"

namespace timetree_test {

// Keeps the calling thread busy until it has used ns of processor time.
inline void SpinThreadCpu(int64_t ns) {
  const auto used = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
  };
  for (const int64_t until = used() + ns; used() < until;) {
  }
}

// A counter that moves only when a test says so; 1,000 ticks per second
// make seconds exact in reports. Each thread has a counter of its own.
struct FakeClock {
  static inline thread_local int64_t now = 0;
  static int64_t Read() { return now; }
  static void Install(double frequency = 1000.0) {
    now = 0;
    timetree::SetTickSourceForTesting(&Read, frequency);
  }
  static void Remove() { timetree::SetTickSourceForTesting(nullptr, 0.0); }
};

inline std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(&text[0], text.size() + 1, format, args);
  va_end(args);
  return text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline std::string TempPath(const char* stem) {
  const char* dir = std::getenv("TMPDIR");
  return Format("%s/timetree-%s-%d-%s.txt", dir != nullptr ? dir : "/tmp",
                stem, static_cast<int>(getpid()),
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

// Every text handed to TimeComment, one entry per call.
struct CommentLog {
  // Never destroyed: a death test's child exits with the spy installed, and
  // the library's last clear then still writes to it.
  static inline std::vector<std::string>& pieces = *new std::vector<std::string>;
  static void Record(const char* text) { pieces.emplace_back(text); }
};

// Resets the library to its loaded state (channels closed, no timers) with
// the switches given, and restores the environment afterwards.
class TimingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kSwitches) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value != nullptr ? value : "", value != nullptr);
      unsetenv(name);
    }
    TimeCloseOStream();
    TimeClear();  // timing off: TIMING_ON is unset
    CommentLog::pieces.clear();
    timetree::SetCommentSpyForTesting(&CommentLog::Record);
    FakeClock::Install();
  }

  void TearDown() override {
    timetree::SetCommentSpyForTesting(nullptr);
    TimeCloseOStream();
    TimeClear();
    for (const auto& s : saved_) {
      if (s.set) {
        setenv(s.name.c_str(), s.value.c_str(), 1);
      } else {
        unsetenv(s.name.c_str());
      }
    }
    TimeClear();
    FakeClock::Remove();
    for (const auto& path : files_) std::remove(path.c_str());
  }

  static void Switch(const char* name, const char* value) {
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  }

  // Timing on, the file channel open on a fresh file, the console closed.
  void OpenCapture() {
    Switch("TIMING_ON", "1");
    Switch("TIMING_FILE", "1");
    Switch("TIMING_CONSOLE", "0");
    path_ = TempPath("capture");
    files_.push_back(path_);
    TimeOpenOStream(path_.c_str());
    CommentLog::pieces.clear();
  }

  // Closes the channels and returns all that reached the file.
  std::string Captured() {
    TimeCloseOStream();
    return ReadFile(path_);
  }

  std::string NewFile(const char* stem) {
    files_.push_back(TempPath(stem));
    return files_.back();
  }

  // Runs timer name for ticks counter ticks.
  static void Run(const char* name, int64_t ticks) {
    TimeStartTimer(name);
    FakeClock::now += ticks;
    TimeStopTimer(name);
  }

  std::string path_;

 private:
  struct Saved {
    Saved(std::string n, std::string v, bool s)
        : name(std::move(n)), value(std::move(v)), set(s) {}
    std::string name, value;
    bool set;
  };
  static constexpr const char* kSwitches[] = {
      "TIMING_ON", "TIMING_FILE", "TIMING_CONSOLE", "TIMING_BUILD_MARKER"};
  std::vector<Saved> saved_;
  std::vector<std::string> files_;
};

// The report texts, built with the library's own formats.
inline std::string Header() {
  return "\n" + Format("%-30s | %6s | %17s | %17s\n", "LABEL", "COUNT", "TOTAL",
                       "AVERAGE");
}
inline std::string Row(const std::string& label, int count, double seconds) {
  return Format("%-30s | %6d | %17lf | %17lf\n", label.c_str(), count, seconds,
                count != 0 ? seconds / count : 0.0);
}
inline const char* Warning() {
  return "Warning:  some timers are still running\n";
}
inline std::string ImplicitNote() {
  return "\nTimers with ? were stopped implicitly\n"
         "This is usually due to an early return which avoided the "
         "_time_stop\n";
}

}  // namespace timetree_test

#endif  // TIMETREE_TESTS_SUPPORT_H
