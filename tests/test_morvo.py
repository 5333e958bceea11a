"""morvo instruction lists: parse_morvo_to_gates and QuantumCircuit.from_morvo."""

import re

import numpy as np
import pytest

from vexal.circuit import gatework as gw
from vexal.circuit.quantumcircuit import QuantumCircuit

PREFIX = (
    "Sorry, an unrecognized morvo syntax was detected by vexalcircuit. Please contact the developer for assistance. "
)


def test_every_form():
    morvo = [
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
        (("CU", 0.7), ("Q0", "Q1")),
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
    gates, qubits, cbits = gw.parse_morvo_to_gates(morvo)
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
        ("cu", 0.7, 0, 1),
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
    # text before the first Q is ignored; the index is read by int()
    assert gw.parse_morvo_to_gates([("X", "qubit Q 5")])[0] == [("x", 5)]
    # angles are taken unchanged, names included
    assert gw.parse_morvo_to_gates([(("Rz", "theta"), "Q0")])[0] == [("rz", "theta", 0)]


@pytest.mark.parametrize(
    "morvo, tail",
    [
        ([("x", "Q0")], "x"),
        ([("Foo", "Q0")], "F"),
        ([("Rx", "Q0")], "R"),  # a parameter gate written without its tuple
        ([(("Cnot",), ("Q0", "Q1"))], "Cnot"),
        ([(("Bar", 1), "Q0")], "Bar"),
        ([("Delay", "Q0")], "D"),
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
    for bad in ([("X", "0")], [("X", "Qa")], [("CX", ("Q0",))], [(("u3", 0.1), "Q0")], [("X",)], [3]):
        with pytest.raises((ValueError, IndexError, TypeError)):
            gw.parse_morvo_to_gates(bad)


def test_quantum_circuit_from_morvo():
    qc = QuantumCircuit().from_morvo([("H", "Q1"), ("CZ", ("Q1", "Q3")), (("Measure", 0), "Q3")])
    assert qc.gates == [("h", 1), ("cz", 1, 3), ("measure", [3], [0])]
    assert qc.qubits == [1, 3] and qc.nqubits == 4 and qc.ncbits == 1
