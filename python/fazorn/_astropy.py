"""astropy types in and out, optional: nothing here imports astropy unless
the caller already handed over one of its objects (or asks for a Table).

Units accepted, and why:
- times: any time unit (converted to days, the engines' unit), or an
  astropy Time, taken in its own format when that counts days (jd, mjd;
  the period does not depend on the zero point) and as JD otherwise;
- values: magnitudes (mag and the magnitude systems, ABmag...), spectral
  flux densities, fluxes, count rates, counts and dimensionless numbers,
  each in its own unit; errors converted to the values' unit. A value in
  days or metres is a swapped column, refused rather than analysed.
"""

import sys

# The value kinds a light curve holds (astropy's physical types).
_VALUE_TYPES = {
    "dimensionless",
    "spectral flux density",
    "spectral flux density wav",
    "energy flux",
    "power density",
    "photon flux",
    "photon flux density",
    "photon flux density wav",
    "frequency",  # a count rate: electron / s, ct / s
}


# Counts and count rates (electron / s, ct / s, adu): astropy gives them
# no physical type of their own.
_COUNT_BASES = {"electron", "ct", "ph", "adu", "s"}


def _module(name):
    """An astropy module only when astropy is already imported (whoever
    passed one of its objects imported it)."""
    return sys.modules.get(name)


def is_table(x):
    table = _module("astropy.table")
    return table is not None and isinstance(x, table.Table)


def _is_quantity(x):
    units = _module("astropy.units")
    return units is not None and isinstance(x, units.Quantity)


def _is_time(x):
    time = _module("astropy.time")
    return time is not None and isinstance(x, time.Time)


def _unit_of(x):
    """The unit of a Quantity or of a table Column with one, else None."""
    if _is_quantity(x):
        return x.unit
    return getattr(x, "unit", None) if getattr(x, "unit", None) is not None and hasattr(x, "quantity") else None


def times(t):
    """Plain days from a Time, a time Quantity or a Column with a time unit."""
    if _is_time(t):
        if t.format in ("jd", "mjd"):
            return t.value
        return t.jd
    unit = _unit_of(t)
    if unit is None:
        return t
    import astropy.units as u

    q = t if _is_quantity(t) else t.quantity
    if not q.unit.is_equivalent(u.day):
        raise ValueError(f"t must be in a unit of time (days), not {q.unit}")
    return q.to_value(u.day)


def values(y, dy):
    """Plain values and errors: the values in their own unit, the errors in
    the values' unit."""
    unit = _unit_of(y)
    if unit is None:
        if _unit_of(dy) is not None:
            raise ValueError(f"dy has a unit ({_unit_of(dy)}) and y has none: give both or neither")
        return y, dy
    import astropy.units as u

    q = y if _is_quantity(y) else y.quantity
    unit = q.unit
    magnitude = isinstance(unit, u.MagUnit) or unit == u.mag
    kind = str(getattr(unit, "physical_type", ""))
    bases = {b.name for b in unit.decompose().bases}
    counts = not magnitude and bases <= _COUNT_BASES and bool(bases - {"s"})
    if not (magnitude or counts or kind in _VALUE_TYPES):
        raise ValueError(
            f"y must be magnitudes, flux or counts, not {unit} ({kind}); "
            "is it another column (the times)?"
        )
    if dy is None:
        return q.value, None
    e = _unit_of(dy)
    if e is None:
        return q.value, dy
    dq = dy if _is_quantity(dy) else dy.quantity
    # Errors of magnitudes (ABmag, mag) are differences: plain mag.
    target = u.mag if magnitude else unit
    if not dq.unit.is_equivalent(target):
        raise ValueError(f"dy must be in the unit of y ({target}), not {dq.unit}")
    return q.value, dq.to_value(target)


def columns_of(table, y, dy):
    """(t, y, dy) from a Table or TimeSeries and the names of the value and
    error columns: the time is TimeSeries.time, or the table's column
    "time" (or the only Time column)."""
    if not isinstance(y, str) or not (dy is None or isinstance(dy, str)):
        raise TypeError("with a table, y and dy are column names: analyse(table, 'mag', 'mag_err')")
    for name in (y, dy):
        if name is not None and name not in table.colnames:
            raise ValueError(f"the table has no column {name!r} (columns: {', '.join(table.colnames)})")
    if "time" in table.colnames:
        t = table["time"]
    else:
        found = [c for c in table.colnames if _is_time(table[c])]
        if len(found) != 1:
            raise ValueError(
                "the table has no column 'time' (nor one Time column): "
                "pass the columns, analyse(table['hjd'], table['mag'], table['err'])"
            )
        t = table[found[0]]
    return t, table[y], None if dy is None else table[dy]


def to_table(results):
    """An astropy Table of analyses: a list of AnalysisResult (columns the
    keys in first-seen order, then "error") or a pandas DataFrame (as
    fazorn.dask returns)."""
    try:
        from astropy.table import Table
    except ImportError:
        raise ImportError("to_table needs astropy (Debian python3-astropy)") from None
    if hasattr(results, "to_dict") and hasattr(results, "columns"):  # a DataFrame
        records = results.to_dict("records")
        names = list(results.columns)
    else:
        records = []
        names = []
        for r in results:
            row = dict(r.to_dict(), error=r.error)
            records.append(row)
            names += [k for k in row if k not in names]
        if "error" in names:
            names.remove("error")
            names.append("error")
    columns = []
    for name in names:
        column = [row.get(name) for row in records]
        plain = [v for v in column if v is not None]
        numeric = plain and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in plain)
        if numeric and len(plain) == len(column):
            columns.append(column)
        elif numeric:  # null numbers as NaN, as the JSON's null
            columns.append([float("nan") if v is None else float(v) for v in column])
        else:
            import numpy as np

            a = np.empty(len(column), dtype=object)
            a[:] = column
            columns.append(a)
    return Table(columns, names=names) if names else Table()
