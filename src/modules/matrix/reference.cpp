// vexal.circuit.matrix: the reference path of the matrix functions, each
// expression evaluated with Python objects through the module's `np`.  It
// runs when `np` is no longer the numpy the module imported, for angles that
// are not finite or are subnormal (so numpy's warnings and error state apply
// as they would to the expression), where an entry comes out subnormal, and
// for any rule the load-time probes could not confirm.
#include "formulas.hpp"

namespace matrix {

namespace {

struct Reference {
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
        Rows rows(static_cast<std::size_t>(n));
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c)
                rows[static_cast<std::size_t>(r)].push_back(e[r * n + c].ptr());
        return array_of_rows(np, rows);
    }
};

}  // namespace

nb::object reference_param_matrix(nb::handle np, ParamGate g, double theta) {
    return param_matrix(g, Reference{np}, theta);
}

nb::object reference_u_matrix(nb::handle np, double theta, double phi, double lamda) {
    return u(Reference{np}, theta, phi, lamda);
}

nb::object reference_r_matrix(nb::handle np, nb::handle theta2, nb::handle phi) {
    return r(Reference{np}, nb::borrow(theta2), nb::borrow(phi));
}

}  // namespace matrix
