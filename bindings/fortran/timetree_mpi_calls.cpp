// The MPI calls of a Fortran program that uses the mpi module or mpif.h,
// timed without a change to it: with TIMETREE_MPI_CALLS set, each call
// below is a timer named as the C call ("MPI_Allreduce"), under whatever
// timer runs, with the bytes of the buffers it was given (count times the
// datatype's size; a receive counts the buffer it posted, a collective the
// data this rank puts in, in place or not). These are the symbols that
// gfortran's calls name (mpi_allreduce_); each calls MPI's Fortran
// profiling entry (pmpi_allreduce_). The mpi_f08 module's calls enter Open
// MPI by other symbols and are not timed. The program's call reaches these
// functions when libtimetree_mpi_fortran comes before the MPI libraries (as
// CMake's timetree::mpi_fortran and timetree-mpi-fortran.pc link it, or
// given by LD_PRELOAD).
#include "mpi/calls.h"

using timetree::mpi_calls::Timed;
using timetree::mpi_calls::Wanted;
using F = MPI_Fint;

namespace {

uint64_t B(long long count, MPI_Fint type) {
  return timetree::mpi_calls::Bytes(count, MPI_Type_f2c(type));
}

int Ranks(MPI_Fint comm) { return timetree::mpi_calls::Size(MPI_Comm_f2c(comm)); }

// The sum of a per-rank count array over the ranks of comm, in bytes.
uint64_t Bs(const MPI_Fint* counts, MPI_Fint comm, MPI_Fint type) {
  long long sum = 0;
  const int ranks = Ranks(comm);
  for (int i = 0; counts != nullptr && i < ranks; ++i) sum += counts[i] > 0 ? counts[i] : 0;
  return B(sum, type);
}

}  // namespace

// Declares MPI's Fortran profiling entry pmpi_NAME_ and defines mpi_NAME_,
// which passes the call on untimed while TIMETREE_MPI_CALLS is off, else
// times it as CALL with bytes (evaluated only then).
#define TIMETREE_FORTRAN_TIMED(name, call, params, args, bytes) \
  void p##name params;                                          \
  TIMETREE_API void name params {                               \
    if (!Wanted()) return p##name args;                         \
    Timed(call, bytes, [&] {                                    \
      p##name args;                                             \
      return 0;                                                 \
    });                                                         \
  }

extern "C" {

TIMETREE_FORTRAN_TIMED(mpi_send_, "MPI_Send",
                       (void* buf, F* count, F* type, F* dest, F* tag, F* comm, F* ierr),
                       (buf, count, type, dest, tag, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_ssend_, "MPI_Ssend",
                       (void* buf, F* count, F* type, F* dest, F* tag, F* comm, F* ierr),
                       (buf, count, type, dest, tag, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_bsend_, "MPI_Bsend",
                       (void* buf, F* count, F* type, F* dest, F* tag, F* comm, F* ierr),
                       (buf, count, type, dest, tag, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_rsend_, "MPI_Rsend",
                       (void* buf, F* count, F* type, F* dest, F* tag, F* comm, F* ierr),
                       (buf, count, type, dest, tag, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_isend_, "MPI_Isend",
                       (void* buf, F* count, F* type, F* dest, F* tag, F* comm, F* request,
                        F* ierr),
                       (buf, count, type, dest, tag, comm, request, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_issend_, "MPI_Issend",
                       (void* buf, F* count, F* type, F* dest, F* tag, F* comm, F* request,
                        F* ierr),
                       (buf, count, type, dest, tag, comm, request, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_irecv_, "MPI_Irecv",
                       (void* buf, F* count, F* type, F* source, F* tag, F* comm, F* request,
                        F* ierr),
                       (buf, count, type, source, tag, comm, request, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_recv_, "MPI_Recv",
                       (void* buf, F* count, F* type, F* source, F* tag, F* comm, F* status,
                        F* ierr),
                       (buf, count, type, source, tag, comm, status, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_sendrecv_, "MPI_Sendrecv",
                       (void* sendbuf, F* sendcount, F* sendtype, F* dest, F* sendtag,
                        void* recvbuf, F* recvcount, F* recvtype, F* source, F* recvtag, F* comm,
                        F* status, F* ierr),
                       (sendbuf, sendcount, sendtype, dest, sendtag, recvbuf, recvcount, recvtype,
                        source, recvtag, comm, status, ierr),
                       B(*sendcount, *sendtype) + B(*recvcount, *recvtype))
TIMETREE_FORTRAN_TIMED(mpi_wait_, "MPI_Wait",
                       (F* request, F* status, F* ierr),
                       (request, status, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_waitall_, "MPI_Waitall",
                       (F* count, F* requests, F* statuses, F* ierr),
                       (count, requests, statuses, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_waitany_, "MPI_Waitany",
                       (F* count, F* requests, F* index, F* status, F* ierr),
                       (count, requests, index, status, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_waitsome_, "MPI_Waitsome",
                       (F* incount, F* requests, F* outcount, F* indices, F* statuses, F* ierr),
                       (incount, requests, outcount, indices, statuses, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_test_, "MPI_Test",
                       (F* request, F* flag, F* status, F* ierr),
                       (request, flag, status, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_testall_, "MPI_Testall",
                       (F* count, F* requests, F* flag, F* statuses, F* ierr),
                       (count, requests, flag, statuses, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_testany_, "MPI_Testany",
                       (F* count, F* requests, F* index, F* flag, F* status, F* ierr),
                       (count, requests, index, flag, status, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_probe_, "MPI_Probe",
                       (F* source, F* tag, F* comm, F* status, F* ierr),
                       (source, tag, comm, status, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_iprobe_, "MPI_Iprobe",
                       (F* source, F* tag, F* comm, F* flag, F* status, F* ierr),
                       (source, tag, comm, flag, status, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_barrier_, "MPI_Barrier",
                       (F* comm, F* ierr),
                       (comm, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_ibarrier_, "MPI_Ibarrier",
                       (F* comm, F* request, F* ierr),
                       (comm, request, ierr),
                       0)
TIMETREE_FORTRAN_TIMED(mpi_bcast_, "MPI_Bcast",
                       (void* buffer, F* count, F* type, F* root, F* comm, F* ierr),
                       (buffer, count, type, root, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_ibcast_, "MPI_Ibcast",
                       (void* buffer, F* count, F* type, F* root, F* comm, F* request, F* ierr),
                       (buffer, count, type, root, comm, request, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_reduce_, "MPI_Reduce",
                       (void* sendbuf, void* recvbuf, F* count, F* type, F* op, F* root, F* comm,
                        F* ierr),
                       (sendbuf, recvbuf, count, type, op, root, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_ireduce_, "MPI_Ireduce",
                       (void* sendbuf, void* recvbuf, F* count, F* type, F* op, F* root, F* comm,
                        F* request, F* ierr),
                       (sendbuf, recvbuf, count, type, op, root, comm, request, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_allreduce_, "MPI_Allreduce",
                       (void* sendbuf, void* recvbuf, F* count, F* type, F* op, F* comm, F* ierr),
                       (sendbuf, recvbuf, count, type, op, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_iallreduce_, "MPI_Iallreduce",
                       (void* sendbuf, void* recvbuf, F* count, F* type, F* op, F* comm, F* request,
                        F* ierr),
                       (sendbuf, recvbuf, count, type, op, comm, request, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_scan_, "MPI_Scan",
                       (void* sendbuf, void* recvbuf, F* count, F* type, F* op, F* comm, F* ierr),
                       (sendbuf, recvbuf, count, type, op, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_exscan_, "MPI_Exscan",
                       (void* sendbuf, void* recvbuf, F* count, F* type, F* op, F* comm, F* ierr),
                       (sendbuf, recvbuf, count, type, op, comm, ierr),
                       B(*count, *type))
TIMETREE_FORTRAN_TIMED(mpi_reduce_scatter_, "MPI_Reduce_scatter",
                       (void* sendbuf, void* recvbuf, F* recvcounts, F* type, F* op, F* comm,
                        F* ierr),
                       (sendbuf, recvbuf, recvcounts, type, op, comm, ierr),
                       Bs(recvcounts, *comm, *type))
TIMETREE_FORTRAN_TIMED(mpi_reduce_scatter_block_, "MPI_Reduce_scatter_block",
                       (void* sendbuf, void* recvbuf, F* recvcount, F* type, F* op, F* comm,
                        F* ierr),
                       (sendbuf, recvbuf, recvcount, type, op, comm, ierr),
                       B(static_cast<long long>(*recvcount) * Ranks(*comm), *type))
TIMETREE_FORTRAN_TIMED(mpi_gather_, "MPI_Gather",
                       (void* sendbuf, F* sendcount, F* sendtype, void* recvbuf, F* recvcount,
                        F* recvtype, F* root, F* comm, F* ierr),
                       (sendbuf, sendcount, sendtype, recvbuf, recvcount, recvtype, root, comm,
                        ierr),
                       B(*sendcount, *sendtype))
TIMETREE_FORTRAN_TIMED(mpi_gatherv_, "MPI_Gatherv",
                       (void* sendbuf, F* sendcount, F* sendtype, void* recvbuf, F* recvcounts,
                        F* displs, F* recvtype, F* root, F* comm, F* ierr),
                       (sendbuf, sendcount, sendtype, recvbuf, recvcounts, displs, recvtype, root,
                        comm, ierr),
                       B(*sendcount, *sendtype))
TIMETREE_FORTRAN_TIMED(mpi_allgather_, "MPI_Allgather",
                       (void* sendbuf, F* sendcount, F* sendtype, void* recvbuf, F* recvcount,
                        F* recvtype, F* comm, F* ierr),
                       (sendbuf, sendcount, sendtype, recvbuf, recvcount, recvtype, comm, ierr),
                       B(*sendcount, *sendtype))
TIMETREE_FORTRAN_TIMED(mpi_allgatherv_, "MPI_Allgatherv",
                       (void* sendbuf, F* sendcount, F* sendtype, void* recvbuf, F* recvcounts,
                        F* displs, F* recvtype, F* comm, F* ierr),
                       (sendbuf, sendcount, sendtype, recvbuf, recvcounts, displs, recvtype, comm,
                        ierr),
                       B(*sendcount, *sendtype))
TIMETREE_FORTRAN_TIMED(mpi_scatter_, "MPI_Scatter",
                       (void* sendbuf, F* sendcount, F* sendtype, void* recvbuf, F* recvcount,
                        F* recvtype, F* root, F* comm, F* ierr),
                       (sendbuf, sendcount, sendtype, recvbuf, recvcount, recvtype, root, comm,
                        ierr),
                       B(*recvcount, *recvtype))
TIMETREE_FORTRAN_TIMED(mpi_scatterv_, "MPI_Scatterv",
                       (void* sendbuf, F* sendcounts, F* displs, F* sendtype, void* recvbuf,
                        F* recvcount, F* recvtype, F* root, F* comm, F* ierr),
                       (sendbuf, sendcounts, displs, sendtype, recvbuf, recvcount, recvtype, root,
                        comm, ierr),
                       B(*recvcount, *recvtype))
TIMETREE_FORTRAN_TIMED(mpi_alltoall_, "MPI_Alltoall",
                       (void* sendbuf, F* sendcount, F* sendtype, void* recvbuf, F* recvcount,
                        F* recvtype, F* comm, F* ierr),
                       (sendbuf, sendcount, sendtype, recvbuf, recvcount, recvtype, comm, ierr),
                       B(static_cast<long long>(*sendcount) * Ranks(*comm), *sendtype))
TIMETREE_FORTRAN_TIMED(mpi_alltoallv_, "MPI_Alltoallv",
                       (void* sendbuf, F* sendcounts, F* sdispls, F* sendtype, void* recvbuf,
                        F* recvcounts, F* rdispls, F* recvtype, F* comm, F* ierr),
                       (sendbuf, sendcounts, sdispls, sendtype, recvbuf, recvcounts, rdispls,
                        recvtype, comm, ierr),
                       Bs(sendcounts, *comm, *sendtype))

// A Fortran program's MPI_Finalize enters MPI below the C one that writes
// TIMETREE_OUTPUT's MPI items (see mpi/finalize.cpp): it goes through that
// one, which then finalises.
TIMETREE_API void mpi_finalize_(MPI_Fint* ierr) { *ierr = MPI_Finalize(); }

}  // extern "C"
