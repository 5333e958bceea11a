// The arithmetic of a merge: the angles of the gate that replaces two equal
// parameter gates, and whether a gate's matrix is the identity.
//
// The matrices come from the module's gate_matrix_dict and u_mat, and the
// product of two u matrices from numpy.  A gate counts as the identity
// only when every entry of its matrix is within kIdentityTol of the identity's
// (np.allclose(mat, np.eye(n), rtol=0, atol=kIdentityTol)): far below any
// rotation a circuit means, far above the rounding left in a merged angle
// such as p(pi) after p(pi), or u3_decompose of u times its inverse.  numpy's
// default tolerances would take every rotation below about 2e-5 for the
// identity and drop it before it could be merged with its neighbours.
// Where np still is numpy the test is worked out on the array's entries with
// the same operations, and where u3_decompose is the package's own, its
// angles come from the C++ port of it (src/decompositions); both give what
// the calls give.  Where the matrix function of a gate is the matrix
// module's own (u_mat, rx_mat, ..., cp_mat), its entries come from that
// module's C++ (matrix_api.hpp) without an array.  Where u_mat is the matrix
// module's own as well, and numpy's product is the C++ one on this machine
// (interop/numpy_product.cpp), a u merge makes no array and calls nothing:
// u_mat's entries come from the matrix module, the product from
// engines/complex_product, the angles from the port of u3_decompose, the
// identity test from the entries of the merged gate.  Angles that are all
// exact floats are merged from their doubles (merge_floats) without an
// object.
#include "optimize.hpp"

#include "decompositions.hpp"
#include "complex_product.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <iterator>

namespace optimize {

namespace {

constexpr const char *kMatrixFunctions[] = {"rx_mat", "ry_mat",  "rz_mat",  "p_mat",   "u_mat",
                                            "r_mat",  "rxx_mat", "ryy_mat", "rzz_mat", "cp_mat"};

PyObject *g_matrix = nullptr;                                    // the namespace of vexal.circuit.matrix
PyObject *g_matrix_functions[std::size(kMatrixFunctions)] = {};  // its own of kMatrixFunctions
PyObject *g_matrix_np = nullptr;                                 // its own `np`

// The matrix module's own function of that name (null where it held
// something else when the module loaded).
PyObject *matrix_function(const char *name) { return vx::original(g_matrix, name); }

bool allclose_to_identity(const std::complex<double> *m, int n) {
    return vx::matrixapi::allclose_to_identity(m, n, kIdentityTol);
}

// args as a tuple (a list or any other sequence of arguments)
nb::object as_tuple(nb::handle seq) {
    if (PyTuple_CheckExact(seq.ptr()))
        return nb::borrow(seq);
    return vx::own(PySequence_Tuple(seq.ptr()));
}

// The parameters of a matrix function as doubles, as its float parameters
// take them; false where `params` is not an exact list or tuple of at most
// three exact floats or ints that convert (the function then reads or
// refuses them itself).
bool read_angles(PyObject *params, double out[3], int &n) {
    if (!PyList_CheckExact(params) && !PyTuple_CheckExact(params))
        return false;
    n = static_cast<int>(PySequence_Fast_GET_SIZE(params));
    return optimize::read_angles(PySequence_Fast_ITEMS(params), n, out);
}

// The U3 angles of u_mat(*a2) @ u_mat(*a1), worked out in C++ without a
// call where every name on the way is the package's own; false otherwise.
bool u_angles_in_cpp(const Maths &m, const double a1[3], const double a2[3], double out[3]) {
    if (!m.u_offer || !m.own_u3 || !vx::matrixapi::numpy_product_is_cpp() ||
        vx::lookup_global(m.globals, names().u3_decompose) != m.own_u3)
        return false;
    std::complex<double> m1[4], m2[4], product[4];
    if (!m.u_offer->u_entries(a2[0], a2[1], a2[2], m2) || !m.u_offer->u_entries(a1[0], a1[1], a1[2], m1))
        return false;
    engines::cproduct::product(m2, m1, product);
    double r[4];
    dec::u3_or_raise(product, r);
    std::copy(r, r + 3, out);
    return true;
}

}  // namespace

void remember_matrix() {
    nb::object matrix = vx::import("vexal.circuit.matrix");
    g_matrix = vx::check(PyModule_GetDict(matrix.ptr()));
    vx::keep_original(matrix, "np");
    for (const char *name : kMatrixFunctions)
        vx::keep_original(matrix, name);
    for (std::size_t i = 0; i < std::size(kMatrixFunctions); ++i)
        g_matrix_functions[i] = vx::original(g_matrix, kMatrixFunctions[i]);
    g_matrix_np = vx::original(g_matrix, "np");
}

bool own_matrix_function(PyObject *f) {
    // the matrix module's `np` is the numpy it recorded (vx::is_original, in one look-up)
    if (PyDict_GetItem(g_matrix, names().np) != g_matrix_np)
        return false;
    return std::find(std::begin(g_matrix_functions), std::end(g_matrix_functions), f) != std::end(g_matrix_functions);
}

// Whether gate_matrix_dict[gate](*angles) is the identity, in `identity`,
// where that function is one of the matrix module's own (u_mat or a
// one-angle gate's), whose entries are worked out in C++; false otherwise.
bool identity_in_cpp(const Maths &m, nb::handle gate, const double *angles, int n, bool &identity) {
    if (!m.offer || !m.own_gmd || !m.own_allclose || !PyUnicode_CheckExact(gate.ptr()))
        return false;
    PyObject *f = PyDict_GetItemWithError(vx::lookup_global(m.globals, names().gmd), gate.ptr());
    if (!f) {
        if (PyErr_Occurred())
            throw vx::error_already_set{};
        return false;
    }
    int answer = -1;
    if (f == m.matrix_u_mat) {
        if (n == 3)
            answer = m.offer->u_identity(angles[0], angles[1], angles[2], kIdentityTol);
    } else if (const int which = n == 1 ? m.offer->param_gate_of(f) : -1; which >= 0) {
        answer = m.offer->param_identity(static_cast<vx::matrixapi::ParamGate>(which), angles[0], kIdentityTol);
    }
    identity = answer == 1;
    return answer >= 0;
}

nb::object float_list(const double *v, int n) {
    nb::object out = vx::own(PyList_New(n));
    for (int i = 0; i < n; ++i)
        PyList_SET_ITEM(out.ptr(), i, vx::check(PyFloat_FromDouble(v[i])));
    return out;
}

bool read_angles(PyObject *const *items, Py_ssize_t n, double out[3]) {
    if (n > 3)
        return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *x = items[i];
        if (PyFloat_CheckExact(x))
            out[i] = PyFloat_AS_DOUBLE(x);
        else if (PyLong_CheckExact(x)) {
            out[i] = PyLong_AsDouble(x);
            if (out[i] == -1.0 && PyErr_Occurred()) {
                vx::clear_ordinary_error();  // too large: the function raises it
                return false;
            }
        } else
            return false;
    }
    return true;
}

Maths::Maths(PyObject *g) : globals(g) {
    own_allclose = vx::is_original(g, "np") && vx::is_original(g, "np.allclose") && vx::is_original(g, "np.eye") &&
                   vx::is_original(g, "np.ndarray");
    own_u3 = vx::is_original(g, "u3_decompose") ? dec::package_u3(g) : nullptr;
    own_u_mat = vx::is_original(g, "u_mat") ? vx::lookup_global(g, names().u_mat) : nullptr;
    u_offer = own_u_mat ? vx::matrixapi::from_u_mat(own_u_mat) : nullptr;
    matrix_u_mat = matrix_function("u_mat");
    offer = matrix_u_mat ? vx::matrixapi::from_u_mat(matrix_u_mat) : nullptr;
    own_gmd = vx::is_original(g, "gate_matrix_dict") && PyDict_CheckExact(vx::lookup_global(g, names().gmd));
}

nb::object gate_matrix(const Maths &m, nb::handle gate, nb::handle params) {
    nb::handle gmd = vx::lookup_global(m.globals, names().gmd);
    nb::object f = vx::getitem(gmd, gate);
    nb::object args = as_tuple(params);
    return vx::own(PyObject_Call(f.ptr(), args.ptr(), nullptr));
}

bool is_identity(const Maths &m, nb::handle mat) {
    if (m.own_allclose &&
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

bool is_identity_gate(const Maths &m, nb::handle gate, nb::handle params) {
    double a[3];
    int n;
    bool identity;
    if (read_angles(params.ptr(), a, n) && identity_in_cpp(m, gate, a, n, identity))
        return identity;
    return is_identity(m, gate_matrix(m, gate, params));
}

nb::object merged_params(const Maths &m, nb::handle gate, nb::handle params1, nb::handle params2, bool one_qubit) {
    if (one_qubit && dec::name_is(gate.ptr(), names().u)) {
        double a1[3], a2[3], angles[3];
        int n1, n2;
        if (read_angles(params2.ptr(), a2, n2) && n2 == 3 && read_angles(params1.ptr(), a1, n1) && n1 == 3 &&
            u_angles_in_cpp(m, a1, a2, angles))
            return float_list(angles, 3);
        nb::handle u_mat = vx::lookup_global(m.globals, names().u_mat);
        nb::object t2 = as_tuple(params2), t1 = as_tuple(params1);
        nb::object m2 = vx::own(PyObject_Call(u_mat.ptr(), t2.ptr(), nullptr));
        nb::object m1 = vx::own(PyObject_Call(u_mat.ptr(), t1.ptr(), nullptr));
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

nb::object merged_or_null(const Maths &m, nb::handle gate, nb::handle params1, nb::handle params2, bool one_qubit) {
    nb::object params = merged_params(m, gate, params1, params2, one_qubit);
    return is_identity_gate(m, gate, params) ? nb::object() : params;
}

FloatMerge merge_floats(const Maths &m, nb::handle gate, const double *a1, const double *a2, int n, bool one_qubit,
                        double out[3]) {
    if (one_qubit && dec::name_is(gate.ptr(), names().u)) {
        if (n != 3 || !u_angles_in_cpp(m, a1, a2, out))
            return FloatMerge::Declined;
    } else {
        for (int i = 0; i < n; ++i)
            out[i] = a1[i] + a2[i];  // float + float, as PyNumber_Add adds them
    }
    bool identity;
    if (!identity_in_cpp(m, gate, out, n, identity)) {
        nb::object list = float_list(out, n);
        identity = is_identity(m, gate_matrix(m, gate, list));
    }
    return identity ? FloatMerge::Vanished : FloatMerge::Merged;
}

}  // namespace optimize
