"""Circuit text drawing speed: add_gates_to_lines on random circuits of 20
qubits and on the largest programs of the corpus.

For the random circuits the table also gives the time of the same drawing
on the reference path (VEXAL_REFERENCE_PATHS: the four functions called one
by one, the grid of initialize_lines made in full, its lists padded and
joined by the next functions), which is what a replaced function of the
chain costs.

Usage: python bench/bench_text_drawing.py [--max-gates N] [--programs K] [--corpus DIR]
"""

import argparse
import contextlib
import io
import os
import sys

from bench_dag import NQ, make_circuit
from corpus import add_corpus_argument, default_corpus
from timing import best_of, reference_paths

import vexal.circuit.gatework as gw
from vexal.circuit.quantumcircuit import QuantumCircuit


def draw(nq, nc, gates, pv):
    return gw.add_gates_to_lines(nq, nc, gates, pv)


def random_table(top):
    head = ("gates", "layers", "row chars", "draw ms", "draw us/g", "ref ms", "ref/draw")
    print(" ".join(f"{h:>11}" for h in head))
    for n in (10**3, 10**4, 10**5, 10**6):
        if n > top:
            break
        gates = make_circuit(n).gates  # the circuits of the DAG benchmark
        repeat = 5 if n <= 10**4 else 3 if n <= 10**5 else 1
        t, (rows, _) = best_of(lambda: draw(NQ, NQ, gates, {}), repeat)
        layers = len(gw.generate_gates_layerd(NQ, NQ, gates, {})[0]) - 1
        with reference_paths():
            t_ref, ref = best_of(lambda: draw(NQ, NQ, gates, {}), repeat)
        assert ref[0] == rows
        del ref
        print(
            f"{n:>11} {layers:>11} {len(rows[0]):>11} {t * 1e3:>11.1f} {t * 1e6 / n:>11.2f}"
            f" {t_ref * 1e3:>11.1f} {t_ref / t:>11.2f}"
        )
        sys.stdout.flush()


def corpus_table(corpus, count):
    folder = os.path.join(corpus or default_corpus(), "supported")
    if not os.path.isdir(folder):
        print(f"no corpus at {folder}")
        return
    paths = sorted((os.path.join(folder, f) for f in os.listdir(folder)), key=os.path.getsize, reverse=True)
    head = ("program", "qubits", "gates", "layers", "row chars", "draw ms", "draw us/g")
    print(f"{head[0]:<52} " + " ".join(f"{h:>10}" for h in head[1:]))
    shown = 0
    for path in paths:
        if shown == count:
            break
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                qc = QuantumCircuit().from_openqasm2(open(path).read())
        except (ValueError, KeyError):
            continue  # the reader refuses a few programs
        args = (qc.nqubits, qc.ncbits, qc.gates, qc.params_value)
        t, (rows, _) = best_of(lambda: draw(*args), 1)
        layers = len(gw.generate_gates_layerd(*args)[0]) - 1
        name = os.path.basename(path)[:-5]
        print(
            f"{name:<52} {qc.nqubits:>10} {len(qc.gates):>10} {layers:>10} {len(rows[0]):>10}"
            f" {t * 1e3:>10.1f} {t * 1e6 / len(qc.gates):>10.2f}"
        )
        del rows
        shown += 1
        sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-gates", type=int, default=10**5)
    parser.add_argument("--programs", type=int, default=5, help="how many of the largest programs")
    add_corpus_argument(parser)
    args = parser.parse_args()
    random_table(args.max_gates)
    print()
    corpus_table(args.corpus, args.programs)


if __name__ == "__main__":
    main()
