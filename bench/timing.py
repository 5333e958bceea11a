"""Timing helpers shared by the benchmark scripts."""

import contextlib
import gc
import io
import time


def best_of(fn, repeat, clock=time.perf_counter):
    """The least wall time (or time by `clock`, such as time.process_time for
    the CPU time of this process) of `repeat` calls of fn() and the last
    result.

    Printed output is swallowed; the collector runs before each call so one
    call's garbage is not charged to the next.
    """
    best, out = float("inf"), None
    for _ in range(repeat):
        out = None
        gc.collect()
        t0 = clock()
        with contextlib.redirect_stdout(io.StringIO()):
            out = fn()
        best = min(best, clock() - t0)
    return best, out


@contextlib.contextmanager
def reference_paths():
    """Every call inside takes its reference path, as with
    VEXAL_REFERENCE_PATHS=1 (the package's switch, set for the duration)."""
    import vexal.circuit as package

    before = package._reference_paths
    package._reference_paths = True
    try:
        yield
    finally:
        package._reference_paths = before
