// (dtimemgr: the timing manager's long-standing name, kept for those who know it by it.)
// The global timing state: the main thread's tree, whether timing is on,
// and the start/stop/clear of the calling thread's timers (declared in
// timetree.h).
#ifndef TIMETREE_REGISTRY_DTIMEMGR_H
#define TIMETREE_REGISTRY_DTIMEMGR_H

#include "channels/channels.h"
#include "registry/threadtree.h"

namespace timetree {

// The global timing state. Its own tree is that of the process's main
// thread, so that a host with one thread works on it alone, exactly as
// before threads were supported; other threads' trees are allocated, and
// all are held by the registry (threadtree.h). The output channels and the
// lock that keeps a message or report whole are the messages' sink's
// (channels/channels.h), below the timers, which write their messages
// there.
struct TimeManager : ThreadTree {
  // Whether timing is on (the last value of TIMING_ON) is the registry's
  // enabled, beside the clear generation that every start reads too. What
  // decides it and why it was off are the timers' state, kept here: the
  // outputs above set outputAsked at load and read the rest for their hints
  // at exit.
  int outputAsked = 0;             // TIMETREE_OUTPUT names outputs: a clear
                                   // keeps timing on unless TIMING_ON is
                                   // set to an off value
  long timingReadPid = 0;          // the process whose clear read TIMING_ON
                                   // last; 0: none has
  int offNoted = 0;                // a start has met timing off
  long offHintPid = 0;             // the process in which that happened, to
                                   // be told at exit why; 0: none

  constexpr TimeManager() = default;
  TimeManager(const TimeManager&) = delete;
  TimeManager& operator=(const TimeManager&) = delete;
  // Unload: the outputs written and the channels closed (by the hooks), the
  // timers cleared, timing disabled.
  ~TimeManager();
};

// The one global timing state. It is constant-initialised, so it is valid
// before any constructor of the library or its host runs.
extern TimeManager g_timeManager;

// What the layers above the registry do at its moments: at unload, write
// the outputs and close the channels (before the last clear). Set by them
// when the library is loaded; null until then.
struct RegistryHooks {
  void (*unload)() = nullptr;
};
extern RegistryHooks g_hooks;

// The first start that finds timing off notes it, with the process; at
// exit the outputs say, once, why timing was off.
void NoteStartWhileOff() __attribute__((noinline));

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_DTIMEMGR_H
