// The pprof format: profile.proto, gzip-compressed. The protobuf is written
// by hand (a few message kinds, varints and length-delimited fields: less
// than a library's setup would take) and compressed with zlib.
//
// One sample per timer path: its stack the path's locations, leaf first,
// and three values: calls/count, total/nanoseconds and self/nanoseconds,
// self the default. A run with each thread's own tree gives each thread's
// samples, labelled "thread", so that a timer's self time is its own
// thread's: pprof's flat column is then each timer's self time, and its cum
// column the time of the timer and everything under it, summed over every
// thread that timed under it (a worker's time counts under the path where
// its work was spawned, so with threads at work at once cum passes the
// timer's wall time, as shares pass 100% in 'timetree show').
//
// Every sample holds its whole stack, so a stack of depth D costs D entries:
// paths deeper than kDeepest are summed into one sample under their
// ancestor at that depth, its leaf a frame "(deeper levels)". Every frame
// shown keeps its exact cum, and the profile grows with the timers, not
// with the square of the depth.
#include "formats/formats.h"

#ifdef TIMETREE_HAVE_ZLIB
#include <zlib.h>
#endif

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runformat/text.h"

namespace timetree_cli {

namespace {

void Varint(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out += static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
}

// Field keys: number << 3 | wire type (0 varint, 2 length-delimited).
void Int(std::string& out, int field, uint64_t value) {
  Varint(out, static_cast<uint64_t>(field) << 3);
  Varint(out, value);
}

void Bytes(std::string& out, int field, const std::string& bytes) {
  Varint(out, static_cast<uint64_t>(field) << 3 | 2);
  Varint(out, bytes.size());
  out += bytes;
}

void Packed(std::string& out, int field, const std::vector<uint64_t>& values) {
  std::string packed;
  for (uint64_t v : values) Varint(packed, v);
  Bytes(out, field, packed);
}

class Strings {
 public:
  Strings() { Index(""); }
  uint64_t Index(const std::string& text) {
    const auto found = index_.find(text);
    if (found != index_.end()) return found->second;
    const uint64_t at = order_.size();
    index_.emplace(text, at);
    order_.push_back(text);
    return at;
  }
  const std::vector<std::string>& Order() const { return order_; }

 private:
  std::map<std::string, uint64_t> index_;
  std::vector<std::string> order_;
};

uint64_t Nanoseconds(double seconds) {
  return seconds > 0 ? static_cast<uint64_t>(std::llround(seconds * 1e9)) : 0;
}

std::string Gzip(const std::string& data) {
#ifndef TIMETREE_HAVE_ZLIB
  static_cast<void>(data);
  throw InputError("pprof: this timetree was built without zlib (Debian: zlib1g-dev)");
#else
  z_stream stream{};
  // 15 window bits, +16: a gzip header and trailer.
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw InputError("pprof: zlib could not start");
  }
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw InputError("pprof: zlib could not compress the profile");
  return out;
#endif
}

// Counter i of TIMETREE_COUNTERS that node's own code did, outside its
// children (per source), never below 0; pprof sums samples up their stacks.
double SelfCounter(const Node& node, int i) {
  double self = CounterPerSource(node, i);
  for (const auto& child : node.children) self -= CounterPerSource(*child, i);
  return self > 0 ? self : 0;
}

// The counters that pprof takes as sample types, each a node's own part:
// those that add up (not the resident set's growth or peak), with their
// unit and scale to a whole number.
struct PprofCounter {
  int index;
  const char* type;
  const char* unit;
  double scale;
};
constexpr PprofCounter kPprofCounters[] = {
    {0, "cpu", "nanoseconds", 1e9},      {1, "page_faults", "count", 1},
    {2, "context_switches", "count", 1}, {5, "cycles", "count", 1},
    {6, "instructions", "count", 1},     {7, "cache_misses", "count", 1},
    {8, "branch_misses", "count", 1}};

}  // namespace

std::string Pprof(const Run& run) {
  Strings strings;
  std::string profile;
  unsigned present = 0;
  Preorder(run.root, [&present](const Node& node, int) {
    present |= node.has_counters;
    return true;
  });
  std::vector<PprofCounter> counters;
  for (const PprofCounter& c : kPprofCounters) {
    if ((present & (1u << c.index)) != 0) counters.push_back(c);
  }
  // sample_type (1): calls/count, total/nanoseconds, self/nanoseconds, and
  // each counter the file has.
  std::vector<std::pair<const char*, const char*>> types = {
      {"calls", "count"}, {"total", "nanoseconds"}, {"self", "nanoseconds"}};
  for (const PprofCounter& c : counters) types.emplace_back(c.type, c.unit);
  for (const auto& type : types) {
    std::string value_type;
    Int(value_type, 1, strings.Index(type.first));
    Int(value_type, 2, strings.Index(type.second));
    Bytes(profile, 1, value_type);
  }
  // A function and a location (same id) per distinct name.
  std::map<std::string, uint64_t> ids;
  auto id_of = [&ids](const std::string& name) {
    return ids.emplace(name, ids.size() + 1).first->second;
  };
  std::string samples;
  auto sample = [&](const std::vector<uint64_t>& stack, double count, double total, double self,
                    const std::vector<double>& own, const std::string& thread) {
    std::string text;
    Packed(text, 1, std::vector<uint64_t>(stack.rbegin(), stack.rend()));  // leaf first
    std::vector<uint64_t> values = {static_cast<uint64_t>(std::llround(count)), Nanoseconds(total),
                                    Nanoseconds(self)};
    for (size_t i = 0; i < counters.size(); ++i) {
      values.push_back(static_cast<uint64_t>(std::llround(own[i] * counters[i].scale)));
    }
    Packed(text, 2, values);
    if (!thread.empty()) {
      std::string label;
      Int(label, 1, strings.Index("thread"));
      Int(label, 2, strings.Index(thread));
      Bytes(text, 3, label);
    }
    Bytes(samples, 2, text);
  };
  bool deep = false;
  auto tree = [&](const Node& root, const std::string& thread) {
    std::vector<uint64_t> stack;  // location ids, root first
    Preorder(root, [&](const Node& node, int depth) {
      stack.resize(static_cast<size_t>(depth));
      stack.push_back(id_of(node.name));
      std::vector<double> own;
      for (const PprofCounter& c : counters) own.push_back(SelfCounter(node, c.index));
      sample(stack, node.count.sum, node.Mean(), node.MeanSelf(), own, thread);
      if (depth + 1 < kDeepest || node.children.empty()) return true;
      // The levels below, in one sample.
      double count = 0, total = 0, self = 0;
      std::vector<double> below_own(counters.size(), 0.0);
      for (const auto& child : node.children) total += child->Mean();
      Preorder(node, [&](const Node& below, int) {
        count += below.count.sum;
        self += below.MeanSelf();
        for (size_t i = 0; i < counters.size(); ++i) {
          below_own[i] += SelfCounter(below, counters[i].index);
        }
        return true;
      });
      stack.push_back(id_of(kDeeper));
      sample(stack, count, total, self, below_own, thread);
      deep = true;
      return false;
    });
  };
  if (run.threads.empty() || run.combined) {
    tree(run.root, "");
  } else {
    for (const auto& thread : run.threads) {
      std::string label;
      timetree::AppendFormat(label, "%ld %s", thread->tid, thread->name.c_str());
      tree(thread->root, label);
    }
  }
  profile += samples;
  // One mapping, which every location names: it says that the functions
  // are known, so that pprof looks for no binary.
  std::string program = "timetree";
  for (const auto& entry : run.metadata) {
    if (entry.first == "program") program = entry.second;
  }
  std::string mapping;
  Int(mapping, 1, 1);                          // id
  Int(mapping, 5, strings.Index(program));     // filename
  Int(mapping, 7, 1);                          // has_functions
  Bytes(profile, 3, mapping);
  std::string locations, functions;
  for (const auto& entry : ids) {
    std::string line, location, function;
    Int(line, 1, entry.second);  // function_id
    Int(location, 1, entry.second);
    Int(location, 2, 1);  // mapping_id
    Bytes(location, 4, line);
    Bytes(locations, 4, location);
    Int(function, 1, entry.second);
    Int(function, 2, strings.Index(entry.first));  // name
    Int(function, 3, strings.Index(entry.first));  // system_name
    Bytes(functions, 5, function);
  }
  profile += locations + functions;
  const uint64_t default_type = strings.Index("self");
  if (deep) {
    // comment (13), shown by pprof -comments.
    Int(profile, 13, strings.Index("timetree: timers deeper than 128 levels are summed into a "
                                   "frame \"(deeper levels)\" under their ancestor at level 128"));
  }
  // string_table (6), then default_sample_type (14).
  for (const std::string& text : strings.Order()) Bytes(profile, 6, text);
  Int(profile, 14, default_type);
  return Gzip(profile);
}

}  // namespace timetree_cli
