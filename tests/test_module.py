"""Module initialisation: what an import produces, re-imports, imports from
another interpreter, and the PanicException type."""

import importlib
import inspect
import shutil
import subprocess
import sys
import types

import numpy as np
import pytest

import tarnwick_accel

from helpers import MODULE_DIR, run_python, run_python_json

SUBINTERPRETER_MESSAGE = (
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support"
)

OPTIMIZE_LAYOUT_SIGNATURE = (
    "(embedding, head, tail, epochs_per_sample, n_epochs, a, b, gamma, "
    "negative_sample_rate, initial_alpha, seed)"
)
OPTIMIZE_LAYOUT_DOC = (
    "Optimise `embedding` in place-style (a copy is returned) with the attract/repel SGD.\n"
    "\n"
    "Mirrors `optimize_layout` in the pure-numpy path, but does the true in-place walk."
)
KMEANS_SIGNATURE = "(data, n_clusters, n_iter, seed)"
KMEANS_DOC = (
    "k-means (k-means++ seed + Lloyd), the compiled counterpart of `clustering.kmeans`.\n"
    "\n"
    "The assignment step is the O(n*k*d) wall. It's computed as a single GEMM\n"
    "`G = X @ centroids\u1d40` via matrixmultiply's SIMD kernel (nearest centroid = argmin over\n"
    "`\u2016c\u2016\u00b2 \u2212 2\u00b7G[i,\u00b7]`, since `\u2016x\u2016\u00b2` is constant per row), "
    "then argmin parallelised over rows with\n"
    "rayon. All in f32 for SIMD width \u2014 clustering tolerates it. Deterministic given `seed` (not\n"
    "identical to the numpy path: different init RNG and f32). Returns the `(n,)` integer labels."
)


def test_module_namespace():
    assert tarnwick_accel.__all__ == ["optimize_layout", "kmeans"]
    assert tarnwick_accel.__doc__ == ""
    assert not hasattr(tarnwick_accel, "PanicException")
    public = {name for name in vars(tarnwick_accel) if not name.startswith("__")}
    assert public == {"optimize_layout", "kmeans"}


@pytest.mark.parametrize(
    "name, signature, doc, doc_bytes",
    [
        ("optimize_layout", OPTIMIZE_LAYOUT_SIGNATURE, OPTIMIZE_LAYOUT_DOC, 296),
        ("kmeans", KMEANS_SIGNATURE, KMEANS_DOC, 582),
    ],
)
def test_function_objects(name, signature, doc, doc_bytes):
    function = getattr(tarnwick_accel, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "tarnwick_accel"
    assert function.__self__ is tarnwick_accel
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in inspect.signature(function).parameters.values())
    assert function.__doc__ == doc
    # The registered docstring, signature block included, byte for byte.
    registered = f"{name}{signature}\n--\n\n{function.__doc__}".encode()
    assert len(registered) == doc_bytes


def test_reimport_returns_the_same_module():
    original = sys.modules.pop("tarnwick_accel")
    try:
        again = importlib.import_module("tarnwick_accel")
        assert again is original
        assert again.__all__ == ["optimize_layout", "kmeans"]
        assert importlib.reload(again) is original
        assert original.__all__ == ["optimize_layout", "kmeans"]
    finally:
        sys.modules["tarnwick_accel"] = original


def test_import_does_not_need_numpy():
    # With NumPy unimportable the import and binding errors still work; the
    # first array conversion faults, and works once NumPy can be imported.
    result = run_python_json(
        """
        import json, sys
        sys.modules["numpy"] = None
        import tarnwick_accel
        out = {}
        try:
            tarnwick_accel.kmeans()
        except TypeError as exc:
            out["binding"] = str(exc)
        try:
            tarnwick_accel.kmeans([[1.0]], 1, 1, 0)
        except BaseException as exc:
            out["first"] = [type(exc).__name__, str(exc)]
        del sys.modules["numpy"]
        import numpy
        out["retry"] = tarnwick_accel.kmeans(numpy.ones((2, 2)), 1, 1, 0).tolist()
        print(json.dumps(out))
        """
    )
    assert result["binding"].startswith("kmeans() missing 4 required positional arguments")
    kind, text = result["first"]
    assert kind == "PanicException"
    assert text.startswith("Failed to access NumPy array API capsule: ModuleNotFoundError: ")
    assert result["retry"] == [0, 0]


def test_plain_import_leaves_numpy_unloaded():
    proc = run_python("import sys, tarnwick_accel; print('numpy' in sys.modules)")
    assert proc.stdout.strip() == "False"


def _subinterpreter_module():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    pytest.skip("no sub-interpreter support module in this Python")


@pytest.mark.parametrize("first", ["main", "sub"])
def test_second_interpreter_is_refused(first):
    subinterpreters = _subinterpreter_module().__name__
    if first == "sub" and sys.version_info >= (3, 12):
        pytest.skip("3.12+ refuses single-phase modules in sub-interpreters on its own")
    result = run_python_json(
        f"""
        import json, sys, tempfile, {subinterpreters} as si

        def import_in_main():
            try:
                import tarnwick_accel
                return "ok"
            except ImportError as exc:
                return "ImportError: " + str(exc)

        module_dir = {MODULE_DIR!r}
        with tempfile.NamedTemporaryFile("r", suffix=".txt") as out:
            code = (
                "import sys\\n"
                f"sys.path.insert(0, {{module_dir!r}})\\n"
                "try:\\n"
                "    import tarnwick_accel\\n"
                "    r = 'ok'\\n"
                "except ImportError as exc:\\n"
                "    r = 'ImportError: ' + str(exc)\\n"
                f"open({{out.name!r}}, 'w').write(r)\\n"
            )
            main = import_in_main() if {first!r} == "main" else None
            interp = si.create()
            si.run_string(interp, code)
            si.destroy(interp)
            sub = open(out.name).read()
            if main is None:
                main = import_in_main()
        print(json.dumps({{"main": main, "sub": sub}}))
        """
    )
    refused = "ImportError: " + SUBINTERPRETER_MESSAGE
    if first == "main":
        assert result["main"] == "ok"
        if sys.version_info >= (3, 12):
            # Newer interpreters may refuse the single-phase module themselves.
            assert result["sub"].startswith("ImportError: ")
        else:
            assert result["sub"] == refused
    else:
        # The first interpreter to initialise stays bound, even once it is gone.
        assert result["sub"] == "ok"
        assert result["main"] == refused


def test_panic_exception_type(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__.startswith("\n") and panic_type.__doc__.endswith("\n")
    assert "BaseException" in panic_type.__doc__
    assert "pyo3_runtime" not in sys.modules


def test_panic_exception_is_one_type_per_process(panic_type):
    with pytest.raises(BaseException) as first:
        tarnwick_accel.kmeans(np.zeros((0, 3)), 2, 1, 0)
    with pytest.raises(BaseException) as second:
        tarnwick_accel.kmeans(np.zeros((0, 1)), 1, 5, 1)
    assert type(first.value) is type(second.value) is panic_type


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", tarnwick_accel.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert symbols == {"PyInit_tarnwick_accel"}


def test_needs_nothing_but_libc_at_run_time():
    # The C++ runtime is linked in; nothing else may be needed.
    ldd = shutil.which("ldd")
    if ldd is None:
        pytest.skip("ldd is not available")
    listing = subprocess.run([ldd, tarnwick_accel.__file__], capture_output=True, text=True,
                             check=True).stdout
    needed = {line.split()[0] for line in listing.splitlines() if line.strip()}
    # Before glibc 2.34 (the release wheels target 2.17) threads and dlsym
    # live in libraries of their own, parts of the C library all the same.
    allowed = ("linux-vdso.so", "libc.so", "libm.so", "libpthread.so", "libdl.so", "ld-linux",
               "/lib64/ld-linux")
    assert all(name.startswith(allowed) for name in needed), needed
