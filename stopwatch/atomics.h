// Atomic access to plain fields. A field that one thread writes while others
// may read it (a timer's count and total, a list's links) stays a plain field,
// so that layouts such as StopWatch's do not change; every access that may
// meet another thread goes through these. On x86-64 each is one ordinary
// load or store: they only keep the compiler from tearing or reordering it.
#ifndef TIMETREE_STOPWATCH_ATOMICS_H
#define TIMETREE_STOPWATCH_ATOMICS_H

namespace timetree {

template <class T>
inline T LoadRelaxed(const T& field) {
  T value;
  __atomic_load(&field, &value, __ATOMIC_RELAXED);
  return value;
}

template <class T>
inline T LoadAcquire(const T& field) {
  T value;
  __atomic_load(&field, &value, __ATOMIC_ACQUIRE);
  return value;
}

template <class T, class U>
inline void StoreRelaxed(T& field, U value) {
  T v = static_cast<T>(value);
  __atomic_store(&field, &v, __ATOMIC_RELAXED);
}

template <class T, class U>
inline void StoreRelease(T& field, U value) {
  T v = static_cast<T>(value);
  __atomic_store(&field, &v, __ATOMIC_RELEASE);
}

}  // namespace timetree

#endif  // TIMETREE_STOPWATCH_ATOMICS_H
