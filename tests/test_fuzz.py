"""Fuzzed arguments for both functions, over their whole argument space.

Every call must end in a result of the documented shape and dtype or in one of
the documented exceptions: TypeError, OverflowError, an exception raised by
the argument's own __index__ or __float__, MemoryError, or PanicException with
a documented message. Never a crash, never a hang. Afterwards the caller's
arrays hold the same bytes and the shared borrow registry holds nothing for
them.

The amount of fuzzing comes from a hypothesis settings profile picked by
TARNWICK_FUZZ_PROFILE:

    ci    (default) a fixed, reproducible set of examples, about a minute in all
    long  25 times as many examples, freshly random on every run, for a local
          soak: TARNWICK_FUZZ_PROFILE=long python -m pytest tests/test_fuzz.py

A hang is caught by a watchdog that dumps every thread's stack and ends the
process.
"""

import contextlib
import ctypes
import decimal
import faulthandler
import fractions
import math
import os
import re
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, note, settings
from hypothesis import strategies as st

import tarnwick_accel
from tarnwick_accel import kmeans, optimize_layout

SANITIZED = os.environ.get("TARNWICK_SANITIZED") == "1"
PROFILE = os.environ.get("TARNWICK_FUZZ_PROFILE", "ci")
_QUIET = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("tarnwick-fuzz-ci", deadline=None, derandomize=True, database=None,
                          print_blob=True, suppress_health_check=_QUIET)
settings.register_profile("tarnwick-fuzz-long", deadline=None, print_blob=True,
                          suppress_health_check=_QUIET)
if PROFILE not in ("ci", "long"):
    raise RuntimeError(f"TARNWICK_FUZZ_PROFILE must be 'ci' or 'long', not {PROFILE!r}")
_PARENT = settings.get_profile(f"tarnwick-fuzz-{PROFILE}")
_SCALE = 25 if PROFILE == "long" else 1


def fuzzed(examples):
    return settings(_PARENT, max_examples=max(10, int(examples * _SCALE)))


WATCHDOG_SECONDS = 1800 if SANITIZED or PROFILE == "long" else 300


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# ------------------------------------------------------------ the signatures

PARAMS = {
    "kmeans": ("data", "n_clusters", "n_iter", "seed"),
    "optimize_layout": ("embedding", "head", "tail", "epochs_per_sample", "n_epochs", "a", "b",
                        "gamma", "negative_sample_rate", "initial_alpha", "seed"),
}
FUNCTIONS = {"kmeans": kmeans, "optimize_layout": optimize_layout}

# Plain Python functions with the same parameter lists: the interpreter's own
# binder says what binding must report (see expected_binding_error).
_PYTHON_BINDERS = {}
exec("\n".join(f"def {name}({', '.join(params)}): pass" for name, params in PARAMS.items()),
     _PYTHON_BINDERS)


def expected_binding_error(name, args, kwargs):
    """The binding TypeError's message, or None when binding succeeds."""
    params = PARAMS[name]
    if len(args) > len(params):
        # Checked first, before any keyword (the interpreter checks it last).
        return f"{name}() takes {len(params)} positional arguments but {len(args)} were given"
    try:
        _PYTHON_BINDERS[name](*args, **kwargs)
    except TypeError as exc:
        # Lone surrogates in a keyword are shown as U+FFFD replacements.
        return str(exc).encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    return None


# ------------------------------------------------------------ what the interpreter says

_capi = ctypes.PyDLL(None)  # functions of our own: ctypes.pythonapi's are shared
_number_index = _capi.PyNumber_Index
_number_index.restype = ctypes.py_object
_number_index.argtypes = [ctypes.py_object]
_as_u64 = _capi.PyLong_AsUnsignedLongLong
_as_u64.restype = ctypes.c_ulonglong
_as_u64.argtypes = [ctypes.py_object]
_as_double = _capi.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = [ctypes.py_object]


def interpreter_u64(value):
    """The interpreter's unsigned 64-bit reading of value (an int is read as
    it is, anything else through __index__); raises what it raises."""
    return _as_u64(value if isinstance(value, int) else _number_index(value))


def interpreter_f64(value):
    """The interpreter's double reading of value; raises what it raises."""
    return _as_double(value)


def text_of(exc):
    """str(exc), or the stand-in for an exception that cannot be printed."""
    try:
        return str(exc)
    except Exception:  # noqa: BLE001
        return f"<unprintable {type(exc).__name__} object>"


def expected_conversion_error(name, exc):
    """A TypeError (exactly) gains the argument's name; anything else stays."""
    if type(exc) is TypeError:
        return TypeError, f"argument '{name}': {text_of(exc)}"
    return type(exc), text_of(exc)


# ------------------------------------------------------------ strategy helpers

def weighted(*choices):
    """One of the strategies, each picked with its weight (one_of would treat
    repeated strategies as one)."""
    total = sum(weight for weight, _ in choices)

    def pick(ticket):
        for weight, strategy in choices:
            if ticket < weight:
                return strategy
            ticket -= weight
    return st.integers(0, total - 1).flatmap(pick)


def rarely(data, one_in):
    """True about once in one_in draws. (Hypothesis favours the ends of an
    integer range, so the lucky number sits in the middle.)"""
    return data.draw(st.integers(0, one_in - 1)) == one_in // 2


def narrowed(kind):
    """kind(value), overflowing to infinity without a warning."""
    def cast(value):
        with np.errstate(over="ignore"):
            return kind(value)
    return cast


# ------------------------------------------------------------ fuzz objects

PANIC_TEXT = "fuzz: a fault raised by Python code"
_RAISING = {}  # filled by the autouse fixture below: PanicException is not exported


@pytest.fixture(autouse=True)
def _panic_for_fuzz_objects(panic_type):
    _RAISING["panic"] = panic_type


class FuzzError(ValueError):
    pass


class FuzzTypeError(TypeError):
    """A TypeError subclass: passed through without the argument's name."""


RAISERS = {
    "value": lambda: FuzzError("fuzz: bad value"),
    "type": lambda: TypeError("fuzz: bad type"),
    "type-unprintable": lambda: TypeError(BadStr()),
    "type-subclass": lambda: FuzzTypeError("fuzz: bad subtype"),
    "zero": lambda: ZeroDivisionError("fuzz: division"),
    "panic": lambda: _RAISING["panic"](PANIC_TEXT),
}


class Raising:
    def __init__(self, kind):
        self.kind = kind

    def __call__(self):
        raise RAISERS[self.kind]()

    def __repr__(self):
        return f"raise {self.kind}"


class IndexObject:
    """An object whose __index__ returns (or raises) what it is told."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        return self.result() if callable(self.result) else self.result

    def __repr__(self):
        return f"IndexObject({self.result!r})"


class FloatObject:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        return self.result() if callable(self.result) else self.result

    def __repr__(self):
        return f"FloatObject({self.result!r})"


class IntIgnoringIndex(int):
    """An int subclass: read as the int it is, its __index__ never called."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass must not be called")


class FloatSubclass(float):
    pass


class BadStr:
    """Unprintable: str() raises."""

    def __str__(self):
        raise FuzzError("fuzz: no text")


JUNK = st.sampled_from([
    None, "", "3", b"3", 3.0, 2.5, math.nan, 1j, [], [1.0], (), {}, object(), BadStr(), Ellipsis,
    np.float64(1.0), np.array(3), np.array([1.0, 2.0]), memoryview(b"xy"), range(3), int, np,
])

# Integers at and around every limit. Values that convert are either small
# or so large that the computation refuses them at once, so nothing runs long.
LIMIT_INTS = st.one_of(
    st.integers(-3, 12),
    st.sampled_from([2**46, 2**53, 2**53 + 1, 2**62, 2**63 - 1, 2**63, 2**64 - 2, 2**64 - 1,
                     2**64, 2**64 + 1, 2**65, -2**63, -2**63 - 1, -2**64, 10**30, -10**30, 10**400]),
    st.integers(2**46, 2**64 + 4),
    st.integers(-2**70, -1),
    st.integers(2**64, 2**200),
)

NUMPY_INTEGER_TYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]


@st.composite
def numpy_integer(draw, values):
    """A NumPy integer scalar of some type that can hold a value from values
    (a plain int where none can)."""
    value = draw(values)
    kinds = [k for k in NUMPY_INTEGER_TYPES if np.iinfo(k).min <= value <= np.iinfo(k).max]
    return draw(st.sampled_from(kinds))(value) if kinds else value


def integer_like(in_range=LIMIT_INTS):
    """Anything a caller might pass as an integer argument. The values that
    do convert come from in_range (or are out of range)."""
    out_of_range = st.one_of(st.integers(-2**70, -1), st.integers(2**64, 2**70))
    values = st.one_of(in_range, out_of_range)
    return st.one_of(
        values,
        st.booleans(),
        values.map(IntIgnoringIndex),
        numpy_integer(values),
        st.sampled_from([np.float64(3.0), np.float32(1.0), np.bool_(True), np.float16(2.0)]),
        st.sampled_from([3.0, -0.0, math.inf, math.nan, decimal.Decimal(3), fractions.Fraction(6, 2),
                         complex(3, 0), "7", None]),
        values.map(IndexObject),
        st.sampled_from(["3", 3.0, None, FloatSubclass(1.0)]).map(IndexObject),
        st.sampled_from(sorted(RAISERS)).map(lambda kind: IndexObject(Raising(kind))),
        st.just(True).map(IndexObject),  # __index__ returning a bool: deprecated, still an int
        st.just(FloatObject(3.0)),  # __float__ alone does not make an integer
        JUNK,
    )


def real_like():
    """Anything a caller might pass as a real argument."""
    floats = st.one_of(
        st.floats(allow_nan=True, allow_infinity=True),
        st.sampled_from([-0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
                         -1.0, 1.0, math.inf, -math.inf, math.nan, -math.nan]),
    )
    ints = st.one_of(st.integers(-2**64, 2**64), st.sampled_from([2**1023, 2**1024, -2**1024, 10**400]))
    return st.one_of(
        floats,
        ints,
        st.booleans(),
        floats.map(FloatSubclass),
        floats.map(np.float64),
        floats.map(narrowed(np.float32)),
        floats.map(narrowed(np.float16)),
        floats.map(np.longdouble),
        numpy_integer(st.integers(-2**63, 2**64)),
        st.sampled_from([decimal.Decimal("1.5"), decimal.Decimal("nan"), decimal.Decimal("snan"),
                         decimal.Decimal("-inf"), decimal.Decimal("1e400"), fractions.Fraction(1, 3),
                         fractions.Fraction(10**400, 3), 1j, "1.0", b"1.0", None]),
        floats.map(FloatObject),
        st.sampled_from([FloatSubclass(2.0), "1.0", 1, None]).map(FloatObject),
        st.sampled_from(sorted(RAISERS)).map(lambda kind: FloatObject(Raising(kind))),
        ints.map(IndexObject),  # no __float__: the value comes from __index__
        st.sampled_from(sorted(RAISERS)).map(lambda kind: IndexObject(Raising(kind))),
        JUNK,
    )


# ------------------------------------------------------------ arrays of every kind

class Sub(np.ndarray):
    pass


OTHER_DTYPES = [
    np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
    np.longlong, np.float16, np.float32, np.float64, np.longdouble, np.complex64, np.complex128,
    np.clongdouble, "S3", "U2", "V8", "M8[s]", "m8[ms]", [("a", "<f8")], [("a", "<i4"), ("b", "<i4")],
    ">f8", ">i8", "<f8", "<i8", "=f8", ">c16", np.dtype(np.float64, metadata={"unit": "m"}), object,
]

# Element values for the arrays the module computes on. Periods are either
# ordinary (so that the negative samples stay few) or vanishing (so that the
# fault for too many negative samples comes at once).
EMBEDDING_VALUES = st.floats(allow_nan=True, allow_infinity=True)
EDGE_INDEX_VALUES = weighted((6, st.integers(0, 5)), (1, st.integers(-2, 7)), (1, st.integers(-2**63, 2**63 - 1)))
PERIOD_VALUES = st.one_of(
    st.floats(0.05, 50.0),
    st.sampled_from([0.0, -0.0, -1.0, 1.0, 2.0, 0.5, math.inf, -math.inf, math.nan, 1e-12, 1e-300, 5e-324]),
    st.floats(max_value=0.0),
)


@st.composite
def arrays(draw, dtype, ndim, values, reinterpret=True):
    """Arrays of every dtype, byte order, dimension count, shape, memory order
    and stride, mostly of the given dtype and dimension count."""
    target = np.dtype(dtype)
    dt = np.dtype(draw(weighted((3, st.just(target)), (1, st.sampled_from(OTHER_DTYPES)))))
    root_ndim = draw(st.one_of(st.just(ndim), st.integers(0, 3)))
    shape = tuple(draw(st.lists(st.integers(0, 6), min_size=root_ndim, max_size=root_ndim)))
    size = math.prod(shape)
    if dt == target:
        flat = np.array(draw(st.lists(values, min_size=size, max_size=size)), dtype=dt)
    elif dt == np.dtype(object):
        flat = np.array(draw(st.lists(st.floats(), min_size=size, max_size=size)) + [None], dtype=object)[:-1]
    else:
        flat = np.frombuffer(draw(st.binary(min_size=size * dt.itemsize, max_size=size * dt.itemsize)),
                             dtype=dt).copy()

    # Who owns the memory.
    owner = draw(st.sampled_from(["copy", "fortran", "bytes", "bytearray", "subclass"]))
    if owner in ("bytes", "bytearray") and dt.hasobject:
        owner = "copy"
    if owner == "bytes":
        root = np.frombuffer(flat.tobytes(), dtype=dt).reshape(shape)
    elif owner == "bytearray":
        root = np.frombuffer(bytearray(flat.tobytes()), dtype=dt).reshape(shape)
    else:
        root = flat.reshape(shape).copy()
        if owner == "fortran":
            root = np.asfortranarray(root)
        elif owner == "subclass":
            root = root.view(Sub)

    array = root
    for _ in range(draw(st.integers(0, 3))):
        op = draw(st.sampled_from(["slice", "transpose", "newaxis", "squeeze", "broadcast",
                                   "readonly", "subclass", "masked", "reinterpret"]))
        if op == "slice" and array.ndim > 0:
            axis = draw(st.integers(0, array.ndim - 1))
            n = array.shape[axis]
            start = draw(st.integers(-n - 1, n + 1)) if n else 0
            step = draw(st.sampled_from([1, 1, 2, 3, -1, -2]))
            index = [slice(None)] * array.ndim
            index[axis] = slice(start, None, step)
            array = array[tuple(index)]
        elif op == "transpose" and array.ndim > 1:
            array = array.transpose(draw(st.permutations(range(array.ndim))))
        elif op == "newaxis" and array.ndim < 3:
            array = np.expand_dims(array, draw(st.integers(0, array.ndim)))
        elif op == "squeeze" and 1 in array.shape:
            array = array.squeeze(array.shape.index(1))
        elif op == "broadcast" and array.ndim < 3:
            grown = tuple(draw(st.integers(1, 3)) if s == 1 else s for s in array.shape)
            array = np.broadcast_to(array, (draw(st.integers(1, 3)),) * draw(st.integers(0, 1)) + grown)
        elif op == "readonly":
            array = array.view()
            array.setflags(write=False)
        elif op == "subclass":
            array = array.view(Sub)
        elif op == "masked":
            array = np.ma.masked_array(array)
        elif op == "reinterpret" and reinterpret:
            with contextlib.suppress(ValueError, TypeError):
                array = array.view(draw(st.sampled_from([np.float64, np.int64, np.uint8, np.int32,
                                                         np.complex128, np.float32])))
    return array


def root_of(array):
    while isinstance(array.base, np.ndarray):
        array = array.base
    return array


def snapshot(array):
    """The raw bytes of the whole memory the array lies in (its owner's
    contiguous buffer), not only those its view shows."""
    root = root_of(array)
    return ctypes.string_at(root.__array_interface__["data"][0], root.nbytes)


@contextlib.contextmanager
def writeable_twin(array):
    """A writeable array over the same owner with the same data pointer,
    shape, strides and element size: the registry files it under the same
    entry as array. None where the memory can never be written (a bytes
    object's)."""
    root = root_of(array)
    if array.itemsize == 0 or not (root.flags.c_contiguous or root.flags.f_contiguous):
        yield None
        return
    flipped = False
    if not root.flags.writeable:
        if root.base is not None:
            yield None
            return
        root.setflags(write=True)
        flipped = True
    try:
        flat = root if root.flags.c_contiguous else root.reshape(-1, order="A")
        offset = array.__array_interface__["data"][0] - root.__array_interface__["data"][0]
        try:
            twin = np.ndarray(array.shape, np.dtype((np.void, array.itemsize)), buffer=flat,
                              offset=offset, strides=array.strides)
        except (ValueError, TypeError):
            twin = None
        yield twin
    finally:
        if flipped:
            root.setflags(write=False)


def arrays_in(args, kwargs):
    return [v for v in list(args) + list(kwargs.values()) if isinstance(v, np.ndarray)]


@contextlib.contextmanager
def caller_arrays_untouched(registry, arrays_passed):
    """Checks, after the block, that every array holds the same bytes and
    that the registry lists no borrow of it."""
    before = [(array, snapshot(array)) for array in arrays_passed]
    yield
    for array, data in before:
        assert snapshot(array) == data, "the caller's array was written"
        with writeable_twin(array) as twin:
            if twin is not None:
                assert registry.is_free(twin), "a borrow of the caller's array was left behind"


# ------------------------------------------------------------ outcomes

FAULT_TEXT = re.compile("|".join([
    r"index out of bounds: the len is \d+ but the index is \d+",
    r"attempt to calculate the remainder with a divisor of zero",
    r"range end index \d+ out of range for slice of length \d+",
    r"capacity overflow",
    r"chunk_size must not be zero",
    r"too many negative samples: \d+ due for edge \d+ in epoch \d+, more than the limit of \d+; "
    r"its epochs_per_sample of \S+ is too small",
    re.escape(PANIC_TEXT),
]))
USER_ERRORS = (FuzzError, FuzzTypeError, ZeroDivisionError, ValueError)


def outcome(function, args, kwargs):
    """('returned', dtype, shape, bytes, result) or ('raised', type, text)."""
    hook = sys.unraisablehook
    sys.unraisablehook = lambda report: None  # unprintable errors are reported there
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            result = function(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return ("raised", type(exc), text_of(exc))
    finally:
        sys.unraisablehook = hook
    return ("returned", result.dtype.str, result.shape, result.tobytes(), result)


def same(a, b):
    return a[:4] == b[:4] if a[0] == "returned" else a == b


def check_documented(name, got, panic_type):
    """The outcome is a documented one: a well-formed result or a documented exception."""
    event("returned" if got[0] == "returned" else
          f"{got[1].__name__}: {re.sub(r'[0-9]+', 'N', got[2])[:48]}")
    if got[0] == "returned":
        result = got[4]
        assert type(result) is np.ndarray
        assert result.flags.c_contiguous and result.flags.writeable
        assert type(result.base).__name__ == "PySliceContainer"
        assert result.dtype == (np.int64 if name == "kmeans" else np.float64)
        assert result.ndim == (1 if name == "kmeans" else 2)
        return
    _, kind, text = got
    if kind is panic_type:
        assert FAULT_TEXT.fullmatch(text), text
    else:
        assert issubclass(kind, (TypeError, OverflowError, MemoryError) + USER_ERRORS), (kind, text)


def kmeans_base():
    rng = np.random.default_rng(5)
    centres = np.array([[0.0, 0.0], [20.0, 0.0], [0.0, 20.0]])
    return dict(data=centres[np.arange(12) % 3] + rng.standard_normal((12, 2)),
                n_clusters=3, n_iter=6, seed=1)


def layout_base(n_edges=5):
    rng = np.random.default_rng(6)
    return dict(embedding=rng.standard_normal((6, 2)),
                head=np.array([0, 1, 2, 3, 4, 5, 0][:n_edges], dtype=np.int64),
                tail=np.array([1, 2, 3, 4, 5, 0, 3][:n_edges], dtype=np.int64),
                epochs_per_sample=np.array([1.0, 2.0, 0.5, 1.5, 3.0, 1.0, 1.0][:n_edges]),
                n_epochs=4, a=1.5, b=0.9, gamma=1.0, negative_sample_rate=2, initial_alpha=1.0, seed=3)


def copied(value):
    """A plain, C-ordered, writeable ndarray copy of an array argument."""
    return np.array(value, order="C", copy=True, subok=False) if isinstance(value, np.ndarray) else value


# ------------------------------------------------------------ the tests

ARRAY_PARAMETERS = [
    ("kmeans", "data", np.float64, 2, EMBEDDING_VALUES, True),
    ("optimize_layout", "embedding", np.float64, 2, EMBEDDING_VALUES, True),
    ("optimize_layout", "head", np.int64, 1, EDGE_INDEX_VALUES, True),
    ("optimize_layout", "tail", np.int64, 1, EDGE_INDEX_VALUES, True),
    # Reinterpreted bytes could make periods small enough to run for long.
    ("optimize_layout", "epochs_per_sample", np.float64, 1, PERIOD_VALUES, False),
]


@pytest.mark.parametrize("name, param, dtype, ndim, values, reinterpret", ARRAY_PARAMETERS,
                         ids=[f"{p[0]}-{p[1]}" for p in ARRAY_PARAMETERS])
@fuzzed(600)
@given(data=st.data())
def test_array_arguments(name, param, dtype, ndim, values, reinterpret, data, registry, panic_type):
    """An array of any kind in one array position: refused with the exact
    conversion or contiguity TypeError, or computed exactly as its plain
    C-ordered copy would be."""
    array = data.draw(arrays(dtype, ndim, values, reinterpret), label=param)
    base = kmeans_base() if name == "kmeans" else layout_base()
    if name == "kmeans":
        base["n_clusters"] = data.draw(st.sampled_from([1, 2, 3, 0, 2**64 - 1]), label="n_clusters")
    kwargs = {**base, param: array}
    function = FUNCTIONS[name]
    with caller_arrays_untouched(registry, [array]):
        got = outcome(function, (), kwargs)
    check_documented(name, got, panic_type)

    if not (array.ndim == ndim and array.dtype == np.dtype(dtype)):
        type_name = type(array).__qualname__
        assert got == ("raised", TypeError,
                       f"argument '{param}': '{type_name}' object cannot be converted to 'PyArray<T, D>'")
    elif not (array.flags.c_contiguous or array.flags.f_contiguous):
        assert got == ("raised", TypeError, "The given array is not contiguous")
    else:
        expected = outcome(function, (), {**kwargs, param: copied(array)})
        assert same(got, expected), (got[:3], expected[:3])


@pytest.mark.parametrize("name, param", [
    ("kmeans", "n_clusters"), ("kmeans", "n_iter"), ("kmeans", "seed"),
    ("optimize_layout", "n_epochs"), ("optimize_layout", "negative_sample_rate"),
    ("optimize_layout", "seed"),
])
@fuzzed(500)
@given(value=integer_like())
def test_integer_arguments(name, param, value, registry, panic_type):
    """Anything in an integer position converts exactly as the interpreter
    reads it as an unsigned 64-bit integer, or fails with its exception."""
    base = kmeans_base() if name == "kmeans" else layout_base()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            converted = interpreter_u64(value)
            expected_error = None
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            expected_error = expected_conversion_error(param, exc)
    if expected_error is None and param == "n_epochs" and converted > 16:
        base["epochs_per_sample"] = np.ones(0)  # nothing to do per epoch: any count ends at once
    function = FUNCTIONS[name]
    with caller_arrays_untouched(registry, arrays_in((), base)):
        got = outcome(function, (), {**base, param: value})
    check_documented(name, got, panic_type)
    if expected_error is not None:
        assert got == ("raised",) + expected_error
    else:
        assert same(got, outcome(function, (), {**base, param: converted}))


@pytest.mark.parametrize("param", ["a", "b", "gamma", "initial_alpha"])
@fuzzed(500)
@given(value=real_like())
def test_real_arguments(param, value, registry, panic_type):
    """Anything in a real position converts exactly as the interpreter reads
    it as a double (NaN and the infinities included), or fails with its
    exception."""
    base = layout_base()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            converted = interpreter_f64(value)
            expected_error = None
        except BaseException as exc:  # noqa: BLE001
            expected_error = expected_conversion_error(param, exc)
    with caller_arrays_untouched(registry, arrays_in((), base)):
        got = outcome(optimize_layout, (), {**base, param: value})
    check_documented("optimize_layout", got, panic_type)
    if expected_error is not None:
        assert got == ("raised",) + expected_error
    else:
        assert same(got, outcome(optimize_layout, (), {**base, param: converted}))


def valid_arrays(dtype, ndim, values):
    """Arrays every conversion and contiguity test accepts."""
    @st.composite
    def build(draw):
        shape = tuple(draw(st.lists(st.integers(0, 6), min_size=ndim, max_size=ndim)))
        size = math.prod(shape)
        array = np.array(draw(st.lists(values, min_size=size, max_size=size)), dtype=dtype).reshape(shape)
        return np.asfortranarray(array) if draw(st.booleans()) else array
    return build()


def any_argument(name, param):
    """Every kind of value for one parameter; plainly valid ones most often,
    so that calls get past conversion to the computation."""
    arrays_of = {
        "data": (np.float64, 2, EMBEDDING_VALUES, True),
        "embedding": (np.float64, 2, EMBEDDING_VALUES, True),
        "head": (np.int64, 1, EDGE_INDEX_VALUES, True),
        "tail": (np.int64, 1, EDGE_INDEX_VALUES, True),
        "epochs_per_sample": (np.float64, 1, PERIOD_VALUES, False),
    }
    # Integers that convert stay small, or so large that they are refused at once.
    in_range = {
        "n_clusters": st.one_of(st.integers(0, 6), st.integers(2**46, 2**64 - 1)),
        "n_iter": st.integers(0, 8),
        "n_epochs": st.integers(0, 5),
        "negative_sample_rate": st.one_of(st.integers(0, 10), st.integers(2**46, 2**64 - 1)),
        "seed": st.integers(0, 2**64 - 1),
    }
    if param in arrays_of:
        dtype, ndim, values, reinterpret = arrays_of[param]
        plain = valid_arrays(dtype, ndim, values)
        other = arrays(dtype, ndim, values, reinterpret)
    elif param in in_range:
        plain = in_range[param]
        other = integer_like(in_range[param])
    else:
        plain = st.floats()
        other = real_like()
    return weighted((5, plain), (2, other), (1, JUNK))


KEYWORDS = st.one_of(
    st.sampled_from(PARAMS["optimize_layout"] + ("Data", "seed ", "n_clusters\x00", "", "\ud800", "a\udfffb")),
    st.text(max_size=6))


@pytest.mark.parametrize("name", ["kmeans", "optimize_layout"])
@fuzzed(1000)
@given(data=st.data())
def test_any_call(name, data, registry, panic_type):
    """Any mix of positions, keywords, missing, surplus and duplicate
    arguments of any kind: binding reports exactly what the interpreter's own
    binder reports, and whatever follows is documented and leaves the
    caller's arrays alone."""
    params = PARAMS[name]
    values = [data.draw(any_argument(name, p), label=p) for p in params]
    n_positional = data.draw(st.integers(0, len(params)), label="positional")
    args = values[:n_positional]
    if rarely(data, 25):
        args += data.draw(st.lists(JUNK, min_size=1, max_size=2), label="surplus")
    kwargs = {}
    for param, value in zip(params[n_positional:], values[n_positional:]):
        if not rarely(data, 60):  # now and then one is missing
            kwargs[param] = value
    if n_positional and rarely(data, 25):
        kwargs[data.draw(st.sampled_from(params[:n_positional]), label="duplicate")] = values[0]
    if rarely(data, 25):
        for key in data.draw(st.lists(KEYWORDS, min_size=1, max_size=2), label="keywords"):
            kwargs.setdefault(key, None)
    order = data.draw(st.permutations(list(kwargs)), label="keyword order")
    kwargs = {key: kwargs[key] for key in order}

    binding_error = expected_binding_error(name, args, kwargs)
    with caller_arrays_untouched(registry, arrays_in(args, kwargs)):
        got = outcome(FUNCTIONS[name], args, kwargs)
    note(f"outcome: {got[:3]}")
    if binding_error is not None:
        event("binding error: " + re.sub(r"'.*", "", got[2])[:60])
        assert got[:2] == ("raised", TypeError)
        assert binding_error == got[2] or binding_error.startswith(got[2] + "."), (binding_error, got[2])
        return
    check_documented(name, got, panic_type)
    if got[0] == "returned":
        bound = dict(zip(params, args)) | kwargs
        first = bound["data" if name == "kmeans" else "embedding"]
        if name == "kmeans":
            assert got[2] == (first.shape[0],)
        else:
            assert got[2] == first.shape
            assert not np.shares_memory(got[4], first)


@st.composite
def matrices(draw, values, max_rows=9, max_cols=4):
    """Contiguous float64 matrices in either memory order, empty ones included."""
    n = draw(st.integers(0, max_rows))
    d = draw(st.integers(0, max_cols))
    matrix = np.array(draw(st.lists(values, min_size=n * d, max_size=n * d)), dtype=np.float64).reshape(n, d)
    return np.asfortranarray(matrix) if draw(st.booleans()) else matrix


@fuzzed(600)
@given(data=matrices(st.one_of(st.floats(-1e6, 1e6), EMBEDDING_VALUES)),
       n_clusters=st.one_of(st.integers(0, 9), st.integers(2**46, 2**64 - 1)),
       n_iter=st.integers(0, 12), seed=st.integers(0, 2**64 - 1))
def test_kmeans_computation(data, n_clusters, n_iter, seed, registry, panic_type):
    """Any data, NaNs and infinities included: labels in range and the same on
    a second call, or the documented fault for the shape."""
    n, d = data.shape
    with caller_arrays_untouched(registry, [data]):
        got = outcome(kmeans, (data, n_clusters, n_iter, seed), {})
    check_documented("kmeans", got, panic_type)
    if n_clusters >= 2**46 and d == 0 and n > 0 and n_iter == 0 and n * n_clusters < 2**61:
        # Nothing of size k is needed before the first assignment.
        assert got[0] == "returned" and got[2] == (n,) and not got[4].any()
    elif n_clusters >= 2**46 and (d > 0 or n > 0):
        # The centroids (k x d), the norms (k) or the n x k products cannot be had.
        assert got[0] == "raised" and (got[1] is MemoryError or got[1:] == (panic_type, "capacity overflow"))
    elif n == 0:
        assert got == ("raised", panic_type, "attempt to calculate the remainder with a divisor of zero")
    elif n_clusters == 0 and d > 0:
        assert got == ("raised", panic_type, f"range end index {d} out of range for slice of length 0")
    elif n_clusters == 0 and n_iter > 0:
        assert got == ("raised", panic_type, "chunk_size must not be zero")
    else:
        assert got[0] == "returned" and got[2] == (n,)
        labels = np.frombuffer(got[3], dtype=np.int64)
        assert ((labels >= 0) & (labels < max(n_clusters, 1))).all()
        assert same(outcome(kmeans, (data, n_clusters, n_iter, seed), {}), got)


@fuzzed(600)
@given(embedding=matrices(EMBEDDING_VALUES, max_rows=6),
       edges=st.integers(0, 7).flatmap(lambda m: st.tuples(
           st.lists(EDGE_INDEX_VALUES, min_size=m, max_size=m + 1),
           st.lists(EDGE_INDEX_VALUES, min_size=max(0, m - 1), max_size=m + 1),
           st.lists(PERIOD_VALUES, min_size=m, max_size=m))),
       n_epochs=st.integers(0, 6), a=st.floats(), b=st.one_of(st.just(1.0), st.floats()),
       gamma=st.floats(), rate=st.one_of(st.integers(0, 10), st.integers(2**46, 2**64 - 1)),
       alpha=st.floats(), seed=st.integers(0, 2**64 - 1))
def test_layout_computation(embedding, edges, n_epochs, a, b, gamma, rate, alpha, seed, registry, panic_type):
    """Any edge list and scalars, out-of-range vertices, short edge arrays and
    non-finite values included: a result of the embedding's shape, bitwise the
    same on a second call, or one of the documented faults."""
    head, tail, periods = (np.array(v, dtype=t) for v, t in zip(edges, (np.int64, np.int64, np.float64)))
    args = (embedding, head, tail, periods, n_epochs, a, b, gamma, rate, alpha, seed)
    with caller_arrays_untouched(registry, [embedding, head, tail, periods]):
        got = outcome(optimize_layout, args, {})
    check_documented("optimize_layout", got, panic_type)
    if got[0] == "raised":
        assert got[1] is panic_type, got
        return
    assert got[2] == embedding.shape
    if n_epochs == 0 or len(periods) == 0:
        assert got[3] == np.ascontiguousarray(embedding).tobytes()
    assert same(outcome(optimize_layout, args, {}), got)


ABSURD_STRIDES = {
    1: [((3,), (2**62,)), ((2,), (-2**63,)), ((2**40,), (2**23,)), ((3,), (-2**62,))],
    2: [((3, 2), (2**62, 8)), ((2, 3), (8, -2**62)), ((2**20, 2**20), (2**43, 8)), ((2, 2), (-2**63, 8))],
}


@pytest.mark.parametrize("name, param, dtype, ndim", [p[:4] for p in ARRAY_PARAMETERS],
                         ids=[f"{p[0]}-{p[1]}" for p in ARRAY_PARAMETERS])
def test_made_up_strides_are_refused_unread(name, param, dtype, ndim, registry):
    """Views whose strides reach far beyond any memory (as_strided makes
    them): refused by the contiguity test, never read, and their registry
    keys computed without overflow."""
    memory = np.zeros(4, dtype=dtype)
    for shape, strides in ABSURD_STRIDES[ndim]:
        view = np.lib.stride_tricks.as_strided(memory, shape=shape, strides=strides)
        base = kmeans_base() if name == "kmeans" else layout_base()
        got = outcome(FUNCTIONS[name], (), {**base, param: view})
        assert got == ("raised", TypeError, "The given array is not contiguous"), (shape, strides)
        assert registry.is_free(view)
    assert not memory.any()


def reshape_other_rank(array):
    array.shape = (array.size,) if array.ndim == 2 else (2, array.size // 2)


def swap_dtype(array):
    array.dtype = np.float32 if array.dtype.kind == "f" else np.int32


def stride_in_place(array):
    # Every row the same memory: neither C- nor Fortran-contiguous any more.
    array.strides = (0,) + array.strides[1:]


MUTATIONS = {
    "reshaped to another rank": (reshape_other_rank, "The given array changed while it was borrowed"),
    "given another dtype": (swap_dtype, "The given array changed while it was borrowed"),
    "restrided": (stride_in_place, "The given array is not contiguous"),
}


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("name, param", [p[:2] for p in ARRAY_PARAMETERS],
                         ids=[f"{p[0]}-{p[1]}" for p in ARRAY_PARAMETERS])
def test_array_changed_by_a_later_argument(name, param, mutation):
    """An argument converted after an array runs Python code that reshapes
    the array, swaps its dtype or restrides it in place: the call is refused
    before anything reads the array, whose memory stays as it was."""
    change, message = MUTATIONS[mutation]
    base = kmeans_base() if name == "kmeans" else layout_base(n_edges=6)
    array = base[param] = base[param].copy()
    before = snapshot(array)

    class Changing:
        def __index__(self):
            change(array)
            return 0

    got = outcome(FUNCTIONS[name], (), {**base, "seed": Changing()})
    assert got == ("raised", TypeError, message)
    assert snapshot(array) == before
    fresh = kmeans_base() if name == "kmeans" else layout_base(n_edges=6)
    assert outcome(FUNCTIONS[name], (), fresh)[0] == "returned"


def test_module_is_unharmed():
    """After all of the above the module still answers normally."""
    assert kmeans(np.array([[0.0], [1.0], [2.0], [10.0]]), 2, 5, 0).tolist() == [0, 0, 0, 1]
    assert tarnwick_accel.optimize_layout(np.zeros((2, 2)), np.array([0]), np.array([1]), np.ones(1),
                                          0, 1.0, 1.0, 1.0, 1, 1.0, 0).tolist() == [[0.0, 0.0]] * 2
