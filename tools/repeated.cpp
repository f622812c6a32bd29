#include "repeated.h"

#include <map>
#include <utility>

#include "output/exports.h"

namespace timetree_cli {

std::vector<PathTotals> GatherTotals(const std::vector<std::unique_ptr<Run>>& base,
                                     const std::vector<std::unique_ptr<Run>>& next) {
  std::vector<PathTotals> paths;
  std::map<std::pair<size_t, std::string>, size_t> at;  // (parent, folded name) -> entry
  auto gather = [&](const Run& run, bool is_base) {
    std::vector<size_t> entries;  // of the path down to the current depth
    Preorder(run.root, [&](const Node& node, int depth) {
      entries.resize(static_cast<size_t>(depth));
      const size_t parent = entries.empty() ? static_cast<size_t>(-1) : entries.back();
      std::string folded;
      timetree::AppendFoldedName(folded, node.name.c_str());
      auto found = at.find({parent, folded});
      if (found == at.end()) {
        found = at.emplace(std::make_pair(parent, folded), paths.size()).first;
        paths.push_back(PathTotals{node.name, folded, depth, parent, {}, {}});
      }
      PathTotals& entry = paths[found->second];
      (is_base ? entry.base : entry.next).push_back(node.Mean());
      entries.push_back(found->second);
      return true;
    });
  };
  for (const auto& run : base) gather(*run, true);
  for (const auto& run : next) gather(*run, false);
  return paths;
}

std::string FoldedPathOf(const std::vector<PathTotals>& paths, size_t i) {
  std::vector<size_t> chain;
  for (size_t at = i; at != static_cast<size_t>(-1); at = paths[at].parent) chain.push_back(at);
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!path.empty()) path += ';';
    path += paths[*it].folded;
  }
  return path;
}

size_t FindFoldedPath(const std::vector<PathTotals>& paths, const std::string& path) {
  size_t parent = static_cast<size_t>(-1);
  size_t from = 0;
  while (true) {
    const size_t semicolon = path.find(';', from);
    const std::string part =
        path.substr(from, semicolon == std::string::npos ? std::string::npos : semicolon - from);
    size_t found = paths.size();
    for (size_t i = 0; i < paths.size(); ++i) {
      if (paths[i].parent == parent && paths[i].folded == part) {
        found = i;
        break;
      }
    }
    if (found == paths.size() || semicolon == std::string::npos) return found;
    parent = found;
    from = semicolon + 1;
  }
}

std::vector<std::unique_ptr<Run>> ReadRuns(const std::vector<std::string>& paths) {
  std::vector<std::unique_ptr<Run>> runs;
  for (const std::string& path : paths) runs.push_back(ReadRun(path));
  return runs;
}

}  // namespace timetree_cli
