#!/usr/bin/env python3
"""Times another library's approximate fast Lomb-Scargle method on the sizes
of BM_LombScargleFourier, and runs that benchmark in the same session, so
that the two are compared under the same machine load. Two tables: the
classical power against the library's default (floating mean, no errors),
as before; and the floating mean with equal weights
(BM_LombScargleFourierSums, the automatic choice of sums) against the
library with errors, where both fit the same model.

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

# From 10^3 to 10^6 points and 10^4 to 10^6 frequencies.
SIZES = [(1000, 10000), (1000, 1000000), (10000, 16666), (10000, 199981), (100000, 10000),
         (100000, 16666), (100000, 199981), (100000, 1000000), (300000, 10000), (1000000, 10000),
         (1000000, 1000000)]
# The floating mean where its benchmark has sizes: points outnumbering the
# frequencies, and the reverse.
FLOATING_SIZES = [(1000, 10000), (10000, 10000), (100000, 10000), (100000, 100000),
                  (300000, 10000), (1000000, 10000), (1000000, 100000)]


def astropy_seconds(n, count, repeats=3, errors=False):
    rng = np.random.default_rng(42)
    t = np.sort(rng.uniform(0.0, 1000.0, n))
    y = 12.0 + 0.3 * np.sin(2 * np.pi * t / 0.7) + rng.normal(0.0, 0.1, n)
    span = t.max() - t.min()
    freq = np.arange(1, count + 1) / (4.0 * span)
    ls = LombScargle(t, y, np.full(n, 0.1) if errors else None)
    best, cpu = float("inf"), float("inf")
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        ls.power(freq, method="fast")
        best = min(best, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    return best, cpu


def fazorn_seconds(bench, pattern):
    """Wall-clock and CPU seconds by (points, frequencies) of the benchmarks
    matching `pattern`, whose first two arguments are those."""
    out = subprocess.run(
        [bench, f"--benchmark_filter={pattern}", "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    result = {}
    for b in json.loads(out)["benchmarks"]:
        n, count = (int(x) for x in b["name"].split("/")[1:3])
        # Both reported in ms.
        result[(n, count)] = (b["real_time"] / 1000.0, b["cpu_time"] / 1000.0)
    return result


def table(ours, sizes, errors):
    # Wall-clock and CPU seconds; the CPU ratio stands up better to a loaded
    # machine.
    print(f"{'points':>8} {'frequencies':>12} {'fazorn wall':>12} {'cpu':>8} "
          f"{'astropy wall':>13} {'cpu':>8} {'ratio wall':>11} {'cpu':>6}")
    for n, count in sizes:
        theirs = astropy_seconds(n, count, 1 if n * count > 10**11 else 3, errors)
        mine = ours.get((n, count), (float("nan"), float("nan")))
        print(f"{n:>8} {count:>12} {mine[0]:>12.4f} {mine[1]:>8.4f} {theirs[0]:>13.4f} "
              f"{theirs[1]:>8.4f} {theirs[0] / mine[0]:>11.2f} {theirs[1] / mine[1]:>6.2f}",
              flush=True)


def main():
    bench = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/fazorn_bench"
    print("Classical power | astropy's default (floating mean), no errors")
    table(fazorn_seconds(bench, "BM_LombScargleFourier/.*/1/"), SIZES, False)
    print("Floating mean, equal weights | astropy with errors")
    sums = "|".join(f"{n}/{count}" for n, count in FLOATING_SIZES)
    table(fazorn_seconds(bench, f"BM_LombScargleFourierSums/({sums})/0/1"), FLOATING_SIZES, True)


if __name__ == "__main__":
    main()
