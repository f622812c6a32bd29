// The statistics of the repeated-run gate: medians, and the two-sided
// Mann-Whitney U test of whether two samples come from one distribution.
#ifndef TIMETREE_TOOLS_LIB_STATS_H
#define TIMETREE_TOOLS_LIB_STATS_H

#include <cstddef>
#include <vector>

namespace timetree_cli {

// The median of values (the mean of the middle two for an even number);
// 0 for none.
double Median(std::vector<double> values);

// The two-sided p-value of the Mann-Whitney U test of a against b. Exact
// (the U statistic's distribution counted) when neither sample has more
// than 20 values and no value occurs twice; otherwise the normal
// approximation, with the correction for ties and for continuity. 1 when
// either sample is empty.
double MannWhitneyP(const std::vector<double>& a, const std::vector<double>& b);

// The smallest two-sided p-value the exact test can give for samples of m
// and n values: 2 / C(m + n, m), at most 1.
double SmallestP(size_t m, size_t n);

// The repeated-run gate's verdict on a path: its medians, their change in
// percent of the base, and whether it regressed: slower by more than
// max_regression percent, and a p-value below alpha. The test is run (p
// set) only for a path slower by more than the limit; p is 1 otherwise.
struct Judgement {
  double base, next, percent, p;
  bool regressed;
};
Judgement Judge(const std::vector<double>& base, const std::vector<double>& next,
                double max_regression, double alpha);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_STATS_H
