// vexal.circuit.matrix: what the module's files share.
//
// module.cpp     the module body: the frame, in load order, and gate_matrix_dict
// constants.cpp  the fixed gates' matrices, built once through numpy
// columns.cpp    ket0, ket1 and the columns of ketn0 and ketn1
// gates.cpp      the matrix functions of the parameterised gates, each going
//                through the one wrapper that chooses its path
// formulas.hpp   the entries of every matrix function, written once over a
//                domain, and what the fast path needs of them
// fast.cpp       the fast path: the entries in doubles, in a fresh array
// reference.cpp  the reference path: the expressions through the module's `np`
// offer.cpp      what the module offers the other modules (matrix_api.hpp)
// probes.cpp     the load-time probes: which of numpy's and Python's rules of
//                arithmetic, and whether the trigonometry, the C++ entries
//                reproduce on this machine
#pragma once

#include "interop.hpp"
#include "matrix_api.hpp"

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace matrix {

using cplx = std::complex<double>;
using vx::call;
using vx::matrixapi::ParamGate;

// ---------------------------------------------------------------- numbers

// How a complex times a real multiplies.
enum class Mul : std::uint8_t { Unknown, Full, Parts };

inline cplx mul_real(Mul m, cplx z, double x) {
    if (m == Mul::Parts)
        return {z.real() * x, z.imag() * x};
    // (z.re + z.im i) * (x + 0i)
    return {z.real() * x - z.imag() * 0.0, z.real() * 0.0 + z.imag() * x};
}

inline cplx mul_full(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

inline std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
inline bool same(cplx a, cplx b) { return bits(a.real()) == bits(b.real()) && bits(a.imag()) == bits(b.imag()); }

// An angle the fast path hands its trigonometry: finite and not subnormal
// (numpy's warnings and error state have a say about the others).
inline bool fast_angle(double x) { return x == 0.0 || std::isnormal(x); }
inline bool subnormal(double x) { return x != 0.0 && !std::isnormal(x) && std::isfinite(x); }
// Whether an entry of the n given has a subnormal part: numpy's error state
// decides about the underflow, so the reference path does the work.
inline bool has_subnormal(const cplx *e, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (subnormal(e[i].real()) || subnormal(e[i].imag()))
            return true;
    return false;
}

// ---------------------------------------------------------------- the cache

// What the module keeps from its load: numpy's objects, the small numbers the
// formulas use, interned names and what the probes found (probes.cpp).
struct Cache {
    PyObject *globals = nullptr;  // the module's namespace
    PyObject *numpy = nullptr;    // the numpy module imported at load, for the probes
    PyObject *empty = nullptr;    // numpy.empty
    PyObject *zeros = nullptr;    // numpy.zeros
    PyObject *np_cos = nullptr;   // numpy's ufuncs, for trigonometry when the C library's differs
    PyObject *np_sin = nullptr;
    PyObject *np_exp = nullptr;
    PyObject *float64 = nullptr;     // numpy.float64
    PyObject *complex128 = nullptr;  // numpy.complex128
    PyObject *cdtype = nullptr;      // numpy.dtype(complex)
    PyObject *shape22 = nullptr;
    PyObject *shape44 = nullptr;
    PyObject *dtype_kw = nullptr;  // ("dtype",)
    PyObject *zero = nullptr, *one = nullptr, *two = nullptr, *four = nullptr, *minus_one = nullptr;
    PyObject *j = nullptr, *mj = nullptr;  // 1j, -1j
    PyObject *fzero = nullptr;             // 0.0
    PyObject *s_np = nullptr, *s_ket0 = nullptr, *s_ket1 = nullptr, *s_u_mat = nullptr, *s_pi = nullptr;
    PyTypeObject *ndarray = nullptr;
    PyObject *own_np = nullptr;   // what the module's `np` held when it loaded
    bool data_at_head = false;    // an ndarray's data pointer follows its header
    bool trig_is_cpp = false;     // the C library's cos, sin and sincos give numpy's doubles
    Mul py_float = Mul::Unknown;  // Python complex * float
    Mul py_f64 = Mul::Unknown;    // Python complex * numpy.float64
    Mul np_f64 = Mul::Unknown;    // numpy.complex128 * numpy.float64
    bool np_neg = false;          // -numpy.complex128 negates both parts
    bool np_cmul = false;         // Python complex * numpy.complex128 is the full product
    unsigned confirmed = 0;       // the Rules (formulas.hpp) the probes above confirmed
};
extern Cache C;

// Fills the cache and runs the probes, once, at load (probes.cpp).
void load_cache(nb::handle np);

// ---------------------------------------------------------------- Python numbers

inline PyObject *keep(nb::object o) { return o.release().ptr(); }

// Reads a complex or float result of numpy or Python exactly.
inline cplx as_cplx(nb::handle o) {
    Py_complex v = PyComplex_AsCComplex(o.ptr());
    if (v.real == -1.0 && PyErr_Occurred())
        throw vx::error_already_set{};
    return {v.real, v.imag};
}
inline double as_double(nb::handle o) {
    double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred())
        throw vx::error_already_set{};
    return v;
}
inline nb::object pyfloat(double x) { return vx::own(PyFloat_FromDouble(x)); }
inline nb::object pycomplex(cplx z) { return vx::own(PyComplex_FromDoubles(z.real(), z.imag())); }

// The module's `np` as it stands now.
inline nb::object np_of(const vx::Args &a) { return nb::borrow(a.global(C.s_np)); }

// ---------------------------------------------------------------- arrays

using Rows = std::vector<std::vector<PyObject *>>;

// np.array(rows, dtype=complex) over nested lists of the given objects
// (constants.cpp).
nb::object array_of_rows(nb::handle np, const Rows &rows);

// Writes `n` values into a new C-contiguous complex array (fast.cpp).
void fill(nb::handle arr, const cplx *vals, std::size_t n);

// ---------------------------------------------------------------- the module's parts

// The fixed gates' matrices, bound in load order (constants.cpp).
void bind_fixed_gates(nb::handle m, nb::handle np);
// ket0 and ket1, bound and recorded as the module's own; ketn0 and ketn1
// (columns.cpp).
void bind_columns(nb::handle m, nb::handle np);
nb::object ketn0(const vx::Args &a);
nb::object ketn1(const vx::Args &a);

// The matrix functions (gates.cpp); param_function(g) is the one of the
// one-angle gate g.
vx::Impl param_function(ParamGate g);
nb::object u_mat(const vx::Args &a);
nb::object u1_mat(const vx::Args &a);
nb::object u2_mat(const vx::Args &a);
nb::object r_mat(const vx::Args &a);

// The capsule u_mat's function object holds, and the record of the module's
// own one-angle functions that the offer answers from (offer.cpp).
nb::object offer_capsule();
void keep_param_functions(nb::handle m);

}  // namespace matrix
