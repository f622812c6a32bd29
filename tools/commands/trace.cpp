// timetree trace: a timeline's summary, a row per thread: its events, span,
// busy time and busiest path, and what its recording dropped.
#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "lib/options.h"
#include "lib/table.h"
#include "lib/timeline.h"
#include "runformat/text.h"
#include "lib/io.h"

namespace timetree_cli {

namespace {

struct TraceOptions {
  std::string trace;
  bool seconds = false;
};

// A lane's busiest path: the path whose events add up to the most self time.
struct Busiest {
  std::string path;
  double self = 0;  // microseconds
};

Busiest BusiestPath(const Lane& lane, const std::vector<std::string>& names) {
  // Paths as (parent path, name) entries, each event's self time added to
  // its path and taken from its parent's.
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> ids;
  std::vector<std::pair<uint32_t, uint32_t>> entries;  // parent + 1 (0: none), name
  std::vector<double> self;
  std::vector<uint32_t> stack;  // the open events' paths
  std::vector<double> ends;
  for (const LaneEvent& event : lane.events) {
    while (ends.size() > event.depth) ends.pop_back(), stack.pop_back();
    const uint32_t parent = stack.empty() ? 0 : stack.back() + 1;
    const auto found = ids.emplace(std::make_pair(parent, event.name),
                                   static_cast<uint32_t>(entries.size()));
    if (found.second) {
      entries.emplace_back(parent, event.name);
      self.push_back(0);
    }
    const uint32_t id = found.first->second;
    self[id] += event.dur;
    if (parent != 0) self[parent - 1] -= event.dur;
    stack.push_back(id);
    ends.push_back(event.ts + event.dur);
  }
  Busiest busiest;
  if (self.empty()) return busiest;
  const auto top = static_cast<uint32_t>(std::max_element(self.begin(), self.end()) - self.begin());
  busiest.self = std::max(0.0, self[top]);
  std::vector<uint32_t> chain;
  for (uint32_t at = top + 1; at != 0; at = entries[at - 1].first) chain.push_back(at - 1);
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
    if (!busiest.path.empty()) busiest.path += ';';
    busiest.path += names[entries[*at].second];
  }
  return busiest;
}

}  // namespace

std::string TraceSummary(const Timeline& timeline, bool plain) {
  std::map<long long, int> processes;
  for (const Lane& lane : timeline.lanes) processes[lane.pid] = 1;
  std::string out = "TIMELINE " + Display(timeline.file) + ": " +
                    std::to_string(timeline.events) +
                    (timeline.events == 1 ? " event" : " events") + " on " +
                    std::to_string(timeline.lanes.size()) +
                    (timeline.lanes.size() == 1 ? " thread" : " threads");
  if (processes.size() > 1) out += " of " + std::to_string(processes.size()) + " processes";
  out += ", " + DurationWithUnit((timeline.end - timeline.start) / 1e6, plain) +
         " from the first start to the last end\n";
  if (timeline.lanes.empty()) return out + "no complete events (\"ph\": \"X\")\n";
  Table table({"PROCESS", "THREAD", "TID", "EVENTS", "DROPPED", "SPAN", "BUSY", "BUSIEST PATH",
               "SELF"});
  std::string notes;
  for (const Lane& lane : timeline.lanes) {
    double first = lane.events.front().ts, last = first, busy = 0;
    for (const LaneEvent& e : lane.events) {
      last = std::max(last, e.ts + e.dur);
      if (e.depth == 0) busy += e.dur;
    }
    const Busiest busiest = BusiestPath(lane, timeline.names);
    const std::string process =
        lane.process.empty() ? std::to_string(lane.pid) : lane.process;
    const std::string thread = lane.thread.empty() ? "-" : lane.thread;
    table.Add({Display(process), Display(thread), std::to_string(lane.tid),
               std::to_string(lane.events.size()), std::to_string(lane.dropped),
               Duration((last - first) / 1e6, plain), Duration(busy / 1e6, plain),
               Display(busiest.path), Duration(busiest.self / 1e6, plain)});
    const std::string who = "thread " + std::to_string(lane.tid) + " of " + Display(process);
    uint64_t running = 0;
    for (const LaneEvent& e : lane.events) running += e.running ? 1 : 0;
    if (running != 0) {
      notes += who + ": " + std::to_string(running) +
               (running == 1 ? " event was still running when the file was written: it ends"
                             : " events were still running when the file was written: they end") +
               " there\n";
    }
    if (lane.dropped != 0) {
      notes += who + ": " + std::to_string(lane.dropped) +
               " intervals not recorded (its buffer was full): its timeline ends early\n";
    }
    if (lane.overlapping != 0) {
      notes += who + ": " + std::to_string(lane.overlapping) +
               (lane.overlapping == 1 ? " event ends" : " events end") +
               " after the event that encloses it: the file does not nest properly\n";
    }
  }
  return out + table.Text() + notes;
}

int Trace(const TraceOptions& options, std::ostream& out) {
  OpenInput(options.trace);
  if (!IsTimeline(options.trace)) {
    throw InputError(options.trace +
                     ": not a timeline (no \"traceEvents\"): read a run with 'timetree show'");
  }
  out << TraceSummary(ReadTimeline(options.trace), options.seconds);
  return 0;
}

Subcommand AddTrace(CLI::App& app) {
  auto options = std::make_shared<TraceOptions>();
  TraceOptions& trace = *options;
  auto* trace_cmd = app.add_subcommand(
      "trace", "A timeline (TimeWriteTrace, TimeMpiWriteTrace, or any trace-event file's "
               "complete events) per thread: its events, the span from its first start to its "
               "last end, the time inside its outermost events, and its busiest path (the most "
               "self time), with the intervals a full buffer dropped.");
  trace_cmd->add_option("TRACE.json", trace.trace, "The timeline")->required();
  trace_cmd->add_flag("--seconds", trace.seconds,
                      "Times in plain seconds rather than a unit (ns, \u00b5s, ms, s) per value");
  trace_cmd->footer("Example: timetree trace trace.json");
  return {trace_cmd, [options] {
    const TraceOptions& trace = *options;
    return Trace(trace, std::cout);
  }};
}

}  // namespace timetree_cli
