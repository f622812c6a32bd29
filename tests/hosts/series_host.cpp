// A time-step loop whose one slow step a series must find: run/step/{a,b},
// where step SLOW's b sleeps 30 ms.
//   series_host STEPS SLOW [THREAD_SLOW]
// With THREAD_SLOW, a second thread runs the same loop (its slow step
// THREAD_SLOW) at the same time, naming the step by TimeSeries instead.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "include/timetree.h"

namespace {

void Loop(long steps, long slow) {
  TIMETREE_SCOPE("run");
  for (long i = 1; i <= steps; ++i) {
    TIMETREE_SCOPE("step");
    { TIMETREE_SCOPE("a"); }
    TIMETREE_SCOPE("b");
    if (i == slow) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const long steps = std::atol(argv[1]);
  if (argc > 3) {
    TimeSeries("step");
    std::thread other(Loop, steps, std::atol(argv[3]));
    Loop(steps, std::atol(argv[2]));
    other.join();
  } else {
    Loop(steps, std::atol(argv[2]));
  }
  return 0;
}
