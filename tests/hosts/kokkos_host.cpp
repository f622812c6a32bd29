// A Kokkos program that knows nothing of timetree, timed by the Kokkos tool
// library that Kokkos loads (KOKKOS_PROFILE_LIBRARY): regions, nested and
// repeated; labelled and unlabelled kernels of each kind; a deep copy of
// 8,000 bytes; views allocated and freed; a profile section started twice;
// an event; metadata; a pop that no push began, and a region left pushed.
#include <Kokkos_Core.hpp>
#include <cstdio>

int main(int argc, char** argv) {
  Kokkos::initialize(argc, argv);
  {
    Kokkos::Profiling::pushRegion("setup");
    Kokkos::View<double*> a("field_a", 1000), b("field_b", 1000);
    for (int i = 0; i < 3; ++i) {
      Kokkos::parallel_for(
          "fill", 1000, KOKKOS_LAMBDA(int j) { a(j) = j + i; });
    }
    Kokkos::parallel_for(
        1000, KOKKOS_LAMBDA(int j) { b(j) = 2 * j; });
    Kokkos::Profiling::popRegion();

    uint32_t checkpoint = 0;
    Kokkos::Profiling::createProfileSection("checkpoint", &checkpoint);
    double sum = 0;
    Kokkos::Profiling::pushRegion("solve");
    for (int step = 0; step < 2; ++step) {
      Kokkos::Profiling::pushRegion("iterate");
      {
        Kokkos::View<char*> scratch("scratch", 4096);
        Kokkos::parallel_reduce(
            "dot", 1000, KOKKOS_LAMBDA(int j, double& s) { s += a(j) * b(j); }, sum);
        Kokkos::parallel_scan(
            "prefix", 1000, KOKKOS_LAMBDA(int j, double& s, bool last) {
              s += a(j);
              if (last) b(j) = s;
            });
      }
      Kokkos::Profiling::popRegion();
      Kokkos::Profiling::startSection(checkpoint);
      Kokkos::Profiling::stopSection(checkpoint);
    }
    Kokkos::deep_copy(b, a);
    Kokkos::Profiling::markEvent("converged");
    Kokkos::Profiling::popRegion();
    Kokkos::Profiling::destroyProfileSection(checkpoint);
    Kokkos::Tools::declareMetadata("case", "small");
    // One pop too many, and a region Kokkos' finalize finds still pushed.
    Kokkos::Profiling::popRegion();
    Kokkos::Profiling::pushRegion("left open");
    std::printf("sum %g\n", sum);
  }
  Kokkos::finalize();
}
