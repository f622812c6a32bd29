// Allocation points that tests can make fail, to prove that a failed
// allocation leaves the timing state consistent.
#ifndef TIMETREE_SIBLING_FAULTS_H
#define TIMETREE_SIBLING_FAULTS_H

namespace timetree {

enum class AllocSite {
  kTimer,
  kListBlock,
  kFlatRecord,
  kThreadTree,
  kMergedTimer,
  kNameIndex,
  kLongName,
  kTimelineChunk,
};

using FaultHook = bool (*)(AllocSite site);

// Null except in tests; when it returns true the allocation at site fails.
extern FaultHook g_faultHook;

inline bool AllocationFails(AllocSite site) {
  return __builtin_expect(g_faultHook != nullptr, 0) && g_faultHook(site);
}

}  // namespace timetree

#endif  // TIMETREE_SIBLING_FAULTS_H
