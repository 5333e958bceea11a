"""GateCompressor's u merges: where u_mat, u3_decompose and numpy's product
are worked out in C++, every merge must give the very doubles of
u3_decompose(u_mat(*params2) @ u_mat(*params1)) as Python computes it, and
where numpy's product on the machine is not the C++ one, the merges call
numpy.  The fast path is compared with the reference path and with the
reference path's calls: the reference switch stays off here."""

import contextlib
import json
import math
import os
import random
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
from helpers import circuit, compressor_outcome, quiet, reference_subclass

from vexal.circuit import matrix, utils
from vexal.circuit import optimize as O
from vexal.circuit.optimize import GateCompressor
from vexal.circuit.translate import TranslateToBasisGates

pytestmark = pytest.mark.usefixtures("fast_paths_only")

Reference = reference_subclass(GateCompressor, "run_compress_once")
PI = math.pi
ROTATIONS = ["rx", "ry", "rz", "h", "s", "t", "sx", "u"]


def angle(rng):
    k = rng.random()
    if k < 0.1:
        return rng.choice([0.0, -0.0, PI, -PI, PI / 2, 2 * PI, 0, 1])
    if k < 0.2:
        return rng.choice([-1, 1]) * 10 ** -rng.uniform(5, 16)
    return rng.uniform(-PI, PI)


def u_angles(rng):
    return (angle(rng), angle(rng), angle(rng))


def rotation_heavy(rng, n, count):
    """90 % one-qubit rotations with random angles, 10 % cx; now and then a u
    gate and its inverse, or nearly its inverse, in a row."""
    gates = []
    while len(gates) < count:
        q = rng.randrange(n)
        if n > 1 and rng.random() < 0.1:
            gates.append(("cx", q, rng.choice([x for x in range(n) if x != q])))
            continue
        name = rng.choice(ROTATIONS)
        if name in ("rx", "ry", "rz"):
            gates.append((name, angle(rng), q))
        elif name != "u":
            gates.append((name, q))
        else:
            t, p, lam = u_angles(rng)
            gates.append(("u", t, p, lam, q))
            if rng.random() < 0.2:
                nudge = rng.choice([0.0, 1e-9, -3e-13, 2.0**-40])
                gates.append(("u", -t + nudge, -lam, -p, q))
    return circuit(n, gates)


def translated(qc):
    out, _ = quiet(TranslateToBasisGates(True, "cx").run, qc)
    out.qubits = list(range(out.nqubits))
    return out


@contextlib.contextmanager
def through_calls():
    """The names the merges go through replaced by Python wrappers of the
    same functions: u_mat, the product and u3_decompose are then called."""
    saved = O.u_mat, O.u3_decompose, O.gate_matrix_dict
    O.u_mat = lambda *a: matrix.u_mat(*a)
    O.u3_decompose = lambda m: utils.u3_decompose(m)
    O.gate_matrix_dict = {**matrix.gate_matrix_dict, "u": O.u_mat}
    try:
        yield
    finally:
        O.u_mat, O.u3_decompose, O.gate_matrix_dict = saved


def circuits(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        qc = rotation_heavy(rng, rng.choice([1, 2, 3, 4]), rng.randint(1, 60))
        yield translated(qc) if rng.random() < 0.75 else qc


def exact(x):
    """x with every float written out in hex, so that == compares bits (and
    tells -0.0 from 0.0)."""
    if isinstance(x, float):
        return x.hex()
    if isinstance(x, (list, tuple)):
        return type(x)(exact(v) for v in x)
    if isinstance(x, dict):
        return [(k, exact(v)) for k, v in x.items()]
    return x


def differences(cases):
    """The circuits on which the fast path, the reference path and the
    reference path's calls of u_mat, numpy's product and u3_decompose leave
    anything different, down to the bits of every angle."""
    fast = [exact(compressor_outcome(GateCompressor, qc)) for qc in cases]
    reference = [exact(compressor_outcome(Reference, qc)) for qc in cases]
    with through_calls():
        called = [exact(compressor_outcome(Reference, qc)) for qc in cases]
    return [qc.gates for qc, a, b, c in zip(cases, fast, reference, called) if not a == b == c]


@pytest.mark.parametrize("seed", range(6))
def test_rotation_heavy_circuits_merge_as_the_calls_do(seed):
    assert differences(list(circuits(seed, 80))) == []


def u_pairs(seed, count):
    """Two u gates in a row: cancelling, nearly cancelling, with zero and
    integer angles, or any two."""
    rng = random.Random(seed)
    for _ in range(count):
        a = u_angles(rng)
        k = rng.random()
        if k < 0.3:
            b = (-a[0], -a[2], -a[1])
        elif k < 0.5:
            b = (-a[0] + rng.choice([1e-8, 2.0**-45, -1e-15]), -a[2], -a[1])
        else:
            b = u_angles(rng)
        yield circuit(1, [("u", *a, 0), ("u", *b, 0)])


def test_each_merge_is_the_calls_doubles():
    cases = list(u_pairs(9, 1500))
    assert differences(cases) == []
    # and the calls give the Python expression
    for qc in cases[:300]:
        (_, *a, _), (_, *b, _) = qc.gates
        theta, phi, lam, _ = utils.u3_decompose(matrix.u_mat(*b) @ matrix.u_mat(*a))
        out = GateCompressor().run(qc).gates
        assert out == [] or exact(out[0][1:4]) == exact((theta, phi, lam))


# -------------------------------------------------- numpy's product elsewhere


def fma(x, y, z):
    """x * y + z rounded once, a zero signed as IEEE 754 signs it."""
    exact = Fraction(x) * Fraction(y) + Fraction(z)
    if exact == 0:
        negative_product = math.copysign(1, x) * math.copysign(1, y) < 0
        return -0.0 if (x == 0 or y == 0) and negative_product and math.copysign(1, z) < 0 else 0.0
    return float(exact)  # nearest; below every double, a zero of its sign


def entry(a0, a1, b0, b1):
    """Entry of a @ b from row (a0, a1) of a and column (b0, b1) of b, in
    the order of operations the C++ product follows."""
    r = a0.imag * b0.imag
    r = fma(a0.real, b0.real, -r)
    r = fma(a1.imag, b1.imag, -r)
    r = fma(a1.real, b1.real, -r)
    i = fma(a0.imag, b0.real, 0.0)
    i = fma(a0.real, b0.imag, i)
    i = fma(a1.imag, b1.real, i)
    i = fma(a1.real, b1.imag, i)
    return [r - i * 0.0, i + 0.0]


def test_the_check_takes_the_cpp_product_where_numpy_gives_it():
    """numpy's products against the C++ product's order of operations
    (zeros of either sign, cancelling and underflowing sums among them): the
    check must have found what is found here."""
    rng = np.random.default_rng(3)
    values = [
        lambda shape: rng.standard_normal(shape),
        lambda shape: np.array([0.0, -0.0, 0.5, -1.0, 2.0])[rng.integers(0, 5, shape)],
        lambda shape: rng.choice([-1.0, 1.0], shape) * 10.0 ** rng.uniform(-170, -150, shape),
    ]
    agree = True
    for k in range(300):
        a, b = (values[k % 3]((2, 2)) + 1j * values[(k // 3) % 3]((2, 2)) for _ in range(2))
        ours = [entry(a[i, 0], a[i, 1], b[0, j], b[1, j]) for i in (0, 1) for j in (0, 1)]
        agree = agree and exact(ours) == exact((a @ b).view(float).reshape(4, 2).tolist())
    assert O._numpy_product_is_cpp == agree


def numpy_products():
    """numpy's products of a few fixed pairs of 2x2 complex matrices."""
    rng = np.random.default_rng(5)
    pairs = rng.standard_normal((16, 2, 2, 2)) + 1j * rng.standard_normal((16, 2, 2, 2))
    return [exact([float(x) for x in (a @ b).view(float).ravel()]) for a, b in pairs]


def report():
    """Run in a subprocess: the check's verdict, numpy's products, and the
    circuits on which the fast path and the calls differ."""
    cases = list(circuits(40, 60)) + list(u_pairs(41, 200))
    verdict = O._numpy_product_is_cpp
    print(json.dumps({"cpp_product": verdict, "products": numpy_products(), "differences": differences(cases)}))


def report_with(**env):
    tests = os.path.dirname(os.path.abspath(__file__))
    path = os.pathsep.join([tests, os.environ.get("PYTHONPATH", "")])
    # the child compares the fast path too: the reference switch is off there
    env = {**os.environ, **env, "PYTHONPATH": path, "VEXAL_REFERENCE_PATHS": "0"}
    code = "import test_optimize_u as t; t.report()"
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.not_under_sanitizer
def test_a_failed_check_leaves_the_merges_to_numpy():
    got = report_with(_VEXAL_CIRCUIT_FAIL_PRODUCT_CHECK="1")
    assert got["cpp_product"] is False and got["differences"] == []


@pytest.mark.not_under_sanitizer
def test_a_numpy_with_another_product_is_found_out():
    """OpenBLAS takes another kernel when told to: numpy's product changes,
    the check finds it, and the merges follow that numpy."""
    got = report_with(OPENBLAS_CORETYPE="Prescott")
    assert got["differences"] == []
    if got["products"] == numpy_products() or not O._numpy_product_is_cpp:
        pytest.skip("numpy's product here is not the C++ one, or not changed by OPENBLAS_CORETYPE")
    assert got["cpp_product"] is False


# ------------------------------------------------------ identity tests


@contextlib.contextmanager
def every_function_called():
    """Every matrix function of the table replaced by a Python wrapper of
    itself: each identity test then makes the array and asks np.allclose."""
    saved = O.gate_matrix_dict
    O.gate_matrix_dict = {k: (lambda f: lambda *a: f(*a))(f) for k, f in matrix.gate_matrix_dict.items()}
    try:
        yield
    finally:
        O.gate_matrix_dict = saved


def near_identity(rng):
    """An angle at which a rotation is, or nearly is, the identity (or minus
    it): 0 and multiples of 2 pi, give or take rounding or a little more."""
    base = rng.choice([0.0, -0.0, 2 * PI, -2 * PI, 4 * PI, 8 * PI, 1e3 * PI])
    return base + rng.choice([0.0, 0.0, 1e-16, -3e-15, 1e-13, 2e-13, -4e-13, 1e-12, 1e-9, 5e-324])


def test_identity_tests_answer_as_the_matrix_functions_and_allclose():
    """Records and merges that are the identity or nearly: the answers in
    C++ (from the matrix module's entries, or where a u gate's sine is far
    from zero, from that sine) against the arrays and np.allclose."""
    rng = random.Random(2626)
    cases = []
    for _ in range(300):
        gates = []
        for _ in range(rng.randint(1, 8)):
            name = rng.choice(["rx", "ry", "rz", "p", "u", "rxx", "ryy", "rzz"])
            a = near_identity(rng) if rng.random() < 0.7 else rng.uniform(-PI, PI)
            if name == "u":
                gates.append(("u", a, near_identity(rng), near_identity(rng), 0))
            elif name in ("rxx", "ryy", "rzz"):
                gates.append((name, a, 0, 1))
            else:
                gates.append((name, a, 0))
        cases.append(circuit(2, gates))
    fast = [exact(compressor_outcome(GateCompressor, qc)) for qc in cases]
    with every_function_called():
        called = [exact(compressor_outcome(Reference, qc)) for qc in cases]
    assert [qc.gates for qc, a, b in zip(cases, fast, called) if a != b] == []
