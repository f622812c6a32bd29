"""Checks a series_host run: check_series.py RUN.json STEPS SLOW [THREAD_SLOW]
(the steps, the slow step, and the second thread's); with "term" for
THREAD_SLOW, a run killed inside its last step, whose series cover the
steps before it; with "context", a worker's "work" in each step, which
keeps no series of steps it did not run."""
import json
import sys


def timers(tree, prefix=""):
    found = {}
    for t in tree:
        found[prefix + t["name"]] = t
        found.update(timers(t["children"], prefix + t["name"] + "/"))
    return found


def main():
    term = sys.argv[3:] == [sys.argv[3], "term"]
    path, steps = sys.argv[1], int(sys.argv[2])
    slows = [int(s) for s in sys.argv[3:] if s not in ("term", "context")]
    if term:
        steps -= 1  # the step killed is not finished
    run = json.load(open(path))
    found = timers(run["timers"])
    problems = []

    def expect(what, ok):
        if not ok:
            problems.append(what)

    expect("run keeps no series", "series" not in found["run"])
    if sys.argv[4:] == ["context"]:
        expect("work in every step", found["run/step/work"]["count"] == steps)
        expect("work keeps a series", "series" not in found["run/step/work"])
    step = found["run/step"]["series"]
    every = step["every"]
    expect("steps %d, every %d" % (step["steps"], every), step["steps"] == steps)
    expect("at most 10,000 points: %d" % len(step["seconds"]), len(step["seconds"]) <= 10000)
    for name in ("step", "a", "b"):
        timer = found["run/step" if name == "step" else "run/step/" + name]
        series = timer["series"]
        expect("%s: every %d, its step's %d" % (name, series["every"], every),
               series["every"] == every and series["steps"] == steps)
        expect("%s: %d points" % (name, len(series["seconds"])),
               len(series["seconds"]) == len(series["max_seconds"]) == -(-steps // every))
        # Every step is covered: the points add up to the timer's total
        # (killed: to no more, the unfinished step's left out).
        total = sum(series["seconds"])
        expect("%s: points sum to %.9f, total %.9f" % (name, total, timer["total_seconds"]),
               abs(total - timer["total_seconds"]) <= 1e-6 * timer["total_seconds"] + 1e-8
               or (term and total <= timer["total_seconds"]))
        expect("%s running %s" % (name, timer["running"]), timer["running"] == (term and name != "a"))
        # A folded point's longest is one step's, not a half point's total:
        # in a typical point it is a small share of the point's seconds.
        if every >= 16:
            shares = sorted(m / s for m, s in zip(series["max_seconds"], series["seconds"]) if s > 0)
            expect("%s: the longest step is %.2f of its point's seconds (median)" %
                   (name, shares[len(shares) // 2]), shares and shares[len(shares) // 2] < 0.25)
        # The slow steps' points hold a step of 30 ms in step and b, not in a
        # (a step that the machine preempted for as long may add a point:
        # the tests share the machine).
        slow_points = sorted(i for i, s in enumerate(series["max_seconds"]) if s >= 0.029)
        want = sorted((s - 1) // every for s in slows)
        found_slow = set(want) <= set(slow_points) if name != "a" else not set(want) & set(slow_points)
        expect("%s: slow points %s, the slow steps' %s" % (name, slow_points, want), found_slow)
    if problems:
        sys.exit("\n".join(problems))
    print("the series of %d steps holds the slow step%s" % (steps, "s" if len(slows) > 1 else ""))


if __name__ == "__main__":
    main()
