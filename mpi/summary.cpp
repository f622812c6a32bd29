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

