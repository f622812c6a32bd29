// A program with no timer and no timetree call: compiled with
// -finstrument-functions and linked with libtimetree_functions, each of its
// functions is a timer. It smooths a signal a few times and sums it.
#include <cmath>
#include <cstdio>
#include <vector>

namespace signal_demo {

// Kept out of line, as a program's larger functions are: clang's
// -finstrument-functions-after-inlining times only what is not inlined.
__attribute__((noinline)) std::vector<double> Generate(int n) {
  std::vector<double> x(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) x[static_cast<size_t>(i)] = std::sin(0.001 * i);
  return x;
}

__attribute__((noinline)) void Smooth(std::vector<double>& x) {
  for (size_t i = 1; i + 1 < x.size(); ++i) x[i] = (x[i - 1] + x[i] + x[i + 1]) / 3;
}

__attribute__((noinline)) double Sum(const std::vector<double>& x) {
  double sum = 0;
  for (double v : x) sum += v;
  return sum;
}

}  // namespace signal_demo

int main() {
  std::vector<double> x = signal_demo::Generate(1000000);
  for (int pass = 0; pass < 5; ++pass) signal_demo::Smooth(x);
  std::printf("functions_demo: sum %.6f\n", signal_demo::Sum(x));
  return 0;
}
