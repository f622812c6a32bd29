// MPI calls timed through MPI's profiling interface: what the C wrappers
// (calls.cpp) and the Fortran ones (the mpi module's and mpif.h's, in the
// Fortran MPI library) share. Each timed call is a timer named as the call
// ("MPI_Allreduce"), under whatever timer runs, with the bytes it moves.
#ifndef TIMETREE_MPI_CALLS_H
#define TIMETREE_MPI_CALLS_H

#include <mpi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "include/timetree.h"
#include "sibling/switches.h"

namespace timetree {
namespace mpi_calls {

// Whether TIMETREE_MPI_CALLS asks for the calls to be timed (a switch, read
// as TIMING_ON is), read once, at the first call: unset, every call goes
// straight to MPI at the cost of this test.
inline bool Wanted() {
  static const bool wanted = ParseSwitchValue(std::getenv("TIMETREE_MPI_CALLS")) != 0;
  return wanted;
}

// count elements of type, in bytes; 0 for a null type or a count below 1.
// The type's size is MPI_Count wide (a type of 4 GiB or more has no int
// size), and a product past 2^64 - 1 stays there: a sum that says it is
// saturated rather than one that wraps.
inline uint64_t Bytes(long long count, MPI_Datatype type) {
  if (count <= 0 || type == MPI_DATATYPE_NULL) return 0;
  MPI_Count size = 0;
  if (PMPI_Type_size_x(type, &size) != MPI_SUCCESS || size <= 0 || size == MPI_UNDEFINED) {
    return 0;
  }
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(count), static_cast<uint64_t>(size), &bytes)) {
    return UINT64_MAX;
  }
  return bytes;
}

// The sum of counts[0..n) elements of type, in bytes.
inline uint64_t Bytes(const int* counts, int n, MPI_Datatype type) {
  long long sum = 0;
  for (int i = 0; counts != nullptr && i < n; ++i) sum += counts[i] > 0 ? counts[i] : 0;
  return Bytes(sum, type);
}

// The ranks of comm (its local group's, for an intercommunicator).
inline int Size(MPI_Comm comm) {
  int size = 0;
  if (comm != MPI_COMM_NULL) PMPI_Comm_size(comm, &size);
  return size;
}

// The call-site record of the wrapper whose call is a Call: one per
// instantiation, so one per wrapper (each lambda has a type of its own). Its
// name, compared whole, is the first it is filled with.
template <class Call>
timetree_site& SiteOf() {
  static timetree_site site =
      TIMETREE_SITE_INIT_FLAGS(nullptr, TIMETREE_SITE_CONSTANT | TIMETREE_SITE_WHOLE);
  return site;
}

// Times call as the timer name (a literal), adding bytes to it, through the
// wrapper's record; TimedThen adds what learnt() gives once the call has
// returned (what a receive learns from its status).
template <class Call>
auto Timed(const char* name, uint64_t bytes, Call call) {
  timetree_site& site = SiteOf<Call>();
  timetree_site_start_as(&site, name);
  const auto result = call();
  if (bytes != 0) TimeAddBytes(bytes);
  timetree_site_stop_as(&site, name);
  return result;
}
template <class Call, class Learnt>
auto TimedThen(const char* name, Call call, Learnt learnt) {
  timetree_site& site = SiteOf<Call>();
  timetree_site_start_as(&site, name);
  const auto result = call();
  const uint64_t bytes = learnt();
  if (bytes != 0) TimeAddBytes(bytes);
  timetree_site_stop_as(&site, name);
  return result;
}

}  // namespace mpi_calls
}  // namespace timetree

#endif  // TIMETREE_MPI_CALLS_H
