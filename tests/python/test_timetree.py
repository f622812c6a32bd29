"""The timetree module as a Python program uses it, run by ctest with
timing on (TIMING_ON=1) and TIMETREE_TEST_NATIVE naming a native library
linked to libtimetree."""
import ctypes
import json
import os
import subprocess
import sys
import threading

import pytest

import timetree


@pytest.fixture(autouse=True)
def fresh():
    timetree.clear()
    yield
    timetree.clear()


def tree():
    """{path: timer} of every timer, paths joined by '/'."""
    found = {}

    def walk(timers, prefix):
        for t in timers:
            path = prefix + t["name"]
            found[path] = t
            walk(t["children"], path + "/")

    walk(timetree.timers(), "")
    return found


class Solver:
    @timetree.timed
    def step(self, n):
        with timetree.timer("assemble"):
            return n + 1

    @timetree.timed("named step")
    def other(self):
        return self


def test_context_manager_and_decorated_method_nest_and_count():
    solver = Solver()
    with timetree.timer("run"):
        for i in range(5):
            assert solver.step(i) == i + 1
        assert solver.other() is solver
    timers = tree()
    assert {p: t["count"] for p, t in timers.items()} == {
        "run": 1, "run/Solver.step": 5, "run/Solver.step/assemble": 5, "run/named step": 1}
    # The decorated method keeps its name, documentation and binding.
    assert Solver.step.__name__ == "step" and Solver.step.__wrapped__ is not None
    assert Solver().step.__self__ is not None


def test_exceptions_stop_their_timers_normally():
    @timetree.timed
    def fails():
        raise KeyError("missing")

    with pytest.raises(KeyError):
        with timetree.timer("outer"):
            with timetree.timer("block"):
                fails()
    timetree.start("after")
    timetree.stop("after")
    timers = tree()
    assert set(timers) == {"outer", "outer/block",
                           "outer/block/test_exceptions_stop_their_timers_normally.<locals>.fails",
                           "after"}
    assert not any(t["stopped_implicitly"] or t["running"] for t in timers.values())


def test_names_are_checked():
    with pytest.raises(TypeError):
        timetree.timer(3)
    with pytest.raises(ValueError):
        timetree.start("a\0b")
    with pytest.raises(TypeError):
        timetree.timed(42)


def test_native_timers_nest_under_python_ones_and_the_reverse():
    native = ctypes.CDLL(os.environ["TIMETREE_TEST_NATIVE"])
    callback_type = ctypes.CFUNCTYPE(None)

    def inside():
        with timetree.timer("python inside"):
            native.native_kernel()

    callback = callback_type(inside)
    with timetree.timer("python"):
        native.native_kernel()
        native.native_driver(callback)
    assert {p: t["count"] for p, t in tree().items()} == {
        "python": 1, "python/native kernel": 1, "python/native driver": 1,
        "python/native driver/python inside": 1,
        "python/native driver/python inside/native kernel": 1}


def test_threads_time_in_trees_of_their_own_merged_by_path():
    barrier = threading.Barrier(4)

    def work():
        barrier.wait()
        for _ in range(100):
            with timetree.timer("work"):
                pass

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert tree()["work"]["count"] == 400


def test_exports_metadata_and_output_at_exit(tmp_path):
    with timetree.timer("exported"):
        pass
    timetree.metadata("case", 7)
    path = tmp_path / "run.json"
    assert timetree.write_json(path)
    run = json.loads(path.read_text())
    assert run["timers"][0]["name"] == "exported"
    assert run["metadata"]["case"] == "7"
    # TIMETREE_OUTPUT in a Python process: written when it exits.
    at_exit = tmp_path / "exit.json"
    env = dict(os.environ, TIMETREE_OUTPUT="json:%s" % at_exit)
    env.pop("TIMING_ON", None)
    subprocess.run([sys.executable, "-c",
                    "import timetree\nwith timetree.timer('main'):\n    pass\n"],
                   env=env, check=True)
    assert json.loads(at_exit.read_text())["timers"][0]["name"] == "main"


def test_sigterm_inside_a_timer_writes_the_outputs(tmp_path):
    # As in any process: the library's handler writes TIMETREE_OUTPUT's
    # items, the running timer counted up to the signal, then the default
    # action ends the program.
    at_signal = tmp_path / "term.json"
    env = dict(os.environ, TIMETREE_OUTPUT="json:%s" % at_signal)
    program = ("import os, signal, timetree\n"
               "with timetree.timer('killed'):\n"
               "    os.kill(os.getpid(), signal.SIGTERM)\n"
               "    signal.pause()\n")
    done = subprocess.run([sys.executable, "-c", program], env=env, timeout=60)
    assert done.returncode == -15
    killed = json.loads(at_signal.read_text())["timers"][0]
    assert killed["name"] == "killed" and killed["running"]


def test_reports_go_to_the_file_named_with_the_unit_given(tmp_path):
    path = tmp_path / "report.txt"
    env = dict(os.environ, TIMING_ON="1", TIMING_FILE="1", TIMING_CONSOLE="0")
    program = ("import sys, timetree\n"
               "timetree.open_channels(sys.argv[1])\n"
               "with timetree.timer('outer'):\n"
               "    with timetree.timer('inner'):\n"
               "        pass\n"
               "timetree.print_indented('..')\n"
               "timetree.close_channels()\n")
    subprocess.run([sys.executable, "-c", program, str(path)], env=env, check=True,
                   cwd=tmp_path)
    report = path.read_text()
    assert "..inner" in report and "outer" in report


def test_a_decorated_function_lets_its_name_go():
    name = "".join(["released", " name"])
    held = sys.getrefcount(name)
    decorated = timetree.timed(name)(lambda: None)
    decorated()
    del decorated
    assert sys.getrefcount(name) == held


def test_a_loop_named_a_series_keeps_its_steps(tmp_path):
    timetree.series("py step")
    for i in range(3):
        with timetree.timer("py step"):
            with timetree.timer("inner"):
                pass
    path = tmp_path / "series.json"
    assert timetree.write_json(path)
    step = json.loads(path.read_text())["timers"][0]
    assert step["series"]["steps"] == 3 and len(step["series"]["seconds"]) == 3
    assert step["children"][0]["series"]["steps"] == 3
