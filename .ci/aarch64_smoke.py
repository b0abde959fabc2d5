"""Both functions of the module built for aarch64, run under qemu: k-means
against the float32 reference on exact data, the layout bit for bit against
the sequential reference (this platform's pow on both sides), and last a digest
of k-means labels on inexact data, which .ci/aarch64 compares across pool
sizes. Needs tests/ on the path."""

import hashlib
import sys

import numpy as np

import kmeans_reference
import layout_reference
import tarnwick_accel

passed = failed = 0


def check(name, ok):
    global passed, failed
    print(("ok   " if ok else "FAIL ") + name, flush=True)
    passed, failed = passed + ok, failed + (not ok)


rng = np.random.default_rng(3)
centres = rng.integers(-8, 8, size=(5, 3)) * 64
data = (centres[:, None, :] + rng.integers(-2, 3, size=(5, 16, 3))).reshape(-1, 3)
data = data[rng.permutation(len(data))].astype(np.float64)
for n_iter in (1, 10):
    check(f"kmeans matches the reference, {n_iter} iterations",
          tarnwick_accel.kmeans(data, 5, n_iter, 7).tolist()
          == kmeans_reference.kmeans(data, 5, n_iter, 7).tolist())

n_vertices, n_edges = 12, 40
for b, rate in ((0.895, 5), (1.7, 1)):
    embedding = rng.normal(size=(n_vertices, 2)) * 3
    head = rng.integers(0, n_vertices, n_edges)
    tail = rng.integers(0, n_vertices, n_edges)
    eps = rng.choice([1.0, 1.5, 2.0, 3.7, 0.0], n_edges)
    args = (embedding, head, tail, eps, 12, 1.577, b, 1.0, rate, 1.0, 11)
    got = tarnwick_accel.optimize_layout(*args)
    expected = layout_reference.optimize_layout(*args)
    check(f"layout matches the reference bit for bit, b={b}",
          got.tobytes() == np.ascontiguousarray(expected, dtype=np.float64).tobytes())

noisy = np.random.default_rng(5).normal(size=(20000, 6))
labels = tarnwick_accel.kmeans(noisy, 9, 15, 2)
check("kmeans labels in range", bool(labels.min() >= 0 and labels.max() < 9))
print("labels digest", hashlib.sha256(labels.tobytes()).hexdigest())
print(f"aarch64: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
