// timetree check: the CI gate. A run against a budget of seconds per path,
// and/or against a base run with a largest allowed regression. A gate that
// judged nothing, or a limit for a path that is not in the run, is trouble
// (exit 2), never a pass.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>

#include <memory>

#include "commands/commands.h"
#include "lib/options.h"
#include "lib/compare.h"
#include "lib/repeated.h"
#include "lib/stats.h"
#include "runformat/text.h"
#include "lib/table.h"

namespace timetree_cli {

namespace {

struct CheckOptions {
  std::vector<std::string> runs;     // the new runs
  std::string budget;
  std::vector<std::string> against;  // the base runs
  double alpha = 0.05;               // with 3 or more runs a side
  double max_regression = -1;  // percent; below 0: not given
  double min_seconds = 0;
  bool seconds = false;
  std::string metric = "total_seconds";  // or a counter (see kMetrics)

  // What a budget's figures are in.
  std::string Unit() const {
    return metric == "total_seconds" || metric == "cpu_seconds" ? "seconds"
           : metric.find("_bytes") != std::string::npos         ? "bytes"
                                                                : metric;
  }
  // A figure of the metric, as a verdict line writes it.
  std::string Text(double value) const {
    if (metric == "total_seconds" || metric == "cpu_seconds") {
      return DurationWithUnit(value, seconds);
    }
    return metric.size() > 6 && metric.compare(metric.size() - 6, 6, "_bytes") == 0
               ? BytesText(value)
               : CountText(value);
  }
};

}  // namespace

namespace {

struct Limit {
  int line;
  std::string path;
  double seconds;
};

// The budget file: "path seconds" per line (or the metric's unit),
// "#" comments and blank lines.
std::vector<Limit> ReadBudget(const std::string& file, const std::string& unit = "seconds") {
  std::ifstream in = OpenInput(file);
  std::vector<Limit> budget;
  std::set<std::string> seen;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t last = line.find_last_not_of(" \t\r");
    const std::string text = line.substr(first, last - first + 1);
    const size_t gap = text.find_last_of(" \t");
    const std::string where = file + ":" + std::to_string(number) + ": ";
    if (gap == std::string::npos) {
      throw InputError(where + "expected \"PATH SECONDS\", got \"" + text + "\"");
    }
    const std::string path = text.substr(0, text.find_last_not_of(" \t", gap) + 1);
    const std::string number_text = text.substr(gap + 1);
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(number_text.c_str(), &end);
    if (end == number_text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
        seconds < 0) {
      throw InputError(where + "\"" + number_text + "\" is not a number of " + unit +
                       " (0 or more)");
    }
    if (!seen.insert(path).second) throw InputError(where + "a second budget for " + path);
    budget.push_back({number, path, seconds});
  }
  if (budget.empty()) throw InputError(file + ": no limits in the file");
  return budget;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    const size_t at = path.find(';', from);
    parts.push_back(path.substr(from, at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

std::string Folded(const Node& node) {
  std::string name;
  timetree::AppendFoldedName(name, node.name.c_str());
  return name;
}

// The child of node whose folded name is part, or null.
const Node* FoldedChild(const Node& node, const std::string& part) {
  if (const Node* found = node.Child(part)) {
    if (Folded(*found) == part) return found;
  }
  for (const auto& child : node.children) {
    if (Folded(*child) == part) return child.get();
  }
  return nullptr;
}

// Every node at a folded path: names that fold alike ("a b", "a_b") make
// it name several.
std::vector<const Node*> FindAll(const Node& root, const std::string& path) {
  std::vector<const Node*> nodes{&root};
  for (const std::string& part : Split(path)) {
    std::vector<const Node*> next;
    for (const Node* node : nodes) {
      for (const auto& child : node->children) {
        if (Folded(*child) == part) next.push_back(child.get());
      }
    }
    nodes = std::move(next);
    if (nodes.empty()) break;
  }
  return nodes;
}

// A budget line that names several paths judges none of them rightly.
[[noreturn]] void Ambiguous(const std::string& where, const std::string& path, size_t count,
                            const std::string& run) {
  throw InputError(where + ": \"" + path + "\" names " + std::to_string(count) + " paths in " +
                   run + " (names that differ only in blanks, control characters or \";\" "
                   "fold alike): one limit cannot judge them");
}

// The node at a folded path, or null.
const Node* Find(const Node& root, const std::string& path) {
  const Node* node = &root;
  for (const std::string& part : Split(path)) {
    node = FoldedChild(*node, part);
    if (node == nullptr) return nullptr;
  }
  return node;
}

// A path of the run close to one that is not in it, level by level: each
// part that names no timer is taken as its nearest sibling's name when that
// is a few edits away. Empty when there is none.
std::string Nearest(const Node& root, const std::string& path) {
  if (path.find(' ') != std::string::npos) {
    std::string joined = path;
    std::replace(joined.begin(), joined.end(), ' ', ';');
    if (Find(root, joined) != nullptr) return joined;
  }
  const Node* node = &root;
  std::string near;
  for (const std::string& part : Split(path)) {
    const Node* next = FoldedChild(*node, part);
    if (next == nullptr) {
      size_t best = std::max<size_t>(2, part.size() / 3) + 1;
      for (const auto& child : node->children) {
        const size_t d = timetree::EditDistance(part, Folded(*child));
        if (d < best) {
          best = d;
          next = child.get();
        }
      }
      if (next == nullptr) return "";
    }
    if (!near.empty()) near += ';';
    near += Folded(*next);
    node = next;
  }
  return near;
}

}  // namespace

namespace {

// Writes the lines over their limits, the verdict, then what was listed
// after it; the exit status: 1 when a limit was exceeded.
int Verdict(int over, int judged, std::string text, const std::string& after, std::ostream& out) {
  if (over > 0) {
    timetree::AppendFormat(text, "check failed: %d of %d limits exceeded\n", over, judged);
  } else {
    timetree::AppendFormat(text, "check passed: %d limits hold\n", judged);
  }
  out << text << after;
  return over > 0 ? 1 : 0;
}

// The gate over several runs a side: each path by its median, judged where
// each side has three or more runs; with --against, a path fails only when
// its median is slower by more than the allowed regression and the
// Mann-Whitney test's p-value is below alpha (a slow-down that noise does
// not explain). A budget judges the median of the new runs.
int CheckRepeated(const CheckOptions& options, std::ostream& out) {
  if (!options.against.empty() && (options.runs.size() < 3 || options.against.size() < 3)) {
    throw InputError("check: give one run and one base run, or three or more of each (" +
                     std::to_string(options.runs.size()) + " runs, " +
                     std::to_string(options.against.size()) + " base runs given)");
  }
  // A gate that could not fail is no gate: too few runs for the test to
  // reach alpha.
  if (!options.against.empty() &&
      SmallestP(options.against.size(), options.runs.size()) >= options.alpha) {
    std::string why;
    timetree::AppendFormat(why,
                           "check: with %zu base runs and %zu runs the test's p-value is never "
                           "below %g: give more runs",
                           options.against.size(), options.runs.size(), options.alpha);
    throw InputError(why);
  }
  const auto next = ReadRuns(options.runs);
  const auto base = ReadRuns(options.against);
  for (size_t i = 0; i < next.size(); ++i) UseMetric(*next[i], options.runs[i], options.metric);
  for (size_t i = 0; i < base.size(); ++i) UseMetric(*base[i], options.against[i], options.metric);
  if (!base.empty()) WarnUnlike(*base.front(), *next.front(), std::cerr);
  const std::vector<PathTotals> paths = GatherTotals(base, next);
  int over = 0, judged = 0;
  std::string text, after;
  if (!options.budget.empty()) {
    for (const Limit& limit : ReadBudget(options.budget, options.Unit())) {
      const std::vector<size_t> matches = FindFoldedPath(paths, limit.path);
      const std::string where = options.budget + ":" + std::to_string(limit.line);
      if (matches.size() > 1) Ambiguous(where, limit.path, matches.size(), "the runs");
      const size_t found = matches.empty() ? paths.size() : matches.front();
      if (found == paths.size() || paths[found].next.empty()) {
        throw InputError(options.budget + ":" + std::to_string(limit.line) + ": no path \"" +
                         limit.path + "\" in the runs");
      }
      ++judged;
      const double median = Median(paths[found].next);
      if (median <= limit.seconds) continue;
      ++over;
      timetree::AppendFormat(text, "over budget: %s median %s > %s\n", limit.path.c_str(),
                             options.Text(median).c_str(), options.Text(limit.seconds).c_str());
    }
  }
  if (!base.empty()) {
    size_t shared = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
      const PathTotals& p = paths[i];
      const bool in_base = !p.base.empty(), in_next = !p.next.empty();
      if (in_base && in_next) ++shared;
      // Paths that not every run has are not judged, but listed.
      if (p.base.size() < base.size() || p.next.size() < next.size()) {
        timetree::AppendFormat(after, "in %zu of %zu base runs and %zu of %zu runs, not judged: %s\n",
                               p.base.size(), base.size(), p.next.size(), next.size(),
                               FoldedPathOf(paths, i).c_str());
        continue;
      }
      const Judgement j = Judge(p.base, p.next, options.max_regression, options.alpha);
      if (j.base < options.min_seconds && j.next < options.min_seconds) continue;
      ++judged;
      if (!j.regressed) continue;
      ++over;
      timetree::AppendFormat(text, "regression: %s median %s -> %s (%+.1f%%) > +%g%%, p = %.3g\n",
                             FoldedPathOf(paths, i).c_str(), options.Text(j.base).c_str(),
                             options.Text(j.next).c_str(), j.percent, options.max_regression, j.p);
    }
    if (shared == 0) throw InputError("the base runs and the runs have no path in common");
  }
  if (judged == 0) {
    throw InputError("check judged no limit: no path is in every run above --min-seconds");
  }
  return Verdict(over, judged, text, after, out);
}

}  // namespace

int Check(const CheckOptions& options, std::ostream& out) {
  if (options.runs.size() > 1 || options.against.size() > 1) return CheckRepeated(options, out);
  const std::string& run_file = options.runs.front();
  const auto run = ReadRun(run_file);
  UseMetric(*run, run_file, options.metric);
  int over = 0, judged = 0;
  std::string text, after;
  if (!options.budget.empty()) {
    for (const Limit& limit : ReadBudget(options.budget, options.Unit())) {
      const std::vector<const Node*> matches = FindAll(run->root, limit.path);
      if (matches.size() > 1) {
        Ambiguous(options.budget + ":" + std::to_string(limit.line), limit.path, matches.size(),
                  run_file);
      }
      const Node* node = matches.empty() ? nullptr : matches.front();
      if (node == nullptr) {
        const std::string near = Nearest(run->root, limit.path);
        throw InputError(options.budget + ":" + std::to_string(limit.line) + ": no path \"" +
                         limit.path + "\" in " + run_file +
                         (near.empty() ? "" : " (did you mean \"" + near + "\"?)"));
      }
      ++judged;
      if (node->Mean() <= limit.seconds) continue;
      ++over;
      timetree::AppendFormat(text, "over budget: %s %s > %s\n", limit.path.c_str(),
                             options.Text(node->Mean()).c_str(),
                             options.Text(limit.seconds).c_str());
    }
  }
  if (!options.against.empty()) {
    const std::string& base_file = options.against.front();
    const auto base = ReadRun(base_file);
    UseMetric(*base, base_file, options.metric);
    WarnUnlike(*base, *run, std::cerr);
    const std::vector<Compared> rows = CompareRuns(*base, *run);
    size_t shared = 0;
    for (const Compared& row : rows) shared += row.in_base && row.in_next ? 1 : 0;
    if (shared == 0) {
      throw InputError(base_file + " and " + run_file +
                       " have no path in common: nothing to compare");
    }
    // Paths in one run only are no regression, but are listed, so that a
    // renamed timer is seen: each new or gone subtree by its top path.
    std::vector<size_t> under(rows.size(), 0);
    for (size_t i = rows.size(); i-- > 0;) {
      const Compared& row = rows[i];
      if (row.in_base && row.in_next) continue;
      const size_t parent = row.parent;
      if (parent != kNoParent && rows[parent].in_base == row.in_base &&
          rows[parent].in_next == row.in_next) {
        under[parent] += under[i] + 1;
      }
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      const Compared& row = rows[i];
      if (!row.in_base || !row.in_next) {
        const size_t parent = row.parent;
        if (parent != kNoParent && rows[parent].in_base == row.in_base &&
            rows[parent].in_next == row.in_next) {
          continue;  // inside a subtree already listed
        }
        std::string more;
        if (under[i] > 0) {
          timetree::AppendFormat(more, " (and %zu path%s under it)", under[i],
                                 under[i] == 1 ? "" : "s");
        }
        timetree::AppendFormat(after, "%s: %s%s\n", row.in_next ? "new in the run" : "gone from the base",
                               PathOf(rows, i).c_str(), more.c_str());
        continue;
      }
      // Tiny timers are noise.
      if (row.base < options.min_seconds && row.next < options.min_seconds) continue;
      ++judged;
      if (row.Percent() <= options.max_regression) continue;
      ++over;
      timetree::AppendFormat(text, "regression: %s %s -> %s (%s) > +%g%%\n",
                             PathOf(rows, i).c_str(), options.Text(row.base).c_str(),
                             options.Text(row.next).c_str(), PercentText(row).c_str(),
                             options.max_regression);
    }
  }
  if (judged == 0) {
    throw InputError("check judged no limit: every path in both runs is below --min-seconds");
  }
  return Verdict(over, judged, text, after, out);
}

Subcommand AddCheck(CLI::App& app) {
  auto options = std::make_shared<CheckOptions>();
  CheckOptions& check = *options;
  auto* check_cmd = app.add_subcommand(
      "check", "The CI gate: exit 1, after one line per offending path, when a path is over "
               "its budget or slower than allowed against a base run; exit 0 when all holds.");
  check_cmd->add_option("NEW.json", check.runs,
                        "The run to check; or three or more runs of it, judged against three "
                        "or more base runs by their medians and a Mann-Whitney test")
      ->required();
  check_cmd->add_option("--budget", check.budget,
                        "File of lines 'outer;inner;leaf SECONDS' (paths as the folded export "
                        "writes them; '#' starts a comment line)");
  auto* against = check_cmd->add_option("--against", check.against,
                                        "A base run to compare with (or three or more)");
  check_cmd->add_option("--alpha", check.alpha,
                        "With three or more runs a side: a path fails only when the test's "
                        "p-value is below ALPHA (default 0.05)")
      ->check(CLI::Range(0.0, 1.0));
  auto* regression =
      check_cmd->add_option("--max-regression", check.max_regression,
                            "With --against: the largest allowed slow-down, in percent (10 for "
                            "10%)")
          ->check(kZeroOrMore);
  check_cmd->add_option("--min-seconds", check.min_seconds,
                        "With --against: ignore paths below S seconds in both runs")
      ->check(kZeroOrMore);
  check_cmd
      ->add_option("--metric", check.metric,
                   "What is judged: total_seconds (the default), or a counter of a run "
                   "made with TIMETREE_COUNTERS (cpu_seconds, peak_rss_bytes, page_faults, "
                   "...); budgets and --min-seconds are then in its unit")
      ->check(CLI::IsMember(kMetrics));
  check_cmd->add_flag("--seconds", check.seconds,
                      "Times in plain seconds rather than a unit (ns, \u00b5s, ms, s) per value");
  against->needs(regression);
  regression->needs(against);
  check_cmd->footer(
      "A budget path that is not in the run, an empty budget, a base run with no path in\n"
      "common with the run, or a check that judged no limit at all is trouble (exit 2).\n"
      "Paths new in the run or gone from the base are listed after the verdict.\n"
      "Example: timetree check today.json --budget budget.txt --against base.json "
      "--max-regression 10 --min-seconds 0.001");
  return {check_cmd, [options] {
    const CheckOptions& check = *options;
    if (check.budget.empty() && check.against.empty()) {
      std::cerr << "timetree check: give --budget FILE and/or --against BASE.json "
                   "--max-regression PCT\n";
      return 2;
    }
    return Check(check, std::cout);
  }};
}

}  // namespace timetree_cli
