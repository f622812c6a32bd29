// The library's unload as the outputs see it: the timing state's destructor
// calls this first, while the timers and channels are still there.
#include "include/timetree.h"
#include "output/envoutput.h"
#include "output/hints.h"
#include "registry/dtimemgr.h"

namespace timetree {

namespace {

// What TIMETREE_OUTPUT asks for, the signals given back, the hints of a
// run that showed nothing; then the channels closed, so that the last
// clear's messages go nowhere, as they always did.
void Unload() {
  WriteEnvironmentOutputs();
  StopEnvironmentOutput();
  WriteOffHint();
  WriteExitHints();
  TimeCloseOStream();
}

struct Hooks {
  Hooks() { g_hooks.unload = &Unload; }
} g_setHooks;

}  // namespace

}  // namespace timetree
