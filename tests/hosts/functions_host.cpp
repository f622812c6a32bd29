// A program that knows nothing of timetree, compiled with
// -finstrument-functions and linked with libtimetree_functions: every
// function a timer. check_functions.py reads the JSON that TIMETREE_OUTPUT
// writes at exit.
#include <thread>

namespace solver {

// Called very often and short: throttled when the test asks for it.
__attribute__((noinline)) double Dot(const double* a, int n) {
  double sum = 0;
  for (int i = 0; i < n; ++i) sum += a[i] * a[i];
  return sum;
}

__attribute__((noinline)) void Leaf(double* out) { *out += 1; }

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

}  // namespace solver

// Not in the dynamic symbols: named from the program's symbol table.
static __attribute__((noinline)) void Hidden(double* out) { *out += 2; }

__attribute__((noinline)) void Worker(double* out) { *out = solver::Assemble(); }

int main() {
  double a = 0, b = 0;
  a = solver::Assemble();
  Hidden(&a);
  std::thread worker(Worker, &b);
  worker.join();
  return a > 0 && b > 0 ? 0 : 1;
}
