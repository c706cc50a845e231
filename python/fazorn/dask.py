"""Many light curves on Dask: the analysis of fazorn-cli over a cluster.

Both functions return a pandas DataFrame with one row per light curve, in
the order of the input, and the keys of ``fazorn-cli analyse --json`` as
columns, followed by ``error`` (None, or why that light curve could not be
analysed; its other columns are then empty).

Work goes to the workers in chunks of many light curves per task. Each task
analyses its chunk with as many engine threads as leave every core of its
machine busy exactly once: a worker running k tasks at a time on a machine
of c cores shared by workers of n threads in all gives each task c // n
threads (at least 1). Tasks are pure: when a worker dies, the cluster runs
its tasks again elsewhere and the table is still complete.

Without a client the default Dask scheduler runs (a distributed client
made current with ``Client()`` is that default; otherwise the local thread
pool, where the engines run in parallel because they release the GIL).

Examples
--------
>>> from distributed import Client, LocalCluster
>>> import fazorn.dask
>>> client = Client(LocalCluster(n_workers=2, threads_per_worker=1))   # doctest: +SKIP
>>> table = fazorn.dask.analyse_files(paths, client=client, method="ls")  # doctest: +SKIP
>>> table.to_csv("periods.csv", index=False)                          # doctest: +SKIP
"""

import math
import os
import sys

import dask
import numpy as np
import pandas as pd

import fazorn
from fazorn import _fazorn

__all__ = ["analyse_files", "analyse_frame"]

# Upper bound of light curves per task: keeps a task short enough that a
# lost worker costs little and progress stays visible on huge inputs.
_MAX_CURVES_PER_TASK = 1000
# Tasks per thread slot of the cluster, for balance between fast and slow chunks.
_TASKS_PER_SLOT = 4
# Column of the first-appearance order of each light curve in analyse_frame.
_ORDER = "__fazorn_order"


def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


class _Plan:
    """Where the tasks run: `slots` tasks at a time, each task with the
    engine threads of its worker (`threads` by worker address, `default`
    elsewhere)."""

    def __init__(self, slots, threads, default):
        self.slots = max(1, slots)
        self.threads = threads
        self.default = max(1, default)

    def task_threads(self):
        if self.threads:
            try:
                from distributed import get_worker

                return self.threads.get(get_worker().address, 1)
            except (ImportError, ValueError):
                pass
        return self.default


def _current_client():
    """The distributed client that is Dask's default scheduler, if any."""
    if "distributed" not in sys.modules:
        return None
    scheduler = dask.base.get_scheduler()
    owner = getattr(scheduler, "__self__", None)
    from distributed import Client

    return owner if isinstance(owner, Client) else None


def _plan(client):
    if client is None:
        scheduler = dask.base.get_scheduler()
        cores = _cores()
        if scheduler is dask.local.get_sync:
            return _Plan(1, {}, cores)
        pool = dask.config.get("num_workers", None) or cores
        return _Plan(pool, {}, cores // pool)
    workers = client.scheduler_info()["workers"]
    if not workers:
        raise RuntimeError("the Dask cluster has no workers")
    cores = client.run(_cores)
    threads_on_host = {}
    for address, info in workers.items():
        host = info.get("host", address)
        threads_on_host[host] = threads_on_host.get(host, 0) + info["nthreads"]
    threads = {}
    for address, info in workers.items():
        host = info.get("host", address)
        threads[address] = max(1, cores.get(address, 1) // threads_on_host[host])
    slots = sum(info["nthreads"] for info in workers.values())
    return _Plan(slots, threads, 1)


def _chunks(count, slots, chunk_size):
    if chunk_size is None:
        chunk_size = math.ceil(count / (slots * _TASKS_PER_SLOT))
    chunk_size = int(min(max(chunk_size, 1), _MAX_CURVES_PER_TASK))
    return [(a, min(a + chunk_size, count)) for a in range(0, count, chunk_size)]


def _record(result):
    row = result.to_dict()
    row["error"] = result.error
    return row


def _table(records, first=None):
    """The DataFrame of the records: keys in first-seen order, `first` (the
    id column) in front, "error" last."""
    columns = []
    seen = set()
    for r in records:
        for k in r:
            if k not in seen:
                seen.add(k)
                columns.append(k)
    for k in (first, "error"):
        if k in seen:
            columns.remove(k)
    columns = ([first] if first is not None else []) + columns + ["error"]
    table = pd.DataFrame.from_records(records, columns=columns)
    table.index = pd.RangeIndex(len(table))
    return table


def _analyse_file_chunk(paths, plan, options):
    results = fazorn.analyse_files(paths, threads=plan.task_threads(), errors="record", **options)
    return [_record(r) for r in results]


def _check_options(options):
    unknown = set(options) - set(_fazorn.option_names())
    if unknown:
        raise TypeError(
            f"unknown options: {', '.join(sorted(unknown))} (options: {', '.join(fazorn.option_names())})"
        )


def _run(client, function, pieces, *args):
    """function(piece, *args) for every piece on the cluster; the results in order."""
    if client is not None:
        futures = client.map(function, pieces, *[[a] * len(pieces) for a in args])
        return client.gather(futures)
    tasks = [dask.delayed(function, pure=True)(piece, *args) for piece in pieces]
    return list(dask.compute(*tasks))


def analyse_files(paths, client=None, *, chunk_size=None, **options):
    """Analyse many observation files on a Dask cluster.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The files, readable by the workers under the same names.
    client : distributed.Client, optional
        The cluster; None for Dask's default scheduler.
    chunk_size : int, optional
        Files per task; by default four tasks per thread of the cluster, at
        most 1000 files each.
    **options
        The options of :func:`fazorn.analyse_file` (method, min_period,
        max_period, harmonics, resolution, period, ...).

    Returns
    -------
    pandas.DataFrame
        One row per file in the order of `paths`: the keys of
        ``fazorn-cli analyse --json`` and ``error``.
    """
    _check_options(options)
    paths = [fazorn._path(p) for p in paths]
    if client is None:
        client = _current_client()
    plan = _plan(client)
    pieces = [paths[a:b] for a, b in _chunks(len(paths), plan.slots, chunk_size)]
    parts = _run(client, _analyse_file_chunk, pieces, plan, options)
    return _table([row for part in parts for row in part], first="file")


def _with_order(part, partition_info=None):
    """Adds the position of each row in the whole frame (partition number in
    the high bits), so that the input order survives the shuffle."""
    number = 0 if partition_info is None else partition_info["number"]
    part = part.copy()
    part[_ORDER] = (np.int64(number) << np.int64(40)) + np.arange(len(part), dtype=np.int64)
    return part


def _analyse_frame_part(part, columns, plan, options):
    id_, time, value, error = columns
    part = part.sort_values(_ORDER, kind="stable")
    curves, keys, order = [], [], []
    failed = {}
    for key, group in part.groupby(id_, sort=False, dropna=False):
        keys.append(key)
        order.append(int(group[_ORDER].iloc[0]))
        try:
            t, y, dy = fazorn._light_curve(
                group[time].to_numpy(), group[value].to_numpy(), None if error is None else group[error].to_numpy()
            )
        except (TypeError, ValueError) as e:
            failed[len(keys) - 1] = str(e)
            t = y = dy = np.empty(0)
        curves.append((t, y, dy, str(key)))
    rows = []
    analysed = _fazorn.analyse_curves(curves, options, plan.task_threads())
    for k, (key, first, (status, fields, diagnostics, _, _)) in enumerate(zip(keys, order, analysed)):
        if k in failed:
            row = {"error": failed[k]}
        elif status == "ok":
            row = dict(fields)
            row.pop("file", None)
            row["error"] = None
        else:
            row = {"error": "\n".join(diagnostics) or "failed"}
        row[id_] = key
        row[_ORDER] = first
        rows.append(row)
    return rows


def analyse_frame(
    ddf, id="id", time="time", value="value", error="error", client=None, *, npartitions=None, **options
):
    """Analyse the light curves of a Dask DataFrame, one row per observation.

    Parameters
    ----------
    ddf : dask.dataframe.DataFrame or pandas.DataFrame
        The observations of all light curves, in any partitioning.
    id, time, value, error : str, optional
        The columns of the light-curve identifier, the time (days), the
        value and its error; `error` None for errors of 1.
    client : distributed.Client, optional
        The cluster; None for Dask's default scheduler.
    npartitions : int, optional
        Partitions after grouping by `id` (tasks of the analysis); by default
        four per thread of the cluster.
    **options
        The options of :func:`fazorn.analyse` (method, min_period,
        max_period, harmonics, resolution, period, ...).

    Returns
    -------
    pandas.DataFrame
        One row per light curve in the order in which the ids first appear:
        the column `id`, the keys of ``fazorn-cli analyse --json`` other than
        "file", and ``error``. Within a light curve the observations keep
        their order, so the numbers equal those of the same curve in a file.
    """
    import dask.dataframe as dd

    _check_options(options)
    for opt in ("save_periodogram", "save_phased", "save_phased_binned"):
        if options.get(opt):
            raise ValueError(f"{opt} needs a file: use analyse_files")
    if isinstance(ddf, pd.DataFrame):
        ddf = dd.from_pandas(ddf, npartitions=max(1, min(len(ddf) // 100000 + 1, 64)), sort=False)
    if ddf.index.name == id and id not in ddf.columns:
        ddf = ddf.reset_index()
    wanted = [c for c in (id, time, value, error) if c is not None]
    missing = [c for c in wanted if c not in ddf.columns]
    if missing:
        raise ValueError(f"the frame has no column {', '.join(map(repr, missing))} (columns: {list(ddf.columns)})")
    if client is None:
        client = _current_client()
    plan = _plan(client)
    if npartitions is None:
        npartitions = plan.slots * _TASKS_PER_SLOT
    frame = ddf[wanted].map_partitions(_with_order, meta=dict(ddf[wanted].dtypes.items(), **{_ORDER: "i8"}))
    frame = frame.shuffle(id, npartitions=npartitions)
    parts = frame.to_delayed()
    columns = (id, time, value, error)
    if client is not None:
        futures = client.compute(
            [dask.delayed(_analyse_frame_part, pure=True)(p, columns, plan, options) for p in parts]
        )
        results = client.gather(futures)
    else:
        results = dask.compute(*[dask.delayed(_analyse_frame_part, pure=True)(p, columns, plan, options) for p in parts])
    rows = sorted((row for part in results for row in part), key=lambda r: r[_ORDER])
    for row in rows:
        del row[_ORDER]
    return _table(rows, first=id)
