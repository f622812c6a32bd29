// libtimetree_openmp: an OpenMP tool (the runtime's standard tool interface)
// that hands the encountering thread's timer path to every implicit task of
// a parallel region, so that timers started inside the region nest under
// the timer that was running where it began. The runtime finds the tool by
// its ompt_start_tool, when the library is linked into the program or named
// by OMP_TOOL_LIBRARIES; runtimes without the interface never call it.
//
// Only the public API is used: the context is taken at the region's begin
// on the encountering thread and adopted by each implicit task, which gives
// back, at its end, the context its thread had adopted before (a thread
// may run implicit tasks of nested regions, one inside another).
//
// The region's data holds a pointer to the context, interned: one object
// per distinct context, kept until unload, never freed at the region's end.
// The runtime reuses a nested region's team, and its data, for another
// region, possibly before the first region's end is reported; so the end
// must not touch the data, and no reader may meet a freed context.
#ifdef TIMETREE_OMPT_HEADER
#include TIMETREE_OMPT_HEADER
#else
#include <omp-tools.h>
#endif

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "include/timetree.h"

namespace {

// The contexts each thread had adopted before its running implicit tasks,
// innermost last.
thread_local std::vector<TimeContext> t_before;

struct ContextKey {
  bool operator()(const TimeContext& a, const TimeContext& b) const {
    return a.path == b.path && a.generation == b.generation;
  }
  size_t operator()(const TimeContext& c) const {
    return std::hash<const void*>()(c.path) ^ static_cast<size_t>(c.generation * 0x9E3779B97F4A7C15ULL);
  }
};

std::mutex g_contextsMutex;
// Every context a region began in, each kept once.
std::unordered_map<TimeContext, const TimeContext*, ContextKey, ContextKey>* g_contexts = nullptr;
// The one this thread interned last: regions in a loop begin in the same.
thread_local const TimeContext* t_lastContext = nullptr;

const TimeContext* Interned(const TimeContext& context) {
  const TimeContext* last = t_lastContext;
  if (last != nullptr && last->path == context.path && last->generation == context.generation) {
    return last;
  }
  const std::lock_guard<std::mutex> lock(g_contextsMutex);
  try {
    if (g_contexts == nullptr) g_contexts = new std::unordered_map<TimeContext, const TimeContext*, ContextKey, ContextKey>;
    auto found = g_contexts->find(context);
    if (found == g_contexts->end()) {
      found = g_contexts->emplace(context, new TimeContext(context)).first;
    }
    t_lastContext = found->second;
    return found->second;
  } catch (const std::bad_alloc&) {
    return nullptr;  // memory is short: the region's tasks stay at the top
  }
}

void OnParallelBegin(ompt_data_t* /*encountering_task_data*/,
                     const ompt_frame_t* /*encountering_task_frame*/, ompt_data_t* parallel_data,
                     unsigned int /*requested_parallelism*/, int /*flags*/,
                     const void* /*codeptr_ra*/) {
  const TimeContext context = TimeCurrentContext();
  // No timer runs where the region begins: its tasks stay at the top.
  parallel_data->ptr = context.path != nullptr ? const_cast<TimeContext*>(Interned(context)) : nullptr;
}

void OnImplicitTask(ompt_scope_endpoint_t endpoint, ompt_data_t* parallel_data,
                    ompt_data_t* /*task_data*/, unsigned int /*actual_parallelism*/,
                    unsigned int /*index*/, int flags) {
  // The initial task of a thread belongs to no region.
  if ((flags & ompt_task_initial) != 0) return;
  if (endpoint == ompt_scope_begin) {
    const auto* context =
        parallel_data != nullptr ? static_cast<const TimeContext*>(parallel_data->ptr) : nullptr;
    const TimeContext before = TimeAdoptContext(context != nullptr ? *context : TimeContext{});
    try {
      t_before.push_back(before);
    } catch (const std::bad_alloc&) {
      TimeAdoptContext(before);  // nothing to give back at the end: adopt nothing now
    }
  } else if (endpoint == ompt_scope_end && !t_before.empty()) {
    TimeAdoptContext(t_before.back());
    t_before.pop_back();
  }
}

int Initialize(ompt_function_lookup_t lookup, int /*initial_device_num*/,
               ompt_data_t* /*tool_data*/) {
  auto set_callback = reinterpret_cast<ompt_set_callback_t>(lookup("ompt_set_callback"));
  if (set_callback == nullptr) return 0;
  // The tool stays active only when the runtime calls back every event.
  const bool all =
      set_callback(ompt_callback_parallel_begin,
                   reinterpret_cast<ompt_callback_t>(&OnParallelBegin)) == ompt_set_always &&
      set_callback(ompt_callback_implicit_task,
                   reinterpret_cast<ompt_callback_t>(&OnImplicitTask)) == ompt_set_always;
  return all ? 1 : 0;
}

void Finalize(ompt_data_t* /*tool_data*/) {}

}  // namespace

extern "C" TIMETREE_API ompt_start_tool_result_t* ompt_start_tool(
    unsigned int /*omp_version*/, const char* /*runtime_version*/) {
  static ompt_start_tool_result_t result = {&Initialize, &Finalize, ompt_data_t{}};
  return &result;
}
