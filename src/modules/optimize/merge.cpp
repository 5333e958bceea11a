// The arithmetic of a merge: the angles of the gate that replaces two equal
// parameter gates, and whether a gate's matrix is the identity.
//
// The matrices always come from the module's gate_matrix_dict and u_mat, and
// the product of two u matrices from numpy.  A gate counts as the identity
// only when every entry of its matrix is within kIdentityTol of the identity's
// (np.allclose(mat, np.eye(n), rtol=0, atol=kIdentityTol)): far below any
// rotation a circuit means, far above the rounding left in a merged angle
// such as p(pi) after p(pi), or u3_decompose of u times its inverse.  numpy's
// default tolerances would take every rotation below about 2e-5 for the
// identity and drop it before it could be merged with its neighbours.
// Where np still is numpy the test is worked out on the array's entries with
// the same operations, and where u3_decompose is the package's own, its
// angles come from the decomposition module's native code; both give what
// the calls give.
#include "optimize.hpp"

#include "../decompose/native.hpp"

#include <cmath>
#include <complex>

namespace optimize {

namespace {

bool allclose_to_identity(const std::complex<double> *m, int n) {
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const double y = r == c ? 1.0 : 0.0;
            const std::complex<double> x = m[r * n + c];
            const bool close = std::hypot(x.real() - y, x.imag()) <= kIdentityTol;
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
    nb::object args = vx::own(PyTuple_Pack(2, mat.ptr(), id.ptr()));
    nb::object kw = vx::own(PyDict_New());
    nb::object zero = vx::own(PyFloat_FromDouble(0.0)), tol = vx::own(PyFloat_FromDouble(kIdentityTol));
    vx::check(PyDict_SetItemString(kw.ptr(), "rtol", zero.ptr()));
    vx::check(PyDict_SetItemString(kw.ptr(), "atol", tol.ptr()));
    nb::object allclose = vx::getattr(np, "allclose");
    return vx::truth(vx::own(PyObject_Call(allclose.ptr(), args.ptr(), kw.ptr())));
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
