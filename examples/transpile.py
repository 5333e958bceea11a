"""Transpile an OpenQASM 2.0 program for a linearly connected chip.

Reads examples/adder.qasm (or the file given on the command line), decomposes
its three-qubit gates, routes it with SABRE on a chain of its qubits and
rewrites it into the cx basis, printing the circuit after each step.
"""

import os
import sys

import networkx as nx

from vexal.circuit.decompose import ThreeQubitGateDecompose
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.routing import SabreRouting
from vexal.circuit.translate import TranslateToBasisGates


def show(title, qc):
    print(f"-- {title}: {len(qc.gates)} gates on qubits {qc.qubits}")
    for gate in qc.gates:
        print("  ", gate)


def main(path):
    with open(path) as f:
        qc = QuantumCircuit().from_openqasm2(f.read())
    show("input", qc)

    qc = ThreeQubitGateDecompose().run(qc)
    show("three-qubit gates decomposed", qc)

    # A chip whose qubits form a line, in the order of the circuit's qubits
    qubits = sorted(qc.qubits)
    chain = nx.Graph()
    chain.add_edges_from(zip(qubits, qubits[1:]))
    chain.graph["normal_order"] = qc.qubits
    qc = SabreRouting(chain, iterations=3).run(qc)
    show("routed", qc)

    qc = TranslateToBasisGates(convert_single_qubit_gate_to_u=False, two_qubit_gate_basis="cx").run(qc)
    show("in the cx basis", qc)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "adder.qasm"))
