// An OpenMP host with no code for the library's sake: timers around and
// inside parallel regions of 4 threads, repeated, with a nested region of 2,
// and a region where no timer runs. Run with the OpenMP tool active (linked,
// or named by OMP_TOOL_LIBRARIES), every thread's timers nest where their
// region began. Exits 1 naming the first timer out of place.
#include <omp.h>
#include <timetree.h>

#include <cstdio>
#include <string>
#include <vector>

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
  TimePrintIndented(nullptr);

  std::vector<Row> rows;
  TimeForEachTimer64(&Collect, &rows);
  const std::vector<Row> expected = {{0, "run", 1},
                                     {1, "iteration", kIterations},
                                     {2, "omp_region", 4 * kIterations},
                                     {3, "inner_region", 4 * 2 * kIterations},
                                     {0, "outside", 4}};
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
  std::printf("openmp_host: every thread's timers where their region began\n");
  return 0;
}
