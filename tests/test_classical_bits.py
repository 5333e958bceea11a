"""Writes to one classical bit keep their order: measures of different qubits
into the same bit come out of every pass, and of the driver at every level,
in the order the circuit gave them, on the fast and on the reference path."""

import random

import networkx as nx
import oracle
import pytest
from helpers import circuit, compressor_outcome, graph_state, quiet, random_gates

import vexal.circuit as package
from vexal.circuit.backend import Backend
from vexal.circuit.dag import dag2qc, qc2dag
from vexal.circuit.decompose import ThreeQubitGateDecompose
from vexal.circuit.optimize import GateCompressor
from vexal.circuit.routing import SabreRouting
from vexal.circuit.schedule import DynamicalDecoupling
from vexal.circuit.translate import TranslateToBasisGates
from vexal.circuit.transpiler import Transpiler

# measures of one or two qubits into two bits, between gates that change
# what the qubits hold
MIX = (
    (0.35, ("h", "x", "rx", "ry", "t", "sx")),
    (0.25, ("cx", "cz", "rzz", "swap")),
    (0.05, ("ccx",)),
    (0.28, ("measure",)),
    (0.07, ("reset", "barrier")),
)


def shared_bit_circuits(seed, count):
    rng = random.Random(seed)
    for case in range(count):
        n = rng.randint(2, 4)
        # a chain first, so that no level refuses the circuit as divisible
        chain = [("cx", q, q + 1) for q in range(n - 1)]
        gates = chain + random_gates(rng, n, (4, 14), mix=MIX, angles=None, measured=(1, 2), cbits=2, mirror=0)
        yield case, circuit(n, gates, ncbits=2)


def test_the_dag_orders_the_writes_to_a_bit():
    qc = circuit(2, [("h", 1), ("measure", [1], [0]), ("x", 0), ("measure", [0], [0])], ncbits=1)
    dag = qc2dag(qc)
    assert dag.get_edge_data("measure_1_[1]", "measure_3_[0]") == {"qubit": []}
    assert dag2qc(dag).gates == [("x", 0), ("h", 1), ("measure", [1], [0]), ("measure", [0], [0])]
    oracle.assert_same_bit_distribution(qc.gates, GateCompressor().run(qc).gates)
    # a bit written from one qubit only, or each bit from its own qubit: no such edge
    for gates in ([("h", 0), ("measure", [0], [0]), ("x", 0), ("measure", [0], [0])], [("measure", [0, 1], [0, 1])]):
        assert all(d["qubit"] for *_, d in qc2dag(circuit(2, gates, ncbits=2)).edges(data=True))
    # a three-write chain is ordered link by link
    qc = circuit(3, [("measure", [0], [0]), ("measure", [1], [0]), ("measure", [2], [0])], ncbits=1)
    dag = qc2dag(qc, show_qubits=False)
    assert [(u, v) for u, v, d in dag.edges(data=True) if not d["qubit"]] == [
        ("measure_0_[0]", "measure_1_[1]"),
        ("measure_1_[1]", "measure_2_[2]"),
    ]


def test_a_bit_that_cannot_be_told_apart_is_refused():
    qc = circuit(2, [("measure", [0], [[0]])], ncbits=1)
    with pytest.raises(TypeError, match=r"classical bit must be an integer, got \[0\]"):
        qc2dag(qc)
    # integer-valued bits of other types are the same bit as the integer
    qc = circuit(2, [("measure", [0], [True]), ("measure", [1], [1.0]), ("measure", [0], [1])], ncbits=2)
    edges = [(u, v) for u, v, d in qc2dag(qc, show_qubits=False).edges(data=True) if not d["qubit"]]
    assert edges == [("measure_0_[0]", "measure_1_[1]"), ("measure_1_[1]", "measure_2_[0]")]


def both_paths(monkeypatch, run, seed=0):
    """run() on the fast paths, then on the reference paths, each after
    random.seed(seed): the two must agree."""
    monkeypatch.setattr(package, "_reference_paths", False)
    random.seed(seed)
    fast = quiet(run)
    monkeypatch.setattr(package, "_reference_paths", True)
    random.seed(seed)
    reference = quiet(run)
    assert fast[1] == reference[1]
    assert fast[0].gates == reference[0].gates
    return fast[0]


PASSES = {
    "decompose": lambda qc: ThreeQubitGateDecompose().run(qc),
    "routing": lambda qc: SabreRouting(nx.path_graph(qc.nqubits)).run(ThreeQubitGateDecompose().run(qc)),
    "translate": lambda qc: TranslateToBasisGates(True, "cz").run(ThreeQubitGateDecompose().run(qc)),
    "compression": lambda qc: GateCompressor().run(qc),
    "decoupling": lambda qc: DynamicalDecoupling(2e-8, 1e-7).run(qc, align_right=bool(qc.nqubits % 2)),
}


@pytest.mark.parametrize("name", PASSES)
def test_every_pass_keeps_the_order_of_writes(monkeypatch, name):
    for case, qc in shared_bit_circuits(hash(name) % 1000, 25):
        before = list(qc.gates)
        out = both_paths(monkeypatch, lambda: PASSES[name](qc))
        assert qc.gates == before
        oracle.assert_same_bit_distribution(qc.gates, out.gates)


@pytest.mark.parametrize("level", [0, 1, 2])
def test_the_driver_keeps_the_order_of_writes(monkeypatch, level):
    chip = Backend.line(6, one_qubit_gate_length=2e-8, two_qubit_gate_length=1e-7)
    for case, qc in shared_bit_circuits(level, 12):
        for run in (
            lambda: Transpiler().run(qc, optimize_level=level),
            lambda: Transpiler(chip).run(qc, optimize_level=level, use_dd=True),
        ):
            out = both_paths(monkeypatch, run, seed=case)
            oracle.assert_same_bit_distribution(qc.gates, out.gates)


def test_the_dags_left_on_the_passes_agree(monkeypatch):
    """The DAG a pass keeps after its run (built late on the fast path) has
    the same edges between writers of a bit as the reference path's."""
    for case, qc in shared_bit_circuits(7, 20):
        qc = ThreeQubitGateDecompose().run(qc)
        runs = []
        for reference in (False, True):
            monkeypatch.setattr(package, "_reference_paths", reference)
            routing = SabreRouting(nx.path_graph(qc.nqubits))
            quiet(routing.run, qc)
            runs.append((compressor_outcome(GateCompressor, qc), graph_state(routing.dag)))
        assert runs[0] == runs[1], case
