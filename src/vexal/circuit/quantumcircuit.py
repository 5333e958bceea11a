"""The circuit class of vexal.circuit.

A circuit is a flat list of gate records (tuples: gate name, parameters,
qubits) over integer qubit indices, plus its size and the values of its
symbolic parameters.  Circuits are read from OpenQASM 2.0 text or from a
morvo instruction list with the parsers of vexal.circuit.gatework.
"""

import copy
import operator

from vexal.circuit import gatework
from vexal.circuit.gatework import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)

__all__ = [
    "QuantumCircuit",
    "one_qubit_gates_available",
    "two_qubit_gates_available",
    "three_qubit_gates_available",
    "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available",
]


def _size(value, what):
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer, not bool")
    if n < 0:
        raise ValueError(f"{what} must be non-negative, got {n}")
    return n


def _record_wires(record):
    """The qubit indices of one gate record, and its classical bits."""
    if not isinstance(record, tuple) or not record:
        raise ValueError(f"malformed gate record {record!r}")
    name = record[0]
    if name in one_qubit_gates_available or name in one_qubit_parameter_gates_available:
        return record[-1:], ()
    if name in two_qubit_gates_available or name in two_qubit_parameter_gates_available:
        return record[-2:], ()
    if name in three_qubit_gates_available:
        return record[-3:], ()
    if name == "reset" and len(record) == 2:
        return record[1:], ()
    if name == "barrier" and len(record) == 2:
        return tuple(record[1]), ()
    if name == "delay" and len(record) == 3:
        return tuple(record[2]), ()
    if name == "measure" and len(record) == 3:
        return tuple(record[1]), tuple(record[2])
    raise ValueError(f"malformed gate record {record!r}")


def _max_index(values, what):
    top = -1
    for v in values:
        if isinstance(v, bool):
            raise ValueError(f"{what} index must be an integer, got {v!r}")
        try:
            i = operator.index(v)
        except TypeError:
            raise ValueError(f"{what} index must be an integer, got {v!r}") from None
        if i < 0:
            raise ValueError(f"{what} index must be non-negative, got {i}")
        top = max(top, i)
    return top


_OWN_QASM_READER = gatework.parse_openqasm2_to_gates
_SCALARS = frozenset({int, float, complex, str, bool, type(None)})


class QuantumCircuit:
    """A quantum circuit: `nqubits`, `ncbits`, the list `qubits` of the qubit
    indices in use, the gate list `gates` and the parameter values
    `params_value`."""

    def __init__(self, nqubits=0, ncbits=0):
        self.nqubits = _size(nqubits, "nqubits")
        self.ncbits = _size(ncbits, "ncbits")
        self.qubits = []
        self.gates = []
        self.params_value = {}

    def deepcopy(self):
        """An independent copy of the circuit."""
        gates = self.__dict__.get("gates")
        if type(gates) is not list:
            return copy.deepcopy(self)
        # A tuple of immutable scalars is its own deep copy, so the common
        # record is shared rather than walked; anything else (nested or
        # mutable parts) goes through copy.deepcopy with one memo, which
        # keeps aliasing between records as one copy.deepcopy of the whole
        # circuit would.
        memo = {}
        new_gates = []
        append = new_gates.append
        for g in gates:
            if type(g) is tuple and _SCALARS.issuperset(map(type, g)):
                append(g)
            else:
                append(copy.deepcopy(g, memo))
        memo[id(gates)] = new_gates
        return copy.deepcopy(self, memo)

    def _fill(self, result, own_reader=False):
        try:
            gates, qubits_used, cbits_used = result
        except (TypeError, ValueError):
            raise ValueError("parser returned a malformed result") from None
        gates = list(gates)
        top_q = _max_index(qubits_used, "qubit")
        top_c = _max_index(cbits_used, "classical bit")
        # The package's OpenQASM reader checks every record and lists every
        # qubit and bit its records use (barriers keep only qubits that gates
        # use); records of any other parser are checked here.
        if not own_reader:
            for g in gates:
                wires, cbits = _record_wires(g)
                top_q = max(top_q, _max_index(wires, "qubit"))
                top_c = max(top_c, _max_index(cbits, "classical bit"))
        # everything is checked before the circuit changes
        self.gates = gates
        self.qubits = sorted(qubits_used)
        self.nqubits = top_q + 1
        self.ncbits = top_c + 1
        self.params_value = {}
        return self

    def from_openqasm2(self, openqasm2_str):
        """Read an OpenQASM 2.0 program into this circuit; returns the circuit."""
        parse = gatework.parse_openqasm2_to_gates
        return self._fill(parse(openqasm2_str), parse is _OWN_QASM_READER)

    def from_morvo(self, morvo):
        """Read a morvo instruction list into this circuit; returns the circuit."""
        return self._fill(gatework.parse_morvo_to_gates(morvo))

    def __repr__(self):
        return (
            f"QuantumCircuit(nqubits={self.nqubits}, ncbits={self.ncbits}, "
            f"qubits={self.qubits}, gates={len(self.gates)})"
        )
