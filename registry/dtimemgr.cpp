// (dtimemgr: the timing manager's long-standing name, kept for those who know it by it.)
// The timing manager: the global timing state, and the start/stop protocol
// of the calling thread's tree with the repair of unbalanced calls, and the
// clear. The trees of the threads are in threads.cpp, contexts in
// contexts.cpp, fork handling in fork.cpp.
#include "registry/dtimemgr.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "include/timetree.h"
#include "include/timetree_c.h"
#include "registry/counters.h"
#include "registry/nameindex.h"
#include "registry/series.h"
#include "registry/sites.h"
#include "registry/threads.h"
#include "registry/timeline.h"
#include "registry/walk.h"
#include "sibling/switches.h"
#include "stopwatch/access.h"
#include "stopwatch/atomics.h"
#include "stopwatch/ticks.h"

namespace timetree {

TimeManager g_timeManager;
Registry g_registry(&g_timeManager);
RegistryHooks g_hooks;

namespace {

// Text that finds no channel open is noted as lost only while timing is on.
bool TimingOn() { return LoadRelaxed(g_registry.enabled) != 0; }

struct ChannelHook {
  ChannelHook() { g_timingOnForChannels = &TimingOn; }
} g_setChannelHook;

}  // namespace

void NoteStartWhileOff() {
  TimeManager& tm = g_timeManager;
  if (__atomic_exchange_n(&tm.offNoted, 1, __ATOMIC_RELAXED) != 0) return;
  StoreRelaxed(tm.offHintPid, static_cast<long>(getpid()));
}

TimeManager::~TimeManager() {
  // Its thread may be waiting for the registry mutex, which is taken below.
  StopChunkMapper();
  // The outputs, while the timers and channels are there; then the
  // channels are closed.
  if (g_hooks.unload != nullptr) g_hooks.unload();
  // Its messages go nowhere now that the channels are closed.
  TimeClear();
  StoreRelaxed(g_registry.enabled, 0);
  RaiseSiteEpoch();
  const std::lock_guard<OwnedMutex> lock(g_registry.mutex);
  // Threads still running keep their trees; no exit hook may run into
  // unloaded code.
  g_registry.unloaded = true;
  if (g_registry.exitKeyCreated) pthread_key_delete(g_registry.exitKey);
  g_registry.exitKeyCreated = false;
  // The calling thread's timeline goes with the library, lest a host that
  // loads and unloads it again keep every load's.
  if (ThreadTree* own = CallingTreeIfAttached()) DetachTimeline(*own);
  FreeFinishedTimelines();
}

}  // namespace timetree

using timetree::g_timeManager;
using timetree::StopWatchAccess;
using timetree::ThreadTree;
using timetree::TimerNode;

namespace {

// Notes in last that the timer node, started by the name pointer name,
// followed it.
inline void Follows(timetree::SiteEntry& last, TimerNode* node, const char* name) {
  last.next = node;
  last.nextName = name;
}

// Makes site the tree's last entry and fetches the lines of the timer that
// followed its timer last time, which the next start is likely to want.
inline void FoundThrough(ThreadTree* tree, timetree::SiteEntry* site) {
  tree->lastSite = site;
  if (TimerNode* next = site->next) {
    __builtin_prefetch(next);
    __builtin_prefetch(reinterpret_cast<const char*>(next) + 64);
  }
}

// The timer of list named key: the one found last in it (loops start the
// same timer again and again), else, in a tree with a wide list, the one
// that followed the last one found by its name pointer (a fixed order,
// fetched ahead), else the one this name pointer found in this list before
// (any order, one compare), else the one after the last-found (loops that
// start several timers in the order they were made), else by the list's
// index or a walk. Any timer of list whose name matches is key's: a list
// never holds two of one name.
inline TimerNode* Lookup(ThreadTree* tree, timetree::PtrList& list, const timetree::NameKey& key) {
  auto* node = static_cast<TimerNode*>(list.hint());
  if (__builtin_expect(node == nullptr, 0)) return timetree::FindTimer(list, key);
  if (__builtin_expect(timetree::Matches(*node, key), 1)) return node;
  timetree::SiteEntry* site = nullptr;
  timetree::SiteEntry* last = nullptr;
  if (tree->sites != nullptr) {
    site = &tree->sites[timetree::SiteSlot(key.text, &list)];
    last = tree->lastSite;
    if (last != nullptr && last->list == &list) {
      TimerNode* predicted = last->next;
      if (last->nextName == key.text && timetree::Matches(*predicted, key)) {
        // site may hold another name's entry: it only says where the next
        // start's guess is, and every guess is checked.
        FoundThrough(tree, site);
        return predicted;
      }
    } else {
      last = nullptr;
    }
    if (site->name == key.text && site->list == &list && timetree::Matches(*site->node, key)) {
      if (last != nullptr) Follows(*last, site->node, key.text);
      FoundThrough(tree, site);
      return site->node;
    }
  }
  timetree::PtrListNode* next = node->slot->next;
  node = static_cast<TimerNode*>(next != nullptr ? next->data : list.head()->data);
  if (!timetree::Matches(*node, key)) node = timetree::FindTimer(list, key);
  if (site != nullptr && node != nullptr) {
    if (last != nullptr) Follows(*last, node, key.text);
    *site = {key.text, &list, node, nullptr, nullptr};
    FoundThrough(tree, site);
  }
  return node;
}

// A start on tree, timing on: the start protocol itself, shared by the
// host's starts and the measurement of a pair's cost. name is key's text,
// terminated when key holds all kNameLength characters.
inline void StartOn(ThreadTree* tree, const char* name, const timetree::NameKey& key) {
  // Only the current timer's children are searched: the same name under
  // another parent is another timer. A list never holds two timers of one
  // name, so any match is the first.
  timetree::PtrList* list = tree->currentList;
  TimerNode* node = Lookup(tree, *list, key);
  if (node != nullptr) {
    // Only a name as long as the compared part can differ past it.
    if (__builtin_expect(key.length == timetree::kNameLength, 0) && !key.whole &&
        (name[timetree::kNameLength] != '\0' || node->longName != nullptr)) {
      timetree::NoteLongName(*node, name);
    }
    list->set_hint(node);
    // Whether a running timer encloses this start is the start's, not the
    // node's: a timer made under a running parent may be started again at
    // the top of an adopted path, whose nodes are not running, and the
    // other way round.
    node->top = tree->current == nullptr;
    timetree::StoreRelaxed(tree->current, node);
    tree->currentList = &node->children;
    if (__builtin_expect(timetree::g_registry.counters != 0, 0)) timetree::CountersAtStart(*node);
    StopWatchAccess::Start(node->watch, node->count);  // last: the search is not timed
    return;
  }

  // A top-level timer under an adopted path hangs from the path's last
  // node, which is not one of the thread's running timers.
  node = timetree::NewTimer(*tree, *list, tree->current != nullptr ? tree->current : tree->base,
                            tree->current == nullptr, name, key);
  if (node == nullptr) return;
  list->set_hint(node);
  timetree::StoreRelaxed(tree->current, node);
  tree->currentList = &node->children;
  if (__builtin_expect(timetree::g_registry.counters != 0, 0)) timetree::CountersAtStart(*node);
  StopWatchAccess::Start(node->watch, node->count);  // last: the bookkeeping is not timed
}

// The text of a name given with its length, for a message.
struct Said {
  Said(const char* name, const timetree::NameKey& key, bool terminated)
      : text(terminated ? name : (copy.assign(key.text, key.length), copy.c_str())) {}
  std::string copy;
  const char* text;
};

// A stop on tree (null: the thread has no timers), timing on; name is
// key's text, terminated unless terminated says not.
inline void StopOn(ThreadTree* tree, const char* name, const timetree::NameKey& key,
                   bool terminated = true) {
  // Each turn closes the current timer; the loop goes on outwards while the
  // name is not the closed timer's and that timer had a parent.
  for (;;) {
    TimerNode* node = tree != nullptr ? tree->current : nullptr;
    if (node == nullptr) {
      // The stop of a start that was declined while this thread held the
      // registry (see AttachCallingThread): nothing to say.
      if (tree == nullptr && timetree::g_registry.mutex.HeldByCaller()) return;
      const timetree::ChannelLock whole_message;
      TimeComment("No timer active while trying to stop timer \"");
      TimeComment(Said(name, key, terminated).text);
      TimeComment("\"\n");
      return;
    }
    // Stop first, so that the name handling below is not timed.
    const int64_t started = StopWatchAccess::StartTicks(node->watch);
    const int64_t stopped = StopWatchAccess::StopAt(node->watch);
    const int64_t interval = stopped - started;
    if (__builtin_expect(interval < node->shortest, 0)) timetree::StoreRelaxed(node->shortest, interval);
    if (__builtin_expect(interval > node->longest, 0)) timetree::StoreRelaxed(node->longest, interval);

    // The running timer outside this one; none for a top-level timer, also
    // one under an adopted path.
    TimerNode* const outer = node->top ? nullptr : node->parent;
    if (__builtin_expect(timetree::g_registry.counters != 0, 0)) {
      timetree::CountersAtStop(*node, outer);
    }
    if (__builtin_expect(node->inSeries, 0)) timetree::SeriesAtStop(*node, interval);
    bool go_on = false;
    if (!timetree::Matches(*node, key)) {
      if (outer != nullptr) {
        timetree::StoreRelaxed(node->stoppedImplicitly, 1);
        go_on = true;
      } else {
        const timetree::ChannelLock whole_message;
        TimeComment("Timer could not find timer \"");
        TimeComment(Said(name, key, terminated).text);
        TimeComment("\"\nCheck that start and stop have the same name\n");
      }
    }
    if (tree->timeline != nullptr) {
      timetree::RecordInterval(*tree->timeline, node, started, stopped, go_on);
    }
    timetree::StoreRelaxed(tree->current, outer);
    tree->currentList = outer != nullptr    ? &outer->children
                        : tree->base != nullptr ? &tree->base->children
                                                : &tree->root;
    if (!go_on) return;
  }
}

}  // namespace

void TimeStartTimer(const char* name) {
  timetree::TimeManager& tm = g_timeManager;
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0) {
    if (__builtin_expect(timetree::LoadRelaxed(tm.offNoted) == 0, 0)) {
      timetree::NoteStartWhileOff();
    }
    return;
  }
  ThreadTree* tree = timetree::CallingTree();
  if (tree != nullptr) StartOn(tree, name, timetree::NameKey::OfHost(name));
}

void TimeStopTimer(const char* name) {
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0) return;
  StopOn(timetree::StoppingTree(), name, timetree::NameKey::OfHost(name));
}

// A start through a call site's record that the inline path did not take:
// the start by name, after which the record is filled when it can be.
void timetree_site_enter(timetree_site* site, const char* name) {
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0 || name == nullptr ||
      site == nullptr) {
    TimeStartTimer(name);
    return;
  }
  ThreadTree* tree = timetree::CallingTree();
  if (tree == nullptr) return;
  // Read before the start: any change after it makes the record stale.
  const uint64_t epoch = timetree::LoadAcquire(timetree::g_siteEpoch);
  const timetree::PtrList* list = tree->currentList;
  StartOn(tree, name,
          (site->flags & TIMETREE_SITE_WHOLE) != 0
              ? timetree::NameKey::WholeOfLength(name, std::strlen(name))
              : timetree::NameKey::OfHost(name));
  timetree::FillSite(*site, name, *tree, list, epoch);
}

void timetree_site_leave(timetree_site* site, const char* name) {
  if (site != nullptr && name != nullptr && (site->flags & TIMETREE_SITE_WHOLE) != 0) {
    TimeStopWholeName(name, std::strlen(name));
  } else {
    TimeStopTimer(name);
  }
}

// Names a machine made (a function's, an MPI call's): compared whole,
// whatever TIMETREE_NAMES says.
void TimeStartWholeName(const char* name, size_t length) {
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0 || name == nullptr) {
    TimeStartTimer(name);
    return;
  }
  ThreadTree* tree = timetree::CallingTree();
  if (tree != nullptr) StartOn(tree, name, timetree::NameKey::WholeOfLength(name, length));
}

void TimeStopWholeName(const char* name, size_t length) {
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0) return;
  if (name == nullptr) {
    TimeStopTimer(name);
    return;
  }
  StopOn(timetree::StoppingTree(), name, timetree::NameKey::WholeOfLength(name, length));
}

// Names given with their length (Fortran's), with no terminator to add: a
// name shorter than the compared part is looked up as it is; a longer one,
// whose whole text a start keeps, is copied and terminated.
void timetree_start_n(const char* name, size_t length) {
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0 || name == nullptr) {
    TimeStartTimer(name);
    return;
  }
  const timetree::NameKey key = timetree::g_wholeNames ? timetree::NameKey::Whole(name, length)
                                                        : timetree::NameKey(name, length);
  if (__builtin_expect(key.length >= timetree::kNameLength, 0)) {
    // Terminated on the stack when it fits (no allocation per call).
    const size_t whole = strnlen(name, length);
    char copy[256];
    if (whole < sizeof copy) {
      std::memcpy(copy, name, whole);
      copy[whole] = '\0';
      TimeStartTimer(copy);
    } else {
      TimeStartTimer(std::string(name, whole).c_str());
    }
    return;
  }
  ThreadTree* tree = timetree::CallingTree();
  if (tree != nullptr) StartOn(tree, name, key);
}

void timetree_stop_n(const char* name, size_t length) {
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0 || name == nullptr) {
    TimeStopTimer(name);
    return;
  }
  StopOn(timetree::StoppingTree(), name,
         timetree::g_wholeNames ? timetree::NameKey::Whole(name, length)
                                : timetree::NameKey(name, length),
         false);
}

namespace timetree {
namespace {

// A timer pair's cost in ticks of the source it was measured with; -1 until
// measured. Measured when timing is first turned on (in a clear, so never
// in a signal handler that writes a killed job's outputs), in ticks, so that
// the counter's calibration is not waited for then.
double g_pairTicks = -1.0;
int g_pairMode = 0;  // the TickMode it was measured with
std::mutex g_pairMutex;

void MeasurePair() {
  const std::lock_guard<std::mutex> lock(g_pairMutex);
  if (LoadAcquire(g_pairTicks) >= 0.0 && LoadRelaxed(g_pairMode) == static_cast<int>(g_tickMode)) {
    return;
  }
  // On a tree of no thread's, which no report or export sees: the pair of
  // an existing timer at depth 1, as a host's loop makes it, untraced.
  ThreadTree scratch;
  static const char name[timetree::kNameStorage] = "timetree pair";
  const NameKey key(name);
  StartOn(&scratch, name, key);
  StopOn(&scratch, name, key);
  constexpr int kBatches = 15, kPairs = 200;
  double per_pair[kBatches];
  for (double& ticks : per_pair) {
    const int64_t began = ReadTicks();
    for (int i = 0; i < kPairs; ++i) {
      StartOn(&scratch, name, NameKey(name));
      StopOn(&scratch, name, NameKey(name));
    }
    ticks = static_cast<double>(ReadTicks() - began) / kPairs;
  }
  DestroyTimers(scratch.root, nullptr);
  // The median: a batch that an interrupt lengthened does not count.
  std::sort(per_pair, per_pair + kBatches);
  StoreRelaxed(g_pairMode, static_cast<int>(g_tickMode));
  StoreRelease(g_pairTicks, per_pair[kBatches / 2]);
}

}  // namespace
}  // namespace timetree

double TimePairSeconds() {
  if (timetree::LoadAcquire(timetree::g_pairTicks) < 0.0 ||
      timetree::LoadRelaxed(timetree::g_pairMode) != static_cast<int>(timetree::g_tickMode)) {
    timetree::MeasurePair();
  }
  return timetree::LoadAcquire(timetree::g_pairTicks) / timetree::TickFrequency();
}

void TimeAddBytes(unsigned long long bytes) {
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0) return;
  ThreadTree* tree = timetree::CallingTreeIfAttached();
  TimerNode* node = tree != nullptr ? tree->current : nullptr;
  if (node != nullptr)
    timetree::StoreRelaxed(node->bytes, timetree::SaturatingAdd(node->bytes, bytes));
}

void TimeMarkThrottled(const char* name) {
  ThreadTree* tree = timetree::CallingTreeIfAttached();
  if (tree == nullptr) return;
  // The timers of that name, whether compared whole or on its first
  // characters.
  const timetree::NameKey key(name);
  const timetree::NameKey whole = timetree::NameKey::Whole(name);
  timetree::WalkPreorder(tree->root, [&key, &whole](TimerNode* node, int) {
    if (timetree::Matches(*node, key) || timetree::Matches(*node, whole)) {
      timetree::StoreRelaxed(node->throttled, true);
    }
    return true;
  });
}

void TimeClear() {
  timetree::TimeManager& tm = g_timeManager;
  const std::lock_guard<timetree::OwnedMutex> lock(timetree::g_registry.mutex);
  // Only the calling thread's own timers are reported on; other threads'
  // trees are emptied by their owners (see the top of this file).
  ThreadTree* tree = timetree::CallingTreeIfAttached();
  if (tree != nullptr) {
    // An adopted path ends with the timers it was built in.
    if (tree->base != nullptr && tree->current == nullptr) tree->currentList = &tree->root;
    tree->base = nullptr;
    tree->lastBase = tree->otherBase = nullptr;
    if (tree->current != nullptr) {
      timetree::CommentF("dtimemgr - TimeClear deleted running timer: %s\n",
                         tree->current->ReportName());
      timetree::StoreRelaxed(tree->current, static_cast<TimerNode*>(nullptr));
    } else if (tree->currentList != &tree->root) {
      TimeComment("dtimemgr - search_list problem ???\n");
      tree->currentList = &tree->root;
    }
    // After a running timer was deleted the current list still designates
    // its children, so this line always follows the deleted-running-timer
    // line.
    const bool list_was_not_root = tree->currentList != &tree->root;
    timetree::DestroyTreeTimers(*tree);
    if (list_was_not_root) {
      TimeComment("dtimemgr search_list problem\n");
      tree->currentList = &tree->root;
    }
  }
  const uint64_t generation = timetree::g_registry.clearGeneration + 1;
  timetree::StoreRelease(timetree::g_registry.clearGeneration, generation);
  // Every thread's records of call sites lead to timers of the clear before.
  timetree::RaiseSiteEpoch();
  if (tree != nullptr) {
    timetree::StoreRelaxed(tree->order, uint64_t{0});
    timetree::StoreRelease(tree->generation, generation);
    timetree::ResetTimeline(*tree, generation);
  }
  timetree::FreeFinishedTrees();
  timetree::FreeFinishedTimelines();
  int enabled = 0;
  timetree::ReadSwitch("TIMING_ON", &enabled);
  timetree::StoreRelaxed(tm.timingReadPid, static_cast<long>(getpid()));
  if (enabled == 0 && tm.outputAsked != 0) {
    // Outputs asked for from the environment keep timing on, unless
    // TIMING_ON turns it off: that is said, once.
    if (timetree::SwitchUnset("TIMING_ON")) {
      enabled = 1;
    } else if (__atomic_exchange_n(&tm.outputAsked, 2, __ATOMIC_RELAXED) == 1) {
      std::fprintf(stderr,
                   "timetree: TIMING_ON=%s turns timing off, so TIMETREE_OUTPUT has no timers to "
                   "write\n",
                   std::getenv("TIMING_ON"));
    }
  }
  timetree::StoreRelaxed(timetree::g_registry.enabled, enabled);
  // Again once timing is on or off as of now: a record filled meanwhile by
  // another thread's start went by the value before.
  timetree::RaiseSiteEpoch();
  if (enabled != 0 && timetree::LoadAcquire(timetree::g_pairTicks) < 0.0) timetree::MeasurePair();
}

