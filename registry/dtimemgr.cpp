// The timing manager: the global state, the timer tree and its start/stop
// protocol with the repair of unbalanced calls.
#include "registry/dtimemgr.h"

#include <new>

#include "include/timetree.h"
#include "output/channels.h"
#include "sibling/switches.h"
#include "stopwatch/access.h"

namespace timetree {

TimeManager g_timeManager;

TimeManager::~TimeManager() {
  TimeCloseOStream();
  // Its messages go nowhere now that the channels are closed.
  TimeClear();
  enabled = 0;
}

TimerNode* TimerNode::Create(AllocSite site) {
  if (AllocationFails(site)) return nullptr;
  return new (std::nothrow) TimerNode;
}

TimerNode::~TimerNode() { DestroyTimers(children, this); }

TimerNode* FindTimer(const PtrList& list, const char* name) {
  // The name is cut and zero-padded once, so that each timer costs a
  // fixed-size compare of whole words.
  char key[kNameSize];
  CopyTimerName(key, name);
  for (PtrListNode* p = list.head(); p != nullptr; p = p->next) {
    auto* node = static_cast<TimerNode*>(p->data);
    if (SameName(node->name, key)) return node;
  }
  return nullptr;
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

using timetree::g_timeManager;
using timetree::StopWatchAccess;
using timetree::TimerNode;

void TimeStartTimer(const char* name) {
  timetree::TimeManager& tm = g_timeManager;
  if (tm.enabled == 0) return;

  // Only the current timer's children are searched: the same name under
  // another parent is another timer. A list never holds two timers of one
  // name, so any match is the first. The timer last found in the list is
  // tried before the walk: loops start the same timer again and again.
  timetree::PtrList* list = tm.currentList;
  auto* node = static_cast<TimerNode*>(list->hint());
  if (node == nullptr || !timetree::NameMatches(node->name, name)) {
    node = timetree::FindTimer(*list, name);
  }
  if (node != nullptr) {
    list->set_hint(node);
    tm.current = node;
    tm.currentList = &node->children;
    StopWatchAccess::Start(node->watch);  // last, so the search is not timed
    return;
  }

  node = TimerNode::Create(timetree::AllocSite::kTimer);
  if (node == nullptr) return;
  timetree::CopyTimerName(node->name, name);
  node->parent = tm.current;
  node->owner = list;
  node->slot = list->AddTail(node);
  if (node->slot == nullptr) {
    // No list block: leave the tree as it was, with nothing started.
    delete node;
    return;
  }
  list->set_hint(node);
  tm.current = node;
  tm.currentList = &node->children;
  StopWatchAccess::Start(node->watch);  // last, so the bookkeeping is not timed
}

void TimeStopTimer(const char* name) {
  timetree::TimeManager& tm = g_timeManager;
  if (tm.enabled == 0) return;

  // Each turn closes the current timer; the loop goes on outwards while the
  // name is not the closed timer's and that timer had a parent.
  for (;;) {
    TimerNode* node = tm.current;
    if (node == nullptr) {
      TimeComment("No timer active while trying to stop timer \"");
      TimeComment(name);
      TimeComment("\"\n");
      return;
    }
    // Stop first, so that the name handling below is not timed.
    StopWatchAccess::Stop(node->watch);

    bool go_on = false;
    if (!timetree::NameMatches(node->name, name)) {
      if (node->parent != nullptr) {
        node->stoppedImplicitly = 1;
        go_on = true;
      } else {
        TimeComment("Timer could not find timer \"");
        TimeComment(name);
        TimeComment("\"\nCheck that start and stop have the same name\n");
      }
    }
    tm.current = node->parent;
    tm.currentList = node->parent != nullptr ? &node->parent->children : &tm.root;
    if (!go_on) return;
  }
}

void TimeClear() {
  timetree::TimeManager& tm = g_timeManager;
  if (tm.current != nullptr) {
    timetree::CommentF("dtimemgr - TimeClear deleted running timer: %s\n",
                       tm.current->name);
    tm.current = nullptr;
  } else if (tm.currentList != &tm.root) {
    TimeComment("dtimemgr - search_list problem ???\n");
    tm.currentList = &tm.root;
  }
  // After a running timer was deleted the current list still designates its
  // children, so this line always follows the deleted-running-timer line.
  const bool list_was_not_root = tm.currentList != &tm.root;
  if (tm.root.head() != nullptr) timetree::DestroyTimers(tm.root, nullptr);
  if (list_was_not_root) {
    TimeComment("dtimemgr search_list problem\n");
    tm.currentList = &tm.root;
  }
  timetree::ReadSwitch("TIMING_ON", &tm.enabled);
}
