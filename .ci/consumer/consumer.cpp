// Uses the public API of the installed library and checks what it writes.
#include <timetree.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  setenv("TIMING_ON", "1", 1);
  setenv("TIMING_CONSOLE", "1", 1);
  setenv("TIMING_FILE", "0", 1);
  TimeOpenOStream(nullptr);
  TimeStartTimer("consumer");
  TimeStartTimer("inner");
  TimeStopTimer("inner");
  TimeStopTimer("consumer");
  TimePrintIndented(nullptr);
  TimeCloseOStream();

  StopWatch watch;
  watch.StartTimer();
  watch.StopTimer();
  watch.Print("consumer watch", stdout);
  if (watch.GetCount() != 1 || StopWatch::m_frequency <= 0.0) {
    std::fprintf(stderr, "consumer: unexpected watch state\n");
    return 1;
  }
  std::printf("consumer: ok\n");
  return 0;
}
