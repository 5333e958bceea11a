// What vexal.circuit.matrix offers the other modules: the entries of u_mat
// and of the one-angle gates' matrices worked out without making arrays or
// calling numpy, and whether they are the identity's.  The offer travels in
// a capsule that the matrix module's own u_mat function holds, so a module
// whose `u_mat` name still holds that function finds it there
// (`from_u_mat`).  Beside it, whether numpy's 2x2 product is the C++ one
// (numpy_product_is_cpp).
#pragma once

#include "interop.hpp"

#include <cmath>
#include <complex>

namespace vx::matrixapi {

inline constexpr const char *kCapsuleName = "vexal.circuit.matrix.entries";
inline constexpr int kVersion = 2;

// The gates of one angle whose matrices the offer gives, with the names of
// their functions in the matrix module.
enum class ParamGate : int { RX, RY, RZ, P, RXX, RYY, RZZ, CP };
inline constexpr int kParamGates = 8;
inline constexpr const char *kParamFunctions[kParamGates] = {"rx_mat",  "ry_mat",  "rz_mat",  "p_mat",
                                                             "rxx_mat", "ryy_mat", "rzz_mat", "cp_mat"};
// The matrix's size: 2 or 4.
inline constexpr int param_dim(ParamGate g) { return static_cast<int>(g) < static_cast<int>(ParamGate::RXX) ? 2 : 4; }

struct Api {
    int version;
    // The four entries (row-major) of u_mat(theta, phi, lamda) as u_mat
    // computes them; false, with nothing written, where u_mat would not
    // take its fast path at this moment, or would call numpy on it (numpy
    // replaced in the matrix module, angles or entries that numpy's own
    // arithmetic must handle, numpy's trigonometry not the C library's):
    // the caller then calls u_mat.
    bool (*u_entries)(double theta, double phi, double lamda, std::complex<double> out[4]);
    // Whether np.allclose(u_mat(theta, phi, lamda), np.eye(2), rtol=0,
    // atol=atol) holds: 1 or 0; -1, with nothing done, where u_entries
    // would decline (the caller then calls u_mat).
    int (*u_identity)(double theta, double phi, double lamda, double atol);
    // The same for the matrix function of the one-angle gate `g` at theta.
    int (*param_identity)(ParamGate g, double theta, double atol);
    // The entries (row-major, param_dim(g) squared of them) of the matrix
    // function of `g` at `theta`, under the same terms as u_entries.
    bool (*param_entries)(ParamGate g, double theta, std::complex<double> *out);
    // The ParamGate whose matrix function (of the matrix module's own) `f`
    // is; -1 for any other object.
    int (*param_gate_of)(PyObject *f);
};

// np.allclose(m, np.eye(n), rtol=0, atol=atol) for the n x n entries of m
// (row-major): each entry within atol of the identity's, |x - y| as
// np.abs of a complex takes it, or equal to it (infinities included).
inline bool allclose_to_identity(const std::complex<double> *m, int n, double atol) {
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const double y = r == c ? 1.0 : 0.0;
            const std::complex<double> x = m[r * n + c];
            const bool close = std::hypot(x.real() - y, x.imag()) <= atol;
            if (!close && !(x.real() == y && x.imag() == 0.0))
                return false;
        }
    return true;
}

// Whether numpy's `@` of two 2x2 complex128 arrays gives engines::cproduct's
// product on this machine, found by a check the first time a module asks
// (numpy_product.cpp).
bool numpy_product_is_cpp();

// The offer held by `f`, when `f` is the matrix module's own u_mat; null
// otherwise.
inline const Api *from_u_mat(PyObject *f) { return function_offer<Api>(f, kCapsuleName, kVersion); }

}  // namespace vx::matrixapi
