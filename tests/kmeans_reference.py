"""A plain NumPy float32 rendering of the k-means computation. On data where
every product and sum is exact it must give the compiled labels exactly."""

import numpy as np

from layout_reference import SplitMix64

F32 = np.float32
KMEANS_MASK = 0x9E3779B97F4A7C15


def squared_distances(rows, centre):
    acc = np.zeros(len(rows), dtype=F32)
    for col in range(rows.shape[1]):
        diff = rows[:, col] - centre[col]
        acc = acc + diff * diff
    return acc


def seed_centroids(sample, k, rng):
    m, d = sample.shape
    centroids = np.zeros((k, d), dtype=F32)
    centroids[0] = sample[rng.next_index(m)]
    min_dist = squared_distances(sample, centroids[0])
    for c in range(1, k):
        total = F32(np.sum(min_dist, dtype=F32))
        u = F32(rng.next_u64() * 2.0**-64)
        if total > 0:
            target = F32(total * u)
            running = np.cumsum(min_dist, dtype=F32)
            hits = np.nonzero(running >= target)[0]
            chosen = int(hits[0]) if len(hits) else m - 1
        else:
            chosen = rng.next_index(m)
        centroids[c] = sample[chosen]
        d2 = squared_distances(sample, centroids[c])
        min_dist = np.where(d2 < min_dist, d2, min_dist)
    return centroids


def kmeans(data, k, n_iter, seed):
    X = np.ascontiguousarray(data, dtype=F32)
    n, d = X.shape
    rng = SplitMix64(seed ^ KMEANS_MASK)
    if n > 100000:
        sample = X[[rng.next_index(n) for _ in range(100000)]]
    else:
        sample = X
    centroids = seed_centroids(sample, k, rng)
    labels = np.zeros(n, dtype=np.int64)
    tolerance = n // 1000
    for _ in range(n_iter):
        norms = np.array([np.sum(c * c, dtype=F32) for c in centroids], dtype=F32)
        G = X @ centroids.T
        scores = norms[None, :] - (G + G)
        new = np.argmin(scores, axis=1).astype(np.int64)
        changed = int(np.count_nonzero(new != labels))
        labels = new
        if changed <= tolerance:
            break
        for j in range(k):
            members = X[labels == j]
            if len(members):
                inv = F32(1) / F32(len(members))
                centroids[j] = inv * members.sum(axis=0, dtype=F32)
    return labels
