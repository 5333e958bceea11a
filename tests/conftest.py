import os
import sys

import pytest

# The tests run against the installed package (pip install .) or a dev build
# (tools/devbuild.sh, then PYTHONPATH=build/dev/pkg).  Make sure the source
# tree's bare Python files never shadow the built package.
_src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != _src]

# Tests import helpers (helpers, oracle, layout_chips) from this folder;
# the asserts of helpers.py report their values as the tests' own do.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
pytest.register_assert_rewrite("helpers")

# tools/asan-test.sh sets VEXAL_SANITIZER: there the tests marked
# `not_under_sanitizer` are skipped.  They spend their time in Python (process
# pools, subprocesses, long differential loops) on C++ code that other
# tests run as well, and would only make the sanitizer run long.
SANITIZED = bool(os.environ.get("VEXAL_SANITIZER"))


def pytest_configure(config):
    config.addinivalue_line("markers", "not_under_sanitizer: skipped by the sanitizer run (tools/asan-test.sh)")


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="left out of the sanitizer run")
    for item in items:
        if item.get_closest_marker("not_under_sanitizer"):
            item.add_marker(skip)


@pytest.fixture
def fast_paths_only(monkeypatch):
    """For tests of a fast path at sizes only it affords: the reference switch
    (VEXAL_REFERENCE_PATHS) is off for them, whatever the environment says."""
    import vexal.circuit as package

    monkeypatch.setattr(package, "_reference_paths", False)
