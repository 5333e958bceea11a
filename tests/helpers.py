"""The tests' shared toolkit: circuits from records, the wires of a record,
random circuits, the corpus and the programs the reader refuses, silenced
calls, and the comparison of a fast path with its reference path."""

import contextlib
import io
import math
import random
import signal
from pathlib import Path

import oracle

from vexal.circuit import gatework as gw
from vexal.circuit.dag import split_qubits
from vexal.circuit.quantumcircuit import QuantumCircuit

# ---------------------------------------------------------------- records and circuits

ONE = tuple(gw.one_qubit_gates_available)
ONE_P = tuple(gw.one_qubit_parameter_gates_available)
TWO = tuple(gw.two_qubit_gates_available)
TWO_P = tuple(gw.two_qubit_parameter_gates_available)
THREE = tuple(gw.three_qubit_gates_available)
FUNCTIONAL = ("measure", "barrier", "delay", "reset")
PARAM_COUNT = {**dict.fromkeys(ONE_P, 1), "u": 3, "u3": 3, "r": 2, **dict.fromkeys(TWO_P, 1)}


def width(name):
    """How many wires a gate of the tables acts on (1 for reset)."""
    return 3 if name in THREE else 2 if name in TWO or name in TWO_P else 1


def wires(record):
    """The qubits a record acts on, in the record's order, as the package's
    one table of record shapes reads them."""
    return list(gw._record_wires(tuple(record))[0])


def circuit(nqubits, gates, ncbits=None, qubits=None):
    """A circuit holding `gates`.  Its qubits in use are `qubits`, or every
    qubit; with `nqubits` None, it is one past the highest qubit named, and
    its qubits in use are those the gates act on unless `qubits` says
    otherwise.  As many classical bits as qubits unless `ncbits` says
    otherwise."""
    gates = list(gates)
    if nqubits is None:
        if qubits is None:
            qubits = sorted({q for g in gates for q in wires(g)})
        nqubits = max(qubits) + 1 if qubits else 0
    qc = QuantumCircuit(nqubits, nqubits if ncbits is None else ncbits)
    qc.gates = gates
    qc.qubits = list(range(nqubits)) if qubits is None else list(qubits)
    return qc


def quiet(f, *args, **kwargs):
    """(f(*args, **kwargs), what it printed)."""
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        result = f(*args, **kwargs)
    return result, buf.getvalue()


# ---------------------------------------------------------------- random circuits

PI = math.pi
ANGLES = [0.0, PI, -PI, 2 * PI, PI / 2, 0.25, 0.5, -0.5, 4 * PI]


# The default mix of random_gates: (share, names[, angle sources]).  An angle
# source is "a" (drawn from the angles), a number (taken as it is) or a
# (low, high) pair (drawn uniformly).  What the shares leave over repeats the
# record before.
MIX = (
    (0.30, ("id", "x", "y", "z", "h")),
    (0.05, ("s", "sdg", "t", "tdg", "sx", "sxdg")),
    (0.15, ("rx", "ry", "rz", "p")),
    (0.05, ("u", "u3"), ("a", "a", (-3, 3))),
    (0.03, ("r",), ("a", 0.3)),
    (0.12, TWO),
    (0.10, TWO_P),
    (0.05, ("ccx", "ccz", "cswap")),
    (0.03, ("measure",)),
    (0.03, ("barrier",)),
    (0.01, ("reset",)),
)


# every name the readers and passes take, in equal shares
EVERY = ((1.0, ONE + TWO + THREE + ONE_P + TWO_P + FUNCTIONAL),)


# random_gates(..., **ANY_RECORDS): records of every kind in equal shares,
# angles drawn from [0, 1) or the parameter name theta, measures of up to
# three qubits (or none) into five classical bits
ANY_RECORDS = dict(mix=EVERY, angles=None, params=("theta",), measured=(0, 3), cbits=5, mirror=0)


# random_gates(..., **ROUTABLE): what routing is given, mostly two-qubit gates
# with a few barriers, angles drawn from [0, 1)
ROUTABLE = dict(
    mix=((0.6, ("cx", "cz", "rzz", "iswap")), (0.3, ("h", "t", "rx", "u")), (0.1, ("barrier",))),
    angles=None,
    mirror=0,
)


def random_gates(
    rng,
    qubits,
    count,
    unitary=False,
    *,
    mix=MIX,
    angles=ANGLES,
    params=(),
    measured=(1, 1),
    cbits=None,
    durations=(1e-7,),
    mirror=0.5,
):
    """`count` random records over `qubits` (a list, or n for range(n)).

    rng: a random.Random or a seed.  count: a number or a (low, high) range.
    unitary: no measure, barrier, delay or reset.  mix: the shares of the
    names (see MIX); a record takes the first share its draw falls in whose
    names fit the wires (unfitting names are passed over).  angles: the
    values angles are drawn from, or a (low, high) range, or None for
    [0, 1).  params: parameter names an angle may be instead of a number.
    measured: how many qubits a measure reads (low, high).  cbits: how many
    classical bits measures write to (None: each the number of its qubit).
    durations: the lengths of delays.  mirror: the chance that the records
    are followed by their reverse, which cancels from the middle outward."""
    if not isinstance(rng, random.Random):
        rng = random.Random(rng)
    qubits = list(range(qubits)) if isinstance(qubits, int) else list(qubits)
    if not isinstance(count, int):
        count = rng.randint(*count)
    values = None if angles is None or isinstance(angles, tuple) else list(angles) + list(params)

    def angle(source):
        if source == "a":
            if values is not None:
                return rng.choice(values)
            if params and rng.random() < 0.25:
                return rng.choice(params)
            return rng.uniform(*angles) if angles else rng.random()
        return rng.uniform(*source) if isinstance(source, tuple) else source

    gates = []
    for _ in range(count):
        k = rng.random()
        q = rng.sample(qubits, min(3, len(qubits)))
        total = 0.0
        for share, names, *sources in mix:
            total += share
            fit = [n for n in names if width(n) <= len(q) and not (unitary and n in FUNCTIONAL)]
            if k < total and fit:
                gates.append(_record(rng, fit, q, qubits, sources, angle, measured, cbits, durations))
                break
        else:
            if gates:
                gates.append(gates[-1])
    if mirror and rng.random() < mirror:
        gates = gates + gates[::-1]
    return gates


def _record(rng, names, q, qubits, sources, angle, measured, cbits, durations):
    name = names[0] if len(names) == 1 else rng.choice(names)
    if name == "measure":
        if measured == (1, 1):
            qs = q[:1]
        else:
            qs = rng.sample(qubits, rng.randint(measured[0], min(measured[1], len(qubits))))
        return ("measure", qs, list(qs) if cbits is None else [rng.randrange(cbits) for _ in qs])
    if name == "barrier":
        return ("barrier", tuple(rng.sample(qubits, rng.randint(1, len(qubits)))))
    if name == "delay":
        return ("delay", rng.choice(durations), (q[0],))
    sources = sources[0] if sources else ("a",) * PARAM_COUNT.get(name, 0)
    return (name, *[angle(s) for s in sources], *q[: width(name)])


# ---------------------------------------------------------------- the corpus

DATA = Path(__file__).parent / "data"
CORPUS = DATA / "qasmbench"
PROGRAMS = DATA / "qasm"


def unrecognized(word):
    return (
        f"Sorry, an unrecognized OpenQASM 2.0 syntax {word} was detected by vexalcircuit. "
        "Please contact the developer for assistance."
    )


# The corpus programs the OpenQASM reader refuses, with the error each must
# raise: two supported ones call custom gates (or u1) inside gate bodies, two
# use a register they never declare; the unsupported ones use classical
# control, or redefine a built-in gate, or call u1 inside a gate body.
REFUSED = {
    "supported/medium__bigadder_n18__bigadder_n18.qasm": (ValueError, "parse error majority !"),
    "supported/small__pea_n5__pea_n5.qasm": (ValueError, "parse error u1 !"),
    "supported/small__vqe_uccsd_n4__vqe_uccsd_n4.qasm": (KeyError, "quantum register q is not declared"),
    "supported/small__vqe_uccsd_n6__vqe_uccsd_n6.qasm": (KeyError, "quantum register q is not declared"),
    "unsupported/large__dnn_n33__dnn_n33.qasm": (
        ValueError,
        "gate ryy: ryy is a built-in gate and cannot be redefined; rename the definition, "
        "or remove it to use the built-in ryy",
    ),
    "unsupported/medium__cc_n12__cc_n12.qasm": (ValueError, unrecognized("if")),
    "unsupported/small__ipea_n2__ipea_n2.qasm": (ValueError, "parse error u1 !"),
    "unsupported/small__qec_sm_n5__qec_sm_n5.qasm": (ValueError, unrecognized("if")),
}


def corpus(pattern="*.qasm", kind="supported", *, refused=False):
    """The corpus files of `kind` matching `pattern`, sorted: the programs the
    reader takes, or with `refused` those it must refuse (REFUSED)."""
    paths = sorted((CORPUS / kind).glob(pattern))
    return [p for p in paths if (f"{kind}/{p.name}" in REFUSED) == refused]


def corpus_id(path):
    """A short test id: the program's name without its size class and file name."""
    return path.name.split("__")[1]


def read_program(path):
    """The circuit of a corpus or sample program (what the reader printed
    is dropped)."""
    return quiet(QuantumCircuit().from_openqasm2, Path(path).read_text())[0]


def assert_refused(read, path):
    """`read` refuses the program as REFUSED says, with that very message."""
    path = Path(path)
    exc, message = REFUSED[f"{path.parent.name}/{path.name}"]
    try:
        quiet(read, path.read_text())
    except exc as e:
        assert e.args == (message,), (path.name, e.args)
    else:
        raise AssertionError(f"{path.name} was read, but the reader must refuse it: {message}")


# ---------------------------------------------------------------- fast path against the reference path


def reference_subclass(cls, method):
    """A subclass of `cls` that overrides `method` (calling the class's own),
    so that its run takes the reference path, its methods one call at a
    time, whatever the reference switch says."""

    def override(self, *args, **kwargs):
        return getattr(super(sub, self), method)(*args, **kwargs)

    override.__name__ = method
    doc = f"{cls.__name__} run through its methods."
    sub = type("Reference" + cls.__name__, (cls,), {method: override, "__doc__": doc})
    return sub


def graph_state(g):
    """A graph down to the order of every dictionary: its type, nodes with
    their attributes, each node's successors and predecessors with the edge
    attributes, and the graph's own attributes."""
    succ = getattr(g, "succ", g.adj)
    pred = getattr(g, "pred", g.adj)
    return (
        type(g),
        list(g.nodes(data=True)),
        [(n, list(succ[n].items()), list(pred[n].items())) for n in g],
        g.graph,
    )


def circuit_state(out, source):
    """What a caller reads of a result circuit, and which of its parts are the
    input circuit's own objects."""
    return (
        out.gates,
        out.nqubits,
        out.ncbits,
        out.qubits,
        out.params_value,
        out.qubits is source.qubits,
        out.params_value is source.params_value,
    )


class Raised(tuple):
    """The type and message of what a call raised."""

    def __new__(cls, kind, message):
        return super().__new__(cls, ("raised", kind, message))


def outcome(run, state=None, seed=None):
    """Everything a caller sees of `run()`: what it returned (or the type and
    text of what it raised, KeyboardInterrupt included), what it printed,
    then `state()` (a dict of what the call left behind, read afterwards).
    With `seed`, Python's `random` is seeded first and its state after the
    call is part of the outcome, so the draws must be the same too."""
    if seed is not None:
        random.seed(seed)
    buf = io.StringIO()
    try:
        with contextlib.redirect_stdout(buf):
            result = run()
    except (Exception, KeyboardInterrupt) as exc:
        result = Raised(type(exc), str(exc))
    got = {"result": result, "printed": buf.getvalue()}
    if seed is not None:
        got["random"] = random.getstate()
    if state is not None:
        got.update(state())
    return got


def assert_paths_agree(fast, reference, context=None):
    """The fast path's outcome is the reference path's, part by part (so that
    a failure names the part that differs).  Either may be an outcome or a
    function that makes one."""
    fast = fast() if callable(fast) else fast
    reference = reference() if callable(reference) else reference
    where = "" if context is None else f" ({context})"
    assert list(fast) == list(reference), f"the outcomes have different parts{where}"
    for part in fast:
        assert fast[part] == reference[part], f"{part} differs between the fast and the reference path{where}"


def compressor_outcome(cls, qc):
    """Everything a gate-compression run of a `cls` pass leaves, as a tuple:
    the result circuit, its sizes, the counter, the DAG down to the order of
    every dictionary, and what the run printed; ("raised", type, message) for
    a failure."""
    p = cls()
    got = outcome(lambda: p.run(qc))
    if isinstance(got["result"], Raised):
        return got["result"]
    out, d = got["result"], p.dag
    return (
        out.gates,
        (out.nqubits, out.ncbits, out.qubits is qc.qubits, out.params_value),
        p._idx,
        list(d.nodes(data=True)),
        list(d.edges(data=True)),
        [(n, list(d._succ[n]), list(d._pred[n])) for n in d],
        list(d.__dict__),
        d.graph,
        got["printed"],
    )


# ---------------------------------------------------------------- routing


def routing_table(printed):
    """The initial, best and final mappings (virtual -> physical) of the
    last table routing printed."""
    lines = printed.splitlines()
    top = max(i for i, line in enumerate(lines) if "initial mapping" in line)
    maps = ({}, {}, {})
    for line in lines[top + 2 :]:
        if "----->" not in line:
            break
        for m, col in zip(maps, line.split("----->")):
            p, v = col.split(":")
            m[int(v)] = int(p)
    return maps


def virtual_order(qc):
    """The circuit's qubits in the order routing maps them: group by group."""
    return [q for grp in split_qubits(qc) for q in grp]


def check_routed(qc, out, r, init, printed=None, unitary=None):
    """Replays a routed circuit `out` with its SWAPs from the mapping `init`:
    every two-qubit gate on a coupler of `r`'s graph, the same gates in the
    same order on every virtual qubit as in `qc`, the final mapping that of
    `r`; the SWAP count printed last and, with `unitary`, the same unitary."""
    g = r.coupling_graph
    p2v = {p: v for v, p in init.items()}
    seen = {q: [] for q in qc.qubits}
    nswap = 0
    for rec in out.gates:
        on = wires(rec)
        if rec[0] in TWO or rec[0] in TWO_P:
            assert g.has_edge(*on), rec
        if rec[0] == "swap":
            a, b = on
            p2v[a], p2v[b] = p2v[b], p2v[a]
            nswap += 1
            continue
        virt = oracle.permute_qubits([rec], p2v)[0]
        for q in wires(virt):
            seen[q].append(virt)
    want = {q: [] for q in qc.qubits}
    for rec in qc.gates:
        for q in wires(rec):
            want[q].append(rec)
    assert seen == want
    assert {v: p for p, v in p2v.items()} == r.v2p
    if printed is not None:
        assert printed.splitlines()[-1] == f"A total of {nswap} swap gates have been added to the circuit."
    if unitary:
        oracle.assert_equivalent_routed(qc.gates, out.gates, out.nqubits, init, r.v2p)


class DagRecorder:
    """Stands for dag2qc in a pass's module: keeps every DAG the pass hands
    it, and converts it as dag2qc does."""

    def __init__(self):
        self.dags = []

    def __call__(self, dag, nqubits=None, ncbits=None):
        from vexal.circuit.dag import dag2qc

        self.dags.append(dag)
        return dag2qc(dag, nqubits, ncbits)


@contextlib.contextmanager
def interrupt_after(seconds):
    """KeyboardInterrupt raised in the main thread after `seconds`, from a
    kernel timer, so that it lands inside C++ code that polls signals."""

    def stop(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, stop)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
