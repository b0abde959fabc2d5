"""A plain, sequential Python rendering of the layout SGD, used to check the
compiled code bit for bit. Python floats are IEEE doubles and math.pow is the
C library's pow, so both sides perform the same operations."""

import math

import numpy as np

MASK64 = (1 << 64) - 1


class SplitMix64:
    def __init__(self, state):
        self.state = state & MASK64

    def next_u64(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def next_index(self, n):
        if n == 0:
            raise ReferenceFault("attempt to calculate the remainder with a divisor of zero")
        return self.next_u64() % n


class ReferenceFault(Exception):
    pass


def _index_fault(length, index):
    raise ReferenceFault(f"index out of bounds: the len is {length} but the index is {index}")


def _clip(g):
    if g < -4.0:
        return -4.0
    if g > 4.0:
        return 4.0
    return g


def optimize_layout(embedding, head, tail, epochs_per_sample, n_epochs, a, b, gamma,
                    negative_sample_rate, initial_alpha, seed):
    n_vertices, dim = embedding.shape
    x = [float(v) for v in np.ascontiguousarray(embedding).ravel()]
    head = [int(v) for v in head]
    tail = [int(v) for v in tail]
    eps = [float(v) for v in epochs_per_sample]
    n_edges = len(eps)
    r = float(negative_sample_rate if negative_sample_rate >= 1 else 1)
    neg_period = [p / r for p in eps]
    next_sample = list(eps)
    next_neg = list(neg_period)
    if n_epochs == 0 or n_edges == 0:
        return np.array(x).reshape(n_vertices, dim)

    attract_factor = (a * -2.0) * b
    b_minus_one = b - 1.0
    repel_factor = (gamma + gamma) * b
    rng = SplitMix64(seed ^ 0x0123456789ABCDEF)

    def row(v):
        if v < 0 or v >= n_vertices:
            _index_fault(n_vertices * dim, (v * dim) & MASK64)
        return v * dim

    for e in range(n_epochs):
        ef = float(e)
        alpha = initial_alpha * (1.0 - ef / float(n_epochs))
        push = alpha * 4.0
        for i in range(n_edges):
            if eps[i] <= 0.0:
                continue
            if next_sample[i] > ef:
                continue
            if i >= len(head):
                _index_fault(len(head), i)
            j = head[i]
            if i >= len(tail):
                _index_fault(len(tail), i)
            k = tail[i]
            if dim > 0:
                oj, ok = row(j), row(k)
                s = 0.0
                for d in range(dim):
                    diff = x[oj + d] - x[ok + d]
                    s = s + diff * diff
                c = 0.0
                if s > 0.0:
                    c = (attract_factor * math.pow(s, b_minus_one)) / (a * math.pow(s, b) + 1.0)
                for d in range(dim):
                    g = _clip(c * (x[oj + d] - x[ok + d]))
                    t = alpha * g
                    x[oj + d] = x[oj + d] + t
                    x[ok + d] = x[ok + d] - t
            next_sample[i] = next_sample[i] + eps[i]
            q = (ef - next_neg[i]) / neg_period[i]
            if math.isnan(q) or q < 0.0:
                q = 0.0
            n_neg = MASK64 if q >= 2.0**64 else int(q)
            for _ in range(n_neg):
                kk = rng.next_index(n_vertices)
                if kk == j or dim == 0:
                    continue
                oj, okk = j * dim, kk * dim
                s = 0.0
                for d in range(dim):
                    diff = x[oj + d] - x[okk + d]
                    s = s + diff * diff
                if s > 0.0:
                    c = repel_factor / ((s + 0.001) * (math.pow(s, b) * a + 1.0))
                    for d in range(dim):
                        x[oj + d] = x[oj + d] + alpha * _clip(c * (x[oj + d] - x[okk + d]))
                else:
                    for d in range(dim):
                        x[oj + d] = push + x[oj + d]
            next_neg[i] = next_neg[i] + neg_period[i] * float(n_neg)
    return np.array(x, dtype=np.float64).reshape(n_vertices, dim)
