"""Chips for the layout tests: a backend double over any networkx graph and
the chips the tests draw at random."""

import random

import networkx as nx

from vexal.circuit.backend import Backend


class GraphBackend:
    """A backend that hands out copies of one graph (nodes and couplers in
    the graph's own order, fidelities as they stand)."""

    def __init__(self, graph, priority_qubits=None):
        self.graph = graph
        self.priority_qubits = [] if priority_qubits is None else priority_qubits

    def edge_filtered_graph(self, thres=0.6):
        g = nx.Graph()
        g.add_nodes_from(self.graph.nodes(data=True))
        g.add_edges_from((u, v, d) for u, v, d in self.graph.edges(data=True) if d.get("fidelity", 1.0) >= thres)
        return g


def graph_of(edges, nodes=None, fidelity=0.95, node_fidelity=0.99):
    g = nx.Graph()
    for q in nodes if nodes is not None else sorted({q for e in edges for q in e[:2]}):
        g.add_node(q, fidelity=node_fidelity)
    for e in edges:
        f = e[2] if len(e) > 2 else fidelity
        g.add_edge(e[0], e[1], fidelity=f)
    return g


def eagle(seed=0):
    """A 127-qubit heavy-hex chip: 6 rows of 3 hexagons, with a pendant qubit
    at the free end of the first and of the last chain."""
    base = Backend.heavy_hex(6, 3, seed=seed)
    rng = random.Random(seed + 1)
    couplers = dict(base.couplers_fidelity)
    couplers[(0, 125)] = round(rng.uniform(0.90, 0.99), 6)
    couplers[(124, 126)] = round(rng.uniform(0.90, 0.99), 6)
    qubits = dict(base.qubits_fidelity)
    qubits[125] = round(rng.uniform(0.97, 0.999), 6)
    qubits[126] = round(rng.uniform(0.97, 0.999), 6)
    return Backend(qubits, couplers, name="heavy-hex-127")


def random_chip(rng):
    """A small chip: a grid or a heavy-hex fragment, relabelled sparsely and
    in shuffled order, with random fidelities, some qubits removed and some
    couplers below the filter."""
    kind = rng.choice(["grid", "hex", "random"])
    if kind == "grid":
        g = nx.convert_node_labels_to_integers(nx.grid_2d_graph(rng.randint(2, 4), rng.randint(2, 5)))
    elif kind == "hex":
        hexes = Backend.heavy_hex(1, rng.randint(1, 2)).edge_filtered_graph()
        g = nx.Graph(hexes.edges())
    else:
        n = rng.randint(4, 14)
        g = nx.gnm_random_graph(n, rng.randint(n - 1, 2 * n), seed=rng.randrange(10**6))
    labels = rng.sample(range(3 * g.number_of_nodes() + 40), g.number_of_nodes())
    mapping = dict(zip(g.nodes(), labels))
    nodes = list(g.nodes())
    rng.shuffle(nodes)
    for q in rng.sample(nodes, rng.randint(0, max(0, len(nodes) // 5))):
        nodes.remove(q)
    h = nx.Graph()
    for q in nodes:
        h.add_node(mapping[q], fidelity=round(rng.uniform(0.95, 0.999), 4))
    edges = [e for e in g.edges() if e[0] in nodes and e[1] in nodes]
    rng.shuffle(edges)
    for u, v in edges:
        f = round(rng.uniform(0.5, 1.0), 3) if rng.random() < 0.2 else round(rng.uniform(0.86, 0.999), 4)
        if rng.random() < 0.5:
            u, v = v, u
        h.add_edge(mapping[u], mapping[v], fidelity=f)
    return h
