"""plot(): one matplotlib figure of three axes (light curve, periodogram
with the adopted peak and candidates, phase diagram with the model)."""

import numpy as np
import pytest

import fazorn
from conftest import EXAMPLES

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

CEPHEID = str(EXAMPLES / "OGLE-LMC-CEP-1513.dat")


def test_result_and_periodogram_plots_have_the_three_charts():
    t, y, dy, _ = fazorn.read(CEPHEID)
    r = fazorn.analyse(t, y, dy)
    fig = r.plot()
    curve, pgram, phased = fig.axes
    assert len(fig.axes) == 3
    assert f"{r.period:.7g}" in fig._suptitle.get_text() and "DCEP" in fig._suptitle.get_text()
    # The light curve holds every point; the periodogram every frequency,
    # the adopted peak (dashed line at 1/P) and the five candidates.
    assert len(curve.lines[0].get_xdata()) == len(t)
    lines = pgram.get_lines()
    assert len(lines[0].get_xdata()) == r.frequency_count
    assert any(np.allclose(l.get_xdata(), 1 / r.period) for l in lines if l.get_linestyle() == "--")
    assert sum(1 for l in lines if l.get_marker() == "v") == len(r.peaks)
    # The phase diagram: points over two cycles and a model within their
    # range that follows the Cepheid's amplitude.
    points, model = phased.get_lines()[:2]
    assert len(points.get_xdata()) == 2 * len(t)
    m = model.get_ydata()
    assert y.min() <= m.min() and m.max() <= y.max() and np.ptp(m) > 0.5 * np.ptp(y)
    matplotlib.pyplot.close(fig)

    pg = fazorn.periodogram(t, y, dy, method="ls")
    fig = pg.plot()
    assert len(fig.axes) == 3 and len(fig.axes[1].get_lines()[0].get_xdata()) == len(pg.frequency)
    matplotlib.pyplot.close(fig)
    fig = fazorn.analyse_file(CEPHEID, period=8.4609).plot()  # no search: no periodogram
    assert len(fig.axes) == 3
    matplotlib.pyplot.close(fig)
    with pytest.raises(ValueError, match="no light curve"):
        fazorn.analyse_files([CEPHEID])[0].plot()


def test_the_notebook_example_prints_the_result_and_writes_the_charts(tmp_path):
    import os
    import subprocess
    import sys

    script = EXAMPLES / "plot_archive_star.py"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(fazorn.__file__)), MPLBACKEND="Agg")
    r = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert "period 8.46090" in r.stdout and "type DCEP" in r.stdout
    png = tmp_path / "OGLE-LMC-CEP-1513.png"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
