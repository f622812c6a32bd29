// The concurrent parts against a model: several threads play seeded random
// sequences of starts, stops, adoptions of contexts (taken by the others,
// some before a clear) and leaving them, in phases; between phases the main
// thread exports, or clears. The merged tree (every count, total, mark)
// and each thread's timeline (every interval, implicit or still running)
// must be what a plain model of each thread, merged by path, predicts.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "registry/threads.h"
#include "support.h"

namespace {

using timetree_test::FakeClock;

const char* const kNames[] = {"a", "b", "c", "solver::assemble_jacobian_block"};

// A context as the model knows it: the path of names, and the clear it
// was taken in.
struct PathContext {
  std::vector<std::string> path;
  int generation = 0;
  TimeContext real{};
};

// One thread's timers as plainly as possible, adoption included.
struct Node {
  std::string name;
  Node* parent = nullptr;
  std::vector<std::unique_ptr<Node>> children;
  long count = 0;
  int64_t start = 0, elapsed = 0;
  bool running = false, implicit = false, top = false;
  bool ended = false;  // its thread ended while it ran: elapsed holds it all
  int64_t Total(int64_t now) const { return elapsed + (running && !ended ? now - start : 0); }
  Node* Child(const std::string& n) {
    for (auto& c : children) {
      if (c->name == n) return c.get();
    }
    children.push_back(std::make_unique<Node>());
    children.back()->name = n;
    children.back()->parent = this;
    return children.back().get();
  }
};

struct Event {
  std::string name;
  bool implicit, running;
  bool operator<(const Event& o) const {
    return std::tie(name, implicit, running) < std::tie(o.name, o.implicit, o.running);
  }
  bool operator==(const Event& o) const {
    return name == o.name && implicit == o.implicit && running == o.running;
  }
};

void PrintTo(const Event& e, std::ostream* out) {
  *out << e.name << (e.implicit ? " ?" : "") << (e.running ? " running" : "");
}

class ThreadModel {
 public:
  Node root;
  Node* current = nullptr;
  Node* base = nullptr;
  std::vector<Event> events;  // the intervals the timeline records
  std::vector<std::string> messages;
  std::string log;  // what the thread did, shown when a check fails

  void Start(const std::string& name, int64_t now) {
    Node* list = current != nullptr ? current : base != nullptr ? base : &root;
    // Exports show names whole; no two of kNames share their first 25
    // characters, so the cut never joins two of them.
    Node* node = list->Child(name);
    node->top = current == nullptr && base != nullptr;
    ++node->count;
    node->start = now;
    node->running = true;
    current = node;
  }
  void Stop(const std::string& name, int64_t now) {
    if (current == nullptr) {
      messages.push_back("No timer active while trying to stop timer \"" + name + "\"\n");
      return;
    }
    for (;;) {
      Node* node = current;
      node->elapsed += now - node->start;
      node->running = false;
      Node* outer = node->top ? nullptr : node->parent == &root ? nullptr : node->parent;
      bool go_on = false;
      if (node->name != name) {
        if (outer != nullptr) {
          node->implicit = true;
          go_on = true;
        } else {
          messages.push_back("Timer could not find timer \"" + name +
                             "\"\nCheck that start and stop have the same name\n");
        }
      }
      events.push_back({node->name, go_on, false});
      current = outer;
      if (!go_on) return;
    }
  }
  std::vector<std::string> PathOf(Node* node) const {
    std::vector<std::string> path;
    for (; node != nullptr && node != &root; node = node->parent) path.insert(path.begin(), node->name);
    return path;
  }
  void Adopt(const std::vector<std::string>& path) {
    Node* node = &root;
    for (const std::string& n : path) node = node->Child(n);
    base = path.empty() ? nullptr : node;
  }
  // The thread ends: its running timers' last intervals end with it.
  void End(int64_t now) {
    for (Node* n = current; n != nullptr; n = n->top ? nullptr : n->parent) {
      if (n == &root || !n->running) break;
      n->elapsed += now - n->start;
      n->ended = true;
    }
  }
  // After another thread's clear: the tree is empty at the next call.
  void Clear() {
    root.children.clear();
    current = base = nullptr;
    events.clear();
  }
};

// A snapshot's tree in a canonical form: "depth name count total implicit
// running" per node, siblings by name.
void Canonical(const Node& node, int depth, int64_t now, std::vector<std::string>& out,
               const std::string& prefix) {
  std::vector<const Node*> kids;
  for (auto& c : node.children) kids.push_back(c.get());
  std::sort(kids.begin(), kids.end(), [](auto* a, auto* b) { return a->name < b->name; });
  for (const Node* k : kids) {
    const int64_t total = k->Total(now);
    out.push_back(prefix + "/" + k->name + " " + std::to_string(k->count) + " " +
                  std::to_string(total) + (k->implicit ? " ?" : "") +
                  (k->running ? " running" : ""));
    Canonical(*k, depth + 1, now, out, prefix + "/" + k->name);
  }
}

// The models merged by path: counts, ticks and marks added.
void MergeInto(Node& into, const Node& from, int64_t now) {
  for (auto& c : from.children) {
    Node* t = into.Child(c->name);
    t->count += c->count;
    t->elapsed += c->Total(now);
    t->implicit = t->implicit || c->implicit;
    t->running = t->running || c->running;
    t->ended = true;  // the running part is in elapsed already
    MergeInto(*t, *c, now);
  }
}

std::vector<std::string> LibraryTree() {
  std::vector<std::string> rows, stack;
  std::pair<std::vector<std::string>*, std::vector<std::string>*> both(&rows, &stack);
  TimeForEachTimer64(
      [](const TimeTimerInfo64& t, void* context) {
        auto& r = *static_cast<std::pair<std::vector<std::string>*, std::vector<std::string>*>*>(
            context);
        r.second->resize(static_cast<size_t>(t.depth));
        r.second->push_back(t.name);
        std::string path;
        for (const auto& n : *r.second) path += "/" + n;
        r.first->push_back(path + " " + std::to_string(t.count) + " " +
                           std::to_string(std::llround(t.total_seconds * 1000)) +
                           (t.stopped_implicitly ? " ?" : "") + (t.running ? " running" : ""));
      },
      &both);
  std::sort(rows.begin(), rows.end());
  return rows;
}

// The events each thread (by OS thread id) recorded, as the timeline
// export writes them.
std::map<long, std::vector<Event>> LibraryTimeline() {
  std::string text;
  TimeWriteTraceEvents(
      1, 0, "model",
      [](const char* data, unsigned long size, void* context) {
        static_cast<std::string*>(context)->append(data, size);
        return true;
      },
      &text);
  std::map<long, std::vector<Event>> lanes;
  size_t at = 0;
  while ((at = text.find("{\"ph\": \"X\", \"name\": \"", at)) != std::string::npos) {
    at += 21;
    const size_t end = text.find('"', at);
    Event e{text.substr(at, end - at), false, false};
    const size_t tid = text.find("\"tid\": ", end) + 7;
    const long id = std::stol(text.substr(tid));
    const size_t close = text.find("\n", end);
    const std::string rest = text.substr(end, close - end);
    e.implicit = rest.find("\"stopped_implicitly\": true") != std::string::npos;
    e.running = rest.find("\"running\": true") != std::string::npos;
    lanes[id].push_back(e);
  }
  for (auto& lane : lanes) std::sort(lane.second.begin(), lane.second.end());
  return lanes;
}

class ConcurrentModel : public timetree_test::TimingTest {};

TEST_F(ConcurrentModel, ThreadsContextsClearsAndTheTimelineAgreeWithTheModel) {
  constexpr int kThreads = 3, kPhases = 12, kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    OpenCapture();
    timetree::SetTimelineLimit(100000);
    std::vector<ThreadModel> models(kThreads);
    std::vector<long> tids(kThreads);
    std::vector<PathContext> pool;  // contexts taken so far, by any thread
    std::mutex poolLock;
    int generation = 0;
    std::atomic<int> phase{-1}, done{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        tids[i] = static_cast<long>(syscall(SYS_gettid));
        std::mt19937_64 rng(static_cast<uint64_t>(round * 97 + i));
        auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
        FakeClock::now = 0;
        ThreadModel& m = models[i];
        for (int p = 0; p < kPhases; ++p) {
          while (phase.load() != p) {
            if (failed.load()) return;
            std::this_thread::yield();
          }
          for (int op = 0; op < 25; ++op) {
            FakeClock::now += static_cast<int64_t>(pick(5));
            const std::string name = kNames[pick(std::size(kNames))];
            switch (pick(9)) {
              case 0:
              case 1:
              case 2:
                TimeStartTimer(name.c_str());
                m.Start(name, FakeClock::now);
                m.log += " +" + name.substr(0, 1) + "@" + std::to_string(FakeClock::now);
                break;
              case 3:
              case 4:
              case 5:
                TimeStopTimer(name.c_str());
                m.Stop(name, FakeClock::now);
                m.log += " -" + name.substr(0, 1) + "@" + std::to_string(FakeClock::now);
                break;
              case 6: {
                // A context of an earlier clear adopts nothing.
                std::lock_guard<std::mutex> hold(poolLock);
                if (pool.empty()) break;
                const PathContext& c = pool[pick(pool.size())];
                TimeAdoptContext(c.real);
                m.Adopt(c.generation == generation ? c.path : std::vector<std::string>{});
                m.log += " adopt(";
                for (const auto& n : c.path) m.log += "/" + n.substr(0, 1);
                m.log += c.generation == generation ? ")" : ") of before";
                break;
              }
              case 7:
                TimeAdoptContext(TimeContext{});
                m.Adopt({});
                m.log += " adopt()";
                break;
              default: {
                Node* at = m.current != nullptr ? m.current : m.base;
                std::lock_guard<std::mutex> hold(poolLock);
                pool.push_back({m.PathOf(at), generation, TimeCurrentContext()});
              }
            }
          }
          m.log += " |\n";
          ++done;
        }
        while (!failed.load()) std::this_thread::yield();
        m.End(FakeClock::now);
      });
    }
    // The merged tree and each thread's timeline against the models, now.
    auto agrees = [&](const std::string& when) {
      ThreadModel merged;
      for (auto& m : models) MergeInto(merged.root, m.root, FakeClock::now);
      std::vector<std::string> expected;
      Canonical(merged.root, 0, FakeClock::now, expected, "");
      std::sort(expected.begin(), expected.end());
      const std::vector<std::string> tree = LibraryTree();
      EXPECT_EQ(tree, expected) << when;
      bool same = tree == expected;
      const auto lanes = LibraryTimeline();
      for (int i = 0; i < kThreads; ++i) {
        std::vector<Event> want = models[i].events;
        for (Node* n = models[i].current; n != nullptr; n = n->top ? nullptr : n->parent) {
          if (n == &models[i].root || !n->running) break;
          want.push_back({n->name, false, true});
        }
        std::sort(want.begin(), want.end());
        const auto found = lanes.find(tids[i]);
        const std::vector<Event> got =
            found != lanes.end() ? found->second : std::vector<Event>{};
        EXPECT_EQ(got, want) << when << ", thread " << i;
        same = same && got == want;
      }
      if (!same) {
        for (int i = 0; i < kThreads; ++i) ADD_FAILURE() << "thread " << i << ":\n" << models[i].log;
      }
      return same;
    };
    const std::string name = "round " + std::to_string(round);
    for (int p = 0; p < kPhases && !failed; ++p) {
      done = 0;
      phase = p;
      while (done.load() != kThreads) std::this_thread::yield();
      // Between phases, with every thread waiting, the main thread exports,
      // and now and then clears.
      FakeClock::now += 1000;
      if (!agrees(name + ", phase " + std::to_string(p))) failed = true;
      if (p % 4 == 2) {
        TimeClear();
        ++generation;
        for (auto& m : models) m.Clear();
      }
    }
    // The threads end inside their running timers (no clear since the last
    // phase): those show running, up to their thread's end.
    const bool ran = !failed;
    failed = true;
    for (auto& t : threads) t.join();
    if (ran) agrees(name + ", the threads ended");
    if (HasFailure()) return;
    // The messages, line by line: each comes whole, in pieces.
    auto lines = [](const std::string& text) {
      std::vector<std::string> out;
      for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(at, end - at));
      }
      std::sort(out.begin(), out.end());
      return out;
    };
    std::string said, expected;
    for (const auto& piece : timetree_test::CommentLog::pieces) said += piece;
    for (auto& m : models) {
      for (const auto& message : m.messages) expected += message;
    }
    const std::vector<std::string> got = lines(said), want = lines(expected);
    EXPECT_EQ(got, want) << "round " << round;
    timetree::SetTimelineLimit(0);
    TimeCloseOStream();
    TimeClear();
  }
}

}  // namespace
