"""A borrow record that another extension installed before our first array
call, built here with ctypes. Each case runs in a fresh interpreter, since
the record is looked up once per process."""

import json

import pytest

from helpers import ALREADY_BORROWED, run_python_json

# The child installs a record whose four functions log their calls and answer
# with the codes the case asks for, then runs the calls and reports.
CHILD = r"""
import ctypes, importlib, json, os
import numpy as np

case = json.loads(os.environ["PEER_CASE"])
major = int(np.__version__.split(".")[0])
multiarray = importlib.import_module(("numpy.core" if major < 2 else "numpy._core") + ".multiarray")
NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"
REGISTRY = 0x5EED

arrays = {
    "embedding": np.zeros((2, 2)),
    "head": np.array([0, 1]),
    "tail": np.array([1, 0]),
    "epochs_per_sample": np.ones(2),
}
if case.get("head_is_tail"):
    arrays["tail"] = arrays["head"]
names_by_id = {}
for name, array in arrays.items():
    names_by_id.setdefault(id(array), name)

log = []
ACQUIRE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)

def logger(kind, codes):
    def call(registry, array):
        name = names_by_id.get(array, "?")
        log.append([kind, name, registry == REGISTRY])
        return codes.get(name, 0) if codes is not None else None
    return call

class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p),
                ("acquire_read", ACQUIRE), ("acquire_write", ACQUIRE),
                ("release_read", RELEASE), ("release_write", RELEASE)]

callbacks = [ACQUIRE(logger("acquire_read", case.get("codes", {}))),
             ACQUIRE(logger("acquire_write", {})),
             RELEASE(logger("release_read", None)),
             RELEASE(logger("release_write", None))]
record = Record(case.get("version", 1), REGISTRY, *callbacks)
name = ctypes.create_string_buffer(NAME)  # the capsule keeps only the pointer
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
attribute = case.get("attribute", "capsule")
installed = new_capsule(ctypes.addressof(record), name, None) if attribute == "capsule" else 42
setattr(multiarray, NAME.decode(), installed)

import tarnwick_accel

def call():
    args = dict(arrays, n_epochs=case.get("n_epochs", 0), a=1.0, b=1.0, gamma=1.0,
                negative_sample_rate=1, initial_alpha=1.0, seed=0)
    try:
        result = tarnwick_accel.optimize_layout(**args)
        return {"ok": result.tolist()}
    except BaseException as exc:
        return {"error": [type(exc).__name__, str(exc)]}

outcomes = [call()]
if case.get("then_version") is not None:
    record.version = case["then_version"]
    outcomes.append(call())
print(json.dumps({
    "outcomes": outcomes,
    "log": log,
    "kept": getattr(multiarray, NAME.decode()) is installed,
}))
"""

ORDER = ["embedding", "head", "tail", "epochs_per_sample"]
OK = {"ok": [[0.0, 0.0], [0.0, 0.0]]}


def run_case(**case):
    return run_python_json(CHILD, env_extra={"PEER_CASE": json.dumps(case)})


def calls(result, kind):
    return [name for k, name, _ in result["log"] if k == kind]


@pytest.mark.parametrize("version", [1, 2, 2**64 - 1])
def test_peer_record_is_used_and_kept(version):
    result = run_case(version=version)
    assert result["outcomes"] == [OK]
    assert calls(result, "acquire_read") == ORDER
    assert sorted(calls(result, "release_read")) == sorted(ORDER)
    assert not calls(result, "acquire_write") and not calls(result, "release_write")
    assert all(registry_passed_back for _, _, registry_passed_back in result["log"])
    assert result["kept"]


def test_one_array_twice_takes_two_borrows():
    result = run_case(head_is_tail=True)
    assert result["outcomes"] == [OK]
    assert calls(result, "acquire_read") == ["embedding", "head", "head", "epochs_per_sample"]
    assert sorted(calls(result, "release_read")) == sorted(["embedding", "head", "head", "epochs_per_sample"])


@pytest.mark.parametrize(
    "refusing, code, message",
    [
        ("tail", -1, ALREADY_BORROWED),
        ("embedding", -1, ALREADY_BORROWED),
        ("head", 7, "Unexpected return code 7 from borrow checking API"),
        ("epochs_per_sample", -2, "Unexpected return code -2 from borrow checking API"),
    ],
)
def test_refused_read_borrow(refusing, code, message):
    result = run_case(codes={refusing: code})
    assert result["outcomes"] == [{"error": ["PanicException", message]}]
    taken = ORDER[: ORDER.index(refusing) + 1]
    assert calls(result, "acquire_read") == taken
    # Only the borrows that were granted are given back.
    assert sorted(calls(result, "release_read")) == sorted(taken[:-1])
    assert result["kept"]


def test_later_conversion_failure_gives_every_borrow_back():
    result = run_case(n_epochs=-1)
    assert result["outcomes"][0]["error"][0] == "OverflowError"
    assert calls(result, "acquire_read") == ORDER
    assert sorted(calls(result, "release_read")) == sorted(ORDER)


def test_version_zero_is_refused_until_fixed():
    result = run_case(version=0, then_version=1)
    kind, text = result["outcomes"][0]["error"]
    assert kind == "PanicException"
    assert text.startswith("Interal borrow checking API error: TypeError: Version 0")
    # A failed lookup is not cached: the next call looks again.
    assert result["outcomes"][1] == OK
    assert calls(result, "acquire_read") == ORDER
    assert result["kept"]


def test_attribute_that_is_not_a_capsule():
    result = run_case(attribute="int")
    assert result["outcomes"] == [{"error": [
        "PanicException",
        "Interal borrow checking API error: TypeError: 'int' object cannot be converted to 'PyCapsule'",
    ]}]
    assert result["kept"] and result["log"] == []
