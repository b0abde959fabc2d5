"""Time one Lloyd iteration of tarnwick_accel.kmeans against scikit-learn's
KMeans(algorithm="lloyd") and faiss-cpu's Kmeans on the same float32 data.

    PYTHONPATH=build/dev python benchmarks/kmeans_vs_peers.py [--quick]
        [--threads 2] [--repeats 3] [--no-memory] [--no-peers] [--only 5,6]

Each side's time per iteration is (time for 11 iterations - time for 1) / 10,
so conversion, seeding and final bookkeeping cancel out. The sides take turns
round by round (the order rotating), each round giving each side its own
slope; the figure is the median of the rounds, the best-of-points slope
beside it, and ratios between sides are medians of the rounds' own ratios, so
that a noisy spell on a shared machine hits both terms. A side whose rounds
spread too wide is flagged rather than trusted. Ours seeds itself (k-means++
on its own stream); the peers start from scikit-learn's seeded
kmeans_plusplus centres. Starting points therefore differ, which is harmless
for a per-iteration time as long as no side stops early: the data are
overlapping Gaussian mixtures, and the run checks that every side really does
11 iterations.

Ours runs its own fused kernel (products and argmin in one pass, AVX-512,
AVX2+FMA or portable by the CPU); the peers bring their own BLAS builds,
whose kernels are reported through threadpoolctl. The machine's limits are
measured by limits_probe.cpp, compiled here with g++ -O3 for each
instruction set the CPU has: the fma peak (independent chains of vector fmas,
1 thread and the benchmark's threads; the loop is checked to keep its chains
in registers), best over probes at the start and the end of the run, and the
best streaming read on the benchmark's threads (at least 1 GiB on huge pages,
plain and prefetched loops), measured again in turn with every round, since
it moves with the host's other work. Each side's time is then printed as a
multiple of the roofline time of its shape, round by round against that
round's read: the longer of 2nkd flops at the fma peak of its instruction set
and threads, and reading the 4nd bytes of X once. Last, for information,
whole calls (seeding included) against KMeans(n_init=1, max_iter=11).fit on
float32 data.

    --baseline DIR    also times the module built in DIR, in the same runs
    --path NAME=DIR   also times a module limited to one instruction set
                      (NAME avx2 or portable), built with
                      pip install --no-deps --target DIR
                      -Ccmake.define.TARNWICK_KMEANS_PATH=NAME .

Needs numpy, scikit-learn, faiss-cpu and threadpoolctl.
"""

import argparse
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

THREADS_DEFAULT = 2


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--threads", type=int, default=THREADS_DEFAULT)
    p.add_argument("--repeats", type=int, default=5, help="interleaved rounds per timing (median)")
    p.add_argument("--quick", action="store_true", help="shapes 10x smaller in n")
    p.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    p.add_argument("--no-peers", action="store_true", help="time ours only")
    p.add_argument("--only", type=lambda v: [int(i) for i in v.split(",")], default=None,
                   metavar="I,J", help="time only these shapes (numbered from 1 in SHAPES)")
    p.add_argument("--baseline", metavar="DIR", default=None,
                   help="also time the module built in DIR, in the same runs")
    p.add_argument("--path", action="append", default=[], metavar="NAME=DIR",
                   help="also time a module built with TARNWICK_KMEANS_PATH=NAME, in DIR")
    p.add_argument("--memory-child", nargs=3, metavar=("NPY", "K", "ITERS"), help=argparse.SUPPRESS)
    return p.parse_args()


ARGS = parse_args()
# Our pool reads its size once, when first used: set it before the import.
os.environ.setdefault("RAYON_NUM_THREADS", str(ARGS.threads))

import numpy as np  # noqa: E402

import tarnwick_accel as ta  # noqa: E402
from other_build import load_module  # noqa: E402

# (n, d, k, mixture components, spread of the component centres). The
# components overlap heavily, so Lloyd keeps moving many labels for well
# past 11 iterations.
SHAPES = [
    (1_000_000, 2, 8, 40, 1.5),
    (200_000, 16, 16, 40, 0.6),
    (100_000, 64, 100, 300, 0.25),
    (60_000, 784, 10, 40, 0.06),
    # What the host package asks of us: clusters of a 2-D layout, and a fine
    # partition of mid-sized feature vectors.
    (1_000_000, 2, 50, 200, 1.5),
    (200_000, 32, 1000, 2000, 0.4),
]
ITERS = 11
SEED = 7
SAMPLE_ROWS = 100_000  # ours seeds on at most this many rows


def peak_rss_bytes():
    # VmHWM can be reset (below), so loading the input leaves no peak behind;
    # ru_maxrss is the fallback.
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def reset_peak_rss():
    try:
        Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        pass


def memory_child(npy, k, iters):
    # A fresh process: the peak before is the interpreter, numpy and the input.
    X = np.load(npy)
    reset_peak_rss()
    before = peak_rss_bytes()
    ta.kmeans(X, k, iters, SEED)
    print(before, peak_rss_bytes())


if ARGS.memory_child:
    memory_child(ARGS.memory_child[0], int(ARGS.memory_child[1]), int(ARGS.memory_child[2]))
    sys.exit(0)


def mixture(n, d, comps, spread, seed):
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=spread, size=(comps, d)).astype(np.float32)
    X = rng.standard_normal(size=(n, d), dtype=np.float32)
    X += centres[rng.integers(0, comps, size=n)]
    return X


def best_of(f, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t0)
    return best


def quartiles(values):
    """The lower quartile, the median and the upper quartile of `values`."""
    v = sorted(values)
    q = len(v) // 4
    mid = len(v) // 2
    med = v[mid] if len(v) % 2 else 0.5 * (v[mid - 1] + v[mid])
    return v[q], med, v[len(v) - 1 - q]


# Before each side's turn: the worker threads of the side before (OpenMP's,
# OpenBLAS's) spin for a while after its calls, on the same two cores.
SETTLE_S = 0.15
# Each point of a round is the less of this many calls back to back: one
# call's fixed costs (conversion, seeding, page faults) swing by more than a
# few iterations' time on a shared VM.
POINT_TRIES = 2


def per_iteration(runs, repeats, read_now=None):
    # runs: side -> run(iters), one full fit each. Every round times each
    # side's slope from points taken back to back, and the sides take turns
    # round by round, the order rotating, so that a busy spell on a shared
    # machine lands on neighbouring turns and no side always follows the same
    # one (the peers' thread pools spin for a while after their calls). The
    # figure is the median of the rounds' slopes; each side's best-of-points
    # slope, (min t[11] - min t[1]) / 10, is kept beside it, and ratios
    # between sides are medians of the rounds' ratios, so a spell that hits
    # one round hits both terms. The middle point checks the line: its two
    # halves should give the same slope. Each side's turn starts with an
    # untimed one-iteration fit, and the order of the points flips every
    # round: on this VM, memory that another side just freed can be slow to
    # fault in again, which would otherwise always land on the same point.
    # read_now, if given, measures the read bandwidth once a round, in turn
    # with the sides: it moves with the host's other work, so each round's
    # time is set against its own round's read.
    mid = (1 + ITERS) // 2
    points = (1, mid, ITERS)
    names = list(runs)
    turns = names + ([None] if read_now else [])
    t = {(side, it): [] for side in names for it in points}
    reads = []
    for rnd in range(repeats):
        for i in range(len(turns)):
            side = turns[(i + rnd) % len(turns)]
            if side is None:
                reads.append(read_now())
                continue
            time.sleep(SETTLE_S)
            runs[side](1)
            for it in points if rnd % 2 == 0 else points[::-1]:
                best = float("inf")
                for _ in range(POINT_TRIES):
                    t0 = time.perf_counter()
                    runs[side](it)
                    best = min(best, time.perf_counter() - t0)
                t[side, it].append(best)
    out = {"reads": reads}
    for side in names:
        slopes = [(b - a) / (ITERS - 1) for a, b in zip(t[side, 1], t[side, ITERS])]
        lower = quartiles([(b - a) / (mid - 1) for a, b in zip(t[side, 1], t[side, mid])])[1]
        upper = quartiles([(b - a) / (ITERS - mid) for a, b in zip(t[side, mid], t[side, ITERS])])[1]
        lo, med, hi = quartiles(slopes)
        out[side] = med
        out[side + "_slopes"] = slopes
        out[side + "_best"] = (min(t[side, ITERS]) - min(t[side, 1])) / (ITERS - 1)
        # Too wide: the rounds' middle half, or the two half-slopes, more than
        # a quarter of the median apart.
        out[side + "_spread"] = max((hi - lo), abs(lower - upper)) / med if med > 0 else float("inf")
    return out


def paired_ratio(r, a, b):
    """Median over the rounds of side a's slope over side b's."""
    return quartiles([x / y for x, y in zip(r[a + "_slopes"], r[b + "_slopes"]) if y > 0] or [float("nan")])[1]


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def blas_kernels():
    from threadpoolctl import threadpool_info

    out = []
    for lib in threadpool_info():
        if lib.get("user_api") == "blas":
            owner = Path(lib["filepath"]).parent.name.replace(".libs", "")
            out.append(f"{owner}: {lib['internal_api']} {lib.get('version')} "
                       f"kernel {lib.get('architecture')}")
    return out


def cpu_flags():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith(("flags", "Features")):
            return set(line.split(":", 1)[1].split())
    return set()


def machine_paths():
    """The instruction-set paths of this CPU, widest first: name -> (the
    probe's compiler flags, floats per vector)."""
    flags = cpu_flags()
    paths = {}
    if platform.machine() in ("x86_64", "AMD64"):
        if "avx512f" in flags:
            paths["avx512"] = (["-march=native"], 16)
        if {"avx2", "fma"} <= flags:
            paths["avx2"] = (["-march=native", "-mno-avx512f"], 8)
        paths["portable"] = (["-march=native", "-fno-tree-vectorize", "-fno-tree-slp-vectorize"], 1)
    else:
        paths["neon"] = (["-mcpu=native"], 4)
        paths["portable"] = (["-mcpu=native", "-fno-tree-vectorize", "-fno-tree-slp-vectorize"], 1)
    return paths


PATH_NAMES = {"avx512": "AVX-512", "avx2": "AVX2+FMA", "neon": "NEON", "portable": "portable (fmaf)"}


def chains_in_registers(asm):
    """Whether the probe's fma loop (the innermost loop of fma_chains) holds
    fmas and no memory operand."""
    body = asm.split("fma_chains", 1)[1].split(".cfi_endproc", 1)[0]
    loops = body.split("\n.L")
    for loop in loops[1:]:
        lines = [l.strip() for l in loop.splitlines()[1:]]
        end = next((i for i, l in enumerate(lines) if l.startswith("j")), None)
        if end is None:
            continue
        insns = [l for l in lines[:end] if l and not l.startswith(".")]
        fmas = [l for l in insns if l.startswith("vfmadd") or l.startswith("fmla")]
        if len(fmas) >= 12:
            return all("(" not in l and "[" not in l for l in insns)
    return False


class MachineLimits:
    """The machine's limits from limits_probe.cpp, compiled per path: the fma
    GFLOP/s on 1 thread and on `threads` per path, and the read GB/s on
    `threads`. Each probe() runs them again and keeps the best seen, so a busy
    spell during one probe cannot leave a limit that our kernel then beats;
    the run probes the read before every shape and both at the start and
    the end."""

    def __init__(self, threads):
        source = Path(__file__).with_name("limits_probe.cpp")
        tmp = Path(tempfile.mkdtemp(prefix="kmeans_limits_"))
        self.threads = threads
        self.exes = {}
        for name, (flags, width) in machine_paths().items():
            exe = tmp / f"probe_{name}"
            cmd = ["g++", "-std=c++20", "-O3", "-ffp-contract=fast", f"-DPROBE_WIDTH={width}", *flags,
                   "-pthread", str(source)]
            subprocess.run(cmd + ["-S", "-o", str(exe) + ".s"], check=True)
            subprocess.run(cmd + ["-o", str(exe)], check=True)
            if not chains_in_registers(Path(str(exe) + ".s").read_text()):
                print(f"  note: the {name} probe's fma chains do not stay in registers: its peak is low")
            self.exes[name] = exe
        self.peaks = {name: (0.0, 0.0) for name in self.exes}
        self.read = 0.0
        self.reads = []  # every read probe, to show how far they moved
        self.server = None

    def _run(self, exe, mode, t):
        return float(subprocess.run([str(exe), mode, str(t)], check=True, capture_output=True,
                                    text=True).stdout)

    def probe_read(self):
        got = self._run(next(iter(self.exes.values())), "read", self.threads)
        self.reads.append(got)
        self.read = max(self.read, got)

    def read_now(self):
        """One quick read probe (best of the loops once) from a process that
        keeps its buffer, for a reading beside each timed round."""
        if self.server is None:
            self.server = subprocess.Popen([str(next(iter(self.exes.values()))), "serve", str(self.threads)],
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.server.stdin.write("\n")
        self.server.stdin.flush()
        got = float(self.server.stdout.readline())
        self.read = max(self.read, got)
        return got

    def close(self):
        if self.server is not None:
            self.server.stdin.close()
            self.server.wait()
            self.server = None

    def probe(self):
        for name, exe in self.exes.items():
            one, many = self.peaks[name]
            self.peaks[name] = (max(one, self._run(exe, "fma", 1)), max(many, self._run(exe, "fma", self.threads)))
        self.probe_read()


def roofline(n, d, k, peak_gflops, read_gbs):
    """Seconds of an iteration at the machine's limits: 2nkd flops at the fma
    peak, or reading X once, whichever is longer."""
    return max(2.0 * n * k * d / (peak_gflops * 1e9), 4.0 * n * d / (read_gbs * 1e9))


def main():
    threads = int(os.environ["RAYON_NUM_THREADS"])
    chosen = [SHAPES[i - 1] for i in ARGS.only] if ARGS.only else SHAPES
    shapes = [(n // 10 if ARGS.quick else n, d, k, c, s) for n, d, k, c, s in chosen]
    peers = not ARGS.no_peers
    if peers:
        import faiss
        from sklearn.cluster import KMeans, kmeans_plusplus
        from threadpoolctl import threadpool_limits

        faiss.omp_set_num_threads(threads)

    print(f"CPU: {cpu_model()}, {os.cpu_count()} logical CPUs; threads per side: {threads}; "
          f"load average at start {os.getloadavg()[0]:.2f}")
    paths = machine_paths()
    widest = next(iter(paths))
    # Our sides: name -> (module, the instruction-set path it runs).
    sides = {"ours": (ta, widest)}
    if ARGS.baseline:
        sides["baseline"] = (load_module(ARGS.baseline), widest)
        print(f"baseline from {ARGS.baseline}")
    for given in ARGS.path:
        name, directory = given.split("=", 1)
        if name not in paths:
            sys.exit(f"--path {name}: this CPU's paths are {', '.join(paths)}")
        sides[name] = (load_module(directory), name)
        print(f"{name} path from {directory}")
    print(f"ours: fused assignment kernel, {PATH_NAMES[widest]} path")
    for extra in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if extra in os.environ:
            print(f"  note: {extra}={os.environ[extra]} is set")
    if peers:
        for line in blas_kernels():
            print(f"peer BLAS in this process: {line}")
        print("sklearn runs its Lloyd loop on scipy's OpenBLAS; faiss on its own.")
    print(f"time per iteration = (t[{ITERS} iters] - t[1 iter]) / {ITERS - 1} per round, the sides "
          f"interleaved round by round; the median of {ARGS.repeats} rounds, the best-of-points slope "
          f"beside it; peers start from sklearn kmeans_plusplus centres, ours from its own")
    limits = MachineLimits(threads)
    limits.probe()
    print_limits(limits, "at the start")
    print()

    rows = []
    tmp = tempfile.TemporaryDirectory(prefix="kmeans_bench_")
    for n, d, k, comps, spread in shapes:
        limits.probe_read()
        X32 = mixture(n, d, comps, spread, seed=n + d + k)
        X64 = X32.astype(np.float64)  # exactly the same values; ours converts back
        flops = 2.0 * n * k * d

        # Ours must not stop early: iteration 11 still moves > n/1000 labels.
        moved = int(np.count_nonzero(ta.kmeans(X64, k, ITERS - 1, SEED) != ta.kmeans(X64, k, ITERS, SEED)))
        runs = {side: (lambda it, m=module: m.kmeans(X64, k, it, SEED))
                for side, (module, _) in sides.items()}
        row = dict(shape=(n, d, k), moved=moved, flops=flops)

        if peers:
            C0, _ = kmeans_plusplus(X32, k, random_state=SEED)

            def sk(it, X=X32, C0=C0, k=k):
                with threadpool_limits(limits=threads):
                    km = KMeans(n_clusters=k, init=C0, n_init=1, max_iter=it, tol=0,
                                algorithm="lloyd").fit(X)
                return km.n_iter_

            def fa(it, X=X32, C0=C0, d=d, k=k):
                km = faiss.Kmeans(d, k, niter=it, max_points_per_centroid=1 << 30,
                                  min_points_per_centroid=1, seed=SEED, verbose=False)
                km.train(X, init_centroids=C0)
                return len(km.obj)

            row["sk_iters"] = sk(ITERS)
            row["fa_iters"] = fa(ITERS)
            runs["sklearn"] = sk
            runs["faiss"] = fa
        row.update(per_iteration(runs, ARGS.repeats, limits.read_now))
        if peers:
            C = np.ascontiguousarray(C0, dtype=np.float32)
            with threadpool_limits(limits=threads, user_api="blas"):
                row["numpy_gemm"] = best_of(lambda: X32 @ C.T, max(ARGS.repeats, 5))

            def sk_fit(X=X32, k=k):
                with threadpool_limits(limits=threads):
                    KMeans(n_clusters=k, n_init=1, max_iter=ITERS, random_state=SEED).fit(X)

            # For information only, and scikit-learn's seeding at k = 1000
            # takes half a minute: one run each.
            row["whole_ours"] = best_of(lambda: ta.kmeans(X64, k, ITERS, SEED), 1)
            if "baseline" in sides:
                row["whole_baseline"] = best_of(lambda: sides["baseline"][0].kmeans(X64, k, ITERS, SEED), 1)
            row["whole_sklearn"] = best_of(sk_fit, 1)

        if not ARGS.no_memory:
            npy = os.path.join(tmp.name, "X.npy")
            np.save(npy, X64)
            res = subprocess.run([sys.executable, __file__, "--memory-child", npy, str(k), str(ITERS)],
                                 capture_output=True, text=True, check=True, env=os.environ.copy())
            before, after = map(int, res.stdout.split())
            m = min(n, SAMPLE_ROWS)
            row["rss_growth"] = after - before
            row["needed"] = 4 * n * d + 4 * n * k + 16 * n + (4 * m * d if n > SAMPLE_ROWS else 0)
            os.remove(npy)
        rows.append(row)
        print_row(row, peers)
        del X32, X64

    print(f"load average at end {os.getloadavg()[0]:.2f} (timings are medians of interleaved rounds; a loaded "
          f"machine inflates every side)")
    print()
    limits.close()
    limits.probe()
    print_limits(limits, "best over the run")
    print(f"  read probes in turn: {', '.join(f'{g:.1f}' for g in limits.reads)} GB/s")
    for r in rows:
        n, d, k = r["shape"]
        r["roof"] = {side: roofline(n, d, k, limits.peaks[path][1], limits.read)
                     for side, (_, path) in sides.items()}
        # Each round against its own round's read, the median of those.
        r["x_roof"] = {side: quartiles([slope / roofline(n, d, k, limits.peaks[path][1], read)
                                        for slope, read in zip(r[side + "_slopes"], r["reads"])])[1]
                       for side, (_, path) in sides.items()}
    print()
    print_summary(rows, peers, limits)
    print_roofline(rows, sides, limits.peaks, threads)


def print_limits(limits, when):
    print(f"machine limits {when} (limits_probe.cpp, g++ -O3, best of 7 per probe; the read "
          f"streams at least 1 GiB on huge pages where granted, best of plain and prefetched "
          f"loops): read {limits.read:.1f} GB/s on {limits.threads} threads; fma peak GFLOP/s, "
          f"1 thread / {limits.threads} threads:")
    for name, (one, many) in limits.peaks.items():
        print(f"  {PATH_NAMES[name]:<16} {one:7.1f} / {many:7.1f}")


def fmt_ms(t):
    return f"{t * 1e3:9.2f}"


def print_row(r, peers):
    n, d, k = r["shape"]
    ok = r["moved"] > n // 1000 and (not peers or (r["sk_iters"] == ITERS and r["fa_iters"] == ITERS))
    line = (f"n={n:>9,} d={d:>3} k={k:>3}: ours {fmt_ms(r['ours'])} ms/iter; "
            f"ours moved {r['moved']:,} labels at iteration {ITERS} (> n/1000 = {n // 1000:,} needed)")
    if peers:
        line += f"; sklearn ran {r['sk_iters']}, faiss {r['fa_iters']} iterations"
    if r.get("reads"):
        line += f"; read {min(r['reads']):.1f}-{max(r['reads']):.1f} GB/s in its rounds"
    print(line + ("" if ok else "  ** SOME SIDE STOPPED EARLY: times not comparable **"))


SPREAD_LIMIT = 0.25


def noisy(r, side):
    return r[side + "_spread"] > SPREAD_LIMIT


def print_summary(rows, peers, limits):
    hdr = f"{'n':>9} {'d':>3} {'k':>3} | {'ours ms':>10}"
    if peers:
        hdr += f" {'sklearn ms':>11} {'faiss ms':>10} | {'ours/skl':>8} {'ours/faiss':>10}"
    hdr += f" | {'ours best':>9}" + (f" {'skl best':>9} {'faiss best':>10}" if peers else "")
    print("Time per Lloyd iteration, median of the rounds ('?' marks a side whose rounds' middle")
    print(f"half, or whose two half-slopes, lie more than {100 * SPREAD_LIMIT:.0f}% of the median apart: noise;")
    print("rerun or raise --repeats); ratios are medians of the rounds' own ratios; 'best' is")
    print("(min t[11] - min t[1]) / 10")
    print(hdr)
    print("-" * len(hdr))
    for r in rows:
        n, d, k = r["shape"]
        def t(side):
            return fmt_ms(r[side]) + ("?" if noisy(r, side) else " ")

        def ratio(a, b, width):
            flag = "?" if noisy(r, a) or noisy(r, b) else " "
            return f"{paired_ratio(r, a, b):{width - 1}.2f}{flag}"

        line = f"{n:>9} {d:>3} {k:>3} | {t('ours')}"
        if peers:
            line += (f" {t('sklearn'):>10} {t('faiss')} | "
                     f"{ratio('ours', 'sklearn', 8)} {ratio('ours', 'faiss', 10)}")
        line += f" | {fmt_ms(r['ours_best'])}"
        if peers:
            line += f" {fmt_ms(r['sklearn_best'])} {fmt_ms(r['faiss_best']):>10}"
        print(line)

    print()
    print("Rates per iteration: 2*n*k*d flops and the 4*n*d bytes of X over each side's")
    print("whole iteration time, and over one numpy X @ C.T of the same shape")
    hdr = f"{'n':>9} {'d':>3} {'k':>3} | {'ours GF/s':>9} {'ours GB/s':>9}"
    if peers:
        hdr += f" {'skl GF/s':>9} {'faiss GF/s':>10} | {'numpy X@C.T ms':>14} {'GF/s':>7}"
    print(hdr)
    print("-" * len(hdr))
    for r in rows:
        n, d, k = r["shape"]
        f = r["flops"]
        line = f"{n:>9} {d:>3} {k:>3} | {f / r['ours'] / 1e9:9.2f} {4 * n * d / r['ours'] / 1e9:9.2f}"
        if peers:
            line += (f" {f / r['sklearn'] / 1e9:9.2f} {f / r['faiss'] / 1e9:10.2f} | "
                     f"{fmt_ms(r['numpy_gemm']):>14} {f / r['numpy_gemm'] / 1e9:7.2f}")
        print(line)

    if peers:
        print()
        print(f"Whole calls, {ITERS} iterations, seeding included (ours from float64 data, sklearn")
        print("KMeans(n_init=1, max_iter=11).fit on float32), for information")
        base = "whole_baseline" in rows[0]
        hdr = f"{'n':>9} {'d':>3} {'k':>3} | {'ours ms':>10} {'sklearn ms':>11} {'ratio':>6}"
        hdr += f" | {'baseline ms':>11} {'ours/base':>9}" if base else ""
        print(hdr)
        print("-" * len(hdr))
        for r in rows:
            n, d, k = r["shape"]
            line = (f"{n:>9} {d:>3} {k:>3} | {fmt_ms(r['whole_ours'])}  {fmt_ms(r['whole_sklearn'])} "
                    f"{r['whole_ours'] / r['whole_sklearn']:6.2f}")
            if base:
                line += f" |   {fmt_ms(r['whole_baseline'])} {r['whole_ours'] / r['whole_baseline']:9.2f}"
            print(line)

    if "rss_growth" in rows[0]:
        print()
        print("Our peak memory beyond the float64 input (fresh process per shape, peak RSS growth)")
        print("vs the buffers of the plain algorithm: 4nd (float32 copy) + 4nk (products) + 16n")
        print("(two label arrays) + 4md (seeding sample, m = 100000, only when n > m); ours")
        print("never holds the products, so it needs less")
        hdr = f"{'n':>9} {'d':>3} {'k':>3} | {'growth MiB':>10} {'needed MiB':>10} {'ratio':>6}"
        print(hdr)
        print("-" * len(hdr))
        for r in rows:
            n, d, k = r["shape"]
            g, need = r["rss_growth"] / 2**20, r["needed"] / 2**20
            print(f"{n:>9} {d:>3} {k:>3} | {g:10.1f} {need:10.1f} {g / need:6.2f}")


def print_roofline(rows, sides, peaks, threads):
    print()
    print(f"Against the machine's limits, {threads} threads: each side's time per iteration as a")
    print("multiple of its roofline time (the longer of 2nkd flops at the fma peak of its path")
    print("and reading X once), and its flop rate as a share of that fma peak")
    print("(each round against the read measured in turn with it, the median of the rounds; '?' a")
    print("noisy side as above; a multiple below 1 or a share above")
    print("100 % cannot be: printed as '<1 !' or '>100 !', the run's noise; 'best' the best-of-points")
    print("slope's multiple)")
    names = list(sides)
    hdr = f"{'n':>9} {'d':>3} {'k':>4} |" + "".join(
        f" {s + ' ms':>13} {'x roof':>7} {'% peak':>6} {'best':>5} |" for s in names)
    if "baseline" in sides:
        hdr += f" {'ours/base':>9}"
    print("paths: " + ", ".join(f"{s} {PATH_NAMES[path]}" for s, (_, path) in sides.items()))
    print(hdr)
    print("-" * len(hdr))
    for r in rows:
        n, d, k = r["shape"]
        line = f"{n:>9} {d:>3} {k:>4} |"
        for s in names:
            flag = "?" if noisy(r, s) else " "
            share = r["flops"] / r[s] / 1e9 / peaks[sides[s][1]][1]
            multiple = r["x_roof"][s]
            roof = f"{'<1 !':>7}" if multiple < 1 else f"{multiple:6.2f}{flag}"
            peak = f"{'>100 !':>6}" if share > 1 else f"{100 * share:6.1f}"
            best = r[s + "_best"] / r["roof"][s]
            best = f"{'<1 !':>5}" if best < 1 else f"{best:5.2f}"
            line += f" {fmt_ms(r[s]):>13} {roof} {peak} {best} |"
        if "baseline" in sides:
            flag = "?" if noisy(r, "ours") or noisy(r, "baseline") else " "
            line += f" {paired_ratio(r, 'ours', 'baseline'):8.2f}{flag}"
        print(line)


if __name__ == "__main__":
    main()

