#!/usr/bin/env python3
"""Analyses every light curve of data/real on a Dask cluster and writes a CSV.

    PYTHONPATH=build/release/python python3 examples/analyse_real_on_dask.py \
        [--scheduler tcp://host:8786] [--method aov] [--output real-periods.csv]

Without --scheduler it starts a distributed.LocalCluster on this machine
(one single-threaded worker per core). With --scheduler the same code runs
on a cluster that is already up; its workers must see the files under the
same paths and have the fazorn package importable.
"""

import argparse
import pathlib
import time

import pandas as pd
from distributed import Client, LocalCluster

import fazorn.dask

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--scheduler", help="address of a running Dask scheduler")
    p.add_argument("--workers", type=int, default=None, help="LocalCluster workers (default: one per core)")
    p.add_argument("--method", default="aov", choices=["aov", "aovtr", "ls"])
    p.add_argument("--output", default="real-periods.csv")
    args = p.parse_args()

    paths = sorted(str(f) for f in (ROOT / "data" / "real").glob("*/*.dat"))
    catalog = pd.read_csv(ROOT / "data" / "real" / "catalog.csv")
    catalog["file"] = [str(ROOT / "data" / "real" / f) for f in catalog["file"]]

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None)
        client = Client(cluster)
    try:
        workers = len(client.scheduler_info()["workers"])
        start = time.perf_counter()
        table = fazorn.dask.analyse_files(paths, client=client, method=args.method)
        seconds = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    # The catalogued period and type beside what was found.
    table = table.merge(
        catalog[["file", "type", "period_days"]].rename(
            columns={"type": "catalog_type", "period_days": "catalog_period"}
        ),
        on="file",
        how="left",
    )
    table.to_csv(args.output, index=False)
    found = (abs(table["period"] / table["catalog_period"] - 1) < 0.01).sum()
    print(
        f"{len(table)} light curves in {seconds:.1f} s ({len(table) / seconds:.1f} per second) "
        f"on {workers} workers; "
        f"{found} at the catalogued period within 1 %; written to {args.output}"
    )


if __name__ == "__main__":
    main()
