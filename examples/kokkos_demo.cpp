// A Kokkos program that knows nothing of timetree: a Jacobi solve of a 1-D
// heat equation, in regions and labelled kernels, one kernel left without a
// label. Timed by libtimetree_kokkos when Kokkos is told to load it
// (docs/kokkos.md).
#include <Kokkos_Core.hpp>
#include <cstdio>

int main(int argc, char** argv) {
  Kokkos::initialize(argc, argv);
  {
    const int n = 200000;
    Kokkos::Profiling::pushRegion("setup");
    Kokkos::View<double*> u("u", n), next("next", n), source("source", n);
    Kokkos::parallel_for(
        n, KOKKOS_LAMBDA(int i) { source(i) = (i % 1000) * 1e-3; });
    Kokkos::Profiling::popRegion();

    Kokkos::Profiling::pushRegion("solve");
    double change = 0;
    for (int step = 0; step < 50; ++step) {
      Kokkos::parallel_for(
          "jacobi sweep", Kokkos::RangePolicy<>(1, n - 1),
          KOKKOS_LAMBDA(int i) { next(i) = 0.5 * (u(i - 1) + u(i + 1)) + source(i); });
      Kokkos::parallel_reduce(
          "change", n,
          KOKKOS_LAMBDA(int i, double& sum) { sum += (next(i) - u(i)) * (next(i) - u(i)); },
          change);
      Kokkos::deep_copy(u, next);
    }
    Kokkos::Profiling::popRegion();
    std::printf("last change %.3g\n", change);
  }
  Kokkos::finalize();
}
