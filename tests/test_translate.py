"""TranslateToBasisGates: every gate into one two-qubit basis gate and,
on request, u gates."""

import math
import random

import numpy as np
import oracle
import pytest
from helpers import circuit, corpus, corpus_id, random_gates, read_program

from vexal.circuit import decompose as D
from vexal.circuit import matrix as M
from vexal.circuit import translate as T
from vexal.circuit import utils
from vexal.circuit.quantumcircuit import QuantumCircuit

PI = math.pi
BASES = ("cz", "cx", "iswap")
FIXED_1Q = ["id", "x", "y", "z", "s", "sdg", "t", "tdg", "h", "sx", "sxdg"]
ANGLE_1Q = ["rx", "ry", "rz", "p"]
FIXED_2Q = ["cx", "cnot", "cy", "cz", "swap", "iswap"]
PARAM_2Q = ["rxx", "ryy", "rzz", "cp"]
FUNCTIONAL = {"barrier", "measure", "reset", "delay"}


# random_gates(..., **TRANSLATABLE): every gate kind the translation converts, barriers and delays
TRANSLATABLE = dict(
    mix=tuple(
        (1 / 7, names) for names in (FIXED_1Q, ANGLE_1Q, ("u", "u3", "r"), FIXED_2Q, PARAM_2Q, ("barrier",), ("delay",))
    ),
    angles=(-2 * PI, 2 * PI),
    durations=(1e-8,),
    mirror=0,
)


def unitary(gates, n):
    return oracle.circuit_unitary(gates, n, ignore_nonunitary=True)


def check_output(inp, out, basis, flag):
    kept = {id(r) for r in out}
    for r in inp:
        name = r[0]
        stays = (
            name in FUNCTIONAL
            or (name == "cz" and basis == "cz")
            or (not flag and (name in FIXED_1Q or name in ANGLE_1Q or name in ("u", "u3", "r")))
            or (flag and name == "u")
        )
        if stays:
            assert id(r) in kept, r
    names = {r[0] for r in out} - FUNCTIONAL
    two = {basis}
    if flag:
        # every one-qubit gate becomes u, the sx gates of the iswap SWAP included
        assert names <= two | {"u"}, names
    else:
        assert names <= two | set(FIXED_1Q) | set(ANGLE_1Q) | {"u", "u3", "r"}, names


@pytest.mark.parametrize("basis", BASES)
@pytest.mark.parametrize("flag", [False, True])
def test_random_circuits_keep_their_unitary(basis, flag, capsys):
    rng = random.Random(f"{basis}/{flag}")
    p = T.TranslateToBasisGates(flag, basis)
    for trial in range(12):
        n = 2 + trial % 3
        qc = circuit(n, random_gates(rng, n, 40, **TRANSLATABLE))
        gates = qc.gates
        before = list(gates)
        out = p.run(qc)
        assert qc.gates is gates and gates == before and all(a is b for a, b in zip(gates, before))
        assert out is not qc and out.gates is not gates
        check_output(gates, out.gates, basis, flag)
        assert oracle.equal_up_to_phase(unitary(out.gates, n), unitary(gates, n))
    lines = capsys.readouterr().out.splitlines()
    assert lines == ["Mapping to basic gates done ! " + basis] * 12


def test_records_and_edge_cases(capsys):
    empty = T.TranslateToBasisGates().run(circuit(1, []))
    assert empty.gates == [] and capsys.readouterr().out == "Mapping to basic gates done ! cz\n"

    r = ("r", 0.5, 0.25, 0)
    u = ("u", 7.0, 8.0, 9.0, 1)
    u3 = ("u3", 0.1, 0.2, 0.3, 1)
    h = ("h", 0)
    out = T.TranslateToBasisGates(True, "cx").run(circuit(2, [r, u, u3, h, ("rx", 0.3, 1)])).gates
    assert out[0] == ("u", 0.5, 0.25 - PI / 2, PI / 2 - 0.25, 0)
    assert out[1] is u
    assert out[2] == ("u", 0.1, 0.2, 0.3, 1)  # a u3 record is a u gate
    assert out[3] == ("u", *utils.u3_decompose(M.gate_matrix_dict["h"])[:3], 0)
    assert out[4] == ("u", *utils.u3_decompose(M.gate_matrix_dict["rx"](0.3))[:3], 1)

    recs = [h, ("rz", 0.1, 0), r, u3, ("measure", [0], [0])]
    out = T.TranslateToBasisGates(False, "cx").run(circuit(2, recs)).gates
    assert len(out) == len(recs) and all(a is b for a, b in zip(out, recs))
    # a cx chip gets no cz: it is written with the basis gate
    out = T.TranslateToBasisGates(False, "cx").run(circuit(2, [("cz", 0, 1)])).gates
    assert out == D.cz_decompose(0, 1, False, "cx") == [("h", 1), ("cx", 0, 1), ("h", 1)]
    out = T.TranslateToBasisGates(False, "cx").run(circuit(2, [("cnot", 0, 1)])).gates
    assert out == [("cx", 0, 1)]
    out = T.TranslateToBasisGates(False, "iswap").run(circuit(2, [("cz", 0, 1)])).gates
    assert out == D.cz_decompose(0, 1, False, "iswap")
    # named angles pass through when nothing is converted
    named = ("rx", "theta", 0)
    assert T.TranslateToBasisGates(False, "cz").run(circuit(1, [named])).gates[0] is named


def test_angles_the_conversion_to_u_must_read(capsys):
    # an r gate's phi of many turns is brought within a turn before pi/2 is taken off
    for phi in (1e10, -3e12, 1e16, 2 * PI + 1e-3, 123.456):
        gates = [("h", 0), ("r", 0.7, phi, 0)]
        out = T.TranslateToBasisGates(True, "cz").run(circuit(1, gates)).gates
        oracle.assert_equivalent(gates, out, 1, atol=1e-12)
        assert all(abs(a) <= 2 * PI for a in out[1][2:4])
    # a parameter name cannot become a u gate or a decomposition: it is named
    for rec, named in [(("rx", "theta", 0), "theta"), (("r", 0.5, "phi", 0), "phi"), (("rzz", "t", 0, 1), "t")]:
        with pytest.raises(TypeError, match=f"translation needs numeric angles: .* holds the parameter name '{named}'"):
            T.TranslateToBasisGates(True, "cx").run(circuit(2, [rec]))
    # a named theta of r is carried over, as the u gate's own theta
    assert T.TranslateToBasisGates(True, "cz").run(circuit(1, [("r", "a", 0.25, 0)])).gates[0][1] == "a"
    capsys.readouterr()


def test_constructor_and_attributes():
    p = T.TranslateToBasisGates()
    assert p.convert_single_qubit_gate_to_u is True and p.two_qubit_gate_basis == "cz"
    p = T.TranslateToBasisGates(convert_single_qubit_gate_to_u=[], two_qubit_gate_basis="iswap")
    assert p.convert_single_qubit_gate_to_u is False and p.two_qubit_gate_basis == "iswap"
    assert isinstance(p, T.TranspilerPass)
    # the constructor stores the basis as given
    assert T.TranslateToBasisGates(True, "bogus").two_qubit_gate_basis == "bogus"


class NoCopy(QuantumCircuit):
    def deepcopy(self):
        raise AssertionError("copied")


def test_failures_leave_nothing_behind(capsys):
    # an unknown basis is refused before anything is made or printed
    for basis in ("bogus", "CX", None):
        qc = NoCopy(2, 2)
        qc.gates = [("cx", 0, 1)]
        with pytest.raises(ValueError, match="'cz', 'cx' and 'iswap'"):
            T.TranslateToBasisGates(True, basis).run(qc)
    for name, q in (("ccx", (0, 1, 2)), ("ccz", (0, 1, 2)), ("cswap", (0, 1, 2)), ("foo", (0,))):
        qc = circuit(3, [("h", 0), (name, *q)])
        with pytest.raises(TypeError, match=f"^Input {name} gate is not support to basic gates now.$"):
            T.TranslateToBasisGates(True, "cz").run(qc)
        assert qc.gates == [("h", 0), (name, *q)]
    with pytest.raises(TypeError):
        T.TranslateToBasisGates(True, "cz").run(circuit(1, [("rx", "theta", 0)]))
    with pytest.raises(ValueError, match=r"malformed gate record \('r', 0.1, 0\): wrong number of elements"):
        T.TranslateToBasisGates(True, "cz").run(circuit(1, [("r", 0.1, 0)]))
    assert capsys.readouterr().out == ""


@pytest.mark.usefixtures("fast_paths_only")  # the port against the Python function
def test_u3_port_matches_python_bit_for_bit(monkeypatch):
    """One-qubit gates go through the C++ port of the package's
    u3_decompose; its angles must be bit-identical to the Python one's."""
    p = T.TranslateToBasisGates(True, "cz")
    # every fixed one-qubit gate matrix, and the angle gates
    rng = np.random.default_rng(3)
    recs = [(g, 0) for g in FIXED_1Q]
    recs += [(g, float(a), 0) for g in ANGLE_1Q for a in rng.uniform(-10, 10, 200)]
    specials = (0.0, -0.0, PI, -PI, PI / 2, 2 * PI, 1e-14, 5e-324, 1e-310, 3e300, -1e17)
    recs += [(g, float(a), 0) for g in ANGLE_1Q for a in specials]
    out = p.run(circuit(1, recs)).gates
    for rec, got in zip(recs, out):
        m = M.gate_matrix_dict[rec[0]]
        m = m if len(rec) == 2 else m(rec[1])
        assert got == ("u", *utils.u3_decompose(m)[:3], 0), rec

    # thousands of random unitaries (and special ones) fed through a table
    mats = []
    for _ in range(4000):
        z = rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2))
        q, rr = np.linalg.qr(z)
        mats.append(q * (np.diag(rr) / abs(np.diag(rr))))
    phase = np.exp(1j * 0.7)
    mats += [
        phase * np.eye(2),
        phase * np.array([[0, 1], [1, 0]]),
        np.diag([1, 1j]),
        np.array([[0, -1j], [1j, 0]]),
        M.u_mat(1e-12, 0.3, 0.4),
        M.u_mat(PI - 1e-12, 0.3, 0.4),
        np.asfortranarray(M.u_mat(0.3, 0.2, 0.1)),
        M.u_mat(0.3, 0.2, 0.1).T.copy().T,
    ]
    mats = [np.asarray(m, dtype=complex) for m in mats]
    monkeypatch.setattr(T, "gate_matrix_dict", {"rx": lambda i: mats[int(i)]})
    out = p.run(circuit(1, [("rx", i, 0) for i in range(len(mats))])).gates
    for m, got in zip(mats, out):
        ref = utils.u3_decompose(m)
        assert got[1:4] == ref[:3] and all(type(v) is float for v in got[1:4])

    # the same errors as the Python function
    for bad in (np.array([[1, 1], [0, 1]], dtype=complex), np.array([[np.nan, 0], [0, 1]], dtype=complex)):
        with pytest.raises(ValueError) as py_err:
            utils.u3_decompose(bad)
        monkeypatch.setattr(T, "gate_matrix_dict", {"rx": lambda i: bad})
        with pytest.raises(ValueError, match=str(py_err.value)):
            p.run(circuit(1, [("rx", 0, 0)]))
    # other array kinds take the Python function
    monkeypatch.setattr(T, "gate_matrix_dict", {"rx": lambda i: [[0, 1], [1, 0]]})
    assert p.run(circuit(1, [("rx", 0, 0)])).gates[0] == ("u", *utils.u3_decompose([[0, 1], [1, 0]])[:3], 0)


def test_records_of_one_value_are_made_as_the_reference_path_makes_them(monkeypatch):
    """The fast path makes each record of one value once (a fixed gate's u
    record on a qubit, the records of a decomposition) and shares it; the
    records are those the reference path makes one by one."""
    import vexal.circuit as package

    rng = random.Random(261)
    gates = []
    for _ in range(3000):
        q = rng.sample(range(6), 2)
        gates.append(
            rng.choice(
                [
                    (rng.choice(FIXED_1Q), q[0]),
                    (rng.choice(ANGLE_1Q), rng.choice([0.5, -1.25, 0.0, 2.0]), q[0]),
                    (rng.choice(FIXED_2Q), *q),
                    (rng.choice(PARAM_2Q), 0.75, *q),
                ]
            )
        )
    qc = circuit(6, gates)
    for basis in BASES:
        monkeypatch.setattr(package, "_reference_paths", False)
        fast = T.TranslateToBasisGates(True, basis).run(qc).gates
        monkeypatch.setattr(package, "_reference_paths", True)
        reference = T.TranslateToBasisGates(True, basis).run(qc).gates
        assert [[x.hex() if isinstance(x, float) else x for x in r] for r in fast] == [
            [x.hex() if isinstance(x, float) else x for x in r] for r in reference
        ]


def test_a_replaced_u3_decompose_is_asked_for_every_record(monkeypatch):
    # a record made once and shared would not be asked again
    seen = iter(range(100))
    monkeypatch.setattr(T, "u3_decompose", lambda m: (float(next(seen)), 0.0, 0.0, 0.0))
    out = T.TranslateToBasisGates(True, "cz").run(circuit(2, [("h", 0), ("h", 0), ("rx", 0.5, 1), ("rx", 0.5, 1)]))
    assert [r[1] for r in out.gates] == [0.0, 1.0, 2.0, 3.0]


def test_replacements_are_called(monkeypatch):
    monkeypatch.setattr(T, "u3_decompose", lambda m: (1.0, 2.0, 3.0, None))
    monkeypatch.setattr(T, "cx_decompose", lambda a, b, f, bs: [("mine", a, b, f, bs)])
    out = T.TranslateToBasisGates(True, "cz").run(circuit(2, [("h", 1), ("cx", 0, 1)])).gates
    assert out == [("u", 1.0, 2.0, 3.0, 1), ("mine", 0, 1, True, "cz")]
    monkeypatch.setattr(T, "u3_decompose", lambda m: (1.0, 2.0, 3.0, 4.0, 5.0))
    with pytest.raises(ValueError, match="too many values to unpack"):
        T.TranslateToBasisGates(True, "cz").run(circuit(1, [("h", 0)]))
    # a converter replaced in the decompose module reaches the translation
    monkeypatch.setattr(D, "h2u", lambda q: ("hh", q))
    out = T.TranslateToBasisGates(True, "cz").run(circuit(2, [("swap", 0, 1)])).gates
    assert [r for r in out if r[0] != "cz"] == [("hh", q) for q in (1, 1, 0, 0, 1, 1)]


@pytest.mark.parametrize("path", corpus("small__*.qasm"), ids=corpus_id)
def test_corpus_circuits(path):
    qc = read_program(path)
    if qc.nqubits > 10:
        pytest.skip("too wide for the reference simulator")
    three = D.ThreeQubitGateDecompose().run(qc)
    ref = [g for g in qc.gates if g[0] not in FUNCTIONAL]
    for basis in BASES:
        for flag in (False, True):
            out = T.TranslateToBasisGates(flag, basis).run(three)
            gates = [g for g in out.gates if g[0] not in FUNCTIONAL]
            oracle.assert_equivalent_states(gates, ref, qc.nqubits, params_value=qc.params_value)
