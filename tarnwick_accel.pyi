"""Compiled k-means and embedding-layout kernels for NumPy arrays."""

from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = ["optimize_layout", "kmeans"]

# Arrays are never cast, so only these exact dtypes are accepted. Scalars are
# converted the way the interpreter converts them: integers through
# __index__, reals through __float__ (or __index__).
_Real: TypeAlias = SupportsFloat | SupportsIndex

def optimize_layout(
    embedding: npt.NDArray[np.float64],
    head: npt.NDArray[np.int64],
    tail: npt.NDArray[np.int64],
    epochs_per_sample: npt.NDArray[np.float64],
    n_epochs: SupportsIndex,
    a: _Real,
    b: _Real,
    gamma: _Real,
    negative_sample_rate: SupportsIndex,
    initial_alpha: _Real,
    seed: SupportsIndex,
) -> npt.NDArray[np.float64]:
    """Optimise `embedding` in place-style (a copy is returned) with the attract/repel SGD.

    `embedding` is `(n_vertices, dim)`; `head`, `tail` and `epochs_per_sample`
    are 1-D, one entry per edge (an entry <= 0 disables the edge). The integer
    arguments lie in [0, 2**64). Returns a new C-ordered float64 array of the
    shape of `embedding`; no argument is written. A wrong dtype or dimension
    count, or a non-contiguous array, raises TypeError.
    """

def kmeans(
    data: npt.NDArray[np.float64],
    n_clusters: SupportsIndex,
    n_iter: SupportsIndex,
    seed: SupportsIndex,
) -> npt.NDArray[np.int64]:
    """k-means (k-means++ seed + Lloyd), the compiled counterpart of `clustering.kmeans`.

    `data` is `(n, d)`. Returns the int64 labels of shape `(n,)`, each in
    `[0, n_clusters)`, reproducible for a given `seed`.
    """
