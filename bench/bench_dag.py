"""Circuit DAG construction speed: convert_gate_info_to_dag_info and qc2dag
against the cost of networkx alone loading the same node and edge lists into
an empty DiGraph (the floor), plus dag2qc.

Usage: python bench/bench_dag.py [max_gates]   (default 1000000)
"""

import gc
import random
import sys
import tracemalloc

import networkx as nx
from timing import best_of

from vexal.circuit.dag import dag2qc, qc2dag
from vexal.circuit.gatework import convert_gate_info_to_dag_info
from vexal.circuit.quantumcircuit import QuantumCircuit

NQ = 20


def make_circuit(ngates, seed=0):
    rng = random.Random(seed)
    gates = []
    for _ in range(ngates):
        r = rng.random()
        if r < 0.45:
            gates.append((rng.choice(["h", "x", "t", "sx"]), rng.randrange(NQ)))
        elif r < 0.6:
            gates.append(("rz", rng.random(), rng.randrange(NQ)))
        elif r < 0.9:
            gates.append(("cx", *rng.sample(range(NQ), 2)))
        elif r < 0.95:
            gates.append(("ccx", *rng.sample(range(NQ), 3)))
        elif r < 0.98:
            q = rng.randrange(NQ)
            gates.append(("measure", [q], [q]))
        else:
            gates.append(("barrier", tuple(rng.sample(range(NQ), 4))))
    qc = QuantumCircuit(NQ, NQ)
    qc.qubits = list(range(NQ))
    qc.gates = gates
    return qc


def peak_bytes(fn):
    gc.collect()
    tracemalloc.start()
    out = fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del out
    return peak


def main():
    top = int(sys.argv[1]) if len(sys.argv) > 1 else 10**6
    sizes = [n for n in (10**3, 10**4, 10**5, 10**6) if n <= top]
    head = (
        "gates",
        "lists us/g",
        "qc2dag us/g",
        "nx floor us/g",
        "qc2dag/floor",
        "dag2qc us/g",
        "lists B/g",
        "qc2dag B/g",
    )
    print(" ".join(f"{h:>13}" for h in head))
    for n in sizes:
        qc = make_circuit(n)
        repeat = 5 if n <= 10**4 else 3 if n <= 10**5 else 1
        t_lists, arrays = best_of(lambda: convert_gate_info_to_dag_info(qc.nqubits, qc.qubits, qc.gates), repeat)
        nodes = [tuple(r) for r in arrays[0]]
        edges = [tuple(r) for r in arrays[1]]
        del arrays

        def floor():
            g = nx.DiGraph()
            g.add_nodes_from(nodes)
            g.add_edges_from(edges)
            return g

        t_floor, g = best_of(floor, repeat)
        del g
        t_dag, g = best_of(lambda: qc2dag(qc), repeat)
        t_back, _ = best_of(lambda: dag2qc(g, qc.nqubits, qc.ncbits), repeat)
        del g, nodes, edges
        m_lists = peak_bytes(lambda: convert_gate_info_to_dag_info(qc.nqubits, qc.qubits, qc.gates))
        m_dag = peak_bytes(lambda: qc2dag(qc))
        us = 1e6 / n
        row = (n, t_lists * us, t_dag * us, t_floor * us, t_dag / t_floor, t_back * us, m_lists / n, m_dag / n)
        print(
            f"{row[0]:>13} "
            + " ".join(f"{v:>13.3f}" for v in row[1:6])
            + " "
            + " ".join(f"{v:>13.0f}" for v in row[6:])
        )
        sys.stdout.flush()


if __name__ == "__main__":
    main()
