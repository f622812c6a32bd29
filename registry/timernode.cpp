#include "registry/timernode.h"

#include "registry/counters.h"
#include "registry/memory.h"
#include "registry/series.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "stopwatch/access.h"
#include "stopwatch/atomics.h"

namespace timetree {

TimerNode* TimerNode::Create(AllocSite site) {
  if (AllocationFails(site)) return nullptr;
  return new (std::nothrow) TimerNode;
}

TimerNode::~TimerNode() {
  DestroyTimers(children, this);
  std::free(longName);
  delete counters;
  delete series;
  delete memory;
}

void TimerNode::KeepLongName(const char* full) {
  if (full == nullptr || full[0] == '\0' || std::strlen(full) <= kNameLength) return;
  if (!AllocationFails(AllocSite::kLongName)) longName = strdup(full);
  // Without the whole name, differing long names cannot be told apart; the
  // timer is then left unchecked rather than marked by mistake.
  longNameUnknown = longName == nullptr;
}

bool TimerNode::CopyName(const TimerNode& other) {
  std::memcpy(name, other.name, kNameStorage);
  KeepLongName(other.longName);
  longNameUnknown = longNameUnknown || other.longNameUnknown;
  return !NamedWhole() || longName != nullptr;
}

bool LongKeyMatches(const char* stored, const char* longName, const NameKey& key) {
  // The stored name holds the first kNameLength characters; the rest is
  // compared in the long name, which is terminated and, where it is
  // shorter than the key, differs from the key's non-zero bytes first.
  return stored[kNameKind] == kNamedWhole && longName != nullptr &&
         std::memcmp(stored, key.text, kNameLength) == 0 &&
         std::strncmp(longName + kNameLength, key.text + kNameLength,
                      key.length - kNameLength) == 0 &&
         longName[key.length] == '\0';
}

namespace {

// TIMETREE_NAMES: "25" (or unset) keeps the first release's rule for the host's
// names, "full" compares them whole; anything else is said once.
bool ReadNamesSetting() {
  const char* value = std::getenv("TIMETREE_NAMES");
  if (value == nullptr || value[0] == '\0' || std::strcmp(value, "25") == 0) return false;
  if (std::strcmp(value, "full") == 0) return true;
  std::fprintf(stderr,
               "timetree: TIMETREE_NAMES=%s is not known (25 or full): names compare on their "
               "first 25 characters\n",
               value);
  return false;
}

}  // namespace

bool g_wholeNames = ReadNamesSetting();

void NoteLongName(TimerNode& node, const char* name) {
  if (LoadRelaxed(node.namesMerged) != 0 || node.longNameUnknown) return;
  if (std::strcmp(node.FullName() + kNameLength, name + kNameLength) == 0) return;
  StoreRelaxed(node.namesMerged, 1);
  std::fprintf(stderr,
               "timetree: \"%s\" is counted as \"%s\": names are compared on their "
               "first %d characters\n",
               name, node.FullName(), kNameLength);
}

Spread SpreadOf(const TimerNode& node) {
  if (node.spreadKept) return Spread{node.spreadThreads, node.spreadMin, node.spreadMax};
  const double total = StopWatchAccess::LoadElapsed(node.watch);
  return Spread{LoadRelaxed(node.count) > 0 ? 1 : 0, total, total};
}

void DestroyTimers(PtrList& list, TimerNode* owner) {
  // Each list is consumed from its head; a child's own list is consumed
  // before the child is freed, so that a chain of any depth is destroyed
  // in a loop rather than by recursion. Every timer's parent is the owner of
  // the list that holds it, which is the way back up.
  TimerNode* node = owner;
  PtrList* list_of_node = &list;
  for (;;) {
    if (PtrListNode* head = list_of_node->head()) {
      list_of_node->DropHead();
      if (auto* child = static_cast<TimerNode*>(head->data)) {
        node = child;
        list_of_node = &child->children;
      }
      continue;
    }
    list_of_node->RemoveAll();
    if (node == owner) return;
    TimerNode* up = node->parent;
    delete node;  // its children are gone, so this does not descend again
    node = up;
    list_of_node = node == owner ? &list : &node->children;
  }
}

}  // namespace timetree
