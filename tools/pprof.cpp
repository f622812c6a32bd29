// The pprof format: profile.proto, gzip-compressed. The protobuf is written
// by hand (a few message kinds, varints and length-delimited fields: less
// than a library's setup would take) and compressed with zlib.
//
// One sample per timer path: its stack the path's locations, leaf first,
// and three values: calls/count, total/nanoseconds and self/nanoseconds,
// self the default, so that pprof's flat column is each timer's self time
// and its cum column the total (the selves below it summed).
#include "pprof.h"

#ifdef TIMETREE_HAVE_ZLIB
#include <zlib.h>
#endif

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

}  // namespace

std::string Pprof(const Run& run) {
  Strings strings;
  std::string profile;
  // sample_type (1): calls/count, total/nanoseconds, self/nanoseconds.
  for (const auto& type : {std::make_pair("calls", "count"), std::make_pair("total", "nanoseconds"),
                           std::make_pair("self", "nanoseconds")}) {
    std::string value_type;
    Int(value_type, 1, strings.Index(type.first));
    Int(value_type, 2, strings.Index(type.second));
    Bytes(profile, 1, value_type);
  }
  // A function and a location (same id) per distinct name.
  std::map<std::string, uint64_t> ids;
  std::vector<uint64_t> stack;  // location ids, root first
  std::string samples;
  Preorder(run.root, [&](const Node& node, int depth) {
    auto found = ids.find(node.name);
    if (found == ids.end()) found = ids.emplace(node.name, ids.size() + 1).first;
    stack.resize(static_cast<size_t>(depth));
    stack.push_back(found->second);
    std::string sample;
    Packed(sample, 1, std::vector<uint64_t>(stack.rbegin(), stack.rend()));  // leaf first
    Packed(sample, 2, {static_cast<uint64_t>(std::llround(node.count.sum)),
                       Nanoseconds(node.Mean()), Nanoseconds(node.MeanSelf())});
    Bytes(samples, 2, sample);
    return true;
  });
  profile += samples;
  std::string locations, functions;
  for (const auto& entry : ids) {
    std::string line, location, function;
    Int(line, 1, entry.second);  // function_id
    Int(location, 1, entry.second);
    Bytes(location, 4, line);
    Bytes(locations, 4, location);
    Int(function, 1, entry.second);
    Int(function, 2, strings.Index(entry.first));  // name
    Int(function, 3, strings.Index(entry.first));  // system_name
    Bytes(functions, 5, function);
  }
  profile += locations + functions;
  const uint64_t default_type = strings.Index("self");
  // string_table (6), then default_sample_type (14).
  for (const std::string& text : strings.Order()) Bytes(profile, 6, text);
  Int(profile, 14, default_type);
  return Gzip(profile);
}

}  // namespace timetree_cli
