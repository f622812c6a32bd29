// The report page's data and the page itself (see reportpage.h).
#include "runformat/reportpage.h"

#include "runformat/text.h"

namespace timetree {

extern const char kReportTemplate[];

namespace {

constexpr char kPlaceholder[] = "/*TIMETREE_DATA*/";

}  // namespace

void PageColumns::Add(const combined::Node* node, int d, int extra_flags, double base_total) {
  const char* sep = first ? "" : ",";
  first = false;
  name += sep;
  name += '"';
  AppendJsonString(name, node != nullptr ? node->name.c_str() : "");
  name += '"';
  AppendFormat(depth, "%s%d", sep, d);
  const combined::Node empty;
  const combined::Node& n = node != nullptr ? *node : empty;
  AppendFormat(count, "%s%.0f", sep, n.count.sum);
  AppendFormat(total, "%s%.9g", sep, n.Mean());
  AppendFormat(self, "%s%.9g", sep, n.MeanSelf());
  AppendFormat(flags, "%s%d", sep,
                         (n.implicit ? 1 : 0) | (n.running ? 2 : 0) | extra_flags);
  AppendFormat(sources, "%s%ld", sep, n.sources);
  AppendFormat(min, "%s%.9g", sep, n.total.min);
  AppendFormat(max, "%s%.9g", sep, n.total.max);
  AppendFormat(minsrc, "%s%ld", sep, n.total.min_source);
  AppendFormat(maxsrc, "%s%ld", sep, n.total.max_source);
  AppendFormat(stddev, "%s%.9g", sep, n.StdDev());
  AppendFormat(base, "%s%.9g", sep, base_total);
  // Over the threads that started the path; one thread's own otherwise.
  const bool many = n.threads > 1;
  spread = spread || many;
  AppendFormat(threads, "%s%ld", sep, many ? n.threads : n.count.sum > 0 ? 1L : 0L);
  AppendFormat(tmin, "%s%.9g", sep, many ? n.thread_min : n.total.sum);
  AppendFormat(tmax, "%s%.9g", sep, many ? n.thread_max : n.total.sum);
  // The counters the page shows, per source as the times are (-1: none).
  counters |= n.has_counters;
  const double sources_of = n.sources > 1 ? static_cast<double>(n.sources) : 1.0;
  auto counter = [&n](int i) { return (n.has_counters & (1u << i)) != 0; };
  AppendFormat(cpu, "%s%.9g", sep, counter(0) ? n.counters[0] / sources_of : -1.0);
  AppendFormat(faults, "%s%.0f", sep, counter(1) ? n.counters[1] / sources_of : -1.0);
  AppendFormat(peak, "%s%.0f", sep,
               counter(combined::kPeakCounter) ? n.counters[combined::kPeakCounter] : -1.0);
  // A series, per source as the times are.
  if (n.has_series) {
    AppendFormat(series, "%s\"%d\": [%lld, %lld, [", series.empty() ? "" : ", ", row,
                 static_cast<long long>(n.series.every), static_cast<long long>(n.series.steps));
    for (size_t i = 0; i < n.series.total.size(); ++i) {
      AppendFormat(series, i == 0 ? "%.6g" : ",%.6g", n.series.total[i] / sources_of);
    }
    series += "], [";
    for (size_t i = 0; i < n.series.longest.size(); ++i) {
      AppendFormat(series, i == 0 ? "%.6g" : ",%.6g", n.series.longest[i]);
    }
    series += "]]";
  }
  ++row;
}

void PageColumns::Write(std::string& out, const std::string& label, bool combined,
                      bool diff) const {
  out += "{\"label\": \"";
  AppendJsonString(out, label.c_str());
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
  if (!diff && (counters & 1u) != 0) out += ", \"cpu\": [" + cpu + "]";
  if (!diff && (counters & 2u) != 0) out += ", \"faults\": [" + faults + "]";
  if (!diff && (counters & (1u << combined::kPeakCounter)) != 0) {
    out += ", \"peak\": [" + peak + "]";
  }
  if (!diff && !series.empty()) out += ", \"series\": {" + series + "}";
  out += "}";
}

PageColumns TreeColumns(const combined::Node& root) {
  PageColumns columns;
  combined::Preorder(root, [&](const combined::Node& node, int depth) {
    columns.Add(&node, depth, 0, 0);
    return true;
  });
  return columns;
}

void PageHead(std::string& out, const char* mode, const std::string& file, double total) {
  out += "{\"mode\": \"";
  out += mode;
  out += "\", \"file\": \"";
  AppendJsonString(out, file.c_str());
  AppendFormat(out, "\", \"total\": %.9g", total);
}

std::string RunPageData(const combined::Run& run) {
  std::string data;
  PageHead(data, run.combined ? "combined" : "run", run.file, combined::RunWallTime(run));
  if (!run.metadata.empty()) {
    data += ", \"metadata\": ";
    combined::AppendMetadataObject(data, run.metadata);
  }
  AppendFormat(data, ", \"sources\": %ld, \"views\": [", run.sources);
  TreeColumns(run.root).Write(data, run.threads.empty() ? "run" : "all threads", run.combined,
                              false);
  for (const auto& thread : run.threads) {
    std::string label;
    AppendFormat(label, "thread %ld \"%s\"%s", thread->tid, thread->name.c_str(),
                 thread->finished ? ", finished" : "");
    data += ", ";
    TreeColumns(thread->root).Write(data, label, false, false);
  }
  return data;
}

std::string ReportPage(const std::string& data) {
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
  return page;
}

}  // namespace timetree
