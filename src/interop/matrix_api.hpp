// What vexal.circuit.matrix offers the other modules: the entries of u_mat
// and numpy's product of two 2x2 complex matrices, worked out without
// making arrays or calling numpy.  The offer travels in a capsule that the
// matrix module's own u_mat function holds, so a module whose `u_mat` name
// still holds that function finds it there (`from_u_mat`).
#pragma once

#include "interop.hpp"

#include <complex>

namespace vx::matrixapi {

inline constexpr const char *kCapsuleName = "vexal.circuit.matrix.native";
inline constexpr int kVersion = 1;

struct Api {
    int version;
    // The four entries (row-major) of u_mat(theta, phi, lamda) as u_mat
    // computes them; false, with nothing written, where u_mat would not
    // compute them natively at this moment (numpy replaced in the matrix
    // module, angles or entries that numpy's own arithmetic must handle):
    // the caller then calls u_mat.
    bool (*u_entries)(double theta, double phi, double lamda, std::complex<double> out[4]);
    // out = a @ b for 2x2 complex128 arrays, the very doubles numpy gives on
    // this machine; null where the check made when the matrix module loaded
    // found numpy's product different (the caller then uses numpy's).
    void (*product)(const std::complex<double> a[4], const std::complex<double> b[4], std::complex<double> out[4]);
};

// The offer held by `f`, when `f` is the matrix module's own u_mat; null
// otherwise.
inline const Api *from_u_mat(PyObject *f) { return function_offer<Api>(f, kCapsuleName, kVersion); }

}  // namespace vx::matrixapi
