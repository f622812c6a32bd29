// Random call sequences against a small reference model of the timer tree.
// The clock is driven by hand, so the model predicts every byte the library
// writes: messages, report rows with their seconds, and the file contents.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model.h"
#include "support.h"

namespace {

using timetree_test::FakeClock;
using timetree_test::kNames;
using timetree_test::kUnits;
using timetree_test::Model;

class Differential : public timetree_test::TimingTest {};

TEST_F(Differential, RandomSequencesMatchTheModelByteForByte) {
  const char* env_seed = std::getenv("TEST_DIFF_SEED");
  const uint64_t first_seed = env_seed != nullptr ? std::strtoull(env_seed, nullptr, 10) : 1;
  const int sequences = env_seed != nullptr ? 1 : 10000;
  const std::string path = NewFile("differential");
  long operations = 0;

  for (int s = 0; s < sequences; ++s) {
    const uint64_t seed = first_seed + static_cast<uint64_t>(s);
    std::mt19937_64 rng(seed);
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };

    // Every sequence starts from a closed, cleared, disabled library.
    TimeCloseOStream();
    Switch("TIMING_ON", nullptr);
    Switch("TIMING_FILE", nullptr);
    Switch("TIMING_CONSOLE", nullptr);
    TimeClear();
    timetree_test::CommentLog::pieces.clear();
    FakeClock::now = 0;
    // Every other sequence compares names whole (TIMETREE_NAMES=full).
    timetree::g_wholeNames = seed % 2 == 0;
    Model model;
    std::remove(path.c_str());

    const int length = 1 + static_cast<int>(pick(60));
    for (int op = 0; op < length; ++op, ++operations) {
      FakeClock::now += static_cast<int64_t>(pick(7));
      const int64_t now = FakeClock::now;
      const size_t kind = pick(100);
      if (kind < 35) {
        const char* name = kNames[pick(std::size(kNames))];
        TimeStartTimer(name);
        model.Start(name, now);
      } else if (kind < 70) {
        const char* name = kNames[pick(std::size(kNames))];
        TimeStopTimer(name);
        model.Stop(name, now);
      } else if (kind < 75) {
        const bool on = pick(4) != 0;
        Switch("TIMING_ON", on ? "1" : "0");
        TimeClear();
        model.Clear(on);
      } else if (kind < 83) {
        const bool on = pick(4) != 0;
        const bool file_on = pick(3) != 0;
        Switch("TIMING_ON", on ? "yes" : "no");
        Switch("TIMING_FILE", file_on ? "1" : "0");
        TimeOpenOStream(path.c_str());
        model.Clear(on);
        if (file_on && !model.file_open) {
          model.file_open = true;
          model.file.clear();  // created or truncated
        } else if (!file_on) {
          model.file_open = false;
        }
      } else if (kind < 86) {
        TimeCloseOStream();
        model.file_open = false;
      } else if (kind < 92) {
        TimePrint();
        model.Print();
      } else {
        const char* unit = kUnits[pick(std::size(kUnits))];
        TimePrintIndented(unit);
        model.PrintIndented(unit);
      }
    }
    TimeCloseOStream();
    ASSERT_EQ(timetree_test::CommentLog::pieces, model.pieces)
        << "replay with TEST_DIFF_SEED=" << seed;
    ASSERT_EQ(timetree_test::ReadFile(path), model.file)
        << "replay with TEST_DIFF_SEED=" << seed;
  }
  timetree::g_wholeNames = false;
  RecordProperty("operations", static_cast<int>(operations));
  EXPECT_GT(operations, sequences * 20);
}

}  // namespace
