// Regions whose counters differ in known ways, timed with
// TIMETREE_COUNTERS=all: a sleep (CPU far below wall), a spin (CPU near
// wall), 256 MiB kept and touched (growth and peak), a child that touched
// 256 MiB which its parent freed before stopping (the parent's peak sees
// it, its growth does not); and a thread that spins, merged by path.
#include <sys/mman.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <thread>

#include "include/timetree.h"

namespace {

constexpr size_t kBytes = size_t{256} << 20;

// 256 MiB mapped and every page touched: resident until unmapped.
char* Touched() {
  auto* memory = static_cast<char*>(
      mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (memory == MAP_FAILED) return nullptr;
  for (size_t at = 0; at < kBytes; at += 4096) static_cast<volatile char*>(memory)[at] = 1;
  return memory;
}

// Works until the thread has had how_long of the processor, however busy
// the machine: its CPU time is then at least that, its wall time more.
void Spin(std::chrono::milliseconds how_long) {
  auto cpu = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  };
  const auto until = cpu() + how_long;
  while (cpu() < until) {
  }
}

}  // namespace

int main() {
  TimeStartTimer("sleep");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  TimeStopTimer("sleep");

  TimeStartTimer("spin");
  Spin(std::chrono::milliseconds(200));
  TimeStopTimer("spin");

  TimeStartTimer("parent");
  TimeStartTimer("child");
  char* freed = Touched();
  TimeStopTimer("child");
  munmap(freed, kBytes);
  TimeStopTimer("parent");

  TimeStartTimer("keep");
  char* kept = Touched();
  TimeStopTimer("keep");

  std::thread worker([] {
    TimeStartTimer("spin");
    Spin(std::chrono::milliseconds(100));
    TimeStopTimer("spin");
  });
  worker.join();
  return kept != nullptr && freed != nullptr ? 0 : 1;
}
