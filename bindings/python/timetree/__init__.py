"""Named, nested timers for Python programs, in the same tree as the C, C++
and Fortran code they call (libtimetree.so.1).

    import timetree

    with timetree.timer("setup"):
        ...

    @timetree.timed
    def step(state):
        ...

Timing is on as the library's switches say: TIMETREE_OUTPUT turns it on and
names what is written at exit; TIMING_ON is read by clear() and
open_channels(). See docs/python.md.
"""
import functools

from ._timetree import (Timed, clear, close_channels, comment, metadata, open_channels,
                        print_indented, print_report, series, start, stop, timer, timers,
                        write_flame_graph, write_folded, write_json, write_trace)

__all__ = ["timer", "timed", "start", "stop", "clear", "metadata", "timers", "write_json",
           "write_folded", "write_flame_graph", "write_trace", "open_channels", "close_channels",
           "comment", "print_report", "print_indented", "series"]


def timed(function=None, /, name=None):
    """Times each call of the decorated function as a timer named by its
    __qualname__ (Class.method, outer.<locals>.inner), whole, or by name:
    @timetree.timed, @timetree.timed("name") or @timetree.timed(name="name").
    A call that raises stops its timer as one that returns."""
    if isinstance(function, str):
        function, name = None, function

    def decorate(f):
        wrapper = Timed(f, name if name is not None else getattr(f, "__qualname__", repr(f)))
        functools.update_wrapper(wrapper, f)
        return wrapper

    return decorate(function) if function is not None else decorate
