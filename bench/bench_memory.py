"""Peak-memory benchmark of the whole road at level 1, ours against Qiskit.

Each row runs in two child processes, one per side. A child imports its
side, builds the 427-qubit heavy-hex chip (Qiskit: its coupling map) and
makes the program's text, then takes its resident memory as its baseline
(and resets the kernel's high-water mark); it then reads and transpiles the
text (ours: Transpiler(chip).run(text, optimize_level=1); Qiskit: qasm2.loads
and transpile(..., basis_gates=[basis, "u"], optimization_level=1,
seed_transpiler=1)) and reports its peak resident memory less the baseline. Columns: MiB per side,
their ratio, and the gate count of each result.

Rows: the corpus's largest programs (multiplier_n400, square_root_n60),
random circuits of 10^6 gates (the gate mix of bench_transpiler.py) on 20
and 100 qubits, and the rotation-heavy circuits of bench_transpiler.py.

    PYTHONPATH=build/<name>/pkg python bench/bench_memory.py [--rows NAME,...]
        [--basis cz|cx|iswap] [--no-qiskit] [--corpus DIR]
"""

import argparse
import contextlib
import io
import json
import os
import subprocess
import sys

from corpus import add_corpus_argument, supported_program

HERE = os.path.dirname(os.path.abspath(__file__))

ROWS = {
    "multiplier_n400": ("corpus", "large__multiplier_n400__multiplier_n400.qasm"),
    "square_root_n60": ("corpus", "large__square_root_n60__square_root_n60.qasm"),
    "random q20 g10^6": ("random", (20, 10**6)),
    "random q100 g10^6": ("random", (100, 10**6)),
    "rotations q4 g10^4": ("rotations", (4, 10**4)),
    "rotations q10 g10^5": ("rotations", (10, 10**5)),
    "rotations q20 g10^5": ("rotations", (20, 10**5)),
}


def _status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {key} in /proc/self/status")


def program_text(row, corpus):
    from bench_transpiler import random_program, rotation_program

    kind, what = ROWS[row]
    if kind == "corpus":
        with open(supported_program(corpus, what)) as f:
            return f.read()
    nq, ng = what
    return random_program(nq, ng, seed=ng) if kind == "random" else rotation_program(nq, ng, seed=nq)


def child(side, row, basis, corpus):
    """Runs one side of one row in this process and prints its numbers."""
    import gc
    import random

    sys.path.insert(0, HERE)
    from bench_transpiler import chip

    backend = chip(basis)
    if side == "ours":
        from vexal.circuit.transpiler import Transpiler

        def run(text):
            with contextlib.redirect_stdout(io.StringIO()):
                return len(Transpiler(backend).run(text, optimize_level=1).gates)

    else:
        from qiskit import qasm2, transpile
        from qiskit.transpiler import CouplingMap

        cmap = CouplingMap([list(e) for (a, b) in backend.couplers_fidelity for e in ((a, b), (b, a))])

        def run(text):
            circ = qasm2.loads(text, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
            out = transpile(circ, coupling_map=cmap, basis_gates=[basis, "u"], optimization_level=1, seed_transpiler=1)
            return len(out.data)

    text = program_text(row, corpus)
    random.seed(1)  # routing's random choices: the same run each time
    gc.collect()
    base = _status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the high-water mark starts again from here
    gates = run(text)
    print(json.dumps({"base": base, "peak": _status("VmHWM"), "gates": gates}))


def measure(side, row, basis, corpus):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", side, "--rows", row, "--basis", basis]
    if corpus:
        cmd += ["--corpus", corpus]
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{side} on {row} failed:\n{out.stderr}")
    res = json.loads(out.stdout.strip().splitlines()[-1])
    return (res["peak"] - res["base"]) / 2**20, res["gates"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", default=",".join(ROWS), help="comma-separated row names")
    ap.add_argument("--basis", default="cz", choices=["cz", "cx", "iswap"])
    ap.add_argument("--no-qiskit", action="store_true")
    ap.add_argument("--child", choices=["ours", "qiskit"], help=argparse.SUPPRESS)
    add_corpus_argument(ap)
    args = ap.parse_args()
    rows = [r.strip() for r in args.rows.split(",") if r.strip()]
    for r in rows:
        if r not in ROWS:
            ap.error(f"unknown row {r!r}; rows: {', '.join(ROWS)}")
    if args.child:
        child(args.child, rows[0], args.basis, args.corpus)
        return
    peers = not args.no_qiskit
    if peers:
        try:
            import qiskit  # noqa: F401
        except ImportError:
            peers = False
    print(f"peak resident memory less the import baseline, MiB (heavy-hex 427 qubits, basis {args.basis}, level 1)")
    head = f"{'circuit':22s} {'ours MiB':>9s} {'gates':>9s}"
    if peers:
        head += f"   {'qiskit MiB':>10s} {'gates':>9s}  ratio"
    print(head)
    for r in rows:
        mib, gates = measure("ours", r, args.basis, args.corpus)
        line = f"{r:22s} {mib:9.0f} {gates:9d}"
        if peers:
            qmib, qgates = measure("qiskit", r, args.basis, args.corpus)
            line += f"   {qmib:10.0f} {qgates:9d}  {mib / qmib:5.2f}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
