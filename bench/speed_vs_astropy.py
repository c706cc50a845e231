#!/usr/bin/env python3
"""Speed of fazorn against astropy, every comparison in one run with one
setup, printed as ratios (astropy time / fazorn time; above 1 fazorn is
faster).

The setup, the same on both sides:
- One thread. OMP_NUM_THREADS, OPENBLAS_NUM_THREADS, MKL_NUM_THREADS and
  NUMEXPR_NUM_THREADS are set to 1 before numpy is imported (and so for
  every child process); fazorn runs with threads=1.
- The same grid: the frequencies k / (4 T), k = 1 .. K, for Lomb-Scargle;
  AoVtr's own period grid, handed to BoxLeastSquares, for the transit
  search; 1/500 to 20 c/d at 5 samples per peak for the automatic search.
- The same model: the floating mean with weights 1 / error^2 on both sides
  (astropy: LombScargle(t, y, dy), its default fit_mean=True), or the
  classical power on both sides (astropy: fit_mean=False, no errors).
- The same work: the light curves are in memory before the clock starts;
  process start-up and reading files are out on both sides. "Engine" rows
  time the periodogram call alone (fazorn: BM_LombScargleSpeedSetup of
  fazorn_bench, which includes making the grid and recomputing the peak by
  direct sums; astropy: LombScargle.power(frequency, method="fast")).
  "Command" rows time fazorn's whole analysis through the Python module
  (the search, then the light-curve model, classification and phasing
  after it: more work than astropy's call, which is timed alone).
- The same memory state: warm. glibc's malloc maps a block of 128 KiB or
  more afresh on every call until a freed mapped block raises its
  threshold (to that block's size, at most 32 MiB); on a machine where a
  fresh 4 KiB page costs about 10 us (some virtual machines), a fresh
  process's astropy call spends most of its time faulting in its FFT
  arrays (3.5-9 times its warm time at 10^3-10^5 points). One 31 MB array
  is made and freed before timing, so that astropy's arrays come from the
  heap as they do in any session that has freed a large array; fazorn's
  engines keep their large scratch blocks between calls themselves, and
  BM_LombScargleSpeedSetup frees one 31 MB block first too, for the
  result's arrays (before, fazorn_bench faulted those in afresh on every
  call: 8 % of 10^4 points x 10^5 frequencies).
- The same clock: CPU seconds of this process (fazorn_bench's cpu_time for
  the engines), the best of --repeats repetitions, each repetition the mean
  of as many calls as fill --min-time seconds (at least one). CPU time is
  the figure that a machine shared with other work disturbs least; wall
  seconds are printed beside it.

    bench/speed_vs_astropy.py [--build build/release] [--large] [--skip-auto]
                              [--repeats 5] [--min-time 0.2]

--large adds the 10^6-point rows (minutes). astropy's side is skipped, with
a note, when astropy is missing; fazorn's side when its build is missing.
"""
import os

for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
              "NUMEXPR_NUM_THREADS"):
    os.environ[_name] = "1"

import argparse  # noqa: E402
import csv  # noqa: E402
import datetime  # noqa: E402
import hashlib  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

try:
    import numpy as np
except ImportError:
    np = None
try:
    from astropy.timeseries import BoxLeastSquares, LombScargle
except ImportError:
    LombScargle = BoxLeastSquares = None

NAN = (float("nan"), float("nan"))

# Engine rows: (points, frequencies); the 10^6-point ones only with --large.
FLOATING = [(1000, 10000), (1000, 100000), (10000, 10000), (10000, 100000), (100000, 10000),
            (100000, 100000), (100000, 1000000), (1000000, 10000), (1000000, 100000),
            (1000000, 1000000)]
CLASSICAL = [(1000, 10000), (10000, 16666), (10000, 199981), (100000, 10000), (100000, 16666),
             (100000, 1000000), (1000000, 10000), (1000000, 1000000)]


def best_of(fn, repeats, min_time):
    """(wall, CPU) seconds a call: the best of `repeats` repetitions, each
    the mean of the calls that fill min_time CPU seconds; and fn's value."""
    best, cpu, value = float("inf"), float("inf"), None
    for _ in range(repeats):
        calls, start, start_cpu = 0, time.perf_counter(), time.process_time()
        while True:
            value = fn()
            calls += 1
            if time.process_time() - start_cpu >= min_time:
                break
        best = min(best, (time.perf_counter() - start) / calls)
        cpu = min(cpu, (time.process_time() - start_cpu) / calls)
    return (best, cpu), value


def ratio(ours, theirs):
    return theirs[1] / ours[1] if ours[1] > 0 else float("nan")


def seconds(x):
    return "-" if x != x else (f"{x:.4f}" if x < 10 else f"{x:.1f}")


class Table:
    """The rows as printed, kept for the closing table."""

    def __init__(self):
        self.rows = []

    def add(self, case, ours, theirs, note=""):
        self.rows.append((case, ours, theirs, note))
        print(f"  {case:<58} fazorn {seconds(ours[1]):>8} s cpu ({seconds(ours[0]):>8} wall)  "
              f"astropy {seconds(theirs[1]):>8} s cpu ({seconds(theirs[0]):>8} wall)  "
              f"ratio {ratio(ours, theirs):6.2f} {note}", flush=True)

    def markdown(self):
        lines = ["| case | fazorn (CPU s) | astropy (CPU s) | ratio |", "|---|---|---|---|"]
        for case, ours, theirs, note in self.rows:
            r = ratio(ours, theirs)
            lines.append(f"| {case}{' (' + note + ')' if note else ''} | {seconds(ours[1])} | "
                         f"{seconds(theirs[1])} | {'-' if r != r else f'{r:.1f}'} |")
        return "\n".join(lines)


def sine_curve(n, seed=42):
    """n points over 1000 d, a 0.7-d sinusoid, errors spread 0.05-0.15."""
    rng = np.random.default_rng(seed)
    t = np.sort(rng.uniform(0.0, 1000.0, n))
    dy = rng.uniform(0.05, 0.15, n)
    y = 12.0 + 0.3 * np.sin(2 * np.pi * t / 0.7) + rng.normal(0.0, 1.0, n) * dy
    return t, y, dy


def fazorn_engines(bench, sizes, floating, repeats, min_time):
    """{(points, frequencies): (wall, CPU)} from BM_LombScargleSpeedSetup."""
    if not os.path.exists(bench):
        return {}
    pattern = "|".join(f"{n}/{k}/{int(floating)}" for n, k in sizes)
    out = subprocess.run(
        [bench, f"--benchmark_filter=BM_LombScargleSpeedSetup/({pattern})/",
         f"--benchmark_repetitions={repeats}", f"--benchmark_min_time={min_time}",
         "--benchmark_format=json"], check=True, capture_output=True, text=True).stdout
    result = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        n, k = (int(x) for x in b["run_name"].split("/")[1:3])
        scale = {"ms": 1e-3, "us": 1e-6, "ns": 1e-9, "s": 1.0}[b["time_unit"]]
        wall, cpu = b["real_time"] * scale, b["cpu_time"] * scale
        old = result.get((n, k), (float("inf"), float("inf")))
        result[(n, k)] = (min(old[0], wall), min(old[1], cpu))
    return result


def astropy_engine(n, count, floating, repeats, min_time):
    if LombScargle is None:
        return NAN
    t, y, dy = sine_curve(n)
    freq = np.arange(1, count + 1) / (4.0 * (t.max() - t.min()))
    ls = LombScargle(t, y, dy) if floating else LombScargle(t, y, fit_mean=False)
    times, _ = best_of(lambda: ls.power(freq, method="fast"), repeats, min_time)
    return times


def engines(table, bench, large, repeats, min_time):
    print("Lomb-Scargle engines, in memory, one thread, grid k / (4 T), k = 1 .. K")
    for floating, sizes in ((True, FLOATING), (False, CLASSICAL)):
        sizes = [s for s in sizes if large or s[0] < 1000000]
        ours = fazorn_engines(bench, sizes, floating, repeats, min_time)
        for n, count in sizes:
            # One repetition of astropy's slowest calls (seconds each).
            r = 1 if n * count > 10**11 else repeats
            theirs = astropy_engine(n, count, floating, r, min_time)
            name = "floating mean, weights" if floating else "classical"
            table.add(f"LS engine, {name}, {n:,} points x {count:,} freqs",
                      ours.get((n, count), NAN), theirs)


def import_fazorn(build):
    sys.path.insert(0, os.path.join(build, "python"))
    try:
        import fazorn
        return fazorn
    except ImportError as e:
        print(f"fazorn's Python module not available ({e}): its rows skipped")
        return None


def commands(table, fazorn, large, repeats, min_time):
    print("Lomb-Scargle, fazorn's whole analysis (Fourier route) against astropy's call")
    sizes = [(1000, 10000), (10000, 200000), (100000, 1000000)]
    if large:
        sizes.append((1000000, 1000000))
    for floating in (False, True):
        for n, count in sizes:
            t, y, dy = sine_curve(n)
            max_period = 4.0 * (t.max() - t.min())
            # The grid k / max_period, k = 1 .. count, as astropy's below.
            min_period = max_period / (count + 0.5)
            ours, found = NAN, float("nan")
            if fazorn is not None:
                ours, res = best_of(lambda: fazorn.analyse(
                    t, y, dy, method="ls", route="fast", auto=False, floating_mean=floating,
                    min_period=min_period, max_period=max_period, threads=1), repeats, min_time)
                found = res["period"]
            theirs = NAN
            if LombScargle is not None:
                freq = np.arange(1, count + 1) / max_period
                ls = LombScargle(t, y, dy) if floating else LombScargle(t, y, fit_mean=False)
                theirs, _ = best_of(lambda: ls.power(freq, method="fast"),
                                    1 if n * count > 10**11 else repeats, min_time)
            name = "floating mean, weights" if floating else "classical"
            table.add(f"LS analysis, {name}, {n:,} points x {count:,} freqs", ours, theirs,
                      f"P {found:.4f} d")


def transit_curve(n, span, sectors=None, seed=7):
    """A 3.3-d transit of 0.01 mag lasting 0.1 d in noise of 0.004 mag;
    TESS-like with sectors: 27-d sectors at 2 minutes (27.4 d apart), a
    1-day gap in the middle of each."""
    rng = np.random.default_rng(seed)
    if sectors:
        per = n // sectors
        starts = np.arange(sectors) * 27.4
        t = np.concatenate([s + np.linspace(0.0, 27.0, per, endpoint=False) for s in starts])
        t = t[(t % 27.4 < 13.0) | (t % 27.4 > 14.0)]
    else:
        t = np.sort(rng.uniform(0.0, span, n))
    y = 12.0 + rng.normal(0.0, 0.004, t.size)
    y[((t - 0.37) / 3.3) % 1.0 < 0.1 / 3.3] += 0.01
    return t, y, np.full(t.size, 0.004)


def transits(table, fazorn, large, repeats, min_time):
    print("Transit search, in memory, one thread, AoVtr's period grid (--resolution auto), "
          "1 to 10 d")
    cases = [("10k", 10000, 100.0, None), ("100k", 100000, 200.0, None)]
    if large:
        cases.append(("1M TESS-like", 1000000, 0.0, 20))
    for name, n, span, sectors in cases:
        t, y, dy = transit_curve(n, span, sectors)
        ours, found = NAN, float("nan")
        if fazorn is not None:
            ours, res = best_of(lambda: fazorn.analyse(
                t, y, dy, method="aovtr", resolution="auto", route="fast", auto=False,
                min_period=1.0, max_period=10.0, threads=1), 1 if n > 200000 else repeats,
                min_time)
            found = res["period"]
        # AoVtr's grid: the step d / (10 T), d = 1 / 20 its box (the default
        # 2 harmonics), from 1 / max period.
        step = 0.05 / (10.0 * (t.max() - t.min()))
        freqs = np.arange(1.0 / 10.0, 1.0 / 1.0, step)
        theirs, bls_found = NAN, float("nan")
        if BoxLeastSquares is not None and n <= 200000:
            # Magnitudes: a transit raises the value, and BLS looks for dips.
            # Durations covering AoVtr's box, 5 % of the period, over the range.
            bls = BoxLeastSquares(t, -y, dy)
            durations = np.geomspace(0.05 * 1.0, 0.05 * 10.0, 5)
            theirs, r = best_of(lambda: bls.power(1.0 / freqs, durations), 1, 0.0)
            bls_found = r.period[np.argmax(r.power)]
        table.add(f"AoVtr vs BLS, {name}: {t.size:,} points x {freqs.size:,} periods", ours,
                  theirs, f"P {found:.4f} / {bls_found:.4f} d, true 3.3")


def part_of(file_name):
    """The fixed split of the test sets: the first hex digit of the SHA-1 of
    the file's base name, even for the development part, odd for the report
    part. Rules are tuned on the development part only."""
    digit = int(hashlib.sha1(os.path.basename(file_name).encode()).hexdigest()[0], 16)
    return "development" if digit % 2 == 0 else "report"


def auto_comparison(fazorn):
    """The automatic search over data/real against astropy's autopower, in
    memory, one thread, CPU seconds, one call over all stars on each side
    (this script's setup). Returns the catalogue rows, fazorn's (wall, CPU)
    seconds and results (the report of each star), astropy's (wall, CPU)
    seconds and the period of its highest peak for each star (empty when
    astropy is missing); None when fazorn's module is missing."""
    data = os.path.join(ROOT, "data", "real")
    rows = list(csv.DictReader(open(os.path.join(data, "catalog.csv"))))
    if fazorn is None:
        return None
    curves = [fazorn.read(os.path.join(data, r["file"]))[:3] for r in rows]
    ours, results = best_of(lambda: [fazorn.analyse(t, y, dy, threads=1) for t, y, dy in curves],
                            1, 0.0)
    theirs, best = NAN, []
    if LombScargle is not None:
        def astropy_auto():
            found = []
            for t, y, dy in curves:
                f, p = LombScargle(t, y, dy).autopower(
                    minimum_frequency=1 / 500, maximum_frequency=20, samples_per_peak=5)
                found.append(1 / f[np.argmax(p)])
            return found
        theirs, best = best_of(astropy_auto, 1, 0.0)
    return rows, ours, results, theirs, best


def right_share(rows, periods, part=None):
    """The percentage of stars (of one part, or all) whose period is within
    1 % of the catalogued one."""
    pairs = [(p, float(r["period_days"])) for p, r in zip(periods, rows)
             if part is None or part_of(r["file"]) == part]
    if not pairs:
        return float("nan")
    return 100 * sum(abs(p / c - 1) < 0.01 for p, c in pairs) / len(pairs)


def auto(table, fazorn):
    print("Automatic search over data/real, in memory, one thread")
    compared = auto_comparison(fazorn)
    if compared is None:
        return
    rows, ours, results, theirs, best = compared
    periods = [r["period"] for r in results]
    shares = []
    for part in ("development", "report"):
        shares.append(f"{part[:3]} {right_share(rows, periods, part):.1f} % / "
                      f"{right_share(rows, best, part) if best else float('nan'):.1f} %")
    table.add(f"--auto over the {len(rows)} stars of data/real", ours, theirs,
              f"right {right_share(rows, periods):.1f} % / "
              f"{right_share(rows, best) if best else float('nan'):.1f} %; " + ", ".join(shares))


def warm_memory():
    """The warm memory state above: one 31 MB array made and freed (glibc's
    mmap threshold rises to 31 MB, the heap's trim threshold to twice
    that)."""
    warm = np.ones(31_000_000 // 8)
    del warm


def machine():
    model = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--large", action="store_true")
    ap.add_argument("--skip-auto", action="store_true")
    ap.add_argument("--only", choices=["engines", "commands", "transits", "auto"])
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--min-time", type=float, default=0.2)
    args = ap.parse_args()
    if np is None:
        print("numpy not available: skipped")
        return 0
    if LombScargle is None:
        print("astropy not available: fazorn's times only")
    print(f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC; {machine()}; "
          f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    warm_memory()
    table = Table()
    fazorn = import_fazorn(args.build)
    bench = os.path.join(args.build, "bench", "fazorn_bench")
    if args.only in (None, "engines"):
        engines(table, bench, args.large, args.repeats, args.min_time)
    if args.only in (None, "commands"):
        commands(table, fazorn, args.large, args.repeats, args.min_time)
    if args.only in (None, "transits"):
        transits(table, fazorn, args.large, args.repeats, args.min_time)
    if args.only in (None, "auto") and not args.skip_auto:
        auto(table, fazorn)
    print(f"load average at the end {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(table.markdown())
    return 0


if __name__ == "__main__":
    sys.exit(main())
