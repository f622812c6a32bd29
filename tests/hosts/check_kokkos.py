#!/usr/bin/env python3
"""Checks the JSON and the standard error of kokkos_host, timed by the
Kokkos tool library:

    check_kokkos.py RUN.json STDERR
"""
import json
import sys


def paths(timers, prefix=()):
    for t in timers:
        path = prefix + (t["name"],)
        yield path, t
        yield from paths(t["children"], path)


def main():
    with open(sys.argv[1]) as f:
        run = json.load(f)
    with open(sys.argv[2]) as f:
        said = f.read()
    timers = {"/".join(p): t for p, t in paths(run["timers"])}
    counts = {p: t["count"] for p, t in timers.items()}
    want = {
        "setup": 1,
        "setup/Kokkos::View::initialization [field_a]": 1,
        "setup/Kokkos::View::initialization [field_b]": 1,
        "setup/fill": 3,
        "solve/checkpoint": 2,
        "solve": 1,
        "solve/iterate": 2,
        "solve/iterate/Kokkos::View::initialization [scratch]": 2,
        "solve/iterate/dot": 2,
        "solve/iterate/prefix": 2,
        "solve/deep_copy field_b (Host) <- field_a (Host)": 1,
        "solve/event converged": 1,
        "left open": 1,
    }
    problems = []
    for path, count in want.items():
        if counts.get(path) != count:
            problems.append("%s: count %s, expected %d" % (path, counts.get(path), count))
    # The unlabelled kernel: its kind and the lambda's type, as the compiler
    # names it (g++: main::{lambda(int)#2}, clang: main::$_1).
    unlabelled = [p for p in counts if p.startswith(("setup/parallel_for main::{lambda(int)#",
                                                     "setup/parallel_for main::$_"))]
    if len(unlabelled) != 1:
        problems.append("no one unlabelled kernel under setup: %s" % sorted(counts))
    # Nothing else: no timer for the pop that no push began.
    extra = set(counts) - set(want) - set(unlabelled)
    if extra:
        problems.append("timers not expected: %s" % sorted(extra))
    copy = timers.get("solve/deep_copy field_b (Host) <- field_a (Host)", {})
    if copy.get("bytes") != 8000:
        problems.append("deep copy bytes %s, expected 8000" % copy.get("bytes"))
    # An event starts and stops its timer at once: nothing after it is
    # inside it.
    if timers.get("solve/event converged", {}).get("stopped_implicitly") is not False:
        problems.append("the event's timer was left running")
    if timers.get("left open", {}).get("running"):
        problems.append("the region left pushed is still running in the JSON")
    meta = run["metadata"]
    # a and b (8,000 bytes each) and scratch twice (4,096) are freed before
    # finalize; peak: a, b and one scratch live at once, at least.
    expect_meta = {"case": "small", "kokkos_unmatched_pops": "1",
                   "kokkos_interface_version": "20210225",
                   "kokkos_Host_freed_bytes": str(2 * 8000 + 2 * 4096),
                   "kokkos_Host_deallocations": "4"}
    for key, value in expect_meta.items():
        if meta.get(key) != value:
            problems.append("metadata %s: %r, expected %r" % (key, meta.get(key), value))
    allocated = int(meta.get("kokkos_Host_allocated_bytes", "0"))
    live = int(meta.get("kokkos_Host_live_bytes", "-1"))
    peak = int(meta.get("kokkos_Host_peak_live_bytes", "0"))
    if allocated - int(meta.get("kokkos_Host_freed_bytes", "0")) != live:
        problems.append("allocated - freed != live: %d, %s" % (allocated, live))
    if not 2 * 8000 + 4096 <= peak <= allocated:
        problems.append("peak %d not between 20096 and %d" % (peak, allocated))
    # Per region, what was allocated and freed while it ran (inside its
    # kernels too) and the most live after one of its allocations: setup
    # made a and b; each iterate made and freed scratch (and the reduction's
    # own scratch, once, in dot); the region left open freed a and b.
    def memory(path):
        return timers.get(path, {}).get("memory", {}).get("Host", {})
    setup = memory("setup")
    if (setup.get("allocated_bytes"), setup.get("freed_bytes"),
            setup.get("peak_live_bytes")) != (16000, 0, 16000):
        problems.append("setup's memory %s, expected 16000 allocated, peak 16000" % setup)
    iterate, dot = memory("solve/iterate"), memory("solve/iterate/dot")
    if (iterate.get("allocated_bytes"), iterate.get("freed_bytes")) != (
            2 * 4096 + dot.get("allocated_bytes", -1), 2 * 4096):
        problems.append("iterate's memory %s (dot's %s)" % (iterate, dot))
    if memory("solve") != iterate or iterate.get("peak_live_bytes") != peak:
        problems.append("solve's memory %s is not iterate's %s, peak %d" % (
            memory("solve"), iterate, peak))
    if memory("left open").get("freed_bytes") != 16000:
        problems.append("left open freed %s, expected 16000" % memory("left open"))
    # Every allocation ran in a region: the top level's sum is the run's.
    top = sum(memory(t["name"]).get("allocated_bytes", 0) for t in run["timers"])
    if top != allocated:
        problems.append("top-level allocated %d, the run's %d" % (top, allocated))
    for line in ["timetree: Kokkos popped 1 region that no push had begun; it was left out\n",
                 "timetree: 1 Kokkos region was still pushed at Kokkos' finalize "
                 "(outermost \"left open\"), stopped there\n"]:
        if line not in said:
            problems.append("not said: %r" % line)
    if problems:
        print("\n".join(problems))
        sys.exit(1)
    print("Kokkos' regions, kernels, copies, sections and memory as the program ran them")


main()
