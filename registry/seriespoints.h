// The points of a series over a timer's intervals (its steps): point i
// covers `every` consecutive steps, with their total time and the longest
// single step's. Past a cap adjacent points fold into one and every
// doubles, so a series stays bounded and still holds its slowest step.
// Header-only: the library folds ticks, the run format seconds.
#ifndef TIMETREE_REGISTRY_SERIESPOINTS_H
#define TIMETREE_REGISTRY_SERIESPOINTS_H

#include <algorithm>
#include <cstdint>
#include <vector>

namespace timetree {

template <class T>
struct SeriesPoints {
  int64_t every = 1;  // steps per point
  int64_t steps = 0;  // steps covered: the points are ceil(steps / every)
  std::vector<T> total, longest;
  bool inexact = false;  // read while its points were being folded

  // Folds adjacent pairs: every doubles.
  void Fold() {
    const size_t half = (total.size() + 1) / 2;
    for (size_t i = 0; i < half; ++i) {
      const bool pair = 2 * i + 1 < total.size();
      total[i] = total[2 * i] + (pair ? total[2 * i + 1] : T{});
      longest[i] = std::max(longest[2 * i], pair ? longest[2 * i + 1] : T{});
    }
    total.resize(half);
    longest.resize(half);
    every *= 2;
  }

  // Folds until every is at least to (both powers of two), then gives the
  // points the length that steps takes.
  void Align(int64_t to) {
    while (every < to) Fold();
    const size_t points = static_cast<size_t>((steps + every - 1) / every);
    total.resize(points);
    longest.resize(points);
  }

  // Adds other's points, step by step: totals add, the longest is the
  // longer (threads, ranks or runs of one loop, each from its first step).
  void Add(SeriesPoints other) {
    const int64_t to = std::max(every, other.every);
    steps = std::max(steps, other.steps);
    inexact = inexact || other.inexact;
    Align(to);
    other.steps = steps;
    other.Align(to);
    for (size_t i = 0; i < total.size(); ++i) {
      total[i] += other.total[i];
      longest[i] = std::max(longest[i], other.longest[i]);
    }
  }
};

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_SERIESPOINTS_H
