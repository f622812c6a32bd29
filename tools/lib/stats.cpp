#include "lib/stats.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace timetree_cli {

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

namespace {

// How many of the C(m + n, m) orderings of m values of one sample and n of
// the other give each U from 0 to m * n, by the recurrence
// f(m, n, u) = f(m - 1, n, u - n) + f(m, n - 1, u).
std::vector<double> UCounts(size_t m, size_t n) {
  // f[j][u] for the current m, j values of the other sample.
  std::vector<std::vector<double>> f(n + 1, std::vector<double>(m * n + 1, 0.0));
  for (size_t j = 0; j <= n; ++j) f[j][0] = 1.0;  // m = 0: U is 0
  for (size_t i = 1; i <= m; ++i) {
    std::vector<std::vector<double>> g(n + 1, std::vector<double>(m * n + 1, 0.0));
    g[0][0] = 1.0;  // no value of the other sample: U is 0
    for (size_t j = 1; j <= n; ++j) {
      for (size_t u = 0; u <= i * j; ++u) {
        // The largest value is of the first sample (it is above all j
        // others: adds j) or of the other one.
        g[j][u] = (u >= j ? f[j][u - j] : 0.0) + g[j - 1][u];
      }
    }
    f = std::move(g);
  }
  return f[n];
}

}  // namespace

double MannWhitneyP(const std::vector<double>& a, const std::vector<double>& b) {
  const size_t m = a.size(), n = b.size();
  if (m == 0 || n == 0) return 1.0;
  // Ranks of the pooled values, ties given their mean rank.
  std::vector<std::pair<double, int>> pooled;
  for (double v : a) pooled.emplace_back(v, 0);
  for (double v : b) pooled.emplace_back(v, 1);
  std::sort(pooled.begin(), pooled.end());
  double rank_sum_a = 0, tie_term = 0;
  bool ties = false;
  for (size_t i = 0; i < pooled.size();) {
    size_t j = i;
    while (j < pooled.size() && pooled[j].first == pooled[i].first) ++j;
    const double t = static_cast<double>(j - i);
    const double rank = (static_cast<double>(i + 1) + static_cast<double>(j)) / 2;
    for (size_t k = i; k < j; ++k) {
      if (pooled[k].second == 0) rank_sum_a += rank;
    }
    if (t > 1) {
      ties = true;
      tie_term += t * t * t - t;
    }
    i = j;
  }
  const double md = static_cast<double>(m), nd = static_cast<double>(n);
  const double u = rank_sum_a - md * (md + 1) / 2;  // pairs where a's value is above b's
  if (!ties && m <= 20 && n <= 20) {
    const std::vector<double> counts = UCounts(m, n);
    double total = 0, below = 0, above = 0;
    const long ui = std::lround(u);
    for (size_t k = 0; k < counts.size(); ++k) {
      total += counts[k];
      if (static_cast<long>(k) <= ui) below += counts[k];
      if (static_cast<long>(k) >= ui) above += counts[k];
    }
    return std::min(1.0, 2 * std::min(below, above) / total);
  }
  const double mean = md * nd / 2;
  const double big_n = md + nd;
  const double variance = md * nd / 12 * ((big_n + 1) - tie_term / (big_n * (big_n - 1)));
  if (variance <= 0) return 1.0;
  const double z = (std::fabs(u - mean) - 0.5) / std::sqrt(variance);
  return std::min(1.0, std::erfc(std::max(z, 0.0) / std::sqrt(2.0)));
}

double SmallestP(size_t m, size_t n) {
  double ways = 1;  // C(m + n, m), built up exactly while it is small
  for (size_t i = 1; i <= m; ++i) ways = ways * static_cast<double>(n + i) / static_cast<double>(i);
  return std::min(1.0, 2 / ways);
}

Judgement Judge(const std::vector<double>& base, const std::vector<double>& next,
                double max_regression, double alpha) {
  Judgement j{Median(base), Median(next), 0.0, 1.0, false};
  j.percent = j.base > 0 ? (j.next - j.base) / j.base * 100 : (j.next > 0 ? INFINITY : 0.0);
  if (j.percent > max_regression) j.p = MannWhitneyP(base, next);
  j.regressed = j.percent > max_regression && j.p < alpha;
  return j;
}

}  // namespace timetree_cli
