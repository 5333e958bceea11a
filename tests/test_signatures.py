"""Signatures and stubs: the package's functions read like Python functions."""

import importlib
import importlib.machinery
import inspect
import os
import pkgutil
import pydoc
import shutil
import subprocess
import sys
import types
from pathlib import Path

import networkx as nx
import pytest

import vexal.circuit as vc
from vexal.circuit import dag, gatework, keystage, routing

ROOT = Path(__file__).resolve().parent.parent
STUBGEN = ROOT / "tools" / "stubgen.py"


def extension_modules():
    for info in sorted(pkgutil.iter_modules(vc.__path__), key=lambda i: i.name):
        spec = importlib.util.find_spec(f"vexal.circuit.{info.name}")
        if isinstance(spec.loader, importlib.machinery.ExtensionFileLoader) and not info.name.startswith("_"):
            yield importlib.import_module(spec.name)


def own_functions():
    """Every function and method the extension modules define, with where it lives."""
    for m in extension_modules():
        for name, value in vars(m).items():
            if getattr(value, "__module__", None) != m.__name__:
                continue
            if isinstance(value, type):
                for key, member in vars(value).items():
                    if inspect.isroutine(member):
                        yield f"{name}.{key}", member
            elif inspect.isroutine(value):
                yield name, value


def twin(func):
    """A Python function with the same parameters, defaults and annotations."""
    code = func.__code__
    names = code.co_varnames[: code.co_argcount]
    ns = {}
    exec(f"def {func.__name__}({', '.join(names)}): pass", ns)
    py = ns[func.__name__]
    py.__defaults__ = func.__defaults__
    py.__annotations__ = dict(func.__annotations__)
    return py


FUNCTIONS = list(own_functions())


@pytest.mark.parametrize("func", [f for _, f in FUNCTIONS], ids=[n for n, _ in FUNCTIONS])
def test_signature_is_that_of_a_python_function(func):
    py = twin(func)
    assert inspect.signature(func) == inspect.signature(py)
    assert inspect.getfullargspec(func) == inspect.getfullargspec(py)
    assert str(inspect.signature(func)) in pydoc.render_doc(func)
    assert not inspect.iscoroutinefunction(func) and not inspect.isgeneratorfunction(func)


def test_signatures_read_the_current_defaults_and_annotations():
    f = dag.qc2dag
    assert str(inspect.signature(f)) == "(qc: \"'QuantumCircuit'\", show_qubits: 'bool' = True) -> \"'nx.DiGraph'\""
    hints = inspect.signature(f, eval_str=True)
    assert hints.parameters["show_qubits"].annotation is bool and hints.return_annotation == "nx.DiGraph"
    defaults, annotations = f.__defaults__, f.__annotations__
    try:
        f.__defaults__ = (False,)
        f.__annotations__ = {"qc": "object"}
        assert str(inspect.signature(f)) == "(qc: 'object', show_qubits=False)"
        f.__defaults__ = None
        assert str(inspect.signature(f)) == "(qc: 'object', show_qubits)"
    finally:
        f.__defaults__, f.__annotations__ = defaults, annotations
    assert str(inspect.signature(gatework.parse_openqasm2_to_gates)) == "(openqasm2_str)"
    assert f.__code__ is f.__code__ and f.__code__.co_qualname == "qc2dag"
    with pytest.raises(AssertionError):
        types.FunctionType(f.__code__, {})(1, 2)  # the code object states parameters; running it fails safely


def test_methods_bound_unbound_and_classes():
    unbound = inspect.signature(routing.SabreRouting._get_nodes)
    assert list(unbound.parameters) == ["self", "node", "query_type"]
    r = routing.SabreRouting(nx.path_graph(3))
    bound = inspect.signature(r._get_nodes)
    assert list(bound.parameters) == ["node", "query_type"]
    assert inspect.signature(routing.SabreRouting) == inspect.signature(r.__init__)
    assert list(inspect.signature(routing.SabreRouting).parameters)[:2] == ["subgraph", "initial_mapping"]
    assert str(inspect.signature(keystage.TranspilerPass)) == "()"

    class Sub(routing.SabreRouting):
        pass

    assert inspect.signature(Sub) == inspect.signature(routing.SabreRouting)
    text = pydoc.render_doc(routing.SabreRouting, renderer=pydoc.plaintext)
    assert "SabreRouting(subgraph: 'nx.Graph', initial_mapping:" in text
    assert "run(self, qc: 'QuantumCircuit')" in text


def stubgen(*args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(vc.__file__).parent.parent.parent), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, str(STUBGEN), *args], capture_output=True, text=True, env=env)


def test_stubs_match_the_built_modules():
    r = stubgen("--check")
    assert r.returncode == 0, r.stderr


@pytest.mark.not_under_sanitizer
def test_stub_check_names_what_is_wrong(tmp_path):
    for stub in (ROOT / "src" / "vexal" / "circuit").glob("*.pyi"):
        shutil.copy(stub, tmp_path)
    (tmp_path / "dag.pyi").unlink()
    (tmp_path / "matrix.pyi").write_text("def ket0(): ...\n")
    (tmp_path / "gone.pyi").write_text("")
    r = stubgen("--check", "--dir", str(tmp_path))
    assert r.returncode == 1
    assert "dag.pyi is missing; gone.pyi has no module; matrix.pyi is stale" in r.stderr
    assert "tools/stubgen.py" in r.stderr
    assert stubgen("--dir", str(tmp_path)).returncode == 0
    written = {p.name: p.read_text() for p in tmp_path.glob("*.pyi")}
    assert written == {p.name: p.read_text() for p in (ROOT / "src" / "vexal" / "circuit").glob("*.pyi")}
    stub = (tmp_path / "routing.pyi").read_text()
    assert "from vexal.circuit.keystage import TranspilerPass\n" in stub
    assert "def update_v2p_and_p2v_mapping(v2p: dict, swap_gate_info: tuple) -> tuple[dict, dict]: ..." in stub
    assert "one_qubit_gates_available" not in stub  # imported from gatework, declared there
