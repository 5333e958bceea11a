"""The circuit class and the one-qubit angle decomposition."""

import cmath
import contextlib
import io
import math
import os

import numpy as np
import pytest

from vexal.circuit import gatework, quantumcircuit
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.utils import u3_decompose

# ---------------------------------------------------------------- QuantumCircuit


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
    "bad",
    [
        [("cx", 0, -1)],
        [("x", "q0")],
        [("nonsense", 0)],
        ["x"],
    ],
)
def test_reader_refuses_bad_records_without_changing(monkeypatch, bad):
    monkeypatch.setattr(gatework, "parse_morvo_to_gates", lambda m: (bad, {0}, set()), raising=False)
    qc = QuantumCircuit(2, 0)
    qc.gates = [("h", 0)]
    with pytest.raises(ValueError):
        qc.from_morvo([])
    assert qc.gates == [("h", 0)] and qc.nqubits == 2


@pytest.mark.skipif(not hasattr(gatework, "parse_openqasm2_to_gates"), reason="OpenQASM parser not built")
def test_from_openqasm2_real_parser():
    text = (
        'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[3];\ncreg c[2];\nh q[0];\ncx q[0],q[2];\nmeasure q[2] -> c[1];\n'
    )
    qc = QuantumCircuit().from_openqasm2(text)
    assert qc.qubits == [0, 2] and qc.nqubits == 3 and qc.ncbits == 2
    assert qc.gates[:2] == [("h", 0), ("cx", 0, 2)]


# ---------------------------------------------------------------- u3_decompose


def u_mat(theta, phi, lamda):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return np.array([[c, -cmath.exp(1j * lamda) * s], [cmath.exp(1j * phi) * s, cmath.exp(1j * (phi + lamda)) * c]])


def reconstruct(m):
    theta, phi, lamda, phase = u3_decompose(m)
    assert all(type(v) is float for v in (theta, phi, lamda, phase))
    assert 0.0 <= theta <= math.pi
    return np.abs(cmath.exp(1j * phase) * u_mat(theta, phi, lamda) - m).max()


def test_random_unitaries_reconstruct():
    rng = np.random.default_rng(7)
    for _ in range(300):
        q, _ = np.linalg.qr(rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2)))
        assert reconstruct(q) < 1e-9
    # products of many u matrices (slightly non-unitary by rounding)
    m = np.eye(2, dtype=complex)
    for _ in range(200):
        m = u_mat(*rng.uniform(-4, 4, 3)) @ m
        assert reconstruct(m) < 1e-9


@pytest.mark.parametrize("g", [0.0, math.pi, 0.3, -2.1, math.pi / 2])
def test_identity_up_to_phase(g):
    m = cmath.exp(1j * g) * np.eye(2)
    theta, phi, lamda, phase = u3_decompose(m)
    assert theta == 0.0 and phi == 0.0
    assert abs(lamda) < 1e-15
    assert abs(cmath.exp(1j * phase) - cmath.exp(1j * g)) < 1e-15
    # identity reached through a product with rounding noise
    a = u_mat(0.7, 0.2, -1.1)
    b = np.conj(a.T)
    theta, phi, lamda, _ = u3_decompose(cmath.exp(1j * g) * (a @ b))
    assert theta == 0.0
    assert np.allclose(u_mat(theta, phi, lamda), np.eye(2))


S2 = 1 / math.sqrt(2)


@pytest.mark.parametrize(
    "m",
    [
        [[0, 1], [1, 0]],
        [[0, -1j], [1j, 0]],
        [[1, 0], [0, -1]],
        [[S2, S2], [S2, -S2]],
        [[1, 0], [0, 1j]],
        [[1, 0], [0, cmath.exp(0.25j * math.pi)]],
        [[(1 + 1j) / 2, (1 - 1j) / 2], [(1 - 1j) / 2, (1 + 1j) / 2]],
    ],
)
def test_named_gates(m):
    assert reconstruct(np.array(m, dtype=complex)) < 1e-12


def test_special_angles():
    theta, phi, _, _ = u3_decompose(np.array([[0, 1], [1, 0]], dtype=complex))
    assert theta == math.pi and phi == 0.0
    theta, _, _, _ = u3_decompose(np.array([[1, 0], [0, -1]], dtype=complex))
    assert theta == 0.0
    # near-pi and near-zero angles keep their accuracy
    for t in (math.pi - 1e-7, math.pi - 1e-11, 1e-7, 1e-11, 1e-15):
        for p, lam in ((0.3, -1.2), (3.0, 3.1), (-2.5, 0.4)):
            assert reconstruct(cmath.exp(0.4j) * u_mat(t, p, lam)) < 1e-12


@pytest.mark.parametrize(
    "m",
    [
        np.eye(3),
        np.eye(2)[0],
        [[1, 0]],
        1.0,
        2 * np.eye(2),
        [[1, 1], [0, 1]],
        [[float("nan"), 0], [0, 1]],
    ],
)
def test_bad_inputs(m):
    with pytest.raises(ValueError):
        u3_decompose(m)


def test_deterministic():
    q = np.array([[0.6, 0.8j], [0.8j, 0.6]])
    assert u3_decompose(q) == u3_decompose(q.copy()) == u3_decompose(q.tolist())


def test_own_reader_results_need_no_second_check(monkeypatch):
    # the records of the package's OpenQASM reader are taken as they come;
    # the same records through a stand-in parser are checked one by one and
    # must give the same circuit
    folder = os.path.join(os.path.dirname(__file__), "data", "qasmbench", "supported")
    own = gatework.parse_openqasm2_to_gates
    for name in sorted(os.listdir(folder))[:40]:
        with open(os.path.join(folder, name)) as f:
            text = f.read()
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                fast = QuantumCircuit().from_openqasm2(text)
        except (ValueError, KeyError):
            continue
        monkeypatch.setattr(gatework, "parse_openqasm2_to_gates", lambda t: own(t))
        with contextlib.redirect_stdout(io.StringIO()):
            checked = QuantumCircuit().from_openqasm2(text)
        monkeypatch.setattr(gatework, "parse_openqasm2_to_gates", own)
        assert vars(fast) == vars(checked), name
