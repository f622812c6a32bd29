// timetree diff: two runs path by path.
#include <algorithm>
#include <cmath>
#include <iostream>

#include <memory>

#include "commands/commands.h"
#include "lib/options.h"
#include "lib/compare.h"
#include "runformat/text.h"
#include "lib/repeated.h"
#include "lib/stats.h"
#include "lib/table.h"

namespace timetree_cli {

namespace {

struct DiffOptions {
  std::string base, next;
  // Several runs a side (--base, --new): medians, and the p-value where
  // each side has three or more.
  std::vector<std::string> base_runs, next_runs;
  std::string sort = "path";  // the tree's order, or "change"
  double threshold = 0;       // percent
  double min_seconds = 0;
  bool paths = false;         // whole paths rather than an indented tree
  bool seconds = false;
  bool exit_code = false;     // exit 1 when a shown path differs
  std::string metric = "total_seconds";  // or a counter (see kMetrics)

  std::string Cell(double value) const { return MetricText(metric, value, seconds, false); }
  std::string Change(double value) const { return MetricText(metric, value, seconds, false, true); }
  // The unit after the headers of plain seconds.
  const char* HeaderUnit() const { return seconds && MetricUnit(metric) == "seconds" ? " s" : ""; }
};

}  // namespace

namespace {

// Several runs a side: each path's median on each side, the change, and
// the Mann-Whitney test's p-value where each side has three or more runs
// ("-" otherwise).
int DiffRepeated(const DiffOptions& options, std::ostream& out) {
  const auto base = ReadRuns(options.base_runs);
  const auto next = ReadRuns(options.next_runs);
  for (size_t i = 0; i < base.size(); ++i)
    UseMetric(*base[i], options.base_runs[i], options.metric);
  for (size_t i = 0; i < next.size(); ++i)
    UseMetric(*next[i], options.next_runs[i], options.metric);
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
    // By series medians: only the timers that keep a series.
    if (options.metric == "series_median_seconds" && row.base == 0 && row.next == 0) continue;
    shown.push_back(i);
  }
  const bool by_change = options.sort == "change";
  if (by_change) {
    std::stable_sort(shown.begin(), shown.end(), [&rows](size_t a, size_t b) {
      return std::fabs(rows[a].Change()) > std::fabs(rows[b].Change());
    });
  }
  const bool whole = options.paths || by_change;
  const char* s = options.HeaderUnit();
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
               row.in_base ? options.Cell(row.base) : "-",
               row.in_next ? options.Cell(row.next) : "-", options.Change(row.Change()),
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
  UseMetric(*base, options.base, options.metric);
  UseMetric(*next, options.next, options.metric);
  WarnUnlike(*base, *next, std::cerr);
  const std::vector<Compared> all = CompareRuns(*base, *next);
  // Rows that changed less than the threshold are hidden (new and gone
  // paths always show), and rows below min_seconds in both runs.
  std::vector<size_t> shown;
  for (size_t i = 0; i < all.size(); ++i) {
    const Compared& row = all[i];
    if (row.in_base && row.in_next && std::fabs(row.Percent()) < options.threshold) continue;
    if (row.base < options.min_seconds && row.next < options.min_seconds) continue;
    // By series medians: only the timers that keep a series.
    if (options.metric == "series_median_seconds" && row.base == 0 && row.next == 0) continue;
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
  const char* s = options.HeaderUnit();
  Table table({paths ? "PATH" : "NAME", std::string("BASE") + s, std::string("NEW") + s,
               std::string("CHANGE") + s, "%"});
  bool differs = false;
  for (const size_t i : shown) {
    const Compared& row = all[i];
    table.Add({paths ? PathOf(all, i) : IndentedLabel(row.depth, row.name),
               row.in_base ? options.Cell(row.base) : "-",
               row.in_next ? options.Cell(row.next) : "-", options.Change(row.Change()),
               PercentText(row)});
    differs = differs || !row.in_base || !row.in_next || row.Change() != 0;
  }
  out << table.Text();
  return options.exit_code && differs ? 1 : 0;
}

Subcommand AddDiff(CLI::App& app) {
  auto options = std::make_shared<DiffOptions>();
  DiffOptions& diff = *options;
  auto* diff_cmd = app.add_subcommand(
      "diff", "Two runs path by path, as an indented tree: base and new total, change and "
              "percent, 'new' and 'gone' for paths in one run only. Combined files compare "
              "means.");
  auto* diff_base = diff_cmd->add_option("BASE.json", diff.base, "The run to compare against");
  auto* diff_next = diff_cmd->add_option("NEW.json", diff.next, "The run to compare");
  auto* base_runs = diff_cmd->add_option("--base", diff.base_runs,
                                         "Several base runs (instead of BASE.json): medians, and "
                                         "with three or more a side the p-value of a "
                                         "Mann-Whitney test");
  auto* next_runs = diff_cmd->add_option("--new", diff.next_runs, "Several new runs (with --base)");
  base_runs->needs(next_runs);
  next_runs->needs(base_runs);
  base_runs->excludes(diff_base);
  next_runs->excludes(diff_next);
  diff_cmd->add_option("--sort", diff.sort,
                       "'path' (the tree, indented; the default) or 'change' (largest change "
                       "first, each row with its whole path)")
      ->check(CLI::IsMember({"change", "path"}));
  diff_cmd->add_option("--threshold", diff.threshold,
                       "Hide paths that changed by less than PCT percent")
      ->check(kZeroOrMore);
  diff_cmd->add_option("--min-seconds", diff.min_seconds,
                       "Hide paths below S seconds in both runs")
      ->check(kZeroOrMore);
  diff_cmd
      ->add_option("--metric", diff.metric,
                   "What is compared: total_seconds (the default), or a counter of runs "
                   "made with TIMETREE_COUNTERS (cpu_seconds, peak_rss_bytes, ...), or "
                   "series_median_seconds: the median step of each timer that keeps a series")
      ->check(CLI::IsMember(kMetrics));
  diff_cmd->add_flag("--paths", diff.paths, "Name each row by its whole path ('outer;inner')");
  diff_cmd->add_flag("--seconds", diff.seconds,
                     "Times in plain seconds rather than a unit (ns, \u00b5s, ms, s) per value");
  diff_cmd->add_flag("--exit-code", diff.exit_code,
                     "Exit 1 when any path shown differs (as 'git diff --exit-code')");
  diff_cmd->footer("Exits 0 (1 with --exit-code when a path shown differs), 2 on trouble.\n"
                   "Example: timetree diff yesterday.json today.json --threshold 5");
  return {diff_cmd, [options] {
    const DiffOptions& diff = *options;
    if (diff.base_runs.empty() && (diff.base.empty() || diff.next.empty())) {
      std::cerr << "timetree diff: give BASE.json NEW.json, or --base FILE... --new FILE...\n";
      return 2;
    }
    return Diff(diff, std::cout);
  }};
}

}  // namespace timetree_cli
