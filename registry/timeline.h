// The timeline: with TIMETREE_TRACE set, every finished interval of every
// thread is also kept as an event (its path, its start and stop ticks) in a
// buffer of the thread's own, for a trace-event file.
//
// A buffer is a chain of chunks that only its thread appends to, with no
// lock: an event is written, then the chunk's count is raised with a release
// store, so that an export on another thread (under the registry mutex)
// reads every counted event whole. Chunks grow from 32 KiB to 2 MiB and are
// mapped with their pages filled in, by a thread of the library's ahead of
// need (by the recording thread itself when that thread is late); when the
// thread's events reach
// the limit, recording stops for that thread (its first events are kept)
// and later intervals are only counted as dropped. Events name interned
// path records, which are kept until unload, so that a buffer outlives the
// timers it was written from: a thread that exits leaves its buffer for the
// reports until the next clear, while its timers are folded away.
#ifndef TIMETREE_REGISTRY_TIMELINE_H
#define TIMETREE_REGISTRY_TIMELINE_H

#include <pthread.h>

#include <cstdint>

#include "registry/threadtree.h"
#include "stopwatch/atomics.h"

namespace timetree {

// One finished interval: 24 bytes.
struct TimelineEvent {
  uintptr_t path;  // the PathRecord*, with the marks below in its low bits
  int64_t start;   // ticks
  int64_t stop;
};

// Closed by a stop that named an outer timer.
constexpr uintptr_t kEventImplicit = 1;
// Still running when its thread's timeline ended (the thread exited, or a
// fork left it behind), or when an export read it.
constexpr uintptr_t kEventRunning = 2;
// path is the timer's stored name, not a record: an export's event of a
// running timer, which lives while the registry mutex is held.
constexpr uintptr_t kEventName = 4;
constexpr uintptr_t kEventMarks = 7;

struct TimelineChunk {
  TimelineChunk* next;  // published with release once complete
  uint32_t capacity;
  uint32_t used;            // raised with release after each event is written
  TimelineEvent events[1];  // capacity of them
};

struct TimelineBuffer {
  TimelineChunk* first = nullptr;
  TimelineChunk* last = nullptr;   // where the owner appends
  uint64_t full = 0;               // events in the chunks before last
  uint64_t limit = 0;              // events it may hold in all
  uint64_t dropped = 0;            // intervals finished once it was full
  uint64_t generation = 0;         // the clear whose events these are
  uint64_t serial = 0;             // tells it from a later buffer at its address
  TimelineBuffer* next = nullptr;  // the registry's chain of buffers
  pthread_t thread{};              // the owner, while it runs
  long tid = 0;
  char threadName[16] = {};        // kept when the thread exits
  bool finished = false;           // its thread has exited
  bool abandoned = false;          // a fork caught it being emptied: in the
                                   // child it is never read or freed
};

// Events per thread, 0 while recording is off. Read from TIMETREE_TRACE at
// load.
extern uint64_t g_timelineLimit;

// The default when TIMETREE_TRACE is 1 or on: 24 MB per thread at most.
constexpr uint64_t kDefaultTimelineEvents = 1000000;
// The most a thread records (96 GiB): the export numbers a thread's events
// in 32 bits.
constexpr uint64_t kMostTimelineEvents = (uint64_t{1} << 32) - 2;

// Reads TIMETREE_TRACE, once, at load (the environment's outputs read it,
// knowing whether TIMETREE_OUTPUT asks for a timeline: unset, it then
// records the default).
void ReadTimelineEnvironment(bool asked);

// A new buffer for the calling thread's tree, linked into the registry;
// under the registry mutex. Nothing when recording is off or memory is short.
void AttachTimeline(ThreadTree& tree);

// The tree's buffer handed to the registry when its thread exits; under the
// registry mutex.
void DetachTimeline(ThreadTree& tree);

// Empties the tree's buffer for the clear of generation, keeping its
// chunks to fill again; by its owner.
void ResetTimeline(ThreadTree& tree, uint64_t generation);

// Stops the thread that maps chunks ahead of need; at unload, before the
// registry mutex is taken.
void StopChunkMapper();

// The mapper's mutex, held across a fork after the registry's: a thread
// never takes another lock while it holds it.
void LockChunkMapper();
void UnlockChunkMapper();

// Frees the buffers of exited threads; under the registry mutex.
void FreeFinishedTimelines();

// Appends the event of a timer whose thread's timeline ends while it runs,
// from start to stop, marked running; by the owner, or in a fork's child
// (fork_child), where the locks of the path records and of the chunk mapper
// are held already.
void RecordEndedRunning(TimelineBuffer& buffer, TimerNode* node, int64_t start, int64_t stop,
                        bool fork_child);

// Appends one event for node's interval from start to stop; by the owner.
void RecordSlow(TimelineBuffer& buffer, TimerNode* node, int64_t start, int64_t stop, bool implicit)
    __attribute__((noinline));

inline void RecordInterval(TimelineBuffer& buffer, TimerNode* node, int64_t start, int64_t stop,
                           bool implicit) {
  TimelineChunk* chunk = buffer.last;
  const uint32_t used = chunk->used;
  const PathRecord* path = node->path;
  if (__builtin_expect(used < chunk->capacity && path != nullptr, 1)) {
    TimelineEvent& event = chunk->events[used];
    event.path = reinterpret_cast<uintptr_t>(path) | (implicit ? 1u : 0u);
    event.start = start;
    event.stop = stop;
    StoreRelease(chunk->used, used + 1);
    return;
  }
  RecordSlow(buffer, node, start, stop, implicit);
}

// The events of buffer as of now, chunk by chunk: visit(events, count).
template <class Visit>
void ForEachTimelineChunk(const TimelineBuffer& buffer, Visit visit) {
  for (const TimelineChunk* c = LoadAcquire(buffer.first); c != nullptr; c = LoadAcquire(c->next)) {
    visit(c->events, LoadAcquire(c->used));
  }
}

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_TIMELINE_H
