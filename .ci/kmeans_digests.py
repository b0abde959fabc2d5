"""Prints one digest of k-means labels per data set. .ci/label_digests runs
it natively and under emulated CPUs (x86-64 without AVX-512, without AVX,
and 64-bit Arm): every machine must print the same lines."""

import hashlib

import numpy as np

import tarnwick_accel

# (rows, columns, clusters): tile remainders in rows and clusters, d = 1,
# wide rows, more clusters than one tile.
SHAPES = [(3001, 2, 8), (2003, 17, 13), (997, 64, 31), (301, 784, 10), (1500, 1, 5)]

rng = np.random.default_rng(2026)
for n, d, k in SHAPES:
    centres = rng.normal(scale=3.0, size=(k, d))
    data = centres[rng.integers(0, k, n)] + rng.normal(size=(n, d))
    data[rng.integers(0, n, 3)] = np.nan
    labels = tarnwick_accel.kmeans(data, k, 8, 11)
    print(f"{n}x{d} k={k}", hashlib.sha256(labels.tobytes()).hexdigest()[:32], flush=True)
