// timetree show: a run as an indented table.
#include <algorithm>
#include <string>

#include "commands.h"
#include "output/exports.h"
#include "run.h"

namespace timetree_cli {

namespace {

// A name as a terminal shows it safely: control characters as "?".
std::string Display(const std::string& name) {
  std::string text = name;
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

void Table(const Node& root, bool combined, double whole, double min_share, std::ostream& out) {
  auto share = [whole](const Node& node) { return whole > 0 ? node.Mean() / whole * 100 : 0.0; };
  // The name column fits the longest shown label.
  size_t width = 30;
  Preorder(root, [&](const Node& node, int depth) {
    if (share(node) < min_share) return false;
    width = std::max(width, 2 * static_cast<size_t>(depth) + Display(node.name).size());
    return true;
  });
  const int w = static_cast<int>(width);
  std::string text;
  if (combined) {
    timetree::AppendFormat(text, "%-*s %7s %10s %12s %12s %6s %12s %6s %9s %7s\n", w, "NAME",
                           "SOURCES", "COUNT", "MEAN s", "MIN s", "(src)", "MAX s", "(src)",
                           "IMBALANCE", "SHARE");
  } else {
    timetree::AppendFormat(text, "%-*s %10s %12s %12s %7s\n", w, "NAME", "COUNT", "TOTAL s",
                           "SELF s", "SHARE");
  }
  Preorder(root, [&](const Node& node, int depth) {
    if (share(node) < min_share) return false;
    std::string label(2 * static_cast<size_t>(depth), ' ');
    label += Display(node.name);
    if (node.implicit) label += " ?";
    if (combined) {
      const double mean = node.Mean();
      timetree::AppendFormat(text, "%-*s %7ld %10.0f %12.6f %12.6f %6ld %12.6f %6ld %9.2f %6.1f%%\n",
                             w, label.c_str(), node.sources, node.count.sum, mean, node.total.min,
                             node.total.min_source, node.total.max, node.total.max_source,
                             mean > 0 ? node.total.max / mean : 1.0, share(node));
    } else {
      timetree::AppendFormat(text, "%-*s %10.0f %12.6f %12.6f %6.1f%%%s\n", w, label.c_str(),
                             node.count.sum, node.total.sum, node.self.sum, share(node),
                             node.running ? "  running" : "");
    }
    return true;
  });
  out << text;
}

size_t Count(const Node& root) {
  size_t n = 0;
  Preorder(root, [&n](const Node&, int) {
    ++n;
    return true;
  });
  return n;
}

}  // namespace

int Show(const ShowOptions& options, std::ostream& out, std::ostream& err) {
  const auto run = ReadRun(options.run);
  const double whole = RunTotal(*run);
  std::string head;
  timetree::AppendFormat(head, "%s: %zu timers, %.6f s in all", run->file.c_str(),
                         Count(run->root), whole);
  if (run->combined) {
    timetree::AppendFormat(head, " (mean over the sources of each path), %ld sources",
                           run->sources);
  } else if (!run->threads.empty()) {
    timetree::AppendFormat(head, ", %zu thread%s", run->threads.size(),
                           run->threads.size() == 1 ? "" : "s");
  }
  out << head << "\n";
  Table(run->root, run->combined, whole, options.min_share, out);
  if (run->combined) {
    out << "(src): the source (file or rank, counted from 0) of the least and the greatest "
           "total; IMBALANCE: MAX / MEAN; ?: stopped implicitly\n";
  }
  if (!options.threads) return 0;
  if (run->threads.empty()) {
    err << "timetree: " << run->file << ": no per-thread trees in this file\n";
    return 0;
  }
  for (const auto& thread : run->threads) {
    std::string title;
    timetree::AppendFormat(title, "\nthread %ld \"%s\"%s", thread->tid,
                           Display(thread->name).c_str(), thread->finished ? ", finished" : "");
    if (thread->threads > 1) {
      timetree::AppendFormat(title, " (%ld finished threads folded)", thread->threads);
    }
    out << title << ":\n";
    double thread_whole = 0;
    for (const auto& node : thread->root.children) thread_whole += node->Mean();
    Table(thread->root, false, thread_whole, options.min_share, out);
  }
  return 0;
}

}  // namespace timetree_cli
