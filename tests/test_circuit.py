"""The circuit class: construction, copies, and the readers that fill it."""

import pytest
from helpers import corpus, quiet

from vexal.circuit import gatework, quantumcircuit
from vexal.circuit.quantumcircuit import QuantumCircuit


def test_construction_and_tables():
    qc = QuantumCircuit()
    assert (qc.nqubits, qc.ncbits, qc.qubits, qc.gates, qc.params_value) == (0, 0, [], [], {})
    qc = QuantumCircuit(3, 2)
    assert (qc.nqubits, qc.ncbits) == (3, 2)
    assert "nqubits=3" in repr(qc)
    for name in (
        "one_qubit_gates_available",
        "two_qubit_gates_available",
        "three_qubit_gates_available",
        "one_qubit_parameter_gates_available",
        "two_qubit_parameter_gates_available",
    ):
        assert getattr(quantumcircuit, name) is getattr(gatework, name)
    with pytest.raises(ValueError):
        QuantumCircuit(-1, 0)
    with pytest.raises(TypeError):
        QuantumCircuit("3", 0)


def test_deepcopy_is_independent():
    qc = QuantumCircuit(2, 1)
    qc.gates = [("h", 0), ("measure", [0], [0])]
    qc.qubits = [0, 1]
    qc.params_value = {"a": 0.1}
    cp = qc.deepcopy()
    cp.gates.reverse()
    cp.gates[0][1].append(1)
    cp.qubits.append(2)
    cp.params_value["b"] = 2
    assert qc.gates == [("h", 0), ("measure", [0], [0])]
    assert qc.qubits == [0, 1] and qc.params_value == {"a": 0.1}

    # records sharing one mutable part keep sharing it in the copy, and a
    # subclass keeps its own attributes
    class Tagged(QuantumCircuit):
        pass

    shared = [0]
    qc = Tagged(2, 2)
    qc.gates = [("measure", shared, [0]), ("measure", shared, [1]), ("rz", 0, 0.5)]
    qc.note = {"k": qc.gates}
    cp = qc.deepcopy()
    assert type(cp) is Tagged and cp.gates == qc.gates
    assert cp.gates[0][1] is cp.gates[1][1] and cp.gates[0][1] is not shared
    assert cp.note["k"] is cp.gates and cp.gates is not qc.gates


def test_readers_fill_from_parser_triple(monkeypatch):
    result = (
        [
            ("h", 1),
            ("cx", 1, 4),
            ("rzz", 0.5, 4, 1),
            ("u", 0.1, 0.2, 0.3, 1),
            ("barrier", (1, 6)),
            ("delay", 1e-8, (4,)),
            ("measure", [4], [2]),
        ],
        {4, 1},
        {2},
    )
    calls = []

    def fake(arg):
        calls.append(arg)
        return result

    # the parsers are looked up on the gatework module at call time
    monkeypatch.setattr(gatework, "parse_openqasm2_to_gates", fake, raising=False)
    monkeypatch.setattr(gatework, "parse_morvo_to_gates", fake, raising=False)
    for read, arg in ((QuantumCircuit.from_openqasm2, "text"), (QuantumCircuit.from_morvo, [["H", "Q1"]])):
        qc = QuantumCircuit()
        assert read(qc, arg) is qc
        assert calls[-1] is arg
        assert qc.gates == result[0]
        assert qc.qubits == [1, 4]
        assert qc.nqubits == 7  # the barrier wire 6 counts
        assert qc.ncbits == 3

    monkeypatch.setattr(gatework, "parse_morvo_to_gates", lambda m: ([], set(), set()), raising=False)
    qc = QuantumCircuit(5, 5).from_morvo([])
    assert (qc.nqubits, qc.ncbits, qc.qubits, qc.gates) == (0, 0, [], [])


@pytest.mark.parametrize(
    "bad, error",
    [
        ([("cx", 0, -1)], ValueError),
        # a qubit that is not an integer is a TypeError, here as in every pass
        ([("x", "q0")], TypeError),
        ([("x", True)], TypeError),
        ([("x", 1.0)], TypeError),
        ([("nonsense", 0)], ValueError),
        ([("cx", 0)], ValueError),
        ([("measure", [0], [True])], TypeError),
        (["x"], ValueError),
    ],
)
def test_reader_refuses_bad_records_without_changing(monkeypatch, bad, error):
    monkeypatch.setattr(gatework, "parse_morvo_to_gates", lambda m: (bad, {0}, set()), raising=False)
    qc = QuantumCircuit(2, 0)
    qc.gates = [("h", 0)]
    with pytest.raises(error):
        qc.from_morvo([])
    assert qc.gates == [("h", 0)] and qc.nqubits == 2


def test_from_openqasm2_real_parser():
    text = (
        'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[3];\ncreg c[2];\nh q[0];\ncx q[0],q[2];\nmeasure q[2] -> c[1];\n'
    )
    qc = QuantumCircuit().from_openqasm2(text)
    assert qc.qubits == [0, 2] and qc.nqubits == 3 and qc.ncbits == 2
    assert qc.gates[:2] == [("h", 0), ("cx", 0, 2)]


def test_own_reader_results_need_no_second_check(monkeypatch):
    # the records of the package's OpenQASM reader are taken as they come;
    # the same records through a stand-in parser are checked one by one and
    # must give the same circuit
    own = gatework.parse_openqasm2_to_gates
    for path in corpus()[:40]:
        text = path.read_text()
        fast = quiet(QuantumCircuit().from_openqasm2, text)[0]
        monkeypatch.setattr(gatework, "parse_openqasm2_to_gates", lambda t: own(t))
        checked = quiet(QuantumCircuit().from_openqasm2, text)[0]
        monkeypatch.setattr(gatework, "parse_openqasm2_to_gates", own)
        assert vars(fast) == vars(checked), path.name
