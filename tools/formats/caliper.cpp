#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "runformat/text.h"

namespace timetree_cli {

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
    AppendQuoted(nodes, node.name);
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
    AppendQuoted(out, entry.first);
    out += ": ";
    AppendQuoted(out, entry.second);
  }
  out += "}\n";
  return out;
}

}  // namespace timetree_cli
