"""Period analysis of light curves: the engines of fazorn-cli from Python.

The functions compute exactly what ``fazorn-cli analyse`` computes on the
same input and options, to the last bit; the fields of an analysis carry the
names of the keys of ``fazorn-cli analyse --json``.

Defaults differ from the command line's in two calls, so that a search with
no settings finds the period a Python user expects: :func:`periodogram`
takes its grid and period range from the data (``--resolution auto``), and
:func:`analyse` also refines the peak and decides between P, 2P and P/2
(``--auto``). Any setting given overrides its part of that default as it
would after ``--auto`` on the command line; ``auto=False`` turns the default
off, and the options are then exactly those of ``fazorn-cli analyse``
(the window's grid: steps of 0.0003 per day, 0.2 to 500 days, the
Lomb-Scargle grid the multiples of 1 / max_period). :func:`analyse_file`,
:func:`analyse_files` and :mod:`fazorn.dask` keep the command line's
defaults, as their names promise. Times are in days,
frequencies in cycles per day, values in magnitudes or flux.

Examples
--------
>>> import fazorn
>>> t, y, dy, notes = fazorn.read("examples/OGLE-LMC-CEP-1513.dat")
>>> pg = fazorn.periodogram(t, y, dy, method="ls")   # the grid from the data
>>> pg.best_period                                   # doctest: +SKIP
8.46...
>>> result = fazorn.analyse(t, y, dy)                # as fazorn-cli analyse --auto
>>> result.type, result.period, result.period_error  # doctest: +SKIP
>>> plain = fazorn.analyse(t, y, dy, auto=False)     # as fazorn-cli analyse

Many light curves at once: :func:`analyse_files` on one machine, and
:mod:`fazorn.dask` on a Dask cluster.

The engines run without the GIL, so Python threads analyse in parallel;
Ctrl-C (KeyboardInterrupt) stops a long run at the engine's next block.
"""

import os
from collections.abc import Mapping
from typing import NamedTuple

import numpy as np

from . import _astropy, _fazorn, _plots

__all__ = [
    "read",
    "periodogram",
    "analyse",
    "analyse_file",
    "analyse_files",
    "significance",
    "frequencies",
    "frequencies_file",
    "option_names",
    "to_table",
    "Observations",
    "Periodogram",
    "AnalysisResult",
    "SignificanceResult",
    "FrequencyTable",
]

# How many peaks Periodogram.peaks lists when the analysis does not name them.
_PEAK_COUNT = 5
# The light curve's point count is a 32-bit integer.
_MAX_POINTS = 2**31 - 1


class Observations(NamedTuple):
    """The observations of a file, as :func:`read` returns them.

    Attributes
    ----------
    time : numpy.ndarray
        Times of observation, days.
    value : numpy.ndarray
        Magnitudes or flux.
    error : numpy.ndarray
        Uncertainty of each value.
    notes : list of str
        What the reader noticed: the number of points read, where reading
        stopped early, errors of 0 and numbers that are not finite.
    """

    time: np.ndarray
    value: np.ndarray
    error: np.ndarray
    notes: list


class AnalysisResult(Mapping):
    """The named values of one analysis.

    A read-only mapping with the keys of ``fazorn-cli analyse --json`` in the
    same order (``file``, ``points``, ``method``, ``frequency_count``,
    ``best_frequency``, ``period``, ``period_error``, ``max_power``, ...); each
    key is also an attribute (``result.period``). A number the command line
    writes as ``null`` is ``None``.

    Attributes
    ----------
    notes : list of str
        Reading notes and other remarks that the command line prints on
        stderr.
    error : str or None
        Why the analysis failed (only in the results of ``analyse_files``
        with ``errors="record"``); None when it succeeded.
    """

    __slots__ = ("_fields", "notes", "error", "_curve")

    def __init__(self, fields, notes=(), error=None):
        object.__setattr__(self, "_fields", dict(fields))
        object.__setattr__(self, "notes", list(notes))
        object.__setattr__(self, "error", error)
        # (t, y, dy, frequency, power, harmonics) for plot(), when known.
        object.__setattr__(self, "_curve", None)

    def plot(self):
        """A matplotlib figure of three axes: the light curve, the
        periodogram with the adopted peak (dashed) and the candidate peaks
        (triangles), and the phase diagram with a Fourier model of the
        analysis's harmonics (the title: period, error, type, warnings).

        Only for the results of :func:`analyse` and :func:`analyse_file`,
        which keep their light curve and periodogram.
        """
        if self._curve is None:
            raise ValueError("this result has no light curve to plot: use analyse() or analyse_file()")
        t, y, dy, frequency, power, harmonics = self._curve
        return _plots.figure(t, y, dy, self, frequency, power, harmonics)

    def __getitem__(self, key):
        return self._fields[key]

    def __iter__(self):
        return iter(self._fields)

    def __len__(self):
        return len(self._fields)

    def __getattr__(self, name):
        try:
            return self._fields[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        raise AttributeError("an AnalysisResult is read-only")

    def __dir__(self):
        return sorted(set(super().__dir__()) | set(self._fields))

    def to_dict(self):
        """The values as a plain dict, in key order."""
        return dict(self._fields)

    def __reduce__(self):
        return (type(self), (list(self._fields.items()), self.notes, self.error))

    def __repr__(self):
        body = ", ".join(f"{k}={v!r}" for k, v in self._fields.items())
        tail = f", error={self.error!r}" if self.error else ""
        return f"AnalysisResult({body}{tail})"


class SignificanceResult(AnalysisResult):
    """The result of :func:`significance`: the keys of ``fazorn-cli
    significance --json`` (``file``, ``method``, ``randomize``, ``iterations``,
    ``seed``, ``observed_period``, ``observed_power``, ``runs_at_or_above``,
    ``empirical_false_alarm_probability``, ``uncertainty``, ``output``)."""

    __slots__ = ()


class Periodogram:
    """A periodogram and its highest peak, as :func:`periodogram` returns it.

    Attributes
    ----------
    frequency : numpy.ndarray
        Trial frequencies, cycles per day, ascending.
    power : numpy.ndarray
        Power at each frequency (0 to 1 for AoV and AoVtr; the Lomb
        normalised power for Lomb-Scargle).
    method : str
        "aov", "aovtr" or "ls".
    best_frequency : float
        Frequency of the highest peak, cycles per day.
    best_period : float
        The period found, days.
    period_error : float
        Its error, days, as the command line reports it.
    max_power : float
        Power of the highest peak.
    false_alarm_probability : float or None
        False-alarm probability of the highest peak (Lomb-Scargle only).
    peaks : list of dict
        The highest peaks, highest first, each ``{"period": ..., "power": ...}``.
    analysis : AnalysisResult
        Everything the command line reports for the same search (the model
        and the classification too).
    """

    def __init__(self, frequency, power, analysis):
        self.frequency = frequency
        self.power = power
        self.analysis = analysis
        self.method = analysis["method"]
        self.best_frequency = analysis["best_frequency"]
        self.best_period = analysis["period"]
        self.period_error = analysis["period_error"]
        self.max_power = analysis["max_power"]
        self.false_alarm_probability = analysis.get("false_alarm_probability")
        self.peaks = analysis["peaks"] if "peaks" in analysis else _local_peaks(frequency, power)

    def plot(self):
        """The figure of :meth:`AnalysisResult.plot` for this search: light
        curve, this periodogram with its peak and candidates marked, phase
        diagram with the model."""
        return self.analysis.plot()

    def __repr__(self):
        return (
            f"Periodogram(method={self.method!r}, frequencies={len(self.frequency)}, "
            f"best_period={self.best_period!r}, max_power={self.max_power!r})"
        )


def _local_peaks(frequency, power, count=_PEAK_COUNT):
    """The `count` highest local maxima of the power, highest first (of equal
    powers the lower frequency first)."""
    n = len(power)
    if n == 0:
        return []
    left = np.empty(n, dtype=bool)
    right = np.empty(n, dtype=bool)
    left[0] = True
    left[1:] = power[1:] > power[:-1]
    right[-1] = True
    right[:-1] = power[:-1] >= power[1:]
    index = np.flatnonzero(left & right & (power > 0))
    order = index[np.lexsort((index, -power[index]))][:count]
    return [{"period": 1.0 / frequency[i], "power": float(power[i])} for i in order]


# ---- argument checks --------------------------------------------------------


def _as_array(x, name):
    """A 1-D contiguous float64 copy or view of `x` (converted once)."""
    if isinstance(x, (str, bytes)) or x is None:
        raise TypeError(f"{name} must be a 1-D array of numbers, not {type(x).__name__}")
    if np.ma.isMaskedArray(x) and np.ma.getmaskarray(x).any():
        raise ValueError(f"{name} has masked values: remove the masked points first")
    try:
        a = np.asarray(x)
    except ValueError as e:  # a ragged sequence
        raise ValueError(f"{name} must be a 1-D array of numbers: {e}") from None
    if a.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {a.dtype} values")
    if a.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not of shape {a.shape}")
    return np.ascontiguousarray(a, dtype=np.float64)


def _light_curve(t, y, dy):
    # astropy: a Table's columns by name, Time and Quantity to plain days
    # and values (refused with the reason when the units do not fit).
    if _astropy.is_table(t):
        t, y, dy = _astropy.columns_of(t, y, dy)
    t = _astropy.times(t)
    y, dy = _astropy.values(y, dy)
    t = _as_array(t, "t")
    y = _as_array(y, "y")
    dy = np.ones_like(t) if dy is None else _as_array(dy, "dy")
    if not (len(t) == len(y) == len(dy)):
        raise ValueError(
            f"t, y and dy must have the same length, not {len(t)}, {len(y)} and {len(dy)}"
        )
    if len(t) > _MAX_POINTS:
        raise ValueError(f"a light curve holds at most {_MAX_POINTS} points, not {len(t)}")
    return t, y, dy


def _threads(threads):
    """The engine's thread count: 0 for every core."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a whole number of at least 1 or None, not {threads!r}")
    return int(threads)


def _path(path):
    try:
        return os.fsdecode(os.fspath(path))
    except TypeError:
        raise TypeError(f"path must be a file name, not {type(path).__name__}") from None


def _result(status, fields, diagnostics, name=None):
    """An AnalysisResult, or the exception the command line's message makes."""
    message = "\n".join(diagnostics)
    if status == "ok":
        result = AnalysisResult(fields, diagnostics)
        if name is None and "file" in result:
            result._fields["file"] = None
        return result
    if status == "unreadable":
        missing = name is not None and not os.path.lexists(name)
        raise (FileNotFoundError if missing else OSError)(message)
    if fields:  # the analysis ran, a derived file could not be written
        raise OSError(message)
    raise ValueError(message)


def _python_defaults(options, default):
    """The options with the Python default in front (`default` is {"auto":
    True} for analyse, {"resolution": "auto"} for periodogram): the user's
    own settings come after it and override it, as options after ``--auto``
    do on the command line. An explicit ``auto`` (True or False) or a given
    period (no search) takes no default; ``auto=False`` leaves exactly the
    command line's defaults."""
    options = {k: v for k, v in options.items() if v is not None}
    if "auto" in options:  # auto=False stores nothing: the command line's defaults
        return options
    if "period" in options:
        return options
    return {**default, **options}


def option_names():
    """The keyword options every analysis accepts, besides `threads`.

    Returns
    -------
    list of str
    """
    return list(_fazorn.option_names())


# ---- the API ------------------------------------------------------------------

_OPTIONS_DOC = """
    method : {"aov", "aovtr", "ls"}, optional
        The search: multiharmonic analysis of variance (default), its transit
        variant, or the Lomb normalised periodogram.
    min_period, max_period : float, optional
        The range of trial periods, days (the command line's default 0.2 to
        500; with resolution="auto" the range from the data).
    harmonics : int, optional
        Harmonics of the AoV fit; for AoVtr the bin-count factor (default 2).
    resolution : float or "auto", optional
        Frequency step of the AoV and AoVtr grids, per day (default 0.0003).
        The Lomb-Scargle grid is the multiples of 1 / max_period. "auto": the
        step from the time span T, 1 / (oversampling x T), for all three
        searches, and the period range from the data unless given.
    oversampling : float, optional
        Grid points per peak width with resolution="auto" (default 10).
    refine : bool, optional
        Refine the highest peak; "period" and "period_error" are then the
        refined period and its 1-sigma uncertainty.
    resolve_alias : bool, optional
        Decide between P, 2P and P/2 from the light curve (key "alias").
    auto : bool, optional
        resolution="auto", refine and resolve_alias together, as
        ``fazorn-cli analyse --auto``. Not given: the Python default (the
        data's grid for :func:`periodogram`, ``--auto`` for :func:`analyse`;
        settings given override their part of it); False: the command
        line's own defaults, to reproduce its figures.
    route : {"exact", "fast", "auto"}, optional
        How AoV, AoVtr and Lomb-Scargle compute their grid (default "exact",
        the window's numbers, or "auto" with ``auto=True``, as on the command
        line); "fast" and "auto" take the faster route where it is cheaper,
        with powers within 1e-8 of the exact ones (AoVtr: 1e-12) and the
        exact route's peak.
    columns : str or sequence, optional
        For tables: the time, value and (optional) error columns by name or
        1-based number, as ``--columns TIME,VALUE,ERROR``.
    band : str, optional
        For tables with several bands: the band to read (default: the band
        with the most rows).
    threads : int or None, optional
        Threads of the engine; None for every core. Results do not depend on it.
    **options
        Further options of ``fazorn-cli analyse`` under their Python names
        (see :func:`option_names`); None leaves an option at its default."""


def read(path):
    """Read an observation file with the rules of the window and the command line.

    Parameters
    ----------
    path : str or os.PathLike
        The file: whitespace-separated numbers taken three at a time (time,
        value, error); reading stops at the first group that does not give
        three numbers.

    Returns
    -------
    Observations
        ``(time, value, error, notes)``, three float64 arrays and the
        reader's notes.

    Raises
    ------
    FileNotFoundError, OSError
        The file does not exist or cannot be read.
    """
    return Observations(*_fazorn.read(_path(path)))


def analyse(t, y, dy=None, *, name=None, threads=None, **options):
    """Search a light curve for its period, model the phased curve and classify it.

    The same chain as ``fazorn-cli analyse`` (and the window's buttons) on
    the same observations and options, to the last bit. Without ``auto`` the
    call is ``fazorn-cli analyse --auto`` with the options given: the grid
    and period range from the data, the peak refined (``period_error`` its
    1-sigma uncertainty) and the P, 2P, P/2 alias decided. ``auto=False``
    gives ``fazorn-cli analyse`` with the options given.

    Parameters
    ----------
    t, y : array_like
        Times (days) and values (magnitudes or flux), 1-D, of any real dtype
        (converted to float64 once); lists are accepted. astropy: `t` an
        ``astropy.time.Time`` (taken in its own format when it is jd or mjd,
        as JD otherwise) or a Quantity of time (converted to days); `y` a
        Quantity of magnitudes, flux or counts (in its own unit). `t` may
        also be an astropy ``Table`` or ``TimeSeries``, `y` and `dy` then
        the names of its value and error columns (the time is the column
        "time", or the table's only Time column).
    dy : array_like, optional
        Errors of the values (a Quantity: converted to the unit of `y`);
        None for errors of 1 (equal weights).
    name : str, optional
        What the key "file" holds (None by default).
    period : float, optional
        No search: fit and classify at this period (days); "method" is then
        "none".%s

    Returns
    -------
    AnalysisResult
        The keys of ``fazorn-cli analyse --json``.

    Raises
    ------
    ValueError
        Bad input or settings, with the command line's message (for instance
        too few points, a value that is not a number, an error of 0 for the
        AoV searches, an invalid period range).
    """
    t, y, dy = _light_curve(t, y, dy)
    options = _python_defaults(options, {"auto": True})
    status, fields, diagnostics, frequency, power = _fazorn.analyse(
        t, y, dy, "" if name is None else str(name), options, _threads(threads), True
    )
    result = _result(status, fields, diagnostics, name)
    _keep_curve(result, t, y, dy, frequency, power, options)
    return result


def _keep_curve(result, t, y, dy, frequency, power, options):
    # The AoV fit's harmonics (the option's default 2) for the plot's model.
    harmonics = options.get("harmonics") or 2
    object.__setattr__(result, "_curve", (t, y, dy, frequency, power, max(1, int(harmonics))))


analyse.__doc__ = analyse.__doc__ % _OPTIONS_DOC


def analyse_file(path, *, threads=None, **options):
    """Read a file and analyse it, as ``fazorn-cli analyse FILE`` does.

    Parameters
    ----------
    path : str or os.PathLike
        The observation file.
    save_periodogram, save_phased, save_phased_binned : bool, optional
        Write the -period, -phased and -phasedBinned files beside the input.
    period : float, optional
        No search: fit and classify at this period (days).%s

    Returns
    -------
    AnalysisResult
        The keys of ``fazorn-cli analyse --json``; the reading notes in
        ``notes``.

    Raises
    ------
    FileNotFoundError, OSError
        The file cannot be read, or a derived file cannot be written.
    ValueError
        The light curve cannot be searched, with the command line's message.
    """
    path = _path(path)
    status, fields, diagnostics, frequency, power = _fazorn.analyse_file(path, options, _threads(threads), True)
    result = _result(status, fields, diagnostics, path)
    # The light curve for plot(): a file read again (not a stream, which is
    # gone, nor a table read with its own columns).
    if path != "-" and options.get("columns") is None and options.get("band") is None:
        try:
            t, y, dy, _ = read(path)
        except (OSError, ValueError):
            pass
        else:
            _keep_curve(result, t, y, dy, frequency, power, options)
    return result


analyse_file.__doc__ = analyse_file.__doc__ % _OPTIONS_DOC


def analyse_files(paths, *, threads=None, errors="raise", as_table=False, **options):
    """Analyse many files in parallel, as ``fazorn-cli analyse FILE...`` does.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The observation files.
    threads : int or None, optional
        Threads shared by the files (each file on one thread while there are
        more files than threads); None for every core.
    errors : {"raise", "record"}, optional
        What a file that cannot be read or searched does: raise its
        exception, or give a result holding only "file" with the message in
        its ``error`` attribute.
    as_table : bool, optional
        Return an astropy Table (see :func:`to_table`) instead of the list.
    **options
        The options of :func:`analyse_file`.

    Returns
    -------
    list of AnalysisResult, or astropy.table.Table
        In the order of `paths`.
    """
    if errors not in ("raise", "record"):
        raise ValueError(f'errors must be "raise" or "record", not {errors!r}')
    paths = [_path(p) for p in paths]
    out = []
    for path, (status, fields, diagnostics, _, _) in zip(
        paths, _fazorn.analyse_files(paths, options, _threads(threads))
    ):
        out.append(_record_or_raise(status, fields, diagnostics, path, errors))
    return to_table(out) if as_table else out


def to_table(results):
    """The results as an astropy Table (Debian python3-astropy).

    Parameters
    ----------
    results : list of AnalysisResult or pandas.DataFrame
        What :func:`analyse_files` or :mod:`fazorn.dask` returned.

    Returns
    -------
    astropy.table.Table
        One row per result, the keys of ``fazorn-cli analyse --json`` as
        columns (numbers the command line writes as null are NaN) and
        ``error``.
    """
    return _astropy.to_table(results)


def _record_or_raise(status, fields, diagnostics, name, errors):
    try:
        return _result(status, fields, diagnostics, name)
    except (OSError, ValueError) as e:
        if errors == "raise":
            raise type(e)(f"{name}: {e}") from None  # which of the files
        return AnalysisResult([("file", name)], diagnostics, error=str(e) or "failed")


def periodogram(t, y, dy=None, *, method="aov", threads=None, **options):
    """The periodogram of a light curve and its highest peak.

    Computes what ``fazorn-cli analyse --method METHOD`` computes on the
    same input and options (the same grid, powers, period and error, to the
    last bit). Without ``resolution`` or ``auto`` the grid and period range
    come from the data, as ``--resolution auto``: steps of
    1 / (oversampling x T) for the time span T (AoVtr: times its duty
    cycle), where the command line's default is the window's fixed step
    (and for Lomb-Scargle the multiples of 1 / max_period, too coarse for a
    long time span). ``auto=False`` gives the command line's defaults.

    Parameters
    ----------
    t, y : array_like
        Times (days) and values, 1-D, of any real dtype; lists are accepted.
    dy : array_like, optional
        Errors of the values; None for errors of 1. Lomb-Scargle does not
        weight by them.%s

    Returns
    -------
    Periodogram
        ``frequency`` and ``power`` arrays, ``best_period``,
        ``period_error``, ``false_alarm_probability`` (Lomb-Scargle),
        ``peaks`` and the whole ``analysis``.

    Raises
    ------
    ValueError
        Bad input or settings, with the command line's message.
    """
    if options.get("period") is not None:
        raise ValueError("periodogram() searches; use analyse(period=...) for a given period")
    t, y, dy = _light_curve(t, y, dy)
    options = _python_defaults(options, {"resolution": "auto"})
    status, fields, diagnostics, frequency, power = _fazorn.analyse(
        t, y, dy, "", dict(options, method=method), _threads(threads), True
    )
    result = _result(status, fields, diagnostics, None)
    _keep_curve(result, t, y, dy, frequency, power, options)
    return Periodogram(frequency, power, result)


periodogram.__doc__ = periodogram.__doc__ % _OPTIONS_DOC.replace(
    '    method : {"aov", "aovtr", "ls"}, optional', '    method : {"aov", "aovtr", "ls"}, default "aov"'
)


def significance(
    t,
    y=None,
    dy=None,
    *,
    method,
    randomize,
    iterations=100000,
    seed=1,
    output=None,
    threads=None,
    **settings,
):
    """Significance of the highest peak by randomisation, as ``fazorn-cli significance``.

    The search is repeated on `iterations` randomised copies of the light
    curve (values permuted together with their errors over the fixed times,
    or replaced by white noise of the same mean and rms); the share of runs
    whose highest power reached the real light curve's is the empirical
    false-alarm probability. One line per run is written to a file.

    Parameters
    ----------
    t : array_like or str or os.PathLike
        Times (days), or an observation file (then `y` and `dy` stay None).
    y, dy : array_like, optional
        Values and errors (None for errors of 1).
    method : {"aov", "ls"}
        The search repeated.
    randomize : {"permute", "noise"}
        The randomisation.
    iterations : int, optional
        Randomised runs (default 100000).
    seed : int, optional
        Seed of every run's random stream; the same seed gives the same runs
        whatever the thread count.
    output : str or os.PathLike, optional
        The file of the runs; None for the command line's fixed name in the
        working directory (test-b.dat, rand-permute0.dat or
        rand-permuteAoV0.dat).
    threads : int or None, optional
        Threads; None for every core.
    **settings
        min_period, max_period, harmonics, resolution as for :func:`analyse`;
        route="exact" runs every search with the window's own sums (default
        "auto", as ``fazorn-cli significance``: AoV runs share the work that
        depends only on the times).

    Returns
    -------
    SignificanceResult
        The keys of ``fazorn-cli significance --json``.

    Raises
    ------
    ValueError
        Bad input or settings, with the command line's message.
    OSError
        The observation file cannot be read or the runs cannot be written.
    """
    if isinstance(t, (str, bytes, os.PathLike)):
        if y is not None or dy is not None:
            raise TypeError("significance() takes a file or arrays t, y, dy, not both")
        name = _path(t)
        t, y, dy, _ = read(name)
    else:
        if y is None:
            raise TypeError("significance() needs y with the times t")
        name = ""
        t, y, dy = _light_curve(t, y, dy)
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a whole number of at least 0, not {seed!r}")
    if isinstance(iterations, bool) or not isinstance(iterations, (int, np.integer)):
        raise ValueError(f"iterations must be a whole number, not {iterations!r}")
    unknown = set(settings) - {"min_period", "max_period", "harmonics", "resolution", "route"}
    if unknown:
        raise TypeError(f"significance() got unknown options: {', '.join(sorted(unknown))}")
    d = _fazorn.significance(
        t,
        y,
        dy,
        name,
        str(method),
        str(randomize),
        int(iterations),
        int(seed),
        "" if output is None else _path(output),
        settings,
        _threads(threads),
    )
    if not name:
        d["file"] = None
    return SignificanceResult(d.items())



# ---- multi-frequency analysis ---------------------------------------------------

# The columns of a frequency table, in the order of the keys of each entry of
# "frequencies" in ``fazorn-cli frequencies --json`` (after "name").
_FREQUENCY_COLUMNS = (
    "frequency",
    "amplitude",
    "phase",
    "sigma_frequency",
    "sigma_amplitude",
    "sigma_phase",
    "mo_sigma_frequency",
    "mo_sigma_amplitude",
    "mo_sigma_phase",
    "snr",
)
_FREQUENCY_HEADER = ("points", "time_span", "epoch", "zero_point", "residual_rms", "max_frequency", "stop_reason",
                     "independent_frequencies")


def _json_number(x):
    """A float, or None where the command line writes null (not finite)."""
    x = float(x)
    return x if np.isfinite(x) else None


class FrequencyTable:
    """The frequency table of a prewhitening cascade, as :func:`frequencies` returns it.

    The model is ``zero_point + sum A_i sin(2 pi (f_i (t - epoch) + phi_i))``
    with f in cycles per day, A in the units of the values and phi in cycles.

    Attributes
    ----------
    frequency, amplitude, phase : numpy.ndarray
        One entry per term f1, f2, ... in the order they were found.
    sigma_frequency, sigma_amplitude, sigma_phase : numpy.ndarray
        1-sigma errors from the least-squares covariance.
    mo_sigma_frequency, mo_sigma_amplitude, mo_sigma_phase : numpy.ndarray
        The analytic errors of Montgomery & O'Donoghue (1999) for white noise.
    snr : numpy.ndarray
        Amplitude over the mean residual amplitude within noise_window / 2.
    fap : numpy.ndarray
        The false-alarm probability of each S/N as the highest peak of white
        noise over the independent frequencies searched,
        ``1 - (1 - exp(-pi snr**2 / 4))**independent_frequencies`` (at one
        frequency for a term held at a harmonic).
    independent_frequencies : float
        (max_frequency - min_frequency) times the time span.
    relation : list of str or None
        The harmonic or combination each term lies within 1/T of ("2f1",
        "f1+f2"), or None; ``label`` is the same list.
    fixed : list of bool
        Whether the term's frequency is held at its relation (a harmonic n f
        of a frequency in the table) rather than fitted freely.
    names : list of str
        "f1", "f2", ...
    points, time_span, epoch, zero_point, residual_rms, max_frequency, stop_reason
        As the keys of ``fazorn-cli frequencies --json``.
    grid, spectrum, window, residual_spectrum : numpy.ndarray
        The frequency grid (c/d), the amplitude spectrum of the data, the
        spectral window and the amplitude spectrum of the final residuals.
    residual : numpy.ndarray
        The data minus the model, per point.
    text : str
        The table as the plain text file the window saves and reads.
    notes : list of str
        Reading notes (for :func:`frequencies_file`).
    file : str or None
        The file analysed, when one was.
    error : str or None
        Why the analysis failed (only from :mod:`fazorn.dask` with
        ``errors="record"``); the table is then empty.
    """

    def __init__(self, d, file=None, error=None):
        self._d = dict(d)
        self.file = file
        self.error = error
        self.notes = list(self._d.pop("notes", []))

    @classmethod
    def _failed(cls, file, error):
        empty = {c: np.empty(0) for c in _FREQUENCY_COLUMNS}
        d = dict(empty, relation=[], fixed=[], fap=np.empty(0), independent_frequencies=0.0, points=0, time_span=0.0,
                 epoch=0.0, zero_point=0.0,
                 residual_rms=0.0, max_frequency=0.0, stop_reason="", text="",
                 grid=np.empty(0), spectrum=np.empty(0), window=np.empty(0),
                 residual_spectrum=np.empty(0), residual=np.empty(0))
        return cls(d, file=file, error=error)

    def __getattr__(self, name):
        d = self.__dict__.get("_d")
        if d is not None and name in d:
            return d[name]
        raise AttributeError(name)

    def __getstate__(self):
        return self.__dict__

    def __setstate__(self, state):
        self.__dict__.update(state)

    @property
    def label(self):
        return self.relation

    @property
    def names(self):
        return [f"f{k + 1}" for k in range(len(self))]

    def __len__(self):
        return len(self._d["frequency"])

    def to_dict(self):
        """The object of ``fazorn-cli frequencies --json`` for this table
        (``file`` first when a file was analysed; numbers as Python floats)."""
        out = {} if self.file is None else {"file": self.file}
        for k in _FREQUENCY_HEADER:
            v = self._d[k]
            out[k] = v if isinstance(v, (str, int)) else _json_number(v)
        out["frequencies"] = self.rows()
        return out

    def rows(self):
        """One dict per term with the keys of the JSON entries."""
        rows = []
        for k in range(len(self)):
            row = {"name": f"f{k + 1}"}
            for c in _FREQUENCY_COLUMNS:
                row[c] = _json_number(self._d[c][k])
            row["relation"] = self._d["relation"][k]
            row["fixed"] = bool(self._d["fixed"][k])
            row["fap"] = _json_number(self._d["fap"][k])
            rows.append(row)
        return rows

    def to_pandas(self):
        """The terms as a pandas DataFrame (columns name, the numbers, relation, fixed, fap)."""
        import pandas as pd

        columns = ["name", *_FREQUENCY_COLUMNS, "relation", "fixed", "fap"]
        return pd.DataFrame.from_records(self.rows(), columns=columns)

    def model(self, t):
        """The fitted model at times `t` (days)."""
        t = _as_array(t, "t")
        y = np.full_like(t, float(self.zero_point))
        for f, a, p in zip(self.frequency, self.amplitude, self.phase):
            y += a * np.sin(2 * np.pi * (f * (t - self.epoch) + p))
        return y

    def __repr__(self):
        where = "" if self.file is None else f"file={self.file!r}, "
        if self.error:
            return f"FrequencyTable({where}error={self.error!r})"
        freqs = ", ".join(f"{f:.6g}" for f in self.frequency[:5]) + (", ..." if len(self) > 5 else "")
        return f"FrequencyTable({where}{len(self)} frequencies [{freqs}] c/d, stop_reason={self.stop_reason!r})"


def _frequency_settings(snr, noise_window, max_count, max_frequency, min_frequency, weights, stop_at_errors,
                        free_harmonics, max_fap=None):
    def number(name, v, default):
        if v is None:
            return default
        if isinstance(v, bool) or not isinstance(v, (int, float, np.integer, np.floating)):
            raise ValueError(f"{name} needs a number, not {v!r}")
        return float(v)

    if isinstance(max_count, bool) or not isinstance(max_count, (int, np.integer)):
        raise ValueError(f"max_count needs a whole number, not {max_count!r}")
    return (
        number("snr", snr, 4.0),
        number("noise_window", noise_window, 2.0),
        int(max_count),
        number("max_frequency", max_frequency, 0.0),
        number("min_frequency", min_frequency, 0.0),
        bool(weights),
        bool(stop_at_errors),
        bool(free_harmonics),
        number("max_fap", max_fap, 0.0),
    )


_FREQUENCIES_DOC = """
    snr : float, optional
        The signal-to-noise limit (default 4): the cascade stops at the first
        residual peak whose amplitude, once fitted, is below snr times the
        mean residual amplitude around it.
    noise_window : float, optional
        Full width of that noise window, cycles per day (default 2).
    max_count : int, optional
        The most frequencies in the table (default 50).
    max_frequency : float, optional
        Highest frequency searched, c/d; None: the Nyquist frequency of the
        median sampling interval, or of a shorter interval that a quarter of
        the intervals repeat within 1 % (a scanning satellite's fields of
        view).
    min_frequency : float, optional
        Lowest frequency searched, c/d; None: the resolution 1/T.
    weights : bool, optional
        Fit with weights 1/dy^2 (default: every point equally, as the
        spectrum counts them).
    stop_at_errors : bool, optional
        Stop once the residuals are below the stated errors.
    free_harmonics : bool, optional
        Keep every frequency free (default: a harmonic n f of a frequency in
        the table is held at n f, f named before its multiples, and the
        missing harmonics up to twice the highest added as a group when an
        F test at 0.1 % finds them significant).
    max_fap : float, optional
        Also stop at a peak whose false-alarm probability (see ``fap``) is
        above this (0 < max_fap < 1; default None: the S/N limit alone)."""


def frequencies(t, y, dy=None, *, snr=4.0, noise_window=2.0, max_count=50, max_frequency=None,
                min_frequency=None, weights=False, stop_at_errors=False, free_harmonics=False, max_fap=None):
    """Prewhitening: the frequency table of a multi-periodic light curve.

    Computes what ``fazorn-cli frequencies`` computes on the same
    observations and settings: the highest peak of the residual amplitude
    spectrum is added, all frequencies, amplitudes and phases are fitted
    together, and so on until the next peak's S/N is below the limit.

    Parameters
    ----------
    t, y : array_like
        Times (days) and values, 1-D.
    dy : array_like, optional
        Errors of the values (None for errors of 1); used only with weights.%s

    Returns
    -------
    FrequencyTable
        Arrays of frequency, amplitude, phase, their errors, S/N and the
        combination labels; ``to_pandas()`` gives a DataFrame.

    Raises
    ------
    ValueError
        Bad settings, or a light curve that cannot be analysed (too few
        points, no time span, a value that is not a number).
    """
    t, y, dy = _light_curve(t, y, dy)
    settings = _frequency_settings(snr, noise_window, max_count, max_frequency, min_frequency, weights, stop_at_errors,
                                   free_harmonics, max_fap)
    return FrequencyTable(_fazorn.frequencies(t, y, dy, *settings))


frequencies.__doc__ = frequencies.__doc__ % _FREQUENCIES_DOC


def frequencies_file(path, *, snr=4.0, noise_window=2.0, max_count=50, max_frequency=None,
                     min_frequency=None, weights=False, stop_at_errors=False, free_harmonics=False,
                     max_fap=None, columns=None, band=None, values=None):
    """Read a file and prewhiten it, as ``fazorn-cli frequencies FILE`` does.

    Parameters
    ----------
    path : str or os.PathLike
        The observation file.%s
    columns, band, values : optional
        How to read a table, as for :func:`analyse_file`.

    Returns
    -------
    FrequencyTable
        As :func:`frequencies`, with ``file`` and the reading ``notes``.

    Raises
    ------
    FileNotFoundError, OSError
        The file cannot be read.
    ValueError
        The light curve cannot be analysed.
    """
    path = _path(path)
    settings = _frequency_settings(snr, noise_window, max_count, max_frequency, min_frequency, weights, stop_at_errors,
                                   free_harmonics, max_fap)
    import_options = {k: v for k, v in (("columns", columns), ("band", band), ("values", values)) if v is not None}
    return FrequencyTable(_fazorn.frequencies_file(path, import_options, *settings), file=path)


frequencies_file.__doc__ = frequencies_file.__doc__ % _FREQUENCIES_DOC
