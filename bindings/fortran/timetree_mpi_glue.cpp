// The Fortran MPI module's way to the MPI component: a Fortran communicator
// (MPI_Fint) made a C one. Before MPI_Init or after MPI_Finalize it is
// MPI_COMM_NULL, for which the component says what is wrong and returns
// false, as it does for a C++ caller.
//
// MPI's deprecated C++ bindings are kept out: they would need a library
// that a Fortran host does not link.
#ifndef OMPI_SKIP_MPICXX
#define OMPI_SKIP_MPICXX 1
#endif
#ifndef MPICH_SKIP_MPICXX
#define MPICH_SKIP_MPICXX 1
#endif
#include <mpi.h>

#include "include/timetree_mpi.h"

namespace {

MPI_Comm FromFortran(MPI_Fint comm) {
  int initialized = 0;
  int finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  return initialized != 0 && finalized == 0 ? MPI_Comm_f2c(comm) : MPI_COMM_NULL;
}

}  // namespace

extern "C" int timetree_mpi_fortran_summary(MPI_Fint comm) {
  return TimeMpiSummary(FromFortran(comm)) ? 1 : 0;
}

extern "C" int timetree_mpi_fortran_write_json(MPI_Fint comm, const char* path) {
  return TimeMpiWriteJson(FromFortran(comm), path) ? 1 : 0;
}
