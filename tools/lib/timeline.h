// Reading a timeline: a trace-event JSON file (what TimeWriteTrace and
// TimeMpiWriteTrace write, or any producer's complete events), as lanes of
// events, one lane per thread of each process.
#ifndef TIMETREE_TOOLS_LIB_TIMELINE_H
#define TIMETREE_TOOLS_LIB_TIMELINE_H

#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

#include "runformat/combined.h"

namespace timetree_cli {

struct LaneEvent {
  uint32_t name;   // index into Timeline::names
  uint32_t depth;  // 0 for an event no other encloses on its thread
  double ts;       // microseconds
  double dur;
  bool implicit;   // closed by a stop that named an outer timer
  bool running;    // still running when the file was written
};

struct Lane {
  long long pid = 0, tid = 0;
  std::string process, thread;  // the names the file gives, if any
  uint64_t dropped = 0;         // intervals the recording left out
  uint64_t overlapping = 0;     // events that end after the event enclosing them
  std::vector<LaneEvent> events;  // by start, each before those it encloses
};

struct Timeline {
  std::string file;
  std::vector<std::string> names;
  std::vector<Lane> lanes;  // by pid, then in the order first met
  double start = 0, end = 0;  // microseconds: the first start, the last end
  uint64_t events = 0;
  timetree::combined::Metadata metadata;
  // The real-time clock, in nanoseconds since 1970, at ts 0 (otherData's
  // "clock_origin_unix_ns"), when the file gives it.
  bool has_origin = false;
  long long origin_unix_ns = 0;
};

// Whether the file at path holds a timeline rather than a run: its first
// significant characters open an array, or an object whose members include
// "traceEvents" before "schema". Reads only as far as it must.
bool IsTimeline(const std::string& path);

// Reads the file at path as it streams past, keeping only what the lanes
// need; throws InputError.
Timeline ReadTimeline(const std::string& path);
// The same from in; file only names it in messages.
Timeline ParseTimeline(std::istream& in, const std::string& file);

// The report page's data for a timeline (mode "trace").
std::string TimelinePageData(const Timeline& timeline);

}  // namespace timetree_cli

#endif  // TIMETREE_TOOLS_LIB_TIMELINE_H
