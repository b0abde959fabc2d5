"""The quickstart example, run the way a user runs it: as a script."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick_accel

pytest.importorskip("sklearn")
pytest.importorskip("scipy")
mpimg = pytest.importorskip("matplotlib.image")

QUICKSTART = Path(__file__).resolve().parents[1] / "examples" / "quickstart.py"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    workdir = tmp_path_factory.mktemp("quickstart")
    output = workdir / "digits.png"
    # 200 epochs instead of 500 keeps the run to a few seconds; the layout is
    # already well separated by then.
    # The script must import the module under test, however this process found it.
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(tarnwick_accel.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, str(QUICKSTART), "--epochs", "200", "--seed", "0", "--output", str(output)],
        cwd=workdir, env=env, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return workdir, output, proc.stdout


def test_clusters_recover_the_digits(run):
    _, _, stdout = run
    found = re.findall(r"^adjusted Rand index: (\d+\.\d+)$", stdout, re.MULTILINE)
    assert len(found) == 1, stdout
    assert float(found[0]) >= 0.7, stdout


def test_reports_each_step(run):
    _, _, stdout = run
    for step in ("kNN graph", "optimize_layout", "kmeans", "plot"):
        assert re.search(rf"^\s+{step}.*\d+\.\d\d s", stdout, re.MULTILINE), (step, stdout)


def test_writes_a_png_where_asked(run):
    workdir, output, _ = run
    assert output.read_bytes()[:8] == PNG_SIGNATURE
    image = mpimg.imread(output)
    assert image.ndim == 3 and image.shape[2] in (3, 4)
    assert image.shape[0] >= 300 and image.shape[1] >= 300
    # A plot, not a blank canvas: many distinct colours.
    assert len(set(map(tuple, image[..., :3].reshape(-1, 3)[::97].round(2).tolist()))) > 20
    # --output is honoured: nothing is dropped under the default name.
    assert not (workdir / "quickstart.png").exists()
