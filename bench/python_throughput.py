#!/usr/bin/env python3
"""Light curves per second over the real stars of data/real, measured in one
run: the command line, the Python module in one process, Dask with a
two-worker LocalCluster, and, for comparison, astropy's
LombScargle.autopower (skipped when astropy is missing). Also the memory of
each Dask worker and what releasing the GIL buys (two Python threads against
one after the other).

    PYTHONPATH=build/release/python python3 bench/python_throughput.py [--method aov] [--threads 2]

Figures only: nothing here passes or fails.
"""

import argparse
import concurrent.futures
import glob
import os
import pathlib
import resource
import subprocess
import time

import fazorn

ROOT = pathlib.Path(__file__).resolve().parent.parent


def timed(f):
    start = time.perf_counter()
    value = f()
    return time.perf_counter() - start, value


def report(name, seconds, count):
    print(f"{name:58s} {seconds:7.2f} s  {count / seconds:7.1f} light curves/s")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--method", default="aov", choices=["aov", "aovtr", "ls"])
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--cli", default=str(pathlib.Path(fazorn.__file__).resolve().parents[2] / "fazorn-cli"))
    args = p.parse_args()
    paths = sorted(glob.glob(str(ROOT / "data" / "real" / "*" / "*.dat")))
    n = len(paths)
    print(f"{n} light curves, method {args.method}, default settings, {os.cpu_count()} cores\n")

    seconds, _ = timed(
        lambda: subprocess.run(
            [args.cli, "analyse", "--json", "--threads", str(args.threads), "--method", args.method, *paths],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    )
    report(f"fazorn-cli analyse --threads {args.threads}", seconds, n)
    cli_rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024

    seconds, _ = timed(lambda: fazorn.analyse_files(paths, threads=args.threads, method=args.method))
    report(f"fazorn.analyse_files(threads={args.threads}), one process", seconds, n)
    seconds, _ = timed(lambda: [fazorn.analyse_file(f, threads=1, method=args.method) for f in paths])
    report("loop of fazorn.analyse_file(threads=1), one process", seconds, n)

    # Releasing the GIL: the same curves on two Python threads, then one
    # after the other.
    curves = [fazorn.read(f)[:3] for f in paths]
    one = lambda c: fazorn.analyse(*c, threads=1, method=args.method)  # noqa: E731
    cpu = time.process_time()
    sequential, _ = timed(lambda: [one(c) for c in curves])
    cpu_sequential = (time.process_time() - cpu) / sequential
    cpu = time.process_time()
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        parallel, _ = timed(lambda: list(pool.map(one, curves)))
    cpu_parallel = (time.process_time() - cpu) / parallel
    print(
        f"{'GIL: two Python threads / one after the other':58s} {parallel:7.2f} s / {sequential:.2f} s"
        f" = {parallel / sequential:.2f}"
    )
    # CPU time per wall second: two threads holding the GIL could not get
    # more than one thread does, whatever the load of the machine.
    print(f"{'  cores busy: two threads / one after the other':58s} {cpu_parallel:7.2f} / {cpu_sequential:.2f}")

    # Python keeps running beside an engine: a pure-Python loop in this
    # thread while another thread analyses, against the same loop alone.
    def spin(seconds):
        count, end = 0, time.perf_counter() + seconds
        while time.perf_counter() < end:
            count += 1
        return count

    engine = concurrent.futures.ThreadPoolExecutor(1)
    job = engine.submit(lambda: [one(c) for c in curves[:60]])
    start = time.perf_counter()
    beside = 0
    while not job.done():
        beside += spin(0.05)
    beside_rate = beside / (time.perf_counter() - start)
    engine.shutdown()
    alone_rate = spin(2.0) / 2.0
    print(f"{'  Python loop beside a running engine / alone':58s} {beside_rate / alone_rate:7.2f}")
    print(f"  load average: {os.getloadavg()[0]:.1f}")

    try:
        import psutil
        from distributed import Client, LocalCluster

        from fazorn import dask as fazorn_dask
    except ImportError as e:
        print(f"Dask skipped: {e}")
    else:
        start = time.perf_counter()
        with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(
            cluster
        ) as client:
            startup = time.perf_counter() - start
            before = client.run(lambda: psutil.Process().memory_info().rss)
            seconds, _ = timed(lambda: fazorn_dask.analyse_files(paths, client=client, method=args.method))
            report("fazorn.dask.analyse_files, LocalCluster 2 workers x 1 thread", seconds, n)
            seconds, _ = timed(lambda: fazorn_dask.analyse_files(paths, client=client, method=args.method))
            report("  the same again (workers warm)", seconds, n)
            after = client.run(lambda: psutil.Process().memory_info().rss)
            peak = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
        print(f"{'  cluster start-up':58s} {startup:7.2f} s")
        for address in after:
            print(
                f"  worker memory: {before[address] / 2**20:.0f} MiB at start, "
                f"{after[address] / 2**20:.0f} MiB after, peak {peak[address]:.0f} MiB"
            )
        print(f"  fazorn-cli peak memory: {cli_rss:.0f} MiB")

    try:
        import numpy as np
        from astropy.timeseries import LombScargle
    except ImportError as e:
        print(f"astropy skipped: {e}")
    else:

        def astropy_all():
            for t, y, dy in curves:
                LombScargle(t, y, dy).autopower(
                    minimum_frequency=1 / 500, maximum_frequency=1 / 0.2, samples_per_peak=5
                )

        seconds, _ = timed(astropy_all)
        report("astropy LombScargle.autopower (0.2-500 d, 5 per peak)", seconds, n)
        sizes = [
            len(LombScargle(t, y, dy).autofrequency(minimum_frequency=1 / 500, maximum_frequency=5, samples_per_peak=5))
            for t, y, dy in curves
        ]
        print(f"  its grids: median {int(np.median(sizes))} frequencies (fazorn {args.method}: see frequency_count)")
        seconds, _ = timed(lambda: [fazorn.analyse(*c, threads=1, method="ls") for c in curves])
        report("fazorn.analyse(method='ls', threads=1), same process", seconds, n)


if __name__ == "__main__":
    main()
