#!/usr/bin/env python3
"""What the Python module's timers cost, against a bare Python function call
in the same run: a `with timetree.timer()` block, a call of a decorated
function, and a start/stop pair, each the median of 7 repeats of N calls.

    python_bench.py [N]    (1,000,000 by default)

Run with timing on (TIMING_ON=1) and the module on PYTHONPATH."""
import sys
import timeit

import timetree


def bare():
    pass


@timetree.timed("decorated")
def decorated():
    pass


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000000
    block = timetree.timer("block")
    cases = {
        "bare function call": "bare()",
        "decorated call": "decorated()",
        "with timer() block": "with block: pass",
        "start() + stop()": "start('pair'); stop('pair')",
    }
    names = {"bare": bare, "decorated": decorated, "block": block,
             "start": timetree.start, "stop": timetree.stop}
    timetree.clear()  # reads TIMING_ON
    timetree.start("outer")
    results = {}
    for label, statement in cases.items():
        runs = timeit.repeat(statement, globals=names, number=n, repeat=7)
        results[label] = sorted(runs)[3] / n * 1e9
    timetree.stop("outer")
    base = results["bare function call"]
    for label, ns in results.items():
        print("%-20s %7.1f ns  %5.2f x the bare call" % (label, ns, ns / base))
    if timetree.timers()[0]["children"][0]["count"] != 7 * n:
        sys.exit("timing was off: set TIMING_ON=1")


main()
