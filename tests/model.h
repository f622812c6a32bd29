// A small reference model of the timer tree, written as plainly as
// possible: with the clock driven by hand it predicts every byte the
// library writes.
#ifndef TIMETREE_TESTS_MODEL_H
#define TIMETREE_TESTS_MODEL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "registry/names.h"
#include "support.h"

namespace timetree_test {

// Names that exercise the cut at 25 characters, null and empty names, and
// texts that printf or a folded-stack format would misread.
// Names that exercise the cut at 25 characters, null and empty names, texts
// that printf or a folded-stack format would misread, names that agree in
// 24 of their first 25 characters, and enough others that lists grow wide
// enough to be indexed.
inline const char* const kNames[] = {
    nullptr,
    "",
    "a",
    "b",
    "%s%n",
    "x;y z",
    "abcdefghijklmnopqrstuvwxy",
    "abcdefghijklmnopqrstuvwxy-one",
    "abcdefghijklmnopqrstuvwxy-two",
    "abcdefghijklmnopqrstuvwxz",
    "abcdefghijklmnopqrstuvwx",
    "assemble_stiffness_part1",
    "assemble_stiffness_part2",
    "assemble_stiffness_part3",
    "w4",
    "w5",
    "w6",
    "w7",
};
inline const char* const kUnits[] = {nullptr, "", ".", "ab", "%d", "1234567", "12345678"};

// The name a timer is known by: its first 25 characters, or its whole
// text under TIMETREE_NAMES=full.
inline std::string Cut(const char* name) {
  if (name == nullptr) return "";
  std::string s(name);
  return s.size() > 25 && !timetree::g_wholeNames ? s.substr(0, 25) : s;
}

struct Node {
  std::string name;
  Node* parent = nullptr;
  std::vector<std::unique_ptr<Node>> children;
  int count = 0;
  int64_t start = 0;
  double elapsed = 0.0;
  bool implicit = false;
};

// What the library should do, written as plainly as possible.
class Model {
 public:
  std::vector<std::string> pieces;  // every text handed to TimeComment
  std::string file;                 // what the open file should hold
  bool file_open = false;
  bool enabled = false;

  void Comment(const std::string& text) {
    pieces.push_back(text);
    if (file_open) file += text;
  }
  void CommentName(const char* name) {
    if (name != nullptr) Comment(name);  // a null text is not handed over
  }

  void Start(const char* name, int64_t now) {
    if (!enabled) return;
    auto& list = current_ != nullptr ? current_->children : root_;
    const std::string key = Cut(name);
    Node* found = nullptr;
    for (auto& child : list) {
      if (child->name == key) found = child.get();
    }
    if (found == nullptr) {
      list.push_back(std::make_unique<Node>());
      found = list.back().get();
      found->name = key;
      found->parent = current_;
    }
    current_ = found;
    ++found->count;
    found->start = now;
  }

  void Stop(const char* name, int64_t now) {
    if (!enabled) return;
    if (current_ == nullptr) {
      Comment("No timer active while trying to stop timer \"");
      CommentName(name);
      Comment("\"\n");
      return;
    }
    for (;;) {
      Node* node = current_;
      node->elapsed += static_cast<double>(now - node->start);
      const bool match = node->name == Cut(name);
      current_ = node->parent;
      if (match) return;
      if (node->parent == nullptr) {
        Comment("Timer could not find timer \"");
        CommentName(name);
        Comment("\"\nCheck that start and stop have the same name\n");
        return;
      }
      node->implicit = true;
    }
  }

  // Adds other's timers by path, as the reports merge the threads' trees:
  // new paths after this model's own, in other's order.
  void MergeFrom(const Model& other) {
    struct Pair {
      const std::vector<std::unique_ptr<Node>>* from;
      std::vector<std::unique_ptr<Node>>* into;
      Node* parent;
    };
    std::vector<Pair> todo{{&other.root_, &root_, nullptr}};
    while (!todo.empty()) {
      const Pair pair = todo.back();
      todo.pop_back();
      for (const auto& source : *pair.from) {
        Node* target = nullptr;
        for (auto& child : *pair.into) {
          if (child->name == source->name) target = child.get();
        }
        if (target == nullptr) {
          pair.into->push_back(std::make_unique<Node>());
          target = pair.into->back().get();
          target->name = source->name;
          target->parent = pair.parent;
        }
        target->count += source->count;
        target->elapsed += source->elapsed;
        target->implicit = target->implicit || source->implicit;
        todo.push_back({&source->children, &target->children, target});
      }
    }
    others_running_ = others_running_ || other.current_ != nullptr || other.others_running_;
  }

  // The thread ends inside its running timers: their intervals end at now,
  // and the reports still say that timers ran.
  void EndThread(int64_t now) {
    for (Node* node = current_; node != nullptr; node = node->parent) {
      node->elapsed += static_cast<double>(now - node->start);
    }
    others_running_ = others_running_ || current_ != nullptr;
    current_ = nullptr;
  }

  void Clear(bool timing_on) {
    if (current_ != nullptr) {
      Comment("dtimemgr - TimeClear deleted running timer: " + current_->name + "\n");
      Comment("dtimemgr search_list problem\n");
    }
    current_ = nullptr;
    root_.clear();
    enabled = timing_on;
  }

  void Print() {
    if (!WriteHead()) return;
    std::vector<Node> flat;
    Walk([&](Node* node, int) {
      for (auto& record : flat) {
        if (record.name == node->name) {
          record.count += node->count;
          record.elapsed += node->elapsed;
          return;
        }
      }
      flat.push_back(Node());
      flat.back().name = node->name;
      flat.back().count = node->count;
      flat.back().elapsed = node->elapsed;
    });
    for (const auto& record : flat) Row(record.name, record);
  }

  void PrintIndented(const char* unit) {
    if (!WriteHead()) return;
    const std::string u = unit == nullptr || unit[0] == '\0' ||
                                  std::string(unit).size() >= 8
                              ? "."
                              : unit;
    bool seen = false;
    Walk([&](Node* node, int depth) {
      std::string label;
      for (int i = 0; i < depth && label.size() < 90; ++i) label += u;
      if (!label.empty() && node->implicit) {
        label[0] = '?';
        seen = true;
      }
      Row(label + node->name, *node);
    });
    if (seen) {
      Comment("\nTimers with ? were stopped implicitly\n");
      Comment("This is usually due to an early return which avoided the _time_stop\n");
    }
  }

 private:
  bool WriteHead() {
    if (!enabled || root_.empty()) return false;
    if (current_ != nullptr || others_running_) {
      Comment("Warning:  some timers are still running\n");
    }
    Comment("\n");
    Comment(Format("%-30s | %6s | %17s | %17s\n", "LABEL", "COUNT", "TOTAL", "AVERAGE"));
    return true;
  }

  void Row(const std::string& label, const Node& node) {
    const double seconds = node.elapsed / 1000.0;
    Comment(Format("%-30s | %6d | %17lf | %17lf\n", label.c_str(), node.count,
                   seconds, node.count != 0 ? seconds / node.count : 0.0));
  }

  template <class Visit>
  void Walk(Visit visit) {
    struct Frame {
      Node* node;
      int depth;
    };
    std::vector<Frame> stack;
    for (auto it = root_.rbegin(); it != root_.rend(); ++it) stack.push_back({it->get(), 0});
    while (!stack.empty()) {
      Frame f = stack.back();
      stack.pop_back();
      visit(f.node, f.depth);
      for (auto it = f.node->children.rbegin(); it != f.node->children.rend(); ++it) {
        stack.push_back({it->get(), f.depth + 1});
      }
    }
  }

  std::vector<std::unique_ptr<Node>> root_;
  Node* current_ = nullptr;
  bool others_running_ = false;  // a merged model's other threads
};

}  // namespace timetree_test

#endif  // TIMETREE_TESTS_MODEL_H
