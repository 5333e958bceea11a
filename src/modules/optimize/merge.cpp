// The arithmetic of a merge: the angles of the gate that replaces two equal
// parameter gates, and whether a gate's matrix is the identity.
//
// The matrices always come from the module's gate_matrix_dict and u_mat, and
// the product of two u matrices from numpy.  Where np still is numpy, the
// test np.allclose(mat, np.eye(n)) is worked out on the array's entries with
// the same operations (|mat - id| <= 1e-08 + 1e-05 * |id|, element by
// element), and where u3_decompose is the package's own, its angles come from
// the decomposition module's native code; both give what the calls give.
#include "optimize.hpp"

#include "../decompose/native.hpp"

#include <cmath>
#include <complex>

namespace optimize {

namespace {

// numpy.isclose's defaults, as np.allclose applies them
constexpr double kRtol = 1e-05;
constexpr double kAtol = 1e-08;

bool allclose_to_identity(const std::complex<double> *m, int n) {
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const double y = r == c ? 1.0 : 0.0;
            const std::complex<double> x = m[r * n + c];
            const bool close = std::hypot(x.real() - y, x.imag()) <= kAtol + kRtol * std::fabs(y);
            if (!close && !(x.real() == y && x.imag() == 0.0))
                return false;
        }
    return true;
}

// args as a tuple (a list or any other sequence of arguments)
nb::object as_tuple(nb::handle seq) {
    if (PyTuple_CheckExact(seq.ptr()))
        return nb::borrow(seq);
    return vx::own(PySequence_Tuple(seq.ptr()));
}

}  // namespace

Maths::Maths(PyObject *g) : globals(g) {
    native_allclose = vx::is_original(g, "np") && vx::is_original(g, "np.allclose") && vx::is_original(g, "np.eye") &&
                      vx::is_original(g, "np.ndarray");
    own_u3 = vx::is_original(g, "u3_decompose") ? dec::package_u3(g) : nullptr;
}

nb::object gate_matrix(const Maths &m, nb::handle gate, nb::handle params) {
    nb::handle gmd = vx::lookup_global(m.globals, names().gmd);
    nb::object f = vx::getitem(gmd, gate);
    nb::object args = as_tuple(params);
    return vx::own(PyObject_Call(f.ptr(), args.ptr(), nullptr));
}

bool is_identity(const Maths &m, nb::handle mat) {
    if (m.native_allclose &&
        Py_TYPE(mat.ptr()) == reinterpret_cast<PyTypeObject *>(vx::original(m.globals, "np.ndarray"))) {
        std::complex<double> v[16];
        for (int n : {2, 4})
            if (vx::read_complex_matrix(mat.ptr(), n, v))
                return allclose_to_identity(v, n);
    }
    nb::handle np = vx::lookup_global(m.globals, names().np);
    nb::object shape = vx::getattr(mat, "shape");
    nb::object n = vx::own(PySequence_GetItem(shape.ptr(), 0));
    nb::object id = vx::call(vx::getattr(np, "eye"), {n});
    return vx::truth(vx::call(vx::getattr(np, "allclose"), {mat, id}));
}

nb::object merged_params(const Maths &m, nb::handle gate, nb::handle params1, nb::handle params2, bool one_qubit) {
    if (one_qubit && dec::name_is(gate.ptr(), names().u)) {
        nb::handle u_mat = vx::lookup_global(m.globals, names().u_mat);
        nb::object a2 = as_tuple(params2), a1 = as_tuple(params1);
        nb::object m2 = vx::own(PyObject_Call(u_mat.ptr(), a2.ptr(), nullptr));
        nb::object m1 = vx::own(PyObject_Call(u_mat.ptr(), a1.ptr(), nullptr));
        nb::object product = vx::own(PyNumber_MatrixMultiply(m2.ptr(), m1.ptr()));
        nb::handle u3 = vx::lookup_global(m.globals, names().u3_decompose);
        nb::object th, ph, la;
        dec::u3_angles(u3.ptr(), m.own_u3, product.ptr(), th, ph, la);
        nb::object out = vx::own(PyList_New(3));
        PyList_SET_ITEM(out.ptr(), 0, th.release().ptr());
        PyList_SET_ITEM(out.ptr(), 1, ph.release().ptr());
        PyList_SET_ITEM(out.ptr(), 2, la.release().ptr());
        return out;
    }
    const Py_ssize_t n = vx::length(params1);
    nb::object out = vx::own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object x = nb::steal(vx::item(params1.ptr(), i));
        nb::object y = nb::steal(vx::item(params2.ptr(), i));
        PyList_SET_ITEM(out.ptr(), i, vx::check(PyNumber_Add(x.ptr(), y.ptr())));
    }
    return out;
}

}  // namespace optimize
