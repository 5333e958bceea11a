"""The collections and rankings of vexal.circuit.layout give what the Layout
methods give (the per-qubit methods in process, and the whole chain with its
process pools through a subclass); shapes of dense sets; long enumerations
stop on a signal."""

import os
import random

import networkx as nx
import numpy as np
import pytest
from helpers import circuit, interrupt_after, quiet
from layout_chips import GraphBackend, eagle, graph_of, random_chip

from vexal.circuit import layout as layout_module
from vexal.circuit.layout import Layout

# the fast enumeration against the per-qubit methods, on chips and sizes
# that the reference path's process-pool growth could not finish: the
# reference switch stays off here
pytestmark = pytest.mark.usefixtures("fast_paths_only")

LONG = bool(os.environ.get("VEXAL_LONG_TESTS"))


class ReferenceLayout(Layout):
    """Overrides a method the collections use, so every call takes the
    reference path: the methods and the real process pools."""

    def _get_node_neighbours(self, node):
        return super()._get_node_neighbours(node)


def reference_sets(lay, n):
    return [s for q in lay.graph.nodes() for s in lay.get_one_node_subgraph(q, n)]


def same_records(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if w is None:
            assert g is None
            continue
        assert type(g[0]) is type(w[0]) and g[0] == w[0] and g[1] == w[1]
        # the very bits of numpy's mean and variance
        assert type(g[2]) is type(w[2]) is np.float64 and g[2].tobytes() == w[2].tobytes()
        assert g[3].tobytes() == w[3].tobytes()


def test_random_chips_against_the_per_qubit_methods():
    rng = random.Random(11)
    for _ in range(60 if LONG else 25):
        chip = random_chip(rng)
        lay = Layout(GraphBackend(chip))
        lay.fidelity_mean_threshold = rng.choice([0.9, 0.9, 0.8, 0.95])
        for n in range(0, 7):
            sets = lay.collect_all_subgraph_in_parallel(n)
            assert sets == reference_sets(lay, n), (list(chip.edges), n)
            if n == 1:
                continue  # sets without couplers: numpy warns, checked below
            same_records(lay.collect_all_subgraph_info_in_parallel(n), [lay.get_one_subgraph_info(s) for s in sets])


def test_heavy_hex_and_grid_sizes():
    for backend, top in [(eagle(3), 7 if LONG else 5), (layout_module.Backend.grid(5, 6, seed=2), 6 if LONG else 4)]:
        lay = Layout(backend)
        for n in range(2, top + 1):
            sets = lay.collect_all_subgraph_in_parallel(n)
            assert sets == reference_sets(lay, n)
            same_records(lay.collect_all_subgraph_info_in_parallel(n), [lay.get_one_subgraph_info(s) for s in sets])


def dense_chip(k, rng, p=1.0):
    """A complete chip of k qubits (or a dense random one), numbered from 0
    or spread out, qubits and couplers listed in shuffled order, with random
    fidelities."""
    g = nx.complete_graph(k) if p == 1.0 else nx.gnp_random_graph(k, p, seed=rng.randrange(10**6))
    labels = list(range(k)) if rng.random() < 0.5 else rng.sample(range(8 * k), k)
    nodes = list(g.nodes)
    rng.shuffle(nodes)
    edges = [(labels[u], labels[v], round(rng.uniform(0.88, 1.0), 4)) for u, v in g.edges]
    rng.shuffle(edges)
    return graph_of(edges, nodes=[labels[q] for q in nodes])


def test_dense_chips_against_the_per_qubit_methods():
    # the per-qubit methods grow every order of adding a set's qubits: these
    # are the sizes they afford
    rng = random.Random(17)
    for k in (9, 10, 11, 12):
        for p in (1.0, 0.75):
            lay = Layout(GraphBackend(dense_chip(k, rng, p)))
            lay.fidelity_mean_threshold = rng.choice([0.9, 0.0])
            for n in range(2, 5 if k == 12 else 6):
                sets = lay.collect_all_subgraph_in_parallel(n)
                assert sets == reference_sets(lay, n), (k, p, n)
                same_records(lay.collect_all_subgraph_info_in_parallel(n), [lay.get_one_subgraph_info(s) for s in sets])


def test_mean_and_variance_bits_on_dense_sets():
    # complete graphs give every coupler count from 1 to 45
    rng = random.Random(5)
    for k in range(2, 11):
        g = nx.complete_graph(k)
        for u, v in g.edges:
            g.edges[u, v]["fidelity"] = rng.uniform(0.9, 1.0)
        drop = rng.sample(list(g.edges), rng.randint(0, k * (k - 1) // 2 - (k - 1)))
        h = g.copy()
        h.remove_edges_from(e for e in drop if nx.is_connected(nx.restricted_view(h, [], [e])) and h.has_edge(*e))
        lay = Layout(GraphBackend(h if nx.is_connected(h) else g))
        lay.fidelity_mean_threshold = 0.0
        for n in {2, k} if k > 7 else {2, k // 2 + 1, k}:
            sets = lay.collect_all_subgraph_in_parallel(n)
            same_records(lay.collect_all_subgraph_info_in_parallel(n), [lay.get_one_subgraph_info(s) for s in sets])


def test_single_qubit_sets_warn_as_numpy_does():
    lay = Layout(GraphBackend(random_chip(random.Random(2))))
    with pytest.warns(RuntimeWarning):
        infos = lay.collect_all_subgraph_info_in_parallel(1)
    assert infos == [None] * lay.graph.number_of_nodes()


def chain_calls(lay, n):
    """What the rankings and the selection show, printed text included."""
    out = {}
    out["sets"] = lay.collect_all_subgraph_in_parallel(n)
    out["infos"] = lay.collect_all_subgraph_info_in_parallel(n)
    out["classes"] = lay.classify_all_subgraph_according_topology(n)
    for num in (0, 1, 3, -1):
        out["mean", num] = quiet(lay.sort_subgraph_according_mean_fidelity, n, num)
        out["var", num] = quiet(lay.sort_subgraph_according_var_fidelity, n, num=num)
    for topology in ("linear", "circular", "nonlinear"):
        out["topology", topology] = quiet(lay.select_subgraph_by_topology, n, topology)
    return out


def compare_chain(a, b):
    assert a.keys() == b.keys()
    for key in a:
        if key == "infos":
            same_records(a[key], b[key])
        else:
            assert repr(a[key]) == repr(b[key]), key


def circuit_of(n, groups=1):
    return circuit(n, [("cx", i, i + 1) for i in range(n - 1) if (i + 1) % max(1, n // groups)])


def selection(cls, backend, qc, **kw):
    lay = cls(backend)
    try:
        sub, text = quiet(lay.select_layout, qc, **kw)
    except ValueError as e:
        return ("error", str(e))
    return (sub.graph["normal_order"], sorted(sub.edges), text, sorted(lay.graph.nodes))


@pytest.mark.not_under_sanitizer
def test_the_methods_composed_with_process_pools():
    rng = random.Random(21)
    chips = [random_chip(rng) for _ in range(6 if LONG else 3)]
    for chip in chips:
        backend = GraphBackend(chip, priority_qubits=[])
        for n in range(2, 6 if LONG else 5):
            compare_chain(chain_calls(ReferenceLayout(backend), n), chain_calls(Layout(backend), n))
    backend = layout_module.Backend.grid(3, 4, seed=4)
    for n, groups, kw in [(3, 1, {}), (4, 2, {"skip_split_qc": False}), (5, 1, {"use_chip_priority": False})]:
        qc = circuit_of(n, groups)
        np.random.seed(n)
        want = selection(ReferenceLayout, backend, qc, **kw)
        np.random.seed(n)
        assert selection(Layout, backend, qc, **kw) == want


class InlinePool:
    """The methods' chain in process: a pool that maps here."""

    def __init__(self, processes=None):
        assert processes >= 1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def map(self, func, iterable):
        return list(map(func, iterable))


def test_rankings_with_every_key_tied(monkeypatch):
    # every coupler alike: means and variances all tie, so each ranking keeps
    # the candidate order, also in the first rows that are all it returns
    edges = [(r * 4 + c, r * 4 + c + 1) for r in range(3) for c in range(3)]
    edges += [(r * 4 + c, r * 4 + c + 4) for r in range(2) for c in range(4)]
    backend = GraphBackend(graph_of(edges))
    fast = {n: chain_calls(Layout(backend), n) for n in range(2, 6)}
    # a replaced Pool turns the fast path off: the methods' chain in process
    monkeypatch.setattr(layout_module, "Pool", InlinePool)
    for n in range(2, 6):
        compare_chain(chain_calls(ReferenceLayout(backend), n), fast[n])


def test_selection_on_complete_chips_with_every_coupler_alike(monkeypatch):
    # every candidate ties: the first set in candidate order is chosen
    for k, n in [(9, 5), (10, 4), (12, 4)]:
        backend = GraphBackend(graph_of(list(nx.complete_graph(k).edges)))
        qc = circuit_of(n)
        fast = selection(Layout, backend, qc)
        with monkeypatch.context() as m:
            m.setattr(layout_module, "Pool", InlinePool)
            assert selection(Layout, backend, qc) == fast


def test_selection_on_random_chips_matches_the_methods_in_process(monkeypatch):
    rng = random.Random(8)
    for _ in range(12 if LONG else 5):
        chip = random_chip(rng)
        nodes = list(chip.nodes)
        prio = [rng.sample(nodes, min(len(nodes), rng.randint(2, 4))) for _ in range(2)]
        backend = GraphBackend(chip, priority_qubits=prio)
        for n in range(1, min(7, len(nodes)) + 1):
            for kw in ({}, {"use_chip_priority": False}, {"skip_split_qc": False}):
                qc = circuit_of(n, rng.randint(1, 2))
                np.random.seed(n)
                fast = selection(Layout, backend, qc, **kw)
                with monkeypatch.context() as m:
                    m.setattr(layout_module, "Pool", InlinePool)
                    np.random.seed(n)
                    assert selection(Layout, backend, qc, **kw) == fast


# ---------------------------------------------------------------- shapes of dense sets

# a set of ten qubits with a cycle through all of them that the depth-first
# search from qubit 0 does not meet before the table over subsets decides
HIDDEN_RING = [
    (0, 2), (0, 3), (0, 6), (0, 8), (0, 9), (1, 3), (1, 4), (1, 6), (1, 7), (1, 8),
    (1, 9), (2, 3), (2, 5), (2, 7), (3, 7), (4, 9), (5, 7), (5, 8), (5, 9), (7, 9),
]  # fmt: skip


def shape_cases():
    """(graph, qubit sets) whose shapes take the cycle branch: dense random
    sets, complete bipartite ones (no cycle through all when unbalanced),
    qubits that are not ints, a self-loop."""
    rng = random.Random(4)
    cases = []
    for _ in range(12):
        k = rng.randint(4, 8)
        g = nx.gnp_random_graph(k, rng.choice([0.5, 0.7, 0.9]), seed=rng.randrange(10**6))
        cases.append((graph_of(list(g.edges), nodes=list(g.nodes)), [tuple(g.nodes)]))
    for a, b in [(2, 3), (3, 3), (3, 4), (4, 5), (5, 6)]:
        g = nx.complete_bipartite_graph(a, b)
        cases.append((graph_of(list(g.edges)), [tuple(g.nodes)]))
    cases.append((graph_of(HIDDEN_RING), [tuple(range(10))]))
    named = graph_of([("a", "b"), ("b", "c"), ("c", "a"), ("c", "d"), ("d", "b")], nodes=["d", "c", "b", "a"])
    cases.append((named, [("a", "b", "c", "d"), ("a", "b", "c"), ("b", "c", "d", "zz")]))
    looped = graph_of([(0, 1), (1, 2), (2, 0), (2, 3), (3, 3), (1, 1)])
    cases.append((looped, [(0, 1, 2, 3), (1, 2), (1,), (3, 2, 1)]))
    return cases


def test_cycle_through_every_qubit_decided_as_by_listing_the_cycles(monkeypatch):
    infos = []
    for graph, sets in shape_cases():
        lay = Layout(GraphBackend(graph))
        infos.append([lay.get_one_subgraph_info(s) for s in sets])
    listed = nx.simple_cycles
    monkeypatch.setattr(nx, "simple_cycles", lambda g: listed(g))  # not networkx's own: the cycles are listed
    for (graph, sets), fast in zip(shape_cases(), infos):
        lay = Layout(GraphBackend(graph))
        assert repr(fast) == repr([lay.get_one_subgraph_info(s) for s in sets])
    shapes = [i[0][1] for i in infos[12:18]]  # the bipartite sets and the hidden ring
    assert shapes == ["nonlinear", "circular", "nonlinear", "nonlinear", "nonlinear", "circular"]


def test_fast_shapes_of_dense_sets():
    for edges in [HIDDEN_RING, list(nx.complete_bipartite_graph(5, 6).edges), list(nx.complete_graph(11).edges)]:
        lay = Layout(GraphBackend(graph_of(edges)))
        n = lay.graph.number_of_nodes()
        (info,) = lay.collect_all_subgraph_info_in_parallel(n)
        same_records([info], [lay.get_one_subgraph_info(tuple(range(n)))])


def test_long_enumerations_and_cycle_searches_stop_on_a_signal():
    grid = Layout(layout_module.Backend.grid(10, 10, seed=1))
    with pytest.raises(KeyboardInterrupt), interrupt_after(0.3):
        grid.collect_all_subgraph_in_parallel(13)
    assert grid.collect_all_subgraph_in_parallel(3) == reference_sets(grid, 3)
    # 25 qubits on two sides of 12 and 13: no cycle through all, too many for the table
    lay = Layout(GraphBackend(graph_of(list(nx.complete_bipartite_graph(12, 13).edges))))
    with pytest.raises(KeyboardInterrupt), interrupt_after(0.3):
        lay.collect_all_subgraph_info_in_parallel(25)
    assert {i[1] for i in lay.collect_all_subgraph_info_in_parallel(3)} == {"linear"}
    big = Layout(GraphBackend(graph_of(list(nx.complete_graph(30).edges))))
    assert big.get_one_subgraph_info(tuple(range(30)))[1] == "circular"
