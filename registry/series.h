// Series over a loop's steps, when TIMETREE_SERIES (or TimeSeries) names
// the timer of the step: that timer and every timer made under it keep,
// for each of its intervals, their own time within it, in points of K
// steps (see seriespoints.h). Off, and never read on the start/stop path
// but for one flag, unless asked for.
#ifndef TIMETREE_REGISTRY_SERIES_H
#define TIMETREE_REGISTRY_SERIES_H

#include <cstdint>

#include "registry/seriespoints.h"

namespace timetree {

struct TimerNode;

// One timer's series. A live one (anchor set) is written by its owning
// thread at each stop and read (relaxed) by reports meanwhile; a merged
// one (anchor null) is a report's or a finished thread's, and holds its
// steps itself.
struct Series {
  TimerNode* anchor = nullptr;  // the timer whose intervals are the steps:
                                // the node itself, or a timer above it
  int64_t every = 1;            // steps per point
  int everyShift = 0;           // every is 1 << everyShift
  int64_t used = 0;             // points written
  int64_t steps = 0;            // a merged series' steps
  bool inexact = false;         // a merged series read during a fold
  // A timer under the anchor: its time within the anchor's step
  // pendingStep (1 for the first), added to the points when a later step
  // first stops it, or when read.
  int64_t pendingStep = 0;
  int64_t pending = 0;
  int64_t folds = 0;          // folds begun and ended: odd during one
  int64_t capacity = 0;       // points the array holds
  int64_t* points = nullptr;  // two per point: total and longest, ticks;
                              // preceded by the array it replaced, which a
                              // report may still be reading (freed with
                              // the series)
  Series() = default;
  Series(const Series&) = delete;
  Series& operator=(const Series&) = delete;
  ~Series();
};

// Whether a timer of this whole name is the step of a series.
bool NamesSeries(const char* name);
// The series a new timer under parent gets: its own when it names one,
// else its parent's anchor's, else none (null, also when out of memory).
Series* NewSeries(TimerNode& node, const TimerNode* parent);

// A stop of node, which is in a series: interval, its ticks, counts in the
// anchor's current step.
void SeriesAtStop(TimerNode& node, int64_t interval);

// node's series as of now, aligned to its anchor's steps (finished steps
// only); empty steps when it has none.
SeriesPoints<int64_t> ReadSeries(const TimerNode& node);

// Adds from's series into to's (a merge of threads' trees by path).
void AddSeries(TimerNode& to, const TimerNode& from);

}  // namespace timetree

#endif  // TIMETREE_REGISTRY_SERIES_H
