// Costs of the measured path. Each figure is to be read as a ratio to the
// baselines measured in the same run (raw counter reads, calls of an empty
// library function); bench/ratios.py prints those ratios.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <timetree.h>
#include <timetree_c.h>
#include <unistd.h>
#include <x86intrin.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <thread>
#include <random>
#include <algorithm>
#include <vector>

void EmptyLibraryCall(const char*);
namespace bench {
void Leaf();  // instrumented.cpp, compiled with -finstrument-functions
void Excluded();
}
#ifdef TIMETREE_BENCH_FORTRAN
// bench/fortran_pair.f90: one start+stop pair of module timetree with a
// 24-character name, held in a variable of that length (trimmed), of 32
// characters (8 trailing blanks to trim), or ending in c_null_char (passed
// without a copy).
extern "C" void timetree_bench_fortran_pair();
extern "C" void timetree_bench_fortran_padded_pair();
extern "C" void timetree_bench_fortran_terminated_pair();
extern "C" void timetree_bench_fortran_site_pair();
#endif

namespace {

// Timing on, every channel closed, no timers.
void Reset(const char* on = "1") {
  setenv("TIMING_ON", on, 1);
  setenv("TIMING_FILE", "1", 1);
  setenv("TIMING_CONSOLE", "0", 1);
  TimeCloseOStream();
  TimeClear();
}

// n names of the given length that differ only in their last digits, as
// real names share a prefix ("assemble_stiffness_part3").
std::vector<std::string> Names(int n, const char* stem, size_t length = 24) {
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) {
    std::string digits = std::to_string(i);
    std::string name = stem;
    name.resize(length - digits.size(), '_');
    names.push_back(name + digits);
  }
  return names;
}

void BM_RawRdtscPair(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(__rdtsc());
    benchmark::DoNotOptimize(__rdtsc());
  }
}
BENCHMARK(BM_RawRdtscPair);

void BM_ClockGettimePair(benchmark::State& state) {
  for (auto _ : state) {
    timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    clock_gettime(CLOCK_MONOTONIC, &b);
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_ClockGettimePair);

void BM_EmptyLibraryCallPair(benchmark::State& state) {
  for (auto _ : state) {
    EmptyLibraryCall("t");
    EmptyLibraryCall("t");
  }
}
BENCHMARK(BM_EmptyLibraryCallPair);

void BM_StopWatchStartStop(benchmark::State& state) {
  StopWatch watch;
  for (auto _ : state) {
    watch.StartTimer();
    benchmark::DoNotOptimize(watch.StopTimer());
  }
}
BENCHMARK(BM_StopWatchStartStop);

// Start and stop of an existing timer inside one enclosing timer, by the
// length of its name: 5 ("inner") and 24 characters.
void BM_ExistingTimerDepth1(benchmark::State& state) {
  Reset();
  const std::string name =
      state.range(0) == 5 ? "inner" : Names(1, "compute_residual_norm", 24)[0];
  TimeStartTimer("outer");
  for (auto _ : state) {
    TimeStartTimer(name.c_str());
    TimeStopTimer(name.c_str());
  }
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK(BM_ExistingTimerDepth1)->Arg(5)->Arg(24);

// The same pair through its call site's record (TIMETREE_SCOPE), whose start
// and stop run inline in the host.
void BM_ScopeDepth1(benchmark::State& state) {
  Reset();
  TimeStartTimer("outer");
  for (auto _ : state) {
    TIMETREE_SCOPE("compute_residual_norm_24c");
  }
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK(BM_ScopeDepth1);

#ifdef TIMETREE_BENCH_KOKKOS
// A Kokkos kernel's begin and end as Kokkos calls the tool library, with a
// label as long as the depth-1 pair's longer name.
extern "C" void kokkosp_begin_parallel_for(const char*, uint32_t, uint64_t*);
extern "C" void kokkosp_end_parallel_for(uint64_t);
void BM_KokkosKernelPair(benchmark::State& state) {
  Reset();
  const std::string label = Names(1, "compute_residual_norm", 24)[0];
  TimeStartTimer("outer");
  for (auto _ : state) {
    uint64_t id = 0;
    kokkosp_begin_parallel_for(label.c_str(), 0, &id);
    kokkosp_end_parallel_for(id);
  }
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK(BM_KokkosKernelPair);
#endif

// The same with a name of 55 characters, alike in its first 25 with a
// sibling: by the host's TimeStartTimer (cut to 25 characters, or under
// TIMETREE_NAMES=full compared whole: its tail once), and as a component
// names a function (TimeStartWholeName, always whole).
void BM_LongNameDepth1(benchmark::State& state) {
  Reset();
  const char* sibling = "solver::detail::Assembler<double>::assemble_vector(int)";
  const char* name = "solver::detail::Assembler<double>::assemble_matrix(int)";
  const bool whole = state.range(0) == 1;
  const size_t length = std::strlen(name);
  TimeStartTimer("outer");
  TimeStartTimer(sibling);
  TimeStopTimer(sibling);
  if (whole) {
    for (auto _ : state) {
      TimeStartWholeName(name, length);
      TimeStopWholeName(name, length);
    }
  } else {
    for (auto _ : state) {
      TimeStartTimer(name);
      TimeStopTimer(name);
    }
  }
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK(BM_LongNameDepth1)->Arg(0)->Arg(1);

// A function of code compiled with -finstrument-functions, already seen,
// inside one enclosing timer: its enter and exit, as libtimetree_functions
// times them (throttling off, lest the empty function be throttled); and
// one that is not timed (left out; a throttled one costs the same), against
// two calls of an empty library function: the floor of the compiler's two
// hook calls.
template <void (*Function)()>
void BM_FunctionPair(benchmark::State& state) {
  Reset();
  TimeStartTimer("outer");
  Function();
  for (auto _ : state) Function();
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK_TEMPLATE(BM_FunctionPair, bench::Leaf)->Name("BM_InstrumentedFunctionPair");
BENCHMARK_TEMPLATE(BM_FunctionPair, bench::Excluded)->Name("BM_ExcludedFunctionPair");

// What the library measured a pair to cost (TimePairSeconds, for the
// metadata's estimate of what timing cost), in ns, beside the benchmark's
// own depth-1 pair.
void BM_MeasuredPairCost(benchmark::State& state) {
  Reset();
  for (auto _ : state) benchmark::DoNotOptimize(TimePairSeconds());
  state.counters["pair_ns"] = TimePairSeconds() * 1e9;
  Reset();
}
BENCHMARK(BM_MeasuredPairCost)->Iterations(1);

// The timeline's costs; bench/ratios.py runs them a second time with
// TIMETREE_TRACE set. The depth-1 pair as above, with a count of
// iterations that the buffer holds whole, so that every pair records; a
// clear keeps the buffer's memory, so each repetition after the first
// fills it again.
void BM_TracedDepth1(benchmark::State& state) {
  Reset();
  TimeStartTimer("outer");
  for (auto _ : state) {
    TimeStartTimer("inner");
    TimeStopTimer("inner");
  }
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK(BM_TracedDepth1)->Iterations(2000000);

timespec Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

double Nanoseconds(const timespec& from, const timespec& to) {
  return static_cast<double>(to.tv_sec - from.tv_sec) * 1e9 +
         static_cast<double>(to.tv_nsec - from.tv_nsec);
}

// The process's resident memory: the timeline's chunks are mapped, so the
// heap's statistics do not see them.
size_t ResidentBytes() {
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// 10,000,000 intervals recorded by a thread of their own (so into a new
// buffer: the first fill, each time), then exported (to /dev/null: the
// formatting, not the disk); resident memory's growth per recorded event.
void BM_WriteTrace10M(benchmark::State& state) {
  constexpr int kEvents = 10000000;
  Reset();
  if (!TimeWriteTrace("/dev/null")) {
    state.SkipWithError("TIMETREE_TRACE is not set");
    return;
  }
  double bytes = 0, pair = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Reset();  // also frees the buffer of the last repetition's thread
    const size_t before = ResidentBytes();
    std::thread([&] {
      const timespec t0 = Now();
      TimeStartTimer("outer");
      for (int i = 1; i < kEvents; ++i) {
        TimeStartTimer("inner");
        TimeStopTimer("inner");
      }
      TimeStopTimer("outer");
      pair = Nanoseconds(t0, Now()) / kEvents;
      bytes = static_cast<double>(ResidentBytes() - before) / kEvents;
    }).join();
    state.ResumeTiming();
    if (!TimeWriteTrace("/dev/null")) state.SkipWithError("the trace was not written");
  }
  state.counters["bytes_per_event"] = bytes;
  // Recording into memory mapped for it as it fills.
  state.counters["first_fill_ns_per_pair"] = pair;
  Reset();
}
BENCHMARK(BM_WriteTrace10M)->Iterations(1)->Unit(benchmark::kMillisecond);

// The depth-1 pair of "inner" on a thread that has adopted another path
// (here its own earlier one): its timers hang under the adopted path.
void BM_ExistingTimerDepth1Adopted(benchmark::State& state) {
  Reset();
  TimeStartTimer("spawner");
  const TimeContext context = TimeCurrentContext();
  TimeStopTimer("spawner");
  const TimeContext before = TimeAdoptContext(context);
  TimeStartTimer("outer");
  for (auto _ : state) {
    TimeStartTimer("inner");
    TimeStopTimer("inner");
  }
  TimeStopTimer("outer");
  TimeAdoptContext(before);
  Reset();
}
BENCHMARK(BM_ExistingTimerDepth1Adopted);

// What the OpenMP tool does per implicit task (adopt the region's context
// at its begin, give back the one before at its end) and per region (take
// the encountering thread's context; the tool then finds it interned, in
// a loop, by one comparison), at depth 2.
void BM_ImplicitTaskContext(benchmark::State& state) {
  Reset();
  TimeStartTimer("run");
  TimeStartTimer("iteration");
  const TimeContext context = TimeCurrentContext();
  TimeStopTimer("iteration");
  TimeStopTimer("run");
  std::thread worker([&] {
    for (auto _ : state) {
      const TimeContext before = TimeAdoptContext(context);
      TimeAdoptContext(before);
    }
  });
  worker.join();
  Reset();
}
BENCHMARK(BM_ImplicitTaskContext);

void BM_RegionContext(benchmark::State& state) {
  Reset();
  TimeStartTimer("run");
  TimeStartTimer("iteration");
  for (auto _ : state) benchmark::DoNotOptimize(TimeCurrentContext());
  TimeStopTimer("iteration");
  TimeStopTimer("run");
  Reset();
}
BENCHMARK(BM_RegionContext);

// The same pair of 24 characters through the C interface.
void BM_CPairDepth1(benchmark::State& state) {
  Reset();
  const std::string name = Names(1, "compute_residual_norm", 24)[0];
  timetree_start("outer");
  for (auto _ : state) {
    timetree_start(name.c_str());
    timetree_stop(name.c_str());
  }
  timetree_stop("outer");
  Reset();
}
BENCHMARK(BM_CPairDepth1);

#ifdef TIMETREE_BENCH_FORTRAN
// And through the Fortran module.
template <void (*pair)()>
void BM_FortranPairDepth1(benchmark::State& state) {
  Reset();
  timetree_start("outer");
  for (auto _ : state) pair();
  timetree_stop("outer");
  Reset();
}
BENCHMARK_TEMPLATE(BM_FortranPairDepth1, timetree_bench_fortran_pair)->Name("BM_FortranPairDepth1");
BENCHMARK_TEMPLATE(BM_FortranPairDepth1, timetree_bench_fortran_padded_pair)
    ->Name("BM_FortranPaddedPairDepth1");
BENCHMARK_TEMPLATE(BM_FortranPairDepth1, timetree_bench_fortran_terminated_pair)
    ->Name("BM_FortranTerminatedPairDepth1");
BENCHMARK_TEMPLATE(BM_FortranPairDepth1, timetree_bench_fortran_site_pair)
    ->Name("BM_FortranSitePairDepth1");
#endif

// The same on one and on two threads at once, each timing in its own tree:
// the per-pair cost of each thread, which the two-thread run should match.
// Timing is switched on once, before the threads, so that no thread's
// clear lands in another's timed loop.
void BM_ExistingTimerThreads(benchmark::State& state) {
  TimeStartTimer("outer");
  for (auto _ : state) {
    TimeStartTimer("t");
    TimeStopTimer("t");
  }
  TimeStopTimer("outer");
}
BENCHMARK(BM_ExistingTimerThreads)
    ->Setup([](const benchmark::State&) { Reset(); })
    ->Teardown([](const benchmark::State&) { Reset(); })
    ->Threads(1)->Threads(2)->UseRealTime();

// n timers under a running "outer", which the caller stops; names of
// length characters.
std::vector<std::string> StartSiblings(int n, size_t length = 24) {
  Reset();
  auto names = Names(n, "sibling", length);
  TimeStartTimer("outer");
  for (const auto& name : names) {
    TimeStartTimer(name.c_str());
    TimeStopTimer(name.c_str());
  }
  return names;
}

// The last of the siblings, started and stopped again and again.
void StartStopLast(benchmark::State& state, const std::vector<std::string>& names) {
  const char* last = names.back().c_str();
  for (auto _ : state) {
    TimeStartTimer(last);
    TimeStopTimer(last);
  }
  TimeStopTimer("outer");
  Reset();
}

// The last of n siblings with 24-character names.
void BM_LastOfSiblings(benchmark::State& state) {
  StartStopLast(state, StartSiblings(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_LastOfSiblings)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// The 10th of 10 siblings whose 16-character names share 15 characters.
void BM_TenthOfTenSharedPrefix(benchmark::State& state) {
  StartStopLast(state, StartSiblings(10, 16));
}
BENCHMARK(BM_TenthOfTenSharedPrefix);

// Every sibling in turn (24-character names): each start misses the timer
// found last.
void BM_RoundRobinSiblings(benchmark::State& state) {
  const auto names = StartSiblings(static_cast<int>(state.range(0)));
  size_t i = 0;
  for (auto _ : state) {
    const char* name = names[i].c_str();
    TimeStartTimer(name);
    TimeStopTimer(name);
    if (++i == names.size()) i = 0;
  }
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK(BM_RoundRobinSiblings)->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// pair(item) for each item of order in turn, again and again, then the
// siblings' parent stopped.
template <class Item, class Pair>
void PairsInOrder(benchmark::State& state, const std::vector<Item>& order, Pair pair) {
  size_t i = 0;
  for (auto _ : state) {
    pair(order[i]);
    if (++i == order.size()) i = 0;
  }
  TimeStopTimer("outer");
  Reset();
}
void StartStopInOrder(benchmark::State& state, const std::vector<const char*>& order) {
  PairsInOrder(state, order, [](const char* name) {
    TimeStartTimer(name);
    TimeStopTimer(name);
  });
}

// 0, 7, 14, ... modulo n: every index once, in a fixed order other than
// 0, 1, 2, ...
std::vector<size_t> Strided(size_t n) {
  std::vector<size_t> order;
  for (size_t i = 0, at = 0; i < n; ++i, at = (at + 7) % n) order.push_back(at);
  return order;
}

// The siblings in a fixed order other than the one they were made in (a
// stride through them), each name passed as the same pointer every time.
void BM_StridedSiblings(benchmark::State& state) {
  const auto names = StartSiblings(static_cast<int>(state.range(0)));
  std::vector<const char*> order;
  for (size_t at : Strided(names.size())) order.push_back(names[at].c_str());
  StartStopInOrder(state, order);
}
BENCHMARK(BM_StridedSiblings)->Arg(10)->Arg(1000);

// The same order, each sibling started and stopped through a call-site
// record of its own (as 1,000 scopes in the code would be).
void BM_StridedSites(benchmark::State& state) {
  const auto names = StartSiblings(static_cast<int>(state.range(0)));
  std::vector<timetree_site> sites(names.size());
  for (size_t i = 0; i < names.size(); ++i) sites[i] = TIMETREE_SITE_INIT(names[i].c_str());
  std::vector<timetree_site*> order;
  for (size_t at : Strided(names.size())) order.push_back(&sites[at]);
  PairsInOrder(state, order, [](timetree_site* site) {
    timetree_site_start(site);
    timetree_site_stop(site);
  });
}
BENCHMARK(BM_StridedSites)->Arg(1000);

// The siblings in an order drawn anew for every pass over them (a fixed
// seed), each name passed as the same pointer every time.
void BM_ShuffledSiblings(benchmark::State& state) {
  const auto names = StartSiblings(static_cast<int>(state.range(0)));
  std::vector<const char*> order;
  std::mt19937 random(7);
  for (int pass = 0; pass < 1000; ++pass) {
    std::vector<const char*> one;
    for (const auto& name : names) one.push_back(name.c_str());
    std::shuffle(one.begin(), one.end(), random);
    order.insert(order.end(), one.begin(), one.end());
  }
  StartStopInOrder(state, order);
}
BENCHMARK(BM_ShuffledSiblings)->Arg(10);

// A loop's step with one child inside, per step: the step's pair and the
// child's. With the step named for a series, the step's stop adds to its
// point and the child's stop to its time within the step; without, the same
// pairs of timers outside any series (what they cost whether or not some
// other timer keeps one).
void StepWithChild(benchmark::State& state, const char* step, const char* child) {
  Reset();
  TimeStartTimer("outer");
  for (auto _ : state) {
    TimeStartTimer(step);
    TimeStartTimer(child);
    TimeStopTimer(child);
    TimeStopTimer(step);
  }
  TimeStopTimer("outer");
  Reset();
}
void BM_SeriesStepWithChild(benchmark::State& state) {
  TimeSeries("series_step");
  StepWithChild(state, "series_step", "series_child");
}
BENCHMARK(BM_SeriesStepWithChild);
void BM_StepWithChild(benchmark::State& state) {
  StepWithChild(state, "plain_step", "plain_child");
}
BENCHMARK(BM_StepWithChild);

// A pair right after 64 MiB were streamed through the caches, against two
// counter reads after the same: what a timer costs where the host's own
// work has evicted it. Each is timed by the counter around it (fenced), and
// reported as the counter "cold_ticks", the mean per iteration.
char g_stream[64 << 20];
void Stream() {
  for (size_t i = 0; i < sizeof g_stream; i += 64) g_stream[i] = static_cast<char>(g_stream[i] + 1);
  benchmark::ClobberMemory();
}
template <class Payload>
void ColdTicks(benchmark::State& state, Payload payload) {
  double ticks = 0;
  for (auto _ : state) {
    Stream();
    _mm_lfence();
    const uint64_t before = __rdtsc();
    _mm_lfence();
    payload();
    _mm_lfence();
    ticks += static_cast<double>(__rdtsc() - before);
  }
  state.counters["cold_ticks"] = benchmark::Counter(ticks, benchmark::Counter::kAvgIterations);
}
void BM_ColdPair(benchmark::State& state) {
  Reset();
  TimeStartTimer("outer");
  static const char* const name = "cold_timer_of_24_chars__";
  TimeStartTimer(name);
  TimeStopTimer(name);
  ColdTicks(state, [] {
    TimeStartTimer(name);
    TimeStopTimer(name);
  });
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK(BM_ColdPair)->Iterations(200);
void BM_ColdRdtscPair(benchmark::State& state) {
  ColdTicks(state, [] {
    benchmark::DoNotOptimize(__rdtsc());
    benchmark::DoNotOptimize(__rdtsc());
  });
}
BENCHMARK(BM_ColdRdtscPair)->Iterations(200);
// A scope's pair through its record after the same, against one load of a
// line that the streaming evicted (from memory, its page's translation
// evicted too): what the inline path's few lines cost.
void BM_ColdScopePair(benchmark::State& state) {
  Reset();
  TimeStartTimer("outer");
  const auto pair = [] { TIMETREE_SCOPE("cold_timer_of_24_chars__"); };
  pair();  // fills the record
  ColdTicks(state, pair);
  TimeStopTimer("outer");
  Reset();
}
BENCHMARK(BM_ColdScopePair)->Iterations(200);
// The line is on a page of its own, away from the streamed array, so that
// the translation of its address is as cold as the line (as a timer's, on
// the heap, is).
volatile char* FarLine() {
  static auto* const line = [] {
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) std::abort();
    static_cast<char*>(page)[0] = 1;
    return static_cast<volatile char*>(page);
  }();
  return line;
}
void BM_ColdLoad(benchmark::State& state) {
  volatile char* line = FarLine();
  ColdTicks(state, [line] { benchmark::DoNotOptimize(*line); });
}
BENCHMARK(BM_ColdLoad)->Iterations(200);
// Two calls of an empty function of another library, and a pair while
// timing is off: the part of a cold pair that any call into a library pays.
void BM_ColdEmptyLibraryCallPair(benchmark::State& state) {
  ColdTicks(state, [] {
    EmptyLibraryCall("t");
    EmptyLibraryCall("t");
  });
}
BENCHMARK(BM_ColdEmptyLibraryCallPair)->Iterations(200);
void BM_ColdDisabledPair(benchmark::State& state) {
  Reset("0");
  ColdTicks(state, [] {
    TimeStartTimer("cold_timer_of_24_chars__");
    TimeStopTimer("cold_timer_of_24_chars__");
  });
  Reset();
}
BENCHMARK(BM_ColdDisabledPair)->Iterations(200);

void BM_Disabled(benchmark::State& state) {
  Reset("0");
  for (auto _ : state) {
    TimeStartTimer("t");
    TimeStopTimer("t");
  }
  Reset();
}
BENCHMARK(BM_Disabled);

// First start (and stop) of a new timer (24-character names); the tree is
// cleared after every n new timers, so that the n-th is the last first
// start before the clear: the figure is the average over the n.
void BM_FirstStart(benchmark::State& state) {
  Reset();
  const auto names = Names(static_cast<int>(state.range(0)), "new_timer");
  size_t i = 0;
  for (auto _ : state) {
    TimeStartTimer(names[i].c_str());
    TimeStopTimer(names[i].c_str());
    if (++i == names.size()) {
      state.PauseTiming();
      TimeClear();
      i = 0;
      state.ResumeTiming();
    }
  }
  Reset();
}
// Fixed iteration counts: the set-up between timed parts is not counted
// towards the minimum time, and would otherwise run for minutes.
BENCHMARK(BM_FirstStart)->Arg(10)->Arg(100)->Arg(1000)->Iterations(100000);

// A tree of fan-out 10 and the given number of levels (levels 3, 4, 5 make
// 1,110, 11,110 and 111,110 timers). Timers at one depth share ten names,
// as the stretches of a real host repeat.
void BuildLevel(int level, int levels) {
  static const char* const kNames[] = {"c0", "c1", "c2", "c3", "c4",
                                       "c5", "c6", "c7", "c8", "c9"};
  for (const char* name : kNames) {
    TimeStartTimer(name);
    if (level + 1 < levels) BuildLevel(level + 1, levels);
    TimeStopTimer(name);
  }
}

void BuildTree(int levels) { BuildLevel(0, levels); }

void BM_ClearTimers(benchmark::State& state) {
  Reset();
  for (auto _ : state) {
    state.PauseTiming();
    BuildTree(static_cast<int>(state.range(0)));
    state.ResumeTiming();
    TimeClear();
  }
  Reset();
}
BENCHMARK(BM_ClearTimers)->Arg(3)->Arg(4)->Arg(5)->Iterations(20)
    ->Unit(benchmark::kMicrosecond);

// n distinct names under one parent: a host with many kernels, templated
// names or per-item timers.
void BuildWide(int n) {
  TimeStartTimer("run");
  for (int i = 0; i < n; ++i) {
    const std::string name = "kernel_" + std::to_string(i);
    TimeStartTimer(name.c_str());
    TimeStopTimer(name.c_str());
  }
  TimeStopTimer("run");
}

// 100 parents, each with the same 1,000 names under it.
void BuildGrid(int) {
  for (int p = 0; p < 100; ++p) {
    const std::string parent = "step_" + std::to_string(p);
    TimeStartTimer(parent.c_str());
    for (int i = 0; i < 1000; ++i) {
      const std::string name = "task_" + std::to_string(i);
      TimeStartTimer(name.c_str());
      TimeStopTimer(name.c_str());
    }
    TimeStopTimer(parent.c_str());
  }
}

// range(0): the shape (0 the fan-out tree of range(1) levels, 1 range(1)
// names under one parent, 2 the grid).
template <bool kIndented>
void BM_Report(benchmark::State& state) {
  Reset();
  TimeOpenOStream("/dev/null");
  const int size = static_cast<int>(state.range(1));
  switch (state.range(0)) {
    case 0: BuildTree(size); break;
    case 1: BuildWide(size); break;
    default: BuildGrid(size); break;
  }
  for (auto _ : state) {
    if (kIndented) {
      TimePrintIndented(nullptr);
    } else {
      TimePrint();
    }
  }
  Reset();
}
BENCHMARK_TEMPLATE(BM_Report, false)->Name("BM_PrintFlat")
    ->Args({0, 3})->Args({0, 4})->Args({0, 5})->Args({1, 10000})->Args({1, 100000})
    ->Args({2, 0})->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Report, true)->Name("BM_PrintIndented")
    ->Args({0, 3})->Args({0, 4})->Args({0, 5})->Args({1, 10000})->Args({1, 100000})
    ->Args({2, 0})->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // Every call of the instrumented function is timed: an empty function
  // would otherwise be throttled after its trial.
  setenv("TIMETREE_FUNCTIONS_THROTTLE", "0", 0);
  setenv("TIMETREE_FUNCTIONS_EXCLUDE", "bench::Excluded*", 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
