"""The reference simulator agrees with known gate identities."""

import math

import numpy as np
import oracle as O
import pytest


def basis(n, i):
    v = np.zeros(2**n, dtype=complex)
    v[i] = 1
    return v


def test_all_fixed_and_parametric_matrices_are_unitary():
    for name, m in O.FIXED.items():
        assert np.allclose(m.conj().T @ m, np.eye(m.shape[0])), name
    for name, (k, f) in O.PARAM.items():
        m = f(*[0.37 * (i + 1) for i in range(k)])
        assert np.allclose(m.conj().T @ m, np.eye(m.shape[0])), name


def test_qubit_order_convention():
    # first qubit of the record is the least-significant bit
    assert np.allclose(O.apply_gates(basis(2, 1), [("cx", 0, 1)], 2), basis(2, 3))
    assert np.allclose(O.apply_gates(basis(2, 2), [("cx", 0, 1)], 2), basis(2, 2))
    assert np.allclose(O.apply_gates(basis(2, 2), [("cx", 1, 0)], 2), basis(2, 3))
    assert np.allclose(O.apply_gates(basis(3, 0), [("x", 2)], 3), basis(3, 4))
    # ccx: controls bits 0 and 1, target bit 2; cswap: control bit 0
    assert np.allclose(O.apply_gates(basis(3, 3), [("ccx", 0, 1, 2)], 3), basis(3, 7))
    assert np.allclose(O.apply_gates(basis(3, 3), [("cswap", 0, 1, 2)], 3), basis(3, 5))
    assert np.allclose(O.apply_gates(basis(3, 6), [("cswap", 0, 1, 2)], 3), basis(3, 6))
    # cp puts its phase on |11>
    out = O.apply_gates(basis(2, 3), [("cp", 0.5, 0, 1)], 2)
    assert np.isclose(out[3], np.exp(0.5j))
    # unitary of a single gate on its own qubits is the gate matrix
    for name in ("cx", "cy", "iswap", "ccx", "cswap"):
        n = 2 if name in O.TWO_Q else 3
        assert np.allclose(O.circuit_unitary([(name,) + tuple(range(n))], n), O.FIXED[name])


def test_known_identities():
    O.assert_equivalent([("h", 0), ("x", 0), ("h", 0)], [("z", 0)], 1)
    O.assert_equivalent([("h", 1), ("cz", 0, 1), ("h", 1)], [("cx", 0, 1)], 2)
    O.assert_equivalent([("cx", 0, 1), ("cx", 1, 0), ("cx", 0, 1)], [("swap", 0, 1)], 2)
    O.assert_equivalent([("sx", 0), ("sx", 0)], [("x", 0)], 1)
    O.assert_equivalent([("t", 0), ("t", 0)], [("s", 0)], 1)
    O.assert_equivalent([("u", math.pi / 2, 0, math.pi, 0)], [("h", 0)], 1)
    O.assert_equivalent([("u3", 0.3, -math.pi / 2, math.pi / 2, 0)], [("rx", 0.3, 0)], 1)
    O.assert_equivalent([("r", 0.7, math.pi / 2, 0)], [("ry", 0.7, 0)], 1)
    O.assert_equivalent([("cp", math.pi, 0, 1)], [("cz", 0, 1)], 2)
    O.assert_equivalent([("rzz", 0.4, 0, 1)], [("cx", 0, 1), ("rz", 0.4, 1), ("cx", 0, 1)], 2)
    O.assert_equivalent([("h", 2), ("ccz", 0, 1, 2), ("h", 2)], [("ccx", 0, 1, 2)], 3)
    O.assert_equivalent([("cx", 2, 1), ("ccx", 0, 1, 2), ("cx", 2, 1)], [("cswap", 0, 1, 2)], 3)
    # barrier and delay are identities
    O.assert_equivalent([("x", 0), ("barrier", (0, 1)), ("delay", 1e-8, (1,))], [("x", 0)], 2)
    # symbolic angles come from params_value
    O.assert_equivalent([("rx", "a", 0)], [("rx", 0.25, 0)], 1, params_value={"a": 0.25})


def test_phase_comparison_and_failures():
    assert O.equal_up_to_phase(np.exp(0.3j) * O.FIXED["h"], O.FIXED["h"])
    assert not O.equal_up_to_phase(O.FIXED["s"], O.FIXED["z"])
    assert not O.equal_up_to_phase(np.eye(2), np.eye(4))
    with pytest.raises(AssertionError):
        O.assert_equivalent([("s", 0)], [("sdg", 0)], 1)
    with pytest.raises(AssertionError):
        O.assert_equivalent_states([("cx", 0, 1)], [("cx", 1, 0)], 2)
    with pytest.raises(ValueError):
        O.circuit_unitary([("measure", [0], [0])], 1)
    with pytest.raises(ValueError):
        O.circuit_unitary([("cx", 0, 0)], 2)
    with pytest.raises(ValueError):
        O.circuit_unitary([("x", 2)], 2)
    with pytest.raises(ValueError):
        O.circuit_unitary([("rx", "a", 0)], 1)
    # measure/reset can be skipped on request
    U = O.circuit_unitary([("x", 0), ("measure", [0], [0]), ("reset", 0)], 1, ignore_nonunitary=True)
    assert np.allclose(U, O.FIXED["x"])


def test_state_simulator_matches_unitary():
    rng = np.random.default_rng(3)
    n = 4
    names = list(O.ONE_Q) + list(O.TWO_Q) + list(O.THREE_Q) + list(O.PARAM)
    gates = []
    for _ in range(60):
        name = names[rng.integers(len(names))]
        npar, nq = O.gate_shape(name)
        qs = [int(q) for q in rng.permutation(n)[:nq]]
        gates.append((name, *rng.uniform(-3, 3, npar).tolist(), *qs))
    U = O.circuit_unitary(gates, n)
    s = O.random_states(n, 3, seed=1)
    assert np.allclose(O.apply_gates(s, gates, n), U @ s)
    assert np.allclose(O.apply_gates(s[:, 0], gates, n), U @ s[:, 0])
    O.assert_equivalent_states(gates, gates, n)


def test_permute_and_routed():
    gates = [
        ("h", 0),
        ("cx", 0, 1),
        ("rzz", 0.3, 1, 2),
        ("u", 0.1, 0.2, 0.3, 2),
        ("barrier", (0, 2)),
        ("measure", [1], [0]),
    ]
    p = O.permute_qubits(gates, {0: 4, 1: 2, 2: 0})
    assert p == [
        ("h", 4),
        ("cx", 4, 2),
        ("rzz", 0.3, 2, 0),
        ("u", 0.1, 0.2, 0.3, 0),
        ("barrier", (4, 0)),
        ("measure", [2], [0]),
    ]
    # routed copy with a swap in the middle: virtual 0,1,2 start on 3,1,0
    original = [("h", 0), ("cx", 0, 1), ("cx", 1, 2), ("rz", 0.4, 0)]
    init = {0: 3, 1: 1, 2: 0}
    routed = [("h", 3), ("cx", 3, 1), ("swap", 1, 2), ("cx", 2, 0), ("rz", 0.4, 3)]
    O.assert_equivalent_routed(original, routed, 4, init, {0: 3, 1: 2, 2: 0})
    with pytest.raises(AssertionError):
        O.assert_equivalent_routed(original, routed, 4, init, init)


def naive_unitary(gates, n):
    """Full matrix by explicit index arithmetic, gate by gate."""
    U = np.eye(2**n, dtype=complex)
    for g in gates:
        m, qs = O.gate_matrix(g)
        G = np.zeros((2**n, 2**n), dtype=complex)
        for i in range(2**n):
            sub = sum(((i >> q) & 1) << j for j, q in enumerate(qs))
            rest = i & ~sum(1 << q for q in qs)
            for r in range(2 ** len(qs)):
                out = rest | sum(((r >> j) & 1) << q for j, q in enumerate(qs))
                G[out, i] += m[r, sub]
        U = G @ U
    return U


def test_simulator_matches_naive_index_arithmetic():
    gates = [
        ("cx", 2, 0),
        ("ccx", 3, 0, 1),
        ("cswap", 1, 3, 0),
        ("iswap", 3, 1),
        ("cy", 0, 3),
        ("u", 0.3, 1.1, -0.4, 2),
        ("cp", 0.9, 3, 2),
        ("ryy", 0.2, 0, 2),
    ]
    assert np.allclose(O.circuit_unitary(gates, 4), naive_unitary(gates, 4))
