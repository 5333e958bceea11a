"""Helpers shared by the transpiler modules."""

import math
import operator

import numpy as np

__all__ = ["u3_decompose"]


def checked_index(value, what):
    """`value` as an index (a size, a qubit, a classical bit), by the
    package's one rule for such values, which the record check of the passes
    keeps too: TypeError for anything that is not an integer (a bool is not
    one), ValueError for a negative integer."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    try:
        i = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {value!r}") from None
    if i < 0:
        raise ValueError(f"{what} must be non-negative, got {i}")
    return i


# Relative size below which sin(theta/2) (or cos(theta/2)) counts as zero, so
# that theta snaps to exactly 0 (or pi).
_SNAP = 1e-12
# Largest deviation from unitarity accepted (entries of M^dagger M - I).
_UNITARY_TOL = 1e-6
# Both are named here only: the package's C++ port of u3_decompose
# (src/decompositions) reads them from this module.


def _arg_rel(x1, y1, x2, y2):
    """Argument of (x1 + i y1) * conj(x2 + i y2), from real operations."""
    return math.atan2(y1 * x2 - x1 * y2, x1 * x2 + y1 * y2)


def u3_decompose(m):
    """Angles of a one-qubit unitary.

    Returns (theta, phi, lamda, phase), Python floats, such that
        m == exp(i*phase) * u(theta, phi, lamda)
    with u(t, p, l) = [[cos(t/2), -e^{il} sin(t/2)],
                       [e^{ip} sin(t/2), e^{i(p+l)} cos(t/2)]].
    theta lies in [0, pi].  When m is a phase times the identity, theta is
    exactly 0, phi is 0 and lamda is 0 up to rounding; when m is
    anti-diagonal, theta is exactly pi and phi is 0.

    Every angle is taken from the larger entries of m, so small rounding
    errors in the input (products of unitaries) stay small in the result.
    Raises ValueError if m is not a 2x2 matrix of finite numbers or is not
    unitary to within 1e-6.
    """
    arr = np.asarray(m)
    if arr.shape != (2, 2):
        raise ValueError(f"u3_decompose expects a 2x2 matrix, got shape {arr.shape}")
    a = complex(arr[0, 0])
    b = complex(arr[0, 1])
    c = complex(arr[1, 0])
    d = complex(arr[1, 1])
    ax, ay = a.real, a.imag
    bx, by = b.real, b.imag
    cx, cy = c.real, c.imag
    dx, dy = d.real, d.imag
    for v in (ax, ay, bx, by, cx, cy, dx, dy):
        if not math.isfinite(v):
            raise ValueError("u3_decompose expects finite matrix entries")

    # columns of a unitary are orthonormal
    n0 = ax * ax + ay * ay + cx * cx + cy * cy
    n1 = bx * bx + by * by + dx * dx + dy * dy
    ipx = ax * bx + ay * by + cx * dx + cy * dy  # conj(col0) . col1
    ipy = ax * by - ay * bx + cx * dy - cy * dx
    if (
        abs(n0 - 1.0) > _UNITARY_TOL
        or abs(n1 - 1.0) > _UNITARY_TOL
        or abs(ipx) > _UNITARY_TOL
        or abs(ipy) > _UNITARY_TOL
    ):
        raise ValueError("u3_decompose expects a unitary matrix")

    # |cos(theta/2)| and |sin(theta/2)|, each the mean of its two entries
    cos_h = (abs(a) + abs(d)) * 0.5
    sin_h = (abs(b) + abs(c)) * 0.5

    if sin_h <= _SNAP * cos_h:
        # diagonal: a phase gate diag(1, e^{i lamda}) times e^{i phase}
        theta = 0.0
        phi = 0.0
        lamda = _arg_rel(dx, dy, ax, ay)
        phase = math.atan2(ay, ax)
    elif cos_h <= _SNAP * sin_h:
        # anti-diagonal: [[0, -e^{i lamda}], [1, 0]] times e^{i phase}
        theta = math.pi
        phi = 0.0
        lamda = _arg_rel(-bx, -by, cx, cy)
        phase = math.atan2(cy, cx)
    else:
        theta = 2.0 * math.atan2(sin_h, cos_h)
        phase = math.atan2(ay, ax)
        phi = _arg_rel(cx, cy, ax, ay)
        if cos_h >= sin_h:
            # phi + lamda from the two large diagonal entries
            lamda = _arg_rel(dx, dy, ax, ay) - phi
        else:
            lamda = _arg_rel(-bx, -by, ax, ay)
    return theta, phi, lamda, phase
