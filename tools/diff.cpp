// timetree diff: two runs path by path.
#include <algorithm>
#include <cmath>
#include <iostream>

#include "commands.h"
#include "compare.h"
#include "output/exports.h"
#include "repeated.h"
#include "stats.h"
#include "table.h"

namespace timetree_cli {

namespace {

// Several runs a side: each path's median on each side, the change, and
// the Mann-Whitney test's p-value where each side has three or more runs
// ("-" otherwise).
int DiffRepeated(const DiffOptions& options, std::ostream& out) {
  const auto base = ReadRuns(options.base_runs);
  const auto next = ReadRuns(options.next_runs);
  WarnUnlike(*base.front(), *next.front(), std::cerr);
  const std::vector<PathTotals> paths = GatherTotals(base, next);
  // Each path's medians, once, as a row of the single-run comparison.
  std::vector<Compared> rows(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    rows[i].in_base = !paths[i].base.empty();
    rows[i].in_next = !paths[i].next.empty();
    rows[i].base = Median(paths[i].base);
    rows[i].next = Median(paths[i].next);
  }
  std::vector<size_t> shown;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Compared& row = rows[i];
    if (row.in_base && row.in_next && row.base > 0 &&
        std::fabs(row.Percent()) < options.threshold) {
      continue;
    }
    if (row.base < options.min_seconds && row.next < options.min_seconds) continue;
    shown.push_back(i);
  }
  const bool by_change = options.sort == "change";
  if (by_change) {
    std::stable_sort(shown.begin(), shown.end(), [&rows](size_t a, size_t b) {
      return std::fabs(rows[a].Change()) > std::fabs(rows[b].Change());
    });
  }
  const bool whole = options.paths || by_change;
  const bool plain = options.seconds;
  const char* s = plain ? " s" : "";
  Table table({whole ? "PATH" : "NAME", std::string("BASE") + s, std::string("NEW") + s,
               std::string("CHANGE") + s, "%", "P"});
  bool differs = false;
  for (const size_t i : shown) {
    const PathTotals& p = paths[i];
    const Compared& row = rows[i];
    std::string pvalue = "-";
    if (p.base.size() >= 3 && p.next.size() >= 3) {
      pvalue.clear();
      timetree::AppendFormat(pvalue, "%.3g", MannWhitneyP(p.base, p.next));
    }
    table.Add({whole ? FoldedPathOf(paths, i) : IndentedLabel(p.depth, p.name),
               row.in_base ? Duration(row.base, plain) : "-",
               row.in_next ? Duration(row.next, plain) : "-", SignedDuration(row.Change(), plain),
               PercentText(row), pvalue});
    differs = differs || !row.in_base || !row.in_next || row.Change() != 0;
  }
  out << table.Text();
  out << "BASE and NEW: medians over " << base.size() << " and " << next.size()
      << " runs; P: two-sided Mann-Whitney test (three or more runs a side)\n";
  return options.exit_code && differs ? 1 : 0;
}

}  // namespace

int Diff(const DiffOptions& options, std::ostream& out) {
  if (!options.base_runs.empty() || !options.next_runs.empty()) return DiffRepeated(options, out);
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
