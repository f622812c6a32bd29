#!/usr/bin/env python3
"""Checks counters_host's JSON:

    check_counters.py RUN.json [N]     TIMETREE_COUNTERS=all; N: the
                                       resident bytes a touched byte costs
                                       (2 under ThreadSanitizer, whose shadow
                                       of the touched memory is resident too;
                                       "asan": 1, and AddressSanitizer's
                                       shadow may be resident too)
    check_counters.py RUN.json STDERR  cpu_seconds,cycles,cache-misses,pagefaults:
                                       each hardware counter counted where the
                                       machine has it, said where it has not
"""
import json
import os
import sys

MIB = 1 << 20


def main():
    with open(sys.argv[1]) as f:
        run = json.load(f)
    timers = {}

    def walk(ts, prefix):
        for t in ts:
            timers[prefix + t["name"]] = t
            walk(t["children"], prefix + t["name"] + "/")

    walk(run["timers"], "")
    problems = []
    if len(sys.argv) > 2 and not sys.argv[2].isdigit() and sys.argv[2] != "asan":
        hardware(timers, open(sys.argv[2]).read())
        return
    # Resident bytes per byte touched: 1, or 2 under ThreadSanitizer (its
    # shadow); "asan": 1, and AddressSanitizer's shadow (a byte per 8) may
    # be resident too, and stay so once the memory is unmapped.
    mode = sys.argv[2] if len(sys.argv) > 2 else "1"
    resident = 1 if mode == "asan" else int(mode)
    shadow = 0.125 if mode == "asan" else 0.0

    def expect(what, ok):
        if not ok:
            problems.append(what)

    for t in timers.values():
        for field in ("cpu_seconds", "page_faults", "context_switches", "rss_growth_bytes",
                      "peak_rss_bytes"):
            expect("%s has no %s" % (t["name"], field), field in t)
    if problems:
        sys.exit("\n".join(problems))
    sleep, spin = timers["sleep"], timers["spin"]
    # CPU against wall: a sleep waits; the two threads' spins work until
    # they had 300 ms of the processor (their CPU clocks' own count), their
    # wall time as long as a busy machine makes it. The processor time is
    # read before the interval's start reading and after its stop reading
    # (the counters' reads are not timed), so on a machine where the spins
    # hardly wait it may pass the wall time by those reads: 1 ms allowed.
    expect("spin's CPU %.6f s of %.6f s" % (spin["cpu_seconds"], spin["total_seconds"]),
           0.3 <= spin["cpu_seconds"] <= spin["total_seconds"] + 1e-3)
    expect("sleep's CPU %.3f s of %.3f s" % (sleep["cpu_seconds"], sleep["total_seconds"]),
           sleep["cpu_seconds"] < 0.05 * sleep["total_seconds"])
    expect("spin counted %d times" % spin["count"], spin["count"] == 2)
    keep, parent, child = timers["keep"], timers["parent"], timers["parent/child"]
    # 65,536 pages touched: each a fault, and resident.
    for t in (keep, child):
        expect("%s: growth %d" % (t["name"], t["rss_growth_bytes"]),
               250 * MIB * resident <= t["rss_growth_bytes"] <= 270 * MIB * (resident + shadow))
        expect("%s: faults %d" % (t["name"], t["page_faults"]), t["page_faults"] >= 60000)
    expect("keep's peak %d below its growth" % keep["peak_rss_bytes"],
           keep["peak_rss_bytes"] >= keep["rss_growth_bytes"])
    # The parent freed its child's memory before it stopped: its peak saw
    # the child's, its growth is gone again.
    expect("parent's peak %d, child's %d" % (parent["peak_rss_bytes"], child["peak_rss_bytes"]),
           parent["peak_rss_bytes"] >= child["peak_rss_bytes"] >= 250 * MIB * resident)
    expect("parent's growth %d" % parent["rss_growth_bytes"],
           abs(parent["rss_growth_bytes"]) < 16 * MIB * resident + 256 * MIB * shadow)
    if problems:
        sys.exit("\n".join(problems))
    print("CPU, faults and resident memory per timer as the regions used them")


def hardware(timers, said):
    problems = []
    if 'timetree: TIMETREE_COUNTERS: "pagefaults" is not known' not in said:
        problems.append("the unknown name was not said: %r" % said)
    # Root may always open the counters the processor offers: a counter
    # missing for root is one it does not offer.
    if os.geteuid() == 0 and "not permitted" in said:
        problems.append("said not permitted for root: %r" % said)
    if said.count(" is not known") != 1:
        problems.append("a known name was said unknown: %r" % said)
    spin = timers["spin"]
    if not 0 < spin.get("cpu_seconds", 0) <= spin["total_seconds"] * 1.01:
        problems.append("spin's cpu_seconds %r" % spin.get("cpu_seconds"))
    for name, field in (("cycles", "cycles"), ("cache-misses", "cache_misses")):
        line = "timetree: TIMETREE_COUNTERS: %s is not counted: " % name
        if line in said:
            if field in spin:
                problems.append("%s said missing but written" % name)
        elif not spin.get(field, 0) > 0:
            problems.append("%s neither counted nor said missing: %r" % (name, said))
    if any(f in spin for f in ("page_faults", "peak_rss_bytes")):
        problems.append("counters not asked for were written")
    if problems:
        sys.exit("\n".join(problems))
    print("each hardware counter counted or said missing, the others as asked")


main()
