#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "runformat/text.h"

namespace timetree_cli {

// Caliper's json-split form, as Hatchet and Thicket read it: the nodes of
// the path column (each with its parent), one data row per timer with its
// self and inclusive seconds (and a column per counter of TIMETREE_COUNTERS
// the file has, inclusive, 0 where a timer has none), and the run's
// metadata as top-level keys.
std::string CaliperSplit(const Run& run) {
  unsigned counters = 0;
  Preorder(run.root, [&counters](const Node& node, int) {
    counters |= node.has_counters;
    return true;
  });
  std::string nodes, data;
  std::vector<long> index;  // node index at each depth of the walk
  long next = 0;
  Preorder(run.root, [&](const Node& node, int depth) {
    index.resize(static_cast<size_t>(depth));
    nodes += next == 0 ? "\n" : ",\n";
    nodes += "{\"label\": ";
    AppendQuoted(nodes, node.name);
    nodes += ", \"column\": \"path\"";
    if (depth > 0) timetree::AppendFormat(nodes, ", \"parent\": %ld", index.back());
    nodes += "}";
    timetree::AppendFormat(data, "%s\n[%ld, %.17g, %.17g", next == 0 ? "" : ",", next,
                           node.MeanSelf(), node.Mean());
    for (int i = 0; i < timetree::combined::kCounterCount; ++i) {
      if ((counters & (1u << i)) != 0) {
        timetree::AppendFormat(data, ", %.17g", CounterPerSource(node, i));
      }
    }
    data += "]";
    index.push_back(next++);
    return true;
  });
  std::string columns = "\"path\", \"sum#time.duration\", \"inclusive#sum#time.duration\"";
  std::string column_metadata = "{\"is_value\": false}, {\"is_value\": true}, {\"is_value\": true}";
  for (int i = 0; i < timetree::combined::kCounterCount; ++i) {
    if ((counters & (1u << i)) == 0) continue;
    columns += ", \"inclusive#" + std::string(timetree::combined::kCounterNames[i]) + "\"";
    column_metadata += ", {\"is_value\": true}";
  }
  std::string out = "{\"data\": [" + data + "\n], \"columns\": [" + columns +
                    "], \"column_metadata\": [" + column_metadata + "], \"nodes\": [" + nodes +
                    "\n]";
  for (const auto& entry : run.metadata) {
    if (entry.first == "data" || entry.first == "columns" || entry.first == "column_metadata" ||
        entry.first == "nodes") {
      continue;  // the format's own keys
    }
    out += ", ";
    AppendQuoted(out, entry.first);
    out += ": ";
    AppendQuoted(out, entry.second);
  }
  out += "}\n";
  return out;
}

}  // namespace timetree_cli
