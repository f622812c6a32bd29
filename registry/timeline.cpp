// The timeline's buffers (see trace.h).
#include "registry/timeline.h"

#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "registry/contexts.h"
#include "sibling/faults.h"

namespace timetree {

uint64_t g_timelineLimit = 0;

namespace {

// Chunks are mapped whole and their pages filled in at once (one call per
// chunk rather than a page fault every 170 events on the measured path):
// the first 32 KiB, then each twice the last, up to 2 MiB.
constexpr size_t kFirstChunkBytes = size_t{32} << 10;
constexpr size_t kLargestChunkBytes = size_t{2} << 20;

constexpr uint32_t EventsIn(size_t bytes) {
  return static_cast<uint32_t>((bytes - offsetof(TimelineChunk, events)) / sizeof(TimelineEvent));
}

size_t BytesFor(uint32_t capacity) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t bytes = offsetof(TimelineChunk, events) + sizeof(TimelineEvent) * capacity;
  return (bytes + page - 1) / page * page;
}

// TIMETREE_TRACE: unset or empty: no recording, unless a timeline is asked
// for (then the default); 0 or off: no recording; 1 or on: the default; a
// larger whole number: that many events per thread. Anything else is said
// on standard error rather than guessed at, with what follows from it.
uint64_t LimitFromEnvironment(bool asked) {
  const char* text = std::getenv("TIMETREE_TRACE");
  if (text == nullptr || text[0] == '\0') return asked ? kDefaultTimelineEvents : 0;
  const char* const words[][2] = {{"on", "1"}, {"true", "1"}, {"yes", "1"},
                                  {"off", "0"}, {"false", "0"}, {"no", "0"}};
  for (const auto& word : words) {
    if (strcasecmp(text, word[0]) == 0) return word[1][0] == '1' ? kDefaultTimelineEvents : 0;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long events = std::strtoull(text, &end, 10);
  if (text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0) {
    if (events > kMostTimelineEvents) {
      std::fprintf(stderr,
                   "timetree: TIMETREE_TRACE=%s is more than a thread can record; each thread "
                   "records at most %llu events\n",
                   text, static_cast<unsigned long long>(kMostTimelineEvents));
      return kMostTimelineEvents;
    }
    return events == 1 ? kDefaultTimelineEvents : events;
  }
  if (asked) {
    std::fprintf(stderr,
                 "timetree: TIMETREE_TRACE=%s is neither a number of events per thread nor on "
                 "or off; the timeline that TIMETREE_OUTPUT asks for records the default %llu "
                 "events per thread\n",
                 text, static_cast<unsigned long long>(kDefaultTimelineEvents));
    return kDefaultTimelineEvents;
  }
  std::fprintf(stderr,
               "timetree: TIMETREE_TRACE=%s is neither a number of events per thread nor on "
               "or off; no timeline is recorded\n",
               text);
  return 0;
}

bool g_environmentRead = false;

// Maps bytes for a chunk, its pages filled in; null when no memory can be
// had.
void* MapChunk(size_t bytes) {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return memory != MAP_FAILED ? memory : nullptr;
}

// A chunk for up to capacity events; null when it cannot be allocated.
TimelineChunk* NewChunk(uint32_t capacity) {
  if (AllocationFails(AllocSite::kTimelineChunk)) return nullptr;
  void* memory = MapChunk(BytesFor(capacity));
  if (memory == nullptr) return nullptr;
  auto* chunk = static_cast<TimelineChunk*>(memory);
  chunk->next = nullptr;
  chunk->capacity = capacity;
  chunk->used = 0;
  return chunk;
}

void FreeChunks(TimelineChunk* chunk) {
  while (chunk != nullptr) {
    TimelineChunk* next = chunk->next;
    munmap(chunk, BytesFor(chunk->capacity));
    chunk = next;
  }
}

// The chunk after the one a thread is filling is mapped ahead by a thread
// of the library's, so that filling in its pages (about 9 ns an event here)
// is not paid on the measured path. When a thread starts on a chunk, it
// asks for the next; the mapper maps it and links it, unless the thread
// has already had to map it itself (both link with a compare-and-swap, and
// the loser unmaps its own). The mapper links only into a buffer still in
// the registry, under the registry mutex, since a finished thread's buffer
// is freed by a clear.
struct Request {
  TimelineBuffer* buffer;
  uint64_t serial;  // the buffer's, lest another buffer at its address be taken for it
  TimelineChunk* after;
  uint32_t capacity;
};

struct Mapper {
  std::condition_variable wake;
  std::vector<Request> requests;
  pthread_t thread{};
  long pid = 0;  // the process that started it
  bool quit = false;
};

// Guards the mapper and its requests. Constant-initialised, so that it is
// there for the first request and for the unload's stop in any order of
// the library's static objects.
std::mutex g_mapperMutex;
Mapper* g_mapper = nullptr;    // started by the first request
bool g_mapperStopped = false;  // the library is being unloaded

// Links chunk after after, unless another chunk got there first; true when
// it did.
bool Link(TimelineChunk* after, TimelineChunk* chunk) {
  TimelineChunk* expected = nullptr;
  return __atomic_compare_exchange_n(&after->next, &expected, chunk, false, __ATOMIC_RELEASE,
                                     __ATOMIC_ACQUIRE);
}

bool StillRegistered(const Request& request) {
  for (const TimelineBuffer* b = g_registry.timelines; b != nullptr; b = b->next) {
    if (b == request.buffer) return b->serial == request.serial && !b->abandoned;
  }
  return false;
}

void* RunMapper(void* argument) {
  Mapper& mapper = *static_cast<Mapper*>(argument);
  std::unique_lock<std::mutex> lock(g_mapperMutex);
  for (;;) {
    mapper.wake.wait(lock, [&] { return mapper.quit || !mapper.requests.empty(); });
    if (mapper.quit) return nullptr;
    const Request request = mapper.requests.back();
    mapper.requests.pop_back();
    lock.unlock();
    TimelineChunk* chunk = NewChunk(request.capacity);
    if (chunk != nullptr) {
      bool linked = false;
      {
        const std::lock_guard<OwnedMutex> registry(g_registry.mutex);
        linked = StillRegistered(request) && Link(request.after, chunk);
      }
      if (!linked) FreeChunks(chunk);
    }
    lock.lock();
  }
}

// Asks the mapper for the chunk after after; nothing when it cannot run (a
// forked child has none), in which case the thread maps it when it must.
void RequestChunk(TimelineBuffer& buffer, TimelineChunk* after, uint64_t capacity) {
  const long pid = static_cast<long>(getpid());
  const std::lock_guard<std::mutex> lock(g_mapperMutex);
  if (g_mapperStopped) return;
  if (g_mapper == nullptr) {
    auto* mapper = new (std::nothrow) Mapper;
    if (mapper == nullptr) return;
    // Started with every signal blocked, so that the host's handlers never
    // run on it.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const bool started = pthread_create(&mapper->thread, nullptr, &RunMapper, mapper) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!started) {
      delete mapper;
      return;
    }
    pthread_setname_np(mapper->thread, "timetree map");
    mapper->pid = pid;
    g_mapper = mapper;
  } else if (g_mapper->pid != pid) {
    return;  // a forked child, where the parent's mapper does not run
  }
  try {
    g_mapper->requests.push_back(
        Request{&buffer, buffer.serial, after, static_cast<uint32_t>(capacity)});
  } catch (const std::bad_alloc&) {
    return;
  }
  g_mapper->wake.notify_one();
}

// The next chunk's capacity when the chunks before it hold held events:
// twice the last, up to the largest, and never past the limit; 0 at the
// limit.
uint64_t NextCapacity(const TimelineChunk& last, uint64_t held, uint64_t limit) {
  if (held >= limit) return 0;
  const size_t bytes = BytesFor(last.capacity);
  const uint64_t capacity = EventsIn(bytes < kLargestChunkBytes ? 2 * bytes : kLargestChunkBytes);
  return capacity < limit - held ? capacity : limit - held;
}

uint32_t FirstCapacity(uint64_t limit) {
  return static_cast<uint32_t>(limit < EventsIn(kFirstChunkBytes) ? limit
                                                                    : EventsIn(kFirstChunkBytes));
}

}  // namespace

void ReadTimelineEnvironment(bool asked) {
  if (g_environmentRead) return;
  g_environmentRead = true;
  g_timelineLimit = LimitFromEnvironment(asked);
}

void AttachTimeline(ThreadTree& tree) {
  const uint64_t limit = LoadRelaxed(g_timelineLimit);
  if (limit == 0 || tree.timeline != nullptr) return;
  TimelineChunk* chunk = NewChunk(FirstCapacity(limit));
  if (chunk == nullptr) return;
  auto* buffer = new (std::nothrow) TimelineBuffer;
  if (buffer == nullptr) {
    FreeChunks(chunk);
    return;
  }
  static uint64_t serials = 0;  // under the registry mutex
  buffer->serial = ++serials;
  buffer->first = buffer->last = chunk;
  buffer->limit = limit;
  buffer->generation = tree.generation;
  buffer->thread = tree.thread;
  buffer->tid = tree.tid;
  buffer->next = g_registry.timelines;
  g_registry.timelines = buffer;
  tree.timeline = buffer;
  const uint64_t after = NextCapacity(*chunk, chunk->capacity, limit);
  if (after != 0) RequestChunk(*buffer, chunk, after);
}

void DetachTimeline(ThreadTree& tree) {
  TimelineBuffer* buffer = tree.timeline;
  if (buffer == nullptr) return;
  tree.timeline = nullptr;
  std::memcpy(buffer->threadName, tree.threadName, sizeof buffer->threadName);
  if (buffer->threadName[0] == '\0') {
    pthread_getname_np(pthread_self(), buffer->threadName, sizeof buffer->threadName);
  }
  buffer->finished = true;
}

void ResetTimeline(ThreadTree& tree, uint64_t generation) {
  TimelineBuffer* buffer = tree.timeline;
  if (buffer == nullptr) return;
  // The chunks are kept and filled again from the first: a program that
  // clears between phases records the next phase into memory that is
  // already there (its pages filled in), with no mapping on its measured
  // path. Every count is 0 before the new generation is published.
  for (TimelineChunk* c = buffer->first; c != nullptr; c = LoadAcquire(c->next)) {
    StoreRelease(c->used, 0u);
  }
  buffer->last = buffer->first;
  buffer->full = 0;
  StoreRelaxed(buffer->dropped, uint64_t{0});
  StoreRelease(buffer->generation, generation);
}

void FreeFinishedTimelines() {
  for (TimelineBuffer** link = &g_registry.timelines; *link != nullptr;) {
    TimelineBuffer* buffer = *link;
    if (!buffer->finished) {
      link = &buffer->next;
      continue;
    }
    *link = buffer->next;
    if (!buffer->abandoned) {
      FreeChunks(buffer->first);
      delete buffer;
    }
  }
}

namespace {

// The chunk the next event goes in, moving on to (or mapping) the next one
// when the last is full; null when the thread's events reach the limit or
// memory is short. ahead: the next chunk is asked of the mapper too.
TimelineChunk* ChunkWithRoom(TimelineBuffer& buffer, bool ahead) {
  TimelineChunk* chunk = buffer.last;
  if (chunk->used < chunk->capacity) return chunk;
  const uint64_t held = buffer.full + chunk->capacity;
  const uint64_t capacity = NextCapacity(*chunk, held, buffer.limit);
  if (capacity == 0) return nullptr;
  // Mapped ahead, or kept from before the last clear; else mapped now.
  TimelineChunk* next = LoadAcquire(chunk->next);
  if (next == nullptr) {
    next = NewChunk(static_cast<uint32_t>(capacity));
    if (next == nullptr) return nullptr;
    if (!Link(chunk, next)) {
      FreeChunks(next);
      next = LoadAcquire(chunk->next);
    }
  }
  buffer.full = held;
  buffer.last = next;
  // The one after it, ahead of need.
  const uint64_t after = NextCapacity(*next, held + next->capacity, buffer.limit);
  if (ahead && after != 0 && LoadAcquire(next->next) == nullptr) RequestChunk(buffer, next, after);
  return next;
}

void Append(TimelineChunk& chunk, uintptr_t path, int64_t start, int64_t stop) {
  const uint32_t used = chunk.used;
  chunk.events[used] = TimelineEvent{path, start, stop};
  StoreRelease(chunk.used, used + 1);
}

}  // namespace

void RecordSlow(TimelineBuffer& buffer, TimerNode* node, int64_t start, int64_t stop,
                bool implicit) {
  // A timer's first recorded interval interns its path.
  TimelineChunk* chunk = nullptr;
  if ((node->path == nullptr && PathOf(node) == nullptr) ||
      (chunk = ChunkWithRoom(buffer, true)) == nullptr) {
    StoreRelaxed(buffer.dropped, buffer.dropped + 1);
    return;
  }
  Append(*chunk, reinterpret_cast<uintptr_t>(node->path) | (implicit ? kEventImplicit : 0), start,
         stop);
}

void RecordEndedRunning(TimelineBuffer& buffer, TimerNode* node, int64_t start, int64_t stop,
                        bool fork_child) {
  TimelineChunk* chunk = nullptr;
  if ((node->path == nullptr &&
       (fork_child ? PathOfWithPathsLocked(node) : PathOf(node)) == nullptr) ||
      (chunk = ChunkWithRoom(buffer, !fork_child)) == nullptr) {
    StoreRelaxed(buffer.dropped, buffer.dropped + 1);
    return;
  }
  Append(*chunk, reinterpret_cast<uintptr_t>(node->path) | kEventRunning, start, stop);
}

void LockChunkMapper() { g_mapperMutex.lock(); }
void UnlockChunkMapper() { g_mapperMutex.unlock(); }

void StopChunkMapper() {
  Mapper* mapper = nullptr;
  {
    const std::lock_guard<std::mutex> lock(g_mapperMutex);
    g_mapperStopped = true;
    // In a forked child the mapper is the parent's copy, whose thread does
    // not run here: it is left alone, still reachable.
    if (g_mapper == nullptr || g_mapper->pid != static_cast<long>(getpid())) return;
    mapper = g_mapper;
    mapper->quit = true;
  }
  mapper->wake.notify_one();
  pthread_join(mapper->thread, nullptr);
  const std::lock_guard<std::mutex> lock(g_mapperMutex);
  g_mapper = nullptr;
  delete mapper;
}

}  // namespace timetree
