"""Write borrows of other extensions in the same process.

First, a borrow record that another extension created before us, with real
bookkeeping (built here with ctypes, in a fresh interpreter each time): while
it holds a write borrow, our read borrow of a conflicting view is refused with
the exact fault and leaves nothing behind in its registry; a disjoint view is
granted and given back; and while our computation runs, the other extension
finds our read borrow there.

Then our own record, as other extensions use it (its four functions called
through ctypes): write borrows are granted and refused exactly by the rules
for counts, conflicts and the writeable flag.
"""

import inspect
import math
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarnwick_accel import kmeans, optimize_layout

from helpers import ALREADY_BORROWED, kmeans_data, layout_args, run_python_json

# ------------------------------------------------------------ the rules of the protocol


def owner(array):
    """The object that owns the array's memory: the first base that is no ndarray."""
    while isinstance(array.base, np.ndarray):
        array = array.base
    return id(array if array.base is None else array.base)


def key(array):
    """(start, end, data pointer, gcd of the strides) of the view."""
    data = array.__array_interface__["data"][0]
    if array.ndim == 0:
        return (data, data + array.itemsize, data, 1)
    gcd = 0
    for stride in array.strides:
        gcd = math.gcd(gcd, abs(stride))
    if 0 in array.shape:
        return (data, data, data, gcd)
    terms = [(n - 1) * s for n, s in zip(array.shape, array.strides)]
    return (data + sum(t for t in terms if t < 0), data + sum(t for t in terms if t >= 0) + array.itemsize,
            data, gcd)


def conflict(a, b):
    """Overlapping ranges whose data pointers differ by a multiple of the
    strides' gcd (or that both have no stride at all)."""
    if b[0] >= a[1] or a[0] >= b[1]:
        return False
    g = math.gcd(a[3], b[3])
    return g == 0 or abs(a[2] - b[2]) % g == 0


# The same rules on both sides of the process boundary.
RULES = "import math\nimport numpy as np\n\n\n" + "\n\n".join(
    inspect.getsource(f) for f in (owner, key, conflict))

# ------------------------------------------------------------ another extension's record

CHILD = RULES + r'''
import ctypes, importlib, json, os, threading

case = os.environ["FOREIGN_CASE"]
major = int(np.__version__.split(".")[0])
multiarray = importlib.import_module(("numpy.core" if major < 2 else "numpy._core") + ".multiarray")
NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"


class ForeignRegistry:
    """Another extension's registry: per owner, per view, a count (readers,
    or -1 for the one writer)."""

    def __init__(self):
        self.owners = {}
        self.log = []
        self.errors = []

    def acquire_read(self, array):
        views = self.owners.setdefault(owner(array), {})
        k = key(array)
        if k in views:
            if views[k] < 0:
                return -1
            views[k] += 1
            return 0
        if any(c < 0 and conflict(k, other) for other, c in views.items()):
            return -1
        views[k] = 1
        return 0

    def acquire_write(self, array):
        if not array.flags.writeable:
            return -2
        views = self.owners.setdefault(owner(array), {})
        k = key(array)
        if k in views or any(conflict(k, other) for other in views):
            return -1
        views[k] = -1
        return 0

    def release(self, array, reader):
        views = self.owners.get(owner(array), {})
        k = key(array)
        if k not in views or (views[k] > 0) != reader:
            self.errors.append(["release without a matching borrow", reader])
            return
        if reader and views[k] > 1:
            views[k] -= 1
        else:
            del views[k]

    def counts(self):
        return sorted(c for views in self.owners.values() for c in views.values())


registry = ForeignRegistry()
names = {}  # id -> the case's name for the array, for the log


def logged(kind, function):
    def call(_, pointer):
        array = ctypes.cast(pointer, ctypes.py_object).value
        try:
            result = function(array)
        except Exception as exc:  # never let a bug here read as a grant
            registry.errors.append([kind, repr(exc)])
            return -99
        registry.log.append([kind, names.get(id(array), "?"), result])
        return 0 if result is None else result
    return call


ACQUIRE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)


class Record(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p),
                ("acquire_read", ACQUIRE), ("acquire_write", ACQUIRE),
                ("release_read", RELEASE), ("release_write", RELEASE)]


callbacks = [ACQUIRE(logged("acquire_read", registry.acquire_read)),
             ACQUIRE(logged("acquire_write", registry.acquire_write)),
             RELEASE(logged("release_read", lambda a: registry.release(a, True))),
             RELEASE(logged("release_write", lambda a: registry.release(a, False)))]
record = Record(1, None, *callbacks)
capsule_name = ctypes.create_string_buffer(NAME)
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
capsule = new_capsule(ctypes.addressof(record), capsule_name, None)
setattr(multiarray, NAME.decode(), capsule)

import tarnwick_accel


def outcome(call):
    try:
        result = call()
    except BaseException as exc:
        return ["raised", type(exc).__name__, str(exc)]
    return ["returned", result.tolist()]


def name(**arrays):
    for label, array in arrays.items():
        names[id(array)] = label
    return arrays


rng = np.random.default_rng(0)
report = {}
if case == "kmeans":
    base = rng.normal(size=(40, 3))
    held = base[10:20]
    arrays = name(held=held, conflicting=base[15:25], disjoint=base[20:], whole=base)
    assert registry.acquire_write(held) == 0
    report["refused"] = [outcome(lambda: tarnwick_accel.kmeans(arrays[v], 3, 5, 0))
                         for v in ("conflicting", "whole")]
    report["counts after refusal"] = registry.counts()
    report["granted"] = outcome(lambda: tarnwick_accel.kmeans(arrays["disjoint"], 3, 5, 0))
    report["expected"] = outcome(lambda: tarnwick_accel.kmeans(base[20:].copy(), 3, 5, 0))
    report["counts after grant"] = registry.counts()
    registry.release(held, False)
    report["after release"] = outcome(lambda: tarnwick_accel.kmeans(arrays["conflicting"], 3, 5, 0))
    report["counts at the end"] = registry.counts()
elif case == "optimize_layout":
    embedding = rng.normal(size=(6, 2))
    edges = np.array([0, 1, 2, 3, 4, 5, 1, 2, 3, 4, 5, 0, 9, 9], dtype=np.int64)
    periods = np.ones(6)
    held = edges[10:]  # another extension writes the last four entries
    arrays = name(embedding=embedding, held=held, head=edges[:6], tail_conflicting=edges[6:12],
                  tail_disjoint=edges[4:10], periods=periods)

    def layout(tail):
        return lambda: tarnwick_accel.optimize_layout(embedding, arrays["head"], tail, periods, 4,
                                                      1.0, 1.0, 1.0, 2, 1.0, 0)

    assert registry.acquire_write(held) == 0
    report["refused"] = [outcome(layout(arrays["tail_conflicting"]))]
    report["counts after refusal"] = registry.counts()
    report["granted"] = outcome(layout(arrays["tail_disjoint"]))
    report["expected"] = outcome(layout(edges[4:10].copy()))
    report["counts after grant"] = registry.counts()
    registry.release(held, False)
    report["after release"] = outcome(layout(arrays["tail_conflicting"]))
    report["counts at the end"] = registry.counts()
elif case == "during the computation":
    # While our computation runs with the interpreter lock released, another
    # thread of the other extension asks for a write borrow of our input.
    data = rng.normal(size=(100000, 8))
    name(data=data)
    started = threading.Event()
    seen = []

    class Seed:
        def __index__(self):  # converted after data is borrowed
            started.set()
            return 0

    def writer():
        started.wait(60)
        seen.append(registry.acquire_write(data))
        seen.append(registry.counts())

    thread = threading.Thread(target=writer)
    thread.start()
    report["call"] = outcome(lambda: tarnwick_accel.kmeans(data, 10, 10, Seed()))[0]
    thread.join(60)
    report["seen by the writer"] = seen
    report["after the call"] = registry.acquire_write(data)
    registry.release(data, False)
    report["counts at the end"] = registry.counts()

report["log"] = registry.log
report["errors"] = registry.errors
report["capsule kept"] = getattr(multiarray, NAME.decode()) is capsule
print(json.dumps(report))
'''


def foreign(case):
    return run_python_json(CHILD, env_extra={"FOREIGN_CASE": case})


def reads(report, kind):
    return [[name, result] for k, name, result in report["log"] if k == kind]


@pytest.mark.parametrize("case, refused_views, granted_view", [
    ("kmeans", ["conflicting", "whole"], "disjoint"),
    ("optimize_layout", ["tail_conflicting"], "tail_disjoint"),
])
def test_conflicting_view_is_refused_and_disjoint_view_granted(case, refused_views, granted_view):
    report = foreign(case)
    assert report["errors"] == [] and report["capsule kept"]
    assert all(r == ["raised", "PanicException", ALREADY_BORROWED] for r in report["refused"])
    # Nothing of ours is left in the other extension's registry: only its
    # own write borrow, before and after our grant.
    assert report["counts after refusal"] == [-1]
    assert report["counts after grant"] == [-1]
    assert report["granted"][0] == "returned" and report["granted"] == report["expected"]
    # Once the other extension is done, the view that was refused goes through.
    assert report["after release"][0] == "returned"
    assert report["counts at the end"] == []

    acquired = reads(report, "acquire_read")
    for view in refused_views:
        assert [view, -1] in acquired
    assert [granted_view, 0] in acquired
    # Every read borrow granted was given back once, and no refused one was.
    granted = sorted(n for n, code in acquired if code == 0)
    released = sorted(n for n, _ in reads(report, "release_read"))
    assert granted == released


def test_our_read_borrow_is_seen_while_the_computation_runs():
    report = foreign("during the computation")
    assert report["errors"] == [] and report["call"] == "returned"
    # The other thread ran while our computation had the lock released: our
    # read borrow was in its registry, so its write borrow was refused.
    assert report["seen by the writer"] == [-1, [1]]
    assert report["after the call"] == 0
    assert report["counts at the end"] == []
    assert reads(report, "acquire_read") == [["data", 0]]
    assert reads(report, "release_read") == [["data", None]]


# ------------------------------------------------------------ our record's write borrows

BASE_LENGTH = 24


@st.composite
def views(draw, base):
    """A view of base: slices with any step, 2-D reshapes and transposes,
    other element sizes, single elements, empty views, broadcasts and
    read-only views."""
    view = base
    for _ in range(draw(st.integers(1, 4))):
        op = draw(st.sampled_from(["slice", "slice", "reshape", "transpose", "dtype", "element",
                                   "broadcast", "readonly"]))
        if op == "slice" and view.ndim:
            axis = draw(st.integers(0, view.ndim - 1))
            n = view.shape[axis]
            start = draw(st.integers(-n, n)) if n else 0
            stop = draw(st.integers(-n, n)) if n else 0
            index = [slice(None)] * view.ndim
            index[axis] = slice(start, stop, draw(st.sampled_from([1, 1, 2, 3, 5, -1, -2, -3])))
            view = view[tuple(index)]
        elif op == "reshape" and view.ndim == 1 and view.size % 2 == 0 and view.flags.c_contiguous:
            view = view.reshape(2, -1) if draw(st.booleans()) else view.reshape(-1, 2)
        elif op == "transpose" and view.ndim > 1:
            view = view.T
        elif op == "dtype" and view.ndim == 1 and view.flags.c_contiguous:
            try:
                view = view.view(draw(st.sampled_from([np.uint8, np.int16, np.float32, np.complex128])))
            except ValueError:
                pass
        elif op == "element" and view.size:
            index = tuple(draw(st.integers(0, n - 1)) for n in view.shape)
            view = view[index + (Ellipsis,)]  # a 0-d view, not a scalar
        elif op == "broadcast" and view.ndim == 1 and view.size == 1:
            view = np.broadcast_to(view, (draw(st.integers(2, 4)),))
        elif op == "readonly":
            view = view.view()
            view.setflags(write=False)
    return view


def expected_write(held, asked, count_held):
    """The rules: not writeable -2; the same view held with any count, or a
    conflicting view held with a non-zero count, -1; otherwise granted."""
    if not asked.flags.writeable:
        return -2
    if owner(held) != owner(asked):
        return 0
    return -1 if count_held and (key(held) == key(asked) or conflict(key(held), key(asked))) else 0


def expected_read(held_write, asked):
    if owner(held_write) != owner(asked):
        return 0
    return -1 if key(held_write) == key(asked) or conflict(key(held_write), key(asked)) else 0


RULE_SETTINGS = settings(max_examples=300, deadline=None, derandomize=True, database=None,
                         suppress_health_check=[HealthCheck.too_slow])


@RULE_SETTINGS
@given(data=st.data(), readers=st.integers(1, 3))
def test_write_borrow_rules(data, readers, registry):
    """Write borrows through our record, against a write or some read borrows
    already held on another view of the same memory: granted or refused
    exactly by the rules, and never granted where the two views share an
    element."""
    base = np.arange(BASE_LENGTH, dtype=np.float64)
    first = data.draw(views(base), label="held")
    second = data.draw(views(base), label="asked")
    shares = np.shares_memory(first, second, max_work=None) and first.size and second.size

    # Against a write borrow.
    if first.flags.writeable:
        assert registry.acquire_write(first) == 0
        code = registry.acquire_read(second)
        assert code == expected_read(first, second)
        assert not (shares and code == 0), "a reader beside a writer of one element"
        if code == 0:
            registry.release_read(second)
        code = registry.acquire_write(second)
        assert code == expected_write(first, second, -1)
        assert not (shares and code == 0), "two writers of one element"
        if code == 0:
            registry.release_write(second)
        registry.release_write(first)

    # Against read borrows counted on one view: refused until the last goes.
    for _ in range(readers):
        assert registry.acquire_read(first) == 0
    for remaining in range(readers, -1, -1):
        code = registry.acquire_write(second)
        assert code == expected_write(first, second, remaining)
        assert not (shares and remaining and code == 0), "a writer beside a reader of one element"
        if code == 0:
            registry.release_write(second)
        if remaining:
            registry.release_read(first)
    assert registry.is_free(base)


@pytest.mark.parametrize("make", [
    lambda b: np.broadcast_to(b[:1], (4,)),
    lambda b: b[2:6].view(),
    lambda b: b.reshape(4, 6)[:, 1],
    lambda b: b[3:4].reshape(()),
], ids=["broadcast", "read-only view", "read-only column", "read-only element"])
def test_not_writeable_comes_before_everything(make, registry):
    """A view that cannot be written gets -2 whatever is held, a conflicting
    writer included, and taking it changes nothing."""
    base = np.arange(BASE_LENGTH, dtype=np.float64)
    view = make(base)
    view.setflags(write=False)
    assert registry.acquire_write(view) == -2
    assert registry.acquire_write(base) == 0
    assert registry.acquire_write(view) == -2
    assert registry.acquire_read(view) == -1
    registry.release_write(base)
    assert registry.acquire_read(view) == 0
    assert registry.acquire_write(view) == -2
    registry.release_read(view)
    assert registry.is_free(base)


def test_write_borrow_is_refused_while_our_computation_runs(registry):
    """Another extension, on another thread while our computation has the
    interpreter lock released, cannot take a write borrow of our input;
    once the call has returned it can."""
    data = kmeans_data(n=100000, d=8)
    started = threading.Event()
    seen = []

    class Seed:
        def __index__(self):  # converted after data is borrowed
            started.set()
            return 0

    def writer():
        started.wait(60)
        seen.append(registry.acquire_write(data))
        seen.append(registry.acquire_write(data[::2]))
        seen.append(registry.acquire_read(data))
        registry.release_read(data)

    thread = threading.Thread(target=writer)
    thread.start()
    kmeans(data, 10, 10, Seed())
    thread.join(60)
    assert seen == [-1, -1, 0]
    assert registry.acquire_write(data) == 0
    registry.release_write(data)
    assert registry.is_free(data)


def test_layout_inputs_are_held_while_the_computation_runs(registry):
    args = layout_args(n=3000, n_epochs=200)
    started = threading.Event()
    seen = []

    class Seed:
        def __index__(self):
            started.set()
            return 0

    def writer():
        started.wait(60)
        seen.extend(registry.acquire_write(args[n]) for n in ("embedding", "head", "tail", "epochs_per_sample"))

    thread = threading.Thread(target=writer)
    thread.start()
    optimize_layout(**{**args, "seed": Seed()})
    thread.join(60)
    assert seen == [-1, -1, -1, -1]
    assert all(registry.is_free(args[n]) for n in ("embedding", "head", "tail", "epochs_per_sample"))
