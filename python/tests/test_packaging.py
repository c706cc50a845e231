"""`pip install --no-build-isolation .` into a fresh virtual environment
(--system-site-packages for numpy), then `import fazorn` there. The
compiled module is taken from the build under test (FAZORN_CMAKE_BUILD_DIR),
so the test costs an install, not a second compilation."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import fazorn
from conftest import REPO


def test_pip_installs_the_package_into_a_fresh_venv(tmp_path):
    build = pathlib.Path(fazorn.__file__).resolve().parents[2]
    if not (build / "CMakeCache.txt").exists():
        pytest.skip(f"the package under test is not in a CMake build ({build})")
    try:
        import venv  # noqa: F401
        import setuptools  # noqa: F401
        import wheel  # noqa: F401
    except ImportError as e:
        pytest.skip(f"pip install needs venv, setuptools and wheel (Debian python3-venv, python3-setuptools, python3-wheel): {e}")
    env_dir = tmp_path / "venv"
    r = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(env_dir)], capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip(f"no virtual environment could be made: {r.stderr.strip()}")
    python = env_dir / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["FAZORN_CMAKE_BUILD_DIR"] = str(build)
    env["PIP_NO_INDEX"] = "1"  # nothing is downloaded
    # setuptools builds beside the sources: a scratch copy keeps the tree clean.
    source = tmp_path / "src"
    shutil.copytree(REPO, source, ignore=shutil.ignore_patterns("build", "build-*", ".git", "__pycache__"))
    r = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-deps", "-q", str(source)],
                       capture_output=True, text=True, env=env, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    r = subprocess.run([str(python), "-c", "import fazorn; print(fazorn.__file__); "
                        "t, y, dy, _ = fazorn.read(%r); print(fazorn.analyse(t, y, dy).period)"
                        % str(REPO / "examples" / "OGLE-LMC-CEP-1513.dat")],
                       capture_output=True, text=True, env=env, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    where, period = r.stdout.split()
    assert where.startswith(str(env_dir)) and float(period) == pytest.approx(8.4609, abs=1e-3)
