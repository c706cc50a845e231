"""Many light curves on Dask: the command line's table, in input order, also
when a worker dies mid-run or the workers join late."""

import importlib.util
import os
import signal
import threading
import time
import warnings

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest

import fazorn
import fazorn.dask

distributed = pytest.importorskip("distributed")


def table_of(rows):
    """The command line's JSON lines as the table fazorn.dask returns."""
    table = pd.DataFrame.from_records(rows)
    table["error"] = None
    return table


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture
def empty_cluster():
    """A cluster without workers until the test scales it."""
    with warnings.catch_warnings():
        # Its scheduler's HTTP server takes another port than that of the module's cluster.
        warnings.filterwarnings("ignore", "Port .* is already in use", UserWarning)
        cluster = distributed.LocalCluster(n_workers=0, threads_per_worker=1, processes=True, dashboard_address=None)
    with cluster, distributed.Client(cluster) as c:
        yield cluster, c


def test_two_workers_give_the_command_line_table_in_input_order(client, real_files, cli):
    # Reversed so that the input order is not the sorted one.
    files = real_files[::-1]
    expected = cli(files, "--method", "ls")
    table = fazorn.dask.analyse_files(files, client=client, method="ls")
    pd.testing.assert_frame_equal(table, table_of([expected[f] for f in files]), check_exact=True)
    # Many curves per task, every core once: 2 workers x 1 thread, 1 engine thread each.
    plan = fazorn.dask._plan(client)
    assert plan.slots == 2 and set(plan.threads.values()) == {max(1, fazorn.dask._cores() // 2)}
    assert len(fazorn.dask._chunks(len(files), plan.slots, None)) == 8


def test_a_worker_killed_mid_run_still_gives_the_full_table(client, real_files, cli):
    files = real_files
    expected = cli(files, "--method", "aov")
    pids = client.run(os.getpid)
    killed = []

    def kill_one_worker_after_the_first_task():
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not killed:
            done = client.run_on_scheduler(
                lambda dask_scheduler: sum(
                    ts.state == "memory" and str(ts.key).startswith("_analyse_file_chunk")
                    for ts in dask_scheduler.tasks.values()
                )
            )
            if done >= 1:
                victim = next(iter(pids.values()))
                os.kill(victim, signal.SIGKILL)
                killed.append(done)
            time.sleep(0.05)

    killer = threading.Thread(target=kill_one_worker_after_the_first_task)
    killer.start()
    try:
        table = fazorn.dask.analyse_files(files, client=client, method="aov", chunk_size=20)
    finally:
        killer.join()
    chunks = len(fazorn.dask._chunks(len(files), 2, 20))
    assert killed and killed[0] < chunks, "no worker was killed during the run"
    pd.testing.assert_frame_equal(table, table_of([expected[f] for f in files]), check_exact=True)
    client.wait_for_workers(2, timeout=60)


def test_frame_of_observations_gives_the_table_of_the_files(client, real_files, cli):
    files = real_files[::9]
    expected = cli(files, "--method", "ls")
    frames = []
    for k, f in enumerate(files):
        t, y, dy, _ = fazorn.read(f)
        frames.append(pd.DataFrame({"star": f, "t": t, "mag": y, "err": dy, "turn": np.arange(len(t))}))
    # The observations of all stars interleaved (row i of each star in turn),
    # so every partition holds pieces of many stars.
    rows = pd.concat(frames).sort_values("turn", kind="stable").drop(columns="turn").reset_index(drop=True)
    order = list(dict.fromkeys(rows["star"]))
    ddf = dd.from_pandas(rows, npartitions=7, sort=False)
    want = table_of([{**expected[f], "file": None} for f in order]).drop(columns="file")
    want.insert(0, "star", order)
    table = fazorn.dask.analyse_frame(ddf, id="star", time="t", value="mag", error="err", method="ls", client=client)
    pd.testing.assert_frame_equal(table, want, check_exact=True)
    with dask.config.set(scheduler="threads"):  # the local default scheduler
        table = fazorn.dask.analyse_frame(ddf, id="star", time="t", value="mag", error="err", method="ls")
        pd.testing.assert_frame_equal(table, want, check_exact=True)
        # Without errors: equal weights, as fazorn.analyse with dy=None.
        unweighted = fazorn.dask.analyse_frame(ddf, id="star", time="t", value="mag", error=None, method="aov")
    first = rows[rows["star"] == order[0]]
    alone = fazorn.analyse(first["t"], first["mag"], method="aov", auto=False).to_dict()
    del alone["file"]
    assert unweighted.drop(columns=["star", "error"]).iloc[0].to_dict() == alone
    with pytest.raises(ValueError, match="no column 'flux'"):
        fazorn.dask.analyse_frame(ddf, id="star", time="t", value="flux", error="err")


def test_default_scheduler_and_bad_files_are_recorded(real_files, cli, tmp_path):
    files = real_files[:5] + [str(tmp_path / "missing.dat")] + real_files[5:9]
    expected = cli(real_files[:9], "--method", "ls")
    with dask.config.set(scheduler="threads"):
        table = fazorn.dask.analyse_files(files, method="ls", chunk_size=3)
    assert fazorn.dask._plan(None).slots == fazorn.dask._cores()
    assert list(table["file"]) == files
    assert "Unable to open file" in table["error"][5]
    good = table.drop(index=5).reset_index(drop=True)
    # A missing value turns the integer columns into floats, as pandas does.
    pd.testing.assert_frame_equal(
        good, table_of([expected[f] for f in real_files[:9]]), check_exact=True, check_dtype=False
    )
    with pytest.raises(TypeError, match="unknown options: colour"):
        fazorn.dask.analyse_files(files, colour="red")
    # The same rows as an astropy Table, when astropy is there.
    if importlib.util.find_spec("astropy") is not None:
        with dask.config.set(scheduler="threads"):
            astro = fazorn.dask.analyse_files(files[:6], method="ls", as_table=True)
        assert list(astro["period"][:5]) == list(table["period"][:5])
        assert astro.colnames == list(table.columns) and "Unable to open file" in astro["error"][5]


def test_workers_that_join_late_give_the_full_table(empty_cluster, real_files, cli):
    cluster, client = empty_cluster
    files = real_files[::7][::-1]
    # No workers: the error names the timeout and how to change it, soon.
    start = time.monotonic()
    with pytest.raises(fazorn.dask.NoWorkersError, match=r"no workers for 0.5 s .*worker_timeout=0.5") as refused:
        fazorn.dask.analyse_files(files, client=client, worker_timeout=0.5)
    assert time.monotonic() - start < 10
    assert isinstance(refused.value, RuntimeError) and isinstance(refused.value, TimeoutError)
    frame = pd.DataFrame({"id": [1, 1], "time": [0.0, 1.0], "value": [1.0, 2.0], "error": [0.1, 0.1]})
    with pytest.raises(fazorn.dask.NoWorkersError, match="worker_timeout=0;"):
        fazorn.dask.analyse_frame(frame, client=client, worker_timeout=0)
    # Nothing to do needs no workers.
    assert list(fazorn.dask.analyse_files([], client=client, worker_timeout=0.5).columns) == ["file", "error"]
    for bad, error in ((-1, ValueError), (float("nan"), ValueError), ("60s", TypeError), (True, TypeError)):
        with pytest.raises(error, match="worker_timeout"):
            fazorn.dask.analyse_files(files, client=client, worker_timeout=bad)

    # Two workers started 2.5 s after the call, as a busy machine or a job queue does.
    expected = cli(files, "--method", "ls")
    late = threading.Timer(2.5, cluster.scale, args=(2,))
    late.start()
    try:
        table = fazorn.dask.analyse_files(files, client=client, method="ls")
    finally:
        late.join()
    pd.testing.assert_frame_equal(table, table_of([expected[f] for f in files]), check_exact=True)


def test_engine_threads_follow_workers_joining_and_leaving_the_host(empty_cluster):
    cluster, client = empty_cluster
    cores = fazorn.dask._cores()

    def threads_of_a_task_on_each_worker(plan):
        return {
            a: client.submit(plan.task_threads, workers=[a], allow_other_workers=False, pure=False).result(timeout=60)
            for a in client.scheduler_info()["workers"]
        }

    def scale(n):
        cluster.scale(n)
        deadline = time.monotonic() + 60
        while len(client.scheduler_info()["workers"]) != n and time.monotonic() < deadline:
            time.sleep(0.05)

    scale(1)
    plan, workers, worker_cores = fazorn.dask._cluster_plan(client, 60)
    follower = fazorn.dask._Follower(client, plan, workers, worker_cores)
    [first] = workers
    assert threads_of_a_task_on_each_worker(plan) == {first: cores}
    # A second worker on the same host: before the driver looks, the newcomer
    # takes 1 thread; after, the two share the cores.
    scale(2)
    [second] = set(client.scheduler_info()["workers"]) - {first}
    assert threads_of_a_task_on_each_worker(plan)[second] == 1
    assert follower.look()
    assert threads_of_a_task_on_each_worker(plan) == {first: max(1, cores // 2), second: max(1, cores // 2)}
    # One leaves: the other gets all the cores again.
    scale(1)
    assert follower.look()
    [left] = client.scheduler_info()["workers"]
    assert threads_of_a_task_on_each_worker(plan) == {left: cores}


def test_a_run_whose_workers_all_leave_ends_with_the_clear_error(empty_cluster, real_files):
    cluster, client = empty_cluster
    cluster.scale(1)
    client.wait_for_workers(1, timeout=60)

    def remove_the_workers_after_the_first_task():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            done = client.run_on_scheduler(
                lambda dask_scheduler: sum(ts.state == "memory" for ts in dask_scheduler.tasks.values())
            )
            if done:
                cluster.scale(0)
                return
            time.sleep(0.05)

    remover = threading.Thread(target=remove_the_workers_after_the_first_task)
    # Should the run not give up, a worker comes back so that it ends (and the test fails).
    rescue = threading.Timer(60, cluster.scale, args=(1,))
    remover.start()
    rescue.start()
    try:
        with pytest.raises(fazorn.dask.NoWorkersError, match="no workers for 1 s during the run"):
            fazorn.dask.analyse_files(real_files, client=client, method="aov", chunk_size=2, worker_timeout=1)
    finally:
        rescue.cancel()
        remover.join()
