// The series of TIMETREE_SERIES and TimeSeries: the names that make a
// timer the step of a series, the points a stop adds to, and the reading
// and merging of them. TIMETREE_SERIES and TIMETREE_SERIES_POINTS are read
// once, at load.
#include "registry/series.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <mutex>

#include "include/timetree.h"
#include "registry/threadtree.h"
#include "registry/timernode.h"
#include "stopwatch/access.h"
#include "stopwatch/atomics.h"

namespace timetree {

namespace {

// The names of steps, appended (never changed) and published by their
// number, so that a thread making a timer reads them without a lock.
constexpr int kMostSeriesNames = 64;
const char* g_seriesNames[kMostSeriesNames] = {};
int g_seriesNameCount = 0;
OwnedMutex g_seriesNamesMutex;

// Points a series keeps at most before adjacent ones fold.
constexpr int64_t kDefaultSeriesPoints = 10000;
constexpr int64_t kMostSeriesPoints = int64_t{1} << 24;
int64_t g_seriesPoints = kDefaultSeriesPoints;

void AddSeriesName(const char* name, size_t length) {
  if (length == 0) return;
  const std::lock_guard<OwnedMutex> lock(g_seriesNamesMutex);
  const int count = LoadRelaxed(g_seriesNameCount);
  for (int i = 0; i < count; ++i) {
    if (std::strlen(g_seriesNames[i]) == length &&
        std::strncmp(g_seriesNames[i], name, length) == 0) {
      return;
    }
  }
  if (count == kMostSeriesNames) {
    std::fprintf(stderr, "timetree: series: at most %d timers keep a series; \"%.*s\" does not\n",
                 kMostSeriesNames, static_cast<int>(length), name);
    return;
  }
  char* copy = strndup(name, length);
  if (copy == nullptr) return;
  g_seriesNames[count] = copy;
  StoreRelease(g_seriesNameCount, count + 1);
  StoreRelaxed(g_registry.series, 1);
}

int64_t ReadPoints() {
  const char* value = std::getenv("TIMETREE_SERIES_POINTS");
  if (value == nullptr || value[0] == '\0') return kDefaultSeriesPoints;
  char* end = nullptr;
  errno = 0;
  const long long points = std::strtoll(value, &end, 10);
  if (errno != 0 || end == value || *end != '\0' || points < 2 || points > kMostSeriesPoints) {
    std::fprintf(stderr,
                 "timetree: TIMETREE_SERIES_POINTS: \"%s\" is not a number of points from 2 to "
                 "%lld; %lld kept\n",
                 value, static_cast<long long>(kMostSeriesPoints),
                 static_cast<long long>(kDefaultSeriesPoints));
    return kDefaultSeriesPoints;
  }
  return points;
}

// Read when the library loads, before any timer starts.
const bool g_seriesRead = [] {
  g_seriesPoints = ReadPoints();
  if (const char* value = std::getenv("TIMETREE_SERIES")) {
    for (const char* at = value;;) {
      const char* comma = std::strchr(at, ',');
      const size_t length = comma != nullptr ? static_cast<size_t>(comma - at) : std::strlen(at);
      AddSeriesName(at, length);
      if (comma == nullptr) break;
      at = comma + 1;
    }
  }
  return true;
}();

int64_t* Point(const Series& s, int64_t i) { return LoadRelaxed(s.points) + 1 + 2 * i; }

// Room for point i (below the cap): a larger array, the old one kept.
bool Reserve(Series& s, int64_t i) {
  if (i < s.capacity) return true;
  int64_t capacity = s.capacity == 0 ? 4 : s.capacity;
  while (capacity <= i) capacity *= 2;
  if (capacity > g_seriesPoints) capacity = g_seriesPoints;
  auto* points =
      static_cast<int64_t*>(std::calloc(static_cast<size_t>(1 + 2 * capacity), sizeof(int64_t)));
  if (points == nullptr) return false;
  int64_t* old = s.points;
  if (old != nullptr) std::memcpy(points + 1, old + 1, sizeof(int64_t) * 2 * s.used);
  points[0] = reinterpret_cast<intptr_t>(old);
  StoreRelease(s.points, points);
  s.capacity = capacity;
  return true;
}

// Folds adjacent pairs of points in place: every doubles.
void Fold(Series& s) {
  // Odd while the points change as a whole, so that a report reading them
  // meanwhile (another thread's, or a signal's handler on this one) knows.
  StoreRelaxed(s.folds, s.folds + 1);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  const int64_t half = (s.used + 1) / 2;
  for (int64_t i = 0; i < half; ++i) {
    int64_t* into = Point(s, i);
    const int64_t* a = Point(s, 2 * i);
    const bool pair = 2 * i + 1 < s.used;
    const int64_t total = LoadRelaxed(a[0]) + (pair ? LoadRelaxed(a[2]) : 0);
    const int64_t longest = std::max(LoadRelaxed(a[1]), pair ? LoadRelaxed(a[3]) : int64_t{0});
    StoreRelaxed(into[0], total);
    StoreRelaxed(into[1], longest);
  }
  for (int64_t i = half; i < s.used; ++i) {
    StoreRelaxed(Point(s, i)[0], int64_t{0});
    StoreRelaxed(Point(s, i)[1], int64_t{0});
  }
  StoreRelaxed(s.used, half);
  StoreRelaxed(s.every, s.every * 2);
  ++s.everyShift;
  StoreRelease(s.folds, s.folds + 1);
}

// Adds a step's ticks (step from 1) to its point.
void AddToPoint(Series& s, int64_t step, int64_t ticks) {
  // every is a power of two: a shift, not a division, on every stop.
  int64_t i = (step - 1) >> s.everyShift;
  while (i >= g_seriesPoints) {
    Fold(s);
    i = (step - 1) >> s.everyShift;
  }
  if (i >= s.used) {
    if (!Reserve(s, i)) return;
    StoreRelease(s.used, i + 1);
  }
  int64_t* point = Point(s, i);
  StoreRelaxed(point[0], LoadRelaxed(point[0]) + ticks);
  if (ticks > LoadRelaxed(point[1])) StoreRelaxed(point[1], ticks);
}

}  // namespace

Series::~Series() {
  for (int64_t* p = points; p != nullptr;) {
    int64_t* older = reinterpret_cast<int64_t*>(static_cast<intptr_t>(p[0]));
    std::free(p);
    p = older;
  }
}

bool NamesSeries(const char* name) {
  const int count = LoadAcquire(g_seriesNameCount);
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(g_seriesNames[i], name) == 0) return true;
  }
  return false;
}

Series* NewSeries(TimerNode& node, const TimerNode* parent) {
  TimerNode* anchor = nullptr;
  if (NamesSeries(node.FullName())) {
    anchor = &node;
  } else if (parent != nullptr && parent->series != nullptr) {
    // Only under a step this thread runs: a path adopted from another
    // thread (a context) ends in a step whose steps are that thread's.
    anchor = parent->series->anchor;
    if (anchor != nullptr && LoadRelaxed(anchor->count) == 0) anchor = nullptr;
  }
  if (anchor == nullptr) return nullptr;
  Series* s = new (std::nothrow) Series;
  if (s != nullptr) s->anchor = anchor;
  return s;
}

void SeriesAtStop(TimerNode& node, int64_t interval) {
  Series& s = *node.series;
  // The anchor's step now: its starts so far (it runs, or has just
  // stopped when node is the anchor).
  const int64_t step = LoadRelaxed(s.anchor->count);
  if (step == 0) return;
  if (s.anchor == &node) {
    AddToPoint(s, step, interval);
    return;
  }
  if (LoadRelaxed(s.pendingStep) != step) {
    if (s.pendingStep != 0) AddToPoint(s, s.pendingStep, s.pending);
    StoreRelaxed(s.pending, int64_t{0});
    StoreRelaxed(s.pendingStep, step);
  }
  StoreRelaxed(s.pending, s.pending + interval);
}

SeriesPoints<int64_t> ReadSeries(const TimerNode& node) {
  SeriesPoints<int64_t> out;
  const Series* s = LoadAcquire(node.series);
  if (s == nullptr) return out;
  int64_t anchorEvery = 1;
  if (s->anchor == nullptr) {
    out.steps = s->steps;
    out.inexact = s->inexact;
  } else {
    const TimerNode& anchor = *s->anchor;
    // Finished steps only: a running anchor's step is not one yet.
    out.steps = LoadRelaxed(anchor.count) - (StopWatchAccess::LoadRunning(anchor.watch) ? 1 : 0);
    if (const Series* own = LoadAcquire(anchor.series)) anchorEvery = LoadRelaxed(own->every);
  }
  // Read again while a fold is under way (a few tries; a signal's handler
  // that interrupted the fold on this thread would wait forever), else
  // taken as it is and said to be inexact.
  for (int attempt = 0;; ++attempt) {
    const int64_t folds = LoadAcquire(s->folds);
    out.every = LoadRelaxed(s->every);
    const int64_t used = LoadAcquire(s->used);
    const int64_t* points = LoadAcquire(s->points);
    out.total.clear();
    out.longest.clear();
    for (int64_t i = 0; i < used; ++i) {
      out.total.push_back(LoadRelaxed(points[1 + 2 * i]));
      out.longest.push_back(LoadRelaxed(points[2 + 2 * i]));
    }
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if ((folds & 1) == 0 && LoadRelaxed(s->folds) == folds) break;
    if (attempt == 100) {
      out.inexact = true;
      break;
    }
    sched_yield();
  }
  const int64_t pendingStep = LoadRelaxed(s->pendingStep);
  if (pendingStep != 0 && pendingStep <= out.steps) {
    const size_t i = static_cast<size_t>((pendingStep - 1) / out.every);
    if (out.total.size() <= i) {
      out.total.resize(i + 1);
      out.longest.resize(i + 1);
    }
    const int64_t pending = LoadRelaxed(s->pending);
    out.total[i] += pending;
    out.longest[i] = std::max(out.longest[i], pending);
  }
  out.Align(anchorEvery);
  return out;
}

void AddSeries(TimerNode& to, const TimerNode& from) {
  if (LoadAcquire(from.series) == nullptr) return;
  SeriesPoints<int64_t> points = ReadSeries(from);
  if (to.series == nullptr) {
    to.series = new (std::nothrow) Series;
    if (to.series == nullptr) return;
    to.inSeries = true;
  } else {
    points.Add(ReadSeries(to));
  }
  Series& s = *to.series;
  // The merged points replace the series' own: folded to the cap, which
  // both sides keep.
  s.steps = points.steps;
  s.inexact = points.inexact;
  s.every = points.every;
  s.everyShift = __builtin_ctzll(static_cast<unsigned long long>(points.every));
  s.used = 0;
  s.pendingStep = 0;
  if (!Reserve(s, static_cast<int64_t>(points.total.size()) - 1)) return;
  for (size_t i = 0; i < points.total.size(); ++i) {
    Point(s, static_cast<int64_t>(i))[0] = points.total[i];
    Point(s, static_cast<int64_t>(i))[1] = points.longest[i];
  }
  s.used = static_cast<int64_t>(points.total.size());
}

}  // namespace timetree

void TimeSeries(const char* name) {
  if (name != nullptr) timetree::AddSeriesName(name, std::strlen(name));
}
