// timetree: named, nested timers for measuring how long stretches of a
// host's own code take, and the StopWatch they are built on.
//
// Threads: the library keeps one global state and takes no lock. Call it
// from one thread at a time.
//
// Switches (environment variables, read when named below): TIMING_ON turns
// timing on, TIMING_FILE and TIMING_CONSOLE open the file and the console
// (standard output) channel. Values: unset, empty, 0, off, false, no are
// off; 1, on, true, yes, any other integer or text is on.
#ifndef TIMETREE_H
#define TIMETREE_H

#include "StopWatch.h"

// Starts the timer name under the current timer, creating it on its first
// start, and makes it current. Names compare on their first 25 characters;
// null is the empty name. Ignored while timing is off.
TIMETREE_API void TimeStartTimer(const char* name);

// Stops the current timer and makes its parent current. When name is not
// the current timer's, the stop goes on outwards until it has stopped the
// timer of that name, marking the inner ones "stopped implicitly"; when no
// running timer has that name it stops them all and writes a message. With
// no timer running it writes a message. Ignored while timing is off.
TIMETREE_API void TimeStopTimer(const char* name);

// Deletes every timer (writing a message when one was still running) and
// reads TIMING_ON afresh.
TIMETREE_API void TimeClear();

// Flat report: a header and one row per timer name, counts and seconds
// summed over the whole tree. Writes nothing while timing is off or when
// there are no timers; starts with a warning line while a timer runs.
TIMETREE_API void TimePrint();

// Indented report: one row per timer, each level indented by unit (null,
// empty or 8 characters and longer mean "."); a "?" marks timers stopped
// implicitly, and a note follows the table when there are any.
TIMETREE_API void TimePrintIndented(const char* unit);

// Writes text verbatim (no newline added) to each open channel. Null writes
// nothing. Works whether or not timing is on.
TIMETREE_API void TimeComment(const char* text);

// Clears every timer and reads TIMING_ON (see TimeClear), then opens or
// closes the file channel by TIMING_FILE (path is created or truncated; an
// open file stays open and the new path is ignored; null opens nothing) and
// the console channel by TIMING_CONSOLE.
TIMETREE_API void TimeOpenOStream(const char* path);

// Closes both channels (standard output itself is never closed) and lets the
// next TimeCommentBuildInfo write its banner again.
TIMETREE_API void TimeCloseOStream();

// Writes, once until the next TimeCloseOStream, the build date (last-write
// time, UTC, of the file named by TIMING_BUILD_MARKER, else /x/BSCFILES.TXT)
// and the test machine's processor class. Either line is left out when it
// cannot be had.
TIMETREE_API void TimeCommentBuildInfo();

#endif  // TIMETREE_H
