// Checks the circuit readers (OpenQASM and morvo) make on what they read: a
// gate never acts twice on one qubit, and a numeric parameter is finite.
#pragma once

#include "gatework.hpp"

#include <cmath>
#include <string>

namespace gatework {

// Whether `v` is a number whose value is infinite or NaN: a float, a complex,
// or another real number by its float value.  Texts (parameter names) and
// objects without a float value are not numbers here.
inline bool is_nonfinite(PyObject *v) {
    if (PyFloat_Check(v))
        return !std::isfinite(PyFloat_AS_DOUBLE(v));
    if (PyLong_Check(v) || PyUnicode_Check(v))
        return false;
    if (PyComplex_Check(v))
        return !std::isfinite(PyComplex_RealAsDouble(v)) || !std::isfinite(PyComplex_ImagAsDouble(v));
    PyNumberMethods *nm = Py_TYPE(v)->tp_as_number;
    if (!nm || !nm->nb_float)
        return false;
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw vx::error_already_set{};
        PyErr_Clear();  // no float value: not a number here
        return false;
    }
    return !std::isfinite(d);
}

// ValueError when two of the `n` qubits of one gate are equal; `what` names
// the gate in the message.
inline void check_distinct_qubits(const std::string &what, PyObject *const *qs, int n) {
    for (int i = 1; i < n; ++i)
        for (int j = 0; j < i; ++j)
            if (vx::equal(qs[i], qs[j]))
                vx::value_error(what + " uses qubit " + vx::describe(qs[i], false) + " more than once");
}

}  // namespace gatework
