"""DynamicalDecoupling's fast path and DAG tier against its reference path:
the same result, printed text, inserted nodes (down to the order of every
dictionary of the DAG handed to dag2qc) and numbering, on random circuits;
and the pieces that send a run along the reference path."""

import copy
import random
import zlib
from fractions import Fraction

import numpy as np
import pytest
from helpers import (
    DagRecorder,
    assert_paths_agree,
    circuit,
    circuit_state,
    graph_state,
    outcome,
    random_gates,
    reference_subclass,
)

from vexal.circuit import schedule
from vexal.circuit.dag import dag2qc, qc2dag
from vexal.circuit.schedule import DynamicalDecoupling

T1, T2 = 2e-8, 4e-8
Reference = reference_subclass(DynamicalDecoupling, "counter")

# each test compares a path with the reference: the reference switch stays off here
pytestmark = pytest.mark.usefixtures("fast_paths_only")

# random_gates(..., **SCHEDULABLE): gates of one and two qubits with parameters
# and a parameter name, barriers, measures, Toffolis, resets and delays
SCHEDULABLE = dict(
    mix=(
        (0.3, ("cz", "cx", "rzz", "cp")),
        (0.5, ("h", "sx", "u", "rz", "r")),
        (0.06, ("barrier",)),
        (0.04, ("measure",)),
        (0.03, ("ccx",)),
        (0.03, ("reset",)),
        (0.04, ("delay",)),
    ),
    angles=[0.1, 0.2, 0.3, 0.5, 1, 2],
    params=("t",),
    cbits=3,
    mirror=0,
)


def decoupling_outcome(cls, qc, kw, t1g, t2g, count, record=True):
    """What a run of a `cls` pass whose counter starts at `count` leaves: the
    result, what it printed, the counter, and with `record` the DAG it hands
    dag2qc (recorded by a stand-in, so that the DAG is made)."""
    rec = DagRecorder()
    dd = cls(t1g, t2g)
    dd._count = count
    real = schedule.dag2qc
    if record:
        schedule.dag2qc = rec
    try:
        return outcome(
            lambda: circuit_state(dd.run(qc, **kw), qc),
            lambda: dict(dags=[graph_state(d) for d in rec.dags], count=dd._count),
        )
    finally:
        schedule.dag2qc = real


def random_case(rng, counts, pulses=False):
    """A small random circuit (some qubits maybe without record, now and then
    a record that repeats a qubit), gate lengths, run's options and a start
    for the counter."""
    n = rng.randint(2, 6)
    qubits = list(range(n))
    gates = random_gates(rng, qubits, rng.randint(0, 60 if pulses else 45), **SCHEDULABLE)
    if pulses and rng.random() < 0.3:  # names a created name could take
        gates += [(rng.choice(["x", "y"]), rng.randrange(n)) for _ in range(5)]
        gates += [("delay", 2e-8, (rng.randrange(n),))]
    if rng.random() < 0.1:  # refused: the failure must be the same
        gates.insert(rng.randint(0, len(gates)), ("ccx", 0, 1, 0))
    listed = qubits if rng.random() < 0.85 else rng.sample(qubits, n - 1) + [n + 3]
    qc = circuit(n + 4, gates, ncbits=3, qubits=listed)
    qc.params_value = {"t": 0.5}
    t1g = rng.choice([2e-8, 3e-8, 1.7e-8, 2.5e-8])
    t2g = rng.choice([4e-8, 6e-8, 1e-7, 1.7e-7, 2.3e-8, 1e-8])
    kw = dict(
        sequence=rng.choice(["XY4", "CPMG"]),
        align_right=rng.random() < 0.5,
        insert_before_barrier=rng.random() < 0.5,
    )
    return qc, kw, t1g, t2g, rng.choice(counts)


@pytest.mark.parametrize("seed", range(4))
def test_the_dag_tier_matches_the_reference_path(seed):
    rng = random.Random(zlib.crc32(f"dd{seed}".encode()))
    for case in range(60):
        args = random_case(rng, [86751, 86751, 0, 7, 10**20])
        dag_tier = decoupling_outcome(DynamicalDecoupling, *args)
        assert_paths_agree(dag_tier, decoupling_outcome(Reference, *args), (case, args[1]))


@pytest.mark.parametrize("seed", range(3))
def test_the_fast_path_matches_the_reference_path(seed):
    # nothing replaced: the result is made straight from the records
    rng = random.Random(zlib.crc32(f"fast{seed}".encode()))
    for case in range(80):
        args = random_case(rng, [86751, -1, 0, 3, 10**20], pulses=True)
        fast = decoupling_outcome(DynamicalDecoupling, *args, record=False)
        assert_paths_agree(fast, decoupling_outcome(Reference, *args, record=False), (case, args[1]))


def heavy_case(rng):
    """A circuit whose idle windows take long trains: most gates on two busy
    qubits, the others idle between sparse gates (some begin late), one-qubit
    gates far shorter than two-qubit ones; measures that share classical
    bits, barriers, delays, now and then gates named as the pulses are, and
    barriers or delays whose qubits stand in a list."""
    n = rng.randint(3, 9)
    busy = rng.sample(range(n), 2)
    gates = []
    for _ in range(rng.randint(10, 90)):
        r, q = rng.random(), rng.randrange(n)
        if r < 0.45:
            gates.append(rng.choice([("cz", *busy), ("rzz", 0.3, *busy), ("cx", *busy[::-1])]))
        elif r < 0.65:
            gates.append(rng.choice([("h", busy[0]), ("sx", busy[0]), ("rz", 0.2, busy[0]), ("x", busy[0]), ("y", q)]))
        elif r < 0.75:
            gates.append((rng.choice(["h", "t", "x"]), q))
        elif r < 0.83 and q not in busy:
            gates.append(("cz", q, rng.choice(busy)))
        elif r < 0.9:
            qs = rng.sample(range(n), rng.randint(1, 2))
            gates.append(("measure", qs, [rng.randrange(2) for _ in qs]))
        elif r < 0.95:
            qs = rng.sample(range(n), rng.randint(1, n))
            gates.append(("barrier", qs if rng.random() < 0.2 else tuple(qs)))
        else:
            gates.append(("delay", rng.choice([1e-8, 0.0, 3e-7]), [q] if rng.random() < 0.2 else (q,)))
    qc = circuit(n, gates, ncbits=2)
    qc.params_value = {}
    t1g = rng.choice([1e-9, 2.3e-9, 4e-9])
    t2g = rng.choice([6e-8, 1e-7, 1.3e-7])
    kw = dict(
        sequence=rng.choice(["XY4", "CPMG"]),
        align_right=rng.random() < 0.5,
        insert_before_barrier=rng.random() < 0.5,
    )
    return qc, kw, t1g, t2g, rng.choice([86751, 0, 40, 10**20])


@pytest.mark.parametrize("seed", range(3))
def test_long_trains_agree_on_every_path(seed):
    # the DAG tier and the fast path
    rng = random.Random(zlib.crc32(f"heavy{seed}".encode()))
    for case in range(12):
        args = heavy_case(rng)
        reference = decoupling_outcome(Reference, *args)
        assert_paths_agree(decoupling_outcome(DynamicalDecoupling, *args), reference, (case, args[1]))
        fast = decoupling_outcome(DynamicalDecoupling, *args, record=False)
        assert_paths_agree(fast, dict(reference, dags=[]), (case, args[1]))
        assert len(fast["result"][0]) > len(args[0].gates) or case % 4  # trains, most of the time


def test_result_records_share_only_what_cannot_change():
    # the result's lists are its own: changing one changes no other record
    gates = [("h", 0), ("measure", [0, 1], [0, 1]), ("cz", 0, 1), ("barrier", [0, 1]), ("h", 2), ("h", 2)]
    gates += [("cz", 1, 2), ("measure", [2], [1])]
    qc = circuit(None, gates)
    before = copy.deepcopy(qc.gates)
    for cls in (DynamicalDecoupling, Reference):
        out = cls(1e-9, 1e-7).run(qc, align_right=False).gates
        lists = [part for g in out if g[0] == "measure" for part in g[1:]]
        assert len(lists) == 6 and len({id(x) for x in lists}) == 6
        assert not {id(x) for x in lists} & {id(x) for g in qc.gates for x in g}
        expected = copy.deepcopy(out)
        for x in lists:
            x.append(7)
        assert qc.gates == before
        assert [g for g in out if g[0] != "measure"] == [g for g in expected if g[0] != "measure"]
        assert ("barrier", (0, 1)) in out and sum(g[0] in ("x", "y") for g in out) > 50


def test_numbers_of_other_types_and_customised_pieces_take_the_reference_path(monkeypatch):
    qc = circuit(None, [("x", 0), ("h", 1), ("h", 2), ("cz", 1, 2), ("cz", 0, 1)])
    base = DynamicalDecoupling(2e-8, 2e-7).run(qc, align_right=False).gates
    # numbers of other types keep their own arithmetic on the reference path
    out = DynamicalDecoupling(np.float64(2e-8), np.float64(2e-7)).run(qc, align_right=False).gates
    assert out == base
    out = DynamicalDecoupling(Fraction(1, 50_000_000), Fraction(1, 5_000_000)).run(qc, align_right=False).gates
    assert [g[0] for g in out] == [g[0] for g in base]
    # replaced names of the module are used
    seen = []
    monkeypatch.setattr(
        schedule, "qc2dag", lambda c, show_qubits=True: seen.append(show_qubits) or qc2dag(c, show_qubits)
    )
    DynamicalDecoupling(T1, T2).run(qc)
    assert seen == [False]

    class Counting(DynamicalDecoupling):
        def counter(self):
            return 10 * super().counter()

    names = []
    monkeypatch.setattr(schedule, "dag2qc", lambda d, a, b: names.extend(d) or dag2qc(d, a, b))
    Counting(2e-8, 2e-7).run(qc, align_right=False)
    assert "delay_867520_[0]" in names and "x_867530_[0]" in names
