#!/usr/bin/env python3
"""Checks the combined JSON of mpi_calls_host (C) or
fortran_mpi_calls_host on 2 ranks, whose MPI calls TIMETREE_MPI_CALLS
timed: each call a top-level timer with its count over the ranks and its
bytes, and no timer of the library's own messages.

    check_mpi_calls.py FILE [--receive-bytes N]
"""
import json
import sys


def main():
    path = sys.argv[1]
    # A C receive counts what arrived (100 bytes); a Fortran one the
    # buffer it posted (200).
    received = int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[2] == "--receive-bytes" else 100
    with open(path) as f:
        run = json.load(f)
    timers = {t["name"]: t for t in run["timers"]}
    want = {
        # name: (count over the 2 ranks, bytes over them)
        "MPI_Allreduce": (20, 2 * 10 * 8),
        "MPI_Bcast": (2, 2 * 4 * 4),
        "MPI_Send": (1, 100),
        "MPI_Recv": (1, received),
        "MPI_Barrier": (2, None),
    }
    # Both hosts: 4 ints from each of the 2 ranks (the Fortran one's counts 1
    # and 3, the last rank's counted too).
    want["MPI_Alltoallv"] = (2, 2 * 16)
    if received == 100:
        # The C host also sends 4 bytes that are received as a double.
        want["MPI_Send"] = (2, 104)
        want["MPI_Recv"] = (2, 104)
        # Only the C host calls them: 4 ints on each of the 2 ranks, then
        # every other timed call, 2 ints (8 bytes) where there is data.
        want["MPI_Reduce_scatter"] = (2, 2 * 16)
        for name in ("Ssend", "Bsend", "Rsend", "Issend"):  # rank 0
            want["MPI_" + name] = (1, 8)
        want["MPI_Isend"] = (1, 8)
        want["MPI_Irecv"] = (5, 5 * 8)  # rank 1's, each the buffer it posted
        want["MPI_Probe"] = want["MPI_Iprobe"] = (1, None)
        want["MPI_Wait"] = (2 + 2 + 2 * 3, None)  # rank 1's two, the Ibarrier's, 3 collectives'
        want["MPI_Waitall"] = (1, None)
        want["MPI_Waitany"] = want["MPI_Waitsome"] = (2, None)
        for name in ("Test", "Testall", "Testany", "Ibarrier"):
            want["MPI_" + name] = (2, None)
        want["MPI_Sendrecv"] = (2, 2 * 16)  # 8 sent and 8 received on each
        for name in ("Ibcast", "Reduce", "Ireduce", "Iallreduce", "Scan", "Exscan", "Gather",
                     "Gatherv", "Allgather", "Allgatherv", "Scatter", "Scatterv", "Alltoall",
                     "Reduce_scatter_block"):
            want["MPI_" + name] = (2, 2 * 8)
    errors = []
    if sorted(timers) != sorted(want):
        errors.append("timers %s, not %s" % (sorted(timers), sorted(want)))
    for name, (count, nbytes) in want.items():
        t = timers.get(name)
        if t is None:
            continue
        if t["count"]["sum"] != count:
            errors.append("%s: count %s, not %d" % (name, t["count"]["sum"], count))
        if t.get("bytes") != nbytes:
            errors.append("%s: bytes %s, not %s" % (name, t.get("bytes"), nbytes))
        if t["children"]:
            errors.append("%s: has children" % name)
        if not t["max_interval_seconds"] >= t["min_interval_seconds"] >= 0:
            errors.append("%s: no interval extremes" % name)
    for e in errors:
        print("check_mpi_calls: " + e)
    if errors:
        sys.exit(1)
    print("check_mpi_calls: %s: every MPI call timed, with its count and bytes" % path)


if __name__ == "__main__":
    main()
