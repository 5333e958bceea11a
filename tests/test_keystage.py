"""The pass interface and the function objects of the interop layer."""

import abc
import pickle

import pytest

import vexal.circuit.keystage as ks
from vexal.circuit.keystage import TranspilerPass
from vexal.circuit.quantumcircuit import QuantumCircuit


def test_module_and_class_frame():
    assert ks.__doc__ == (
        "This module contains the TranspilerPass class, an abstract base class for defining transpiler "
        "passes that transform or optimize quantum circuits. Subclasses must implement the run method "
        "to process QuantumCircuit objects.\n"
    )
    assert ks.ABC is abc.ABC and ks.abstractmethod is abc.abstractmethod
    assert ks.QuantumCircuit is QuantumCircuit
    assert TranspilerPass.__bases__ == (abc.ABC,)
    assert type(TranspilerPass) is abc.ABCMeta
    assert TranspilerPass.__module__ == "vexal.circuit.keystage"
    assert TranspilerPass.__doc__ == (
        "Abstract base class for defining transpiler passes that transform or optimize quantum circuits.\n    "
    )
    assert TranspilerPass.__abstractmethods__ == frozenset({"run"})


def test_methods_carry_python_function_attributes():
    run = TranspilerPass.run
    assert run.__name__ == "run" and run.__qualname__ == "TranspilerPass.run"
    assert run.__module__ == "vexal.circuit.keystage"
    assert run.__annotations__ == {"qc": "QuantumCircuit"}
    assert run.__defaults__ is None
    assert run.__doc__ == (
        "Execute the transpiler pass on a quantum circuit.\n\n        Args:\n"
        "            qc (QuantumCircuit): The quantum circuit to be processed by this transpiler pass.\n        "
    )
    assert run.__isabstractmethod__ is True
    init = TranspilerPass.__init__
    assert init.__qualname__ == "TranspilerPass.__init__" and init.__doc__ is None
    assert pickle.loads(pickle.dumps(run)) is run
    assert repr(run).startswith("<function TranspilerPass.run at ")


def test_abstract_and_subclass():
    with pytest.raises(TypeError):
        TranspilerPass()

    class Incomplete(TranspilerPass):
        pass

    with pytest.raises(TypeError):
        Incomplete()

    class Identity(TranspilerPass):
        def __init__(self):
            assert super().__init__() is None

        def run(self, qc):
            return qc

    p = Identity()
    qc = QuantumCircuit(2, 0)
    assert isinstance(p, TranspilerPass)
    assert p.run(qc) is qc
    assert TranspilerPass.run(p, qc) is None  # the base run does nothing
    assert TranspilerPass.run(p, qc=qc) is None
    bound = p.__init__  # a subclass's own method, but the base one binds too
    assert TranspilerPass.__init__.__get__(p, Identity)() is None
    assert bound() is None


def test_argument_errors():
    class P(TranspilerPass):
        def run(self, qc):
            return qc

    p = P()
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"):
        TranspilerPass.__init__(p, 1)
    with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'x'$"):
        TranspilerPass.__init__(p, x=1)
    with pytest.raises(TypeError, match=r"^run\(\) takes exactly 2 positional arguments \(1 given\)$"):
        TranspilerPass.run(p)
    with pytest.raises(TypeError, match=r"^run\(\) got multiple values for argument 'qc'$"):
        TranspilerPass.run(p, 1, qc=2)


def test_function_attributes_are_writable_like_python_functions():
    class P(TranspilerPass):
        def run(self, qc):
            return qc

    f = ks.TranspilerPass.__init__
    old = f.__doc__
    try:
        f.__doc__ = "changed"
        assert f.__doc__ == "changed"
        f.custom = 1
        assert f.__dict__["custom"] == 1
    finally:
        f.__doc__ = old
        del f.custom
    with pytest.raises(TypeError):
        f.__name__ = 3
    with pytest.raises(TypeError):
        f.__defaults__ = [1]
