"""Circuit text drawing: the grid, the layering, the formatting and the rows;
the fast path against the functions called one by one and against a
reading of the layering rules; replaced functions; the corpus."""

import copy
import random

import numpy as np
import pytest
from helpers import EVERY, corpus, corpus_id, random_gates, read_program

import vexal.circuit.gatework as gw
from vexal.circuit.gatework import (
    add_gates_to_lines,
    format_gates_layerd,
    generate_gates_layerd,
    initialize_lines,
)

PI = np.pi
W, G, C, BAR = "\u2500", " ", "\u2550", "\u2502"
T1, T2, T3 = gw.one_qubit_gates_available, gw.two_qubit_gates_available, gw.three_qubit_gates_available
T1P, T2P = gw.one_qubit_parameter_gates_available, gw.two_qubit_parameter_gates_available


def layers(nq, nc, gates, pv=None):
    return generate_gates_layerd(nq, nc, gates, pv or {})[0][1:]


def rows(nq, nc, gates, pv=None, width=4):
    return add_gates_to_lines(nq, nc, gates, pv or {}, width)[0]


# ---------------------------------------------------------------- the grid


def test_blank_grid_and_labels():
    element, grid = initialize_lines(2, 2, [("h", 0)])
    assert element == [W, G, W, G, C, G]
    assert grid[0] == ["q[0]  ", " " * 6, "q[1]  ", " " * 6, "c:  2/", " " * 6]
    assert len(grid) == 4 and all(col == element for col in grid[1:])
    grid[1][0] = "X"
    assert grid[2][0] == W and element[0] == W  # every layer its own list

    assert initialize_lines(1, 0, [])[1][0] == ["q[0]  ", " " * 6, "c:  0/", " " * 6]
    element, grid = initialize_lines(1, 10, [])
    assert element == [W, G, C, G, G] and grid[0][2] == "c: 10/" and len(grid) == 2
    assert initialize_lines(0, 3, [])[1] == [["c:  3/", " " * 6]]
    labels = initialize_lines(101, 100, [])[1][0]
    assert labels[20] == "q[10] " and labels[200] == "q[100]" and labels[202] == "c:100/"


def test_labels_widen_beyond_three_digits():
    labels = initialize_lines(1001, 5, [])[1][0]
    assert {len(c) for c in labels} == {7}
    assert labels[0] == "q[0]   " and labels[2000] == "q[1000]" and labels[2002] == "c:   5/"
    labels = initialize_lines(2, 1000, [])[1][0]
    assert labels == ["q[0]   ", " " * 7, "q[1]   ", " " * 7, "c:1000/"] + [" " * 7] * 4
    out = rows(1001, 1000, [("h", 1000), ("measure", [1000], [999])])
    assert len({len(r) for r in out}) == 1 and out[2000].startswith("q[1000]")


def test_grid_arguments_are_checked():
    with pytest.raises(TypeError, match="Argument 'gates' has incorrect type"):
        initialize_lines(1, 1, ())
    with pytest.raises(TypeError, match="Argument 'nqubits' has incorrect type"):
        initialize_lines("1", 1, [])
    assert initialize_lines(2.9, 1.5, [])[0] == [W, G, W, G, C, G]
    with pytest.raises(ValueError, match="nqubits must be at least 0"):
        initialize_lines(-1, 1, [])
    with pytest.raises(ValueError, match="ncbits must be at least 0"):
        generate_gates_layerd(1, -1, [], {})
    with pytest.raises(MemoryError, match="more than"):
        initialize_lines(10**9, 1, [])
    with pytest.raises(MemoryError, match="more than"):
        add_gates_to_lines(1, 1, [("h", 0)], {}, 10**12)


# ---------------------------------------------------------------- the layering


def test_layering_example_and_lines_use():
    gates = [("h", 0), ("cx", 0, 1), ("measure", [0], [0]), ("measure", [1], [1])]
    cols, use = generate_gates_layerd(2, 2, gates, {})
    assert cols[0] == initialize_lines(2, 2, [])[1][0]
    assert cols[1:] == [
        ["H", G, W, G, C, G],
        ["\u25cf", BAR, "X", G, C, G],
        ["M", BAR, BAR, BAR, C, "0"],
        [W, G, "M", BAR, C, "1"],
    ]
    assert use == [0, 1, 0, 1, 2, 3, 0, 1, 2, 3]
    assert generate_gates_layerd(2, 2, [], {}) == ([cols[0]], [])


@pytest.mark.parametrize(
    "gates, where",
    [
        ([("h", 0), ("x", 1)], [1, 1]),
        ([("h", 0), ("x", 0)], [1, 2]),
        ([("cx", 0, 2), ("h", 1)], [1, 2]),  # the connector crosses qubit 1
        ([("x", 0), ("cx", 1, 2)], [1, 1]),
        ([("h", 0), ("h", 0), ("x", 1)], [1, 2, 1]),
        ([("h", 0), ("h", 0), ("cx", 0, 1), ("x", 1)], [1, 2, 3, 4]),  # no going back
        ([("h", 0), ("cu", 0, 1), ("x", 0)], [1, None, 2]),  # unknown names leave no trace
        ([("h", 2), ("measure", [0], [0])], [1, 2]),
        ([("h", 0), ("measure", [2], [0])], [1, 1]),
        ([("measure", [0], [0]), ("measure", [2], [1])], [1, 2]),  # digits rows keep order
        ([("barrier", (0, 2)), ("h", 1), ("h", 0)], [1, 1, 2]),
    ],
)
def test_placement(gates, where):
    nq = 3
    cols, _ = generate_gates_layerd(nq, 2, gates, {})
    symbols = {"h": "H", "x": "X", "cx": "\u25cf", "measure": "M", "barrier": "\u2591"}
    for g, at in zip(gates, where):
        if at is None:
            continue
        q = g[1] if isinstance(g[1], int) else g[1][0]
        assert cols[at][2 * q] == symbols[g[0]], (g, at)
    assert len(cols) - 1 == max(w for w in where if w)


def test_multi_qubit_cells():
    assert layers(2, 1, [("cx", 1, 0)])[0][:4] == ["X", BAR, "\u25cf", G]
    assert layers(3, 1, [("ccx", 2, 0, 1)])[0][:6] == ["\u25cf", BAR, "X", BAR, "\u25cf", G]
    assert layers(3, 1, [("cswap", 1, 0, 2)])[0][:6] == ["X", BAR, "\u25cf", BAR, "X", G]
    assert layers(3, 1, [("iswap", 0, 2)])[0][:5] == ["\u2736", BAR, BAR, BAR, "\u2736"]
    assert layers(2, 1, [("cx", 1, 1)])[0][:4] == [W, G, "X", G]  # a repeated qubit: the later cell

    cp = layers(2, 1, [("cp", PI / 2, 1, 0)])[0]
    assert cp[:3] == ["P(0.5\u03c0)", "   \u2502   ", "\u2500\u2500\u2500\u25cf\u2500\u2500\u2500"]
    cp = layers(3, 1, [("cp", PI / 4, 0, 2)])[0]
    assert cp[:5] == [
        W * 4 + "\u25cf" + W * 4,
        " " * 4 + BAR + " " * 4,
        W * 4 + BAR + W * 4,
        cp[1],
        "P(0.25\u03c0)\u2500",
    ]

    box = layers(2, 1, [("rzz", PI / 2, 0, 1)])[0]
    assert box[:3] == [
        "\u250c" + W * 4 + "0" + W * 4 + "\u2510",
        "\u2502Rzz(0.5\u03c0)\u2502",
        "\u2514" + W * 4 + "1" + W * 4 + "\u2518",
    ]
    box = layers(2, 1, [("rxx", PI / 2, 1, 0)])[0]
    assert box[0][5] == "1" and box[2][5] == "0" and box[1] == "\u2502Rxx(0.5\u03c0)\u2502"
    box = layers(3, 1, [("rxx", PI / 4, 2, 0)])[0]
    label = "Rxx(0.25\u03c0) "
    assert [len(c) for c in box[:5]] == [13] * 5 and box[0][6] == "1" and box[4][6] == "0"
    assert box[2] == "\u2502" + label + "\u2502" and box[1] == box[3] == "\u2502" + " " * 11 + "\u2502"


def test_functional_and_parameter_cells():
    barrier = layers(4, 1, [("barrier", (0, 1, 3))])[0]
    assert barrier[:8] == ["\u2591", "\u2591", "\u2591", G, W, G, "\u2591", G]
    delay = layers(2, 1, [("delay", 1e-07, (0, 1))])[0]
    assert delay[:3] == ["Delay(1.0e-07s)", G, "Delay(1.0e-07s)"]
    assert layers(1, 1, [("reset", 0)])[0][0] == "|0>"
    assert layers(1, 1, [("u", PI / 2, 0, PI, 0)])[0][0] == "U(0.5\u03c0,0.0,1.0\u03c0)"
    assert layers(1, 1, [("r", 1, 2.0, 0)])[0][0] == "R(1,2.0)"
    assert layers(1, 1, [("u3", PI, 0)])[0][0] == "U(1.0\u03c0)"
    assert layers(1, 1, [("rz", True, 0)])[0][0] == "Rz(1)"
    assert layers(1, 1, [("p", np.float64(PI / 3), 0)])[0][0] == "P(1.047)"
    assert layers(1, 1, [("rx", np.int64(2), 0)])[0][0] == "Rx(2)"
    pv = {"theta": "theta", "phi": PI, "bad": None}
    assert layers(1, 1, [("rx", "theta", 0), ("ry", "phi", 0)], pv) == [
        ["Rx(theta)", G, C, G],
        ["Ry(1.0\u03c0)", G, C, G],
    ]
    with pytest.raises(KeyError, match="lam"):
        generate_gates_layerd(1, 1, [("rx", "lam", 0)], pv)
    with pytest.raises(TypeError, match="parameter 'bad'"):
        generate_gates_layerd(1, 1, [("rx", "bad", 0)], pv)
    with pytest.raises(TypeError, match="angle must be a number"):
        generate_gates_layerd(1, 1, [("rx", None, 0)], pv)
    with pytest.raises(ValueError, match="Unknown format code"):
        generate_gates_layerd(1, 1, [("delay", "long", (0,))], {})


def test_angle_labels_of_exact_numbers_agree_with_python_arithmetic(monkeypatch):
    class Float(float):
        pass

    class Int(int):
        pass

    rng = random.Random(3)
    values = [rng.uniform(-10, 10) for _ in range(2000)] + [k * PI / 100 for k in range(-400, 401)]
    values += [0.125, 2.675, 0.0005, 1e300, -1e-300, float("nan"), float("inf"), -0.0]
    for v in values:  # exact floats are worked out in C++, subclasses by Python's own operations
        assert gw.is_multiple_of_pi(v) == gw.is_multiple_of_pi(Float(v)), v
    for v in (0, 1, -7, 10**15, 2**53 + 1, -(2**62), 10**30):
        assert gw.is_multiple_of_pi(v) == gw.is_multiple_of_pi(Int(v)), v
    monkeypatch.setattr(gw.is_multiple_of_pi, "__defaults__", (0.01,))
    assert layers(1, 1, [("rx", PI / 3, 0)])[0][0] == "Rx(0.33\u03c0)"


def test_measure_digits_and_wires():
    m = layers(3, 20, [("measure", [2], [12]), ("measure", [0], [3])])
    assert m[0][4:] == ["M", BAR, C, "1", "2"]  # the last qubit: only its gap row
    assert m[1] == ["M", BAR, BAR, BAR, BAR, BAR, C, "3", G]


def test_faults_mended():
    # a u3 record of the u shape is the u gate under its own symbol
    assert layers(1, 1, [("u3", PI / 2, 0, PI, 0)])[0][0] == "U(0.5\u03c0,0.0,1.0\u03c0)"
    # measure records with more pairs than the grid of the record count has layers
    cols, use = generate_gates_layerd(1, 1, [("measure", [0] * 5, [0] * 5)], {})
    assert len(cols) == 6 and all(c[0] == "M" for c in cols[1:]) and use == [0, 1] * 5
    out = rows(2, 12, [("measure", [0, 1] * 20, list(range(12)) * 3 + [0, 1, 2, 3])])
    assert len({len(r) for r in out}) == 1 and out[0].count("M") == 20


@pytest.mark.parametrize(
    "gates, error, text",
    [
        ([("h", 2)], ValueError, "out of range"),
        ([("h", 0, 1)], ValueError, "wrong number of elements"),
        ([("u3", 1, 2, 0)], ValueError, "wrong number of elements"),
        (["h"], ValueError, "a gate record is a tuple"),
        ([()], ValueError, "no gate name"),
        ([("h", 0.5)], TypeError, "must be an integer"),
        ([("measure", [0, 1], [0])], ValueError, "fewer classical bits"),
        ([("measure", [0], [100])], ValueError, "more digits than the picture has digit rows"),
        ([("measure", [0], [-1])], ValueError, "negative"),
        ([("barrier", 0)], ValueError, "must be a tuple or a list"),
    ],
)
def test_bad_records_raise_and_change_nothing(gates, error, text):
    records = [("x", 1)] + gates
    before = repr(records)
    with pytest.raises(error, match=text):
        add_gates_to_lines(2, 2, records, {})
    assert repr(records) == before


# ---------------------------------------------------------------- formatting and rows


def test_format_widths():
    gates = [("h", 0), ("cx", 0, 1), ("rx", PI / 2, 1), ("reset", 1)]
    cols, use = format_gates_layerd(2, 1, gates, {})
    assert cols[0] == initialize_lines(2, 1, [])[1][0]
    assert cols[1] == ["H", G, W, G, C, G] and cols[2] == ["\u25cf", BAR, "X", G, C, G]
    assert cols[3] == [W * 9, G * 9, "Rx(0.5\u03c0)" + W, G * 9, C * 9, G * 9]  # 8 wide, padded to 9
    assert cols[4] == [W * 3, G * 3, "|0>", G * 3, C * 3, G * 3]  # one character centred
    assert use == generate_gates_layerd(2, 1, gates, {})[1]
    # widths count code points, as len() does
    pv = {"t": "a\U0001f600"}
    assert format_gates_layerd(1, 1, [("rx", "t", 0)], pv)[0][1] == ["Rx(a\U0001f600)" + W, G * 7, C * 7, G * 7]
    assert len({len(r) for r in rows(1, 1, [("rx", "t", 0)], pv)}) == 1


def test_rows():
    out, use = add_gates_to_lines(1, 1, [("h", 0)], {})
    assert out == ["q[0]  " + W * 4 + "H" + W * 4, " " * 15, "c:  1/" + C * 9, " " * 15]
    assert use == [0, 1]
    assert rows(1, 1, [("h", 0)], width=0) == ["q[0]  H", " " * 7, "c:  1/" + C, " " * 7]
    assert rows(1, 1, [("h", 0)], width=-3) == rows(1, 1, [("h", 0)], width=0)
    assert add_gates_to_lines(nqubits=1, ncbits=0, gates=[], params_value={})[0] == [
        "q[0]  " + W * 4,
        " " * 10,
        "c:  0/" + C * 4,
        " " * 10,
    ]


# ---------------------------------------------------------------- the rules, read one by one


def fill(i, nq):
    return ("\u2500" if i % 2 == 0 else " ") if i < 2 * nq else ("\u2550" if i == 2 * nq else " ")


def reference(nq, nc, gates, pv):
    """The layering as the rules state it: every layer scanned from the top."""
    el = list("\u2500 " * nq) + ["\u2550"] + [" "] * len(str(nc))
    label = [f"q[{i // 2}]".ljust(6) if i < 2 * nq and i % 2 == 0 else " " * 6 for i in range(len(el))]
    label[2 * nq] = "c:" + str(nc).rjust(3) + "/"
    grid = [label] + [copy.deepcopy(el) for _ in range(len(gates) + nq)]
    use = []

    def text(v):
        w = pv[v] if isinstance(v, str) else v
        return w if isinstance(w, str) else gw.is_multiple_of_pi(w)

    def place(occupied, cells, used):
        for idx in range(len(grid) - 1, -1, -1):
            if occupied(grid[idx]):
                if idx + 1 == len(grid):
                    grid.append(copy.deepcopy(el))
                for r, cell in cells:
                    grid[idx + 1][r] = cell
                use.extend(used)
                return

    def span(lo, hi):
        pattern = list("\u2500 " * (hi - lo) + "\u2500")
        return lambda col: col[2 * lo : 2 * hi + 1] != pattern

    def wires(qs):
        return lambda col: not all(col[2 * j] == "\u2500" for j in qs)

    def ends(*qs):
        return [r for q in sorted(qs) for r in (2 * q, 2 * q + 1)]

    for g in gates:
        name = g[0]
        if name in T1 or name in T1P or name == "reset":
            q = g[-1]
            if name in T1:
                cell = T1[name]
            elif name == "reset":
                cell = "|0>"
            elif len(g) == 5:
                cell = ("U" if name == "u" else T1P[name]) + "(" + ",".join(text(x) for x in g[1:4]) + ")"
            elif name == "r":
                cell = "R(" + text(g[1]) + "," + text(g[2]) + ")"
            else:
                cell = T1P[name] + "(" + text(g[1]) + ")"
            place(wires([q]), [(2 * q, cell)], ends(q))
        elif name in T2:
            a, b = g[1:]
            lo, hi = sorted((a, b))
            bars = [(r, "\u2502") for r in range(2 * lo + 1, 2 * hi)]
            place(span(lo, hi), [(2 * a, T2[name][0]), (2 * b, T2[name][-1])] + bars, ends(lo, hi))
        elif name in T3:
            p = sorted(g[1:])
            bars = [(r, "\u2502") for i in range(2) for r in range(2 * p[i] + 1, 2 * p[i + 1])]
            place(span(p[0], p[2]), [(2 * q, T3[name][i]) for i, q in enumerate(g[1:])] + bars, ends(*p))
        elif name in T2P:
            t, a, b = text(g[1]), g[2], g[3]
            lo, hi = sorted((a, b))
            if name == "cp":
                ge = "P(" + t + ")" + ("\u2500" if len("P(" + t + ")") % 2 == 0 else "")
                h = len(ge) // 2
                mid = [(r, fill(r, nq) * h + "\u2502" + fill(r, nq) * h) for r in range(2 * lo + 1, 2 * hi)]
                cells = [(2 * a, "\u2500" * h + "\u25cf" + "\u2500" * h), (2 * b, ge)] + mid
            else:
                ge = T2P[name] + "(" + t + ")"
                ge += " " if len(ge) % 2 == 0 else ""
                d, (top, bottom) = (len(ge) - 1) // 2, ("01" if lo == a else "10")
                cells = [(2 * lo, "\u250c" + "\u2500" * d + top + "\u2500" * d + "\u2510")]
                cells += [(2 * hi, "\u2514" + "\u2500" * d + bottom + "\u2500" * d + "\u2518")]
                cells += [(r, "\u2502" + " " * len(ge) + "\u2502") for r in range(2 * lo + 1, 2 * hi)]
                cells += [(lo + hi, "\u2502" + ge + "\u2502")]
            place(span(lo, hi), cells, ends(lo, hi))
        elif name == "barrier":
            qs = g[1]
            place(wires(qs), [(2 * j, "\u2591") for j in qs] + [(2 * j + 1, "\u2591") for j in qs if j + 1 in qs], [])
        elif name == "delay":
            qs = g[2]
            place(wires(qs), [(2 * j, "Delay(" + format(g[1], ".1e") + "s)") for j in qs], [])
        elif name == "measure":
            for q, c in zip(g[1], g[2]):
                cells = [(2 * q, "M")] + [(r, "\u2502") for r in range(2 * q + 1, 2 * nq)]
                cells += [(2 * nq + 1 + k, ch) for k, ch in enumerate(str(c))]
                place(lambda col, q=q: col[2 * q :] != el[2 * q :], cells, ends(q))
    cut = next(i + 1 for i in range(len(grid) - 1, -1, -1) if grid[i] != el)
    return grid[:cut], use


def reference_format(nq, cols):
    out = [cols[0]]
    for layer in cols[1:]:
        m = max(len(c) for c in layer)
        if m != 1:
            m |= 1
            layer = [
                fill(i, nq) * (m // 2) + c + fill(i, nq) * (m // 2) if len(c) == 1 else c + fill(i, nq) * (m - len(c))
                for i, c in enumerate(layer)
            ]
        out.append(layer)
    return out


def reference_rows(nq, cols, width):
    return ["".join(col[i] + fill(i, nq) * width for col in cols) for i in range(len(cols[0]))]


# ---------------------------------------------------------------- random circuits

ANGLE_TEXTS = [PI / 2, -PI, 0, 1, 0.1234567, 2.5, "a", "b", "c", np.float64(PI)]


def random_drawing(rng):
    """A random circuit of every record kind, with angles that are numbers of
    several types or parameter names, and forms the maker does not make: a
    one-angle u3, a measure reading one qubit twice, a delay over several
    wires, a gate outside the tables."""
    nq, nc = rng.randint(1, 7), rng.choice([1, 3, 12, 150])
    gates = random_gates(
        rng,
        nq,
        (0, 40),
        mix=EVERY,
        angles=ANGLE_TEXTS,
        measured=(1, 3),
        cbits=nc,
        durations=(1e-07, 2, 3.5e-9),
        mirror=0,
    )
    for _ in range(rng.randint(0, 3)):
        q = rng.randrange(nq)
        extra = rng.choice(
            [
                ("u3", rng.choice(ANGLE_TEXTS), q),
                ("measure", [q, q], [0, nc - 1]),
                ("delay", 2, tuple(rng.sample(range(nq), rng.randint(1, nq)))),
                ("cu", 0, 1),
            ]
        )
        gates.insert(rng.randint(0, len(gates)), extra)
    return nq, nc, gates, {"a": PI / 4, "b": "beta", "c": 2}


@pytest.fixture
def chain_through_names(monkeypatch):
    """Every drawing function calls the one before it as a Python callable."""

    calls = []

    def use_names():
        for name in ("initialize_lines", "generate_gates_layerd", "format_gates_layerd"):
            f = getattr(gw, name)
            monkeypatch.setattr(gw, name, lambda *a, f=f: calls.append(f.__name__) or f(*a))
        return calls

    return use_names


def test_fast_path_matches_the_composition_and_the_rules(chain_through_names):
    # under VEXAL_REFERENCE_PATHS both halves take the reference path: the
    # comparison with the rules' reading still holds, the other compares it
    # with itself
    rng = random.Random(7)
    circuits = [random_drawing(rng) for _ in range(300)]
    fast = []
    for nq, nc, gates, pv in circuits:
        width = rng.choice([4, 0, 1, -2])
        before = repr(gates)
        cols, use = gw.generate_gates_layerd(nq, nc, gates, pv)
        ref_cols, ref_use = reference(nq, nc, gates, pv)
        assert (cols, use) == (ref_cols, ref_use), gates
        formatted = gw.format_gates_layerd(nq, nc, gates, pv)
        assert formatted == (reference_format(nq, ref_cols), ref_use)
        out = gw.add_gates_to_lines(nq, nc, gates, pv, width)
        assert out == (reference_rows(nq, formatted[0], width), ref_use)
        assert len({len(r) for r in out[0]}) == 1
        assert repr(gates) == before
        fast.append((width, out))
    calls = chain_through_names()
    for (nq, nc, gates, pv), (width, out) in zip(circuits, fast):
        assert gw.add_gates_to_lines(nq, nc, gates, pv, width) == out
    assert calls == ["format_gates_layerd", "generate_gates_layerd", "initialize_lines"] * len(circuits)


@pytest.mark.parametrize("nq, gates", [(9000, [("h", 0)]), (65536, [("h", 0)] * 1100)])
def test_a_grid_too_large_is_refused_alike_by_every_drawing(nq, gates, chain_through_names):
    """The grid holds a layer per gate and per qubit; a drawing that never
    builds it refuses what initialize_lines refuses, with the grid's size."""
    rows, columns = 2 * nq + 2, len(gates) + nq + 1
    message = (
        f"the picture's grid would have {rows} rows by {columns} columns "
        f"(the labels and {len(gates)} + {nq} layers, one per gate and per qubit), more than 134217728 cells"
    )
    draws = [
        lambda: initialize_lines(nq, 1, gates),
        lambda: generate_gates_layerd(nq, 1, gates, {}),
        lambda: gw.format_gates_layerd(nq, 1, gates, {}),
        lambda: add_gates_to_lines(nq, 1, gates, {}),
    ]
    for draw in draws:
        with pytest.raises(MemoryError) as e:
            draw()
        assert str(e.value) == message
    chain_through_names()
    for draw in draws[1:]:
        with pytest.raises(MemoryError) as e:
            draw()
        assert str(e.value) == message


def test_gates_keep_their_order_along_every_wire():
    rng = random.Random(11)
    for _ in range(100):
        nq = rng.randint(1, 6)
        gates, expected = [], {q: [] for q in range(nq)}
        for k in range(rng.randint(0, 60)):
            qs = rng.sample(range(nq), min(nq, 3))
            kind = rng.choice(["rx", "cx", "ccx", "measure"])
            if kind == "rx" or nq < 3:
                gates.append(("rx", k, qs[0]))
                expected[qs[0]].append(f"Rx({gw.is_multiple_of_pi(k)})")
            elif kind == "cx":
                gates.append(("cx", qs[0], qs[1]))
                expected[qs[0]].append("\u25cf")
                expected[qs[1]].append("X")
            elif kind == "ccx":
                gates.append(("ccx", *qs))
                for q, sym in zip(qs, "\u25cf\u25cfX"):
                    expected[q].append(sym)
            else:
                gates.append(("measure", [qs[0]], [0]))
                expected[qs[0]].append("M")
        cols, _ = gw.generate_gates_layerd(nq, 1, gates, {})
        for q in range(nq):
            along = [c[2 * q] for c in cols[1:] if c[2 * q] not in ("\u2500", "\u2502")]
            assert along == expected[q], (gates, q)


# ---------------------------------------------------------------- replaced names


def test_replaced_functions_are_called(monkeypatch):
    calls = []
    monkeypatch.setattr(gw, "is_multiple_of_pi", lambda n: calls.append(n) or "~")
    assert gw.generate_gates_layerd(1, 1, [("u", 1, 2, 3, 0)], {})[0][1][0] == "U(~,~,~)"
    assert calls == [1, 2, 3]
    monkeypatch.setattr(gw, "is_multiple_of_pi", lambda n: 5)
    with pytest.raises(TypeError, match="must return a str"):
        gw.generate_gates_layerd(1, 1, [("rx", 1, 0)], {})

    made = []

    def init(nq, nc, gates):
        el, grid = initialize_lines(nq, nc, [])  # fewer layers than the gates need
        grid[1][2] = "x"  # the grid's own cells count as occupied
        made.append(grid)
        return el, grid

    initialize_lines = gw.initialize_lines
    monkeypatch.setattr(gw, "initialize_lines", init)
    cols, use = gw.generate_gates_layerd(1, 1, [("h", 0), ("measure", [0, 0], [0, 0])], {})
    assert [c[0] for c in cols[1:]] == ["H", "M", "M"] and cols[1] is made[0][1]
    assert made[0][1][0] == "H"  # written in place
    assert (
        gw.add_gates_to_lines(1, 1, [("h", 0)], {})[0][0] == "q[0]  \u2500\u2500\u2500\u2500H\u2500\u2500\u2500\u2500"
    )
    monkeypatch.setattr(gw, "initialize_lines", lambda *a: ([], [[]]))
    with pytest.raises(ValueError, match="at least 3"):
        gw.generate_gates_layerd(1, 1, [], {})
    monkeypatch.setattr(gw, "initialize_lines", lambda *a: (["a", "b", "c"], [["a", "b", "c"], 5]))
    with pytest.raises(TypeError, match="not a list"):
        gw.generate_gates_layerd(1, 1, [], {})

    monkeypatch.setattr(gw, "generate_gates_layerd", lambda *a: ([["ab"], ["x", "yy"]], "use"))
    assert gw.format_gates_layerd(1, 1, [], {}) == ([["ab"], ["\u2500x\u2500", "yy "]], "use")
    monkeypatch.setattr(gw, "format_gates_layerd", lambda *a: ([["ab", "c"], ["x", "y"]], "use"))
    assert gw.add_gates_to_lines(1, 1, [], {}, 1) == (["ab\u2500x\u2500", "c y "], "use")
    monkeypatch.setattr(gw, "format_gates_layerd", lambda *a: ([["ab", "c"], ["x"]], "use"))
    with pytest.raises(TypeError, match="a cell for each row"):
        gw.add_gates_to_lines(1, 1, [], {})
    monkeypatch.setattr(gw, "format_gates_layerd", lambda *a: (1, 2, 3))
    with pytest.raises(ValueError, match="too many values to unpack"):
        gw.add_gates_to_lines(1, 1, [], {})


def test_changed_tables_are_read_at_call_time(monkeypatch):
    monkeypatch.setitem(gw.one_qubit_gates_available, "h", "Had")
    monkeypatch.setitem(gw.two_qubit_gates_available, "cu", "\u25cfU")
    cols, _ = gw.generate_gates_layerd(2, 1, [("h", 0), ("cu", 1, 0)], {})
    assert cols[1][0] == "Had" and cols[2][:3] == ["U", "\u2502", "\u25cf"]


# ---------------------------------------------------------------- corpus


@pytest.mark.parametrize("path", corpus(), ids=corpus_id)
def test_corpus_draws(path):
    qc = read_program(path)
    out, use = gw.add_gates_to_lines(qc.nqubits, qc.ncbits, qc.gates, qc.params_value)
    assert len(out) == 2 * qc.nqubits + 1 + len(str(qc.ncbits))
    assert len({len(r) for r in out}) == 1
    assert all(0 <= r < 2 * qc.nqubits for r in use)
