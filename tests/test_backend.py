"""The chip description: builders, coupler filter, validation, pickling."""

import collections
import pickle
import re

import networkx as nx
import pytest

from vexal.circuit.backend import Backend


def test_custom_chip_and_filtered_graph():
    b = Backend(
        {2: 0.99, 0: 0.98, 5: 0.97},
        [(5, 0, 0.95), (0, 2, 0.6), (2, 5, 0.59)],
        two_qubit_gate_basis="iswap",
        one_qubit_gate_length=2e-8,
        two_qubit_gate_length=4e-8,
        priority_qubits=[[0, 5], [2, 0, 5]],
    )
    assert b.qubits == [0, 2, 5]
    assert b.two_qubit_gate_basis == "iswap"
    assert b.priority_qubits == [[0, 5], [2, 0, 5]]
    assert b.chip_info["global_info"]["one_qubit_gate_length"] == 2e-8
    assert b.chip_info["global_info"]["two_qubit_gate_length"] == 4e-8

    g = b.edge_filtered_graph(thres=0.6)
    assert list(g.nodes) == [0, 2, 5]
    assert nx.get_node_attributes(g, "fidelity") == {0: 0.98, 2: 0.99, 5: 0.97}
    # couplers at the threshold are kept, below it dropped; keys (low, high)
    assert nx.get_edge_attributes(g, "fidelity") == {(0, 2): 0.6, (0, 5): 0.95}
    # a fresh graph each call: changing one leaves the next untouched
    g.remove_node(0)
    assert b.edge_filtered_graph(0.6).number_of_nodes() == 3
    # a qubit whose couplers are all filtered stays as an isolated node
    g2 = b.edge_filtered_graph(0.99)
    assert list(g2.nodes) == [0, 2, 5] and g2.number_of_edges() == 0
    assert b.edge_filtered_graph(0.0).number_of_edges() == 3


def test_list_and_dict_forms_agree():
    a = Backend([0.9, 0.8, 0.7], {(1, 0): 0.9, (1, 2): 0.8})
    b = Backend({0: 0.9, 1: 0.8, 2: 0.7}, [(0, 1, 0.9), (2, 1, 0.8)])
    assert a.qubits_fidelity == b.qubits_fidelity
    assert a.couplers_fidelity == b.couplers_fidelity == {(0, 1): 0.9, (1, 2): 0.8}


@pytest.mark.parametrize(
    "args, kwargs, exc, text",
    [
        (([0.9, 1.2], []), {}, ValueError, "in [0, 1]"),
        (([0.9, -0.1], []), {}, ValueError, "in [0, 1]"),
        (([0.9, float("nan")], []), {}, ValueError, "NaN"),
        (([0.9, "high"], []), {}, TypeError, "real number"),
        (({-1: 0.9}, []), {}, ValueError, "non-negative"),
        (({1.5: 0.9}, []), {}, TypeError, "integer"),
        (({True: 0.9}, []), {}, TypeError, "integer"),
        (([], []), {}, ValueError, "at least one qubit"),
        ((0.9, []), {}, TypeError, "qubits_fidelity"),
        (([0.9, 0.9], [(0, 0, 0.9)]), {}, ValueError, "itself"),
        (([0.9, 0.9], [(0, 2, 0.9)]), {}, ValueError, "unknown qubit 2"),
        (([0.9, 0.9], [(0, 1, 0.9), (1, 0, 0.8)]), {}, ValueError, "twice"),
        (([0.9, 0.9], [(0, 1)]), {}, ValueError, "triple"),
        (([0.9, 0.9], {(0, 1, 2): 0.9}), {}, ValueError, "pair"),
        (([0.9, 0.9], [(0, 1, 1.5)]), {}, ValueError, "in [0, 1]"),
        (([0.9, 0.9], "0-1"), {}, TypeError, "couplers_fidelity"),
        (([0.9], []), {"two_qubit_gate_basis": "CZ"}, ValueError, "cz, cx, iswap"),
        (([0.9], []), {"two_qubit_gate_basis": None}, TypeError, "str"),
        (([0.9], []), {"one_qubit_gate_length": -1e-9}, ValueError, "positive"),
        (([0.9], []), {"two_qubit_gate_length": 0}, ValueError, "positive"),
        (([0.9], []), {"two_qubit_gate_length": float("inf")}, ValueError, "finite"),
        (([0.9, 0.9], []), {"priority_qubits": [[0, 3]]}, ValueError, "unknown qubit 3"),
        (([0.9, 0.9], []), {"priority_qubits": [[0, 0]]}, ValueError, "repeats"),
        (([0.9, 0.9], []), {"priority_qubits": [0, 1]}, TypeError, "priority"),
    ],
)
def test_validation(args, kwargs, exc, text):
    with pytest.raises(exc, match=re.escape(text)):
        Backend(*args, **kwargs)


def test_filter_threshold_must_be_a_number():
    b = Backend.line(3)
    with pytest.raises(TypeError):
        b.edge_filtered_graph("0.6")
    with pytest.raises(ValueError):
        b.edge_filtered_graph(float("nan"))


def test_line_and_grid():
    b = Backend.line(5)
    g = b.edge_filtered_graph(0.6)
    assert sorted(g.edges) == [(0, 1), (1, 2), (2, 3), (3, 4)]
    assert b.two_qubit_gate_basis == "cz" and b.priority_qubits == []
    assert Backend.line(1).edge_filtered_graph(0.6).number_of_nodes() == 1

    b = Backend.grid(3, 4, two_qubit_gate_basis="cx", priority_qubits=[[0, 1, 5]])
    g = b.edge_filtered_graph(0.6)
    assert g.number_of_nodes() == 12 and g.number_of_edges() == 3 * 3 + 2 * 4
    assert set(g.neighbors(5)) == {1, 4, 6, 9}
    assert b.two_qubit_gate_basis == "cx" and b.priority_qubits == [[0, 1, 5]]
    # defaults are deterministic and above the layout filter; uniform on request
    assert Backend.grid(3, 4).couplers_fidelity == b.couplers_fidelity
    assert Backend.grid(3, 4, seed=1).couplers_fidelity != b.couplers_fidelity
    assert min(b.couplers_fidelity.values()) >= 0.9
    u = Backend.grid(2, 2, qubit_fidelity=0.99, coupler_fidelity=0.5)
    assert set(u.qubits_fidelity.values()) == {0.99}
    assert u.edge_filtered_graph(0.6).number_of_edges() == 0
    with pytest.raises(ValueError):
        Backend.grid(0, 3)
    with pytest.raises(ValueError):
        Backend.line(0)


@pytest.mark.parametrize("rows, cols", [(1, 1), (2, 2), (3, 3), (2, 5), (4, 3)])
def test_heavy_hex(rows, cols):
    g = Backend.heavy_hex(rows, cols).edge_filtered_graph(0.6)
    n = 2 * (4 * cols + 1) + (rows - 1) * (4 * cols + 3) + rows * (cols + 1)
    assert g.number_of_nodes() == n and list(g.nodes) == list(range(n))
    assert nx.is_connected(g)
    degrees = collections.Counter(d for _, d in g.degree())
    assert set(degrees) <= {2, 3}
    # every face is a ring of 12 qubits, one per hexagon
    cycles = nx.minimum_cycle_basis(g)
    assert len(cycles) == rows * cols and {len(c) for c in cycles} == {12}
    # degree-3 qubits never touch each other
    assert all(not (g.degree(a) == 3 and g.degree(b) == 3) for a, b in g.edges)


def test_heavy_hex_numbering():
    g = Backend.heavy_hex(1, 1).edge_filtered_graph(0.6)
    # chain 0 = qubits 0..4, bridges 5 and 6, chain 1 = qubits 7..11
    assert {(0, 1), (1, 2), (2, 3), (3, 4), (0, 5), (4, 6), (5, 7), (6, 11)} <= set(g.edges)
    assert Backend.heavy_hex(2).edge_filtered_graph(0.6).number_of_nodes() == 35


def test_pickle_round_trip():
    b = Backend.heavy_hex(2, 2, priority_qubits=[[0, 1, 2]])
    c = pickle.loads(pickle.dumps(b))
    assert c.priority_qubits == b.priority_qubits and c.chip_info == b.chip_info
    assert nx.utils.graphs_equal(c.edge_filtered_graph(0.6), b.edge_filtered_graph(0.6))
    pickle.dumps(b.edge_filtered_graph(0.6))
