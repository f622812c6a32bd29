#include "lib/compare.h"

#include "lib/series.h"

#include <algorithm>
#include <tuple>
#include <utility>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>

#include "runformat/text.h"
#include "registry/merge.h"
#include "lib/table.h"

namespace timetree_cli {

namespace {

struct UnionNode {
  std::string name;
  UnionNode* parent = nullptr;
  std::vector<std::unique_ptr<UnionNode>> children;
  std::unordered_map<std::string, UnionNode*> by_name;
  bool in_base = false, in_next = false;
  double base = 0, next = 0;
  const Node* next_node = nullptr;
};

// A run's tree merged into the union, as base (kNext false) or as next.
template <bool kNext>
struct IntoUnion : timetree::combined::NodeCursor {
  using Into = UnionNode;
  using IntoNode = UnionNode;

  static UnionNode* Parent(UnionNode* node) { return node->parent; }
  static UnionNode* FindOrAdd(UnionNode& root, UnionNode* parent, Cursor at) {
    UnionNode& list = parent != nullptr ? *parent : root;
    const auto found = list.by_name.find(at->name);
    if (found != list.by_name.end()) return found->second;
    auto node = std::make_unique<UnionNode>();
    node->name = at->name;
    node->parent = parent;
    list.children.push_back(std::move(node));
    list.by_name.emplace(at->name, list.children.back().get());
    return list.children.back().get();
  }
  static void Combine(UnionNode* to, Cursor from) {
    if (kNext) {
      to->in_next = true;
      to->next = from->Mean();
      to->next_node = from;
    } else {
      to->in_base = true;
      to->base = from->Mean();
    }
  }
};

void FreeUnion(UnionNode& root) {
  std::vector<std::unique_ptr<UnionNode>> pending = std::move(root.children);
  while (!pending.empty()) {
    std::unique_ptr<UnionNode> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children) pending.push_back(std::move(child));
    node->children.clear();
  }
}

}  // namespace

double Compared::Percent() const {
  if (base > 0) return Change() / base * 100.0;
  return next > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

std::vector<Compared> CompareRuns(const Run& base, const Run& next) {
  UnionNode root;
  timetree::MergeByPath(IntoUnion<false>(), root, base.root);
  timetree::MergeByPath(IntoUnion<true>(), root, next.root);
  std::vector<Compared> rows;
  struct Frame {
    const UnionNode* node;
    size_t next;
    size_t row;  // the node's row
  };
  std::vector<Frame> stack{{&root, 0, kNoParent}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.node->children.size()) {
      stack.pop_back();
      continue;
    }
    const UnionNode* node = frame.node->children[frame.next++].get();
    Compared row;
    row.name = node->name;
    row.parent = frame.row;
    row.depth = static_cast<int>(stack.size()) - 1;
    row.in_base = node->in_base;
    row.in_next = node->in_next;
    row.base = node->base;
    row.next = node->next;
    row.next_node = node->next_node;
    rows.push_back(std::move(row));
    stack.push_back({node, 0, rows.size() - 1});
  }
  FreeUnion(root);
  return rows;
}

std::string PathOf(const std::vector<Compared>& rows, size_t row) {
  std::vector<size_t> chain;
  for (size_t at = row; at != kNoParent; at = rows[at].parent) chain.push_back(at);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += ';';
    timetree::AppendFoldedName(path, rows[*it].name.c_str());
  }
  return path;
}

std::string PercentText(const Compared& row) {
  if (!row.in_base) return "new";
  if (!row.in_next) return "gone";
  const double percent = row.Percent();
  if (std::isinf(percent)) return "+inf%";
  std::string text;
  timetree::AppendFormat(text, "%+.1f%%", percent);
  return text;
}

}  // namespace timetree_cli

namespace timetree_cli {

namespace {

// Options that name where a program writes (which differ from run to run
// and change nothing of what it does): their values are not compared.
bool NamesAnOutput(const std::string& option) {
  static const char* const kOutputs[] = {"-o",     "--output", "--out",  "--export", "--file",
                                         "--log",  "--json",   "--trace", "--dir",   "--prefix",
                                         "--save", "--report", "--results"};
  for (const char* o : kOutputs) {
    if (option == o) return true;
  }
  return false;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
    const size_t end = text.find(' ', at);
    words.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end;
  }
  return words;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The arguments of a and b that differ in what the program was asked to do,
// joined as they were ("--size 100000"), each side's: both empty when they
// differ only in where it writes (-o DIR, --export=DIR) or in the path it
// was started by), or in the file each wrote, which is the one compared
// (a_file, b_file: "./app base.json" and "./app next.json").
std::pair<std::string, std::string> ArgumentsThatMatter(const std::string& a,
                                                         const std::string& b,
                                                         const std::string& a_file,
                                                         const std::string& b_file) {
  const std::vector<std::string> x = Words(a), y = Words(b);
  std::string left, right;
  auto add = [](std::string& to, const std::string& word) { to += (to.empty() ? "" : " ") + word; };
  const size_t n = std::max(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    const std::string u = i < x.size() ? x[i] : "", v = i < y.size() ? y[i] : "";
    if (u == v) continue;
    if (i == 0 && BaseName(u) == BaseName(v)) continue;
    if (!u.empty() && !v.empty() && u.find(BaseName(a_file)) != std::string::npos &&
        v.find(BaseName(b_file)) != std::string::npos) {
      continue;
    }
    const size_t ue = u.find('='), ve = v.find('=');
    if (ue != std::string::npos && ve != std::string::npos && u.substr(0, ue) == v.substr(0, ve) &&
        NamesAnOutput(u.substr(0, ue))) {
      continue;
    }
    if (i > 0 && i < x.size() && i < y.size() && x[i - 1] == y[i - 1] && NamesAnOutput(x[i - 1])) {
      continue;
    }
    // Said with the option it is the value of.
    if (i > 0 && i - 1 < x.size() && i - 1 < y.size() && x[i - 1] == y[i - 1] &&
        x[i - 1].rfind("-", 0) == 0) {
      add(left, x[i - 1]);
      add(right, y[i - 1]);
    }
    if (!u.empty()) add(left, u);
    if (!v.empty()) add(right, v);
  }
  return {left, right};
}

}  // namespace

void WarnUnlike(const Run& base, const Run& next, std::ostream& err) {
  if (base.metadata.empty() || next.metadata.empty()) return;
  // The keys the library collects whose difference can change the timings,
  // and why; others (pid, times, the host's own keys such as a commit,
  // which tell runs apart on purpose) are not compared.
  static const std::pair<const char*, const char*> kMatters[] = {
      {"host", "timings from two machines also compare the machines"},
      {"cpu", "processors differ in speed"},
      {"os", "the kernel can change what system calls and scheduling cost"},
      {"clock", "the counter read at each edge of a timer costs differently"},
      {"timetree_version", "the cost of the timing itself may differ"},
      {"threads", "a different number of threads shares the work differently"},
      {"ranks", "a different number of ranks shares the work differently"},
      {"arguments", "the program was run with other inputs or settings"}};
  auto find = [](const Run& run, const std::string& key) -> const std::string* {
    for (const auto& entry : run.metadata) {
      if (entry.first == key) return &entry.second;
    }
    return nullptr;
  };
  for (const auto& [key, why] : kMatters) {
    const std::string* a = find(base, key);
    const std::string* b = find(next, key);
    if (a == nullptr || b == nullptr || *a == *b) continue;
    std::string left = *a, right = *b;
    if (std::string(key) == "arguments") {
      std::tie(left, right) = ArgumentsThatMatter(*a, *b, base.file, next.file);
      if (left.empty() && right.empty()) continue;
    }
    err << "timetree: warning: the runs differ in " << key << " (\"" << Display(left) << "\" in "
        << base.file << ", \"" << Display(right) << "\" in " << next.file << "): " << why << "\n";
  }
}

const std::vector<std::string> kMetrics = {
    "total_seconds", "cpu_seconds",  "page_faults",  "context_switches", "peak_rss_bytes",
    "cycles",        "instructions", "cache_misses", "branch_misses",    "series_median_seconds"};

void UseMetric(Run& run, const std::string& file, const std::string& metric) {
  if (metric == "total_seconds") return;
  if (metric == "series_median_seconds") {
    // The median step of each timer that keeps a series; 0 for the rest.
    bool any = false;
    Preorder(run.root, [&](const Node& node, int) {
      auto& to = const_cast<Node&>(node);
      any = any || node.has_series;
      // A combined file's series is its sources' added: their mean's.
      const double median = node.has_series ? SeriesMedian(node.series) : 0.0;
      to.total.sum = median;
      to.total.min = to.total.max = median / static_cast<double>(std::max(node.sources, 1L));
      return true;
    });
    if (!any) {
      throw InputError(file +
                       " has no series: run it with TIMETREE_SERIES=NAME, NAME the timer "
                       "of a loop's step");
    }
    return;
  }
  int index = 0;
  while (metric != timetree::combined::kCounterNames[index]) ++index;
  bool any = false;
  Preorder(run.root, [&](const Node& node, int) {
    auto& to = const_cast<Node&>(node);
    const bool has = (node.has_counters & (1u << index)) != 0;
    any = any || has;
    const double value = has ? node.counters[index] : 0.0;
    const double sum = index == timetree::combined::kPeakCounter
                           ? value * static_cast<double>(std::max(node.sources, 1L))
                           : value;
    to.total.sum = sum;
    to.total.min = to.total.max = node.sources > 0 ? sum / static_cast<double>(node.sources) : sum;
    return true;
  });
  if (!any) {
    // The hardware counters are asked for by perf's names, and only where
    // the processor counts them; "all" is the software ones.
    static const char* const kAskedAs[] = {"cycles", "instructions", "cache-misses",
                                           "branch-misses"};
    const int hardware = index - (timetree::combined::kCounterCount - 4);
    throw InputError(file + " has no " + metric + ": run it with TIMETREE_COUNTERS=" +
                     (hardware >= 0
                          ? std::string(kAskedAs[hardware]) + " on a processor that counts it"
                          : metric + " (or all)"));
  }
}

std::string MetricUnit(const std::string& metric) {
  return metric == "total_seconds" || metric == "cpu_seconds" || metric == "series_median_seconds"
             ? "seconds"
         : metric.find("_bytes") != std::string::npos ? "bytes"
                                                      : metric;
}

std::string MetricText(const std::string& metric, double value, bool plain, bool with_unit,
                       bool sign) {
  const std::string unit = MetricUnit(metric);
  if (unit == "seconds") {
    return sign        ? SignedDuration(value, plain)
           : with_unit ? DurationWithUnit(value, plain)
                       : Duration(value, plain);
  }
  const std::string text =
      unit == "bytes" ? BytesText(std::fabs(value)) : CountText(std::fabs(value));
  return !sign || value == 0 ? (value < 0 ? "-" + text : text) : (value > 0 ? "+" : "-") + text;
}

}  // namespace timetree_cli
