#!/usr/bin/env python3
"""Checks a timeline file against the trace-event rules its readers apply.

check_trace.py TRACE [--events N] [--threads N] [--processes N] [--ranks N] [--waits NAME]

Every complete event has a string name, "ph": "X", numeric ts and dur
(dur >= 0) and integer pid and tid; on each thread the events nest properly
(an event that starts inside another ends inside it: no partial overlap)
and come in order of start; each thread with events is named by a
thread_name event whose "events" count is what the file holds for it.
--events, --threads and --processes say how many there must be in all
(processes: distinct pids with events); --ranks that pid
runs 0..N-1 (an MPI trace), each rank's clock offset and residual given.
--waits NAME: on every rank an event NAME ends at the same moment (within
the clock residual and 50 ms of scheduling), while they start apart: the
wait of fast ranks in a collective.
"""
import argparse
import json
import sys
from collections import defaultdict


def fail(message):
    print("check_trace: " + message)
    sys.exit(1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("trace")
    parser.add_argument("--events", type=int)
    parser.add_argument("--threads", type=int)
    parser.add_argument("--processes", type=int)
    parser.add_argument("--ranks", type=int)
    parser.add_argument("--waits")
    args = parser.parse_args()
    with open(args.trace, encoding="utf-8") as f:
        doc = json.load(f)
    events = doc["traceEvents"]
    lanes = defaultdict(list)
    named = {}
    for e in events:
        for key in ("ph", "name", "pid", "tid"):
            if key not in e:
                fail("an event without %s: %r" % (key, e))
        if not isinstance(e["name"], str) or not all(
                isinstance(e[k], int) for k in ("pid", "tid")):
            fail("bad name, pid or tid: %r" % e)
        if e["ph"] == "X":
            if not all(isinstance(e.get(k), (int, float)) for k in ("ts", "dur")):
                fail("complete event without numeric ts and dur: %r" % e)
            if e["dur"] < 0:
                fail("negative duration: %r" % e)
            lanes[(e["pid"], e["tid"])].append(e)
        elif e["ph"] == "M" and e["name"] == "thread_name":
            named[(e["pid"], e["tid"])] = e["args"]
        elif e["ph"] not in ("M", "i"):
            fail("unexpected phase: %r" % e)
    for lane, xs in lanes.items():
        if lane not in named:
            fail("thread %r has events but no thread_name" % (lane,))
        if named[lane]["events"] != len(xs):
            fail("thread %r: thread_name says %d events, the file holds %d"
                 % (lane, named[lane]["events"], len(xs)))
        stack = []
        last_ts = None
        for e in xs:
            if last_ts is not None and e["ts"] < last_ts:
                fail("thread %r: events out of order of start at %r" % (lane, e))
            last_ts = e["ts"]
            end = e["ts"] + e["dur"]
            while stack and stack[-1] <= e["ts"]:
                stack.pop()
            # Exactly as readers compute it: start plus duration, doubles.
            if stack and end > stack[-1]:
                fail("thread %r: %r overlaps its enclosing event partly" % (lane, e))
            stack.append(end)
    total = sum(len(xs) for xs in lanes.values())
    if args.events is not None and total != args.events:
        fail("%d events, expected %d" % (total, args.events))
    if args.threads is not None and len(lanes) != args.threads:
        fail("%d threads with events, expected %d" % (len(lanes), args.threads))
    if args.processes is not None and len({pid for pid, _ in lanes}) != args.processes:
        fail("%d processes with events, expected %d"
             % (len({pid for pid, _ in lanes}), args.processes))
    if args.ranks is not None:
        pids = sorted({pid for pid, _ in lanes})
        if pids != list(range(args.ranks)):
            fail("ranks %r, expected 0..%d" % (pids, args.ranks - 1))
        other = doc["otherData"]
        if len(other["clock_offsets_us"]) != args.ranks or \
                len(other["clock_residual_us"]) != args.ranks:
            fail("clock offsets or residuals missing: %r" % other)
        # The tests' ranks share one host and so one clock: each measured
        # offset is within its residual (half the best round trip) of 0, a
        # rank's round trip takes time, and rank 0 is the reference.
        offsets, residuals = other["clock_offsets_us"], other["clock_residual_us"]
        if offsets[0] != 0 or residuals[0] != 0 or \
                any(r <= 0 or abs(o) > r + 0.001 for o, r in zip(offsets[1:], residuals[1:])) or \
                other["largest_clock_residual_us"] != max(residuals):
            fail("clock offsets %r, residuals %r, largest %r"
                 % (offsets, residuals, other["largest_clock_residual_us"]))
    if args.waits:
        residual = doc["otherData"]["largest_clock_residual_us"]
        ends, starts = {}, {}
        for (pid, _), xs in lanes.items():
            for e in xs:
                if e["name"] == args.waits:
                    ends[pid] = e["ts"] + e["dur"]
                    starts[pid] = e["ts"]
        if len(ends) < 2:
            fail("no %r events on several ranks" % args.waits)
        spread_end = max(ends.values()) - min(ends.values())
        spread_start = max(starts.values()) - min(starts.values())
        if spread_end > residual + 50000:
            fail("%r ends %.0f us apart across ranks (residual %.3f us)"
                 % (args.waits, spread_end, residual))
        if spread_start <= spread_end:
            fail("%r starts %.0f us apart, no more than its ends" % (args.waits, spread_start))
        print("check_trace: %r ends within %.0f us across ranks, starts %.0f us apart; "
              "largest clock residual %.3f us" % (args.waits, spread_end, spread_start, residual))
    print("check_trace: %d events on %d threads, properly nested" % (total, len(lanes)))


if __name__ == "__main__":
    main()
