// The MPI calls of a C or C++ program, timed without a change to it: with
// TIMETREE_MPI_CALLS set, each call below is a timer named as the call,
// under whatever timer runs, with the bytes it moves (see docs/mpi.md for
// what each call counts). The program's call reaches these functions when
// libtimetree_mpi comes before the MPI library (linked so, as CMake's
// timetree::mpi and timetree-mpi.pc link it, or given by LD_PRELOAD); each
// then calls MPI's profiling interface. The library's own messages go to the
// profiling interface directly and are never timed.
#include "mpi/calls.h"

using timetree::mpi_calls::Bytes;
using timetree::mpi_calls::Size;
using timetree::mpi_calls::Timed;
using timetree::mpi_calls::TimedThen;
using timetree::mpi_calls::Wanted;

namespace {

// The bytes a receive brought, from its status; a message that is not a
// whole number of the type is counted in bytes.
uint64_t Received(const MPI_Status& status, MPI_Datatype type) {
  int count = 0;
  if (PMPI_Get_count(&status, type, &count) != MPI_SUCCESS) return 0;
  if (count != MPI_UNDEFINED) return Bytes(count, type);
  if (PMPI_Get_count(&status, MPI_BYTE, &count) != MPI_SUCCESS || count == MPI_UNDEFINED) return 0;
  return static_cast<uint64_t>(count);
}

int Rank(MPI_Comm comm) {
  int rank = 0;
  PMPI_Comm_rank(comm, &rank);
  return rank;
}

}  // namespace

// Passes the call on untimed while TIMETREE_MPI_CALLS is off, else times it
// with bytes (evaluated only then).
#define TIMETREE_TIMED(call, bytes, args) \
  if (!Wanted()) return P##call args;     \
  return Timed(#call, bytes, [&] { return P##call args; })

extern "C" {

// Point to point: a send counts its message, a receive what arrived (a
// nonblocking one, the buffer it posted).
TIMETREE_API int MPI_Send(const void* buf, int count, MPI_Datatype type, int dest, int tag,
                          MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Send, Bytes(count, type), (buf, count, type, dest, tag, comm));
}
TIMETREE_API int MPI_Ssend(const void* buf, int count, MPI_Datatype type, int dest, int tag,
                           MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Ssend, Bytes(count, type), (buf, count, type, dest, tag, comm));
}
TIMETREE_API int MPI_Bsend(const void* buf, int count, MPI_Datatype type, int dest, int tag,
                           MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Bsend, Bytes(count, type), (buf, count, type, dest, tag, comm));
}
TIMETREE_API int MPI_Rsend(const void* buf, int count, MPI_Datatype type, int dest, int tag,
                           MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Rsend, Bytes(count, type), (buf, count, type, dest, tag, comm));
}
TIMETREE_API int MPI_Isend(const void* buf, int count, MPI_Datatype type, int dest, int tag,
                           MPI_Comm comm, MPI_Request* request) {
  TIMETREE_TIMED(MPI_Isend, Bytes(count, type), (buf, count, type, dest, tag, comm, request));
}
TIMETREE_API int MPI_Issend(const void* buf, int count, MPI_Datatype type, int dest, int tag,
                            MPI_Comm comm, MPI_Request* request) {
  TIMETREE_TIMED(MPI_Issend, Bytes(count, type), (buf, count, type, dest, tag, comm, request));
}
TIMETREE_API int MPI_Irecv(void* buf, int count, MPI_Datatype type, int source, int tag,
                           MPI_Comm comm, MPI_Request* request) {
  TIMETREE_TIMED(MPI_Irecv, Bytes(count, type), (buf, count, type, source, tag, comm, request));
}
TIMETREE_API int MPI_Recv(void* buf, int count, MPI_Datatype type, int source, int tag,
                          MPI_Comm comm, MPI_Status* status) {
  if (!Wanted()) return PMPI_Recv(buf, count, type, source, tag, comm, status);
  MPI_Status own;
  MPI_Status* seen = status != MPI_STATUS_IGNORE ? status : &own;
  return TimedThen(
      "MPI_Recv", [&] { return PMPI_Recv(buf, count, type, source, tag, comm, seen); },
      [&] { return Received(*seen, type); });
}
TIMETREE_API int MPI_Sendrecv(const void* sendbuf, int sendcount, MPI_Datatype sendtype, int dest,
                              int sendtag, void* recvbuf, int recvcount, MPI_Datatype recvtype,
                              int source, int recvtag, MPI_Comm comm, MPI_Status* status) {
  if (!Wanted()) {
    return PMPI_Sendrecv(sendbuf, sendcount, sendtype, dest, sendtag, recvbuf, recvcount, recvtype,
                         source, recvtag, comm, status);
  }
  MPI_Status own;
  MPI_Status* seen = status != MPI_STATUS_IGNORE ? status : &own;
  return TimedThen(
      "MPI_Sendrecv",
      [&] {
        return PMPI_Sendrecv(sendbuf, sendcount, sendtype, dest, sendtag, recvbuf, recvcount,
                             recvtype, source, recvtag, comm, seen);
      },
      [&] { return Bytes(sendcount, sendtype) + Received(*seen, recvtype); });
}

// Completion and probes: time only.
TIMETREE_API int MPI_Wait(MPI_Request* request, MPI_Status* status) {
  TIMETREE_TIMED(MPI_Wait, 0, (request, status));
}
TIMETREE_API int MPI_Waitall(int count, MPI_Request requests[], MPI_Status statuses[]) {
  TIMETREE_TIMED(MPI_Waitall, 0, (count, requests, statuses));
}
TIMETREE_API int MPI_Waitany(int count, MPI_Request requests[], int* index, MPI_Status* status) {
  TIMETREE_TIMED(MPI_Waitany, 0, (count, requests, index, status));
}
TIMETREE_API int MPI_Waitsome(int incount, MPI_Request requests[], int* outcount, int indices[],
                              MPI_Status statuses[]) {
  TIMETREE_TIMED(MPI_Waitsome, 0, (incount, requests, outcount, indices, statuses));
}
TIMETREE_API int MPI_Test(MPI_Request* request, int* flag, MPI_Status* status) {
  TIMETREE_TIMED(MPI_Test, 0, (request, flag, status));
}
TIMETREE_API int MPI_Testall(int count, MPI_Request requests[], int* flag, MPI_Status statuses[]) {
  TIMETREE_TIMED(MPI_Testall, 0, (count, requests, flag, statuses));
}
TIMETREE_API int MPI_Testany(int count, MPI_Request requests[], int* index, int* flag,
                             MPI_Status* status) {
  TIMETREE_TIMED(MPI_Testany, 0, (count, requests, index, flag, status));
}
TIMETREE_API int MPI_Probe(int source, int tag, MPI_Comm comm, MPI_Status* status) {
  TIMETREE_TIMED(MPI_Probe, 0, (source, tag, comm, status));
}
TIMETREE_API int MPI_Iprobe(int source, int tag, MPI_Comm comm, int* flag, MPI_Status* status) {
  TIMETREE_TIMED(MPI_Iprobe, 0, (source, tag, comm, flag, status));
}

// Collectives: the data this rank puts in (in place, its own part of the
// result).
TIMETREE_API int MPI_Barrier(MPI_Comm comm) { TIMETREE_TIMED(MPI_Barrier, 0, (comm)); }
TIMETREE_API int MPI_Ibarrier(MPI_Comm comm, MPI_Request* request) {
  TIMETREE_TIMED(MPI_Ibarrier, 0, (comm, request));
}
TIMETREE_API int MPI_Bcast(void* buffer, int count, MPI_Datatype type, int root, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Bcast, Bytes(count, type), (buffer, count, type, root, comm));
}
TIMETREE_API int MPI_Ibcast(void* buffer, int count, MPI_Datatype type, int root, MPI_Comm comm,
                            MPI_Request* request) {
  TIMETREE_TIMED(MPI_Ibcast, Bytes(count, type), (buffer, count, type, root, comm, request));
}
TIMETREE_API int MPI_Reduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype type,
                            MPI_Op op, int root, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Reduce, Bytes(count, type), (sendbuf, recvbuf, count, type, op, root, comm));
}
TIMETREE_API int MPI_Ireduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype type,
                             MPI_Op op, int root, MPI_Comm comm, MPI_Request* request) {
  TIMETREE_TIMED(MPI_Ireduce, Bytes(count, type),
                 (sendbuf, recvbuf, count, type, op, root, comm, request));
}
TIMETREE_API int MPI_Allreduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype type,
                               MPI_Op op, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Allreduce, Bytes(count, type), (sendbuf, recvbuf, count, type, op, comm));
}
TIMETREE_API int MPI_Iallreduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype type,
                                MPI_Op op, MPI_Comm comm, MPI_Request* request) {
  TIMETREE_TIMED(MPI_Iallreduce, Bytes(count, type),
                 (sendbuf, recvbuf, count, type, op, comm, request));
}
TIMETREE_API int MPI_Scan(const void* sendbuf, void* recvbuf, int count, MPI_Datatype type,
                          MPI_Op op, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Scan, Bytes(count, type), (sendbuf, recvbuf, count, type, op, comm));
}
TIMETREE_API int MPI_Exscan(const void* sendbuf, void* recvbuf, int count, MPI_Datatype type,
                            MPI_Op op, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Exscan, Bytes(count, type), (sendbuf, recvbuf, count, type, op, comm));
}
TIMETREE_API int MPI_Reduce_scatter(const void* sendbuf, void* recvbuf, const int recvcounts[],
                                    MPI_Datatype type, MPI_Op op, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Reduce_scatter, Bytes(recvcounts, Size(comm), type),
                 (sendbuf, recvbuf, recvcounts, type, op, comm));
}
TIMETREE_API int MPI_Reduce_scatter_block(const void* sendbuf, void* recvbuf, int recvcount,
                                          MPI_Datatype type, MPI_Op op, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Reduce_scatter_block,
                 Bytes(static_cast<long long>(recvcount) * Size(comm), type),
                 (sendbuf, recvbuf, recvcount, type, op, comm));
}
TIMETREE_API int MPI_Gather(const void* sendbuf, int sendcount, MPI_Datatype sendtype,
                            void* recvbuf, int recvcount, MPI_Datatype recvtype, int root,
                            MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Gather,
                 sendbuf == MPI_IN_PLACE ? Bytes(recvcount, recvtype) : Bytes(sendcount, sendtype),
                 (sendbuf, sendcount, sendtype, recvbuf, recvcount, recvtype, root, comm));
}
TIMETREE_API int MPI_Gatherv(const void* sendbuf, int sendcount, MPI_Datatype sendtype,
                             void* recvbuf, const int recvcounts[], const int displs[],
                             MPI_Datatype recvtype, int root, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Gatherv,
                 sendbuf == MPI_IN_PLACE ? Bytes(recvcounts[Rank(comm)], recvtype)
                                         : Bytes(sendcount, sendtype),
                 (sendbuf, sendcount, sendtype, recvbuf, recvcounts, displs, recvtype, root, comm));
}
TIMETREE_API int MPI_Allgather(const void* sendbuf, int sendcount, MPI_Datatype sendtype,
                               void* recvbuf, int recvcount, MPI_Datatype recvtype, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Allgather,
                 sendbuf == MPI_IN_PLACE ? Bytes(recvcount, recvtype) : Bytes(sendcount, sendtype),
                 (sendbuf, sendcount, sendtype, recvbuf, recvcount, recvtype, comm));
}
TIMETREE_API int MPI_Allgatherv(const void* sendbuf, int sendcount, MPI_Datatype sendtype,
                                void* recvbuf, const int recvcounts[], const int displs[],
                                MPI_Datatype recvtype, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Allgatherv,
                 sendbuf == MPI_IN_PLACE ? Bytes(recvcounts[Rank(comm)], recvtype)
                                         : Bytes(sendcount, sendtype),
                 (sendbuf, sendcount, sendtype, recvbuf, recvcounts, displs, recvtype, comm));
}
TIMETREE_API int MPI_Scatter(const void* sendbuf, int sendcount, MPI_Datatype sendtype,
                             void* recvbuf, int recvcount, MPI_Datatype recvtype, int root,
                             MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Scatter,
                 recvbuf == MPI_IN_PLACE ? Bytes(sendcount, sendtype) : Bytes(recvcount, recvtype),
                 (sendbuf, sendcount, sendtype, recvbuf, recvcount, recvtype, root, comm));
}
TIMETREE_API int MPI_Scatterv(const void* sendbuf, const int sendcounts[], const int displs[],
                              MPI_Datatype sendtype, void* recvbuf, int recvcount,
                              MPI_Datatype recvtype, int root, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Scatterv,
                 recvbuf == MPI_IN_PLACE ? Bytes(sendcounts[Rank(comm)], sendtype)
                                         : Bytes(recvcount, recvtype),
                 (sendbuf, sendcounts, displs, sendtype, recvbuf, recvcount, recvtype, root, comm));
}
TIMETREE_API int MPI_Alltoall(const void* sendbuf, int sendcount, MPI_Datatype sendtype,
                              void* recvbuf, int recvcount, MPI_Datatype recvtype, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Alltoall,
                 sendbuf == MPI_IN_PLACE
                     ? Bytes(static_cast<long long>(recvcount) * Size(comm), recvtype)
                     : Bytes(static_cast<long long>(sendcount) * Size(comm), sendtype),
                 (sendbuf, sendcount, sendtype, recvbuf, recvcount, recvtype, comm));
}
TIMETREE_API int MPI_Alltoallv(const void* sendbuf, const int sendcounts[], const int sdispls[],
                               MPI_Datatype sendtype, void* recvbuf, const int recvcounts[],
                               const int rdispls[], MPI_Datatype recvtype, MPI_Comm comm) {
  TIMETREE_TIMED(MPI_Alltoallv,
                 sendbuf == MPI_IN_PLACE ? Bytes(recvcounts, Size(comm), recvtype)
                                         : Bytes(sendcounts, Size(comm), sendtype),
                 (sendbuf, sendcounts, sdispls, sendtype, recvbuf, recvcounts, rdispls, recvtype,
                  comm));
}

}  // extern "C"
