"""SabreRouting on awkward input: a long adder on a line, gates across
unconnected parts of a chip, weighted couplers, spare or missing qubits,
input refused before any routing, and a run stopped by a signal."""

import random

import networkx as nx
import pytest
from helpers import (
    ROUTABLE,
    check_routed,
    circuit,
    interrupt_after,
    random_gates,
    reference_subclass,
    routing_table,
    virtual_order,
)

from vexal.circuit.routing import SabreRouting

CONFLICT = "A conflict occurred during the Sabre algorithm computation. Please contact the developer for assistance."
ReferenceSabreRouting = reference_subclass(SabreRouting, "_heuristic_score")


def toffoli(c1, c2, t):
    return [
        ("h", t),
        ("cx", c2, t),
        ("tdg", t),
        ("cx", c1, t),
        ("t", t),
        ("cx", c2, t),
        ("tdg", t),
        ("cx", c1, t),
        ("t", c2),
        ("t", t),
        ("h", t),
        ("cx", c1, c2),
        ("t", c1),
        ("tdg", c2),
        ("cx", c1, c2),
    ]


def ripple_carry_adder(nbits):
    """b += a over 2 * nbits + 2 qubits (carry in, a, b, carry out), Toffolis decomposed."""
    a = list(range(1, nbits + 1))
    b = list(range(nbits + 1, 2 * nbits + 1))
    cin, cout = 0, 2 * nbits + 1
    gates = []

    def maj(c, y, x):
        gates.extend([("cx", x, y), ("cx", x, c)] + toffoli(c, y, x))

    def uma(c, y, x):
        gates.extend(toffoli(c, y, x) + [("cx", x, c), ("cx", c, y)])

    maj(cin, b[0], a[0])
    for i in range(1, nbits):
        maj(a[i - 1], b[i], a[i])
    gates.append(("cx", a[-1], cout))
    for i in reversed(range(1, nbits)):
        uma(a[i - 1], b[i], a[i])
    uma(cin, b[0], a[0])
    return circuit(None, gates, qubits=list(range(2 * nbits + 2)))


# ---------------------------------------------------------------- progress


def test_a_long_adder_on_a_line_is_routed(capsys):
    # 88 qubits: with the default options the traversals used to give up
    qc = ripple_carry_adder(43)
    r = SabreRouting(nx.path_graph(88))
    out = r.run(qc)
    printed = capsys.readouterr().out
    check_routed(qc, out, r, routing_table(printed)[1], printed)


def test_gates_across_components_still_raise_the_conflict(capsys):
    g = nx.Graph([(0, 1), (1, 2), (3, 4)])
    qc = circuit(None, [("cx", 0, 2), ("cx", 1, 2), ("cx", 2, 3)], qubits=[0, 1, 2, 3, 4])
    for cls in (SabreRouting, ReferenceSabreRouting):
        with pytest.raises(ValueError, match="^" + CONFLICT + "$"):
            cls(g, initial_mapping=[0, 1, 2, 3, 4], iterations=1).run(qc)
    assert capsys.readouterr().out == ""


def test_edge_weights_do_not_make_distances(capsys):
    # weighted distances used to put a gate on qubits two halves apart: 0 and 2 here
    g = nx.path_graph(3)
    nx.set_edge_attributes(g, 0.5, "weight")
    qc = circuit(None, [("cx", 0, 2), ("h", 1)], qubits=[0, 1, 2])
    for cls in (SabreRouting, ReferenceSabreRouting):
        r = cls(g, initial_mapping=[0, 2, 1], iterations=1)
        out = r.run(qc)
        check_routed(qc, out, r, routing_table(capsys.readouterr().out)[1], unitary=True)
    # and a coupler of weight 2 still couples
    g = nx.path_graph(2)
    g[0][1]["weight"] = 2
    assert SabreRouting(g, iterations=1).run(circuit(None, [("cx", 0, 1)])).gates == [("cx", 0, 1)]
    capsys.readouterr()


# ---------------------------------------------------------------- input checked before routing


def test_refused_circuits_and_options_change_nothing(capsys):
    g = nx.path_graph(3)
    r = SabreRouting(g, iterations=9999)
    # a three-qubit gate is refused at once, not after every traversal
    with pytest.raises(ValueError, match=r"^Please first decompose the ccx gate into a combination"):
        r.run(circuit(None, [("cx", 0, 1)] * 200 + [("ccx", 0, 1, 2), ("h", 0)]))
    assert not hasattr(r, "v2p") and not hasattr(r, "dag") and not r._cache
    with pytest.raises(ValueError, match="^iterations must be at most 10000, got 10001.$"):
        SabreRouting(g, iterations=10001)
    r.iterations = 10**12
    with pytest.raises(ValueError, match="at most 10000"):
        r.run(circuit(None, [("cx", 0, 1)], qubits=[0, 1, 2]))
    assert not hasattr(r, "v2p") and capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "gates, qubits, message",
    [
        ([("h",)], [0, 1, 2], r"malformed gate record \('h',\)"),
        ([("cx", 0, 1), ("bogus", 1)], [0, 1, 2], "^wrong gate type bogus$"),
        ([("cx", 0, 3)], [0, 1, 2], "qubit index 3 out of range"),
        ([("measure", [0, 1], [0])], [0, 1, 2], "fewer classical bits than qubits"),
        ([("h", 0), ("ccx", 0, 1, 2), ("h",)], [0, 1, 2], "^Please first decompose the ccx gate"),
        # a qubit that split_qubits does not see (no multi-qubit gate) used to give a bare KeyError
        ([("cx", 0, 1), ("h", 2)], [0, 1], r"The gate \('h', 2\) acts on qubit 2, which is not one of the circuit's"),
    ],
)
def test_malformed_circuits_are_refused_before_routing(gates, qubits, message, capsys):
    for cls in (SabreRouting, ReferenceSabreRouting):
        r = cls(nx.path_graph(len(qubits)))
        with pytest.raises(ValueError, match=message):
            r.run(circuit(3, gates, qubits=qubits))
        assert not hasattr(r, "v2p") and not r._cache
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "labels, error",
    [([-3, -2, -1], ValueError), (["a", "b", "c"], TypeError), ([0.0, 1.0, 2.0], TypeError), ([5, True, 6], TypeError)],
)
def test_physical_qubits_must_be_non_negative_integers(labels, error, capsys):
    g = nx.relabel_nodes(nx.path_graph(3), dict(enumerate(labels)))
    r = SabreRouting(g)
    with pytest.raises(error, match="physical qubits of the coupling graph must be non-negative integers"):
        r.run(circuit(None, [("cx", 0, 1), ("h", 2)]))
    assert not hasattr(r, "v2p") and capsys.readouterr().out == ""


def test_qubits_that_no_coupler_touches(capsys):
    # without a chip, a one-qubit circuit comes with a chain of no nodes
    qc = circuit(None, [("h", 3), ("measure", [3], [0])], qubits=[3])
    g = nx.Graph()
    g.graph["normal_order"] = qc.qubits
    out = SabreRouting(g, iterations=5).run(qc)
    assert out.gates == qc.gates and out.qubits is qc.qubits and out.nqubits == 4
    # an isolated node (2), a node with only a self-loop (3) and a qubit that is no node (4)
    g = nx.path_graph(2)
    g.add_node(2)
    g.add_edge(3, 3)
    g.graph["normal_order"] = [0, 1, 2, 3, 4]
    ok = circuit(None, [("cx", 0, 1), ("h", 2), ("x", 3), ("rz", 0.5, 4)], qubits=[0, 1, 2, 3, 4])
    assert SabreRouting(g, iterations=3).run(ok).gates == ok.gates
    for p in (2, 3, 4):
        qc = circuit(None, [("h", 1), ("cx", 0, p)], qubits=[0, 1, 2, 3, 4])
        r = SabreRouting(g, initial_mapping=virtual_order(qc))
        message = f"its qubit {p} is placed on physical qubit {p}, which no coupler of the coupling graph touches"
        with pytest.raises(ValueError, match=message):
            r.run(qc)
        assert not hasattr(r, "v2p")
    capsys.readouterr()


def test_an_empty_circuit_on_an_empty_graph(capsys):
    g = nx.Graph()
    qc = circuit(None, [], qubits=[])
    g.graph["normal_order"] = qc.qubits
    out = SabreRouting(g).run(qc)
    assert (out.gates, out.nqubits, out.qubits) == ([], 0, [])
    assert capsys.readouterr().out.splitlines()[-1] == "A total of 0 swap gates have been added to the circuit."


def test_normal_order_may_list_qubits_beyond_the_graph():
    g = nx.path_graph(3)
    g.graph["normal_order"] = [2, 0, 1, 7]
    assert SabreRouting(g).physical_qubits == [2, 0, 1, 7]


# ---------------------------------------------------------------- interruption


@pytest.mark.parametrize("cls", [SabreRouting, ReferenceSabreRouting])
def test_a_long_run_stops_on_a_signal(cls, capsys):
    rng = random.Random(4)
    n = 20
    qc = circuit(
        None, random_gates(rng, list(range(n)), 400 if cls is SabreRouting else 40, **ROUTABLE), qubits=list(range(n))
    )
    r = cls(nx.path_graph(n), iterations=9999)
    with pytest.raises(KeyboardInterrupt), interrupt_after(0.3):
        r.run(qc)
    # the state is one the methods pass through: a one-to-one mapping and its inverse
    assert sorted(r.v2p) == list(range(n)) and sorted(r.v2p.values()) == list(range(n))
    assert list(r.p2v.items()) == [(p, v) for v, p in r.v2p.items()]
    assert sorted(r.decay_parameter) == list(range(n)) and r.dag_id in ("forward", "reverse")
    assert capsys.readouterr().out == ""
    # and the pass runs again as a new one would
    r.iterations = 3
    assert r.run(qc).gates == cls(nx.path_graph(n), iterations=3).run(qc).gates
    capsys.readouterr()
