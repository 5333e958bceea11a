// vexal.circuit.matrix: the unitary of every gate as a numpy complex array.
//
// Qubit order: the first qubit of a gate is the least-significant bit of the
// matrix index.  The constants are built once at import, through numpy, from
// nested lists of rows.  The matrix functions return a new array per call.
//
// Each matrix function is written once, as a template over a domain:
//  * Native computes in doubles and fills a fresh numpy array through the
//    buffer protocol.  It gives bit for bit what the numpy expression gives,
//    signs of zeros included, and is what basis translation and gate
//    compression hit per gate.  u_mat's function object also offers its
//    native entries without an array (matrix_api.hpp).
//  * Generic evaluates the same expression with Python objects through the
//    module's `np`.  It runs when `np` is no longer numpy, for angles that are
//    not finite or are subnormal (so numpy's warnings and error state apply as
//    they would to the expression), and for any rule the load-time probes
//    below could not confirm.
//
// The probes: multiplying a complex by a real is a full complex product in
// CPython up to 3.13 and a part-by-part product from 3.14 on, and numpy has
// its own rule for its scalars; the signs of zero entries depend on it.  At
// import the module multiplies a few signed values both ways and keeps the
// native path only for the rules it reproduced exactly.  Likewise it compares
// the C library's cos/sin (and its sincos) with numpy's ufuncs on a spread of
// angles and takes the trigonometry from numpy's ufuncs when they differ on
// this machine.
#include "interop.hpp"
#include "matrix_api.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using cplx = std::complex<double>;

// How a complex times a real multiplies.
enum class Mul : std::uint8_t { Unknown, Full, Parts };

cplx mul_real(Mul m, cplx z, double x) {
    if (m == Mul::Parts)
        return {z.real() * x, z.imag() * x};
    // (z.re + z.im i) * (x + 0i)
    return {z.real() * x - z.imag() * 0.0, z.real() * 0.0 + z.imag() * x};
}

cplx mul_full(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

std::uint64_t bits(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}
bool same(cplx a, cplx b) { return bits(a.real()) == bits(b.real()) && bits(a.imag()) == bits(b.imag()); }

// An angle the native path takes: finite and not subnormal.
bool plain(double x) { return x == 0.0 || std::isnormal(x); }
bool tiny(double x) { return x != 0.0 && !std::isnormal(x) && std::isfinite(x); }

struct Cache {
    PyObject *globals = nullptr;  // the module's namespace
    PyObject *numpy = nullptr;    // the numpy module imported at load, for the probes
    PyObject *empty = nullptr;    // numpy.empty
    PyObject *zeros = nullptr;    // numpy.zeros
    PyObject *np_cos = nullptr;   // numpy's ufuncs, for trigonometry when libm differs
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
    PyObject *own_np = nullptr;  // what the module's `np` held when it loaded
    bool data_at_head = false;   // an ndarray's data pointer follows its header
    bool native_trig = false;
    Mul py_float = Mul::Unknown;  // Python complex * float
    Mul py_f64 = Mul::Unknown;    // Python complex * numpy.float64
    Mul np_f64 = Mul::Unknown;    // numpy.complex128 * numpy.float64
    bool np_neg = false;          // -numpy.complex128 negates both parts
    bool np_cmul = false;         // Python complex * numpy.complex128 is the full product
};
Cache C;

PyObject *keep(nb::object o) { return o.release().ptr(); }

using vx::call;

// np.array(rows, dtype=complex) over nested lists of the given objects.
nb::object array_of_rows(nb::handle np, const std::vector<std::vector<PyObject *>> &rows) {
    nb::object outer = vx::own(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (size_t r = 0; r < rows.size(); ++r) {
        PyObject *row = vx::check(PyList_New(static_cast<Py_ssize_t>(rows[r].size())));
        PyList_SET_ITEM(outer.ptr(), static_cast<Py_ssize_t>(r), row);
        for (size_t c = 0; c < rows[r].size(); ++c) {
            Py_INCREF(rows[r][c]);
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(c), rows[r][c]);
        }
    }
    nb::object array = vx::own(PyObject_GetAttrString(np.ptr(), "array"));
    return call(array.ptr(), {outer.ptr(), reinterpret_cast<PyObject *>(&PyComplex_Type)}, C.dtype_kw);
}

// Reads a complex result of numpy or Python exactly.
cplx as_cplx(nb::handle o) {
    Py_complex v = PyComplex_AsCComplex(o.ptr());
    if (v.real == -1.0 && PyErr_Occurred())
        throw vx::error_already_set{};
    return {v.real, v.imag};
}
double as_double(nb::handle o) {
    double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred())
        throw vx::error_already_set{};
    return v;
}
nb::object pyfloat(double x) { return vx::own(PyFloat_FromDouble(x)); }
nb::object pycomplex(cplx z) { return vx::own(PyComplex_FromDoubles(z.real(), z.imag())); }

// Writes `n` values into a new C-contiguous complex array.  An ndarray keeps
// its data pointer right after the object header (numpy's ABI); the module
// uses it when the load-time check found it equal to the buffer's address,
// which saves the buffer protocol's per-call format and shape records.
void fill(nb::handle arr, const cplx *vals, size_t n) {
    if (C.data_at_head && Py_TYPE(arr.ptr()) == C.ndarray) {
        void *data;
        std::memcpy(&data, reinterpret_cast<const char *>(arr.ptr()) + sizeof(PyObject), sizeof data);
        std::memcpy(data, vals, n * sizeof(cplx));
        return;
    }
    Py_buffer view;
    vx::check(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
    if (view.len != static_cast<Py_ssize_t>(n * sizeof(cplx))) {
        PyBuffer_Release(&view);
        vx::raise(PyExc_SystemError, "matrix buffer has an unexpected size");
    }
    std::memcpy(view.buf, vals, n * sizeof(cplx));
    PyBuffer_Release(&view);
}

// ---------------------------------------------------------------- domains

struct Native {
    using V = cplx;
    static V real(double x) { return {x, 0.0}; }
    static double np_real(PyObject *ufunc, double x) {
        nb::object a = pyfloat(x);
        return as_double(call(ufunc, {a.ptr()}));
    }
    static V cos(V h) { return {C.native_trig ? std::cos(h.real()) : np_real(C.np_cos, h.real()), 0.0}; }
    static V sin(V h) { return {C.native_trig ? std::sin(h.real()) : np_real(C.np_sin, h.real()), 0.0}; }
    // np.exp of a complex whose real part is zero (of either sign)
    static V exp(V z) {
        if (C.native_trig)
            return {std::cos(z.imag()), std::sin(z.imag())};
        nb::object a = pycomplex(z);
        return as_cplx(call(C.np_exp, {a.ptr()}));
    }
    static V expi(double alpha) { return exp({0.0, alpha}); }
    static V j() { return {0.0, 1.0}; }
    static V mj() { return {-0.0, -1.0}; }
    static V zero() { return {0.0, 0.0}; }
    static V one() { return {1.0, 0.0}; }
    // Python complex * float, Python complex * numpy.float64
    static V py_times_float(V z, V x) { return mul_real(C.py_float, z, x.real()); }
    static V py_times_f64(V z, V x) { return mul_real(C.py_f64, z, x.real()); }
    // numpy.complex128 * numpy.float64, Python complex * numpy.complex128
    static V np_times_f64(V z, V x) { return mul_real(C.np_f64, z, x.real()); }
    static V py_times_np(V z, V w) { return mul_full(z, w); }
    static V neg_real(V x) { return {-x.real(), 0.0}; }
    static V neg(V z) { return {-z.real(), -z.imag()}; }

    // The array of the n x n entries; invalid when an entry came out
    // subnormal (numpy's error state decides about underflow, so the caller
    // redoes the work the generic way).
    static nb::object mat(int n, const V *e) {
        const size_t count = static_cast<size_t>(n) * static_cast<size_t>(n);
        for (size_t i = 0; i < count; ++i)
            if (tiny(e[i].real()) || tiny(e[i].imag()))
                return {};
        PyObject *shape = n == 2 ? C.shape22 : C.shape44;
        nb::object arr = call(C.empty, {shape, C.cdtype});
        fill(arr, e, count);
        return arr;
    }
};

struct Generic {
    using V = nb::object;
    nb::handle np;

    nb::object fn(const char *name) const { return vx::own(PyObject_GetAttrString(np.ptr(), name)); }
    static V real(double x) { return pyfloat(x); }
    V cos(const V &h) const { return call(fn("cos").ptr(), {h.ptr()}); }
    V sin(const V &h) const { return call(fn("sin").ptr(), {h.ptr()}); }
    V exp(const V &z) const { return call(fn("exp").ptr(), {z.ptr()}); }
    V expi(double alpha) const { return exp(pycomplex({0.0, alpha})); }
    static V j() { return nb::borrow(C.j); }
    static V mj() { return nb::borrow(C.mj); }
    static V zero() { return nb::borrow(C.zero); }
    static V one() { return nb::borrow(C.one); }
    static V mul(const V &a, const V &b) { return vx::own(PyNumber_Multiply(a.ptr(), b.ptr())); }
    static V py_times_float(const V &z, const V &x) { return mul(z, x); }
    static V py_times_f64(const V &z, const V &x) { return mul(z, x); }
    static V np_times_f64(const V &z, const V &x) { return mul(z, x); }
    static V py_times_np(const V &z, const V &w) { return mul(z, w); }
    static V neg_real(const V &x) { return vx::own(PyNumber_Negative(x.ptr())); }
    static V neg(const V &z) { return vx::own(PyNumber_Negative(z.ptr())); }

    nb::object mat(int n, const V *e) const {
        std::vector<std::vector<PyObject *>> rows(static_cast<size_t>(n));
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c)
                rows[static_cast<size_t>(r)].push_back(e[r * n + c].ptr());
        return array_of_rows(np, rows);
    }
};

// ---------------------------------------------------------------- formulas

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

// The same natively, with the C library's trigonometry: sin(h) is worked
// out once, as every evaluation gives the same double, and with cos(h) by
// one sincos, which gives the doubles sin and cos give (the compiler makes
// one sincos of Native::exp's cos and sin, too).
void u_values(const Native &d, double theta, double phi, double lamda, cplx e[4]) {
    auto h = d.real(theta * 0.5);
    cplx c, s;
    if (C.native_trig) {
        double sv, cv;
        ::sincos(h.real(), &sv, &cv);
        c = {cv, 0.0}, s = {sv, 0.0};
    } else {
        c = d.cos(h), s = d.sin(h);
    }
    e[0] = c;
    e[1] = d.np_times_f64(d.neg(d.expi(lamda)), s);
    e[2] = d.np_times_f64(d.expi(phi), s);
    e[3] = d.np_times_f64(d.expi(phi + lamda), c);
}

template <class D> nb::object u(const D &d, double theta, double phi, double lamda) {
    typename D::V e[4];
    u_values(d, theta, phi, lamda, e);
    return d.mat(2, e);
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

// The one-angle gates: their formulas, the size of their matrices and
// whether the native path takes an angle, as their functions decide it.
template <class D> void param_values(vx::matrixapi::ParamGate g, const D &d, double theta, typename D::V *e) {
    using enum vx::matrixapi::ParamGate;
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

template <class D> nb::object param_matrix(vx::matrixapi::ParamGate g, const D &d, double theta) {
    typename D::V e[16];
    param_values(g, d, theta, e);
    return d.mat(vx::matrixapi::param_dim(g), e);
}

// Runs a formula natively when the module's `np` is the numpy it imported,
// `ok` holds and the result has no subnormal entry; otherwise through `np`.
template <class F> nb::object dispatch(const vx::Args &a, bool ok, F &&f) {
    if (ok && vx::is_original(a, "np")) {
        nb::object r = f(Native{});
        if (r.is_valid())
            return r;
    }
    return f(Generic{nb::borrow(a.global(C.s_np))});
}

// ---------------------------------------------------------------- functions

nb::object np_of(const vx::Args &a) { return nb::borrow(a.global(C.s_np)); }

// An angle given to numpy's trigonometry by the native path.
bool half_ok(double theta) { return plain(theta * 0.5); }

bool param_native(vx::matrixapi::ParamGate g, double t) {
    using enum vx::matrixapi::ParamGate;
    switch (g) {
    case RX:
    case RXX:
    case RYY: return half_ok(t) && C.py_f64 != Mul::Unknown;
    case RY:
    case RZ:
    case RZZ: return half_ok(t);
    case P:
    case CP: return plain(t);
    }
    return false;
}

template <vx::matrixapi::ParamGate G> nb::object param_mat(const vx::Args &a) {
    const double t = a.f(0);
    return dispatch(a, param_native(G, t), [&](const auto &d) { return param_matrix(G, d, t); });
}

bool u_native(double theta, double phi, double lamda) {
    return half_ok(theta) && plain(phi) && plain(lamda) && plain(phi + lamda) && C.np_f64 != Mul::Unknown && C.np_neg;
}
nb::object u_of(const vx::Args &a, double theta, double phi, double lamda) {
    return dispatch(a, u_native(theta, phi, lamda), [&](const auto &d) { return u(d, theta, phi, lamda); });
}
nb::object u_mat(const vx::Args &a) { return u_of(a, a.f(0), a.f(1), a.f(2)); }

// The module's `np` is still the numpy it imported (vx::is_original, in one
// look-up: the offer's functions are asked once a merge).
bool own_np() { return PyDict_GetItem(C.globals, C.s_np) == C.own_np; }

// What u_mat's native path computes, for other modules (matrix_api.hpp):
// only where it runs no Python code (the C library's trigonometry is
// numpy's) and would make the array itself.
bool u_entries(double theta, double phi, double lamda, cplx out[4]) {
    if (!C.native_trig || !u_native(theta, phi, lamda) || !own_np())
        return false;
    cplx e[4];
    u_values(Native{}, theta, phi, lamda, e);
    for (const cplx &z : e)
        if (tiny(z.real()) || tiny(z.imag()))
            return false;
    std::copy(e, e + 4, out);
    return true;
}
// Whether u_mat's matrix is within atol of the identity, where u_entries
// would give its entries.  An entry off the diagonal is sin(theta / 2) times
// a unit number: where that sine is more than twice atol, no entry can be
// within it (and none can be subnormal: the cosine of a double is never
// below 1e-19), so the other entries are not worked out.
int u_identity(double theta, double phi, double lamda, double atol) {
    if (!C.native_trig || !u_native(theta, phi, lamda) || !own_np())
        return -1;
    if (std::fabs(Native::sin(Native::real(theta * 0.5)).real()) > 2 * atol)
        return 0;
    cplx e[4];
    if (!u_entries(theta, phi, lamda, e))
        return -1;
    return vx::matrixapi::allclose_to_identity(e, 2, atol);
}

// The same for the one-angle gates.
bool param_entries(vx::matrixapi::ParamGate g, double theta, cplx *out) {
    if (!C.native_trig || !param_native(g, theta) || !own_np())
        return false;
    cplx e[16];
    param_values(g, Native{}, theta, e);
    const int n = vx::matrixapi::param_dim(g) * vx::matrixapi::param_dim(g);
    for (int i = 0; i < n; ++i)
        if (tiny(e[i].real()) || tiny(e[i].imag()))
            return false;
    std::copy(e, e + n, out);
    return true;
}

PyObject *g_param_functions[vx::matrixapi::kParamGates] = {};  // the module's own, by ParamGate

int param_gate_of(PyObject *f) {
    for (int i = 0; i < vx::matrixapi::kParamGates; ++i)
        if (f == g_param_functions[i])
            return i;
    return -1;
}

int param_identity(vx::matrixapi::ParamGate g, double theta, double atol) {
    cplx e[16];
    if (!param_entries(g, theta, e))
        return -1;
    return vx::matrixapi::allclose_to_identity(e, vx::matrixapi::param_dim(g), atol);
}

const vx::matrixapi::Api kOffer = {vx::matrixapi::kVersion, u_entries,     u_identity,
                                   param_identity,          param_entries, param_gate_of};

// u1_mat and u2_mat go through the module's current u_mat; the module's own
// one is computed without a call.
nb::object u1_mat(const vx::Args &a) {
    if (vx::is_original(a, "u_mat"))
        return u_of(a, 0.0, 0.0, a.f(0));
    nb::object um = nb::borrow(a.global(C.s_u_mat));
    return call(um.ptr(), {C.fzero, C.fzero, a.ptr(0)});
}

nb::object u2_mat(const vx::Args &a) {
    nb::object np = np_of(a);
    nb::object pi = vx::own(PyObject_GetAttr(np.ptr(), C.s_pi));
    nb::object half = vx::own(PyNumber_TrueDivide(pi.ptr(), C.two));
    if (vx::is_original(a, "u_mat") && PyFloat_CheckExact(half.ptr()))
        return u_of(a, PyFloat_AS_DOUBLE(half.ptr()), a.f(0), a.f(1));
    nb::object um = nb::borrow(a.global(C.s_u_mat));
    return call(um.ptr(), {half.ptr(), a.ptr(0), a.ptr(1)});
}

nb::object r_mat(const vx::Args &a) {
    nb::object np = np_of(a);
    nb::object theta2 = vx::own(PyNumber_TrueDivide(a.ptr(0), C.two));
    nb::object phi = nb::borrow(a[1]);
    PyObject *t2 = theta2.ptr();
    bool ok = vx::is_original(a, "np") && C.py_float != Mul::Unknown && C.np_f64 != Mul::Unknown && C.np_cmul &&
              (PyFloat_CheckExact(t2) || Py_TYPE(t2) == reinterpret_cast<PyTypeObject *>(C.float64)) &&
              PyFloat_CheckExact(phi.ptr());
    if (ok) {
        const double h = PyFloat_AS_DOUBLE(t2), ph = PyFloat_AS_DOUBLE(phi.ptr());
        if (plain(h) && plain(ph)) {
            nb::object res = r(Native{}, Native::real(h), Native::real(ph));
            if (res.is_valid())
                return res;
        }
    }
    return r(Generic{np}, theta2, phi);
}

// ---------------------------------------------------------------- ketn0 / ketn1

// The largest n whose 2^n complex amplitudes (16 bytes each) numpy can
// describe at all; beyond it no allocation is tried.
constexpr long long kMaxKetQubits = 58;

// Whether `ket` still holds its load-time values ([1, 0] or [0, 1] as a
// 2 x 1 complex column).
bool pristine(nb::handle ket, bool one) {
    Py_buffer view;
    if (PyObject_GetBuffer(ket.ptr(), &view, PyBUF_FULL_RO) < 0) {
        vx::clear_ordinary_error();
        return false;
    }
    bool ok = view.ndim == 2 && view.shape[0] == 2 && view.shape[1] == 1 && view.itemsize == 16 && view.format &&
              std::strcmp(view.format, "Zd") == 0 && view.strides && view.suboffsets == nullptr;
    if (ok) {
        cplx v[2];
        for (int i = 0; i < 2; ++i)
            std::memcpy(&v[i], static_cast<const char *>(view.buf) + i * view.strides[0], sizeof(cplx));
        const cplx hi{1.0, 0.0}, lo{0.0, 0.0};
        ok = same(v[0], one ? lo : hi) && same(v[1], one ? hi : lo);
    }
    PyBuffer_Release(&view);
    return ok;
}

nb::object ketn(const vx::Args &a, bool one) {
    PyObject *nobj = a.ptr(0);
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(nobj, &overflow);
    if (n == -1 && !overflow && PyErr_Occurred())
        throw vx::error_already_set{};
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        PyErr_Format(PyExc_ValueError, "%s needs at least one qubit, got %S", one ? "ketn1" : "ketn0", nobj);
        throw vx::error_already_set{};
    }
    nb::object ket = nb::borrow(a.global(one ? C.s_ket1 : C.s_ket0));
    if (n == 1)
        return ket;
    if (overflow > 0 || n > kMaxKetQubits) {
        PyErr_Format(PyExc_MemoryError,
                     "Unable to allocate the state column of %S qubits: 2**%S amplitudes exceed the "
                     "addressable memory",
                     nobj, nobj);
        throw vx::error_already_set{};
    }
    nb::object np = np_of(a);
    if (vx::is_original(a, "np") && vx::is_original(a, one ? "ket1" : "ket0") && pristine(ket, one)) {
        const long long rows = 1LL << n;
        nb::object shape = vx::own(Py_BuildValue("(Li)", rows, 1));
        nb::object arr = call(C.zeros, {shape.ptr(), C.cdtype});
        Py_buffer view;
        vx::check(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
        const cplx unit{1.0, 0.0};
        const long long at = one ? rows - 1 : 0;
        std::memcpy(static_cast<char *>(view.buf) + at * static_cast<long long>(sizeof(cplx)), &unit, sizeof(cplx));
        PyBuffer_Release(&view);
        return arr;
    }
    {
        // The products below fill every amplitude; first make sure the
        // final column can be allocated at all, so that a hopeless n fails
        // at once with numpy's MemoryError instead of after filling memory.
        nb::object shape = vx::own(Py_BuildValue("(Li)", 1LL << n, 1));
        call(C.empty, {shape.ptr(), C.cdtype});
    }
    nb::object kron = vx::own(PyObject_GetAttrString(np.ptr(), "kron"));
    nb::object state = ket;
    for (long long i = 1; i < n; ++i)
        state = call(kron.ptr(), {state.ptr(), ket.ptr()});
    return state;
}

nb::object ketn0(const vx::Args &a) { return ketn(a, false); }
nb::object ketn1(const vx::Args &a) { return ketn(a, true); }

// ---------------------------------------------------------------- load-time probes

// Finds the rule by which `product(z, x)` multiplies a complex by a real.
template <class F> Mul probe_mul(F &&product) {
    const cplx zs[] = {{-0.0, -1.0}, {0.0, 1.0}, {1.0, 0.0}, {-1.0, -0.0}, {-0.0, 1.0}, {0.6, -0.8}, {-0.0, -0.0}};
    const double xs[] = {1.0, -1.0, 0.0, -0.0, 0.75, -3.5};
    bool full = true, parts = true;
    for (cplx z : zs)
        for (double x : xs) {
            cplx got = product(z, x);
            full = full && same(got, mul_real(Mul::Full, z, x));
            parts = parts && same(got, mul_real(Mul::Parts, z, x));
        }
    return full ? Mul::Full : parts ? Mul::Parts : Mul::Unknown;
}

nb::object f64(double x) { return call(C.float64, {pyfloat(x).ptr()}); }
nb::object c128(cplx z) { return call(C.complex128, {pycomplex(z).ptr()}); }

void probe_arithmetic() {
    C.py_float = probe_mul(
        [](cplx z, double x) { return as_cplx(vx::own(PyNumber_Multiply(pycomplex(z).ptr(), pyfloat(x).ptr()))); });
    C.py_f64 = probe_mul(
        [](cplx z, double x) { return as_cplx(vx::own(PyNumber_Multiply(pycomplex(z).ptr(), f64(x).ptr()))); });
    C.np_f64 =
        probe_mul([](cplx z, double x) { return as_cplx(vx::own(PyNumber_Multiply(c128(z).ptr(), f64(x).ptr()))); });
    const cplx ws[] = {{1.0, 0.0}, {-1.0, -0.0}, {0.0, -1.0}, {-0.0, 1.0}, {0.6, -0.8}, {-0.0, -0.0}, {0.0, 0.0}};
    C.np_neg = true;
    C.np_cmul = true;
    for (cplx w : ws) {
        cplx neg = as_cplx(vx::own(PyNumber_Negative(c128(w).ptr())));
        C.np_neg = C.np_neg && same(neg, {-w.real(), -w.imag()});
        for (cplx z : {cplx{-0.0, -1.0}, cplx{0.0, 1.0}}) {
            cplx got = as_cplx(vx::own(PyNumber_Multiply(pycomplex(z).ptr(), c128(w).ptr())));
            C.np_cmul = C.np_cmul && same(got, mul_full(z, w));
        }
    }
}

// Compares the C library's cos, sin and exp(i a) with numpy's on a spread of
// angles, in one array call and in scalar calls.
void probe_trig() {
    std::vector<double> xs = {0.0,  -0.0,  1.0, -1.0, 0.5,  -0.5,  M_PI,  -M_PI,  M_PI / 2, M_PI / 4, 2 * M_PI,
                              1e-8, -1e-8, 1e5, 1e10, 1e22, -1e22, 1e300, -1e300, DBL_MIN,  3.0,      6.0};
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    };
    for (int i = 0; i < 1500; ++i)  // uniform in [-8, 8)
        xs.push_back(static_cast<double>(next()) / 9007199254740992.0 * 16.0 - 8.0);
    for (int i = 0; i < 500; ++i) {  // spread over magnitudes 2^-30 .. 2^40
        double m = static_cast<double>(next()) / 9007199254740992.0 + 0.5;
        int e = static_cast<int>(next() % 71) - 30;
        xs.push_back((i & 1 ? -1.0 : 1.0) * std::ldexp(m, e));
    }
    const size_t n = xs.size();

    nb::object np = nb::borrow(C.numpy);
    nb::object shape = vx::own(Py_BuildValue("(n)", static_cast<Py_ssize_t>(n)));
    nb::object ftype = vx::own(PyObject_GetAttrString(np.ptr(), "float64"));
    nb::object arg = call(C.empty, {shape.ptr(), ftype.ptr()});
    nb::object carg = call(C.empty, {shape.ptr(), C.cdtype});
    {
        Py_buffer v;
        vx::check(PyObject_GetBuffer(arg.ptr(), &v, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
        std::memcpy(v.buf, xs.data(), n * sizeof(double));
        PyBuffer_Release(&v);
        std::vector<cplx> zs(n);
        for (size_t i = 0; i < n; ++i)
            zs[i] = {0.0, xs[i]};
        fill(carg, zs.data(), n);
    }
    nb::object cs = call(C.np_cos, {arg.ptr()});
    nb::object sn = call(C.np_sin, {arg.ptr()});
    nb::object ex = call(C.np_exp, {carg.ptr()});
    auto read = [](nb::handle arr, void *out, size_t bytes) {
        Py_buffer v;
        vx::check(PyObject_GetBuffer(arr.ptr(), &v, PyBUF_C_CONTIGUOUS));
        bool ok = static_cast<size_t>(v.len) == bytes;
        if (ok)
            std::memcpy(out, v.buf, bytes);
        PyBuffer_Release(&v);
        return ok;
    };
    std::vector<double> c(n), s(n);
    std::vector<cplx> e(n);
    bool ok = read(cs, c.data(), n * sizeof(double)) && read(sn, s.data(), n * sizeof(double)) &&
              read(ex, e.data(), n * sizeof(cplx));
    for (size_t i = 0; ok && i < n; ++i) {
        const double x = xs[i];
        double sv, cv;
        ::sincos(x, &sv, &cv);
        ok = bits(c[i]) == bits(std::cos(x)) && bits(s[i]) == bits(std::sin(x)) &&
             same(e[i], {std::cos(x), std::sin(x)}) && bits(sv) == bits(s[i]) && bits(cv) == bits(c[i]);
    }
    for (size_t i = 0; ok && i < 64; ++i) {
        const double x = xs[i * 7 % n];
        ok = bits(Native::np_real(C.np_cos, x)) == bits(std::cos(x)) &&
             bits(Native::np_real(C.np_sin, x)) == bits(std::sin(x));
    }
    C.native_trig = ok;
}

void probe_data_pointer() {
    bool ok = true;
    for (PyObject *shape : {C.shape22, C.shape44}) {
        nb::object arr = call(C.empty, {shape, C.cdtype});
        Py_buffer view;
        vx::check(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
        void *data;
        std::memcpy(&data, reinterpret_cast<const char *>(arr.ptr()) + sizeof(PyObject), sizeof data);
        ok = ok && Py_TYPE(arr.ptr()) == C.ndarray && data == view.buf && !view.readonly;
        PyBuffer_Release(&view);
    }
    C.data_at_head = ok;
}

void load_cache(nb::handle np) {
    C.numpy = keep(nb::borrow(np));
    C.empty = keep(vx::own(PyObject_GetAttrString(np.ptr(), "empty")));
    C.zeros = keep(vx::own(PyObject_GetAttrString(np.ptr(), "zeros")));
    C.np_cos = keep(vx::own(PyObject_GetAttrString(np.ptr(), "cos")));
    C.np_sin = keep(vx::own(PyObject_GetAttrString(np.ptr(), "sin")));
    C.np_exp = keep(vx::own(PyObject_GetAttrString(np.ptr(), "exp")));
    C.float64 = keep(vx::own(PyObject_GetAttrString(np.ptr(), "float64")));
    C.complex128 = keep(vx::own(PyObject_GetAttrString(np.ptr(), "complex128")));
    nb::object dtype = vx::own(PyObject_GetAttrString(np.ptr(), "dtype"));
    C.cdtype = keep(call(dtype.ptr(), {reinterpret_cast<PyObject *>(&PyComplex_Type)}));
    C.shape22 = keep(vx::own(Py_BuildValue("(ii)", 2, 2)));
    C.shape44 = keep(vx::own(Py_BuildValue("(ii)", 4, 4)));
    C.dtype_kw = keep(vx::own(Py_BuildValue("(s)", "dtype")));
    C.zero = keep(vx::own(PyLong_FromLong(0)));
    C.one = keep(vx::own(PyLong_FromLong(1)));
    C.two = keep(vx::own(PyLong_FromLong(2)));
    C.four = keep(vx::own(PyLong_FromLong(4)));
    C.minus_one = keep(vx::own(PyLong_FromLong(-1)));
    C.j = keep(pycomplex({0.0, 1.0}));
    C.mj = keep(pycomplex({-0.0, -1.0}));
    C.fzero = keep(pyfloat(0.0));
    C.s_np = vx::intern("np");
    C.s_ket0 = vx::intern("ket0");
    C.s_ket1 = vx::intern("ket1");
    C.s_u_mat = vx::intern("u_mat");
    C.s_pi = vx::intern("pi");
    C.ndarray = reinterpret_cast<PyTypeObject *>(keep(vx::own(PyObject_GetAttrString(np.ptr(), "ndarray"))));
    probe_data_pointer();
    probe_arithmetic();
    probe_trig();
}

// ---------------------------------------------------------------- constants

using Rows = std::vector<std::vector<PyObject *>>;

// The 8 x 8 identity with rows a and b exchanged.
Rows swapped_identity(int a, int b) {
    Rows rows(8, std::vector<PyObject *>(8, C.zero));
    for (int r = 0; r < 8; ++r) {
        int c = r == a ? b : r == b ? a : r;
        rows[static_cast<size_t>(r)][static_cast<size_t>(c)] = C.one;
    }
    return rows;
}

nb::object t_phase(nb::handle np, PyObject *unit) {
    // np.exp((unit * np.pi) / 4)
    nb::object pi = vx::own(PyObject_GetAttrString(np.ptr(), "pi"));
    nb::object prod = vx::own(PyNumber_Multiply(unit, pi.ptr()));
    nb::object q = vx::own(PyNumber_TrueDivide(prod.ptr(), C.four));
    nb::object exp = vx::own(PyObject_GetAttrString(np.ptr(), "exp"));
    return call(exp.ptr(), {q.ptr()});
}

void def_matrix(nb::handle m, const char *name, vx::Impl impl, std::vector<vx::Param> params,
                const char *ret = "np.ndarray") {
    vx::def(m, {.name = name, .impl = impl, .params = std::move(params), .return_annotation = ret});
}

}  // namespace

NB_MODULE(matrix, m) {
    nb::object np = vx::import("numpy");
    m.attr("np") = np;
    vx::keep_original(m, "np");
    C.globals = vx::check(PyModule_GetDict(m.ptr()));
    load_cache(np);
    C.own_np = vx::original(C.globals, "np");

    PyObject *o = C.zero, *i1 = C.one, *m1 = C.minus_one, *j = C.j, *mj = C.mj;

    nb::object ket0 = array_of_rows(np, {{i1}, {o}});
    nb::object ket1 = array_of_rows(np, {{o}, {i1}});
    m.attr("ket0") = ket0;
    m.attr("ket1") = ket1;
    vx::keep_original(m, "ket0");
    vx::keep_original(m, "ket1");

    def_matrix(m, "ketn0", ketn0, {{"nqubits", vx::Conv::Int}});
    def_matrix(m, "ketn1", ketn1, {{"nqubits", vx::Conv::Int}});

    {
        nb::object eye = vx::own(PyObject_GetAttrString(np.ptr(), "eye"));
        m.attr("id_mat") = call(eye.ptr(), {C.two, reinterpret_cast<PyObject *>(&PyComplex_Type)}, C.dtype_kw);
    }
    m.attr("x_mat") = array_of_rows(np, {{o, i1}, {i1, o}});
    m.attr("y_mat") = array_of_rows(np, {{o, mj}, {j, o}});
    m.attr("z_mat") = array_of_rows(np, {{i1, o}, {o, m1}});
    {
        nb::object sqrt = vx::own(PyObject_GetAttrString(np.ptr(), "sqrt"));
        nb::object root2 = call(sqrt.ptr(), {C.two});
        nb::object base = array_of_rows(np, {{i1, i1}, {i1, m1}});
        m.attr("h_mat") = vx::own(PyNumber_TrueDivide(base.ptr(), root2.ptr()));
    }
    m.attr("s_mat") = array_of_rows(np, {{i1, o}, {o, j}});
    m.attr("sdg_mat") = array_of_rows(np, {{i1, o}, {o, mj}});
    {
        nb::object t = t_phase(np, j), tdg = t_phase(np, mj);
        m.attr("t_mat") = array_of_rows(np, {{i1, o}, {o, t.ptr()}});
        m.attr("tdg_mat") = array_of_rows(np, {{i1, o}, {o, tdg.ptr()}});
    }
    {
        nb::object pp = pycomplex({1.0, 1.0}), pm = pycomplex({1.0, -1.0});
        nb::object sx = array_of_rows(np, {{pp.ptr(), pm.ptr()}, {pm.ptr(), pp.ptr()}});
        nb::object sxdg = array_of_rows(np, {{pm.ptr(), pp.ptr()}, {pp.ptr(), pm.ptr()}});
        m.attr("sx_mat") = vx::own(PyNumber_TrueDivide(sx.ptr(), C.two));
        m.attr("sxdg_mat") = vx::own(PyNumber_TrueDivide(sxdg.ptr(), C.two));
    }
    m.attr("swap_mat") = array_of_rows(np, {{i1, o, o, o}, {o, o, i1, o}, {o, i1, o, o}, {o, o, o, i1}});
    m.attr("iswap_mat") = array_of_rows(np, {{i1, o, o, o}, {o, o, j, o}, {o, j, o, o}, {o, o, o, i1}});
    m.attr("cx_mat") = array_of_rows(np, {{i1, o, o, o}, {o, o, o, i1}, {o, o, i1, o}, {o, i1, o, o}});
    m.attr("xc_mat") = array_of_rows(np, {{i1, o, o, o}, {o, i1, o, o}, {o, o, o, i1}, {o, o, i1, o}});
    m.attr("cy_mat") = array_of_rows(np, {{i1, o, o, o}, {o, o, o, mj}, {o, o, i1, o}, {o, j, o, o}});
    m.attr("yc_mat") = array_of_rows(np, {{i1, o, o, o}, {o, i1, o, o}, {o, o, o, mj}, {o, o, j, o}});
    m.attr("cz_mat") = array_of_rows(np, {{i1, o, o, o}, {o, i1, o, o}, {o, o, i1, o}, {o, o, o, m1}});
    {
        Rows ccz = swapped_identity(0, 0);
        ccz[7][7] = m1;
        m.attr("ccz_mat") = array_of_rows(np, ccz);
    }
    m.attr("ccx_mat") = array_of_rows(np, swapped_identity(3, 7));
    m.attr("cxc_mat") = array_of_rows(np, swapped_identity(6, 7));
    m.attr("cswap_mat") = array_of_rows(np, swapped_identity(3, 5));
    m.attr("swapc_mat") = array_of_rows(np, swapped_identity(5, 6));

    using vx::Conv;
    def_matrix(m, "r_mat", r_mat, {{"theta"}, {"phi"}}, nullptr);
    using enum vx::matrixapi::ParamGate;
    def_matrix(m, "rx_mat", param_mat<RX>, {{"theta", Conv::Float}});
    def_matrix(m, "ry_mat", param_mat<RY>, {{"theta", Conv::Float}});
    def_matrix(m, "rz_mat", param_mat<RZ>, {{"theta", Conv::Float}});
    def_matrix(m, "p_mat", param_mat<P>, {{"theta", Conv::Float}});
    nb::object offer =
        vx::own(PyCapsule_New(const_cast<vx::matrixapi::Api *>(&kOffer), vx::matrixapi::kCapsuleName, nullptr));
    nb::object um =
        vx::make_function(m, {.name = "u_mat",
                              .impl = u_mat,
                              .params = {{"theta", Conv::Float}, {"phi", Conv::Float}, {"lamda", Conv::Float}},
                              .return_annotation = "np.ndarray",
                              .data = offer});
    m.attr("u_mat") = um;
    vx::keep_original(m, "u_mat");
    def_matrix(m, "u1_mat", u1_mat, {{"lamda", Conv::Float}}, nullptr);
    def_matrix(m, "u2_mat", u2_mat, {{"phi", Conv::Float}, {"lamda", Conv::Float}}, nullptr);
    def_matrix(m, "rxx_mat", param_mat<RXX>, {{"theta", Conv::Float}});
    def_matrix(m, "ryy_mat", param_mat<RYY>, {{"theta", Conv::Float}});
    def_matrix(m, "rzz_mat", param_mat<RZZ>, {{"theta", Conv::Float}});
    def_matrix(m, "cp_mat", param_mat<CP>, {{"theta", Conv::Float}});
    for (int i = 0; i < vx::matrixapi::kParamGates; ++i)
        g_param_functions[i] = keep(vx::getattr(m, vx::matrixapi::kParamFunctions[i]));

    static const std::pair<const char *, const char *> table[] = {
        {"id", "id_mat"},     {"x", "x_mat"},       {"y", "y_mat"},         {"z", "z_mat"},     {"h", "h_mat"},
        {"s", "s_mat"},       {"sdg", "sdg_mat"},   {"t", "t_mat"},         {"tdg", "tdg_mat"}, {"sx", "sx_mat"},
        {"sxdg", "sxdg_mat"}, {"swap", "swap_mat"}, {"iswap", "iswap_mat"}, {"cx", "cx_mat"},   {"cnot", "cx_mat"},
        {"cy", "cy_mat"},     {"cz", "cz_mat"},     {"rx", "rx_mat"},       {"ry", "ry_mat"},   {"rz", "rz_mat"},
        {"p", "p_mat"},       {"u", "u_mat"},       {"r", "r_mat"},         {"rxx", "rxx_mat"}, {"ryy", "ryy_mat"},
        {"rzz", "rzz_mat"},   {"cp", "cp_mat"},     {"ccz", "ccz_mat"},     {"ccx", "ccx_mat"}, {"cswap", "cswap_mat"},
    };
    nb::object d = vx::own(PyDict_New());
    for (const auto &[key, attr] : table) {
        nb::object v = vx::own(PyObject_GetAttrString(m.ptr(), attr));
        vx::check(PyDict_SetItemString(d.ptr(), key, v.ptr()));
    }
    m.attr("gate_matrix_dict") = d;
}
