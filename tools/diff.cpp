// timetree diff: two runs path by path.
#include <algorithm>
#include <cmath>

#include "commands.h"
#include "compare.h"
#include "output/exports.h"

namespace timetree_cli {

int Diff(const DiffOptions& options, std::ostream& out) {
  const auto base = ReadRun(options.base);
  const auto next = ReadRun(options.next);
  std::vector<Compared> rows = CompareRuns(*base, *next);
  // Rows that changed less than the threshold are hidden; new and gone
  // paths always show.
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [&](const Compared& row) {
                              return row.in_base && row.in_next &&
                                     std::fabs(row.Percent()) < options.threshold;
                            }),
             rows.end());
  if (options.sort != "path") {
    std::stable_sort(rows.begin(), rows.end(), [](const Compared& a, const Compared& b) {
      return std::fabs(a.Change()) > std::fabs(b.Change());
    });
  }
  size_t width = 36;
  for (const auto& row : rows) width = std::max(width, row.path.size());
  const int w = static_cast<int>(width);
  std::string text;
  timetree::AppendFormat(text, "%-*s %12s %12s %12s %9s\n", w, "PATH", "BASE s", "NEW s",
                         "CHANGE s", "CHANGE");
  bool differs = false;
  for (const auto& row : rows) {
    std::string base_text, next_text;
    timetree::AppendFormat(base_text, row.in_base ? "%.6f" : "-", row.base);
    timetree::AppendFormat(next_text, row.in_next ? "%.6f" : "-", row.next);
    timetree::AppendFormat(text, "%-*s %12s %12s %12s %9s\n", w, row.path.c_str(),
                           base_text.c_str(), next_text.c_str(),
                           SignedSeconds(row.Change()).c_str(), PercentText(row).c_str());
    differs = differs || !row.in_base || !row.in_next || row.Change() != 0;
  }
  out << text;
  return differs ? 1 : 0;
}

}  // namespace timetree_cli
