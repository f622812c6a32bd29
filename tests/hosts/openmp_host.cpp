// An OpenMP host with no code for the library's sake: timers around and
// inside parallel regions of 4 threads, repeated, with a nested region of 2,
// and a region where no timer runs. Run with the OpenMP tool active (linked,
// or named by OMP_TOOL_LIBRARIES), every thread's timers nest where their
// region began. Exits 1 naming the first timer out of place.
#include <omp.h>
#include <timetree.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

// Every allocation of the process counted: regions in steady state, with
// the tool, must make none.
std::atomic<long> g_allocations{0};
extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

namespace {

struct Row {
  int depth;
  std::string name;
  long long count;
};

void Collect(const TimeTimerInfo64& timer, void* context) {
  static_cast<std::vector<Row>*>(context)->push_back(
      Row{timer.depth, timer.name, static_cast<long long>(timer.count)});
}

}  // namespace

int main() {
  TimeOpenOStream(nullptr);
  omp_set_max_active_levels(2);
  // Many iterations: nested regions' teams are reused from one region to
  // the next, and the tool must not lose a region's context when they are.
  constexpr int kIterations = 25;
  TimeStartTimer("run");
  for (int i = 0; i < kIterations; ++i) {
    TimeStartTimer("iteration");
#pragma omp parallel num_threads(4)
    {
      TimeStartTimer("omp_region");
#pragma omp parallel num_threads(2)
      {
        TIMETREE_SCOPE("inner_region");
      }
      TimeStopTimer("omp_region");
    }
    TimeStopTimer("iteration");
  }
  TimeStopTimer("run");
#pragma omp parallel num_threads(4)
  {
    TIMETREE_SCOPE("outside");
  }
  // Regions that begin under two timers in turn, as a solver's phases do:
  // once the tool and the library have seen both, no allocation.
  auto alternate = [](int regions) {
    for (int i = 0; i < regions; ++i) {
      const char* phase = i % 2 == 0 ? "phase_a" : "phase_b";
      TimeStartTimer(phase);
#pragma omp parallel num_threads(4)
      {
        TIMETREE_SCOPE("work");
      }
      TimeStopTimer(phase);
    }
  };
  alternate(20);
  const long before = g_allocations.load();
  alternate(200);
  const long allocations = g_allocations.load() - before;
  TimePrintIndented(nullptr);

  std::vector<Row> rows;
  TimeForEachTimer64(&Collect, &rows);
  const std::vector<Row> expected = {{0, "run", 1},
                                     {1, "iteration", kIterations},
                                     {2, "omp_region", 4 * kIterations},
                                     {3, "inner_region", 4 * 2 * kIterations},
                                     {0, "outside", 4},
                                     {0, "phase_a", 110},
                                     {1, "work", 4 * 110},
                                     {0, "phase_b", 110},
                                     {1, "work", 4 * 110}};
  bool same = rows.size() == expected.size();
  for (size_t i = 0; same && i < rows.size(); ++i) {
    same = rows[i].depth == expected[i].depth && rows[i].name == expected[i].name &&
           rows[i].count == expected[i].count;
  }
  if (!same) {
    std::fprintf(stderr, "openmp_host: timers out of place:\n");
    for (const Row& r : rows) std::fprintf(stderr, "  %d %s %lld\n", r.depth, r.name.c_str(), r.count);
    return 1;
  }
  if (allocations != 0) {
    std::fprintf(stderr, "openmp_host: %ld allocations in 200 regions in steady state\n",
                 allocations);
    return 1;
  }
  std::printf("openmp_host: every thread's timers where their region began\n");
  return 0;
}
