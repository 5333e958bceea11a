"""Benchmark of Layout.select_layout with the default criteria.

Rows: circuits of 2 to 10 qubits on a 127-qubit heavy-hex chip and on a
10x15 grid (random fidelities, one seed); then chain circuits on complete
chips (every coupler 0.95: 8 qubits on 16, 10 on 20) and, for memory,
collect_all_subgraph_info_in_parallel(12) on a 10x10 grid; the reference
path is not run for these (it grows every order of adding a set's
qubits and would not finish).  Columns: the time of a call on a
fresh Layout, the number of candidate sets of that size, candidate sets per
second, the CPU time of the call (all threads; the machine's load shows in
the wall time, not here), the peak memory of the process that ran it (each
row in its own process), and the time of the reference path
(VEXAL_REFERENCE_PATHS, so every collection goes through the methods and
the process pools) where it finishes within --reference-limit seconds;
beyond that the reference time is extrapolated from its cost per candidate
set at the largest size measured.

    PYTHONPATH=build/<name>/pkg python bench/bench_layout.py [--sizes 2-10] [--reference-limit 60]
"""

import argparse
import contextlib
import io
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import vexal.circuit as package  # noqa: E402
from vexal.circuit.layout import Layout  # noqa: E402
from vexal.circuit.quantumcircuit import QuantumCircuit  # noqa: E402

# the rows of the second table: chip, qubits, what is timed
DENSE_ROWS = [("complete-16", 8, "select"), ("complete-20", 10, "select"), ("grid-10x10", 12, "infos")]


def chip(name):
    import networkx as nx
    from layout_chips import GraphBackend, eagle, graph_of

    from vexal.circuit.backend import Backend

    if name.startswith("complete-"):
        return GraphBackend(graph_of(list(nx.complete_graph(int(name.split("-")[1])).edges), fidelity=0.95))
    if name == "grid-10x10":
        return Backend.grid(10, 10, seed=1)
    return eagle(seed=1) if name == "heavy-hex-127" else Backend.grid(10, 15, seed=1)


def one_row(name, n, reference, what="select"):
    """Runs in its own process; prints a JSON line."""
    backend = chip(name)
    qc = QuantumCircuit(n, n)
    qc.qubits = list(range(n))
    qc.gates = [("cx", i, i + 1) for i in range(n - 1)]
    if reference:
        package._reference_paths = True  # this process runs the one row
    lay = Layout(backend)
    r0 = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        if what == "infos":
            lay.collect_all_subgraph_info_in_parallel(n)
        else:
            lay.select_layout(qc)
    elapsed = time.perf_counter() - t0
    r1 = resource.getrusage(resource.RUSAGE_SELF)
    cpu = r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime
    peak = r1.ru_maxrss / 1024
    sets = len(Layout(backend).collect_all_subgraph_in_parallel(n))
    print(json.dumps({"time": elapsed, "cpu": cpu, "sets": sets, "peak_mb": peak}))


def run_row(name, n, reference, timeout, what="select"):
    cmd = [sys.executable, __file__, "--row", name, str(n), "--what", what] + (["--reference"] if reference else [])
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, check=True).stdout
    except subprocess.TimeoutExpired:
        return None
    return json.loads(out.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", default="2-10")
    p.add_argument("--reference-limit", type=float, default=60.0)
    p.add_argument("--row", nargs=2)
    p.add_argument("--reference", action="store_true")
    p.add_argument("--what", default="select")
    args = p.parse_args()
    if args.row:
        one_row(args.row[0], int(args.row[1]), args.reference, args.what)
        return
    lo, hi = (int(x) for x in args.sizes.split("-"))
    print(f"{'chip':<14} {'n':>2} {'time s':>8} {'cpu s':>7} {'sets':>9} {'sets/s':>11} {'peak MB':>8} {'ref s':>10}")
    for name in ("heavy-hex-127", "grid-10x15"):
        per_set = None
        for n in range(lo, hi + 1):
            row = run_row(name, n, False, 600)
            reference = None
            if per_set is None or per_set * row["sets"] < args.reference_limit:
                reference = run_row(name, n, True, args.reference_limit)
            if reference is not None:
                per_set = reference["time"] / max(1, row["sets"])
                reference_text = f"{reference['time']:.2f}"
            else:
                reference_text = f"~{per_set * row['sets']:.0f}" if per_set else "-"
                per_set = per_set if per_set else None
            rate = row["sets"] / row["time"] if row["time"] > 0 else float("inf")
            print(
                f"{name:<14} {n:>2} {row['time']:>8.3f} {row['cpu']:>7.2f} {row['sets']:>9} {rate:>11.0f} "
                f"{row['peak_mb']:>8.0f} {reference_text:>10}",
                flush=True,
            )
    print(f"\n{'chip':<14} {'n':>2} {'timed':<7} {'time s':>8} {'cpu s':>7} {'sets':>9} {'peak MB':>8}")
    for name, n, what in DENSE_ROWS:
        row = run_row(name, n, False, 600, what)
        cells = f"{row['time']:>8.3f} {row['cpu']:>7.2f} {row['sets']:>9} {row['peak_mb']:>8.0f}"
        print(f"{name:<14} {n:>2} {what:<7} {cells}", flush=True)


if __name__ == "__main__":
    main()
