#include "lib/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "runformat/text.h"
#include "runformat/files.h"


namespace timetree_cli {

using nlohmann::json;

namespace {

[[noreturn]] void Fail(const std::string& file, const std::string& where, const std::string& what) {
  throw InputError(file + ": " + (where.empty() ? "" : where + ": ") + what);
}

// Where a value lies in the file, as "timers[0].children[3]": kept as the
// chain of array places only, and spelt out when an error names it, so that
// a deep file costs memory in proportion to its depth, not its square.
class Location {
 public:
  explicit Location(std::string top) : top_(std::move(top)) {}
  void Enter(size_t index) { places_.push_back(index); }
  void Leave() { places_.pop_back(); }
  // The current timer's place, then suffix.
  std::string Text(const std::string& suffix = "") const {
    std::string text = top_;
    for (size_t i = 0; i < places_.size(); ++i) {
      if (i > 0) text += ".children";
      text += "[" + std::to_string(places_[i]) + "]";
    }
    return text + suffix;
  }

 private:
  std::string top_;
  std::vector<size_t> places_;
};

class Reader {
 public:
  static constexpr const char* kTooManySeconds =
      "more than 1e15 seconds (32 million years): not a time";

  Reader(const std::string& file, bool combined, long sources)
      : file_(file), combined_(combined), sources_(sources) {}

  const json& Member(const json& object, const char* key, const std::string& where) const {
    const auto found = object.find(key);
    if (found == object.end()) Fail(file_, where, std::string("no \"") + key + "\"");
    return *found;
  }
  // The member key of the object at at's place and suffix; the place is
  // spelt out only when the member is missing.
  const json& Member(const json& object, const char* key, const Location& at,
                     const char* suffix = "") const {
    const auto found = object.find(key);
    if (found == object.end()) Fail(file_, at.Text(suffix), std::string("no \"") + key + "\"");
    return *found;
  }

  double Seconds(const json& value, const Location& at, const char* key) const {
    if (!value.is_number()) Fail(file_, at.Text(key), "not a number");
    const double seconds = value.get<double>();
    if (!std::isfinite(seconds) || seconds < 0) Fail(file_, at.Text(key), "negative or not finite");
    if (seconds > kMostSeconds) Fail(file_, at.Text(key), kTooManySeconds);
    return seconds;
  }

  // A whole number from least up to 2^53, the largest that every figure
  // (a double) holds exactly and that sums of many files cannot overflow.
  long Whole(const json& value, const std::string& where, long least = 0) const {
    constexpr long long kMost = 1LL << 53;
    if (!value.is_number_integer()) Fail(file_, where, "not a whole number");
    if (value.is_number_unsigned() ? value.get<unsigned long long>() > kMost
                                   : value.get<long long>() > kMost) {
      Fail(file_, where, "too large");
    }
    const long long whole = value.get<long long>();
    if (whole < least) Fail(file_, where, least == 0 ? "negative" : "less than " + std::to_string(least));
    return static_cast<long>(whole);
  }
  long Whole(const json& value, const Location& at, const char* key, long least = 0) const {
    // The location is spelt out only when the number is bad.
    if (value.is_number_integer() && !value.is_number_unsigned()) {
      const long long whole = value.get<long long>();
      if (whole >= least && whole <= (1LL << 53)) return static_cast<long>(whole);
    } else if (value.is_number_unsigned()) {
      const unsigned long long whole = value.get<unsigned long long>();
      if (static_cast<long long>(whole) >= least && whole <= (1ULL << 53)) {
        return static_cast<long>(whole);
      }
    }
    return Whole(value, at.Text(key), least);
  }

  bool Flag(const json& value, const std::string& where) const {
    if (!value.is_boolean()) Fail(file_, where, "not true or false");
    return value.get<bool>();
  }
  bool Flag(const json& value, const Location& at, const char* key) const {
    if (!value.is_boolean()) Fail(file_, at.Text(key), "not true or false");
    return value.get<bool>();
  }

  // A single run's figure: the one value, from source 0.
  static Figure One(double value) { return Figure{value, value, value, 0, 0}; }

  // A figure over sources sources: what must hold of any sum, least and
  // greatest of that many values of 0 or more (up to rounding) is checked, so
  // that a file that cannot be right is refused rather than shown.
  Figure Combined(const json& value, const Location& at, const char* key, bool seconds,
                  long sources) const {
    const std::string dot = std::string(key) + ".";
    if (!value.is_object()) Fail(file_, at.Text(key), "not an object");
    auto number = [&](const char* name) {
      const json& v = Member(value, name, at, key);
      return seconds ? Seconds(v, at, (dot + name).c_str())
                     : static_cast<double>(Whole(v, at, (dot + name).c_str()));
    };
    Figure f;
    f.sum = number("sum");
    f.min = number("min");
    f.max = number("max");
    if (f.min > f.max) Fail(file_, at.Text(key), "min above max");
    const double n = static_cast<double>(sources);
    const double slack = 1e-9 * f.sum;
    if (f.sum + slack < f.max) Fail(file_, at.Text(key), "sum below max");
    if (f.sum > f.max * n + slack || f.sum + slack < f.min * n) {
      Fail(file_, at.Text(key), "mean outside min to max");
    }
    if (seconds) {
      const double mean = number("mean");
      if (std::fabs(mean - f.sum / n) > 1e-9 * mean + 1e-300) {
        Fail(file_, at.Text(key), "mean is not sum / sources");
      }
      f.min_source = Whole(Member(value, "min_source", at, key), at, (dot + "min_source").c_str());
      f.max_source = Whole(Member(value, "max_source", at, key), at, (dot + "max_source").c_str());
      if (f.min_source >= sources_ || f.max_source >= sources_) {
        Fail(file_, at.Text(key), "source index past the file's sources");
      }
    }
    return f;
  }

  void Timer(const json& value, Node& node, const Location& at) const {
    if (combined_) {
      node.sources = Whole(Member(value, "sources", at), at, ".sources", 1);
      if (node.sources > sources_) Fail(file_, at.Text(".sources"), "more than the file's sources");
      node.count = Combined(Member(value, "count", at), at, ".count", false, node.sources);
      const json& total = Member(value, "total_seconds", at);
      node.total = Combined(total, at, ".total_seconds", true, node.sources);
      // The spread over the sources, when the file gives it: at most half
      // the range of the totals.
      const auto stddev = total.find("stddev");
      if (stddev != total.end()) {
        const double s = Seconds(*stddev, at, ".total_seconds.stddev");
        if (s > (node.total.max - node.total.min) / 2 * (1 + 1e-9) + 1e-300) {
          Fail(file_, at.Text(".total_seconds.stddev"), "more than half of max - min");
        }
        node.m2 = s * s * static_cast<double>(node.sources);
      }
      node.self = Combined(Member(value, "self_seconds", at), at, ".self_seconds", true,
                           node.sources);
      if (node.self.sum > node.total.sum * (1 + 1e-9)) {
        Fail(file_, at.Text(".self_seconds"), "sum above total_seconds' sum");
      }
      // The sources in which the timer was running, when any was.
      const auto running = value.find("running_sources");
      if (running != value.end()) {
        node.running = Whole(*running, at, ".running_sources", 1);
        if (node.running > node.sources) {
          Fail(file_, at.Text(".running_sources"), "more than the path's sources");
        }
      }
    } else {
      node.sources = 1;
      node.count = One(static_cast<double>(Whole(Member(value, "count", at), at, ".count")));
      node.total = One(Seconds(Member(value, "total_seconds", at), at, ".total_seconds"));
      node.self = One(Seconds(Member(value, "self_seconds", at), at, ".self_seconds"));
      if (node.self.sum > node.total.sum * (1 + 1e-9)) {
        Fail(file_, at.Text(".self_seconds"), "above total_seconds");
      }
      node.running = Flag(Member(value, "running", at), at, ".running") ? 1 : 0;
      // The spread over threads, when more than one started the path: each
      // thread's total lies between the least and the greatest, so the
      // total holds the greatest and the least for every other thread.
      const auto threads = value.find("threads");
      if (threads != value.end()) {
        node.threads = Whole(*threads, at, ".threads", 2);
        node.thread_min = Seconds(Member(value, "min_seconds", at), at, ".min_seconds");
        node.thread_max = Seconds(Member(value, "max_seconds", at), at, ".max_seconds");
        const double slack = 1e-9 * node.total.sum + 1e-300;
        if (node.thread_min > node.thread_max) Fail(file_, at.Text(".min_seconds"), "above max_seconds");
        if (node.thread_max + node.thread_min * static_cast<double>(node.threads - 1) >
                node.total.sum + slack ||
            node.thread_max * static_cast<double>(node.threads) + slack < node.total.sum) {
          Fail(file_, at.Text(".threads"), "threads' least and greatest do not fit the total");
        }
      }
    }
    node.implicit = Flag(Member(value, "stopped_implicitly", at), at, ".stopped_implicitly");
    const auto merged = value.find("names_merged");
    if (merged != value.end()) node.names_merged = Flag(*merged, at, ".names_merged");
    Extras(value, node, at);
  }

  // What files of 1.4 and later add, each optional: the shortest and the
  // longest interval (a combined file's with their sources), the bytes,
  // the throttled mark.
  void Extras(const json& value, Node& node, const Location& at) const {
    const auto shortest = value.find("min_interval_seconds");
    if (shortest != value.end()) {
      node.has_intervals = true;
      node.intervals.min = Seconds(*shortest, at, ".min_interval_seconds");
      node.intervals.max =
          Seconds(Member(value, "max_interval_seconds", at), at, ".max_interval_seconds");
      if (node.intervals.min > node.intervals.max) {
        Fail(file_, at.Text(".min_interval_seconds"), "above max_interval_seconds");
      }
      // The longest interval is part of the total; a running timer's, as far
      // as it ran, is too.
      if (node.intervals.max > node.total.max * (1 + 1e-9) + 1e-12) {
        Fail(file_, at.Text(".max_interval_seconds"), "above the total");
      }
      if (combined_) {
        node.intervals.min_source = Whole(Member(value, "min_interval_source", at), at,
                                          ".min_interval_source");
        node.intervals.max_source = Whole(Member(value, "max_interval_source", at), at,
                                          ".max_interval_source");
        if (node.intervals.min_source >= sources_ || node.intervals.max_source >= sources_) {
          Fail(file_, at.Text(".min_interval_source"), "source index past the file's sources");
        }
      }
    }
    const auto bytes = value.find("bytes");
    if (bytes != value.end()) {
      if (!bytes->is_number() || !std::isfinite(bytes->get<double>()) || bytes->get<double>() < 0) {
        Fail(file_, at.Text(".bytes"), "not a number of 0 or more");
      }
      node.bytes = bytes->get<double>();
    }
    const auto throttled = value.find("throttled");
    if (throttled != value.end()) node.throttled = Flag(*throttled, at, ".throttled");
    // TIMETREE_COUNTERS' figures; only the resident set's growth may be
    // below 0.
    for (int i = 0; i < timetree::combined::kCounterCount; ++i) {
      const auto counter = value.find(timetree::combined::kCounterNames[i]);
      if (counter == value.end()) continue;
      const std::string field = std::string(".") + timetree::combined::kCounterNames[i];
      if (!counter->is_number() || !std::isfinite(counter->get<double>()) ||
          (i != 3 && counter->get<double>() < 0)) {
        Fail(file_, at.Text(field.c_str()), i != 3 ? "not a number of 0 or more" : "not a number");
      }
      node.counters[i] = counter->get<double>();
      node.has_counters |= 1u << i;
    }
    const auto series = value.find("series");
    if (series != value.end()) Series(*series, at, node);
    const auto memory = value.find("memory");
    if (memory != value.end()) Memory(*memory, at, node);
  }

  // A timer's memory per space: whole numbers of bytes.
  void Memory(const json& value, const Location& at, Node& node) const {
    if (!value.is_object()) Fail(file_, at.Text(".memory"), "not an object");
    for (const auto& space : value.items()) {
      const std::string where = ".memory." + space.key();
      if (!space.value().is_object()) Fail(file_, at.Text(where.c_str()), "not an object");
      timetree::combined::MemoryUse use;
      use.space = space.key();
      auto bytes = [&](const char* field) {
        const std::string member = where + "." + field;
        const auto found = space.value().find(field);
        if (found == space.value().end()) Fail(file_, at.Text(member.c_str()), "missing");
        if (!found->is_number_unsigned()) {
          Fail(file_, at.Text(member.c_str()), "not a whole number of 0 or more");
        }
        return found->get<uint64_t>();
      };
      use.allocated = bytes("allocated_bytes");
      use.freed = bytes("freed_bytes");
      use.peak = bytes("peak_live_bytes");
      const auto saturated = space.value().find("saturated");
      if (saturated != space.value().end()) {
        use.saturated = Flag(*saturated, at, (where + ".saturated").c_str());
      }
      node.memory.push_back(std::move(use));
    }
  }

  // A timer's series over its loop's steps: every a power of two, one
  // point per every steps, none longer than its point's total.
  void Series(const json& value, const Location& at, Node& node) const {
    if (!value.is_object()) Fail(file_, at.Text(".series"), "not an object");
    node.series.every = Whole(Member(value, "every", at, ".series"), at, ".series.every", 1);
    node.series.steps = Whole(Member(value, "steps", at, ".series"), at, ".series.steps");
    if ((node.series.every & (node.series.every - 1)) != 0) {
      Fail(file_, at.Text(".series.every"), "not a power of two");
    }
    const json& seconds = Member(value, "seconds", at, ".series");
    const json& longest = Member(value, "max_seconds", at, ".series");
    const size_t points =
        static_cast<size_t>((node.series.steps + node.series.every - 1) / node.series.every);
    if (!seconds.is_array() || seconds.size() != points) {
      Fail(file_, at.Text(".series.seconds"), "not an array of one point per every steps");
    }
    if (!longest.is_array() || longest.size() != points) {
      Fail(file_, at.Text(".series.max_seconds"), "not an array as long as seconds");
    }
    for (size_t i = 0; i < points; ++i) {
      node.series.total.push_back(Seconds(seconds[i], at, ".series.seconds"));
      node.series.longest.push_back(Seconds(longest[i], at, ".series.max_seconds"));
      if (node.series.longest[i] > node.series.total[i] * (1 + 1e-6) + 1e-9) {
        Fail(file_, at.Text(".series.max_seconds"), "above its point's seconds");
      }
    }
    const auto inexact = value.find("inexact");
    if (inexact != value.end()) node.series.inexact = Flag(*inexact, at, ".series.inexact");
    node.has_series = true;
  }

  // Reads the array of timers into root's children, without recursion.
  void Timers(const json& timers, Node& root, const std::string& where) const {
    if (!timers.is_array()) Fail(file_, where, "not an array");
    struct Frame {
      const json* array;
      size_t next;
      Node* parent;
    };
    std::vector<Frame> stack{{&timers, 0, &root}};
    Location at(where);
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.array->size()) {
        stack.pop_back();
        if (!stack.empty()) at.Leave();
        continue;
      }
      const json& value = (*frame.array)[frame.next];
      Node* parent = frame.parent;
      at.Enter(frame.next);
      ++frame.next;
      if (!value.is_object()) Fail(file_, at.Text(), "not an object");
      const json& name = Member(value, "name", at);
      if (!name.is_string()) Fail(file_, at.Text(".name"), "not a text");
      const std::string& text = name.get_ref<const std::string&>();
      if (parent->Child(text) != nullptr) Fail(file_, at.Text(".name"), "\"" + text + "\" twice");
      Node* node = parent->AddChild(text);
      Timer(value, *node, at);
      const json& children = Member(value, "children", at);
      if (!children.is_array()) Fail(file_, at.Text(".children"), "not an array");
      if (!children.empty()) {
        stack.push_back({&children, 0, node});
      } else {
        at.Leave();
      }
    }
  }

 private:
  const std::string& file_;
  bool combined_;
  long sources_;
};

}  // namespace

namespace {

// What a file that holds no JSON is, and what reads it; empty when it looks
// like nothing the library writes.
std::string KindOfNonJson(const std::string& text) {
  constexpr char kReads[] = "timetree reads the JSON that TimeWriteJson (or TIMETREE_OUTPUT="
                            "json:PATH) writes";
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    return std::string("an empty file, with no run in it: ") + kReads;
  }
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1f &&
      static_cast<unsigned char>(text[1]) == 0x8b) {
    return std::string("a gzip-compressed file (a pprof profile?), not a run: 'go tool pprof' "
                       "reads a profile; ") + kReads;
  }
  if (text.find("\nLABEL                          |  COUNT |") != std::string::npos ||
      text.rfind("LABEL                          |  COUNT |", 0) == 0) {
    return std::string("the text report of TimePrint or TimePrintIndented, not a run: ") + kReads;
  }
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (text[first] == '<') {
    return std::string("an SVG or HTML file (a flame graph or a report page?), not a run: ") +
           kReads;
  }
  // Folded stacks: every line a path, a blank and a whole number.
  bool folded = true;
  size_t at = 0;
  while (folded && at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    const size_t blank = line.rfind(' ');
    folded = line.empty() || (blank != std::string::npos && blank > 0 && blank + 1 < line.size() &&
                              line.find_first_not_of("0123456789", blank + 1) == std::string::npos);
    at = end + 1;
  }
  if (folded) {
    return std::string("folded stacks (TimeWriteFolded), not a run: flamegraph.pl and speedscope "
                       "read them; ") + kReads;
  }
  return "";
}

}  // namespace

std::unique_ptr<Run> ParseRun(const std::string& text, const std::string& file) {
  const std::string kind = KindOfNonJson(text);
  if (!kind.empty()) throw InputError(file + ": " + kind);
  json document;
  try {
    // Names are data: bytes that are not UTF-8 (which a JSON parser
    // refuses) become U+FFFD, as the library's own exports write them.
    std::string valid;
    timetree::AppendValidUtf8(valid, text);
    document = json::parse(valid);
  } catch (const json::exception& e) {  // a syntax error, or a number past double's range
    std::string what = e.what();
    const size_t at = what.find("] ");
    throw InputError(file + ": not JSON: " + (at != std::string::npos ? what.substr(at + 2) : what));
  }
  const bool events = document.is_array() && !document.empty() && document[0].is_object() &&
                      document[0].contains("ph");
  if (events || (document.is_object() && document.contains("traceEvents"))) {
    Fail(file, "", "a timeline, not a run: read it with 'timetree trace' or 'timetree html'");
  }
  if (!document.is_object()) Fail(file, "", "not a timetree run: not a JSON object");
  auto run = std::make_unique<Run>();
  run->file = file;
  const auto schema = document.find("schema");
  if (schema == document.end() || !schema->is_number_integer()) {
    Fail(file, "", "not a timetree run: no \"schema\" number");
  }
  const long long version = schema->get<long long>();
  if (version > kSchema) {
    Fail(file, "", "schema " + std::to_string(version) + " is newer than this tool reads (" +
                       std::to_string(kSchema) + ")");
  }
  if (version < 1) Fail(file, "schema", "not a schema number");
  const auto combined = document.find("combined");
  if (combined != document.end()) {
    if (!combined->is_boolean()) Fail(file, "combined", "not true or false");
    run->combined = combined->get<bool>();
  }
  Reader probe(file, false, 1);
  if (run->combined) run->sources = probe.Whole(probe.Member(document, "sources", ""), "sources", 1);
  const Reader reader(file, run->combined, run->sources);
  reader.Timers(reader.Member(document, "timers", ""), run->root, "timers");

  // Metadata: an object of texts, numbers or flags, each kept as text.
  auto metadata = [&file](const json& object, const std::string& where) {
    timetree::combined::Metadata out;
    if (!object.is_object()) Fail(file, where, "not an object");
    for (const auto& entry : object.items()) {
      const json& v = entry.value();
      if (v.is_string()) {
        out.emplace_back(entry.key(), v.get<std::string>());
      } else if (v.is_number() || v.is_boolean()) {
        out.emplace_back(entry.key(), v.dump());
      } else {
        Fail(file, where + "." + entry.key(), "not a text, number or flag");
      }
    }
    return out;
  };
  const auto meta = document.find("metadata");
  if (meta != document.end()) run->metadata = metadata(*meta, "metadata");
  const auto per_source = document.find("source_metadata");
  if (per_source != document.end() && run->combined) {
    if (!per_source->is_array()) Fail(file, "source_metadata", "not an array");
    if (per_source->size() != static_cast<size_t>(run->sources)) {
      Fail(file, "source_metadata", "not one object per source");
    }
    for (size_t i = 0; i < per_source->size(); ++i) {
      run->source_metadata.push_back(
          metadata((*per_source)[i], "source_metadata[" + std::to_string(i) + "]"));
    }
  }

  const auto threads = document.find("threads");
  if (threads != document.end() && !run->combined) {
    if (!threads->is_array()) Fail(file, "threads", "not an array");
    for (size_t i = 0; i < threads->size(); ++i) {
      const json& value = (*threads)[i];
      const std::string at = "threads[" + std::to_string(i) + "]";
      if (!value.is_object()) Fail(file, at, "not an object");
      auto thread = std::make_unique<ThreadRun>();
      thread->tid = reader.Whole(reader.Member(value, "tid", at), at + ".tid");
      const json& name = reader.Member(value, "name", at);
      if (!name.is_string()) Fail(file, at + ".name", "not a text");
      thread->name = name.get<std::string>();
      thread->finished = reader.Flag(reader.Member(value, "finished", at), at + ".finished");
      thread->threads = reader.Whole(reader.Member(value, "threads", at), at + ".threads", 1);
      reader.Timers(reader.Member(value, "timers", at), thread->root, at + ".timers");
      run->threads.push_back(std::move(thread));
    }
  }
  return run;
}

std::unique_ptr<Run> ReadRun(const std::string& path) {
  std::ifstream in = OpenInput(path);
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw InputError(path + ": cannot be read");
  return ParseRun(text.str(), path);
}

}  // namespace timetree_cli
