// timetree diff: two runs path by path.
#include <algorithm>
#include <cmath>
#include <iostream>

#include "commands.h"
#include "compare.h"
#include "output/exports.h"
#include "table.h"

namespace timetree_cli {

int Diff(const DiffOptions& options, std::ostream& out) {
  const auto base = ReadRun(options.base);
  const auto next = ReadRun(options.next);
  WarnUnlike(*base, *next, std::cerr);
  const std::vector<Compared> all = CompareRuns(*base, *next);
  // Rows that changed less than the threshold are hidden (new and gone
  // paths always show), and rows below min_seconds in both runs.
  std::vector<size_t> shown;
  for (size_t i = 0; i < all.size(); ++i) {
    const Compared& row = all[i];
    if (row.in_base && row.in_next && std::fabs(row.Percent()) < options.threshold) continue;
    if (row.base < options.min_seconds && row.next < options.min_seconds) continue;
    shown.push_back(i);
  }
  // Sorted by change, rows leave the tree: each then names its whole path.
  const bool by_change = options.sort == "change";
  if (by_change) {
    std::stable_sort(shown.begin(), shown.end(), [&all](size_t a, size_t b) {
      return std::fabs(all[a].Change()) > std::fabs(all[b].Change());
    });
  }
  const bool paths = options.paths || by_change;
  const bool plain = options.seconds;
  const char* s = plain ? " s" : "";
  Table table({paths ? "PATH" : "NAME", std::string("BASE") + s, std::string("NEW") + s,
               std::string("CHANGE") + s, "%"});
  bool differs = false;
  for (const size_t i : shown) {
    const Compared& row = all[i];
    table.Add({paths ? PathOf(all, i) : IndentedLabel(row.depth, row.name), row.in_base ? Duration(row.base, plain) : "-",
               row.in_next ? Duration(row.next, plain) : "-", SignedDuration(row.Change(), plain),
               PercentText(row)});
    differs = differs || !row.in_base || !row.in_next || row.Change() != 0;
  }
  out << table.Text();
  return options.exit_code && differs ? 1 : 0;
}

}  // namespace timetree_cli
