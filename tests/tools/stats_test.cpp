// The repeated-run gate's statistics: exact p-values against the counts of
// the U statistic's distribution, worked out by hand, and the gate's error
// rates over seeded trials.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "lib/stats.h"

namespace {

using timetree_cli::MannWhitneyP;
using timetree_cli::Median;
using timetree_cli::Judge;
using timetree_cli::SmallestP;

TEST(Stats, ExactPValuesMatchTheCountedDistribution) {
  // Separated samples: U = 0, one ordering of C(m + n, m), both tails.
  EXPECT_DOUBLE_EQ(MannWhitneyP({1, 2, 3}, {4, 5, 6}), 2.0 / 20);
  EXPECT_DOUBLE_EQ(MannWhitneyP({6, 7, 8, 9, 10}, {1, 2, 3, 4, 5}), 2.0 / 252);
  EXPECT_DOUBLE_EQ(MannWhitneyP({1, 2, 3}, {4, 5, 6, 7}), 2.0 / 35);
  // The counted distribution's largest sample, 20: still exact.
  std::vector<double> twenty;
  for (int i = 4; i < 24; ++i) twenty.push_back(i);
  EXPECT_DOUBLE_EQ(MannWhitneyP({1, 2, 3}, twenty), 2.0 / 1771);
  // m = n = 4, U = 1: the orderings with U 0 or 1 are 1 + 1 of 70.
  EXPECT_DOUBLE_EQ(MannWhitneyP({1, 2, 3, 5}, {4, 6, 7, 8}), 4.0 / 70);
  // m = n = 3, U = 2: U <= 2 in 1 + 1 + 2 of 20 orderings.
  EXPECT_DOUBLE_EQ(MannWhitneyP({1, 2, 5}, {3, 4, 6}), 8.0 / 20);
  // Interleaved: no evidence at all.
  EXPECT_DOUBLE_EQ(MannWhitneyP({1, 4, 5, 8}, {2, 3, 6, 7}), 1.0);
  EXPECT_DOUBLE_EQ(MannWhitneyP({}, {1}), 1.0);
  EXPECT_DOUBLE_EQ(SmallestP(3, 3), 0.1);
  EXPECT_DOUBLE_EQ(SmallestP(5, 5), 2.0 / 252);
  // Ties: the normal approximation, symmetric in its samples.
  const double tied = MannWhitneyP({1, 1, 2, 2, 3}, {2, 3, 3, 4, 4});
  EXPECT_GT(tied, 0.0);
  EXPECT_LT(tied, 1.0);
  EXPECT_DOUBLE_EQ(tied, MannWhitneyP({2, 3, 3, 4, 4}, {1, 1, 2, 2, 3}));
  EXPECT_DOUBLE_EQ(Median({3, 1, 2}), 2);
  EXPECT_DOUBLE_EQ(Median({4, 1, 3, 2}), 2.5);
}

// 5 base and 5 new runs with 5% noise: the same distribution passes the
// gate (10% allowed, alpha 0.05) in at least 95 of 100 trials, and new
// runs 30% slower fail it in at least 95 of 100.
TEST(Stats, RepeatedRunGateErrorRates) {
  std::mt19937_64 rng(20261208);
  std::lognormal_distribution<double> noise(0.0, 0.05);
  auto runs = [&](double scale) {
    std::vector<double> v;
    for (int i = 0; i < 5; ++i) v.push_back(scale * noise(rng));
    return v;
  };
  int false_alarms = 0, caught = 0;
  for (int trial = 0; trial < 100; ++trial) {
    if (Judge(runs(1.0), runs(1.0), 10, 0.05).regressed) ++false_alarms;
    if (Judge(runs(1.0), runs(1.3), 10, 0.05).regressed) ++caught;
  }
  EXPECT_LE(false_alarms, 5);
  EXPECT_GE(caught, 95);
  RecordProperty("false_alarms", false_alarms);
  RecordProperty("caught", caught);
}

}  // namespace
