// timetree: named, nested timers for measuring how long stretches of a
// host's own code take, and the StopWatch they are built on.
//
// Threads: every function may be called from any thread at any time. Each
// thread that starts a timer times in a tree of its own, without a lock;
// reports and exports show the trees of all threads merged by path, and a
// clear empties every thread's tree. A StopWatch object is still used by one
// thread at a time.
//
// Switches (environment variables, read when named below): TIMING_ON turns
// timing on, TIMING_FILE and TIMING_CONSOLE open the file and the console
// (standard output) channel. Values: unset, empty, 0, off, false, no are
// off; 1, on, true, yes, any other integer or text is on.
#ifndef TIMETREE_H
#define TIMETREE_H

#include <cstddef>

#include "StopWatch.h"
#include "timetree_site.h"

// --------------------------------------------------------------------------
// Timers and scopes
// --------------------------------------------------------------------------

// Starts the timer name under the current timer, creating it on its first
// start, and makes it current. Names compare on their first 25 characters;
// null is the empty name. A start whose name differs from the timer's only
// after the 25th character is counted in it, and said once per timer on
// standard error ("names_merged" in the JSON). With TIMETREE_NAMES=full
// (read when the library loads) names compare on their whole text instead
// (see docs/names.md). Counts are 64-bit. Ignored
// while timing is off; when TIMING_ON was never set, one line on standard
// error at exit says how to turn timing on (TIMETREE_QUIET=1 silences it).
TIMETREE_API void TimeStartTimer(const char* name);

// Stops the current timer and makes its parent current. When name is not
// the current timer's, the stop goes on outwards until it has stopped the
// timer of that name, marking the inner ones "stopped implicitly"; when no
// running timer has that name it stops them all and writes a message. With
// no timer running it writes a message. Ignored while timing is off.
TIMETREE_API void TimeStopTimer(const char* name);

// Deletes every timer of every thread (writing a message when one of the
// calling thread's was still running) and reads TIMING_ON afresh. A thread
// that was inside a timer finds, at its next stop, no timer running.
TIMETREE_API void TimeClear();

// Makes the timer name (its whole name) the step of a loop: it and every
// timer made under it keep a series over its intervals, each one's time
// within each step, written as "series" in the JSON (see docs/series.md).
// As TIMETREE_SERIES=name does from the environment; applies to the timers
// made after the call (call it before the loop, or clear).
TIMETREE_API void TimeSeries(const char* name);

#ifndef TIMETREE_DISABLE

// Starts timer name for the lifetime of the object, so that an early return
// or an exception cannot skip the stop. name is kept, not copied: it must
// stay valid until the scope ends (a string literal always does).
class TimeScope {
 public:
  explicit TimeScope(const char* name) noexcept : name_(name) {
    TimeStartTimer(name_);
  }
  ~TimeScope() { TimeStopTimer(name_); }
  TimeScope(const TimeScope&) = delete;
  TimeScope& operator=(const TimeScope&) = delete;

 private:
  const char* name_;
};

namespace timetree_site_detail {
// Whether a scope's name is constant text: an array of const char (a string
// literal, __func__), whose call site may keep a record (timetree_site.h).
// Any other name (a pointer, a buffer that changes) is timed by name.
template <class T>
struct ConstantName {
  static constexpr unsigned kValue = 0;
};
template <std::size_t N>
struct ConstantName<const char (&)[N]> {
  static constexpr unsigned kValue = TIMETREE_SITE_CONSTANT;
};
}  // namespace timetree_site_detail

// A TimeScope through the record of its call site: the same timer, started
// and stopped inline where the record allows (see timetree_site.h); by name
// alone when the name is not constant text.
template <unsigned kConstant>
class TimeSiteScope {
 public:
  TIMETREE_SITE_UNTIMED TimeSiteScope(timetree_site* site, const char* name) noexcept
      : site_(site), name_(name) {
    if (kConstant != 0) {
      timetree_site_start_as(site_, name_);
    } else {
      TimeStartTimer(name_);
    }
  }
  TIMETREE_SITE_UNTIMED ~TimeSiteScope() {
    if (kConstant != 0) {
      timetree_site_stop_as(site_, name_);
    } else {
      TimeStopTimer(name_);
    }
  }
  TimeSiteScope(const TimeSiteScope&) = delete;
  TimeSiteScope& operator=(const TimeSiteScope&) = delete;

 private:
  timetree_site* site_;
  const char* name_;
};

#define TIMETREE_CONCAT_INNER(a, b) a##b
#define TIMETREE_CONCAT(a, b) TIMETREE_CONCAT_INNER(a, b)
// Times the rest of the enclosing block as timer name, through a record of
// the call site when name is a string literal or __func__ (any array of
// const char, whose text must then not change).
#define TIMETREE_SCOPE(name)                                                                 \
  static timetree_site TIMETREE_CONCAT(timetree_site_, __LINE__) = TIMETREE_SITE_INIT_FLAGS( \
      nullptr, timetree_site_detail::ConstantName<decltype((name))>::kValue);                \
  const TimeSiteScope<timetree_site_detail::ConstantName<decltype((name))>::kValue>          \
  TIMETREE_CONCAT(timetree_scope_, __LINE__)(&TIMETREE_CONCAT(timetree_site_, __LINE__), (name))
// Times the rest of the enclosing function under the function's own name.
#define TIMETREE_FUNCTION_SCOPE() TIMETREE_SCOPE(__func__)

#else  // TIMETREE_DISABLE

// Instrumentation compiled out: a host that defines TIMETREE_DISABLE before
// including this header (or on its compiler's command line) keeps its scopes
// in the code at no cost. The scope neither evaluates its name nor calls the
// library; the library's functions stay declared, so direct calls still link.
// The empty class has a name of its own, so that a program whose files
// differ on TIMETREE_DISABLE still has one definition of each class. The
// name is still compiled, in a branch that never runs, so that it stays
// checked and a function used only for names does not count as unused.
class TimeScopeCompiledOut {
 public:
  explicit TimeScopeCompiledOut(const char*) noexcept {}
  TimeScopeCompiledOut(const TimeScopeCompiledOut&) = delete;
  TimeScopeCompiledOut& operator=(const TimeScopeCompiledOut&) = delete;
};
using TimeScope = TimeScopeCompiledOut;

#define TIMETREE_SCOPE(name)            \
  do {                                  \
    if (false) static_cast<void>(name); \
  } while (false)
#define TIMETREE_FUNCTION_SCOPE() TIMETREE_SCOPE(__func__)

#endif  // TIMETREE_DISABLE

// --------------------------------------------------------------------------
// Reports and channels
// --------------------------------------------------------------------------

// Flat report: a header and one row per timer name, counts and seconds
// summed over the whole tree (all threads' trees merged by path). Writes nothing while timing is off or when
// there are no timers; starts with a warning line while a timer runs.
TIMETREE_API void TimePrint();

// Indented report: one row per timer (per path of all threads' timers),
// each level indented by unit (null, empty or 8 characters and longer mean
// "."); a "?" marks timers stopped implicitly, and a note follows the table
// when there are any.
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

// --------------------------------------------------------------------------
// Exports
// --------------------------------------------------------------------------

// Exports of the whole tree, written to the file at path whole: to a
// temporary file beside it, renamed over it when complete, so that a reader
// (or a job killed meanwhile) finds the old file or the new one, never a
// part (a device such as /dev/null is written as it is). Each returns true
// when the file was written, and false, without creating or touching any
// file, while timing is off, when there are no timers or when path is null;
// false also when the file could not be written (errno then says why). The
// tree is not changed: a running timer counts its time up to the export,
// its current interval included, and is marked running. Self time is a
// timer's total less its children's totals, never below 0.

// JSON: the whole tree ("timers", every thread's merged by path), each
// thread's own ("threads") and the run's "metadata", in the schema that
// docs/exports.md describes field by field. Names are escaped; bytes that
// are not UTF-8 become U+FFFD.
TIMETREE_API bool TimeWriteJson(const char* path);

// Folded stacks for flame-graph tools: one line per timer,
// "outer;inner;leaf <self microseconds>". In names, ";" becomes ":",
// white space and control characters "_", and an empty name "(empty)".
// Each line holds the timer's whole path, so the file grows with the square
// of the nesting depth.
TIMETREE_API bool TimeWriteFolded(const char* path);

// A self-contained SVG flame graph: one box per timer, its width in
// proportion to its total time, labelled, with a tooltip giving name, count
// and seconds. Nothing is fetched from elsewhere.
TIMETREE_API bool TimeWriteFlameGraph(const char* path);

// The timeline (recorded only while TIMETREE_TRACE is set: a number of
// events per thread, or 1/on for 1,000,000) as a trace-event JSON file that
// Perfetto, chrome://tracing and speedscope open: one complete event ("ph":
// "X") per finished interval, "ts" and "dur" in microseconds from the
// library's load, in multiples of 1/1024 (so that a reader's ts + dur is
// exact), "pid" the process, "tid" the thread,
// properly nested per thread; "process_name" and "thread_name" metadata
// events; an interval closed by a stop that named an outer timer has
// "args": {"stopped_implicitly": true}, and a timer still running ends at
// the call with "args": {"running": true}. A thread whose buffer filled keeps
// its first events; its "thread_name" event gives "dropped", the count of
// intervals not recorded, and an instant event says so on its lane.
// "otherData" holds the counts, "metadata" the run's metadata. False when
// nothing is recorded (TIMETREE_TRACE unset) or the file cannot be written
// whole.
TIMETREE_API bool TimeWriteTrace(const char* path);

// --------------------------------------------------------------------------
// Run data
// --------------------------------------------------------------------------

// Sets a key of the run's metadata, written with the JSON export (its
// "metadata" object) beside what the library collects itself: program,
// arguments, host, pid, start_time and end_time (UTC), timetree_version,
// threads, clock and clock_frequency, os, cpu, and a key for each
// TIMETREE_META_<KEY> environment variable (named in lower case). Any
// thread may call it; the last value of a key wins, also over a collected
// one. A null or empty key is ignored; a null value is empty.
TIMETREE_API void TimeSetMetadata(const char* key, const char* value);

// Hands every key of the run's metadata and its value (numbers as text) to
// visit, in the order the JSON export writes them. visit must not call the
// library. For combining processes (see timetree_mpi.h).
TIMETREE_API void TimeForEachMetadata(void (*visit)(const char* key, const char* value,
                                                    void* context),
                                      void* context);

// One timer, as TimeForEachTimer64 hands it over.
struct TimeTimerInfo64 {
  int depth;                // 0 for a top-level timer
  const char* name;         // whole (see name_length); valid during the call
  int64_t count;            // starts, exact
  double total_seconds;     // of the finished intervals, and of a running
                            // timer's current one up to the call
  double self_seconds;      // total less the children's totals, never below 0
  bool stopped_implicitly;  // the "?" of the indented report
  bool running;
  bool names_merged;        // started under names that differ past the 25th
                            // character, counted as one timer
  // Added in 1.4 (the library hands its own object to the visitor, so a
  // host built against the fields above reads them as before):
  double min_interval_seconds;  // the shortest and the longest single
  double max_interval_seconds;  // interval (a running one counts in the
                                // longest as far as it has run); 0 when
                                // count is 0
  uint64_t bytes;               // added by TimeAddBytes; UINT64_MAX: the
                                // sum passed it and stays there
  bool throttled;               // see TimeMarkThrottled
  // Added in 1.5: name's length. Before 1.5 name was cut to its first 25
  // characters; it is whole now (TimeForEachTimer keeps the cut form).
  size_t name_length;
  // Added in 1.6: the counters TIMETREE_COUNTERS asked for (bit i set:
  // counter_values[i] holds cpu_seconds, page_faults, context_switches,
  // rss_growth_bytes, peak_rss_bytes, cycles, instructions, cache_misses,
  // branch_misses, in that order; see docs/counters.md), 0 without.
  unsigned counters;
  double counter_values[9];
  // Also added in 1.6: its series over a loop's steps (TIMETREE_SERIES;
  // see docs/series.md): series_points points of series_every steps each,
  // series_steps in all, their seconds and longest step's seconds (valid
  // during the call); series_every is 0 for a timer without one.
  int64_t series_every;
  int64_t series_steps;
  size_t series_points;
  const double* series_seconds;
  const double* series_max_seconds;
  bool series_inexact;  // read while its points were being folded
};

// Hands every timer to visit, parent before children, in the order of the
// indented report: all threads' timers merged by path. Returns false, calling
// nothing, while timing is off or when there are no timers. The timers are
// held for the call: visit must not call the library. For the host's own
// formats and for combining processes (see timetree_mpi.h).
TIMETREE_API bool TimeForEachTimer64(void (*visit)(const TimeTimerInfo64& timer, void* context),
                                     void* context);

// The first form of the visitor, kept for hosts built against it: its count
// is an int, which stops at INT_MAX (2,147,483,647) for a timer started more
// often. New code uses TimeForEachTimer64.
struct TimeTimerInfo {
  int depth;
  const char* name;
  int count;  // starts, at most INT_MAX
  double total_seconds;
  double self_seconds;
  bool stopped_implicitly;
  bool running;
};
TIMETREE_API bool TimeForEachTimer(void (*visit)(const TimeTimerInfo& timer, void* context),
                                   void* context);

// --------------------------------------------------------------------------
// Threads and contexts
// --------------------------------------------------------------------------

// A thread's timer path, handed to another thread so that the timers that
// thread starts at its top level nest where its work was spawned (a worker
// of a pool, an OpenMP task: see docs/threads.md). Copy it freely; its
// fields are the library's own.
struct TimeContext {
  const void* path;     // null: the empty context
  uint64_t generation;  // the clear it belongs to
};

// The calling thread's current timer path: its running timer's, else the
// path it adopted; empty while timing is off or when there is none. Valid
// until the next clear; after it, the context is empty.
TIMETREE_API TimeContext TimeCurrentContext();

// Makes the calling thread's next top-level timers start under the path of
// context (until another call, or the thread's end), and returns the
// context adopted before. The empty context (or one taken before the last
// clear) goes back to the top. Timers of the thread that run at the call
// stay where they are. The path's timers are made in the thread's own tree
// without being started (count 0), so reports and exports merge the
// thread's timers under the spawner's rows.
TIMETREE_API TimeContext TimeAdoptContext(TimeContext context);

// Adopts context for the lifetime of the object, then the context adopted
// before.
class TimeContextScope {
 public:
  explicit TimeContextScope(TimeContext context) noexcept
      : previous_(TimeAdoptContext(context)) {}
  ~TimeContextScope() { TimeAdoptContext(previous_); }
  TimeContextScope(const TimeContextScope&) = delete;
  TimeContextScope& operator=(const TimeContextScope&) = delete;

 private:
  TimeContext previous_;
};

// --------------------------------------------------------------------------
// For timetree's own components
// --------------------------------------------------------------------------

// The same for a name that a program or a tool made rather than a person
// (a function's demangled symbol, an MPI call, a kernel): compared on its
// whole text whatever TIMETREE_NAMES says, so that names alike in their
// first 25 characters are different timers. name is terminated, and length
// is its length (strlen), which a caller that keeps its names knows, so
// that no start measures it again. timetree's own components name their
// timers so.
TIMETREE_API void TimeStartWholeName(const char* name, size_t length);
TIMETREE_API void TimeStopWholeName(const char* name, size_t length);

// Adds bytes to the calling thread's current timer: data that its interval
// moved (the MPI component gives each MPI call's message size), summed per
// timer, merged like counts, written as "bytes" in the JSON and shown by
// timetree show. Nothing without a running timer or while timing is off.
TIMETREE_API void TimeAddBytes(unsigned long long bytes);

// Adds to the calling thread's running timers (the current one and every
// one it runs in) what the current interval did to memory of the named
// space: bytes allocated and freed, summed per timer, and live, the bytes
// of that space live right after an allocation (given with allocated > 0),
// of which each timer keeps the most. The Kokkos tool gives each of
// Kokkos' allocations and frees. Written as "memory" in the JSON, by space
// (the first 31 characters of its name, at most 8 spaces a run), and shown
// by timetree show. Nothing without a running timer or while timing is off.
TIMETREE_API void TimeAddMemory(const char* space, unsigned long long allocated,
                                unsigned long long freed, unsigned long long live);

// Marks every timer of the calling thread named name "throttled": its
// caller stopped timing it, so its figures stop early (the instrumented
// functions' library does so for a function too short to time). Written as
// "throttled" in the JSON, said by timetree show.
TIMETREE_API void TimeMarkThrottled(const char* name);

// What one timer pair (a start and a stop of an existing timer, depth 1)
// costs on this machine, in seconds: measured once, on the calling thread,
// the first time it is asked for (a few thousand pairs on a timer that no
// report shows: a fraction of a millisecond, and up to 10 ms more within
// 10 ms of the library's load, while the counter's rate is measured). The
// JSON's metadata gives it with the
// run's estimated cost of timing; the instrumented functions' library
// throttles by it.
TIMETREE_API double TimePairSeconds();

// For timetree's own components: work that timing does besides the timer
// pairs (the hooks of instrumented functions, a trial's clock reads), so
// that the metadata's "timing_cost_seconds" counts all of it. Whenever the
// metadata is collected, measure gives how often the work was done so far
// and what once costs, as the component measures it (it must not call the
// library). Written as "timing_KIND" and "timing_KIND_seconds", their
// products summed in "timing_other_seconds". A kind given again replaces
// its first; at most 8 kinds.
TIMETREE_API void TimeAddCostKind(const char* kind,
                                  void (*measure)(uint64_t* count, double* seconds_each));

// For writers that put several processes' timelines into one file (see
// timetree_mpi.h): this process's events, each preceded by ",\n", handed to
// write in pieces (write returns false to stop), with pid as the process
// and times counted from origin_ns, a CLOCK_MONOTONIC reading in
// nanoseconds; process_name names the process (null: the program). False
// when nothing is recorded or write failed.
TIMETREE_API bool TimeWriteTraceEvents(long pid, long long origin_ns, const char* process_name,
                                       bool (*write)(const char* text, unsigned long size,
                                                     void* context),
                                       void* context);

// The CLOCK_MONOTONIC reading, in nanoseconds, at which this process's
// timeline starts (the library's load).
TIMETREE_API long long TimeTraceOrigin();

#endif  // TIMETREE_H
