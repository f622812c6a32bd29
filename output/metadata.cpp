// A run's metadata (see metadata.h). Keys come in a fixed order: those the
// library collects, then TIMETREE_META_ keys (named in lower case, in the
// environment's order), then the host's, in the order first set. A key set
// again keeps its place and takes the last value; the host's value of a key
// of either other kind replaces that one.
#include "output/metadata.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "include/timetree.h"
#include "runformat/text.h"
#include "stopwatch/ticks.h"

extern char** environ;

namespace timetree {

namespace {

const time_t g_loaded = std::time(nullptr);

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
// When the library was loaded, on the clock that no change of the date
// moves: the run's wall time is from here to each file's writing.
const int64_t g_loadedNs = MonotonicNs();

// The kinds of work besides the pairs that timing does (TimeAddCostKind):
// fixed slots, written once each, read at any time.
struct CostKind {
  const char* kind;
  void (*measure)(uint64_t* count, double* seconds_each);
};
constexpr int kCostKinds = 8;
CostKind g_costKinds[kCostKinds];
int g_costKindCount = 0;
std::mutex g_costKindsMutex;

std::mutex g_hostKeysMutex;
// Allocated once, never freed: it may be written while static objects are
// being destroyed at exit.
std::vector<std::pair<std::string, std::string>>* g_hostKeys = nullptr;

// A value: a JSON number (raw) or a text (escaped).
struct Value {
  std::string text;
  bool number;
};
using Keys = std::vector<std::pair<std::string, Value>>;

void Set(Keys& keys, const std::string& key, Value value) {
  for (auto& entry : keys) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  keys.emplace_back(key, std::move(value));
}

std::string Utc(time_t when) {
  struct tm utc {};
  gmtime_r(&when, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The program's arguments, as /proc gives them, joined by blanks.
std::string Arguments() {
  std::string out;
  if (FILE* file = std::fopen("/proc/self/cmdline", "re")) {
    int c;
    while ((c = std::fgetc(file)) != EOF) out += c == '\0' ? ' ' : static_cast<char>(c);
    std::fclose(file);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string CpuModel() {
  std::string model;
  if (FILE* file = std::fopen("/proc/cpuinfo", "re")) {
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
      if (std::strncmp(line, "model name", 10) != 0) continue;
      const char* colon = std::strchr(line, ':');
      if (colon == nullptr) continue;
      model = colon + 1;
      while (!model.empty() && (model.front() == ' ' || model.front() == '\t')) model.erase(0, 1);
      while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) model.pop_back();
      break;
    }
    std::fclose(file);
  }
  return model;
}

}  // namespace

time_t LoadTime() { return g_loaded; }

namespace {

Keys Collect(long threads, int64_t pairs) {
  Keys keys;
  auto text = [](std::string v) { return Value{std::move(v), false}; };
  auto number = [](std::string v) { return Value{std::move(v), true}; };
  Set(keys, "program", text(program_invocation_short_name));
  Set(keys, "arguments", text(Arguments()));
  char host[256] = {};
  Set(keys, "host", text(gethostname(host, sizeof host - 1) == 0 ? host : ""));
  Set(keys, "pid", number(std::to_string(static_cast<long>(getpid()))));
  Set(keys, "start_time", text(Utc(g_loaded)));
  Set(keys, "end_time", text(Utc(std::time(nullptr))));
  Set(keys, "timetree_version", text(TIMETREE_VERSION));
  Set(keys, "threads", number(std::to_string(threads)));
  Set(keys, "clock", text(TickSourceName()));
  std::string frequency;
  AppendFormat(frequency, "%.17g", TickFrequency());
  Set(keys, "clock_frequency", number(frequency));
  // The process's own wall time, which shares are taken against where
  // threads time at once (their timers' totals add up past it).
  std::string wall;
  AppendFormat(wall, "%.9f", static_cast<double>(MonotonicNs() - g_loadedNs) * 1e-9);
  Set(keys, "wall_seconds", number(wall));
  struct utsname names {};
  Set(keys, "os", text(uname(&names) == 0 ? names.release : ""));
  Set(keys, "cpu", text(CpuModel()));
  // What timing itself cost: the pairs made (every timer's count) times
  // the measured cost of one.
  const double pair = TimePairSeconds();
  std::string figure;
  Set(keys, "timing_pairs", number(std::to_string(static_cast<long long>(pairs))));
  AppendFormat(figure, "%.6g", pair);
  Set(keys, "timing_pair_seconds", number(figure));
  // And the other work that the components do for it (the hooks of
  // instrumented functions that are not timed, a trial's clock reads):
  // each kind's count and the cost of one, as the component measured it.
  double other = 0;
  std::vector<CostKind> kinds;
  {
    const std::lock_guard<std::mutex> lock(g_costKindsMutex);
    for (int i = 0; i < g_costKindCount; ++i) kinds.push_back(g_costKinds[i]);
  }
  for (const CostKind& kind : kinds) {
    uint64_t count = 0;
    double each = 0;
    kind.measure(&count, &each);
    Set(keys, std::string("timing_") + kind.kind,
        number(std::to_string(static_cast<unsigned long long>(count))));
    figure.clear();
    AppendFormat(figure, "%.6g", each);
    Set(keys, std::string("timing_") + kind.kind + "_seconds", number(figure));
    other += each * static_cast<double>(count);
  }
  if (!kinds.empty()) {
    figure.clear();
    AppendFormat(figure, "%.6g", other);
    Set(keys, "timing_other_seconds", number(figure));
  }
  figure.clear();
  AppendFormat(figure, "%.6g", pair * static_cast<double>(pairs) + other);
  Set(keys, "timing_cost_seconds", number(figure));
  constexpr char kPrefix[] = "TIMETREE_META_";
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, kPrefix, sizeof kPrefix - 1) != 0) continue;
    const char* equals = std::strchr(*e, '=');
    if (equals == nullptr || equals == *e + sizeof kPrefix - 1) continue;
    const char* name = *e + sizeof kPrefix - 1;
    std::string key(name, static_cast<size_t>(equals - name));
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Set(keys, key, text(equals + 1));
  }
  {
    const std::lock_guard<std::mutex> lock(g_hostKeysMutex);
    if (g_hostKeys != nullptr) {
      for (const auto& entry : *g_hostKeys) Set(keys, entry.first, text(entry.second));
    }
  }
  return keys;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> RunMetadata(long threads, int64_t pairs) {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& entry : Collect(threads, pairs)) out.emplace_back(entry.first, entry.second.text);
  return out;
}

void AppendMetadataJson(std::string& out, long threads, int64_t pairs) {
  const Keys keys = Collect(threads, pairs);
  out += ", \"metadata\": {";
  const char* comma = "";
  for (const auto& entry : keys) {
    out += comma;
    out += '"';
    AppendJsonString(out, entry.first.c_str());
    out += "\": ";
    if (entry.second.number) {
      out += entry.second.text;
    } else {
      out += '"';
      AppendJsonString(out, entry.second.text.c_str());
      out += '"';
    }
    comma = ", ";
  }
  out += "}";
}

}  // namespace timetree

void TimeAddCostKind(const char* kind, void (*measure)(uint64_t* count, double* seconds_each)) {
  if (kind == nullptr || measure == nullptr) return;
  const std::lock_guard<std::mutex> lock(timetree::g_costKindsMutex);
  for (int i = 0; i < timetree::g_costKindCount; ++i) {
    if (std::strcmp(timetree::g_costKinds[i].kind, kind) == 0) {
      timetree::g_costKinds[i].measure = measure;
      return;
    }
  }
  if (timetree::g_costKindCount == timetree::kCostKinds) return;
  char* copy = strdup(kind);
  if (copy == nullptr) return;
  timetree::g_costKinds[timetree::g_costKindCount++] = timetree::CostKind{copy, measure};
}

void TimeSetMetadata(const char* key, const char* value) {
  if (key == nullptr || key[0] == '\0') return;
  const std::lock_guard<std::mutex> lock(timetree::g_hostKeysMutex);
  try {
    if (timetree::g_hostKeys == nullptr) {
      timetree::g_hostKeys = new std::vector<std::pair<std::string, std::string>>;
    }
    for (auto& entry : *timetree::g_hostKeys) {
      if (entry.first == key) {
        entry.second = value != nullptr ? value : "";
        return;
      }
    }
    timetree::g_hostKeys->emplace_back(key, value != nullptr ? value : "");
  } catch (const std::bad_alloc&) {
    // Memory is short: the key is left out, and the host goes on.
  }
}
