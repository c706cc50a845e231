"""Figures of an analysis with matplotlib (Debian python3-matplotlib),
imported only when a plot is asked for: the light curve, the periodogram
with the adopted peak and the candidate peaks marked, and the phase
diagram with the model, one figure of three axes as the window shows them.
"""

import numpy as np


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plot() needs matplotlib (Debian python3-matplotlib)") from None
    return plt


def _model(phase, y, dy, harmonics):
    """The least-squares Fourier series of `harmonics` terms over the phase,
    weighted 1/dy^2 (the form of the window's multiharmonic model), on a
    fine phase grid: (grid, model)."""
    grid = np.linspace(0.0, 1.0, 401)

    def design(p):
        columns = [np.ones_like(p)]
        for k in range(1, harmonics + 1):
            columns += [np.cos(2 * np.pi * k * p), np.sin(2 * np.pi * k * p)]
        return np.stack(columns, axis=1)

    w = 1.0 / np.where(dy > 0, dy, 1.0)
    coef, *_ = np.linalg.lstsq(design(phase) * w[:, None], y * w, rcond=None)
    return grid, design(grid) @ coef


def _title(result):
    period, error = result.get("period"), result.get("period_error")
    parts = []
    if result.get("file"):
        parts.append(str(result["file"]))
    if period is not None:
        parts.append(f"P = {period:.7g} d" + (f" ± {error:.2g}" if error is not None else ""))
    if result.get("type"):
        parts.append(str(result["type"]))
    title = ", ".join(parts)
    warnings = result.get("warnings") or []
    if warnings:
        title += "\n" + "; ".join(str(w) for w in warnings)
    return title


def figure(t, y, dy, result, frequency=None, power=None, harmonics=None):
    """The three-axes figure of `result` (an AnalysisResult) on the light
    curve t, y, dy, and the periodogram arrays when there are any."""
    plt = _pyplot()
    fig, (curve, pgram, phased) = plt.subplots(3, 1, figsize=(8, 10), constrained_layout=True)
    curve.errorbar(t, y, yerr=dy, fmt=".", ms=3, lw=0.5, color="black", ecolor="0.7")
    curve.set_xlabel("time (d)")
    curve.set_ylabel("value")
    curve.set_title("light curve")

    period = result.get("period")
    if frequency is not None and len(frequency):
        pgram.plot(frequency, power, lw=0.7, color="black")
        for peak in result.get("peaks") or []:
            pgram.plot(1.0 / peak["period"], peak["power"], "v", color="tab:orange", ms=6)
        if period:
            pgram.axvline(1.0 / period, color="tab:red", lw=1, ls="--", label=f"adopted {period:.7g} d")
            pgram.legend(loc="upper right")
    else:
        pgram.text(0.5, 0.5, "no search (period given)", ha="center", va="center", transform=pgram.transAxes)
    pgram.set_xlabel("frequency (1/d)")
    pgram.set_ylabel("power")
    pgram.set_title(f"periodogram ({result.get('method')})")

    if period:
        t0 = result.get("t0") or 0.0
        phase = np.mod((np.asarray(t) - t0) / period, 1.0)
        phased.plot(np.concatenate([phase, phase + 1]), np.concatenate([y, y]), ".", ms=3, color="black")
        grid, model = _model(phase, np.asarray(y), np.asarray(dy), harmonics or 2)
        phased.plot(np.concatenate([grid, grid + 1]), np.concatenate([model, model]), color="tab:blue", lw=1.5)
    phased.set_xlabel("phase")
    phased.set_ylabel("value")
    phased.set_title("phase diagram and model")
    fig.suptitle(_title(result))
    return fig
