"""The Python defaults: a search with no settings takes its grid from the
data (and analyse its route from --auto); auto=False is the command line."""

import json

import pytest

import fazorn
from conftest import EXAMPLES, run_cli

CEPHEID = str(EXAMPLES / "OGLE-LMC-CEP-1513.dat")
# The catalogued period of OGLE-LMC-CEP-1513, days (OGLE-IV, as
# examples/README.md gives it).
CATALOGUE_PERIOD = 8.4608918


def cli_json(*args):
    return json.loads(run_cli("analyse", "--json", *args, CEPHEID).stdout)


def test_defaults_find_the_cepheid_at_its_catalogue_period():
    t, y, dy, _ = fazorn.read(CEPHEID)
    r = fazorn.analyse(t, y, dy)
    assert abs(r.period - CATALOGUE_PERIOD) <= r.period_error
    assert r.alias == "none" and r.type == "DCEP"
    # Exactly the command line's --auto, to the last bit.
    assert r.to_dict() == {**cli_json("--auto"), "file": None}
    # The periodogram's grid from the data: the Lomb-Scargle search of the
    # new user's first try (1 to 50 d) now finds the Cepheid, not 8.333 d.
    for method in ("ls", "aov"):
        pg = fazorn.periodogram(t, y, dy, method=method, min_period=1, max_period=50)
        assert abs(pg.best_period - CATALOGUE_PERIOD) <= pg.period_error, method
        assert len(pg.frequency) > 10000
        expected = cli_json("--method", method, "--resolution", "auto", "--min-period", "1", "--max-period", "50")
        assert pg.analysis.to_dict() == {**expected, "file": None}


def test_given_settings_override_the_default_as_after_auto_on_the_command_line():
    t, y, dy, _ = fazorn.read(CEPHEID)
    cases = [
        ({"auto": False, "method": "ls", "min_period": 1, "max_period": 50},
         ["--method", "ls", "--min-period", "1", "--max-period", "50"]),
        # The command line has no "off" for a flag: --auto without --refine.
        ({"refine": False}, ["--resolution", "auto", "--resolve-alias"]),
        ({"resolution": 0.0003, "min_period": 2, "max_period": 20},
         ["--auto", "--resolution", "0.0003", "--min-period", "2", "--max-period", "20"]),
        ({"period": 8.46}, ["--period", "8.46"]),
    ]
    for options, cli_options in cases:
        got = fazorn.analyse(t, y, dy, **options).to_dict()
        assert got == {**cli_json(*cli_options), "file": None}, options
    # periodogram(auto=False): the window's grid, the 49 frequencies of the
    # multiples of 1/50 d.
    plain = fazorn.periodogram(t, y, dy, method="ls", min_period=1, max_period=50, auto=False)
    assert len(plain.frequency) == 49
    with pytest.raises(ValueError, match="auto needs True or False"):
        fazorn.analyse(t, y, dy, auto="yes")
