"""Node and edge lists of a circuit DAG (convert_gate_info_to_dag_info)."""

import random

import numpy as np
import pytest
from helpers import ANY_RECORDS, random_gates

from vexal.circuit import gatework
from vexal.circuit.gatework import convert_gate_info_to_dag_info as convert


def lists(nqubits, qubits, gates, show_qubits=True):
    nodes, edges = convert(nqubits, qubits, gates, show_qubits)
    return [tuple(r) for r in nodes], [tuple(r) for r in edges]


# ---------------------------------------------------------------- a model

ONE = {"id", "x", "y", "z", "s", "sdg", "t", "tdg", "h", "sx", "sxdg"}
TWO = {"cx", "cnot", "cy", "cz", "swap", "iswap"}
THREE = {"ccz", "ccx", "cswap"}
ONE_P = {"rx", "ry", "rz", "p", "u", "u3", "r"}
TWO_P = {"rxx", "ryy", "rzz", "cp"}


def model(nqubits, qubits, gates, show_qubits=True):
    """The lists written out the slow way: one edge per distinct earlier node,
    grouped by first appearance; for three wires a pair on the last two wires
    leads; a measure into a bit last written from another wire also gets an
    edge without wires from that writer."""
    last = [None] * nqubits
    writer = {}
    nodes, edges = [], []
    if show_qubits:
        for q in qubits:
            nodes.append((f"q{q}", {"qubits": [q]}))
            last[q] = f"q{q}"
    expanded = []
    for g in gates:
        if g[0] == "measure":
            expanded += [("measure", [q], [c]) for q, c in zip(g[1], g[2])]
        else:
            expanded.append(g)
    for pos, g in enumerate(expanded):
        name = g[0]
        extra = {}
        if name in ONE or name == "reset":
            qs = [g[1]]
        elif name in TWO or name in THREE:
            qs = list(g[1:])
        elif name in ONE_P:
            qs = [g[-1]]
            extra["params"] = list(g[1:-1])
        elif name in TWO_P:
            qs, extra["params"] = list(g[2:]), [g[1]]
        elif name == "measure":
            qs, extra["cbits"] = g[1], g[2]
        elif name == "barrier":
            qs = list(g[1])
        else:
            qs, extra["duration"] = list(g[2]), g[1]
        node = f"{name}_{pos}_{qs}"
        nodes.append((node, {"qubits": qs, **extra}))
        prev = [last[q] for q in qs]
        groups = {}
        order = list(range(len(qs)))
        if name in THREE and prev[0] != prev[1] and prev[1] == prev[2]:
            order = [1, 2, 0]
        for i in order:
            if prev[i] is not None:
                groups.setdefault(prev[i], []).append(qs[i])
        edges += [(p, node, {"qubit": sorted(ws)}) for p, ws in groups.items()]
        if name == "measure":
            w = writer.get(g[2][0])
            if w is not None and w[1] != qs[0]:
                edges.append((w[0], node, {"qubit": []}))
            writer[g[2][0]] = (node, qs[0])
        for q in qs:
            last[q] = node
    return nodes, edges


# ---------------------------------------------------------------- exact lists


def test_empty_circuit():
    nodes, edges = convert(2, [0, 1], [])
    assert [tuple(r) for r in nodes] == [("q0", {"qubits": [0]}), ("q1", {"qubits": [1]})]
    assert nodes.shape == (2, 2) and nodes.dtype == object
    assert edges.size == 0
    nodes, edges = convert(2, [0, 1], [], False)
    assert nodes.size == 0 and edges.size == 0


def test_small_circuit_lists_and_order():
    nodes, edges = convert(2, [0, 1], [("h", 0), ("cx", 0, 1)])
    assert edges.shape == (3, 3) and edges.dtype == object
    assert [r[0] for r in nodes] == ["q0", "q1", "h_0_[0]", "cx_1_[0, 1]"]
    assert [tuple(r) for r in edges] == [
        ("q0", "h_0_[0]", {"qubit": [0]}),
        ("h_0_[0]", "cx_1_[0, 1]", {"qubit": [0]}),
        ("q1", "cx_1_[0, 1]", {"qubit": [1]}),
    ]


def test_shared_source_gives_one_sorted_edge():
    nodes, edges = lists(2, [0, 1], [("cx", 0, 1), ("cx", 1, 0)])
    assert nodes[-1] == ("cx_1_[1, 0]", {"qubits": [1, 0]})
    assert edges[-1] == ("cx_0_[0, 1]", "cx_1_[1, 0]", {"qubit": [0, 1]})
    assert len(edges) == 3


def test_measure_is_split_and_empty_measure_uses_no_position():
    gates = [("measure", [], []), ("measure", [0, 1], [0, 1]), ("h", 0)]
    nodes, edges = lists(2, [], gates, False)
    assert nodes == [
        ("measure_0_[0]", {"qubits": [0], "cbits": [0]}),
        ("measure_1_[1]", {"qubits": [1], "cbits": [1]}),
        ("h_2_[0]", {"qubits": [0]}),
    ]
    assert edges == [("measure_0_[0]", "h_2_[0]", {"qubit": [0]})]


def test_fresh_wires_without_start_nodes():
    nodes, edges = lists(3, [0, 1, 2], [("cx", 0, 1), ("h", 0)], False)
    assert edges == [("cx_0_[0, 1]", "h_1_[0]", {"qubit": [0]})]
    # a wire missing from qubits behaves the same; an unused listed wire stays isolated
    nodes, edges = lists(3, [0, 2], [("cx", 0, 1)])
    assert [n for n, _ in nodes] == ["q0", "q2", "cx_0_[0, 1]"]
    assert edges == [("q0", "cx_0_[0, 1]", {"qubit": [0]})]


def test_barrier_groups_by_source():
    _, edges = lists(3, [], [("cx", 0, 1), ("h", 2), ("barrier", (0, 1, 2))], False)
    assert edges == [
        ("cx_0_[0, 1]", "barrier_2_[0, 1, 2]", {"qubit": [0, 1]}),
        ("h_1_[2]", "barrier_2_[0, 1, 2]", {"qubit": [2]}),
    ]


def test_three_qubit_edge_order():
    node = "ccx_1_[0, 1, 2]"
    _, edges = lists(3, [0, 1, 2], [("cx", 1, 2), ("ccx", 0, 1, 2)])
    assert edges[-2:] == [("cx_0_[1, 2]", node, {"qubit": [1, 2]}), ("q0", node, {"qubit": [0]})]
    _, edges = lists(3, [0, 1, 2], [("cx", 2, 0), ("ccx", 0, 1, 2)])
    assert edges[-2:] == [("cx_0_[2, 0]", node, {"qubit": [0, 2]}), ("q1", node, {"qubit": [1]})]
    _, edges = lists(3, [0, 1, 2], [("ccx", 0, 1, 2)])
    assert edges == [
        ("q0", "ccx_0_[0, 1, 2]", {"qubit": [0]}),
        ("q1", "ccx_0_[0, 1, 2]", {"qubit": [1]}),
        ("q2", "ccx_0_[0, 1, 2]", {"qubit": [2]}),
    ]


def test_three_qubit_gate_on_fresh_wires_has_no_edge_from_nowhere():
    # without start nodes no wire has an earlier node: no edge at all
    assert lists(3, [], [("ccx", 0, 1, 2)], False)[1] == []
    # only the wires that have one get an edge
    _, edges = lists(3, [], [("cx", 1, 2), ("ccz", 0, 1, 2)], False)
    assert edges == [("cx_0_[1, 2]", "ccz_1_[0, 1, 2]", {"qubit": [1, 2]})]
    _, edges = lists(3, [], [("h", 2), ("cswap", 0, 1, 2)], False)
    assert edges == [("h_0_[2]", "cswap_1_[0, 1, 2]", {"qubit": [2]})]


def test_parameter_and_functional_attributes():
    gates = [
        ("u", 0.1, 0.2, 0.3, 4),
        ("rzz", 0.5, 3, 1),
        ("delay", 1e-07, (2,)),
        ("r", "a", 0.2, 0),
        ("rx", "theta", 1),
        ("u3", 0.7, 2),
        ("reset", 3),
        ("barrier", (4, 0)),
    ]
    nodes, _ = lists(5, [], gates, False)
    assert nodes == [
        ("u_0_[4]", {"qubits": [4], "params": [0.1, 0.2, 0.3]}),
        ("rzz_1_[3, 1]", {"qubits": [3, 1], "params": [0.5]}),
        ("delay_2_[2]", {"qubits": [2], "duration": 1e-07}),
        ("r_3_[0]", {"qubits": [0], "params": ["a", 0.2]}),
        ("rx_4_[1]", {"qubits": [1], "params": ["theta"]}),
        ("u3_5_[2]", {"qubits": [2], "params": [0.7]}),
        ("reset_6_[3]", {"qubits": [3]}),
        ("barrier_7_[4, 0]", {"qubits": [4, 0]}),
    ]
    assert [list(d) for _, d in nodes[:3]] == [["qubits", "params"]] * 2 + [["qubits", "duration"]]


def test_random_circuits_match_the_model():
    rng = random.Random(1234)
    for trial in range(300):
        n = rng.randint(1, 6)
        gates = random_gates(rng, n, rng.randint(0, 40), **ANY_RECORDS)
        qubits = sorted(rng.sample(range(n), rng.randint(0, n)))
        show = rng.random() < 0.5
        assert lists(n, qubits, gates, show) == model(n, qubits, gates, show), (gates, qubits, show)


def test_inputs_are_not_changed_and_numpy_ints_are_accepted():
    gates = [("measure", [0, 1], [1, 0]), ("cx", np.int64(1), 0)]
    before = repr(gates)
    qubits = [np.int64(0), 1]
    nodes, _ = lists(2, qubits, gates)
    assert repr(gates) == before and len(qubits) == 2
    assert [n for n, _ in nodes] == ["q0", "q1", "measure_0_[0]", "measure_1_[1]", "cx_2_[1, 0]"]


# ---------------------------------------------------------------- refusals


@pytest.mark.parametrize(
    "gates, qubits, text",
    [
        ([("h", 2)], [], "qubit index 2 out of range for 2 qubits"),
        ([("h", -1)], [], "qubit index -1 out of range"),
        ([("cx", 0, 5)], [], "out of range"),
        ([("barrier", (0, 1, 7))], [], "out of range"),
        ([("measure", [0, 9], [0, 1])], [], "out of range"),
        ([], [0, 3], "qubit index 3 out of range for 2 qubits in qubits"),
        ([("h", 10**30)], [], "out of range"),
        ([("measure", [0, 1], [0])], [], "fewer classical bits than qubits"),
        ([("cu", 0.1, 0.2, 0.3, 0, 1)], [], "wrong gate type cu"),
        ([("CX", 0, 1)], [], "wrong gate type CX"),
        ([("cx", 0)], [], "wrong number of elements"),
        ([("u", 0.1, 0)], [], "wrong number of elements"),
        ([()], [], "no gate name"),
        (["h"], [], "a gate record is a tuple"),
    ],
)
def test_bad_records_raise_value_error(gates, qubits, text):
    with pytest.raises(ValueError, match=text.replace("[", r"\[")):
        convert(2, qubits, [("h", 0)] + gates)


def test_non_integer_wire_is_a_type_error():
    with pytest.raises(TypeError, match="qubit index must be an integer"):
        convert(2, [], [("h", 1.0)])
    with pytest.raises(TypeError, match="qubit index must be an integer"):
        convert(2, ["0"], [])


def test_argument_types_and_counts():
    with pytest.raises(TypeError, match=r"Argument 'qubits' has incorrect type \(expected list, got tuple\)"):
        convert(2, (0, 1), [])
    with pytest.raises(TypeError, match=r"Argument 'gates' has incorrect type \(expected list, got NoneType\)"):
        convert(2, [], None)
    with pytest.raises(TypeError, match="Argument 'nqubits'"):
        convert("2", [], [])
    with pytest.raises(TypeError, match=r"takes at least 3 positional arguments \(2 given\)"):
        convert(2, [])
    with pytest.raises(TypeError, match=r"takes at most 4 positional arguments \(5 given\)"):
        convert(2, [], [], True, 1)
    nodes, _ = convert(nqubits=2.9, qubits=[1], gates=[("h", 1)], show_qubits="")
    assert [r[0] for r in nodes] == ["h_0_[1]"]


def test_huge_wire_count_costs_only_the_wires_used():
    n = 10**15
    _, edges = lists(n, [n - 1], [("cx", n - 1, 3), ("h", n - 1)])
    assert edges[-1] == (f"cx_0_[{n - 1}, 3]", f"h_1_[{n - 1}]", {"qubit": [n - 1]})


def test_tables_are_read_at_call_time(monkeypatch):
    table = dict(gatework.one_qubit_gates_available)
    table["foo"] = "F"
    monkeypatch.setattr(gatework, "one_qubit_gates_available", table)
    assert lists(1, [], [("foo", 0)], False)[0] == [("foo_0_[0]", {"qubits": [0]})]


def test_operand_code_that_changes_the_inputs_cannot_break_the_call():
    gates = []

    class Sneaky:
        def __index__(self):
            gates.clear()
            gates.extend([("x", 0)] * 3)
            gatework.one_qubit_gates_available = {}
            return 1

    saved = gatework.one_qubit_gates_available
    try:
        gates += [["cx", Sneaky(), 0], ["h", 1], ("h", 0)]
        nodes, edges = lists(2, [0, 1], gates)
        assert [n for n, _ in nodes] == ["q0", "q1", "cx_0_[1, 0]", "h_1_[1]", "h_2_[0]"]
        assert len(edges) == 4
    finally:
        gatework.one_qubit_gates_available = saved
