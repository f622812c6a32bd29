// A program compiled with -finstrument-functions that does what real
// programs do to a profiler: unloads a plugin and loads another at the same
// address, leaves 30 frames by longjmp, and takes a signal whose handler is
// instrumented as often as the timer fires. check_functions_hostile.py reads
// what TIMETREE_OUTPUT wrote and what it said.
#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

jmp_buf g_back;
volatile sig_atomic_t g_handled = 0;

__attribute__((noinline)) void Deep(int depth) {
  if (depth == 0) longjmp(g_back, 1);
  Deep(depth - 1);
  asm volatile("");
}

__attribute__((noinline)) void AfterTheJump() { asm volatile(""); }

__attribute__((noinline)) void OnAlarm(int) { g_handled = g_handled + 1; }

__attribute__((noinline)) double Busy(int i) { return i * 0.5; }

// The plugin's one function, called by its name.
int CallPlugin(const char* path, const char* function) {
  void* plugin = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) {
    std::fprintf(stderr, "functions_hostile: %s\n", dlerror());
    return -1;
  }
  auto* work = reinterpret_cast<int (*)(int)>(dlsym(plugin, function));
  const int result = work != nullptr ? work(3) : -1;
  dlclose(plugin);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (CallPlugin(argv[1], "alpha_work_fn") < 0 || CallPlugin(argv[2], "omega_work_fn") < 0) return 1;
  if (setjmp(g_back) == 0) Deep(30);
  AfterTheJump();
  // Under a sanitizer, whose runtime rightly calls allocating in a signal
  // handler unsafe, the signals are left out.
  if (argc > 3 && argv[3][0] == 'n') return 0;
  // A timer that fires often while instrumented functions run: some of its
  // signals come while the hooks are busy.
  signal(SIGALRM, OnAlarm);
  itimerval every{{0, 200}, {0, 200}};
  setitimer(ITIMER_REAL, &every, nullptr);
  double sum = 0;
  for (int i = 0; i < 3000000 && g_handled < 2000; ++i) sum += Busy(i);
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  std::printf("handled %d\n", static_cast<int>(g_handled));
  return sum >= 0 ? 0 : 1;
}
