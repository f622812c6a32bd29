/* timetree for C hosts (C99 and later, also valid C++): the timers, the
 * reports and channels, the exports and the run's metadata of <timetree.h>
 * as plain functions, and StopWatch through a handle, in the same
 * libtimetree.so.1. Each timetree_ function does what the Time function it
 * names does; the comments of <timetree.h> hold in full. Any thread may call
 * any of them. Not here, C++ only: the contexts (TimeCurrentContext,
 * TimeAdoptContext), the metadata visitor, the calls for timetree's own
 * components (TimeMarkThrottled, TimePairSeconds, TimeAddCostKind,
 * TimeWriteTraceEvents, TimeTraceOrigin), and the visitor's interval
 * extremes, bytes and throttled mark (timetree_timer_info stops at
 * names_merged and the whole name).
 *
 * Link -ltimetree (pkg-config: timetree; CMake: timetree::timetree). */
#ifndef TIMETREE_C_H
#define TIMETREE_C_H

#include <stddef.h>
#include <stdint.h>

#include "timetree_export.h"
/* Call sites' records (TIMETREE_SITE_INIT, timetree_site_start and
 * timetree_site_stop): see timetree_site.h. */
#include "timetree_site.h"

#ifdef __cplusplus
extern "C" {
#endif

/* TimeStartTimer / TimeStopTimer: names compare on their first 25
 * characters (their whole text under TIMETREE_NAMES=full); NULL is the
 * empty name. */
TIMETREE_API void timetree_start(const char* name);
TIMETREE_API void timetree_stop(const char* name);
/* The same, for a name of length bytes that is not terminated (as Fortran
 * passes one): no copy is made; a zero byte ends the name early. */
TIMETREE_API void timetree_start_n(const char* name, size_t length);
TIMETREE_API void timetree_stop_n(const char* name, size_t length);
/* TimeSeries: the timer name keeps a series over its steps. */
TIMETREE_API void timetree_series(const char* name);
/* TimeAddBytes: bytes that the current timer's interval moved. */
TIMETREE_API void timetree_add_bytes(unsigned long long bytes);
/* TimeClear, TimePrint, TimePrintIndented (unit NULL: "."), TimeComment. */
TIMETREE_API void timetree_clear(void);
TIMETREE_API void timetree_print(void);
TIMETREE_API void timetree_print_indented(const char* unit);
TIMETREE_API void timetree_comment(const char* text);
/* TimeOpenOStream, TimeCloseOStream, TimeCommentBuildInfo. */
TIMETREE_API void timetree_open(const char* path);
TIMETREE_API void timetree_close(void);
TIMETREE_API void timetree_build_info(void);
/* TimeWriteJson, TimeWriteFolded, TimeWriteFlameGraph: 1 when the file was
 * written whole, 0 otherwise (and then no file was created or touched,
 * unless it could not be written). */
TIMETREE_API int timetree_write_json(const char* path);
TIMETREE_API int timetree_write_folded(const char* path);
TIMETREE_API int timetree_write_flamegraph(const char* path);
/* TimeWriteTrace: the timeline (recorded while TIMETREE_TRACE is set); 1
 * when the file was written whole, 0 when nothing is recorded or it could
 * not be written. */
TIMETREE_API int timetree_write_trace(const char* path);

/* TimeSetMetadata: a key of the run's metadata; the last value wins. */
TIMETREE_API void timetree_set_metadata(const char* key, const char* value);

/* One timer, as timetree_for_each hands it over. The flags are 0 or 1. */
struct timetree_timer_info {
  int depth;                /* 0 for a top-level timer */
  const char* name;         /* its first 25 characters (the whole name is
                               full_name); valid during the call */
  int64_t count;            /* starts, exact */
  double total_seconds;     /* of the finished intervals */
  double self_seconds;      /* total less the children's totals, never below 0 */
  int stopped_implicitly;   /* the "?" of the indented report */
  int running;
  int names_merged;         /* started under names that differ past the 25th
                               character, counted as one timer */
  /* Added in 1.5: the name whole, and its length. */
  const char* full_name;
  size_t full_name_length;
};
typedef void (*timetree_visit_fn)(const struct timetree_timer_info* timer, void* context);
/* TimeForEachTimer64: every timer, parent before children, all threads'
 * timers merged by path. Returns 0, calling nothing, while timing is off,
 * when there are no timers or when visit is NULL; otherwise 1. visit must
 * not call the library. */
TIMETREE_API int timetree_for_each(timetree_visit_fn visit, void* context);

/* A StopWatch owned through a handle. new returns NULL when memory is short;
 * every other call accepts NULL and then does nothing (returning 0). One
 * watch is used by one thread at a time. */
typedef struct timetree_stopwatch timetree_stopwatch;
TIMETREE_API timetree_stopwatch* timetree_stopwatch_new(void);
TIMETREE_API void timetree_stopwatch_free(timetree_stopwatch* watch);
/* Counts a start and starts an interval (a running watch restarts it). */
TIMETREE_API void timetree_stopwatch_start(timetree_stopwatch* watch);
/* Ends the running interval, adds it to the total and returns it in
 * seconds; a watch that is not running is left as it is and returns 0. */
TIMETREE_API double timetree_stopwatch_stop(timetree_stopwatch* watch);
/* Seconds of the finished intervals. */
TIMETREE_API double timetree_stopwatch_seconds(const timetree_stopwatch* watch);
/* Starts since creation or the last reset; stops at INT_MAX. */
TIMETREE_API int timetree_stopwatch_count(const timetree_stopwatch* watch);
/* Returns the seconds, then sets the total and count to 0, not running. */
TIMETREE_API double timetree_stopwatch_reset(timetree_stopwatch* watch);

#ifdef __cplusplus
}
#endif

#ifndef TIMETREE_DISABLE
/* Time the calling function under its own name: START on entry, STOP
 * before every return. */
#define TIMETREE_FUNCTION_START() timetree_start(__func__)
#define TIMETREE_FUNCTION_STOP() timetree_stop(__func__)
#else
#define TIMETREE_FUNCTION_START() ((void)0)
#define TIMETREE_FUNCTION_STOP() ((void)0)
#endif

#endif /* TIMETREE_C_H */
