"""SabreRouting: construction, the queries, scores and single traversal it
is built from, run, and the properties of routed circuits."""

import random
import zlib
from collections import OrderedDict

import networkx as nx
import oracle
import pytest
from helpers import ROUTABLE, check_routed, circuit, random_gates, routing_table

from vexal.circuit.dag import qc2dag, split_qubits
from vexal.circuit.routing import SabreRouting, extract_qubits, update_v2p_and_p2v_mapping

CONFLICT = "A conflict occurred during the Sabre algorithm computation. Please contact the developer for assistance."


def chain(n, start=0):
    return nx.path_graph(range(start, start + n))


def prepared(graph, qc=None, v2p=None, **kw):
    """A pass object with the state that run sets up, on the forward DAG."""
    r = SabreRouting(graph, **kw)
    if v2p is not None:
        r.v2p = dict(v2p)
        r.p2v = {p: v for v, p in v2p.items()}
    if qc is not None:
        r.dag = qc2dag(qc, show_qubits=False)
        r.dag_id = "forward"
        r.do_map_node_to_gate = True
    return r


def node_named(dag, prefix):
    return next(n for n in dag.nodes if n.startswith(prefix))


# ---------------------------------------------------------------- construction


def test_constructor_attributes_and_conversions():
    g = chain(3)
    r = SabreRouting(g, "random", 1, 3.7, "basic", 1)
    assert r.coupling_graph is g
    assert r.physical_qubits is g.graph["normal_order"] and r.physical_qubits == [0, 1, 2]
    assert r.physical_qubits_index == {0: 0, 1: 1, 2: 2}
    assert r.distance_matrix.tolist() == [[0, 1, 2], [1, 0, 1], [2, 1, 0]]
    assert (r.initial_mapping, r.do_random_choice, r.iterations, r.heuristic) == ("random", True, 3, "basic")
    assert r.max_extended_set_weight == 1.0 and isinstance(r.max_extended_set_weight, float)
    assert r.extended_successor_set == [] and r.decay_parameter == {}
    assert isinstance(r._cache, OrderedDict) and not r._cache
    with pytest.raises(TypeError, match=r"Argument 'iterations' has incorrect type \(expected int, got str\)"):
        SabreRouting(g, iterations="3")
    # a given normal_order is kept as the very object
    g2 = nx.Graph([(4, 5), (5, 6)])
    order = [6, 4, 5]
    g2.graph["normal_order"] = order
    r2 = SabreRouting(g2)
    assert r2.physical_qubits is order and r2.physical_qubits_index == {4: 0, 5: 1, 6: 2}


@pytest.mark.parametrize(
    "kw, match",
    [
        ({"iterations": 0}, "iterations must be at least 1"),
        ({"iterations": -3}, "iterations must be at least 1"),
        ({"heuristic": "lookahed"}, "Unknown heuristic 'lookahed'"),
        ({"heuristic": 3}, "Unknown heuristic 3"),
        ({"max_extended_set_weight": -0.1}, "max_extended_set_weight must be a finite number"),
        ({"max_extended_set_weight": float("nan")}, "max_extended_set_weight must be a finite number"),
        ({"max_extended_set_weight": float("inf")}, "max_extended_set_weight must be a finite number"),
    ],
)
def test_constructor_refuses_bad_options_without_touching_graph(kw, match):
    g = chain(3)
    with pytest.raises(ValueError, match=match):
        SabreRouting(g, **kw)
    assert "normal_order" not in g.graph


@pytest.mark.parametrize("order", [[0, 1], [0, 1, 1], [0, 1, 7], [0, 1, 2, 1]])
def test_normal_order_must_list_the_graph_nodes(order):
    g = chain(3)
    g.graph["normal_order"] = order
    with pytest.raises(ValueError, match="normal_order of the coupling graph"):
        SabreRouting(g)


def test_distance_matrix_is_floyd_warshall():
    import numpy as np

    rng = random.Random(5)
    graphs = [nx.Graph(), nx.path_graph(1), nx.grid_2d_graph(3, 4), nx.petersen_graph()]
    for _ in range(40):
        g = nx.gnp_random_graph(rng.randint(2, 25), rng.random() * 0.3, seed=rng.randint(0, 10**6))
        if rng.random() < 0.3:
            g.add_edge(0, 0)  # a self-loop
        if rng.random() < 0.3:
            g = nx.relabel_nodes(g, {v: f"q{v}" for v in g})
        graphs.append(g)
        if rng.random() < 0.5:  # a subgraph view, as the layout selection returns
            graphs.append(g.subgraph(rng.sample(list(g), rng.randint(1, len(g)))))
    weighted = nx.path_graph(4)
    weighted[1][2]["weight"] = 5
    graphs += [weighted, nx.DiGraph([(0, 1), (1, 2)])]
    for g in graphs:
        expected = nx.floyd_warshall_numpy(g, weight=None)  # hop counts: edge weights are not read
        got = SabreRouting(g).distance_matrix
        assert got.dtype == expected.dtype and got.shape == expected.shape and got.flags.c_contiguous
        assert np.array_equal(got, expected)
    assert SabreRouting(weighted).distance_matrix[0, 3] == 3


def test_distance_matrix_survives_nodes_that_change_the_graph():
    g = nx.Graph()
    hostile = []

    class Node:
        def __init__(self, i):
            self.i = i

        def __hash__(self):
            return 7  # every comparison goes through __eq__

        def __eq__(self, other):
            if hostile:
                g.clear()
            return isinstance(other, Node) and other.i == self.i

    nx.add_path(g, [Node(i) for i in range(6)])
    hostile.append(True)
    try:
        SabreRouting(g)
    except Exception:
        pass  # any Python error will do; the process must survive


def test_initial_mapping_variants():
    g = nx.Graph([(4, 5), (5, 6)])
    g.graph["normal_order"] = [4, 5, 6]
    assert SabreRouting(g, initial_mapping=[6, 4, 5])._initialize_v2p_p2v([0, 1, 2]) == (
        {0: 6, 1: 4, 2: 5},
        {6: 0, 4: 1, 5: 2},
    )
    assert SabreRouting(g)._initialize_v2p_p2v([0, 2, 1]) == ({0: 4, 2: 5, 1: 6}, {4: 0, 5: 2, 6: 1})
    random.seed(7)
    v2p, p2v = SabreRouting(g, "random")._initialize_v2p_p2v([0, 1, 2])
    random.seed(7)
    assert list(v2p.values()) == random.sample([4, 5, 6], 3)
    with pytest.raises(TypeError, match="Argument 'virtual_qubits'"):
        SabreRouting(g)._initialize_v2p_p2v((0, 1, 2))


@pytest.mark.parametrize(
    "mapping, qubits, message",
    [
        (
            [4, 5, 6, 7],
            [0, 1, 2],
            "The number of initial_mapping does not match the number of physical qubits.[4, 5, 6, 7] [4, 5, 6]",
        ),
        ([4, 5, 9], [0, 1, 2], "initial_mapping [4, 5, 9] is not a permutation of the physical qubits [4, 5, 6]."),
        # a repeated qubit is named, whether or not the list is as long as the physical qubits
        (
            [4, 5, 5],
            [0, 1, 2],
            "initial_mapping [4, 5, 5] repeats the physical qubit 5; each physical qubit takes one virtual qubit.",
        ),
        ([4, 5, 6, 6], [0, 1, 2], "initial_mapping [4, 5, 6, 6] repeats the physical qubit 6"),
        (
            [4, 4],
            [0, 1, 2],
            "The number of initial_mapping does not match the number of physical qubits.[4, 4] [4, 5, 6]",
        ),
        (
            [4, 5, 6],
            [0, 1],
            "The number of virtual qubits does not match the number of physical qubits.[0, 1] [4, 5, 6]",
        ),
        (
            "trivial",
            [0, 1],
            "The number of virtual qubits does not match the number of physical qubits.[0, 1] [4, 5, 6]",
        ),
        ("trivail", [0, 1], "The number of virtual qubits does not match"),
        ("trivail", [0, 1, 2], "There is a spelling error in the input of initial_mapping trivail."),
        ((4, 5, 6), [0, 1, 2], "Invalid input type for initial_mapping \u2014 only str and list are supported."),
    ],
)
def test_initial_mapping_refusals(mapping, qubits, message):
    g = nx.Graph([(4, 5), (5, 6)])
    g.graph["normal_order"] = [4, 5, 6]
    with pytest.raises(ValueError) as e:
        SabreRouting(g, initial_mapping=mapping)._initialize_v2p_p2v(qubits)
    assert message in str(e.value)


# ---------------------------------------------------------------- small services


def test_extract_qubits_and_mapping_update():
    assert extract_qubits("cx_3_[0, 1]") == [0, 1]
    assert extract_qubits("measure_7_[12]") == [12]
    assert extract_qubits("q0") == []
    assert extract_qubits("a_[3]_[4, 5]") == [3]
    assert extract_qubits("x_1_[-1]") == [1]
    assert extract_qubits("x_1_[\u0661\u0662, 3]") == [12, 3]  # other decimal digits, as the regex reads them
    with pytest.raises(TypeError, match="Argument 'node_name'"):
        extract_qubits(b"cx_1_[0, 1]")
    v2p = {0: 5, 1: 6, 2: 7}
    new_v2p, p2v = update_v2p_and_p2v_mapping(v2p, ("swap", 0, 1))
    assert list(new_v2p.items()) == [(0, 6), (1, 5), (2, 7)]
    assert list(p2v.items()) == [(6, 0), (5, 1), (7, 2)]
    assert v2p == {0: 5, 1: 6, 2: 7}
    assert update_v2p_and_p2v_mapping(v2p, ("swap", 2, 2)) == (v2p, {5: 0, 6: 1, 7: 2})
    with pytest.raises(ValueError, match="too many values to unpack"):
        update_v2p_and_p2v_mapping(v2p, ("swap", 0, 1, 2))
    with pytest.raises(KeyError):
        update_v2p_and_p2v_mapping(v2p, ("swap", 0, 9))
    with pytest.raises(TypeError, match="Argument 'swap_gate_info'"):
        update_v2p_and_p2v_mapping(v2p, ["swap", 0, 1])


def test_query_cache_is_lru_and_keyed_by_identity_and_dag():
    qc = circuit(None, [("cx", 0, 1), ("h", 0), ("cx", 1, 2)])
    r = prepared(chain(3), qc, {0: 0, 1: 1, 2: 2})
    first = node_named(r.dag, "cx_0")
    succ = r._dag_successors(first)
    assert succ == ["h_1_[0]", "cx_2_[1, 2]"] and r._dag_successors(first) is succ
    twin = "".join(["cx_0_", "[0, 1]"])  # equal text, another object
    assert twin is not first and r._dag_successors(twin) is not succ
    assert r._get_nodes(node_named(r.dag, "cx_2"), "anything") == [first]
    r.dag_id = "reverse"
    assert r._dag_successors(first) is not succ
    assert len(r._cache) == 4
    # eviction: fill to the bound, touch the oldest, add one more
    keep = list(r._cache)[0]
    for i in range(10000 - 4):
        r._cache[("x", i, "successors")] = []
    r._cache.move_to_end(keep)
    r.dag_id = "forward"
    r._dag_predecessors(first)
    assert len(r._cache) == 10000 and keep in r._cache
    assert ("forward", id(twin), "successors") not in r._cache  # the least recent went


def test_mapping_node_to_gate_info_records():
    gates = [
        ("u", 0.1, 0.2, 0.3, 2),
        ("r", 0.4, 0.5, 0),
        ("rzz", 0.7, 1, 2),
        ("measure", [2, 0], [1, 0]),
        ("barrier", (0, 2)),
        ("delay", 1e-8, (1,)),
        ("reset", 2),
        ("cx", 2, 0),
        ("ccx", 0, 1, 2),
    ]
    qc = circuit(None, gates)
    r = prepared(chain(3), qc, {0: 7, 1: 8, 2: 9})
    recs = {
        n.split("_")[0] + n.split("_")[1]: r._mapping_node_to_gate_info(n)
        for n in r.dag.nodes
        if not n.startswith("ccx")
    }
    assert recs["u0"] == ("u", 0.1, 0.2, 0.3, 9)
    assert recs["r1"] == ("r", 0.4, 0.5, 7)
    assert recs["rzz2"] == ("rzz", 0.7, 8, 9)
    assert recs["measure3"] == ("measure", [9], [1]) and recs["measure4"] == ("measure", [7], [0])
    assert recs["barrier5"] == ("barrier", (7, 9))
    assert recs["delay6"] == ("delay", 1e-8, (8,))
    assert recs["reset7"] == ("reset", 9) and recs["cx8"] == ("cx", 9, 7)
    with pytest.raises(
        ValueError,
        match=r"^Please first decompose the ccx gate into a combination of "
        r"single- and two-qubit gates\.$",
    ):
        r._mapping_node_to_gate_info(node_named(r.dag, "ccx"))


# ---------------------------------------------------------------- front layer and scores


def test_front_layer_candidates_and_basic_scores():
    qc = circuit(None, [("cx", 0, 2)], qubits=[0, 1, 2])
    r = prepared(chain(3), qc, {0: 0, 1: 1, 2: 2}, heuristic="basic")
    front = list(r.dag.nodes)
    assert r._get_execute_node_list(front) == []
    cands = r._get_swap_candidate_list(front)
    assert cands == [("swap", 0, 1), ("swap", 1, 2)]
    assert [r._heuristic_score_basic(c, front) for c in cands] == [1.0, 1.0]
    assert [r._heuristic_score(c, front) for c in cands] == [1.0, 1.0]
    # barriers, measures and one-qubit gates are always executable
    qc2 = circuit(None, [("barrier", (0, 2)), ("measure", [1], [0]), ("cx", 0, 2)], qubits=[0, 1, 2])
    r2 = prepared(chain(3), qc2, {0: 0, 1: 1, 2: 2})
    front2 = list(r2.dag.nodes)[:2]
    assert r2._get_execute_node_list(front2) == front2
    assert r2._has_no_correlation_on_front_layer("cx_9_[0, 2]", ["h_0_[1]"])
    assert not r2._has_no_correlation_on_front_layer("cx_9_[0, 2]", ["h_0_[1]", "x_1_[2]"])
    assert r2._has_no_correlation_on_front_layer("q0", ["h_0_[0]"])


def test_extended_set_weights_and_decay():
    qc = circuit(None, [("h", 0), ("cx", 1, 2), ("cx", 0, 1), ("rzz", 0.5, 2, 3), ("x", 3), ("cx", 3, 2)])
    g = chain(4)
    r = prepared(g, qc, {q: q for q in range(4)})
    front = [node_named(r.dag, "h_0"), node_named(r.dag, "cx_1")]
    r._get_extended_successor_set(front)
    assert sorted(r.extended_successor_set) == ["cx_2_[0, 1]", "rzz_3_[2, 3]"]
    # with E empty the lookahead scores equal the basic ones
    r.extended_successor_set = []
    r._reset_decay_parameter()
    swap = ("swap", 0, 1)
    f2 = [node_named(r.dag, "cx_1")]
    assert r._heuristic_score_lookahead(swap, f2) == r._heuristic_score_basic(swap, f2)
    assert r._heuristic_score_lookahead_decay(swap, f2) == r._heuristic_score_basic_decay(swap, f2)
    # W = min(weight, |E| / |F|)
    r.extended_successor_set = ["cx_2_[0, 3]"]
    front4 = ["cx_1_[1, 2]", "cx_7_[1, 2]", "cx_8_[1, 2]", "cx_9_[1, 2]"]
    base = r._heuristic_score_basic(swap, front4)
    assert r._heuristic_score_lookahead(swap, front4) == base + 0.25 * 2.0
    r.extended_successor_set = ["cx_2_[0, 3]"] * 3
    assert r._heuristic_score_lookahead(swap, front4[:2]) == r._heuristic_score_basic(swap, front4[:2]) + 0.5 * 2.0
    # decay: two SWAPs on physical 1, one on 2
    r._update_decay_parameter(("swap", 0, 1))
    r._update_decay_parameter(("swap", 1, 2))
    assert r.decay_parameter == {0: 1.01, 1: 1.02, 2: 1.01, 3: 1}
    cand = ("swap", 1, 2)
    assert r._heuristic_score_basic_decay(cand, f2) == (1 + 0.01 + 0.01) * r._heuristic_score_basic(cand, f2)
    # heuristics without lookahead / decay leave those states alone
    rb = prepared(g, qc, {q: q for q in range(4)}, heuristic="basic")
    rb._reset_decay_parameter()
    rb._update_decay_parameter(("swap", 0, 1))
    rb._get_extended_successor_set(front)
    assert rb.decay_parameter == {} and rb.extended_successor_set == []
    rl = prepared(g, qc, {q: q for q in range(4)}, heuristic="lookahead")
    rl._reset_decay_parameter()
    rl._get_extended_successor_set(front)
    assert rl.decay_parameter == {} and len(rl.extended_successor_set) == 2
    rd = prepared(g, qc, {q: q for q in range(4)}, heuristic="basic_decay")
    rd._reset_decay_parameter()
    rd._get_extended_successor_set(front)
    assert rd.decay_parameter == {0: 1, 1: 1, 2: 1, 3: 1} and rd.extended_successor_set == []


def test_self_loops_offer_no_swap():
    g = nx.Graph((p, p) for p in range(3))
    nx.add_path(g, range(3))
    r = prepared(g, circuit(None, [("cx", 0, 2)], qubits=[0, 1, 2]), {0: 0, 1: 1, 2: 2})
    assert r._get_swap_candidate_list(list(r.dag.nodes)) == [("swap", 0, 1), ("swap", 1, 2)]


def test_dispatcher_refuses_a_heuristic_changed_after_construction():
    qc = circuit(None, [("cx", 0, 2)], qubits=[0, 1, 2])
    r = prepared(chain(3), qc, {0: 0, 1: 1, 2: 2})
    r.heuristic = "fancy"
    with pytest.raises(ValueError, match="Unknown heuristic 'fancy'"):
        r._heuristic_score(("swap", 0, 1), list(r.dag.nodes))


# ---------------------------------------------------------------- one traversal


def test_single_pass_on_a_chain():
    qc = circuit(None, [("cx", 0, 2)], qubits=[0, 1, 2])
    r = prepared(chain(3), qc, {0: 0, 1: 1, 2: 2})
    assert r._single_sabre_routing() == ([("swap", 0, 1), ("cx", 1, 2)], 1)
    assert r.v2p == {0: 1, 1: 0, 2: 2} and r.p2v == {1: 0, 0: 1, 2: 2}
    r2 = prepared(chain(3), qc, {0: 0, 1: 1, 2: 2})
    r2.do_map_node_to_gate = False
    assert r2._single_sabre_routing() == ([], 0) and r2.v2p == {0: 1, 1: 0, 2: 2}
    empty = prepared(chain(3), circuit(None, [], qubits=[0, 1, 2]), {0: 0, 1: 1, 2: 2})
    assert empty._single_sabre_routing() == ([], 0) and empty.v2p == {0: 0, 1: 1, 2: 2}


def test_single_pass_failures():
    # qubits that can never meet
    g = nx.Graph([(0, 1), (2, 3)])
    r = prepared(g, circuit(None, [("cx", 0, 2)], qubits=[0, 1, 2, 3]), {q: q for q in range(4)})
    with pytest.raises(ValueError, match="^" + CONFLICT + "$"):
        r._single_sabre_routing()
    # a two-qubit gate on one qubit (qc2dag refuses such a record, so the DAG is made by hand)
    r = prepared(chain(2), circuit(None, [], qubits=[0, 1]), {0: 0, 1: 1})
    r.dag.add_node("cx_0_[1, 1]", qubits=[1, 1])
    with pytest.raises(ValueError, match=r"The two-qubit gate cx_0_\[1, 1\] acts twice on qubit 1"):
        r._single_sabre_routing()
    # isolated physical qubits offer no SWAP
    g = nx.Graph()
    g.add_nodes_from([0, 1])
    r = prepared(g, circuit(None, [("cx", 0, 1)], qubits=[0, 1]), {0: 0, 1: 1})
    with pytest.raises(ValueError, match="No SWAP can bring the gates of the front layer"):
        r._single_sabre_routing()


# ---------------------------------------------------------------- run


def test_run_table_result_and_state(capsys):
    g = nx.Graph([(7, 5), (5, 6)])
    g.graph["normal_order"] = [7, 5, 6]
    qc = circuit(None, [("cx", 0, 2), ("h", 1)], qubits=[0, 1, 2])
    qc.params_value = {"a": 1.0}
    r = SabreRouting(g, iterations=1)
    out = r.run(qc)
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "{:^21} -----> {:^21} -----> {:^21}".format("initial mapping", "best mapping", "final mapping")
    assert lines[1] == "    P     :    V      ----->     P     :    V      ----->     P     :    V     "
    assert [line.split()[0] for line in lines[2:5]] == ["5", "6", "7"]
    assert all(len(line) == 79 for line in lines[:5])
    assert lines[5] == "A total of 0 swap gates have been added to the circuit."
    # split_qubits gives [0, 2], [1]: 0 -> 7, 2 -> 5, 1 -> 6, so the cx needs no SWAP
    assert [line.split() for line in lines[2:5]] == [
        ["5", ":", "2", "----->"] * 2 + ["5", ":", "2"],
        ["6", ":", "1", "----->"] * 2 + ["6", ":", "1"],
        ["7", ":", "0", "----->"] * 2 + ["7", ":", "0"],
    ]
    assert out.gates == [("cx", 7, 5), ("h", 6)]
    assert out.nqubits == 8 and out.qubits is g.graph["normal_order"] and out.params_value is qc.params_value
    assert r.do_map_node_to_gate is True and r.dag_id == "forward"
    assert qc.gates == [("cx", 0, 2), ("h", 1)]


@pytest.mark.parametrize("iterations", [1, 2, 3, 4])
def test_run_emits_forward_for_every_iteration_count(iterations, capsys):
    qc = circuit(None, [("h", 0), ("cx", 0, 3), ("cx", 1, 3), ("x", 2), ("cx", 2, 0), ("cz", 3, 1)])
    r = SabreRouting(chain(4), iterations=iterations)
    out = r.run(qc)
    assert r.dag_id == "forward"
    printed = capsys.readouterr().out
    init, best, final = routing_table(printed)
    assert init == initial_v2p(qc, r) and final == r.v2p
    if iterations == 1:
        assert best == init
    check_routed(qc, out, r, best, printed, unitary=True)


def test_run_clears_the_cache_and_reports_errors_before_printing(capsys):
    r = SabreRouting(chain(3), iterations=3)
    r._cache[("forward", 1, "successors")] = ["stale"]
    r.run(circuit(None, [("cx", 0, 2)], qubits=[0, 1, 2]))
    assert ("forward", 1, "successors") not in r._cache
    capsys.readouterr()
    with pytest.raises(ValueError, match="Please first decompose the ccx"):
        SabreRouting(chain(3)).run(circuit(None, [("ccx", 0, 1, 2)]))
    assert capsys.readouterr().out == ""
    r = SabreRouting(chain(3))
    r.iterations = 0
    with pytest.raises(ValueError, match="iterations must be at least 1"):
        r.run(circuit(None, [("cx", 0, 2)]))


# ---------------------------------------------------------------- properties


def initial_v2p(qc, r, order=None):
    virtual = [q for grp in split_qubits(qc) for q in grp]
    return dict(zip(virtual, order if order is not None else r.physical_qubits))


def graphs():
    ring = nx.cycle_graph(6)
    grid = nx.convert_node_labels_to_integers(nx.grid_2d_graph(2, 3))
    spare = nx.path_graph(5)
    spare.add_node(5)  # an uncoupled spare qubit
    shifted = nx.relabel_nodes(nx.path_graph(5), {i: 10 - 2 * i for i in range(5)})
    return {"line": nx.path_graph(6), "ring": ring, "grid": grid, "spare": spare, "shifted": shifted}


@pytest.mark.parametrize("name", ["line", "ring", "grid", "spare", "shifted"])
@pytest.mark.parametrize("heuristic", ["basic", "lookahead", "basic_decay", "lookahead_decay"])
def test_routed_circuits_are_equivalent(name, heuristic, capsys):
    rng = random.Random(zlib.crc32(f"{name}/{heuristic}".encode()))
    g = graphs()[name]
    for trial in range(3):
        nodes = list(g.nodes)
        active = nodes if name != "spare" else nodes[:5]
        gates = random_gates(rng, active, 25, **ROUTABLE)
        qc = circuit(None, gates, qubits=sorted(nodes) if name != "shifted" else list(range(5)))
        if name == "shifted":
            qc = circuit(
                None,
                [oracle.permute_qubits([x], {n: i for i, n in enumerate(nodes)})[0] for x in gates],
                qubits=list(range(5)),
            )
        # the idle qubit must land on the uncoupled spare: a trivial mapping puts it last
        mapping = "trivial" if name == "spare" else "random"
        random.seed(trial)
        r = SabreRouting(g, initial_mapping=mapping, do_random_choice=True, iterations=1 + trial, heuristic=heuristic)
        random.seed(trial)
        order = random.sample(r.physical_qubits, len(r.physical_qubits)) if mapping == "random" else None
        random.seed(trial)
        out = r.run(qc)
        printed = capsys.readouterr().out
        init, best, final = routing_table(printed)
        assert init == initial_v2p(qc, r, order) and final == r.v2p
        check_routed(qc, out, r, best, printed, unitary=out.nqubits <= 11)


def test_seed_reproduces_a_run(capsys):
    rng = random.Random(5)
    qc = circuit(None, random_gates(rng, list(range(6)), 60, **ROUTABLE))
    results = []
    for _ in range(2):
        random.seed(42)
        r = SabreRouting(nx.cycle_graph(6), initial_mapping="random", do_random_choice=True)
        results.append((r.run(qc).gates, r.v2p, r.decay_parameter, random.random()))
    assert results[0] == results[1]
