// A program compiled with -finstrument-functions that does what real
// programs do to a profiler: unloads a plugin and loads another at the same
// address, leaves 30 frames by longjmp, and takes a signal whose handler is
// instrumented as often as the timer fires. check_functions_hostile.py reads
// what TIMETREE_OUTPUT wrote and what it said.
#include <dlfcn.h>
#include <pthread.h>

#include <utility>
#include <setjmp.h>
#include <signal.h>
#include <sys/time.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

jmp_buf g_back;
volatile sig_atomic_t g_handled = 0;

__attribute__((noinline)) void Deep(int depth) {
  if (depth == 0) longjmp(g_back, 1);
  Deep(depth - 1);
  asm volatile("");
}

__attribute__((noinline)) void AfterTheJump() { asm volatile(""); }

// A name with a "/" in it, which a glob's "*" matches as any other
// character (TIMETREE_FUNCTIONS_INCLUDE='*').
struct Ratio {
  double value;
};
__attribute__((noinline)) Ratio operator/(Ratio a, Ratio b) { return {a.value / b.value}; }

// Excluded from timing (TIMETREE_FUNCTIONS_EXCLUDE): run after the longjmp,
// it is where the frames left behind are closed, not after its 50 ms.
__attribute__((noinline)) void UntimedPause() { usleep(50000); }

__attribute__((noinline)) void OnAlarm(int) { g_handled = g_handled + 1; }

__attribute__((noinline)) double Busy(int i) { return i * 0.5; }

// Before main, a thread that calls an instrumented function and ends: the
// first of the library's threads, so the last of its list when it goes.
// Started with pthread_create from uninstrumented code, so that no hook of
// this thread's runs first.
__attribute__((noinline)) int EarlyWork(int i) { return i + 1; }
__attribute__((no_instrument_function)) void* Early(void*) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(EarlyWork(1)));
}
__attribute__((constructor, no_instrument_function)) void StartEarly() {
  pthread_t early;
  if (pthread_create(&early, nullptr, Early, nullptr) == 0) pthread_join(early, nullptr);
}

// A new function for each of many: the threads keep making records (under
// the library's locks) while the main thread forks.
template <int N>
__attribute__((noinline)) int Many(int i) {
  return i + N;
}
template <int... N>
int CallEach(int i, std::integer_sequence<int, N...>) {
  const int each[] = {Many<N>(i)...};
  int sum = 0;
  for (const int value : each) sum += value;
  return sum;
}

// Children forked while 8 threads call instrumented functions call some
// themselves and exit: none may wait for ever on a lock a thread held at
// the fork. Returns the children that did not end within 10 s.
int ForkStorm() {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&stop] {
      int sum = 0;
      while (!stop.load()) sum += CallEach(sum & 7, std::make_integer_sequence<int, 64>());
      asm volatile("" : : "r"(sum));
    });
  }
  int hung = 0;
  for (int child = 0; child < 40; ++child) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(10);  // a child that hangs ends here, by SIGALRM
      int sum = CallEach(child, std::make_integer_sequence<int, 64>());
      _exit(sum > 0 ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) ++hung;
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  return hung;
}

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

// A plugin rebuilt in place, as a development loop or a code generator
// does: the second plugin's file written where the first one's was, between
// an unload and the next load, which maps it at the same addresses.
bool Copy(const char* from, const std::string& to) {
  std::remove(to.c_str());  // a new file, never the one mapped before
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
  return static_cast<bool>(out);
}
int CallRebuilt(const char* first, const char* second) {
  const std::string path = "/tmp/timetree-rebuilt-" + std::to_string(getpid()) + ".so";
  int result = -1;
  // Between the two, more new functions than the thread's table holds: its
  // growth must not bring back the unloaded plugin's functions.
  if (Copy(first, path) && CallPlugin(path.c_str(), "alpha_work_fn") >= 0 &&
      CallEach(2, std::make_integer_sequence<int, 100>()) > 0 && Copy(second, path)) {
    result = CallPlugin(path.c_str(), "omega_work_fn");
  }
  std::remove(path.c_str());
  return result;
}

// Both plugins loaded at once, each one's function of the same name called.
int CallBoth(const char* first, const char* second) {
  void* a = dlopen(first, RTLD_NOW | RTLD_LOCAL);
  void* b = dlopen(second, RTLD_NOW | RTLD_LOCAL);
  int result = -1;
  if (a != nullptr && b != nullptr) {
    auto* in_a = reinterpret_cast<int (*)(int)>(dlsym(a, "plugin_entry_fn"));
    auto* in_b = reinterpret_cast<int (*)(int)>(dlsym(b, "plugin_entry_fn"));
    if (in_a != nullptr && in_b != nullptr) result = in_a(1) + in_b(2);
  }
  if (b != nullptr) dlclose(b);
  if (a != nullptr) dlclose(a);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (CallPlugin(argv[1], "alpha_work_fn") < 0 || CallPlugin(argv[2], "omega_work_fn") < 0) return 1;
  if (CallBoth(argv[1], argv[2]) != 3 || CallRebuilt(argv[1], argv[2]) < 0) return 1;
  if ((Ratio{1} / Ratio{2}).value != 0.5) return 1;
  if (setjmp(g_back) == 0) Deep(30);
  UntimedPause();
  AfterTheJump();
  // More functions in one thread than its first table holds.
  if (CallEach(1, std::make_integer_sequence<int, 100>()) <= 0) return 1;
  // Under a sanitizer the forks and the signals are left out: its runtime
  // rightly calls allocating in a signal handler unsafe, and its allocator
  // may be held by another thread at a fork (glibc's is made safe for it).
  if (argc > 3 && argv[3][0] == 'n') return 0;
  const int hung = ForkStorm();
  if (hung != 0) {
    std::fprintf(stderr, "functions_hostile: %d forked children hung\n", hung);
    return 1;
  }
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
