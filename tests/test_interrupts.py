"""Ctrl-C during a long pass stops it.  A child process runs a pass over and
over, each time with a real SIGINT arriving at another moment of the run
(spread over the whole of an uninterrupted run, so that every phase is hit:
the record check, the fast path's set-up, the fast path, the output); each run
must end with KeyboardInterrupt at once, never go on along a slower path."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = [
    pytest.mark.not_under_sanitizer,
    pytest.mark.skipif(os.name != "posix", reason="needs POSIX signals"),
]

# A kernel timer (SIGALRM) wakes a handler that sends SIGINT to the process:
# the timer fires whatever the C++ code is doing, and the SIGINT is
# delivered as Ctrl-C would be.  The child prints one JSON line:
# [uninterrupted seconds, [[moment, outcome, seconds from signal to end], ...]].
CHILD = textwrap.dedent(
    """
    import json, os, random, signal, sys, time
    import networkx as nx
    sys.path.insert(0, sys.argv[2])  # the tests' folder
    from helpers import circuit

    def gates(n, count, seed=1):
        rng = random.Random(seed)
        out = []
        for _ in range(count):
            if rng.random() < 0.3:
                out.append(("cx", *rng.sample(range(n), 2)))
            else:
                out.append((rng.choice(["h", "x", "s", "t", "z"]), rng.randrange(n)))
        return out

    which = sys.argv[1]
    if which == "decoupling":
        from vexal.circuit.schedule import DynamicalDecoupling
        qc, make = circuit(8, gates(8, 300_000)), lambda: DynamicalDecoupling(3e-8, 6e-8)
    elif which == "routing":
        from vexal.circuit.routing import SabreRouting
        qc, make = circuit(16, gates(16, 20_000)), lambda: SabreRouting(nx.path_graph(16), iterations=3)
    else:
        from vexal.circuit.optimize import GateCompressor
        qc, make = circuit(8, gates(8, 300_000)), GateCompressor
    sys.stdout = open(os.devnull, "w")  # what the passes print
    report = sys.__stdout__

    sent, running = [None], [False]
    def ctrl_c(*_):
        if running[0]:  # a timer that fires after the run has nothing to stop
            sent[0] = time.monotonic()
            os.kill(os.getpid(), signal.SIGINT)
    signal.signal(signal.SIGALRM, ctrl_c)

    def timed():
        t = time.monotonic()
        make().run(qc)
        return time.monotonic() - t
    whole = min(timed(), timed())
    results = []
    for f in (0.002, 0.005, 0.01, 0.02, 0.03, 0.045, 0.06, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9):
        p, sent[0] = make(), None
        signal.setitimer(signal.ITIMER_REAL, f * whole)
        try:
            running[0] = True
            p.run(qc)
            running[0], outcome = False, "returned"
        except KeyboardInterrupt:
            running[0], outcome = False, "interrupted"
        end = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0)
        results.append([f, outcome, None if sent[0] is None else end - sent[0]])
    print(json.dumps([whole, results]), file=report, flush=True)
    """
)


# the fast paths, whose set-up is where interrupts were once lost,
# whatever VEXAL_REFERENCE_PATHS says for the rest of the suite
FAST_PATHS = {k: v for k, v in os.environ.items() if k != "VEXAL_REFERENCE_PATHS"}


@pytest.mark.parametrize("which", ["decoupling", "routing", "compression"])
def test_ctrl_c_stops_a_long_pass(which):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, which, os.path.dirname(os.path.abspath(__file__))],
        capture_output=True,
        text=True,
        timeout=600,
        env=FAST_PATHS,
    )
    assert out.returncode == 0, out.stderr
    whole, results = json.loads(out.stdout.splitlines()[-1])
    interrupted = 0
    for moment, outcome, after in results:
        if outcome == "returned":
            assert after is None, f"{which}: SIGINT at {moment:.0%} of the run was swallowed"
            continue
        # signals are polled every few milliseconds of work
        assert after < 0.5 + 0.1 * whole, f"{which}: SIGINT at {moment:.0%} stopped the run {after:.2f} s later"
        interrupted += 1
    assert interrupted >= len(results) // 2


# Layout's reference path fans out to a process pool; a Ctrl-C reaches the
# whole process group, workers included
DENSE_LAYOUT = textwrap.dedent(
    """
    import itertools, sys
    from layout_chips import GraphBackend, graph_of
    from vexal.circuit.layout import Layout
    from vexal.circuit.quantumcircuit import QuantumCircuit
    qc = QuantumCircuit(9, 0)
    qc.qubits, qc.gates = list(range(9)), [("cx", i, i + 1) for i in range(8)]
    print("started", flush=True)
    Layout(GraphBackend(graph_of(list(itertools.combinations(range(10), 2))))).select_layout(qc)
    """
)


def group_members(pgid):
    """The processes of a process group, from /proc."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[2]) == pgid:
                pids.append(int(entry))
    return sorted(pids)


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads the process group from /proc")
def test_ctrl_c_stops_the_layout_pool_and_its_workers():
    env = dict(os.environ, VEXAL_REFERENCE_PATHS="1", PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen(
        [sys.executable, "-c", DENSE_LAYOUT],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        start_new_session=True,
    )
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(2.0)  # the enumeration's pool is at work by now
        # one process after the other, as a terminal's Ctrl-C may land
        for pid in group_members(child.pid):
            os.kill(pid, signal.SIGINT)
        _, err = child.communicate(timeout=30)
        assert "KeyboardInterrupt" in err.splitlines()[-1]
        time.sleep(0.5)
        with pytest.raises(ProcessLookupError):
            os.killpg(child.pid, 0)  # no worker is left behind
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
