import os
import threading

import numpy as np
import pytest

import kmeans_reference
from helpers import run_python, ticks_during
from tarnwick_accel import kmeans

WORKED = np.array([[0.0], [1.0], [2.0], [10.0]])


@pytest.mark.parametrize("n_iter, expected", [(0, [0, 0, 0, 0]), (1, [0, 0, 1, 1]),
                                              (2, [0, 0, 0, 1]), (5, [0, 0, 0, 1])])
def test_worked_example(n_iter, expected):
    labels = kmeans(WORKED, 2, n_iter, 0)
    assert labels.dtype == np.int64 and labels.shape == (4,)
    assert labels.tolist() == expected


@pytest.mark.parametrize("data, k, expected", [
    (np.arange(12.0).reshape(6, 2), 1, [0] * 6),       # one cluster
    (np.ones((7, 3)), 3, [0] * 7),                     # all rows equal
    (np.arange(6.0).reshape(3, 2), 10, None),          # more clusters than rows
    (np.zeros((5, 0)), 3, [0] * 5),                    # no features
])
def test_degenerate_shapes(data, k, expected):
    labels = kmeans(data, k, 10, 3)
    assert labels.shape == (len(data),)
    assert ((labels >= 0) & (labels < k)).all()
    if expected is not None:
        assert labels.tolist() == expected


def test_rows_with_nan_get_label_zero():
    data = np.array([[0.0, 0.0], [np.nan, 1.0], [5.0, 5.0], [5.0, 6.0], [0.0, 1.0]])
    labels = kmeans(data, 2, 5, 1)
    assert labels[1] == 0


@pytest.mark.parametrize("data, k, n_iter, message", [
    (np.zeros((0, 3)), 2, 0, "attempt to calculate the remainder with a divisor of zero"),
    (np.zeros((0, 3)), 2, 5, "attempt to calculate the remainder with a divisor of zero"),
    (np.ones((4, 3)), 0, 5, "range end index 3 out of range for slice of length 0"),
    (np.ones((4, 0)), 0, 1, "chunk_size must not be zero"),
    (np.ones((4, 2)), 2**61, 1, "capacity overflow"),
    (np.ones((3, 0)), 2**60, 0, "capacity overflow"),  # n x k products beyond any address space
])
def test_faults(data, k, n_iter, message, panic_type):
    with pytest.raises(panic_type) as info:
        kmeans(data, k, n_iter, 0)
    assert info.value.args == (message,)
    # The interpreter and the pool carry on.
    assert kmeans(WORKED, 2, 5, 0).tolist() == [0, 0, 0, 1]


@pytest.mark.parametrize("k", [0, 2**58])
def test_no_features_without_iterations(k):
    assert kmeans(np.ones((4, 0)), k, 0, 0).tolist() == [0, 0, 0, 0]


def test_admissible_but_impossible_allocation_is_memory_error():
    with pytest.raises(MemoryError):
        kmeans(np.ones((4, 1)), 2**58, 1, 0)


def small_integer_clusters(rng, n_groups, group_size, d):
    """Far-apart groups of 2^p points each: every mean stays a short dyadic
    fraction, so every float32 product and sum on the way is exact."""
    centres = rng.integers(-8, 8, size=(n_groups, d)) * 64
    jitter = rng.integers(-2, 3, size=(n_groups, group_size, d))
    data = (centres[:, None, :] + jitter).reshape(-1, d).astype(np.float64)
    return data[rng.permutation(len(data))]


@pytest.mark.parametrize("n_groups, group_size, d, seed", [
    (3, 8, 2, 0), (5, 16, 3, 1), (8, 4, 5, 2), (4, 32, 1, 3), (6, 8, 8, 4),
])
def test_matches_float32_reference_on_exact_data(n_groups, group_size, d, seed):
    rng = np.random.default_rng(seed)
    data = small_integer_clusters(rng, n_groups, group_size, d)
    for n_iter in (0, 1, 3, 10):
        expected = kmeans_reference.kmeans(data, n_groups, n_iter, seed)
        assert kmeans(data, n_groups, n_iter, seed).tolist() == expected.tolist()


@pytest.mark.parametrize("d, k", [(32, k) for k in (63, 64, 65, 127, 128, 129, 257)] + [(64, 65), (64, 300)])
def test_first_assignment_matches_reference_across_centroid_blocks(d, k):
    # Small integers: every distance, product and sum is exact, so seeding
    # and the first assignment must give the reference's labels, ties (frequent
    # here) resolved to the lower centroid even when the two lie in different
    # blocks of centroids or rows lie in different chunks.
    rng = np.random.default_rng(d * 1000 + k)
    data = rng.integers(-3, 4, size=(1100, d)).astype(np.float64)
    for n_iter in (0, 1):
        expected = kmeans_reference.kmeans(data, k, n_iter, 5)
        assert np.array_equal(kmeans(data, k, n_iter, 5), expected)


@pytest.mark.parametrize("n", [100000, 100001])
def test_seeding_sample_boundary(n):
    # One feature: each product is a single rounding, the same on both sides.
    rng = np.random.default_rng(n)
    data = rng.integers(0, 50, size=(n, 1)).astype(np.float64)
    expected = kmeans_reference.kmeans(data, 4, 3, 11)
    assert np.array_equal(kmeans(data, 4, 3, 11), expected)


def test_labels_stay_in_range_on_random_data():
    rng = np.random.default_rng(8)
    data = rng.normal(size=(3000, 7))
    labels = kmeans(data, 13, 20, 5)
    assert labels.min() >= 0 and labels.max() < 13
    assert np.array_equal(labels, kmeans(data, 13, 20, 5))


def inertia_and_noise(X, labels):
    """Squared distances of the rows to their clusters' means, in float64 on
    the float32 values the core works with; and a bound on what float32
    rounding of the scores and means can add to it from one iteration to the
    next (a few roundings of ||x||^2 + ||c||^2 per row)."""
    X = X.astype(np.float32).astype(np.float64)
    k = labels.max() + 1
    counts = np.bincount(labels, minlength=k)
    sums = np.zeros((k, X.shape[1]))
    np.add.at(sums, labels, X)
    means = sums / np.maximum(counts, 1)[:, None]
    inertia = ((X - means[labels]) ** 2).sum()
    noise = 8 * np.finfo(np.float32).eps * ((X ** 2).sum() + (means[labels] ** 2).sum())
    return inertia, noise


@pytest.mark.parametrize("n, d, k, offset, seed", [
    (2000, 1, 6, 0.0, 0),
    (5003, 7, 24, 3.0, 1),
    (3001, 40, 5, -2.0, 2),     # blocks cut for the small-product kernel, where there is one
    (60000, 3, 20, 0.5, 3),     # the fused update pass, pieces cutting through blocks
    (120007, 2, 9, 4.0, 4),     # seeding on a sample of the rows
])
def test_inertia_never_rises_from_one_iteration_to_the_next(n, d, k, offset, seed):
    data = np.random.default_rng(seed).normal(size=(n, d)) + offset
    previous = None
    for n_iter in range(1, 11):
        inertia, noise = inertia_and_noise(data, kmeans(data, k, n_iter, seed))
        if previous is not None:
            assert inertia <= previous + noise, (n_iter, inertia, previous, noise)
        previous = inertia


def test_fortran_ordered_data_reads_as_its_matrix():
    data = np.random.default_rng(2).normal(size=(500, 4))
    assert np.array_equal(kmeans(np.asfortranarray(data), 6, 10, 1), kmeans(data, 6, 10, 1))


# The float32 copy of X asks for huge pages from 32 MiB on: sizes on either
# side of that, the last one ending short of a whole 2 MiB page.
@pytest.mark.parametrize("n", [(32 << 20) // 32 - 1, (32 << 20) // 32, (34 << 20) // 32 + 7])
def test_large_copies_read_as_their_matrix_in_either_order(n):
    data = np.random.default_rng(n).normal(size=(n, 8))
    labels = kmeans(data, 5, 2, 3)
    assert labels.shape == (n,) and labels.min() >= 0 and labels.max() < 5
    assert np.array_equal(kmeans(np.asfortranarray(data), 5, 2, 3), labels)


@pytest.mark.parametrize("shape", [(1, 5), (5, 1)])
def test_single_row_or_column_in_either_order(shape):
    data = np.arange(5.0).reshape(shape)
    assert np.array_equal(kmeans(np.asfortranarray(data), 2, 5, 0), kmeans(data, 2, 5, 0))


def test_strided_data_is_not_contiguous():
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        kmeans(np.ones((6, 4))[:, ::2], 2, 1, 0)


@pytest.mark.parametrize("data", [np.ones((4, 2), dtype=np.float32), np.ones(4), np.ones((2, 2, 2))])
def test_wrong_arrays_are_refused(data):
    with pytest.raises(TypeError, match="^argument 'data': 'ndarray' object cannot be converted"):
        kmeans(data, 2, 1, 0)


def test_caller_data_is_unchanged():
    data = np.random.default_rng(4).normal(size=(200, 3))
    copy = data.copy()
    kmeans(data, 4, 10, 0)
    assert np.array_equal(data, copy)


def test_other_threads_run_during_the_computation():
    data = np.random.default_rng(0).normal(size=(300000, 32))
    duration, ticks = ticks_during(lambda: kmeans(data, 50, 8, 0))
    assert duration > 0.05, "the call is too short to show anything"
    assert ticks >= 5


def test_overlapping_calls_from_threads_agree_with_serial_calls():
    rng = np.random.default_rng(6)
    inputs = [rng.normal(size=(20000 + 1000 * i, 8)) for i in range(4)]
    serial = [kmeans(x, 10, 10, i) for i, x in enumerate(inputs)]
    results = [None] * len(inputs)

    def work(i):
        results[i] = kmeans(inputs[i], 10, 10, i)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert all(np.array_equal(a, b) for a, b in zip(results, serial))


POOL_PROBE = """
    import os
    import numpy as np
    import tarnwick_accel
    def threads():
        return len(os.listdir("/proc/self/task"))
    base = threads()
    tarnwick_accel.optimize_layout(np.zeros((2, 2)), np.array([0]), np.array([1]),
                                   np.array([1.0]), 3, 1.0, 1.0, 1.0, 5, 1.0, 0)
    after_layout = threads()
    tarnwick_accel.kmeans(np.random.default_rng(0).normal(size=(5000, 4)), 3, 3, 0)
    os.environ["RAYON_NUM_THREADS"] = "5"
    tarnwick_accel.kmeans(np.ones((10, 2)), 2, 2, 0)
    print(after_layout - base, threads() - base)
"""


def pool_size(env):
    layout_delta, pool = map(int, run_python(POOL_PROBE, env_extra=env).stdout.split())
    assert layout_delta == 0, "optimize_layout must not start the pool"
    return pool


@pytest.fixture(scope="module")
def default_pool_size():
    return pool_size({})


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "+4"}, 4),
    ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "-4", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "default"),
    ({"RAYON_RS_NUM_CPUS": "0"}, "default"),
])
def test_pool_size_from_environment(env, expected, default_pool_size):
    assert pool_size(env) == (default_pool_size if expected == "default" else expected)


def test_default_pool_size_is_the_usable_cpus(default_pool_size):
    assert 1 <= default_pool_size <= len(os.sched_getaffinity(0))


LABELS_PROBE = """
    import sys
    import numpy as np
    import tarnwick_accel
    rng = np.random.default_rng(12)
    # Fused and separate update passes, some decided by the pool size (60000
    # rows) and the seeding sample (150000).
    for n, d, k in [(1000, 3, 5), (20011, 16, 16), (5003, 64, 40), (150000, 2, 8),
                    (12007, 300, 10), (60000, 5, 12), (40009, 33, 7)]:
        data = rng.normal(size=(n, d))
        labels = tarnwick_accel.kmeans(data, k, 15, 7)
        sys.stdout.write(str(hash(labels.tobytes())) + " ")
"""


def test_labels_identical_for_every_pool_size():
    outputs = {t: run_python(LABELS_PROBE, env_extra={"RAYON_NUM_THREADS": str(t), "PYTHONHASHSEED": "0"},
                             timeout=120).stdout
               for t in (1, 2, 3, 8)}
    assert len(set(outputs.values())) == 1, outputs


def test_forked_child_gets_a_pool_of_its_own():
    code = """
        import multiprocessing as mp
        import numpy as np
        import tarnwick_accel
        data = np.random.default_rng(1).normal(size=(20000, 4))
        parent = tarnwick_accel.kmeans(data, 5, 10, 0)
        def child(queue):
            queue.put(tarnwick_accel.kmeans(data, 5, 10, 0).tolist())
        ctx = mp.get_context("fork")
        queue = ctx.Queue()
        proc = ctx.Process(target=child, args=(queue,))
        proc.start()
        got = queue.get(timeout=60)
        proc.join(timeout=60)
        assert proc.exitcode == 0
        assert got == parent.tolist()
        print("ok")
    """
    assert run_python(code, env_extra={"RAYON_NUM_THREADS": "2"}).stdout.strip() == "ok"
