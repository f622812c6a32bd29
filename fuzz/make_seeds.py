#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz target into fuzz/corpus/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def text(s):
    if s is None:
        return b"\xff"
    data = s if isinstance(s, bytes) else s.encode()
    return b"\x00" + struct.pack("<H", len(data)) + data


START, STOP, CLEAR, OPEN, CLOSE, PRINT, INDENT, COMMENT, BANNER, SWITCH = range(10)
W_START, W_STOP, W_RESET, W_PRINT, W_COPY, EXPORT, BURST = range(10, 17)


def on(name_index, value_index=0):
    return bytes([SWITCH, name_index, value_index])


SEEDS = {
    "balanced": on(0) + on(1) + bytes([OPEN, 2]) + bytes([START]) + text("a")
    + bytes([START]) + text("b") + bytes([STOP]) + text("b") + bytes([STOP])
    + text("a") + bytes([PRINT, INDENT]) + text(None) + bytes([CLOSE]),
    "implicit": on(0) + bytes([CLEAR, START]) + text("outer") + bytes([START])
    + text("inner") + bytes([STOP]) + text("outer") + bytes([INDENT]) + text("->"),
    "misnamed": on(0) + bytes([CLEAR, STOP]) + text("x") + bytes([START])
    + text(None) + bytes([STOP]) + text("%s%n") + bytes([PRINT]),
    "long_names": on(0) + bytes([CLEAR, START]) + text("n" * 65535)
    + bytes([START]) + text("abcdefghijklmnopqrstuvwxy-1") + bytes([STOP])
    + text("abcdefghijklmnopqrstuvwxy-2") + bytes([INDENT]) + text("1234567"),
    "not_utf8": on(0) + on(1) + bytes([OPEN, 2, START]) + text(b"\xff\xfe\xc3(")
    + bytes([COMMENT]) + text(b"\x80\x81%n%s\n") + bytes([PRINT]),
    "deep": on(0) + bytes([CLEAR, BURST]) + text("d") + bytes([255, BURST])
    + text("e") + bytes([255, INDENT]) + text("1234567") + bytes([STOP])
    + text("none") + bytes([PRINT, CLEAR]),
    "devices": on(0) + on(1) + bytes([OPEN, 3, COMMENT]) + text("full\n")
    + bytes([CLOSE]) + on(1) + bytes([OPEN, 4, OPEN, 5, OPEN, 0, BANNER, BANNER]),
    "console": on(0) + on(2) + bytes([OPEN, 0, COMMENT]) + text("to console\n")
    + bytes([START]) + text("c") + bytes([CLEAR, CLOSE]),
    "stopwatch": bytes([W_START, 0, W_STOP, 0, W_PRINT, 0]) + text("w")
    + bytes([1, W_COPY, W_RESET, 1, W_PRINT, 1]) + text(None) + bytes([1, W_STOP, 1]),
    "exports": on(0) + bytes([CLEAR, START]) + text("a;b c") + bytes([START])
    + text(b"\xff\"<&") + bytes([STOP]) + text("a;b c") + bytes([EXPORT, 0, EXPORT, 1,
    EXPORT, 2, EXPORT, 4, EXPORT, 5]),
    "switch_texts": bytes([SWITCH, 0, 0x80]) + text("TRUE") + bytes([CLEAR, START])
    + text("s") + bytes([SWITCH, 0, 0x80]) + text(None) + bytes([CLEAR, PRINT])
    + bytes([SWITCH, 3, 0x80]) + text("/") + bytes([BANNER]),
}

os.makedirs(os.path.join(HERE, "corpus"), exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(HERE, "corpus", name), "wb") as f:
        f.write(data)
