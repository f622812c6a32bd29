// Compiled with -finstrument-functions: the one function of the benchmarks
// that libtimetree_functions times, called by BM_InstrumentedFunctionPair.
namespace bench {

__attribute__((noinline)) void Leaf() { asm volatile(""); }

// Left out by TIMETREE_FUNCTIONS_EXCLUDE: what a function not timed costs,
// as a throttled one does.
__attribute__((noinline)) void Excluded() { asm volatile(""); }

}  // namespace bench
