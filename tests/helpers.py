"""Shared pieces for the module-boundary tests: small valid inputs, the
multiarray path of the running NumPy, a ctypes view of the borrow registry
and a runner for code that needs a fresh interpreter."""

import ctypes
import importlib
import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

import tarnwick_accel

CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
MODULE_DIR = os.path.dirname(os.path.abspath(tarnwick_accel.__file__))


def multiarray_path():
    major = int(np.__version__.split(".")[0])
    return ("numpy.core" if major < 2 else "numpy._core") + ".multiarray"


def multiarray():
    return importlib.import_module(multiarray_path())


def layout_args(n=6, dim=2, n_epochs=0, seed=0):
    """Valid optimize_layout arguments as a dict, in signature order."""
    rng = np.random.default_rng(seed)
    head = np.arange(n, dtype=np.int64)
    return dict(
        embedding=rng.standard_normal((n, dim)),
        head=head,
        tail=np.roll(head, 1),
        epochs_per_sample=np.ones(n),
        n_epochs=n_epochs,
        a=1.5,
        b=0.9,
        gamma=1.0,
        negative_sample_rate=2,
        initial_alpha=1.0,
        seed=seed,
    )


def kmeans_data(n=30, d=3, seed=0):
    rng = np.random.default_rng(seed)
    centres = np.array([[0.0] * d, [10.0] * d, [-10.0] * d])
    return centres[np.arange(n) % 3] + rng.standard_normal((n, d))


class Registry:
    """Calls the four functions of the shared borrow record directly, the way
    another extension would. PYFUNCTYPE keeps the interpreter lock held, as
    the record's functions require."""

    class _Record(ctypes.Structure):
        _fields_ = [
            ("version", ctypes.c_uint64),
            ("registry", ctypes.c_void_p),
            ("acquire_read", ctypes.c_void_p),
            ("acquire_write", ctypes.c_void_p),
            ("release_read", ctypes.c_void_p),
            ("release_write", ctypes.c_void_p),
        ]

    def __init__(self):
        self.capsule = getattr(multiarray(), CAPSULE_NAME)
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        record = self._Record.from_address(get_pointer(self.capsule, CAPSULE_NAME.encode()))
        self.version = record.version
        self._registry = record.registry
        acquire = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
        release = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
        self._acquire_read = acquire(record.acquire_read)
        self._acquire_write = acquire(record.acquire_write)
        self._release_read = release(record.release_read)
        self._release_write = release(record.release_write)

    def acquire_read(self, array):
        return self._acquire_read(self._registry, array)

    def acquire_write(self, array):
        return self._acquire_write(self._registry, array)

    def release_read(self, array):
        self._release_read(self._registry, array)

    def release_write(self, array):
        self._release_write(self._registry, array)

    def is_free(self, array):
        """True when nobody holds any borrow on a conflicting view."""
        if self.acquire_write(array) != 0:
            return False
        self.release_write(array)
        return True


# Settings that a child would otherwise take over from the test run: the
# pool size and the matrix library's kernel. Children start from the
# defaults, and env_extra sets what a test needs.
CHILD_ENV_CLEARED = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def run_python(code, *, env_extra=None, check=True, timeout=60):
    """Runs code in a fresh interpreter that finds the module under test.
    Returns the CompletedProcess; with check, a non-zero exit fails loudly."""
    env = {key: value for key, value in os.environ.items() if key not in CHILD_ENV_CLEARED}
    env["PYTHONPATH"] = os.pathsep.join(p for p in (MODULE_DIR, env.get("PYTHONPATH")) if p)
    env.update(env_extra or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def run_python_json(code, **kwargs):
    """Like run_python, for code whose last stdout line is a JSON document."""
    proc = run_python(code, **kwargs)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def ticks_during(call):
    """Runs call() while another Python thread ticks about every millisecond.
    Returns the call's duration and how many ticks fell inside it: a call that
    kept the interpreter lock would leave next to none."""
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        time.sleep(0.02)
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    finally:
        done.set()
        thread.join()
    return end - start, len([t for t in ticks if start < t < end])
