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
    ("BM_ExistingTimerDepth1/5", "BM_RawRdtscPair", 1.05),
    ("BM_ExistingTimerDepth1/24", "BM_RawRdtscPair", 1.2),
    ("BM_ExistingTimerDepth1Adopted", "BM_RawRdtscPair", 1.05),
    # Recording off: the pair as it always was.
    ("BM_TracedDepth1/iterations:2000000", "BM_RawRdtscPair", 1.05),
    ("BM_CPairDepth1", "BM_RawRdtscPair", 1.2),
    ("BM_FortranPairDepth1", "BM_RawRdtscPair", 1.2),
    ("BM_FortranTerminatedPairDepth1", "BM_RawRdtscPair", 1.2),
    # What trimming 8 trailing blanks costs.
    ("BM_FortranPaddedPairDepth1", "BM_FortranPairDepth1", None),
    ("BM_TenthOfTenSharedPrefix", "BM_RawRdtscPair", 1.2),
    ("BM_LastOfSiblings/10", "BM_RawRdtscPair", 1.2),
    ("BM_RoundRobinSiblings/10", "BM_RawRdtscPair", 1.5),
    ("BM_RoundRobinSiblings/1000", "BM_RawRdtscPair", 2.0),
    ("BM_FirstStart/1000/iterations:100000", "BM_RawRdtscPair", 10.0),
    ("BM_Disabled", "BM_EmptyLibraryCallPair", 1.2),
    # Two threads timing at once, each pair against one thread's.
    ("BM_ExistingTimerThreads/real_time/threads:2",
     "BM_ExistingTimerThreads/real_time/threads:1", 1.1),
    # The flat report of 100,000 names under one parent, against the
    # indented report of the same tree.
    ("BM_PrintFlat/1/100000", "BM_PrintIndented/1/100000", 3.0),
]


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
    return medians, counters


def print_ratios(title, goals, medians):
    print("%-46s %-46s %7s %6s" % (title, "baseline", "ratio", "goal"))
    for name, base, goal in goals:
        if name not in medians or base not in medians:
            continue
        ratio = medians[name] / medians[base]
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
    medians, _ = medians_of(binary, repetitions,
                            args + ["--benchmark_filter=-BM_WriteTrace10M"], env)
    print("%-46s %14s" % ("benchmark (median of %s)" % repetitions, "ns"))
    for name, ns in medians.items():
        print("%-46s %14.1f" % (name, ns))
    print()
    print_ratios("measured", GOALS, medians)
    # The timeline's pass: its own baseline, in the same run.
    env["TIMETREE_TRACE"] = TRACE_EVENTS
    traced, counters = medians_of(
        binary, repetitions, [
            "--benchmark_filter=BM_RawRdtscPair|BM_TracedDepth1|BM_WriteTrace10M"], env)
    print()
    print_ratios("measured, TIMETREE_TRACE=" + TRACE_EVENTS, TRACE_GOALS, traced)
    for name, (bytes_per_event, first_fill) in counters.items():
        print("%-46s %.2f s to export 10,000,000 events, %.2f resident bytes per event "
              "(goals 5 s, 24 bytes)" % (name, traced[name] / 1e9, bytes_per_event))
        print("%-46s %.1f ns per pair recorded into new memory, %.2f times the rdtsc pair"
              % ("", first_fill, first_fill / traced["BM_RawRdtscPair"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
