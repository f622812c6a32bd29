#!/usr/bin/env python3
"""Runs the functions hosts as a user who got something wrong would, and
checks that each mistake is said, byte for byte, naming its variable:

    check_functions_said.py PLAIN_HOST INSTRUMENTED_HOST FOLDER

PLAIN_HOST is linked with libtimetree_functions but not compiled with
-finstrument-functions.
"""
import json
import os
import shutil
import subprocess
import sys


def run(host, folder, **env):
    full = dict(os.environ, TIMETREE_OUTPUT="json:" + os.path.join(folder, "run.json"), **env)
    done = subprocess.run([host], env=full, capture_output=True, text=True, timeout=120)
    return done.stderr.splitlines()


def main():
    plain, host, folder = sys.argv[1:4]
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    problems = []

    def expect(line, lines, what):
        if lines.count(line) != 1:
            problems.append("%s: not once in %s" % (what, lines))

    expect("timetree: libtimetree_functions is linked, but no function called it: compile the "
           "program with -finstrument-functions (g++, gcc, gfortran) or "
           "-finstrument-functions-after-inlining (clang); TIMETREE_QUIET=1 silences this line",
           run(plain, folder), "no hook call")
    if any("no function called it" in line for line in run(plain, folder, TIMETREE_QUIET="1")):
        problems.append("TIMETREE_QUIET=1 did not silence the line")

    lines = run(host, folder, TIMETREE_FUNCTIONS_INCLUDE="solver::[Dot,nothing*")
    expect('timetree: TIMETREE_FUNCTIONS_INCLUDE has the pattern "solver::[Dot", whose "[" '
           'never closes: it matches only a name with that "[" in it (write "\\[" for one)',
           lines, "an unclosed bracket")
    for pattern in ("solver::[Dot", "nothing*"):
        expect('timetree: TIMETREE_FUNCTIONS_INCLUDE pattern "%s" matched no function that ran '
               '(the names are demangled: "ns::f(int)")' % pattern, lines,
               "a pattern that matched nothing")

    lines = run(host, folder, TIMETREE_FUNCTIONS_THROTTLE="1e99", TIMETREE_FUNCTIONS_MAX_DEPTH="1.5",
                TIMETREE_FUNCTIONS_THROTTLE_NS="-1",
                TIMETREE_FUNCTIONS_EXCLUDE="*operator<<*,solver::Leaf*")
    expect("timetree: TIMETREE_FUNCTIONS_THROTTLE=1e99 is not a whole number from 0 to "
           "4611686018427387904: its default holds", lines, "a count out of range")
    expect("timetree: TIMETREE_FUNCTIONS_MAX_DEPTH=1.5 is not a whole number from 0 to "
           "1099511627776: its default holds", lines, "a depth that is not whole")
    expect("timetree: TIMETREE_FUNCTIONS_THROTTLE_NS=-1 is not a number of nanoseconds from 0 "
           "to 1e15: its default holds", lines, "a negative time")
    with open(os.path.join(folder, "run.json")) as f:
        names = f.read()
    # The "<" of the operator never closes: the comma splits, and both
    # patterns hold.
    if "solver::Leaf" in names or "solver::Assemble" not in names:
        problems.append("TIMETREE_FUNCTIONS_EXCLUDE='*operator<<*,solver::Leaf*' did not leave "
                        "out solver::Leaf alone")
    # The defaults held: the depth is not 1, and Dot was not throttled at 1e99.
    tree = json.loads(names)
    if not any(t["children"] for t in tree["timers"]):
        problems.append("the depth's default did not hold")

    # The exclude list's patterns are said as the include list's; the
    # default threshold (10 timer pairs) throttles a tiny function; a
    # fraction of a nanosecond is a time.
    lines = run(host, folder, TIMETREE_FUNCTIONS_EXCLUDE="solver::[Leaf",
                TIMETREE_FUNCTIONS_THROTTLE="1000")
    expect('timetree: TIMETREE_FUNCTIONS_EXCLUDE has the pattern "solver::[Leaf", whose "[" '
           'never closes: it matches only a name with that "[" in it (write "\\[" for one)',
           lines, "an unclosed bracket in the exclude list")
    if not any(line.startswith("timetree: solver::Dot(") and "is timed no more" in line
               for line in lines):
        problems.append("the default threshold did not throttle solver::Dot: %s" % lines)
    lines = run(host, folder, TIMETREE_FUNCTIONS_THROTTLE_NS="0.5")
    if any("THROTTLE_NS" in line for line in lines):
        problems.append("TIMETREE_FUNCTIONS_THROTTLE_NS=0.5 was refused: %s" % lines)
    # A hook pair's measured cost is a time of a hook pair: not zero, and far
    # under a tenth of a millisecond even under a sanitizer.
    with open(os.path.join(folder, "run.json")) as f:
        hook = json.load(f)["metadata"].get("timing_hook_calls_seconds", 0)
    if not 0 < hook < 1e-4:
        problems.append("a hook pair measured %r s" % hook)

    for p in problems:
        print("check_functions_said: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
