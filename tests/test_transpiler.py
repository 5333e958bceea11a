"""The transpiler driver: input forms, pass lists by level, the chain without a
chip, decoupling set-up, and whole transpilations of the corpus programs
checked against the input under the layout and routing permutations."""

import os
import re

import networkx as nx
import oracle
import pytest
from helpers import circuit, corpus, corpus_id, quiet, read_program, routing_table
from layout_chips import eagle

from vexal.circuit import transpiler as T
from vexal.circuit.backend import Backend
from vexal.circuit.dag import split_qubits
from vexal.circuit.quantumcircuit import QuantumCircuit
from vexal.circuit.transpiler import Transpiler

WARNING = "Warning: No chip specified, defaulting to a linearly connected layout for simulation."
TWO_QUBIT = {"cx", "cnot", "cy", "cz", "swap", "iswap", "rxx", "ryy", "rzz", "cp"}
KEEP = {"measure", "barrier", "reset", "delay"}


class Recorder:
    """Stands in for a pass class in the driver's namespace: records how it was
    made and hands the circuit on unchanged."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def __call__(self, *args, **kwargs):
        self.log.append((self.name, args, kwargs))
        return self

    def run(self, qc):
        return qc


@pytest.fixture
def recorded(monkeypatch):
    log = []
    for name in ("ThreeQubitGateDecompose", "SabreRouting", "TranslateToBasisGates", "GateCompressor"):
        monkeypatch.setattr(T, name, Recorder(log, name))
    return log


# ---------------------------------------------------------------- the driver


def test_input_forms_and_refusals():
    text = "OPENQASM 2.0;\nqreg q[2];\nh q[0];\ncx q[0],q[1];\n"
    from_text, _ = quiet(Transpiler().run, text)
    from_circuit, _ = quiet(Transpiler().run, QuantumCircuit().from_openqasm2(text))
    from_morvo, _ = quiet(Transpiler().run, [("H", "Q0"), ("Cnot", ("Q0", "Q1"))])
    assert from_text.gates == from_circuit.gates
    assert [g[0] for g in from_morvo.gates] == [g[0] for g in from_text.gates]
    for bad, shown in (((), "<class 'tuple'>"), ({}, "<class 'dict'>"), (None, "<class 'NoneType'>")):
        with pytest.raises(TypeError) as err:
            Transpiler().run(bad)
        assert str(err.value) == f"Expected a Vexal QuantumCircuit or OpenQASM 2.0 or morvo, but got a {shown}."


def test_target_qubits_must_be_a_list_before_anything_happens(capsys):
    for bad in (None, (0, 1)):
        with pytest.raises(TypeError, match="target_qubits"):
            Transpiler().run(42, target_qubits=bad)
    assert capsys.readouterr().out == ""


def test_chain_without_a_chip(recorded):
    qc = circuit(6, [("cx", 3, 0), ("cx", 0, 5)], qubits=[3, 0, 5])
    t = Transpiler()
    _, printed = quiet(t.run, qc)
    assert printed == WARNING + "\n"
    assert (t.two_qubit_gate_basis, t.convert_single_qubit_gate_to_u) == ("cx", False)
    subgraph = recorded[1][1][0]
    assert list(subgraph.edges()) == [(0, 3), (3, 5)]
    assert subgraph.graph["normal_order"] is qc.qubits
    assert [name for name, _, _ in recorded] == [
        "ThreeQubitGateDecompose",
        "SabreRouting",
        "TranslateToBasisGates",
        "GateCompressor",
    ]
    assert recorded[2][2] == {"convert_single_qubit_gate_to_u": False, "two_qubit_gate_basis": "cx"}


def test_an_empty_circuit_comes_back_empty():
    from vexal.circuit.decompose import ThreeQubitGateDecompose
    from vexal.circuit.optimize import GateCompressor
    from vexal.circuit.routing import SabreRouting
    from vexal.circuit.schedule import DynamicalDecoupling
    from vexal.circuit.translate import TranslateToBasisGates

    empty_text = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\n'
    chain = nx.Graph()
    chain.graph["normal_order"] = []
    for p in (ThreeQubitGateDecompose(), TranslateToBasisGates(), GateCompressor(), SabreRouting(chain),
              DynamicalDecoupling(3e-8, 6e-8)):  # fmt: skip
        assert quiet(p.run, QuantumCircuit(2, 2))[0].gates == []
    for chip in (None, Backend.heavy_hex(1, 1)):
        for level in (0, 1, 2):
            for given in (QuantumCircuit(2, 2), empty_text, []):
                out = quiet(Transpiler(chip).run, given, optimize_level=level, use_dd=chip is not None)[0]
                assert (out.gates, out.qubits) == ([], [])


def test_one_qubit_circuit_without_a_chip():
    qc = circuit(1, [("h", 0), ("x", 0)])
    out, printed = quiet(Transpiler().run, qc)
    assert printed.startswith(WARNING)
    oracle.assert_equivalent(qc.gates, out.gates, 1)


def test_levels_choose_the_routing_options(recorded):
    qc = circuit(2, [("cx", 0, 1)])
    expected = {
        0: {"initial_mapping": "trivial", "do_random_choice": False, "iterations": 1},
        1: {"initial_mapping": "trivial", "do_random_choice": False, "iterations": 7},
        2: {"initial_mapping": "random", "do_random_choice": True, "iterations": 7},
    }
    for level, kwargs in expected.items():
        recorded.clear()
        quiet(Transpiler().run, qc, optimize_level=level, niter=7)
        names = [name for name, _, _ in recorded]
        assert ("GateCompressor" in names) == (level > 0)
        routing = next(entry for entry in recorded if entry[0] == "SabreRouting")
        assert routing[2] == kwargs
    for equal_to_one in (True, 1.0):
        recorded.clear()
        quiet(Transpiler().run, qc, optimize_level=equal_to_one)
        assert recorded[1][2]["iterations"] == 5


def test_a_refused_niter_is_named_niter():
    """The routing refuses the value the driver passes as its iterations; the
    caller wrote niter, and so does the message.  At level 0 niter is unused."""
    qc = circuit(2, [("cx", 0, 1)])
    for niter, exc, message in [
        (0, ValueError, "niter must be at least 1, got 0."),
        (10001, ValueError, "niter must be at most 10000, got 10001."),
        ("5", TypeError, "Argument 'niter' has incorrect type (expected int, got str)"),
    ]:
        for level in (1, 2):
            with pytest.raises(exc) as e:
                quiet(Transpiler().run, qc, optimize_level=level, niter=niter)
            assert str(e.value) == message
        assert quiet(Transpiler().run, qc, optimize_level=0, niter=niter)[0].gates
    # the pass used directly keeps its own name
    with pytest.raises(ValueError, match="^iterations must be at least 1, got 0.$"):
        T.SabreRouting(nx.path_graph(2), iterations=0)


def test_unsupported_levels_are_refused_after_the_set_up():
    qc = circuit(2, [("cx", 0, 1)])
    for level in (3, "1", None):
        t = Transpiler()
        with pytest.raises(ValueError, match="Currently, only optimize_level values of 0 or 1 or 2 are supported."):
            quiet(t.run, qc, optimize_level=level)
        assert t.two_qubit_gate_basis == "cx"


def test_level_two_refuses_separable_circuits():
    qc = circuit(2, [("h", 0), ("x", 1)])
    assert len(split_qubits(qc)) == 2
    with pytest.raises(ValueError, match="restricted to 0 or 1"):
        quiet(Transpiler().run, qc, optimize_level=2)
    for level in (0, 1):
        out, _ = quiet(Transpiler().run, qc, optimize_level=level)
        oracle.assert_equivalent(qc.gates, out.gates, 2)


class NoLengths:
    """A chip whose calibration lacks the two-qubit gate length."""

    def __init__(self, backend):
        self.backend = backend

    def __getattr__(self, name):
        if name == "chip_info":
            return {"global_info": {"one_qubit_gate_length": 3e-8}}
        return getattr(self.backend, name)


class Interrupted(NoLengths):
    def __getattr__(self, name):
        if name == "chip_info":
            raise KeyboardInterrupt
        return getattr(self.backend, name)


def test_decoupling_set_up():
    qc = circuit(3, [("h", 0), ("cx", 0, 1), ("cx", 1, 2), ("x", 0)])
    without_dd, printed = quiet(Transpiler().run, qc)
    with_dd, printed_dd = quiet(Transpiler().run, qc, use_dd=True)
    assert with_dd.gates == without_dd.gates and printed_dd == printed

    chip = Backend.line(3)
    without_dd, _ = quiet(Transpiler(chip).run, qc)
    missing, _ = quiet(Transpiler(NoLengths(chip)).run, qc, use_dd=True)
    assert missing.gates == without_dd.gates
    decoupled, _ = quiet(Transpiler(chip).run, qc, use_dd=True)
    assert any(g[0] == "delay" for g in decoupled.gates)
    # only ordinary errors are passed over while decoupling is set up
    with pytest.raises(KeyboardInterrupt):
        quiet(Transpiler(Interrupted(chip)).run, qc, use_dd=True)


def test_default_target_list_is_shared_and_untouched(monkeypatch):
    seen = []

    class FakeLayout:
        def __init__(self, backend):
            pass

        def select_layout(self, qc, target_qubits, use_chip_priority, select_criteria):
            seen.append((target_qubits, use_chip_priority, select_criteria))
            g = nx.Graph([(0, 1)])
            g.graph["normal_order"] = [0, 1]
            return g

    monkeypatch.setattr(T, "Layout", FakeLayout)
    t = Transpiler(Backend.line(2))
    for _ in range(2):
        quiet(t.run, circuit(2, [("cx", 0, 1)]))
    assert seen[0][0] is seen[1][0] == []
    assert seen[0][1:] == (True, {"key": "fidelity_var", "topology": "linear"})
    assert seen[0][2] is not seen[1][2]


# ---------------------------------------------------------------- whole runs


def corpus_circuits(max_qubits=None, min_qubits=0):
    """The corpus circuits with more than min_qubits and at most max_qubits qubits in use."""
    out = []
    for path in corpus():
        qc = read_program(path)
        if min_qubits < len(qc.qubits) and (max_qubits is None or len(qc.qubits) <= max_qubits):
            out.append(pytest.param(qc, id=corpus_id(path)))
    return out


def check_transpiled(qc, out, printed, coupling, basis, on_chip):
    _, best, final = routing_table(printed)
    physical = sorted(set(best.values()))
    for rec in out.gates:
        if rec[0] in KEEP:
            continue
        wires = rec[-2:] if rec[0] in TWO_QUBIT else rec[-1:]
        assert set(wires) <= set(physical), rec
        if rec[0] in TWO_QUBIT:
            assert rec[0] == basis and coupling.has_edge(*wires), rec
        elif on_chip:
            assert rec[0] == "u", rec
        else:
            assert len(rec) >= 2
    place = {p: i for i, p in enumerate(physical)}
    unitary = [r for r in qc.gates if r[0] not in KEEP]
    result = oracle.permute_qubits([r for r in out.gates if r[0] not in KEEP], place)
    oracle.assert_equivalent_routed(
        unitary,
        result,
        len(physical),
        {v: place[p] for v, p in best.items()},
        {v: place[p] for v, p in final.items()},
        params_value=qc.params_value,
    )


CHIP = eagle()


@pytest.mark.parametrize("qc", corpus_circuits(max_qubits=10))
def test_small_corpus_programs_end_to_end(qc):
    separable = len(split_qubits(qc)) > 1
    chain = nx.path_graph(sorted(qc.qubits))
    for level in (0, 1) if separable else (0, 1, 2):
        out, printed = quiet(Transpiler().run, qc, optimize_level=level)
        check_transpiled(qc, out, printed, chain, "cx", on_chip=False)
    for basis in ("cz", "cx", "iswap"):
        chip = Backend(CHIP.qubits_fidelity, CHIP.couplers_fidelity, two_qubit_gate_basis=basis)
        for level in (0, 1) if separable else (0, 1, 2):
            out, printed = quiet(Transpiler(chip).run, qc, optimize_level=level)
            check_transpiled(qc, out, printed, chip.edge_filtered_graph(), basis, on_chip=True)


@pytest.mark.parametrize("qc", corpus_circuits(min_qubits=10))
@pytest.mark.usefixtures("fast_paths_only")  # sizes the reference paths would take hours over
def test_larger_corpus_programs_on_a_large_chip(qc):
    chip = Backend.heavy_hex(8, 9, seed=3)
    coupling = chip.edge_filtered_graph()
    out, _ = quiet(Transpiler(chip).run, qc)
    for rec in out.gates:
        if rec[0] in TWO_QUBIT:
            assert rec[0] == "cz" and coupling.has_edge(*rec[-2:]), rec
        elif rec[0] not in KEEP:
            assert rec[0] == "u", rec


@pytest.mark.not_under_sanitizer
def test_readme_example_runs(capsys):
    path = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "transpile.py")
    example = {"__name__": "example", "__file__": path}
    with open(path) as f:
        exec(compile(f.read(), path, "exec"), example)
    example["main"](os.path.join(os.path.dirname(path), "data", "qft_n18.qasm"))
    printed = capsys.readouterr().out
    assert "swap gates have been added" in printed and "physical qubits used" in printed
    assert "q[" in printed.rsplit("first gates of the result", 1)[1]


def test_a_gate_on_a_qubit_the_circuit_does_not_list_is_refused_by_name():
    chip = Backend.line(4)
    for qubits, missing in (([], "('h', 0) uses qubit 0"), ([0], "('measure', [0, 1], [0, 1]) uses qubit 1")):
        qc = circuit(3, [("h", 0), ("measure", [0, 1], [0, 1])], ncbits=2, qubits=qubits)
        for backend in (None, chip):
            with pytest.raises(ValueError, match=re.escape(f"gate record {missing}, which the circuit's qubits")):
                quiet(Transpiler(backend).run, qc)
    # a malformed record is left to the passes, which name it in their own words
    qc = circuit(3, [("h", 0)], qubits=[0])
    qc.gates.append(("cx", 0))
    with pytest.raises(ValueError, match="malformed gate record"):
        quiet(Transpiler().run, qc)
