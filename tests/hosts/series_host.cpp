// A time-step loop whose one slow step a series must find: run/step/{a,b},
// where step SLOW's b sleeps 30 ms.
//   series_host STEPS SLOW [THREAD_SLOW]
// With THREAD_SLOW, a second thread runs the same loop (its slow step
// THREAD_SLOW) at the same time, naming the step by TimeSeries instead.
// With "term" instead, the program is killed by SIGTERM inside the last
// step's b; with "context", a worker thread times "work" in each step's
// context.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "include/timetree.h"

namespace {

bool g_term = false, g_context = false;

void Loop(long steps, long slow) {
  TIMETREE_SCOPE("run");
  for (long i = 1; i <= steps; ++i) {
    TIMETREE_SCOPE("step");
    { TIMETREE_SCOPE("a"); }
    if (g_context) {
      const TimeContext step = TimeCurrentContext();
      std::thread([step] {
        const TimeContext own = TimeAdoptContext(step);
        { TIMETREE_SCOPE("work"); }
        TimeAdoptContext(own);
      }).join();
    }
    TIMETREE_SCOPE("b");
    if (i == slow) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    if (g_term && i == steps) {
      // As a job's scheduler kills it: the outputs are written meanwhile.
      raise(SIGTERM);
      pause();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const long steps = std::atol(argv[1]);
  g_term = argc > 3 && std::strcmp(argv[3], "term") == 0;
  g_context = argc > 3 && std::strcmp(argv[3], "context") == 0;
  if (argc > 3 && !g_term && !g_context) {
    TimeSeries("step");
    std::thread other(Loop, steps, std::atol(argv[3]));
    Loop(steps, std::atol(argv[2]));
    other.join();
  } else {
    Loop(steps, std::atol(argv[2]));
  }
  return 0;
}
