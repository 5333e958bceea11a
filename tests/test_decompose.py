"""Gate decompositions of vexal.circuit.decompose, ThreeQubitGateDecompose,
and the angles of a one-qubit unitary (u3_decompose)."""

import cmath
import itertools
import math

import numpy as np
import oracle
import pytest

from vexal.circuit import decompose as D
from vexal.circuit import matrix as M
from vexal.circuit import utils
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.utils import u3_decompose

PI = math.pi
BASES = ("cz", "cx", "iswap")
ONE_QUBIT_NAMES = {"h", "x", "s", "sdg", "sx", "rx", "ry", "rz", "t", "tdg"}

TWO_QUBIT = [  # (function, gate record maker)
    (D.cz_decompose, lambda a, b: ("cz", a, b)),
    (D.cx_decompose, lambda a, b: ("cx", a, b)),
    (D.cy_decompose, lambda a, b: ("cy", a, b)),
    (D.swap_decompose, lambda a, b: ("swap", a, b)),
    (D.iswap_decompose, lambda a, b: ("iswap", a, b)),
]
TWO_QUBIT_PARAM = [
    (D.rxx_decompose, "rxx"),
    (D.ryy_decompose, "ryy"),
    (D.rzz_decompose, "rzz"),
    (D.cp_decompose, "cp"),
]


def check_names(records, basis, flag, allow_sx=False):
    """Only the basis gate and the allowed single-qubit records appear."""
    allowed = {basis} | ({"u", "sx"} if allow_sx else {"u"} if flag else ONE_QUBIT_NAMES)
    assert {r[0] for r in records} <= allowed, records


@pytest.mark.parametrize("basis", BASES)
@pytest.mark.parametrize("flag", [False, True])
@pytest.mark.parametrize("qubits", [(0, 1), (1, 0)])
def test_two_qubit_decompositions_are_exact(basis, flag, qubits):
    a, b = qubits
    for fn, make in TWO_QUBIT:
        recs = fn(a, b, flag, basis)
        oracle.assert_equivalent(recs, [make(a, b)], 2)
        check_names(recs, basis, flag, allow_sx=fn is D.swap_decompose and basis == "iswap")
    for fn, name in TWO_QUBIT_PARAM:
        for theta in (0.0, 0.37, -2.1, PI):
            recs = fn(theta, a, b, flag, basis)
            oracle.assert_equivalent(recs, [(name, theta, a, b)], 2)
            check_names(recs, basis, flag)
    for fn, name in ((D.convert_cx_to_iswap, "cx"), (D.convert_cz_to_iswap, "cz")):
        recs = fn(a, b, flag)
        oracle.assert_equivalent(recs, [(name, a, b)], 2)
        assert sum(r[0] == "iswap" for r in recs) == 2


def test_two_qubit_fixed_records():
    assert D.cx_decompose(0, 1, False, "cx") == [("cx", 0, 1)]
    assert D.cz_decompose(0, 1, False, "cz") == [("cz", 0, 1)]
    h = ("u", PI / 2, 0.0, PI, 1)
    assert D.cz_decompose(0, 1, True, "cx") == [h, ("cx", 0, 1), h]
    assert D.cy_decompose(0, 1, False, "cz") == [("sdg", 1), ("h", 1), ("cz", 0, 1), ("h", 1), ("s", 1)]
    assert D.rzz_decompose(0.3, 0, 1, False, "cz") == [
        ("h", 1),
        ("cz", 0, 1),
        ("h", 1),
        ("rz", 0.3, 1),
        ("h", 1),
        ("cz", 0, 1),
        ("h", 1),
    ]
    assert D.iswap_decompose(0, 1, True, "iswap") == [("iswap", 0, 1)]

    named = D.cx_decompose(2, 5, False, "iswap")
    assert named == D.convert_cx_to_iswap(2, 5, False) and len(named) == 15
    assert named.count(("rz", -1.0094094858814842, 5)) == 2
    conv = D.cx_decompose(2, 5, True, "iswap")
    assert conv.count(("u", 0.0, 0.0, -1.0094094858814842, 5)) == 2
    assert [r for r in conv if r[0] != "u"] == [("iswap", 2, 5)] * 2

    swap = D.swap_decompose(0, 1, True, "iswap")
    assert [r[0] for r in swap] == ["iswap", "sx"] * 3
    assert len(D.swap_decompose(0, 1, True, "cz")) == 9
    # every call builds new records in a new list
    assert D.cx_decompose(0, 1, False, "cx") is not D.cx_decompose(0, 1, False, "cx")


def test_two_qubit_argument_conversion():
    assert D.cx_decompose(1.0, 0, 0, "cx") == [("cx", 1, 0)]
    assert D.rzz_decompose(1, 0, 1, 0, "cx")[1] == ("rz", 1.0, 1)
    with pytest.raises(TypeError, match="must be real number"):
        D.rzz_decompose("t", 0, 1, False, "cx")
    with pytest.raises(TypeError, match=r"Argument 'qubit1' has incorrect type \(expected int, got str\)"):
        D.swap_decompose("a", 1, False, "cx")
    with pytest.raises(TypeError, match="takes exactly 4 positional arguments"):
        D.cx_decompose(0, 1, False)
    # the iSWAP sequences take their qubits as given
    assert D.convert_cz_to_iswap("a", "b", False)[5] == ("iswap", "a", "b")


@pytest.mark.parametrize("basis", ["CZ", "", None, "cnot"])
def test_unknown_basis_is_refused(basis):
    for fn, _ in TWO_QUBIT:
        with pytest.raises(ValueError, match="'cz', 'cx' and 'iswap'"):
            fn(0, 1, True, basis)
    for fn, _ in TWO_QUBIT_PARAM:
        with pytest.raises(ValueError, match="'cz', 'cx' and 'iswap'"):
            fn(0.5, 0, 1, False, basis)


def test_basis_compared_by_equality():
    class Name(str):
        pass

    assert D.cx_decompose(0, 1, False, Name("cx")) == [("cx", 0, 1)]


def test_single_qubit_converters():
    assert D.h2u(0) == ("u", 1.5707963267948966, 0.0, 3.141592653589793, 0)
    assert D.x2u(3) == ("u", 3.141592653589793, 1.5707963267948966, -1.5707963267948966, 3)
    assert D.sdg2u(1) == ("u", 0.0, -0.7853981633974483, -0.7853981633974483, 1)
    assert D.s2u(1) == ("u", 0.0, 0.7853981633974483, 0.7853981633974483, 1)
    r = D.rz2u(2, 0)
    assert r == ("u", 0.0, 0.0, 2.0, 0) and type(r[3]) is float
    assert D.h2u(2.9)[-1] == 2 and D.h2u(True)[-1] == 1 and type(D.h2u(np.int64(4))[-1]) is int
    with pytest.raises(TypeError, match=r"Argument 'qubit' has incorrect type \(expected int, got str\)"):
        D.h2u("q1")
    with pytest.raises(TypeError):
        D.rx2u("theta", 0)
    # each converter is its gate up to a global phase
    for conv, name in ((D.h2u, "h"), (D.x2u, "x"), (D.s2u, "s"), (D.sdg2u, "sdg")):
        oracle.assert_equivalent([conv(0)], [(name, 0)], 1)
    for conv, name in ((D.rx2u, "rx"), (D.ry2u, "ry"), (D.rz2u, "rz")):
        for t in (0.3, -1.7, 4.0):
            oracle.assert_equivalent([conv(t, 0)], [(name, t, 0)], 1)


def test_u_dot_u():
    rng = np.random.default_rng(1)
    for _ in range(50):
        u1 = ("u", *rng.uniform(-4, 4, 3).tolist(), 0)
        u2 = ("u", *rng.uniform(-4, 4, 3).tolist(), 0)
        merged = D.u_dot_u(u1, u2)
        assert merged[0] == "u" and merged[-1] == 0 and len(merged) == 5
        oracle.assert_equivalent([merged], [u1, u2], 1)
    # u_info1 acts first
    merged = D.u_dot_u(D.h2u(0), D.x2u(0))
    ref = utils.u3_decompose(M.u_mat(*D.x2u(0)[1:4]) @ M.u_mat(*D.h2u(0)[1:4]))
    assert merged == ("u", *ref[:3], 0)
    # records on two qubits are refused whether or not assertions are on
    with pytest.raises(ValueError, match="one qubit, got qubits 0 and 1"):
        D.u_dot_u(("u", 0.1, 0.2, 0.3, 0), ("u", 0.1, 0.2, 0.3, 1))
    with pytest.raises(TypeError, match="expected tuple, got list"):
        D.u_dot_u(["u", 0.1, 0.2, 0.3, 0], ("u", 0.1, 0.2, 0.3, 0))


@pytest.mark.usefixtures("fast_paths_only")  # the port against the Python function
def test_u3_port_matches_python_bit_for_bit(monkeypatch):
    """u_dot_u decomposes by the C++ port while u3_decompose is the package's
    own; its angles must be those of the Python function, bit for bit."""
    rng = np.random.default_rng(7)
    specials = [
        (0.0, 0.0, 0.0),
        (PI, 0.0, 0.0),
        (PI, 1.0, -1.0),
        (0.0, 1.0, 2.0),
        (1e-13, 0.5, 0.5),
        (PI - 1e-13, 0.3, 0.2),
        (PI / 2, PI, -PI),
        (2 * PI, 0.0, 0.0),
    ]
    pairs = [(("u", *a, 0), ("u", 0.0, 0.0, 0.0, 0)) for a in specials]
    for _ in range(3000):
        pairs.append((("u", *rng.uniform(-7, 7, 3).tolist(), 0), ("u", *rng.uniform(-7, 7, 3).tolist(), 0)))
    for u1, u2 in pairs:
        prod = M.u_mat(*u2[1:4]) @ M.u_mat(*u1[1:4])
        th, ph, la, _ = utils.u3_decompose(prod)
        got = D.u_dot_u(u1, u2)
        assert got[1:4] == (th, ph, la), (u1, u2)
        assert all(type(v) is float for v in got[1:4])

    # a replacement is called instead
    calls = []

    def mine(m):
        calls.append(m)
        return 1.0, 2.0, 3.0, 4.0

    monkeypatch.setattr(D, "u3_decompose", mine)
    assert D.u_dot_u(D.h2u(0), D.h2u(0)) == ("u", 1.0, 2.0, 3.0, 0) and len(calls) == 1
    monkeypatch.setattr(D, "u3_decompose", lambda m: (1.0, 2.0, 3.0))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        D.u_dot_u(D.h2u(0), D.h2u(0))


def test_replaced_converter_is_called(monkeypatch):
    monkeypatch.setattr(D, "h2u", lambda q: ("mine", q))
    assert D.cx_decompose(0, 1, True, "cz") == [("mine", 1), ("cz", 0, 1), ("mine", 1)]
    monkeypatch.setattr(D, "cx_decompose", lambda a, b, f, bs: [("cxx", a, b)])
    assert D.rzz_decompose(0.5, 0, 1, False, "cz")[0] == ("cxx", 0, 1)


THREE = [
    (D.ccx_decompose, "ccx"),
    (D.ccz_decompose, "ccz"),
    (D.cswap_decompose, "cswap"),
]


def test_three_qubit_decompositions_are_exact():
    for qs in itertools.permutations(range(3)):
        for fn, name in THREE:
            recs = fn(*qs)
            U = oracle.circuit_unitary(recs, 3)
            V = oracle.circuit_unitary([(name, *qs)], 3)
            assert np.allclose(U, V), (name, qs)  # exact, no phase
            assert {r[0] for r in recs} <= {"h", "t", "tdg", "cx"}
        # the phase-relaxed Toffoli differs by -1 on |c1=1, c2=0, t=0>
        c1, c2, t = qs
        U = oracle.circuit_unitary(D.ccx_decompose_mute_phase(*qs), 3)
        V = oracle.circuit_unitary([("ccx", *qs)], 3)
        fix = np.eye(8, dtype=complex)
        fix[1 << c1, 1 << c1] = -1
        assert np.allclose(U, fix @ V)


def test_three_qubit_records():
    ccx = D.ccx_decompose(0, 1, 2)
    assert len(ccx) == 15 and ccx[0] == ("h", 2) and ccx[-1] == ("cx", 0, 1)
    ccz = D.ccz_decompose(0, 1, 2)
    assert len(ccz) == 15 and ccz[:14] == ccx[1:] and ccz[-3:] == [("h", 2), ("cx", 0, 1), ("h", 2)]
    cs = D.cswap_decompose(0, 1, 2)
    assert len(cs) == 17 and cs[0] == cs[-1] == ("cx", 2, 1) and cs[1:16] == ccx
    mute = D.ccx_decompose_mute_phase(0, 1, 2)
    assert mute[0] == ("u", 0.7853981633974483, -3.141592653589793, -3.141592653589793, 2)
    assert mute[-1] == ("u", 0.7853981633974483, 0, 0, 2) and type(mute[-1][2]) is int
    assert D.ccx_decompose(0.0, 1, 2.5)[0] == ("h", 2)
    with pytest.raises(TypeError, match="control_qubit1"):
        D.ccx_decompose("a", 1, 2)


def test_three_qubit_pass():
    qc = QuantumCircuit(4, 4)
    keep = [("h", 3), ("cx", 0, 3), ("measure", [0], [0]), ("rz", 0.2, 1)]
    qc.gates = [keep[0], ("ccx", 0, 1, 2), keep[1], ("ccz", 3, 1, 0), keep[2], ("cswap", 2, 0, 3), keep[3]]
    before = list(qc.gates)
    p = D.ThreeQubitGateDecompose()
    assert isinstance(p, D.TranspilerPass)
    out = p.run(qc)
    assert out is not qc and qc.gates == before and all(a is b for a, b in zip(qc.gates, before))
    g = out.gates
    assert len(g) == 4 + 15 + 15 + 17
    assert g[0] is keep[0] and g[16] is keep[1] and g[32] is keep[2] and g[-1] is keep[3]
    assert g[1:16] == D.ccx_decompose(0, 1, 2)
    assert g[17:32] == D.ccz_decompose(3, 1, 0)
    assert g[33:50] == D.cswap_decompose(2, 0, 3)
    unitary = [r for r in g if r[0] != "measure"]
    oracle.assert_equivalent(unitary, [r for r in qc.gates if r[0] != "measure"], 4)

    two = QuantumCircuit(2, 2)
    two.gates = [("h", 0), ("cx", 0, 1)]
    out = p.run(two)
    assert out.gates is not two.gates and all(a is b for a, b in zip(out.gates, two.gates))

    bad = QuantumCircuit(3, 3)
    bad.gates = [("ccx", 0, 1)]
    with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
        p.run(bad)
    assert bad.gates == [("ccx", 0, 1)]


def test_three_qubit_pass_calls_replacement(monkeypatch):
    monkeypatch.setattr(D, "ccx_decompose", lambda a, b, c: [("mine", a, b, c)])
    qc = QuantumCircuit(3, 3)
    qc.gates = [("ccx", 0, 1, 2), ["ccz", 0, 1, 2]]
    out = D.ThreeQubitGateDecompose().run(qc).gates
    assert out[0] == ("mine", 0, 1, 2) and out[1:] == D.ccz_decompose(0, 1, 2)


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


def test_the_reference_switch_sends_u_dot_u_through_u3_decompose(monkeypatch):
    import sys

    import vexal.circuit as package

    calls = []

    def watch(frame, event, arg):
        if event == "call" and frame.f_code is utils.u3_decompose.__code__:
            calls.append(frame)

    def merged():
        sys.setprofile(watch)
        try:
            return D.u_dot_u(D.h2u(0), D.rx2u(0.3, 0))
        finally:
            sys.setprofile(None)

    monkeypatch.setattr(package, "_reference_paths", False)
    fast = merged()
    assert not calls  # the port
    monkeypatch.setattr(package, "_reference_paths", True)
    assert merged() == fast and len(calls) == 1
