#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "runformat/text.h"

namespace timetree_cli {

// Hatchet's literal format: a list of roots, each a frame with its metrics
// (self and inclusive seconds, count, and TIMETREE_COUNTERS' counters as
// inclusive metrics, "cpu_seconds (inc)", per source as the time is) and
// children.
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
    AppendQuoted(out, node.name);
    timetree::AppendFormat(out,
                           ", \"type\": \"region\"}, \"metrics\": {\"time\": %.17g, "
                           "\"time (inc)\": %.17g, \"count\": %.0f",
                           node.MeanSelf(), node.Mean(), node.count.sum);
    for (int i = 0; i < timetree::combined::kCounterCount; ++i) {
      if ((node.has_counters & (1u << i)) == 0) continue;
      timetree::AppendFormat(out, ", \"%s (inc)\": %.17g", timetree::combined::kCounterNames[i],
                             CounterPerSource(node, i));
    }
    out += "}, \"children\": [";
    open.push_back(&node);
    return true;
  });
  for (size_t i = 0; i < open.size(); ++i) out += "]}";
  out += "\n]\n";
  return out;
}

}  // namespace timetree_cli
