"""DynamicalDecoupling: the pass object, run on worked examples, the sizes,
names and failures it keeps, and on circuits routed to a chip: the gates
kept, the trains identities, the timing held, the unitary unchanged."""

import copy
import gc
import math
import random
from fractions import Fraction

import networkx as nx
import numpy as np
import oracle
import pytest
from helpers import CORPUS, DagRecorder, circuit, random_gates, read_program, reference_subclass, wires

from vexal.circuit import schedule
from vexal.circuit.backend import Backend
from vexal.circuit.dag import qc2dag
from vexal.circuit.decompose import ThreeQubitGateDecompose
from vexal.circuit.gatework import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)
from vexal.circuit.keystage import TranspilerPass
from vexal.circuit.routing import SabreRouting
from vexal.circuit.schedule import DynamicalDecoupling
from vexal.circuit.translate import TranslateToBasisGates

T1, T2 = 2e-8, 4e-8
GRID = 0.1 * 1e-9
ONE = set(one_qubit_gates_available) | set(one_qubit_parameter_gates_available)
TWO = set(two_qubit_gates_available) | set(two_qubit_parameter_gates_available)
INSERTED = ("x", "y", "delay")
Reference = reference_subclass(DynamicalDecoupling, "counter")


@pytest.fixture
def recorder(monkeypatch):
    r = DagRecorder()
    monkeypatch.setattr(schedule, "dag2qc", r)
    return r


def added(dag, original):
    """The nodes run added, in the order they entered the graph, with attributes."""
    return [(n, d) for n, d in dag.nodes(data=True) if n not in original]


def window(recorder, t1g, idle, **kw):
    """Qubit 0 idles exactly `idle` between x and cz (one layer of cz(1, 2)
    lasting t2g = idle); returns the nodes inserted there."""
    qc = circuit(None, [("x", 0), ("h", 1), ("h", 2), ("cz", 1, 2), ("cz", 0, 1)])
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
            dd.run(circuit(None, [("h", 0)]))
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
    qc = circuit(None, [("h", 0), ("h", 0), ("h", 0), ("h", 0), ("h", 0), ("cz", 0, 1)])
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
    qc = circuit(None, gates, ncbits=2)
    before = copy.deepcopy(qc.__dict__)
    out = DynamicalDecoupling(T1, T2).run(qc)
    assert out.gates == gates[:4] + [("measure", [0], [1]), ("measure", [1], [0])]
    assert qc.__dict__ == before and out.qubits is qc.qubits


def test_leading_delay_sums_the_layers_before_the_first_gate(recorder):
    qc = circuit(None, [("cx", 0, 1)] * 3 + [("cx", 1, 2)])
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
    qc = circuit(None, gates)
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
    flipped = circuit(None, gates[::-1])
    assert DynamicalDecoupling(T1, T2).run(flipped, align_right=False).gates == flipped.gates
    out = DynamicalDecoupling(T1, T2).run(flipped, align_right=False, insert_before_barrier=True)
    assert [g[0] for g in out.gates].count("x") == 4
    # measure, reset, delay and barrier layers last nothing for the others
    quiet = [("h", 0), ("h", 1), ("measure", [1], [0]), ("reset", 1), ("delay", 1e-6, (1,)), ("barrier", (1,))]
    quiet += [("cz", 0, 1)]
    assert DynamicalDecoupling(1e-8, T2).run(circuit(None, quiet), align_right=False).gates == quiet
    out = DynamicalDecoupling(T1, T2).run(circuit(None, quiet))  # h(0) moves late: it waited for h(1) only
    assert [g for g in out.gates if g not in quiet] == [("delay", T1, (0,))]


# ---------------------------------------------------------------- sizes, names and failures kept


def test_result_keeps_the_input_sizes_and_parameters():
    qc = circuit(6, [("h", 1), ("rz", "theta", 1), ("measure", [1], [4])], ncbits=5, qubits=[0, 1, 2, 3])
    qc.params_value = {"theta": 0.25}
    out = DynamicalDecoupling(T1, T2).run(qc)
    assert (out.nqubits, out.ncbits, out.params_value) == (6, 5, {"theta": 0.25})
    assert out.params_value is not qc.params_value and out.qubits is qc.qubits
    empty = circuit(3, [], ncbits=1, qubits=[0, 1])
    out = DynamicalDecoupling(T1, T2).run(empty)
    assert (out.gates, out.nqubits, out.ncbits, out.qubits) == ([], 3, 1, [0, 1])


def test_created_names_never_take_a_node_name(recorder):
    # numbers that conversion positions also take: the pass skips to free names
    gates = [("x", 0), ("h", 1), ("h", 2), ("cz", 1, 2), ("cz", 0, 1), ("x", 0), ("y", 0)]
    qc = circuit(None, gates)
    for cls in (DynamicalDecoupling, Reference):
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
    qc = circuit(4, [("x", 0), ("h", 1), ("h", 2), ("cz", 1, 2), ("cz", 0, 1), ("h", 3)], qubits=[0, 1, 2])
    for cls in (DynamicalDecoupling, Reference):
        dd = cls(T1, 1e-7)
        with pytest.raises(KeyError, match="^3$"):  # qubit 3 has no idle record
            dd.run(qc)
        assert dd._count == 86751
        with pytest.raises(ValueError, match=r"would insert more than 10000000 nodes.*\(use_dd=False\)\.$"):
            cls(1e-300, 1e-7).run(circuit(None, qc.gates[:5]))
    with pytest.raises(ValueError, match="wrong gate type bogus"):
        DynamicalDecoupling(T1, T2).run(circuit(None, [("h", 0), ("bogus", 0)]))
    # the collector, kept out while the DAG lives, is as it was after any outcome
    for enabled in (True, False):
        (gc.enable if enabled else gc.disable)()
        try:
            for cls in (DynamicalDecoupling, Reference):
                cls(T1, 1e-7).run(circuit(None, qc.gates[:5]))
                assert gc.isenabled() is enabled
                with pytest.raises(KeyError):
                    cls(T1, 1e-7).run(qc)
                assert gc.isenabled() is enabled
        finally:
            gc.enable()
    with pytest.raises(ValueError):
        DynamicalDecoupling(T1, T2).run(circuit(None, [("cx", 0, 0)], qubits=[0]))


# ---------------------------------------------------------------- routed to a chip


def chip(n):
    """A connected heavy-hex piece of n qubits, numbered 0..n-1."""
    g = Backend.heavy_hex(2, 2).edge_filtered_graph(0.0)
    start = min(g.nodes)
    nodes = [start] + [v for _, v in nx.bfs_edges(g, start)]
    return nx.convert_node_labels_to_integers(nx.Graph(g.subgraph(nodes[:n])))


def road(qc, capsys):
    """The passes before decoupling: decomposition, routing, translation to cz and u."""
    graph = chip(len(qc.qubits))
    qc = ThreeQubitGateDecompose().run(qc)
    qc = SabreRouting(graph, iterations=2).run(qc)
    qc = TranslateToBasisGates(True, "cz").run(qc)
    capsys.readouterr()
    assert not any(g[0] in INSERTED for g in qc.gates)
    return qc


def random_circuit(rng, n, size):
    gates = random_gates(rng, n, size, mix=((0.4, ("cx", "cp")), (0.6, ("h", "rz", "t"))), angles=None, mirror=0)
    return circuit(n, gates + [("barrier", tuple(range(n)))] + [("measure", [q], [q]) for q in range(n)])


def duration(qc, t1g, t2g, align_right):
    """How long the circuit lasts layer by layer, as the pass counts its layers."""
    dag = qc2dag(qc, False)
    total = 0.0
    for layer in nx.topological_generations(dag.reverse() if align_right else dag):
        names = {n.split("_")[0] for n in layer}
        total += t2g if names & TWO else t1g if names & ONE else 0
    return total


def check_decoupled(qc, out, t1g, t2g, sequence, align_right):
    per_wire = lambda gates: {q: [g for g in gates if q in wires(g)] for q in qc.qubits}
    before, after = per_wire(qc.gates), per_wire(out.gates)
    total = duration(qc, t1g, t2g, align_right)
    for q in qc.qubits:
        # without the inserted gates each wire runs as before
        assert [g for g in after[q] if g[0] not in INSERTED] == [
            g if g[0] != "measure" else ("measure", [q], [g[2][g[1].index(q)]]) for g in before[q]
        ]
        # the pulses between two gates of the wire multiply to the identity
        trains, current = [], []
        for g in after[q] + [("end",)]:
            if g[0] in ("x", "y"):
                current.append(g[0])
            elif g[0] != "delay":
                trains.append(current)
                current = []
        for t in trains:
            m = np.eye(2, dtype=complex)
            for p in t:
                m = oracle.FIXED[p] @ m
            assert oracle.equal_up_to_phase(m, np.eye(2)), t
            assert len(t) % (4 if sequence == "XY4" else 2) == 0
        # busy plus inserted time fits the circuit, up to half a grid step per gap
        busy = sum(t1g if g[0] in ONE else t2g if g[0] in TWO else 0 for g in before[q])
        pulses = sum(g[0] in ("x", "y") for g in after[q])
        inserted = sum(g[1] for g in after[q] if g[0] == "delay") + pulses * t1g
        assert busy + inserted <= total + 0.5 * pulses * GRID + 1e-18, q


def check_unitary(qc, out):
    used = sorted({q for g in qc.gates for q in wires(g)})
    ren = {q: i for i, q in enumerate(used)}
    a = [g for g in qc.gates if g[0] not in ("measure", "barrier")]
    b = [g for g in out.gates if g[0] not in ("measure", "barrier")]
    a, b = oracle.permute_qubits(a, ren), oracle.permute_qubits(b, ren)
    if len(used) <= 5:
        oracle.assert_equivalent(a, b, len(used))
    else:
        oracle.assert_equivalent_states(a, b, len(used))


@pytest.mark.parametrize("sequence", ["XY4", "CPMG"])
def test_random_routed_circuits(sequence, capsys):
    rng = random.Random(sequence)
    for case in range(6):
        n = rng.randint(3, 7)
        qc = road(random_circuit(rng, n, rng.randint(10, 60)), capsys)
        t1g, t2g = rng.choice([(2e-8, 4e-8), (3e-8, 3.4e-7), (1.7e-8, 2.3e-8)])
        align_right = case % 2 == 0
        out = DynamicalDecoupling(t1g, t2g).run(qc, sequence=sequence, align_right=align_right)
        assert any(g[0] == "x" for g in out.gates)
        check_decoupled(qc, out, t1g, t2g, sequence, align_right)
        check_unitary(qc, out)


@pytest.mark.parametrize(
    "name",
    [
        "small__adder_n10__adder_n10.qasm",
        "small__qaoa_n6__qaoa_n6.qasm",
        "small__hhl_n7__hhl_n7.qasm",
        "small__ising_n10__ising_n10.qasm",
        "small__error_correctiond3_n5__error_correctiond3_n5.qasm",
        "small__bb84_n8__bb84_n8.qasm",
        "medium__bv_n19__bv_n19.qasm",
    ],
)
def test_corpus_circuits_on_a_chip(name, capsys):
    qc = read_program(CORPUS / "supported" / name)
    capsys.readouterr()
    routed = road(qc, capsys)
    for sequence, align_right in (("XY4", True), ("CPMG", False)):
        out = DynamicalDecoupling(3e-8, 6e-8).run(routed, sequence=sequence, align_right=align_right)
        check_decoupled(routed, out, 3e-8, 6e-8, sequence, align_right)
        if len(routed.qubits) <= 10:
            check_unitary(routed, out)
