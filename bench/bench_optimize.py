"""Benchmark of GateCompressor.run.

For each circuit: CPU seconds of qc2dag on the circuit (the DAG the pass
works on), of run, their ratio, of run the DAG way (the networkx DAG built,
merged in by the DAG tier and turned back into a circuit, as when a
module name on the way is replaced: the way run took before it could work
without the DAG), and CPU seconds of the reference path (the pass's
methods driving the merges, VEXAL_REFERENCE_PATHS set) where it finishes
within a time limit; then input and output gate counts.

Whole road: the circuit the driver hands the pass at level 1 (a random
circuit of 10^4 gates on 100 qubits, routed on a line and translated to the
cx basis: about 3.6 x 10^5 records), and the CPU seconds of the whole
Transpiler.run; with --peers, also Qiskit's transpile(...,
optimization_level=1) on the same line.

Circuits: random circuits of 10^3, 10^4 and 10^5 gates over 20 qubits (the
gate mix of bench_translate.py), random circuits followed by their inverse
(which cancel from the middle outward as far as the merge rules reach),
nested palindromes of self-inverse gates on 3 qubits, u and cz gates (what
basis translation with u gates leaves), rotation-heavy circuits on 4 qubits
(90 % one-qubit rotations, 10 % cx, as Trotter steps and variational
ansatzes are) translated to u and cx gates, so that runs of u gates merge,
and the programs of the corpus's supported/ folder that the reader takes.

    PYTHONPATH=build/<name>/pkg python bench/bench_optimize.py [--max-gates N]
        [--reference-limit SECONDS] [--corpus DIR] [--peers]
"""

import argparse
import contextlib
import io
import math
import multiprocessing
import os
import random
import time

from bench_translate import ONE_P, TWO_P, random_circuit
from corpus import add_corpus_argument, default_corpus
from timing import best_of, reference_paths

from vexal.circuit import optimize
from vexal.circuit import transpiler as driver
from vexal.circuit.dag import qc2dag
from vexal.circuit.optimize import GateCompressor
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.translate import TranslateToBasisGates

SELF_INVERSE = [("h", 1), ("x", 1), ("y", 1), ("z", 1), ("cx", 2), ("cz", 2), ("swap", 2), ("ccx", 3)]


@contextlib.contextmanager
def dag_way():
    """run as it goes when qc2dag is replaced (here by itself): through the
    networkx DAG."""
    own = optimize.qc2dag
    optimize.qc2dag = lambda qc, show_qubits=True: own(qc, show_qubits)
    try:
        yield
    finally:
        optimize.qc2dag = own


def run_dag_way(qc):
    with dag_way():
        return GateCompressor().run(qc)


def circuit(n, gates):
    qc = QuantumCircuit(n, n)
    qc.qubits = list(range(n))
    qc.gates = gates
    return qc


def random_gates(n, count, rng):
    # the gate mix of the translation benchmark
    return random_circuit(n, count, False, rng.randrange(1 << 30)).gates


INVERSE = {"s": "sdg", "sdg": "s", "t": "tdg", "tdg": "t", "sx": "sxdg", "sxdg": "sx"}


def inverse(g):
    """The gate undoing g where one gate does (else g itself)."""
    name = g[0]
    if name == "u":
        return ("u", -g[1], -g[3], -g[2], g[4])
    if name in ONE_P or name in TWO_P:
        return (name, -g[1], *g[2:])
    return (INVERSE.get(name, name), *g[1:])


def nested_palindrome(count, rng):
    """Palindromes inside palindromes: every gate cancels, innermost first."""

    def block(size):
        if size < 2:
            return []
        name, k = rng.choice(SELF_INVERSE)
        g = (name, *rng.sample(range(3), k))
        inner = rng.randint(0, size - 2)
        return [g, *block(inner), g, *block(size - 2 - inner)]

    gates = []
    while len(gates) < count:
        gates += block(min(count - len(gates), 200))
    return gates


def translated_like(n, count, rng):
    """u gates and cz gates, as basis translation with u gates leaves a
    circuit: runs of u gates on a qubit merge into one."""
    gates = []
    for _ in range(count):
        a, b = rng.sample(range(n), 2)
        if rng.random() < 0.75:
            gates.append(
                ("u", rng.uniform(0, math.pi), rng.uniform(-math.pi, math.pi), rng.uniform(-math.pi, math.pi), a)
            )
        else:
            gates.append(("cz", a, b))
    return gates


def rotation_heavy(n, count, rng):
    """90 % one-qubit rotations with random angles, 10 % cx, translated to u
    and cx gates."""
    gates = []
    for _ in range(count):
        q = rng.randrange(n)
        if rng.random() < 0.1:
            gates.append(("cx", q, rng.choice([x for x in range(n) if x != q])))
            continue
        name = rng.choice(["rx", "ry", "rz", "h", "s", "t", "sx", "u"])
        if name == "u":
            gates.append(("u", *(rng.uniform(-math.pi, math.pi) for _ in range(3)), q))
        elif name in ("rx", "ry", "rz"):
            gates.append((name, rng.uniform(-math.pi, math.pi), q))
        else:
            gates.append((name, q))
    with contextlib.redirect_stdout(io.StringIO()):
        return TranslateToBasisGates(True, "cx").run(circuit(n, gates))


def corpus_circuits(folder):
    from vexal.circuit.quantumcircuit import QuantumCircuit as QC

    supported = os.path.join(folder, "supported")
    out = []
    for name in sorted(os.listdir(supported)):
        with open(os.path.join(supported, name)) as f:
            text = f.read()
        try:
            with contextlib.redirect_stdout(io.StringIO()):  # the reader's notes on registers
                out.append((name.split("__")[1], QC().from_openqasm2(text)))
        except Exception:  # a program the reader does not take
            continue
    return out


def _reference_worker(qc, conn):
    t0 = time.process_time()
    with reference_paths():
        GateCompressor().run(qc)
    conn.send(time.process_time() - t0)


def reference_seconds(qc, limit):
    """CPU seconds of the reference path, or None when it takes longer than limit
    (wall time)."""
    parent, child = multiprocessing.Pipe(duplex=False)
    proc = multiprocessing.Process(target=_reference_worker, args=(qc, child))
    proc.start()
    proc.join(limit)
    if proc.is_alive():
        proc.terminate()
        proc.join()
        return None
    return parent.recv() if parent.poll() else None


def row(label, qc, reference_limit):
    repeat = 3 if len(qc.gates) <= 10**4 else 2
    # CPU time of this process: on a shared machine, wall time also counts
    # the other processes' turns
    t_dag, _ = best_of(lambda: qc2dag(qc), repeat, time.process_time)
    t_run, out = best_of(lambda: GateCompressor().run(qc), repeat, time.process_time)
    t_way, _ = best_of(lambda: run_dag_way(qc), repeat, time.process_time)
    reference = reference_seconds(qc, reference_limit) if reference_limit > 0 else None
    reference_text = f"{reference:>9.3f}" if reference is not None else f"{'> ' + str(int(reference_limit)):>9}"
    print(
        f"{label:<34} {len(qc.gates):>8} {t_dag:>9.3f} {t_run:>9.3f} {t_run / t_dag:>6.2f} {t_way:>9.3f} "
        f"{reference_text} {len(out.gates):>8}",
        flush=True,
    )


class Captured:
    """Stands for the pass in the driver and keeps the circuit it gets."""

    circuits = []

    def run(self, qc):
        Captured.circuits.append(qc)
        return GateCompressor().run(qc)


def whole_road(peers):
    """The circuit the driver hands the pass, and the whole transpile."""
    from bench_translate import random_circuit as translate_input

    qc = translate_input(100, 10**4, False, 3)
    qc.qubits = list(range(100))
    own = driver.GateCompressor
    driver.GateCompressor = Captured
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            driver.Transpiler().run(qc)
    finally:
        driver.GateCompressor = own
    translated = Captured.circuits[-1]
    row("driver's input: 10^4 gates 100q, line", translated, 0)
    t_all, _ = best_of(lambda: driver.Transpiler().run(qc), 2, time.process_time)
    print(f"whole Transpiler.run, level 1: {t_all:.3f} s CPU")
    if peers:
        from qiskit import QuantumCircuit as PeerCircuit
        from qiskit import transpile
        from qiskit.transpiler import CouplingMap

        peer = PeerCircuit(100)
        for g in qc.gates:
            getattr(peer, g[0])(*g[1:])
        line = CouplingMap.from_line(100)
        t_peer, _ = best_of(
            lambda: transpile(
                peer, coupling_map=line, basis_gates=["u", "cx"], optimization_level=1, seed_transpiler=1
            ),
            2,
            time.process_time,
        )
        print(f"Qiskit transpile, optimization_level=1: {t_peer:.3f} s CPU")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--max-gates", type=int, default=10**5)
    ap.add_argument("--reference-limit", type=float, default=60.0)
    ap.add_argument("--peers", action="store_true", help="also time Qiskit's transpile on the whole road")
    add_corpus_argument(ap)
    args = ap.parse_args()
    rng = random.Random(7)
    print(
        f"{'circuit':<34} {'gates':>8} {'qc2dag s':>9} {'run s':>9} {'ratio':>6} {'DAG way s':>9} {'reference s':>9} "
        f"{'out':>8}"
    )
    for n in (10**3, 10**4, 10**5):
        if n > args.max_gates:
            continue
        gates = random_gates(20, n, rng)
        row("random 20q", circuit(20, gates), args.reference_limit)
        half = random_gates(20, n // 2, rng)
        mirror = [inverse(g) for g in reversed(half)]
        row("random + its inverse 20q", circuit(20, half + mirror), args.reference_limit)
        row("nested palindromes 3q", circuit(3, nested_palindrome(n, rng)), args.reference_limit)
        row("u and cz gates 20q", circuit(20, translated_like(20, n, rng)), args.reference_limit)
        row("rotation-heavy 4q, translated", rotation_heavy(4, n, rng), args.reference_limit)
    for name, qc in corpus_circuits(args.corpus or default_corpus()):
        if len(qc.gates) <= args.max_gates:
            row(f"corpus {name}", qc, args.reference_limit)
    whole_road(args.peers)


if __name__ == "__main__":
    main()
