"""Loading another build of the module (a baseline, a build limited to one
instruction set) beside the one on the path, for the benchmarks that time
several builds in the same runs."""

import importlib.machinery
import importlib.util
from pathlib import Path


def load_module(directory):
    """The build in `directory`: an extension module is keyed by its file as
    well as its name, so it loads beside the first."""
    path = next(Path(directory).glob("tarnwick_accel*.so"))
    loader = importlib.machinery.ExtensionFileLoader("tarnwick_accel", str(path))
    spec = importlib.util.spec_from_file_location("tarnwick_accel", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
