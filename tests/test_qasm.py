"""OpenQASM 2.0 input: registers, custom gates, operands and the two readers."""

import math
import random
import re

import helpers
import pytest
from helpers import corpus, quiet

from vexal.circuit import gatework as gw

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
HALF_PI = 1.5707963267948966


def parse(text):
    return gw.parse_openqasm2_to_gates(text)


def unrecognized(word):
    return re.escape(helpers.unrecognized(word))


# ---------------------------------------------------------------- registers


def test_regs_lists_and_removes_declarations():
    text = "OPENQASM 2.0;\r\nqreg q[2];\r\nqreg r[3];\rcreg c[5];\nh q[0];\n"
    q, c, rest = gw.parse_openqasm2_regs(text)
    assert q == [("q", 2), ("r", 3)] and c == [("c", 5)]
    assert rest == "OPENQASM 2.0;\nh q[0];"
    # blanks between the tokens of a declaration
    assert gw.parse_openqasm2_regs("qreg q [ 2 ] ;\ncreg  c[2] ;\nx q[0];") == ([("q", 2)], [("c", 2)], "x q[0];")
    assert gw.parse_openqasm2_regs("qreg q[-3];\nqreg [2];") == ([], [], "qreg q[-3];\nqreg [2];")
    # two on one line, a repeated name
    assert gw.parse_openqasm2_regs("qreg a[1];creg b[2];\nqreg a[3];")[:2] == ([("a", 1), ("a", 3)], [("b", 2)])
    with pytest.raises(TypeError):
        gw.parse_openqasm2_regs(None)


def test_regs_comments_do_not_declare_and_mixed_lines_raise():
    q, _, rest = gw.parse_openqasm2_regs("// qreg old[5];\nqreg q[2]; // was qreg p[3];\nh q[0];")
    assert q == [("q", 2)]
    assert rest == "// qreg old[5];\nh q[0];"
    with pytest.raises(ValueError, match=re.escape("qreg q[2]; h q[0];")):
        gw.parse_openqasm2_regs("qreg q[2]; h q[0];")
    with pytest.raises(ValueError):
        gw.parse_openqasm2_regs("myqreg q[2];")
    # through the reader: the later register keeps its indices
    gates, _, _ = quiet(parse, HEADER + "// qreg x[4];\nqreg q[2];\nqreg r[2];\nh r[0];")[0]
    assert gates == [("h", 2)]


def test_generate_reg_map(capsys):
    m = gw.generate_reg_map([("q", 2), ("r", 3)], "Qubit")
    assert m == {"q": {0: 0, 1: 1}, "r": {0: 2, 1: 3, 2: 4}}
    assert capsys.readouterr().out == (
        "Qubit reg name q, mapping:{0: 0, 1: 1}\nQubit reg name r, mapping:{0: 2, 1: 3, 2: 4}\n"
    )
    assert gw.generate_reg_map([("c", 2)]) == {"c": {0: 0, 1: 1}}
    assert gw.generate_reg_map([]) == {}
    assert capsys.readouterr().out == ""
    # a repeated name keeps its place; its first indices stay consumed
    assert quiet(gw.generate_reg_map, [("a", 2), ("b", 0), ("a", 1)])[0] == {"a": {0: 2}, "b": {}}
    with pytest.raises(ValueError):
        gw.generate_reg_map([("a", 1, 2)])
    with pytest.raises(TypeError):
        gw.generate_reg_map([("a", "2")])


def test_huge_registers_are_refused_not_built():
    with pytest.raises(ValueError, match="too large"):
        gw.generate_reg_map([("q", 10**10)])
    with pytest.raises(ValueError, match="too large"):
        parse("qreg q[10000000000];\nh q[0];")
    with pytest.raises(ValueError, match="registers of one kind hold 1200000 qubits or classical bits in all"):
        parse("qreg q[600000];\nqreg r[600000];")
    with pytest.raises(ValueError):  # more digits than an int may have
        parse("qreg q[" + "9" * 5000 + "];")
    with pytest.raises(ValueError, match="too large"):
        gw.parse_openqasm2_to_gates_dump("qreg q[99999999999];\nbarrier q;")


# ---------------------------------------------------------------- custom gates

MAJORITY = "gate majority a,b,c\n{\n  cx c,b;\n  cx c,a;\n  ccx a,b,c;\n}\n"


def test_custom_gate_definitions(capsys):
    table, rest = gw.parse_openqasm2_custom_gates("x q[0];\n" + MAJORITY + "h q[0];")
    rec = {
        "params_and_qregs": ["a", "b", "c"],
        "definition": [("cx", "c", "b"), ("cx", "c", "a"), ("ccx", "a", "b", "c")],
    }
    assert table == {"majority": rec}
    assert rest == "x q[0];\n\nh q[0];"
    assert capsys.readouterr().out == "Custom gate detected\nmajority " + str(rec) + "\n"

    table, _ = gw.parse_openqasm2_custom_gates(
        "gate g(theta, lam) a, b,c { rz(lam/2) c; u3(theta,0, pi) a; }\n"
        "gate e() a { }\ngate e a { h a; }\ngate tight(x)a{rx(x)a;}"
    )
    assert table["g"] == {
        "params_and_qregs": ["theta", "lam", "a", "b", "c"],
        "definition": [("rz", "lam/2", "c"), ("u3", "theta", "0", "pi", "a")],
    }
    assert table["e"] == {"params_and_qregs": ["a"], "definition": [("h", "a")]}
    assert table["tight"] == {"params_and_qregs": ["x", "a"], "definition": [("rx", "x", "a")]}
    # line breaks between the tokens of a body statement
    table, _ = gw.parse_openqasm2_custom_gates("gate g a,b { cx a,\n b; h\n a; rz(\n0.1\n)\na; }")
    assert table["g"]["definition"] == [("cx", "a", "b"), ("h", "a"), ("rz", "0.1", "a")]
    capsys.readouterr()


def test_custom_gate_comments_and_formal_names():
    table, rest = quiet(
        gw.parse_openqasm2_custom_gates,
        "// gate old a { x a; }\ngate g(pivot) a // the header\n{\n  // rz(1) a; }\n  rx(pivot) a;\n}",
    )[0]
    assert list(table) == ["g"]
    assert table["g"] == {"params_and_qregs": ["pivot", "a"], "definition": [("rx", "pivot", "a")]}
    assert rest.startswith("// gate old a { x a; }\n")
    with pytest.raises(ValueError, match=re.escape("parse error u1 !")):
        gw.parse_openqasm2_custom_gates("gate g a { u1(0.1) a; }")
    with pytest.raises(ValueError, match=re.escape("parse error majority !")):
        gw.parse_openqasm2_custom_gates(MAJORITY + "gate h2 a,b,c { majority a,b,c; }")


# ---------------------------------------------------------------- operands

QMAP = {"q": {0: 0, 1: 1}, "r": {0: 2, 1: 3, 2: 4}}
CMAP = {"c": {0: 0, 1: 1}}


@pytest.mark.parametrize(
    "line, triple",
    [
        ("OPENQASM 2.0;", (None, None, None)),
        ('include "qelib1.inc";', (None, None, None)),
        ("", (None, None, None)),
        ("h q[0];", ("h", None, "q[0]")),
        ("rz(pi/2) q[0];", ("rz", "pi/2", "q[0]")),
        ("u3(0.1,0.2,0.3) q[0];", ("u3", "0.1,0.2,0.3", "q[0]")),
        ("rz(pi/2)q[0];", ("rz", "pi/2", "q[0]")),
        ("rz (pi/2) q[0];", ("rz", "pi/2", "q[0]")),
        ("h q [ 0 ] ;", ("h", None, "q [ 0 ] ")),
        ("hq[0];", (None, None, None)),
        ("rz((pi)/2) q[0];", (None, None, None)),
        ("cx q[0], r[2];", ("cx", None, "q[0], r[2]")),
        ("measure q[1] -> c[0];", ("measure", None, "q[1],c[0]")),
        ("measure q -> c;", ("measure", None, "q,c")),
        ("measure q [1]->c[ 0 ] ;", ("measure", None, "q [1],c[ 0 ]")),
        ("measure q[0];", ("measure", None, "q[0]")),
        ("measure q[0], q[1] -> c[0], c[1];", (None, None, None)),
        ("if(c==1) x q[0];", ("if", "c==1", "x q[0]")),
        ("h q[0]", (None, None, None)),
        ("h q[0]; x q[1];", (None, None, None)),
        ("h q[0];\n", ("h", None, "q[0]")),
        ("h  ;", ("h", None, " ")),
    ],
)
def test_sparse_gate_params_qregs(line, triple):
    assert gw.sparse_gate_params_qregs(line) == triple


@pytest.mark.parametrize(
    "gate, text, expected",
    [
        (None, None, []),
        ("h", "q[0]", [[0]]),
        ("h", "r", [[2, 3, 4]]),
        ("cx", "q[0], r[2]", [[0], [4]]),
        ("x", "q,r", [[0, 1], [2, 3, 4]]),
        ("x", "q, r", [[0, 1], [2, 3, 4]]),
        ("x", "q,y", [[0, 1]]),
        ("barrier", "q[0] q[1]", [[0], [1]]),
        ("h", " q [ 1 ] , r[0]", [[1], [2]]),
        ("measure", "q[1],c[0]", [[1], [0]]),
        ("measure", "q,c", [[0, 1], [0, 1]]),
        ("measure", "r[0],c", [[2], [0, 1]]),
        ("measure", "r[0],zz", [[2], []]),
    ],
)
def test_get_positions_list(gate, text, expected):
    assert gw.get_positions_list(gate, text, QMAP, CMAP) == expected


def test_get_positions_list_failures():
    with pytest.raises(ValueError, match="measurement gate: position parse error"):
        gw.get_positions_list("measure", "q[0]", QMAP, CMAP)
    with pytest.raises(KeyError, match="quantum register x is not declared"):
        gw.get_positions_list("h", "x[0]", QMAP, CMAP)
    with pytest.raises(KeyError, match="index 2 is out of range for quantum register q of size 2"):
        gw.get_positions_list("h", "q[2]", QMAP, CMAP)
    with pytest.raises(KeyError, match="index 7 is out of range for classical register c of size 2"):
        gw.get_positions_list("measure", "q[0],c[7]", QMAP, CMAP)
    with pytest.raises(TypeError):
        gw.sparse_gate_params_qregs(3)


# ---------------------------------------------------------------- the reader


def test_reader_basic_program(capsys):
    prog = HEADER + "qreg q[2];\ncreg c[2];\nh q;\ncx q[0],q[1];\nmeasure q -> c;\n"
    assert parse(prog) == (
        [("h", 0), ("h", 1), ("cx", 0, 1), ("measure", [0], [0]), ("measure", [1], [1])],
        {0, 1},
        {0, 1},
    )
    assert capsys.readouterr().out == ""


def test_reader_merges_registers(capsys):
    gates, qubits, cbits = parse(HEADER + "qreg q[2];\nqreg r[3];\ncreg c[1];\ncx q[1], r[0];\nh r;")
    assert gates == [("cx", 1, 2), ("h", 2), ("h", 3), ("h", 4)]
    assert qubits == {1, 2, 3, 4} and cbits == {0, 1, 2, 3}
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("Multiple registers detected.")
    assert out[1:] == ["Qubit reg name q, mapping:{0: 0, 1: 1}", "Qubit reg name r, mapping:{0: 2, 1: 3, 2: 4}"]


def test_reader_gate_forms():
    prog = (
        HEADER
        + """qreg q[3];
u1(0.5) q[0];
u2(0,pi) q[0];
u3(0.1,0.2,0.3) q[1];
u(0.1,0.2,0.3) q[1];
r(0.1, 0.2) q[2];
cu1(0.3) q[0],q[1];
rzz(0.2) q[1],q[2];
rz(pi/4) q;
delay(1e-6) q[0];
reset q[2];
cnot q[0],q[2];
ccx q[0],q[1],q[2];
id q[1];   // comment
\t
"""
    )
    gates, _, _ = parse(prog)
    assert gates == [
        ("u", 0, 0, 0.5, 0),
        ("u", HALF_PI, 0.0, math.pi, 0),
        ("u", 0.1, 0.2, 0.3, 1),
        ("u", 0.1, 0.2, 0.3, 1),
        ("r", 0.1, 0.2, 2),
        ("cp", 0.3, 0, 1),
        ("rzz", 0.2, 1, 2),
        ("rz", math.pi / 4, 0),
        ("rz", math.pi / 4, 1),
        ("rz", math.pi / 4, 2),
        ("delay", 1e-06, (0,)),
        ("reset", 2),
        ("cnot", 0, 2),
        ("ccx", 0, 1, 2),
        ("id", 1),
    ]
    assert type(gates[0][1]) is int


@pytest.mark.parametrize(
    "body, message",
    [
        ("cx q[0];", "cx takes 2 quantum arguments, but got 1."),
        ("cx q,r;", "cx takes 2 different quantum arguments length."),
        ("ccx q[0],q[1];", "ccx takes 3 quantum arguments, but got 2."),
        ("ccx q,q,r;", "ccx takes 3 different quantum arguments length."),
        ("rz q[0];", "rz takes 1 parameter(s), but got 0."),
        ("rz(0.1,0.2) q[0];", "rz takes 1 parameter(s), but got 2."),
        ("u3(0.1,0.2) q[0];", "u3 takes 3 parameter(s), but got 2."),
        ("u2(0.1) q[0];", "u2 takes 2 parameter(s), but got 1."),
        ("r q[0];", "r takes 2 parameter(s), but got 0."),
        ("cu1 q[0],q[1];", "cu1 takes 1 parameter(s), but got 0."),
        ("delay q[0];", "delay takes 1 parameter(s), but got 0."),
        ("measure q[0];", "measurement gate: position parse error"),
    ],
)
def test_reader_checks(body, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        quiet(parse, "qreg q[2];\nqreg r[3];\ncreg c[2];\n" + body)


@pytest.mark.parametrize(
    "line, word",
    [
        ("U(0,0,0) q[0];", "U"),
        ("CX q[0],q[1];", "CX"),
        ("if(c==1) x q[0];", "if"),
        ("if(c==1) rz(__import__('os').system('echo hi')) q[0];", "if"),
        ("h q[0]", "h"),
        ("h q[0]; x q[1];", "h"),
        ("measure q[0], q[1] -> c[0], c[1];", "measure"),
        ("//comment", None),
        ("}", "}"),
    ],
)
def test_reader_refuses_what_it_cannot_read(line, word):
    prog = HEADER + "qreg q[2];\ncreg c[2];\n" + line + "\n"
    if word is None:
        assert parse(prog) == ([], set(), set())  # a comment line
        return
    with pytest.raises(ValueError, match=unrecognized(word)):
        parse(prog)


def test_reader_lookups_and_defaults():
    with pytest.raises(KeyError, match="quantum register x is not declared"):
        parse("qreg q[2];\nh x[0];")
    # no measure: one classical bit per distinct qubit used
    assert parse("qreg q[4];\nh q[0];\nx q[3];\nh q[3];")[2] == {0, 1}


def test_reader_barrier_trimming():
    prog = "qreg q[4];\nbarrier q;\nh q[1];\nbarrier q[0],q[1];\nbarrier q[2];\nx q[3];"
    gates, qubits, _ = parse(prog)
    assert gates == [("barrier", (1, 3)), ("h", 1), ("barrier", (1,)), ("x", 3)]
    assert qubits == {1, 3}


def test_custom_gate_expansion_counts_qubits_and_binds_formals():
    prog = (
        "qreg q[2];\nqreg r[2];\n"
        "gate g(theta, lam) a,b { rz(theta) a; rx(lam/2) b; cx a,b; barrier a,b; u3(theta, -lam, pi/2) b; }\n"
        "barrier q, r;\ng(0.5, 2*pi) q,r;\n"
    )
    gates, qubits, cbits = quiet(parse, prog)[0]
    body = lambda a, b: [
        ("rz", 0.5, a),
        ("rx", math.pi, b),
        ("cx", a, b),
        ("barrier", (a, b)),
        ("u", 0.5, -2 * math.pi, HALF_PI, b),
    ]
    assert gates == [("barrier", (0, 1, 2, 3))] + body(0, 2) + body(1, 3)
    assert qubits == {0, 1, 2, 3} and cbits == {0, 1, 2, 3}
    with pytest.raises(ValueError, match="custom gate g sparse failer!"):
        quiet(parse, "qreg q[2];\nqreg r[3];\ngate g a,b { cx a,b; }\ng q,r;")
    with pytest.raises(ValueError, match=re.escape("custom gate g takes 1 parameter(s), but got 0.")):
        quiet(parse, "qreg q[2];\ngate g(t) a,b { rz(t) a; cx a,b; }\ng q[0],q[1];")
    with pytest.raises(ValueError, match=re.escape("gate g: rz takes 1 parameter(s), but got 0.")):
        quiet(parse, "qreg q[2];\ngate g a { rz a; }\ng q[0];")
    # a formal name holding "pi" is a name, never an expression
    gates, _, _ = quiet(parse, "qreg q[1];\ngate g(api) a { rz(api*2) a; }\ng(0.25) q[0];")[0]
    assert gates == [("rz", 0.5, 0)]


def test_expressions_are_never_executed(tmp_path):
    marker = tmp_path / "ran"
    payload = f"__import__('os').system('touch {marker}')"
    for prog in (
        f"qreg q[1];\nrz({payload}) q[0];",
        f"qreg q[1];\ngate g(t) a {{ rz({payload}) a; }}\ng(1) q[0];",
        f"qreg q[1];\ngate g(t) a {{ rz(t) a; }}\ng({payload}) q[0];",
    ):
        with pytest.raises((ValueError, NameError)):
            quiet(parse, prog)
    with pytest.raises((ValueError, NameError)):
        quiet(gw.parse_openqasm2_to_gates_dump, f"qreg q[1];\ngate g(t) a {{ rz(t) a; }}\ng({payload}) q[0];")
    assert not marker.exists()


def test_replaced_custom_gate_reader(monkeypatch):
    """A replaced parse_openqasm2_custom_gates gives the table; the calls are
    still checked against the parameters its definitions' headers declare,
    and against the whole argument count when no header declares the gate."""
    original = gw.parse_openqasm2_custom_gates
    monkeypatch.setattr(gw, "parse_openqasm2_custom_gates", lambda text: original(text))
    prog = "qreg q[2];\ngate g(t) a { rz(t) a; }\n"
    assert quiet(parse, prog + "g(0.5) q[1];")[0][0] == [("rz", 0.5, 1)]
    with pytest.raises(ValueError, match=re.escape("custom gate g takes 1 parameter(s), but got 0.")):
        quiet(parse, prog + "g q[0],q[1];")
    table = {"k": {"params_and_qregs": ["t", "a"], "definition": [("rz", "t", "a")]}}
    monkeypatch.setattr(gw, "parse_openqasm2_custom_gates", lambda text: (table, text))
    assert parse("qreg q[2];\nk(0.5) q[1];")[0] == [("rz", 0.5, 1)]
    with pytest.raises(ValueError, match=re.escape("custom gate k takes 2 arguments, but got 1.")):
        parse("qreg q[2];\nk q[1];")


def test_replaced_module_functions_are_used(monkeypatch):
    seen = []

    def my_parse_expression(expr):
        seen.append(expr)
        return 1.0

    monkeypatch.setattr(gw, "parse_expression", my_parse_expression)
    gates, _, _ = quiet(parse, "qreg q[1];\ngate g(t) a { rz(t/2) a; }\nrx(pi) q[0];\ng(3) q[0];")[0]
    assert gates == [("rx", 1.0, 0), ("rz", 1.0, 0)]
    assert seen == ["pi", "3", "(1.0)/2"]


# ---------------------------------------------------------------- single-register reader


def test_dump_reader():
    dump = gw.parse_openqasm2_to_gates_dump
    prog = HEADER + "qreg q[2];\ncreg c[2];\nh q[0];\ncx q[0],q[1];\nmeasure q[0] -> c[0];\nmeasure q[1] -> c[1];"
    assert dump(prog) == ([("h", 0), ("cx", 0, 1), ("measure", [0], [0]), ("measure", [1], [1])], {0, 1}, {0, 1})
    body = "qreg q[3];\ncreg c[3];\n"
    assert dump(body + "rz(pi/2) q[0]; // was q[2]")[0] == [("rz", HALF_PI, 0)]
    assert dump(body + "h q [ 2 ] ;\nrz (pi) q[1];\nmeasure q[1]->c [0];")[0] == [
        ("h", 2),
        ("rz", math.pi, 1),
        ("measure", [1], [0]),
    ]
    assert dump(body + "u1(0.5) q[0];\ncu1(0.3) q[0],q[1];\nrzz(0.2) q[0],q[1];")[0] == [
        ("u", 0, 0, 0.5, 0),
        ("cp", 0.3, 0, 1),
        ("rzz", 0.2, 0, 1),
    ]
    assert dump(body + "barrier q;\nbarrier q[0],q[1];\nbarrier q[2], q; // all")[0] == [
        ("barrier", (0, 1, 2)),
        ("barrier", (0, 1)),
        ("barrier", (2, 0, 1, 2)),
    ]
    gates, qubits, cbits = dump("qreg q[2];\ncreg c[2];\nh q[0];\nmeasure q -> c;")
    assert gates == [("h", 0), ("measure", [0], [0]), ("measure", [1], [1])] and cbits == {0}
    with pytest.raises(ValueError, match="check qreg name q and parse q_name q is consistent, {21}\n"):
        dump("qreg q[2];\ncreg c[3];\nmeasure q -> c;")
    with pytest.raises(ValueError, match=re.escape("syntax barrier r; was detected by vexalcircuit.")):
        dump(body + "barrier r;")
    with pytest.raises(ValueError, match="only one quantum or classical register"):
        dump("qreg q[2];\nqreg r[2];")
    with pytest.raises(ValueError, match=unrecognized("//comment")):
        dump(body + "//comment")
    with pytest.raises(ValueError, match="h takes indexed qubits, not the whole register q"):
        dump(body + "h q;")
    with pytest.raises(ValueError, match=re.escape("u3 takes 3 parameter(s), but got 2.")):
        dump(body + "u3(0.1,0.2) q[0];")
    # custom gates: applied once to the whole position list, and counted
    gates, qubits, _ = quiet(dump, body + "gate g a,b { cx a,b; }\ng q[0],q[1];")[0]
    assert gates == [("cx", 0, 1)] and qubits == {0, 1}


# ---------------------------------------------------------------- no input hangs or crashes


def test_random_and_hostile_texts():
    rnd = random.Random(20240607)
    sources = [path.read_text() for path in corpus()[:20]]
    alphabet = "qregcatex()[];,->/{}\n \t0123456789\u03c0.*+-pi\u00e9\u0663"
    hostile = [
        "(" * 5000,
        "qreg q[99999999999999];",
        "9" * 5000,
        " " * 100000,
        "gate " * 50000,
        "gate g(" * 20000,
        "gate g a " + "b " * 50000,
        "x" * 100000 + "[1]",
        "h q[" + "1" * 10000 + "];",
        "rz(" + "(" * 1000 + "1" + ")" * 1000 + ") q[0];",
        "rz(9**9**9) q[0];",
        "measure" + " " * 50000 + "x",
        "\u2028".join(["qreg q[1];", "h q[0];"]),
    ]
    functions = [
        gw.parse_openqasm2_to_gates,
        gw.parse_openqasm2_to_gates_dump,
        gw.parse_openqasm2_regs,
        gw.parse_openqasm2_custom_gates,
        gw.sparse_gate_params_qregs,
    ]
    for i in range(600):
        k = i % 4
        if k == 0:
            text = bytes(rnd.randrange(256) for _ in range(rnd.randrange(200))).decode("latin1")
        elif k == 1:
            s = rnd.choice(sources)
            text = s[: rnd.randrange(len(s) + 1)]
        elif k == 2:
            text = "".join(rnd.choice(alphabet) for _ in range(rnd.randrange(300)))
        else:
            s = rnd.choice(sources)
            cut = rnd.randrange(len(s) + 1)
            text = s[:cut] + hostile[i // 4 % len(hostile)] + s[cut:]
        for fn in functions:
            try:
                quiet(fn, text)
            except (ValueError, KeyError, TypeError, SyntaxError, NameError, ZeroDivisionError, OverflowError):
                pass


def test_non_ascii_text_follows_python_character_classes():
    # \w, \d and \s of the patterns are Python's: non-ASCII names, digits and blanks count
    assert gw.parse_openqasm2_regs("qreg \u00e9t\u00e9[\u0663];\u3000")[0] == [("\u00e9t\u00e9", 3)]
    gates, _, _ = parse("qreg \u00e9[2];\nrz(\u03c0/2) \u00e9[1];\nh\u00a0\u00e9[0];")
    assert gates == [("rz", HALF_PI, 1), ("h", 0)]
