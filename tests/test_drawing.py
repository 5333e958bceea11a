"""Drawing a circuit DAG with Graphviz and a qubit graph with matplotlib."""

import struct

import networkx as nx
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from helpers import circuit  # noqa: E402

from vexal.circuit.dag import draw_dag, draw_graph, qc2dag, qc2graph  # noqa: E402


@pytest.fixture
def shown(monkeypatch):
    calls = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: calls.append(plt.gcf()))
    yield calls
    plt.close("all")


def png_info(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    dpi = None
    i = data.find(b"pHYs")
    if i >= 0:
        ppm = struct.unpack(">I", data[i + 4 : i + 8])[0]
        dpi = round(ppm * 0.0254)
    return len(data), width, height, dpi


def test_draw_dag_writes_default_file_and_labels(tmp_path, monkeypatch, shown):
    pytest.importorskip("pygraphviz")
    monkeypatch.chdir(tmp_path)
    made = []
    to_agraph = nx.nx_agraph.to_agraph
    monkeypatch.setattr(nx.nx_agraph, "to_agraph", lambda g: made.append(to_agraph(g)) or made[-1])

    qc = circuit(3, [("h", 0), ("cx", 0, 1), ("ccx", 0, 1, 2), ("measure", [0, 2], [1, 2])])
    dag = qc2dag(qc)
    before = (list(dag.nodes(data=True)), list(dag.edges(data=True)))
    assert draw_dag(dag) is None
    size, width, height, dpi = png_info(tmp_path / "dag_figure.png")
    # 300 dots per inch: about four times the pixels of Graphviz's 72 dpi default
    assert size > 20000 and width > 1000 and height > 1000 and dpi in (None, 300)
    assert len(shown) == 1 and shown[0].axes and not shown[0].axes[0].axison
    assert (list(dag.nodes(data=True)), list(dag.edges(data=True))) == before

    A = made[0]
    label = lambda n: A.get_node(n).attr["label"]
    assert label("q0") == "q0" and label("cx_1_[0, 1]") == "cx"
    assert label("measure_3_[0]") == "measure [c1]" and label("measure_4_[2]") == "measure [c2]"
    assert A.get_edge("cx_1_[0, 1]", "ccx_2_[0, 1, 2]").attr["label"] == "q0q1"
    assert A.get_edge("q2", "ccx_2_[0, 1, 2]").attr["label"] == "q2"
    assert A.graph_attr["dpi"] == "300"


def test_draw_dag_without_start_nodes_to_named_file(tmp_path, shown):
    pytest.importorskip("pygraphviz")
    out = tmp_path / "small.png"
    draw_dag(qc2dag(circuit(2, [("cx", 0, 1), ("h", 1)]), show_qubits=False), str(out))
    size, *_ = png_info(out)
    assert size > 1000 and len(shown) == 1


def test_draw_graph(shown):
    qc = circuit(4, [("cx", 0, 1), ("ccx", 0, 1, 2)])
    g = qc2graph(qc)
    assert draw_graph(g) is None
    fig = shown[0]
    assert tuple(fig.get_size_inches()) == (7.0, 6.0) and not fig.axes[0].axison
    assert list(g.nodes) == [0, 1, 2, 3]

    draw_graph(G=nx.Graph())
    assert len(shown) == 2 and tuple(shown[1].get_size_inches()) == (7.0, 6.0)


@pytest.mark.parametrize("name", ["dag.svg", "dag.PDF", "dag.dot"])
def test_draw_dag_writes_formats_the_image_reader_cannot_show(tmp_path, shown, name):
    pytest.importorskip("pygraphviz")
    out = tmp_path / name
    assert draw_dag(qc2dag(circuit(2, [("cx", 0, 1), ("h", 1)])), out) is None
    assert out.stat().st_size > 100 and shown == []
    draw_dag(qc2dag(circuit(1, [("h", 0)])), str(tmp_path / "small.jpg"))
    assert len(shown) == 1
