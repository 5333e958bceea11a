import math
import random
import types
import warnings
from fractions import Fraction

import numpy as np
import pytest

import vexal.circuit.matrix as mx

PI = np.pi

TABLE_ORDER = [
    ("id", "id_mat"),
    ("x", "x_mat"),
    ("y", "y_mat"),
    ("z", "z_mat"),
    ("h", "h_mat"),
    ("s", "s_mat"),
    ("sdg", "sdg_mat"),
    ("t", "t_mat"),
    ("tdg", "tdg_mat"),
    ("sx", "sx_mat"),
    ("sxdg", "sxdg_mat"),
    ("swap", "swap_mat"),
    ("iswap", "iswap_mat"),
    ("cx", "cx_mat"),
    ("cnot", "cx_mat"),
    ("cy", "cy_mat"),
    ("cz", "cz_mat"),
    ("rx", "rx_mat"),
    ("ry", "ry_mat"),
    ("rz", "rz_mat"),
    ("p", "p_mat"),
    ("u", "u_mat"),
    ("r", "r_mat"),
    ("rxx", "rxx_mat"),
    ("ryy", "ryy_mat"),
    ("rzz", "rzz_mat"),
    ("cp", "cp_mat"),
    ("ccz", "ccz_mat"),
    ("ccx", "ccx_mat"),
    ("cswap", "cswap_mat"),
]
CONSTANTS = [
    "id_mat",
    "x_mat",
    "y_mat",
    "z_mat",
    "h_mat",
    "s_mat",
    "sdg_mat",
    "t_mat",
    "tdg_mat",
    "sx_mat",
    "sxdg_mat",
    "swap_mat",
    "iswap_mat",
    "cx_mat",
    "xc_mat",
    "cy_mat",
    "yc_mat",
    "cz_mat",
    "ccz_mat",
    "ccx_mat",
    "cxc_mat",
    "cswap_mat",
    "swapc_mat",
]


def identical(a, b):
    """Same shape, dtype and bits (signs of zeros included)."""
    return (
        a.dtype == b.dtype == np.complex128
        and a.shape == b.shape
        and np.array_equal(a.view(np.uint64), b.view(np.uint64))
    )


# ------------------------------------------------------------------ table and constants


def test_table_holds_the_modules_objects_in_order():
    d = mx.gate_matrix_dict
    assert type(d) is dict and list(d) == [k for k, _ in TABLE_ORDER]
    for key, attr in TABLE_ORDER:
        assert d[key] is getattr(mx, attr)
    assert d["cnot"] is d["cx"] is mx.cx_mat
    with pytest.raises(KeyError):
        d["u3"]
    assert mx.np is np


def test_constants_are_the_literal_arrays():
    i = 1j
    e = np.exp(1j * PI / 4)
    lit = {
        "id_mat": np.eye(2, dtype=complex),
        "x_mat": [[0, 1], [1, 0]],
        "y_mat": [[0, -1j], [1j, 0]],
        "z_mat": [[1, 0], [0, -1]],
        "s_mat": [[1, 0], [0, 1j]],
        "sdg_mat": [[1, 0], [0, -1j]],
        "iswap_mat": [[1, 0, 0, 0], [0, 0, i, 0], [0, i, 0, 0], [0, 0, 0, 1]],
        "cy_mat": [[1, 0, 0, 0], [0, 0, 0, -1j], [0, 0, 1, 0], [0, 1j, 0, 0]],
        "yc_mat": [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, -1j], [0, 0, 1j, 0]],
    }
    for name, rows in lit.items():
        assert identical(getattr(mx, name), np.array(rows, dtype=complex)), name
    assert mx.h_mat[0, 0] == 0.7071067811865475 and mx.h_mat[1, 1] == -0.7071067811865475
    assert mx.t_mat[1, 1] == complex(0.7071067811865476, 0.7071067811865475) == e
    assert mx.tdg_mat[1, 1] == complex(0.7071067811865476, -0.7071067811865475)
    assert identical(mx.sx_mat, np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]], dtype=complex) / 2)
    for name in CONSTANTS + ["ket0", "ket1"]:
        a = getattr(mx, name)
        assert a.dtype == np.complex128 and a.flags.c_contiguous and a.flags.writeable, name
    assert mx.ket0.shape == mx.ket1.shape == (2, 1)
    assert mx.ket0[:, 0].tolist() == [1, 0] and mx.ket1[:, 0].tolist() == [0, 1]


def test_qubit_order_and_relations():
    basis = np.eye(4, dtype=complex)
    assert np.array_equal(mx.cx_mat @ basis[:, 1], basis[:, 3])  # control (bit 0) set
    assert np.array_equal(mx.cx_mat @ basis[:, 2], basis[:, 2])  # only the target set
    sw = mx.swap_mat
    assert np.array_equal(mx.xc_mat, sw @ mx.cx_mat @ sw)
    assert np.array_equal(mx.yc_mat, sw @ mx.cy_mat @ sw)
    for sym in (mx.swap_mat, mx.iswap_mat, mx.cz_mat):
        assert np.array_equal(sw @ sym @ sw, sym)
    assert not np.array_equal(sw @ mx.cx_mat @ sw, mx.cx_mat)
    # reversing three qubits reads index bits b0 b1 b2 as b2 b1 b0
    rev = [int(f"{k:03b}"[::-1], 2) for k in range(8)]
    P = np.eye(8, dtype=complex)[rev]
    assert np.array_equal(mx.cxc_mat, P @ mx.ccx_mat @ P)
    assert np.array_equal(mx.swapc_mat, P @ mx.cswap_mat @ P)
    eye8 = np.eye(8)
    for m, rows in ((mx.ccx_mat, {3, 7}), (mx.cswap_mat, {3, 5})):
        assert {int(r) for r in np.nonzero((m != eye8).any(axis=1))[0]} == rows
    assert list(zip(*np.nonzero(mx.ccz_mat != eye8))) == [(7, 7)] and mx.ccz_mat[7, 7] == -1


def test_constants_are_unitary_and_related():
    for name in CONSTANTS:
        a = getattr(mx, name)
        assert np.allclose(a @ a.conj().T, np.eye(len(a))), name
    assert np.array_equal(mx.sx_mat @ mx.sx_mat, mx.x_mat)
    assert np.array_equal(mx.sxdg_mat, mx.sx_mat.conj().T)
    assert np.allclose(mx.t_mat @ mx.t_mat, mx.s_mat)


# ------------------------------------------------------------------ parameterised matrices


def test_parameterised_values_and_identities():
    assert np.array_equal(mx.rx_mat(0), np.eye(2))
    assert mx.rx_mat(PI)[0, 0] == 6.123233995736766e-17 and mx.rx_mat(PI)[0, 1] == -1j
    assert mx.ry_mat(PI).tolist() == [[6.123233995736766e-17, -1], [1, 6.123233995736766e-17]]
    assert mx.cp_mat(PI)[3, 3] == complex(-1, 1.2246467991473532e-16)
    assert np.allclose(mx.cp_mat(PI), mx.cz_mat) and np.isclose(mx.cp_mat(PI / 2)[3, 3], 1j)
    assert np.allclose(mx.u_mat(PI / 2, 0, PI), mx.h_mat)
    assert np.allclose(mx.u2_mat(0, PI), mx.h_mat)
    for t in (0.3, -1.7, 2.9):
        assert np.allclose(mx.u_mat(t, -PI / 2, PI / 2), mx.rx_mat(t))
        assert np.array_equal(mx.u_mat(t, 0, 0), mx.ry_mat(t))
        assert np.allclose(mx.u_mat(0, 0, t), mx.rz_mat(t) * np.exp(1j * t / 2))
        assert np.allclose(mx.r_mat(t, 0), mx.rx_mat(t))
        assert np.allclose(mx.r_mat(t, PI / 2), mx.ry_mat(t))
        assert np.array_equal(mx.u1_mat(t), mx.p_mat(t))
        for f in (mx.rxx_mat, mx.ryy_mat, mx.rzz_mat, mx.cp_mat):
            m = f(t)
            assert np.allclose(m @ m.conj().T, np.eye(4))
            assert np.array_equal(mx.swap_mat @ m @ mx.swap_mat, m)
    assert identical(mx.r_mat(4, 0.5), mx.r_mat(4.0, 0.5))  # true division of an int
    # results are new arrays
    a = mx.rx_mat(0.5)
    a[0, 0] = 7
    assert mx.rx_mat(0.5)[0, 0] != 7 and mx.rx_mat(0.5) is not mx.rx_mat(0.5)


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^rx_mat\(\) takes exactly 1 positional argument \(2 given\)$"):
        mx.rx_mat(1.0, 2.0)
    with pytest.raises(TypeError, match=r"^u_mat\(\) takes exactly 3 positional arguments \(2 given\)$"):
        mx.u_mat(1.0, 2.0)
    with pytest.raises(TypeError, match=r"^Argument 'nqubits' has incorrect type \(expected int, got str\)$"):
        mx.ketn0("2")
    for bad in ("1", None, 1j, "theta"):
        with pytest.raises(TypeError):
            mx.rx_mat(bad)
    with pytest.raises(TypeError):
        mx.r_mat("a", 0.0)
    with pytest.raises(TypeError):
        mx.cp_mat(theta=1.0, phi=2.0)
    assert identical(mx.rx_mat(True), mx.rx_mat(1.0))
    assert identical(mx.u_mat(lamda=0.3, phi=0.2, theta=np.float64(0.1)), mx.u_mat(0.1, 0.2, 0.3))
    # every float parameter of every matrix function converts by the same rule
    float_functions = [f for f, _ in ONE_ANGLE] + [mx.u_mat, mx.u2_mat]
    for f in float_functions:
        n = f.__code__.co_argcount
        for good, as_float in ((True, 1.0), (np.float32(0.5), 0.5), (Fraction(1, 4), 0.25), (np.int64(-3), -3.0)):
            assert identical(f(*[good] * n), f(*[as_float] * n)), (f.__name__, good)
        for bad in ("1", None, 1j, "theta"):
            with pytest.raises(TypeError):
                f(*[0.5] * (n - 1), bad)
    assert mx.rx_mat.__annotations__ == {"theta": "float", "return": "np.ndarray"}
    assert mx.ketn1.__annotations__ == {"nqubits": "int", "return": "np.ndarray"}
    assert mx.r_mat.__annotations__ == {} and mx.u2_mat.__annotations__ == {"phi": "float", "lamda": "float"}


def test_ketn():
    assert mx.ketn0(2)[:, 0].tolist() == [1, 0, 0, 0]
    assert mx.ketn1(3).shape == (8, 1) and mx.ketn1(3)[:, 0].tolist() == [0] * 7 + [1]
    assert mx.ketn0(1) is mx.ket0 and mx.ketn1(1.5) is mx.ket1
    # a state of no qubits, or of a negative count, is no state at all
    for n in (0, 0.9, -3, -(10**30)):
        with pytest.raises(ValueError, match="needs at least one qubit, got"):
            mx.ketn0(n)
        with pytest.raises(ValueError, match="ketn1 needs at least one qubit"):
            mx.ketn1(n)
    assert identical(mx.ketn0(2.9), mx.ketn0(2))
    assert identical(mx.ketn1(5), np.kron(np.kron(np.kron(np.kron(mx.ket1, mx.ket1), mx.ket1), mx.ket1), mx.ket1))
    for n in (45, 59, 64, 200, 10**30):
        with pytest.raises(MemoryError):
            mx.ketn0(n)
    with pytest.raises(ValueError):
        mx.ketn1(float("nan"))
    with pytest.raises(OverflowError):
        mx.ketn1(float("inf"))
    # the column starts from the module's ket0 as it stands now
    saved = mx.ket0[1, 0]
    try:
        mx.ket0[1, 0] = 2
        assert mx.ketn0(3)[:, 0].tolist() == [1, 2, 2, 4, 2, 4, 4, 8]
    finally:
        mx.ket0[1, 0] = saved


# ------------------------------------------------------------------ exactness against numpy


def ref_cs(t):
    return np.cos(t * 0.5), np.sin(t * 0.5)


def ei(a):
    return np.exp(complex(0.0, a))


def ref_rx(t):
    c, s = ref_cs(t)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=complex)


def ref_ry(t):
    c, s = ref_cs(t)
    return np.array([[c, -s], [s, c]], dtype=complex)


def ref_rz(t):
    return np.array([[ei(-(t * 0.5)), 0], [0, ei(t * 0.5)]], dtype=complex)


def ref_p(t):
    return np.array([[1, 0], [0, ei(t)]], dtype=complex)


def ref_u(t, p, l):
    c, s = ref_cs(t)
    return np.array([[c, -ei(l) * s], [ei(p) * s, ei(p + l) * c]], dtype=complex)


def ref_r(t, p):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -1j * np.exp(-1j * p) * s], [-1j * np.exp(1j * p) * s, c]], dtype=complex)


def ref_rxx(t):
    c, s = ref_cs(t)
    m = -1j * s
    return np.array([[c, 0, 0, m], [0, c, m, 0], [0, m, c, 0], [m, 0, 0, c]], dtype=complex)


def ref_ryy(t):
    c, s = ref_cs(t)
    p, m = 1j * s, -1j * s
    return np.array([[c, 0, 0, p], [0, c, m, 0], [0, m, c, 0], [p, 0, 0, c]], dtype=complex)


def ref_rzz(t):
    a, b = ei(-(t * 0.5)), ei(t * 0.5)
    return np.array([[a, 0, 0, 0], [0, b, 0, 0], [0, 0, b, 0], [0, 0, 0, a]], dtype=complex)


def ref_cp(t):
    return np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, ei(t)]], dtype=complex)


ONE_ANGLE = [
    (mx.rx_mat, ref_rx),
    (mx.ry_mat, ref_ry),
    (mx.rz_mat, ref_rz),
    (mx.p_mat, ref_p),
    (mx.rxx_mat, ref_rxx),
    (mx.ryy_mat, ref_ryy),
    (mx.rzz_mat, ref_rzz),
    (mx.cp_mat, ref_cp),
    (mx.u1_mat, lambda l: ref_u(0.0, 0.0, l)),
]


def angle_pool(rng, n):
    special = [
        0.0,
        -0.0,
        PI,
        -PI,
        2 * PI,
        -2 * PI,
        PI / 2,
        -PI / 2,
        1e300,
        -1e300,
        1.7e308,
        5e-324,
        -5e-324,
        2.2250738585072014e-308,
        4.4e-308,
        1e-300,
        1e16,
        3.0,
        -7.0,
        math.nan,
        math.inf,
        -math.inf,
    ]
    pool = list(special)
    for _ in range(n):
        k = rng.random()
        if k < 0.6:
            pool.append(rng.uniform(-10, 10))
        elif k < 0.75:
            pool.append(rng.choice([-1, 1]) * rng.randrange(0, 8) * PI / 4)
        else:
            pool.append(rng.choice([-1, 1]) * math.ldexp(rng.random(), rng.randint(-1074, 1023)))
    return pool


def test_results_are_bit_identical_to_numpy():
    rng = random.Random(20240611)
    pool = angle_pool(rng, 3000)
    reference_calls = []
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for t in pool:
            for f, ref in ONE_ANGLE:
                assert identical(f(t), ref(t)), (f.__name__, t)
            assert identical(mx.u2_mat(t, -t), ref_u(PI / 2, t, -t)), t
        for _ in range(3000):
            t, p, l = (rng.choice(pool) for _ in range(3))
            assert identical(mx.u_mat(t, p, l), ref_u(t, p, l)), (t, p, l)
            assert identical(mx.r_mat(t, p), ref_r(t, p)), (t, p)
        for t, p in ((3, 1), (np.float64(0.7), -0.0), (-0.0, np.float64(-0.0)), (2**80 + 1, 0.5)):
            assert identical(mx.r_mat(t, p), ref_r(t, p)), (t, p)

    # the comparisons above ran the fast path: finite angles never reach np.array,
    # which only the reference path calls
    def spy(*a, **k):
        reference_calls.append(a)
        return real_array(*a, **k)

    real_array = np.array
    np.array = spy
    try:
        for f, _ in ONE_ANGLE:
            f(0.25)
        mx.u_mat(0.1, 0.2, 0.3), mx.r_mat(0.1, 0.2)
    finally:
        np.array = real_array
    assert reference_calls == []


def test_non_finite_angles_behave_like_numpy():
    with pytest.warns(RuntimeWarning, match="invalid value encountered in (cos|sin)"):
        mx.rx_mat(math.inf)
    with np.errstate(invalid="raise"), pytest.raises(FloatingPointError):
        mx.ry_mat(-math.inf)
    with np.errstate(under="raise"), pytest.raises(FloatingPointError):
        mx.rx_mat(1e-323)


# ------------------------------------------------------------------ names looked up at call time


def test_replaced_np_is_used(monkeypatch):
    used = []

    class Proxy(types.SimpleNamespace):
        def __getattr__(self, name):
            used.append(name)
            return getattr(np, name)

    monkeypatch.setattr(mx, "np", Proxy())
    assert identical(mx.rx_mat(0.3), ref_rx(0.3)) and "array" in used
    assert identical(mx.u_mat(0.3, 0.2, 0.1), ref_u(0.3, 0.2, 0.1))
    assert identical(mx.ketn1(3), np.kron(np.kron(mx.ket1, mx.ket1), mx.ket1)) and "kron" in used
    with pytest.raises(MemoryError):
        mx.ketn1(45)  # refused before any product is formed
    assert identical(mx.u2_mat(0.2, 0.1), ref_u(PI / 2, 0.2, 0.1)) and "pi" in used


def test_u1_u2_call_the_current_u_mat(monkeypatch):
    calls = []

    def fake(theta, phi, lamda):
        calls.append((theta, phi, lamda))
        return "fake"

    monkeypatch.setattr(mx, "u_mat", fake)
    assert mx.u1_mat(3) == "fake" and mx.u2_mat(1, 2) == "fake"
    assert calls == [(0.0, 0.0, 3.0), (PI / 2, 1.0, 2.0)]
    assert all(type(x) is float for c in calls for x in c)
