"""Tests of vexal.circuit.schedule (dynamical decoupling)."""

import copy
import gc
import math
import random
import zlib
from fractions import Fraction

import networkx as nx
import numpy as np
import pytest

from vexal.circuit import schedule
from vexal.circuit.dag import dag2qc, qc2dag
from vexal.circuit.keystage import TranspilerPass
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.schedule import DynamicalDecoupling

T1, T2 = 2e-8, 4e-8


def circuit(gates, qubits=None, nqubits=None, ncbits=None):
    qs = sorted({q for g in gates for q in wires(g)}) if qubits is None else qubits
    n = nqubits if nqubits is not None else (max(qs) + 1 if qs else 0)
    qc = QuantumCircuit(n, n if ncbits is None else ncbits)
    qc.qubits, qc.gates = list(qs), list(gates)
    return qc


def wires(g):
    name = g[0]
    if name in ("barrier", "measure"):
        return list(g[1])
    if name == "delay":
        return list(g[2])
    if name in ("cx", "cz", "cy", "swap", "iswap", "ccx", "ccz", "cswap"):
        return list(g[1:])
    if name in ("rxx", "ryy", "rzz", "cp"):
        return list(g[2:])
    return [g[-1]]


class Recorder:
    """Stands for dag2qc in the module: keeps the DAG that run hands it."""

    def __init__(self):
        self.dags = []

    def __call__(self, dag, nqubits=None, ncbits=None):
        self.dags.append(dag)
        return dag2qc(dag, nqubits, ncbits)


@pytest.fixture
def recorder(monkeypatch):
    r = Recorder()
    monkeypatch.setattr(schedule, "dag2qc", r)
    return r


def added(dag, original):
    """The nodes run added, in the order they entered the graph, with attributes."""
    return [(n, d) for n, d in dag.nodes(data=True) if n not in original]


def window(recorder, t1g, idle, **kw):
    """Qubit 0 idles exactly `idle` between x and cz (one layer of cz(1, 2)
    lasting t2g = idle); returns the nodes inserted there."""
    qc = circuit([("x", 0), ("h", 1), ("h", 2), ("cz", 1, 2), ("cz", 0, 1)])
    DynamicalDecoupling(t1g, idle).run(qc, align_right=False, **kw)
    dag = recorder.dags[-1]
    return added(dag, qc2dag(qc, False))


def pieces(nodes):
    return [(n.split("_")[0], d.get("duration")) for n, d in nodes]


# ---------------------------------------------------------------- the pass object


def test_module_and_class_frame():
    assert issubclass(DynamicalDecoupling, TranspilerPass)
    names = ["copy", "nx", "TranspilerPass", "qc2dag", "dag2qc", "Literal", "DynamicalDecoupling"]
    assert all(hasattr(schedule, n) for n in names)
    tables = [n for n in vars(schedule) if n.endswith("_gates_available")]
    assert sorted(tables) == sorted(
        ["one_qubit_gates_available", "two_qubit_gates_available"]
        + ["one_qubit_parameter_gates_available", "two_qubit_parameter_gates_available"]
    )
    run = DynamicalDecoupling.run
    assert run.__defaults__ == ("XY4", True, False)
    assert run.__annotations__["sequence"] == "Literal['XY4', 'CPMG']"
    assert run.__annotations__["align_right"] == "bool"
    dd = DynamicalDecoupling(t2g=6e-8, t1g=3e-8)
    assert (dd.t1g, dd.t2g, dd._count) == (3e-8, 6e-8, 86751)
    assert [dd.counter(), dd.counter(), dd._count] == [86752, 86753, 86753]
    exact = Fraction(1, 10**8)
    assert DynamicalDecoupling(exact, 1).t1g is exact  # kept as given


@pytest.mark.parametrize(
    "t1g, t2g, error, text",
    [
        (0, 1e-8, ValueError, "t1g must be a finite positive number of seconds, got 0"),
        (1e-8, -1e-8, ValueError, "t2g must be a finite positive number of seconds, got -1e-08"),
        (math.nan, 1e-8, ValueError, "got nan"),
        (1e-8, math.inf, ValueError, "got inf"),
        (10**400, 1e-8, ValueError, "t1g must be a finite positive"),
        ("2e-8", 1e-8, TypeError, "t1g must be a number of seconds, not str"),
        (1e-8, None, TypeError, "t2g must be a number of seconds, not NoneType"),
        (1j, 1e-8, TypeError, "not complex"),
    ],
)
def test_gate_lengths_are_refused_unless_positive_and_finite(t1g, t2g, error, text):
    with pytest.raises(error, match=text):
        DynamicalDecoupling(t1g, t2g)
    dd = DynamicalDecoupling(T1, T2)
    if error is ValueError:  # changed later: refused by run, the numbering untouched
        dd.t1g, dd.t2g = t1g, t2g
        with pytest.raises(error, match=text):
            dd.run(circuit([("h", 0)]))
        assert dd._count == 86751


def test_layer_time_and_idle_after_a_node():
    dd = DynamicalDecoupling(T1, T2)
    assert dd._get_max_idle_time(["h_0_[0]", "rzz_1_[1, 2]"]) == T2
    assert dd._get_max_idle_time(["u_0_[0]", "measure_1_[1]"]) == T1
    assert dd._get_max_idle_time(("barrier_0_[0, 1]", "delay_1_[2]", "ccx_3_[0, 1, 2]", "reset_4_[3]")) == 0
    assert dd._get_max_idle_time([]) == 0
    assert dd._update_idle_time("sx_9_[0]", T2) == T2 - T1
    assert dd._update_idle_time("rz_9_[0]", T1) == 0.0
    assert dd._update_idle_time("cz_9_[0, 1]", T2) == 0.0
    # a two-qubit parameter gate and everything else leave no idle time
    for node in ("cp_9_[0, 1]", "measure_2_[0]", "ccz_1_[0, 1, 2]", "q0"):
        assert dd._update_idle_time(node, T2) == 0 and type(dd._update_idle_time(node, T2)) is int


def test_methods_read_the_module_tables_at_call_time(monkeypatch):
    dd = DynamicalDecoupling(T1, T2)
    monkeypatch.setitem(schedule.two_qubit_gates_available, "mygate", "M")
    assert dd._get_max_idle_time(["mygate_0_[0, 1]"]) == T2
    assert dd._update_idle_time("mygate_0_[0, 1]", T2) == 0.0
    monkeypatch.setattr(schedule, "one_qubit_gates_available", {})
    assert dd._get_max_idle_time(["h_0_[0]"]) == 0
    # run follows the tables too: h no longer lasts t1g, so nothing waits
    qc = circuit([("h", 0), ("h", 0), ("h", 0), ("h", 0), ("h", 0), ("cz", 0, 1)])
    assert DynamicalDecoupling(T1, T2).run(qc).gates == qc.gates


# ---------------------------------------------------------------- run


def test_sequence_is_checked_first():
    dd = DynamicalDecoupling(T1, T2)
    for seq in ("xy4", "cpmg", 4, None):
        with pytest.raises(ValueError, match=f"^Sequence {seq} is not support now!$"):
            dd.run(None, sequence=seq)
    assert dd._count == 86751


def test_busy_circuit_gets_nothing_and_input_is_untouched():
    gates = [("cx", 0, 1), ("cx", 0, 1), ("h", 0), ("h", 1), ("measure", [0, 1], [1, 0])]
    qc = circuit(gates, ncbits=2)
    before = copy.deepcopy(qc.__dict__)
    out = DynamicalDecoupling(T1, T2).run(qc)
    assert out.gates == gates[:4] + [("measure", [0], [1]), ("measure", [1], [0])]
    assert qc.__dict__ == before and out.qubits is qc.qubits


def test_leading_delay_sums_the_layers_before_the_first_gate(recorder):
    qc = circuit([("cx", 0, 1)] * 3 + [("cx", 1, 2)])
    dd = DynamicalDecoupling(T1, 3e-8)
    out = dd.run(qc)
    waited = 0 + 3e-8 + 3e-8 + 3e-8  # the exact sum, off the grid
    assert added(recorder.dags[0], qc2dag(qc, False)) == [("delay_86752_[2]", {"qubits": [2], "duration": waited})]
    assert out.gates == qc.gates[:1] + [("delay", waited, (2,))] + qc.gates[1:]
    assert dd._count == 86752  # nothing after qubit 0's last gate
    # gates as soon as possible: qubit 2 now waits on the left only as long as its gate waits
    assert DynamicalDecoupling(T1, 3e-8).run(qc, align_right=False).gates == out.gates


def test_worked_example(recorder):
    nodes = window(recorder, 2e-8, 2e-7)
    assert [n for n, _ in nodes][:2] == ["delay_86752_[0]", "x_86753_[0]"]
    assert [int(n.split("_")[1]) for n, _ in nodes] == list(range(86752, 86769))
    assert pieces(nodes) == [("delay", 2.5e-9)] + [
        p for g in "XYXYYXYX" for p in (("x" if g == "X" else "y", None), ("delay", 5e-9))
    ][:-1] + [("delay", 2.5e-9)]
    assert all(d["qubits"] == [0] for _, d in nodes)
    dag = recorder.dags[0]
    assert not dag.has_edge("x_0_[0]", "cz_4_[0, 1]")
    assert dag.has_edge("x_0_[0]", "delay_86752_[0]") and dag.has_edge("delay_86768_[0]", "cz_4_[0, 1]")
    assert all(d == {"qubit": [0]} for *_, d in dag.edges(nodes[0][0], data=True))


@pytest.mark.parametrize(
    "idle, units",
    [
        (8.9e-8, 22),  # 22.5 steps: the half goes to the even count (the literal 1e-10 would give 23)
        (8.3e-8, 8),  # 7.5 steps
        (8.0019e-8, 0),  # below half a step: no gap nodes
    ],
)
def test_gaps_are_rounded_to_the_grid(recorder, idle, units):
    nodes = window(recorder, 2e-8, idle)
    gap = units * 0.1 * 1e-9
    if units == 0:
        assert pieces(nodes) == [("x", None), ("y", None), ("x", None), ("y", None)]
    else:
        assert [d for _, d in pieces(nodes)] == [gap / 2, None, gap, None, gap, None, gap, None, gap / 2]


def test_threshold_repetitions_and_sequences(recorder):
    # a window of exactly t1g x length: pulses alone, chained
    assert pieces(window(recorder, 2e-8, 8e-8)) == [(p, None) for p in "xyxy"]
    assert pieces(window(recorder, 2e-8, 4e-8, sequence="CPMG")) == [("x", None), ("x", None)]
    assert window(recorder, 2e-8, 7.9e-8) == []  # just short: nothing, the time is dropped
    # repetitions by Python's floor division: 4e-7 // 8e-8 is 4.0, not 5
    train = pieces(window(recorder, 2e-8, 4e-7))
    assert "".join(n for n, _ in train if n != "delay") == "xyxyyxyxxyxyyxyx"
    assert len(train) == 33 and train[0] == ("delay", 2.5e-9) and train[2] == ("delay", 5e-9)
    train = pieces(window(recorder, 2e-8, 1.7e-7, sequence="CPMG"))
    assert [n for n, _ in train if n != "delay"] == ["x"] * 8


def test_barriers_layers_without_duration_and_numbering(recorder):
    gates = [("barrier", (0, 1, 2))] + [("h", 2)] * 6 + [("cx", 0, 1)]
    qc = circuit(gates)
    dd = DynamicalDecoupling(T1, T2)
    dd.run(qc)
    # both wires of the cx waited 5 t1g since the barrier: a train each, the shared edge removed once
    dag = recorder.dags[-1]
    trains = [n for n, _ in added(dag, qc2dag(qc, False))]
    assert trains[0] == "delay_86752_[0]" and trains[-1] == "delay_86769_[1]" and len(trains) == 18
    assert not dag.has_edge("barrier_0_[0, 1, 2]", "cx_7_[0, 1]")
    assert list(dag.predecessors("cx_7_[0, 1]")) == ["delay_86760_[0]", "delay_86769_[1]"]
    assert list(dag.successors("barrier_0_[0, 1, 2]")) == ["h_1_[2]", "delay_86752_[0]", "delay_86761_[1]"]
    # the next run numbers on
    dd.run(qc)
    assert added(recorder.dags[-1], qc2dag(qc, False))[0][0] == "delay_86770_[0]"
    # windows that end at a barrier are dropped unless asked for
    flipped = circuit(gates[::-1])
    assert DynamicalDecoupling(T1, T2).run(flipped, align_right=False).gates == flipped.gates
    out = DynamicalDecoupling(T1, T2).run(flipped, align_right=False, insert_before_barrier=True)
    assert [g[0] for g in out.gates].count("x") == 4
    # measure, reset, delay and barrier layers last nothing for the others
    quiet = [("h", 0), ("h", 1), ("measure", [1], [0]), ("reset", 1), ("delay", 1e-6, (1,)), ("barrier", (1,))]
    quiet += [("cz", 0, 1)]
    assert DynamicalDecoupling(1e-8, T2).run(circuit(quiet), align_right=False).gates == quiet
    out = DynamicalDecoupling(T1, T2).run(circuit(quiet))  # h(0) moves late: it waited for h(1) only
    assert [g for g in out.gates if g not in quiet] == [("delay", T1, (0,))]


# ---------------------------------------------------------------- mended faults


def test_result_keeps_the_input_sizes_and_parameters():
    qc = circuit([("h", 1), ("rz", "theta", 1), ("measure", [1], [4])], qubits=[0, 1, 2, 3], nqubits=6, ncbits=5)
    qc.params_value = {"theta": 0.25}
    out = DynamicalDecoupling(T1, T2).run(qc)
    assert (out.nqubits, out.ncbits, out.params_value) == (6, 5, {"theta": 0.25})
    assert out.params_value is not qc.params_value and out.qubits is qc.qubits
    empty = circuit([], qubits=[0, 1], nqubits=3, ncbits=1)
    out = DynamicalDecoupling(T1, T2).run(empty)
    assert (out.gates, out.nqubits, out.ncbits, out.qubits) == ([], 3, 1, [0, 1])


def test_created_names_never_take_a_node_name(recorder):
    # numbers that conversion positions also take: the pass skips to free names
    gates = [("x", 0), ("h", 1), ("h", 2), ("cz", 1, 2), ("cz", 0, 1), ("x", 0), ("y", 0)]
    qc = circuit(gates)
    for cls in (DynamicalDecoupling, Plain):
        dd = cls(T1, 4 * T1)
        dd._count = 4
        out = dd.run(qc, align_right=False)
        dag = recorder.dags[-1]
        names = [n for n, _ in added(dag, qc2dag(qc, False))]
        assert names == ["x_6_[0]", "y_7_[0]", "x_8_[0]", "y_9_[0]"] and dd._count == 9
        assert dag.nodes["x_5_[0]"] == {"qubits": [0]} and dag.nodes["y_6_[0]"] == {"qubits": [0]}
        assert len(out.gates) == len(gates) + 4 and nx.is_directed_acyclic_graph(dag)

    class Stuck(DynamicalDecoupling):  # hands out one number for ever: refused, not looped on
        def counter(self):
            return 1

    with pytest.raises(RuntimeError, match="counter"):
        Stuck(T1, 1e-7).run(qc, align_right=False)


def test_failures_leave_the_numbering_and_input_alone():
    qc = circuit([("x", 0), ("h", 1), ("h", 2), ("cz", 1, 2), ("cz", 0, 1), ("h", 3)], qubits=[0, 1, 2], nqubits=4)
    for cls in (DynamicalDecoupling, Plain):
        dd = cls(T1, 1e-7)
        with pytest.raises(KeyError, match="^3$"):  # qubit 3 has no idle record
            dd.run(qc)
        assert dd._count == 86751
        with pytest.raises(ValueError, match=r"would insert more than 10000000 nodes.*\(use_dd=False\)\.$"):
            cls(1e-300, 1e-7).run(circuit(qc.gates[:5]))
    with pytest.raises(ValueError, match="wrong gate type bogus"):
        DynamicalDecoupling(T1, T2).run(circuit([("h", 0), ("bogus", 0)]))
    # the collector, kept out while the DAG lives, is as it was after any outcome
    for enabled in (True, False):
        (gc.enable if enabled else gc.disable)()
        try:
            for cls in (DynamicalDecoupling, Plain):
                cls(T1, 1e-7).run(circuit(qc.gates[:5]))
                assert gc.isenabled() is enabled
                with pytest.raises(KeyError):
                    cls(T1, 1e-7).run(qc)
                assert gc.isenabled() is enabled
        finally:
            gc.enable()
    with pytest.raises(ValueError):
        DynamicalDecoupling(T1, T2).run(circuit([("cx", 0, 0)], qubits=[0]))


# ---------------------------------------------------------------- native walk against the methods


class Plain(DynamicalDecoupling):
    """Overrides a method, so run walks through the methods."""

    def counter(self):
        return super().counter()


def random_gates(rng, qubits, n):
    out = []
    for _ in range(n):
        r = rng.random()
        a, b, c = rng.sample(qubits, 3) if len(qubits) > 2 else (qubits * 3)[:3]
        if r < 0.3:
            out.append(rng.choice([("cz", a, b), ("cx", a, b), ("rzz", 0.3, a, b), ("cp", "t", a, b)]))
        elif r < 0.8:
            out.append(rng.choice([("h", a), ("sx", a), ("u", 0.1, 0.2, 0.3, a), ("rz", 0.5, a), ("r", 1, 2, a)]))
        elif r < 0.86:
            out.append(("barrier", tuple(rng.sample(qubits, rng.randint(1, len(qubits))))))
        elif r < 0.9:
            out.append(("measure", [a], [rng.randrange(3)]))
        elif r < 0.93:
            out.append(("ccx", a, b, c))
        elif r < 0.96:
            out.append(("reset", a))
        else:
            out.append(("delay", 1e-7, (a,)))
    return out


def outcome(cls, qc, kw, t1g, t2g, count):
    rec = Recorder()
    real = schedule.dag2qc
    schedule.dag2qc = rec
    dd = cls(t1g, t2g)
    dd._count = count
    try:
        out = dd.run(qc, **kw)
        result = (out.gates, out.nqubits, out.ncbits, out.params_value, out.qubits is qc.qubits)
    except Exception as e:
        result = (type(e), str(e))
    finally:
        schedule.dag2qc = real
    dags = [
        (list(d.nodes(data=True)), [(n, list(d.succ[n].items()), list(d.pred[n].items())) for n in d]) for d in rec.dags
    ]
    return result, dags, dd._count


def random_case(rng, counts, pulses=False):
    """A small random circuit (some qubits maybe without record), gate
    lengths, run's options and a start for the counter."""
    n = rng.randint(2, 6)
    qubits = list(range(n))
    gates = random_gates(rng, qubits, rng.randint(0, 60 if pulses else 45))
    if pulses and rng.random() < 0.3:  # names a created name could take
        gates += [(rng.choice(["x", "y"]), rng.randrange(n)) for _ in range(5)]
        gates += [("delay", 2e-8, (rng.randrange(n),))]
    listed = qubits if rng.random() < 0.85 else rng.sample(qubits, n - 1) + [n + 3]
    qc = circuit(gates, qubits=listed, nqubits=n + 4, ncbits=3)
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
def test_native_walk_matches_the_methods(seed):
    rng = random.Random(zlib.crc32(f"dd{seed}".encode()))
    for case in range(60):
        args = random_case(rng, [86751, 86751, 0, 7, 10**20])
        native = outcome(DynamicalDecoupling, *args)
        assert native == outcome(Plain, *args), (case, args[1])


def result_of(cls, qc, kw, t1g, t2g, count):
    dd = cls(t1g, t2g)
    dd._count = count
    try:
        out = dd.run(qc, **kw)
        return (out.gates, out.nqubits, out.ncbits, out.params_value, out.qubits is qc.qubits), dd._count
    except Exception as e:
        return (type(e), str(e)), dd._count


@pytest.mark.parametrize("seed", range(3))
def test_run_without_the_dag_matches_the_methods(seed):
    # nothing replaced: the result is made straight from the records
    rng = random.Random(zlib.crc32(f"lean{seed}".encode()))
    for case in range(80):
        args = random_case(rng, [86751, -1, 0, 3, 10**20], pulses=True)
        lean = result_of(DynamicalDecoupling, *args)
        assert lean == result_of(Plain, *args), (case, args[1])


def test_plain_values_and_customised_pieces_take_the_methods(monkeypatch):
    qc = circuit([("x", 0), ("h", 1), ("h", 2), ("cz", 1, 2), ("cz", 0, 1)])
    base = DynamicalDecoupling(2e-8, 2e-7).run(qc, align_right=False).gates
    # numbers of other types keep their own arithmetic through the methods
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
