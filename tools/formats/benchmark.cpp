#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "runformat/text.h"

namespace timetree_cli {

// A path as a series name: the names joined by ";", each with "%", ";" and
// control characters written as %XX, so that every path has a name of its
// own ("a b" and "a_b", "x;y" and "x:y" stay apart) and the name reads
// back to the path.
std::string SeriesName(const Node& node) {
  std::vector<const Node*> chain;
  for (const Node* n = &node; n->parent != nullptr; n = n->parent) chain.push_back(n);
  std::string name;
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
    if (at != chain.rbegin()) name += ';';
    for (const char c : (*at)->name) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '%' || c == ';' || byte < 0x20 || byte == 0x7F) {
        timetree::AppendFormat(name, "%%%02X", byte);
      } else {
        name += c;
      }
    }
  }
  return name;
}

// For CI benchmark dashboards: each path's mean time per start, in ns below
// a second and s above, with its count; a combined file adds the spread of
// the sources' totals per start as the range.
std::string Benchmark(const Run& run) {
  std::string out = "[";
  bool first = true;
  Preorder(run.root, [&](const Node& node, int depth) {
    const double starts = run.sources > 0 ? node.count.sum / static_cast<double>(node.sources) : 0;
    const double per_start = starts > 0 ? node.Mean() / starts : 0.0;
    const bool ns = per_start < 1.0;
    out += first ? "\n" : ",\n";
    first = false;
    out += "{\"name\": ";
    AppendQuoted(out, SeriesName(node));
    timetree::AppendFormat(out, ", \"unit\": \"%s\", \"value\": %.17g", ns ? "ns" : "s",
                           ns ? per_start * 1e9 : per_start);
    if (node.sources > 1 && starts > 0) {
      const double spread = node.StdDev() / starts;
      std::string range;
      timetree::AppendFormat(range, "\u00b1 %.6g", ns ? spread * 1e9 : spread);
      out += ", \"range\": ";
      AppendQuoted(out, range);
    }
    timetree::AppendFormat(out, ", \"extra\": \"count %.0f\"}", node.count.sum);
    if (depth + 1 >= kDeepest && !node.children.empty()) {
      // The levels below, as one series under this path: their time per
      // start, over all their starts.
      double count = 0, total = 0;
      Preorder(node, [&](const Node& below, int) {
        count += below.count.sum;
        total += below.MeanSelf();
        return true;
      });
      const double below_starts =
          count / static_cast<double>(node.sources > 0 ? node.sources : 1);
      const double below_per_start = below_starts > 0 ? total / below_starts : 0.0;
      const bool below_ns = below_per_start < 1.0;
      out += ",\n{\"name\": ";
      AppendQuoted(out, SeriesName(node) + ";" + kDeeper);
      timetree::AppendFormat(out, ", \"unit\": \"%s\", \"value\": %.17g", below_ns ? "ns" : "s",
                             below_ns ? below_per_start * 1e9 : below_per_start);
      timetree::AppendFormat(out, ", \"extra\": \"count %.0f; timers deeper than %d levels "
                             "summed\"}", count, kDeepest);
    }
    return depth + 1 < kDeepest;
  });
  out += "\n]\n";
  return out;
}

}  // namespace timetree_cli
