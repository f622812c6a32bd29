#include "lib/series.h"

#include <algorithm>

#include "lib/table.h"
#include "runformat/text.h"

namespace timetree_cli {

using timetree::SeriesPoints;
using timetree::combined::Node;

namespace {

// Steps point i covers (the last point may cover fewer).
double StepsIn(const SeriesPoints<double>& series, size_t i) {
  const int64_t first = static_cast<int64_t>(i) * series.every;
  return static_cast<double>(std::min(series.every, series.steps - first));
}

std::string Steps(const SeriesPoints<double>& series, size_t i) {
  const int64_t first = static_cast<int64_t>(i) * series.every + 1;
  const int64_t last = std::min(first + series.every - 1, series.steps);
  std::string text;
  if (first == last) {
    timetree::AppendFormat(text, "step %lld", static_cast<long long>(first));
  } else {
    timetree::AppendFormat(text, "steps %lld-%lld", static_cast<long long>(first),
                           static_cast<long long>(last));
  }
  return text;
}

}  // namespace

double SeriesMedian(const SeriesPoints<double>& series) {
  std::vector<double> means;
  for (size_t i = 0; i < series.total.size(); ++i) {
    const double steps = StepsIn(series, i);
    if (steps > 0) means.push_back(series.total[i] / steps);
  }
  if (means.empty()) return 0;
  const size_t middle = means.size() / 2;
  std::nth_element(means.begin(), means.begin() + static_cast<long>(middle), means.end());
  const double upper = means[middle];
  if (means.size() % 2 != 0) return upper;
  return (*std::max_element(means.begin(), means.begin() + static_cast<long>(middle)) + upper) / 2;
}

std::vector<const Node*> SeriesTimers(const timetree::combined::Run& run, const std::string& name) {
  std::vector<const Node*> found;
  timetree::combined::Preorder(run.root, [&](const Node& node, int) {
    if (node.has_series && node.name == name) found.push_back(&node);
    return true;
  });
  return found;
}

void WriteSeries(const Node& node, int slowest, size_t columns, bool plain, std::ostream& out) {
  const SeriesPoints<double>& series = node.series;
  std::string line;
  std::string path = node.name;
  for (const Node* up = node.parent; up != nullptr && up->parent != nullptr; up = up->parent) {
    path = up->name + "/" + path;
  }
  timetree::AppendFormat(line, "%s: %lld steps", path.c_str(),
                         static_cast<long long>(series.steps));
  if (series.every > 1) {
    timetree::AppendFormat(line, " in %zu points of %lld steps", series.total.size(),
                           static_cast<long long>(series.every));
  }
  // A combined file's series is its sources' added: shown as their mean.
  const double sources = static_cast<double>(std::max(node.sources, 1L));
  line += ", median " + DurationWithUnit(SeriesMedian(series) / sources, plain) + " a step";
  if (sources > 1) line += " (the mean of " + std::to_string(node.sources) + " sources)";
  out << line << "\n";
  if (series.inexact) {
    out << "(written while its points were being folded: they may be off by a fold)\n";
  }
  if (series.total.empty()) return;

  // The slowest points by their longest step, the earlier first on a tie.
  std::vector<size_t> order(series.total.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  const size_t shown = std::min(order.size(), static_cast<size_t>(slowest));
  std::partial_sort(order.begin(), order.begin() + static_cast<long>(shown), order.end(),
                    [&series](size_t a, size_t b) {
                      return series.longest[a] != series.longest[b]
                                 ? series.longest[a] > series.longest[b]
                                 : a < b;
                    });
  std::vector<const Node*> children;
  for (const auto& child : node.children) {
    if (child->has_series && child->series.total.size() == series.total.size()) {
      children.push_back(child.get());
    }
  }
  out << (series.every > 1 ? "slowest (the longest step of each point, and each child's "
                             "longest in it):\n"
                           : "slowest:\n");
  for (size_t k = 0; k < shown; ++k) {
    const size_t i = order[k];
    std::string row = "  " + Steps(series, i) + ": " + DurationWithUnit(series.longest[i], plain);
    // Its children that ran in it, the most time first (three at most),
    // each beside its own median.
    std::vector<const Node*> by_time = children;
    std::stable_sort(by_time.begin(), by_time.end(), [i](const Node* a, const Node* b) {
      return a->series.longest[i] > b->series.longest[i];
    });
    for (size_t c = 0; c < by_time.size() && c < 3; ++c) {
      const Node& child = *by_time[c];
      if (child.series.longest[i] <= 0) break;  // not run in it
      row += c == 0 ? "; " : ", ";
      const double of = static_cast<double>(std::max(child.sources, 1L));
      row += child.name + " " + DurationWithUnit(child.series.longest[i], plain) + " (median " +
             DurationWithUnit(SeriesMedian(child.series) / of, plain) + ")";
    }
    out << row << "\n";
  }

  // One mark per group of points, as high as the group's longest step
  // against the longest of all.
  static const char* const kMarks[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                       "\u2585", "\u2586", "\u2587", "\u2588"};
  const size_t width = std::max<size_t>(10, std::min<size_t>(columns > 0 ? columns - 2 : 80, 80));
  const size_t marks = std::min(series.total.size(), width);
  const double top = *std::max_element(series.longest.begin(), series.longest.end());
  std::string picture = "  ";
  for (size_t m = 0; m < marks; ++m) {
    const size_t from = m * series.total.size() / marks;
    const size_t to = (m + 1) * series.total.size() / marks;
    const double high = *std::max_element(series.longest.begin() + static_cast<long>(from),
                                          series.longest.begin() + static_cast<long>(to));
    const int level = top > 0 ? static_cast<int>(high / top * 7 + 0.5) : 0;
    picture += kMarks[level];
  }
  out << picture << "\n";
  const double per_mark = static_cast<double>(series.total.size()) / static_cast<double>(marks) *
                          static_cast<double>(series.every);
  std::string scale;
  if (per_mark == static_cast<double>(static_cast<int64_t>(per_mark))) {
    timetree::AppendFormat(scale, "  (%.0f step%s a mark", per_mark, per_mark == 1 ? "" : "s");
  } else {
    timetree::AppendFormat(scale, "  (about %.0f steps a mark", per_mark);
  }
  scale += ", the tallest " + DurationWithUnit(top, plain) + ")\n";
  out << scale;
}

}  // namespace timetree_cli
