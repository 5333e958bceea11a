"""The circuit class of vexal.circuit.

A circuit is a flat list of gate records (tuples: gate name, parameters,
qubits) over integer qubit indices, plus its size and the values of its
symbolic parameters.  Circuits are read from OpenQASM 2.0 text or from a
morvo instruction list with the parsers of vexal.circuit.gatework.
"""

import copy

from vexal.circuit import gatework
from vexal.circuit.gatework import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)
from vexal.circuit.utils import checked_index

__all__ = [
    "QuantumCircuit",
    "one_qubit_gates_available",
    "two_qubit_gates_available",
    "three_qubit_gates_available",
    "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available",
]


def _record_wires(record):
    """The qubit indices of one gate record, and its classical bits, as the
    package's one table of record shapes reads them."""
    if not isinstance(record, tuple) or not record:
        raise ValueError(f"malformed gate record {record!r}")
    try:
        return gatework._record_wires(record)
    except ValueError:  # a name of no shape, or too few elements for its shape
        raise ValueError(f"malformed gate record {record!r}") from None


def _max_index(values, what):
    top = -1
    for v in values:
        top = max(top, checked_index(v, f"{what} index"))
    return top


_OWN_QASM_READER = gatework.parse_openqasm2_to_gates
_SCALARS = frozenset({int, float, complex, str, bool, type(None)})


class QuantumCircuit:
    """A quantum circuit: `nqubits`, `ncbits`, the list `qubits` of the qubit
    indices in use, the gate list `gates` and the parameter values
    `params_value`."""

    def __init__(self, nqubits=0, ncbits=0):
        self.nqubits = checked_index(nqubits, "nqubits")
        self.ncbits = checked_index(ncbits, "ncbits")
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
