"""Angle text: is_multiple_of_pi and the safe parameter-expression reader."""

import time

import numpy as np
import pytest

from vexal.circuit.gatework import is_multiple_of_pi, parse_expression

PI = np.pi


@pytest.mark.parametrize(
    "value, text",
    [
        (PI / 2, "0.5\u03c0"),
        (PI, "1.0\u03c0"),
        (-PI / 4, "-0.25\u03c0"),
        (2 * PI, "2.0\u03c0"),
        (0, "0.0"),
        (-0.0, "0.0"),
        (1e-12, "0.0"),
        (1.0, "1.0"),
        (0.1234567, "0.123"),
        (2, "2"),
        (1e-5, "0.0"),
        (PI / 3, "1.047"),
        (np.float64(PI / 2), "0.5\u03c0"),
        (float("nan"), "nan"),
        (float("inf"), "inf"),
    ],
)
def test_is_multiple_of_pi(value, text):
    assert is_multiple_of_pi(value) == text


def test_is_multiple_of_pi_tolerance_and_arguments():
    assert is_multiple_of_pi(PI / 3, 0.01) == "0.33\u03c0"
    assert is_multiple_of_pi(n=PI / 3, tolerance=1) == "0.33\u03c0"
    assert is_multiple_of_pi(PI / 3, True) == "0.33\u03c0"  # bool is a real number
    with pytest.raises(TypeError, match="unsupported operand"):
        is_multiple_of_pi("theta")
    for bad in (None, "0.1"):
        with pytest.raises(TypeError):
            is_multiple_of_pi(1.0, bad)
    assert is_multiple_of_pi.__annotations__ == {"tolerance": "float", "return": "str"}
    assert is_multiple_of_pi.__defaults__ == (1e-9,)


def test_is_multiple_of_pi_matches_reference_on_random_angles():
    rng = np.random.default_rng(1)

    def reference(n, tolerance=1e-9):
        m = n / np.pi
        k = round(m, 2)
        if abs(m - k) < tolerance:
            return "0.0" if np.allclose(k, 0.0) else str(k) + "\u03c0"
        return str(round(n, 3))

    values = list(rng.uniform(-20, 20, 2000)) + [k * np.pi / 100 for k in range(-400, 401)]
    values += [int(v) for v in rng.integers(-50, 50, 100)]
    for v in values:
        v = float(v) if not isinstance(v, int) else v
        assert is_multiple_of_pi(v) == reference(v), v


@pytest.mark.parametrize(
    "text, value",
    [
        ("pi/2", PI / 2),
        ("\u03c0/2", PI / 2),
        ("0.5pi", PI / 2),
        ("  pi / 2 ", PI / 2),
        ("-pi", -PI),
        ("+pi", PI),
        ("pi", PI),
        ("2.pi", 2 * PI),
        ("3pi/-4", -0.75 * PI),
        ("3*pi/4", 3 * PI / 4),
        ("np.pi/8", PI / 8),
        ("1/2", 0.5),
        ("0.785", 0.785),
        ("-2**2", -4.0),
        ("2**-1", 0.5),
        ("2**3**2", 512.0),
        ("(1+2)*pi", 3 * PI),
        ("1e3", 1000.0),
        ("1_000", 1000.0),
        ("0x10", 16.0),
        ("-(-(pi))", PI),
        ("10**400/10**399", 10.0),
        ("\u0663pi", 3 * PI),  # a non-ASCII digit, matched like Python's \d
    ],
)
def test_parse_expression_values(text, value):
    assert parse_expression(text) == value
    assert type(parse_expression(text)) is float


def test_pi_form_multiplies_then_divides():
    assert parse_expression("3pi/4") == parse_expression("3*pi/4") == (3.0 * np.pi) / 4.0


@pytest.mark.parametrize(
    "text, error",
    [
        (".pi", ValueError),
        ("-.pi", ValueError),
        ("pi/0", ZeroDivisionError),
        ("1/0", ZeroDivisionError),
        ("pi2", NameError),
        ("theta", NameError),
        ("", SyntaxError),
        ("   ", SyntaxError),
        ("1 +", SyntaxError),
        ("(1", SyntaxError),
        ("1)", SyntaxError),
        ("2pi/3*2", SyntaxError),
        ("1j", TypeError),
        ("(-8)**0.5", TypeError),
        ("10**400", OverflowError),
    ],
)
def test_parse_expression_errors(text, error):
    with pytest.raises(error):
        parse_expression(text)


@pytest.mark.parametrize(
    "text",
    [
        "__import__('os').system('touch {marker}')",
        "open('{marker}', 'w')",
        "np.sqrt(2)",
        "abs(-1)",
        "np",
        "np.e",
        "True",
        "None",
        "'a'",
        "[1]",
        "1 if 1 else 2",
        "lambda: 1",
        "1//2",
        "5 % 3",
        "1 < 2",
        "~1",
        "x.y",
        "(1, 2)",
        "().__class__",
    ],
)
def test_parse_expression_never_executes_code(text, tmp_path):
    marker = tmp_path / "marker"
    with pytest.raises((ValueError, NameError, SyntaxError)):
        parse_expression(text.format(marker=marker))
    assert not marker.exists()


def test_parse_expression_bounds_work_and_depth():
    start = time.perf_counter()
    for text in ("9**9**9", "2**100000", "(10**5000)*(10**5000)*(10**5000)*(10**5000)"):
        with pytest.raises(OverflowError):
            parse_expression(text)
    for text in ("(" * 100000 + "1" + ")" * 100000, "-" * 100000 + "1", "2" + "**2" * 100000):
        with pytest.raises(SyntaxError):
            parse_expression(text)
    assert parse_expression("+".join(["1"] * 100000)) == 100000.0
    assert time.perf_counter() - start < 30  # generous: a hang would never end


def test_parse_expression_argument_type():
    for bad in (None, b"pi", 1.0, ["pi"]):
        with pytest.raises(TypeError, match=r"Argument 'expr' has incorrect type \(expected str, got "):
            parse_expression(bad)

    class S(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got S\)"):
        parse_expression(S("pi"))
    with pytest.raises(TypeError, match=r"parse_expression\(\) takes exactly 1 positional argument \(0 given\)"):
        parse_expression()
    with pytest.raises(TypeError, match=r"parse_expression\(\) takes exactly 1 positional argument \(2 given\)"):
        parse_expression("pi", "pi")
    assert parse_expression(expr="pi") == PI
    assert parse_expression.__annotations__ == {"expr": "str", "return": "float"}
