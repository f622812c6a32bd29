#!/usr/bin/env python3
"""Checks the JSON of functions_host, whose functions
libtimetree_functions timed, for one of its runs:

    check_functions.py FILE all        every function, nested as called
    check_functions.py FILE throttled  solver::Dot throttled after 1,000 calls
    check_functions.py FILE excluded   solver::Skipped left out, its Leaf kept
    check_functions.py FILE depth      2 levels of calls only
    check_functions.py FILE fortran    the Fortran host's program and procedures
"""
import json
import sys


def paths(timers, prefix=()):
    for t in timers:
        path = prefix + (t["name"],)
        yield path, t
        yield from paths(t["children"], path)


# Names are whole.
DOT = "solver::Dot(double const*, int)"


LOOK_ALIKES = {
    "solver::detail::Assembler<double>::assemble_matrix(int)": 3,
    "solver::detail::Assembler<double>::assemble_vector(int)": 5,
    "solver::detail::Assembler<float>::assemble_matrix(int)": 7,
    "solver::detail::Assembler<float>::assemble_vector(int)": 11,
}


def main():
    path, mode = sys.argv[1], sys.argv[2]
    with open(path) as f:
        run = json.load(f)
    threads = run["threads"]
    main_thread = {p: t for p, t in paths(threads[0]["timers"])}
    found = {p[-1]: t for p, t in paths(run["timers"])}
    errors = []

    def expect(condition, what):
        if not condition:
            errors.append(what)

    assemble = ("main", "solver::Assemble()")
    if mode == "all":
        for p in [("main",), assemble, assemble + (DOT,),
                  assemble + ("solver::Skipped(double*)", "solver::Leaf(double*)"),
                  assemble + ("solver::Recurse(int)",) * 4, ("main", "Hidden(double*)")]:
            expect(p in main_thread, "no %s in the main thread" % " > ".join(p))
        dot = main_thread.get(assemble + (DOT,), {})
        expect(dot.get("count") == 20000, "solver::Dot: count %s, not 20000" % dot.get("count"))
        # Alike in their first 25 characters and more: four timers, whole.
        alike = {p[-1]: t["count"] for p, t in main_thread.items()
                 if p[:2] == ("main", "solver::LookAlikes()") and len(p) == 3}
        expect(alike == LOOK_ALIKES, "the look-alikes: %s" % alike)
        expect("throttled" not in dot, "solver::Dot throttled")
        # The worker thread's own tree has Worker and what it called.
        expect(len(threads) == 2, "%d threads, not 2" % len(threads))
        worker = {p[-1] for p, _ in paths(threads[1]["timers"])} if len(threads) == 2 else set()
        expect({"Worker(double*)", "solver::Assemble()"} <= worker,
               "the worker's tree lacks Worker or Assemble: %s" % sorted(worker))
    elif mode == "throttled":
        dot = main_thread.get(assemble + (DOT,), {})
        expect(dot.get("count") == 1000 and dot.get("throttled") is True,
               "solver::Dot: count %s, throttled %s; not 1000, true" % (dot.get("count"), dot.get("throttled")))
        expect(main_thread.get(assemble, {}).get("count") == 1, "solver::Assemble not counted once")
    elif mode == "preempted":
        # Judged by the median of its trial's batches, the accessor whose
        # trial held one long sleep is throttled like any short function.
        accessor = main_thread.get(("main", "solver::Accessor(int)"), {})
        expect(accessor.get("count") == 1000 and accessor.get("throttled") is True,
               "solver::Accessor: count %s, throttled %s; not 1000, true"
               % (accessor.get("count"), accessor.get("throttled")))
        # What timing cost besides the pairs is in the metadata, and in its
        # total.
        m = run["metadata"]
        other = m["timing_hook_calls"] * m["timing_hook_calls_seconds"] + \
            m["timing_trial_reads"] * m["timing_trial_reads_seconds"]
        expect(m["timing_hook_calls"] >= 2 * 20000 + 2000, "hook calls: %s" % m["timing_hook_calls"])
        expect(abs(m["timing_other_seconds"] - other) <= 1e-5 * other and
               abs(m["timing_cost_seconds"] - m["timing_pairs"] * m["timing_pair_seconds"] - other)
               <= 1e-5 * m["timing_cost_seconds"], "the cost's sum: %s" % m)
    elif mode == "excluded":
        expect(assemble + ("solver::Leaf(double*)",) in main_thread, "Leaf not under Assemble")
        expect("solver::Skipped(double*)" not in found, "solver::Skipped timed")
    elif mode == "fortran":
        advance = ("main", "MAIN__", "physics::advance")
        expect(main_thread.get(advance, {}).get("count") == 3, "physics::advance not 3 times under MAIN__")
        expect(main_thread.get(advance + ("physics::flux",), {}).get("count") == 3,
               "physics::flux not 3 times under physics::advance")
        # Module procedures alike in their first 25 characters and more.
        for name, count in (("advec_mom_driver_module::advec_mom_driver", 2),
                            ("advec_mom_driver_module::advec_mom_kernel", 4)):
            got = main_thread.get(("main", "MAIN__", name), {}).get("count")
            expect(got == count, "%s: %s, not %d" % (name, got, count))
    elif mode == "depth":
        expect(max(len(p) for p in main_thread) == 2, "deeper than 2 levels")
        expect(assemble in main_thread, "no Assemble under main")
    for e in errors:
        print("check_functions: " + e)
    if errors:
        sys.exit(1)
    print("check_functions: %s: %s as it should be" % (path, mode))


if __name__ == "__main__":
    main()
