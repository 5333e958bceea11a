"""GateCompressor's fast path and DAG tier against its reference path: the
same result, DAG (down to the order of every dictionary), counter and
printed text on random circuits and the corpus; the customised pieces that
send a run down the ladder; and what the compressed circuit must be."""

import random
import sys

import networkx as nx
import oracle
import pytest
from helpers import PROGRAMS, circuit, compressor_outcome, corpus, random_gates, read_program, reference_subclass

from vexal.circuit import optimize as O
from vexal.circuit.dag import qc2dag
from vexal.circuit.optimize import GateCompressor
from vexal.circuit.quantumcircuit import QuantumCircuit

# each test compares a path with the reference, or checks the circuits they
# agree on: the reference switch stays off here
pytestmark = pytest.mark.usefixtures("fast_paths_only")

Reference = reference_subclass(GateCompressor, "run_compress_once")


def random_circuit(rng, unitary=False):
    n = rng.choice([1, 2, 3, 4, 5, 20, 70])
    pool = rng.sample(range(n), min(n, rng.randint(1, 5)))
    return circuit(n, random_gates(rng, pool, rng.randint(0, 40), unitary))


@pytest.mark.parametrize("seed", range(8))
def test_fast_path_matches_the_methods(seed):
    rng = random.Random(seed)
    for _ in range(150):
        qc = random_circuit(rng)
        assert compressor_outcome(GateCompressor, qc) == compressor_outcome(Reference, qc), qc.gates


def python_calls(fn):
    """The names of the Python functions that fn() runs."""
    seen = set()

    def hook(frame, event, arg):
        if event == "call":
            seen.add(frame.f_code.co_name)

    sys.setprofile(hook)
    try:
        fn()
    finally:
        sys.setprofile(None)
    return seen


def test_the_fast_path_calls_no_graph_method():
    qc = circuit(2, [("h", 0), ("x", 1), ("x", 1), ("rz", 0.3, 0), ("rz", 0.2, 0), ("cx", 0, 1), ("cx", 0, 1)])
    fast = python_calls(lambda: GateCompressor().run(qc))
    reference = python_calls(lambda: Reference().run(qc))
    assert {"remove_nodes_from", "add_edges_from"} <= reference
    assert not {"deepcopy", "remove_nodes_from", "add_nodes_from", "add_edges_from", "has_edge"} & fast


def test_symbolic_angles_fail_alike():
    qc = circuit(2, [("h", 0), ("rz", "theta", 1), ("cp", "phi", 0, 1)])
    assert compressor_outcome(GateCompressor, qc) == compressor_outcome(Reference, qc)
    assert compressor_outcome(GateCompressor, qc)[0] == "raised"


def test_replaced_names_take_the_methods(monkeypatch):
    """A replaced module name is called by either way, and nothing changes."""
    calls = []
    own_u3 = O.u3_decompose

    def u3(m):
        calls.append(m)
        return own_u3(m)

    rng = random.Random(11)
    circuits = [random_circuit(rng) for _ in range(40)]
    expected = [compressor_outcome(Reference, qc) for qc in circuits]
    monkeypatch.setattr(O, "u3_decompose", u3)
    assert [compressor_outcome(GateCompressor, qc) for qc in circuits] == expected
    assert calls


def test_overridden_methods_are_used():
    seen = []

    class Counting(GateCompressor):
        def is_adjacent_gates(self, node1, node2):
            seen.append((node1, node2))
            return super().is_adjacent_gates(node1, node2)

    qc = circuit(1, [("h", 0), ("x", 0), ("x", 0), ("h", 0)])
    assert Counting().run(qc).gates == []
    assert ("x_1_[0]", "x_2_[0]") in seen


def test_circuit_subclass_is_copied_its_way():
    class Traced(QuantumCircuit):
        copies = 0

        def deepcopy(self):
            Traced.copies += 1
            return super().deepcopy()

    rng = random.Random(5)
    for _ in range(20):
        src = random_circuit(rng)
        qc = Traced(src.nqubits, src.ncbits)
        qc.qubits, qc.gates = src.qubits, src.gates
        assert compressor_outcome(GateCompressor, qc)[:3] == compressor_outcome(Reference, src)[:3]
    assert Traced.copies == 20


def test_the_methods_take_over_where_the_dag_is_not_exact(monkeypatch):
    # a DAG whose labels are tuples: the DAG tier leaves off at the first
    # merge that reads one, and the methods go on from there
    def tuple_labels(qc, show_qubits=True):
        g = qc2dag(qc, show_qubits)
        for _, _, data in g.edges(data=True):
            if data["qubit"] == [1]:
                data["qubit"] = (1,)
        return g

    rng = random.Random(3)
    circuits = [random_circuit(rng) for _ in range(60)]
    monkeypatch.setattr(O, "qc2dag", tuple_labels)
    for qc in circuits:
        assert compressor_outcome(GateCompressor, qc) == compressor_outcome(Reference, qc), qc.gates


def test_a_graph_with_its_own_methods_takes_the_methods(monkeypatch):
    removed = []

    def own_remove(qc, show_qubits=True):
        g = qc2dag(qc, show_qubits)
        g.remove_nodes_from = lambda nodes: removed.append(list(nodes)) or nx.DiGraph.remove_nodes_from(g, nodes)
        return g

    qc = circuit(1, [("h", 0), ("x", 0), ("x", 0), ("h", 0)])
    monkeypatch.setattr(O, "qc2dag", own_remove)
    assert GateCompressor().run(qc).gates == []
    assert removed == [["x_1_[0]", "x_2_[0]"], ["h_0_[0]", "h_3_[0]"]]


# ------------------------------------------------------------- properties


def final_dag_is_its_circuits_dag(p, out):
    """The edges of the final DAG, labels as sets, are those of the DAG of
    the circuit it gives: the merges keep every wire's order and label each
    edge with the wires it carries."""
    gate_nodes = [n for n in nx.topological_sort(p.dag) if "_" in n]
    fresh = qc2dag(out)
    rename = dict(zip(gate_nodes, [n for n in fresh if "_" in n]))
    ours = {(rename.get(u, u), rename.get(v, v)): set(d["qubit"]) for u, v, d in p.dag.edges(data=True)}
    theirs = {(u, v): set(d["qubit"]) for u, v, d in fresh.edges(data=True)}
    return ours == theirs


# With the reference switch off in this file, the properties are checked on
# both paths by name: the pass itself and its reference subclass.
@pytest.mark.parametrize("cls", [GateCompressor, Reference], ids=["fast", "reference"])
@pytest.mark.parametrize("seed", range(4))
def test_compressed_circuits_are_equivalent(seed, cls):
    rng = random.Random(100 + seed)
    for _ in range(60):
        qc = random_circuit(rng, unitary=True)
        if qc.nqubits > 10:
            continue
        p = cls()
        out = p.run(qc)
        oracle.assert_equivalent(qc.gates, out.gates, qc.nqubits)
        assert len(out.gates) <= len(qc.gates)
        assert final_dag_is_its_circuits_dag(p, out)
        again = cls().run(out)
        assert len(again.gates) == len(out.gates)


def test_corpus_circuits(capsys):
    """The fast path on the corpus, compared with the reference path on its
    programs of at most 400 gates."""
    checked = 0
    for path in corpus() + sorted(PROGRAMS.glob("*.qasm")):
        name, qc = path.name, read_program(path)
        capsys.readouterr()
        p = GateCompressor()
        out = p.run(qc)
        assert len(out.gates) <= len(qc.gates), name
        assert final_dag_is_its_circuits_dag(p, out), name
        assert len(GateCompressor().run(out).gates) == len(out.gates), name
        if len(qc.gates) <= 400:
            assert compressor_outcome(GateCompressor, qc)[:6] == compressor_outcome(Reference, qc)[:6], name
        # measures and resets stay where they are on their wires; the gates
        # between them must keep their product
        if qc.nqubits <= 6:
            u = oracle.circuit_unitary(qc.gates, qc.nqubits, ignore_nonunitary=True)
            v = oracle.circuit_unitary(out.gates, qc.nqubits, ignore_nonunitary=True)
            assert oracle.equal_up_to_phase(u, v), name
        elif qc.nqubits <= 14:
            oracle.assert_equivalent_states(qc.gates, out.gates, qc.nqubits, ignore_nonunitary=True)
        checked += 1
    assert checked >= 10
