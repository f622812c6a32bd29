#!/usr/bin/env python3
"""Checks what functions_hostile wrote (FOLDER/run.json) and said
(FOLDER/out, FOLDER/err):

    check_functions_hostile.py FOLDER

Each plugin's function under its own name, though the second plugin was
loaded where the first had been or written over the first one's file, and
a name both plugins have told apart by its object; what ran after a longjmp out of 30
frames at most one level under main, not under those 30, and the 30 closed
when an excluded function is entered; a name with "/" matched by "*"; every signal's
handler either timed or said; each of 100 functions that one thread
calls timed (more than its first table holds); a thread that ended before
main, the first the library knew, timed.
"""
import json
import os
import re
import sys


def main():
    folder = sys.argv[1]
    with open(os.path.join(folder, "run.json")) as f:
        run = json.load(f)
    problems = []
    threads = [t["timers"] for t in run["threads"]]
    timers = next((t for t in threads if any(x["name"] == "main" for x in t)), [])
    main_timer = [t for t in timers if t["name"] == "main"]
    if len(main_timer) != 1:
        print("check_functions_hostile: no main timer", file=sys.stderr)
        return 1
    children = {t["name"]: t for t in main_timer[0]["children"]}

    def find(name, nodes):
        for t in nodes:
            if t["name"] == name:
                yield t
            yield from find(name, t["children"])

    def find_all(nodes):
        for t in nodes:
            yield t
            yield from find_all(t["children"])

    # A thread that ended before main began, the first of the library's.
    early = [x["count"] for t in threads for x in t if x["name"] == "(anonymous namespace)::EarlyWork(int)"]
    if early != [1]:
        problems.append("EarlyWork(int) timed %s times, not once in a thread of its own" % early)
    # The same name in both plugins: the second also by its object and offset.
    entries = sorted(t["name"] for t in find_all(timers) if t["name"].startswith("plugin_entry_fn"))
    if len(entries) != 2 or entries[0] != "plugin_entry_fn" or not re.fullmatch(
            r"plugin_entry_fn \(libtimetree_functions_plugin_(alpha|omega)\.so\+0x[0-9a-f]+\)",
            entries[1]):
        problems.append("the plugins' entries named %s" % entries)
    # Once from each plugin's own file, once from the file rebuilt in place.
    for name in ("alpha_work_fn", "omega_work_fn", "AlphaHelper(int)", "OmegaHelper(int)"):
        got = sum(t["count"] for t in find(name, timers))
        if got != 2:
            problems.append("%s counted %d times, not twice" % (name, got))
    # Closed at the next enter: every frame the longjmp left below the
    # caller's level. The one at the level of the next call may be a
    # function inlined there, so it stays until its caller exits: what ran
    # next is at most one level under main.
    def depth_of(name, nodes, depth=0):
        for t in nodes:
            if t["name"] == name:
                return depth
            d = depth_of(name, t["children"], depth + 1)
            if d is not None:
                return d
        return None
    after = depth_of("(anonymous namespace)::AfterTheJump()", main_timer[0]["children"])
    if after is None or after > 1:
        problems.append("AfterTheJump() is %s levels under main, not 0 or 1" % after)
    many = {t["name"] for t in find_all(main_timer[0]["children"]) if "Many<" in t["name"]}
    if len(many) < 100:
        problems.append("%d of the 100 functions Many<N> timed" % len(many))
    deep = [t for t in find("(anonymous namespace)::Deep(int)", timers)]
    if any(t["running"] for t in deep):
        problems.append("a frame the longjmp left is still running")
    # Closed at the excluded function's enter, before its 50 ms pause (all
    # but the outermost, at the level of the calls after it: see above).
    inner = sorted(t["total_seconds"] for t in deep)[:-1]
    if not inner or inner[-1] >= 0.025:
        problems.append("frames the longjmp left ran on through the excluded pause: %s" % inner[-3:])
    if not any(t["name"].startswith("(anonymous namespace)::operator/(") for t in find_all(timers)):
        problems.append("operator/ not timed, though TIMETREE_FUNCTIONS_INCLUDE is '*'")
    if any(find("(anonymous namespace)::UntimedPause()", timers)):
        problems.append("the excluded UntimedPause() timed")
    with open(os.path.join(folder, "out")) as f:
        out = f.read().split()
    handled = int(out[1]) if out else 0
    timed = sum(t["count"] for t in find("(anonymous namespace)::OnAlarm(int)", timers))
    with open(os.path.join(folder, "err")) as f:
        err = f.read()
    said = re.search(r"timetree: (\d+) calls of instrumented functions came while the library "
                     r"was busy", err)
    missed = int(said.group(1)) if said else 0
    # Each signal's handler is either timed or counted as missed, once: the
    # count the library prints is exact.
    if timed + missed != handled:
        problems.append("%d signals handled: %d timed, %d said" % (handled, timed, missed))
    for p in problems:
        print("check_functions_hostile: " + p, file=sys.stderr)
    if not problems:
        print("check_functions_hostile: %d signals: %d timed, %d said" % (handled, timed, missed))
    if not out:
        print("check_functions_hostile: no signals (a sanitized build)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
