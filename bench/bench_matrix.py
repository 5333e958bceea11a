"""Time per call of gate matrix functions against the plain numpy expression.

Usage: PYTHONPATH=<build>/pkg python bench/bench_matrix.py
"""

import timeit

import numpy as np

import vexal.circuit.matrix as mx


def np_rx(theta):
    c, s = np.cos(theta * 0.5), np.sin(theta * 0.5)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=complex)


def np_u(theta, phi, lamda):
    c, s = np.cos(theta * 0.5), np.sin(theta * 0.5)
    return np.array(
        [[c, -np.exp(1j * lamda) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lamda)) * c]], dtype=complex
    )


def np_cp(theta):
    return np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, np.exp(1j * theta)]], dtype=complex)


CASES = [
    ("rx_mat(0.7)", lambda: mx.rx_mat(0.7), lambda: np_rx(0.7)),
    ("u_mat(0.7, 0.2, -1.1)", lambda: mx.u_mat(0.7, 0.2, -1.1), lambda: np_u(0.7, 0.2, -1.1)),
    ("cp_mat(0.7)", lambda: mx.cp_mat(0.7), lambda: np_cp(0.7)),
]


def per_call(fn, number=20000, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e6


def main():
    print(f"{'call':<24}{'vexal (us)':>12}{'numpy (us)':>12}{'speed-up':>10}")
    for name, ours, ref in CASES:
        a, b = per_call(ours), per_call(ref)
        print(f"{name:<24}{a:>12.3f}{b:>12.3f}{b / a:>9.1f}x")


if __name__ == "__main__":
    main()
