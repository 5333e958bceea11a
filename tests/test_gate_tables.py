"""The gate vocabulary and the frame of vexal.circuit.gatework."""

import copy
import re

import numpy as np

import vexal.circuit.gatework as gw

TABLES = {
    "one_qubit_gates_available": [
        ("id", "I"),
        ("x", "X"),
        ("y", "Y"),
        ("z", "Z"),
        ("s", "S"),
        ("sdg", "Sdg"),
        ("t", "T"),
        ("tdg", "Tdg"),
        ("h", "H"),
        ("sx", "\u221aX"),
        ("sxdg", "\u221aXdg"),
    ],
    "two_qubit_gates_available": [
        ("cx", "\u25cfX"),
        ("cnot", "\u25cfX"),
        ("cy", "\u25cfY"),
        ("cz", "\u25cfZ"),
        ("swap", "XX"),
        ("iswap", "\u2736\u2736"),
    ],
    "three_qubit_gates_available": [("ccz", "\u25cf\u25cf\u25cf"), ("ccx", "\u25cf\u25cfX"), ("cswap", "\u25cfXX")],
    "one_qubit_parameter_gates_available": [
        ("rx", "Rx"),
        ("ry", "Ry"),
        ("rz", "Rz"),
        ("p", "P"),
        ("u", "U"),
        ("u3", "U"),
        ("r", "R"),
    ],
    "two_qubit_parameter_gates_available": [("rxx", "Rxx"), ("ryy", "Ryy"), ("rzz", "Rzz"), ("cp", "\u25cfP")],
    "functional_gates_available": [("barrier", "\u2591"), ("measure", "M"), ("reset", "|0>"), ("delay", "Delay")],
}


def kind(name):
    return [t for t in TABLES if name in getattr(gw, t)]


def test_tables_exact_content_and_order():
    for table, entries in TABLES.items():
        d = getattr(gw, table)
        assert type(d) is dict
        assert list(d.items()) == entries
    assert sum(len(getattr(gw, t)) for t in TABLES) == 35


def test_classification():
    assert kind("cnot") == ["two_qubit_gates_available"]
    assert kind("u3") == ["one_qubit_parameter_gates_available"]
    assert kind("delay") == ["functional_gates_available"]
    for name in ("CX", "cu", "u1"):
        assert kind(name) == []
    names = [n for t in TABLES for n, _ in TABLES[t]]
    assert len(names) == len(set(names))  # the kinds are disjoint
    assert all(n == n.lower() and "_" not in n for n in names)
    # one symbol character per operand for multi-qubit gates
    for t, width in (("two_qubit_gates_available", 2), ("three_qubit_gates_available", 3)):
        assert all(len(s) == width for s in getattr(gw, t).values())


def test_module_frame():
    assert gw.__doc__ == "The module contains some tools for quantumcircuit."
    assert gw.np is np and gw.copy is copy and gw.re is re
    names = [k for k in vars(gw) if not k.startswith("_")]  # private hooks for the package's tests aside
    assert names[:3] == ["np", "copy", "re"]
    assert names[3:9] == list(TABLES)
    order = [
        "convert_gate_info_to_dag_info",
        "is_multiple_of_pi",
        "parse_expression",
        "parse_openqasm2_regs",
        "parse_openqasm2_custom_gates",
        "generate_reg_map",
        "sparse_gate_params_qregs",
        "get_positions_list",
        "parse_openqasm2_to_gates",
        "parse_openqasm2_to_gates_dump",
        "parse_morvo_to_gates",
        "initialize_lines",
        "generate_gates_layerd",
        "format_gates_layerd",
        "add_gates_to_lines",
    ]
    present = names[9:]
    assert present == [n for n in order if n in present]
    assert {"is_multiple_of_pi", "parse_expression"} <= set(present)
    for n in present:
        f = getattr(gw, n)
        assert f.__name__ == f.__qualname__ == n
        assert f.__module__ == "vexal.circuit.gatework"
