// A host that loads the library with dlopen, as plug-in hosts do.
//
//   dlopen_host cycles LIBRARY FILE   1,000 loads, uses and unloads; each unload
//                                      must close the file with a running timer
//                                      and lose nothing; exit 0 when all held
//   dlopen_host after-unload LIBRARY FILE
//                                      an exit handler that runs after the
//                                      library's own teardown calls every function
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using TextFn = void (*)(const char*);
using VoidFn = void (*)();

struct Api {
  void* handle = nullptr;
  TextFn start, stop, open, indented, comment;
  VoidFn clear, print, close, banner;

  bool Load(const char* path) {
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return false;
    start = Text("_Z14TimeStartTimerPKc");
    stop = Text("_Z13TimeStopTimerPKc");
    open = Text("_Z15TimeOpenOStreamPKc");
    indented = Text("_Z17TimePrintIndentedPKc");
    comment = Text("_Z11TimeCommentPKc");
    clear = Void("_Z9TimeClearv");
    print = Void("_Z9TimePrintv");
    close = Void("_Z16TimeCloseOStreamv");
    banner = Void("_Z20TimeCommentBuildInfov");
    return start && stop && open && indented && comment && clear && print && close &&
           banner;
  }
  TextFn Text(const char* name) { return reinterpret_cast<TextFn>(dlsym(handle, name)); }
  VoidFn Void(const char* name) { return reinterpret_cast<VoidFn>(dlsym(handle, name)); }
};

std::string Read(const char* path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Api g_api;
std::string g_late_file;

int Cycles(const char* library, const char* file) {
  setenv("TIMING_ON", "1", 1);
  setenv("TIMING_FILE", "1", 1);
  setenv("TIMING_CONSOLE", "0", 1);
  for (int i = 0; i < 1000; ++i) {
    // The first loads measure the counter's frequency, which waits up to
    // 10 ms after each load; the rest use the clock that needs no wait.
    if (i == 10) setenv("TIMETREE_CLOCK", "monotonic", 1);
    Api api;
    if (!api.Load(library)) {
      std::fprintf(stderr, "cycle %d: %s\n", i, dlerror());
      return 1;
    }
    // A freshly loaded library has timing off until it reads the switch.
    api.start("ignored");
    api.open(file);
    api.comment("first\n");
    api.start("A");
    api.start("B");
    api.stop("A");
    api.indented(nullptr);
    api.start("running");
    if (dlclose(api.handle) != 0) {
      std::fprintf(stderr, "cycle %d: dlclose failed\n", i);
      return 1;
    }
    const std::string text = Read(file);
    if (text.rfind("first\n\nLABEL", 0) != 0 || text.find("?B") == std::string::npos ||
        text.find("stopped implicitly") == std::string::npos ||
        text.find("ignored") != std::string::npos) {
      std::fprintf(stderr, "cycle %d: the file lost what was written:\n%s", i, text.c_str());
      return 1;
    }
  }
  std::remove(file);
  return 0;
}

void AfterUnload() {
  // The library's teardown has run: every call must still be harmless.
  g_api.start("late");
  g_api.stop("late");
  g_api.stop(nullptr);
  g_api.print();
  g_api.indented("..");
  g_api.comment("late comment\n");
  g_api.banner();
  g_api.open(g_late_file.c_str());
  g_api.start("late2");
  g_api.print();
  g_api.clear();
  g_api.close();
}

int LateCalls(const char* library, const char* file) {
  g_late_file = std::string(file) + ".late";
  // Registered before the library is loaded, so it runs after the
  // library's own exit-time teardown.
  std::atexit(AfterUnload);
  if (!g_api.Load(library)) return 1;
  setenv("TIMING_ON", "1", 1);
  setenv("TIMING_FILE", "1", 1);
  setenv("TIMING_CONSOLE", "0", 1);
  g_api.open(file);
  g_api.start("A");
  g_api.comment("written before exit\n");
  std::exit(0);  // no close, no dlclose
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "cycles") return Cycles(argv[2], argv[3]);
  if (argc == 4 && std::string(argv[1]) == "after-unload") return LateCalls(argv[2], argv[3]);
  std::fprintf(stderr, "usage: dlopen_host cycles|after-unload LIBRARY FILE\n");
  return 2;
}
