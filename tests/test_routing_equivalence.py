"""SabreRouting's fast path gives what its methods give: the same routed
circuit, printed table, state left on the pass and draws from `random`, on
random circuits and chips, released traversals, malformed input and
interruptions; where the fast path is not taken; the deferred dag and
query cache it leaves."""

import random
import types
import zlib

import networkx as nx
import numpy as np
import pytest
from helpers import (
    ROUTABLE,
    Raised,
    assert_paths_agree,
    check_routed,
    circuit,
    circuit_state,
    graph_state,
    outcome,
    random_gates,
    reference_subclass,
    routing_table,
    virtual_order,
)

from vexal.circuit import routing
from vexal.circuit.backend import Backend
from vexal.circuit.dag import qc2dag, split_qubits
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.routing import SabreRouting

# the fast path's own pieces (deferred attributes, snapshots) and its
# comparison with the methods: the reference switch stays off here
pytestmark = pytest.mark.usefixtures("fast_paths_only")

ReferenceSabreRouting = reference_subclass(SabreRouting, "_heuristic_score")


def routing_outcome(cls, graph, qc, seed, kw):
    """Everything a run of a `cls` pass on a copy of `graph` leaves (after
    random.seed(seed)): the result, the printed table, the draws, and the
    pass's state, the query cache keyed by node names."""
    made = []

    def run():
        made.append(cls(graph.copy(), **kw))
        return circuit_state(made[0].run(qc), qc)

    def state():
        if not made:
            return {}
        r = made[0]
        names = {id(n): n for n in r.dag.nodes} if hasattr(r, "dag") else {}
        return dict(
            v2p=list(getattr(r, "v2p", {}).items()),
            p2v=list(getattr(r, "p2v", {}).items()),
            decay=list(r.decay_parameter.items()),
            kinds=[(type(k), type(v)) for k, v in r.decay_parameter.items()],
            ext=r.extended_successor_set,
            cache=[(k[0], names.get(k[1]) if k[0] == r.dag_id else None, k[2], v) for k, v in r._cache.items()],
            dag=graph_state(r.dag) if hasattr(r, "dag") else None,
            dag_id=getattr(r, "dag_id", None),
            emitting=getattr(r, "do_map_node_to_gate", None),
            attributes=list(vars(r)),
        )

    got = outcome(run, state, seed=seed)
    if isinstance(got["result"], Raised):  # the subclass names itself in its messages
        _, kind, message = got["result"]
        got["result"] = Raised(kind, message.replace(cls.__name__, "SabreRouting"))
    return got


def heavy_hex_subgraph(rng, n):
    g = Backend.heavy_hex(1, 2).edge_filtered_graph(0.6)
    start = rng.choice(sorted(g.nodes))
    nodes = [start] + [v for _, v in nx.bfs_edges(g, start)]
    return nx.Graph(g.subgraph(nodes[:n]))


def differential_graph(rng, kind):
    n = rng.randint(4, 9)
    if kind == "line":
        return nx.path_graph(n)
    if kind == "ring":
        return nx.cycle_graph(n)
    if kind == "grid":
        return nx.convert_node_labels_to_integers(nx.grid_2d_graph(2, n // 2))
    if kind == "heavy-hex":
        return heavy_hex_subgraph(rng, n)
    g = nx.path_graph(n)  # spare qubits, and a second component
    g.add_nodes_from([n, n + 1])
    g.add_edge(n + 2, n + 3)
    return g


def varied_circuit(rng, qubits, ngates):
    """Random gates of every record kind the router converts, some as lists."""
    gates = random_gates(rng, qubits, ngates, **ROUTABLE)
    for _ in range(rng.randint(0, 4)):
        q = rng.choice(qubits)
        a, b = rng.sample(qubits, 2)
        extra = rng.choice(
            [
                ("r", 0.5, 0.25, q),
                ("u3", 0.1, 0.2, 0.3, q),
                ("p", 0.7, q),
                ("cp", 0.4, a, b),
                ("reset", q),
                ("delay", 1e-6, (a, b)),
                ("measure", [a, b], [0, 1]),
                ("barrier", (q,)),
                ["cx", a, b],
                ["h", q],
            ]
        )
        gates.insert(rng.randint(0, len(gates)), extra)
    if rng.random() < 0.15:  # refused when emitted: the state at the failure must agree too
        gates.insert(rng.randint(0, len(gates)), ("ccx", *rng.sample(qubits, 3)))
    return gates


# ---------------------------------------------------------------- random circuits and chips


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # 0 * inf in the methods' scores
@pytest.mark.parametrize("kind", ["line", "ring", "grid", "heavy-hex", "spare"])
def test_fast_path_matches_the_methods(kind):
    rng = random.Random(zlib.crc32(kind.encode()))
    errors = 0
    for case in range(24):
        graph = differential_graph(rng, kind)
        nodes = list(graph.nodes)
        active = nodes if kind != "spare" or case % 3 == 0 else nodes[:-4]
        count = rng.randint(0, 30)
        gates = varied_circuit(rng, active, count) if case % 2 else random_gates(rng, active, count, **ROUTABLE)
        gates += [("measure", [q], [q]) for q in rng.sample(active, 2)]
        qc = circuit(None, gates, qubits=sorted(nodes))
        mapping = ["trivial", "random", None][case % 3]
        if mapping is None:
            mapping = rng.sample(nodes, len(nodes))
        kw = dict(
            initial_mapping=mapping,
            do_random_choice=rng.random() < 0.6,
            iterations=case % 4 + 1,
            heuristic=["basic", "lookahead", "basic_decay", "lookahead_decay"][(case // 4) % 4],
            max_extended_set_weight=rng.choice([0.5, 0.5, 0.0, 2.0]),
        )
        fast = routing_outcome(SabreRouting, graph, qc, case, kw)
        assert_paths_agree(fast, routing_outcome(ReferenceSabreRouting, graph, qc, case, kw), (kind, case, kw))
        errors += isinstance(fast["result"], Raised)
    if kind == "spare":
        assert errors  # gates across the components cannot be routed


@pytest.mark.parametrize("heuristic", ["lookahead_decay", "lookahead", "basic_decay"])
def test_fast_path_matches_the_methods_on_larger_chips(heuristic):
    # long runs of SWAPs over one front layer, where the engine reuses its scores
    rng = random.Random(zlib.crc32(heuristic.encode()))
    for case in range(3):
        side = rng.randint(4, 5)
        graph = nx.convert_node_labels_to_integers(nx.grid_2d_graph(side, side + case % 2))
        nodes = list(graph.nodes)
        qc = circuit(None, varied_circuit(rng, nodes, rng.randint(120, 250)), qubits=nodes)
        kw = dict(initial_mapping="random", do_random_choice=case != 1, iterations=3, heuristic=heuristic)
        fast = routing_outcome(SabreRouting, graph, qc, case, kw)
        assert_paths_agree(fast, routing_outcome(ReferenceSabreRouting, graph, qc, case, kw), case)


@pytest.mark.not_under_sanitizer
def test_fast_path_matches_the_methods_over_long_swap_runs():
    # a long line: thousands of SWAPs, decay factors climbing far between resets
    rng = random.Random(11)
    graph = nx.path_graph(30)
    nodes = list(graph.nodes)
    for case, heuristic in enumerate(["lookahead_decay", "basic_decay"]):
        qc = circuit(None, varied_circuit(rng, nodes, 300), qubits=nodes)
        kw = dict(initial_mapping="random", do_random_choice=True, iterations=3, heuristic=heuristic)
        fast = routing_outcome(SabreRouting, graph, qc, case, kw)
        assert_paths_agree(fast, routing_outcome(ReferenceSabreRouting, graph, qc, case, kw), case)


def test_malformed_circuits_fail_or_route_alike():
    # odd records and sizes: the fast path must fail (or not) exactly as the methods do
    weird = [0, 1, 2, 3, -1, 4, 99, True, np.int64(2), 2.0, "1", None, (1,), [2], 10**30]
    names = [
        "cx",
        "h",
        "rz",
        "u",
        "measure",
        "barrier",
        "delay",
        "reset",
        "ccx",
        "swap",
        "bogus",
        "cx_1",
        "",
        "u3",
        "rzz",
        5,
    ]
    rng = random.Random(3)
    graph = nx.path_graph(4)
    for case in range(400):
        gates = []
        for _ in range(rng.randint(0, 6)):
            if rng.random() < 0.5:
                a, b = rng.sample(range(4), 2)
                gates.append(rng.choice([("cx", a, b), ("h", a), ("rz", 0.3, b), ("measure", [a], [b])]))
            else:
                rec = [rng.choice(names)] + [rng.choice(weird) for _ in range(rng.randint(0, 4))]
                gates.append(tuple(rec) if rng.random() < 0.8 else rec)
        qc = circuit(
            rng.choice([4, 4, 3, 5]), gates, qubits=rng.choice([[0, 1, 2, 3], [0, 1, 2], [3, 2, 1, 0], [0, 1, 2, 3, 4]])
        )
        kw = dict(iterations=3)
        fast = routing_outcome(SabreRouting, graph, qc, case, kw)
        assert_paths_agree(fast, routing_outcome(ReferenceSabreRouting, graph, qc, case, kw), (case, gates))


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # 0 * inf in the methods' scores
def test_nan_scores_are_reported():
    # a zero weight times an unreachable lookahead gate makes every score NaN
    g = nx.Graph([(0, 1), (1, 2), (3, 4)])
    qc = circuit(None, [("cx", 0, 2), ("cx", 2, 3)], qubits=[0, 1, 2, 3, 4])
    order = [q for grp in split_qubits(qc) for q in grp]
    for cls in (SabreRouting, ReferenceSabreRouting):
        r = cls(g, initial_mapping=order, iterations=1, heuristic="lookahead", max_extended_set_weight=0.0)
        with pytest.raises(ValueError, match="cannot be compared: the least one is not a number"):
            r.run(qc)


# ---------------------------------------------------------------- released traversals

# On a line of 14 qubits with the lookahead heuristic alone, the first
# traversal of this circuit reaches a front layer where the best SWAP and its
# undoing tie forever.
STUCK_ON_A_LINE = [
    ("cx", 0, 5),
    ("cx", 10, 1),
    ("cx", 3, 12),
    ("cx", 11, 4),
    ("cx", 2, 7),
    ("cx", 5, 3),
    ("cx", 5, 7),
    ("cx", 10, 3),
    ("cx", 3, 4),
    ("cx", 7, 11),
    ("cx", 2, 8),
    ("cx", 6, 5),
    ("cx", 10, 9),
    ("cx", 10, 3),
    ("cx", 2, 4),
]


# More circuits whose first traversal sticks on a line of n qubits with the
# lookahead heuristic alone.
MORE_STUCK = [
    (
        10,
        "0-8 5-9 7-1 1-0 0-5 7-9 8-5 4-0 0-7 2-7 5-2 1-6 9-7 7-3 9-4 5-0 8-9 8-4 1-2 6-0",
    ),
    (
        14,
        "13-4 6-13 9-2 1-10 1-12 12-11 5-11 1-3 5-4 2-5 5-7 4-2 0-12 1-5 10-4 2-5 4-1 5-12 9-7 8-10 10-5 11-1",
    ),
]


def stuck_circuit(n, pairs):
    return circuit(None, [("cx", *map(int, p.split("-"))) for p in pairs.split()], qubits=list(range(n)))


class Counting(ReferenceSabreRouting):
    """Counts the SWAPs chosen by their score (a release's SWAPs are not)."""

    scored = 0

    def _update_decay_parameter(self, min_score_swap_gate_info):
        type(self).scored += 1
        return super()._update_decay_parameter(min_score_swap_gate_info)


@pytest.mark.parametrize("iterations", [1, 2, 3])
def test_a_stuck_traversal_is_released_alike_in_both_runs(iterations, capsys):
    qc = circuit(None, STUCK_ON_A_LINE, qubits=list(range(14)))
    kw = dict(heuristic="lookahead", iterations=iterations)
    fast = routing_outcome(SabreRouting, nx.path_graph(14), qc, 0, kw)
    assert_paths_agree(fast, routing_outcome(ReferenceSabreRouting, nx.path_graph(14), qc, 0, kw))
    assert not isinstance(fast["result"], Raised)
    Counting.scored = 0
    r = Counting(nx.path_graph(14), **kw)
    out = r.run(qc)
    printed = capsys.readouterr().out
    if iterations == 1:  # more SWAPs than were chosen by score: a release brought a gate together
        assert sum(rec[0] == "swap" for rec in out.gates) > Counting.scored
    check_routed(qc, out, r, routing_table(printed)[1], printed, unitary=True)


@pytest.mark.parametrize("heuristic", ["basic", "lookahead", "basic_decay", "lookahead_decay"])
def test_released_runs_match_the_methods(heuristic):
    rng = random.Random(heuristic)
    circuits = [(14, circuit(None, STUCK_ON_A_LINE, qubits=list(range(14))))]
    circuits += [(n, stuck_circuit(n, pairs)) for n, pairs in MORE_STUCK]
    for case in range(9):
        n, qc = circuits[case % 3]
        looped = nx.Graph((p, p) for p in range(n))  # self-loops first in every adjacency list
        nx.add_path(looped, range(n))
        graph = looped if case % 2 else nx.path_graph(n)
        kw = dict(
            initial_mapping=["trivial", "random", virtual_order(qc)][case // 3],
            do_random_choice=rng.random() < 0.5,
            iterations=case % 4 + 1,
            heuristic=heuristic,
        )
        fast = routing_outcome(SabreRouting, graph, qc, case, kw)
        assert_paths_agree(fast, routing_outcome(ReferenceSabreRouting, graph, qc, case, kw), (case, kw))
        assert not any(rec[0] == "swap" and rec[1] == rec[2] for rec in fast["result"][0])


# ---------------------------------------------------------------- interruptions


def test_an_interruption_leaves_the_state_the_methods_leave(monkeypatch):
    # a KeyboardInterrupt out of the k-th random tie-break stops both runs at the same point
    state = {}

    def choice(seq):
        state["left"] -= 1
        if state["left"] < 0:
            raise KeyboardInterrupt
        return random.choice(seq)

    monkeypatch.setattr(routing, "random", types.SimpleNamespace(choice=choice, sample=random.sample))
    rng = random.Random(9)
    for case in range(12):
        graph = [nx.cycle_graph(8), nx.convert_node_labels_to_integers(nx.grid_2d_graph(2, 4))][case % 2]
        qc = circuit(None, random_gates(rng, list(range(8)), 40, **ROUTABLE), qubits=list(range(8)))
        kw = dict(initial_mapping="random", do_random_choice=True, iterations=3, heuristic="lookahead_decay")
        runs = []
        for cls in (SabreRouting, ReferenceSabreRouting):
            state["left"] = case * 3
            runs.append(routing_outcome(cls, graph, qc, case, kw))
        assert_paths_agree(*runs, case)


# ---------------------------------------------------------------- where the fast path is not taken, and what it leaves


def test_fast_path_is_taken_only_for_the_package_own_pieces(monkeypatch, capsys):
    qc = circuit(None, [("cx", 0, 3), ("cx", 1, 2), ("cx", 0, 2)])
    calls = []

    class Counting(SabreRouting):
        pass

    # an instance attribute shadowing a method is honoured
    r = Counting(nx.path_graph(4))
    r._heuristic_score_lookahead_decay = lambda s, f: (
        calls.append(s) or SabreRouting._heuristic_score_lookahead_decay(r, s, f)
    )
    r.run(qc)
    assert calls
    # so is a replaced module-level helper
    calls.clear()
    orig = routing.update_v2p_and_p2v_mapping
    monkeypatch.setattr(routing, "update_v2p_and_p2v_mapping", lambda v, s: calls.append(s) or orig(v, s))
    SabreRouting(nx.path_graph(4)).run(qc)
    assert calls
    capsys.readouterr()


def test_dag_and_cache_are_built_when_read(capsys):
    import copy

    qc = circuit(None, [("cx", 0, 3), ("h", 1), ("cx", 1, 2), ("measure", [0, 2], [0, 1]), ("cx", 0, 2)])
    expected = qc2dag(qc, show_qubits=False)
    r = SabreRouting(nx.path_graph(4))
    with pytest.raises(AttributeError, match="'SabreRouting' object has no attribute 'dag'"):
        r.dag
    cache = r._cache
    r.run(qc)
    # until they are read, vars() shows placeholders
    assert "built when the attribute is read" in repr(vars(r)["dag"])
    assert "built when the attribute is read" in repr(vars(r)["_cache"])
    qc.gates[3][1].append(3)  # later changes to the circuit do not reach the pass
    qc.gates.append(("x", 0))
    twin = copy.deepcopy(r)
    assert type(r.dag) is nx.DiGraph and r.dag is r.dag
    assert graph_state(r.dag) == graph_state(twin.dag) == graph_state(expected)
    assert r._cache is cache and len(cache) > 0
    # every key of the current DAG names one of its node objects
    ids = {id(n) for n in r.dag}
    assert all(k[1] in ids for k in cache if k[0] == r.dag_id)
    assert set(r.extended_successor_set) <= set(r.dag) | {n for k, v in cache.items() for n in v}
    # a second run starts from an empty cache, the same object
    r.run(circuit(None, [("cx", 0, 1)], qubits=[0, 1, 2, 3]))
    assert r._cache is cache and all(len(k) == 3 for k in cache)
    del r.dag
    with pytest.raises(AttributeError):
        r.dag
    r.dag = "mine"
    assert r.dag == "mine" and vars(r)["dag"] == "mine"
    capsys.readouterr()


def test_circuit_copies_and_replaced_converters_are_honoured(monkeypatch, capsys):
    gates = [("cx", 0, 2), ("rzz", 0.5, 1, 3), ("cx", 3, 0)]
    copies = []

    class Copying(QuantumCircuit):
        def deepcopy(self):
            copies.append(self)
            return super().deepcopy()

    qc = Copying(4, 4)
    qc.qubits, qc.gates = [0, 1, 2, 3], list(gates)
    out = SabreRouting(nx.path_graph(4)).run(qc)
    assert copies == [qc]
    assert out.gates == SabreRouting(nx.path_graph(4)).run(circuit(None, gates)).gates
    seen = []
    real = routing.qc2dag
    monkeypatch.setattr(routing, "qc2dag", lambda c, show_qubits=True: seen.append(c) or real(c, show_qubits))
    assert SabreRouting(nx.path_graph(4)).run(circuit(None, gates)).gates == out.gates
    assert len(seen) == 2
    capsys.readouterr()
