// vexal.circuit.matrix: what the module offers the other modules
// (matrix_api.hpp), in the capsule u_mat's function object holds: the
// entries of u_mat and of the one-angle gates' functions as their fast path
// computes them, whether those are the identity's, and which of the module's
// own functions an object is.  Each answer is given only where the function
// would take its fast path and run no Python code (the C library's
// trigonometry is numpy's); otherwise the caller calls the function.
#include "formulas.hpp"

#include <algorithm>

namespace matrix {

namespace {

// The module's `np` is still the numpy it imported (vx::is_original, in one
// look-up: the offer's functions are asked once a merge).
bool own_np() { return PyDict_GetItem(C.globals, C.s_np) == C.own_np; }

bool u_entries(double theta, double phi, double lamda, cplx out[4]) {
    if (!C.trig_is_cpp || !fast_takes(u_needs(theta, phi, lamda)) || !own_np())
        return false;
    cplx e[4];
    fast_u_values(theta, phi, lamda, e);
    if (has_subnormal(e, 4))
        return false;
    std::copy(e, e + 4, out);
    return true;
}

// Whether u_mat's matrix is within atol of the identity, where u_entries
// would give its entries.  An entry off the diagonal is sin(theta / 2) times
// a unit number: where that sine is more than twice atol, no entry can be
// within it (and none can be subnormal: the cosine of a double is never
// below 1e-19), so the other entries are not worked out.  The sine is the
// fast path's, the C library's trigonometry being numpy's here.
int u_identity(double theta, double phi, double lamda, double atol) {
    if (!C.trig_is_cpp || !fast_takes(u_needs(theta, phi, lamda)) || !own_np())
        return -1;
    if (std::fabs(std::sin(theta * 0.5)) > 2 * atol)
        return 0;
    cplx e[4];
    if (!u_entries(theta, phi, lamda, e))
        return -1;
    return vx::matrixapi::allclose_to_identity(e, 2, atol);
}

// The same for the one-angle gates.
bool param_entries(ParamGate g, double theta, cplx *out) {
    if (!C.trig_is_cpp || !fast_takes(param_needs(g, theta)) || !own_np())
        return false;
    cplx e[16];
    fast_param_values(g, theta, e);
    const int n = vx::matrixapi::param_dim(g) * vx::matrixapi::param_dim(g);
    if (has_subnormal(e, static_cast<std::size_t>(n)))
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

int param_identity(ParamGate g, double theta, double atol) {
    cplx e[16];
    if (!param_entries(g, theta, e))
        return -1;
    return vx::matrixapi::allclose_to_identity(e, vx::matrixapi::param_dim(g), atol);
}

const vx::matrixapi::Api kOffer = {vx::matrixapi::kVersion, u_entries,     u_identity,
                                   param_identity,          param_entries, param_gate_of};

}  // namespace

nb::object offer_capsule() {
    return vx::own(PyCapsule_New(const_cast<vx::matrixapi::Api *>(&kOffer), vx::matrixapi::kCapsuleName, nullptr));
}

void keep_param_functions(nb::handle m) {
    for (int i = 0; i < vx::matrixapi::kParamGates; ++i)
        g_param_functions[i] = keep(vx::getattr(m, vx::matrixapi::kParamFunctions[i]));
}

}  // namespace matrix
