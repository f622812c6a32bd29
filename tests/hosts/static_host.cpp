// A host whose own static objects call the library while the process
// exits, and which never closes the outputs.
//
//   static_host FILE
#include <timetree.h>

#include <cstdlib>

namespace {

struct TimesAtExit {
  ~TimesAtExit() {
    TimeStartTimer("in destructor");
    TimeStopTimer("in destructor");
    TimeStopTimer("nothing running");
    TimePrintIndented(nullptr);
    TimeComment("destructor done\n");
  }
} g_times_at_exit;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  setenv("TIMING_ON", "1", 1);
  setenv("TIMING_FILE", "1", 1);
  setenv("TIMING_CONSOLE", "0", 1);
  TimeOpenOStream(argv[1]);
  TimeStartTimer("main");
  TimeStopTimer("main");
  TimeStartTimer("left running");
  return 0;
}
