// Timelines (see trace.h), and 'timetree trace': a summary per thread.
#include "lib/timeline.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <cmath>
#include <fstream>
#include <map>
#include <ostream>
#include <unordered_map>

#include "commands/commands.h"
#include "runformat/text.h"
#include "lib/run.h"
#include "lib/table.h"

namespace timetree_cli {

namespace {

using nlohmann::json;

// Decides between a timeline and a run from the top level's first member
// that tells them apart; stops there.
struct Sniffer : nlohmann::json_sax<json> {
  int depth = 0;
  bool timeline = false;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return ++depth, true; }
  bool end_object() override { return --depth, true; }
  bool start_array(std::size_t) override {
    if (depth == 0) timeline = true;
    return depth == 0 ? false : (++depth, true);
  }
  bool end_array() override { return --depth, true; }
  bool key(string_t& key) override {
    if (depth != 1) return true;
    if (key == "traceEvents") timeline = true;
    return !(key == "traceEvents" || key == "schema" || key == "timers");
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

// Keeps, of each event, what the lanes need, as the file streams past.
class Reader : public nlohmann::json_sax<json> {
 public:
  explicit Reader(Timeline& timeline) : t_(timeline) {}

  bool null() override {
    NotANumber();
    return true;
  }
  bool boolean(bool value) override {
    NotANumber();
    if (InArgs() && key_ == "stopped_implicitly") event_.implicit = value;
    if (InArgs() && key_ == "running") event_.running = value;
    return true;
  }
  bool number_integer(number_integer_t value) override {
    Origin(static_cast<long long>(value));
    return Number(static_cast<double>(value), true, static_cast<long long>(value));
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (value <= static_cast<number_unsigned_t>(LLONG_MAX)) Origin(static_cast<long long>(value));
    return Number(static_cast<double>(value), value <= static_cast<number_unsigned_t>(LLONG_MAX),
                  static_cast<long long>(value));
  }
  bool number_float(number_float_t value, const string_t& text) override {
    if (InMetadata()) t_.metadata.emplace_back(key_, text);
    return Number(value, false, 0);
  }
  bool string(string_t& value) override {
    NotANumber();
    if (InMetadata()) t_.metadata.emplace_back(key_, value);
    if (InEvent()) {
      if (key_ == "ph") event_.ph = value;
      if (key_ == "name") event_.name = value;
    } else if (InArgs() && key_ == "name") {
      event_.arg_name = value;
    }
    return true;
  }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    NotANumber();
    ++depth_;
    if (events_depth_ != 0 && depth_ == events_depth_ + 1) {
      event_ = Event{};
      ++index_;
    }
    return true;
  }
  bool end_object() override {
    if (events_depth_ != 0 && depth_ == events_depth_ + 1) Finish();
    if (depth_ == metadata_depth_) metadata_depth_ = 0;
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    NotANumber();
    ++depth_;
    // The events: the top level itself, or its member traceEvents.
    if (depth_ == 1 || (depth_ == 2 && key_ == "traceEvents")) {
      events_depth_ = depth_;
      where_ = depth_ == 1 ? "" : "traceEvents";
      index_ = -1;
    }
    return true;
  }
  bool end_array() override {
    if (depth_ == events_depth_) events_depth_ = 0;
    --depth_;
    return true;
  }
  bool key(string_t& key) override {
    key_ = key;
    if (depth_ == 1) {
      metadata_depth_ = key == "metadata" ? 2 : 0;
      in_other_ = key == "otherData";
    }
    return true;
  }
  bool parse_error(std::size_t at, const std::string&,
                   const nlohmann::detail::exception& e) override {
    std::string what = e.what();
    const size_t cut = what.find("] ");
    throw InputError(t_.file + ": not JSON (at byte " + std::to_string(at) +
                     "): " + (cut != std::string::npos ? what.substr(cut + 2) : what));
  }

  // Sorts each lane's events and finds their depths.
  void Close();

 private:
  struct Event {
    std::string ph, name, arg_name;
    double ts = 0, dur = 0;
    long long pid = 0, tid = 0;
    uint64_t dropped = 0;
    bool has_ts = false, has_dur = false, implicit = false, running = false;
  };

  // otherData's clock origin.
  void Origin(long long value) {
    if (in_other_ && depth_ == 2 && key_ == "clock_origin_unix_ns") {
      t_.has_origin = true;
      t_.origin_unix_ns = value;
    }
  }

  bool InEvent() const { return events_depth_ != 0 && depth_ == events_depth_ + 1; }
  bool InArgs() const { return events_depth_ != 0 && depth_ == events_depth_ + 2; }
  bool InMetadata() const { return metadata_depth_ != 0 && depth_ == metadata_depth_; }

  // A figure of an event that cannot be: refused with the event's place.
  [[noreturn]] void Refuse(const std::string& what) const {
    throw InputError(t_.file + ": " + where_ + "[" + std::to_string(index_) + "]." + key_ + ": " +
                     what);
  }
  bool Figure() const {
    return InEvent() && (key_ == "ts" || key_ == "dur" || key_ == "pid" || key_ == "tid");
  }
  void NotANumber() const {
    if (Figure()) Refuse("not a number");
  }

  bool Number(double value, bool whole, long long integer) {
    if (InMetadata() && whole) t_.metadata.emplace_back(key_, std::to_string(integer));
    if (Figure()) {
      // Times in microseconds; a ts may be negative (an MPI rank that
      // started before rank 0), a duration or a process number may not.
      if (!std::isfinite(value) || std::fabs(value) > 1e21) {
        Refuse("more than 1e15 seconds (32 million years): not a time");
      }
      if ((key_ == "pid" || key_ == "tid") && !whole) Refuse("not a whole number");
      if ((key_ == "dur" || key_ == "pid") && value < 0) Refuse("negative");
    }
    if (InEvent()) {
      if (key_ == "ts") event_.ts = value, event_.has_ts = true;
      if (key_ == "dur") event_.dur = value, event_.has_dur = true;
      if (key_ == "pid" && whole) event_.pid = integer;
      if (key_ == "tid" && whole) event_.tid = integer;
    } else if (InArgs() && key_ == "dropped" && whole && integer > 0) {
      event_.dropped = static_cast<uint64_t>(integer);
    }
    return true;
  }

  Lane& LaneOf(long long pid, long long tid) {
    const auto found = lanes_.emplace(std::make_pair(pid, tid), t_.lanes.size());
    if (found.second) {
      t_.lanes.emplace_back();
      t_.lanes.back().pid = pid;
      t_.lanes.back().tid = tid;
    }
    return t_.lanes[found.first->second];
  }

  uint32_t NameIndex(const std::string& name) {
    const auto found = names_.emplace(name, static_cast<uint32_t>(t_.names.size()));
    if (found.second) t_.names.push_back(name);
    return found.first->second;
  }

  void Finish() {
    if (event_.ph == "X") {
      if (!event_.has_ts || !event_.has_dur) {
        key_ = event_.has_ts ? "dur" : "ts";
        Refuse("missing from a complete event");
      }
      Lane& lane = LaneOf(event_.pid, event_.tid);
      lane.events.push_back(LaneEvent{NameIndex(event_.name), 0, event_.ts,
                                       std::max(0.0, event_.dur), event_.implicit,
                                       event_.running});
    } else if (event_.ph == "M" && event_.name == "thread_name") {
      Lane& lane = LaneOf(event_.pid, event_.tid);
      lane.thread = event_.arg_name;
      lane.dropped += event_.dropped;
    } else if (event_.ph == "M" && event_.name == "process_name") {
      processes_[event_.pid] = event_.arg_name;
    }
  }

  Timeline& t_;
  int depth_ = 0;
  int events_depth_ = 0;
  int metadata_depth_ = 0;
  long index_ = -1;         // the current event's place in its array
  std::string where_;       // the array: "traceEvents", or "" at the top
  bool in_other_ = false;  // inside the top level's "otherData"
  std::string key_;
  Event event_;
  std::map<std::pair<long long, long long>, size_t> lanes_;
  std::unordered_map<std::string, uint32_t> names_;
  std::map<long long, std::string> processes_;
};

void Reader::Close() {
  // Lanes without events (a thread that only named itself) are left out.
  t_.lanes.erase(std::remove_if(t_.lanes.begin(), t_.lanes.end(),
                                [](const Lane& lane) { return lane.events.empty(); }),
                 t_.lanes.end());
  std::stable_sort(t_.lanes.begin(), t_.lanes.end(),
                   [](const Lane& a, const Lane& b) { return a.pid < b.pid; });
  bool first = true;
  for (Lane& lane : t_.lanes) {
    const auto process = processes_.find(lane.pid);
    if (process != processes_.end()) lane.process = process->second;
    // By start; of two that start together, the longer encloses the other.
    std::stable_sort(lane.events.begin(), lane.events.end(),
                     [](const LaneEvent& a, const LaneEvent& b) {
                       return a.ts < b.ts || (a.ts == b.ts && a.dur > b.dur);
                     });
    std::vector<double> ends;
    for (LaneEvent& event : lane.events) {
      // Within half a nanosecond: files written with three decimals may
      // add up to an end a unit of the last place past the next start.
      while (!ends.empty() && ends.back() <= event.ts + 5e-4) ends.pop_back();
      // Rounding to the file's microseconds may push an end past its
      // enclosing one by a little.
      if (!ends.empty() && event.ts + event.dur > ends.back() + 1e-3) ++lane.overlapping;
      event.depth = static_cast<uint32_t>(ends.size());
      ends.push_back(event.ts + event.dur);
      if (first || event.ts < t_.start) t_.start = event.ts;
      if (first || event.ts + event.dur > t_.end) t_.end = event.ts + event.dur;
      first = false;
    }
    t_.events += lane.events.size();
  }
}

// A lane's label: its process, then the thread's own name where the host
// gave it one (a thread the host never named carries the program's name,
// cut to 15 characters, which says nothing), and its tid.
std::string LaneLabel(const Lane& lane, const std::string& program) {
  std::string label = lane.process.empty() ? "pid " + std::to_string(lane.pid) : lane.process;
  label += " \u00b7 ";
  const bool unnamed = lane.thread.empty() || lane.thread == program.substr(0, 15) ||
                       lane.thread == lane.process.substr(0, 15);
  if (!unnamed) label += lane.thread + " (";
  label += "tid " + std::to_string(lane.tid);
  if (!unnamed) label += ")";
  return label;
}

}  // namespace

bool IsTimeline(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  Sniffer sniffer;
  json::sax_parse(in, &sniffer);
  return sniffer.timeline;
}

Timeline ParseTimeline(std::istream& in, const std::string& file) {
  Timeline timeline;
  timeline.file = file;
  Reader reader(timeline);
  json::sax_parse(in, &reader);
  if (in.bad()) throw InputError(file + ": cannot be read");
  reader.Close();
  return timeline;
}

Timeline ReadTimeline(const std::string& path) {
  std::ifstream in = OpenInput(path);
  return ParseTimeline(in, path);
}

std::string TimelinePageData(const Timeline& timeline) {
  std::string program;
  for (const auto& entry : timeline.metadata) {
    if (entry.first == "program") program = entry.second;
  }
  std::string out;
  out += "{\"mode\": \"trace\", \"file\": \"";
  timetree::AppendJsonString(out, timeline.file.c_str());
  timetree::AppendFormat(out, "\", \"total\": %.9g, \"events\": %llu, \"names\": [",
                         (timeline.end - timeline.start) / 1e6,
                         static_cast<unsigned long long>(timeline.events));
  for (size_t i = 0; i < timeline.names.size(); ++i) {
    out += i == 0 ? "\"" : ", \"";
    timetree::AppendJsonString(out, timeline.names[i].c_str());
    out += '"';
  }
  out += "], \"lanes\": [";
  for (size_t l = 0; l < timeline.lanes.size(); ++l) {
    const Lane& lane = timeline.lanes[l];
    out += l == 0 ? "{\"label\": \"" : ", {\"label\": \"";
    timetree::AppendJsonString(out, LaneLabel(lane, program).c_str());
    timetree::AppendFormat(out, "\", \"dropped\": %llu, \"overlapping\": %llu",
                           static_cast<unsigned long long>(lane.dropped),
                           static_cast<unsigned long long>(lane.overlapping));
    std::string name, ts, dur, depth, flags;
    for (size_t i = 0; i < lane.events.size(); ++i) {
      const LaneEvent& e = lane.events[i];
      const char* sep = i == 0 ? "" : ",";
      timetree::AppendFormat(name, "%s%u", sep, e.name);
      timetree::AppendFormat(ts, "%s%.3f", sep, e.ts - timeline.start);
      timetree::AppendFormat(dur, "%s%.3f", sep, e.dur);
      timetree::AppendFormat(depth, "%s%u", sep, e.depth);
      timetree::AppendFormat(flags, "%s%d", sep, (e.implicit ? 1 : 0) | (e.running ? 2 : 0));
    }
    out += ", \"name\": [" + name + "], \"ts\": [" + ts + "], \"dur\": [" + dur +
           "], \"depth\": [" + depth + "], \"flags\": [" + flags + "]}";
  }
  out += "]";
  if (!timeline.metadata.empty()) {
    out += ", \"metadata\": ";
    timetree::combined::AppendMetadataObject(out, timeline.metadata);
  }
  out += "}";
  return out;
}

}  // namespace timetree_cli
