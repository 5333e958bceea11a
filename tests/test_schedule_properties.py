"""Dynamical decoupling on circuits routed to a chip: the gates are kept, the
trains are identities, the timing holds, and the unitary is unchanged."""

import pathlib
import random

import networkx as nx
import numpy as np
import oracle
import pytest

from vexal.circuit.backend import Backend
from vexal.circuit.dag import qc2dag
from vexal.circuit.decompose import ThreeQubitGateDecompose
from vexal.circuit.gatework import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.routing import SabreRouting
from vexal.circuit.schedule import DynamicalDecoupling
from vexal.circuit.translate import TranslateToBasisGates

DATA = pathlib.Path(__file__).parent / "data" / "qasmbench" / "supported"
GRID = 0.1 * 1e-9
ONE = set(one_qubit_gates_available) | set(one_qubit_parameter_gates_available)
TWO = set(two_qubit_gates_available) | set(two_qubit_parameter_gates_available)
INSERTED = ("x", "y", "delay")


def wires(g):
    if g[0] in ("barrier", "measure"):
        return list(g[1])
    if g[0] == "delay":
        return list(g[2])
    if g[0] in ("reset",):
        return [g[1]]
    return [g[i] for i in oracle.record_qubit_positions(g)]


def chip(n):
    """A connected heavy-hex piece of n qubits, numbered 0..n-1."""
    g = Backend.heavy_hex(2, 2).edge_filtered_graph(0.0)
    start = min(g.nodes)
    nodes = [start] + [v for _, v in nx.bfs_edges(g, start)]
    return nx.convert_node_labels_to_integers(nx.Graph(g.subgraph(nodes[:n])))


def road(qc, capsys):
    """The passes before decoupling: decomposition, routing, translation to cz and u."""
    graph = chip(len(qc.qubits))
    qc = ThreeQubitGateDecompose().run(qc)
    qc = SabreRouting(graph, iterations=2).run(qc)
    qc = TranslateToBasisGates(True, "cz").run(qc)
    capsys.readouterr()
    assert not any(g[0] in INSERTED for g in qc.gates)
    return qc


def random_circuit(rng, n, size):
    gates = []
    for _ in range(size):
        a, b = rng.sample(range(n), 2)
        gates.append(rng.choice([("cx", a, b), ("h", a), ("rz", rng.random(), a), ("t", b), ("cp", 0.3, a, b)]))
    gates += [("barrier", tuple(range(n)))] + [("measure", [q], [q]) for q in range(n)]
    qc = QuantumCircuit(n, n)
    qc.qubits, qc.gates = list(range(n)), gates
    return qc


def duration(qc, t1g, t2g, align_right):
    """How long the circuit lasts layer by layer, as the pass counts its layers."""
    dag = qc2dag(qc, False)
    total = 0.0
    for layer in nx.topological_generations(dag.reverse() if align_right else dag):
        names = {n.split("_")[0] for n in layer}
        total += t2g if names & TWO else t1g if names & ONE else 0
    return total


def check_decoupled(qc, out, t1g, t2g, sequence, align_right):
    per_wire = lambda gates: {q: [g for g in gates if q in wires(g)] for q in qc.qubits}
    before, after = per_wire(qc.gates), per_wire(out.gates)
    total = duration(qc, t1g, t2g, align_right)
    for q in qc.qubits:
        # without the inserted gates each wire runs as before
        assert [g for g in after[q] if g[0] not in INSERTED] == [
            g if g[0] != "measure" else ("measure", [q], [g[2][g[1].index(q)]]) for g in before[q]
        ]
        # the pulses between two gates of the wire multiply to the identity
        trains, current = [], []
        for g in after[q] + [("end",)]:
            if g[0] in ("x", "y"):
                current.append(g[0])
            elif g[0] != "delay":
                trains.append(current)
                current = []
        for t in trains:
            m = np.eye(2, dtype=complex)
            for p in t:
                m = oracle.FIXED[p] @ m
            assert oracle.equal_up_to_phase(m, np.eye(2)), t
            assert len(t) % (4 if sequence == "XY4" else 2) == 0
        # busy plus inserted time fits the circuit, up to half a grid step per gap
        busy = sum(t1g if g[0] in ONE else t2g if g[0] in TWO else 0 for g in before[q])
        pulses = sum(g[0] in ("x", "y") for g in after[q])
        inserted = sum(g[1] for g in after[q] if g[0] == "delay") + pulses * t1g
        assert busy + inserted <= total + 0.5 * pulses * GRID + 1e-18, q


def check_unitary(qc, out):
    used = sorted({q for g in qc.gates for q in wires(g)})
    ren = {q: i for i, q in enumerate(used)}
    a = [g for g in qc.gates if g[0] not in ("measure", "barrier")]
    b = [g for g in out.gates if g[0] not in ("measure", "barrier")]
    a, b = oracle.permute_qubits(a, ren), oracle.permute_qubits(b, ren)
    if len(used) <= 5:
        oracle.assert_equivalent(a, b, len(used))
    else:
        oracle.assert_equivalent_states(a, b, len(used))


@pytest.mark.parametrize("sequence", ["XY4", "CPMG"])
def test_random_routed_circuits(sequence, capsys):
    rng = random.Random(sequence)
    for case in range(6):
        n = rng.randint(3, 7)
        qc = road(random_circuit(rng, n, rng.randint(10, 60)), capsys)
        t1g, t2g = rng.choice([(2e-8, 4e-8), (3e-8, 3.4e-7), (1.7e-8, 2.3e-8)])
        align_right = case % 2 == 0
        out = DynamicalDecoupling(t1g, t2g).run(qc, sequence=sequence, align_right=align_right)
        assert any(g[0] == "x" for g in out.gates)
        check_decoupled(qc, out, t1g, t2g, sequence, align_right)
        check_unitary(qc, out)


@pytest.mark.parametrize(
    "name",
    [
        "small__adder_n10__adder_n10.qasm",
        "small__qaoa_n6__qaoa_n6.qasm",
        "small__hhl_n7__hhl_n7.qasm",
        "small__ising_n10__ising_n10.qasm",
        "small__error_correctiond3_n5__error_correctiond3_n5.qasm",
        "small__bb84_n8__bb84_n8.qasm",
        "medium__bv_n19__bv_n19.qasm",
    ],
)
def test_corpus_circuits_on_a_chip(name, capsys):
    qc = QuantumCircuit().from_openqasm2((DATA / name).read_text())
    capsys.readouterr()
    routed = road(qc, capsys)
    for sequence, align_right in (("XY4", True), ("CPMG", False)):
        out = DynamicalDecoupling(3e-8, 6e-8).run(routed, sequence=sequence, align_right=align_right)
        check_decoupled(routed, out, 3e-8, 6e-8, sequence, align_right)
        if len(routed.qubits) <= 10:
            check_unitary(routed, out)
