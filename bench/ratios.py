#!/usr/bin/env python3
"""Runs the benchmarks and prints their medians with the ratios to the
baselines measured in the same run.

    bench/ratios.py BENCH_BINARY [--repetitions N] [extra benchmark flags]
"""
import json
import os
import subprocess
import sys

GOALS = [
    # (benchmark, baseline, goal ratio or None)
    ("BM_StopWatchStartStop", "BM_RawRdtscPair", 1.1),
    # A timer pair against the bare StopWatch pair of the same run.
    ("BM_ExistingTimerDepth1/5", "BM_StopWatchStartStop", 1.15),
    ("BM_ExistingTimerDepth1/24", "BM_StopWatchStartStop", 1.15),
    ("BM_CPairDepth1", "BM_StopWatchStartStop", 1.15),
    # A scope through its call site's record, inline.
    ("BM_ScopeDepth1", "BM_StopWatchStartStop", 1.15),
    ("BM_ScopeDepth1", "BM_RawRdtscPair", None),
    ("BM_TenthOfTenSharedPrefix", "BM_StopWatchStartStop", 1.2),
    ("BM_ExistingTimerDepth1/5", "BM_RawRdtscPair", None),
    ("BM_ExistingTimerDepth1/24", "BM_RawRdtscPair", None),
    ("BM_ExistingTimerDepth1Adopted", "BM_ExistingTimerDepth1/5", 1.05),
    # Recording off: the pair as it always was.
    ("BM_TracedDepth1/iterations:2000000", "BM_ExistingTimerDepth1/5", 1.05),
    # Fortran against C: plain names (trimmed, passed with their length)
    # and names ending in c_null_char (passed as they are).
    ("BM_FortranPairDepth1", "BM_CPairDepth1", 1.1),
    ("BM_FortranTerminatedPairDepth1", "BM_CPairDepth1", 1.05),
    # ... and through a call-site record.
    ("BM_FortranSitePairDepth1", "BM_CPairDepth1", None),
    # What trimming 8 trailing blanks costs.
    ("BM_FortranPaddedPairDepth1", "BM_FortranPairDepth1", None),
    ("BM_LastOfSiblings/10", "BM_ExistingTimerDepth1/24", 1.2),
    # Cycling costs what repeating costs.
    ("BM_RoundRobinSiblings/10", "BM_ExistingTimerDepth1/24", 1.3),
    ("BM_RoundRobinSiblings/1000", "BM_ExistingTimerDepth1/24", 1.3),
    # Any fixed order, and an order drawn anew each pass: found by the
    # name's pointer.
    ("BM_StridedSiblings/10", "BM_ExistingTimerDepth1/24", None),
    ("BM_StridedSiblings/1000", "BM_ExistingTimerDepth1/24", 1.4),
    # ... and through a call-site record each.
    ("BM_StridedSites/1000", "BM_ExistingTimerDepth1/24", 1.4),
    ("BM_ShuffledSiblings/10", "BM_ExistingTimerDepth1/24", 1.3),
    ("BM_FirstStart/1000/iterations:100000", "BM_RawRdtscPair", 10.0),
    ("BM_Disabled", "BM_EmptyLibraryCallPair", 1.2),
    # An instrumented function's enter and exit against a timer pair.
    ("BM_InstrumentedFunctionPair", "BM_ExistingTimerDepth1/5", None),
    # ... and against that pair plus the floor of the compiler's two hook
    # calls (a baseline "A+B" is the sum of two benchmarks' medians).
    ("BM_InstrumentedFunctionPair", "BM_ExistingTimerDepth1/5+BM_EmptyLibraryCallPair", 1.25),
    # A function not timed (left out or throttled) against the compiler's
    # two hook calls into empty functions.
    ("BM_ExcludedFunctionPair", "BM_EmptyLibraryCallPair", 1.3),
    # A Kokkos kernel's begin and end through the tool library.
    ("BM_KokkosKernelPair", "BM_ExistingTimerDepth1/24", 1.5),
    # A step of a series and its child against the same pairs outside one.
    ("BM_SeriesStepWithChild", "BM_StepWithChild", None),
    # Two threads timing at once, each pair against one thread's.
    ("BM_ExistingTimerThreads/real_time/threads:2",
     "BM_ExistingTimerThreads/real_time/threads:1", 1.1),
    # The flat report of 100,000 names under one parent, against the
    # indented report of the same tree.
    ("BM_PrintFlat/1/100000", "BM_PrintIndented/1/100000", 3.0),
]

# Figures that benchmarks report as counters: (benchmark, counter,
# baseline benchmark, its counter or None for its time, goal ratio).
COUNTER_GOALS = [
    # A pair after 64 MiB streamed, against two counter reads after the same.
    ("BM_ColdPair/iterations:200", "cold_ticks", "BM_ColdRdtscPair/iterations:200",
     "cold_ticks", 13.0),
    # The scope's inline pair after the same, against one cold load.
    ("BM_ColdScopePair/iterations:200", "cold_ticks", "BM_ColdLoad/iterations:200",
     "cold_ticks", 2.0),
    ("BM_ColdScopePair/iterations:200", "cold_ticks", "BM_ColdRdtscPair/iterations:200",
     "cold_ticks", None),
    ("BM_ColdPair/iterations:200", "cold_ticks", "BM_ColdLoad/iterations:200",
     "cold_ticks", None),
    ("BM_ColdEmptyLibraryCallPair/iterations:200", "cold_ticks",
     "BM_ColdRdtscPair/iterations:200", "cold_ticks", None),
    ("BM_ColdDisabledPair/iterations:200", "cold_ticks", "BM_ColdRdtscPair/iterations:200",
     "cold_ticks", None),
    # The pair the library measured for its estimate of what timing cost,
    # against the benchmark's own.
    ("BM_MeasuredPairCost/iterations:1", "pair_ns", "BM_ExistingTimerDepth1/24", None, 1.25),
]


# The pass with TIMETREE_NAMES=full: names of 25 characters or fewer cost
# what they cost by default; a longer one a compare of its tail more.
NAMES_GOALS = [
    ("BM_ExistingTimerDepth1/5", "BM_StopWatchStartStop", 1.15),
    ("BM_ExistingTimerDepth1/24", "BM_StopWatchStartStop", 1.15),
    ("BM_LongNameDepth1/0", "BM_ExistingTimerDepth1/24", 1.15),
    ("BM_LongNameDepth1/1", "BM_ExistingTimerDepth1/24", 1.15),
]
NAMES_FILTER = "BM_StopWatchStartStop|BM_ExistingTimerDepth1/|BM_LongNameDepth1"


# The second pass, with TIMETREE_TRACE set: the same pair, every interval
# recorded.
TRACE_GOALS = [
    ("BM_TracedDepth1/iterations:2000000", "BM_RawRdtscPair", 1.5),
]
TRACE_EVENTS = "12000000"


def medians_of(binary, repetitions, args, env):
    out = subprocess.run(
        [binary, "--benchmark_format=json",
         "--benchmark_repetitions=" + repetitions,
         "--benchmark_report_aggregates_only=true"] + args,
        check=True, capture_output=True, text=True, env=env).stdout
    medians, counters = {}, {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            scale = {"ns": 1.0, "us": 1e3, "ms": 1e6}[b["time_unit"]]
            # A run on n threads reports wall time per pair of all threads
            # together; times n, it is each thread's cost per pair.
            threads = b.get("threads", 1)
            medians[b["run_name"]] = b["real_time"] * scale * threads
            if "bytes_per_event" in b:
                counters[b["run_name"]] = (b["bytes_per_event"], b["first_fill_ns_per_pair"])
            for key in ("cold_ticks", "pair_ns"):
                if key in b:
                    counters[(b["run_name"], key)] = b[key]
    return medians, counters


def baseline(medians, base):
    """The median of base, or the sum of each part's of "A+B"; None when one is missing."""
    parts = [medians.get(part) for part in base.split("+")]
    return None if None in parts else sum(parts)


def print_ratios(title, goals, medians):
    print("%-46s %-46s %7s %6s" % (title, "baseline", "ratio", "goal"))
    for name, base, goal in goals:
        base_ns = baseline(medians, base)
        if name not in medians or base_ns is None:
            continue
        ratio = medians[name] / base_ns
        mark = "" if goal is None or ratio <= goal else "  over"
        print("%-46s %-46s %7.2f %6s%s" % (name, base, ratio,
                                           "" if goal is None else goal, mark))


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    binary, args = sys.argv[1], sys.argv[2:]
    repetitions = "5"
    if "--repetitions" in args:
        at = args.index("--repetitions")
        repetitions = args[at + 1]
        del args[at:at + 2]
    env = dict(os.environ)
    env.pop("TIMETREE_TRACE", None)
    medians, counters = medians_of(binary, repetitions,
                                   args + ["--benchmark_filter=-BM_WriteTrace10M"], env)
    print("%-46s %14s" % ("benchmark (median of %s)" % repetitions, "ns"))
    for name, ns in medians.items():
        print("%-46s %14.1f" % (name, ns))
    print()
    print_ratios("measured", GOALS, medians)
    for name, key, base, base_key, goal in COUNTER_GOALS:
        if (name, key) not in counters:
            continue
        base_value = counters.get((base, base_key)) if base_key else medians.get(base)
        if not base_value:
            continue
        ratio = counters[(name, key)] / base_value
        mark = "" if goal is None or ratio <= goal else "  over"
        print("%-46s %-46s %7.2f %6s%s" % (name + " " + key, base, ratio,
                                           "" if goal is None else goal, mark))
    # Whole names: the same pairs, and their baseline, in a run of their own.
    names_env = dict(env, TIMETREE_NAMES="full")
    whole, _ = medians_of(binary, repetitions, ["--benchmark_filter=" + NAMES_FILTER], names_env)
    print()
    print_ratios("measured, TIMETREE_NAMES=full", NAMES_GOALS, whole)
    print_ratios("measured, names by default", NAMES_GOALS[2:], medians)
    # The timeline's pass: its own baseline, in the same run.
    env["TIMETREE_TRACE"] = TRACE_EVENTS
    traced, trace_counters = medians_of(
        binary, repetitions, [
            "--benchmark_filter=BM_RawRdtscPair|BM_TracedDepth1|BM_WriteTrace10M"], env)
    print()
    print_ratios("measured, TIMETREE_TRACE=" + TRACE_EVENTS, TRACE_GOALS, traced)
    for name, (bytes_per_event, first_fill) in trace_counters.items():
        print("%-46s %.2f s to export 10,000,000 events, %.2f resident bytes per event "
              "(goals 5 s, 24 bytes)" % (name, traced[name] / 1e9, bytes_per_event))
        print("%-46s %.1f ns per pair recorded into new memory, %.2f times the rdtsc pair"
              % ("", first_fill, first_fill / traced["BM_RawRdtscPair"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
