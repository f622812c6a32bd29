// timetree check: the CI gate. A run against a budget of seconds per path,
// and/or against a base run with a largest allowed regression.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>

#include "commands.h"
#include "compare.h"
#include "output/exports.h"

namespace timetree_cli {

namespace {

// The budget file: "path seconds" per line, "#" comments and blank lines.
std::map<std::string, double> ReadBudget(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw InputError(file + ": cannot be read");
  std::map<std::string, double> budget;
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
      throw InputError(where + "\"" + number_text + "\" is not a number of seconds (0 or more)");
    }
    if (!budget.emplace(path, seconds).second) {
      throw InputError(where + "a second budget for " + path);
    }
  }
  return budget;
}

}  // namespace

int Check(const CheckOptions& options, std::ostream& out) {
  const auto run = ReadRun(options.run);
  int over = 0, held = 0;
  std::string text;
  if (!options.budget.empty()) {
    const auto budget = ReadBudget(options.budget);
    // Every path of the run, by its folded form.
    std::map<std::string, double> seconds;
    Preorder(run->root, [&](const Node& node, int) {
      seconds.emplace(FoldedPath(node), node.Mean());
      return true;
    });
    for (const auto& [path, limit] : budget) {
      const auto found = seconds.find(path);
      if (found == seconds.end() || found->second <= limit) {
        ++held;
        continue;
      }
      ++over;
      timetree::AppendFormat(text, "over budget: %s %.6f s > %.6f s\n", path.c_str(),
                             found->second, limit);
    }
  }
  if (!options.against.empty()) {
    const auto base = ReadRun(options.against);
    for (const Compared& row : CompareRuns(*base, *run)) {
      // Paths in one run only are no regression; tiny timers are noise.
      if (!row.in_base || !row.in_next) continue;
      if (row.base < options.min_seconds && row.next < options.min_seconds) continue;
      if (row.Percent() <= options.max_regression) {
        ++held;
        continue;
      }
      ++over;
      timetree::AppendFormat(text, "regression: %s %.6f s -> %.6f s (%s) > +%g%%\n",
                             row.path.c_str(), row.base, row.next, PercentText(row).c_str(),
                             options.max_regression);
    }
  }
  if (over > 0) {
    timetree::AppendFormat(text, "check failed: %d of %d limits exceeded\n", over, over + held);
  } else {
    timetree::AppendFormat(text, "check passed: %d limits hold\n", held);
  }
  out << text;
  return over > 0 ? 1 : 0;
}

}  // namespace timetree_cli
