// Random call sequences against a small reference model of the timer tree.
// The clock is driven by hand, so the model predicts every byte the library
// writes: messages, report rows with their seconds, and the file contents.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace {

using timetree_test::FakeClock;
using timetree_test::Format;

// Names that exercise the cut at 25 characters, null and empty names, and
// texts that printf or a folded-stack format would misread.
const char* const kNames[] = {
    nullptr,
    "",
    "a",
    "b",
    "%s%n",
    "x;y z",
    "abcdefghijklmnopqrstuvwxy",
    "abcdefghijklmnopqrstuvwxy-one",
    "abcdefghijklmnopqrstuvwxy-two",
};
const char* const kUnits[] = {nullptr, "", ".", "ab", "%d", "1234567", "12345678"};

std::string Cut(const char* name) {
  if (name == nullptr) return "";
  std::string s(name);
  return s.size() > 25 ? s.substr(0, 25) : s;
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
    if (current_ != nullptr) Comment("Warning:  some timers are still running\n");
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
};

class Differential : public timetree_test::TimingTest {};

TEST_F(Differential, RandomSequencesMatchTheModelByteForByte) {
  const char* env_seed = std::getenv("TIMETREE_DIFF_SEED");
  const uint64_t first_seed = env_seed != nullptr ? std::strtoull(env_seed, nullptr, 10) : 1;
  const int sequences = env_seed != nullptr ? 1 : 10000;
  const std::string path = NewFile("differential");
  long operations = 0;

  for (int s = 0; s < sequences; ++s) {
    const uint64_t seed = first_seed + static_cast<uint64_t>(s);
    std::mt19937_64 rng(seed);
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };

    // Every sequence starts from a closed, cleared, disabled library.
    TimeCloseOStream();
    Switch("TIMING_ON", nullptr);
    Switch("TIMING_FILE", nullptr);
    Switch("TIMING_CONSOLE", nullptr);
    TimeClear();
    timetree_test::CommentLog::pieces.clear();
    FakeClock::now = 0;
    Model model;
    std::remove(path.c_str());

    const int length = 1 + static_cast<int>(pick(60));
    for (int op = 0; op < length; ++op, ++operations) {
      FakeClock::now += static_cast<int64_t>(pick(7));
      const int64_t now = FakeClock::now;
      const size_t kind = pick(100);
      if (kind < 35) {
        const char* name = kNames[pick(std::size(kNames))];
        TimeStartTimer(name);
        model.Start(name, now);
      } else if (kind < 70) {
        const char* name = kNames[pick(std::size(kNames))];
        TimeStopTimer(name);
        model.Stop(name, now);
      } else if (kind < 75) {
        const bool on = pick(4) != 0;
        Switch("TIMING_ON", on ? "1" : "0");
        TimeClear();
        model.Clear(on);
      } else if (kind < 83) {
        const bool on = pick(4) != 0;
        const bool file_on = pick(3) != 0;
        Switch("TIMING_ON", on ? "yes" : "no");
        Switch("TIMING_FILE", file_on ? "1" : "0");
        TimeOpenOStream(path.c_str());
        model.Clear(on);
        if (file_on && !model.file_open) {
          model.file_open = true;
          model.file.clear();  // created or truncated
        } else if (!file_on) {
          model.file_open = false;
        }
      } else if (kind < 86) {
        TimeCloseOStream();
        model.file_open = false;
      } else if (kind < 92) {
        TimePrint();
        model.Print();
      } else {
        const char* unit = kUnits[pick(std::size(kUnits))];
        TimePrintIndented(unit);
        model.PrintIndented(unit);
      }
    }
    TimeCloseOStream();
    ASSERT_EQ(timetree_test::CommentLog::pieces, model.pieces)
        << "replay with TIMETREE_DIFF_SEED=" << seed;
    ASSERT_EQ(timetree_test::ReadFile(path), model.file)
        << "replay with TIMETREE_DIFF_SEED=" << seed;
  }
  RecordProperty("operations", static_cast<int>(operations));
  EXPECT_GT(operations, sequences * 20);
}

}  // namespace
