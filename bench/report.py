#!/usr/bin/env python3
"""Prints the benchmark table from hyperfine's JSON exports.

    report.py ROWS.tsv

Each line of ROWS.tsv: group, label, JSON file, index of the command in it,
peak memory in KiB, label of the group's reference command.
"""
import json
import sys


def duration(seconds):
    if seconds >= 1:
        return "%.2f s" % seconds
    if seconds >= 1e-3:
        return "%.1f ms" % (seconds * 1e3)
    return "%.0f µs" % (seconds * 1e6)


def memory(kib):
    return "%.1f MiB" % (int(kib) / 1024)


def main(path):
    rows = []
    for line in open(path, encoding="utf-8"):
        group, label, export, index, peak, reference = line.rstrip("\n").split("\t")
        result = json.load(open(export, encoding="utf-8"))["results"][int(index)]
        rows.append(dict(group=group, label=label, peak=peak, reference=reference,
                         median=result["median"], cpu=result["user"] + result["system"]))
    median = {(r["group"], r["label"]): r["median"] for r in rows}

    print("| command | median wall time | ratio to reference | peak memory |")
    print("|---|---|---|---|")
    for r in rows:
        ratio = r["median"] / median[(r["group"], r["reference"])]
        note = " (reference)" if r["label"] == r["reference"] else ""
        print("| `%s` | %s | %.2f%s | %s |"
              % (r["label"], duration(r["median"]), ratio, note, memory(r["peak"])))
    print()
    tree = [r for r in rows if r["group"] == "tree"]
    if len(tree) >= 3:
        print("tidyup against Python's shutil.rmtree + os.makedirs: %.2f."
              % (tree[0]["median"] / tree[2]["median"]))
    print("CPU time (user + system, mean): "
          + "; ".join("`%s` %s" % (r["label"], duration(r["cpu"])) for r in rows) + ".")


if __name__ == "__main__":
    main(sys.argv[1])
