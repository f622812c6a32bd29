// A batch scheduler's signals, turned into the writing of the outputs.
#ifndef TIMETREE_OUTPUT_SIGNALS_H
#define TIMETREE_OUTPUT_SIGNALS_H

#include <signal.h>

namespace timetree {

// For the signals that TIMETREE_SIGNALS names (TERM,INT,XCPU,USR1 unless it
// says otherwise; "none" for none): a handler that does only what is safe
// in a handler, and a thread of the library's that calls write(signal) for
// each, then lets the program go on (SIGUSR1) or gives the signal back its
// disposition and sends it again.
void InstallSignals(void (*write)(int signal));

// At unload: every signal's disposition as it was, and the thread stopped.
void StopSignals();

}  // namespace timetree

#endif  // TIMETREE_OUTPUT_SIGNALS_H
