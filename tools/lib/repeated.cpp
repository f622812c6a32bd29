#include "lib/repeated.h"

#include <algorithm>
#include <map>
#include <utility>

#include "runformat/text.h"

namespace timetree_cli {

std::vector<PathTotals> GatherTotals(const std::vector<std::unique_ptr<Run>>& base,
                                     const std::vector<std::unique_ptr<Run>>& next) {
  std::vector<PathTotals> paths;
  // (parent, name) -> entry: two names that fold alike ("a b", "a_b") stay
  // two paths.
  std::map<std::pair<size_t, std::string>, size_t> at;
  auto gather = [&](const Run& run, bool is_base) {
    std::vector<size_t> entries;  // of the path down to the current depth
    Preorder(run.root, [&](const Node& node, int depth) {
      entries.resize(static_cast<size_t>(depth));
      const size_t parent = entries.empty() ? static_cast<size_t>(-1) : entries.back();
      std::string folded;
      timetree::AppendFoldedName(folded, node.name.c_str());
      auto found = at.find({parent, node.name});
      if (found == at.end()) {
        found = at.emplace(std::make_pair(parent, node.name), paths.size()).first;
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

std::vector<size_t> FindFoldedPath(const std::vector<PathTotals>& paths, const std::string& path) {
  std::vector<size_t> parents{static_cast<size_t>(-1)};
  size_t from = 0;
  while (true) {
    const size_t semicolon = path.find(';', from);
    const std::string part =
        path.substr(from, semicolon == std::string::npos ? std::string::npos : semicolon - from);
    std::vector<size_t> found;
    for (size_t i = 0; i < paths.size(); ++i) {
      if (paths[i].folded == part &&
          std::find(parents.begin(), parents.end(), paths[i].parent) != parents.end()) {
        found.push_back(i);
      }
    }
    if (found.empty() || semicolon == std::string::npos) return found;
    parents = std::move(found);
    from = semicolon + 1;
  }
}

std::vector<std::unique_ptr<Run>> ReadRuns(const std::vector<std::string>& paths) {
  std::vector<std::unique_ptr<Run>> runs;
  for (const std::string& path : paths) runs.push_back(ReadRun(path));
  return runs;
}

}  // namespace timetree_cli
