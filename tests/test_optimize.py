"""GateCompressor: identity removal, merge rules and the merge loop."""

import math

import networkx as nx
import numpy as np
import pytest
from helpers import circuit, reference_subclass

from vexal.circuit import optimize as O
from vexal.circuit.dag import qc2dag
from vexal.circuit.keystage import TranspilerPass
from vexal.circuit.optimize import GateCompressor

PI = math.pi
COMPRESSIBLE = [
    "id", "x", "y", "z", "h", "cx", "cnot", "cy", "cz", "swap", "rx", "ry", "rz", "p", "u",
    "rxx", "ryy", "rzz", "ccx", "ccz", "cswap",
]  # fmt: skip


def run(gates, n=None, p=None):
    p = p or GateCompressor()
    return p.run(circuit(n, gates)).gates, p


def pass_on(gates, n=None):
    """A pass whose dag is the circuit DAG of gates, as run makes it."""
    p = GateCompressor()
    p.dag = qc2dag(circuit(n, gates))
    return p


# ------------------------------------------------------------------ frame


def test_class_frame():
    assert issubclass(GateCompressor, TranspilerPass)
    assert GateCompressor.__doc__.startswith(
        "A transpiler pass that merges or compresses adjacent gates in a quantum circuit."
    )
    assert "TranspilerPass" in GateCompressor.__doc__
    own = [k for k in GateCompressor.__dict__ if not k.startswith("__") or k == "__init__"]
    assert own[:12] == [
        "__init__", "remove_identity_gates", "is_adjacent_gates", "has_adjacent_gates",
        "compress_adjacent_single_qubit_gates", "compress_adjacent_single_parameter_qubit_gates",
        "compress_adjacent_two_qubit_gates", "compress_adjacent_two_qubit_parameter_gates",
        "compress_adjacent_three_qubit_gates", "run_compress_once", "idx", "run",
    ]  # fmt: skip
    p = GateCompressor()
    assert p.compressible_gates == COMPRESSIBLE and p._idx == 1000000
    assert not hasattr(p, "dag")
    assert (p.idx, p.idx, p._idx) == (1000001, 1000002, 1000002)
    with pytest.raises(AttributeError):
        p.idx = 5
    with pytest.raises(TypeError):
        GateCompressor(1)
    with pytest.raises(TypeError):
        p.is_adjacent_gates("a")
    with pytest.raises(TypeError):
        p.run()


def test_module_names():
    from vexal.circuit import dag, decompose, keystage, matrix, quantumcircuit

    assert O.np is np and O.TranspilerPass is keystage.TranspilerPass
    assert O.QuantumCircuit is quantumcircuit.QuantumCircuit
    for t in ("one_qubit_gates_available", "two_qubit_gates_available", "one_qubit_parameter_gates_available",
              "two_qubit_parameter_gates_available", "three_qubit_gates_available"):  # fmt: skip
        assert getattr(O, t) is getattr(quantumcircuit, t)
    assert not hasattr(O, "functional_gates_available")
    assert (O.qc2dag, O.dag2qc) == (dag.qc2dag, dag.dag2qc)
    assert O.u3_decompose is decompose.u3_decompose
    assert (O.u_mat, O.gate_matrix_dict) == (matrix.u_mat, matrix.gate_matrix_dict)


# ---------------------------------------------------------- identity removal


def test_identity_removal():
    qc = circuit(
        None,
        [("rz", 0.0, 0), ("rxx", 0, 0, 1), ("p", 2 * PI, 0), ("rx", 4 * PI, 1), ("u", 0, 0, 0, 0),
         ("r", 0, 1.3, 1), ("cp", 2 * PI, 0, 1), ("rz", 2 * PI, 0), ("rx", 2 * PI, 1), ("rzz", 2 * PI, 0, 1),
         ("id", 0), ("h", 1), ("measure", [0], [0])],
    )  # fmt: skip
    before = list(qc.gates)
    new = GateCompressor().remove_identity_gates(qc)
    assert new is not qc and qc.gates == before
    assert new.gates == before[7:]
    assert all(a is b for a, b in zip(new.gates, before[7:]))  # the input's own records


def test_u3_is_the_u_gate_of_its_angles():
    # a u3 record is no key of gate_matrix_dict; it is read as the u gate it equals
    new = GateCompressor().remove_identity_gates(circuit(None, [("u3", 0, 0, 0, 0), ("u3", 0.1, 0.2, 0.3, 0)]))
    assert new.gates == [("u", 0.1, 0.2, 0.3, 0)]
    out, _ = run([("u3", 0.3, 0.2, 0.1, 0), ("u", -0.3, -0.1, -0.2, 0)])
    assert out == []


def test_small_rotations_are_merged_not_dropped(monkeypatch):
    import oracle

    # only rounding counts as the identity: a rotation of 1e-5 is kept, and a
    # thousand of them add up to the rotation they make together
    chains = [
        [("rz", 1.9e-5, 0)] * 1000,
        [g for _ in range(300) for g in (("rzz", 1.5e-5, 0, 1), ("rx", 1.5e-5, 0), ("ry", -2e-6, 1))],
        [("u", 1e-9, 2e-9, -1e-9, 0)] * 500 + [("p", 1e-12, 1)] * 50,
    ]
    real_allclose = np.allclose
    for reference in (False, True):
        if reference:  # the same through the reference path
            monkeypatch.setattr(np, "allclose", lambda *a, **k: real_allclose(*a, **k))
        for gates in chains:
            out, _ = run(gates, 2)
            assert out
            oracle.assert_equivalent(gates, out, 2, atol=1e-9)
        assert run([("rz", 1.9e-5, 0)] * 1000)[0] == [("rz", pytest.approx(0.019, rel=1e-12), 0)]
        assert run([("rz", 1e-14, 0)])[0] == []  # rounding, not a rotation
    monkeypatch.undo()
    from helpers import quiet

    from vexal.circuit.transpiler import Transpiler

    out = quiet(Transpiler().run, circuit(2, chains[1]), optimize_level=1)[0]
    oracle.assert_equivalent(chains[1], out.gates, 2, atol=1e-9)


# ----------------------------------------------------------------- the loop


@pytest.mark.parametrize(
    "gates, left",
    [
        ([("h", 0), ("x", 0), ("x", 0), ("h", 0)], []),
        ([("x", 0), ("x", 0), ("x", 0)], [("x", 0)]),
        ([("x", 0), ("cx", 1, 2), ("x", 0)], [("cx", 1, 2)]),
        ([("x", 0), ("measure", [0], [0]), ("x", 0)], [("x", 0), ("measure", [0], [0]), ("x", 0)]),
        ([("cx", 0, 1), ("cx", 0, 1)], []),
        ([("cx", 0, 1), ("cx", 1, 0)], [("cx", 0, 1), ("cx", 1, 0)]),
        ([("cx", 0, 1), ("h", 1), ("cx", 0, 1)], [("cx", 0, 1), ("h", 1), ("cx", 0, 1)]),
        ([("ccx", 0, 1, 2), ("cz", 3, 4), ("ccx", 0, 1, 2), ("cswap", 2, 0, 1), ("cswap", 2, 0, 1)], [("cz", 3, 4)]),
        ([("id", 0), ("id", 0), ("id", 1)], [("id", 1)]),
        ([("rz", PI, 0), ("rz", PI, 0)], [("rz", 2 * PI, 0)]),
        ([("p", PI, 0), ("p", PI, 0)], []),
        ([("rx", 2 * PI, 0), ("rx", 2 * PI, 0)], []),
        ([("rxx", 0.5, 0, 1), ("rxx", -0.5, 0, 1)], []),
        ([("rxx", 0.5, 0, 1), ("rxx", 0.5, 0, 1)], [("rxx", 1.0, 0, 1)]),
        ([("u", 0.3, 0.2, 0.1, 0), ("u", -0.3, -0.1, -0.2, 0)], []),
    ],
)
def test_merges(gates, left):
    assert run(gates)[0] == left


def test_gates_never_merged():
    gates = [("s", 0), ("s", 0), ("t", 1), ("tdg", 1), ("iswap", 0, 1), ("iswap", 0, 1), ("cp", 0.3, 0, 1),
             ("cp", 0.3, 0, 1), ("r", 0.3, 0.1, 0), ("r", 0.3, 0.1, 0), ("sx", 1), ("sx", 1)]  # fmt: skip
    assert sorted(run(gates)[0]) == sorted(gates)


def test_parameter_merge_names_and_state():
    qc = circuit(None, [("h", 0), ("rx", 0.25, 0), ("rx", 0.5, 0), ("h", 0)])
    p = GateCompressor()
    out = p.run(qc)
    assert out.gates == [("h", 0), ("rx", 0.75, 0), ("h", 0)]
    assert "rx_1000001_[0]" in p.dag and p._idx == 1000001
    assert p.dag.nodes["rx_1000001_[0]"] == {"qubits": [0], "params": [0.75]}
    # the counter goes on in the next run
    p.run(qc)
    assert "rx_1000002_[0]" in p.dag and p._idx == 1000002


def test_u_merge_applies_the_first_gate_first():
    u1, u2 = (0.4, 0.3, -0.2), (1.1, -0.7, 0.5)
    out, _ = run([("u", *u1, 0), ("u", *u2, 0)])
    ((name, *angles, q),) = out
    expected = O.u_mat(*u2) @ O.u_mat(*u1)
    got = O.u_mat(*angles)
    phase = (
        expected[np.unravel_index(np.argmax(abs(got)), got.shape)]
        / got[np.unravel_index(np.argmax(abs(got)), got.shape)]
    )
    assert name == "u" and q == 0 and np.allclose(got * phase, expected)


def test_result_carries_the_input_frame():
    qc = circuit(3, [("x", 0), ("measure", [0, 1], [1, 0])])
    qc.ncbits = 5
    qc.params_value = {"theta": 0.5}
    p = GateCompressor()
    out = p.run(qc)
    assert out.qubits is qc.qubits and (out.nqubits, out.ncbits) == (3, 5)
    # split into one measure per qubit, in the DAG's topological order
    assert out.gates == [("x", 0), ("measure", [1], [0]), ("measure", [0], [1])]
    # the parameter values go with the circuit, as a copy
    assert out.params_value == {"theta": 0.5} and out.params_value is not qc.params_value


def test_input_left_unchanged():
    gates = [("x", 0), ("x", 0), ("rz", 0.0, 1), ("rx", 0.1, 1), ("rx", 0.2, 1)]
    qc = circuit(None, gates)
    qubits = qc.qubits
    GateCompressor().run(qc)
    assert qc.gates == gates and qc.qubits is qubits and qc.qubits == [0, 1]


# ------------------------------------------------------------- merge rules


def test_one_qubit_cancel_rewires():
    p = pass_on([("cx", 0, 1), ("x", 0), ("x", 0), ("cz", 0, 1)])
    a, x1, x2, b = "cx_0_[0, 1]", "x_1_[0]", "x_2_[0]", "cz_3_[0, 1]"
    assert p.is_adjacent_gates(x1, x2) and not p.is_adjacent_gates(a, x1)
    assert p.run_compress_once(x1, x2) == ([x1, x2], [], [(a, b, {"qubit": [0, 1]})])
    p = pass_on([("x", 0), ("x", 0)])
    assert p.compress_adjacent_single_qubit_gates("x_0_[0]", "x_1_[0]") == (["x_0_[0]", "x_1_[0]"], [], [])


def test_one_qubit_cancel_labels_the_wires_the_edge_carries():
    # ccx -> cx carries wire 0; the h pair on wire 2 adds wire 2 -- not wire 1,
    # which goes from the ccx to the x
    p = pass_on([("ccx", 0, 1, 2), ("h", 2), ("h", 2), ("cx", 0, 2), ("x", 1)])
    res = p.run_compress_once("h_1_[2]", "h_2_[2]")
    assert res[2] == [("ccx_0_[0, 1, 2]", "cx_3_[0, 2]", {"qubit": [0, 2]})]
    # the new edge keeps the old edge's place, with the new label
    p = GateCompressor()
    p.run(circuit(None, [("ccx", 0, 1, 2), ("h", 2), ("h", 2), ("cx", 0, 2), ("x", 1)]))
    assert list(p.dag.out_edges("ccx_0_[0, 1, 2]", data=True)) == [
        ("ccx_0_[0, 1, 2]", "cx_3_[0, 2]", {"qubit": [0, 2]}),
        ("ccx_0_[0, 1, 2]", "x_4_[1]", {"qubit": [1]}),
    ]


def test_parameter_merge_rule():
    p = pass_on([("h", 0), ("rz", 0.5, 0), ("rz", 0.25, 0), ("x", 0)])
    res = p.run_compress_once("rz_1_[0]", "rz_2_[0]")
    assert res == (
        ["rz_1_[0]", "rz_2_[0]"],
        [("rz_1000001_[0]", {"qubits": [0], "params": [0.75]})],
        [("h_0_[0]", "rz_1000001_[0]", {"qubit": [0]}), ("rz_1000001_[0]", "x_3_[0]", {"qubit": [0]})],
    )
    # handed-on objects: the qubits list of node1, the labels of the old edges
    assert res[1][0][1]["qubits"] is p.dag.nodes["rz_1_[0]"]["qubits"]
    assert res[2][0][2]["qubit"] is p.dag.edges["h_0_[0]", "rz_1_[0]"]["qubit"]
    # a merge that gives the identity reads no idx
    p = pass_on([("p", PI, 0), ("p", PI, 0)])
    assert p.run_compress_once("p_0_[0]", "p_1_[0]") == (["p_0_[0]", "p_1_[0]"], [], [])
    assert p._idx == 1000000


def test_two_qubit_cancel_rewires_each_wire():
    p = pass_on([("h", 0), ("x", 1), ("cx", 0, 1), ("cx", 0, 1), ("z", 0), ("y", 1)])
    res = p.compress_adjacent_two_qubit_gates("cx_2_[0, 1]", "cx_3_[0, 1]")
    assert res[2] == [("h_0_[0]", "z_4_[0]", {"qubit": [0]}), ("x_1_[1]", "y_5_[1]", {"qubit": [1]})]
    # one predecessor on both wires, whose edge to the first successor exists:
    # that edge's wires join, in set order
    p = pass_on([("cx", 0, 1), ("cz", 0, 1), ("cz", 0, 1), ("ccx", 0, 2, 1)], n=3)
    p.dag.add_edge("cx_0_[0, 1]", "ccx_3_[0, 2, 1]", qubit=[2])
    res = p.run_compress_once("cz_1_[0, 1]", "cz_2_[0, 1]")
    assert res[2] == [("cx_0_[0, 1]", "ccx_3_[0, 2, 1]", {"qubit": list({0, 1, 2})})]
    # no predecessor: no edge
    p = pass_on([("cz", 0, 1), ("cz", 0, 1), ("x", 0)])
    p.dag.remove_nodes_from(["q0", "q1"])
    assert p.run_compress_once("cz_0_[0, 1]", "cz_1_[0, 1]")[2] == []


def test_two_qubit_parameter_rule():
    p = pass_on([("h", 0), ("rzz", 0.5, 0, 1), ("rzz", 0.5, 0, 1)])
    res = p.compress_adjacent_two_qubit_parameter_gates("rzz_1_[0, 1]", "rzz_2_[0, 1]")
    assert res[1] == [("rzz_1000001_[0, 1]", {"qubits": [0, 1], "params": [1.0]})]
    assert res[2] == [("h_0_[0]", "rzz_1000001_[0, 1]", {"qubit": [0]}), ("q1", "rzz_1000001_[0, 1]", {"qubit": [1]})]


def test_adjacency():
    p = pass_on([("cx", 0, 1), ("cx", 1, 0), ("rx", 0.1, 0), ("ry", 0.1, 0), ("s", 1), ("s", 1)])
    assert not p.is_adjacent_gates("cx_0_[0, 1]", "cx_1_[1, 0]")  # other qubit order
    assert not p.is_adjacent_gates("rx_2_[0]", "ry_3_[0]")  # other gate
    assert not p.is_adjacent_gates("s_4_[1]", "s_5_[1]")  # not compressible
    p.compressible_gates.append("s")
    assert p.is_adjacent_gates("s_4_[1]", "s_5_[1]")
    assert p.has_adjacent_gates()
    assert not pass_on([("x", 0), ("y", 0)]).has_adjacent_gates()


# ------------------------------------------------------------------ faults


def test_created_names_never_equal_converted_ones():
    # with the counter below the DAG's positions, a created rz would be named
    # like the rz at position 3 and take its place; run numbers past them
    gates = [("rz", 0.1, 0), ("rz", 0.2, 0), ("h", 0), ("rz", 0.3, 0)]
    p = GateCompressor()
    p._idx = 2
    out = p.run(circuit(None, gates))
    assert out.gates == [("rz", 0.1 + 0.2, 0), ("h", 0), ("rz", 0.3, 0)]
    assert "rz_4_[0]" in p.dag and p._idx == 4


def test_a_walk_that_finds_no_pair_ends_the_loop():
    class Eager(GateCompressor):
        def has_adjacent_gates(self):
            return True

    assert Eager().run(circuit(None, [("x", 0), ("x", 0), ("h", 0)])).gates == [("h", 0)]


# ---------------------------------------------------------------- failures


@pytest.mark.parametrize("cls", [GateCompressor, reference_subclass(GateCompressor, "run_compress_once")])
def test_failures_leave_the_input(cls):
    qc = circuit(None, [("rx", "theta", 0)])
    with pytest.raises(TypeError, match="numeric angles.*'theta'"):
        cls().run(qc)
    assert qc.gates == [("rx", "theta", 0)]
    with pytest.raises(ValueError, match="wrong gate type"):
        cls().run(circuit(None, [("nope", 0)]))
    with pytest.raises(ValueError):
        cls().run(circuit(None, [("cx", 0, 0)]))
    # a compressible name of no rule table: the rule gives None, which does not unpack
    p = cls()
    p.compressible_gates.append("measure")
    with pytest.raises(TypeError, match="cannot unpack non-iterable NoneType object"):
        p.run(circuit(None, [("measure", [0], [0]), ("measure", [0], [0])]))


def test_one_qubit_node_with_two_predecessors_is_refused():
    p = pass_on([("h", 0), ("x", 0), ("x", 0)])
    p.dag.add_edge("q0", "x_1_[0]", qubit=[1])
    with pytest.raises(ValueError, match="has 2 predecessors"):
        p.compress_adjacent_single_qubit_gates("x_1_[0]", "x_2_[0]")


def test_dag_is_a_networkx_digraph():
    p = GateCompressor()
    p.run(circuit(None, [("x", 0)]))
    assert type(p.dag) is nx.DiGraph and p.dag.graph["qubits"] == [0]
