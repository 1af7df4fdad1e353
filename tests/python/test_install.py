"""The install line of the README, run as it stands, offline: from the
root of a repository (a scratch copy of the package and the descriptor it
links to), it makes a virtual environment that sees Debian's site packages
(numpy, setuptools, wheel), installs the package, and leaves the source
tree as it was; the installed package then decodes a capture with the
libraries of this build."""
import os
import re
import subprocess
import sys

import pytest

from conftest import PYTHON_DIR, make_capture

ROOT = os.path.dirname(os.path.abspath(PYTHON_DIR))


def readme_install_line():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    block = re.search(r"Install, offline on Debian 12.*?```sh\n(.*?)\n```", text, re.S)
    assert block, "the README has no install line"
    return block.group(1)


def files_below(folder):
    return sorted(os.path.relpath(os.path.join(d, n), folder) for d, _, names in os.walk(folder) for n in names)


def test_the_readme_line_installs_the_package_offline_and_leaves_the_tree_clean(tmp_path):
    made = subprocess.run([sys.executable, "-m", "venv", "--without-pip", tmp_path / "probe"],
                          capture_output=True, text=True, timeout=120)
    if made.returncode != 0:
        pytest.skip(f"no virtual environments here (python3-venv): {made.stderr.strip()}")
    repo = tmp_path / "repo"
    (repo / "sim").mkdir(parents=True)
    subprocess.run(["cp", "-r", PYTHON_DIR, str(repo / "python")], check=True)  # the descriptor's link as a link
    subprocess.run(["cp", os.path.join(ROOT, "sim", "default_descriptor.json"), str(repo / "sim")], check=True)
    for junk in ("build", "palvex.egg-info"):
        subprocess.run(["rm", "-rf", str(repo / "python" / junk)], check=True)
    before = files_below(repo / "python")

    # The README's python3 is this one; pip may not reach an index.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    os.symlink(sys.executable, bin_dir / "python3")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(PATH=f"{bin_dir}:{env.get('PATH', '')}", PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1",
               TMPDIR=str(tmp_path))
    install = subprocess.run(["sh", "-c", readme_install_line()], capture_output=True, text=True, timeout=300,
                             env=env, cwd=repo)
    assert install.returncode == 0, install.stdout + install.stderr
    assert files_below(repo / "python") == before, "the install wrote into the source tree"

    capture = make_capture(tmp_path / "c.cap", {"A1": "MES_4", "B2": "WUA2"}, 50)
    code = ("import sys, palvex\n"
            "boards = palvex.decode_capture(sys.argv[1])\n"
            "print(palvex.__file__)\n"
            "print({s: r.data.shape for s, r in boards.items()})\n")
    python = str(repo / ".venv" / "bin" / "python")
    proc = subprocess.run([python, "-c", code, capture], capture_output=True, text=True, timeout=60, env=env,
                          cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    where, shapes = proc.stdout.splitlines()
    assert where.startswith(str(repo / ".venv"))
    width = len(__import__("palvex").column_names())
    assert shapes == str({"A1": (100, width), "B2": (100, width)})
