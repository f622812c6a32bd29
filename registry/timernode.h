// A timer of the tree: its name (the long name kept whole where it is
// longer than the compared part), its children, its watch and count, its
// marks; and the record of a timer path that a context hands to another
// thread. The types of the registry's bottom layer.
#ifndef TIMETREE_REGISTRY_TIMERNODE_H
#define TIMETREE_REGISTRY_TIMERNODE_H

#include <cstdint>

#include "include/StopWatch.h"
#include "registry/names.h"
#include "registry/ptrlist.h"
#include "sibling/faults.h"

namespace timetree {

// a + b, or 2^64 - 1 where the sum would pass it: a timer's byte and memory
// sums stay at the top, and the exports say they are saturated. With
// saturated, it is set when the sum did not fit.
inline uint64_t SaturatingAdd(uint64_t a, uint64_t b, bool* saturated = nullptr) {
  uint64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  if (saturated != nullptr) *saturated = true;
  return UINT64_MAX;
}

// A timer path handed from one thread to another (a TimeContext): its last
// name and the record of the path above it. One record is made per distinct
// path, never changed and kept until unload, so that a context can be read
// safely after the timers it was taken from are gone.
struct PathRecord {
  const PathRecord* parent;
  char name[kNameStorage];
  const char* fullName;  // the creating name whole when it is longer than
                         // name (kept as long as the record), else null;
                         // a worker's copy of the path keeps it, so that
                         // merging the two does not see names that differ
};
inline const char* FullName(const PathRecord& record) {
  return record.fullName != nullptr ? record.fullName : record.name;
}

// What a start and a stop read and write lies in the first two cache
// lines of a node, which is aligned to them: the name and the watch in the
// first, the count, the extremes, the marks, the parent and the children's
// list (its last-found timer first) in the second; the rest is read by
// reports. A pair whose timers the host's own work has evicted from the
// caches then fetches as few lines as it can.
struct alignas(64) TimerNode {
  // At most kNameLength characters, zero-padded to kNameStorage bytes.
  char name[kNameStorage] = {};
  StopWatch watch;               // its own count stays 0: see count
  int64_t count = 0;             // starts, exact at any number
  int64_t shortest = INT64_MAX;  // the shortest and the longest finished
  int64_t longest = 0;           // interval, in ticks (none: INT64_MAX, 0)
  TimerNode* parent = nullptr;   // null at top level
  int stoppedImplicitly = 0;     // closed by a stop that named an outer timer
  bool top = false;              // last started with none of its thread's
                                 // timers running: its parent, if any, is
                                 // an adopted path's node, not running
  bool endedRunning = false;     // its thread ended (or a fork left it
                                 // behind) while it ran: its last interval
                                 // ends there, and it is shown running
  bool longNameUnknown = false;  // longName could not be kept
  bool inSeries = false;         // series is set: a stop adds to it
  PtrList children;              // timers started while this one was current
  PtrList* owner = nullptr;      // the list that holds this node
  int namesMerged = 0;           // started under a name that differs from
                                 // the creating one past kNameLength
  char* longName = nullptr;      // the creating name whole (malloc), when it
                                 // is longer than kNameLength; else null
  PtrListNode* slot = nullptr;   // this node's entry in its owner list
  const struct PathRecord* path = nullptr;  // its path as a context, once asked
  uint64_t bytes = 0;            // data its intervals moved (TimeAddBytes)
  bool throttled = false;        // its caller stopped timing it
  // Over the threads that started this path, once merged or folded (kept):
  // how many, and the least and greatest of their totals in ticks. A node
  // not kept is one thread's: one thread when started, none otherwise.
  bool spreadKept = false;
  int spreadThreads = 0;
  double spreadMin = 0.0;
  double spreadMax = 0.0;
  // TIMETREE_COUNTERS' sums, made at its first start with counters on
  // (published by its owner, read by reports); null without.
  struct CounterSums* counters = nullptr;
  // Its series over a loop's steps, when TIMETREE_SERIES names it or a
  // timer above it (made with the node); null without.
  struct Series* series = nullptr;
  // What TimeAddMemory gave its intervals, per memory space (made at the
  // first; published by its owner, read by reports); null without.
  struct MemorySums* memory = nullptr;

  TimerNode() = default;
  TimerNode(const TimerNode&) = delete;
  TimerNode& operator=(const TimerNode&) = delete;
  // Destroys and frees the whole subtree, without recursion.
  ~TimerNode();

  // A new record, or null when the allocation at site fails.
  static TimerNode* Create(AllocSite site);

  // The name that created the timer, whole.
  const char* FullName() const { return longName != nullptr ? longName : name; }
  // Known by its whole name, which is longer than the stored name.
  bool NamedWhole() const { return name[kNameKind] == kNamedWhole; }
  // The name of its report rows: the stored name, as the text reports
  // show it, unless the timer is known by its whole name.
  const char* ReportName() const { return NamedWhole() ? longName : name; }
  // Keeps name whole in longName when it is longer than the stored name.
  void KeepLongName(const char* full);
  // Takes other's name as its own: the stored name, how it is known, and
  // the long name. False when a whole name could not be kept.
  bool CopyName(const TimerNode& other);
};

// Whether node is key's timer (see KeyMatches).
__attribute__((always_inline)) inline bool Matches(const TimerNode& node, const NameKey& key) {
  return KeyMatches(node.name, node.longName, key);
}
// The key that finds node again, in its own list or a merged one.
inline NameKey KeyOf(const TimerNode& node) {
  return node.NamedWhole() ? NameKey::Whole(node.longName) : NameKey(node.name);
}

// The spread of a timer's total over the threads that started its path.
struct Spread {
  int threads;
  double min, max;  // ticks
};
// Read atomically: node may be another thread's, being timed.
Spread SpreadOf(const TimerNode& node);

// Called by a start whose name has at least kNameLength characters, with
// the timer it found: when name differs, past the compared characters, from
// the name that created the timer, marks the timer and says once on
// standard error that the two are counted as one.
void NoteLongName(TimerNode& node, const char* name);

// Destroys and frees every timer in list with its whole subtree, then empties
// list. owner is the node whose children list is (null for a list of top-level
// timers or of flat records). Works at any depth without recursion.
void DestroyTimers(PtrList& list, TimerNode* owner);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_TIMERNODE_H
