// The measured path allocates nothing: a start of an existing timer, every
// stop (implicit ones included) and the StopWatch edges. The test counts
// every malloc of the process while the library runs those paths.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

#include "include/timetree.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {
bool g_counting = false;
long g_allocations = 0;
void Count() {
  if (g_counting) ++g_allocations;
}
}  // namespace

extern "C" {
void* malloc(size_t size) {
  Count();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  Count();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
  Count();
  return __libc_realloc(pointer, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
void free(void* pointer) { __libc_free(pointer); }
}

namespace {

long AllocationsDuring(void (*work)()) {
  g_allocations = 0;
  g_counting = true;
  work();
  g_counting = false;
  return g_allocations;
}

TEST(MeasuredPath, AllocatesNothingOnceTimersExist) {
  setenv("TIMING_ON", "1", 1);
  unsetenv("TIMING_FILE");
  unsetenv("TIMING_CONSOLE");
  TimeClear();
  // Create the timers first, with as many siblings as take several blocks.
  TimeStartTimer("outer");
  for (int i = 0; i < 25; ++i) {
    const std::string name = "inner" + std::to_string(i);
    TimeStartTimer(name.c_str());
    TimeStartTimer("leaf");
    TimeStopTimer("leaf");
    TimeStopTimer(name.c_str());
  }
  TimeStopTimer("outer");

  EXPECT_EQ(AllocationsDuring([] {
              static const char* const kNames[] = {"inner0", "inner9", "inner24"};
              for (int round = 0; round < 1000; ++round) {
                TimeStartTimer("outer");
                for (const char* name : kNames) {
                  TimeStartTimer(name);
                  TimeStartTimer("leaf");
                  TimeStopTimer("leaf");
                  TimeStopTimer(name);
                }
                TimeStartTimer("inner3");
                TimeStartTimer("leaf");
                TimeStopTimer("outer");  // closes leaf and inner3 implicitly
              }
              StopWatch watch;
              for (int i = 0; i < 1000; ++i) {
                watch.StartTimer();
                watch.StopTimer();
              }
            }),
            0);

  // The count is live: a new timer allocates.
  EXPECT_GT(AllocationsDuring([] {
              TimeStartTimer("brand new");
              TimeStopTimer("brand new");
            }),
            0);
  TimeClear();
}

}  // namespace
