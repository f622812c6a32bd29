#!/usr/bin/env python3
"""Checks a file that 'timetree convert' wrote against its format's
documented schema, and that it holds the names it was given.

    check_convert.py FORMAT FILE NAME...

Names may hold \\uXXXX escapes.
"""
import json
import sys


def main():
    kind, path = sys.argv[1], sys.argv[2]
    names = [n.encode("latin-1", "backslashreplace").decode("unicode_escape") for n in sys.argv[3:]]
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    seen = []
    if kind == "hatchet":
        assert isinstance(doc, list) and doc
        stack = list(doc)
        while stack:
            node = stack.pop()
            assert node["frame"]["type"] == "region"
            metrics = node["metrics"]
            assert set(metrics) == {"time", "time (inc)", "count"}
            assert 0 <= metrics["time"] <= metrics["time (inc)"] + 1e-12
            seen.append(node["frame"]["name"])
            stack.extend(node["children"])
    elif kind == "caliper-json-split":
        assert doc["columns"] == ["path", "sum#time.duration", "inclusive#sum#time.duration"]
        assert [c["is_value"] for c in doc["column_metadata"]] == [False, True, True]
        for i, node in enumerate(doc["nodes"]):
            assert node["column"] == "path"
            assert "parent" not in node or 0 <= node["parent"] < i
            seen.append(node["label"])
        for row in doc["data"]:
            assert len(row) == 3 and 0 <= row[0] < len(doc["nodes"]) and row[1] <= row[2] + 1e-12
    elif kind == "benchmark":
        for entry in doc:
            assert entry["unit"] in ("ns", "s") and entry["value"] >= 0
            assert entry["extra"].startswith("count ")
            seen.append(entry["name"].split(";")[-1])
    elif kind == "speedscope":
        assert doc["$schema"] == "https://www.speedscope.app/file-format-schema.json"
        frames = doc["shared"]["frames"]
        seen = [f["name"] for f in frames]
        for profile in doc["profiles"]:
            assert profile["type"] == "sampled" and profile["unit"] == "nanoseconds"
            assert len(profile["samples"]) == len(profile["weights"])
            assert all(0 <= i < len(frames) for s in profile["samples"] for i in s)
            assert sum(profile["weights"]) == profile["endValue"]
    else:
        sys.exit("unknown format " + kind)
    missing = [n for n in names if n not in seen]
    if missing:
        sys.exit("names not found: %r in %r" % (missing, seen))


if __name__ == "__main__":
    main()
