"""Compiled k-means and embedding-layout kernels."""

from typing import Final

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]

def optimize_layout(
    embedding: npt.NDArray[np.float64],
    head: npt.NDArray[np.int64],
    tail: npt.NDArray[np.int64],
    epochs_per_sample: npt.NDArray[np.float64],
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    negative_sample_rate: int,
    initial_alpha: float,
    seed: int,
) -> npt.NDArray[np.float64]:
    """Optimise `embedding` in place-style (a copy is returned) with the attract/repel SGD."""

def kmeans(
    data: npt.NDArray[np.float64],
    n_clusters: int,
    n_iter: int,
    seed: int,
) -> npt.NDArray[np.int64]:
    """k-means (k-means++ seed + Lloyd), the compiled counterpart of `clustering.kmeans`."""
