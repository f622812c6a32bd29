// timetree convert: a run (or combined file) in the formats other tools
// read. Each writer walks the tree without recursion, so any depth works; a
// combined file gives each path's mean over its sources (counts summed).
#include <cmath>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "output/exports.h"
#include "pprof.h"
#include "run.h"

namespace timetree_cli {

namespace {

void Text(std::string& out, const std::string& text) {
  out += '"';
  timetree::AppendJsonString(out, text.c_str());
  out += '"';
}

// Hatchet's literal format: a list of roots, each a frame with its metrics
// (self and inclusive seconds, count) and children.
std::string Hatchet(const Run& run) {
  std::string out = "[";
  std::vector<const Node*> open;
  Preorder(run.root, [&](const Node& node, int depth) {
    while (static_cast<int>(open.size()) > depth) {
      out += "]}";
      open.pop_back();
    }
    const bool first = depth == 0 ? out.size() == 1 : open.back()->children.front().get() == &node;
    out += first ? "\n" : ",\n";
    out += "{\"frame\": {\"name\": ";
    Text(out, node.name);
    timetree::AppendFormat(out,
                           ", \"type\": \"region\"}, \"metrics\": {\"time\": %.17g, "
                           "\"time (inc)\": %.17g, \"count\": %.0f}, \"children\": [",
                           node.MeanSelf(), node.Mean(), node.count.sum);
    open.push_back(&node);
    return true;
  });
  for (size_t i = 0; i < open.size(); ++i) out += "]}";
  out += "\n]\n";
  return out;
}

// Caliper's json-split form, as Hatchet and Thicket read it: the nodes of
// the path column (each with its parent), one data row per timer with its
// self and inclusive seconds, and the run's metadata as top-level keys.
std::string CaliperSplit(const Run& run) {
  std::string nodes, data;
  std::vector<long> index;  // node index at each depth of the walk
  long next = 0;
  Preorder(run.root, [&](const Node& node, int depth) {
    index.resize(static_cast<size_t>(depth));
    nodes += next == 0 ? "\n" : ",\n";
    nodes += "{\"label\": ";
    Text(nodes, node.name);
    nodes += ", \"column\": \"path\"";
    if (depth > 0) timetree::AppendFormat(nodes, ", \"parent\": %ld", index.back());
    nodes += "}";
    timetree::AppendFormat(data, "%s\n[%ld, %.17g, %.17g]", next == 0 ? "" : ",", next,
                           node.MeanSelf(), node.Mean());
    index.push_back(next++);
    return true;
  });
  std::string out = "{\"data\": [" + data + "\n], \"columns\": [\"path\", \"sum#time.duration\", "
                    "\"inclusive#sum#time.duration\"], \"column_metadata\": [{\"is_value\": false}, "
                    "{\"is_value\": true}, {\"is_value\": true}], \"nodes\": [" + nodes + "\n]";
  for (const auto& entry : run.metadata) {
    if (entry.first == "data" || entry.first == "columns" || entry.first == "column_metadata" ||
        entry.first == "nodes") {
      continue;  // the format's own keys
    }
    out += ", ";
    Text(out, entry.first);
    out += ": ";
    Text(out, entry.second);
  }
  out += "}\n";
  return out;
}

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
  Preorder(run.root, [&](const Node& node, int) {
    const double starts = run.sources > 0 ? node.count.sum / static_cast<double>(node.sources) : 0;
    const double per_start = starts > 0 ? node.Mean() / starts : 0.0;
    const bool ns = per_start < 1.0;
    out += first ? "\n" : ",\n";
    first = false;
    out += "{\"name\": ";
    Text(out, SeriesName(node));
    timetree::AppendFormat(out, ", \"unit\": \"%s\", \"value\": %.17g", ns ? "ns" : "s",
                           ns ? per_start * 1e9 : per_start);
    if (node.sources > 1 && starts > 0) {
      const double spread = node.StdDev() / starts;
      std::string range;
      timetree::AppendFormat(range, "\u00b1 %.6g", ns ? spread * 1e9 : spread);
      out += ", \"range\": ";
      Text(out, range);
    }
    timetree::AppendFormat(out, ", \"extra\": \"count %.0f\"}", node.count.sum);
    return true;
  });
  out += "\n]\n";
  return out;
}

// speedscope's file format: the frames shared by every profile, then one
// sampled profile per thread (or one of the whole run): a sample per timer
// with self time, its stack the timer's path, weighed in nanoseconds.
std::string Speedscope(const Run& run) {
  std::map<std::string, long> frames;
  std::string shared;
  auto frame = [&](const std::string& name) {
    const auto found = frames.find(name);
    if (found != frames.end()) return found->second;
    const long index = static_cast<long>(frames.size());
    frames.emplace(name, index);
    shared += index == 0 ? "\n" : ",\n";
    shared += "{\"name\": ";
    Text(shared, name);
    shared += "}";
    return index;
  };
  std::string profiles;
  auto profile = [&](const Node& root, const std::string& name) {
    std::string samples, weights;
    std::vector<long> stack;
    double end = 0;
    Preorder(root, [&](const Node& node, int depth) {
      stack.resize(static_cast<size_t>(depth));
      stack.push_back(frame(node.name));
      const double self_ns = std::round(node.MeanSelf() * 1e9);
      if (self_ns <= 0) return true;
      samples += samples.empty() ? "[" : ", [";
      for (size_t i = 0; i < stack.size(); ++i) {
        timetree::AppendFormat(samples, "%s%ld", i == 0 ? "" : ", ", stack[i]);
      }
      samples += "]";
      timetree::AppendFormat(weights, "%s%.0f", weights.empty() ? "" : ", ", self_ns);
      end += self_ns;
      return true;
    });
    profiles += profiles.empty() ? "\n" : ",\n";
    profiles += "{\"type\": \"sampled\", \"name\": ";
    Text(profiles, name);
    timetree::AppendFormat(profiles,
                           ", \"unit\": \"nanoseconds\", \"startValue\": 0, \"endValue\": %.0f, "
                           "\"samples\": [",
                           end);
    profiles += samples + "], \"weights\": [" + weights + "]}";
  };
  if (run.threads.empty()) {
    profile(run.root, run.combined ? "mean over the sources" : "run");
  } else {
    for (const auto& thread : run.threads) {
      std::string name;
      timetree::AppendFormat(name, "thread %ld \"%s\"", thread->tid, thread->name.c_str());
      profile(thread->root, name);
    }
  }
  std::string out =
      "{\"$schema\": \"https://www.speedscope.app/file-format-schema.json\", \"name\": ";
  Text(out, run.file);
  out += ", \"exporter\": \"timetree " TIMETREE_VERSION "\", \"activeProfileIndex\": 0, "
         "\"shared\": {\"frames\": [" + shared + "\n]}, \"profiles\": [" + profiles + "\n]}\n";
  return out;
}

}  // namespace

int Convert(const ConvertOptions& options, std::ostream& out) {
  const auto run = ReadRun(options.run);
  std::string text;
  if (options.to == "hatchet") {
    text = Hatchet(*run);
  } else if (options.to == "caliper-json-split") {
    text = CaliperSplit(*run);
  } else if (options.to == "benchmark") {
    text = Benchmark(*run);
  } else if (options.to == "pprof") {
    text = Pprof(*run);
  } else {
    text = Speedscope(*run);
  }
  if (options.output == "-") {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  } else {
    WriteFile(options.output, text);
  }
  return 0;
}

}  // namespace timetree_cli
