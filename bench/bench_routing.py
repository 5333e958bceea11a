"""Benchmark of SabreRouting.run: time per run and SWAP count.

Rows: corpus circuits (when the OpenQASM parser is present) and random
circuits of 10^3 .. 10^5 two-qubit gates, each on a line, a grid and a
heavy-hex coupling graph.  Columns: our run, the reference path
(VEXAL_REFERENCE_PATHS: the methods composed, measured up to --reference-max
gates), and Qiskit's SabreSwap with the "lookahead" and "decay"
heuristics (one trial, fixed seed, DAG conversion included) when Qiskit is
installed.  Our run counts its best of --repeat runs.

    PYTHONPATH=build/<name>/pkg python bench/bench_routing.py [--max-gates N] [--reference-max N] [--repeat N]
        [--corpus DIR]
"""

import argparse
import math
import random
import sys
import time

import networkx as nx
from corpus import add_corpus_argument, supported_program
from timing import best_of, reference_paths

from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.routing import SabreRouting

CORPUS_FILES = [
    "large__QV_n100__100.qasm",
    "large__qft_n29__qft_n29.qasm",
    "large__multiplier_n45__multiplier_n45.qasm",
    "large__square_root_n45__square_root_n45.qasm",
    "large__ising_n66__ising_n66.qasm",
]
TWO_Q = {"cx", "cnot", "cy", "cz", "swap", "iswap", "rxx", "ryy", "rzz", "cp"}


# ---------------------------------------------------------------- graphs


def bfs_subgraph(g, n):
    """A connected subgraph of n nodes, grown breadth-first from the first node."""
    start = next(iter(g.nodes))
    nodes = [start] + [v for _, v in nx.bfs_edges(g, start)]
    if len(nodes) < n:
        raise ValueError(f"graph too small for {n} qubits")
    sub = nx.Graph(g.subgraph(nodes[:n]))
    return nx.convert_node_labels_to_integers(sub, ordering="sorted")


def heavy_hex_graph(min_nodes):
    try:
        from vexal.circuit.backend import Backend
    except ImportError:
        return None
    k = 1
    while True:
        g = Backend.heavy_hex(k, k).edge_filtered_graph(0.0)
        if g.number_of_nodes() >= min_nodes:
            return nx.Graph(g)
        k += 1


def coupling_graphs(n):
    side = math.ceil(math.sqrt(n))
    out = {"line": nx.path_graph(n), "grid": bfs_subgraph(nx.grid_2d_graph(side, side), n)}
    hh = heavy_hex_graph(n)
    if hh is not None:
        out["heavy-hex"] = bfs_subgraph(hh, n)
    return out


# ---------------------------------------------------------------- circuits


def random_circuit(nqubits, n2q, seed):
    rng = random.Random(seed)
    gates = []
    qubits = list(range(nqubits))
    while n2q:
        if rng.random() < 0.7:
            a, b = rng.sample(qubits, 2)
            gates.append(("cx", a, b))
            n2q -= 1
        else:
            gates.append(("h", rng.choice(qubits)))
    qc = QuantumCircuit(nqubits, nqubits)
    qc.qubits = qubits
    qc.gates = gates
    return qc


def corpus_circuits(corpus):
    out = []
    try:
        from vexal.circuit.decompose import ThreeQubitGateDecompose
    except ImportError:
        ThreeQubitGateDecompose = None
    for f in CORPUS_FILES:
        path = supported_program(corpus, f)
        try:
            with open(path) as fh:
                qc = QuantumCircuit().from_openqasm2(fh.read())
        except Exception as e:  # parser not there yet, or a gate it does not take
            print(f"# skipped {f}: {type(e).__name__}: {e}", file=sys.stderr)
            continue
        if ThreeQubitGateDecompose is not None:
            qc = ThreeQubitGateDecompose().run(qc)
        out.append((f.split("__")[1], qc))
    return out


# ---------------------------------------------------------------- runners


def time_ours(cls, qc, g, heuristic, repeat):
    def once():
        random.seed(1)
        return cls(nx.Graph(g), iterations=1, heuristic=heuristic).run(qc)

    dt, out = best_of(once, repeat)
    return dt, sum(1 for x in out.gates if x[0] == "swap") - sum(1 for x in qc.gates if x[0] == "swap")


def qiskit_runner():
    try:
        from qiskit import QuantumCircuit as QQC
        from qiskit.converters import circuit_to_dag
        from qiskit.transpiler import CouplingMap
        from qiskit.transpiler.passes import SabreSwap
    except ImportError:
        return None

    def to_qiskit(qc):
        q = QQC(max(qc.qubits) + 1)
        for rec in qc.gates:
            name = {"cnot": "cx", "u3": "u"}.get(rec[0], rec[0])
            if name == "barrier":
                q.barrier(*rec[1])
            elif name in ("measure", "delay", "reset"):
                continue
            else:
                getattr(q, name)(*rec[1:])
        return q

    def run(qc, g, heuristic):
        q = to_qiskit(qc)
        cmap = CouplingMap([list(e) for e in g.edges] + [[b, a] for a, b in g.edges])
        t = time.perf_counter()
        dag = circuit_to_dag(q)
        out = SabreSwap(cmap, heuristic=heuristic, seed=1, trials=1).run(dag)
        dt = time.perf_counter() - t
        return dt, out.count_ops().get("swap", 0) - q.count_ops().get("swap", 0)

    return run


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--max-gates", type=int, default=100000)
    ap.add_argument("--reference-max", type=int, default=1000)
    ap.add_argument("--no-corpus", action="store_true")
    ap.add_argument("--repeat", type=int, default=3, help="runs of ours per row; the best time counts")
    add_corpus_argument(ap)
    args = ap.parse_args()
    qiskit = qiskit_runner()

    rows = []
    if not args.no_corpus:
        for name, qc in corpus_circuits(args.corpus):
            n = len(qc.qubits)
            qc.qubits = sorted(qc.qubits)
            for gname, g in coupling_graphs(n).items():
                rows.append((name, gname, qc, g))
    for n2q in (1000, 10000, 100000):
        if n2q > args.max_gates:
            break
        for gname, g in coupling_graphs(64).items():
            rows.append((f"random {n2q}", gname, random_circuit(g.number_of_nodes(), n2q, n2q), g))

    head = f"{'circuit':<18} {'graph':<9} {'2q gates':>8} | {'ours s':>8} {'swaps':>6} | {'ref s':>8} {'x':>6}"
    if qiskit:
        head += f" | {'qk-look s':>9} {'swaps':>6} {'qk-decay s':>10} {'swaps':>6}"
    print(head)
    print("-" * len(head))
    for name, gname, qc, g in rows:
        # the qubits must be the graph's size: relabel the circuit onto 0..n-1
        n2q = sum(1 for x in qc.gates if x[0] in TWO_Q)
        t, s = time_ours(SabreRouting, qc, g, "lookahead_decay", args.repeat)
        line = f"{name:<18} {gname:<9} {n2q:>8} | {t:>8.3f} {s:>6}"
        if n2q <= args.reference_max:
            with reference_paths():
                tp, sp = time_ours(SabreRouting, qc, g, "lookahead_decay", 1)
            line += f" | {tp:>8.3f} {tp / t:>6.1f}" + ("" if sp == s else " (swaps differ!)")
        else:
            line += f" | {'-':>8} {'-':>6}"
        if qiskit:
            tl, sl = qiskit(qc, g, "lookahead")
            td, sd = qiskit(qc, g, "decay")
            line += f" | {tl:>9.3f} {sl:>6} {td:>10.3f} {sd:>6}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
