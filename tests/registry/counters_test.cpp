// The processor counters' paths, on machines that offer none: the kernel's
// software events of the same numbers take the four counters' places
// (cycles: cpu-clock ns, instructions: task-clock ns, cache-misses: page
// faults, branch-misses: context switches; the last two are the kernel's
// own events, which the counters' user-only setting leaves near zero), so
// each counter is seen in its own place, counted from its own start, added
// in a merge and closed with its thread.
#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <thread>

#include <gtest/gtest.h>

#include "registry/counters.h"
#include "registry/threadtree.h"
#include "registry/timernode.h"
#include "support.h"

namespace {

int LowestFreeDescriptor() {
  const int fd = dup(0);
  close(fd);
  return fd;
}

TEST(Counters, EachProcessorCounterInItsOwnPlaceFromItsOwnStart) {
  perf_event_attr probe{};
  probe.size = sizeof probe;
  probe.type = PERF_TYPE_SOFTWARE;
  probe.config = PERF_COUNT_SW_TASK_CLOCK;
  probe.exclude_kernel = 1;
  const int fd = static_cast<int>(syscall(SYS_perf_event_open, &probe, 0, -1, -1, 0));
  if (fd < 0) GTEST_SKIP() << "no perf events here (perf_event_paranoid, or a sandbox)";
  close(fd);
  const int saved = timetree::g_registry.counters;
  const uint32_t saved_type = timetree::g_hardwareEventType;
  timetree::g_hardwareEventType = PERF_TYPE_SOFTWARE;
  timetree::g_registry.counters = timetree::kCycles | timetree::kInstructions |
                                  timetree::kCacheMisses | timetree::kBranchMisses;
  const int free_before = LowestFreeDescriptor();
  timetree::TimerNode node, merged;
  int64_t wall_ns = 0;
  std::thread([&] {
    // Opened at the thread's first start; the second interval is counted
    // from its own start, not the first's (which spins as long).
    timetree::CountersAtStart(node);
    timetree_test::SpinThreadCpu(20000000);
    timetree::CountersAtStop(node, nullptr);
    node.counters->hardware[0] = node.counters->hardware[1] = 0;
    node.counters->hardware[2] = node.counters->hardware[3] = 0;
    const auto start = std::chrono::steady_clock::now();
    timetree::CountersAtStart(node);
    timetree_test::SpinThreadCpu(20000000);
    timetree::CountersAtStop(node, nullptr);
    wall_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
  }).join();
  timetree::AddCounters(merged, node);
  timetree::g_registry.counters = saved;
  timetree::g_hardwareEventType = saved_type;

  ASSERT_NE(node.counters, nullptr);
  const int64_t* counted = node.counters->hardware;
  for (int i = 0; i < timetree::kHardwareCounters; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(merged.counters->hardware[i], counted[i]);
    EXPECT_EQ(timetree::CounterValue(*node.counters, timetree::kFirstHardwareBit + i),
              static_cast<double>(counted[i]));
  }
  // The CPU clocks: most of the 20 ms spun (their user time only, as the
  // kernel's is left out), within the interval's wall time; the first
  // interval's 20 ms would take them past it.
  EXPECT_GE(counted[0], 10000000);
  EXPECT_LE(counted[0], wall_ns);
  EXPECT_GE(counted[1], 10000000);
  EXPECT_LE(counted[1], wall_ns);
  // The kernel's events: not the clocks' nanoseconds.
  EXPECT_GE(counted[2], 0);
  EXPECT_LT(counted[2], 100000);
  EXPECT_GE(counted[3], 0);
  EXPECT_LT(counted[3], 100000);
  // The thread's descriptors closed when it ended.
  EXPECT_EQ(LowestFreeDescriptor(), free_before);
}

}  // namespace
