// The one function of the library compiled with -finstrument-functions:
// called by the library itself to measure what an instrumented call of a
// function that is not timed costs, as the compiler's code makes it (the
// call, the two hook calls, their arguments), for the estimate of what
// timing cost. It is never timed and never counted.
namespace timetree_functions {

__attribute__((noinline)) void Probe() { asm volatile(""); }

}  // namespace timetree_functions
