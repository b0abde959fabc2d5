"""Ctrl-C during a long call: the call stops soon, frees what it held and
raises; handlers that do not raise leave the result untouched."""

import pytest

from helpers import run_python_json

# Inputs built in the child: a layout of about a minute and a kmeans of
# several seconds on this machine, and small calls with known results.
SETUP = """
import json, os, resource, signal, threading, time
import numpy as np
import tarnwick_accel as ta

rng = np.random.default_rng(0)
def layout(n, edges, epochs, seed=1):
    emb = rng.standard_normal((n, 2)) * 10
    head = rng.integers(0, n, edges)
    tail = rng.integers(0, n, edges)
    eps = rng.uniform(1.0, 3.0, edges)
    return lambda: ta.optimize_layout(emb, head, tail, eps, epochs, 1.577, 0.895, 1.0, 5, 1.0, seed)
def kmeans(n, d, k, n_iter):
    data = rng.standard_normal((n, d))
    return lambda: ta.kmeans(data, k, n_iter, 3)
LONG = {"layout": layout(200_000, 2_000_000, 500), "kmeans": kmeans(200_000, 32, 1000, 300)}
SMALL = {"layout": layout(500, 5_000, 30), "kmeans": kmeans(5_000, 4, 8, 20)}
MEDIUM = {"layout": layout(20_000, 200_000, 40), "kmeans": kmeans(100_000, 16, 200, 30)}

def signal_after(delay, signum):
    sent = []
    def fire():
        time.sleep(delay)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signum)
    threading.Thread(target=fire, daemon=True).start()
    return sent
"""


@pytest.mark.parametrize("function", ["layout", "kmeans"])
def test_ctrl_c_stops_a_long_call_and_leaves_the_process_usable(function):
    result = run_python_json(SETUP + f"""
expected = SMALL["{function}"]().tobytes()
lags, rss = [], []
for _ in range(3):
    sent = signal_after(0.3, signal.SIGINT)
    try:
        LONG["{function}"]()
        lags.append(None)
    except KeyboardInterrupt:
        lags.append(time.perf_counter() - sent[0])
    rss.append(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
print(json.dumps({{"lags": lags, "rss_kib": rss, "same": SMALL["{function}"]().tobytes() == expected}}))
""")
    print(function, "lags after SIGINT (s):", result["lags"])
    assert all(lag is not None and lag < 1.0 for lag in result["lags"]), result
    assert result["same"]
    # Buffers of stopped calls are freed: repeated stops do not grow the peak.
    assert result["rss_kib"][2] - result["rss_kib"][0] < 50_000, result


@pytest.mark.parametrize("function", ["layout", "kmeans"])
def test_handlers_that_do_not_raise_change_nothing(function):
    result = run_python_json(SETUP + f"""
quiet = MEDIUM["{function}"]().tobytes()
calls = []
signal.signal(signal.SIGUSR1, lambda *a: calls.append(1))
stop = threading.Event()
def pester():
    while not stop.wait(0.02):
        os.kill(os.getpid(), signal.SIGUSR1)
threading.Thread(target=pester, daemon=True).start()
noisy = MEDIUM["{function}"]().tobytes()
stop.set()
print(json.dumps({{"same": noisy == quiet, "handled": len(calls)}}))
""")
    assert result["same"]
    assert result["handled"] > 0


def test_calls_on_other_threads_ignore_signals():
    result = run_python_json(SETUP + """
call = SMALL["layout"]
expected = call().tobytes()
out = {}
worker = threading.Thread(target=lambda: out.setdefault("r", MEDIUM["kmeans"]()))
short = threading.Thread(target=lambda: out.setdefault("s", call().tobytes()))
worker.start(); short.start()
signal_after(0.1, signal.SIGINT)
interrupted = False
try:
    time.sleep(10)
except KeyboardInterrupt:
    interrupted = True
running = worker.is_alive()
worker.join(); short.join()
print(json.dumps({"main_interrupted": interrupted, "worker_was_running": running,
                  "worker_finished": "r" in out, "same": out["s"] == expected}))
""")
    assert result == {"main_interrupted": True, "worker_was_running": True, "worker_finished": True,
                      "same": True}
