// Seeing nothing always comes with a reason: what the user gets of a run is
// noted as it happens, and when it is nothing, one line on standard error
// at exit says why and what to set (TIMETREE_QUIET=1 silences it). At load,
// a variable of the environment that looks like one of the library's but is
// not (TIMING_CONSOL, TIMETREE_OUTPUTS, timing_on) is named, with the one it
// probably meant.
#ifndef TIMETREE_OUTPUT_HINTS_H
#define TIMETREE_OUTPUT_HINTS_H

#include <string>
#include <vector>

namespace timetree {

// At unload: says, once, why timing was off when a start found it off
// (TIMING_ON unset, or set but never read by a clear); only in the process
// in which that happened, and not when TIMING_ON turned it off.
void WriteOffHint();

// At unload: says, once, when text went nowhere or when timers ran and
// nothing was written; only in the process that loaded the library.
void WriteExitHints();

// Forgets what was noted, as in a process that has just loaded the
// library; for tests.
void ResetHintsForTesting();

// For each variable of env (NAME=VALUE entries) that is not one of the
// library's but looks like one, the line that names it; pure, for tests.
std::vector<std::string> NearMisses(const char* const* env);

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_HINTS_H
