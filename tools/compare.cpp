#include "compare.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>

#include "output/exports.h"
#include "registry/merge.h"
#include "table.h"

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

void WarnUnlike(const Run& base, const Run& next, std::ostream& err) {
  if (base.metadata.empty() || next.metadata.empty()) return;
  // Keys the library collects that say nothing of how alike runs are.
  static const char* const kCircumstance[] = {"program", "pid", "start_time", "end_time", "clock",
                                               "clock_frequency", "os", "rank"};
  auto find = [](const Run& run, const std::string& key) -> const std::string* {
    for (const auto& entry : run.metadata) {
      if (entry.first == key) return &entry.second;
    }
    return nullptr;
  };
  std::vector<std::string> keys;
  for (const Run* run : {&base, &next}) {
    for (const auto& entry : run->metadata) {
      bool skip = std::find(keys.begin(), keys.end(), entry.first) != keys.end();
      for (const char* c : kCircumstance) skip = skip || entry.first == c;
      if (!skip) keys.push_back(entry.first);
    }
  }
  for (const std::string& key : keys) {
    const std::string* a = find(base, key);
    const std::string* b = find(next, key);
    if (a != nullptr && b != nullptr && *a == *b) continue;
    err << "timetree: warning: the runs differ in " << Display(key) << ": "
        << (a != nullptr ? "\"" + Display(*a) + "\"" : std::string("none")) << " in " << base.file
        << ", " << (b != nullptr ? "\"" + Display(*b) + "\"" : std::string("none")) << " in "
        << next.file << "\n";
  }
}

}  // namespace timetree_cli
