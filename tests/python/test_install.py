"""The install line of the README, offline: a virtual environment that sees
Debian's site packages (numpy, setuptools, wheel), `pip install
--no-build-isolation --no-index` of the package, then the installed package
decodes a capture with the libraries of this build."""
import os
import shutil
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, make_capture


def test_pip_installs_the_package_offline_and_it_decodes(tmp_path):
    # pip builds a local folder in place; a copy keeps the build's files out
    # of the source tree (and resolves the link to the default descriptor).
    source = tmp_path / "src"
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv],
                          capture_output=True, text=True, timeout=120)
    if made.returncode != 0:
        pytest.skip(f"no virtual environment with pip here (python3-venv): {made.stderr.strip()}")
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    pip = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                          "--disable-pip-version-check", "-q", str(source)],
                         capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path)
    assert pip.returncode == 0, pip.stdout + pip.stderr

    capture = make_capture(tmp_path / "c.cap", {"A1": "MES_4", "B2": "WUA2"}, 50)
    code = ("import sys, palvex\n"
            "boards = palvex.decode_capture(sys.argv[1])\n"
            "print(palvex.__file__)\n"
            "print({s: r.data.shape for s, r in boards.items()})\n")
    proc = subprocess.run([python, "-c", code, capture], capture_output=True, text=True, timeout=60, env=env,
                          cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    where, shapes = proc.stdout.splitlines()
    assert where.startswith(str(venv))
    width = len(__import__("palvex").column_names())
    assert shapes == str({"A1": (100, width), "B2": (100, width)})
