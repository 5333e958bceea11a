"""The tests' shared toolkit: circuits from records, silenced calls."""

import contextlib
import io

from vexal.circuit.quantumcircuit import QuantumCircuit


def circuit(nqubits, gates, ncbits=None, qubits=None):
    """A circuit over `nqubits` qubits holding `gates`; every qubit is in use
    unless `qubits` says otherwise, and there are as many classical bits as
    qubits unless `ncbits` says otherwise."""
    qc = QuantumCircuit(nqubits, nqubits if ncbits is None else ncbits)
    qc.gates = list(gates)
    qc.qubits = list(range(nqubits)) if qubits is None else list(qubits)
    return qc


def quiet(f, *args, **kwargs):
    """(f(*args, **kwargs), what it printed)."""
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        result = f(*args, **kwargs)
    return result, buf.getvalue()
