// libtimetree_kokkos: a Kokkos tool library. Kokkos loads it by the path in
// KOKKOS_TOOLS_LIBS (Kokkos 4) or KOKKOS_PROFILE_LIBRARY (Kokkos 3), or by
// --kokkos-tools-library, and calls the kokkosp_ functions it finds in it.
// Each region, kernel, fence, deep copy and profile section is a timer of
// the calling thread, nested as they ran; allocations are summed per memory
// space into the run's metadata and into the regions and kernels that ran
// them. Only the public API is used. Kokkos is not
// needed to build it: the few structures the calls pass are declared here
// as Kokkos' C interface lays them out, unless that interface's header is
// given (TIMETREE_KOKKOS_INTERFACE, where the build finds it), against whose
// types every call is then checked at compile time.
#include <cxxabi.h>

#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "include/timetree.h"

#ifdef TIMETREE_KOKKOS_INTERFACE
#include TIMETREE_KOKKOS_INTERFACE
#else
extern "C" {
// As Kokkos passes them (Kokkos_Profiling_C_Interface.h).
struct Kokkos_Profiling_KokkosPDeviceInfo {
  size_t deviceID;
};
struct Kokkos_Profiling_SpaceHandle {
  char name[64];
};
struct Kokkos_Tools_ToolSettings {
  bool requires_global_fencing;
  bool padding[255];
};
}
#endif

namespace {

// The newest interface whose calls this library was written for, and the
// oldest Kokkos tools interface there is.
constexpr uint64_t kNewestKnown = 20210225;
constexpr uint64_t kOldestKnown = 20150628;

// A timer this thread's Kokkos calls started and have yet to stop: its name
// whole, kept here because Kokkos' text need not outlive the begin.
struct Open {
  std::string name;
};

// What one thread has open, innermost last. A kernel's or fence's id is its
// place in kernels plus one, so that its end finds its name without a
// lookup; a deep copy's end names none, and closes the last one begun.
struct ThreadState {
  std::vector<Open> kernels;
  size_t openKernels = 0;  // kernels[0, openKernels) are open; the rest
                           // keep their capacity for the next ones
  std::vector<std::string> regions;
  std::vector<std::string> copies;
  // The names of unlabelled kernels, made once per type name.
  std::unordered_map<const char*, std::string> demangled;
};
// Reached by every call: a pointer in the static TLS block, as the core
// library's own, so that no call pays a lookup of the thread's block; the
// state itself is made at the thread's first call and freed at its exit.
__thread ThreadState* t_current __attribute__((tls_model("initial-exec"))) = nullptr;
struct StateOwner {
  ~StateOwner() {
    delete t_current;
    t_current = nullptr;
  }
};
thread_local StateOwner t_owner;

ThreadState& State() {
  ThreadState* state = t_current;
  if (__builtin_expect(state == nullptr, 0)) {
    static_cast<void>(t_owner);  // constructed, so that it frees the state
    state = t_current = new ThreadState;
  }
  return *state;
}

// Every thread's regions popped that none had pushed, said at finalize.
std::atomic<long> g_extraPops{0};

// The profile sections, by id; an empty name is a destroyed one.
std::mutex g_sectionsMutex;
std::vector<std::string>* g_sections = nullptr;

// The name of section id, copied out under the lock (the timer calls are
// made without it); false for an id never created or destroyed.
bool SectionName(uint32_t id, std::string& name) {
  const std::lock_guard<std::mutex> lock(g_sectionsMutex);
  if (g_sections == nullptr || id >= g_sections->size() || (*g_sections)[id].empty()) return false;
  name = (*g_sections)[id];
  return true;
}

// Allocations per memory space, over the run.
struct Space {
  uint64_t allocated = 0, freed = 0, live = 0, peak = 0;
  uint64_t allocations = 0, deallocations = 0;
};
std::mutex g_spacesMutex;
std::vector<std::pair<std::string, Space>>* g_spaces = nullptr;

// The device ids kernels were launched for, other than the host's 0.
std::vector<uint32_t>* g_devices = nullptr;

void Start(const std::string& name) { TimeStartWholeName(name.c_str(), name.size()); }
void Stop(const std::string& name) { TimeStopWholeName(name.c_str(), name.size()); }

// A type name as typeid gives it ("Z4mainEUliE_" for a lambda in main):
// what Kokkos names a kernel the program gave no label.
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool LooksMangled(const char* label) {
  return IsDigit(label[0]) || ((label[0] == 'N' || label[0] == 'Z') && IsDigit(label[1]));
}

// The timer name of a kernel: its label whole; an unlabelled kernel (a type
// name) by its kind and the type's name as C++ writes it.
const std::string& KernelName(const char* kind, const char* label, uint32_t device,
                              std::string& scratch) {
  if (label == nullptr) label = "";
  const bool mangled = LooksMangled(label);
  if (!mangled && device == 0) return scratch.assign(label);
  if (mangled) {
    std::unordered_map<const char*, std::string>& known = State().demangled;
    auto found = known.find(label);
    if (found == known.end()) {
      // The type name may carry a work tag after a '/': each part alone.
      std::string name = kind;
      const char* part = label;
      for (;;) {
        const char* slash = std::strchr(part, '/');
        const std::string piece = slash != nullptr ? std::string(part, slash) : std::string(part);
        int status = -1;
        char* text = abi::__cxa_demangle(piece.c_str(), nullptr, nullptr, &status);
        name += part == label ? " " : "/";
        name += status == 0 && text != nullptr ? text : piece;
        std::free(text);
        if (slash == nullptr) break;
        part = slash + 1;
      }
      found = known.emplace(label, std::move(name)).first;
    }
    scratch = found->second;
  } else {
    scratch.assign(label);
  }
  // Work for a device other than the host's: a timer of its own.
  if (device != 0) scratch += " (device " + std::to_string(device) + ")";
  return scratch;
}

void NoteDevice(uint32_t device) {
  if (device == 0) return;
  const std::lock_guard<std::mutex> lock(g_spacesMutex);
  if (g_devices == nullptr) g_devices = new std::vector<uint32_t>;
  for (uint32_t seen : *g_devices) {
    if (seen == device) return;
  }
  g_devices->push_back(device);
}

void BeginKernel(const char* kind, const char* label, uint32_t device, uint64_t* id) {
  ThreadState& state = State();
  if (state.openKernels == state.kernels.size()) state.kernels.emplace_back();
  Open& open = state.kernels[state.openKernels++];
  if (device != 0) NoteDevice(device);
  Start(KernelName(kind, label, device, open.name));
  if (id != nullptr) *id = state.openKernels;
}

void EndKernel(uint64_t id) {
  ThreadState& state = State();
  // An id this thread did not hand out, or one already ended: nothing open.
  if (id == 0 || id > state.openKernels) return;
  // Ending an outer kernel first closes the ones inside it too, as a stop
  // of an outer timer does.
  Stop(state.kernels[id - 1].name);
  state.openKernels = id - 1;
}

std::string SpaceName(const Kokkos_Profiling_SpaceHandle& handle) {
  return std::string(handle.name, strnlen(handle.name, sizeof handle.name));
}

Space& SpaceOf(const std::string& name) {
  if (g_spaces == nullptr) g_spaces = new std::vector<std::pair<std::string, Space>>;
  for (auto& entry : *g_spaces) {
    if (entry.first == name) return entry.second;
  }
  g_spaces->emplace_back(name, Space{});
  return g_spaces->back().second;
}

uint64_t Saturated(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// The memory spaces' sums into the run's metadata, as
// kokkos_SPACE_allocated_bytes and the like.
void WriteSpaces() {
  const std::lock_guard<std::mutex> lock(g_spacesMutex);
  if (g_spaces != nullptr) {
    for (const auto& entry : *g_spaces) {
      const std::string key = "kokkos_" + entry.first + "_";
      const Space& space = entry.second;
      const std::pair<const char*, uint64_t> values[] = {{"allocations", space.allocations},
                                                         {"allocated_bytes", space.allocated},
                                                         {"deallocations", space.deallocations},
                                                         {"freed_bytes", space.freed},
                                                         {"live_bytes", space.live},
                                                         {"peak_live_bytes", space.peak}};
      for (const auto& value : values) {
        TimeSetMetadata((key + value.first).c_str(), std::to_string(value.second).c_str());
      }
    }
  }
  if (g_devices != nullptr) {
    std::string list;
    for (uint32_t device : *g_devices) list += (list.empty() ? "" : ",") + std::to_string(device);
    TimeSetMetadata("kokkos_devices", list.c_str());
  }
}

}  // namespace

// The interface. Kokkos calls each from the thread that launches the work;
// none may throw into Kokkos.
extern "C" {

TIMETREE_API void kokkosp_init_library(const int /*load_sequence*/, const uint64_t version,
                                       const uint32_t device_count,
                                       Kokkos_Profiling_KokkosPDeviceInfo* /*devices*/) {
  if (version > kNewestKnown || version < kOldestKnown) {
    std::fprintf(stderr,
                 "timetree: Kokkos calls with tool interface version %" PRIu64
                 ", which timetree's Kokkos tool does not know (it was written for %" PRIu64
                 "); it times the calls that version shares with it\n",
                 version, kNewestKnown);
  }
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64, version);
  TimeSetMetadata("kokkos_interface_version", text);
  std::snprintf(text, sizeof text, "%" PRIu32, device_count);
  TimeSetMetadata("kokkos_device_count", text);
}

TIMETREE_API void kokkosp_finalize_library() {
  ThreadState& state = State();
  // What Kokkos left open is closed here, outermost first, so that the
  // timers inside it are marked stopped implicitly.
  if (!state.regions.empty()) {
    std::fprintf(stderr,
                 "timetree: %zu Kokkos region%s still pushed at Kokkos' finalize "
                 "(outermost \"%s\"), stopped there\n",
                 state.regions.size(), state.regions.size() == 1 ? " was" : "s were",
                 state.regions.front().c_str());
    Stop(state.regions.front());
    state.regions.clear();
  }
  if (state.openKernels != 0) EndKernel(1);
  state.copies.clear();
  const long extra = g_extraPops.exchange(0);
  if (extra != 0) {
    std::fprintf(stderr,
                 "timetree: Kokkos popped %ld region%s that no push had begun; "
                 "%s left out\n",
                 extra, extra == 1 ? "" : "s", extra == 1 ? "it was" : "they were");
    TimeSetMetadata("kokkos_unmatched_pops", std::to_string(extra).c_str());
  }
  WriteSpaces();
}

TIMETREE_API void kokkosp_print_help(char* program) {
  std::printf(
      "timetree's Kokkos tool (for %s) takes no arguments. Set TIMETREE_OUTPUT to what it\n"
      "should write at exit, such as TIMETREE_OUTPUT=report,json:run.json; see\n"
      "timetree's docs/kokkos.md.\n",
      program != nullptr ? program : "the program");
}

TIMETREE_API void kokkosp_parse_args(int count, char** /*arguments*/) {
  // The first is the library's own path.
  if (count > 1) {
    std::fprintf(stderr,
                 "timetree: the Kokkos tool takes no arguments (%d given, left alone); "
                 "TIMETREE_OUTPUT says what it writes\n",
                 count - 1);
  }
}

TIMETREE_API void kokkosp_request_tool_settings(const uint32_t /*count*/,
                                                Kokkos_Tools_ToolSettings* settings) {
  // A kernel's end is reported when its work is done, also on a device
  // that runs it asynchronously: its time is the work's.
  if (settings != nullptr) settings->requires_global_fencing = true;
}

TIMETREE_API void kokkosp_begin_parallel_for(const char* name, const uint32_t device,
                                             uint64_t* id) {
  BeginKernel("parallel_for", name, device, id);
}
TIMETREE_API void kokkosp_end_parallel_for(const uint64_t id) { EndKernel(id); }
TIMETREE_API void kokkosp_begin_parallel_reduce(const char* name, const uint32_t device,
                                                uint64_t* id) {
  BeginKernel("parallel_reduce", name, device, id);
}
TIMETREE_API void kokkosp_end_parallel_reduce(const uint64_t id) { EndKernel(id); }
TIMETREE_API void kokkosp_begin_parallel_scan(const char* name, const uint32_t device,
                                              uint64_t* id) {
  BeginKernel("parallel_scan", name, device, id);
}
TIMETREE_API void kokkosp_end_parallel_scan(const uint64_t id) { EndKernel(id); }
TIMETREE_API void kokkosp_begin_fence(const char* name, const uint32_t device, uint64_t* id) {
  BeginKernel("fence", name, device, id);
}
TIMETREE_API void kokkosp_end_fence(const uint64_t id) { EndKernel(id); }

TIMETREE_API void kokkosp_push_profile_region(const char* name) {
  std::vector<std::string>& regions = State().regions;
  regions.emplace_back(name != nullptr ? name : "");
  Start(regions.back());
}

TIMETREE_API void kokkosp_pop_profile_region() {
  ThreadState& state = State();
  if (state.regions.empty()) {
    g_extraPops.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Stop(state.regions.back());
  state.regions.pop_back();
}

TIMETREE_API void kokkosp_begin_deep_copy(Kokkos_Profiling_SpaceHandle dst_space,
                                          const char* dst_name, const void* /*dst*/,
                                          Kokkos_Profiling_SpaceHandle src_space,
                                          const char* src_name, const void* /*src*/,
                                          uint64_t size) {
  std::string name = "deep_copy ";
  name += dst_name != nullptr && dst_name[0] != '\0' ? dst_name : "(unnamed)";
  name += " (" + SpaceName(dst_space) + ") <- ";
  name += src_name != nullptr && src_name[0] != '\0' ? src_name : "(unnamed)";
  name += " (" + SpaceName(src_space) + ")";
  std::vector<std::string>& copies = State().copies;
  copies.push_back(std::move(name));
  Start(copies.back());
  TimeAddBytes(size);
}

TIMETREE_API void kokkosp_end_deep_copy() {
  ThreadState& state = State();
  if (state.copies.empty()) return;
  Stop(state.copies.back());
  state.copies.pop_back();
}

TIMETREE_API void kokkosp_allocate_data(const Kokkos_Profiling_SpaceHandle space,
                                        const char* /*label*/, const void* /*ptr*/,
                                        const uint64_t size) {
  const std::string name = SpaceName(space);
  uint64_t live = 0;
  {
    const std::lock_guard<std::mutex> lock(g_spacesMutex);
    Space& sums = SpaceOf(name);
    ++sums.allocations;
    sums.allocated = Saturated(sums.allocated, size);
    sums.live = Saturated(sums.live, size);
    if (sums.live > sums.peak) sums.peak = sums.live;
    live = sums.live;
  }
  // The running regions' and kernels' own figures.
  TimeAddMemory(name.c_str(), size, 0, live);
}

TIMETREE_API void kokkosp_deallocate_data(const Kokkos_Profiling_SpaceHandle space,
                                          const char* /*label*/, const void* /*ptr*/,
                                          const uint64_t size) {
  const std::string name = SpaceName(space);
  uint64_t live = 0;
  {
    const std::lock_guard<std::mutex> lock(g_spacesMutex);
    Space& sums = SpaceOf(name);
    ++sums.deallocations;
    sums.freed = Saturated(sums.freed, size);
    // A free of memory allocated before the tool was loaded.
    sums.live = size < sums.live ? sums.live - size : 0;
    live = sums.live;
  }
  TimeAddMemory(name.c_str(), 0, size, live);
}

TIMETREE_API void kokkosp_create_profile_section(const char* name, uint32_t* id) {
  const std::lock_guard<std::mutex> lock(g_sectionsMutex);
  if (g_sections == nullptr) g_sections = new std::vector<std::string>;
  g_sections->emplace_back(name != nullptr && name[0] != '\0' ? name : "(unnamed section)");
  if (id != nullptr) *id = static_cast<uint32_t>(g_sections->size() - 1);
}

TIMETREE_API void kokkosp_start_profile_section(const uint32_t id) {
  std::string name;
  if (SectionName(id, name)) Start(name);
}

TIMETREE_API void kokkosp_stop_profile_section(const uint32_t id) {
  std::string name;
  if (SectionName(id, name)) Stop(name);
}

TIMETREE_API void kokkosp_destroy_profile_section(const uint32_t id) {
  const std::lock_guard<std::mutex> lock(g_sectionsMutex);
  if (g_sections != nullptr && id < g_sections->size()) (*g_sections)[id].clear();
}

TIMETREE_API void kokkosp_profile_event(const char* name) {
  // An event has no length: a timer of its own, counted where it happened.
  const std::string timer = std::string("event ") + (name != nullptr ? name : "");
  Start(timer);
  Stop(timer);
}

TIMETREE_API void kokkosp_declare_metadata(const char* key, const char* value) {
  if (key != nullptr && key[0] != '\0') TimeSetMetadata(key, value != nullptr ? value : "");
}

}  // extern "C"

#ifdef TIMETREE_KOKKOS_INTERFACE
// Each call as Kokkos' own header types the pointer it looks it up into.
#include <type_traits>
#define TIMETREE_KOKKOS_TYPED(call, type) \
  static_assert(std::is_same<decltype(&call), type>::value, #call " differs from " #type)
TIMETREE_KOKKOS_TYPED(kokkosp_init_library, Kokkos_Profiling_initFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_finalize_library, Kokkos_Profiling_finalizeFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_print_help, Kokkos_Profiling_printHelpFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_parse_args, Kokkos_Profiling_parseArgsFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_request_tool_settings, Kokkos_Tools_requestToolSettingsFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_begin_parallel_for, Kokkos_Profiling_beginFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_end_parallel_for, Kokkos_Profiling_endFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_begin_parallel_reduce, Kokkos_Profiling_beginFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_end_parallel_reduce, Kokkos_Profiling_endFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_begin_parallel_scan, Kokkos_Profiling_beginFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_end_parallel_scan, Kokkos_Profiling_endFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_begin_fence, Kokkos_Profiling_beginFenceFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_end_fence, Kokkos_Profiling_endFenceFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_push_profile_region, Kokkos_Profiling_pushFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_pop_profile_region, Kokkos_Profiling_popFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_begin_deep_copy, Kokkos_Profiling_beginDeepCopyFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_end_deep_copy, Kokkos_Profiling_endDeepCopyFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_allocate_data, Kokkos_Profiling_allocateDataFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_deallocate_data, Kokkos_Profiling_deallocateDataFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_create_profile_section,
                      Kokkos_Profiling_createProfileSectionFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_start_profile_section, Kokkos_Profiling_startProfileSectionFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_stop_profile_section, Kokkos_Profiling_stopProfileSectionFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_destroy_profile_section,
                      Kokkos_Profiling_destroyProfileSectionFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_profile_event, Kokkos_Profiling_profileEventFunction);
TIMETREE_KOKKOS_TYPED(kokkosp_declare_metadata, Kokkos_Profiling_declareMetadataFunction);
#endif
