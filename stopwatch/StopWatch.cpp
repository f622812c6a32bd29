#include "include/StopWatch.h"

#include <cstdio>

#include "stopwatch/access.h"
#include "stopwatch/atomics.h"
#include "stopwatch/ticks.h"

double StopWatch::m_frequency = 0.0;

namespace {

// Fills the class-wide frequency on first use; it is never queried again
// once it is known. Threads that convert ticks at once may each fill it, with
// the same value, and never see a half-written one.
inline double Frequency() {
  double frequency = timetree::LoadAcquire(StopWatch::m_frequency);
  if (frequency == 0.0) {
    frequency = timetree::TickFrequency();
    timetree::StoreRelease(StopWatch::m_frequency, frequency);
  }
  return frequency;
}

}  // namespace

StopWatch::StopWatch() : count_(0), start_(0), elapsed_(0.0), running_(0) {}

StopWatch::~StopWatch() = default;

StopWatch& StopWatch::operator=(const StopWatch& other) {
  count_ = other.count_;
  start_ = other.start_;
  elapsed_ = other.elapsed_;
  running_ = other.running_;
  return *this;
}

void StopWatch::StartTimer() { timetree::StopWatchAccess::Start(*this); }

double StopWatch::StopTimer() { return timetree::StopWatchAccess::Stop(*this); }

double StopWatch::GetElapsedTime() { return elapsed_ / Frequency(); }

double StopWatch::ResetElapsedTime() {
  const double seconds = GetElapsedTime();
  elapsed_ = 0.0;
  count_ = 0;
  running_ = 0;
  return seconds;
}

int StopWatch::GetCount() { return count_; }

void StopWatch::Print(const char* label, void* console) {
  const double seconds = elapsed_ / Frequency();
  // An idle watch averages 0 rather than the NaN of 0/0.
  const double average = count_ != 0 ? seconds / count_ : 0.0;
  if (console == nullptr) return;
  FILE* out = static_cast<FILE*>(console);
  // Formatted straight into the stream: no intermediate buffer can cut a
  // long label.
  std::fprintf(out, "| %-20s | %6d | %17lf | %17lf |\n",
               label != nullptr ? label : "", count_, seconds, average);
  std::fflush(out);
}
