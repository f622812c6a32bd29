#include "registry/snapshot.h"

#include "registry/merge.h"
#include "stopwatch/atomics.h"
#include "stopwatch/ticks.h"
#include "registry/threads.h"

namespace timetree {

Snapshot::Snapshot(Kind kind) : lock_(g_registry.mutex) {
  if (LoadRelaxed(g_registry.enabled) == 0) return;
  if (kind == kUpToNow) {
    now_ = ReadTicks();
    up_to_ = &now_;
  }
  own_ = CallingTreeIfAttached();
  const uint64_t generation = LoadAcquire(g_registry.clearGeneration);
  // The trees with timers, sorted by the start of their first timer.
  int count = 0;
  for (ThreadTree* t = g_registry.trees; t != nullptr; t = t->nextTree) {
    if (!Reportable(*t, generation)) continue;
    ++count;
    ThreadTree** at = &first_;
    while (*at != nullptr && LoadRelaxed((*at)->order) < LoadRelaxed(t->order)) {
      at = &(*at)->nextReported;
    }
    t->nextReported = *at;
    *at = t;
    if (LoadRelaxed(t->current) != nullptr || t->leftRunning) running_ = true;
  }
  if (count == 0) return;
  // A settled tree of finished intervals is shown as it is; anything else
  // through a copy, made as of this moment.
  if (count == 1 && Settled(*first_) && up_to_ == nullptr) {
    top_ = &first_->root;
    return;
  }
  for (ThreadTree* t = first_; t != nullptr; t = t->nextReported) {
    MergeTimers(merged_, t->root, up_to_);
  }
  top_ = merged_.head() != nullptr ? &merged_ : nullptr;
}

Snapshot::~Snapshot() {
  if (merged_.head() != nullptr) DestroyTimers(merged_, nullptr);
}

long Snapshot::threads() const {
  long n = 0;
  for (const ThreadTree* t = first_; t != nullptr; t = t->nextReported) n += t->threads;
  return n;
}

bool Snapshot::Settled(const ThreadTree& tree) const {
  return &tree == own_ || tree.finished;
}

void Snapshot::CopyTree(const ThreadTree& tree, PtrList& into) const {
  MergeTimers(into, tree.root, up_to_);
}

}  // namespace timetree
