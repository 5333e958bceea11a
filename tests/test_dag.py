"""Circuit DAGs: qc2dag, dag2qc, the qubit-interaction graph and qubit groups."""

import random

import networkx as nx
import oracle
import pytest
from helpers import ANY_RECORDS, circuit, corpus, corpus_id, random_gates, wires

from vexal.circuit import dag as dagmod
from vexal.circuit import gatework
from vexal.circuit.dag import dag2qc, get_qcgraph_edges, qc2dag, qc2graph, split_qubits
from vexal.circuit.quantumcircuit import QuantumCircuit


def networkx_graph(qc, show_qubits=True):
    """The DAG loaded the ordinary networkx way."""
    nodes, edges = gatework.convert_gate_info_to_dag_info(qc.nqubits, qc.qubits, qc.gates, show_qubits)
    g = nx.DiGraph()
    g.add_nodes_from(nodes)
    g.add_edges_from(edges)
    g.graph["qubits"] = qc.qubits
    return g


def same_graph(a, b):
    # dict equality plus order of every inner dict
    assert a._node == b._node and list(a._node) == list(b._node)
    assert a._adj == b._adj and a._pred == b._pred
    for n in a._node:
        assert list(a._adj[n]) == list(b._adj[n]) and list(a._pred[n]) == list(b._pred[n])
        for m in a._adj[n]:
            assert a._adj[n][m] is a._pred[m][n]
    assert a.graph == b.graph and a.graph["qubits"] is b.graph["qubits"]


def normal(gates):
    """Records as dag2qc writes them: measures split, wires of barrier and delay as tuples."""
    out = []
    for g in gates:
        if g[0] == "measure":
            out += [("measure", [q], [c]) for q, c in zip(g[1], g[2])]
        elif g[0] == "barrier":
            out.append(("barrier", tuple(g[1])))
        elif g[0] == "delay":
            out.append(("delay", g[1], tuple(g[2])))
        else:
            out.append(g)
    return out


def assert_same_up_to_commuting(a, b):
    """Same gates, and on every wire the same gates in the same order."""
    a, b = normal(a), normal(b)
    assert sorted(map(repr, a)) == sorted(map(repr, b))
    per_wire = lambda gs: {w: [repr(g) for g in gs if w in wires(g)] for g in gs for w in wires(g)}
    assert per_wire(a) == per_wire(b)


# ---------------------------------------------------------------- qc2dag


def test_qc2dag_structure_and_orders():
    qc = circuit(3, [("h", 0), ("cx", 0, 1), ("ccx", 0, 1, 2), ("measure", [0, 1], [1, 0]), ("rzz", 0.3, 2, 0)])
    g = qc2dag(qc)
    assert type(g) is nx.DiGraph
    assert list(g.nodes) == [
        "q0",
        "q1",
        "q2",
        "h_0_[0]",
        "cx_1_[0, 1]",
        "ccx_2_[0, 1, 2]",
        "measure_3_[0]",
        "measure_4_[1]",
        "rzz_5_[2, 0]",
    ]
    assert g.nodes["measure_4_[1]"] == {"qubits": [1], "cbits": [0]}
    assert list(g.successors("ccx_2_[0, 1, 2]")) == ["measure_3_[0]", "measure_4_[1]", "rzz_5_[2, 0]"]
    assert list(g.predecessors("rzz_5_[2, 0]")) == ["ccx_2_[0, 1, 2]", "measure_3_[0]"]
    assert g.edges["ccx_2_[0, 1, 2]", "rzz_5_[2, 0]"] == {"qubit": [2]}
    assert g.graph == {"qubits": [0, 1, 2]} and g.graph["qubits"] is qc.qubits
    same_graph(g, networkx_graph(qc))


def test_qc2dag_matches_networkx_loading_on_random_circuits():
    rng = random.Random(7)
    for _ in range(150):
        n = rng.randint(1, 6)
        qc = circuit(
            n,
            random_gates(rng, n, rng.randint(0, 40), **ANY_RECORDS),
            qubits=sorted(rng.sample(range(n), rng.randint(0, n))),
        )
        for show in (True, False):
            same_graph(qc2dag(qc, show), networkx_graph(qc, show))


def test_qc2dag_show_qubits_truth_value():
    qc = circuit(2, [("cx", 0, 1)])
    assert "q0" not in qc2dag(qc, None) and "q0" not in qc2dag(qc, show_qubits=0)
    assert "q0" in qc2dag(qc, "yes")
    assert qc2dag.__annotations__ == {"qc": "'QuantumCircuit'", "show_qubits": "bool", "return": "'nx.DiGraph'"}


def test_qc2dag_uses_replaced_names(monkeypatch):
    qc = circuit(2, [("h", 0), ("cx", 0, 1)])
    calls = []

    def converter(nqubits, qubits, gates, show_qubits=True):
        calls.append(show_qubits)
        return gatework.convert_gate_info_to_dag_info(nqubits, qubits, gates, show_qubits)

    monkeypatch.setattr(dagmod, "convert_gate_info_to_dag_info", converter)
    g = qc2dag(qc, 1)
    assert calls == [True]
    same_graph(g, networkx_graph(qc))

    monkeypatch.setattr(dagmod, "convert_gate_info_to_dag_info", lambda *a, **k: (1, 2, 3))
    with pytest.raises(ValueError, match="too many values to unpack"):
        qc2dag(qc)


def test_qc2dag_with_graph_subclass(monkeypatch):
    class Tracked(nx.DiGraph):
        pass

    class FakeNx:
        DiGraph = Tracked

        def __getattr__(self, name):
            return getattr(nx, name)

    qc = circuit(2, [("h", 0), ("cx", 0, 1)])
    monkeypatch.setattr(dagmod, "nx", FakeNx())
    g = qc2dag(qc)
    assert type(g) is Tracked
    same_graph(g, networkx_graph(qc))


def test_qc2dag_refusals_and_circuit_untouched():
    qc = circuit(2, [("h", 0)])
    qc.qubits = (0, 1)
    with pytest.raises(TypeError, match="Argument 'qubits'"):
        qc2dag(qc)
    qc = circuit(2, [("h", 0), ("cx", 0, 2)])
    before = (list(qc.qubits), list(qc.gates))
    with pytest.raises(ValueError, match="out of range"):
        qc2dag(qc)
    with pytest.raises(ValueError, match="wrong gate type cu"):
        qc2dag(circuit(2, [("cu", 0.1, 0.2, 0.3, 0, 1)]))
    assert (qc.qubits, qc.gates) == before


# ---------------------------------------------------------------- dag2qc


def test_round_trip_random_circuits():
    rng = random.Random(99)
    for _ in range(150):
        n = rng.randint(1, 6)
        qc = circuit(n, random_gates(rng, n, rng.randint(0, 40), **ANY_RECORDS))
        for show in (True, False):
            g = qc2dag(qc, show)
            back = dag2qc(g, n, n)
            assert_same_up_to_commuting(back.gates, qc.gates)
            # records come in networkx's topological order
            order = [v for v in nx.topological_sort(g) if not v.startswith("q")]
            assert [r[0] for r in back.gates] == [v.split("_")[0] for v in order]


def test_dag2qc_records_and_shared_objects():
    qc = circuit(
        3,
        [
            ("measure", [1], [2]),
            ("barrier", (2, 0)),
            ("delay", 2e-8, (1,)),
            ("u", 1, 2, 3, 0),
            ("r", 4, 5, 1),
            ("cp", 0.5, 2, 1),
            ("reset", 0),
            ("cswap", 2, 1, 0),
        ],
    )
    g = qc2dag(qc)
    back = dag2qc(g)
    assert_same_up_to_commuting(back.gates, qc.gates)
    assert sorted(map(repr, back.gates)) == sorted(map(repr, qc.gates))
    m = g.nodes["measure_0_[1]"]
    assert back.gates[0][1] is m["qubits"] and back.gates[0][2] is m["cbits"]
    assert back.qubits is g.graph["qubits"] is qc.qubits
    assert (back.nqubits, back.ncbits) == (3, 3)


def test_dag2qc_sizes():
    qc = circuit(5, [("cx", 0, 1)], ncbits=7, qubits=[0, 1, 4])
    assert (dag2qc(qc2dag(qc)).nqubits, dag2qc(qc2dag(qc)).ncbits) == (5, 5)
    assert dag2qc(qc2dag(qc, False)).nqubits == 2
    assert (dag2qc(qc2dag(qc), 3.7).nqubits, dag2qc(qc2dag(qc), 3.7).ncbits) == (3, 3)
    assert dag2qc(qc2dag(qc), ncbits=9).ncbits == 9
    with pytest.raises(TypeError, match="Argument 'nqubits' has incorrect type"):
        dag2qc(qc2dag(qc), "3")
    # an empty circuit comes back empty, as large as the qubits it named
    assert dag2qc(qc2dag(circuit(2, []), False)).nqubits == 2
    assert dag2qc(qc2dag(QuantumCircuit(2, 2))).nqubits == 0
    import itertools

    # only a list or tuple of qubits sizes it: an endless iterator is not read, True is no qubit
    assert dag2qc(nx.DiGraph(qubits=itertools.count())).nqubits == 0
    assert dag2qc(nx.DiGraph(qubits=(True, 0))).nqubits == 1
    assert dag2qc(qc2dag(circuit(2, []), False), 2).gates == []
    assert dag2qc.__annotations__ == {
        "dag": "'nx.DiGraph'",
        "nqubits": "int | None",
        "ncbits": "int | None",
        "return": "'QuantumCircuit'",
    }


def test_dag2qc_foreign_nodes_and_errors():
    g = nx.DiGraph(qubits=[0, 1])
    g.add_node("q7", qubits=[7])
    g.add_node("cx_9_[0, 1]", qubits=[0, 1])
    g.add_node("mystery_1_[1]", qubits=[1])
    g.add_edge("cx_9_[0, 1]", "mystery_1_[1]")
    back = dag2qc(g)
    assert back.gates == [("cx", 0, 1)] and back.nqubits == 8
    g.add_edge("mystery_1_[1]", "cx_9_[0, 1]")
    with pytest.raises(nx.NetworkXUnfeasible):
        dag2qc(g)
    h = nx.DiGraph(qubits=[0])
    h.add_node("h_0_[0]")
    with pytest.raises(KeyError):
        dag2qc(h)


def test_dag2qc_uses_module_topological_sort(monkeypatch):
    g = qc2dag(circuit(2, [("h", 0), ("x", 1)]), False)

    class FakeNx:
        def __getattr__(self, name):
            return getattr(nx, name)

        @staticmethod
        def topological_sort(d):
            return ["x_1_[1]", "h_0_[0]"]

    monkeypatch.setattr(dagmod, "nx", FakeNx())
    assert dag2qc(g).gates == [("x", 1), ("h", 0)]


@pytest.mark.usefixtures("fast_paths_only")  # the fast path's order against networkx's, called
def test_dag2qc_fast_order_matches_networkx_on_edited_graphs(monkeypatch):
    # passes edit the DAG before dag2qc: nodes spliced between neighbours
    # (added last, edges out of node order), edges removed, int nodes mixed in
    rng = random.Random(5)
    cases = []
    for _ in range(60):
        n = rng.randint(1, 5)
        g = qc2dag(
            circuit(n, random_gates(rng, n, rng.randint(0, 30), **ANY_RECORDS)),
            rng.random() < 0.5,
        )
        for k in range(rng.randint(0, 8)):
            edges = list(g.edges(data=True))
            if not edges:
                break
            u, v, d = rng.choice(edges)
            w = f"x_{1000 + k}_[{d['qubit'][0]}]" if rng.random() < 0.8 else 7000 + k
            g.add_node(w, qubits=[d["qubit"][0]])
            if rng.random() < 0.7:
                g.remove_edge(u, v)
            g.add_edges_from([(w, v, {"qubit": d["qubit"][:1]}), (u, w, {"qubit": d["qubit"][:1]})])
        cases.append((n, g))
    fast = [dag2qc(g, n, n).gates for n, g in cases]

    class Proxy:  # networkx's own sort behind another name: the reference path
        def __getattr__(self, name):
            return getattr(nx, name)

        @staticmethod
        def topological_sort(d):
            return nx.topological_sort(d)

    monkeypatch.setattr(dagmod, "nx", Proxy())
    assert fast == [dag2qc(g, n, n).gates for n, g in cases]


def test_dag2qc_on_graph_subclass():
    class Sub(nx.DiGraph):
        pass

    g = Sub(qubits=[0])
    g.add_node("rx_0_[0]", qubits=[0], params=["t"])
    assert dag2qc(g).gates == [("rx", "t", 0)]


# ---------------------------------------------------------------- qubit groups


def test_pairs_and_groups():
    qc = circuit(3, [("h", 0), ("cx", 0, 1)])
    assert get_qcgraph_edges(qc.gates) == [(0, 1)]
    assert split_qubits(qc) == [[0, 1], [2]]
    assert get_qcgraph_edges(
        [
            ("ccx", 0, 1, 2),
            ("rzz", "a", 3, 5),
            ("measure", [0, 1], [0, 1]),
            ("barrier", (0, 4)),
            ("reset", 1),
            ("delay", 1e-9, (2,)),
        ]
    ) == [(0, 1), (1, 2), (3, 5)]
    assert split_qubits(circuit(3, [("ccz", 0, 1, 2)])) == [[0, 1, 2]]
    assert split_qubits(circuit(3, [("x", 0), ("barrier", (0, 1, 2))], qubits=[2, 0, 1])) == [[2], [0], [1]]
    assert split_qubits(circuit(0, [])) == []
    g = qc2graph(circuit(4, [("cx", 0, 1), ("cx", 1, 0), ("cx", 0, 1), ("h", 2)], qubits=[0, 3]))
    assert list(g.nodes) == [0, 3, 1] and list(g.edges) == [(0, 1)]
    assert type(g) is nx.Graph
    assert split_qubits(circuit(4, [("cx", 0, 1), ("h", 2)], qubits=[0, 3])) == [[0, 1], [3]]


def test_split_qubits_matches_networkx_components():
    # wide, scattered qubit numbers make set order differ from sorted order
    rng = random.Random(7)
    for case in range(300):
        pool = rng.sample(range(2000), rng.randint(1, 40))
        qubits = rng.sample(pool, rng.randint(0, len(pool)))
        gates = []
        for _ in range(rng.randint(0, 40)):
            k = rng.random()
            if k < 0.3:
                gates.append(("h", rng.choice(pool)))
            elif k < 0.6 and len(pool) > 1:
                gates.append(("cx", *rng.sample(pool, 2)))
            elif k < 0.75 and len(pool) > 1:
                gates.append(("rzz", 0.5, *rng.sample(pool, 2)))
            elif k < 0.85 and len(pool) > 2:
                gates.append(("ccx", *rng.sample(pool, 3)))
            else:
                gates.append(("measure", [rng.choice(pool)], [0]))
        qc = circuit(2000, gates, qubits=qubits)
        expected = [list(c) for c in nx.connected_components(qc2graph(qc))]
        assert split_qubits(qc) == expected, case


def test_wrong_gate_type():
    with pytest.raises(ValueError, match="^wrong gate type cu$"):
        get_qcgraph_edges([("cx", 0, 1), ("cu", 0.1, 0.2, 0.3, 0, 1)])
    with pytest.raises(ValueError, match="^wrong gate type cu$"):
        split_qubits(circuit(2, [("cu", 0.1, 0.2, 0.3, 0, 1)]))


def test_split_qubits_uses_module_qc2graph(monkeypatch):
    g = nx.Graph()
    g.add_edge(5, 6)
    monkeypatch.setattr(dagmod, "qc2graph", lambda qc: g)
    assert split_qubits(None) == [[5, 6]]


def test_module_frame():
    names = [k for k, v in vars(dagmod).items() if callable(v) and getattr(v, "__module__", "") == dagmod.__name__]
    assert names == ["draw_dag", "qc2dag", "dag2qc", "get_qcgraph_edges", "qc2graph", "split_qubits", "draw_graph"]
    assert dagmod.nx is nx and dagmod.QuantumCircuit is QuantumCircuit
    assert dagmod.convert_gate_info_to_dag_info is gatework.convert_gate_info_to_dag_info
    assert dagmod.functional_gates_available is gatework.functional_gates_available
    with pytest.raises(TypeError):
        split_qubits()
    with pytest.raises(TypeError):
        qc2dag(circuit(1, [], qubits=[]), True, 3)


# ---------------------------------------------------------------- real circuits


MEDIUM = ("medium__bv_n19__bv_n19.qasm", "medium__qft_n18__qft_n18.qasm", "medium__seca_n11__seca_n11.qasm")


@pytest.mark.parametrize("path", corpus("small__*.qasm") + [p for p in corpus() if p.name in MEDIUM], ids=corpus_id)
def test_corpus_round_trip(path):
    gates, qubits_used, _ = gatework.parse_openqasm2_to_gates(path.read_text())
    n = max([max(wires(g), default=-1) for g in gates] + [max(qubits_used, default=-1)]) + 1
    qc = circuit(n, list(gates), qubits=sorted(qubits_used))
    for show in (True, False):
        back = dag2qc(qc2dag(qc, show), n, n)
        assert_same_up_to_commuting(back.gates, qc.gates)
    if n <= 8:
        u = oracle.circuit_unitary(back.gates, n, ignore_nonunitary=True)
        v = oracle.circuit_unitary(qc.gates, n, ignore_nonunitary=True)
        assert oracle.equal_up_to_phase(u, v)


def test_qc2dag_fast_path_is_taken(monkeypatch):
    # the package's own converter is used without the numpy round trip, so
    # the comparisons with networkx's loading above exercise the direct fill
    import vexal.circuit as package

    monkeypatch.setattr(package, "_reference_paths", False)  # the fast path is what is tested
    monkeypatch.setattr(gatework, "np", None)
    qc = circuit(2, [("h", 0), ("cx", 0, 1)])
    same_graph(qc2dag(qc), g_ref(qc))


def g_ref(qc):
    g = nx.DiGraph()
    g.add_nodes_from(
        [
            ("q0", {"qubits": [0]}),
            ("q1", {"qubits": [1]}),
            ("h_0_[0]", {"qubits": [0]}),
            ("cx_1_[0, 1]", {"qubits": [0, 1]}),
        ]
    )
    g.add_edges_from(
        [
            ("q0", "h_0_[0]", {"qubit": [0]}),
            ("h_0_[0]", "cx_1_[0, 1]", {"qubit": [0]}),
            ("q1", "cx_1_[0, 1]", {"qubit": [1]}),
        ]
    )
    g.graph["qubits"] = qc.qubits
    return g


def test_collector_state_is_kept():
    import gc

    qc = circuit(2, [("h", 0), ("cx", 0, 1)])
    bad = circuit(2, [("h", 0), ("cx", 0, 5)])
    assert gc.isenabled()
    qc2dag(qc)
    with pytest.raises(ValueError):
        qc2dag(bad)
    assert gc.isenabled()
    gc.disable()
    try:
        qc2dag(qc)
        with pytest.raises(ValueError):
            gatework.convert_gate_info_to_dag_info(2, [], bad.gates)
        assert not gc.isenabled()
    finally:
        gc.enable()
