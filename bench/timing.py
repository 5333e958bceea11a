"""Timing helper shared by the benchmark scripts."""

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
