#!/usr/bin/env python3
"""Speed of fazorn against astropy on the same inputs, measured back to back
in one run, printed as ratios (astropy time / fazorn time; above 1 fazorn is
faster):

1. Lomb-Scargle: `fazorn-cli analyse --method ls --route fast --threads 1`
   (the whole process: reading the file, the grid, the transforms, the peak
   and the model chain after it) against astropy's
   `LombScargle(t, y).power(freq, method="fast")` (the call alone) on the
   same grid, the multiples of 1 / (4 T). For 10^3 points the process's
   start-up (mapping its libraries: FITS reading pulls in a network stack)
   outweighs the search, and for many points reading the file and the model
   chain after the search, so the engines alone follow:
   bench/lomb_scargle_astropy.py runs BM_LombScargleFourier against the same
   astropy call, from 10^3 to 10^6 points and 10^4 to 10^6 frequencies, and
   the floating mean with equal weights against astropy with errors
   (skipped without --bench's binary).
2. `--auto` over data/real: bench/auto_search_vs_astropy.py (fazorn-cli
   analyse --auto against LombScargle.autopower from 1/500 to 20 c/d, 5
   samples per peak, in one process).
3. The transit search: `fazorn-cli analyse --method aovtr --resolution auto
   --threads 1` against astropy's `BoxLeastSquares.power` on the same period
   grid, with durations covering AoVtr's box (5 % of the period for the
   default 2 harmonics) over the period range; both must find the transit.
   fazorn searches that grid coarse to fine (a pass at a third of a box's
   peak width from folded segments, then the grid itself around the 64
   highest peaks); BLS computes every period of it.

    bench/speed_vs_astropy.py [--cli build/release/fazorn-cli] [--large] [--skip-auto]

--large adds 10^6 points (Lomb-Scargle and the transit search; minutes).
astropy's side is skipped, with a note, when astropy or numpy is missing.
Timings are the best of --repeats runs, wall-clock and CPU seconds (the
CPU ratio stands up better to a loaded machine); the load average at the
start and the end is printed with them.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

try:
    import numpy as np
except ImportError:
    np = None
try:
    from astropy.timeseries import BoxLeastSquares, LombScargle
except ImportError:
    LombScargle = BoxLeastSquares = None


def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_cli(cli, args, repeats):
    """The best wall-clock and CPU seconds of the process over the repeats."""
    best, cpu, out = float("inf"), float("inf"), None
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), children_cpu()
        proc = subprocess.run([cli] + args, capture_output=True, text=True, check=False)
        best = min(best, time.perf_counter() - start)
        cpu = min(cpu, children_cpu() - start_cpu)
        if proc.returncode != 0:
            raise RuntimeError(f"{' '.join(args)}: {proc.stderr.strip()}")
        out = json.loads(proc.stdout.splitlines()[0])
    return (best, cpu), out


def best_of(fn, repeats):
    """The best wall-clock and CPU seconds of fn() in this process."""
    best, cpu, value = float("inf"), float("inf"), None
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        value = fn()
        best = min(best, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    return (best, cpu), value


def ratio_columns(ours, theirs):
    """wall and CPU seconds of both sides and the two ratios."""
    return (f"{ours[0]:>8.3f} {ours[1]:>7.3f} {theirs[0]:>8.3f} {theirs[1]:>7.3f} "
            f"{theirs[0] / ours[0]:>6.2f} {theirs[1] / ours[1]:>6.2f}")


HEADER = (f"{'wall s':>8} {'cpu s':>7} {'wall s':>8} {'cpu s':>7} {'wall':>6} {'cpu':>6}")
NAN = (float("nan"), float("nan"))


def write_curve(path, t, y, dy):
    np.savetxt(path, np.column_stack([t, y, dy]), fmt="%.8f %.6f %.6f")


def lomb_scargle(cli, folder, sizes, repeats):
    print("Lomb-Scargle, one thread, grid k / (4 T), k = 1 .. K: fazorn-cli | astropy fast | ratio")
    print(f"{'points':>8} {'K':>8} {HEADER}")
    for n, count in sizes:
        rng = np.random.default_rng(42)
        t = np.sort(rng.uniform(0.0, 1000.0, n))
        y = 12.0 + 0.3 * np.sin(2 * np.pi * t / 0.7) + rng.normal(0.0, 0.1, n)
        dy = np.full(n, 0.1)
        path = os.path.join(folder, f"ls-{n}.dat")
        write_curve(path, t, y, dy)
        # The file holds 8 decimals: the grid from the times as read back.
        t = np.loadtxt(path, usecols=0)
        span = t.max() - t.min()
        max_period = 4.0 * span
        min_period = max_period / (count + 0.5)
        ours, res = run_cli(cli, ["analyse", "--method", "ls", "--route", "fast", "--threads", "1",
                                  "--min-period", repr(min_period), "--max-period",
                                  repr(max_period), "--json", path], repeats)
        theirs = NAN
        if LombScargle is not None:
            freq = np.arange(1, count + 1) / max_period
            ls = LombScargle(t, y)
            theirs, _ = best_of(lambda: ls.power(freq, method="fast"), repeats)
        print(f"{n:>8} {count:>8} {ratio_columns(ours, theirs)}"
              f"   (fazorn period {res['period']:.6f} d)")


def transit_curve(n, span, period, duration, depth, noise, seed, sectors=None):
    rng = np.random.default_rng(seed)
    if sectors:
        # Sectors of 27 d with 1-day gaps in the middle of each and a year's
        # rhythm between groups, sampled evenly: TESS-like.
        per = n // sectors
        starts = np.arange(sectors) * 27.4
        t = np.concatenate([s + np.linspace(0.0, 27.0, per, endpoint=False) for s in starts])
        t = t[(t % 27.4 < 13.0) | (t % 27.4 > 14.0)]
    else:
        t = np.sort(rng.uniform(0.0, span, n))
    phase = ((t - 0.37) / period) % 1.0
    y = 12.0 + rng.normal(0.0, noise, t.size)
    y[(phase < duration / period)] += depth
    return t, y, np.full(t.size, noise)


def transit(cli, folder, cases, repeats):
    print("Transit search, one thread, the same period grid (AoVtr's, --resolution auto): "
          "fazorn-cli | astropy BLS | ratio")
    print(f"{'points':>8} {'freqs':>7} {HEADER}  found P (fazorn / BLS)")
    for name, (n, span, sectors) in cases.items():
        period, duration, depth, noise = 3.3, 0.1, 0.01, 0.004
        t, y, dy = transit_curve(n, span, period, duration, depth, noise, 7, sectors)
        path = os.path.join(folder, f"transit-{name}.dat")
        write_curve(path, t, y, dy)
        min_period, max_period = 1.0, 10.0
        ours, res = run_cli(cli, ["analyse", "--method", "aovtr", "--resolution", "auto",
                                  "--min-period", "1", "--max-period", "10", "--route", "fast",
                                  "--threads", "1", "--json", path],
                            1 if n > 200000 else repeats)
        # AoVtr's grid: step d / (10 T), d = 1 / 20 its box, from 1 / max period.
        t = np.loadtxt(path, usecols=0)
        step = 0.05 / (10.0 * (t.max() - t.min()))
        freqs = np.arange(1.0 / max_period, 1.0 / min_period, step)
        theirs, found = NAN, float("nan")
        if BoxLeastSquares is not None and n <= 200000:
            y = np.loadtxt(path, usecols=1)
            # Magnitudes: a transit raises the value, and BLS looks for dips.
            bls = BoxLeastSquares(t, -y)
            durations = np.geomspace(0.05 * min_period, 0.05 * max_period, 5)
            theirs, r = best_of(lambda: bls.power(1.0 / freqs, durations), 1)
            found = r.period[np.argmax(r.power)]
        print(f"{t.size:>8} {freqs.size:>7} {ratio_columns(ours, theirs)}"
              f"  {res['period']:.5f} / {found:.5f} (true {period})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", default=os.path.join(ROOT, "build", "release", "fazorn-cli"))
    ap.add_argument("--large", action="store_true")
    ap.add_argument("--skip-auto", action="store_true")
    ap.add_argument("--bench", default=os.path.join(ROOT, "build", "release", "bench",
                                                    "fazorn_bench"))
    ap.add_argument("--repeats", type=int, default=2)
    args = ap.parse_args()
    if np is None:
        print("numpy not available: skipped")
        return 0
    if LombScargle is None:
        print("astropy not available: fazorn's times only")
    print(f"load average at start: {load()}")
    with tempfile.TemporaryDirectory() as folder:
        sizes = [(1000, 10000), (10000, 200000), (100000, 1000000)]
        if args.large:
            sizes.append((1000000, 1000000))
        lomb_scargle(args.cli, folder, sizes, args.repeats)
        if os.path.exists(args.bench):
            print("Lomb-Scargle engines alone, one thread: fazorn's Fourier route | astropy fast")
            sys.stdout.flush()
            subprocess.run([sys.executable, os.path.join(ROOT, "bench", "lomb_scargle_astropy.py"),
                            args.bench], check=False)
        cases = {"10k": (10000, 100.0, None), "100k": (100000, 200.0, None)}
        if args.large:
            cases["1M-TESS-like"] = (1000000, 0.0, 20)
        transit(args.cli, folder, cases, args.repeats)
    if not args.skip_auto:
        subprocess.run([sys.executable, os.path.join(ROOT, "bench", "auto_search_vs_astropy.py"),
                        "--cli", args.cli], check=False)
    print(f"load average at end: {load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
