"""Bad input gives a clear exception with the command line's message, never
a crash or a silent NaN."""

import numpy as np
import pytest

import fazorn

T = np.sort(np.random.default_rng(3).uniform(0.0, 30.0, 60))
Y = 10 + 0.3 * np.sin(2 * np.pi * T / 2.5)
DY = np.full_like(T, 0.02)
SETTINGS = dict(min_period=0.5, max_period=10)


def with_value(a, i, v):
    a = a.copy()
    a[i] = v
    return a


@pytest.mark.parametrize(
    "args, kwargs, error, text",
    [
        # Not arrays of real numbers.
        ((["a", "b", "c"], Y[:3], DY[:3]), {}, TypeError, "real numbers"),
        (([[0, 1], [2]], Y[:2], DY[:2]), {}, ValueError, "1-D array"),
        ((T.reshape(6, 10), Y, DY), {}, ValueError, "one-dimensional"),
        ((T + 0j, Y, DY), {}, TypeError, "real numbers"),
        (("data.dat", Y, DY), {}, TypeError, "1-D array"),
        ((np.ma.masked_array(T, T > 29), Y, DY), {}, ValueError, "masked"),
        # Shapes and sizes.
        ((T, Y[:-1], DY), {}, ValueError, "same length, not 60, 59 and 60"),
        ((np.array([]), np.array([]), np.array([])), {}, ValueError, "needs at least 2 points"),
        ((T[:1], Y[:1], DY[:1]), {}, ValueError, "needs at least 2 points"),
        # Values the searches refuse, with the command line's words.
        ((T, with_value(Y, 3, np.nan), DY), {}, ValueError, "1 point has a time or value that is not a number"),
        ((with_value(T, 0, np.inf), Y, DY), {}, ValueError, "not a number"),
        ((T, Y, with_value(DY, 5, 0.0)), {}, ValueError, "error of 0 or not a number"),
        ((T, Y, with_value(DY, 5, 0.0)), {"method": "aovtr"}, ValueError, "error of 0 or not a number"),
        ((T, Y, with_value(DY, 5, np.nan)), {}, ValueError, "error of 0 or not a number"),
        ((T, np.full_like(T, 3.0), DY), {}, ValueError, "all values are equal"),
        ((np.full_like(T, 5.0), Y, DY), {"method": "ls"}, ValueError, "same time"),
        # Settings.
        ((T, Y, DY), {"min_period": 5, "max_period": 1}, ValueError, "Min period is negative or greater"),
        ((T, Y, DY), {"min_period": -1}, ValueError, "Min period is negative"),
        ((T, Y, DY), {"resolution": 0}, ValueError, "esolution"),
        ((T, Y, DY), {"resolution": "fine"}, ValueError, "resolution needs a number"),
        ((T, Y, DY), {"harmonics": 2.5}, ValueError, "harmonics needs a whole number"),
        ((T, Y, DY), {"method": "bls"}, ValueError, "method must be aov, aovtr or ls"),
        ((T, Y, DY), {"period": -2}, ValueError, "period must be a positive number"),
        ((T, Y, DY), {"threads": 0}, ValueError, "threads must be"),
        ((T, Y, DY), {"oversampling_typo": 3}, TypeError, "unknown option 'oversampling_typo'"),
        ((T, Y, DY), {"save_phased": True}, ValueError, "need a file"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_analyse_refuses_bad_input(args, kwargs, error, text):
    with pytest.raises(error, match=None) as e:
        fazorn.analyse(*args, **{**SETTINGS, **kwargs})
    assert text in str(e.value)


def test_lomb_scargle_does_not_weight_so_an_error_of_0_is_no_obstacle():
    # As on the command line: the Lomb-Scargle search never uses the errors.
    r = fazorn.analyse(T, Y, with_value(DY, 5, 0.0), method="ls", **SETTINGS)
    assert r.period == pytest.approx(2.5, rel=0.02)
    assert all(v is None or np.isfinite(v) for v in r.values() if isinstance(v, float))


def test_the_same_refusals_from_periodogram_and_significance():
    with pytest.raises(ValueError, match="needs at least 2 points"):
        fazorn.periodogram(T[:1], Y[:1], DY[:1])
    with pytest.raises(ValueError, match="period="):
        fazorn.periodogram(T, Y, DY, period=2.0)
    with pytest.raises(ValueError, match="at least two points"):
        fazorn.significance(T[:1], Y[:1], DY[:1], method="ls", randomize="permute", iterations=5)
    with pytest.raises(ValueError, match="randomize must be permute or noise"):
        fazorn.significance(T, Y, DY, method="ls", randomize="shuffle", iterations=5)
    with pytest.raises(ValueError, match="iterations must be at least 1"):
        fazorn.significance(T, Y, DY, method="aov", randomize="noise", iterations=0)
    with pytest.raises(ValueError, match="at most 10000000"):
        fazorn.significance(T, Y, DY, method="ls", randomize="noise", iterations=10**7 + 1)
    # The compiled module called directly never reads past an array.
    with pytest.raises(ValueError, match="same length"):
        fazorn._fazorn.analyse(T, Y[:3], DY, "", {}, 1, False)
    with pytest.raises(ValueError, match="same length"):
        fazorn._fazorn.analyse_curves([(T, Y, DY[:-1], "x")], {}, 1)


def test_files_that_cannot_be_read(tmp_path):
    missing = tmp_path / "missing.dat"
    for call in (fazorn.read, fazorn.analyse_file):
        with pytest.raises(FileNotFoundError, match="Unable to open file"):
            call(missing)
        with pytest.raises(OSError, match="Unable to open file"):
            call(tmp_path)  # a directory
    with pytest.raises(FileNotFoundError):
        fazorn.significance(missing, method="ls", randomize="permute", iterations=5)
    # Many files: raise naming the file, or record it and go on.
    good = tmp_path / "good.dat"
    good.write_text("\n".join(f"{t} {y} {e}" for t, y, e in zip(T, Y, DY)))
    one_point = tmp_path / "one.dat"
    one_point.write_text("1 10 0.1\n")
    with pytest.raises(FileNotFoundError, match="missing.dat"):
        fazorn.analyse_files([good, missing], **SETTINGS)
    results = fazorn.analyse_files([missing, good, one_point], errors="record", **SETTINGS)
    assert [r.error is None for r in results] == [False, True, False]
    assert "Unable to open file" in results[0].error and "at least 2 points" in results[2].error
    assert results[1].to_dict() == fazorn.analyse_file(good, **SETTINGS).to_dict()


def test_settings_are_checked_once_before_any_light_curve(tmp_path):
    # A bad period range refuses the whole batch, as the command line's usage
    # error does, instead of recording the same error for every file.
    with pytest.raises(ValueError, match="Min period is negative or greater"):
        fazorn.analyse_files([tmp_path / "never-read.dat"], errors="record", min_period=3, max_period=2)
    # Harmonics below 1 are raised to 1 with a warning, as on stderr.
    with pytest.warns(UserWarning, match="harmonics 0 raised to 1"):
        raised = fazorn.analyse(T, Y, DY, harmonics=0, **SETTINGS)
    assert raised.to_dict() == fazorn.analyse(T, Y, DY, harmonics=1, **SETTINGS).to_dict()


@pytest.mark.parametrize(
    "cli, keywords",
    [
        (["--oversampling", "-1"], {"oversampling": -1}),
        (["--resolution", "0"], {"resolution": 0}),
        (["--min-period", "5", "--max-period", "1"], {"min_period": 5, "max_period": 1}),
        (["--method", "bls"], {"method": "bls"}),
        (["--route", "slow"], {"route": "slow"}),
        (["--period", "-2"], {"period": -2}),
        (["--harmonics", "two"], {"harmonics": "two"}),
        (["--columns", "1"], {"columns": "1"}),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_the_command_line_and_python_refuse_the_same_options_in_the_same_words(
    cli, keywords, tmp_path
):
    # One table of options behind both: the same refusal, before any file,
    # apart from how each spells the option's name.
    from conftest import run_cli

    star = tmp_path / "star.dat"
    star.write_text("".join(f"{t} {y} {dy}\n" for t, y, dy in zip(T, Y, DY)))
    r = run_cli("analyse", *cli, str(star), check=False)
    assert r.returncode == 2 and r.stdout == ""
    told = r.stderr.splitlines()[0].removeprefix("fazorn-cli: analyse: ")
    with pytest.raises(ValueError) as e:
        fazorn.analyse_file(str(star), **keywords)
    said = str(e.value)
    name = cli[0].removeprefix("--")
    # Refusals about one option name it first ("--oversampling must be ..."
    # and "oversampling must be ..."); the others are the search's own words.
    assert told.replace("--" + name, name.replace("-", "_"), 1) == said
