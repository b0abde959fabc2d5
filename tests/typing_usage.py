"""Typical calls, checked against tarnwick_accel.pyi with `mypy --strict`.

Not collected by pytest (no test_ prefix); `python tests/typing_usage.py`
also runs it, so every call the stub accepts is shown to work and every call
it rejects is shown to fail at run time too. Under --strict an unneeded
`type: ignore` is itself an error, so the rejected calls also prove the stub
is no looser than the module.
"""

from collections.abc import Callable
from typing import assert_type

import numpy as np
import numpy.typing as npt

import tarnwick_accel
from tarnwick_accel import kmeans, optimize_layout


def layout_demo() -> npt.NDArray[np.float64]:
    rng = np.random.default_rng(0)
    embedding: npt.NDArray[np.float64] = rng.standard_normal((6, 2))
    head = np.arange(6, dtype=np.int64)
    tail = np.roll(head, 1)
    epochs_per_sample = np.ones(6)
    out = optimize_layout(embedding, head, tail, epochs_per_sample, 10, 1.577, 0.895, 1.0, 5, 1.0, 0)
    assert_type(out, npt.NDArray[np.float64])
    # Every argument may be given by keyword; NumPy scalars and ints are fine
    # where the module converts them.
    again = tarnwick_accel.optimize_layout(
        embedding=embedding, head=head, tail=tail, epochs_per_sample=epochs_per_sample,
        n_epochs=np.int64(10), a=np.float32(1.577), b=0.895, gamma=1, negative_sample_rate=5,
        initial_alpha=1.0, seed=0,
    )
    assert_type(again, npt.NDArray[np.float64])
    return out


def kmeans_demo() -> npt.NDArray[np.int64]:
    data = np.concatenate([np.zeros((5, 3)), np.full((5, 3), 10.0)])
    labels = kmeans(data, 2, 20, seed=0)
    assert_type(labels, npt.NDArray[np.int64])
    assert labels.shape == (10,)
    return labels


def raises_type_error(call: Callable[[], object]) -> None:
    try:
        call()
    except TypeError:
        return
    raise AssertionError("expected TypeError")


def rejected_calls() -> None:
    data32 = np.zeros((4, 2), dtype=np.float32)
    data = np.zeros((4, 2))
    raises_type_error(lambda: kmeans(data32, 2, 10, 0))  # type: ignore[arg-type]
    raises_type_error(lambda: kmeans([[0.0, 1.0]], 1, 10, 0))  # type: ignore[arg-type]
    raises_type_error(lambda: kmeans(data, 2.0, 10, 0))  # type: ignore[arg-type]
    head32 = np.arange(4, dtype=np.int32)
    raises_type_error(
        lambda: optimize_layout(data, head32, head32, np.ones(4), 1, 1.0, 1.0, 1.0, 1, 1.0, 0)  # type: ignore[arg-type]
    )
    head = np.zeros(4, np.int64)
    raises_type_error(
        lambda: optimize_layout(data, head, head, np.ones(4), 1, "1", 1.0, 1.0, 1, 1.0, 0)  # type: ignore[arg-type]
    )


if __name__ == "__main__":
    layout_demo()
    kmeans_demo()
    rejected_calls()
    print("ok")
