"""Tests of vexal.circuit.layout: the Layout object, its enumeration,
scoring, rankings, strategies and select_layout."""

import inspect
import pickle

import networkx as nx
import numpy as np
import pytest
from helpers import circuit
from layout_chips import GraphBackend, graph_of

from vexal.circuit import layout as layout_module
from vexal.circuit.backend import Backend
from vexal.circuit.layout import Layout

NO_PRIORITY = "No more priority qubits were found. it will check the select_criteria for search"


def make(edges, nodes=None, priority=None, **kw):
    return Layout(GraphBackend(graph_of(edges, nodes, **kw), priority))


# ---------------------------------------------------------------- frame and construction


def test_module_frame_and_class():
    assert layout_module.__doc__ == (
        " \nThis module contains the Layout class, which is designed to select suitable layouts \n"
        "for quantum circuits on hardware backends.\n"
    )
    names = [n for n in vars(layout_module) if not n.startswith("__")]
    assert names == [
        "os", "copy", "nx", "np", "Literal", "combinations", "zip_longest", "product",
        "Pool", "partial", "Backend", "QuantumCircuit", "split_qubits", "Layout",
    ]  # fmt: skip
    assert Layout.__doc__.startswith("\n    Responsible for selecting") and Layout.__doc__.endswith("hardware.\n    ")
    sig = inspect.signature(Layout.select_layout)
    assert sig.parameters["target_qubits"].default == []
    assert sig.parameters["select_criteria"].default == {"key": "fidelity_var", "topology": "linear"}
    assert str(inspect.signature(Layout.select_few_qubits_from_backend)) == (
        "(self, nqubits: 'int', key: \"Literal['fidelity_mean', 'fidelity_var']\" = 'fidelity_var', "
        "topology: \"Literal['linear', 'nonlinear']\" = 'linear', printdetails: 'bool' = False)"
    )
    assert Layout.classify_all_subgraph_according_topology.__annotations__["return"] == "tuple[list, list, list, list]"


def test_construction(monkeypatch):
    backend = Backend.line(4, priority_qubits=[[0, 1]])
    lay = Layout(backend)
    assert list(vars(lay)) == [
        "priority_qubits", "graph", "ncore", "fidelity_mean_threshold", "edge_fidelitys", "algorithm_switch_threshold",
    ]  # fmt: skip
    assert lay.priority_qubits is backend.priority_qubits
    assert lay.fidelity_mean_threshold == 0.9 and lay.algorithm_switch_threshold == 10
    assert lay.edge_fidelitys == {(u, v): d["fidelity"] for u, v, d in lay.graph.edges(data=True)}
    for count, ncore in [(8, 4), (3, 1), (1, 0), (None, 0)]:
        monkeypatch.setattr(layout_module.os, "cpu_count", lambda c=count: c)
        assert Layout(backend).ncore == ncore
    # a copy travels to worker processes
    again = pickle.loads(pickle.dumps(lay))
    assert vars(again).keys() == vars(lay).keys() and list(again.graph.edges) == list(lay.graph.edges)


def test_high_first_couplers_are_keyed_low_first():
    g = nx.Graph()
    g.add_nodes_from([(5, {"fidelity": 0.99}), (3, {"fidelity": 0.99}), (4, {"fidelity": 0.99})])
    g.add_edge(5, 3, fidelity=0.95)
    g.add_edge(3, 4, fidelity=0.97)
    lay = Layout(GraphBackend(g))
    assert lay.edge_fidelitys == {(3, 5): 0.95, (3, 4): 0.97}
    info = lay.get_one_subgraph_info((3, 4, 5))
    assert info[0] in ([5, 3, 4], [4, 3, 5]) and info[1] == "linear"
    assert lay.collect_all_subgraph_info_in_parallel(3) == [info]


def test_node_neighbours():
    lay = make([(0, 1), (1, 2), (2, 3, 0.3)], nodes=[0, 1, 2, 3])
    assert lay._get_node_neighbours(1) == [0, 2]
    assert lay._get_node_neighbours(2.0) == [1]
    assert lay._get_node_neighbours(3) == []
    with pytest.raises(TypeError, match="Argument 'node' has incorrect type"):
        lay._get_node_neighbours("2")
    with pytest.raises(nx.NetworkXError):
        lay._get_node_neighbours(9)


# ---------------------------------------------------------------- enumeration


def test_enumeration_examples():
    lay = make([(0, 1), (0, 2), (1, 2), (2, 3)])
    assert lay._get_node_connect_dict(0, 3) == {0: [1, 2], 1: [2], 2: [1, 3]}
    assert lay.get_one_node_subgraph(0, 3) == [(0, 1, 2), (0, 2, 3)]
    assert lay.get_one_node_subgraph(1, 3) == [(1, 2, 3)]
    assert lay.get_one_node_subgraph(2, 3) == lay.get_one_node_subgraph(3, 3) == []
    assert lay.collect_all_subgraph_in_parallel(3) == [(0, 1, 2), (0, 2, 3), (1, 2, 3)]
    assert lay.collect_all_subgraph_in_parallel(2) == [(0, 1), (0, 2), (1, 2), (2, 3)]
    for n in (0, -3):
        assert lay.collect_all_subgraph_in_parallel(n) == [] and lay.get_one_node_subgraph(0, n) == []
    with pytest.raises(TypeError):
        lay.get_one_node_subgraph(0, "3")


def test_single_qubits_small_components_and_huge_sizes():
    lay = make([(4, 7), (7, 9, 0.2)], nodes=[9, 4, 7, 2])
    assert lay.collect_all_subgraph_in_parallel(1) == [(9,), (4,), (7,), (2,)]
    assert lay.collect_all_subgraph_in_parallel(3) == []
    # sizes far beyond the chip end at once instead of walking every level
    assert lay.collect_all_subgraph_in_parallel(10**9) == []
    assert lay.get_one_node_subgraph(4, 10**9) == []
    assert lay._get_node_connect_dict(4, 10**9) == {4: [7], 7: []}


# ---------------------------------------------------------------- scoring


def test_scoring_shapes_and_threshold():
    path = make([(0, 1, 0.95), (1, 2, 0.97)])
    nodes, shape, mean, var = path.get_one_subgraph_info((0, 1, 2))
    assert (nodes, shape, mean) == ([0, 1, 2], "linear", 0.96) and var == pytest.approx(1e-4)
    assert type(mean) is np.float64 and type(var) is np.float64
    assert make([(0, 1, 0.9), (1, 2, 0.9)]).get_one_subgraph_info([0, 1, 2])[1] == "linear"
    assert make([(0, 1, 0.85), (1, 2, 0.95)]).get_one_subgraph_info((0, 1, 2)) is None
    tri = (0, 1, 2)
    assert make([(0, 1), (1, 2), (0, 2)]).get_one_subgraph_info(tri)[:2] == (tri, "circular")
    assert make([(0, 1), (1, 2), (2, 3), (0, 3), (0, 2)]).get_one_subgraph_info((0, 1, 2, 3))[1] == "circular"
    assert make([(0, 1), (0, 2), (0, 3)]).get_one_subgraph_info((0, 1, 2, 3))[1] == "nonlinear"
    assert make([(0, 1)]).get_one_subgraph_info((0, 1))[1] == "nonlinear"
    with pytest.warns(RuntimeWarning):
        assert make([(0, 1)]).get_one_subgraph_info((0,)) is None
    lay = make([(0, 1, 0.85), (1, 2, 0.95), (2, 3), (3, 0), (3, 4)])
    infos = lay.collect_all_subgraph_info_in_parallel(3)
    assert len(infos) == len(lay.collect_all_subgraph_in_parallel(3)) and None in infos


def test_scores_follow_changes_between_calls():
    lay = make([(0, 1), (1, 2), (2, 3), (3, 0), (1, 3)])
    first = lay.collect_all_subgraph_info_in_parallel(3)
    lay.edge_fidelitys[(0, 1)] = 0.5
    assert lay.collect_all_subgraph_info_in_parallel(3) != first
    lay.fidelity_mean_threshold = 0.0
    assert None not in lay.collect_all_subgraph_info_in_parallel(3)
    lay.graph.remove_edge(0, 1)
    assert (0, 1) not in lay.collect_all_subgraph_in_parallel(2)
    lay.graph = nx.relabel_nodes(lay.graph, {0: 10})
    lay.edge_fidelitys = {(min(u, v), max(u, v)): d["fidelity"] for u, v, d in lay.graph.edges(data=True)}
    assert all(0 not in s for s in lay.collect_all_subgraph_in_parallel(2))
    assert [lay.get_one_subgraph_info(s) for s in lay.collect_all_subgraph_in_parallel(2)] == (
        lay.collect_all_subgraph_info_in_parallel(2)
    )


# ---------------------------------------------------------------- rankings


def ranked_chip():
    # a ring of four (circular), paths and a star
    return make([(0, 1, 0.99), (1, 2, 0.95), (2, 3, 0.97), (3, 0, 0.93), (2, 4, 0.91), (4, 5, 0.96)])


def test_rankings_tables(capsys):
    lay = ranked_chip()
    lin, non = lay.classify_all_subgraph_according_topology(3)
    assert all(len(e) == 3 for e in lin + non) and len(lin) + len(non) > 0
    best = lay.sort_subgraph_according_mean_fidelity(3)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"{len(lin)} {len(non)}"
    assert out[1] == "idx | {:^37} | {:^37} ".format(
        "subgraph with linear topology", "subgraph with nonlinear topology"
    )
    assert len(out) == 2 + min(2, max(len(lin), len(non)))
    assert best[0] == sorted(lin, key=lambda e: e[1], reverse=True)[:1]
    assert out[2].startswith("0   | " + f"{str(best[0][0][0]):<15}" + f" {best[0][0][1]:<10.6f} ")
    # a list that runs out shows the filler
    assert lay.sort_subgraph_according_var_fidelity(3, num=50, printdetails=False)[0] == sorted(lin, key=lambda e: e[2])
    lay.sort_subgraph_according_var_fidelity(3.7, num=50)
    rows = capsys.readouterr().out.splitlines()[2:]
    assert len(rows) == max(len(lin), len(non))
    assert any("(                  ) 0.000000   0.000000   " in r for r in rows)
    assert lay.sort_subgraph_according_mean_fidelity(3, num=0, printdetails=False) == ([], [])
    assert lay.sort_subgraph_according_mean_fidelity(3, -1, False)[0] == sorted(lin, key=lambda e: -e[1])[:-1]
    with pytest.raises(TypeError):
        lay.sort_subgraph_according_mean_fidelity("3")


def test_select_by_topology(capsys):
    lay = make([(0, 1), (1, 2), (0, 2), (2, 3)])
    assert lay.select_subgraph_by_topology(3, "linear") is None
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "2" and all(r.endswith("  ") for r in out[2:]) and len(out) == 4
    lay.select_subgraph_by_topology(3, "circular")
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "1" and out[2].startswith("0   | (0, 1, 2)       ")
    lay.select_subgraph_by_topology(3, "ring", printdetails=False)
    assert capsys.readouterr().out == ""
    with pytest.raises(TypeError):
        lay.select_subgraph_by_topology(3, None)


HUGE = [5, 10**8, 2**31, 2**63, 10**30]  # beyond the chip of four qubits


def test_sizes_beyond_the_chip_return_at_once(capsys):
    lay = make([(0, 1), (1, 2), (2, 3), (3, 0), (1, 3)])
    for n in HUGE:
        assert lay.sort_subgraph_according_mean_fidelity(n) == ([], [])
        assert lay.sort_subgraph_according_var_fidelity(n, num=10**30) == ([], [])
        assert lay.select_subgraph_by_topology(n, "linear") is None
        assert lay.classify_all_subgraph_according_topology(n) == ([], [])
        assert lay.collect_all_subgraph_info_in_parallel(n) == lay.collect_all_subgraph_in_parallel(n) == []
        assert lay.get_one_node_subgraph(0, n) == []
        with pytest.raises(ValueError, match=f"There is no {n} qubits that meets"):
            lay.select_few_qubits_from_backend(n, printdetails=True)
    assert capsys.readouterr().out == ""
    assert lay._get_node_connect_dict(0, 2**63 + 1) == {0: [1, 3], 1: [2, 3], 3: [1, 2], 2: [1, 3]}
    with pytest.raises(ValueError, match="requires 1000000000000000000000000000000 qubits exceeds"):
        lay.select_qubits_by_local_algorithm(10**30, {"key": "fidelity_var", "topology": "linear"})

    class Recorded(Layout):
        """Candidates from elsewhere: any size is taken as they come."""

        def collect_all_subgraph_info_in_parallel(self, nqubits):
            return [((0, 1), "nonlinear", np.float64(0.95), np.float64(0.0))]

    recorded = Recorded(GraphBackend(graph_of([(0, 1)])))
    assert recorded.sort_subgraph_according_mean_fidelity(7, printdetails=False) == ([], [((0, 1), 0.95, 0.0)])


def test_sizes_below_one_and_counts_past_any_list(capsys):
    lay = make([(0, 1), (1, 2), (2, 3), (3, 0), (1, 3)])
    for n in (0, -4):
        assert lay.sort_subgraph_according_mean_fidelity(n) == ([], [])
        out = capsys.readouterr().out.splitlines()
        w = n * 5 + 22
        assert out == ["0 0", "{:<3} | {:^{}} | {:^{}} ".format("idx", "subgraph with linear topology", w,
                                                                 "subgraph with nonlinear topology", w)]  # fmt: skip
        assert lay.get_one_node_subgraph(0, n) == lay.collect_all_subgraph_info_in_parallel(n) == []
    # a negative width is refused by the format, after the counts
    for n in (-5, -(2**63), -(10**30)):
        for call in (lay.sort_subgraph_according_var_fidelity, lambda n: lay.select_subgraph_by_topology(n, "linear")):
            with pytest.raises(ValueError):
                call(n)
            assert capsys.readouterr().out.splitlines()[0] in ("0 0", "0")
        assert lay.classify_all_subgraph_according_topology(n) == ([], [])
        assert lay.get_one_node_subgraph(0, n) == lay.collect_all_subgraph_in_parallel(n) == []
        assert lay._get_node_connect_dict(0, n) == {0: [1, 3]}
    full = lay.sort_subgraph_according_mean_fidelity(3, num=10**30, printdetails=False)
    assert len(full[0]) == 4 and full == lay.sort_subgraph_according_mean_fidelity(3, 2**63 - 1, False)
    assert lay.sort_subgraph_according_mean_fidelity(3, num=-(10**30), printdetails=False) == ([], [])
    assert lay.sort_subgraph_according_mean_fidelity(3, num=10**30) == full
    assert len(capsys.readouterr().out.splitlines()) == 2 + 4


def test_qubit_numbers_past_64_bits():
    big = 2**70
    lay = make([(big, big + 1), (big + 1, big + 2)])
    assert lay._get_node_connect_dict(big, 3) == {big: [big + 1], big + 1: [big + 2]}
    assert lay.get_one_node_subgraph(big, 3) == [(big, big + 1, big + 2)]
    assert lay.get_one_node_subgraph(big + 1, 2) == [(big + 1, big + 2)]


def test_equal_keys_keep_candidate_order():
    lay = make([(0, 1), (1, 2), (2, 3), (3, 4)], fidelity=0.95)
    lin, _ = lay.sort_subgraph_according_mean_fidelity(3, num=10, printdetails=False)
    assert [e[0] for e in lin] == [[0, 1, 2], [1, 2, 3], [2, 3, 4]]
    _, non = lay.sort_subgraph_according_var_fidelity(2, num=10, printdetails=False)
    assert [e[0] for e in non] == [(0, 1), (1, 2), (2, 3), (3, 4)]


# ---------------------------------------------------------------- strategies


def test_one_qubit_strategy(capsys):
    g = graph_of([(1, 2)], nodes=[0, 1, 2])
    g.nodes[0]["fidelity"], g.nodes[1]["fidelity"], g.nodes[2]["fidelity"] = 0.999, 0.98, 0.99
    lay = Layout(GraphBackend(g))
    assert lay.select_qubits_by_local_algorithm(1, {}) == [2]
    assert capsys.readouterr().out == (
        "Physical qubits layout [2] is selected based on maximum single-qubit gate fidelity.\n"
    )
    lone = make([], nodes=[0, 1])
    with pytest.raises(ValueError, match="no pair of coupled qubits"):
        lone.select_one_qubit_from_backend()


def test_local_search_tries(capsys):
    lay = make([(0, 1, 0.91), (1, 2, 0.99), (2, 3, 0.97)])
    assert lay.select_qubits_by_local_algorithm(2, {"key": "fidelity_var", "topology": "linear"}) == [0, 1]
    out = capsys.readouterr().out.splitlines()
    assert out == [
        "Warning! There is no 2 qubits that meets both key = fidelity_var and topology = linear. Please change "
        "the conditions.",
        "Physical qubits layout (0, 1) are selected by the local algorithm using key = fidelity_var and "
        "topology = nonlinear.",
    ]
    lay.fidelity_mean_threshold = 1.5
    with pytest.raises(ValueError, match="Unable to find a suitable layout"):
        lay.select_qubits_by_local_algorithm(3, {"key": "fidelity_mean", "topology": "nonlinear"})
    tries = [line.split("key = ")[1] for line in capsys.readouterr().out.splitlines()]
    assert tries == [
        "fidelity_mean and topology = nonlinear. Please change the conditions.",
        "fidelity_mean and topology = linear. Please change the conditions.",
        "fidelity_var and topology = nonlinear. Please change the conditions.",
        "fidelity_var and topology = linear. Please change the conditions.",
    ]
    with pytest.raises(ValueError, match="Wrong qubits error!"):
        lay.select_qubits_by_local_algorithm(0, {})
    with pytest.raises(ValueError):
        lay.select_qubits_by_local_algorithm(2, {"key": "speed", "topology": "linear"})
    with pytest.raises(KeyError):
        lay.select_qubits_by_local_algorithm(2, {"key": "fidelity_var"})
    with pytest.raises(ValueError, match="key must be"):
        lay.select_few_qubits_from_backend(2, key="speed")


def test_breadth_first_growth(capsys):
    lay = make([(i, i + 1) for i in range(11)] + [(20, 21)])
    assert lay.select_qubits_by_local_algorithm(10, {"key": "fidelity_var", "topology": "linear"}) == list(range(10))
    capsys.readouterr()
    np.random.seed(7)
    first = lay.select_qubits_by_local_algorithm(11, {})
    np.random.seed(7)
    assert lay.select_much_qubits_from_backend(11) == first and all(type(q) is int for q in first)
    assert capsys.readouterr().out.splitlines()[0] == f"Physical qubits layout {first} are selected by BFS algorithm."
    assert sorted(lay.select_much_qubits_from_backend(12)) == list(range(12))
    with pytest.raises(ValueError, match="The user circuit requires 13 qubits exceeds the qubit capacity"):
        lay.select_much_qubits_from_backend(13)
    ties = make([(0, 1), (5, 6)])
    assert sorted(ties._get_largest_component().nodes) == [0, 1]
    with pytest.raises(ValueError, match="no qubits"):
        Layout(GraphBackend(nx.Graph()))._get_largest_component()


# ---------------------------------------------------------------- select_layout


def test_priority_sets(capsys):
    lay = make([(i, i + 1) for i in range(7)], priority=[[0, 1], [3, 2, 4], [5, 6, 7]])
    sub = lay.select_layout(circuit(None, [], qubits=[0, 1, 2]))
    assert sub.graph["normal_order"] == [3, 2, 4] and sorted(sub.nodes) == [2, 3, 4]
    assert capsys.readouterr().out == ""
    with pytest.raises(nx.NetworkXError):
        sub.add_edge(0, 9)
    # two groups of one size: the second takes the next set
    lay = make([(i, i + 1) for i in range(7)], priority=[[3, 2, 4], [5, 6, 7]])
    qc = circuit(None, [], qubits=[0, 1, 2, 3, 4, 5])
    qc.gates = [("cx", 0, 1), ("cx", 1, 2), ("cx", 3, 4), ("cx", 4, 5)]
    assert lay.select_layout(qc, skip_split_qc=False).graph["normal_order"] == [3, 2, 4, 5, 6, 7]
    # an overlapping set falls back to the search
    lay = make([(i, i + 1) for i in range(7)], priority=[[1, 2, 3], [2, 3, 4]])
    assert lay.select_layout(qc, skip_split_qc=False).graph["normal_order"][:3] == [1, 2, 3]
    out = capsys.readouterr().out
    assert out.count(NO_PRIORITY) == 1 and 2 not in lay.graph and 3 not in lay.graph


def test_unusable_priority_sets_fall_back(capsys):
    for bad in ([0, 0, 1], [0, 1, 99], [4, 5, 0]):
        lay = make([(i, i + 1) for i in range(5)], priority=[bad])
        order = lay.select_layout(circuit(None, [], qubits=[0, 1, 2])).graph["normal_order"]
        assert len(set(order)) == 3 and set(order) <= set(range(6))
        assert capsys.readouterr().out.startswith(NO_PRIORITY)
    lay = make([(0, 1)], priority=[[]])
    with pytest.raises(ValueError, match="^Wrong qubits error!$"):
        lay.select_layout(circuit(None, [], qubits=[]))


def test_user_given_qubits(capsys):
    lay = make([(0, 1, 0.95), (1, 2, 0.97), (3, 4)])
    target = [2, 1, 0]
    sub = lay.select_layout(circuit(None, [], qubits=[0, 1, 2]), target_qubits=target)
    assert sub.graph["normal_order"] is target
    assert capsys.readouterr().out.splitlines() == [
        "Physical qubits layout [2, 1, 0] are user-defined, with the corresponding coupling being [(0, 1), (1, 2)].",
        "The average fidelity of the coupler(s) between the selected qubits is 0.96, and the variance of the "
        "fidelity is " + str(np.var([0.95, 0.97])) + ".",
    ]
    sub.add_edge(0, 7)  # an independent copy
    assert 7 not in lay.graph
    lay.select_layout(circuit(None, [], qubits=[0]), [3])
    assert (
        capsys.readouterr().out
        == "Physical qubits layout [3] are user-defined, with the corresponding coupling being [].\n"
    )
    for target, msg, error in [
        (
            [5, 5],
            "target_qubits names qubit 5 more than once; each physical qubit carries one circuit qubit.",
            ValueError,
        ),
        ([0, 1, 0], "target_qubits names qubit 0 more than once", ValueError),
        ([True, 1], "target_qubits entry True is not a qubit index; physical qubits are integers.", TypeError),
        ([0, 1.0], "target_qubits entry 1.0 is not a qubit index", TypeError),
        (
            [0, 1, 2],
            "The number of qubits 3 in target_qubits does not match the number of qubits 2 in the circuit.",
            ValueError,
        ),
        ([0, 99], "These qubit(s) [99] does not exist.This maybe due to an incorrected input index", ValueError),
        (
            [0, 3],
            "The target physical qubits [0, 3] corresponding to virtual qubits [0, 1] are not connected.",
            ValueError,
        ),
    ]:
        with pytest.raises(error) as err:
            lay.select_layout(circuit(None, [], qubits=[0, 1]), target)
        assert str(err.value).startswith(msg)
    assert capsys.readouterr().out == ""
    qc = circuit(None, [("cx", 0, 1), ("cx", 2, 3)], qubits=[0, 1, 2, 3])
    assert lay.select_layout(qc, [0, 1, 3, 4], skip_split_qc=False).graph["normal_order"] == [0, 1, 3, 4]
    with pytest.raises(TypeError):
        lay.select_layout(qc, (0, 1))
    with pytest.raises(TypeError):
        lay.select_layout(qc, [], True, None)


def test_local_path_and_empty_circuits(capsys):
    lay = make([(i, i + 1) for i in range(6)])
    sub = lay.select_layout(circuit(None, [], qubits=[0, 1, 2]), use_chip_priority=False)
    assert len(sub.graph["normal_order"]) == 3 and "normal_order" in lay.source_graph.graph
    with pytest.raises(ValueError, match="^Local algorithm search layout Faild Wrong qubits error!$") as err:
        make([(0, 1)]).select_layout(circuit(None, [], qubits=[]), use_chip_priority=False)
    assert isinstance(err.value.__context__, ValueError)
    empty = make([(0, 1)]).select_layout(circuit(None, [], qubits=[]), use_chip_priority=False, skip_split_qc=False)
    assert list(empty.nodes) == [] and empty.graph["normal_order"] == []
    with pytest.raises(ValueError, match="^Local algorithm search layout Faild Unable to find"):
        make([(0, 1, 0.7)]).select_layout(circuit(None, [], qubits=[0, 1]), use_chip_priority=False)
