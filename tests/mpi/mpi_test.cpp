// The MPI component on 4 ranks (mpirun -np 4): each rank's clock is driven
// by hand, so the per-rank totals, and so every combined figure, are exact.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "include/timetree_mpi.h"
#include "internals.h"
#include "mpi/calls.h"
#include "runformat/combined.h"
#include "support.h"

namespace {

using timetree_test::FakeClock;
using timetree_test::Format;

int Rank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

class Mpi : public timetree_test::TimingTest {
 protected:
  // Rank r: main for 0.1 (r + 1) s, holding solve (r + 1 starts of 0.01 s);
  // on odd ranks odd_only for 0.05 r s; everywhere a name longer than 25
  // characters, which ranks merge on its whole text.
  static void Work() {
    const int r = Rank();
    TimeStartTimer("main");
    FakeClock::now += 100 * (r + 1) - 10 * (r + 1);
    for (int i = 0; i <= r; ++i) Run("solve", 10);
    TimeStopTimer("main");
    if (r % 2 == 1) Run("odd_only", 50 * r);
    Run("abcdefghijklmnopqrstuvwxy-on-every-rank", 1);
  }
};

// Takes the "stddev" figures out of a combined file's text, in order, so
// that the rest compares exactly and they compare up to rounding.
std::vector<double> TakeStddevs(std::string& text) {
  std::vector<double> found;
  const std::string key = "\"stddev\": ";
  for (size_t at; (at = text.find(key)) != std::string::npos;) {
    const size_t end = text.find(", ", at);
    found.push_back(std::stod(text.substr(at + key.size(), end - at - key.size())));
    text.erase(at, end + 2 - at);
  }
  return found;
}

TEST_F(Mpi, CombinedJsonHoldsExactSumsMeansAndTheirRanks) {
  OpenCapture();
  Work();
  const std::string path = Rank() == 0 ? NewFile("ranks.json") : std::string();
  ASSERT_TRUE(TimeMpiWriteJson(MPI_COMM_WORLD, Rank() == 0 ? path.c_str() : nullptr));
  if (Rank() != 0) return;
  const double sum = 0.1 + 0.2 + 0.3 + 0.4;
  std::string text = timetree_test::ReadFile(path);
  // The spread of the ranks' totals: main, solve, the long name, odd_only.
  const std::vector<double> stddevs = TakeStddevs(text);
  ASSERT_EQ(stddevs.size(), 4u) << text;
  EXPECT_NEAR(stddevs[0], std::sqrt(0.0125), 1e-15);
  EXPECT_NEAR(stddevs[1], std::sqrt(0.000125), 1e-15);
  EXPECT_EQ(stddevs[2], 0.0);
  EXPECT_NEAR(stddevs[3], 0.05, 1e-15);
  EXPECT_EQ(text.rfind("{\"schema\": 2, \"combined\": true, \"sources\": 4, \"timers\": [\n", 0), 0u);
  EXPECT_NE(text.find(Format("{\"name\": \"main\", \"sources\": 4, \"count\": {\"sum\": 4, \"min\": 1, "
                             "\"max\": 1}, \"total_seconds\": {\"sum\": %.17g, \"mean\": %.17g, "
                             "\"min\": 0.10000000000000001, \"max\": 0.40000000000000002, "
                             "\"min_source\": 0, \"max_source\": 3}",
                             sum, sum / 4)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("{\"name\": \"solve\", \"sources\": 4, \"count\": {\"sum\": 10, \"min\": 1, "
                      "\"max\": 4}, \"total_seconds\": {\"sum\": 0.10000000000000001, "
                      "\"mean\": 0.025000000000000001, \"min\": 0.01, \"max\": 0.040000000000000001, "
                      "\"min_source\": 0, \"max_source\": 3}"),
            std::string::npos)
      << text;
  // A path of some ranks only: its mean is over those ranks.
  EXPECT_NE(text.find("{\"name\": \"odd_only\", \"sources\": 2, \"count\": {\"sum\": 2, \"min\": 1, "
                      "\"max\": 1}, \"total_seconds\": {\"sum\": 0.20000000000000001, "
                      "\"mean\": 0.10000000000000001, \"min\": 0.050000000000000003, "
                      "\"max\": 0.14999999999999999, \"min_source\": 1, \"max_source\": 3}"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("{\"name\": \"abcdefghijklmnopqrstuvwxy-on-every-rank\", \"sources\": 4, "),
            std::string::npos);
  // Each rank's metadata, in rank order, and what all ranks agree on.
  const size_t top = text.find("], \"metadata\": {\"program\": ");
  const size_t per_rank = text.find(", \"source_metadata\": [{");
  ASSERT_TRUE(top != std::string::npos && per_rank != std::string::npos) << text;
  const std::string agreed = text.substr(top, per_rank - top);
  EXPECT_NE(agreed.find(", \"ranks\": \"4\"}"), std::string::npos) << agreed;
  EXPECT_EQ(agreed.find("\"rank\":"), std::string::npos);
  size_t at = per_rank;
  for (int r = 0; r < 4; ++r) {
    at = text.find(Format("\"ranks\": \"4\", \"rank\": \"%d\"}", r), at);
    EXPECT_NE(at, std::string::npos) << r;
  }
}

// Each field of the bytes a rank sends arrives as it was: counts past
// 2^31, self times apart from totals, the shortest and longest intervals
// with their ranks, bytes, and the marks, each on its own path.
TEST_F(Mpi, EveryFieldOfARanksTimersArrivesExactly) {
  OpenCapture();
  const int r = Rank();
  TimeStartTimer("outer");
  FakeClock::now += 30;
  Run("inner", 10);
  TimeStopTimer("outer");
  timetree::TimerNode* outer = timetree_test::TopTimer(0);
  outer->count = 3000000000LL + r;
  Run("varied", 4 - r);
  Run("varied", 4 + 2 * r);
  TimeStartTimer("sized");
  TimeAddBytes(100 + r);
  TimeStopTimer("sized");
  if (r == 2) TimeMarkThrottled("sized");
  TimeStartTimer("marked");
  TimeStartTimer("closed early");
  TimeStopTimer("marked");  // closes "closed early" implicitly
  TimeStartTimer("left running");
  const std::string path = r == 0 ? NewFile("fields.json") : std::string();
  ASSERT_TRUE(TimeMpiWriteJson(MPI_COMM_WORLD, r == 0 ? path.c_str() : nullptr));
  TimeStopTimer("left running");
  if (r != 0) return;
  std::string text = timetree_test::ReadFile(path);
  TakeStddevs(text);
  EXPECT_NE(text.find("{\"name\": \"outer\", \"sources\": 4, \"count\": {\"sum\": 12000000006, "
                      "\"min\": 3000000000, \"max\": 3000000003}, \"total_seconds\": {\"sum\": "
                      "0.16, \"mean\": 0.040000000000000001, \"min\": 0.040000000000000001, "
                      "\"max\": 0.040000000000000001, \"min_source\": 0, \"max_source\": 0}, "
                      "\"self_seconds\": {\"sum\": 0.12, \"mean\": 0.029999999999999999, \"min\": "
                      "0.029999999999999999, \"max\": 0.029999999999999999, \"min_source\": 0, "
                      "\"max_source\": 0}, \"stopped_implicitly\": false, "
                      "\"min_interval_seconds\": 0.040000000000000001, \"min_interval_source\": 0, "
                      "\"max_interval_seconds\": 0.040000000000000001, \"max_interval_source\": 0, "
                      "\"children\": [\n{\"name\": \"inner\""),
            std::string::npos)
      << text;
  const size_t varied = text.find("{\"name\": \"varied\"");
  ASSERT_NE(varied, std::string::npos) << text;
  const std::string row = text.substr(varied, text.find('\n', varied) - varied);
  EXPECT_NE(row.find("\"min_interval_seconds\": 0.001, \"min_interval_source\": 3, "
                     "\"max_interval_seconds\": 0.01, \"max_interval_source\": 3, \"children\""),
            std::string::npos)
      << row;
  EXPECT_NE(text.find("\"bytes\": 406, \"throttled\": true, \"children\""), std::string::npos)
      << text;
  EXPECT_NE(text.find("{\"name\": \"closed early\", \"sources\": 4, \"count\": {\"sum\": 4, "
                      "\"min\": 1, \"max\": 1}"),
            std::string::npos);
  EXPECT_NE(text.find("\"stopped_implicitly\": true, \"min_interval_seconds\": 0, "
                      "\"min_interval_source\": 0, \"max_interval_seconds\": 0, "
                      "\"max_interval_source\": 0, \"children\": []}]}"),
            std::string::npos)
      << "closed early";
  EXPECT_NE(text.find("{\"name\": \"left running\", \"sources\": 4, "), std::string::npos);
  EXPECT_EQ(text.find("\"stopped_implicitly\": true", text.find("\"left running\"")),
            std::string::npos)
      << "running is not stopped implicitly";
}

void Interval(const std::string& name, int64_t ticks) {
  TimeStartTimer(name.c_str());
  FakeClock::now += ticks;
  TimeStopTimer(name.c_str());
}

// Rank r's own work: paths that some ranks share and some do not, counts
// and times that differ by rank.
void RankWork(int r) {
  FakeClock::now = 0;
  TimeStartTimer("all");
  for (int i = 0; i < 3 + r % 5; ++i) {
    const std::string part = "part " + std::to_string((i * (r + 1)) % 4);
    TimeStartTimer(part.c_str());
    Interval("leaf " + std::to_string((r + i) % 3), 1 + r % 7 + i);
    TimeStopTimer(part.c_str());
  }
  TimeStopTimer("all");
  if (r % 3 == 0) Interval("rank " + std::to_string(r), r + 1);
}

// This process's timers as a run of one source, as the tools read runs.
std::unique_ptr<timetree::combined::Run> OwnRun() {
  using timetree::combined::Node;
  struct Building {
    timetree::combined::Run run;
    std::vector<Node*> parents;
  } b;
  TimeForEachTimer64(
      [](const TimeTimerInfo64& t, void* context) {
        auto& b = *static_cast<Building*>(context);
        b.parents.resize(static_cast<size_t>(t.depth) + 1);
        Node* parent = t.depth == 0 ? &b.run.root : b.parents[static_cast<size_t>(t.depth) - 1];
        Node* node = parent->AddChild(t.name);
        b.parents[static_cast<size_t>(t.depth)] = node;
        node->sources = 1;
        const double count = static_cast<double>(t.count);
        node->count = {count, count, count, 0, 0};
        node->total = {t.total_seconds, t.total_seconds, t.total_seconds, 0, 0};
        node->self = {t.self_seconds, t.self_seconds, t.self_seconds, 0, 0};
        node->implicit = t.stopped_implicitly;
        if (t.count > 0) {
          node->intervals = {0, t.min_interval_seconds, t.max_interval_seconds, 0, 0};
          node->has_intervals = true;
        }
      },
      &b);
  auto run = std::make_unique<timetree::combined::Run>();
  timetree::combined::MergeRuns(*run, b.run);
  run->sources = 1;
  return run;
}

// The reduction tree gives what gathering every rank's run on rank 0 and
// combining them in rank order gives (run with 3, 4, 5, 16 and 64 ranks): the
// same rows in the same order, the same sums (times in ticks of 1/1024 s
// add exactly in any order), extremes and their ranks; the spreads agree
// up to rounding.
TEST_F(Mpi, TreeCombinesAsGatheringEveryRankDoes) {
  FakeClock::Install(1024.0);
  OpenCapture();
  RankWork(Rank());
  const std::string path = Rank() == 0 ? NewFile("tree.json") : std::string();
  ASSERT_TRUE(TimeMpiWriteJson(MPI_COMM_WORLD, Rank() == 0 ? path.c_str() : nullptr));
  if (Rank() != 0) return;
  int ranks = 0;
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  std::vector<std::unique_ptr<timetree::combined::Run>> runs;
  for (int r = 0; r < ranks; ++r) {
    TimeClear();
    RankWork(r);
    runs.push_back(OwnRun());
  }
  std::string want = timetree::combined::CombinedJson(*timetree::combined::Combine(runs));
  std::string got = timetree_test::ReadFile(path);
  // The ranks' metadata, which the reference runs lack, ends the file.
  const size_t metadata = got.find("], \"metadata\": {");
  ASSERT_NE(metadata, std::string::npos);
  got = got.substr(0, metadata + 1) + "}\n";
  const std::vector<double> want_spread = TakeStddevs(want), got_spread = TakeStddevs(got);
  EXPECT_EQ(got, want);
  ASSERT_EQ(got_spread.size(), want_spread.size());
  for (size_t i = 0; i < got_spread.size(); ++i) {
    EXPECT_NEAR(got_spread[i], want_spread[i], 1e-12 * (1 + want_spread[i])) << i;
  }
}

TEST_F(Mpi, SummaryRowsOnRankZeroAndSilenceElsewhere) {
  OpenCapture();
  Work();
  ASSERT_TRUE(TimeMpiSummary(MPI_COMM_WORLD));
  const std::string text = Captured();
  if (Rank() != 0) {
    EXPECT_EQ(text, "");
    return;
  }
  const char* row = "%-30s | %5d | %10d | %17lf | %17lf | %17lf | %8d | %8d | %9.2f | %17lf\n";
  EXPECT_EQ(text, "\n" +
                      Format("%-30s | %5s | %10s | %17s | %17s | %17s | %8s | %8s | %9s | %17s\n",
                             "LABEL", "RANKS", "COUNT", "MEAN", "MIN", "MAX", "MIN RANK",
                             "MAX RANK", "IMBALANCE", "STDDEV") +
                      Format(row, "main", 4, 4, 0.25, 0.1, 0.4, 0, 3, 1.6, std::sqrt(0.0125)) +
                      Format(row, " solve", 4, 10, 0.025, 0.01, 0.04, 0, 3, 1.6,
                             std::sqrt(0.000125)) +
                      Format(row, "abcdefghijklmnopqrstuvwxy-on-every-rank", 4, 4, 0.001, 0.001, 0.001, 0, 0,
                             1.0, 0.0) +
                      // Rank 0's paths first, then those that other ranks add.
                      Format(row, "odd_only", 2, 2, 0.1, 0.05, 0.15, 1, 3, 1.5, 0.05));
}

TEST_F(Mpi, NoTimersOnAnyRankWritesNothing) {
  OpenCapture();
  const std::string path = NewFile("empty.json");
  EXPECT_FALSE(TimeMpiSummary(MPI_COMM_WORLD));
  EXPECT_FALSE(TimeMpiWriteJson(MPI_COMM_WORLD, path.c_str()));
  EXPECT_EQ(Captured(), "");
  EXPECT_EQ(timetree_test::ReadFile(path), "");
}

// A timer still running at the write, on every rank: the combined file
// says it ran in each source, once.
TEST_F(Mpi, ATimerRunningOnEveryRankIsCountedOncePerSource) {
  OpenCapture();
  TimeStartTimer("open");
  const std::string path = Rank() == 0 ? NewFile("running.json") : std::string();
  ASSERT_TRUE(TimeMpiWriteJson(MPI_COMM_WORLD, Rank() == 0 ? path.c_str() : nullptr));
  TimeStopTimer("open");
  if (Rank() != 0) return;
  EXPECT_NE(timetree_test::ReadFile(path).find("\"running_sources\": 4"), std::string::npos)
      << timetree_test::ReadFile(path);
}

TEST_F(Mpi, TimingOffOnARankLeavesItOut) {
  OpenCapture();
  if (Rank() == 2) {
    Switch("TIMING_ON", "0");
    TimeClear();
  }
  Work();
  const std::string path = NewFile("ranks.json");
  ASSERT_TRUE(TimeMpiWriteJson(MPI_COMM_WORLD, path.c_str()));
  if (Rank() == 0) {
    EXPECT_NE(timetree_test::ReadFile(path).find("{\"name\": \"main\", \"sources\": 3, "),
              std::string::npos);
  }
}

// Serialising, gathering, combining and writing all work without recursion.
TEST_F(Mpi, TreesOneHundredThousandDeepCombine) {
  OpenCapture();
  for (int i = 0; i < 100000; ++i) TimeStartTimer("deep");
  const std::string path = NewFile("deep.json");
  ASSERT_TRUE(TimeMpiWriteJson(MPI_COMM_WORLD, path.c_str()));
  TimeClear();
  if (Rank() == 0) {
    const std::string text = timetree_test::ReadFile(path);
    size_t timers = 0;
    for (size_t at = text.find("\"deep\", \"sources\": 4"); at != std::string::npos;
         at = text.find("\"deep\", \"sources\": 4", at + 1)) {
      ++timers;
    }
    EXPECT_EQ(timers, 100000u);
  }
}

TEST_F(Mpi, NullCommunicatorIsRefusedOnEveryRank) {
  OpenCapture();
  Work();
  EXPECT_FALSE(TimeMpiSummary(MPI_COMM_NULL));
  EXPECT_FALSE(TimeMpiWriteJson(MPI_COMM_NULL, "/nonexistent/x.json"));
  EXPECT_EQ(Captured(),
            "TimeMpiSummary: the communicator is MPI_COMM_NULL\n"
            "TimeMpiWriteJson: the communicator is MPI_COMM_NULL\n");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Before MPI is initialised, and after it is finalised: refused, said
  // and never an abort.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  setenv("TIMING_CONSOLE", "1", 1);
  TimeOpenOStream(nullptr);
  const bool before = TimeMpiSummary(MPI_COMM_WORLD);
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank != 0) {
    // One rank's report is enough; the others' failures still fail the run.
    delete ::testing::UnitTest::GetInstance()->listeners().Release(
        ::testing::UnitTest::GetInstance()->listeners().default_result_printer());
  }
  TimeCloseOStream();
  int failed = RUN_ALL_TESTS();
  MPI_Finalize();
  TimeOpenOStream(nullptr);
  const bool after = TimeMpiWriteJson(MPI_COMM_WORLD, "/nonexistent/x.json");
  TimeCloseOStream();
  if (before || after) {
    std::fprintf(stderr, "rank %d: a call without MPI returned true\n", rank);
    failed = 1;
  }
  return failed;
}

namespace {

// An MPI call's bytes: a type of 4 GiB or more has no int size, but has its
// bytes; a product past 2^64 - 1 stays there rather than wrapping.
TEST(MpiCallBytes, LargeTypesAndSumsAreExactOrSaturated) {
  MPI_Datatype gib = MPI_DATATYPE_NULL, four_gib = MPI_DATATYPE_NULL;
  ASSERT_EQ(MPI_Type_contiguous(1 << 30, MPI_BYTE, &gib), MPI_SUCCESS);
  ASSERT_EQ(MPI_Type_contiguous(1 << 30, MPI_INT, &four_gib), MPI_SUCCESS);
  MPI_Type_commit(&gib);
  MPI_Type_commit(&four_gib);
  using timetree::mpi_calls::Bytes;
  EXPECT_EQ(Bytes(1, four_gib), uint64_t{1} << 32);
  EXPECT_EQ(Bytes(1LL << 31, gib), uint64_t{1} << 61);
  EXPECT_EQ(Bytes(9LL << 31, gib), UINT64_MAX);
  EXPECT_EQ(Bytes(0, gib), 0u);
  MPI_Type_free(&gib);
  MPI_Type_free(&four_gib);
}

}  // namespace
