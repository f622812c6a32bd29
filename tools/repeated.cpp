#include "repeated.h"

#include <unordered_map>

namespace timetree_cli {

std::vector<PathTotals> GatherTotals(const std::vector<std::unique_ptr<Run>>& base,
                                     const std::vector<std::unique_ptr<Run>>& next) {
  std::vector<PathTotals> paths;
  std::unordered_map<std::string, size_t> at;
  auto gather = [&](const Run& run, bool is_base) {
    Preorder(run.root, [&](const Node& node, int depth) {
      const std::string path = FoldedPath(node);
      auto found = at.find(path);
      if (found == at.end()) {
        found = at.emplace(path, paths.size()).first;
        paths.push_back(PathTotals{path, node.name, depth, {}, {}});
      }
      (is_base ? paths[found->second].base : paths[found->second].next).push_back(node.Mean());
      return true;
    });
  };
  for (const auto& run : base) gather(*run, true);
  for (const auto& run : next) gather(*run, false);
  return paths;
}

std::vector<std::unique_ptr<Run>> ReadRuns(const std::vector<std::string>& paths) {
  std::vector<std::unique_ptr<Run>> runs;
  for (const std::string& path : paths) runs.push_back(ReadRun(path));
  return runs;
}

}  // namespace timetree_cli
