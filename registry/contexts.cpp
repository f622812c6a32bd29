// Contexts: a thread's timer path handed to another thread, whose top-level
// timers then go under that path. The path is kept as interned records (one
// per distinct path, never freed before unload), so that a context stays
// safe to read whatever happens to the timers it was taken from; a context
// carries the clear generation it was taken in, and is empty after a clear.
#include "registry/contexts.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "include/timetree.h"
#include "registry/dtimemgr.h"
#include "registry/nameindex.h"
#include "registry/threads.h"

using timetree::ThreadTree;
using timetree::TimerNode;

namespace timetree {
namespace {

// Guards the interned path records of contexts and of the timeline's
// events; taken on a stop the first time a timer is recorded, so it is also
// held across a fork, lest a child wait forever for a parent's thread.
std::mutex g_pathMutex;

// Every record, by parent record and name. Allocated once and reachable
// until exit, so that a context met late in the program's exit still reads
// a live record.
std::map<std::pair<const PathRecord*, std::string>, PathRecord>* g_paths = nullptr;

}  // namespace

void LockPaths() { g_pathMutex.lock(); }
void UnlockPaths() { g_pathMutex.unlock(); }

const PathRecord* PathOf(TimerNode* node) {
  const std::lock_guard<std::mutex> lock(g_pathMutex);
  return PathOfWithPathsLocked(node);
}

const PathRecord* PathOfWithPathsLocked(TimerNode* node) {
  std::vector<TimerNode*> chain;
  try {
    for (TimerNode* n = node; n != nullptr && n->path == nullptr; n = n->parent) chain.push_back(n);
    if (g_paths == nullptr) g_paths = new std::map<std::pair<const PathRecord*, std::string>, PathRecord>;
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
      TimerNode* n = *at;
      const PathRecord* parent = n->parent != nullptr ? n->parent->path : nullptr;
      // A timer known by its whole name is its own path, apart from those
      // of the same first characters.
      auto found = g_paths->emplace(
          std::make_pair(parent, std::string(n->NamedWhole() ? n->longName : n->name)),
          PathRecord{});
      PathRecord& record = found.first->second;
      if (found.second) {
        record.parent = parent;
        std::memcpy(record.name, n->name, kNameStorage);
        record.fullName = n->longName != nullptr ? strdup(n->longName) : nullptr;
        if (n->NamedWhole() && record.fullName == nullptr) {
          g_paths->erase(found.first);
          return nullptr;
        }
      }
      n->path = &record;
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return node->path;
}

namespace {

// The node of record's path in tree, made (never started) where missing;
// null when memory is short.
TimerNode* BuildPath(ThreadTree& tree, const PathRecord* record) {
  // The path from the top; on the stack, with no allocation, up to a depth
  // that real paths do not pass.
  constexpr size_t kOnStack = 64;
  const PathRecord* on_stack[kOnStack];
  std::vector<const PathRecord*> deeper;
  size_t depth = 0;
  for (const PathRecord* r = record; r != nullptr; r = r->parent) ++depth;
  const PathRecord** records = on_stack;
  if (depth > kOnStack) {
    try {
      deeper.resize(depth);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    records = deeper.data();
  }
  size_t at_depth = depth;
  for (const PathRecord* r = record; r != nullptr; r = r->parent) records[--at_depth] = r;
  PtrList* list = &tree.root;
  TimerNode* parent = nullptr;
  for (const PathRecord* const* at = records; at != records + depth; ++at) {
    const NameKey key = (*at)->name[kNameKind] == kNamedWhole ? NameKey::Whole((*at)->fullName)
                                                               : NameKey((*at)->name);
    TimerNode* node = FindTimer(*list, key);
    if (node == nullptr) {
      const char* name = (*at)->fullName != nullptr ? (*at)->fullName : (*at)->name;
      node = NewTimer(tree, *list, parent, false, name, key);
    }
    if (node == nullptr) return nullptr;
    node->path = *at;
    parent = node;
    list = &node->children;
  }
  return parent;
}

}  // namespace
}  // namespace timetree

TimeContext TimeCurrentContext() {
  TimeContext context{nullptr, 0};
  if (timetree::LoadRelaxed(timetree::g_registry.enabled) == 0) return context;
  ThreadTree* tree = timetree::CallingTreeIfAttached();
  if (tree == nullptr) return context;
  TimerNode* node = tree->current != nullptr ? tree->current : tree->base;
  if (node == nullptr) return context;
  context.path = node->path != nullptr ? node->path : timetree::PathOf(node);
  if (context.path != nullptr) context.generation = tree->generation;
  return context;
}

TimeContext TimeAdoptContext(TimeContext context) {
  TimeContext previous{nullptr, 0};
  ThreadTree* tree = context.path != nullptr && timetree::LoadRelaxed(timetree::g_registry.enabled) != 0
                         ? timetree::CallingTree()
                         : timetree::CallingTreeIfAttached();
  if (tree == nullptr) return previous;
  if (tree->base != nullptr) previous = TimeContext{tree->base->path, tree->generation};
  // A context of an earlier clear, like the empty one, leaves the root.
  const auto* record = static_cast<const timetree::PathRecord*>(context.path);
  if (context.generation != tree->generation) record = nullptr;
  if (record == (tree->base != nullptr ? tree->base->path : nullptr)) return previous;
  TimerNode* base = nullptr;
  if (record != nullptr) {
    // A pool's thread adopts the same path region after region, or one of
    // two in turn.
    if (tree->lastBase != nullptr && tree->lastBase->path == record) {
      base = tree->lastBase;
    } else {
      base = tree->otherBase != nullptr && tree->otherBase->path == record
                 ? tree->otherBase
                 : timetree::BuildPath(*tree, record);
      if (base != nullptr) {
        tree->otherBase = tree->lastBase;
        tree->lastBase = base;
      }
    }
  }
  tree->base = base;
  // Timers running now stay where they are; the next top-level start, now
  // or once they have stopped, goes under the adopted path.
  if (tree->current == nullptr) tree->currentList = base != nullptr ? &base->children : &tree->root;
  return previous;
}
