"""Transpile an OpenQASM 2.0 program for a 127-qubit heavy-hex chip.

Reads examples/data/qft_n18.qasm (an 18-qubit QFT from the QASMBench suite,
see examples/data/LICENSE) or the file given on the command line, describes a
chip from calibration data (qubit and coupler fidelities, gate lengths, cz
basis) and transpiles the program at optimization level 1 with dynamical
decoupling. The passes print what they decide (chosen physical qubits, the
initial, best and final mappings, SWAPs added); the example then compares the
circuit before and after and prints the first rows of its text picture.

    python examples/transpile.py [program.qasm]
"""

import os
import random
import sys
import time
from collections import Counter

import vexal.circuit.quantumcircuit as qcmod
from vexal.circuit.backend import Backend
from vexal.circuit.gatework import add_gates_to_lines
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.transpiler import Transpiler

HERE = os.path.dirname(os.path.abspath(__file__))


def heavy_hex_127(seed=7):
    """A 127-qubit heavy-hex chip with made-up but realistic calibration:
    single-qubit fidelities 99.5-99.98 %, cz fidelities 97-99.6 % with a few
    poor couplers, 35 ns single-qubit and 300 ns two-qubit gates."""
    lattice = Backend.heavy_hex(6, 3)  # 125 qubits, 6 rows of 3 hexagons
    couplers = list(lattice.couplers_fidelity)
    couplers += [(0, 125), (124, 126)]  # a pendant qubit at each free chain end
    rng = random.Random(seed)
    qubits = {q: round(rng.uniform(0.995, 0.9998), 5) for q in range(127)}
    fidelity = {}
    for a, b in couplers:
        f = rng.uniform(0.97, 0.996)
        if rng.random() < 0.04:  # a few couplers drifted out of calibration
            f = rng.uniform(0.80, 0.90)
        fidelity[(a, b)] = round(f, 4)
    return Backend(
        qubits,
        fidelity,
        two_qubit_gate_basis="cz",
        one_qubit_gate_length=3.5e-8,
        two_qubit_gate_length=3e-7,
        name="heavy-hex-127",
    )


def wires(g):
    """The qubits of one gate record (the last one, two or three entries for
    gates, the listed qubits for measure, barrier and delay)."""
    name = g[0]
    if name in ("measure", "barrier"):
        return list(g[1])
    if name == "delay":
        return list(g[2])
    if name in qcmod.three_qubit_gates_available:
        return list(g[-3:])
    if name in qcmod.two_qubit_gates_available or name in qcmod.two_qubit_parameter_gates_available:
        return list(g[-2:])
    return [g[-1]]


def depth(qc):
    """Layers of the circuit: each gate starts after the last gate on its qubits."""
    level = {}
    for g in qc.gates:
        qs = wires(g)
        top = max((level.get(q, 0) for q in qs), default=0) + 1
        for q in qs:
            level[q] = top
    return max(level.values(), default=0)


def counts(qc):
    return ", ".join(f"{name} {n}" for name, n in sorted(Counter(g[0] for g in qc.gates).items()))


def picture(qc, ngates=24, columns=150):
    """The first rows of the text picture of the circuit's first gates, on the
    wires those gates use."""
    head = qc.gates[:ngates]
    rows, used = add_gates_to_lines(qc.nqubits, qc.ncbits, head, qc.params_value)
    keep = sorted(set(used))
    return [rows[i][:columns] for i in keep[:24]]


def main(path):
    with open(path) as f:
        before = QuantumCircuit().from_openqasm2(f.read())
    chip = heavy_hex_127()
    print(f"chip {chip.name}: {len(chip.qubits)} qubits, {len(chip.couplers_fidelity)} couplers, basis cz")

    print("\n-- transpiling (level 1, dynamical decoupling)")
    start = time.perf_counter()
    after = Transpiler(chip).run(before, optimize_level=1, use_dd=True)
    elapsed = time.perf_counter() - start

    print(f"\n-- {os.path.basename(path)} transpiled in {elapsed:.2f} s")
    print(f"physical qubits used: {after.qubits}")
    print(f"before: {len(before.gates)} gates, depth {depth(before)}: {counts(before)}")
    print(f"after:  {len(after.gates)} gates, depth {depth(after)}: {counts(after)}")
    print("\n-- the first gates of the result")
    for row in picture(after):
        print(row)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "data", "qft_n18.qasm"))
