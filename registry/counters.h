// What a timer's intervals did besides taking time, when TIMETREE_COUNTERS
// asks for it: the thread's CPU time, page faults and context switches, the
// resident set's growth and peak, and the processor's own counters where it
// offers them. Off (and never read on the start/stop path but for one
// flag) unless asked for.
#ifndef TIMETREE_REGISTRY_COUNTERS_H
#define TIMETREE_REGISTRY_COUNTERS_H

#include <cstdint>

namespace timetree {

struct TimerNode;

// What TIMETREE_COUNTERS asks for, as bits; g_registry.counters holds them.
enum CounterBit : int {
  kCpuSeconds = 1 << 0,
  kPageFaults = 1 << 1,
  kContextSwitches = 1 << 2,
  kRssGrowth = 1 << 3,
  kPeakRss = 1 << 4,
  kCycles = 1 << 5,
  kInstructions = 1 << 6,
  kCacheMisses = 1 << 7,
  kBranchMisses = 1 << 8,
};
constexpr int kHardwareCounters = 4;  // cycles .. branch-misses, in that order
constexpr int kFirstHardwareBit = 5;

// The perf event type the processor's counters are opened as: the
// hardware one. Tests on machines that offer none set the kernel's
// software type, whose events of the same numbers (cpu-clock, task-clock,
// page-faults, context-switches) then take the four counters' places.
extern uint32_t g_hardwareEventType;

// One timer's sums over its finished intervals, and what its running
// interval began with. Made by the owning thread at the timer's first start
// with counters on; others read the sums (relaxed) while it times.
struct CounterSums {
  int64_t cpuNs = 0, faults = 0, switches = 0, rssGrowth = 0, peakRss = 0;
  int64_t hardware[kHardwareCounters] = {};
  // The running interval's readings at its start, and the highest resident
  // set it has seen so far (its start's, and its inner timers' stops').
  int64_t startCpuNs = 0, startFaults = 0, startSwitches = 0, startRss = 0, runningPeak = 0;
  int64_t startHardware[kHardwareCounters] = {};
};

// The readings at a start of node, timing on and counters asked for.
void CountersAtStart(TimerNode& node);
// The readings at a stop of node, added to its sums; outer, the running
// timer outside it (or null), sees the resident set node saw.
void CountersAtStop(TimerNode& node, TimerNode* outer);
// Adds from's sums into to's (a merge of threads' trees): sums add, the
// peak is the higher.
void AddCounters(TimerNode& to, const TimerNode& from);

// Counter i's value of sums (bit 1 << i; seconds for the CPU time, bytes,
// counts), in the order of the run format's counter names.
constexpr int kCounters = kFirstHardwareBit + kHardwareCounters;
double CounterValue(const CounterSums& sums, int i);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_COUNTERS_H
