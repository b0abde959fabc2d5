"""Leaks: many calls of each function, through every kind of outcome, leave
the Python heap (tracemalloc), the native heap and the resident set flat, take
no lasting reference to any argument and leave nothing in the borrow
registry; and a result's buffer is freed exactly when its last view goes.

The Python heap is measured over one batch of calls with tracemalloc on, the
native heap and the resident set over the next batch with it off: its own
tables (about 80 bytes per live traced block, and a rehash now and then)
would otherwise count as native growth.

Tolerances, for CALLS calls of one kind after WARM_UP calls of it:
  Python heap (tracemalloc)  PYTHON_HEAP_SLACK bytes: less than one of the
                             smallest Python objects (24 bytes) per call
  native heap                NATIVE_HEAP_SLACK bytes: less than one of the
                             allocator's smallest blocks (32 bytes) per call
  resident set               RSS_SLACK bytes: the allocator's own rounding
  references to arguments    none at all
"""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from tarnwick_accel import kmeans, optimize_layout

from helpers import kmeans_data, layout_args

SANITIZED = os.environ.get("TARNWICK_SANITIZED") == "1"
WARM_UP = 100
CALLS = 1000
PYTHON_HEAP_SLACK = 16 * 1024
NATIVE_HEAP_SLACK = 24 * 1024
RSS_SLACK = 1024 * 1024


# ------------------------------------------------------------ measurements

class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


_process = ctypes.CDLL(None)


def native_heap_bytes():
    """Bytes the C allocator has handed out and not had back."""
    sanitizer_count = getattr(_process, "__sanitizer_get_current_allocated_bytes", None)
    if sanitizer_count is not None:
        sanitizer_count.restype = ctypes.c_size_t
        return sanitizer_count()
    mallinfo2 = _process.mallinfo2
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd  # in use on the heaps, plus mapped chunks


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


needs_native_heap = pytest.mark.skipif(
    not (hasattr(_process, "mallinfo2") or hasattr(_process, "__sanitizer_get_current_allocated_bytes")),
    reason="the C library cannot report its heap")


# ------------------------------------------------------------ the calls

class Raiser:
    """__index__ and __float__ that raise a fresh error of the given kind."""

    def __init__(self, make):
        self.make = make

    def __index__(self):
        raise self.make()

    def __float__(self):
        raise self.make()


class UnprintableKey(str):
    def __str__(self):
        raise ValueError("no text")


X = kmeans_data(n=30, d=3)


def kmeans_cases(registry, panic_type):
    held = X.copy()
    return {
        "labels": ((X, 3, 5, 0), {}, None),
        "labels from a Fortran-ordered array": ((np.asfortranarray(X), 3, 5, 0), {}, None),
        "labels by keyword": ((), dict(data=X, n_clusters=3, n_iter=5, seed=0), None),
        "missing arguments": ((X, 3), {}, TypeError),
        "unexpected keyword": ((X, 3, 5), dict(seed=0, colour=1), TypeError),
        "unprintable unexpected keyword": ((X, 3, 5, 0), {UnprintableKey("k"): 1}, TypeError),
        "unexpected keyword with a lone surrogate": ((X, 3, 5, 0), {"k\ud800": 1}, TypeError),
        "multiple values": ((X, 3, 5, 0), dict(n_iter=5), TypeError),
        "too many positional": ((X, 3, 5, 0, 1), {}, TypeError),
        "data not an array": (([[1.0, 2.0]], 3, 5, 0), {}, TypeError),
        "data of the wrong dtype": ((X.astype(np.float32), 3, 5, 0), {}, TypeError),
        "integer that is a float": ((X, 3.0, 5, 0), {}, TypeError),
        "negative integer": ((X, 3, -1, 0), {}, OverflowError),
        "__index__ raises": ((X, 3, 5, Raiser(lambda: ValueError("bad"))), {}, ValueError),
        "__index__ raises PanicException": ((X, Raiser(lambda: panic_type("from Python")), 5, 0), {},
                                            panic_type),
        "data not contiguous": ((X[:, ::2], 3, 5, 0), {}, TypeError),
        "fault: no rows": ((np.zeros((0, 3)), 3, 5, 0), {}, panic_type),
        "fault: no clusters": ((X, 0, 5, 0), {}, panic_type),
        "fault: capacity overflow": ((X, 2**61, 5, 0), {}, panic_type),
        "impossible allocation": ((X[:, :1].copy(), 2**58, 5, 0), {}, MemoryError),
        "refused borrow": ((held, 3, 5, 0), {}, panic_type, held),
    }


def layout_cases(registry, panic_type):
    args = layout_args(n=8, n_epochs=5)
    held = args["tail"].copy()
    wide = np.repeat(args["embedding"], 2, axis=1)
    return {
        "result": ((), args, None),
        "result with nothing to do": ((), {**args, "n_epochs": 0}, None),
        "result by position": (tuple(args.values()), {}, None),
        "missing argument": (tuple(args.values())[:-1], {}, TypeError),
        "head not an array (embedding held)": ((), {**args, "head": [0, 1]}, TypeError),
        "epochs_per_sample of the wrong dtype (three held)": (
            (), {**args, "epochs_per_sample": args["epochs_per_sample"].astype(np.float32)}, TypeError),
        "negative n_epochs (four held)": ((), {**args, "n_epochs": -1}, OverflowError),
        "real that is a string": ((), {**args, "a": "1.0"}, TypeError),
        "real too large": ((), {**args, "gamma": 10**400}, OverflowError),
        "__float__ raises PanicException": ((), {**args, "b": Raiser(lambda: panic_type("from Python"))},
                                            panic_type),
        "embedding not contiguous": ((), {**args, "embedding": wide[:, ::2]}, TypeError),
        "epochs_per_sample not contiguous (copy made)": (
            (), {**args, "epochs_per_sample": np.repeat(args["epochs_per_sample"], 2)[::2]}, TypeError),
        "fault: vertex out of range": ((), {**args, "head": np.full(8, 99, dtype=np.int64)}, panic_type),
        "fault: head too short": ((), {**args, "head": args["head"][:2].copy()}, panic_type),
        "fault: negative sample from no vertices": (
            (), {**args, "embedding": np.zeros((0, 0)), "negative_sample_rate": 3}, panic_type),
        "fault: too many negative samples": (
            (), {**args, "epochs_per_sample": np.full(8, 1e-12)}, panic_type),
        "refused borrow": ((), {**args, "tail": held}, panic_type, held),
    }


def argument_objects(args, kwargs):
    """The objects a call could keep a reference to by mistake (small
    integers and other shared constants would only blur the counts)."""
    return [v for v in list(args) + list(kwargs.values()) + list(kwargs)
            if isinstance(v, (np.ndarray, Raiser, list, UnprintableKey))]


def run_calls(function, args, kwargs, expected, count):
    for _ in range(count):
        try:
            function(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
            assert expected is not None and isinstance(exc, expected), repr(exc)
        else:
            assert expected is None


CASES = [("kmeans", name) for name in kmeans_cases(None, BaseException)] + \
        [("optimize_layout", name) for name in layout_cases(None, BaseException)]


@pytest.mark.parametrize("function_name, case", CASES, ids=[f"{f}: {c}" for f, c in CASES])
def test_repeated_calls_leave_nothing_behind(function_name, case, registry, panic_type, monkeypatch):
    cases = kmeans_cases if function_name == "kmeans" else layout_cases
    args, kwargs, expected, *held = cases(registry, panic_type)[case]
    function = kmeans if function_name == "kmeans" else optimize_layout
    # Unprintable keywords are reported through the unraisable hook; the
    # test runner's own hook would keep every report.
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    for array in held:
        assert registry.acquire_write(array) == 0
    try:
        run_calls(function, args, kwargs, expected, WARM_UP)
        gc.collect()
        objects = argument_objects(args, kwargs)
        references = [sys.getrefcount(o) for o in objects]

        # Tracing may already be on (PYTHONTRACEMALLOC): then it stays on.
        started = not tracemalloc.is_tracing()
        tracemalloc.start()
        try:
            python_before = tracemalloc.get_traced_memory()[0]
            run_calls(function, args, kwargs, expected, CALLS)
            gc.collect()
            python_growth = tracemalloc.get_traced_memory()[0] - python_before
        finally:
            if started:
                tracemalloc.stop()

        native_before = native_heap_bytes()
        rss_before = resident_bytes()
        run_calls(function, args, kwargs, expected, CALLS)
        gc.collect()
        native_growth = native_heap_bytes() - native_before
        rss_growth = resident_bytes() - rss_before

        assert [sys.getrefcount(o) for o in objects] == references, "a reference to an argument was kept"
        # Under the sanitizer, which never hands out an address twice, the
        # interpreter's own traceback printing grows its caches by tens of
        # kilobytes per thousand tracebacks (sys.excepthook alone does it).
        if not (SANITIZED and "PanicException" in case):
            assert python_growth <= PYTHON_HEAP_SLACK, f"Python heap grew by {python_growth} bytes"
        if not SANITIZED:
            # The sanitizer's allocator keeps freed memory in quarantine and
            # counts its own bookkeeping; there the leak checker takes over.
            assert native_growth <= NATIVE_HEAP_SLACK, f"native heap grew by {native_growth} bytes"
            assert rss_growth <= RSS_SLACK, f"resident set grew by {rss_growth} bytes"
    finally:
        for array in held:
            registry.release_write(array)
    for value in list(args) + list(kwargs.values()):
        if isinstance(value, np.ndarray) and value.flags.writeable:
            assert registry.is_free(value)


# ------------------------------------------------------------ result buffers

BIG = 1 << 26  # 64 MiB: always a mapping of its own, returned to the system when freed


def big_layout_result():
    embedding = np.ones((BIG // 16, 2))
    return optimize_layout(embedding, np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0),
                           0, 1.0, 1.0, 1.0, 1, 1.0, 0)


def big_kmeans_result():
    data = np.zeros((BIG // 8, 1))
    return kmeans(data, 1, 0, 0)


@needs_native_heap
@pytest.mark.parametrize("make", [big_layout_result, big_kmeans_result], ids=["optimize_layout", "kmeans"])
@pytest.mark.parametrize("holder", [
    lambda r: r[1::3],                     # a view
    lambda r: r.reshape(-1)[::-1],         # a view of a view
    lambda r: memoryview(r),               # an exported buffer
    lambda r: np.frombuffer(r, r.dtype),   # an array over the exported buffer
], ids=["view", "view of a view", "memoryview", "array over the buffer"])
def test_result_buffer_goes_with_its_last_view(make, holder):
    gc.collect()
    heap_before, rss_before = native_heap_bytes(), resident_bytes()
    result = make()
    assert result.nbytes == BIG
    result.fill(7)  # touch every page
    assert native_heap_bytes() - heap_before >= BIG
    keeper = holder(result)
    del result
    gc.collect()
    assert native_heap_bytes() - heap_before >= BIG, "the buffer went while a view was alive"
    assert np.asarray(keeper).reshape(-1)[:8].tolist() == [7] * 8
    del keeper
    gc.collect()
    assert native_heap_bytes() - heap_before < BIG // 8, "the buffer outlived its last view"
    if not SANITIZED:  # the sanitizer's allocator holds freed memory back
        assert resident_bytes() - rss_before < BIG // 4
