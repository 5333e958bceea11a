// vexal.circuit.matrix: the matrix functions of the parameterised gates.
// Their arguments are converted by the shared parser (a float parameter
// takes any real number); each function then runs its formula on the fast
// path or the reference path (formulas.hpp).
#include "formulas.hpp"

namespace matrix {

namespace {

// Runs the fast path when the module's `np` is the numpy it imported, `ok`
// holds and the result has no subnormal entry; otherwise the reference path
// through `np`.
template <class F, class R> nb::object dispatch(const vx::Args &a, bool ok, F &&fast, R &&reference) {
    if (ok && vx::is_original(a, "np")) {
        nb::object m = fast();
        if (m.is_valid())
            return m;
    }
    return reference(np_of(a));
}

template <ParamGate G> nb::object param_mat(const vx::Args &a) {
    const double t = a.f(0);
    return dispatch(
        a, param_fast(G, t), [&] { return fast_param_matrix(G, t); },
        [&](nb::handle np) { return reference_param_matrix(np, G, t); });
}

nb::object u_of(const vx::Args &a, double theta, double phi, double lamda) {
    return dispatch(
        a, u_fast(theta, phi, lamda), [&] { return fast_u_matrix(theta, phi, lamda); },
        [&](nb::handle np) { return reference_u_matrix(np, theta, phi, lamda); });
}

}  // namespace

vx::Impl param_function(ParamGate g) {
    using enum ParamGate;
    switch (g) {
    case RX: return param_mat<RX>;
    case RY: return param_mat<RY>;
    case RZ: return param_mat<RZ>;
    case P: return param_mat<P>;
    case RXX: return param_mat<RXX>;
    case RYY: return param_mat<RYY>;
    case RZZ: return param_mat<RZZ>;
    case CP: return param_mat<CP>;
    }
    return nullptr;
}

nb::object u_mat(const vx::Args &a) { return u_of(a, a.f(0), a.f(1), a.f(2)); }

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

// r_mat converts nothing: the fast path takes theta / 2 as a float or a
// numpy.float64 and phi as an exact float.
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
        if (fast_angle(h) && fast_angle(ph)) {
            nb::object res = fast_r_matrix(h, ph);
            if (res.is_valid())
                return res;
        }
    }
    return reference_r_matrix(np, theta2, phi);
}

}  // namespace matrix
