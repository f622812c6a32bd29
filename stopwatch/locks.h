// A lock that its holder may take again, and that a forked child can
// release.
#ifndef TIMETREE_STOPWATCH_LOCKS_H
#define TIMETREE_STOPWATCH_LOCKS_H

#include <pthread.h>

#include <mutex>

namespace timetree {

// A lock that its holder may take again. Its owner is the holder's
// pthread_t, which a forked child keeps, so that the child can release what
// the fork handlers took (a recursive pthread mutex names its owner by the
// thread id, which changes in the child).
class RecursiveLock {
 public:
  constexpr RecursiveLock() = default;
  void Lock() {
    const pthread_t self = pthread_self();
    // Only the holder can find itself the owner, so depth_ is then its own.
    if (pthread_equal(LoadOwner(), self)) {
      ++depth_;
      return;
    }
    mutex_.lock();
    __atomic_store_n(&owner_, self, __ATOMIC_RELAXED);
    depth_ = 1;
  }
  void Unlock() {
    if (--depth_ == 0) {
      __atomic_store_n(&owner_, pthread_t{}, __ATOMIC_RELAXED);
      mutex_.unlock();
    }
  }

 private:
  pthread_t LoadOwner() const { return __atomic_load_n(&owner_, __ATOMIC_RELAXED); }
  std::mutex mutex_;
  pthread_t owner_{};
  int depth_ = 0;  // only the owner changes or trusts it
};

// A mutex that knows whether the calling thread holds it: code that runs
// while it is held (a host's operator new, reached from a report or a
// thread's exit, that starts a timer) can then decline instead of
// deadlocking on it. Owned by pthread_t, as above, for the forked child.
class OwnedMutex {
 public:
  constexpr OwnedMutex() = default;
  void lock() {
    mutex_.lock();
    __atomic_store_n(&owner_, pthread_self(), __ATOMIC_RELAXED);
  }
  void unlock() {
    __atomic_store_n(&owner_, pthread_t{}, __ATOMIC_RELAXED);
    mutex_.unlock();
  }
  // Only the holder can find itself the owner.
  bool HeldByCaller() const {
    return pthread_equal(__atomic_load_n(&owner_, __ATOMIC_RELAXED), pthread_self()) != 0;
  }

 private:
  std::mutex mutex_;
  pthread_t owner_{};
};

}  // namespace timetree

#endif  // TIMETREE_STOPWATCH_LOCKS_H
