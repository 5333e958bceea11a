// vexal.circuit.matrix: the fixed gates' matrices, built once at load
// through numpy from nested lists of rows (np.array(rows, dtype=complex)),
// with the few computed entries formed as numpy forms them.
#include "matrix.hpp"

namespace matrix {

nb::object array_of_rows(nb::handle np, const Rows &rows) {
    nb::object outer = vx::own(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        PyObject *row = vx::check(PyList_New(static_cast<Py_ssize_t>(rows[r].size())));
        PyList_SET_ITEM(outer.ptr(), static_cast<Py_ssize_t>(r), row);
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            Py_INCREF(rows[r][c]);
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(c), rows[r][c]);
        }
    }
    nb::object array = vx::own(PyObject_GetAttrString(np.ptr(), "array"));
    return call(array.ptr(), {outer.ptr(), reinterpret_cast<PyObject *>(&PyComplex_Type)}, C.dtype_kw);
}

namespace {

// The 8 x 8 identity with rows a and b exchanged.
Rows swapped_identity(int a, int b) {
    Rows rows(8, std::vector<PyObject *>(8, C.zero));
    for (int r = 0; r < 8; ++r) {
        int c = r == a ? b : r == b ? a : r;
        rows[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = C.one;
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

}  // namespace

// id_mat .. swapc_mat, in load order.
void bind_fixed_gates(nb::handle m, nb::handle np) {
    PyObject *o = C.zero, *i1 = C.one, *m1 = C.minus_one, *j = C.j, *mj = C.mj;
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
}

}  // namespace matrix
