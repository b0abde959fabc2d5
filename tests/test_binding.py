"""The call frame: argument binding, scalar conversion, wrapping of
conversion errors, and faults surfacing as PanicException."""

import math
import operator
import re
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from tarnwick_accel import kmeans, optimize_layout

from helpers import kmeans_data, layout_args

X = kmeans_data()
L = layout_args()
LAYOUT_POSITIONAL = tuple(L.values())
KMEANS_NAMES = "'data', 'n_clusters', 'n_iter', and 'seed'"
LAYOUT_NAMES = ("'embedding', 'head', 'tail', 'epochs_per_sample', 'n_epochs', 'a', 'b', "
                "'gamma', 'negative_sample_rate', 'initial_alpha', and 'seed'")


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    """Raises the given exception from both numeric hooks."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


class TypeErrorSubclass(TypeError):
    pass


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize(
    "function, args, kwargs, message",
    [
        (kmeans, (), {}, f"kmeans() missing 4 required positional arguments: {KMEANS_NAMES}"),
        (kmeans, (X, 3), {}, "kmeans() missing 2 required positional arguments: 'n_iter' and 'seed'"),
        (kmeans, (X, 3, 10), {}, "kmeans() missing 1 required positional argument: 'seed'"),
        (kmeans, (X,), {"seed": 0},
         "kmeans() missing 2 required positional arguments: 'n_clusters' and 'n_iter'"),
        (kmeans, (), {"n_iter": 10},
         "kmeans() missing 3 required positional arguments: 'data', 'n_clusters', and 'seed'"),
        # Binding comes before any conversion.
        (kmeans, ([[1.0]], "x"), {}, "kmeans() missing 2 required positional arguments: 'n_iter' and 'seed'"),
        (kmeans, (X, 3, 10, 0, 1), {}, "kmeans() takes 4 positional arguments but 5 were given"),
        (kmeans, (X, 3, 10, 0, 1, 2, 3), {"foo": 1},
         "kmeans() takes 4 positional arguments but 7 were given"),
        (kmeans, (X, 3, 10, 0), {"n_iter": 5}, "kmeans() got multiple values for argument 'n_iter'"),
        (kmeans, (X,), {"data": X}, "kmeans() got multiple values for argument 'data'"),
        (kmeans, (X, 3, 10), {"foo": 1, "bar": 2}, "kmeans() got an unexpected keyword argument 'foo'"),
        (kmeans, (X, 3, 10), {"bar": 2, "foo": 1}, "kmeans() got an unexpected keyword argument 'bar'"),
        (kmeans, (X, 3), {"foo": 1, "n_iter": 5}, "kmeans() got an unexpected keyword argument 'foo'"),
        (kmeans, (X, 3, 10), {"n_clusters": 2, "foo": 1},
         "kmeans() got multiple values for argument 'n_clusters'"),
        (kmeans, (X, 3, 10), {"Seed": 0}, "kmeans() got an unexpected keyword argument 'Seed'"),
        # Names are compared byte for byte, length included.
        (kmeans, (X, 3, 10), {"seed\x00": 0}, "kmeans() got an unexpected keyword argument 'seed\x00'"),
        (kmeans, (X, 3, 10), {"see": 0}, "kmeans() got an unexpected keyword argument 'see'"),
        # A key without UTF-8 text is shown with replacement characters.
        (kmeans, (X, 3, 10), {"\udc80": 0},
         "kmeans() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        (optimize_layout, (), {}, f"optimize_layout() missing 11 required positional arguments: {LAYOUT_NAMES}"),
        (optimize_layout, LAYOUT_POSITIONAL[:10], {},
         "optimize_layout() missing 1 required positional argument: 'seed'"),
        (optimize_layout, LAYOUT_POSITIONAL + (1,), {},
         "optimize_layout() takes 11 positional arguments but 12 were given"),
        (optimize_layout, LAYOUT_POSITIONAL, {"alpha": 1.0},
         "optimize_layout() got an unexpected keyword argument 'alpha'"),
    ],
)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((X, 3, 10), {"seed": 0}),
        ((), {"seed": 0, "n_iter": 10, "n_clusters": 3, "data": X}),
        ((X,), {"n_iter": 10, "seed": 0, "n_clusters": 3}),
    ],
)
def test_keywords_bind_like_positions(args, kwargs):
    np.testing.assert_array_equal(kmeans(*args, **kwargs), kmeans(X, 3, 10, 0))


def test_layout_keywords_bind_like_positions():
    mixed = dict(list(L.items())[4:])
    np.testing.assert_array_equal(
        optimize_layout(*LAYOUT_POSITIONAL[:4], **mixed), optimize_layout(*LAYOUT_POSITIONAL)
    )
    np.testing.assert_array_equal(optimize_layout(**L), optimize_layout(*LAYOUT_POSITIONAL))


# ---------------------------------------------------------------- integers


@pytest.mark.parametrize(
    "value", [3, np.int64(3), np.uint8(3), IndexOnly(3), type("Int", (int,), {})(3)]
)
def test_integer_forms(value):
    np.testing.assert_array_equal(kmeans(X, value, 10, 0), kmeans(X, 3, 10, 0))


def test_bool_is_an_integer():
    np.testing.assert_array_equal(kmeans(X, True, 10, 0), np.zeros(len(X), dtype=np.int64))


@pytest.mark.parametrize("seed", [2**64 - 1, IndexOnly(2**64 - 1), np.uint64(2**64 - 1)])
def test_largest_integer_is_a_value(seed):
    # 2**64 - 1 is also the conversion's error value: only a set error counts.
    labels = kmeans(X, 3, 10, seed)
    np.testing.assert_array_equal(labels, kmeans(X, 3, 10, 2**64 - 1))
    optimize_layout(**{**L, "seed": seed, "negative_sample_rate": seed})


def _interpreter_index_message(value):
    with pytest.raises(TypeError) as info:
        operator.index(value)
    return str(info.value)


@pytest.mark.parametrize("function, name", [(kmeans, "n_clusters"), (kmeans, "n_iter"), (kmeans, "seed"),
                                            (optimize_layout, "n_epochs"),
                                            (optimize_layout, "negative_sample_rate"),
                                            (optimize_layout, "seed")])
@pytest.mark.parametrize("value", [3.0, "3", None, IndexOnly("3"), np.float64(3.0)])
def test_non_integer_is_named(function, name, value):
    kwargs = {"data": X, "n_clusters": 3, "n_iter": 10, "seed": 0} if function is kmeans else dict(L)
    kwargs[name] = value
    with pytest.raises(TypeError) as info:
        function(**kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {_interpreter_index_message(value)}"


@pytest.mark.parametrize("value", [-1, 2**64, np.int64(-1), IndexOnly(-5), IndexOnly(2**70), False - 1])
@pytest.mark.parametrize("name", ["n_clusters", "n_iter", "seed"])
def test_out_of_range_integer_is_not_named(name, value):
    kwargs = {"data": X, "n_clusters": 3, "n_iter": 10, "seed": 0, name: value}
    with pytest.raises(OverflowError) as info:
        kmeans(**kwargs)
    assert "argument" not in str(info.value) and name not in str(info.value)


# ---------------------------------------------------------------- reals


def _layout(**changes):
    return optimize_layout(**{**L, "n_epochs": 5, **changes})


@pytest.mark.parametrize(
    "value",
    [1, True, np.int64(1), np.float32(1.0), Fraction(1), Decimal(1), IndexOnly(1), FloatOnly(1.0)],
)
@pytest.mark.parametrize("name", ["a", "b", "gamma", "initial_alpha"])
def test_real_forms(name, value):
    np.testing.assert_array_equal(_layout(**{name: value}), _layout(**{name: 1.0}))


@pytest.mark.parametrize("name", ["a", "b", "gamma", "initial_alpha"])
def test_reals_keep_double_precision(name):
    base = L[name] if name in L else 1.0
    assert not np.array_equal(_layout(**{name: base + base * 2**-40}), _layout(**{name: base}))


@pytest.mark.parametrize("value", [-1.0, -1, 0.0, math.nan, math.inf, -math.inf, 1e308, 5e-324])
def test_every_double_is_accepted(value):
    # -1.0 is also the conversion's error value.
    result = optimize_layout(**{**L, "a": value, "b": value, "gamma": value, "initial_alpha": value})
    assert result.shape == L["embedding"].shape


def _interpreter_float_message(value):
    with pytest.raises(TypeError) as info:
        math.sqrt(value)  # the same conversion the module uses
    return str(info.value)


@pytest.mark.parametrize("value", ["1", None, object(), [1.0], FloatOnly("1.0")])
@pytest.mark.parametrize("name", ["a", "b", "gamma", "initial_alpha"])
def test_non_real_is_named(name, value):
    with pytest.raises(TypeError) as info:
        optimize_layout(**{**L, name: value})
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {_interpreter_float_message(value)}"


@pytest.mark.parametrize("value", [10**400, IndexOnly(10**400)])
def test_real_overflow_is_not_named(value):
    with pytest.raises(OverflowError) as info:
        optimize_layout(**{**L, "gamma": value})
    assert "gamma" not in str(info.value)


# ------------------------------------------------- errors from the argument


@pytest.mark.parametrize("name", ["n_clusters", "a"])
@pytest.mark.parametrize(
    "exc, wrapped",
    [
        (TypeError("bad value"), True),
        (ValueError("bad value"), False),
        (TypeErrorSubclass("bad value"), False),
        (KeyError("bad value"), False),
    ],
)
def test_errors_raised_by_the_argument(name, exc, wrapped):
    function, kwargs = (kmeans, {"data": X, "n_clusters": 3, "n_iter": 1, "seed": 0}) \
        if name == "n_clusters" else (optimize_layout, dict(L))
    kwargs[name] = Raising(exc)
    with pytest.raises(BaseException) as info:
        function(**kwargs)
    if wrapped:
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument '{name}': bad value"
        assert info.value is not exc
    else:
        assert info.value is exc


def test_wrapped_error_keeps_the_cause():
    cause = ValueError("root")
    error = TypeError("outer")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        kmeans(X, Raising(error), 1, 0)
    assert str(info.value) == "argument 'n_clusters': outer"
    assert info.value.__cause__ is cause


def test_unprintable_error_text(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as info:
        kmeans(X, Raising(TypeError(Unprintable())), 1, 0)
    assert str(info.value) == "argument 'n_clusters': <unprintable TypeError object>"
    assert len(reported) == 1 and isinstance(reported[0].exc_value, RuntimeError)


def test_error_text_with_lone_surrogates():
    with pytest.raises(TypeError) as info:
        kmeans(X, Raising(TypeError("x\udc80y")), 1, 0)
    assert str(info.value) == "argument 'n_clusters': x\ufffd\ufffd\ufffdy"


@pytest.mark.parametrize(
    "changes, exc_type, fragment",
    [
        ({"head": [0], "n_epochs": -1}, TypeError, "argument 'head'"),
        ({"n_epochs": -1, "a": "x"}, OverflowError, "negative"),
        ({"a": "x", "seed": -1}, TypeError, "argument 'a'"),
        ({"embedding": None, "head": None}, TypeError, "argument 'embedding'"),
        ({"initial_alpha": None, "seed": 1.5}, TypeError, "argument 'initial_alpha'"),
    ],
)
def test_first_failing_argument_in_order_wins(changes, exc_type, fragment):
    with pytest.raises(exc_type, match=re.escape(fragment)):
        optimize_layout(**{**L, **changes})


# ---------------------------------------------------------------- faults

FAULTS = [
    (lambda: kmeans(np.zeros((0, 3)), 2, 5, 0), "attempt to calculate the remainder with a divisor of zero"),
    (lambda: optimize_layout(**{**layout_args(n=2), "head": np.array([5, 0]), "n_epochs": 3}),
     "index out of bounds: the len is 4 but the index is 10"),
]


@pytest.mark.parametrize("call, text", FAULTS)
def test_fault_becomes_panic_exception(call, text, panic_type, capfd):
    capfd.readouterr()
    try:
        call()
    except Exception:  # noqa: BLE001
        pytest.fail("a fault must not be catchable as Exception")
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic_type
        assert str(exc) == text
        assert exc.args == (text,)
    else:
        pytest.fail("no fault")
    err = capfd.readouterr().err
    assert re.search(r"tarnwick_accel: fault on thread '[^'\n]*' at [^\n]+:\d+:\n" + re.escape(text) + "\n", err)
    # The interpreter and the module stay usable.
    np.testing.assert_array_equal(kmeans(X, 3, 10, 0), kmeans(X, 3, 10, 0))


def test_panic_from_called_python_code_resumes(panic_type, capfd):
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        kmeans(X, Raising(panic_type("raised in __index__")), 1, 0)
    assert info.value.args == ("raised in __index__",)
    err = capfd.readouterr().err
    assert ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n") in err
    assert "raised in __index__" in err.split("Python stack trace below:\n", 1)[1]
