// The C interface: each function hands over to the C++ one it names.
#include "include/timetree_c.h"

#include <new>

#include "include/timetree.h"
#include "registry/names.h"
#include "stopwatch/access.h"
#include "stopwatch/ticks.h"

struct timetree_stopwatch {
  StopWatch watch;
};

extern "C" {

void timetree_start(const char* name) { TimeStartTimer(name); }
void timetree_stop(const char* name) { TimeStopTimer(name); }
void timetree_add_bytes(unsigned long long bytes) { TimeAddBytes(bytes); }
void timetree_clear(void) { TimeClear(); }
void timetree_series(const char* name) { TimeSeries(name); }
void timetree_print(void) { TimePrint(); }
void timetree_print_indented(const char* unit) { TimePrintIndented(unit); }
void timetree_comment(const char* text) { TimeComment(text); }
void timetree_open(const char* path) { TimeOpenOStream(path); }
void timetree_close(void) { TimeCloseOStream(); }
void timetree_build_info(void) { TimeCommentBuildInfo(); }
void timetree_set_metadata(const char* key, const char* value) { TimeSetMetadata(key, value); }
int timetree_write_json(const char* path) { return TimeWriteJson(path) ? 1 : 0; }
int timetree_write_folded(const char* path) { return TimeWriteFolded(path) ? 1 : 0; }
int timetree_write_trace(const char* path) { return TimeWriteTrace(path) ? 1 : 0; }
int timetree_write_flamegraph(const char* path) { return TimeWriteFlameGraph(path) ? 1 : 0; }

}  // extern "C"

namespace {

struct CVisitor {
  timetree_visit_fn visit;
  void* context;
};

void VisitForC(const TimeTimerInfo64& timer, void* context) {
  const auto& to = *static_cast<CVisitor*>(context);
  char cut[timetree::kNameSize];
  timetree::CopyTimerName(cut, timer.name);
  const timetree_timer_info info{timer.depth,
                                 cut,
                                 timer.count,
                                 timer.total_seconds,
                                 timer.self_seconds,
                                 timer.stopped_implicitly ? 1 : 0,
                                 timer.running ? 1 : 0,
                                 timer.names_merged ? 1 : 0,
                                 timer.name,
                                 timer.name_length};
  to.visit(&info, to.context);
}

}  // namespace

extern "C" {

int timetree_for_each(timetree_visit_fn visit, void* context) {
  if (visit == nullptr) return 0;
  CVisitor to{visit, context};
  return TimeForEachTimer64(&VisitForC, &to) ? 1 : 0;
}

timetree_stopwatch* timetree_stopwatch_new(void) { return new (std::nothrow) timetree_stopwatch; }

void timetree_stopwatch_free(timetree_stopwatch* watch) { delete watch; }

void timetree_stopwatch_start(timetree_stopwatch* watch) {
  if (watch != nullptr) watch->watch.StartTimer();
}

double timetree_stopwatch_stop(timetree_stopwatch* watch) {
  // A watch never started has no start reading: stopping it would add
  // garbage to its total.
  if (watch == nullptr || !timetree::StopWatchAccess::Running(watch->watch)) return 0.0;
  const double ticks = watch->watch.StopTimer();
  return ticks / timetree::TickFrequency();
}

double timetree_stopwatch_seconds(const timetree_stopwatch* watch) {
  if (watch == nullptr) return 0.0;
  return const_cast<StopWatch&>(watch->watch).GetElapsedTime();
}

int timetree_stopwatch_count(const timetree_stopwatch* watch) {
  if (watch == nullptr) return 0;
  return const_cast<StopWatch&>(watch->watch).GetCount();
}

double timetree_stopwatch_reset(timetree_stopwatch* watch) {
  if (watch == nullptr) return 0.0;
  return watch->watch.ResetElapsedTime();
}

}  // extern "C"
