import numpy as np
import pytest

import tarnwick_accel

from helpers import Registry


@pytest.fixture(scope="session")
def panic_type():
    """PanicException is never exposed as an attribute: take it from a fault."""
    try:
        tarnwick_accel.kmeans(np.zeros((0, 2)), 1, 1, 0)
    except BaseException as exc:  # noqa: BLE001 - it is not an Exception
        return type(exc)
    raise AssertionError("kmeans on no rows did not fault")


@pytest.fixture(scope="session")
def registry():
    # The first array call creates the shared record when nobody else has.
    tarnwick_accel.kmeans(np.ones((2, 2)), 1, 1, 0)
    return Registry()
