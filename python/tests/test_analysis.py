"""The Python functions compute what fazorn-cli computes, to the last bit."""

import concurrent.futures
import json
import pathlib
import pickle

import numpy as np
import pytest

import fazorn
from conftest import EXAMPLES, CliRefusal, run_cli

# AoVtr costs five times AoV: a fixed sample of the real stars (every 11th).
AOVTR_STEP = 11


def test_analyse_files_equal_command_line_on_all_real_stars_aov_and_ls(real_files, cli):
    for options in (("--method", "aov"), ("--method", "ls")):
        expected = cli(real_files, *options)
        got = fazorn.analyse_files(real_files, threads=2, method=options[1])
        assert [r.to_dict() for r in got] == [expected[f] for f in real_files], options


@pytest.mark.parametrize(
    "options",
    [
        {"method": "aovtr"},
        {"method": "aov", "harmonics": 4, "min_period": 0.3, "max_period": 100, "resolution": 0.0001},
        {"method": "ls", "min_period": 0.5, "max_period": 50},
        {"period": 0.5},
    ],
    ids=["aovtr", "aov-options", "ls-options", "given-period"],
)
def test_arrays_and_files_equal_command_line_on_a_sample(real_files, cli, options):
    files = real_files[::AOVTR_STEP]
    cli_options = []
    for k, v in options.items():
        cli_options += ["--" + k.replace("_", "-"), str(v)]
    expected = cli(files, *cli_options)
    for f in files:
        t, y, dy, notes = fazorn.read(f)
        if isinstance(expected[f], CliRefusal):  # refused by the command line: refused here
            for call in (lambda: fazorn.analyse(t, y, dy, auto=False, **options), lambda: fazorn.analyse_file(f, **options)):
                with pytest.raises(ValueError) as e:
                    call()
                assert str(e.value) == expected[f]
            continue
        from_arrays = fazorn.analyse(t, y, dy, name=f, threads=1, auto=False, **options)
        from_file = fazorn.analyse_file(f, **options)
        assert from_arrays.to_dict() == expected[f], f
        assert from_file.to_dict() == expected[f], f


def test_periodogram_is_the_one_of_the_analysis(real_files, cli):
    files = real_files[::60]
    for method in ("aov", "aovtr", "ls"):
        expected = cli(files, "--method", method)
        for f in files:
            t, y, dy, _ = fazorn.read(f)
            e = expected[f]
            if isinstance(e, CliRefusal):
                with pytest.raises(ValueError, match="Calculation aborted"):
                    fazorn.periodogram(t, y, dy, method=method, auto=False)
                continue
            pg = fazorn.periodogram(t, y, dy, method=method, auto=False)
            assert pg.analysis.to_dict() == {**e, "file": None}
            assert len(pg.frequency) == len(pg.power) == e["frequency_count"]
            assert pg.frequency.dtype == pg.power.dtype == np.float64
            assert np.all(np.diff(pg.frequency) > 0)
            # The peak is where the arrays say it is.
            best = int(np.argmax(pg.power))
            assert pg.power[best] == pg.max_power == e["max_power"]
            assert pg.frequency[best] == pg.best_frequency == e["best_frequency"]
            assert (pg.best_period, pg.period_error) == (e["period"], e["period_error"])
            assert pg.false_alarm_probability == e.get("false_alarm_probability")
            assert pg.peaks[0]["period"] == pytest.approx(e["period"], rel=1e-12)
            powers = [p["power"] for p in pg.peaks]
            assert powers == sorted(powers, reverse=True) and len(powers) >= 2


def test_any_float_dtype_and_strided_views_give_the_float64_result(real_files):
    f = real_files[0]
    t, y, dy, _ = fazorn.read(f)
    reference = fazorn.analyse(t, y, dy, method="ls").to_dict()
    # A strided view of interleaved columns, a Fortran-ordered block, a list.
    table = np.stack([t, y, dy], axis=1)
    assert fazorn.analyse(table[:, 0], table[:, 1], table[:, 2], method="ls").to_dict() == reference
    fortran = np.asfortranarray(np.stack([t, y, dy]))
    assert fazorn.analyse(fortran[0], fortran[1], fortran[2], method="ls").to_dict() == reference
    assert fazorn.analyse(list(t), list(y), list(dy), method="ls").to_dict() == reference
    # Lower precision is converted once: the result is that of the rounded data.
    t32, y32, dy32 = (a.astype(np.float32) for a in (t, y, dy))
    rounded = fazorn.analyse(t32.astype(np.float64), y32.astype(np.float64), dy32.astype(np.float64), method="ls")
    assert fazorn.analyse(t32, y32, dy32, method="ls").to_dict() == rounded.to_dict()
    assert fazorn.analyse(t32[::-1][::-1], y32, dy32.astype(np.longdouble), method="ls").to_dict() == rounded.to_dict()
    # The caller's arrays are never changed.
    before = table.copy()
    fazorn.analyse(table[:, 0], table[:, 1], table[:, 2])
    assert np.array_equal(table, before)


def test_results_do_not_depend_on_threads_and_the_engines_run_concurrently(real_files):
    files = real_files[5:11]
    curves = [fazorn.read(f)[:3] for f in files]
    sequential = [fazorn.analyse(*c, threads=1).to_dict() for c in curves]
    assert [fazorn.analyse(*c, threads=2).to_dict() for c in curves] == sequential
    # Two Python threads at once (the GIL is released inside): the same numbers.
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        parallel = list(pool.map(lambda c: fazorn.analyse(*c, threads=1).to_dict(), curves * 2))
    assert parallel == sequential * 2
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        # A period range of its own keeps the box search's grid to 10^5
        # frequencies (the automatic one spans these sparse curves' cadence).
        pgs = list(pool.map(lambda c: fazorn.periodogram(*c, method="aovtr", min_period=1.0,
                                                         max_period=10.0), curves[:2] * 2))
    for a, b in zip(pgs[:2], pgs[2:]):
        assert np.array_equal(a.power, b.power) and a.best_period == b.best_period


def test_read_keeps_the_reading_rules_and_notes(tmp_path):
    f = tmp_path / "stops.dat"
    f.write_text("1 10.5 0.1\n2 10.7 0\n3 nan 0.1\n4 10.1 0.1 extra\n5 10.2\n")
    t, y, dy, notes = fazorn.read(f)
    assert list(t) == [1, 2, 3, 4] and y[1] == 10.7 and np.isnan(y[2]) and dy[1] == 0
    assert notes[0] == "Read 4 points."
    assert any('line 4 at "extra"' in n for n in notes)
    assert any("error of 0" in n for n in notes) and any("not finite" in n for n in notes)
    obs = fazorn.read(str(f))
    assert obs.time.dtype == np.float64 and obs.notes == notes


def test_analysis_result_is_a_read_only_mapping_with_attributes(real_files):
    r = fazorn.analyse_file(real_files[0], method="ls")
    assert list(r)[:4] == ["file", "points", "method", "frequency_count"]
    assert r.period == r["period"] and r.type == r["type"]
    # The notes are the command line's stderr lines: here only the warning
    # that the default Lomb-Scargle grid is coarse for this 7-year span.
    assert r.notes == ["Warning: " + w for w in r.warnings] and len(r.warnings) == 1
    with pytest.raises(AttributeError):
        r.period = 1.0
    with pytest.raises(AttributeError):
        r.no_such_key
    copy = pickle.loads(pickle.dumps(r))
    assert copy.to_dict() == r.to_dict() and copy.notes == r.notes
    assert json.loads(json.dumps(r.to_dict())) == r.to_dict()


def test_saving_derived_files_beside_the_input_as_the_command_line(tmp_path):
    source = EXAMPLES / "OGLE-LMC-CEP-1513.dat"
    a = tmp_path / "a" / source.name
    b = tmp_path / "b" / source.name
    for p in (a, b):
        p.parent.mkdir()
        p.write_bytes(source.read_bytes())
    options = dict(method="aov", min_period=2, max_period=20, resolution=0.001)
    r = fazorn.analyse_file(a, save_periodogram=True, save_phased=True, **options)
    run_cli("analyse", "--json", "--min-period", "2", "--max-period", "20", "--resolution", "0.001",
            "--save-periodogram", "--save-phased", str(b))
    for key in ("periodogram_file", "phased_file"):
        written = tmp_path / "a" / r[key].split("/")[-1]
        assert written.read_bytes() == (tmp_path / "b" / written.name).read_bytes()


def test_significance_equals_the_command_line(tmp_path):
    f = str(EXAMPLES / "OGLE-LMC-CEP-1513.dat")
    common = dict(method="ls", randomize="permute", iterations=300, seed=7, min_period=2, max_period=20)
    ours = fazorn.significance(f, output=tmp_path / "py.dat", threads=2, **common)
    out = run_cli("significance", "--json", "--method", "ls", "--randomize", "permute", "--iterations", "300",
                  "--seed", "7", "--min-period", "2", "--max-period", "20", "--threads", "1",
                  "--output", str(tmp_path / "cli.dat"), f).stdout
    theirs = json.loads(out)
    assert {**ours.to_dict(), "output": None} == {**theirs, "output": None}
    assert (tmp_path / "py.dat").read_bytes() == (tmp_path / "cli.dat").read_bytes()
    # Arrays give the same test.
    t, y, dy, _ = fazorn.read(f)
    again = fazorn.significance(t, y, dy, output=tmp_path / "arrays.dat", **common)
    assert again.empirical_false_alarm_probability == ours.empirical_false_alarm_probability
    assert again.file is None
    # AoV on both routes, as the command line's --route gives them.
    for route in ("exact", "auto"):
        aov = {**common, "method": "aov", "iterations": 60}
        ours = fazorn.significance(f, output=tmp_path / "py.dat", route=route, **aov)
        run_cli("significance", "--method", "aov", "--randomize", "permute", "--iterations", "60",
                "--seed", "7", "--min-period", "2", "--max-period", "20", "--route", route,
                "--output", str(tmp_path / "cli.dat"), f)
        assert (tmp_path / "py.dat").read_bytes() == (tmp_path / "cli.dat").read_bytes()


class Interrupted(Exception):
    pass


def test_ctrl_c_stops_a_long_run_and_the_module_stays_usable(real_files):
    import os
    import signal
    import threading

    t, y, dy, _ = fazorn.read(real_files[0])
    reference = fazorn.analyse(t, y, dy, method="ls").to_dict()

    def raise_interrupted(*_):
        raise Interrupted()

    previous = signal.signal(signal.SIGINT, raise_interrupted)
    try:
        # Runs of seconds to minutes; a Ctrl-C 0.3 s in stops each.
        for long_run in (
            lambda: fazorn.periodogram(t, y, dy, method="aovtr", resolution=1e-5),
            lambda: fazorn.significance(t, y, dy, method="ls", randomize="noise", iterations=10**7, output=os.devnull),
            lambda: fazorn.analyse_files([real_files[0]] * 2000, method="aovtr"),
        ):
            timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
            timer.start()
            try:
                with pytest.raises(Interrupted):
                    long_run()
            finally:
                timer.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert fazorn.analyse(t, y, dy, method="ls").to_dict() == reference


@pytest.mark.parametrize(
    "options, cli_options",
    [
        ({"auto": True}, ["--auto"]),
        ({"resolution": "auto", "oversampling": 5, "refine": True}, ["--resolution", "auto", "--oversampling", "5", "--refine"]),
        ({"method": "ls", "route": "fast"}, ["--method", "ls", "--route", "fast"]),
        ({"method": "aovtr", "route": "fast"}, ["--method", "aovtr", "--route", "fast"]),
    ],
    ids=["auto", "auto-grid-refine", "ls-fast-route", "aovtr-fast-route"],
)
def test_search_options_beyond_the_window_equal_command_line(real_files, cli, options, cli_options):
    files = real_files[::45]
    expected = cli(files, *cli_options)
    for f in files:
        t, y, dy, _ = fazorn.read(f)
        assert fazorn.analyse_file(f, **options).to_dict() == expected[f], f
        assert fazorn.analyse(t, y, dy, name=f, threads=1, **{"auto": False, **options}).to_dict() == expected[f], f


def test_bad_search_options_raise():
    t = np.linspace(0.0, 30.0, 200)
    y = np.sin(2 * np.pi * t / 1.7)
    dy = np.full_like(t, 0.01)
    for bad in ({"route": "quick"}, {"oversampling": 0}, {"resolution": "fine"}, {"columns": "time"}):
        with pytest.raises(ValueError):
            fazorn.analyse(t, y, dy, **bad)


def test_table_columns_and_band_as_on_the_command_line():
    # SDSS Stripe 82: five interleaved bands; the chosen band and columns
    # must reach the reader exactly as --band and --columns do.
    f = str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "formats" / "text"
            / "sdss_s82_rrlyr_4984662.csv")
    for options, cli_options in (({"band": "r", "period": 0.5}, ["--band", "r", "--period", "0.5"]),
                                 ({"band": "g", "columns": ("time", "mag", 3), "period": 0.5},
                                  ["--band", "g", "--columns", "time,mag,3", "--period", "0.5"])):
        r = run_cli("analyse", "--json", *cli_options, f)
        assert fazorn.analyse_file(f, **options).to_dict() == json.loads(r.stdout), options


def test_values_flux_models_arrays_on_their_magnitudes():
    # Fluxes of a 0.7 d sinusoid, one of them negative: modelled on
    # magnitudes with that point left out; taken as magnitudes by default.
    t = np.linspace(0, 30, 600)
    f = 1000 * (1 + 0.1 * np.sin(2 * np.pi * t / 0.7))
    f[5] = -1
    as_mag = fazorn.analyse(t, f, np.ones(600), period=0.7)
    as_flux = fazorn.analyse(t, f, np.ones(600), period=0.7, values="flux")
    assert as_mag.value_kind == "mag" and not as_mag.type_admitted
    assert as_flux.value_kind == "flux" and as_flux.type_admitted
    assert as_flux.model_points_left_out == 1
    with pytest.raises(ValueError):
        fazorn.analyse(t, f, np.ones(600), period=0.7, values="kelvin")
