// A program that knows nothing of timetree, compiled with
// -finstrument-functions and linked with libtimetree_functions: every
// function a timer. check_functions.py reads the JSON that TIMETREE_OUTPUT
// writes at exit.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "../sanitized.h"

// The program's own allocator, instrumented like the rest: the library
// allocates through it while it times, and must not time itself. (A
// sanitizer brings its own, which a program cannot replace.)
#ifndef TIMETREE_SANITIZED
void* operator new(std::size_t size) {
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace solver {

// Called very often and short: throttled when the test asks for it.
__attribute__((noinline)) double Dot(const double* a, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += a[i] * a[i];
  return sum;
}

__attribute__((noinline)) void Leaf(double* out) { *out += 1; }

// Short, but one of its first calls is held up for 60 ms, as a preemption
// would: a trial that judges by the mean would time it for ever.
__attribute__((noinline)) int Accessor(int i) {
  if (i == 100) usleep(60000);
  return i & 7;
}

// Left out by TIMETREE_FUNCTIONS_EXCLUDE in one run: its Leaf then hangs
// from its caller.
__attribute__((noinline)) void Skipped(double* out) { Leaf(out); }

__attribute__((noinline)) int Recurse(int depth) { return depth == 0 ? 0 : 1 + Recurse(depth - 1); }

__attribute__((noinline)) double Assemble() {
  double v[4] = {1, 2, 3, 4}, sum = 0;
  for (int i = 0; i < 20000; ++i) sum += Dot(v, 4);
  Skipped(&sum);
  return sum + Recurse(3);
}

// Four methods alike in their first 25 characters and more: each its own
// timer, under its whole name.
namespace detail {
template <class T>
struct Assembler {
  __attribute__((noinline)) T assemble_matrix(int n) { return static_cast<T>(n); }
  __attribute__((noinline)) T assemble_vector(int n) { return static_cast<T>(n + 1); }
};
}  // namespace detail

__attribute__((noinline)) double LookAlikes() {
  detail::Assembler<double> d;
  detail::Assembler<float> f;
  double sum = 0;
  for (int i = 0; i < 3; ++i) sum += d.assemble_matrix(i);
  for (int i = 0; i < 5; ++i) sum += d.assemble_vector(i);
  for (int i = 0; i < 7; ++i) sum += f.assemble_matrix(i);
  for (int i = 0; i < 11; ++i) sum += f.assemble_vector(i);
  return sum;
}

}  // namespace solver

// Not in the dynamic symbols: named from the program's symbol table.
static __attribute__((noinline)) void Hidden(double* out) { *out += 2; }

__attribute__((noinline)) void Worker(double* out) { *out = solver::Assemble(); }

// Asks for a snapshot (SIGUSR1) and allocates until the library's signal
// thread has written it: that thread, writing, reaches this program's
// operator new too.
__attribute__((noinline)) void Snapshot(const char* path) {
  std::raise(SIGUSR1);
  struct stat written {};
  for (int i = 0; i < 10000 && stat(path, &written) != 0; ++i) {
    const std::string text(200, 'x');
    if (text.size() == 200) usleep(1000);
  }
}

int main(int argc, char** argv) {
  if (argc > 1) Snapshot(argv[1]);
  double a = 0, b = 0;
  a = solver::Assemble();
  Hidden(&a);
  a += solver::LookAlikes();
  for (int i = 0; i < 2000; ++i) a += solver::Accessor(i);
  std::thread worker(Worker, &b);
  worker.join();
  return a > 0 && b > 0 ? 0 : 1;
}
