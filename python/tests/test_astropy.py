"""astropy objects in (Time, Quantity, Table, TimeSeries) and out (Table)."""

import numpy as np
import pytest

import fazorn
from conftest import EXAMPLES

u = pytest.importorskip("astropy.units")
from astropy.table import Table  # noqa: E402
from astropy.time import Time  # noqa: E402
from astropy.timeseries import TimeSeries  # noqa: E402

CEPHEID = str(EXAMPLES / "OGLE-LMC-CEP-1513.dat")


def test_units_convert_to_the_engines_days_and_values():
    t, y, dy, _ = fazorn.read(CEPHEID)
    plain = fazorn.analyse(t, y, dy).to_dict()
    # The same numbers in days and magnitudes: the same analysis, bit for bit.
    assert fazorn.analyse(t * u.day, y * u.mag, dy * u.mag).to_dict() == plain
    assert fazorn.analyse(Time(t, format="mjd"), y * u.mag, dy).to_dict() == plain
    # Hours are converted to days; millimagnitude errors to magnitudes.
    hours = fazorn.analyse((t * u.day).to(u.h), y * u.mag, (dy * u.mag).to(u.mmag))
    assert hours.period == pytest.approx(plain["period"], rel=1e-9)
    # A Time in another format: JD.
    iso = Time(Time(t + 2450000.0, format="jd").isot, format="isot")
    assert fazorn.analyse(iso, y, dy).period == pytest.approx(plain["period"], rel=1e-8)
    # Flux and counts in their own units.
    flux = 10 ** (-0.4 * y)
    for unit in (u.Jy, u.electron / u.s):
        r = fazorn.periodogram(t, flux * unit, flux * 0.01 * unit, method="ls")
        assert r.best_period == fazorn.periodogram(t, flux, flux * 0.01, method="ls").best_period


def test_units_that_do_not_fit_are_refused_with_the_reason():
    t, y, dy, _ = fazorn.read(CEPHEID)
    with pytest.raises(ValueError, match="unit of time"):
        fazorn.analyse(y * u.mag, t * u.day, dy)
    with pytest.raises(ValueError, match="magnitudes, flux or counts.*the times"):
        fazorn.analyse(t * u.day, t * u.day, dy)
    with pytest.raises(ValueError, match="unit of y"):
        fazorn.analyse(t, 10 ** (-0.4 * y) * u.Jy, dy * u.mag)
    with pytest.raises(ValueError, match="y has none"):
        fazorn.analyse(t, y, dy * u.mag)


def test_tables_by_column_name_and_results_as_a_table(tmp_path):
    t, y, dy, _ = fazorn.read(CEPHEID)
    plain = fazorn.analyse(t, y, dy)
    ts = TimeSeries(time=Time(t, format="mjd"), data={"mag": y * u.mag, "err": dy * u.mag})
    assert fazorn.analyse(ts, "mag", "err").to_dict() == plain.to_dict()
    table = Table({"hjd": t, "mag": y, "err": dy})
    with pytest.raises(ValueError, match="no column 'time'"):
        fazorn.analyse(table, "mag", "err")
    table.rename_column("hjd", "time")
    assert fazorn.analyse(table, "mag", "err").to_dict() == plain.to_dict()
    with pytest.raises(ValueError, match="no column 'flux'"):
        fazorn.analyse(table, "flux")
    # Out: one row per file, the JSON's keys as columns, the failure recorded.
    missing = str(tmp_path / "missing.dat")
    results = fazorn.analyse_files([CEPHEID, missing], errors="record", as_table=True, method="aov")
    assert isinstance(results, Table) and len(results) == 2
    assert results["period"][0] == fazorn.analyse_file(CEPHEID, method="aov").period
    assert np.isnan(results["period"][1]) and "missing.dat" in results["error"][1]
    assert results.colnames[-1] == "error"
