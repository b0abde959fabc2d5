"""NumPy array exchange: conversion of array arguments, contiguity, the
shared borrow registry, result arrays and their PySliceContainer."""

import os
import shutil
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

import tarnwick_accel
from tarnwick_accel import kmeans, optimize_layout

from helpers import ALREADY_BORROWED, CAPSULE_NAME, kmeans_data, layout_args, multiarray

X = kmeans_data()
L = layout_args()
NOT_CONTIGUOUS = "The given array is not contiguous"
SRC_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


def converts_message(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


class Outer:
    class Sub(np.ndarray):
        pass


# ------------------------------------------------------------ conversion


@pytest.mark.parametrize(
    "name, value, type_name",
    [
        ("data", [[1.0, 2.0]], "list"),
        ("data", None, "NoneType"),
        ("data", np.float64(1.0), "float64"),
        ("data", memoryview(X), "memoryview"),
        ("data", X.astype(np.float32), "ndarray"),
        ("data", X.astype(np.int64), "ndarray"),
        ("data", X.astype(np.complex128), "ndarray"),
        ("data", X.astype(">f8"), "ndarray"),
        ("data", X[:, 0], "ndarray"),
        ("data", X[None], "ndarray"),
        ("data", np.array(1.0), "ndarray"),
        ("data", X.astype(np.float32).view(Outer.Sub), "Outer.Sub"),
    ],
)
def test_kmeans_rejects(name, value, type_name):
    with pytest.raises(TypeError) as info:
        kmeans(value, 3, 10, 0)
    assert type(info.value) is TypeError
    assert str(info.value) == converts_message(name, type_name)


@pytest.mark.parametrize(
    "name, value",
    [
        ("embedding", L["embedding"].astype(np.float32)),
        ("embedding", L["embedding"][None]),
        ("embedding", L["embedding"][:, 0]),
        ("head", L["head"].astype(np.int32)),
        ("head", L["head"].astype(np.uint64)),
        ("head", L["head"].astype(np.float64)),
        ("head", L["head"].astype(">i8")),
        ("head", L["head"][None]),
        ("tail", L["tail"].astype(np.int32)),
        ("epochs_per_sample", L["epochs_per_sample"].astype(np.float32)),
        ("epochs_per_sample", L["epochs_per_sample"].astype(np.int64)),
    ],
)
def test_optimize_layout_rejects(name, value):
    with pytest.raises(TypeError) as info:
        optimize_layout(**{**L, name: value})
    assert str(info.value) == converts_message(name, "ndarray")


@pytest.mark.parametrize(
    "name, convert",
    [
        ("embedding", lambda a: a.view(Outer.Sub)),
        ("embedding", lambda a: a.astype("<f8")),
        ("embedding", lambda a: a.astype(np.dtype(np.float64, metadata={"unit": "m"}))),
        ("embedding", lambda a: np.ma.masked_array(a)),
        ("head", lambda a: a.astype(np.longlong)),
        ("tail", lambda a: a.astype("=i8")),
        ("epochs_per_sample", lambda a: a.view(Outer.Sub)),
    ],
)
def test_equivalent_arrays_are_accepted(name, convert):
    args = {**L, "n_epochs": 5}
    np.testing.assert_array_equal(optimize_layout(**{**args, name: convert(args[name])}),
                                  optimize_layout(**args))


def test_read_only_arrays_are_accepted():
    args = {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in L.items()}
    for value in args.values():
        if isinstance(value, np.ndarray):
            value.setflags(write=False)
    np.testing.assert_array_equal(optimize_layout(**args), L["embedding"])


# ------------------------------------------------------------ contiguity


@pytest.mark.parametrize(
    "call",
    [
        lambda: kmeans(X[::2], 3, 10, 0),
        lambda: kmeans(X[:, ::2], 3, 10, 0),
        lambda: kmeans(X[::-1], 3, 10, 0),
        lambda: optimize_layout(**{**L, "embedding": np.repeat(L["embedding"], 2, axis=1)[:, ::2]}),
        lambda: optimize_layout(**{**L, "head": np.repeat(L["head"], 2)[::2]}),
        lambda: optimize_layout(**{**L, "tail": L["tail"][::-1]}),
        lambda: optimize_layout(**{**L, "epochs_per_sample": np.ones(5)[::2]}),
    ],
)
def test_strided_views_are_refused(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == NOT_CONTIGUOUS


def test_single_element_stride_is_contiguous():
    np.testing.assert_array_equal(
        optimize_layout(**{**L, "n_epochs": 3, "epochs_per_sample": np.ones(2)[::2]}),
        optimize_layout(**{**L, "n_epochs": 3, "epochs_per_sample": np.ones(1)}),
    )


def _layout_on(embedding, n_epochs):
    n = embedding.shape[0]
    head = np.arange(n, dtype=np.int64)
    return optimize_layout(**{**L, "embedding": embedding, "head": head, "tail": head[::-1].copy(),
                              "epochs_per_sample": np.ones(n), "n_epochs": n_epochs})


@pytest.mark.parametrize("shape", [(6, 1), (1, 3), (6, 3), (0, 3), (3, 0)])
@pytest.mark.parametrize("n_epochs", [0, 4])
def test_memory_order_does_not_change_results(shape, n_epochs):
    c_order = np.random.default_rng(1).standard_normal(shape)
    f_order = np.asfortranarray(c_order)
    assert f_order.flags.f_contiguous
    np.testing.assert_array_equal(_layout_on(f_order, n_epochs), _layout_on(c_order, n_epochs))
    if n_epochs == 0:
        np.testing.assert_array_equal(_layout_on(f_order, 0), c_order)
    if min(shape) > 0:
        np.testing.assert_array_equal(kmeans(f_order, 2, 5, 0), kmeans(c_order, 2, 5, 0))


def test_fortran_embedding_is_read_as_its_matrix():
    f_order = np.asfortranarray(L["embedding"])
    np.testing.assert_array_equal(optimize_layout(**{**L, "embedding": f_order}), L["embedding"])
    np.testing.assert_array_equal(kmeans(np.asfortranarray(X), 3, 10, 0), kmeans(X, 3, 10, 0))


# ------------------------------------------------------------ result arrays


def test_layout_result_is_a_fresh_array():
    embedding = L["embedding"].copy()
    result = optimize_layout(**{**L, "embedding": embedding})
    np.testing.assert_array_equal(result, embedding)
    assert result.dtype == np.float64 and result.shape == embedding.shape
    assert result.flags.c_contiguous and result.flags.writeable and not result.flags.owndata
    assert not np.shares_memory(result, embedding)
    result[:] = 7.0
    np.testing.assert_array_equal(embedding, L["embedding"])
    container = type(result.base)
    assert container.__name__ == "PySliceContainer"
    assert container.__module__ == "builtins"


def test_kmeans_result():
    labels = kmeans(X, 3, 10, 0)
    assert labels.dtype == np.dtype(np.int64) and labels.shape == (len(X),)
    assert labels.flags.c_contiguous and labels.flags.writeable
    assert type(labels.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("shape", [(0, 2), (3, 0), (0, 0)])
def test_empty_result_has_zero_strides(shape):
    result = optimize_layout(**{**L, "embedding": np.zeros(shape)})
    assert result.shape == shape
    assert result.strides == (0, 0)
    assert result.size == 0 and result.sum() == 0.0
    assert type(result.base).__name__ == "PySliceContainer"


def test_container_cannot_be_constructed():
    container = type(optimize_layout(**L).base)
    with pytest.raises(TypeError) as info:
        container()
    assert str(info.value) == "No constructor defined for PySliceContainer"


def test_container_lives_exactly_as_long_as_its_views():
    container = type(optimize_layout(**L).base)
    # Each live instance holds a reference to its (heap) type.
    before = sys.getrefcount(container)
    results = [optimize_layout(**L) for _ in range(10)] + [kmeans(X, 3, 2, 0) for _ in range(10)]
    assert sys.getrefcount(container) == before + 20
    views = [r[1:] for r in results]
    del results
    assert sys.getrefcount(container) == before + 20
    assert all(type(v.base.base) is container for v in views)
    _ = [np.full(v.shape, -1.0) for v in views]  # churn the allocator
    for view in views[:10]:
        np.testing.assert_array_equal(view, L["embedding"][1:])
    del views, view, _
    assert sys.getrefcount(container) == before


# ------------------------------------------------------------ the registry


def test_this_module_created_the_record(registry):
    capsule = getattr(multiarray(), CAPSULE_NAME)
    assert type(capsule).__name__ == "PyCapsule"
    assert CAPSULE_NAME in repr(capsule)
    assert registry.version == 1
    kmeans(X, 3, 1, 0)
    assert getattr(multiarray(), CAPSULE_NAME) is capsule


def fresh_layout_args(**changes):
    args = {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in layout_args(n=2).items()}
    args.update(changes)
    return args


@pytest.mark.parametrize(
    "changes",
    [
        {},
        {"n_epochs": 3},
        {"head": [0, 1]},                              # fails after embedding was taken
        {"epochs_per_sample": np.ones(2, np.float32)},  # fails after three were taken
        {"n_epochs": -1},                              # fails after all four
        {"seed": "x"},
        {"head": np.array([5, 0]), "n_epochs": 3},     # a fault in the computation
        {"epochs_per_sample": np.ones(4)[::2]},        # refused by the entry
        {"head": "same as tail"},                      # two borrows of one view
    ],
)
def test_layout_releases_every_borrow(changes, registry):
    args = fresh_layout_args(**changes)
    if isinstance(changes.get("head"), str):
        args["head"] = args["tail"]
    try:
        optimize_layout(**args)
    except BaseException:  # noqa: BLE001 - faults included
        pass
    for name in ("embedding", "head", "tail", "epochs_per_sample"):
        if isinstance(args[name], np.ndarray):
            assert registry.is_free(args[name]), name


@pytest.mark.parametrize("data", [X.copy(), np.zeros((0, 3)), np.asfortranarray(X)])
def test_kmeans_releases_its_borrow(data, registry):
    try:
        kmeans(data, 3, 2, 0)
    except BaseException:  # noqa: BLE001
        pass
    assert registry.is_free(data)


def test_borrows_are_held_during_the_call(registry):
    args = fresh_layout_args()
    args["tail"] = args["head"]
    arrays = [args[n] for n in ("embedding", "head", "epochs_per_sample")]
    seen = []

    class Probe:
        def __index__(self):
            seen.append([registry.acquire_write(a) for a in arrays])
            # Readers share: another extension may read alongside.
            seen.append(registry.acquire_read(arrays[0]))
            registry.release_read(arrays[0])
            return 0

    optimize_layout(**{**args, "n_epochs": Probe()})
    assert seen == [[-1, -1, -1], 0]
    assert all(registry.is_free(a) for a in arrays)


def _base():
    return np.arange(12, dtype=np.float64)


def _zero_stride(base, offset):
    return np.ndarray((3,), np.float64, buffer=base, offset=offset, strides=(0,))


# (view held for writing by another extension, view passed to us, refused?)
CONFLICTS = [
    ("same array", lambda b: b, lambda b: b, True),
    ("disjoint halves", lambda b: b[:6], lambda b: b[6:], False),
    ("one element overlap", lambda b: b[:6], lambda b: b[5:], True),
    ("inside", lambda b: b[2:10], lambda b: b[4:6], True),
    ("interleaved", lambda b: b[::2], lambda b: b[1::2], False),
    ("same parity", lambda b: b[::2], lambda b: b[2::2], True),
    ("reversed", lambda b: b[::-1], lambda b: b, True),
    ("view of a view", lambda b: b[3:9][1:3], lambda b: b[4:5], True),
    ("other columns", lambda b: b.reshape(3, 4)[:, 0], lambda b: b.reshape(3, 4)[:, 1], False),
    ("same column", lambda b: b.reshape(3, 4)[:, 1], lambda b: b.reshape(3, 4)[:, 1], True),
    ("0-d first element", lambda b: b[4:5].reshape(()), lambda b: b[4:7], True),
    ("0-d last element", lambda b: b[6:7].reshape(()), lambda b: b[4:7], True),
    ("0-d elsewhere", lambda b: b[8:9].reshape(()), lambda b: b[4:7], False),
    ("zero strides", lambda b: _zero_stride(b, 0), lambda b: _zero_stride(b, 4), True),
    ("another base", lambda b: np.arange(12.0), lambda b: b, False),
]


@pytest.mark.parametrize("held, passed, refused", [c[1:] for c in CONFLICTS], ids=[c[0] for c in CONFLICTS])
def test_write_borrow_of_another_extension(held, passed, refused, registry, panic_type):
    base = _base()
    held_view, passed_view = held(base), passed(base)
    embedding = L["embedding"].copy()
    assert registry.acquire_write(held_view) == 0
    try:
        try:
            optimize_layout(**{**L, "embedding": embedding, "epochs_per_sample": passed_view})
            outcome = "granted"
        except TypeError as exc:  # granted, then refused by the contiguity test
            assert str(exc) == NOT_CONTIGUOUS
            outcome = "granted"
        except BaseException as exc:  # noqa: BLE001
            assert type(exc) is panic_type and str(exc) == ALREADY_BORROWED
            outcome = "refused"
        assert outcome == ("refused" if refused else "granted")
        # Whatever the outcome, nothing of ours is left behind and the other
        # extension's borrow is intact.
        assert registry.is_free(embedding)
        assert registry.acquire_read(held_view) == -1
    finally:
        registry.release_write(held_view)
    assert registry.is_free(base)


def test_read_borrow_refusal_in_kmeans(registry, panic_type):
    data = X.copy()
    assert registry.acquire_write(data[10:20]) == 0
    try:
        with pytest.raises(panic_type, match="AlreadyBorrowed"):
            kmeans(data, 3, 2, 0)
        kmeans(data[20:], 3, 2, 0)
    finally:
        registry.release_write(data[10:20])
    assert registry.is_free(data)


# The module's own registry functions, as other extensions call them.
PAIRS = [
    ("read", "read", lambda b: b, lambda b: b, 0),
    ("read", "read", lambda b: b[:6], lambda b: b[3:], 0),
    ("read", "write", lambda b: b, lambda b: b, -1),
    ("read", "write", lambda b: b[:6], lambda b: b[5:], -1),
    ("read", "write", lambda b: b[:6], lambda b: b[6:], 0),
    ("write", "read", lambda b: b, lambda b: b, -1),
    ("write", "write", lambda b: b, lambda b: b, -1),
    ("write", "write", lambda b: b[1::2], lambda b: b[::2], 0),
    ("write", "read", lambda b: b.view(np.uint8)[:40], lambda b: b.view(np.uint8)[40:], 0),
    ("write", "read", lambda b: b.view(np.uint8)[:41], lambda b: b.view(np.uint8)[40:], -1),
    ("write", "read", lambda b: b.view(np.int16)[:20], lambda b: b.view(np.int16)[19:], -1),
    ("write", "write", lambda b: b.view(np.complex128)[:2], lambda b: b[4:], 0),
    ("write", "write", lambda b: b.view(np.complex128)[:2], lambda b: b[3:], -1),
]


@pytest.mark.parametrize("first, second, first_view, second_view, code", PAIRS)
def test_registry_functions(first, second, first_view, second_view, code, registry):
    base = _base()
    a, b = first_view(base), second_view(base)
    acquire = {"read": registry.acquire_read, "write": registry.acquire_write}
    release = {"read": registry.release_read, "write": registry.release_write}
    assert acquire[first](a) == 0
    rc = acquire[second](b)
    assert rc == code
    if rc == 0:
        release[second](b)
    release[first](a)
    assert registry.is_free(base)


def test_read_only_array_cannot_be_written(registry):
    base = _base()
    base.setflags(write=False)
    assert registry.acquire_write(base) == -2
    assert registry.acquire_read(base) == 0
    registry.release_read(base)


def test_read_borrows_are_counted(registry):
    base = _base()
    for _ in range(3):
        assert registry.acquire_read(base) == 0
    for _ in range(3):
        assert not registry.is_free(base)
        registry.release_read(base)
    assert registry.is_free(base)


def test_release_without_entry_does_nothing(registry):
    base = _base()
    held = base[:6]
    assert registry.acquire_write(held) == 0
    registry.release_read(base[6:])
    registry.release_write(base[7:])
    registry.release_read(np.zeros(4))
    assert registry.acquire_read(held) == -1
    registry.release_write(held)
    assert registry.is_free(base)


def test_release_of_the_other_kind_keeps_the_borrow(registry):
    base = _base()
    assert registry.acquire_write(base) == 0
    registry.release_read(base)
    assert registry.acquire_read(base) == -1, "a stray read release dropped a write borrow"
    registry.release_write(base)
    assert registry.acquire_read(base) == 0
    registry.release_write(base)
    assert registry.acquire_write(base) == -1, "a stray write release dropped a read borrow"
    registry.release_read(base)
    assert registry.is_free(base)


# ------------------------------------------------------------ NumPy layout


MIRROR_PROGRAM = r"""
#include <cstddef>
#include <cstdio>
#include <numpy/ndarraytypes.h>
#include "boundary/numpy_api.h"

#define SHOW(name, ours, theirs) std::printf("%s %zu %zu\n", name, (size_t)(ours), (size_t)(theirs))
#define FIELD(f) SHOW(#f, offsetof(tarnwick::ArrayFields, f), offsetof(PyArrayObject_fields, f)); \
                 SHOW(#f "_size", sizeof(tarnwick::ArrayFields::f), sizeof(PyArrayObject_fields::f))

int main() {
  FIELD(data); FIELD(nd); FIELD(dimensions); FIELD(strides); FIELD(base); FIELD(descr); FIELD(flags);
  SHOW("npy_intp", sizeof(tarnwick::npy_intp), sizeof(npy_intp));
#if NPY_ABI_VERSION >= 0x02000000
  SHOW("elsize_v2", tarnwick::kDescrElsizeOffsetV2, offsetof(_PyArray_LegacyDescr, elsize));
  SHOW("elsize_v2_size", sizeof(npy_intp), sizeof(_PyArray_LegacyDescr::elsize));
  SHOW("elsize_v1", tarnwick::kDescrElsizeOffsetV1, offsetof(PyArray_DescrProto, elsize));
  SHOW("elsize_v1_size", sizeof(int), sizeof(PyArray_DescrProto::elsize));
  SHOW("feature_v2", tarnwick::kFeatureVersionV2, NPY_2_0_API_VERSION);
#else
  SHOW("elsize_v1", tarnwick::kDescrElsizeOffsetV1, offsetof(PyArray_Descr, elsize));
  SHOW("elsize_v1_size", sizeof(int), sizeof(PyArray_Descr::elsize));
#endif
  SHOW("C_CONTIGUOUS", tarnwick::kArrayCContiguous, NPY_ARRAY_C_CONTIGUOUS);
  SHOW("F_CONTIGUOUS", tarnwick::kArrayFContiguous, NPY_ARRAY_F_CONTIGUOUS);
  SHOW("WRITEABLE", tarnwick::kArrayWriteable, NPY_ARRAY_WRITEABLE);
  SHOW("NPY_LONG", tarnwick::kNpyLong, NPY_LONG);
  SHOW("NPY_DOUBLE", tarnwick::kNpyDouble, NPY_DOUBLE);
  return 0;
}
"""


def test_field_mirror_matches_numpy_headers(tmp_path):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not available")
    source = tmp_path / "mirror.cpp"
    source.write_text(MIRROR_PROGRAM)
    binary = tmp_path / "mirror"
    subprocess.run(
        [compiler, "-std=c++20", "-DNPY_NO_DEPRECATED_API=NPY_1_7_API_VERSION",
         f"-I{np.get_include()}", f"-I{sysconfig.get_paths()['include']}", f"-I{SRC_DIR}",
         str(source), "-o", str(binary)],
        check=True, capture_output=True, text=True,
    )
    lines = subprocess.run([str(binary)], check=True, capture_output=True, text=True).stdout.split("\n")
    rows = [line.split() for line in lines if line]
    mismatches = [name for name, ours, theirs in rows if ours != theirs]
    assert not mismatches, rows
    assert {"data", "flags", "elsize_v1"} <= {name for name, _, _ in rows}
