// vexal.circuit.matrix: the matrix functions of the parameterised gates.
// Their float parameters are converted on entry by the shared argument
// parser, alike for every function: any real number (an int, a bool, a numpy
// scalar) becomes a float, anything else (a str, None, a complex) raises
// TypeError; r_mat converts nothing.  Every function then goes through one
// wrapper, matrix_of, which takes its formula (formulas.hpp) along the fast
// path or the reference path by one rule.
#include "formulas.hpp"

#include <optional>

namespace matrix {

namespace {

// The one wrapper of every matrix function: the fast path where its formula's
// `needs` hold (fast_takes), the module's `np` is the numpy it imported and
// no entry comes out subnormal; otherwise the reference path.  No `needs`:
// inputs of types the fast path does not read.
template <class F, class R>
nb::object matrix_of(const vx::Args &a, const std::optional<Needs> &needs, F &&fast, R &&reference) {
    if (needs && fast_takes(*needs) && vx::is_original(a, "np")) {
        nb::object m = fast();
        if (m.is_valid())
            return m;
    }
    return reference();
}

template <ParamGate G> nb::object param_mat(const vx::Args &a) {
    const double t = a.f(0);
    return matrix_of(
        a, param_needs(G, t), [&] { return fast_param_matrix(G, t); },
        [&] { return reference_param_matrix(np_of(a), G, t); });
}

nb::object u_of(const vx::Args &a, double theta, double phi, double lamda) {
    return matrix_of(
        a, u_needs(theta, phi, lamda), [&] { return fast_u_matrix(theta, phi, lamda); },
        [&] { return reference_u_matrix(np_of(a), theta, phi, lamda); });
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

// r_mat converts nothing: the fast path reads theta / 2 as a float or a
// numpy.float64 and phi as an exact float.
nb::object r_mat(const vx::Args &a) {
    nb::object np = np_of(a);
    nb::object theta2 = vx::own(PyNumber_TrueDivide(a.ptr(0), C.two));
    nb::handle phi = a[1];
    PyObject *t2 = theta2.ptr();
    std::optional<Needs> needs;
    if ((PyFloat_CheckExact(t2) || Py_TYPE(t2) == reinterpret_cast<PyTypeObject *>(C.float64)) &&
        PyFloat_CheckExact(phi.ptr()))
        needs = r_needs(PyFloat_AS_DOUBLE(t2), PyFloat_AS_DOUBLE(phi.ptr()));
    return matrix_of(
        a, needs, [&] { return fast_r_matrix(PyFloat_AS_DOUBLE(t2), PyFloat_AS_DOUBLE(phi.ptr())); },
        [&] { return reference_r_matrix(np, theta2, phi); });
}

}  // namespace matrix
