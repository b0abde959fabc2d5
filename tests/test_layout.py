import numpy as np
import pytest

import layout_reference
from helpers import ticks_during
from tarnwick_accel import optimize_layout

F64 = np.float64
I64 = np.int64


def run(embedding, head, tail, eps, n_epochs, a=1.0, b=1.0, gamma=1.0, rate=0, alpha=1.0, seed=0):
    return optimize_layout(np.asarray(embedding, dtype=F64), np.asarray(head, dtype=I64),
                           np.asarray(tail, dtype=I64), np.asarray(eps, dtype=F64), n_epochs, a, b,
                           gamma, rate, alpha, seed)


def bits(array):
    return np.ascontiguousarray(array, dtype=F64).view(np.uint64)


@pytest.mark.parametrize("args, expected", [
    # Attraction only: in epoch 1 each end moves half-way.
    (([[0, 0], [1, 0]], [0], [1], [1.0], 2), [[0.5, 0.0], [0.5, 0.0]]),
    # Epoch 2 adds a clipped repulsion.
    (([[0, 0], [1, 0]], [0], [1], [1.0], 3), [[-0.8666666666666668, 0.0], [0.5333333333333333, 0.0]]),
    (([[0, 0], [1, 0]], [0], [1], [1.0], 3, 1.0, 1.0, 1.0, 1), [[-0.8666666666666668, 0.0], [0.5333333333333333, 0.0]]),
    # A self-loop attracts nothing but still samples.
    (([[0, 0], [3, 4]], [0], [0], [1.0], 2, 1.0, 1.0, 1.0, 2),
     [[-0.00461520000738432, -0.006153600009845759], [3.0, 4.0]]),
    # Coincident vertices: zero distance pushes by 4 alpha.
    (([[0.0], [0.0]], [0], [1], [1.0], 2, 1.0, 1.0, 1.0, 2), [[2.0], [0.0]]),
    # A NaN period is due in every epoch, with no negative samples.
    (([[0.0], [1.0]], [0], [1], [float("nan")], 3, 1.0, 1.0, 1.0, 1),
     [[0.5333333333333333], [0.4666666666666667]]),
])
def test_worked_examples(args, expected):
    result = run(*args)
    assert result.tolist() == expected


@pytest.mark.parametrize("period", [0.0, -1.0, -np.inf])
def test_disabled_edges_read_nothing(period):
    # The endpoints are out of range and the arrays short: never touched.
    embedding = np.array([[0.0, 1.0], [2.0, 3.0]])
    result = run(embedding, [7], [], [period, period], 5, rate=3)
    assert np.array_equal(result, embedding)


@pytest.mark.parametrize("embedding, head, tail, eps, message", [
    # head shorter than the edge list: the first due edge beyond it faults.
    ([[0, 0], [1, 0]], [0], [1, 0], [1.0, 1.0], "the len is 1 but the index is 1"),
    ([[0, 0], [1, 0]], [0, 1], [1], [1.0, 1.0], "the len is 1 but the index is 1"),
    # Rows are reported as the flat index of their first coordinate.
    ([[0, 0], [1, 0]], [2], [0], [1.0], "the len is 4 but the index is 4"),
    ([[0, 0], [1, 0]], [0], [3], [1.0], "the len is 4 but the index is 6"),
    ([[0, 0], [1, 0]], [-1], [0], [1.0], f"the len is 4 but the index is {2**64 - 2}"),
    # A row whose flat index wraps to a valid position still faults.
    ([[0, 0], [1, 0]], [-2**63], [0], [1.0], "the len is 4 but the index is 0"),
    # The head's row is checked before the tail's.
    ([[0, 0], [1, 0]], [5], [9], [1.0], "the len is 4 but the index is 10"),
    # head's length before tail's.
    ([[0, 0], [1, 0]], [], [], [1.0], "the len is 0 but the index is 0"),
])
def test_index_faults(embedding, head, tail, eps, message, panic_type):
    with pytest.raises(panic_type) as info:
        run(embedding, head, tail, eps, 3, rate=2)
    assert str(info.value) == "index out of bounds: " + message
    assert info.value.args == ("index out of bounds: " + message,)


def test_dim_zero_draws_but_moves_nothing():
    embedding = np.zeros((3, 0))
    result = run(embedding, [100], [-5], [1.0], 4, rate=3)
    assert result.shape == (3, 0)


def test_negative_sample_from_empty_embedding_faults(panic_type):
    with pytest.raises(panic_type, match="^attempt to calculate the remainder with a divisor of zero$"):
        run(np.zeros((0, 0)), [0], [0], [1.0], 3, rate=1)


@pytest.mark.parametrize("period", [1e-12, 5e-324])
def test_vanishing_period_is_refused(period, panic_type):
    with pytest.raises(panic_type, match="too many negative samples") as info:
        run([[0.0, 0.0], [1.0, 0.0]], [0], [1], [period], 3, rate=5)
    assert "edge 0" in str(info.value)


@pytest.mark.parametrize("n_epochs, eps", [(0, [1.0]), (10, [])])
def test_nothing_to_do_returns_a_fresh_copy(n_epochs, eps):
    embedding = np.arange(6, dtype=F64).reshape(3, 2)
    head = np.zeros(len(eps), dtype=I64)
    result = optimize_layout(embedding, head, head, np.array(eps, dtype=F64), n_epochs,
                             1.0, 1.0, 1.0, 5, 1.0, 0)
    assert np.array_equal(result, embedding)
    assert result is not embedding and not np.shares_memory(result, embedding)
    assert result.dtype == F64 and result.flags.c_contiguous and result.flags.writeable
    assert type(result.base).__name__ == "PySliceContainer"


def test_empty_embedding_with_empty_edges():
    result = run(np.zeros((0, 2)), [], [], [], 5)
    assert result.shape == (0, 2)


def random_graph(rng, n_vertices=12, dim=2, n_edges=40, nan_share=0.1, out_of_range=False):
    embedding = rng.normal(size=(n_vertices, dim)) * 3
    head = rng.integers(0, n_vertices, n_edges)
    tail = rng.integers(0, n_vertices, n_edges)
    tail[:3] = head[:3]  # self-loops
    eps = rng.choice([1.0, 1.5, 2.0, 3.7, 0.0, -1.0], n_edges)
    eps[rng.random(n_edges) < nan_share] = np.nan
    if out_of_range:
        head[rng.integers(0, n_edges)] = rng.choice([-3, n_vertices, n_vertices + 4])
    return embedding, head, tail, eps


def matches_reference(*args):
    expected = layout_reference.optimize_layout(*args)
    return np.array_equal(bits(optimize_layout(*args)), bits(expected))


# Tiny graphs: nearly every run shares rows with the runs beside it, and
# self-loops, NaN periods and disabled edges take the checked path. Rows
# wider than 16 take it throughout.
@pytest.mark.parametrize("b", [1.0, 0.895, 0.5, 1.5])
@pytest.mark.parametrize("dim", [1, 2, 3, 4, 5, 6, 7, 17])
def test_matches_sequential_reference(b, dim):
    seed, rate = {1: (0, 5), 2: (7, 1), 3: (2**64 - 1, 0), 4: (123, 3), 5: (5, 8), 6: (99, 2), 7: (2**63, 4),
                  17: (11, 6)}[dim]
    rng = np.random.default_rng([seed % 1000, rate, dim, int(b * 1000)])
    embedding, head, tail, eps = random_graph(rng, dim=dim)
    assert matches_reference(embedding, head, tail, eps, 12, 1.577, b, 1.0, rate, 1.0, seed)


# The samples are drawn as remainders by multiplication, with a constant per
# vertex count: counts that are powers of two, next to them, or large.
@pytest.mark.parametrize("n_vertices", [1, 2, 3, 7, 64, 1000, 65535, 65536, 2**20 + 7])
def test_samples_match_reference_for_any_vertex_count(n_vertices):
    rng = np.random.default_rng(n_vertices)
    embedding = rng.normal(size=(n_vertices, 1)) * 3
    head = np.repeat(np.arange(min(n_vertices, 10)), 3)
    tail = rng.integers(0, min(n_vertices, 10), len(head))
    eps = rng.choice([1.0, 2.0, 0.25], len(head))
    assert matches_reference(embedding, head, tail, eps, 6, 1.577, 0.895, 1.0, 7, 1.0, n_vertices)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_faults_match_reference(seed, panic_type):
    rng = np.random.default_rng(seed)
    embedding, head, tail, eps = random_graph(rng, out_of_range=True, nan_share=0.0)
    eps[:] = 1.0
    args = (embedding, head, tail, eps, 4, 1.577, 0.895, 1.0, 5, 1.0, seed)
    with pytest.raises(layout_reference.ReferenceFault) as expected:
        layout_reference.optimize_layout(*args)
    with pytest.raises(panic_type) as got:
        optimize_layout(*args)
    assert str(got.value) == str(expected.value)


def test_reproducible_and_seed_dependent():
    rng = np.random.default_rng(5)
    embedding, head, tail, eps = random_graph(rng, n_vertices=50, n_edges=200, nan_share=0.0)
    args = [embedding, head, tail, eps, 30, 1.577, 0.895, 1.0, 5, 1.0, 9]
    first, second = optimize_layout(*args), optimize_layout(*args)
    assert np.array_equal(bits(first), bits(second))
    args[-1] = 10
    assert not np.array_equal(first, optimize_layout(*args))


def test_caller_arrays_are_not_written():
    rng = np.random.default_rng(11)
    embedding, head, tail, eps = random_graph(rng, nan_share=0.0)
    copies = [a.copy() for a in (embedding, head, tail, eps)]
    result = optimize_layout(embedding, head, tail, eps, 20, 1.0, 1.0, 1.0, 5, 1.0, 0)
    assert not np.array_equal(result, embedding)
    for original, copy in zip((embedding, head, tail, eps), copies):
        assert np.array_equal(original, copy, equal_nan=True)


def test_fortran_ordered_embedding_reads_as_its_matrix():
    rng = np.random.default_rng(3)
    embedding, head, tail, eps = random_graph(rng, dim=3, nan_share=0.0)
    args = (head, tail, eps, 10, 1.0, 0.9, 1.0, 5, 1.0, 4)
    c_result = optimize_layout(np.ascontiguousarray(embedding), *args)
    f_result = optimize_layout(np.asfortranarray(embedding), *args)
    assert np.array_equal(bits(c_result), bits(f_result))


def test_result_outlives_its_views():
    result = run([[0, 0], [1, 0]], [0], [1], [1.0], 3)
    view = result[1:]
    del result
    assert view.tolist() == [[0.5333333333333333, 0.0]]
    assert type(view.base.base).__name__ == "PySliceContainer"


def test_other_threads_run_during_the_computation():
    rng = np.random.default_rng(0)
    n = 2000
    embedding = rng.normal(size=(n, 2))
    head = rng.integers(0, n, 30000)
    tail = rng.integers(0, n, 30000)
    eps = np.ones(30000)
    duration, ticks = ticks_during(
        lambda: optimize_layout(embedding, head, tail, eps, 60, 1.577, 0.895, 1.0, 5, 1.0, 0))
    assert duration > 0.05, "the call is too short to show anything"
    assert ticks >= 5


def sorted_graph(rng, n_vertices, degree, dim, periods=(1.0, 1.0, 2.0, 3.0, 7.5, 0.0)):
    """A neighbour graph in row order, as layouts get them: stretches of
    edges share a head, and the neighbours lie anywhere in memory."""
    head = np.repeat(np.arange(n_vertices), degree)
    tail = rng.integers(0, n_vertices, len(head))
    eps = rng.choice(periods, len(head))
    return rng.normal(size=(n_vertices, dim)) * 5, head, tail, eps


@pytest.mark.parametrize("b, seed, rate, dim", [(0.895, 0, 5, 2), (1.0, 1, 3, 2), (1.3, 2, 8, 3)])
def test_runs_with_checked_edges_match_reference(b, seed, rate, dim):
    rng = np.random.default_rng(100 + seed)
    embedding, head, tail, eps = sorted_graph(rng, 400, 6, dim)
    n = len(head)
    tail[rng.integers(0, n, 20)] = head[rng.integers(0, n, 20)]  # some self-loops
    eps[rng.integers(0, n, 10)] = np.nan                          # due every epoch
    eps[rng.integers(0, n, 5)] = 0.02                             # many samples per epoch
    eps[rng.integers(0, n, 5)] = 0.004                            # more than a run holds
    assert matches_reference(embedding, head, tail, eps, 6, 1.577, b, 1.0, rate, 1.0, seed)


# Enough vertices that most runs in flight share no row, so that every lane
# is busy, while some still wait for an earlier run; the last two are large
# enough for their runs to queue rather than be booked onto ticks.
@pytest.mark.parametrize("dim, b, rate, n", [(2, 0.895, 2, 3000), (3, 1.0, 2, 3000), (10, 0.895, 1, 1500),
                                             (16, 1.2, 1, 1500), (16, 0.895, 2, 4000), (10, 1.0, 1, 6000)])
def test_wide_front_matches_reference(dim, b, rate, n):
    rng = np.random.default_rng(dim)
    embedding, head, tail, eps = sorted_graph(rng, n, 4, dim, periods=(1.0, 1.0, 1.0, 1.5, 2.0, 3.0))
    assert matches_reference(embedding, head, tail, eps, 4, 1.577, b, 1.0, rate, 1.0, dim)


# A schedule long enough to lie on huge pages where the system grants them
# (the next sample epochs over 4 MiB, a whole 2 MiB page wherever they
# start): most edges never fall due in the call, the others still give the
# reference's result.
def test_long_schedule_matches_reference():
    rng = np.random.default_rng(40)
    n_edges = 2**19 + 4099
    embedding = rng.normal(size=(500, 2)) * 3
    head = np.sort(rng.integers(0, 500, n_edges))
    tail = (head + rng.integers(1, 500, n_edges)) % 500
    eps = np.full(n_edges, 1e6)
    due = rng.random(n_edges) < 0.01
    eps[due] = rng.choice([1.0, 2.0], due.sum())
    assert matches_reference(embedding, head, tail, eps, 4, 1.577, 0.895, 1.0, 3, 1.0, 5)


# Hubs with more edges and samples than one run holds: their work is split
# into runs of the same head, each waiting for the one before.
@pytest.mark.parametrize("dim, rate", [(2, 5), (6, 8)])
def test_hub_runs_match_reference(dim, rate):
    rng = np.random.default_rng(dim * 10 + rate)
    embedding, head, tail, eps = sorted_graph(rng, 600, 2, dim, periods=(1.0, 1.0, 2.0))
    hubs = np.repeat(rng.integers(0, 600, 4), rng.integers(40, 120, 4))
    head = np.concatenate([head, np.sort(hubs)])
    tail = np.concatenate([tail, rng.integers(0, 600, len(hubs))])
    eps = np.concatenate([eps, rng.choice([1.0, 1.0, 0.5, 0.75], len(hubs))])
    tail[tail == head] = (tail[tail == head] + 1) % 600
    assert matches_reference(embedding, head, tail, eps, 4, 1.577, 0.895, 1.0, rate, 1.0, dim)


# Distances that are zero, subnormal or overflow, and NaN or infinite
# coordinates (given one epoch, before they reach every row): the special
# cases of clip, of the coefficients and of pow.
@pytest.mark.parametrize("dim", [2, 3, 5])
@pytest.mark.parametrize("b", [0.895, 1.0])
def test_extreme_coordinates_match_reference(dim, b):
    rng = np.random.default_rng(50 + dim)
    embedding, head, tail, eps = sorted_graph(rng, 300, 4, dim)
    embedding[:40] = embedding[40:80] + rng.choice([0.0, 1e-160, -3e-162], size=(40, dim))
    tail[0:160:4] = np.arange(40, 80)  # the near twins are neighbours
    embedding[80:90] = rng.choice([1e200, -1e300, 3.0], size=(10, dim))
    assert matches_reference(embedding, head, tail, eps, 5, 1.577, b, 1.0, 4, 1.0, dim)
    embedding[90:93] = rng.choice([np.nan, np.inf, -np.inf], size=(3, dim))
    assert matches_reference(embedding, head, tail, eps, 2, 1.577, b, 1.0, 4, 1.0, dim)


@pytest.mark.parametrize("dim", [2, 10])
def test_fault_after_many_runs_matches_reference(dim, panic_type):
    rng = np.random.default_rng(9)
    embedding, head, tail, eps = sorted_graph(rng, 300, 5, dim)
    eps[:] = 1.0
    tail[len(tail) - 40] = 300  # found only after many planned runs
    args = (embedding, head, tail, eps, 3, 1.577, 0.895, 1.0, 5, 1.0, 0)
    with pytest.raises(layout_reference.ReferenceFault) as expected:
        layout_reference.optimize_layout(*args)
    with pytest.raises(panic_type) as got:
        optimize_layout(*args)
    assert str(got.value) == str(expected.value)


def crowded_graph(rng, n_vertices, dim, n_edges, self_loops):
    """Few vertices and many edges, heads in stretches: nearly every run
    reads a row that an earlier run still in the schedule writes, and waits
    for it, or takes a lane beside it."""
    head = np.sort(rng.integers(0, n_vertices, n_edges))
    tail = rng.integers(0, n_vertices, n_edges)
    tail[tail == head] = (tail[tail == head] + 1) % n_vertices
    tail[rng.integers(0, n_edges, self_loops)] = head[rng.integers(0, n_edges, self_loops)]
    eps = rng.choice([1.0, 1.0, 1.0, 2.0, 0.5], n_edges)
    return rng.normal(size=(n_vertices, dim)) * 4, head, tail, eps


# Where the schedule's decisions are made most often: a few dozen vertices,
# up to twelve samples per edge and the same rows over and over, runs of
# many lengths, with and without self-loops in between.
@pytest.mark.parametrize("n_vertices, dim, b, rate, self_loops", [
    (2, 2, 0.895, 12, 0), (5, 1, 1.0, 8, 0), (24, 2, 0.895, 10, 0), (24, 3, 1.3, 6, 4),
    (40, 2, 1.0, 12, 6), (40, 5, 0.895, 4, 0), (48, 7, 0.7, 5, 2), (64, 16, 0.895, 9, 0),
])
def test_crowded_graph_matches_reference(n_vertices, dim, b, rate, self_loops):
    rng = np.random.default_rng(n_vertices * 100 + dim)
    embedding, head, tail, eps = crowded_graph(rng, n_vertices, dim, 30 * n_vertices, self_loops)
    assert matches_reference(embedding, head, tail, eps, 5, 1.577, b, 1.0, rate, 1.0, n_vertices + rate)


# Hub heads shared by many runs, with rows that collide on every other
# step: the head of one run is the tail or sample of the next ones.
@pytest.mark.parametrize("dim", [2, 4])
def test_chained_heads_match_reference(dim):
    rng = np.random.default_rng(70 + dim)
    n = 30
    head = np.repeat(np.arange(n), 3)
    tail = (head + 1) % n  # every run writes the next run's head
    eps = np.ones(len(head))
    embedding = rng.normal(size=(n, dim))
    assert matches_reference(embedding, head, tail, eps, 8, 1.577, 0.895, 1.0, 7, 1.0, 3)
    # Backwards too: each run's tail is the head of a run already booked.
    assert matches_reference(embedding, head, (head - 1) % n, eps, 8, 1.577, 0.895, 1.0, 7, 1.0, 4)


# Nothing is due before epoch 37; some edges are never due (their rows out
# of range: they must not be read), and some wait past the last epoch.
@pytest.mark.parametrize("dim, b, rate", [(2, 0.895, 5), (3, 1.0, 255)])
def test_late_and_never_due_edges_match_reference(dim, b, rate):
    rng = np.random.default_rng(dim)
    embedding, head, tail, eps = sorted_graph(rng, 500, 6, dim,
                                              periods=(37.5, 41.0, 61.25, 0.0, -np.inf, np.inf, 1e300))
    never = eps <= 0.0
    head[never] = 10**9
    tail[never] = -5
    assert matches_reference(embedding, head, tail, eps, 70, 1.577, b, 1.0, rate, 1.0, dim)
