// The MPI summary and the combined JSON of every rank's timers.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "include/timetree_mpi.h"
#include "mpi/reduce.h"
#include "runformat/files.h"
#include "runformat/text.h"

namespace timetree {

namespace {

// Labels are indented as TimePrintIndented(" ") indents: one blank per
// level, no more once 90 are reached.
constexpr size_t kIndentLimit = 90;

}  // namespace

std::string SummaryText(const combined::Run& run) {
  std::string text = "\n";
    timetree::AppendFormat(text,
                           "%-30s | %5s | %10s | %17s | %17s | %17s | %8s | %8s | %9s | %17s\n",
                           "LABEL", "RANKS", "COUNT", "MEAN", "MIN", "MAX", "MIN RANK",
                           "MAX RANK", "IMBALANCE", "STDDEV");
  timetree::combined::Preorder(run.root, [&text](const timetree::combined::Node& node, int depth) {
      std::string label(std::min(static_cast<size_t>(depth), timetree::kIndentLimit), ' ');
      label += node.name;
      const double mean = node.Mean();
      std::string row;
      timetree::AppendFormat(
          row, "%-30s | %5ld | %10.0f | %17lf | %17lf | %17lf | %8ld | %8ld | %9.2f | %17lf\n",
          label.c_str(), node.sources, node.count.sum, mean, node.total.min, node.total.max,
          node.total.min_source, node.total.max_source, mean > 0 ? node.total.max / mean : 1.0,
          node.StdDev());
      text += row;
      return true;
    });
  // Each series (TIMETREE_SERIES): its slowest step over the ranks, each
  // rank's steps counted from its own first.
  timetree::combined::Preorder(run.root, [&text](const timetree::combined::Node& node, int) {
    if (!node.has_series || node.series.longest.empty()) return true;
    const auto& series = node.series;
    const size_t worst = static_cast<size_t>(
        std::max_element(series.longest.begin(), series.longest.end()) - series.longest.begin());
    const long long first = static_cast<long long>(worst) * series.every + 1;
    const long long last = std::min<long long>(first + series.every - 1, series.steps);
    std::string path = node.name;
    for (const auto* up = node.parent; up != nullptr && up->parent != nullptr; up = up->parent) {
      path = up->name + "/" + path;
    }
    std::string steps;
    if (first == last) {
      timetree::AppendFormat(steps, "step %lld", first);
    } else {
      timetree::AppendFormat(steps, "steps %lld-%lld", first, last);
    }
    timetree::AppendFormat(text, "Series %s: %lld steps; the slowest, %s, took %lf s in a rank\n",
                           path.c_str(), static_cast<long long>(series.steps), steps.c_str(),
                           series.longest[worst]);
    return true;
  });
  return text;
}

}  // namespace timetree

bool TimeMpiSummary(MPI_Comm comm) {
  if (!timetree::Usable(comm, "TimeMpiSummary")) return false;
  const std::unique_ptr<timetree::combined::Run> run = timetree::Reduce(comm);
  if (run != nullptr) TimeComment(timetree::SummaryText(*run).c_str());
  return timetree::Agree(comm, run != nullptr);
}

bool TimeMpiWriteJson(MPI_Comm comm, const char* path) {
  if (!timetree::Usable(comm, "TimeMpiWriteJson")) return false;
  const std::unique_ptr<timetree::combined::Run> run = timetree::Reduce(comm);
  bool written = false;
  if (run != nullptr && path != nullptr) {
    written = timetree::WriteWholeFile(path, timetree::combined::CombinedJson(*run));
  }
  return timetree::Agree(comm, written);
}

