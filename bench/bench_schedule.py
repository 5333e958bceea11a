"""Benchmark of DynamicalDecoupling.run beside qc2dag + dag2qc on the same circuit.

Rows: random circuits of 10^3 .. 10^5 gates as the road hands them to the
pass (u and cz gates on the couplers of a heavy-hex chip, then a barrier and
measures), on 27 and 127 qubits; "skewed" circuits on 127 qubits where a
fifth of the gates fall on four couplers (many layers, long idle windows on
the other qubits, so trains of many repetitions), up to --skew-max gates;
and corpus circuits routed and translated to cz and u on a heavy-hex chip.
Columns: gates in and out, the time of dag2qc(qc2dag(qc)), the time of run
(XY4, the driver's defaults) and their ratio, that ratio per gate (run per
gate out over the pair per gate in: flat when run is linear in gates plus
inserted nodes), and the reference path (VEXAL_REFERENCE_PATHS: the walk
through the methods) up to --reference-max gates.  Times are the least CPU time
of this process over --repeat calls (the machine may be shared).

Memory rows (--no-memory leaves them out): the rotation-heavy circuit of 20
qubits and 10^5 gates of bench_transpiler.py and corpus programs, on its
heavy-hex chip with the chip's gate lengths.  Each measurement is one child
process: the pass alone (its input, the road's result without decoupling, is
loaded from a pickle first) and the whole road with use_dd=True from the
program text.  Peak is the resident-memory high-water mark during the call
less what the process held before it (its imports and input); time is the
child's CPU time of the call.

    PYTHONPATH=build/<name>/pkg python bench/bench_schedule.py [--max-gates N] [--skew-max N] [--reference-max N]
        [--road N] [--no-memory] [--corpus DIR]
"""

import argparse
import contextlib
import gc
import io
import json
import os
import pickle
import random
import subprocess
import sys
import tempfile
import time

import networkx as nx
from corpus import add_corpus_argument, supported_program
from timing import best_of, reference_paths

from vexal.circuit.backend import Backend
from vexal.circuit.dag import dag2qc, qc2dag
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.schedule import DynamicalDecoupling

T1G, T2G = 3e-8, 6e-8  # the backend's default gate lengths
CORPUS_FILES = [
    "large__qft_n29__qft_n29.qasm",
    "large__multiplier_n45__multiplier_n45.qasm",
    "large__ising_n66__ising_n66.qasm",
    "large__QV_n100__100.qasm",
]


def chip(n):
    """A connected heavy-hex piece of n qubits, numbered 0..n-1."""
    k = 1
    while True:
        g = Backend.heavy_hex(k, k).edge_filtered_graph(0.0)
        if g.number_of_nodes() >= n:
            break
        k += 1
    start = min(g.nodes)
    nodes = [start] + [v for _, v in nx.bfs_edges(g, start)]
    return nx.convert_node_labels_to_integers(nx.Graph(g.subgraph(nodes[:n])))


def chip_circuit(nqubits, ngates, seed, hot=0.0):
    """u and cz gates on the chip's couplers; a share `hot` of them on the
    first four couplers only."""
    rng = random.Random(seed)
    couplers = list(chip(nqubits).edges)
    hot_couplers = couplers[:4]
    hot_qubits = sorted({q for c in hot_couplers for q in c})
    gates = []
    for _ in range(ngates):
        on_hot = hot > 0 and rng.random() < hot
        if rng.random() < 0.4:
            gates.append(("cz", *rng.choice(hot_couplers if on_hot else couplers)))
        else:
            angles = rng.random(), rng.random(), rng.random()
            gates.append(("u", *angles, rng.choice(hot_qubits) if on_hot else rng.randrange(nqubits)))
    gates += [("barrier", tuple(range(nqubits)))] + [("measure", [q], [q]) for q in range(nqubits)]
    qc = QuantumCircuit(nqubits, nqubits)
    qc.qubits, qc.gates = list(range(nqubits)), gates
    return qc


def corpus_circuits(corpus):
    from vexal.circuit.decompose import ThreeQubitGateDecompose
    from vexal.circuit.routing import SabreRouting
    from vexal.circuit.translate import TranslateToBasisGates

    out = []
    for f in CORPUS_FILES:
        try:
            with open(supported_program(corpus, f)) as fh, contextlib.redirect_stdout(io.StringIO()):
                qc = QuantumCircuit().from_openqasm2(fh.read())
                qc = ThreeQubitGateDecompose().run(qc)
                qc = SabreRouting(chip(len(qc.qubits)), iterations=1).run(qc)
                qc = TranslateToBasisGates(True, "cz").run(qc)
        except Exception as e:
            print(f"# skipped {f}: {type(e).__name__}: {e}", file=sys.stderr)
            continue
        out.append((f.split("__")[1], qc))
    return out


def road(ngates, seed=1):
    """The driver's passes at level 1 with decoupling, one after another, on
    a random circuit of `ngates` gates (cx between any two qubits, one-qubit
    gates) over the 127 qubits of a heavy-hex chip: the CPU time of each pass
    and the gates it hands on."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
    from layout_chips import eagle

    from vexal.circuit.decompose import ThreeQubitGateDecompose
    from vexal.circuit.optimize import GateCompressor
    from vexal.circuit.routing import SabreRouting
    from vexal.circuit.translate import TranslateToBasisGates

    backend = eagle(seed=seed)
    graph = backend.edge_filtered_graph(0.0)
    n = graph.number_of_nodes()
    rng = random.Random(seed)
    gates = []
    for _ in range(ngates):
        if rng.random() < 0.4:
            gates.append(("cx", *rng.sample(range(n), 2)))
        else:
            gates.append(rng.choice([("h",), ("sx",), ("rz", rng.random()), ("t",)]) + (rng.randrange(n),))
    qc = QuantumCircuit(n, n)
    qc.qubits, qc.gates = sorted(graph.nodes), gates
    lengths = backend.chip_info["global_info"]
    passes = [
        ThreeQubitGateDecompose(),
        SabreRouting(graph, "trivial", False, 5),
        TranslateToBasisGates(True, backend.two_qubit_gate_basis),
        GateCompressor(),
        DynamicalDecoupling(lengths["one_qubit_gate_length"], lengths["two_qubit_gate_length"]),
    ]
    print(f"\nThe road on a {n}-qubit heavy-hex chip, {ngates} random gates (CPU s)")
    print(f"{'pass':<26} {'gates out':>9} {'s':>8}")
    for p in passes:
        t, qc = best_of(lambda p=p, qc=qc: p.run(qc), 1, time.process_time)
        print(f"{type(p).__name__:<26} {len(qc.gates):>9} {t:>8.3f}", flush=True)


MEMORY_ROWS = [
    ("rotations q20 g100000", None),
    ("qft_n160", "large__qft_n160__qft_n160.qasm"),
    ("multiplier_n45", "large__multiplier_n45__multiplier_n45.qasm"),
]


def memory_row_text(name, corpus):
    from bench_transpiler import rotation_program

    program = dict(MEMORY_ROWS)[name]
    if program is None:
        return rotation_program(20, 10**5, seed=20)
    with open(supported_program(corpus, program)) as f:
        return f.read()


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def seeded():
    """The road draws from random and numpy: the same draws on every side."""
    import numpy as np

    random.seed(1)
    np.random.seed(1)


def measured(call):
    """(CPU seconds, peak MiB above what the process held before, result) of call()."""
    seeded()
    gc.collect()
    base = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the high-water mark starts again from here
    t0 = time.process_time()
    with contextlib.redirect_stdout(io.StringIO()):
        out = call()
    t = time.process_time() - t0
    return t, (status_kib("VmHWM") - base) / 1024, out


def memory_child(mode, name, path, corpus):
    """One measurement in this process: the pass on the pickled input at
    `path`, or the whole road with decoupling."""
    from bench_transpiler import chip

    from vexal.circuit.transpiler import Transpiler

    backend = chip("cz")
    lengths = backend.chip_info["global_info"]
    if mode == "pass":
        with open(path, "rb") as f:
            qc = pickle.load(f)
        dd = DynamicalDecoupling(lengths["one_qubit_gate_length"], lengths["two_qubit_gate_length"])
        t, peak, out = measured(lambda: dd.run(qc))
    else:
        text = memory_row_text(name, corpus)
        t, peak, out = measured(lambda: Transpiler(backend).run(text, optimize_level=1, use_dd=True))
    print(json.dumps([t, peak, len(out.gates)]))


def memory_rows(corpus):
    if not os.path.exists("/proc/self/clear_refs"):
        print("\n# memory rows skipped: no /proc/self/clear_refs on this system")
        return
    from bench_transpiler import chip

    from vexal.circuit.transpiler import Transpiler

    print("\nPeak memory (MiB above the process before the call) and CPU time, one child process each")
    head = f"{'circuit':<22} {'gates in':>8} {'out':>8} | {'pass s':>7} {'pass MiB':>8} | {'road s':>7} {'road MiB':>8}"
    print(head)
    print("-" * len(head))
    backend = chip("cz")
    for name, _ in MEMORY_ROWS:
        try:
            text = memory_row_text(name, corpus)
        except OSError as e:
            print(f"# skipped {name}: {e}", file=sys.stderr)
            continue
        seeded()
        with contextlib.redirect_stdout(io.StringIO()):
            qc = Transpiler(backend).run(text, optimize_level=1)
        with tempfile.NamedTemporaryFile(suffix=".pickle", delete=False) as f:
            pickle.dump(qc, f)
        try:
            got = {}
            for mode in ("pass", "road"):
                child = [sys.executable, os.path.abspath(__file__), "--child", mode, name, f.name, corpus or ""]
                run = subprocess.run(child, capture_output=True, text=True)
                if run.returncode:
                    raise RuntimeError(run.stderr.strip().splitlines()[-1])
                got[mode] = json.loads(run.stdout.strip().splitlines()[-1])
        except RuntimeError as e:
            print(f"{name:<22} failed: {e}")
            continue
        finally:
            os.unlink(f.name)
        (tp, mp, out), (tr, mr, _) = got["pass"], got["road"]
        print(f"{name:<22} {len(qc.gates):>8} {out:>8} | {tp:>7.3f} {mp:>8.1f} | {tr:>7.2f} {mr:>8.1f}", flush=True)


def main():
    if sys.argv[1:2] == ["--child"]:
        mode, name, path, corpus = sys.argv[2:6]
        memory_child(mode, name, path, corpus or None)
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--max-gates", type=int, default=100000)
    ap.add_argument("--skew-max", type=int, default=30000)
    ap.add_argument("--reference-max", type=int, default=10000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-corpus", action="store_true")
    ap.add_argument("--road", type=int, default=10000, help="gates of the whole-road row (0: none)")
    ap.add_argument("--no-memory", action="store_true", help="leave out the peak-memory rows")
    add_corpus_argument(ap)
    args = ap.parse_args()

    rows = []
    for n in (1000, 10000, 100000):
        if n <= args.max_gates:
            rows += [(f"random {n} q{q}", chip_circuit(q, n, n + q)) for q in (27, 127)]
    for n in (1000, 3000, 10000, 30000, 100000):
        if n <= min(args.max_gates, args.skew_max):
            rows.append((f"skewed {n} q127", chip_circuit(127, n, n, hot=0.2)))
    if not args.no_corpus:
        rows += corpus_circuits(args.corpus)

    head = (
        f"{'circuit':<20} {'gates':>7} {'out':>8} | {'pair s':>8} {'run s':>8} {'x pair':>6} {'x/gate':>6} "
        f"| {'ref s':>8} {'x run':>6}"
    )
    print(head)
    print("-" * len(head))
    for name, qc in rows:
        cpu = time.process_time
        pair, _ = best_of(lambda: dag2qc(qc2dag(qc, show_qubits=False), qc.nqubits, qc.ncbits), args.repeat, cpu)
        run, out = best_of(lambda: DynamicalDecoupling(T1G, T2G).run(qc), args.repeat, cpu)
        per_gate = (run / len(out.gates)) / (pair / len(qc.gates))
        line = f"{name:<20} {len(qc.gates):>7} {len(out.gates):>8} | {pair:>8.3f} {run:>8.3f} {run / pair:>6.2f}"
        line += f" {per_gate:>6.2f}"
        if len(qc.gates) <= args.reference_max:
            with reference_paths():
                ref, pout = best_of(lambda: DynamicalDecoupling(T1G, T2G).run(qc), 1, cpu)
            line += f" | {ref:>8.3f} {ref / run:>6.1f}" + ("" if pout.gates == out.gates else " (differs!)")
        print(line, flush=True)
    if args.road:
        road(args.road)
    if not args.no_memory:
        memory_rows(args.corpus)


if __name__ == "__main__":
    main()
