// Checks the circuit readers (OpenQASM and morvo) make on what they read: a
// gate never acts twice on one qubit, a numeric parameter is finite and a
// duration not negative; and their look for Ctrl-C while they read a long
// input.
#pragma once

#include "gatework.hpp"

#include <cmath>
#include <string>

namespace gatework {

// The float value of an object that is neither a float, an int, a text nor
// a complex number, if it has one.
inline bool other_float_value(PyObject *v, double &out) {
    PyNumberMethods *nm = Py_TYPE(v)->tp_as_number;
    if (!nm || !nm->nb_float)
        return false;
    out = PyFloat_AsDouble(v);
    if (out == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw vx::error_already_set{};
        PyErr_Clear();  // no float value: not a number here
        return false;
    }
    return true;
}

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
    double d;
    return other_float_value(v, d) && !std::isfinite(d);
}

// Whether `v` is a number below 0: an int by its value, a float or another
// real number by its float value.  Texts and complex numbers are not.
inline bool is_negative_number(PyObject *v) {
    if (PyFloat_Check(v))
        return PyFloat_AS_DOUBLE(v) < 0;
    if (PyLong_Check(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        return overflow < 0 || (!overflow && x < 0);
    }
    if (PyUnicode_Check(v) || PyComplex_Check(v))
        return false;
    double d;
    return other_float_value(v, d) && d < 0;
}

// The first of the `n` qubits of one gate that stands twice among them, or
// null when they are distinct.
inline PyObject *repeated_qubit(PyObject *const *qs, int n) {
    auto same = [](PyObject *a, PyObject *b) {
        if (a == b)
            return true;
        if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
            int oa = 0, ob = 0;
            long long va = PyLong_AsLongLongAndOverflow(a, &oa), vb = PyLong_AsLongLongAndOverflow(b, &ob);
            if (!oa && !ob)
                return va == vb;
        }
        return vx::equal(a, b);
    };
    for (int i = 1; i < n; ++i)
        for (int j = 0; j < i; ++j)
            if (same(qs[i], qs[j]))
                return qs[i];
    return nullptr;
}

// The ValueError of a gate, named by `what`, that uses qubit `q` twice.
[[noreturn]] inline void repeated_qubit_error(const std::string &what, PyObject *q) {
    vx::value_error(what + " uses qubit " + vx::describe(q, false) + " more than once");
}

}  // namespace gatework
