"""The kmeans benchmark's per-iteration statistic, on a clock the test
drives: slopes, the median against one slow round, paired ratios and the
noise flag. Runs in a fresh interpreter, since the script reads its command
line and sets the pool size when imported."""

from pathlib import Path

import pytest

from helpers import run_python_json

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"

CHILD = r"""
import json, sys, types
sys.argv = ["kmeans_vs_peers"]
sys.path.insert(0, BENCHMARKS)
import kmeans_vs_peers as b

now = [0.0]
b.time = types.SimpleNamespace(perf_counter=lambda: now[0], sleep=lambda s: None)
CALLS_PER_TURN = 1 + 3 * b.POINT_TRIES  # the untimed fit, then three points

def side(fixed, per_iter, factors):
    calls = [0]
    def run(iters):
        turn = calls[0] // CALLS_PER_TURN
        calls[0] += 1
        now[0] += fixed + per_iter * factors[turn] * iters
    return run

reads = []
def read_now():
    reads.append(len(reads))
    return 30.0

r = b.per_iteration({"ours": side(0.010, 0.002, OURS), "peer": side(0.030, 0.006, [1.0] * 5)}, 5, read_now)
print(json.dumps({"ours": r["ours"], "peer": r["peer"], "best": r["ours_best"], "reads": len(r["reads"]),
                  "ratio": b.paired_ratio(r, "ours", "peer"), "noisy": b.noisy(r, "ours")}))
"""


@pytest.mark.parametrize(
    "factors, median, noisy",
    [
        ([1.0] * 5, 0.002, False),  # steady: every statistic agrees
        ([1.0, 1.0, 3.0, 1.0, 1.0], 0.002, False),  # one slow round moves neither median nor flag
        ([0.5, 1.0, 1.5, 2.0, 2.5], 0.003, True),  # rounds spread wide: flagged
    ],
)
def test_per_iteration_takes_the_median_slope_and_flags_spread(factors, median, noisy):
    code = f"BENCHMARKS = {str(BENCHMARKS)!r}\nOURS = {factors!r}\n" + CHILD
    got = run_python_json(code)
    assert got["ours"] == pytest.approx(median)
    assert got["peer"] == pytest.approx(0.006)
    assert got["best"] == pytest.approx(0.002 * min(factors))
    assert got["ratio"] == pytest.approx(median / 0.006)
    assert got["reads"] == 5
    assert got["noisy"] is noisy
