// timetree html: a self-contained, interactive report page. The page
// (tools/html/report.html, embedded at build time) gets the run's data as
// JSON in a script element that the browser never runs; names are data,
// written so that none can end that element.
#include <string>

#include "commands.h"
#include "compare.h"
#include "output/exports.h"
#include "run.h"

namespace timetree_cli {

extern const char kReportTemplate[];

namespace {

constexpr char kPlaceholder[] = "/*TIMETREE_DATA*/";

// Columns of one tree, in preorder.
struct Columns {
  std::string name, depth, count, total, self, flags, sources, min, max, minsrc, maxsrc, stddev,
      base, threads, tmin, tmax;
  bool first = true;
  bool spread = false;  // a path was started by more than one thread

  void Add(const Node* node, int d, int extra_flags, double base_total) {
    const char* sep = first ? "" : ",";
    first = false;
    name += sep;
    name += '"';
    timetree::AppendJsonString(name, node != nullptr ? node->name.c_str() : "");
    name += '"';
    timetree::AppendFormat(depth, "%s%d", sep, d);
    const Node empty;
    const Node& n = node != nullptr ? *node : empty;
    timetree::AppendFormat(count, "%s%.0f", sep, n.count.sum);
    timetree::AppendFormat(total, "%s%.9g", sep, n.Mean());
    timetree::AppendFormat(self, "%s%.9g", sep, n.MeanSelf());
    timetree::AppendFormat(flags, "%s%d", sep,
                           (n.implicit ? 1 : 0) | (n.running ? 2 : 0) | extra_flags);
    timetree::AppendFormat(sources, "%s%ld", sep, n.sources);
    timetree::AppendFormat(min, "%s%.9g", sep, n.total.min);
    timetree::AppendFormat(max, "%s%.9g", sep, n.total.max);
    timetree::AppendFormat(minsrc, "%s%ld", sep, n.total.min_source);
    timetree::AppendFormat(maxsrc, "%s%ld", sep, n.total.max_source);
    timetree::AppendFormat(stddev, "%s%.9g", sep, n.StdDev());
    timetree::AppendFormat(base, "%s%.9g", sep, base_total);
    // Over the threads that started the path; one thread's own otherwise.
    const bool many = n.threads > 1;
    spread = spread || many;
    timetree::AppendFormat(threads, "%s%ld", sep, many ? n.threads : n.count.sum > 0 ? 1L : 0L);
    timetree::AppendFormat(tmin, "%s%.9g", sep, many ? n.thread_min : n.total.sum);
    timetree::AppendFormat(tmax, "%s%.9g", sep, many ? n.thread_max : n.total.sum);
  }

  void Write(std::string& out, const std::string& label, bool combined, bool diff) const {
    out += "{\"label\": \"";
    timetree::AppendJsonString(out, label.c_str());
    out += "\", \"name\": [" + name + "], \"depth\": [" + depth + "], \"count\": [" + count +
           "], \"total\": [" + total + "], \"self\": [" + self + "], \"flags\": [" + flags + "]";
    if (combined) {
      out += ", \"sources\": [" + sources + "], \"min\": [" + min + "], \"max\": [" + max +
             "], \"minsrc\": [" + minsrc + "], \"maxsrc\": [" + maxsrc + "], \"stddev\": [" +
             stddev + "]";
    }
    if (diff) out += ", \"base\": [" + base + "]";
    if (!combined && !diff && spread) {
      out += ", \"threads\": [" + threads + "], \"tmin\": [" + tmin + "], \"tmax\": [" + tmax + "]";
    }
    out += "}";
  }
};

Columns TreeColumns(const Node& root) {
  Columns columns;
  Preorder(root, [&](const Node& node, int depth) {
    columns.Add(&node, depth, 0, 0);
    return true;
  });
  return columns;
}

void Head(std::string& out, const char* mode, const std::string& file, double total) {
  out += "{\"mode\": \"";
  out += mode;
  out += "\", \"file\": \"";
  timetree::AppendJsonString(out, file.c_str());
  timetree::AppendFormat(out, "\", \"total\": %.9g", total);
}

}  // namespace

int Html(const HtmlOptions& options) {
  std::string data;
  if (!options.diff) {
    const auto run = ReadRun(options.runs.at(0));
    Head(data, run->combined ? "combined" : "run", run->file, RunWallTime(*run));
    timetree::AppendFormat(data, ", \"sources\": %ld, \"views\": [", run->sources);
    TreeColumns(run->root).Write(data, run->threads.empty() ? "run" : "all threads",
                                 run->combined, false);
    for (const auto& thread : run->threads) {
      std::string label;
      timetree::AppendFormat(label, "thread %ld \"%s\"%s", thread->tid, thread->name.c_str(),
                             thread->finished ? ", finished" : "");
      data += ", ";
      TreeColumns(thread->root).Write(data, label, false, false);
    }
  } else {
    const auto base = ReadRun(options.runs.at(0));
    const auto next = ReadRun(options.runs.at(1));
    Head(data, "diff", next->file, RunTotal(*next));
    data += ", \"base\": \"";
    timetree::AppendJsonString(data, base->file.c_str());
    data += "\", \"views\": [";
    Columns columns;
    for (const Compared& row : CompareRuns(*base, *next)) {
      Node stand_in;  // a path gone in the new run: its name, no figures
      stand_in.name = row.name;
      columns.Add(row.next_node != nullptr ? row.next_node : &stand_in, row.depth,
                  (row.in_base ? 4 : 0) | (row.in_next ? 8 : 0), row.base);
    }
    columns.Write(data, "change", false, true);
  }
  data += "]}";

  // No name can end the script element or open a comment in it: every
  // "<", ">" and "&" (which occur only inside strings) is written escaped.
  std::string safe;
  safe.reserve(data.size());
  for (const char c : data) {
    if (c == '<') {
      safe += "\\u003c";
    } else if (c == '>') {
      safe += "\\u003e";
    } else if (c == '&') {
      safe += "\\u0026";
    } else {
      safe += c;
    }
  }
  std::string page(kReportTemplate);
  page.replace(page.find(kPlaceholder), sizeof kPlaceholder - 1, safe);
  WriteFile(options.output, page);
  return 0;
}

}  // namespace timetree_cli
