// Compiled with -finstrument-functions: the one function of the benchmarks
// that libtimetree_functions times, called by BM_InstrumentedFunctionPair.
namespace bench {

__attribute__((noinline)) void Leaf() { asm volatile(""); }

}  // namespace bench
