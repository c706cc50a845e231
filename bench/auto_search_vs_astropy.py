#!/usr/bin/env python3
"""The automatic search (`analyse --auto`) on the real stars of data/real
against astropy's LombScargle autopower on the same light curves, with the
setup of speed_vs_astropy.py (whose --auto row this is): one thread on both
sides (the numeric libraries' thread counts 1, fazorn threads=1), the light
curves in memory before the clock starts, glibc's heap warm, CPU seconds of
one call over all stars on each side. Reports how often each finds the
catalogued period (within 1 %; eclipsing binaries only at their orbital
period) and, for fazorn, the first type, per type and per part of the
fixed split (development / report).

    bench/auto_search_vs_astropy.py [--build build/release]

astropy runs as
    LombScargle(t, y, dy).autopower(minimum_frequency=1/500,
                                    maximum_frequency=20, samples_per_peak=5)
and is skipped when astropy or numpy cannot be imported (Debian:
python3-astropy)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import speed_vs_astropy as setup  # noqa: E402  (sets the thread counts first)

import argparse  # noqa: E402
import collections  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(setup.ROOT, "build", "release"))
    args = ap.parse_args()
    if setup.np is None:
        print("numpy not available: skipped")
        return 0
    setup.warm_memory()
    fazorn = setup.import_fazorn(args.build)
    compared = setup.auto_comparison(fazorn)
    if compared is None:
        return 1
    rows, ours, results, theirs, best = compared

    per_type = collections.defaultdict(lambda: [0, 0, 0])
    per_part = collections.defaultdict(lambda: [0, 0, 0])
    misses = []
    for row, res in zip(rows, results):
        catalogued = float(row["period_days"])
        period_ok = abs(res["period"] / catalogued - 1) < 0.01
        type_ok = res["type"].split("/")[0] == row["type"]
        part = setup.part_of(row["file"])
        for tally in (per_type[row["type"]], per_part[part]):
            tally[0] += 1
            tally[1] += period_ok
            tally[2] += type_ok
        if not (period_ok and type_ok):
            misses.append(f'[{part[:3]}] {row["file"]}: catalogue {catalogued:g} d {row["type"]}, '
                          f'found {res["period"]:.6g} d {res["type"]} (alias {res["alias"]})')
    total = [sum(v[i] for v in per_type.values()) for i in range(3)]
    print(f"fazorn analyse (--auto), {len(rows)} stars on one thread: {ours[1]:.1f} s CPU "
          f"({ours[0]:.1f} s wall)")
    for name, (n, p, t) in sorted(per_type.items()):
        print(f"  {name:5s} {n:3d} stars: period {p:3d} ({100 * p / n:5.1f} %), "
              f"first type {t:3d} ({100 * t / n:5.1f} %)")
    print(f"  all   {total[0]:3d} stars: period {total[1]:3d} "
          f"({100 * total[1] / total[0]:.1f} %), first type {total[2]:3d} "
          f"({100 * total[2] / total[0]:.1f} %)")
    for name, (n, p, t) in sorted(per_part.items()):
        print(f"  {name:11s} part {n:3d} stars: period {p:3d} ({100 * p / n:5.1f} %), "
              f"first type {t:3d} ({100 * t / n:5.1f} %)")
    for m in misses:
        print("  miss:", m)
    if not best:
        print("astropy skipped (not importable)")
        return 0
    print(f"astropy LombScargle autopower, {len(rows)} stars in one process: {theirs[1]:.1f} s CPU "
          f"({theirs[0]:.1f} s wall), period right {setup.right_share(rows, best):.1f} % "
          f"(development {setup.right_share(rows, best, 'development'):.1f} %, "
          f"report {setup.right_share(rows, best, 'report'):.1f} %)")
    print(f"ratio astropy / fazorn (CPU): {theirs[1] / ours[1]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
