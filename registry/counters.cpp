// The counters of TIMETREE_COUNTERS (read once, at load): which sources
// each asks for, the readings at a timer's start and stop, and their sums.
//
// Sources, the cheapest Linux has for each: the thread's CPU clock
// (clock_gettime(CLOCK_THREAD_CPUTIME_ID)) for cpu_seconds; one
// getrusage(RUSAGE_THREAD) for page_faults and context_switches; the
// resident set from /proc/self/statm (kept open, read with pread) for
// rss_growth_bytes and peak_rss_bytes; and perf_event_open's hardware
// counters, one descriptor per counter and thread, for cycles,
// instructions, cache-misses and branch-misses. Only what is asked for is
// read.
#include "registry/counters.h"

#include <fcntl.h>
#include <linux/perf_event.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "registry/threadtree.h"
#include "registry/timernode.h"
#include "stopwatch/atomics.h"

namespace timetree {

namespace {

// The names TIMETREE_COUNTERS takes (the hardware ones also as perf names
// them), each with its bit; "all" is every software counter.
struct Known {
  const char* name;
  int bits;
};
constexpr Known kKnown[] = {
    {"cpu_seconds", kCpuSeconds},
    {"page_faults", kPageFaults},
    {"context_switches", kContextSwitches},
    {"rss_growth_bytes", kRssGrowth},
    {"peak_rss_bytes", kPeakRss},
    {"cycles", kCycles},
    {"instructions", kInstructions},
    {"cache-misses", kCacheMisses},
    {"cache_misses", kCacheMisses},
    {"branch-misses", kBranchMisses},
    {"branch_misses", kBranchMisses},
    {"all", kCpuSeconds | kPageFaults | kContextSwitches | kRssGrowth | kPeakRss}};
constexpr int kHardwareBits = kCycles | kInstructions | kCacheMisses | kBranchMisses;
constexpr uint64_t kHardwareConfig[kHardwareCounters] = {
    PERF_COUNT_HW_CPU_CYCLES, PERF_COUNT_HW_INSTRUCTIONS, PERF_COUNT_HW_CACHE_MISSES,
    PERF_COUNT_HW_BRANCH_MISSES};
constexpr const char* kHardwareNames[kHardwareCounters] = {"cycles", "instructions", "cache-misses",
                                                           "branch-misses"};

}  // namespace

uint32_t g_hardwareEventType = PERF_TYPE_HARDWARE;

namespace {

// The calling thread's counter descriptor for counter i, opened at its
// first use; -1 when it cannot be.
int OpenHardware(int i) {
  perf_event_attr attr{};
  attr.size = sizeof attr;
  attr.type = g_hardwareEventType;
  attr.config = kHardwareConfig[i];
  attr.exclude_kernel = 1;
  attr.exclude_hv = 1;
  return static_cast<int>(
      syscall(SYS_perf_event_open, &attr, 0 /* this thread */, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

// Hardware counters asked for that this machine or its settings do not
// give: said once, at load, with the reason; the rest go on.
int CheckHardware(int bits) {
  for (int i = 0; i < kHardwareCounters; ++i) {
    const int bit = 1 << (kFirstHardwareBit + i);
    if ((bits & bit) == 0) continue;
    const int fd = OpenHardware(i);
    if (fd >= 0) {
      close(fd);
      continue;
    }
    const int error = errno;
    std::string why = std::strerror(error);
    if (error == EACCES || error == EPERM) {
      why = "not permitted (see /proc/sys/kernel/perf_event_paranoid)";
    } else if (error == ENOENT || error == EOPNOTSUPP || error == ENODEV) {
      why = "the processor (or this virtual machine) does not offer it";
    }
    std::fprintf(stderr, "timetree: TIMETREE_COUNTERS: %s is not counted: %s\n", kHardwareNames[i],
                 why.c_str());
    bits &= ~bit;
  }
  return bits;
}

int ReadSetting() {
  const char* value = std::getenv("TIMETREE_COUNTERS");
  if (value == nullptr || value[0] == '\0') return 0;
  int bits = 0;
  const std::string list = value;
  for (size_t at = 0; at <= list.size();) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    const std::string name = list.substr(at, comma - at);
    at = comma + 1;
    if (name.empty()) continue;
    bool known = false;
    for (const Known& k : kKnown) {
      if (name == k.name) {
        bits |= k.bits;
        known = true;
      }
    }
    if (!known) {
      std::fprintf(stderr,
                   "timetree: TIMETREE_COUNTERS: \"%s\" is not known (all, cpu_seconds, "
                   "page_faults, context_switches, rss_growth_bytes, peak_rss_bytes, cycles, "
                   "instructions, cache-misses, branch-misses); left out\n",
                   name.c_str());
    }
  }
  return (bits & kHardwareBits) != 0 ? CheckHardware(bits) : bits;
}

// /proc/self/statm, kept open by the process that opened it (a fork's child
// opens its own: the file it inherited is its parent's). Its descriptor and
// the opener's pid in one word, (pid << 32) | fd, so that threads that open
// it at once agree on one.
uint64_t g_statm = 0;  // 0: not open
long g_pageSize = 4096;

int StatmFd() {
  const uint64_t pid = static_cast<uint64_t>(getpid()) & 0xFFFFFFFFu;
  uint64_t held = LoadAcquire(g_statm);
  if (held != 0 && held >> 32 == pid) return static_cast<int>(held & 0xFFFFFFFFu);
  const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const uint64_t mine = pid << 32 | static_cast<uint32_t>(fd);
  // A parent's descriptor is replaced (and closed); another thread's of
  // this process that came first is kept.
  for (;;) {
    if (held != 0 && held >> 32 == pid) {
      close(fd);
      return static_cast<int>(held & 0xFFFFFFFFu);
    }
    if (__atomic_compare_exchange_n(&g_statm, &held, mine, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      if (held != 0) close(static_cast<int>(held & 0xFFFFFFFFu));
      return fd;
    }
  }
}

int64_t ResidentBytes() {
  const int fd = StatmFd();
  char text[128];
  const ssize_t got = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
  if (got <= 0) return 0;
  text[got] = '\0';
  // "size resident shared ...", in pages.
  const char* resident = std::strchr(text, ' ');
  return resident != nullptr ? std::strtoll(resident + 1, nullptr, 10) * g_pageSize : 0;
}

// The calling thread's hardware counter descriptors: opened at its first
// start with counters (-2 before), closed when it exits.
struct HardwareFds {
  int fd[kHardwareCounters] = {-2, -2, -2, -2};
  ~HardwareFds() {
    for (int d : fd) {
      if (d >= 0) close(d);
    }
  }
};
thread_local HardwareFds t_hardware;

// In a fork's child the forking thread's descriptors count its parent's
// thread: they are closed, and the child's own opened at its next start.
void ForgetHardwareInChild() {
  for (int& fd : t_hardware.fd) {
    if (fd >= 0) close(fd);
    fd = -2;
  }
}

int64_t ReadHardware(int i) {
  int& fd = t_hardware.fd[i];
  if (fd == -2) fd = OpenHardware(i);
  uint64_t value = 0;
  if (fd < 0 || read(fd, &value, sizeof value) != sizeof value) return 0;
  return static_cast<int64_t>(value);
}

struct Reading {
  int64_t cpuNs = 0, faults = 0, switches = 0, rss = 0;
  int64_t hardware[kHardwareCounters] = {};
};

Reading Read(int bits) {
  Reading r;
  if ((bits & kCpuSeconds) != 0) {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    r.cpuNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  }
  if ((bits & (kPageFaults | kContextSwitches)) != 0) {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    r.faults = usage.ru_minflt + usage.ru_majflt;
    r.switches = usage.ru_nvcsw + usage.ru_nivcsw;
  }
  if ((bits & (kRssGrowth | kPeakRss)) != 0) r.rss = ResidentBytes();
  for (int i = 0; i < kHardwareCounters; ++i) {
    if ((bits & (1 << (kFirstHardwareBit + i))) != 0) r.hardware[i] = ReadHardware(i);
  }
  return r;
}

void Raise(int64_t& field, int64_t value) {
  if (value > LoadRelaxed(field)) StoreRelaxed(field, value);
}

void Add(int64_t& field, int64_t value) { StoreRelaxed(field, LoadRelaxed(field) + value); }

}  // namespace

// Read when the library loads, before any timer starts.
const bool g_countersRead = [] {
  g_pageSize = sysconf(_SC_PAGESIZE);
  g_registry.counters = ReadSetting();
  if ((g_registry.counters & kHardwareBits) != 0) {
    pthread_atfork(nullptr, nullptr, &ForgetHardwareInChild);
  }
  return true;
}();

void CountersAtStart(TimerNode& node) {
  CounterSums* sums = LoadRelaxed(node.counters);
  if (sums == nullptr) {
    sums = new (std::nothrow) CounterSums;
    if (sums == nullptr) return;  // memory is short: this timer has none
    StoreRelease(node.counters, sums);
  }
  const Reading r = Read(g_registry.counters);
  sums->startCpuNs = r.cpuNs;
  sums->startFaults = r.faults;
  sums->startSwitches = r.switches;
  sums->startRss = r.rss;
  sums->runningPeak = r.rss;
  for (int i = 0; i < kHardwareCounters; ++i) sums->startHardware[i] = r.hardware[i];
}

void CountersAtStop(TimerNode& node, TimerNode* outer) {
  CounterSums* sums = LoadRelaxed(node.counters);
  if (sums == nullptr) return;
  const Reading r = Read(g_registry.counters);
  Add(sums->cpuNs, r.cpuNs - sums->startCpuNs);
  Add(sums->faults, r.faults - sums->startFaults);
  Add(sums->switches, r.switches - sums->startSwitches);
  Add(sums->rssGrowth, r.rss - sums->startRss);
  const int64_t peak = r.rss > sums->runningPeak ? r.rss : sums->runningPeak;
  Raise(sums->peakRss, peak);
  for (int i = 0; i < kHardwareCounters; ++i) {
    Add(sums->hardware[i], r.hardware[i] - sums->startHardware[i]);
  }
  CounterSums* around = outer != nullptr ? LoadRelaxed(outer->counters) : nullptr;
  if (around != nullptr && peak > around->runningPeak) around->runningPeak = peak;
}

void AddCounters(TimerNode& to, const TimerNode& from) {
  const CounterSums* add = LoadAcquire(from.counters);
  if (add == nullptr) return;
  if (to.counters == nullptr) {
    to.counters = new (std::nothrow) CounterSums;
    if (to.counters == nullptr) return;
  }
  CounterSums& sums = *to.counters;
  sums.cpuNs += LoadRelaxed(add->cpuNs);
  sums.faults += LoadRelaxed(add->faults);
  sums.switches += LoadRelaxed(add->switches);
  sums.rssGrowth += LoadRelaxed(add->rssGrowth);
  const int64_t peak = LoadRelaxed(add->peakRss);
  if (peak > sums.peakRss) sums.peakRss = peak;
  for (int i = 0; i < kHardwareCounters; ++i) sums.hardware[i] += LoadRelaxed(add->hardware[i]);
}

double CounterValue(const CounterSums& sums, int i) {
  switch (i) {
    case 0:
      return static_cast<double>(LoadRelaxed(sums.cpuNs)) * 1e-9;
    case 1:
      return static_cast<double>(LoadRelaxed(sums.faults));
    case 2:
      return static_cast<double>(LoadRelaxed(sums.switches));
    case 3:
      return static_cast<double>(LoadRelaxed(sums.rssGrowth));
    case 4:
      return static_cast<double>(LoadRelaxed(sums.peakRss));
    default:
      return i < kCounters ? static_cast<double>(LoadRelaxed(sums.hardware[i - kFirstHardwareBit]))
                           : 0.0;
  }
}

}  // namespace timetree
