// Timing from many threads at once: each thread's tree is its own, the
// reports merge them by path, and clears, reports, exports, thread exits,
// forks and comments may come from any thread while others time.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "model.h"
#include "registry/dtimemgr.h"
#include "registry/threads.h"
#include "sanitized.h"
#include "stopwatch/atomics.h"
#include "support.h"

namespace {

using timetree_test::FakeClock;
using timetree_test::Header;
using timetree_test::Model;
using timetree_test::ReadFile;
using timetree_test::Row;

class Threads : public timetree_test::TimingTest {};

// Plays one seeded sequence of starts and stops on the calling thread and
// on its model. Before its first start it waits for its turn, and after it
// passes the turn on, so that the order of the threads' first timers is
// known; the rest runs at the same time as the other threads.
void Play(uint64_t seed, int turn, std::atomic<int>& turns, Model& model) {
  std::mt19937_64 rng(seed);
  auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
  FakeClock::now = 0;
  bool started = false;
  auto pass_turn = [&] {
    if (!started) turns.store(turn + 1);
    started = true;
  };
  while (turns.load() != turn) std::this_thread::yield();
  const int length = 1 + static_cast<int>(pick(80));
  for (int op = 0; op < length; ++op) {
    FakeClock::now += static_cast<int64_t>(pick(7));
    const char* name = timetree_test::kNames[pick(std::size(timetree_test::kNames))];
    if (pick(2) == 0) {
      TimeStartTimer(name);
      model.Start(name, FakeClock::now);
      pass_turn();
    } else {
      TimeStopTimer(name);
      model.Stop(name, FakeClock::now);
    }
  }
  pass_turn();
}

TEST_F(Threads, MergedReportsEqualTheMergeOfEachThreadsModel) {
  constexpr int kThreads = 4;
  for (uint64_t round = 0; round < 150; ++round) {
    OpenCapture();
    std::vector<Model> models(kThreads);
    std::vector<int64_t> ends(kThreads);
    std::atomic<int> turns{0};
    std::atomic<int> done{0};
    std::atomic<bool> leave{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      models[i].enabled = true;
      threads.emplace_back([&, i] {
        Play(round * kThreads + i + 1, i, turns, models[i]);
        ends[i] = FakeClock::now;
        ++done;
        // Stay alive until the reports on live trees are taken.
        while (!leave.load()) std::this_thread::yield();
      });
    }
    while (done.load() != kThreads) std::this_thread::yield();
    Model merged;
    merged.enabled = true;
    for (const Model& m : models) merged.MergeFrom(m);
    // Messages come from all threads at once: the same ones, in some order.
    std::vector<std::string> pieces = timetree_test::CommentLog::pieces, expected;
    for (const Model& m : models) expected.insert(expected.end(), m.pieces.begin(), m.pieces.end());
    std::sort(pieces.begin(), pieces.end());
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(pieces, expected) << "round " << round;

    // While the threads live, and again once their trees are folded: a
    // thread that ended inside timers ended their intervals.
    for (int pass = 0; pass < 2; ++pass) {
      if (pass == 1) {
        leave = true;
        for (auto& t : threads) t.join();
        merged = Model();
        merged.enabled = true;
        for (int i = 0; i < kThreads; ++i) {
          models[i].EndThread(ends[i]);
          merged.MergeFrom(models[i]);
        }
      }
      timetree_test::CommentLog::pieces.clear();
      merged.pieces.clear();
      TimePrint();
      merged.Print();
      TimePrintIndented(".");
      merged.PrintIndented(".");
      ASSERT_EQ(timetree_test::CommentLog::pieces, merged.pieces)
          << "round " << round << (pass == 0 ? ", threads alive" : ", threads finished");
    }
    TimeCloseOStream();
    TimeClear();
  }
}

// A clear on one thread, while another is inside a timer: that thread's
// next stop finds no timer, exactly as after its own clear.
// After the clear, each tree takes its place in the reports anew, by its
// first start since the clear: the clearing thread's own too.
TEST_F(Threads, ClearOnAnotherThreadEmptiesARunningThreadsTree) {
  OpenCapture();
  Run("first", 0);
  std::atomic<int> step{0};
  std::thread worker([&] {
    TimeStartTimer("work");
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    TimeStopTimer("work");
    TimeStartTimer("after");
    TimeStopTimer("after");
  });
  while (step.load() != 1) std::this_thread::yield();
  TimePrint();
  // Another thread's running timer is running in the merged JSON too.
  const std::string json = NewFile("running.json");
  ASSERT_TRUE(TimeWriteJson(json.c_str()));
  EXPECT_NE(ReadFile(json).find("\"running\": true, \"min_interval_seconds\": 0, "
                                "\"max_interval_seconds\": 0, \"children\": []}\n], \"threads\""),
            std::string::npos)
      << ReadFile(json);
  TimeClear();
  TimePrint();  // the worker's tree is stale until it next stops: nothing
  step = 2;
  worker.join();
  Run("main again", 0);
  TimePrint();
  EXPECT_EQ(Captured(), timetree_test::Warning() + Header() + Row("first", 1, 0.0) +
                            Row("work", 1, 0.0) +
                            "No timer active while trying to stop timer \"work\"\n" +
                            Header() + Row("after", 1, 0.0) + Row("main again", 1, 0.0));
}

// Threads time while one thread clears, reports and exports over and over:
// nothing crashes, and under ThreadSanitizer nothing races.
TEST_F(Threads, ClearsReportsAndExportsWhileOthersTime) {
  OpenCapture();
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) {
    workers.emplace_back([&stop, i] {
      const std::string outer = "worker" + std::to_string(i);
      while (!stop.load(std::memory_order_relaxed)) {
        FakeClock::now += 1;
        TimeStartTimer(outer.c_str());
        TimeStartTimer("inner");
        TimeStartTimer(("leaf" + std::to_string(FakeClock::now % 50)).c_str());
        TimeStopTimer("inner");  // closes the leaf implicitly
        TimeStopTimer(outer.c_str());
      }
    });
  }
  const std::string json = NewFile("stress.json"), folded = NewFile("stress.folded"),
                    svg = NewFile("stress.svg");
  // Bounded in rounds and in time: slow under valgrind, which runs one
  // thread at a time.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int i = 0; i < 300 && (i < 20 || std::chrono::steady_clock::now() < until); ++i) {
    TimePrint();
    TimePrintIndented(nullptr);
    TimeWriteJson(json.c_str());
    TimeWriteFolded(folded.c_str());
    TimeWriteFlameGraph(svg.c_str());
    if (i % 3 == 0) TimeClear();
  }
  stop = true;
  for (auto& t : workers) t.join();
  TimeClear();
}

// 20,000 short-lived threads time the same two names: their trees are
// folded as they finish, so memory grows with the paths, not the threads.
TEST_F(Threads, FinishedThreadsAreFoldedIntoBoundedMemory) {
  const char* env = std::getenv("TEST_CHURN_THREADS");
  const int kThreads = env != nullptr ? std::atoi(env) : 20000;
  OpenCapture();
  for (int i = 0; i < kThreads; i += 8) {
    std::vector<std::thread> batch;
    for (int j = 0; j < 8 && i + j < kThreads; ++j) {
      batch.emplace_back([] {
        TimeStartTimer("job");
        TimeStartTimer("step");
        FakeClock::now += 2;
        TimeStopTimer("step");
        FakeClock::now += 1;
        TimeStopTimer("job");
      });
    }
    for (auto& t : batch) t.join();
  }
  int trees = 0;
  for (auto* t = timetree::g_registry.trees; t != nullptr; t = t->nextTree) {
    if (t->root.head() != nullptr) ++trees;
  }
  EXPECT_EQ(trees, 1);
  // The one tree says how many threads it holds.
  const std::string json = NewFile("churn.json");
  ASSERT_TRUE(TimeWriteJson(json.c_str()));
  EXPECT_NE(ReadFile(json).find(timetree_test::Format("\"finished\": true, \"threads\": %d,", kThreads)),
            std::string::npos);
  TimePrintIndented(nullptr);
  // A thread that exits inside a timer keeps the warning on until a clear;
  // the clear then frees every finished tree.
  std::thread([] { TimeStartTimer("left open"); }).join();
  TimePrint();
  TimeClear();
  // A lone finished thread's tree too.
  std::thread([] { Run("alone", 0); }).join();
  TimeClear();
  int left = 0;
  for (auto* t = timetree::g_registry.trees; t != nullptr; t = t->nextTree) left += t->finished;
  EXPECT_EQ(left, 0);
  EXPECT_EQ(Captured(), Header() + Row("job", kThreads, kThreads * 0.003) +
                            Row(".step", kThreads, kThreads * 0.002) +
                            timetree_test::Warning() + Header() + Row("job", kThreads, kThreads * 0.003) +
                            Row("step", kThreads, kThreads * 0.002) + Row("left open", 1, 0.0));
}

// Lines written from several threads at once arrive whole.
TEST_F(Threads, ConcurrentCommentsNeverInterleave) {
  OpenCapture();
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([i] {
      const std::string line = "writer " + std::to_string(i) + " " + std::string(200, 'a' + i) + "\n";
      for (int n = 0; n < 2000; ++n) TimeComment(line.c_str());
    });
  }
  for (auto& t : writers) t.join();
  std::map<std::string, int> lines;
  const std::string text = Captured();
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    ++lines[text.substr(at, end - at)];
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 4u);
  for (const auto& entry : lines) EXPECT_EQ(entry.second, 2000) << entry.first;
}

// Threads that convert ticks at once all fill the lazy frequency, with the
// same value and without a race (ThreadSanitizer watches this one).
TEST_F(Threads, FrequencyFillsOnceFromManyThreads) {
  FakeClock::Remove();  // the load-time source: m_frequency is 0 until used
  std::vector<double> seen(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] {
      StopWatch watch;
      watch.StartTimer();
      watch.StopTimer();
      watch.GetElapsedTime();
      // Read as the library reads it: another thread may be filling it.
      seen[i] = timetree::LoadAcquire(StopWatch::m_frequency);
    });
  }
  for (auto& t : threads) t.join();
  for (double f : seen) {
    EXPECT_GT(f, 0.0);
    EXPECT_EQ(f, seen[0]);
  }
}

// A child that exits does not write the parent's pending file output again,
// and times on in its own copy.
TEST_F(Threads, ForkedChildNeitherRepeatsPendingOutputNorLosesTiming) {
  OpenCapture();
  TimeComment("parent's line, still in the buffer\n");
  Run("before", 1);
  const std::string json = NewFile("child.json");
  const pid_t child = fork();
  if (child == 0) {
    Run("child", 1);
    const bool ok = TimeWriteJson(json.c_str()) &&
                    ReadFile(json).find("\"name\": \"child\"") != std::string::npos &&
                    ReadFile(json).find("\"name\": \"before\"") != std::string::npos;
    std::exit(ok ? 0 : 1);  // flushes whatever stdio still holds
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Captured(), "parent's line, still in the buffer\n");
}

#ifdef TIMETREE_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Waits for child up to seconds; false when it has not ended by then.
bool WaitAtMost(pid_t child, int seconds, int& status) {
  for (int i = 0; i < seconds * 100; ++i) {
    if (waitpid(child, &status, WNOHANG) == child) return true;
    usleep(10000);
  }
  return false;
}

// In a forked child, a thread that was not changing its tree at the fork
// is a finished thread: its timers are all there, its running timer
// warned about, the JSON says it finished, and its timeline's lane ends
// with the running timer's interval up to the fork.
TEST_F(Threads, ForkedChildKeepsAnIdleThreadsTreeAsFinished) {
  OpenCapture();
  timetree::SetTimelineLimit(100);
  std::atomic<int> step{0};
  std::thread worker([&step] {
    Run("worker done", 0);
    TimeStartTimer("worker running");
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    TimeStopTimer("worker running");
  });
  while (step.load() != 1) std::this_thread::yield();
  const std::string json = NewFile("idle.json"), trace = NewFile("idle.trace");
  const pid_t child = fork();
  if (child == 0) {
    TimePrint();
    const bool warned = Captured().rfind("Warning:  some timers are still running\n", 0) == 0;
    const bool ok = TimeWriteJson(json.c_str()) && TimeWriteTrace(trace.c_str());
    std::_Exit(ok ? (warned ? 0 : 2) : 1);
  }
  timetree::SetTimelineLimit(0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  step = 2;
  worker.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::string text = ReadFile(json);
  EXPECT_NE(text.find("\"finished\": true, \"threads\": 1, \"timers\": [\n{\"name\": \"worker done\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"name\": \"worker running\", \"count\": 1"), std::string::npos);
  const std::string timeline = ReadFile(trace);
  const size_t lane = timeline.find("{\"ph\": \"X\", \"name\": \"worker running\"");
  ASSERT_NE(lane, std::string::npos) << timeline;
  EXPECT_NE(timeline.find("\"args\": {\"running\": true}}", lane), std::string::npos) << timeline;
}

// A fork may land while another thread is creating a timer (linking it,
// growing its list's name index, or emptying its tree after a clear). Every
// child is still sound: the half-changed tree is left out of its reports,
// and it reports, clears, opens its own file and times as usual.
TEST_F(Threads, ForkWhileAnotherThreadCreatesTimersLeavesEveryChildSound) {
  Switch("TIMING_ON", "1");
  Switch("TIMING_FILE", "0");
  Switch("TIMING_CONSOLE", "0");
  TimeOpenOStream(nullptr);  // timing on, no channel for the children to share
  std::atomic<bool> done{false}, going{false};
  std::thread worker([&done, &going] {
    while (!done.load()) {
      TimeStartTimer("spawner");
      going.store(true);
      for (int i = 0; i < 3000 && !done.load(); ++i) {
        const std::string name = "sibling " + std::to_string(i);
        TimeStartTimer(name.c_str());
        TimeStopTimer(name.c_str());
      }
      TimeStopTimer("spawner");
      TimeClear();
    }
  });
  while (!going.load()) std::this_thread::yield();
  int sanitizer_hangs = 0;
  const int forks = kSanitized ? 60 : 120;  // a sanitizer's fork is slow
  for (int fork_number = 0; fork_number < forks; ++fork_number) {
    const std::string own = NewFile(("child" + std::to_string(fork_number)).c_str());
    const bool clears = fork_number % 2 == 1;
    // A clear here makes the worker empty its tree at its next start: the
    // fork then often lands in the middle of that.
    if (fork_number % 4 < 2) TimeClear();
    const pid_t child = fork();
    if (child == 0) {
      if (clears) {
        TimeClear();
      } else {
        TimePrint();
        TimePrintIndented(nullptr);
        // Nothing to write when the worker's clear emptied every tree.
        TimeWriteJson((own + ".json").c_str());
        std::remove((own + ".json").c_str());
      }
      setenv("TIMING_FILE", "1", 1);
      TimeOpenOStream(own.c_str());
      Run("child", 1);
      TimePrint();
      if (kSanitized) {
        // The sanitizers' allocators do not take their locks across a fork:
        // their leak check at exit may wait forever for a lock that the
        // worker held at the fork. The file is closed by hand instead.
        TimeCloseOStream();
        std::_Exit(0);
      }
      std::exit(0);
    }
    int status = 0;
    const bool reaped =
        kSanitized ? WaitAtMost(child, 20, status) : waitpid(child, &status, 0) == child;
    if (kSanitized && !reaped) {
      // The same, in the child's own allocations: not the library's.
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ++sanitizer_hangs;
      continue;
    }
    EXPECT_TRUE(reaped);
    const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    EXPECT_TRUE(exited) << "fork " << fork_number << ": status " << status;
    EXPECT_EQ(ReadFile(own), Header() + Row("child", 1, 0.001)) << "fork " << fork_number;
    if (!exited) break;
  }
  done.store(true);
  worker.join();
  EXPECT_LT(sanitizer_hangs, 60);
}

}  // namespace
