"""The chip description used by the transpiler.

A `Backend` lists the physical qubits of a chip with their single-qubit
fidelities, the couplers (pairs of qubits a two-qubit gate may act on) with
their fidelities, the chip's two-qubit basis gate, the gate lengths and the
preferred qubit sets (`priority_qubits`).

    Backend(qubits_fidelity, couplers_fidelity, two_qubit_gate_basis="cz",
            one_qubit_gate_length=3e-8, two_qubit_gate_length=6e-8,
            priority_qubits=None, name="custom")

`qubits_fidelity` is a dict {qubit: fidelity} or a list (qubit i has entry
i); `couplers_fidelity` is a dict {(a, b): fidelity} or a list of (a, b,
fidelity) triples.  Qubits are non-negative integers and may have gaps;
fidelities are numbers in [0, 1]; gate lengths are in seconds.

Builders for common topologies: `Backend.line`, `Backend.grid` and
`Backend.heavy_hex`.
"""

import math
import numbers
import random

import networkx as nx

from vexal.circuit.utils import checked_index

BASIS_GATES = ("cz", "cx", "iswap")

__all__ = ["Backend", "BASIS_GATES"]


def _real(x, what):
    if isinstance(x, bool) or not isinstance(x, numbers.Real):
        raise TypeError(f"{what} must be a real number, not {type(x).__name__}")
    x = float(x)
    if math.isnan(x):
        raise ValueError(f"{what} must not be NaN")
    return x


def _fidelity(f, what):
    f = _real(f, what)
    if not 0.0 <= f <= 1.0:
        raise ValueError(f"{what} must be in [0, 1], got {f}")
    return f


def _length(t, what):
    # decoupling divides by the gate lengths: a chip whose gates take no time
    # would get none, and the driver would say nothing of it
    t = _real(t, what)
    if not (t > 0.0 and math.isfinite(t)):
        raise ValueError(f"{what} must be a finite positive number of seconds, got {t}")
    return t


def _coupler_items(couplers):
    if isinstance(couplers, dict):
        for key, f in couplers.items():
            if not isinstance(key, tuple) or len(key) != 2:
                raise ValueError(f"coupler key must be a pair of qubits, got {key!r}")
            yield key[0], key[1], f
    elif isinstance(couplers, (list, tuple)):
        for item in couplers:
            if not isinstance(item, (tuple, list)) or len(item) != 3:
                raise ValueError(f"coupler must be a triple (qubit, qubit, fidelity), got {item!r}")
            yield item[0], item[1], item[2]
    else:
        raise TypeError(
            "couplers_fidelity must be a dict {(a, b): fidelity} or a list of "
            f"(a, b, fidelity), not {type(couplers).__name__}"
        )


class Backend:
    """Description of a quantum chip: qubits and couplers with fidelities,
    two-qubit basis gate, gate lengths and priority qubit sets."""

    def __init__(
        self,
        qubits_fidelity,
        couplers_fidelity,
        two_qubit_gate_basis="cz",
        one_qubit_gate_length=3e-8,
        two_qubit_gate_length=6e-8,
        priority_qubits=None,
        name="custom",
    ):
        # qubits
        if isinstance(qubits_fidelity, dict):
            items = list(qubits_fidelity.items())
        elif isinstance(qubits_fidelity, (list, tuple)):
            items = list(enumerate(qubits_fidelity))
        else:
            raise TypeError(
                f"qubits_fidelity must be a dict {{qubit: fidelity}} or a list, not {type(qubits_fidelity).__name__}"
            )
        if not items:
            raise ValueError("a backend needs at least one qubit")
        qf = {}
        for q, f in items:
            q = checked_index(q, "qubit")
            if q in qf:
                raise ValueError(f"qubit {q} is listed twice")
            qf[q] = _fidelity(f, f"fidelity of qubit {q}")
        self.qubits_fidelity = dict(sorted(qf.items()))

        # couplers, stored low-first: keyed (smaller qubit, larger qubit), the
        # key under which the layout looks a coupler's fidelity up
        cf = {}
        for a, b, f in _coupler_items(couplers_fidelity):
            a, b = checked_index(a, "coupler qubit"), checked_index(b, "coupler qubit")
            if a == b:
                raise ValueError(f"coupler ({a}, {b}) joins a qubit to itself")
            for q in (a, b):
                if q not in qf:
                    raise ValueError(f"coupler ({a}, {b}) names unknown qubit {q}")
            key = (min(a, b), max(a, b))
            if key in cf:
                raise ValueError(f"coupler {key} is listed twice")
            cf[key] = _fidelity(f, f"fidelity of coupler {key}")
        self.couplers_fidelity = dict(sorted(cf.items()))

        # basis gate
        if not isinstance(two_qubit_gate_basis, str):
            raise TypeError(f"two_qubit_gate_basis must be a str, not {type(two_qubit_gate_basis).__name__}")
        if two_qubit_gate_basis not in BASIS_GATES:
            raise ValueError(
                f"two_qubit_gate_basis must be one of {', '.join(BASIS_GATES)}; got {two_qubit_gate_basis!r}"
            )
        self.two_qubit_gate_basis = two_qubit_gate_basis

        # priority qubit sets
        if priority_qubits is None:
            priority_qubits = []
        if not isinstance(priority_qubits, (list, tuple)):
            raise TypeError(f"priority_qubits must be a list of qubit lists, not {type(priority_qubits).__name__}")
        prio = []
        for group in priority_qubits:
            if not isinstance(group, (list, tuple)):
                raise TypeError(f"each priority qubit set must be a list, got {group!r}")
            g = [checked_index(q, "priority qubit") for q in group]
            if len(set(g)) != len(g):
                raise ValueError(f"priority qubit set {g} repeats a qubit")
            for q in g:
                if q not in qf:
                    raise ValueError(f"priority qubit set {g} names unknown qubit {q}")
            prio.append(g)
        self.priority_qubits = prio

        if not isinstance(name, str):
            raise TypeError(f"name must be a str, not {type(name).__name__}")
        self.name = name
        self.chip_info = {
            "name": name,
            "nqubits": len(self.qubits_fidelity),
            "ncouplers": len(self.couplers_fidelity),
            "global_info": {
                "one_qubit_gate_length": _length(one_qubit_gate_length, "one_qubit_gate_length"),
                "two_qubit_gate_length": _length(two_qubit_gate_length, "two_qubit_gate_length"),
                "two_qubit_gate_basis": two_qubit_gate_basis,
            },
        }

    @property
    def qubits(self):
        """The physical qubits, in increasing order (a new list)."""
        return list(self.qubits_fidelity)

    def edge_filtered_graph(self, thres=0.6):
        """A new networkx Graph of the chip keeping only the couplers whose
        fidelity is >= thres.  Every qubit is a node (also one left without
        couplers), added in increasing order with attribute `fidelity`; edges
        are added as (smaller, larger) with attribute `fidelity`, so the graph
        lists every coupler low-first."""
        thres = _real(thres, "thres")
        g = nx.Graph()
        for q, f in self.qubits_fidelity.items():
            g.add_node(q, fidelity=f)
        for (a, b), f in self.couplers_fidelity.items():
            if f >= thres:
                g.add_edge(a, b, fidelity=f)
        return g

    def __repr__(self):
        return (
            f"Backend(name={self.name!r}, nqubits={len(self.qubits_fidelity)}, "
            f"ncouplers={len(self.couplers_fidelity)}, "
            f"two_qubit_gate_basis={self.two_qubit_gate_basis!r})"
        )

    # ------------------------------------------------------------ builders

    @classmethod
    def _from_topology(cls, nqubits, edges, qubit_fidelity, coupler_fidelity, seed, name, kwargs):
        """Fidelities: a number gives every qubit (coupler) that value; None
        draws deterministic values from `seed`, qubits in [0.97, 0.999] and
        couplers in [0.90, 0.99], all above the layout filter of 0.6."""
        rng = random.Random(seed)
        if qubit_fidelity is None:
            qf = [round(rng.uniform(0.97, 0.999), 6) for _ in range(nqubits)]
        else:
            qf = [qubit_fidelity] * nqubits
        if coupler_fidelity is None:
            cf = [(a, b, round(rng.uniform(0.90, 0.99), 6)) for a, b in edges]
        else:
            cf = [(a, b, coupler_fidelity) for a, b in edges]
        kwargs.setdefault("name", name)
        return cls(qf, cf, **kwargs)

    @classmethod
    def line(cls, n, qubit_fidelity=None, coupler_fidelity=None, seed=0, **kwargs):
        """A chain of n qubits 0 - 1 - ... - n-1.  Other keyword arguments
        (two_qubit_gate_basis, gate lengths, priority_qubits, name) go to
        the constructor."""
        n = checked_index(n, "n")
        if n < 1:
            raise ValueError("a line needs at least one qubit")
        edges = [(i, i + 1) for i in range(n - 1)]
        return cls._from_topology(n, edges, qubit_fidelity, coupler_fidelity, seed, f"line-{n}", kwargs)

    @classmethod
    def grid(cls, rows, cols, qubit_fidelity=None, coupler_fidelity=None, seed=0, **kwargs):
        """A square grid: qubit r*cols + c at row r, column c, coupled to its
        right and lower neighbours."""
        rows, cols = checked_index(rows, "rows"), checked_index(cols, "cols")
        if rows < 1 or cols < 1:
            raise ValueError("a grid needs at least one row and one column")
        edges = []
        for r in range(rows):
            for c in range(cols):
                q = r * cols + c
                if c + 1 < cols:
                    edges.append((q, q + 1))
                if r + 1 < rows:
                    edges.append((q, q + cols))
        return cls._from_topology(
            rows * cols, edges, qubit_fidelity, coupler_fidelity, seed, f"grid-{rows}x{cols}", kwargs
        )

    @classmethod
    def heavy_hex(cls, rows, cols=None, qubit_fidelity=None, coupler_fidelity=None, seed=0, **kwargs):
        """A heavy-hexagon lattice of `rows` rows of `cols` hexagons each
        (cols defaults to rows); every qubit has degree 2 or 3.

        Layout: the hexagons are drawn as a brick wall.  There are rows+1
        horizontal chains of qubits; consecutive chains are joined by bridge
        qubits, one per hexagon side (cols+1 per row of hexagons), alternately
        at even and odd positions of the chains, so that each hexagon is a
        ring of 12 qubits.  Numbering goes row by row from the top: chain 0
        from left to right, then the bridges between chains 0 and 1 from left
        to right, then chain 1, and so on.  Chain 0 and the last chain have
        4*cols + 1 qubits, the chains in between 4*cols + 3.  One hexagon
        (rows = cols = 1) is a ring of 12 qubits."""
        rows = checked_index(rows, "rows")
        cols = rows if cols is None else checked_index(cols, "cols")
        if rows < 1 or cols < 1:
            raise ValueError("a heavy-hex lattice needs at least one row and one column")

        # hexagon vertices of line j lie at x = lo..hi; hexagon k of row r spans
        # x = 2k + r%2 .. 2k + 2 + r%2 on lines r and r + 1; the chain of line j
        # has a qubit at every half step 2*lo .. 2*hi
        def span(j):
            xs = []
            for r in (j - 1, j):
                if 0 <= r < rows:
                    xs += [r % 2, 2 * cols + r % 2]
            return min(xs), max(xs)

        edges = []
        nq = 0
        prev = None  # (lo, first qubit) of the previous chain
        for j in range(rows + 1):
            lo, hi = span(j)
            chain_len = 2 * (hi - lo) + 1
            first = nq
            edges += [(first + i, first + i + 1) for i in range(chain_len - 1)]
            nq += chain_len
            if prev is not None:
                # bridges of hexagon row j-1 sit at x = 2k + (j-1)%2, between the
                # chains of lines j-1 and j; they were numbered before this chain
                plo, pfirst, bridges = prev
                for k, b in enumerate(bridges):
                    x = 2 * k + (j - 1) % 2
                    edges.append((pfirst + 2 * (x - plo), b))
                    edges.append((b, first + 2 * (x - lo)))
            if j < rows:
                bridges = list(range(nq, nq + cols + 1))
                nq += cols + 1
                prev = (lo, first, bridges)
        edges = [(min(a, b), max(a, b)) for a, b in edges]
        return cls._from_topology(
            nq, sorted(edges), qubit_fidelity, coupler_fidelity, seed, f"heavy-hex-{rows}x{cols}", kwargs
        )
