"""Multi-frequency analysis from Python: the table of fazorn-cli
frequencies, as arrays and a DataFrame, and over files on Dask."""

import json
import pickle

import numpy as np
import pytest

import fazorn
from conftest import REAL, run_cli

# A delta Scuti star of data/real and a second star for the Dask run.
DSCT_FILES = sorted(str(p) for p in (REAL / "DSCT").glob("*.dat"))[:2]

# Three sinusoids (c/d, amplitude, phase in cycles), none a combination of
# the others within 1/T of 20 days (0.05 c/d).
INJECTED = [(5.1234, 0.050, 0.10), (8.7700, 0.020, 0.55), (12.3450, 0.010, 0.80)]


def synthetic_star(seed=7, n=2000, span=20.0, noise=0.003):
    rng = np.random.default_rng(seed)
    t = np.sort(rng.uniform(0.0, span, n)) + 2459000.0
    y = np.full(n, 10.0)
    epoch = t.mean()
    for f, a, p in INJECTED:
        y += a * np.sin(2 * np.pi * (f * (t - epoch) + p))
    y += rng.normal(0.0, noise, n)
    return t, y, np.full(n, noise), epoch


def test_three_frequency_star_is_recovered_within_its_errors():
    t, y, dy, epoch = synthetic_star()
    table = fazorn.frequencies(t, y, dy, max_frequency=30)
    assert len(table) == 3, table
    assert table.stop_reason.startswith("the highest residual peak")
    order = np.argsort(table.frequency)
    for k, (f, a, p) in zip(order, INJECTED):
        assert abs(table.frequency[k] - f) < 4 * table.sigma_frequency[k]
        assert abs(table.amplitude[k] - a) < 4 * table.sigma_amplitude[k]
        # The phase at the injected epoch (the table's epoch may differ).
        phase = table.phase[k] + table.frequency[k] * (table.epoch - epoch)
        assert abs((phase - p + 0.5) % 1.0 - 0.5) < 4 * table.sigma_phase[k] + 1e-9
        assert table.snr[k] > 4
    assert table.relation == [None, None, None] == table.label
    assert table.names == ["f1", "f2", "f3"]
    # Least-squares and analytic errors of white noise agree on such data.
    np.testing.assert_allclose(table.sigma_amplitude, table.mo_sigma_amplitude, rtol=0.2)
    # The model and the residuals are the same subtraction.
    np.testing.assert_allclose(y - table.model(t), table.residual, atol=1e-9)
    assert table.grid.shape == table.spectrum.shape == table.window.shape == table.residual_spectrum.shape
    assert table.residual_spectrum.max() < 0.2 * table.spectrum.max()


def test_a_table_becomes_a_dataframe_and_survives_pickling():
    pd = pytest.importorskip("pandas")
    t, y, dy, _ = synthetic_star(seed=3)
    table = fazorn.frequencies(t, y, dy, max_frequency=30, max_count=2)
    assert len(table) == 2 and "maximum count of 2" in table.stop_reason
    frame = table.to_pandas()
    assert isinstance(frame, pd.DataFrame)
    assert list(frame.columns) == ["name", *fazorn._FREQUENCY_COLUMNS, "relation", "fixed", "fap"]
    np.testing.assert_array_equal(frame["frequency"].to_numpy(), table.frequency)
    # Each term's false-alarm probability over the independent frequencies searched.
    assert table.independent_frequencies > 0 and len(table.fap) == len(table)
    assert all(0 <= p <= 1 for p in table.fap)
    again = pickle.loads(pickle.dumps(table))
    assert again.to_dict() == table.to_dict()


def test_bad_settings_and_light_curves_are_refused():
    t, y, dy, _ = synthetic_star(n=100)
    for bad in ({"snr": -1}, {"noise_window": 0}, {"max_count": -1}, {"max_count": 2.5}, {"snr": "4"},
                {"max_fap": 1}):
        with pytest.raises(ValueError):
            fazorn.frequencies(t, y, dy, **bad)
    with pytest.raises(ValueError, match="too few points"):
        fazorn.frequencies(t[:3], y[:3])
    y = y.copy()
    y[5] = np.nan
    with pytest.raises(ValueError, match="finite"):
        fazorn.frequencies(t, y)
    with pytest.raises(FileNotFoundError):
        fazorn.frequencies_file("/nonexistent/star.dat")


def cli_tables(files, *options):
    r = run_cli("frequencies", "--json", *options, *files)
    return {row["file"]: row for row in map(json.loads, r.stdout.splitlines())}


def test_files_and_arrays_equal_the_command_line():
    path = DSCT_FILES[0]
    expected = cli_tables([path], "--max-count", "8")[path]
    from_file = fazorn.frequencies_file(path, max_count=8)
    assert from_file.to_dict() == expected
    t, y, dy, _ = fazorn.read(path)
    from_arrays = fazorn.frequencies(t, y, dy, max_count=8).to_dict()
    assert from_arrays == {k: v for k, v in expected.items() if k != "file"}
    assert len(expected["frequencies"]) >= 1


def test_dask_gives_the_command_line_tables_in_input_order():
    pytest.importorskip("dask")
    files = DSCT_FILES[::-1] + ["/nonexistent/star.dat"]
    expected = cli_tables(DSCT_FILES, "--snr", "5")
    import dask

    import fazorn.dask

    with dask.config.set(scheduler="threads"):
        table = fazorn.dask.frequencies_files(files, snr=5, chunk_size=1)
    assert list(dict.fromkeys(table["file"])) == files
    for f in DSCT_FILES:
        rows = table[table["file"] == f]
        want = expected[f]
        assert list(rows["name"]) == [e["name"] for e in want["frequencies"]]
        assert list(rows["frequency"]) == [e["frequency"] for e in want["frequencies"]]
        assert list(rows["snr"]) == [e["snr"] for e in want["frequencies"]]
        assert set(rows["stop_reason"]) == {want["stop_reason"]}
        assert rows["error"].isna().all()
    missing = table[table["file"] == files[-1]]
    assert len(missing) == 1 and "nonexistent" in missing["error"].iloc[0]
    with pytest.raises(TypeError, match="unknown settings"):
        fazorn.dask.frequencies_files(files, method="aov")


def test_an_eclipsing_binarys_harmonics_are_held_at_its_orbital_frequency():
    # Nearly equal Gaussian dips: 2/P is the comb's highest tooth.
    t = np.arange(0.0, 27.0, 10.0 / 1440.0)
    phase = (t / 2.4) % 1.0
    y = 10.0 + sum(d * np.exp(-0.5 * ((phase - c) / 0.02) ** 2) for c, d in ((0, 0.3), (0.5, 0.27), (1, 0.3)))
    y += np.random.default_rng(5).normal(0.0, 0.002, t.size)
    table = fazorn.frequencies(t, y, max_frequency=40)
    assert abs(table.frequency[0] - 1 / 2.4) < 3 * table.sigma_frequency[0]
    assert not table.fixed[0] and all(table.fixed[1:])
    assert all(r.endswith("f1") and "+" not in r for r in table.relation[1:])
    assert table.rows()[1]["fixed"] is True
    free = fazorn.frequencies(t, y, max_frequency=40, free_harmonics=True)
    assert not any(free.fixed)
