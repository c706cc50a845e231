#!/usr/bin/env python3
"""Times another library's approximate fast Lomb-Scargle method on the sizes
of BM_LombScargleFourier, and runs that benchmark in the same session, so
that the two are compared under the same machine load.

    bench/lomb_scargle_astropy.py [path/to/fazorn_bench]

Skipped (exit 0 with a note) when astropy or numpy is missing.
"""
import json
import subprocess
import sys
import time

try:
    import numpy as np
    from astropy.timeseries import LombScargle
except ImportError:
    print("astropy not available: skipped")
    sys.exit(0)

SIZES = [(10000, 16666), (10000, 199981), (100000, 16666), (100000, 199981)]


def astropy_seconds(n, count, repeats=3):
    rng = np.random.default_rng(42)
    t = np.sort(rng.uniform(0.0, 1000.0, n))
    y = 12.0 + 0.3 * np.sin(2 * np.pi * t / 0.7) + rng.normal(0.0, 0.1, n)
    span = t.max() - t.min()
    freq = np.arange(1, count + 1) / (4.0 * span)
    ls = LombScargle(t, y)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        ls.power(freq, method="fast")
        best = min(best, time.perf_counter() - start)
    return best


def fazorn_seconds(bench):
    out = subprocess.run(
        [bench, "--benchmark_filter=BM_LombScargleFourier/.*/1/", "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    result = {}
    for b in json.loads(out)["benchmarks"]:
        n, count, _ = (int(x) for x in b["name"].split("/")[1:4])
        result[(n, count)] = b["real_time"] / 1000.0  # reported in ms
    return result


def main():
    bench = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/fazorn_bench"
    ours = fazorn_seconds(bench)
    print(f"{'points':>8} {'frequencies':>12} {'fazorn s':>10} {'astropy fast s':>15} {'ratio':>7}")
    for n, count in SIZES:
        theirs = astropy_seconds(n, count)
        mine = ours.get((n, count), float("nan"))
        print(f"{n:>8} {count:>12} {mine:>10.4f} {theirs:>15.4f} {theirs / mine:>7.2f}")


if __name__ == "__main__":
    main()
