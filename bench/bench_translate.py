"""Benchmark of ThreeQubitGateDecompose.run and TranslateToBasisGates.run.

Random circuits of 10^4 .. 10^6 gates over 20 qubits (all one-qubit,
one-qubit parameter, two-qubit and two-qubit parameter gates, plus ccx /
ccz / cswap for the three-qubit pass).  For each size: seconds for
qc.deepcopy() alone (every pass makes one), then seconds and input gates
per second of each pass in each mode, and the output length.

    PYTHONPATH=build/<name>/pkg python bench/bench_translate.py [--max-gates N]
"""

import argparse
import math
import random

from timing import best_of

from vexal.circuit.decompose import ThreeQubitGateDecompose
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.translate import TranslateToBasisGates

ONE = ["x", "y", "z", "s", "sdg", "t", "tdg", "h", "sx", "sxdg"]
ONE_P = ["rx", "ry", "rz", "p"]
TWO = ["cx", "cz", "cy", "swap", "iswap"]
TWO_P = ["rxx", "ryy", "rzz", "cp"]


def random_circuit(n, count, three, seed):
    rng = random.Random(seed)
    gates = []
    for _ in range(count):
        k = rng.random()
        a, b, c = rng.sample(range(n), 3)
        if three and k < 0.05:
            gates.append((rng.choice(["ccx", "ccz", "cswap"]), a, b, c))
        elif k < 0.35:
            gates.append((rng.choice(ONE), a))
        elif k < 0.55:
            gates.append((rng.choice(ONE_P), rng.uniform(-math.pi, math.pi), a))
        elif k < 0.6:
            gates.append(("u", rng.random(), rng.random(), rng.random(), a))
        elif k < 0.85:
            gates.append((rng.choice(TWO), a, b))
        else:
            gates.append((rng.choice(TWO_P), rng.uniform(-math.pi, math.pi), a, b))
    qc = QuantumCircuit(n, n)
    qc.gates = gates
    return qc


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--max-gates", type=int, default=10**6)
    args = ap.parse_args()
    sizes = [s for s in (10**4, 10**5, 10**6) if s <= args.max_gates]
    modes = [("3q-decompose", None)] + [
        (f"translate {b}{' +u' if f else ''}", TranslateToBasisGates(f, b))
        for b in ("cz", "cx", "iswap")
        for f in (True, False)
    ]
    print(f"{'gates':>8} {'pass':<20} {'deepcopy s':>11} {'pass s':>9} {'gates/s':>12} {'out gates':>10}")
    for n in sizes:
        repeat = 3 if n <= 10**5 else 1
        qc3 = random_circuit(20, n, True, 1)
        qc = random_circuit(20, n, False, 2)
        for label, p in modes:
            src = qc3 if p is None else qc
            t_copy, _ = best_of(src.deepcopy, repeat)
            run = ThreeQubitGateDecompose().run if p is None else p.run
            t, out = best_of(lambda: run(src), repeat)
            print(f"{n:>8} {label:<20} {t_copy:>11.3f} {t:>9.3f} {n / t:>12,.0f} {len(out.gates):>10}")


if __name__ == "__main__":
    main()
