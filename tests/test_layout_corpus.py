"""select_layout for the corpus circuits on a 127-qubit heavy-hex chip."""

import contextlib
import io
import pathlib

import networkx as nx
import numpy as np
import pytest
from layout_chips import eagle

from vexal.circuit.layout import Layout
from vexal.circuit.quantumcircuit import QuantumCircuit

DATA = pathlib.Path(__file__).parent / "data" / "qasmbench" / "supported"


def corpus_circuits(limit=30):
    for path in sorted(DATA.glob("*.qasm")):
        try:
            qc = QuantumCircuit().from_openqasm2(path.read_text())
        except (ValueError, KeyError):
            continue  # the few programs the reader refuses are its tests' business
        if len(qc.qubits) <= limit:
            yield path.name, qc


CHIP = eagle(seed=17)


@pytest.mark.parametrize("name,qc", list(corpus_circuits()), ids=lambda v: v if isinstance(v, str) else "")
def test_corpus_layouts(name, qc):
    lay = Layout(CHIP)
    np.random.seed(1)
    with contextlib.redirect_stdout(io.StringIO()):
        sub = lay.select_layout(qc)
    order = sub.graph["normal_order"]
    n = len(qc.qubits)
    chip = CHIP.edge_filtered_graph()
    assert len(order) == n == len(set(order)) and all(type(q) is int and q in chip for q in order)
    assert set(sub.nodes) == set(order) and (n == 1 or nx.is_connected(sub))
    fids = [CHIP.couplers_fidelity[(min(u, v), max(u, v))] for u, v in sub.edges]
    assert all(f >= 0.6 for f in fids)
    if 2 <= n <= lay.algorithm_switch_threshold:
        # the local search keeps only sets whose couplers average the threshold
        assert np.mean(fids) >= lay.fidelity_mean_threshold
