"""The record check that passes make at their entry, and records that repeat a qubit."""

import math
import random

import networkx as nx
import numpy as np
import pytest
from helpers import circuit, quiet

from vexal.circuit import decompose as D
from vexal.circuit import gatework
from vexal.circuit import translate as T
from vexal.circuit.dag import qc2dag


def passes():
    return [D.ThreeQubitGateDecompose(), T.TranslateToBasisGates(False, "cx")]


# ---------------------------------------------------------------- a model of a sound record

SHAPES = {}
for name in gatework.one_qubit_gates_available:
    SHAPES[name] = (0, 1)
for name in gatework.two_qubit_gates_available:
    SHAPES[name] = (0, 2)
for name in gatework.three_qubit_gates_available:
    SHAPES[name] = (0, 3)
for name in gatework.one_qubit_parameter_gates_available:
    SHAPES[name] = ({"u": 3, "r": 2}.get(name, 1), 1)
for name in gatework.two_qubit_parameter_gates_available:
    SHAPES[name] = (1, 2)
SHAPES["reset"] = (0, 1)


def is_int(x):
    return isinstance(x, (int, np.integer)) and not isinstance(x, bool)


def sound(rec, n):
    """Whether the record check lets `rec` through on `n` qubits."""
    if not isinstance(rec, (tuple, list)) or not rec or rec[0] not in SHAPES | {"measure": 0, "barrier": 0, "delay": 0}:
        return False
    name, rest = rec[0], list(rec[1:])

    def qubits_ok(qs, distinct=True):
        return all(is_int(q) and 0 <= q < n for q in qs) and (not distinct or len(set(int(q) for q in qs)) == len(qs))

    if name == "measure":
        return (
            len(rest) == 2
            and all(isinstance(s, (tuple, list)) for s in rest)
            and len(rest[0]) == len(rest[1])
            and qubits_ok(rest[0], distinct=False)
            and all(is_int(c) and c >= 0 for c in rest[1])
        )
    if name in ("barrier", "delay"):
        if len(rest) != (2 if name == "delay" else 1) or not isinstance(rest[-1], (tuple, list)):
            return False
        if name == "delay" and not (
            isinstance(rest[0], (int, float)) and not isinstance(rest[0], bool) and 0 <= rest[0] < math.inf
        ):
            return False
        return qubits_ok(rest[-1])
    nparams, nwires = SHAPES[name]
    if name == "u3" and len(rest) == 4:
        nparams = 3
    if len(rest) != nparams + nwires:
        return False
    angles = rest[:nparams]
    if not all(isinstance(a, str) or (isinstance(a, (int, float)) and math.isfinite(a)) for a in angles):
        return False
    return qubits_ok(rest[nparams:])


def random_record(rng, n):
    names = list(SHAPES) + ["measure", "barrier", "delay", "cu", "CX"]
    name = rng.choice(names)
    operand = lambda: rng.choice([0, 1, 2, n - 1, n, -1, 1.0, "a", None, np.int64(1)])
    angle = lambda: rng.choice([0.5, 1, "theta", None, float("nan"), 1j])
    if name == "measure":
        qs = [operand() for _ in range(rng.randint(0, 3))]
        cs = [rng.choice([0, 1, -1, "c"]) for _ in range(len(qs) + rng.choice([0, 0, 0, 1, -1]))]
        return (name, qs, cs)
    if name in ("barrier", "delay"):
        qs = tuple(operand() for _ in range(rng.randint(0, 4)))
        qs = rng.choice([qs, list(qs), qs[0] if qs else 0])
        return (name, rng.choice([1e-7, 0, -1.0, "d", float("inf")]), qs) if name == "delay" else (name, qs)
    nparams, nwires = SHAPES.get(name, (0, 2))
    nparams += rng.choice([0, 0, 0, 0, -1, 1])
    nwires += rng.choice([0, 0, 0, 0, -1, 1])
    return (name, *[angle() for _ in range(max(nparams, 0))], *[operand() for _ in range(max(nwires, 0))])


# ---------------------------------------------------------------- the check at the passes' entry


@pytest.mark.parametrize(
    "rec, error, text",
    [
        (("h",), ValueError, r"malformed gate record \('h',\): wrong number of elements"),
        (("h", -1), ValueError, "qubit index -1 out of range for 3 qubits"),
        (("h", 3), ValueError, "qubit index 3 out of range for 3 qubits"),
        (("h", 1.0), TypeError, "qubit index must be an integer, got 1.0"),
        (("h", True), TypeError, "qubit index must be an integer, got True"),
        (("measure", [0], [False]), TypeError, "classical bit must be an integer, got False"),
        (("cx", 0, 0), ValueError, "qubit 0 appears more than once"),
        (("ccx", 0, 0, 1), ValueError, "qubit 0 appears more than once"),
        (("measure", [0, 1], [0]), ValueError, "fewer classical bits than qubits"),
        (("measure", [0], [0, 1]), ValueError, "more classical bits than qubits"),
        (("measure", [0], [-1]), ValueError, "classical bit -1 is negative"),
        (("barrier", 0), ValueError, "its qubits must be a tuple or a list"),
        (("barrier", (0, 1, 0)), ValueError, "qubit 0 appears more than once"),
        (("delay", -1e-9, (0,)), ValueError, "duration must be a finite number, at least 0"),
        (("delay", "1ns", (0,)), TypeError, "delay duration must be a number"),
        (("rx", None, 0), TypeError, "angle must be a number or a parameter name, got None"),
        (("rx", float("nan"), 0), ValueError, "angle nan is not a finite number"),
        ("h", ValueError, "a gate record is a tuple"),
    ],
)
def test_malformed_records_are_refused_before_anything_is_made(rec, error, text, capsys):
    for p in passes():
        if isinstance(p, T.TranslateToBasisGates) and rec[0] == "ccx":
            continue  # a gate translate does not take: its own error (below)
        qc = circuit(3, [("h", 0), rec])
        before = list(qc.gates)
        with pytest.raises(error, match=text):
            p.run(qc)
        assert qc.gates == before
    assert capsys.readouterr().out == ""


def test_each_pass_keeps_its_own_errors_and_operand_conversions(capsys):
    # a name the pass does not handle is its own error, even before a malformed record
    for name in ("ccx", "cu"):
        qc = circuit(3, [(name, 0, 1, 2), ("h",)])
        with pytest.raises(TypeError, match=f"^Input {name} gate is not support to basic gates now.$"):
            T.TranslateToBasisGates(False, "cx").run(qc)
    # the three-qubit decompositions count and convert their operands themselves
    tqd = D.ThreeQubitGateDecompose()
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        tqd.run(circuit(3, [("ccx", 0, 1)]))
    with pytest.raises(TypeError, match="control_qubit1"):
        tqd.run(circuit(3, [("ccx", "a", 1, 2)]))
    assert tqd.run(circuit(3, [("ccx", 0, 1.0, 2)])).gates == D.ccx_decompose(0, 1, 2)
    with pytest.raises(ValueError, match="qubit 0 appears more than once"):
        tqd.run(circuit(3, [("ccx", 0.0, 0, 1)]))
    with pytest.raises(ValueError, match="wrong gate type cu"):
        tqd.run(circuit(3, [("cu", 0.1, 0, 1)]))
    # a one-angle u3 record has no matrix to translate; a three-angle one is a u gate
    with pytest.raises(KeyError, match="u3"):
        T.TranslateToBasisGates(True, "cx").run(circuit(1, [("u3", 0.5, 0)]))
    out = T.TranslateToBasisGates(True, "cx").run(circuit(1, [("u3", 0.5, 0.1, 0.2, 0)])).gates
    assert out == [("u", 0.5, 0.1, 0.2, 0)]
    # symbolic angles and numpy qubits are sound
    qc = circuit(2, [("rx", "theta", np.int64(1)), ("rzz", "phi", 0, 1), ("u", 0.1, 2, "x", 0)])
    assert tqd.run(qc).gates == qc.gates
    capsys.readouterr()


def test_the_check_reads_the_tables_each_pass_sees(monkeypatch, capsys):
    one = dict(gatework.one_qubit_gates_available, foo="F")
    monkeypatch.setattr(gatework, "one_qubit_gates_available", one)
    assert D.ThreeQubitGateDecompose().run(circuit(1, [("foo", 0)])).gates == [("foo", 0)]
    with pytest.raises(ValueError, match="wrong number of elements"):
        D.ThreeQubitGateDecompose().run(circuit(1, [("foo", 0, 0)]))
    # translate tests its own names: there "foo" is still unknown, and "h" can be taken away
    with pytest.raises(TypeError, match="^Input foo gate"):
        T.TranslateToBasisGates(False, "cx").run(circuit(1, [("foo", 0)]))
    monkeypatch.setattr(T, "one_qubit_gates_available", {})
    with pytest.raises(TypeError, match="^Input h gate"):
        T.TranslateToBasisGates(False, "cx").run(circuit(1, [("h", 0)]))
    capsys.readouterr()


def test_random_records_against_the_model(capsys):
    rng = random.Random(7)
    tqd = D.ThreeQubitGateDecompose()
    for _ in range(3000):
        n = rng.randint(1, 4)
        rec = random_record(rng, n)
        qc = circuit(n, [rec])
        try:
            tqd.run(qc)
            ok = True
        except (ValueError, TypeError):
            ok = False
        expected = sound(rec, n)
        if rec[0] in gatework.three_qubit_gates_available and not expected:
            # lenient there: count and types are the decomposition's errors, floats its int()
            continue
        assert ok == expected, rec
    capsys.readouterr()


def test_every_reader_of_record_shapes_reads_the_one_table(monkeypatch, capsys):
    # a name in two tables has the shape of the first the shared table tests:
    # cx stays a two-qubit gate once it is also a one-qubit parameter gate,
    # for the circuit class, the record check and the DAG builder alike
    monkeypatch.setitem(gatework.one_qubit_parameter_gates_available, "cx", "X")
    assert gatework._record_wires(("cx", 5, 0)) == ((5, 0), ())
    assert gatework._record_wires(("measure", [1, 2], [0, 1])) == ((1, 2), (0, 1))
    monkeypatch.setattr(gatework, "parse_morvo_to_gates", lambda m: ([("cx", 5, 0)], set(), set()))
    from vexal.circuit.quantumcircuit import QuantumCircuit

    assert QuantumCircuit().from_morvo([]).nqubits == 6
    nodes, _ = gatework.convert_gate_info_to_dag_info(6, [], [("cx", 5, 0)])
    assert [str(r[0]) for r in nodes] == ["cx_0_[5, 0]"]
    # the drawing keeps its own precedence of the parameter tables, with the
    # shared shapes: rzz in both is drawn as the two-qubit box it is
    monkeypatch.setitem(gatework.one_qubit_parameter_gates_available, "rzz", "Z")
    lines = gatework.add_gates_to_lines(2, 0, [("rzz", 0.5, 0, 1)], {})[0]
    assert any("Rzz" in line for line in lines) and any("\u250c" in line for line in lines)
    capsys.readouterr()


# ---------------------------------------------------------------- repeated qubits in the DAG


@pytest.mark.parametrize("rec", [("cx", 0, 0), ("ccx", 0, 0, 1), ("ccz", 1, 0, 1), ("rzz", 0.1, 2, 2)])
def test_qc2dag_refuses_a_gate_that_repeats_a_qubit(rec):
    with pytest.raises(ValueError, match="appears more than once"):
        qc2dag(circuit(3, [("h", 0), rec]))
    with pytest.raises(ValueError, match="appears more than once"):
        gatework.convert_gate_info_to_dag_info(3, [], [rec])


def test_a_measure_may_read_one_qubit_twice():
    nodes, _ = gatework.convert_gate_info_to_dag_info(2, [], [("measure", [0, 0], [0, 1])])
    assert [str(r[0]) for r in nodes] == ["measure_0_[0]", "measure_1_[0]"]


# ---------------------------------------------------------------- records every pass must keep whole


def test_a_three_angle_u3_record_keeps_its_angles_through_every_pass():
    import oracle

    from vexal.circuit.backend import Backend
    from vexal.circuit.dag import dag2qc
    from vexal.circuit.optimize import GateCompressor
    from vexal.circuit.routing import SabreRouting
    from vexal.circuit.schedule import DynamicalDecoupling
    from vexal.circuit.transpiler import Transpiler

    gates = [("u3", 0.1, 0.2, 0.3, 0), ("cx", 0, 1), ("u3", 0.5, 0.6, 0.7, 1), ("cx", 1, 2), ("u3", 1.1, -0.4, 2.0, 2)]
    assert dag2qc(qc2dag(circuit(3, gates)), 3, 3).gates == gates
    assert [a["params"] for _, a in qc2dag(circuit(3, gates)).nodes(data=True) if "params" in a][0] == [0.1, 0.2, 0.3]
    chip = Backend.heavy_hex(1, 1)
    for p in (SabreRouting(nx.path_graph(3)), DynamicalDecoupling(3e-8, 6e-8)):
        out = quiet(p.run, circuit(3, gates))[0]
        assert sorted(g for g in out.gates if g[0] == "u3") == sorted(g for g in gates if g[0] == "u3")
    compressed = GateCompressor().run(circuit(3, gates)).gates
    oracle.assert_equivalent(gates, compressed, 3)
    for chip_or_none in (None, chip):
        for level in (0, 1, 2):
            out = quiet(Transpiler(chip_or_none).run, circuit(3, gates), optimize_level=level)[0]
            assert all(g[0] != "u3" or len(g) == 5 for g in out.gates)


def test_translation_checks_records_as_every_pass_does(capsys):
    for rec, text in [
        (("cx", 0, 1, 2), "wrong number of elements"),
        (("cx", 0), "wrong number of elements"),
        (("rzz", 0.5, 0), "wrong number of elements"),
        (("cz", 0, 1.0), "qubit index must be an integer"),
    ]:
        for flag, basis in ((False, "cx"), (True, "cz")):
            with pytest.raises((ValueError, TypeError), match=text):
                T.TranslateToBasisGates(flag, basis).run(circuit(3, [rec]))
    capsys.readouterr()


def test_a_measure_into_a_missing_classical_bit_is_refused_by_every_pass(capsys):
    from vexal.circuit.optimize import GateCompressor
    from vexal.circuit.routing import SabreRouting
    from vexal.circuit.schedule import DynamicalDecoupling

    made = [
        D.ThreeQubitGateDecompose,
        lambda: T.TranslateToBasisGates(False, "cx"),
        lambda: T.TranslateToBasisGates(True, "cz"),
        GateCompressor,
        lambda: SabreRouting(nx.path_graph(2)),
        lambda: DynamicalDecoupling(3e-8, 6e-8),
    ]
    for make in made:
        for cbit in (2, 5, 10**30):
            qc = circuit(2, [("h", 0), ("measure", [0, 1], [0, cbit])], ncbits=2)
            with pytest.raises(ValueError, match=f"classical bit {cbit} out of range for 2 classical bits"):
                make().run(qc)
        ok = make().run(circuit(2, [("h", 0), ("measure", [0, 1], [1, 0])], ncbits=2))
        assert ("measure", [1], [0]) in ok.gates or ("measure", [0, 1], [1, 0]) in ok.gates
    capsys.readouterr()
