#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "runformat/text.h"

namespace timetree_cli {

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
    AppendQuoted(out, node.name);
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

}  // namespace timetree_cli
