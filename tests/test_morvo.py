"""morvo instruction lists: parse_morvo_to_gates and QuantumCircuit.from_morvo."""

import re

import numpy as np
import pytest
from helpers import quiet

from vexal.circuit import gatework as gw
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.transpiler import Transpiler

PREFIX = (
    "Sorry, an unrecognized morvo syntax was detected by vexalcircuit. Please contact the developer for assistance. "
)


EVERY_FORM = [
    ("X", "Q0"),
    ("Y", "Q1"),
    ("Z", "Q0"),
    ("S", "Q0"),
    ("T", "Q0"),
    ("H", "Q0"),
    ("I", "Q2"),
    ("-S", "Q0"),
    ("-T", "Q0"),
    ("Z/2", "Q0"),
    ("-Z/2", "Q0"),
    ("X/2", "Q0"),
    ("-X/2", "Q0"),
    ("Y/2", "Q0"),
    ("-Y/2", "Q0"),
    (("u3", 0.1, 0.2, 0.3), "Q0"),
    (("U", 0.1, 0.2, 0.3), "Q0"),
    (("u1", 0.4), "Q0"),
    (("u2", 0.1, 0.2), "Q0"),
    (("R", 0.5), "Q1"),
    ("Cnot", ("Q0", "Q1")),
    ("CX", ["Q1", "Q0"]),
    ("CY", ("Q0", "Q1")),
    ("CZ", ("Q0", "Q1")),
    ("SWAP", ("Q0", "Q1")),
    ("iSWAP", ("Q0", "Q1")),
    ("CCZ", ("Q0", "Q1", "Q2")),
    ("CCX", ("Q0", "Q1", "Q2")),
    ("CSWAP", ("Q0", "Q1", "Q2")),
    (("Rx", 0.1), "Q0"),
    (("Ry", 0.2), "Q0"),
    (("Rz", 0.3), "Q0"),
    (("P", 0.4), "Q0"),
    ("Reset", "Q3"),
    ("Barrier", ["Q0", "Q7"]),
    (("Delay", 1e-07), "Q2"),
    (("Measure", 1), "Q12", "extra"),
]


def test_every_form():
    gates, qubits, cbits = gw.parse_morvo_to_gates(EVERY_FORM)
    h = np.pi / 2
    assert gates == [
        ("x", 0),
        ("y", 1),
        ("z", 0),
        ("s", 0),
        ("t", 0),
        ("h", 0),
        ("id", 2),
        ("sdg", 0),
        ("tdg", 0),
        ("s", 0),
        ("sdg", 0),
        ("rx", h, 0),
        ("rx", -h, 0),
        ("ry", h, 0),
        ("ry", -h, 0),
        ("u", 0.1, 0.2, 0.3, 0),
        ("u", 0.1, 0.2, 0.3, 0),
        ("p", 0.4, 0),
        ("u", h, 0.1, 0.2, 0),
        ("r", h, 0.5, 1),
        ("cx", 0, 1),
        ("cx", 1, 0),
        ("cy", 0, 1),
        ("cz", 0, 1),
        ("swap", 0, 1),
        ("iswap", 0, 1),
        ("ccz", 0, 1, 2),
        ("ccx", 0, 1, 2),
        ("cswap", 0, 1, 2),
        ("rx", 0.1, 0),
        ("ry", 0.2, 0),
        ("rz", 0.3, 0),
        ("p", 0.4, 0),
        ("reset", 3),
        ("barrier", (0, 7)),
        ("delay", 1e-07, (2,)),
        ("measure", [12], [1]),
    ]
    assert gates[11][1] == 1.5707963267948966
    assert qubits == {0, 1, 2, 3, 12} and cbits == {1}  # barrier qubits are not counted


def test_small_examples():
    assert gw.parse_morvo_to_gates([("X", "Q0"), ("Cnot", ("Q0", "Q1")), (("Measure", 0), "Q1")]) == (
        [("x", 0), ("cx", 0, 1), ("measure", [1], [0])],
        {0, 1},
        {0},
    )
    assert gw.parse_morvo_to_gates([("Barrier", ["Q0", "Q2"])]) == ([("barrier", (0, 2))], set(), set())
    assert gw.parse_morvo_to_gates([]) == ([], set(), set())
    assert gw.parse_morvo_to_gates([("X", "Q07")])[0] == [("x", 7)]
    # angles are taken unchanged, names included; a barrier may name a qubit twice
    assert gw.parse_morvo_to_gates([(("Rz", "theta"), "Q0")])[0] == [("rz", "theta", 0)]
    assert gw.parse_morvo_to_gates([("Barrier", ("Q1", "Q1"))])[0] == [("barrier", (1, 1))]


@pytest.mark.parametrize(
    "morvo, tail",
    [
        ([("x", "Q0")], "x"),
        ([("Foo", "Q0")], "F"),
        ([("Rx", "Q0")], "R"),  # a parameter gate written without its tuple
        ([(("Cnot",), ("Q0", "Q1"))], "Cnot"),
        ([(("Bar", 1), "Q0")], "Bar"),
        ([("Delay", "Q0")], "D"),
        ([("", "Q0")], ""),
    ],
)
def test_unrecognized(morvo, tail):
    with pytest.raises(ValueError, match=re.escape(PREFIX + tail) + "$"):
        gw.parse_morvo_to_gates([("X", "Q0")] + morvo)


def test_malformed_input_raises():
    with pytest.raises(TypeError):
        gw.parse_morvo_to_gates((("X", "Q0"),))
    with pytest.raises(TypeError):
        gw.parse_morvo_to_gates(None)


INSTRUCTION = "a morvo instruction is a tuple or list (gate, qubits) such as ('H', 'Q0')"
TWO_PARTS = "a morvo instruction holds a gate and its qubits, such as ('H', 'Q0')"
GATE = "a morvo gate is a name such as 'H' or a tuple (name, parameters...) such as ('Rx', 0.5), got "
BARRIER = "morvo gate Barrier takes a sequence of qubit names such as ['Q0', 'Q1'], got "


@pytest.mark.parametrize(
    "instruction, exc, message",
    [
        ((), ValueError, TWO_PARTS),
        (("X",), ValueError, TWO_PARTS),
        (
            [
                "",
            ],
            ValueError,
            TWO_PARTS,
        ),
        (5, TypeError, INSTRUCTION),
        (None, TypeError, INSTRUCTION),
        ("HQ0", TypeError, INSTRUCTION),
        ({0: "H", 1: "Q0"}, TypeError, INSTRUCTION),
        (((), "Q0"), ValueError, "a morvo gate written as a tuple starts with its name, such as ('Rx', 0.5), got ()"),
        ((5, "Q0"), TypeError, GATE + "5"),
        ((None, "Q0"), TypeError, GATE + "None"),
        (("Barrier", None), TypeError, BARRIER + "None"),
        (("Barrier", 7), TypeError, BARRIER + "7"),
        (("Barrier", "Q1"), ValueError, BARRIER + "'Q1'"),
        (("CX", None), TypeError, "morvo gate CX takes a sequence of 2 qubit names, got None"),
        (("CX", {"Q0", "Q1"}), TypeError, "morvo gate CX takes a sequence of 2 qubit names, got {"),
        (("X", "Q" + "9" * 5000), ValueError, "the qubit index of 'Q999"),
    ],
)
def test_malformed_instructions_are_named_with_their_position(instruction, exc, message):
    """What is wrong, then where: the instruction's position and what it holds."""
    with pytest.raises(exc) as e:
        gw.parse_morvo_to_gates([("H", "Q0"), ("X", "Q1"), instruction])
    text = str(e.value)
    assert text.startswith(message), text
    where = ", in instruction 2 of the morvo list: "
    assert where in text and text.endswith(repr(instruction)[:200] + ("..." if len(repr(instruction)) > 200 else ""))


@pytest.mark.parametrize(
    "instruction, message",
    [
        # qubit names: Q and a decimal index, nothing else
        (("X", "Q1Q2"), "Q followed by a decimal index, such as 'Q0', got 'Q1Q2'"),
        (("X", "Q 1_0"), "got 'Q 1_0'"),
        (("X", "qubit Q 5"), "got 'qubit Q 5'"),
        (("X", "Q"), "got 'Q'"),
        (("X", "Q-1"), "got 'Q-1'"),
        (("X", "0"), "got '0'"),
        # as many qubits and parameters as the gate takes
        (("CX", ("Q0",)), "CX takes a sequence of 2 qubit names"),
        (("CX", ("Q0", "Q1", "Q2")), "CX takes a sequence of 2 qubit names"),
        (("CX", "Q0Q1"), "CX takes a sequence of 2 qubit names"),
        ((("u3", 0.1), "Q0"), "u3 takes 3 parameter(s), got 1"),
        ((("Rx", 0.1, 0.2), "Q0"), "Rx takes 1 parameter(s), got 2"),
        # no qubit twice in one gate
        (("CZ", ("Q3", "Q3")), "morvo gate CZ uses qubit 3 more than once"),
        (("CCX", ("Q0", "Q1", "Q0")), "morvo gate CCX uses qubit 0 more than once"),
        # numbers that are not finite
        ((("Rz", float("inf")), "Q0"), "Rz: parameter inf is not a finite number"),
        ((("u3", 0.1, float("nan"), 0.2), "Q0"), "u3: parameter nan is not a finite number"),
        ((("Delay", np.float32("inf")), "Q0"), "is not a finite number"),
        ((("Delay", -1e-07), "Q0"), "morvo gate Delay: duration -1e-07 is negative"),
        ((("Delay", -3), "Q0"), "morvo gate Delay: duration -3 is negative"),
    ],
)
def test_junk_is_refused(instruction, message):
    with pytest.raises(ValueError, match=re.escape(message) + ".*, in instruction 1 of the morvo list: "):
        gw.parse_morvo_to_gates([("H", "Q0"), instruction])


def test_parameters_of_other_types():
    for instruction, message in [
        ((("Rx", None), "Q0"), "morvo gate Rx: parameter None is not a number or a parameter name"),
        ((("P", complex(1, float("inf"))), "Q0"), "morvo gate P: parameter (1+infj) is not a number or a parameter"),
        ((("u3", 0.1, [0.2], 0.3), "Q0"), "morvo gate u3: parameter [0.2] is not a number or a parameter name"),
        ((("Delay", "t"), "Q0"), "morvo gate Delay: parameter 't' is not a number of seconds"),
    ]:
        with pytest.raises(TypeError, match=re.escape(message)):
            gw.parse_morvo_to_gates([instruction])
    # numbers of any real type, and parameter names for angles
    gates, _, _ = gw.parse_morvo_to_gates([(("Rz", np.float32(0.5)), "Q0"), (("Delay", 0), "Q1"), (("P", "a"), "Q2")])
    assert gates == [("rz", np.float32(0.5), 0), ("delay", 0, (1,)), ("p", "a", 2)]


def test_cu_is_refused():
    """No gate table holds a controlled-U of one angle, so no pass could read
    a record of it: the reader refuses it at once."""
    message = "morvo gate CU is not supported: the package has no controlled-U gate of one angle to read it as"
    for where in (("Q0", "Q1"), ("Q2", "Q2"), "Q0"):
        with pytest.raises(ValueError, match=re.escape(message)):
            gw.parse_morvo_to_gates([("H", "Q0"), (("CU", 0.7), where)])


def test_every_form_survives_the_road():
    """Every record the reader writes is one the passes read."""
    qc = QuantumCircuit().from_morvo(EVERY_FORM + [("CZ", (f"Q{i}", f"Q{i + 1}")) for i in range(12)])
    for level in (0, 1):
        out = quiet(Transpiler().run, qc.deepcopy(), optimize_level=level)[0]
        assert out.gates


def test_qubit_names_of_other_types():
    with pytest.raises(TypeError, match="a morvo qubit name is a str"):
        gw.parse_morvo_to_gates([("X", 3)])
    with pytest.raises(TypeError, match="a morvo qubit name is a str"):
        gw.parse_morvo_to_gates([("X", ["Q0"])])


def test_quantum_circuit_from_morvo():
    qc = QuantumCircuit().from_morvo([("H", "Q1"), ("CZ", ("Q1", "Q3")), (("Measure", 0), "Q3")])
    assert qc.gates == [("h", 1), ("cz", 1, 3), ("measure", [3], [0])]
    assert qc.qubits == [1, 3] and qc.nqubits == 4 and qc.ncbits == 1
