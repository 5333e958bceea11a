"""OpenQASM input never drops or misreads a statement: every statement either
yields its gates or is refused, whatever the spacing between its tokens."""

import contextlib
import io
import math
import random
import re

import helpers
import pytest
from helpers import Raised, assert_paths_agree, corpus, outcome, quiet

from vexal.circuit import gatework as gw

READERS = [gw.parse_openqasm2_to_gates, gw.parse_openqasm2_to_gates_dump]
DECLS = "qreg q[3];\ncreg c[3];\n"


# the errors a refused text may raise; any other is a fault
REFUSALS = (ValueError, KeyError, TypeError, SyntaxError, NameError, ZeroDivisionError, OverflowError)


def reading(text):
    """What the reader makes of a text: its triple, or Raised for a refusal."""
    got = outcome(lambda: gw.parse_openqasm2_to_gates(text))["result"]
    assert not isinstance(got, Raised) or issubclass(got[1], REFUSALS), (text, got)
    return got


def unrecognized(word):
    # the whole message, a refused declaration's included
    return re.escape(helpers.unrecognized(word)) + "$"


@pytest.mark.parametrize("read", READERS)
@pytest.mark.parametrize(
    "line, gates",
    [
        ("h q [ 0 ] ;", [("h", 0)]),
        ("h\tq[1]\t;", [("h", 1)]),
        ("cx q[0] , q [2];", [("cx", 0, 2)]),
        ("rz (pi/2) q[1];", [("rz", math.pi / 2, 1)]),
        ("rz(pi/2)q[1];", [("rz", math.pi / 2, 1)]),
        ("u3 ( 0.1 , 0.2 , 0.3 ) q[2] ;", [("u", 0.1, 0.2, 0.3, 2)]),
        ("measure q [1] -> c [2] ;", [("measure", [1], [2])]),
        ("measure q[1]->c[2];", [("measure", [1], [2])]),
        ("barrier q[0] , q[0];", [("barrier", (0, 0))]),  # harmless: kept as written
    ],
)
def test_legal_spacing_reads_the_same(read, line, gates):
    text = DECLS + "x q[0];\nx q[1];\nx q[2];\n" + line
    assert quiet(read, text)[0][0][3:] == gates


@pytest.mark.parametrize("read", READERS)
@pytest.mark.parametrize(
    "line, word",
    [
        ("h q[[0]];", "h"),
        ("h q[0;", "h"),
        ("h q0];", "h"),
        ("h q[0]];", "h"),
        ("h q[0] [1];", "h"),
        ("cx q[0] q[1];", "cx"),
        ("cx q[0],,q[1];", "cx"),
        ("cx q[0],q[1],;", "cx"),
        ("cx ,q[0],q[1];", "cx"),
        ("h ;", "h"),
        ("rz(0.1) ;", "rz"),
        ("h q[0] // no semicolon", "h"),
        ("rz((pi)/2) q[0];", "rz"),
    ],
)
def test_malformed_operands_are_refused(read, line, word):
    with pytest.raises(ValueError, match=unrecognized(word)):
        quiet(read, DECLS + line)


@pytest.mark.parametrize("read", READERS)
def test_a_statement_after_a_line_passed_over_is_not_lost(read):
    """The version, include and opaque lines are passed over whole: one that
    holds a further statement is refused, since that statement would be lost."""
    for line in ['include "qelib1.inc"; h q[0];', "OPENQASM 2.0; x q[1];", "opaque g a; h q[0]; // h"]:
        code = line.split("//")[0].strip()
        with pytest.raises(ValueError, match=unrecognized(code)):
            quiet(read, DECLS + line + "\nx q[2];")
    # lines that hold only such statements still pass, a ';' inside a file name included
    text = 'OPENQASM 2.0; include "qelib1.inc";\ninclude "a;b.inc";  // x\n' + DECLS + "opaque g a;\nx q[2];"
    assert quiet(read, text)[0][0] == [("x", 2)]


@pytest.mark.parametrize("read", READERS)
def test_repeated_qubits_are_refused(read):
    for line, message in [
        ("cx q[0],q[0];", "cx uses qubit 0 more than once"),
        ("ccx q[0],q[1],q[0];", "ccx uses qubit 0 more than once"),
        ("cswap q[2],q[1],q[1];", "cswap uses qubit 1 more than once"),
        ("rzz(0.1) q[1],q[1];", "rzz uses qubit 1 more than once"),
        ("cu1(0.1) q[2],q[2];", "cu1 uses qubit 2 more than once"),
        # a custom gate, whether or not its body uses every argument
        (
            "gate g a,b { h a; cx a,b; }\ng q[1],q[1];",
            "custom gate g uses qubit 1 more than once, as its qubit arguments a and b",
        ),
        (
            "gate g a,b { h a; }\ng q[0],q[0];",
            "custom gate g uses qubit 0 more than once, as its qubit arguments a and b",
        ),
        (
            "gate g(t) a,b,c { rz(t) b; }\ng(1) q[2],q[1],q[2];",
            "qubit 2 more than once, as its qubit arguments a and c",
        ),
        ("gate g a,b,c { h a; }\ng q[1],q[1],q[1];", "qubit 1 more than once, as its qubit arguments a, b and c"),
    ]:
        with pytest.raises(ValueError, match=re.escape(message)):
            quiet(read, DECLS + line)
    # a whole register against itself, in the reader that expands registers
    if read is gw.parse_openqasm2_to_gates:
        with pytest.raises(ValueError, match="swap uses qubit 0 more than once"):
            read(DECLS + "swap q,q;")
        with pytest.raises(ValueError, match="custom gate g uses qubit 0 more than once"):
            quiet(read, DECLS + "gate g a,b { h a; }\ng q,q;")


@pytest.mark.parametrize("read", READERS)
def test_angles_that_are_not_finite_are_refused(read):
    for line, message in [
        ("rz(1e999) q[0];", "rz: parameter 1e999 is not a finite number (inf)"),
        ("u3(0, -1e999, 0) q[0];", "u3: parameter -1e999 is not a finite number (-inf)"),
        ("rx(1e999-1e999) q[0];", "rx: parameter 1e999-1e999 is not a finite number (nan)"),
        ("delay(1e400) q[0];", "delay: parameter 1e400 is not a finite number"),
        ("gate g(t) a { rz(t) a; }\ng(1e999) q[0];", "g: parameter 1e999 is not a finite number"),
        ("gate g(t) a { rz(t*1e10) a; }\ng(1e300) q[0];", "g: parameter t*1e10 is not a finite number (inf)"),
        ("gate g a { rz(2e308) a; }\ng q[0];", "g: parameter 2e308 is not a finite number"),
    ]:
        with pytest.raises(ValueError, match=re.escape(message)):
            quiet(read, DECLS + line)


STATEMENT_PARAMETERS = [
    ("rz(\u03c0\u03c0) q[0];", NameError, "name 'pipi' is not defined, in the parameter '\u03c0\u03c0'"),
    ("rz(theta) q[1]; // a comment", NameError, "name 'theta' is not defined, in the parameter 'theta'"),
    ("u(1,,2) q[0];", SyntaxError, "invalid syntax, in the parameter ''"),
    ("rz( 1/0 ) q[0];", ZeroDivisionError, "division by zero, in the parameter '1/0'"),
    ("rz(.pi) q[0];", ValueError, "could not convert string to float: '.', in the parameter '.pi'"),
    (
        "rz(2**99999999) q[0];",
        OverflowError,
        "integer value too large in parameter expression, in the parameter '2**99999999'",
    ),
    # a parameter list ends at its first ')': the message says what a statement's parameters hold
    (
        "rz(pi^2) q[0];",
        ValueError,
        "Unsupported parameter expression: '^' (only numbers, pi, \u03c0, np.pi and + - * / ** are allowed; "
        "the parameter list ends at its first ')'), in the parameter 'pi^2'",
    ),
]


@pytest.mark.parametrize("read", READERS)
@pytest.mark.parametrize("line, exc, message", STATEMENT_PARAMETERS)
def test_refused_parameters_name_their_statement(read, line, exc, message, monkeypatch):
    statement = line.split("//")[0].strip()
    expected = f"{message} of the statement {statement!r}"
    with pytest.raises(exc) as refused:
        quiet(read, DECLS + line)
    assert str(refused.value) == expected
    # the same through a replaced parse_expression
    original = gw.parse_expression
    monkeypatch.setattr(gw, "parse_expression", lambda text: original(text))
    with pytest.raises(exc) as called:
        quiet(read, DECLS + line)
    assert str(called.value) == expected


@pytest.mark.parametrize("read", READERS)
def test_refused_body_parameters_name_the_call(read, monkeypatch):
    text = DECLS + "gate g(t) a { rz(t*) a; }\ng(0.5) q[2];"
    with pytest.raises(SyntaxError) as e:
        quiet(read, text)
    called = "called by the statement 'g(0.5) q[2];'"
    assert (
        e.value.msg
        == str(e.value)
        == f"invalid syntax, in the parameter 't*' of rz in the body of custom gate g, {called}"
    )
    # what parse_expression itself says is kept, and a replaced one's own errors pass unchanged
    with pytest.raises(NameError, match="^name 'pipi' is not defined$"):
        gw.parse_expression("\u03c0\u03c0")
    with pytest.raises(ValueError, match=re.escape("+ - * / ** and parentheses are allowed)") + "$"):
        gw.parse_expression("pi^2")

    class Mine(ValueError):
        pass

    def refuse(text):
        raise Mine("no " + text)

    monkeypatch.setattr(gw, "parse_expression", refuse)
    with pytest.raises(Mine, match="^no 0.5$"):
        quiet(read, DECLS + "rz(0.5) q[0];")


@pytest.mark.parametrize("read", READERS)
def test_statements_take_as_many_operands_as_their_gate(read):
    """A one-qubit statement with several operands is not applied to each (a
    mistyped cy is no pair of y); two- and three-qubit gates count too."""
    for line, message in [
        ("y q[2],q[1];", "y takes 1 quantum arguments, but got 2."),
        ("h q[0],q[1],q[2];", "h takes 1 quantum arguments, but got 3."),
        ("rz(0.1) q[0],q[1];", "rz takes 1 quantum arguments, but got 2."),
        ("u3(0.1,0.2,0.3) q[0],q[1];", "u3 takes 1 quantum arguments, but got 2."),
        ("u1(0.1) q[0],q[1];", "u1 takes 1 quantum arguments, but got 2."),
        ("u2(0.1,0.2) q[0],q[1];", "u2 takes 1 quantum arguments, but got 2."),
        ("reset q[0],q[1];", "reset takes 1 quantum arguments, but got 2."),
        ("delay(1e-6) q[0],q[1];", "delay takes 1 quantum arguments, but got 2."),
        ("cx q[0];", "cx takes 2 quantum arguments, but got 1."),
        ("cx q[0],q[1],q[2];", "cx takes 2 quantum arguments, but got 3."),
        ("rzz(0.1) q[0];", "rzz takes 2 quantum arguments, but got 1."),
        ("cu1(0.1) q[0],q[1],q[2];", "cu1 takes 2 quantum arguments, but got 3."),
        ("ccx q[0],q[1];", "ccx takes 3 quantum arguments, but got 2."),
    ]:
        with pytest.raises(ValueError, match=re.escape(message)):
            quiet(read, DECLS + line)
    if read is gw.parse_openqasm2_to_gates:
        # one whole register is still one operand, applied to each of its qubits
        assert read(DECLS + "h q;\nrz(0.5) q;")[0] == [("h", i) for i in range(3)] + [("rz", 0.5, i) for i in range(3)]
        with pytest.raises(ValueError, match=re.escape("h takes 1 quantum arguments, but got 2.")):
            read(DECLS + "h q, q[0];")


@pytest.mark.parametrize("read", READERS)
def test_parameters_only_where_the_gate_takes_them(read):
    for line, message in [
        ("h(0.5) q[0];", "h takes 0 parameter(s), but got 1."),
        ("cx(0.5) q[0],q[1];", "cx takes 0 parameter(s), but got 1."),
        ("ccx(1,2) q[0],q[1],q[2];", "ccx takes 0 parameter(s), but got 2."),
        ("reset(1) q[0];", "reset takes 0 parameter(s), but got 1."),
        ("barrier(1) q[0];", "barrier takes 0 parameter(s), but got 1."),
        ("rz q[0];", "rz takes 1 parameter(s), but got 0."),
        ("rz() q[0];", "rz takes 1 parameter(s), but got 0."),
        ("rz(1,2) q[0];", "rz takes 1 parameter(s), but got 2."),
        ("u(1) q[0];", "u takes 3 parameter(s), but got 1."),
        ("r(1,2,3) q[0];", "r takes 2 parameter(s), but got 3."),
        ("u2(1,2,3) q[0];", "u2 takes 2 parameter(s), but got 3."),
        ("rzz(1,2) q[0],q[1];", "rzz takes 1 parameter(s), but got 2."),
        ("cu1(1,2) q[0],q[1];", "cu1 takes 1 parameter(s), but got 2."),
        ("delay(1,2) q[0];", "delay takes 1 parameter(s), but got 2."),
    ]:
        with pytest.raises(ValueError, match=re.escape(message)):
            quiet(read, DECLS + line)
    # empty parentheses hold no parameters
    assert quiet(read, DECLS + "h() q[0];\ncx ( ) q[0],q[1];")[0][0] == [("h", 0), ("cx", 0, 1)]


@pytest.mark.parametrize("read", READERS)
def test_durations_are_not_negative(read):
    for line, message in [
        ("delay(-100) q[0];", "delay: duration -100 (-100.0) is negative"),
        ("delay(-1e-9) q[1];", "delay: duration -1e-9 (-1e-09) is negative"),
        ("delay(1e999) q[0];", "delay: parameter 1e999 is not a finite number (inf)"),
        ("delay(1e999-1e999) q[0];", "delay: parameter 1e999-1e999 is not a finite number (nan)"),
        ("gate g(t) a { delay(t) a; }\ng(-2) q[0];", "custom gate g: delay: duration -2.0 is negative"),
    ]:
        with pytest.raises(ValueError, match=re.escape(message)):
            quiet(read, DECLS + line)
    with pytest.raises(NameError, match="inf"):  # names that are no constants are refused as such
        quiet(read, DECLS + "delay(inf) q[0];")
    gates = quiet(read, DECLS + "delay(0) q[0];\ndelay(-0.0) q[1];")[0][0]
    assert gates == [("delay", 0.0, (0,)), ("delay", -0.0, (1,))]


@pytest.mark.parametrize("read", READERS)
def test_custom_gate_calls_fit_the_definition(read):
    """A call is checked against the definition's parameters and qubits apart,
    so that a missing angle never binds a qubit (or the reverse)."""
    g = "gate g(t) a { rz(t) a; }\n"
    for line, message in [
        (g + "g q[0],q[1];", "custom gate g takes 1 parameter(s), but got 0."),
        (g + "g(1,2) q[0];", "custom gate g takes 1 parameter(s), but got 2."),
        (g + "g(1) q[0],q[1];", "custom gate g takes 1 quantum arguments, but got 2."),
        ("gate g2 a,b { cx a,b; }\ng2(0.5) q[0];", "custom gate g2 takes 0 parameter(s), but got 1."),
        ("gate g2 a,b { cx a,b; }\ng2 q[0];", "custom gate g2 takes 2 quantum arguments, but got 1."),
    ]:
        with pytest.raises(ValueError, match=re.escape(message)):
            quiet(read, DECLS + line)
    assert quiet(read, DECLS + g + "g(0.5) q[2];")[0][0] == [("rz", 0.5, 2)]
    # an unused argument still counts
    assert quiet(read, DECLS + "gate u0(t) a,b { h b; }\nu0(1) q[0],q[1];")[0][0] == [("h", 1)]
    # names that merely begin like pi or hold digits are names
    assert quiet(read, DECLS + "gate g4(pi2, _t) a1 { rz(pi2 + _t) a1; }\ng4(1,2) q[0];")[0][0] == [("rz", 3.0, 0)]


def test_gate_definitions_keep_parameters_and_qubits_apart(capsys):
    custom = gw.parse_openqasm2_custom_gates
    for text, message in [
        ("gate g(t) a { rz(a) a; }", "gate g: qubit argument a is used as a parameter of rz"),
        ("gate g(t) a,b { u3(t, b/2, 0) a; }", "gate g: qubit argument b is used as a parameter of u3"),
        ("gate g(t) a { h t; }", "gate g: parameter t is used as a qubit of h"),
        ("gate g(t) a,b { cx a,t; }", "gate g: parameter t is used as a qubit of cx"),
        ("gate g a { h b; }", "gate g: h acts on b, which is not a qubit argument of g"),
        ("gate g a { h 0; }", "gate g: h acts on 0, which is not a qubit argument of g"),
        ("gate g(t,t) a { rz(t) a; }", "gate g: the argument t is named twice"),
        ("gate g a,a { h a; }", "gate g: the argument a is named twice"),
        # names a parameter text would read as something else: a number or the constant pi
        ("gate g(2) a { rz(2) a; }", "gate g: the parameter 2 is not a name: a name starts with a letter"),
        ("gate g(t, 1e3) a { rz(t) a; }", "gate g: the parameter 1e3 is not a name"),
        ("gate g a,0 { cx a,0; }", "gate g: the qubit argument 0 is not a name"),
        ("gate g(pi) a { rz(pi/2) a; }", "gate g: the parameter pi takes the name of the constant pi; rename it"),
        ("gate g pi { h pi; }", "gate g: the qubit argument pi takes the name of the constant pi"),
        (
            "gate g(\u03c0) a { rz(\u03c0/2) a; }",
            "gate g: the parameter \u03c0 holds \u03c0, the sign of the constant pi",
        ),
        ("gate g(a\u03c0) a2 { rz(a\u03c0) a2; }", "gate g: the parameter a\u03c0 holds \u03c0"),
        ("gate g(a) a { rz(a) a; }", "gate g: the argument a is named twice"),
        ("gate g a { rz a; }", "gate g: rz takes 1 parameter(s), but got 0."),
        ("gate g a { h(0.5) a; }", "gate g: h takes 0 parameter(s), but got 1."),
        ("gate g a,b { h a,b; }", "gate g: h takes 1 quantum arguments, but got 2."),
        ("gate g a,b { cx a; }", "gate g: cx takes 2 quantum arguments, but got 1."),
        ("gate g a,b { rzz a,b; }", "gate g: rzz takes 1 parameter(s), but got 0."),
    ]:
        with pytest.raises(ValueError, match=re.escape(message)):
            custom(text)
    assert capsys.readouterr().out == ""
    # names inside a parameter text: attributes and numbers are no arguments
    table, _ = custom("gate g(e) a { rz(np.pi*e + 1e3) a; barrier a; }")
    assert table["g"]["definition"] == [("rz", "np.pi*e + 1e3", "a"), ("barrier", "a")]
    assert capsys.readouterr().out.startswith("Custom gate detected\ng {")


@pytest.mark.parametrize("read", READERS)
def test_built_in_names_cannot_be_redefined(read, capsys):
    for name in ["h", "cx", "ryy", "u3", "u1", "u2", "cu1", "barrier", "delay", "reset", "measure"]:
        message = f"gate {name}: {name} is a built-in gate and cannot be redefined; rename the definition, or remove"
        with pytest.raises(ValueError, match=re.escape(message)):
            read(DECLS + f"gate {name} a {{ x a; }}\nh q[0];")
        assert capsys.readouterr().out == ""  # refused before the table is printed
    for name in ["include", "opaque", "qreg", "OPENQASM"]:
        message = f"gate {name}: {name} is a built-in statement and cannot be redefined; rename the definition"
        with pytest.raises(ValueError, match=re.escape(message) + "$"):
            read(DECLS + f"gate {name} a {{ x a; }}\nh q[0];")
    # names the reader does not know are a program's own
    gates, _, _ = read(DECLS + "gate U a { x a; }\ngate CX a,b { cx b,a; }\nU q[1];\nCX q[0],q[1];")
    assert gates == [("x", 1), ("cx", 1, 0)]
    assert capsys.readouterr().out.startswith("Custom gate detected\nU {")


def test_registers_and_indices_are_checked_by_name():
    parse = gw.parse_openqasm2_to_gates
    for text, exc, message in [
        ("qreg q[2];\nh q[5];", KeyError, "index 5 is out of range for quantum register q of size 2"),
        ("qreg q[2];\nh r[0];", KeyError, "quantum register r is not declared"),
        ("qreg q[2];\nh foo;", KeyError, "quantum register foo is not declared"),
        ("qreg q[2];\ncx foo, q[0];", KeyError, "quantum register foo is not declared"),
        ("qreg q[2];\ncreg c[1];\nmeasure q[0] -> c[1];", KeyError, "classical register c of size 1"),
        ("qreg q[2];\ncreg c[2];\nmeasure q -> d;", KeyError, "classical register d is not declared"),
        ("qreg q[2];\nqreg q[3];\nh q[0];", ValueError, "quantum register q is declared more than once"),
        ("qreg q[1];\ncreg c[1];\ncreg c[1];", ValueError, "classical register c is declared more than once"),
        ("qreg q[-3];\nh q[0];", ValueError, unrecognized("qreg q[-3];")),
        ("qreg q[2];\ncreg c[x];", ValueError, unrecognized("creg c[x];")),
        ("qreg q[2];\ngate g(t) a [ rz(t) a; ]\ng(1) q[0];", ValueError, unrecognized("gate g(t) a [ rz(t) a; ]")),
        ("qreg q[-3]; // three", ValueError, unrecognized("qreg q[-3];")),
        # the index space of one kind is bounded, register by register and in all
        ("qreg q[1048577];", ValueError, "Register size 1048577 is too large: at most 1048576 qubits"),
        (
            "qreg q[1048576];\nqreg r[3];",
            ValueError,
            "The registers of one kind hold 1048579 qubits or classical bits in all: at most 1048576 are supported",
        ),
    ]:
        with pytest.raises(exc, match=message if "Sorry" in message else re.escape(message)):
            quiet(parse, text)
    out = io.StringIO()
    with contextlib.redirect_stdout(out), pytest.raises(ValueError):
        parse("qreg q[2];\nqreg r[2];\nqreg q[1];")
    assert out.getvalue() == ""  # refused before the register notice


def test_single_register_reader_checks_names_and_indices():
    dump = gw.parse_openqasm2_to_gates_dump
    for text, exc, message in [
        ("qreg q[3];\nh r[1];", KeyError, "quantum register r is not declared"),
        ("qreg q[3];\nh q[3];", KeyError, "index 3 is out of range for quantum register q of size 3"),
        ("h q[0];", KeyError, "quantum register q is not declared"),
        ("qreg q[3];\ncreg c[1];\nmeasure q[0] -> c[1];", KeyError, "classical register c of size 1"),
        ("qreg q[3];\nh q[0], q[1];", ValueError, "h takes 1 quantum arguments, but got 2."),
        ("qreg q[3];\nrz(0.1) q[0], q[1];", ValueError, "rz takes 1 quantum arguments, but got 2."),
        ("qreg q[3];\ncx q[0], q;", ValueError, "cx takes indexed qubits, not the whole register q"),
        ("qreg q[3];\nmeasure q[0];", ValueError, "measurement gate: position parse error"),
        ("qreg q[3];\ncreg c[3];\nmeasure q[0], c[1], c[2];", ValueError, "measurement gate: position parse error"),
        ("qreg q[3];\ncreg c[3];\nmeasure q[0] -> c;", ValueError, "measure takes 2 quantum arguments, but got 1."),
        ("qreg q[3];\ngate g(t) a { rz(t) a; }\ng(zz) q[0];", NameError, "zz"),
        ("qreg q[3];\ngate g(t) a { rz(t) a; }\ng q[0];", ValueError, "custom gate g takes 1 parameter(s), but got 0."),
        ("qreg q[3];\nqreg  q [3];", ValueError, "only one quantum or classical register"),
        ("qreg q[3];\nqreg q[x];", ValueError, unrecognized("qreg q[x];")),
        ("qreg q[3];\ncreg c[-1]; // none", ValueError, unrecognized("creg c[-1];")),
        ("measure q -> c;", ValueError, unrecognized("measure q -> c;")),
    ]:
        with pytest.raises(exc, match=message if "Sorry" in message else re.escape(message)):
            quiet(dump, text)
    # an empty parameter list calls a gate without parameters
    assert quiet(dump, "qreg q[2];\ngate g a { x a; }\ng() q[1];")[0][0] == [("x", 1)]


def test_custom_gate_bodies_read_or_refused():
    custom = gw.parse_openqasm2_custom_gates
    for text, message in [
        ("gate g a,b { cx a b; }", "parse error cx a b !"),
        ("gate g a,b { cx a,,b; }", "parse error cx a,,b !"),
        ("gate g a { h; }", "parse error h !"),
        ("gate g a { (h) a; }", "parse error (h) a !"),
        ("gate g a { rz(0.1 a; }", "parse error rz(0.1 a !"),
        ("gate g a { h a[0]; }", "parse error h a[0] !"),
        ("gate g a b { h a; }", "parse error a b !"),
        ("gate g(x y) a { rz(x) a; }", "parse error x y !"),
        ("gate g(x,) a { rz(x) a; }", "parse error x, !"),
    ]:
        with pytest.raises(ValueError, match=re.escape(message)):
            quiet(custom, text)
    with pytest.raises(ValueError, match="custom gate g: measure cannot stand in a gate definition"):
        quiet(gw.parse_openqasm2_to_gates, "qreg q[1];\ngate g a { measure a; }\ng q[0];")


# ---------------------------------------------------------------- an independent reading

OPERAND = r"(\w+)(?:\s*\[\s*(\d+)\s*\])?"
STATEMENT = re.compile(rf"(\w+)\s*(?:\(([^()]*)\)\s*|\s)\s*({OPERAND}(?:\s*,\s*{OPERAND})*)\s*;")
MEASURE = re.compile(rf"measure\s+{OPERAND}\s*->\s*{OPERAND}\s*;")
NAMES = {"u1": "u", "u2": "u", "u3": "u", "cu1": "cp"}
KINDS = {
    **dict.fromkeys(gw.one_qubit_gates_available, 1),
    **dict.fromkeys(gw.one_qubit_parameter_gates_available, 1),
    **dict.fromkeys(["u1", "u2", "reset", "delay"], 1),
    **dict.fromkeys(gw.two_qubit_gates_available, 2),
    **dict.fromkeys(gw.two_qubit_parameter_gates_available, 2),
    "cu1": 2,
    **dict.fromkeys(gw.three_qubit_gates_available, 3),
}


COUNTS = {"u": 3, "u3": 3, "r": 2, "u2": 2, "u1": 1, "rx": 1, "ry": 1, "rz": 1, "p": 1, "delay": 1, "cu1": 1}
COUNTS.update(dict.fromkeys(gw.two_qubit_parameter_gates_available, 1))


class Refused(Exception):
    pass


def reference(text):
    """Reads a program of gate-table statements (no custom gates) with plain
    regular expressions: the gate list, or Refused."""
    regs = {"q": {}, "c": {}}
    for kind, name, size in re.findall(r"([qc])reg\s+(\w+)\s*\[\s*(\d+)\s*\]\s*;", text):
        base = sum(len(m) for m in regs[kind].values())
        if name in regs[kind]:
            raise Refused
        regs[kind][name] = list(range(base, base + int(size)))

    def wires(kind, name, index):
        if name not in regs[kind] or (index and int(index) >= len(regs[kind][name])):
            raise Refused
        return [regs[kind][name][int(index)]] if index else regs[kind][name]

    gates, used = [], []
    for line in text.splitlines():
        code = line.split("//")[0].strip()
        if (
            not code
            or re.match(r"(OPENQASM|include)\b", code)
            or re.fullmatch(r"[qc]reg\s+\w+\s*\[\s*\d+\s*\]\s*;", code)
        ):
            continue
        m = MEASURE.fullmatch(code) or MEASURE.fullmatch(code.replace(",", "->"))  # measure q, c; reads as q -> c
        if m:
            qs, cs = wires("q", *m.group(1, 2)), wires("c", *m.group(3, 4))
            if len(qs) != len(cs):
                raise Refused
            gates += [("measure", [a], [b]) for a, b in zip(qs, cs)]
            used += qs
            continue
        m = STATEMENT.fullmatch(code)
        if not m or m.group(1) not in KINDS and m.group(1) != "barrier":
            raise Refused
        name, params = m.group(1), m.group(2)
        ops = [wires("q", *re.fullmatch(OPERAND, o.strip()).groups()) for o in m.group(3).split(",")]
        values = [gw.parse_expression(p) for p in params.split(",")] if params and params.strip() else []
        if any(isinstance(v, float) and not math.isfinite(v) for v in values):
            raise Refused
        if len(values) != COUNTS.get(name, 0):
            raise Refused
        if name == "barrier":
            gates.append(("barrier", tuple(q for op in ops for q in op)))
            continue
        width = KINDS[name]
        if width == 1:
            if len(ops) != 1:
                raise Refused
            for q in ops[0]:
                gates.append(one_qubit_record(name, values, q))
                used.append(q)
            continue
        if len(ops) != width or len({len(op) for op in ops}) != 1:
            raise Refused
        for qs in zip(*ops):
            if len(set(qs)) != width:
                raise Refused
            gates.append((NAMES.get(name, name), *values, *qs))
            used += qs
    kept = set(used)
    trimmed = []
    for g in gates:
        if g[0] == "barrier":
            g = ("barrier", tuple(q for q in g[1] if q in kept))
            if not g[1]:
                continue
        trimmed.append(g)
    return trimmed


def one_qubit_record(name, values, q):
    if name == "u1":
        return ("u", 0, 0, values[0], q)
    if name == "u2":
        return ("u", math.pi / 2, values[0], values[1], q)
    if name == "delay":
        return ("delay", *values, (q,))
    return (NAMES.get(name, name), *values, q)


TOKEN = re.compile(r"(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|\w+|->|\S")


def respace(rnd, line):
    """The tokens of a line with random blanks between them (at least one between two words)."""
    tokens = TOKEN.findall(line)
    out = tokens[:1]
    for a, b in zip(tokens, tokens[1:]):
        words = re.match(r"\w", a[-1]) and re.match(r"\w", b[0])
        out += [rnd.choice([" ", "  ", "\t"] if words else ["", " ", "\t "]), b]
    return "".join(out)


def mutations(rnd, line):
    """A statement with its spacing changed, or with one token dropped, doubled or replaced."""
    tokens = TOKEN.findall(line)
    k = rnd.randrange(len(tokens))
    choice = rnd.randrange(5)
    if choice == 0:
        return respace(rnd, line)
    if choice == 1:
        del tokens[k]
    elif choice == 2:
        tokens.insert(k, tokens[k])
    elif choice == 3:
        tokens[k] = rnd.choice(["[", "]", ",", ";", "(", ")", "q", "0", "2", "->", "r"])
    else:
        tokens.insert(k, rnd.choice([" ", ",", "[1]", "q", "c[0]"]))
    return " ".join(tokens)


PROGRAM = (
    "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[3];\nqreg r[2];\ncreg c[3];\n"
    "h q[0];\ncx q[1],r[0];\nrz(pi/4) q;\nu2(0,pi) r[1];\nccx q[0],q[1],q[2];\ncu1(0.3) q[2],r[1];\n"
    "barrier q[0],r;\nswap r[0],r[1];\nmeasure q -> c;\nmeasure r[0] -> c[1];\nreset q[1];\n"
)


def test_reader_agrees_with_an_independent_reading():
    rnd = random.Random(7)
    lines = PROGRAM.splitlines()
    compared = refused = 0
    for _ in range(3000):
        k = rnd.randrange(5, len(lines))
        text = "\n".join(lines[:k] + [mutations(rnd, lines[k])] + lines[k + 1 :])
        ours = reading(text)
        try:
            expected = reference(text)
        except (Refused, ValueError, SyntaxError, NameError, ZeroDivisionError):
            assert isinstance(ours, Raised), (text, ours)
            refused += 1
            continue
        assert not isinstance(ours, Raised), (text, ours)
        assert ours[0] == expected, text
        compared += 1
    assert compared > 500 and refused > 500


def test_corpus_respaced_reads_the_same():
    rnd = random.Random(11)
    for path in corpus()[::4]:
        text = path.read_text()
        if "gate " in text:
            continue
        expected = quiet(gw.parse_openqasm2_to_gates, text)[0]
        respaced = "\n".join(
            respace(rnd, line) if not line.lstrip().startswith(("OPENQASM", "include", "//")) else line
            for line in text.splitlines()
        )
        assert quiet(gw.parse_openqasm2_to_gates, respaced)[0] == expected, path.name


# ---------------------------------------------------------------- the fast path and the composition


def test_the_fast_reading_matches_the_composition_of_the_functions(monkeypatch):
    """The reader reads lines in C++ while the module's names hold its own
    functions; through wrappers it calls them.  Both give the same result."""
    rnd = random.Random(3)
    lines = PROGRAM.splitlines()
    texts = []
    for _ in range(400):
        k = rnd.randrange(5, len(lines))
        texts.append("\n".join(lines[:k] + [mutations(rnd, lines[k])] + lines[k + 1 :]))

    fast_outcomes = [outcome(lambda t=t: gw.parse_openqasm2_to_gates(t)) for t in texts]
    for name in ("sparse_gate_params_qregs", "get_positions_list", "parse_expression"):
        original = getattr(gw, name)
        monkeypatch.setattr(gw, name, lambda *a, _f=original: _f(*a))
    for text, fast in zip(texts, fast_outcomes):
        assert_paths_agree(fast, outcome(lambda: gw.parse_openqasm2_to_gates(text)), text)


@pytest.mark.parametrize("read", READERS)
def test_custom_gate_calls_read_alike_through_a_replaced_definition_reader(read, monkeypatch):
    """The reader knows each custom gate's parameters from the module's own
    definition reader, or from the definitions' headers when the name holds
    another function: both refuse and read the same calls."""
    rnd = random.Random(5)
    defs = "gate g(t) a { rz(t) a; }\ngate g2 a,b { cx a,b; }\ngate g3(s,t) a,b { rzz(s) a,b; rx(t) b; }\n"
    texts = []
    for _ in range(300):
        name = rnd.choice(["g", "g2", "g3"])
        params = ",".join(rnd.choice(["0.5", "pi", "1"]) for _ in range(rnd.randrange(3)))
        operands = ",".join(rnd.choice(["q[0]", "q[1]", "q[2]", "q"]) for _ in range(rnd.randrange(1, 3)))
        call = f"{name}({params}) {operands};" if params else f"{name} {operands};"
        texts.append(DECLS + defs + call)

    own_reader = [outcome(lambda t=t: read(t)) for t in texts]
    original = gw.parse_openqasm2_custom_gates
    monkeypatch.setattr(gw, "parse_openqasm2_custom_gates", lambda text: original(text))
    for text, fast in zip(texts, own_reader):
        assert_paths_agree(fast, outcome(lambda: read(text)), text)
    assert sum(not isinstance(r["result"], Raised) for r in own_reader) > 20
