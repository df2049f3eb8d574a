#!/usr/bin/env python3
"""Rows that scripts/bench adds to one harness run (peers.tsv, rewritten in place).

  apply_rows.py split ROWS STEPS CASES DATA
      The harness times a file patch's apply as one step: the copy of the old
      file to the output (pelmora patches its target in place) and pelmora.
      bench/pelmora_step.sh logs pelmora alone in STEPS. The "kestmain" rows
      of modes file and tar get those times (median wall and user+sys, largest
      peak); the whole step stays as a row "kestmain+copy". Rows that did not
      succeed are left alone.
  apply_rows.py cp ROWS CASES DATA WORK [RUNS]
      A "cp" row for every input of the harness's copy floor: cp of the new
      file (cp -r of a tree) into WORK, warm cache, RUNS times (default 5),
      timed and measured like an apply step (median wall and user+sys, largest
      peak resident set). Its diff time is 0 and its "patch" the new input.
"""
import collections
import csv
import os
import subprocess
import sys
import time

TOOL = "kestmain"


def read_rows(path):
    with open(path, newline="") as f:
        r = csv.DictReader(f, delimiter="\t")
        return r.fieldnames, list(r)


def write_rows(path, fields, rows):
    with open(path + ".tmp", "w", newline="") as f:
        w = csv.DictWriter(f, fields, delimiter="\t", lineterminator="\n")
        w.writeheader()
        w.writerows(rows)
    os.replace(path + ".tmp", path)


def read_cases(path):
    cases = {}
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            _, name, kind, olds, new = line.split("\t")
            cases[name] = dict(kind=kind, olds=olds.split(","), new=new)
    return cases


def median(values):
    v = sorted(values)
    n = len(v)
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def same_path(p):
    return os.path.realpath(p)


def input_of(data, mode, rel):
    """The path the harness hands the tools for a corpus input in this mode."""
    p = os.path.join(data, rel)
    return os.path.join(data, "tars", os.path.basename(p) + ".tar") if mode == "tar" else p


def split(rows_path, steps_path, cases_path, data):
    fields, rows = read_rows(rows_path)
    cases = read_cases(cases_path)
    queues = collections.defaultdict(collections.deque)
    with open(steps_path) as f:
        for line in f:
            old, wall_us, user, sys_s, peak, rc = line.rstrip("\n").split("\t")
            queues[same_path(old)].append(dict(
                wall=int(wall_us) / 1e6 if wall_us != "NA" else None,
                cpu=float(user) + float(sys_s) if user != "NA" else None,
                peak=int(peak), rc=int(rc)))
    out = []
    for row in rows:
        out.append(row)
        if row["tool"] != TOOL or row["mode"] not in ("file", "tar"):
            continue
        olds = [input_of(data, row["mode"], o) for o in cases[row["case"]]["olds"]]
        if row["from"] != "multi":
            olds = [o for o in olds if os.path.basename(o) == row["from"]] if row["from"] else olds[:1]
        # Each run applied once from each start file: the slowest counts, as
        # in the harness, and the largest peak of them all.
        runs = []
        for _ in range(int(row["runs"])):
            steps = [queues[same_path(o)].popleft() if queues[same_path(o)] else None for o in olds]
            if None in steps:
                runs.append(None)
                continue
            slowest = max(steps, key=lambda s: s["wall"] or 0)
            runs.append(dict(slowest, peak=max(s["peak"] for s in steps), rc=max(s["rc"] for s in steps)))
        if row["status"] != "ok" or any(s is None or s["rc"] or s["wall"] is None for s in runs):
            continue
        whole = dict(row, tool=TOOL + "+copy")
        row["apply_s"] = "%.4f" % median([s["wall"] for s in runs])
        row["apply_cpu_s"] = "%.2f" % median([s["cpu"] for s in runs])
        row["apply_peak_kb"] = str(max(s["peak"] for s in runs))
        out.append(whole)
    write_rows(rows_path, fields, out)


def measure_cp(src, dst, runs):
    """Median wall and user+sys seconds, largest peak KiB of `cp -r src dst`."""
    subprocess.run(["cat", src] if os.path.isfile(src) else ["find", src, "-type", "f", "-exec", "cat", "{}", "+"],
                   stdout=subprocess.DEVNULL, check=True)  # warm the cache
    tf = dst + ".time"
    walls, cpus, peak = [], [], 0
    for _ in range(runs):
        subprocess.run(["rm", "-rf", dst], check=True)
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-o", tf, "-f", "%U %S %M", "cp", "-r", src, dst], check=True)
        walls.append(time.perf_counter() - start)
        with open(tf) as f:
            user, sys_s, kb = f.read().split()[-3:]
        cpus.append(float(user) + float(sys_s))
        peak = max(peak, int(kb))
    subprocess.run(["rm", "-rf", dst, tf], check=True)
    return median(walls), median(cpus), peak


def add_cp(rows_path, cases_path, data, work, runs):
    fields, rows = read_rows(rows_path)
    cases = read_cases(cases_path)
    os.makedirs(work, exist_ok=True)
    measured = {}
    added = []
    for row in rows:
        if row["tool"] != "floor-copy":
            continue
        src = input_of(data, row["mode"], cases[row["case"]]["new"])
        if src not in measured:
            measured[src] = measure_cp(src, os.path.join(work, "cp-row"), runs)
        wall, cpu, peak = measured[src]
        added.append(dict(row, tool="cp", patch_bytes=row["new_bytes"], diff_s="0", diff_cpu_s="0",
                          diff_peak_kb="0", apply_s="%.4f" % wall, apply_cpu_s="%.2f" % cpu,
                          apply_peak_kb=str(peak), runs=str(runs), status="ok"))
    write_rows(rows_path, fields, rows + added)


def main(argv):
    if len(argv) == 5 and argv[0] == "split":
        split(*argv[1:])
    elif len(argv) in (5, 6) and argv[0] == "cp":
        add_cp(*argv[1:5], int(argv[5]) if len(argv) == 6 else 5)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
