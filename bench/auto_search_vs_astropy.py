#!/usr/bin/env python3
"""Times `fazorn-cli analyse --auto` on the real stars of data/real against
astropy's LombScargle autopower on the same files, measured in one run, and
reports how often each finds the catalogued period (within 1 %; eclipsing
binaries only at their orbital period) and, for fazorn, the first type.

    bench/auto_search_vs_astropy.py [--cli build/release/fazorn-cli] [--threads 2]

astropy runs in this one process:
    LombScargle(t, y, dy).autopower(minimum_frequency=1/500,
                                    maximum_frequency=20, samples_per_peak=5)
It is skipped when astropy or numpy cannot be imported (Debian:
python3-astropy)."""
import argparse
import collections
import csv
import hashlib
import json
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def part_of(file_name):
    """The fixed split of the test sets: the first hex digit of the SHA-1 of
    the file's base name, even for the development part, odd for the report
    part. Rules are tuned on the development part only."""
    digit = int(hashlib.sha1(os.path.basename(file_name).encode()).hexdigest()[0], 16)
    return "development" if digit % 2 == 0 else "report"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", default=os.path.join(ROOT, "build", "release", "fazorn-cli"))
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    data = os.path.join(ROOT, "data", "real")
    rows = list(csv.DictReader(open(os.path.join(data, "catalog.csv"))))
    files = [os.path.join(data, r["file"]) for r in rows]

    start = time.perf_counter()
    out = subprocess.run([args.cli, "analyse", "--auto", "--json", "--threads",
                          str(args.threads)] + files, capture_output=True, text=True,
                         check=False).stdout
    fazorn_seconds = time.perf_counter() - start
    results = [json.loads(line) for line in out.splitlines()]

    per_type = collections.defaultdict(lambda: [0, 0, 0])
    per_part = collections.defaultdict(lambda: [0, 0, 0])
    misses = []
    for row, res in zip(rows, results):
        catalogued = float(row["period_days"])
        period_ok = abs(res["period"] / catalogued - 1) < 0.01
        type_ok = res["type"].split("/")[0] == row["type"]
        t = per_type[row["type"]]
        t[0] += 1
        t[1] += period_ok
        t[2] += type_ok
        q = per_part[part_of(row["file"])]
        q[0] += 1
        q[1] += period_ok
        q[2] += type_ok
        if not (period_ok and type_ok):
            misses.append(f'[{part_of(row["file"])[:3]}] {row["file"]}: catalogue {catalogued:g} d {row["type"]}, found '
                          f'{res["period"]:.6g} d {res["type"]} (alias {res["alias"]})')
    total = [sum(v[i] for v in per_type.values()) for i in range(3)]
    print(f"fazorn-cli analyse --auto, {len(files)} stars on {args.threads} threads: "
          f"{fazorn_seconds:.1f} s")
    for name, (n, p, t) in sorted(per_type.items()):
        print(f"  {name:5s} {n:3d} stars: period {p:3d} ({100 * p / n:5.1f} %), "
              f"first type {t:3d} ({100 * t / n:5.1f} %)")
    print(f"  all   {total[0]:3d} stars: period {total[1]:3d} ({100 * total[1] / total[0]:.1f} %), "
          f"first type {total[2]:3d} ({100 * total[2] / total[0]:.1f} %)")
    for name, (n, p, t) in sorted(per_part.items()):
        print(f"  {name:11s} part {n:3d} stars: period {p:3d} ({100 * p / n:5.1f} %), "
              f"first type {t:3d} ({100 * t / n:5.1f} %)")
    for m in misses:
        print("  miss:", m)

    try:
        import numpy as np
        from astropy.timeseries import LombScargle
    except ImportError as e:
        print(f"astropy skipped ({e})")
        return
    curves = [np.loadtxt(f, ndmin=2) for f in files]
    start = time.perf_counter()
    best = []
    for c in curves:
        f, p = LombScargle(c[:, 0], c[:, 1], c[:, 2]).autopower(
            minimum_frequency=1 / 500, maximum_frequency=20, samples_per_peak=5)
        best.append(1 / f[np.argmax(p)])
    astropy_seconds = time.perf_counter() - start
    hits = sum(abs(b / float(r["period_days"]) - 1) < 0.01 for b, r in zip(best, rows))
    print(f"astropy LombScargle autopower, {len(files)} stars in one process: "
          f"{astropy_seconds:.1f} s, period {hits} ({100 * hits / len(files):.1f} %)")
    print(f"ratio astropy / fazorn: {astropy_seconds / fazorn_seconds:.2f}")


if __name__ == "__main__":
    sys.exit(main())
