"""The corpus programs and the sample programs: what the OpenQASM reader
takes (every statement counted), and the programs it must refuse, with
their errors."""

import collections
import math
import re

import numpy as np
import oracle
import pytest
from helpers import PROGRAMS, REFUSED, assert_refused, corpus, corpus_id, quiet, read_program

from vexal.circuit import gatework as gw
from vexal.circuit.quantumcircuit import QuantumCircuit

NAMES = {"u1": "u", "u2": "u", "u3": "u", "cu1": "cp"}


ONE_PER_QUBIT = (
    set(gw.one_qubit_gates_available) | set(gw.one_qubit_parameter_gates_available) | {"u1", "u2", "delay", "reset"}
)


def independent_count(text):
    """Records per gate name, counted from the statements with plain regular expressions."""
    sizes = {m.group(1): int(m.group(2)) for m in re.finditer(r"[qc]reg\s+(\w+)\s*\[(\d+)\]", text)}
    counts = collections.Counter()
    for line in text.splitlines():
        code = line.split("//")[0].strip()
        if not code or re.match(r"(OPENQASM|include|qreg|creg)\b", code):
            continue
        m = re.fullmatch(r"(\w+)\s*(?:\([^)]*\))?\s*(.*?)\s*;", code)
        name, operands = m.group(1), m.group(2)
        ops = [o.strip() for o in re.split(r",|->", operands)]
        widths = [1 if "[" in o else sizes[o] for o in ops]
        if name == "barrier":
            counts[name] += 1
        elif name in ONE_PER_QUBIT:
            counts[NAMES.get(name, name)] += sum(widths)
        else:
            counts[NAMES.get(name, name)] += max(widths)
    return counts


# ---------------------------------------------------------------- the corpus


@pytest.mark.parametrize("path", corpus(), ids=corpus_id)
def test_supported_corpus(path):
    text = path.read_text()
    gates, qubits, cbits = quiet(gw.parse_openqasm2_to_gates, text)[0]
    assert all(isinstance(q, int) for q in qubits)
    if "gate " in text:
        return  # custom gates: the expansion is tested on the paper's programs
    counts = collections.Counter(g[0] for g in gates)
    expected = independent_count(text)
    assert counts["barrier"] <= expected.pop("barrier", 0)
    counts.pop("barrier", None)
    assert counts == expected


READERS = {"gates": gw.parse_openqasm2_to_gates, "circuit": lambda text: QuantumCircuit().from_openqasm2(text)}


@pytest.mark.parametrize("read", READERS.values(), ids=READERS)
@pytest.mark.parametrize("path", corpus(refused=True) + corpus(kind="unsupported", refused=True), ids=corpus_id)
def test_refused_corpus_programs(path, read):
    assert_refused(read, path)


def test_the_refusal_list_and_the_corpus_agree():
    # every listed program is in the corpus, and every unsupported one is listed
    listed = {f"{p.parent.name}/{p.name}" for p in corpus(refused=True) + corpus(kind="unsupported", refused=True)}
    assert listed == set(REFUSED)
    assert corpus(kind="unsupported") == []


# ---------------------------------------------------------------- sample programs


def test_teleportation_program():
    qc = read_program(PROGRAMS / "teleport.qasm")
    assert qc.gates == [
        ("u", 0.3, 0.2, 0.1, 0),
        ("h", 1),
        ("cx", 1, 2),
        ("barrier", (0, 1, 2)),
        ("cx", 0, 1),
        ("h", 0),
        ("measure", [0], [0]),
        ("measure", [1], [1]),
        ("measure", [2], [2]),
    ]
    assert qc.qubits == [0, 1, 2] and qc.nqubits == 3 and qc.ncbits == 3


def test_qft_program_is_the_fourier_transform():
    gates, qubits, _ = gw.parse_openqasm2_to_gates((PROGRAMS / "qft.qasm").read_text())
    unitary_part = [g for g in gates if g[0] not in ("measure", "barrier")]
    assert unitary_part[:2] == [("x", 0), ("x", 2)] and ("cp", math.pi / 2, 1, 0) in unitary_part
    n = 4
    u = oracle.circuit_unitary(unitary_part[2:], n)
    # the discrete Fourier transform, read on the input bits in reverse order (no final swaps)
    dim = 2**n
    rev = [int(format(k, "04b")[::-1], 2) for k in range(dim)]
    f = np.exp(2j * np.pi * np.outer(range(dim), range(dim)) / dim) / np.sqrt(dim)
    assert oracle.equal_up_to_phase(u, f[:, rev])


def test_ripple_carry_adder_adds():
    qc = read_program(PROGRAMS / "adder.qasm")
    assert qc.nqubits == 10 and qc.qubits == list(range(10))
    gates = [g for g in qc.gates if g[0] != "measure"]
    state = np.zeros(2**10, dtype=complex)
    state[0] = 1
    out = oracle.apply_gates(state, gates, 10)
    k = int(np.argmax(np.abs(out)))
    a = (k >> 1) & 0xF
    b = (k >> 5) & 0xF
    cout = (k >> 9) & 1
    assert abs(abs(out[k]) - 1) < 1e-9
    assert (a, b + 16 * cout) == (1, 16)  # 1 + 15
