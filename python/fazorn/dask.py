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

A cluster may still be starting, or grow and shrink during a run (adaptive
clusters, job queues). A run waits up to `worker_timeout` seconds (60 by
default, None for ever) for a first worker, and as long again whenever the
cluster is left without any; past that it raises :class:`NoWorkersError`.
While the run goes on, the driver looks at the cluster every 2 s; when
workers joined or left a host, it sends the workers of that host their new
engine-thread count, which the tasks they start from then on use. A worker
that joined since the last look runs its tasks with 1 engine thread: it
cannot yet know which other workers share its cores.

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

import asyncio
import math
import numbers
import os
import sys
import threading
import time
import uuid

import dask
import numpy as np
import pandas as pd

import fazorn
from fazorn import _fazorn

__all__ = ["analyse_files", "analyse_frame", "frequencies_files", "NoWorkersError"]

# Upper bound of light curves per task: keeps a task short enough that a
# lost worker costs little and progress stays visible on huge inputs.
_MAX_CURVES_PER_TASK = 1000
# Tasks per thread slot of the cluster, for balance between fast and slow chunks.
_TASKS_PER_SLOT = 4
# Column of the first-appearance order of each light curve in analyse_frame.
_ORDER = "__fazorn_order"
# Seconds a run waits, by default, for a cluster without workers to get one.
_WORKER_TIMEOUT = 60.0
# Seconds between two looks at the cluster during a run, to follow workers
# that join or leave; the client refreshes its own view as often by default.
_FOLLOW_SECONDS = 2.0
# Runs whose engine-thread updates a worker process keeps (the newest): an
# update of a run whose driver went away is never removed otherwise.
_KEPT_RUNS = 16
# What distributed raises when its waits run out: asyncio's TimeoutError,
# the built-in one only from Python 3.11 on.
_TIMEOUTS = (TimeoutError, asyncio.TimeoutError)


class NoWorkersError(RuntimeError, TimeoutError):
    """The Dask cluster had no workers for longer than `worker_timeout`
    seconds, at the start of a run or during it (both a RuntimeError and a
    TimeoutError, for callers that catch either)."""


def _cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


class _Plan:
    """Where the tasks run: `slots` tasks at a time, each task with the
    engine threads of its worker (`threads` by worker address, `default`
    off a cluster). On a cluster `token` names the run, under which the
    driver sends the workers their new `threads` as the cluster changes."""

    def __init__(self, slots, threads, default, token=None):
        self.slots = max(1, slots)
        self.threads = threads
        self.default = max(1, default)
        self.token = token

    def task_threads(self):
        if self.token is not None:
            try:
                from distributed import get_worker

                address = get_worker().address
            except (ImportError, ValueError):
                return self.default
            # The newest numbers this worker was sent, else those of the start
            # of the run. A worker in neither joined since the driver last
            # looked: 1 thread cannot oversubscribe a host whose other
            # workers it does not know.
            return _sent_threads.get(self.token, self.threads).get(address, 1)
        return self.default


# On a worker process: the engine threads by worker address that the driver
# of each run sent as the cluster changed, by run token, newest last.
_sent_threads = {}
_sent_threads_lock = threading.Lock()


def _receive_threads(token, threads):
    with _sent_threads_lock:
        _sent_threads.pop(token, None)
        _sent_threads[token] = threads
        while len(_sent_threads) > _KEPT_RUNS:
            del _sent_threads[next(iter(_sent_threads))]


def _current_client():
    """The distributed client that is Dask's default scheduler, if any."""
    if "distributed" not in sys.modules:
        return None
    scheduler = dask.base.get_scheduler()
    owner = getattr(scheduler, "__self__", None)
    from distributed import Client

    return owner if isinstance(owner, Client) else None


def _check_worker_timeout(timeout):
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError(f"worker_timeout must be a number of seconds or None, not {timeout!r}")
    if not timeout >= 0:
        raise ValueError(f"worker_timeout must be at least 0 seconds, or None, not {timeout!r}")
    return float(timeout)


def _no_workers(timeout, during_run):
    when = "during the run" if during_run else "since the run started"
    return NoWorkersError(
        f"the Dask cluster has had no workers for {timeout:g} s {when} "
        f"(worker_timeout={timeout:g}; a larger worker_timeout, or None, waits longer)"
    )


def _workers(client):
    """The scheduler's information on every worker, by address."""
    # Newer distributed lists 5 workers unless told n_workers=-1; older
    # versions take and ignore the keyword.
    return client.scheduler_info(n_workers=-1)["workers"]


def _worker_cores(client, addresses):
    """The cores each worker process may use, by address; a worker that does
    not answer (gone, failing) is left out and gets 1 engine thread."""
    if not addresses:
        return {}
    return client.run(_cores, workers=list(addresses), on_error="ignore")


def _threads_per_worker(workers, cores):
    """Engine threads of a task on each worker: the cores of the worker
    process shared by the threads of all workers on its host (at least 1)."""
    threads_on_host = {}
    for address, info in workers.items():
        host = info.get("host", address)
        threads_on_host[host] = threads_on_host.get(host, 0) + info["nthreads"]
    return {
        address: max(1, cores.get(address, 1) // threads_on_host[info.get("host", address)])
        for address, info in workers.items()
    }


def _cluster_plan(client, worker_timeout):
    """The plan of a run on the cluster once it has a worker, with the
    workers and their cores it was made from."""
    workers = None
    while not workers:  # (empty again when the first worker left at once)
        try:
            # distributed reads a timeout of 0 as none at all; the smallest
            # positive one looks once.
            client.wait_for_workers(1, timeout=None if worker_timeout is None else max(worker_timeout, 1e-3))
        except _TIMEOUTS:
            raise _no_workers(worker_timeout, during_run=False) from None
        workers = _workers(client)
    cores = _worker_cores(client, workers)
    slots = sum(info["nthreads"] for info in workers.values())
    return _Plan(slots, _threads_per_worker(workers, cores), 1, token=uuid.uuid4().hex), workers, cores


def _plan(client, worker_timeout=_WORKER_TIMEOUT):
    if client is None:
        scheduler = dask.base.get_scheduler()
        cores = _cores()
        if scheduler is dask.local.get_sync:
            return _Plan(1, {}, cores)
        pool = dask.config.get("num_workers", None) or cores
        return _Plan(pool, {}, cores // pool)
    return _cluster_plan(client, worker_timeout)[0]


class _Follower:
    """Keeps the engine threads of each worker in step with the cluster
    during a run: when workers join or leave a host, the driver sends the
    workers of that host their new count, which the tasks they start from
    then on read (tasks already running keep theirs)."""

    def __init__(self, client, plan, workers, cores):
        self.client = client
        self.token = plan.token
        self.seen = self._shape(workers)
        self.cores = dict(cores)
        # What each worker uses now: the plan the tasks carry, then updates.
        self.sent = dict(plan.threads)

    @staticmethod
    def _shape(workers):
        return {address: (info.get("host", address), info["nthreads"]) for address, info in workers.items()}

    def look(self):
        """One look at the cluster, sending the changed counts; False when
        the cluster has no workers."""
        workers = _workers(self.client)
        if not workers:
            return False
        shape = self._shape(workers)
        if shape == self.seen:
            return True
        self.cores.update(_worker_cores(self.client, [a for a in workers if a not in self.cores]))
        threads = _threads_per_worker(workers, self.cores)
        changed = [a for a, n in threads.items() if self.sent.get(a) != n]
        if changed:
            received = self.client.run(_receive_threads, self.token, threads, workers=changed, on_error="ignore")
            # A worker that did not take the update is sent it at the next change.
            self.sent.update((a, threads[a]) for a in received)
        self.seen = shape
        return True


def _gather(client, futures, follower, worker_timeout):
    """client.gather(futures) once all are done; meanwhile the engine
    threads follow the cluster, and a cluster left without workers for
    longer than worker_timeout ends the run."""
    from distributed import wait

    alone_since = None
    while True:
        try:
            wait(futures, timeout=_FOLLOW_SECONDS)
            break
        except _TIMEOUTS:
            pass
        if follower.look():
            alone_since = None
            continue
        now = time.monotonic()
        if alone_since is None:
            alone_since = now
        if worker_timeout is not None and now - alone_since >= worker_timeout:
            client.cancel(futures)
            raise _no_workers(worker_timeout, during_run=True)
    return client.gather(futures)


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


def _as(table, as_table):
    """The DataFrame, or with `as_table` the astropy Table of it."""
    return fazorn.to_table(table) if as_table else table


def _analyse_file_chunk(paths, plan, options):
    results = fazorn.analyse_files(paths, threads=plan.task_threads(), errors="record", **options)
    return [_record(r) for r in results]


def _check_options(options):
    unknown = set(options) - set(_fazorn.option_names())
    if unknown:
        raise TypeError(
            f"unknown options: {', '.join(sorted(unknown))} (options: {', '.join(fazorn.option_names())})"
        )


def _start(client, worker_timeout):
    """The client of a run (Dask's default one when None), its plan, and on
    a cluster the follower of the workers."""
    if client is None:
        client = _current_client()
    if client is None:
        return None, _plan(None), None
    plan, workers, cores = _cluster_plan(client, worker_timeout)
    return client, plan, _Follower(client, plan, workers, cores)


def _run(client, follower, worker_timeout, function, pieces, *args):
    """function(piece, *args) for every piece on the cluster; the results in order."""
    if client is not None:
        futures = client.map(function, pieces, *[[a] * len(pieces) for a in args])
        return _gather(client, futures, follower, worker_timeout)
    tasks = [dask.delayed(function, pure=True)(piece, *args) for piece in pieces]
    return list(dask.compute(*tasks))


def analyse_files(paths, client=None, *, chunk_size=None, worker_timeout=_WORKER_TIMEOUT, as_table=False, **options):
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
    worker_timeout : float or None, optional
        Seconds to wait while the cluster has no workers: for the first to
        join (a cluster still starting, an adaptive one at zero) and, during
        the run, for one to come back. Default 60; None waits for ever (a
        job queue that may take long to start workers).
    **options
        The options of :func:`fazorn.analyse_file` (method, min_period,
        max_period, harmonics, resolution, period, ...).

    as_table : bool, optional
        Return an astropy Table (:func:`fazorn.to_table`) instead.

    Returns
    -------
    pandas.DataFrame
        One row per file in the order of `paths`: the keys of
        ``fazorn-cli analyse --json`` and ``error``.

    Raises
    ------
    NoWorkersError
        The cluster had no workers for `worker_timeout` seconds.
    """
    _check_options(options)
    worker_timeout = _check_worker_timeout(worker_timeout)
    paths = [fazorn._path(p) for p in paths]
    if not paths:  # no work: no need to wait for workers
        return _as(_table([], first="file"), as_table)
    client, plan, follower = _start(client, worker_timeout)
    pieces = [paths[a:b] for a, b in _chunks(len(paths), plan.slots, chunk_size)]
    parts = _run(client, follower, worker_timeout, _analyse_file_chunk, pieces, plan, options)
    return _as(_table([row for part in parts for row in part], first="file"), as_table)


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
    ddf,
    id="id",
    time="time",
    value="value",
    error="error",
    client=None,
    *,
    npartitions=None,
    worker_timeout=_WORKER_TIMEOUT,
    as_table=False,
    **options,
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
    worker_timeout : float or None, optional
        Seconds to wait while the cluster has no workers, as in
        :func:`analyse_files` (default 60; None for ever).
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

    Raises
    ------
    NoWorkersError
        The cluster had no workers for `worker_timeout` seconds.
    """
    import dask.dataframe as dd

    _check_options(options)
    worker_timeout = _check_worker_timeout(worker_timeout)
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
    client, plan, follower = _start(client, worker_timeout)
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
        results = _gather(client, futures, follower, worker_timeout)
    else:
        results = dask.compute(*[dask.delayed(_analyse_frame_part, pure=True)(p, columns, plan, options) for p in parts])
    rows = sorted((row for part in results for row in part), key=lambda r: r[_ORDER])
    for row in rows:
        del row[_ORDER]
    return _as(_table(rows, first=id), as_table)



# ---- multi-frequency analysis ---------------------------------------------------

_FREQUENCY_SETTINGS = (
    "snr",
    "noise_window",
    "max_count",
    "max_frequency",
    "min_frequency",
    "weights",
    "stop_at_errors",
    "free_harmonics",
    "max_fap",
    "columns",
    "band",
    "values",
)


def _frequencies_file_chunk(paths, settings):
    rows = []
    for path in paths:
        try:
            table = fazorn.frequencies_file(path, **settings)
        except (OSError, ValueError) as e:
            rows.append({"file": path, "name": None, "error": str(e) or "failed"})
            continue
        header = {k: v for k, v in table.to_dict().items() if k not in ("file", "frequencies")}
        terms = table.rows()
        # A file whose cascade found nothing keeps one row, so that every
        # file of the input is in the table.
        for term in terms or [{"name": None}]:
            rows.append({"file": path, **term, **header, "error": None})
    return rows


def frequencies_files(paths, client=None, *, chunk_size=None, worker_timeout=_WORKER_TIMEOUT, **settings):
    """The prewhitening cascade of many observation files on a Dask cluster,
    as ``fazorn-cli frequencies FILE...``.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The files, readable by the workers under the same names.
    client : distributed.Client, optional
        The cluster; None for Dask's default scheduler.
    chunk_size : int, optional
        Files per task, as for :func:`analyse_files`.
    worker_timeout : float or None, optional
        Seconds to wait while the cluster has no workers (default 60).
    **settings
        The settings of :func:`fazorn.frequencies_file` (snr, noise_window,
        max_count, max_frequency, min_frequency, weights, stop_at_errors,
        free_harmonics, max_fap, columns, band, values).

    Returns
    -------
    pandas.DataFrame
        One row per frequency of each file, files in the order of `paths`
        and frequencies in table order: ``file``, the keys of each entry of
        "frequencies" in ``fazorn-cli frequencies --json`` (name, frequency,
        amplitude, phase, the errors, snr, relation, fixed, fap), the file's points,
        time_span, epoch, zero_point, residual_rms, max_frequency and
        stop_reason, and ``error``. A file without any frequency has one row
        with name None; a file that could not be analysed has one row with
        its message in ``error``.
    """
    unknown = set(settings) - set(_FREQUENCY_SETTINGS)
    if unknown:
        raise TypeError(f"unknown settings: {', '.join(sorted(unknown))} (settings: {', '.join(_FREQUENCY_SETTINGS)})")
    worker_timeout = _check_worker_timeout(worker_timeout)
    paths = [fazorn._path(p) for p in paths]
    columns = ["file", "name", *fazorn._FREQUENCY_COLUMNS, "relation", "fixed", "fap", *fazorn._FREQUENCY_HEADER,
               "error"]
    if not paths:
        return pd.DataFrame(columns=columns)
    client, plan, follower = _start(client, worker_timeout)
    pieces = [paths[a:b] for a, b in _chunks(len(paths), plan.slots, chunk_size)]
    parts = _run(client, follower, worker_timeout, _frequencies_file_chunk, pieces, settings)
    table = pd.DataFrame.from_records([row for part in parts for row in part], columns=columns)
    table.index = pd.RangeIndex(len(table))
    return table
