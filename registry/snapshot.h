// What the reports and exports show: the timers of every thread, merged by
// path, as of one moment.
#ifndef TIMETREE_REGISTRY_SNAPSHOT_H
#define TIMETREE_REGISTRY_SNAPSHOT_H

#include <mutex>

#include "registry/dtimemgr.h"

namespace timetree {

// Holds the registry for its lifetime: no clear, no thread exit and no
// other report runs meanwhile, while threads go on timing.
class Snapshot {
 public:
  // What a running timer's total holds: its finished intervals only, as the
  // flat and indented reports count it, or also its open interval up to the
  // snapshot's moment, as the exports count it (so that a file written
  // while main's timer runs, or by a killed job, gives it its time).
  enum Kind { kFinished, kUpToNow };

  explicit Snapshot(Kind kind = kFinished);
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // The top-level timers of all threads merged by path, in the order of
  // first starts; null while timing is off or when no thread has a timer.
  // With one thread this is that thread's own tree.
  const PtrList* top() const { return top_; }
  // Whether any thread has a timer running.
  bool running() const { return running_; }
  // The trees shown, in the order their first timers started.
  ThreadTree* first() const { return first_; }
  // How many threads timed: those of the trees shown, finished ones folded
  // together counted each.
  long threads() const;
  // Whether tree may be read as it is: it is the calling thread's own, or
  // its thread has finished. Any other tree is read through MergeTimers.
  bool Settled(const ThreadTree& tree) const;
  // One thread's own timers, copied into into as the snapshot counts them.
  void CopyTree(const ThreadTree& tree, PtrList& into) const;

 private:
  std::lock_guard<OwnedMutex> lock_;
  ThreadTree* own_ = nullptr;
  ThreadTree* first_ = nullptr;
  const PtrList* top_ = nullptr;
  PtrList merged_;
  bool running_ = false;
  int64_t now_ = 0;           // the snapshot's moment, in ticks
  const int64_t* up_to_ = nullptr;  // &now_ when open intervals count
};

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_SNAPSHOT_H
