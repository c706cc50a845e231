#!/usr/bin/env python3
"""The prewhitening cascade of BM_Prewhiten30Of20000 written with astropy's
Lomb-Scargle (amplitude from its model parameters) and scipy's least
squares: 30 frequencies of 20,000 points at a 2-minute cadence up to 80 c/d,
grid step 1/(10 T). Prints its time, then runs the C++ benchmark in the same
session for comparison under the same load.

    bench/frequencies_astropy.py [path/to/fazorn_bench]

Skipped (exit 0 with a note) when astropy, scipy or numpy is missing.
"""
import subprocess
import sys
import time

try:
    import numpy as np
    from astropy.timeseries import LombScargle
    from scipy.optimize import least_squares
except ImportError:
    print("astropy/scipy not available: skipped")
    sys.exit(0)


def light_curve():
    rng = np.random.default_rng(1)
    t = np.arange(20000) * 2.0 / 1440.0
    y = np.zeros_like(t)
    for k in range(30):
        f, p = rng.uniform(3, 75), rng.uniform()
        y += (0.01 * np.exp(-k / 10.0) + 0.0005) * np.sin(2 * np.pi * (f * t + p))
    return t, y + rng.normal(0, 0.0005, t.size)


def model(x, t, m):
    out = np.full_like(t, x[0])
    for k in range(m):
        f, a, b = x[1 + 3 * k: 4 + 3 * k]
        out += a * np.cos(2 * np.pi * f * t) + b * np.sin(2 * np.pi * f * t)
    return out


def cascade(t, y, count=30):
    span = t.max() - t.min()
    tm = t - t.mean()
    freq = np.arange(1, int(80 * 10 * span)) / (10 * span)
    x = np.array([y.mean()])
    resid = y - y.mean()
    for m in range(count):
        power = LombScargle(tm, resid, normalization="psd").power(freq, method="fast")
        f = freq[np.argmax(power)]
        c, a, b = LombScargle(tm, resid).model_parameters(f)
        x = np.concatenate([x, [f, b, a]])
        fit = least_squares(lambda v: y - model(v, tm, m + 1), x, method="lm")
        x = fit.x
        resid = y - model(x, tm, m + 1)
    return x


def main():
    t, y = light_curve()
    start = time.perf_counter()
    cascade(t, y)
    print(f"astropy LombScargle + scipy least_squares: {time.perf_counter() - start:.2f} s")
    bench = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/fazorn_bench"
    try:
        out = subprocess.run([bench, "--benchmark_filter=Prewhiten"], capture_output=True,
                             text=True, check=True).stdout
        # The cascade with the harmonic series (/1) and with every term free (/0).
        print("\n".join(line for line in out.splitlines() if line.startswith("BM_")))
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"fazorn_bench not run: {e}")


if __name__ == "__main__":
    main()
