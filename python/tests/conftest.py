"""Shared fixtures: the package under test, the command line it must agree
with, and the real light curves of data/real.

The package is imported from PYTHONPATH (scripts/test.sh points it at
build/release/python); without it, from build/release/python of this
checkout. A missing package is an error, never a skip.
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

try:
    import fazorn  # noqa: F401
except ImportError:
    build = REPO / "build" / "release" / "python"
    sys.path.insert(0, str(build))
    # Dask worker processes inherit the environment, not sys.path.
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(build), os.environ.get("PYTHONPATH")]))
    import fazorn  # noqa: F401

REAL = REPO / "data" / "real"
REAL_FILES = sorted(str(p) for p in REAL.glob("*/*.dat"))
EXAMPLES = REPO / "examples"


def cli_path():
    """fazorn-cli of the same build as the package (<build>/python/fazorn)."""
    if os.environ.get("FAZORN_CLI"):
        return os.environ["FAZORN_CLI"]
    return str(pathlib.Path(fazorn.__file__).resolve().parents[2] / "fazorn-cli")


def run_cli(*args, check=True):
    r = subprocess.run([cli_path(), *args], capture_output=True, text=True)
    if check and r.returncode != 0:
        raise AssertionError(f"fazorn-cli {' '.join(args)} failed ({r.returncode}): {r.stderr}")
    return r


_cli_cache = {}


class CliRefusal(str):
    """What fazorn-cli printed on stderr for a file it could not analyse."""


def cli_analyse(files, *options):
    """{file: the JSON object of `fazorn-cli analyse --json`, or a CliRefusal
    with its stderr lines} (cached: the same reference serves several tests)."""
    key = (tuple(files), options)
    if key not in _cli_cache:
        r = run_cli("analyse", "--json", "--threads", "2", *options, *files, check=False)
        assert r.returncode in (0, 1), r.stderr
        # A file the search refuses (exit status 1, the reason on stderr) has
        # no line; the others keep the order of the arguments.
        lines = [json.loads(line) for line in r.stdout.splitlines()]
        rows = {row["file"]: row for row in lines}
        assert list(rows) == [f for f in files if f in rows]
        assert (r.returncode == 0) == (len(rows) == len(files)), r.stderr
        refused = {}
        for line in r.stderr.splitlines():
            for f in files:
                if line.startswith(f + ": ") and f not in rows:
                    refused[f] = refused.get(f, "") + line[len(f) + 2 :] + "\n"
        assert set(rows) | set(refused) == set(files)
        _cli_cache[key] = {f: rows[f] if f in rows else CliRefusal(refused[f].strip()) for f in files}
    return _cli_cache[key]


@pytest.fixture(scope="session")
def real_files():
    assert len(REAL_FILES) == 266, "data/real should hold 266 light curves"
    return REAL_FILES


@pytest.fixture(scope="session")
def cli():
    path = cli_path()
    assert os.access(path, os.X_OK), f"fazorn-cli not found at {path} (set FAZORN_CLI)"
    return cli_analyse
