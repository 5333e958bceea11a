"""Parsing speed of parse_openqasm2_to_gates on large OpenQASM 2.0 programs.

Prints one row per program: its size, the best of several runs of
parse_openqasm2_to_gates and, when qiskit is installed, of qiskit.qasm2.loads
on the same text, measured side by side in this run.

Usage: python bench/bench_parse.py [--corpus DIR] [--repeat N]   (DIR holds supported/)
"""

import argparse
import os

from corpus import add_corpus_argument, supported_program
from timing import best_of

from vexal.circuit import gatework

PROGRAMS = [
    "large__square_root_n60__square_root_n60.qasm",
    "small__hhl_n10__hhl_n10.qasm",
    "large__QV_n100__100.qasm",
    "large__multiplier_n400__multiplier_n400.qasm",
]


def best_time(fn, text, repeat):
    try:
        return best_of(lambda: fn(text), repeat)[0], None
    except Exception as exc:  # the table says so instead of a time
        return None, f"{type(exc).__name__}"


def main():
    ap = argparse.ArgumentParser()
    add_corpus_argument(ap)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    try:
        from qiskit import qasm2
    except ImportError:
        qasm2 = None

    header = f"{'program':<48} {'lines':>8} {'KiB':>7} {'vexal ms':>10} {'qiskit ms':>10} {'ratio':>7}"
    print(header)
    print("-" * len(header))
    for name in PROGRAMS:
        path = supported_program(args.corpus, name)
        if not os.path.exists(path):
            print(f"{name:<48} missing")
            continue
        with open(path) as f:
            text = f.read()
        ours, err = best_time(gatework.parse_openqasm2_to_gates, text, args.repeat)
        ours_s = f"{ours * 1e3:10.1f}" if ours is not None else f"{err:>10}"
        if qasm2 is not None:
            theirs, terr = best_time(qasm2.loads, text, args.repeat)
            theirs_s = f"{theirs * 1e3:10.1f}" if theirs is not None else f"{terr:>10}"
            ratio = f"{theirs / ours:7.2f}" if ours and theirs else f"{'-':>7}"
        else:
            theirs_s, ratio = f"{'absent':>10}", f"{'-':>7}"
        print(f"{name[:48]:<48} {text.count(chr(10)):>8} {len(text) / 1024:7.0f} {ours_s} {theirs_s} {ratio}")
    print("ratio = qiskit time / vexal time (above 1: vexal is faster)")


if __name__ == "__main__":
    main()
