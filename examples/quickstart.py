"""Lay out scikit-learn's handwritten digits in 2-D and cluster them.

    pip install ".[examples]"
    python examples/quickstart.py [--output quickstart.png] [--epochs 500] [--seed 0]

Steps: a fuzzy k-nearest-neighbour graph of the 1,797 images (NumPy, SciPy and
scikit-learn), a PCA start scaled to +-10, `tarnwick_accel.optimize_layout` to
pull neighbours together and push random pairs apart, then
`tarnwick_accel.kmeans` with k = 10 on the 2-D layout. Prints the time of each
step and how well the clusters match the true digits (adjusted Rand index),
and saves a scatter plot of the layout coloured by cluster.
"""

import argparse
import time

import numpy as np
import scipy.sparse as sp
from sklearn.datasets import load_digits
from sklearn.decomposition import PCA
from sklearn.metrics import adjusted_rand_score
from sklearn.neighbors import NearestNeighbors

import tarnwick_accel

N_NEIGHBORS = 15
N_CLUSTERS = 10
KMEANS_RESTARTS = 10
KMEANS_ITERATIONS = 100
# a, b of the curve 1 / (1 + a d^(2b)) that fits a minimum distance of 0.1.
A, B = 1.577, 0.895


def fuzzy_knn_graph(data, k):
    """Symmetric sparse graph whose weights say how surely two rows are neighbours."""
    # Called without query points, kneighbors leaves each row out of its own list.
    dist, idx = NearestNeighbors(n_neighbors=k).fit(data).kneighbors()
    n = len(data)
    rho = dist[:, 0]
    gap = np.maximum(dist - rho[:, None], 0.0)

    # Per-row bandwidth sigma with sum_j exp(-gap_ij / sigma) = log2(k), found by
    # bisection on all rows at once (the sum grows with sigma).
    target = np.log2(k)
    lo, hi, sigma = np.zeros(n), np.full(n, np.inf), np.ones(n)
    for _ in range(64):
        too_wide = np.exp(-gap / sigma[:, None]).sum(axis=1) > target
        hi = np.where(too_wide, sigma, hi)
        lo = np.where(too_wide, lo, sigma)
        sigma = np.where(np.isinf(hi), sigma * 2.0, (lo + hi) / 2.0)
    # Rows whose neighbours all tie can never reach the target; a floor keeps
    # their sigma from collapsing to zero (0/0 below).
    sigma = np.maximum(sigma, 1e-3 * max(dist.mean(), 1e-12))

    weights = np.exp(-gap / sigma[:, None])
    w = sp.csr_matrix((weights.ravel(), (np.repeat(np.arange(n), k), idx.ravel())), shape=(n, n))
    # Fuzzy union: an edge is as strong as "either end picked the other".
    return (w + w.T - w.multiply(w.T)).tocoo()


def edge_schedule(graph, n_epochs):
    """Edge endpoints and epochs_per_sample: the strongest edge is due every
    epoch, weaker ones proportionally less often; edges that would be due less
    than once in the whole run are dropped."""
    weights = graph.data
    keep = weights >= weights.max() / n_epochs
    head = graph.row[keep].astype(np.int64)
    tail = graph.col[keep].astype(np.int64)
    return head, tail, weights.max() / weights[keep]


def initial_layout(data, seed):
    """PCA projection scaled to +-10, jittered so no two points coincide."""
    start = PCA(n_components=2).fit_transform(data)
    start *= 10.0 / np.abs(start).max()
    start += np.random.default_rng(seed).normal(scale=1e-4, size=start.shape)
    return np.ascontiguousarray(start, dtype=np.float64)


def cluster(points, seed):
    """kmeans restarted from several seeds, keeping the run with the least
    within-cluster sum of squares (one k-means++ start can merge two groups)."""
    best_labels, best_inertia = None, np.inf
    for restart in range(KMEANS_RESTARTS):
        labels = tarnwick_accel.kmeans(points, N_CLUSTERS, KMEANS_ITERATIONS, (seed * KMEANS_RESTARTS + restart) % 2**64)
        inertia = 0.0
        for c in np.unique(labels):
            members = points[labels == c]
            inertia += ((members - members.mean(axis=0)) ** 2).sum()
        if inertia < best_inertia:
            best_labels, best_inertia = labels, inertia
    return best_labels


def plot(layout, labels, digits, ari, n_epochs, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Name each cluster after the digit most of its members are, and list them
    # in that order so the legend reads 0..9 when the clustering is good.
    clusters = np.unique(labels)
    majority = {c: np.bincount(digits[labels == c], minlength=10).argmax() for c in clusters}
    order = sorted(clusters, key=lambda c: (majority[c], c))
    colours = plt.get_cmap("tab10")

    fig, ax = plt.subplots(figsize=(11, 7.5), dpi=110)
    span = np.ptp(layout, axis=0)
    for rank, c in enumerate(order):
        members = labels == c
        colour = colours(rank % 10)
        share = np.mean(digits[members] == majority[c])
        ax.scatter(*layout[members].T, s=9, alpha=0.8, color=colour, linewidths=0,
                   label=f"cluster {rank}: {members.sum()} images, {share:.0%} are {majority[c]}s")
        # The tag sits just above its cluster so it hides none of the points.
        x = np.median(layout[members, 0])
        y = np.percentile(layout[members, 1], 98) + 0.03 * span[1]
        ax.annotate(str(majority[c]), (x, y), fontsize=14, fontweight="bold", ha="center", va="bottom",
                    color=colour, bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.7))
    ax.margins(0.06)
    # Leave room above the highest tag.
    bottom, top = ax.get_ylim()
    ax.set_ylim(bottom, top + 0.05 * span[1])
    fig.suptitle(f"{len(layout):,} handwritten digits (8x8 pixels) laid out in 2-D by tarnwick_accel.optimize_layout",
                 fontsize=13)
    ax.set_title(f"colour: kmeans cluster (k = {len(clusters)});  tag: its most common true digit;  "
                 f"adjusted Rand index {ari:.2f}", fontsize=10.5)
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_xlabel(f"layout after {n_epochs} epochs (the axes have no units)")
    ax.legend(loc="center left", bbox_to_anchor=(1.01, 0.5), fontsize=9, markerscale=2.5, frameon=False,
              title="kmeans clusters", title_fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default="quickstart.png", help="where to write the PNG (default: %(default)s)")
    parser.add_argument("--epochs", type=int, default=500, help="optimize_layout epochs (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=0, help="seed for the layout and kmeans (default: %(default)s)")
    args = parser.parse_args(argv)
    if args.epochs < 1:
        parser.error("--epochs must be at least 1")
    if args.seed < 0:
        parser.error("--seed must be non-negative")

    def step(name, started, detail=""):
        print(f"  {name:<28}{time.perf_counter() - started:7.2f} s   {detail}", flush=True)

    t = time.perf_counter()
    data, digits = load_digits(return_X_y=True)
    data = data.astype(np.float64)
    print(f"tarnwick_accel quickstart: {data.shape[0]:,} handwritten digits, {data.shape[1]} pixels each")
    step("load digits", t)

    t = time.perf_counter()
    graph = fuzzy_knn_graph(data, N_NEIGHBORS)
    head, tail, epochs_per_sample = edge_schedule(graph, args.epochs)
    step(f"kNN graph (k = {N_NEIGHBORS})", t, f"{len(head):,} directed edges")

    t = time.perf_counter()
    start = initial_layout(data, args.seed)
    step("initial layout (PCA)", t)

    t = time.perf_counter()
    layout = tarnwick_accel.optimize_layout(start, head, tail, epochs_per_sample, args.epochs, A, B,
                                            1.0, 5, 1.0, args.seed)
    step("optimize_layout", t, f"{args.epochs} epochs")

    t = time.perf_counter()
    labels = cluster(layout, args.seed)
    step("kmeans on the layout", t, f"k = {N_CLUSTERS}, best of {KMEANS_RESTARTS} seeds")

    ari = adjusted_rand_score(digits, labels)

    t = time.perf_counter()
    plot(layout, labels, digits, ari, args.epochs, args.output)
    step("plot", t, args.output)

    print(f"adjusted Rand index: {ari:.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
