"""Cost of a call through the interop layer against a plain nanobind function.

Builds the benchmark-only module (tools/devbuild.sh build/bench -DVEXAL_BENCH=ON)
and times the same body behind both kinds of function object.
"""

import os
import subprocess
import sys
import timeit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load():
    build = os.path.join(ROOT, "build", "bench")
    out = subprocess.run(
        [os.path.join(ROOT, "tools", "devbuild.sh"), build, "-DVEXAL_BENCH=ON"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    path = out.strip().splitlines()[-1].split("=", 1)[1]
    sys.path.insert(0, path)
    from vexal.circuit import _interop_bench

    return _interop_bench


def best(stmt, ns, number=200000, repeat=7):
    return min(timeit.repeat(stmt, globals=ns, number=number, repeat=repeat)) / number * 1e9


def main():
    b = load()
    ic, nc = b.InteropClass(), b.NanobindClass()
    ns = {"i": b.interop_func, "n": b.nanobind_func, "ic": ic, "nc": nc}
    rows = [
        ("positional (str, float)", "i('pi', 0.5)", "n('pi', 0.5)"),
        ("default used", "i('pi')", "n('pi')"),
        ("keywords", "i(expr='pi', tolerance=0.5)", "n(expr='pi', tolerance=0.5)"),
        ("int converted to float", "i('pi', 1)", "n('pi', 1)"),
        ("method call", "ic.method(0.5)", "nc.method(0.5)"),
    ]
    print("Interop call cost (ns per call, best of 7)")
    print(f"{'case':<26}{'interop':>10}{'nanobind':>10}{'ratio':>8}")
    for name, si, sn in rows:
        ti, tn = best(si, ns), best(sn, ns)
        print(f"{name:<26}{ti:>10.1f}{tn:>10.1f}{ti / tn:>8.2f}")


if __name__ == "__main__":
    main()
