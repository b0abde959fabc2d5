"""Threads: eight Python threads calling both functions at once, with inputs
of mixed sizes and calls that fail on purpose, get exactly what serial calls
get; nothing deadlocks; and overlapping calls share the one worker pool
instead of starting threads of their own."""

import os
import random
import threading
import time

import numpy as np

from tarnwick_accel import kmeans, optimize_layout

from helpers import MODULE_DIR, kmeans_data, layout_args, run_python

THREADS = 8
ROUNDS = 3
SANITIZED = os.environ.get("TARNWICK_SANITIZED") == "1"
JOIN_SECONDS = 600 if SANITIZED else 120


class Raiser:
    def __init__(self, make):
        self.make = make

    def __index__(self):
        raise self.make()


def layout_job(n, n_epochs, seed, **changes):
    args = layout_args(n=n, dim=2, n_epochs=n_epochs, seed=seed)
    rng = np.random.default_rng(seed)
    extra = rng.integers(0, n, size=(2, 2 * n))
    args["head"] = np.concatenate([args["head"], extra[0]])
    args["tail"] = np.concatenate([args["tail"], extra[1]])
    args["epochs_per_sample"] = rng.choice([1.0, 2.0, 3.0, 5.0], size=3 * n)
    args.update(changes)
    return lambda: optimize_layout(**args)


def make_jobs(registry, panic_type, locked):
    huge = kmeans_data(n=120000, d=3, seed=4)  # beyond the seeding sample's cap
    big = kmeans_data(n=40000, d=8, seed=3)
    medium = kmeans_data(n=3000, d=4, seed=2)
    small = kmeans_data(n=60, d=2, seed=1)
    bad_head = np.full(3 * 40, 40, dtype=np.int64)
    bad_head[:40] = np.arange(40)  # in range for the first edges, then a vertex beyond the last
    return {
        "kmeans small": lambda: kmeans(small, 3, 10, 1),
        "kmeans medium": lambda: kmeans(medium, 6, 15, 2),
        "kmeans big": lambda: kmeans(big, 8, 10, 3),
        "kmeans big, other seed": lambda: kmeans(big, 5, 10, 4),
        "kmeans beyond the sample cap": lambda: kmeans(huge, 4, 5, 5),
        "kmeans no rows": lambda: kmeans(np.zeros((0, 4)), 3, 10, 0),
        "kmeans no clusters": lambda: kmeans(medium, 0, 10, 0),
        "kmeans capacity overflow": lambda: kmeans(medium, 2**61, 10, 0),
        "kmeans float32 data": lambda: kmeans(small.astype(np.float32), 3, 10, 0),
        "kmeans strided data": lambda: kmeans(medium[:, ::2], 3, 10, 0),
        "kmeans __index__ raises": lambda: kmeans(small, Raiser(lambda: ValueError("bad")), 10, 0),
        "kmeans __index__ raises PanicException": lambda: kmeans(small, 3, Raiser(lambda: panic_type("py")), 0),
        "kmeans borrowed for writing": lambda: kmeans(locked, 3, 10, 0),
        "layout small": layout_job(30, 40, 1),
        "layout big": layout_job(1000, 60, 2),
        "layout b = 1": layout_job(200, 50, 3, b=1.0),
        "layout vertex out of range": layout_job(40, 30, 4, head=bad_head),
        "layout too many negative samples": layout_job(50, 10, 5, epochs_per_sample=np.full(150, 1e-12)),
        "layout negative n_epochs": layout_job(20, -1, 6),
        "layout borrowed for writing": layout_job(20, 10, 7, embedding=locked[:20]),
    }


def outcome(job):
    try:
        result = job()
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return (type(exc), str(exc))
    return (result.dtype.str, result.shape, result.tobytes())


def task_count():
    return len(os.listdir("/proc/self/task"))


def settled_task_count(most, seconds=5.0):
    """The task count once joined threads have left the kernel's list too (a
    joined thread may take a moment to finish exiting)."""
    deadline = time.monotonic() + seconds
    while task_count() > most and time.monotonic() < deadline:
        time.sleep(0.01)
    return task_count()


def test_eight_threads_agree_with_serial_calls(registry, panic_type):
    locked = kmeans_data(n=300, d=4, seed=9)
    assert registry.acquire_write(locked) == 0  # another extension writes to it all along
    try:
        jobs = make_jobs(registry, panic_type, locked)
        serial = {name: outcome(job) for name, job in jobs.items()}
        assert serial["kmeans borrowed for writing"][1].endswith("AlreadyBorrowed")
        assert serial["layout vertex out of range"][0] is panic_type

        baseline = task_count()  # the pool exists by now: the serial calls used it
        results = [dict() for _ in range(THREADS)]
        failures = []
        start = threading.Barrier(THREADS + 1, timeout=60)
        most_tasks = [0]
        stop_watch = threading.Event()

        def work(i):
            try:
                start.wait()
                order = list(jobs) * ROUNDS
                random.Random(i).shuffle(order)
                for name in order:
                    results[i].setdefault(name, []).append(outcome(jobs[name]))
            except BaseException as exc:  # noqa: BLE001
                failures.append(exc)

        def watch():
            while not stop_watch.wait(0.005):
                most_tasks[0] = max(most_tasks[0], task_count())

        threads = [threading.Thread(target=work, args=(i,), name=f"caller-{i}") for i in range(THREADS)]
        watcher = threading.Thread(target=watch, name="watcher")
        for thread in threads + [watcher]:
            thread.start()
        start.wait()
        for thread in threads:
            thread.join(JOIN_SECONDS)
        stop_watch.set()
        watcher.join(JOIN_SECONDS)
        assert not any(t.is_alive() for t in threads + [watcher]), "a call never returned: deadlock"
        assert not failures, failures

        for i in range(THREADS):
            for name, got in results[i].items():
                assert got == [serial[name]] * ROUNDS, f"thread {i}, {name}"
        # The callers and the watcher, and not one thread more: every call
        # used the existing pool.
        assert most_tasks[0] <= baseline + THREADS + 1
        assert settled_task_count(baseline) <= baseline
    finally:
        registry.release_write(locked)
    # Every refused call gave back what it held: once the other extension is
    # done, the same calls go through.
    assert registry.is_free(locked)
    assert outcome(jobs["kmeans borrowed for writing"])[:2] == ("<i8", (len(locked),))
    assert outcome(jobs["layout borrowed for writing"])[:2] == ("<f8", (20, 4))


POOL_PROBE = """
    import os, threading
    import numpy as np
    import tarnwick_accel
    from helpers import kmeans_data

    def tasks():
        return len(os.listdir("/proc/self/task"))

    data = [kmeans_data(n=4000 + 1000 * i, d=4, seed=i) for i in range(8)]
    before = tasks()
    tarnwick_accel.kmeans(data[0], 4, 5, 0)
    with_pool = tasks()
    barrier = threading.Barrier(8)
    def call(i):
        barrier.wait()
        for _ in range(3):
            tarnwick_accel.kmeans(data[i], 4, 8, i)
    threads = [threading.Thread(target=call, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(300)
    assert not any(t.is_alive() for t in threads)
    import time
    deadline = time.monotonic() + 5  # joined threads may still be leaving the kernel's list
    while tasks() > with_pool and time.monotonic() < deadline:
        time.sleep(0.01)
    print(with_pool - before, tasks() - before)
"""


def test_overlapping_calls_share_one_pool():
    """In a fresh process with a pool of three: the first call starts exactly
    three threads and eight callers at once start none."""
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    env = {"RAYON_NUM_THREADS": "3", "PYTHONPATH": os.pathsep.join(
        filter(None, [MODULE_DIR, tests_dir, os.environ.get("PYTHONPATH")]))}
    proc = run_python(POOL_PROBE, env_extra=env)
    started, after = map(int, proc.stdout.split())
    assert (started, after) == (3, 3)
