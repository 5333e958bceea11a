// vexal.circuit.matrix: the fast path of the matrix functions.  It works the
// entries out in doubles and fills a fresh numpy array with them, giving bit
// for bit what the reference expression gives, signs of zeros included; it
// is what basis translation and gate compression hit per gate.  Its
// trigonometry is the C library's where the load-time probe found that equal
// to numpy's (Cache::trig_is_cpp), numpy's ufuncs on a float otherwise; its
// products follow the rules the probes found.
#include "formulas.hpp"

namespace matrix {

double numpy_trig(PyObject *ufunc, double x) {
    nb::object a = pyfloat(x);
    return as_double(call(ufunc, {a.ptr()}));
}

// An ndarray keeps its data pointer right after the object header (numpy's
// ABI); `fill` uses it when the load-time check found it equal to the
// buffer's address, which saves the buffer protocol's per-call format and
// shape records.
void fill(nb::handle arr, const cplx *vals, std::size_t n) {
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

struct Fast {
    using V = cplx;
    static V real(double x) { return {x, 0.0}; }
    static V cos(V h) { return {C.trig_is_cpp ? std::cos(h.real()) : numpy_trig(C.np_cos, h.real()), 0.0}; }
    static V sin(V h) { return {C.trig_is_cpp ? std::sin(h.real()) : numpy_trig(C.np_sin, h.real()), 0.0}; }
    // np.exp of a complex whose real part is zero (of either sign)
    static V exp(V z) {
        if (C.trig_is_cpp)
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
    // subnormal (the caller then takes the reference path).
    static nb::object mat(int n, const V *e) {
        const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
        if (has_subnormal(e, count))
            return {};
        PyObject *shape = n == 2 ? C.shape22 : C.shape44;
        nb::object arr = call(C.empty, {shape, C.cdtype});
        fill(arr, e, count);
        return arr;
    }
};

// u with the C library's trigonometry: sin(h) is worked out once, as every
// evaluation gives the same double, and with cos(h) by one sincos, which
// gives the doubles sin and cos give (the compiler makes one sincos of
// Fast::exp's cos and sin, too).
void u_values(const Fast &d, double theta, double phi, double lamda, cplx e[4]) {
    auto h = d.real(theta * 0.5);
    cplx c, s;
    if (C.trig_is_cpp) {
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

nb::object fast_param_matrix(ParamGate g, double theta) { return param_matrix(g, Fast{}, theta); }
nb::object fast_u_matrix(double theta, double phi, double lamda) { return u(Fast{}, theta, phi, lamda); }
nb::object fast_r_matrix(double theta2, double phi) { return r(Fast{}, Fast::real(theta2), Fast::real(phi)); }
void fast_param_values(ParamGate g, double theta, cplx *e) { param_values(g, Fast{}, theta, e); }
void fast_u_values(double theta, double phi, double lamda, cplx e[4]) { u_values(Fast{}, theta, phi, lamda, e); }

}  // namespace matrix
