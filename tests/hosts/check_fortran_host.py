#!/usr/bin/env python3
"""Checks what fortran_host wrote into FOLDER: the JSON tree, both reports
and the folded stacks.

    check_fortran_host.py FOLDER
"""
import json
import os
import sys


def main():
    folder = sys.argv[1]
    problems = []

    def check(ok, what):
        if not ok:
            problems.append(what)

    with open(os.path.join(folder, "fortran.json")) as f:
        tree = json.load(f)
    timers = tree["timers"]
    check([t["name"] for t in timers] == ["run"], "one top-level timer, run")
    run = timers[0]
    check(run["count"] == 1, "run started once")
    children = [(c["name"], c["count"]) for c in run["children"]]
    # Exports give names whole: the 70-character name as it was started.
    check(children == [("solve", 2), ("x" * 69 + "y", 1), ("fast", 1), ("phase_a", 1)],
          "run's children: solve (trailing blanks trimmed) twice, the long name, then "
          "fast (ending in c_null_char, stopped without): %s" % children)
    check(not run["children"][2]["stopped_implicitly"], "fast stopped by its name")
    phase = run["children"][3]
    check([(c["name"], c["count"], c["stopped_implicitly"]) for c in phase["children"]]
          == [("phase_b", 1, False)] and not phase["stopped_implicitly"],
          "phase_b inside phase_a, each stopped by its name")
    solve = run["children"][0]
    inner = [(c["name"], c["count"], c["stopped_implicitly"]) for c in solve["children"]]
    check(inner == [("assemble_stiffness_matrix_and_", 2, False)],
          "a 30-character name, stopped by the same name: %s" % inner)
    check(not any(c.get("names_merged") for c in [solve] + solve["children"]),
          "no names merged")
    check(not os.path.exists(os.path.join(folder, "empty.json")), "no file for no timers")
    check(tree["metadata"].get("case") == "fortran host", "metadata case, trimmed")

    with open(os.path.join(folder, "report.txt")) as f:
        report = f.read()
    check(report.count("fortran host\n") == 1, "the comment, once")
    flat = "\nsolve                          |      2 |"
    indented = "\n  solve                        |      2 |"
    check(flat in report and indented in report, "a flat and an indented row of solve")
    check("Timers with ?" not in report, "no timer stopped implicitly")

    with open(os.path.join(folder, "fortran.folded")) as f:
        paths = [line.rsplit(" ", 1)[0] for line in f]
    check(paths == ["run", "run;solve", "run;solve;assemble_stiffness_matrix_and_",
                    "run;" + "x" * 69 + "y", "run;fast", "run;phase_a", "run;phase_a;phase_b"],
          "folded paths: %s" % paths)

    for p in problems:
        print("check_fortran_host: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
