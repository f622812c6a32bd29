#include "run.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "output/exports.h"


namespace timetree_cli {

using nlohmann::json;

namespace {

[[noreturn]] void Fail(const std::string& file, const std::string& where, const std::string& what) {
  throw InputError(file + ": " + (where.empty() ? "" : where + ": ") + what);
}

class Reader {
 public:
  Reader(const std::string& file, bool combined, long sources)
      : file_(file), combined_(combined), sources_(sources) {}

  const json& Member(const json& object, const char* key, const std::string& where) const {
    const auto found = object.find(key);
    if (found == object.end()) Fail(file_, where, std::string("no \"") + key + "\"");
    return *found;
  }

  double Seconds(const json& value, const std::string& where) const {
    if (!value.is_number()) Fail(file_, where, "not a number");
    const double seconds = value.get<double>();
    if (!std::isfinite(seconds) || seconds < 0) Fail(file_, where, "negative or not finite");
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

  bool Flag(const json& value, const std::string& where) const {
    if (!value.is_boolean()) Fail(file_, where, "not true or false");
    return value.get<bool>();
  }

  // A single run's figure: the one value, from source 0.
  static Figure One(double value) { return Figure{value, value, value, 0, 0}; }

  Figure Combined(const json& value, const std::string& where, bool seconds) const {
    if (!value.is_object()) Fail(file_, where, "not an object");
    auto number = [&](const char* key) {
      const std::string at = where + "." + key;
      return seconds ? Seconds(Member(value, key, where), at)
                     : static_cast<double>(Whole(Member(value, key, where), at));
    };
    Figure f;
    f.sum = number("sum");
    f.min = number("min");
    f.max = number("max");
    if (seconds) {
      number("mean");
      f.min_source = Whole(Member(value, "min_source", where), where + ".min_source");
      f.max_source = Whole(Member(value, "max_source", where), where + ".max_source");
      if (f.min_source >= sources_ || f.max_source >= sources_) {
        Fail(file_, where, "source index past the file's sources");
      }
    }
    if (f.min > f.max) Fail(file_, where, "min above max");
    return f;
  }

  void Timer(const json& value, Node& node, const std::string& where) const {
    if (!value.is_object()) Fail(file_, where, "not an object");
    if (combined_) {
      node.sources = Whole(Member(value, "sources", where), where + ".sources", 1);
      if (node.sources > sources_) Fail(file_, where + ".sources", "more than the file's sources");
      node.count = Combined(Member(value, "count", where), where + ".count", false);
      node.total = Combined(Member(value, "total_seconds", where), where + ".total_seconds", true);
      node.self = Combined(Member(value, "self_seconds", where), where + ".self_seconds", true);
    } else {
      node.sources = 1;
      node.count = One(static_cast<double>(Whole(Member(value, "count", where), where + ".count")));
      node.total = One(Seconds(Member(value, "total_seconds", where), where + ".total_seconds"));
      node.self = One(Seconds(Member(value, "self_seconds", where), where + ".self_seconds"));
      node.running = Flag(Member(value, "running", where), where + ".running");
    }
    node.implicit = Flag(Member(value, "stopped_implicitly", where), where + ".stopped_implicitly");
    const auto merged = value.find("names_merged");
    if (merged != value.end()) node.names_merged = Flag(*merged, where + ".names_merged");
  }

  // Reads the array of timers into root's children, without recursion.
  void Timers(const json& timers, Node& root, const std::string& where) const {
    if (!timers.is_array()) Fail(file_, where, "not an array");
    struct Frame {
      const json* array;
      size_t next;
      Node* parent;
      std::string where;
    };
    std::vector<Frame> stack{{&timers, 0, &root, where}};
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.array->size()) {
        stack.pop_back();
        continue;
      }
      const json& value = (*frame.array)[frame.next];
      const std::string at = frame.where + "[" + std::to_string(frame.next) + "]";
      ++frame.next;
      if (!value.is_object()) Fail(file_, at, "not an object");
      const json& name = Member(value, "name", at);
      if (!name.is_string()) Fail(file_, at + ".name", "not a text");
      const std::string text = name.get<std::string>();
      if (frame.parent->Child(text) != nullptr) Fail(file_, at + ".name", "\"" + text + "\" twice");
      Node* node = frame.parent->AddChild(text);
      Timer(value, *node, at);
      const json& children = Member(value, "children", at);
      if (!children.is_array()) Fail(file_, at + ".children", "not an array");
      if (!children.empty()) stack.push_back({&children, 0, node, at + ".children"});
    }
  }

 private:
  const std::string& file_;
  bool combined_;
  long sources_;
};

}  // namespace

std::unique_ptr<Run> ParseRun(const std::string& text, const std::string& file) {
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
  std::ifstream in(path, std::ios::binary);
  if (!in) throw InputError(path + ": cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw InputError(path + ": cannot be read");
  return ParseRun(text.str(), path);
}

}  // namespace timetree_cli
