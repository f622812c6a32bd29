// Output named by the environment: TIMETREE_OUTPUT lists what the library
// writes when the process exits, and TIMETREE_SIGNALS the signals on which
// it writes the same at once (a batch job about to be killed).
#ifndef TIMETREE_OUTPUT_ENVOUTPUT_H
#define TIMETREE_OUTPUT_ENVOUTPUT_H

namespace timetree {

// Writes every output of TIMETREE_OUTPUT now; nothing when it named none,
// or in a process other than the one that loaded the library (a forked
// child). Safe from any thread but a signal handler.
void WriteEnvironmentOutputs();

// At unload: the signal thread stopped and every signal's disposition as
// it was before the library's.
void StopEnvironmentOutput();

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_ENVOUTPUT_H
