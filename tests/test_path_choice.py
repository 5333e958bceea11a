"""Which way each pass goes: an input of the package's exact types takes the fast path, a replaced
name or method sends the call along the reference path with the reason
recorded, and VEXAL_REFERENCE_PATHS=1 sends every call there, with the same
results as the fast paths give."""

import os
import subprocess
import sys

import networkx as nx
import pytest
from helpers import CORPUS, circuit, quiet

import vexal.circuit as package
from vexal.circuit import routing as R
from vexal.circuit import schedule as S
from vexal.circuit.routing import SabreRouting
from vexal.circuit.schedule import DynamicalDecoupling

GATES = [("h", 0), ("cx", 0, 2), ("rz", 0.3, 1), ("cx", 1, 2), ("x", 2), ("measure", [0, 1], [0, 1])]


def path_of(name):
    return package._paths[name]


@pytest.fixture
def reference_switch(monkeypatch):
    """Flips the package's switch; off to begin with, whatever the
    environment says."""

    def flip(on):
        monkeypatch.setattr(package, "_reference_paths", on)

    flip(False)
    return flip


def test_routing_paths(monkeypatch, reference_switch):
    def run():
        return quiet(SabreRouting(nx.path_graph(3)).run, circuit(3, GATES))[0].gates

    fast = run()
    assert path_of("SabreRouting") == ("fast", "")
    reference_switch(True)
    assert run() == fast and path_of("SabreRouting") == ("reference", "VEXAL_REFERENCE_PATHS is set")
    reference_switch(False)
    real = R.split_qubits
    monkeypatch.setattr(R, "split_qubits", lambda qc: real(qc))
    assert run() == fast
    assert path_of("SabreRouting") == ("reference", "split_qubits is not the package's own")
    monkeypatch.setattr(R, "split_qubits", real)

    class Scored(SabreRouting):
        def _heuristic_score(self, *args):
            return super()._heuristic_score(*args)

    quiet(Scored(nx.path_graph(3)).run, circuit(3, GATES))
    assert path_of("SabreRouting") == ("reference", "SabreRouting._heuristic_score is overridden")


def test_decoupling_paths(monkeypatch, reference_switch):
    def run(qc=None):
        return DynamicalDecoupling(3e-8, 6e-8).run(qc or circuit(3, GATES)).gates

    fast = run()
    assert path_of("DynamicalDecoupling") == ("fast", "")
    reference_switch(True)
    assert run() == fast and path_of("DynamicalDecoupling")[0] == "reference"
    reference_switch(False)

    class Odd(type(circuit(1, []))):
        pass

    qc = circuit(3, GATES)
    qc.__class__ = Odd
    assert run(qc) == fast
    assert path_of("DynamicalDecoupling")[0] == "DAG tier"
    monkeypatch.setattr(S.nx, "topological_generations", S.nx.topological_generations)  # same object: still ours
    run()
    assert path_of("DynamicalDecoupling") == ("fast", "")


PROGRAMS = [
    "small__adder_n10__adder_n10.qasm",
    "small__basis_trotter_n4__basis_test_n4.qasm",
    "small__qec_en_n5__qec_en_n5.qasm",
    "medium__qft_n18__qft_n18.qasm",
    "large__ising_n34__ising_n34.qasm",
    "small__qaoa_n6__qaoa_n6.qasm",
    "small__variational_n4__variational_n4.qasm",
]

CHILD = """
import json, os, sys, contextlib, io
from vexal.circuit.backend import Backend
from vexal.circuit.transpiler import Transpiler
import vexal.circuit as package
import numpy as np, random
out = []
chip = Backend.heavy_hex(2, 2)
for path in sys.argv[1:]:
    text = open(path).read()
    for level in (0, 1, 2):
        np.random.seed(5)
        random.seed(5)
        with contextlib.redirect_stdout(io.StringIO()) as printed:
            qc = Transpiler(chip).run(text, optimize_level=level, use_dd=True)
        out.append([os.path.basename(path), level, repr(qc.gates), qc.qubits, printed.getvalue()])
print(json.dumps([package._reference_paths, out]))
"""


@pytest.mark.not_under_sanitizer
def test_the_reference_switch_gives_the_same_transpilations():
    corpus_programs = [str(CORPUS / "supported" / name) for name in PROGRAMS]
    runs = {}
    for switch in ("0", "1"):
        env = dict(os.environ, VEXAL_REFERENCE_PATHS=switch)
        done = subprocess.run([sys.executable, "-c", CHILD, *corpus_programs], capture_output=True, text=True, env=env)
        assert done.returncode == 0, done.stderr
        runs[switch] = done.stdout
    assert '[false, ' in runs["0"] and '[true, ' in runs["1"]
    assert runs["0"].split(", ", 1)[1] == runs["1"].split(", ", 1)[1]


def test_dag_and_drawing_paths(monkeypatch, reference_switch):
    from vexal.circuit import dag as D
    from vexal.circuit import gatework as G

    qc = circuit(3, GATES)
    out = D.dag2qc(D.qc2dag(qc), 3, 3).gates
    assert path_of("qc2dag") == ("fast", "") and path_of("dag2qc") == ("fast", "")
    picture = G.add_gates_to_lines(3, 3, GATES, {})
    assert path_of("add_gates_to_lines") == ("fast", "")
    reference_switch(True)
    assert D.dag2qc(D.qc2dag(qc), 3, 3).gates == out and G.add_gates_to_lines(3, 3, GATES, {}) == picture
    for name in ("qc2dag", "dag2qc", "add_gates_to_lines", "format_gates_layerd", "generate_gates_layerd"):
        assert path_of(name) == ("reference", "VEXAL_REFERENCE_PATHS is set"), name
    reference_switch(False)
    real = G.initialize_lines
    monkeypatch.setattr(G, "initialize_lines", lambda *a: real(*a))
    assert G.add_gates_to_lines(3, 3, GATES, {}) == picture
    assert path_of("add_gates_to_lines") == ("reference", "initialize_lines is not the package's own")
    sort = D.nx.topological_sort
    monkeypatch.setattr(D.nx, "topological_sort", lambda g: sort(g))
    assert D.dag2qc(D.qc2dag(qc), 3, 3).gates == out
    assert path_of("dag2qc") == ("reference", "nx.topological_sort is not the package's own")


def test_decomposition_and_translation_paths(monkeypatch, reference_switch):
    from vexal.circuit import decompose as DEC
    from vexal.circuit import translate as TR

    gates = [("ccx", 0, 1, 2), ("cswap", 2, 0, 1), ("h", 0), ("rzz", 0.2, 0, 1), ("swap", 1, 2)]

    def runs():
        three = DEC.ThreeQubitGateDecompose().run(circuit(3, gates)).gates
        return three, quiet(TR.TranslateToBasisGates(True, "iswap").run, circuit(3, three))[0].gates

    fast = runs()
    assert path_of("ThreeQubitGateDecompose") == path_of("TranslateToBasisGates") == ("fast", "")
    reference_switch(True)
    assert runs() == fast
    assert path_of("ThreeQubitGateDecompose")[0] == path_of("TranslateToBasisGates")[0] == "reference"
    reference_switch(False)
    real = DEC.ccx_decompose
    monkeypatch.setattr(DEC, "ccx_decompose", lambda *a: real(*a))
    assert runs() == fast
    assert path_of("ThreeQubitGateDecompose") == ("reference", "ccx_decompose is not the package's own")


def test_compression_paths(monkeypatch, reference_switch):
    from vexal.circuit import optimize as O
    from vexal.circuit.optimize import GateCompressor
    from vexal.circuit.quantumcircuit import QuantumCircuit

    gates = [("h", 0), ("h", 0), ("rz", 0.2, 1), ("rz", 0.3, 1), ("cx", 0, 1), ("cx", 0, 1), ("u", 0.1, 0.2, 0.3, 2)]

    def run(qc=None):
        p = GateCompressor()
        return p.run(qc or circuit(3, gates)).gates, p._idx

    fast = run()
    assert path_of("GateCompressor") == ("fast", "")
    reference_switch(True)
    assert run() == fast and path_of("GateCompressor") == ("reference", "VEXAL_REFERENCE_PATHS is set")
    reference_switch(False)

    class Mine(QuantumCircuit):
        pass

    qc = circuit(3, gates)
    qc.__class__ = Mine
    assert run(qc) == fast
    assert path_of("GateCompressor")[0] == "DAG tier"
    real = O.u_mat
    monkeypatch.setattr(O, "u_mat", lambda *a: real(*a))
    assert run() == fast
    assert path_of("GateCompressor") == ("reference", "u_mat is not the package's own")


def test_layout_paths(monkeypatch, reference_switch):
    from layout_chips import eagle

    from vexal.circuit import layout as L
    from vexal.circuit.layout import Layout

    chip = eagle()
    qc = circuit(5, [("cx", 0, 1), ("cx", 1, 2), ("cx", 2, 3), ("cx", 3, 4)])
    criteria = {"key": "fidelity_var", "topology": "linear"}

    def choose():
        sub, printed = quiet(Layout(chip).select_layout, qc, [], False, criteria)
        return sub.graph["normal_order"], printed

    fast = choose()
    assert path_of("Layout") == ("fast", "")
    reference_switch(True)
    assert choose() == fast and path_of("Layout") == ("reference", "VEXAL_REFERENCE_PATHS is set")
    reference_switch(False)
    real = L.combinations
    monkeypatch.setattr(L, "combinations", lambda *a: real(*a))
    assert choose() == fast
    assert path_of("Layout")[0] == "reference"
