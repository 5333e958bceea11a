// vexal.circuit.matrix: the entries of every matrix function, written once
// as a template over a domain: the fast path's (`Fast`, fast.cpp: doubles)
// or the reference path's (`Reference`, reference.cpp: Python objects
// through the module's `np`).
//
// A domain D has the entry type D::V and the operations the formulas use:
// real, cos, sin, exp, expi (exp of i times a double), j, mj (-1j), zero,
// one, neg_real, neg and the products.  Each product is named after the
// types the reference expression multiplies (a Python complex times a float
// or a numpy.float64, a numpy.complex128 times a numpy.float64, a Python
// complex times a numpy.complex128), since the fast domain reproduces the
// rule by which Python or numpy multiplies those types (probes.cpp).
// d.mat(n, e) makes the n x n array of the entries e (row-major); the fast
// domain's is invalid where an entry came out subnormal.
#pragma once

#include "matrix.hpp"

#include <algorithm>
#include <initializer_list>

namespace matrix {

struct Fast;

// ---------------------------------------------------------------- what the fast path needs

// The rules of arithmetic the fast domain reproduces only where the load-time
// probes confirmed them (Cache::confirmed), by the operations that use them.
enum Rule : unsigned {
    kPyTimesFloat = 1u << 0,  // py_times_float
    kPyTimesF64 = 1u << 1,    // py_times_f64
    kNpTimesF64 = 1u << 2,    // np_times_f64
    kNpNeg = 1u << 3,         // neg of a numpy.complex128
    kPyTimesNp = 1u << 4,     // py_times_np
};

// What a formula asks of the fast path at given angles: the angles it hands
// its trigonometry and the rules it multiplies by.  Each formula states its
// own below it.
struct Needs {
    double angles[4];
    int count;
    unsigned rules;
};

// The one rule of every matrix function: the fast path takes a formula
// whose every angle for the trigonometry is finite and not subnormal and
// whose every rule the probes confirmed (and then only while the module's
// `np` is the numpy it imported, and where no entry comes out subnormal).
inline bool fast_takes(const Needs &n) {
    if ((n.rules & ~C.confirmed) != 0)
        return false;
    for (int i = 0; i < n.count; ++i)
        if (!fast_angle(n.angles[i]))
            return false;
    return true;
}

// ---------------------------------------------------------------- one-qubit gates

// Each one-angle formula fills the entries (row-major) of its matrix.
template <class D> void rx_values(const D &d, double theta, typename D::V e[4]) {
    auto h = d.real(theta * 0.5);
    auto c = d.cos(h), s = d.sin(h);
    auto m = d.py_times_f64(d.mj(), s);
    e[0] = c, e[1] = m, e[2] = m, e[3] = c;
}

template <class D> void ry_values(const D &d, double theta, typename D::V e[4]) {
    auto h = d.real(theta * 0.5);
    auto c = d.cos(h), s = d.sin(h);
    e[0] = c, e[1] = d.neg_real(s), e[2] = s, e[3] = c;
}

template <class D> void rz_values(const D &d, double theta, typename D::V e[4]) {
    const double h = theta * 0.5;
    e[0] = d.expi(-h), e[1] = d.zero(), e[2] = d.zero(), e[3] = d.expi(h);
}

template <class D> void p_values(const D &d, double theta, typename D::V e[4]) {
    e[0] = d.one(), e[1] = d.zero(), e[2] = d.zero(), e[3] = d.expi(theta);
}

template <class D> void u_values(const D &d, double theta, double phi, double lamda, typename D::V e[4]) {
    auto h = d.real(theta * 0.5);
    auto c = d.cos(h);
    e[0] = c;
    e[1] = d.np_times_f64(d.neg(d.expi(lamda)), d.sin(h));
    e[2] = d.np_times_f64(d.expi(phi), d.sin(h));
    e[3] = d.np_times_f64(d.expi(phi + lamda), c);
}
// The fast domain's u: the same with sin(h) worked out once (fast.cpp).
void u_values(const Fast &d, double theta, double phi, double lamda, cplx e[4]);

template <class D> nb::object u(const D &d, double theta, double phi, double lamda) {
    typename D::V e[4];
    u_values(d, theta, phi, lamda, e);
    return d.mat(2, e);
}
inline Needs u_needs(double theta, double phi, double lamda) {
    return {{theta * 0.5, phi, lamda, phi + lamda}, 4, kNpTimesF64 | kNpNeg};
}

// theta2: theta / 2 as the caller computed it; phi as given.
template <class D> nb::object r(const D &d, const typename D::V &theta2, const typename D::V &phi) {
    auto c = d.cos(theta2);
    auto em = d.exp(d.py_times_float(d.mj(), phi));
    auto e01 = d.np_times_f64(d.py_times_np(d.mj(), em), d.sin(theta2));
    auto ep = d.exp(d.py_times_float(d.j(), phi));
    auto e10 = d.np_times_f64(d.py_times_np(d.mj(), ep), d.sin(theta2));
    typename D::V e[] = {c, e01, e10, c};
    return d.mat(2, e);
}
inline Needs r_needs(double theta2, double phi) { return {{theta2, phi}, 2, kPyTimesFloat | kNpTimesF64 | kPyTimesNp}; }

// ---------------------------------------------------------------- two-qubit gates

template <class V> void fill16(V e[16], std::initializer_list<V> values) { std::copy(values.begin(), values.end(), e); }

template <class D> void rxx_values(const D &d, double theta, typename D::V e[16]) {
    auto h = d.real(theta * 0.5);
    auto c = d.cos(h), s = d.sin(h);
    auto m = d.py_times_f64(d.mj(), s);
    auto o = d.zero();
    fill16(e, {c, o, o, m,  //
               o, c, m, o,  //
               o, m, c, o,  //
               m, o, o, c});
}

template <class D> void ryy_values(const D &d, double theta, typename D::V e[16]) {
    auto h = d.real(theta * 0.5);
    auto c = d.cos(h), s = d.sin(h);
    auto pl = d.py_times_f64(d.j(), s);
    auto m = d.py_times_f64(d.mj(), s);
    auto o = d.zero();
    fill16(e, {c, o, o, pl,  //
               o, c, m, o,   //
               o, m, c, o,   //
               pl, o, o, c});
}

template <class D> void rzz_values(const D &d, double theta, typename D::V e[16]) {
    const double h = theta * 0.5;
    auto a = d.expi(-h), b = d.expi(h);
    auto o = d.zero();
    fill16(e, {a, o, o, o,  //
               o, b, o, o,  //
               o, o, b, o,  //
               o, o, o, a});
}

template <class D> void cp_values(const D &d, double theta, typename D::V e[16]) {
    auto o = d.zero(), i = d.one();
    fill16(e, {i, o, o, o,  //
               o, i, o, o,  //
               o, o, i, o,  //
               o, o, o, d.expi(theta)});
}

// ---------------------------------------------------------------- the one-angle gates

template <class D> void param_values(ParamGate g, const D &d, double theta, typename D::V *e) {
    using enum ParamGate;
    switch (g) {
    case RX: rx_values(d, theta, e); break;
    case RY: ry_values(d, theta, e); break;
    case RZ: rz_values(d, theta, e); break;
    case P: p_values(d, theta, e); break;
    case RXX: rxx_values(d, theta, e); break;
    case RYY: ryy_values(d, theta, e); break;
    case RZZ: rzz_values(d, theta, e); break;
    case CP: cp_values(d, theta, e); break;
    }
}

// rx, rxx and ryy multiply (-)1j by the sine of half theta; ry, rz and rzz
// multiply nothing; p and cp take theta whole.
inline Needs param_needs(ParamGate g, double theta) {
    using enum ParamGate;
    switch (g) {
    case RX:
    case RXX:
    case RYY: return {{theta * 0.5}, 1, kPyTimesF64};
    case RY:
    case RZ:
    case RZZ: return {{theta * 0.5}, 1, 0};
    case P:
    case CP: return {{theta}, 1, 0};
    }
    return {{}, 0, ~0u};  // no such gate: no fast path
}

template <class D> nb::object param_matrix(ParamGate g, const D &d, double theta) {
    typename D::V e[16];
    param_values(g, d, theta, e);
    return d.mat(vx::matrixapi::param_dim(g), e);
}

// ---------------------------------------------------------------- the two paths

// fast.cpp: the matrices (invalid where an entry came out subnormal) and the
// entries of the fast path; the trigonometry of numpy's ufunc on a float.
nb::object fast_param_matrix(ParamGate g, double theta);
nb::object fast_u_matrix(double theta, double phi, double lamda);
nb::object fast_r_matrix(double theta2, double phi);
void fast_param_values(ParamGate g, double theta, cplx *e);
void fast_u_values(double theta, double phi, double lamda, cplx e[4]);
double numpy_trig(PyObject *ufunc, double x);

// reference.cpp: the matrices through `np`.
nb::object reference_param_matrix(nb::handle np, ParamGate g, double theta);
nb::object reference_u_matrix(nb::handle np, double theta, double phi, double lamda);
nb::object reference_r_matrix(nb::handle np, nb::handle theta2, nb::handle phi);

}  // namespace matrix
