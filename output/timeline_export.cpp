// The timeline export: every thread's recorded intervals as trace-event
// JSON (see TimeWriteTrace in timetree.h).
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "include/timetree.h"
#include "output/exports.h"
#include "output/hints.h"
#include "output/metadata.h"
#include "output/timeline_export.h"
#include "registry/dtimemgr.h"
#include "registry/timeline.h"
#include "runformat/files.h"
#include "runformat/text.h"
#include "stopwatch/access.h"
#include "stopwatch/atomics.h"
#include "stopwatch/ticks.h"

namespace timetree {

namespace {

using Write = bool (*)(const char* text, unsigned long size, void* context);

// Times are written in units of 1/1024 microsecond (see AppendMicros).
constexpr double kUnitsPerNanosecond = 1.024;

// One thread's events in the order a trace reader wants them: by start,
// each event before those it encloses. They were recorded as the intervals
// stopped, which is a postorder of their nesting; the nesting is rebuilt in
// one pass (an event encloses the events before it, not yet enclosed, that
// did not start before it) and walked in preorder.
std::vector<uint32_t> Preorder(const std::vector<TimelineEvent>& events) {
  const uint32_t n = static_cast<uint32_t>(events.size());
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> first_child(n, kNone), next_sibling(n, kNone), roots;
  for (uint32_t i = 0; i < n; ++i) {
    while (!roots.empty() && events[roots.back()].start >= events[i].start) {
      next_sibling[roots.back()] = first_child[i];
      first_child[i] = roots.back();
      roots.pop_back();
    }
    roots.push_back(i);
  }
  std::vector<uint32_t> order, stack;
  order.reserve(n);
  for (uint32_t root : roots) {
    stack.push_back(root);
    while (!stack.empty()) {
      const uint32_t at = stack.back();
      stack.pop_back();
      order.push_back(at);
      // Children are pushed last first, so that the first is taken next.
      const size_t mark = stack.size();
      for (uint32_t c = first_child[at]; c != kNone; c = next_sibling[c]) stack.push_back(c);
      std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(mark), stack.end());
    }
  }
  return order;
}

// Appends to events, innermost first (as they would stop), an event from
// its start to now for each timer of tree that runs: those of a thread cut
// short, as a killed job's are. Another thread's tree is read as the
// exports read it: links with acquire, figures atomically. Every timer is
// visited: a running one may hang under an adopted path's nodes, which run
// only if the thread started them itself. The event names the timer's
// stored name (bit 1 set), which lives as long as the registry mutex is
// held. Under the registry mutex.
void AddRunning(const ThreadTree& tree, std::vector<TimelineEvent>& events) {
  std::vector<TimelineEvent> running;
  // The next timer to visit in each list entered: a parent comes before
  // its children, so the running timers are found outermost first.
  std::vector<PtrListNode*> next{tree.root.SharedHead()};
  while (!next.empty()) {
    PtrListNode* const p = next.back();
    if (p == nullptr) {
      next.pop_back();
      continue;
    }
    next.back() = LoadAcquire(p->next);
    const auto* node = static_cast<const TimerNode*>(p->data);
    if (StopWatchAccess::LoadRunning(node->watch)) {
      running.push_back(
          TimelineEvent{reinterpret_cast<uintptr_t>(node->FullName()) | kEventRunning | kEventName,
                     StopWatchAccess::LoadStartTicks(node->watch), 0});
    }
    next.push_back(node->children.SharedHead());
  }
  const int64_t now = ReadTicks();
  for (auto at = running.rbegin(); at != running.rend(); ++at) {
    at->stop = now > at->start ? now : at->start;
    events.push_back(*at);
  }
}

// The buffers of the current clear, in the order their threads started
// timing; under the registry mutex.
std::vector<const TimelineBuffer*> CurrentBuffers() {
  std::vector<const TimelineBuffer*> buffers;
  for (const TimelineBuffer* b = g_registry.timelines; b != nullptr; b = b->next) {
    if (!b->abandoned && LoadAcquire(b->generation) == g_registry.clearGeneration) buffers.push_back(b);
  }
  std::reverse(buffers.begin(), buffers.end());
  return buffers;
}

struct Totals {
  uint64_t events = 0;
  uint64_t dropped = 0;
  long threads = 0;
};

// Writes every thread's events through write, 64 KiB at a time.
bool WriteEvents(long pid, int64_t origin, const char* process_name, Write write, void* context,
                 Totals* totals) {
  const std::lock_guard<OwnedMutex> lock(g_registry.mutex);
  if (LoadRelaxed(g_timelineLimit) == 0 && g_registry.timelines == nullptr) return false;
  const TickClock clock = MonotonicTickClock();
  // Monotonic in ticks, so that nesting survives the conversion.
  const auto units = [&](int64_t ticks) {
    return std::llround((static_cast<double>(ticks - clock.ticks0) * clock.nsPerTick +
                         static_cast<double>(clock.ns0 - origin)) *
                        kUnitsPerNanosecond);
  };
  std::string out;
  bool ok = true;
  const auto flush = [&](bool last) {
    if (ok && (out.size() >= (64u << 10) || (last && !out.empty()))) {
      ok = write(out.data(), out.size(), context);
      out.clear();
    }
  };
  out += ",\n{\"ph\": \"M\", \"name\": \"process_name\", \"pid\": ";
  AppendFormat(out, "%ld, \"tid\": 0, \"args\": {\"name\": \"", pid);
  AppendJsonString(out, process_name != nullptr ? process_name : program_invocation_short_name);
  out += "\"}}";
  std::unordered_map<uintptr_t, std::string> names;
  std::vector<TimelineEvent> events;
  long index = 0;
  for (const TimelineBuffer* buffer : CurrentBuffers()) {
    events.clear();
    ForEachTimelineChunk(*buffer, [&](const TimelineEvent* chunk, uint32_t used) {
      events.insert(events.end(), chunk, chunk + used);
    });
    if (!buffer->finished) {
      for (const ThreadTree* t = g_registry.trees; t != nullptr; t = t->nextTree) {
        if (t->timeline == buffer) AddRunning(*t, events);
      }
    }
    const uint64_t dropped = LoadRelaxed(buffer->dropped);
    char thread_name[16] = {};
    if (buffer->finished) {
      std::memcpy(thread_name, buffer->threadName, sizeof thread_name);
    } else {
      pthread_getname_np(buffer->thread, thread_name, sizeof thread_name);
    }
    AppendFormat(out,
                 ",\n{\"ph\": \"M\", \"name\": \"thread_name\", \"pid\": %ld, \"tid\": %ld, "
                 "\"args\": {\"name\": \"",
                 pid, buffer->tid);
    AppendJsonString(out, thread_name);
    AppendFormat(out, "\", \"events\": %zu, \"dropped\": %llu}}", events.size(),
                 static_cast<unsigned long long>(dropped));
    AppendFormat(out,
                 ",\n{\"ph\": \"M\", \"name\": \"thread_sort_index\", \"pid\": %ld, \"tid\": %ld, "
                 "\"args\": {\"sort_index\": %ld}}",
                 pid, buffer->tid, index++);
    // The part every event of the thread shares.
    std::string tail;
    AppendFormat(tail, "\", \"pid\": %ld, \"tid\": %ld, \"ts\": ", pid, buffer->tid);
    // Where the thread's last event ends (negative times are a rank's
    // before rank 0's start): where a full buffer is said.
    int64_t last_stop = 0;
    bool any = false;
    for (uint32_t at : Preorder(events)) {
      const TimelineEvent& event = events[at];
      const uintptr_t record = event.path & ~kEventMarks;
      const bool running = (event.path & kEventRunning) != 0;
      auto found = names.find(record);
      if (found == names.end()) {
        std::string escaped;
        AppendJsonString(escaped, (event.path & kEventName) != 0
                                      ? reinterpret_cast<const char*>(record)
                                      : FullName(*reinterpret_cast<const PathRecord*>(record)));
        found = names.emplace(record, std::move(escaped)).first;
      }
      const int64_t start = units(event.start), stop = units(event.stop);
      if (!any || stop > last_stop) last_stop = stop;
      any = true;
      out += ",\n{\"ph\": \"X\", \"name\": \"";
      out += found->second;
      out += tail;
      AppendMicros(out, start);
      out += ", \"dur\": ";
      AppendMicros(out, stop - start);
      out += running                ? ", \"args\": {\"running\": true}}"
             : (event.path & kEventImplicit) != 0 ? ", \"args\": {\"stopped_implicitly\": true}}"
                                     : "}";
      flush(false);
    }
    if (dropped != 0) {
      // Said on the thread's own lane, where the events end.
      out += ",\n{\"ph\": \"i\", \"s\": \"t\", \"name\": \"timetree: ";
      AppendFormat(out,
                   "%llu intervals not recorded: the buffer of %llu events was full (see "
                   "TIMETREE_TRACE)\", \"pid\": %ld, \"tid\": %ld, \"ts\": ",
                   static_cast<unsigned long long>(dropped),
                   static_cast<unsigned long long>(buffer->limit), pid, buffer->tid);
      AppendMicros(out, last_stop);
      out += "}";
    }
    if (totals != nullptr) {
      totals->events += events.size();
      totals->dropped += dropped;
      ++totals->threads;
    }
  }
  flush(true);
  return ok;
}

bool WriteToFile(const char* text, unsigned long size, void* context) {
  return static_cast<WholeFile*>(context)->Write(text, size);
}

}  // namespace

}  // namespace timetree

bool TimeWriteTraceEvents(long pid, long long origin_ns, const char* process_name,
                          bool (*write)(const char* text, unsigned long size, void* context),
                          void* context) {
  if (write == nullptr) return false;
  try {
    return timetree::WriteEvents(pid, origin_ns, process_name, write, context, nullptr);
  } catch (...) {
    return false;
  }
}

long long TimeTraceOrigin() { return timetree::MonotonicTickClock().origin; }

namespace timetree {

// The CLOCK_REALTIME reading, in nanoseconds, at the moment that this
// process's timeline counts from: files written by separate processes line
// up by it (on one host exactly, across hosts as well as their clocks
// agree).
long long TimelineOriginRealtime() {
  timespec real{}, mono{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  const long long real_ns = static_cast<long long>(real.tv_sec) * 1000000000 + real.tv_nsec;
  const long long mono_ns = static_cast<long long>(mono.tv_sec) * 1000000000 + mono.tv_nsec;
  return real_ns - (mono_ns - TimeTraceOrigin());
}

bool WriteTimelineFile(const char* path, long pid, const char* process_name) {
  if (path == nullptr || LoadRelaxed(g_timelineLimit) == 0) return false;
  WholeFile file(path);
  if (!file.opened()) return false;
  bool ok = true;
  try {
    // Each event is written after a ",\n": the array starts with an
    // element that is always there, the process's sort index.
    std::string head = "{\"displayTimeUnit\": \"ns\", \"traceEvents\": [\n";
    head += "{\"ph\": \"M\", \"name\": \"process_sort_index\", \"pid\": ";
    AppendFormat(head, "%ld, \"tid\": 0, \"args\": {\"sort_index\": 0}}", pid);
    ok = file.Write(head);
    Totals totals;
    ok = ok && WriteEvents(pid, TimeTraceOrigin(), process_name, &WriteToFile, &file, &totals);
    std::string tail = "\n], \"otherData\": {\"timetree_version\": \"" TIMETREE_VERSION "\"";
    AppendFormat(tail, ", \"threads\": %ld, \"events\": %llu, \"dropped\": %llu",
                 totals.threads, static_cast<unsigned long long>(totals.events),
                 static_cast<unsigned long long>(totals.dropped));
    AppendFormat(tail, ", \"events_per_thread\": %llu, \"clock_origin_unix_ns\": %lld}",
                 static_cast<unsigned long long>(LoadRelaxed(g_timelineLimit)),
                 TimelineOriginRealtime());
    AppendMetadataJson(tail, totals.threads, PairsOf(Snapshot()));
    tail += "}\n";
    ok = ok && file.Write(tail);
  } catch (...) {
    ok = false;
  }
  return ok && file.Commit();
}

}  // namespace timetree

bool TimeWriteTrace(const char* path) {
  if (!timetree::WriteTimelineFile(path, static_cast<long>(getpid()), nullptr)) return false;
  timetree::NoteWritten();
  return true;
}
