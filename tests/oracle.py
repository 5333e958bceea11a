"""Reference simulator for checking circuits in tests.

Independent of the package: its own gate matrices, its own state-vector
simulator.  Qubit order: the first qubit of a gate record is the
least-significant bit of the matrix index, and qubit q of an n-qubit register
is bit q of the state index.

Main entry points:
  circuit_unitary(gates, nqubits, params_value=None)  -> 2^n x 2^n matrix
  apply_gates(state, gates, nqubits, ...)             -> new state(s)
  equal_up_to_phase(U, V, atol=1e-8)
  assert_equivalent(gates_a, gates_b, nqubits)        full unitaries (small n)
  assert_equivalent_states(gates_a, gates_b, nqubits) random input states
  permute_qubits(gates, mapping)
  assert_equivalent_routed(original, routed, n_phys, initial_v2p, final_v2p)
  bit_distribution(gates)                             classical outcomes from |0...0>
"""

import cmath
import math

import numpy as np

# ---------------------------------------------------------------- matrices

_S2 = 1.0 / math.sqrt(2.0)
_I = np.eye(2, dtype=complex)

FIXED = {
    "id": _I,
    "x": np.array([[0, 1], [1, 0]], dtype=complex),
    "y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "z": np.array([[1, 0], [0, -1]], dtype=complex),
    "h": np.array([[_S2, _S2], [_S2, -_S2]], dtype=complex),
    "s": np.array([[1, 0], [0, 1j]], dtype=complex),
    "sdg": np.array([[1, 0], [0, -1j]], dtype=complex),
    "t": np.array([[1, 0], [0, cmath.exp(1j * math.pi / 4)]], dtype=complex),
    "tdg": np.array([[1, 0], [0, cmath.exp(-1j * math.pi / 4)]], dtype=complex),
    "sx": 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]], dtype=complex),
    "sxdg": 0.5 * np.array([[1 - 1j, 1 + 1j], [1 + 1j, 1 - 1j]], dtype=complex),
}


def _controlled(u, nctrl=1):
    """Controls on the low bits, u on the remaining high bits."""
    k = int(round(math.log2(u.shape[0])))
    dim = 2 ** (nctrl + k)
    m = np.eye(dim, dtype=complex)
    allc = 2**nctrl - 1
    for r in range(u.shape[0]):
        for c in range(u.shape[0]):
            m[allc + (r << nctrl), allc + (c << nctrl)] = u[r, c]
    return m


def _perm(p):
    """Permutation matrix sending basis state c to p[c]."""
    m = np.zeros((len(p), len(p)), dtype=complex)
    for c, r in enumerate(p):
        m[r, c] = 1
    return m


_SWAP = _perm([0, 2, 1, 3])
FIXED.update(
    {
        "cx": _controlled(FIXED["x"]),
        "cnot": _controlled(FIXED["x"]),
        "cy": _controlled(FIXED["y"]),
        "cz": _controlled(FIXED["z"]),
        "swap": _SWAP,
        "iswap": np.array([[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]], dtype=complex),
        "ccx": _controlled(FIXED["x"], 2),
        "ccz": _controlled(FIXED["z"], 2),
        "cswap": _controlled(_SWAP, 1),
    }
)


def _rx(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=complex)


def _ry(t):
    c, s = math.cos(t / 2), math.sin(t / 2)
    return np.array([[c, -s], [s, c]], dtype=complex)


def _rz(t):
    return np.array([[cmath.exp(-0.5j * t), 0], [0, cmath.exp(0.5j * t)]], dtype=complex)


def _p(t):
    return np.array([[1, 0], [0, cmath.exp(1j * t)]], dtype=complex)


def u_matrix(theta, phi, lamda):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return np.array(
        [[c, -cmath.exp(1j * lamda) * s], [cmath.exp(1j * phi) * s, cmath.exp(1j * (phi + lamda)) * c]], dtype=complex
    )


def _r(theta, phi):
    # rotation by theta about the equatorial axis (cos phi, sin phi, 0)
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return np.array([[c, -1j * cmath.exp(-1j * phi) * s], [-1j * cmath.exp(1j * phi) * s, c]], dtype=complex)


_X, _Y, _Z = FIXED["x"], FIXED["y"], FIXED["z"]


def _pauli_rot(P, t):
    # exp(-i t/2 P) for P with P^2 = 1
    return math.cos(t / 2) * np.eye(P.shape[0], dtype=complex) - 1j * math.sin(t / 2) * P


def _cp(t):
    return np.diag([1, 1, 1, cmath.exp(1j * t)]).astype(complex)


PARAM = {  # name -> (number of angles, function)
    "rx": (1, _rx),
    "ry": (1, _ry),
    "rz": (1, _rz),
    "p": (1, _p),
    "u": (3, u_matrix),
    "u3": (3, u_matrix),
    "r": (2, _r),
    "rxx": (1, lambda t: _pauli_rot(np.kron(_X, _X), t)),
    "ryy": (1, lambda t: _pauli_rot(np.kron(_Y, _Y), t)),
    "rzz": (1, lambda t: _pauli_rot(np.kron(_Z, _Z), t)),
    "cp": (1, _cp),
}

ONE_Q = ("id", "x", "y", "z", "s", "sdg", "t", "tdg", "h", "sx", "sxdg")
TWO_Q = ("cx", "cnot", "cy", "cz", "swap", "iswap")
THREE_Q = ("ccz", "ccx", "cswap")
ONE_Q_PARAM = ("rx", "ry", "rz", "p", "u", "u3", "r")
TWO_Q_PARAM = ("rxx", "ryy", "rzz", "cp")


def gate_shape(name):
    """(number of angles, number of qubits) of a unitary gate name."""
    if name in ONE_Q:
        return 0, 1
    if name in TWO_Q:
        return 0, 2
    if name in THREE_Q:
        return 0, 3
    if name in ONE_Q_PARAM:
        return PARAM[name][0], 1
    if name in TWO_Q_PARAM:
        return 1, 2
    raise ValueError(f"oracle: unknown gate {name!r}")


def _angle(a, params_value):
    if isinstance(a, str):
        if not params_value or a not in params_value:
            raise ValueError(f"oracle: no value for parameter {a!r}")
        a = params_value[a]
    return float(a)


def gate_matrix(record, params_value=None):
    """(matrix, qubit list) of a unitary gate record."""
    name = record[0]
    npar, nq = gate_shape(name)
    if len(record) != 1 + npar + nq:
        raise ValueError(f"oracle: malformed record {record!r}")
    qubits = [int(q) for q in record[1 + npar :]]
    if len(set(qubits)) != len(qubits):
        raise ValueError(f"oracle: repeated qubit in {record!r}")
    if npar == 0:
        return FIXED[name], qubits
    angles = [_angle(a, params_value) for a in record[1 : 1 + npar]]
    return PARAM[name][1](*angles), qubits


# ---------------------------------------------------------------- simulator


def _apply_matrix(psi, mat, qubits):
    """psi: contiguous array of shape (batch, 2^n), bit q of the column index
    = qubit q.  The state is viewed with one axis per gate qubit and merged
    axes in between; the gate works on strided views, one block per basis
    state of its qubits, skipping zero matrix entries."""
    n = psi.shape[1].bit_length() - 1
    k = len(qubits)
    desc = sorted(qubits, reverse=True)
    shape = [psi.shape[0] << (n - 1 - desc[0])]
    for i, q in enumerate(desc):
        nxt = desc[i + 1] if i + 1 < k else -1
        shape += [2, 1 << (q - nxt - 1)]
    axis = {q: 1 + 2 * i for i, q in enumerate(desc)}
    t = psi.reshape(shape)
    dim = 1 << k
    idx = []
    for c in range(dim):
        sl = [slice(None)] * len(shape)
        for j, q in enumerate(qubits):
            sl[axis[q]] = (c >> j) & 1
        idx.append(tuple(sl))
    blocks = [t[i] for i in idx]
    out = np.empty_like(t)
    for r in range(dim):
        o = out[idx[r]]
        first = True
        for c in range(dim):
            m = mat[r, c]
            if m == 0:
                continue
            if first:
                if m == 1:
                    o[...] = blocks[c]
                else:
                    np.multiply(blocks[c], m, out=o)
                first = False
            else:
                o += m * blocks[c]
        if first:
            o[...] = 0
    return out.reshape(psi.shape)


def _run(psi, gates, n, params_value, ignore_nonunitary):
    for g in gates:
        name = g[0]
        if name in ("barrier", "delay"):
            continue
        if name in ("measure", "reset"):
            if ignore_nonunitary:
                continue
            raise ValueError(f"oracle: non-unitary record {g!r}")
        mat, qubits = gate_matrix(g, params_value)
        for q in qubits:
            if not 0 <= q < n:
                raise ValueError(f"oracle: qubit {q} out of range in {g!r} (n={n})")
        psi = _apply_matrix(psi, mat, qubits)
    return psi


def apply_gates(state, gates, nqubits, params_value=None, ignore_nonunitary=False):
    """Apply a gate list to a state vector (length 2^n) or to a batch of
    states given as the columns of a (2^n, B) array.  Returns a new array of
    the same shape."""
    state = np.asarray(state, dtype=complex)
    dim = 2**nqubits
    if state.shape[0] != dim or state.ndim not in (1, 2):
        raise ValueError(f"oracle: state of shape {state.shape}, expected {dim} rows")
    single = state.ndim == 1
    psi = np.ascontiguousarray(state.reshape(1, dim) if single else state.T)
    psi = _run(psi, gates, nqubits, params_value, ignore_nonunitary)
    return psi[0].copy() if single else np.ascontiguousarray(psi.T)


def circuit_unitary(gates, nqubits, params_value=None, ignore_nonunitary=False):
    """The 2^n x 2^n unitary of a gate list."""
    return apply_gates(np.eye(2**nqubits, dtype=complex), gates, nqubits, params_value, ignore_nonunitary)


def random_states(nqubits, count, seed=0):
    rng = np.random.default_rng(seed)
    dim = 2**nqubits
    s = rng.normal(size=(dim, count)) + 1j * rng.normal(size=(dim, count))
    return s / np.linalg.norm(s, axis=0)


# ---------------------------------------------------------------- comparison


def global_phase(U, V):
    """The unit complex number c minimising |U - c V| (1 if V . U vanishes)."""
    ov = np.vdot(V, U)
    if abs(ov) < 1e-300:
        return 1.0 + 0j
    return ov / abs(ov)


def equal_up_to_phase(U, V, atol=1e-8):
    U = np.asarray(U, dtype=complex)
    V = np.asarray(V, dtype=complex)
    if U.shape != V.shape:
        return False
    return bool(np.allclose(U, global_phase(U, V) * V, rtol=0, atol=atol))


def _fail(msg, U, V):
    diff = np.max(np.abs(U - global_phase(U, V) * V)) if U.shape == V.shape else None
    raise AssertionError(f"{msg} (max deviation after phase alignment: {diff})")


def assert_equivalent(gates_a, gates_b, nqubits, params_value=None, atol=1e-8):
    """Both gate lists have the same unitary up to a global phase."""
    U = circuit_unitary(gates_a, nqubits, params_value)
    V = circuit_unitary(gates_b, nqubits, params_value)
    if not equal_up_to_phase(U, V, atol):
        _fail("circuits are not equivalent", U, V)


def assert_equivalent_states(
    gates_a, gates_b, nqubits, trials=2, seed=0, params_value=None, atol=1e-8, ignore_nonunitary=False
):
    """Both gate lists map `trials` random states to the same outputs, with a
    single global phase common to all of them."""
    s = random_states(nqubits, trials, seed)
    A = apply_gates(s, gates_a, nqubits, params_value, ignore_nonunitary)
    B = apply_gates(s, gates_b, nqubits, params_value, ignore_nonunitary)
    if not equal_up_to_phase(A, B, atol):
        _fail("circuits differ on random states", A, B)


# ---------------------------------------------------------------- relabelling


def record_qubit_positions(record):
    """Indices, inside the record, of its qubit wires (for unitary gates)."""
    npar, nq = gate_shape(record[0])
    return list(range(1 + npar, 1 + npar + nq))


def permute_qubits(gates, mapping):
    """New gate list with every wire q replaced by mapping[q] (dict or list)."""
    out = []
    for g in gates:
        name = g[0]
        if name == "barrier":
            out.append((name, tuple(mapping[q] for q in g[1])))
        elif name == "delay":
            out.append((name, g[1], tuple(mapping[q] for q in g[2])))
        elif name == "measure":
            out.append((name, [mapping[q] for q in g[1]], list(g[2])))
        elif name == "reset":
            out.append((name, mapping[g[1]]))
        else:
            pos = set(record_qubit_positions(g))
            out.append(tuple(mapping[x] if i in pos else x for i, x in enumerate(g)))
    return out


def embed_state(psi, v2p, n_phys):
    """Place a batch of states over virtual qubits 0..k-1 (rows 2^k) onto
    n_phys physical qubits: virtual v on physical v2p[v], others in |0>."""
    k = len(v2p)
    batch = psi.shape[1]
    t = psi.reshape((2,) * k + (batch,))
    # axis a of t is virtual qubit k-1-a; its physical axis is n_phys-1-v2p[v]
    phys_axis = [n_phys - 1 - v2p[k - 1 - a] for a in range(k)]
    order = sorted(range(k), key=lambda a: phys_axis[a])
    t = t.transpose(order + [k])
    full = np.zeros((2,) * n_phys + (batch,), dtype=complex)
    used = set(phys_axis)
    idx = tuple(slice(None) if ax in used else 0 for ax in range(n_phys)) + (slice(None),)
    full[idx] = t
    return full.reshape(2**n_phys, batch)


def assert_equivalent_routed(
    original,
    routed,
    n_phys,
    initial_v2p,
    final_v2p,
    trials=2,
    seed=0,
    params_value=None,
    atol=1e-8,
    ignore_nonunitary=False,
):
    """`routed` (on n_phys physical qubits), applied to a random state placed
    by initial_v2p (unused physical qubits in |0>), gives the output of
    `original` placed by final_v2p, up to one global phase.

    The virtual qubits are the keys of initial_v2p (final_v2p must have the
    same keys); every wire of `original` must be one of them."""
    vs = sorted(initial_v2p)
    if sorted(final_v2p) != vs:
        raise ValueError("oracle: initial and final mappings cover different virtual qubits")
    for m in (initial_v2p, final_v2p):
        ps = list(m.values())
        if len(set(ps)) != len(ps) or any(not 0 <= p < n_phys for p in ps):
            raise ValueError(f"oracle: bad mapping {m!r} for {n_phys} physical qubits")
    k = len(vs)
    compact = {v: i for i, v in enumerate(vs)}
    orig = permute_qubits(original, compact)
    init = {compact[v]: initial_v2p[v] for v in vs}
    fin = {compact[v]: final_v2p[v] for v in vs}
    s = random_states(k, trials, seed)
    expected = embed_state(apply_gates(s, orig, k, params_value, ignore_nonunitary), fin, n_phys)
    got = apply_gates(embed_state(s, init, n_phys), routed, n_phys, params_value, ignore_nonunitary)
    if not equal_up_to_phase(got, expected, atol):
        _fail("routed circuit does not reproduce the original", got, expected)


# ---------------------------------------------------------------- classical outcomes


def bit_distribution(gates, params_value=None, tol=1e-12):
    """The probabilities of the classical bits' final values when `gates`
    run from |0...0>: a dict from a tuple of (bit, value) pairs, sorted by
    bit, to its probability.  Measurements project and write their bit
    (a later write to a bit replaces the earlier one); resets project and
    return the qubit to |0>.  Only the qubits the gates use are simulated,
    so the labels of the qubits do not matter."""
    used = sorted({q for g in gates for q in _record_wires(g)})
    compact = {q: i for i, q in enumerate(used)}
    n = len(used)
    branches = [(np.eye(2**n, dtype=complex)[:, 0].reshape(1, -1), {})]
    for g in permute_qubits(gates, compact):
        name = g[0]
        if name in ("barrier", "delay"):
            continue
        if name in ("measure", "reset"):
            pairs = zip(g[1], g[2]) if name == "measure" else [(g[1], None)]
            for q, c in pairs:
                branches = [b for psi, bits in branches for b in _project(psi, bits, q, c, tol)]
            continue
        mat, qubits = gate_matrix(g, params_value)
        branches = [(_apply_matrix(psi, mat, qubits), bits) for psi, bits in branches]
    out = {}
    for psi, bits in branches:
        key = tuple(sorted(bits.items()))
        out[key] = out.get(key, 0.0) + float(np.vdot(psi, psi).real)
    return out


def _record_wires(g):
    if g[0] == "measure":
        return g[1]
    if g[0] == "barrier":
        return g[1]
    if g[0] == "delay":
        return g[2]
    if g[0] == "reset":
        return [g[1]]
    return [g[i] for i in record_qubit_positions(g)]


def _project(psi, bits, q, c, tol):
    """The branches of measuring qubit q (into bit c; a reset when c is None)."""
    index = np.arange(psi.shape[1])
    one = ((index >> q) & 1).astype(bool)
    for value, mask in ((0, ~one), (1, one)):
        part = np.where(mask, psi, 0)
        if np.vdot(part, part).real <= tol:
            continue
        if c is None:
            if value:
                part = part[:, index ^ (1 << q)]
            yield part, bits
        else:
            yield part, {**bits, c: value}


def assert_same_bit_distribution(gates_a, gates_b, params_value=None, atol=1e-8):
    """Both gate lists leave the classical bits with the same probabilities."""
    a = bit_distribution(gates_a, params_value)
    b = bit_distribution(gates_b, params_value)
    keys = set(a) | set(b)
    worst = max((abs(a.get(k, 0.0) - b.get(k, 0.0)) for k in keys), default=0.0)
    if worst > atol:
        raise AssertionError(f"classical outcomes differ by {worst}: {sorted(a.items())} != {sorted(b.items())}")
