"""Benchmark of DynamicalDecoupling.run beside qc2dag + dag2qc on the same circuit.

Rows: random circuits of 10^3 .. 10^5 gates as the road hands them to the
pass (u and cz gates on the couplers of a heavy-hex chip, then a barrier and
measures), on 27 and 127 qubits, and corpus circuits routed and translated
to cz and u on a heavy-hex chip.  Columns: gates in and out, the time of
dag2qc(qc2dag(qc)), the time of run (XY4, the driver's defaults) and their
ratio, that ratio per gate (run per gate out over the pair per gate in),
and the plain method-by-method walk (a subclass that overrides one method)
up to --plain-max gates.  Times are the best of --repeat calls.

    PYTHONPATH=build/<name>/pkg python bench/bench_schedule.py [--max-gates N] [--plain-max N] [--corpus DIR]
"""

import argparse
import contextlib
import io
import random
import sys

import networkx as nx
from corpus import add_corpus_argument, supported_program
from timing import best_of

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


class PlainDynamicalDecoupling(DynamicalDecoupling):
    """Overrides one method, so run walks through the methods."""

    def counter(self):
        return super().counter()


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


def chip_circuit(nqubits, ngates, seed):
    rng = random.Random(seed)
    couplers = list(chip(nqubits).edges)
    gates = []
    for _ in range(ngates):
        if rng.random() < 0.4:
            gates.append(("cz", *rng.choice(couplers)))
        else:
            gates.append(("u", rng.random(), rng.random(), rng.random(), rng.randrange(nqubits)))
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--max-gates", type=int, default=100000)
    ap.add_argument("--plain-max", type=int, default=10000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-corpus", action="store_true")
    add_corpus_argument(ap)
    args = ap.parse_args()

    rows = []
    for n in (1000, 10000, 100000):
        if n <= args.max_gates:
            rows += [(f"random {n} q{q}", chip_circuit(q, n, n + q)) for q in (27, 127)]
    if not args.no_corpus:
        rows += corpus_circuits(args.corpus)

    head = (
        f"{'circuit':<20} {'gates':>7} {'out':>8} | {'pair s':>8} {'run s':>8} {'x pair':>6} {'x/gate':>6} "
        f"| {'plain s':>8} {'x run':>6}"
    )
    print(head)
    print("-" * len(head))
    for name, qc in rows:
        pair, _ = best_of(lambda: dag2qc(qc2dag(qc, show_qubits=False), qc.nqubits, qc.ncbits), args.repeat)
        run, out = best_of(lambda: DynamicalDecoupling(T1G, T2G).run(qc), args.repeat)
        per_gate = (run / len(out.gates)) / (pair / len(qc.gates))
        line = f"{name:<20} {len(qc.gates):>7} {len(out.gates):>8} | {pair:>8.3f} {run:>8.3f} {run / pair:>6.2f}"
        line += f" {per_gate:>6.2f}"
        if len(qc.gates) <= args.plain_max:
            plain, pout = best_of(lambda: PlainDynamicalDecoupling(T1G, T2G).run(qc), 1)
            line += f" | {plain:>8.3f} {plain / run:>6.1f}" + ("" if pout.gates == out.gates else " (differs!)")
        print(line, flush=True)


if __name__ == "__main__":
    main()
