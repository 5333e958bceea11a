"""GateCompressor.run on an exact circuit works without the networkx DAG and
leaves `dag` to be built when it is read: everything it leaves must be what
the methods leave, on varied, rotation-heavy and large circuits."""

import copy
import math
import pickle
import random

import pytest
from helpers import ANGLES, circuit, compressor_outcome, quiet, random_gates, reference_subclass

import vexal.circuit as package
from vexal.circuit import dag as D
from vexal.circuit import optimize as O
from vexal.circuit.optimize import GateCompressor
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.translate import TranslateToBasisGates

# the fast path's own results (a deferred dag) and their comparison with the
# reference path: the reference switch stays off here
pytestmark = pytest.mark.usefixtures("fast_paths_only")

Reference = reference_subclass(GateCompressor, "run_compress_once")


def deferred(p):
    """Whether the run left `dag` to be built when it is read."""
    return type(vars(p).get("dag")).__name__ == "_Deferred"


def varied_circuit(rng):
    """Circuits whose start nodes, measures and delays exercise the reading:
    qubit lists in any order or with wires missing, measures over several
    qubits, delays, a barrier over a list."""
    n = rng.choice([2, 3, 5, 8])
    pool = rng.sample(range(n), min(n, rng.randint(2, 5)))
    qc = QuantumCircuit(n, n)
    qc.qubits = rng.sample(range(n), rng.randint(max(1, n - 2), n))
    gates = random_gates(rng, pool, rng.randint(0, 40))
    for _ in range(rng.randint(0, 3)):
        at = rng.randint(0, len(gates))
        k = rng.randint(1, len(pool))
        extra = rng.choice(
            [
                ("measure", rng.sample(pool, k), rng.sample(range(n), k)),
                ("delay", rng.choice([0, 1e-8, 3]), tuple(rng.sample(pool, k))),
                ("barrier", rng.sample(pool, k)),
                ("u", rng.choice(ANGLES), 0.0, rng.choice(ANGLES), pool[0]),
            ]
        )
        gates.insert(at, extra)
    qc.gates = gates
    return qc


def test_exact_circuits_leave_the_dag_the_methods_leave():
    rng = random.Random(21)
    taken = 0
    for _ in range(600):
        qc = varied_circuit(rng)
        p = GateCompressor()
        p.run(qc)
        taken += deferred(p)
        assert compressor_outcome(GateCompressor, qc) == compressor_outcome(Reference, qc), qc.gates
    assert taken > 500


def test_counter_numbering_and_second_runs_follow_the_methods():
    rng = random.Random(4)
    for _ in range(60):
        circuits = [varied_circuit(rng) for _ in range(2)]
        start = rng.choice([None, 0, 3, 10**6, 10**12])
        states = []
        for cls in (GateCompressor, Reference):
            p = cls()
            if start is not None:
                p._idx = start
            runs = [(p.run(qc).gates, p._idx, list(p.dag.nodes(data=True)), list(p.dag.edges)) for qc in circuits]
            states.append(runs)
        assert states[0] == states[1]


def test_the_dag_is_the_runs_even_when_read_late():
    qc = circuit(3, [("measure", [0, 1], [1, 0]), ("x", 2), ("x", 2), ("rz", 0.5, 1), ("rz", 0.25, 1), ("h", 0)])
    p, q = GateCompressor(), Reference()
    p.run(qc)
    q.run(qc)
    assert "built when the attribute is read" in repr(vars(p)["dag"])
    qc.gates[0][1].append(2)  # the records a run read are its own
    qc.gates.clear()
    assert list(p.dag.nodes(data=True)) == list(q.dag.nodes(data=True))
    assert list(p.dag.edges(data=True)) == list(q.dag.edges(data=True))
    assert vars(p)["dag"] is p.dag  # built once, then an ordinary attribute


def test_a_pass_with_an_unread_dag_copies_and_pickles_as_its_dag():
    qc = circuit(2, [("h", 0), ("h", 0), ("cx", 0, 1), ("rx", 0.5, 1), ("rx", 0.5, 1)])
    expected = Reference()
    expected.run(qc)
    for make in (copy.deepcopy, lambda p: pickle.loads(pickle.dumps(p))):
        p = GateCompressor()
        p.run(qc)
        other = make(p)
        assert list(other.dag.edges(data=True)) == list(expected.dag.edges(data=True))
        assert other._idx == expected._idx


def test_names_on_the_road_are_used_as_they_stand(monkeypatch):
    class Recorded(QuantumCircuit):
        pass

    qc = circuit(2, [("x", 0), ("x", 0), ("cz", 0, 1)])
    monkeypatch.setattr(D, "QuantumCircuit", Recorded)
    out = GateCompressor().run(qc)
    assert type(out) is Recorded and out.gates == [("cz", 0, 1)]
    # a replaced dag2qc gets the real DAG
    seen = []
    monkeypatch.setattr(O, "dag2qc", lambda dag, nq, nc: seen.append(dag) or D.dag2qc(dag, nq, nc))
    p = GateCompressor()
    assert p.run(qc).gates == [("cz", 0, 1)]
    assert not deferred(p) and seen == [p.dag]


# ------------------------------------------------ large and rotation-heavy


class Subclassed(QuantumCircuit):
    """A circuit the fast path does not read: run goes over the networkx DAG
    (the DAG tier), which the fast path was first checked against."""


def over_the_dag(qc):
    other = Subclassed(qc.nqubits, qc.ncbits)
    other.qubits, other.gates = qc.qubits, qc.gates
    return other


def rotation_mix(rng, n, count):
    """90 % one-qubit gates (rx, ry, rz, h, s, t, sx), 10 % cx: what runs of
    one-qubit gates merge from; angles now and then cancel or nearly do."""
    gates = []
    for _ in range(count):
        q = rng.randrange(n)
        if n > 1 and rng.random() < 0.1:
            gates.append(("cx", q, rng.choice([x for x in range(n) if x != q])))
        elif rng.random() < 0.7:
            a = rng.choice([rng.uniform(-3, 3), rng.uniform(-3, 3), 0.0, 2 * math.pi, 1e-13])
            gates.append((rng.choice(["rx", "ry", "rz"]), a, q))
            if rng.random() < 0.1:
                gates.append((gates[-1][0], -a + rng.choice([0.0, 1e-14, 3e-13]), q))
        else:
            gates.append((rng.choice(["h", "s", "t", "sx"]), q))
    qc = circuit(n, gates)
    return qc


def in_u_gates(qc):
    out, _ = quiet(TranslateToBasisGates(True, "cz").run, qc)
    out.qubits = list(qc.qubits)
    return out


def test_rotation_heavy_circuits_merge_as_the_methods_do():
    rng = random.Random(26)
    for size in (200, 400, 700):
        for n in (1, 2, 4):
            qc = rotation_mix(rng, n, size)
            for case in (qc, in_u_gates(qc)):
                p = GateCompressor()
                p.run(case)
                assert deferred(p)
                assert compressor_outcome(GateCompressor, case) == compressor_outcome(Reference, case), (size, n)


def heavy_circuit(rng, n, count):
    """A large circuit of everything the fast path's graph keeps apart: runs of one-
    and two-qubit gates that merge or cancel, barriers over many wires,
    measures of several qubits into a few shared bits (edges without wires
    between their writers), delays and resets."""
    gates = random_gates(rng, n, count, cbits=3, measured=(1, 3), mirror=0)
    for _ in range(count // 50):
        at = rng.randrange(len(gates) + 1)
        q = rng.sample(range(n), 2)
        run = rng.choice(
            [
                [("cz", *q)] * rng.randint(2, 5),
                [("u", 0.3, 0.2, 0.1, q[0]), ("u", -0.3, -0.1, -0.2, q[0])],
                [("barrier", tuple(rng.sample(range(n), rng.randint(n // 2, n))))],
                [("measure", q, [0, 0])],
                [("rzz", 0.5, *q), ("rzz", -0.5, *q), ("rzz", 0.25, *q)],
            ]
        )
        gates[at:at] = run
    return circuit(n, gates, ncbits=max(n, 3))


def test_large_circuits_leave_what_the_dag_tier_leaves():
    rng = random.Random(260)
    cases = [heavy_circuit(rng, n, count) for n, count in ((6, 20000), (30, 30000))]
    cases.append(in_u_gates(rotation_mix(rng, 5, 30000)))
    for qc in cases:
        p = GateCompressor()
        p.run(qc)
        assert deferred(p)
        got = compressor_outcome(GateCompressor, qc)
        assert got == compressor_outcome(GateCompressor, over_the_dag(qc))
        assert package._paths["GateCompressor"][0] == "DAG tier"


def test_measures_into_shared_bits_merge_as_the_methods_do():
    rng = random.Random(2600)
    wireless = 0
    for _ in range(60):
        n = rng.choice([2, 3, 4])
        qc = heavy_circuit(rng, n, rng.randint(30, 120))
        out = compressor_outcome(GateCompressor, qc)
        assert out == compressor_outcome(Reference, qc), qc.gates
        p = GateCompressor()
        p.run(qc)
        wireless += sum(1 for _, _, d in p.dag.edges(data=True) if d["qubit"] == [])
    assert wireless > 20
