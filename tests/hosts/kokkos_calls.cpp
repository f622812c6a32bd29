// The Kokkos tool's calls made as Kokkos makes them, where Debian's Serial
// Kokkos cannot: from two threads at once, with a device other than the
// host's, nested kernels ended outermost first, ids it never handed out,
// and an interface version newer than the tool knows. Prints what differs
// from the expected timers; timing is on by TIMETREE_OUTPUT.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "include/timetree.h"

extern "C" {
struct Kokkos_Profiling_KokkosPDeviceInfo;
void kokkosp_init_library(int, uint64_t, uint32_t, Kokkos_Profiling_KokkosPDeviceInfo*);
void kokkosp_begin_parallel_for(const char*, uint32_t, uint64_t*);
void kokkosp_end_parallel_for(uint64_t);
void kokkosp_begin_fence(const char*, uint32_t, uint64_t*);
void kokkosp_end_fence(uint64_t);
void kokkosp_start_profile_section(uint32_t);
void kokkosp_stop_profile_section(uint32_t);
void kokkosp_finalize_library();
}

namespace {

struct Seen {
  int64_t count;
  bool stoppedImplicitly, running;
};

std::string g_path[64];
std::map<std::string, Seen> g_seen;

void Visit(const TimeTimerInfo64& timer, void*) {
  g_path[timer.depth] = timer.name;
  std::string path;
  for (int i = 0; i <= timer.depth; ++i) path += (i != 0 ? "/" : "") + g_path[i];
  g_seen[path] = {timer.count, timer.stopped_implicitly, timer.running};
}

void Kernels() {
  for (int i = 0; i < 1000; ++i) {
    uint64_t kernel = 0, fence = 0;
    kokkosp_begin_parallel_for("threaded", 0, &kernel);
    kokkosp_begin_fence("threaded fence", 0, &fence);
    kokkosp_end_fence(fence);
    kokkosp_end_parallel_for(kernel);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The interface version as Kokkos gives it: one it does not know, unless
  // the first argument names another.
  kokkosp_init_library(0, argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20990101, 0, nullptr);
  std::thread other(Kernels);
  Kernels();
  other.join();

  uint64_t outer = 0, inner = 0, device = 0;
  kokkosp_begin_parallel_for("outer", 0, &outer);
  kokkosp_begin_parallel_for("inner", 0, &inner);
  kokkosp_end_parallel_for(outer);
  kokkosp_end_parallel_for(inner);   // already closed by the outer's end
  kokkosp_end_parallel_for(77);      // never handed out
  kokkosp_start_profile_section(5);  // never created
  kokkosp_stop_profile_section(5);
  kokkosp_begin_parallel_for("on the device", 3, &device);
  kokkosp_end_parallel_for(device);
  // Unlabelled kernels of a functor at namespace scope, with a work tag:
  // typeid names that start with a digit.
  uint64_t functor = 0;
  kokkosp_begin_parallel_for("7Functor/3Tag", 0, &functor);
  kokkosp_end_parallel_for(functor);
  kokkosp_finalize_library();

  TimeForEachTimer64(&Visit, nullptr);
  const std::map<std::string, Seen> want = {{"threaded", {2000, false, false}},
                                            {"threaded/threaded fence", {2000, false, false}},
                                            {"outer", {1, false, false}},
                                            {"outer/inner", {1, true, false}},
                                            {"on the device (device 3)", {1, false, false}},
                                            {"parallel_for Functor/Tag", {1, false, false}}};
  int problems = 0;
  for (const auto& [path, seen] : g_seen) {
    const auto wanted = want.find(path);
    if (wanted == want.end() || wanted->second.count != seen.count ||
        wanted->second.stoppedImplicitly != seen.stoppedImplicitly ||
        wanted->second.running != seen.running) {
      std::printf("timer %s: count %lld, stopped implicitly %d, running %d\n", path.c_str(),
                  static_cast<long long>(seen.count), seen.stoppedImplicitly, seen.running);
      ++problems;
    }
  }
  if (g_seen.size() != want.size()) {
    std::printf("%zu timers, %zu expected\n", g_seen.size(), want.size());
    ++problems;
  }
  std::string devices;
  TimeForEachMetadata(
      [](const char* key, const char* value, void* out) {
        if (std::strcmp(key, "kokkos_devices") == 0) *static_cast<std::string*>(out) = value;
      },
      &devices);
  if (devices != "3") {
    std::printf("kokkos_devices \"%s\", expected \"3\"\n", devices.c_str());
    ++problems;
  }
  if (problems == 0) std::printf("each thread's kernels, ids and devices as Kokkos called them\n");
  return problems == 0 ? 0 : 1;
}
