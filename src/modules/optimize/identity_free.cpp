// The identity-free copy of an exact circuit, made without the deep copy.
//
// For the package's own circuit holding exact values, the deep copy that
// remove_identity_gates makes would only copy values that nothing changes;
// the copy is assembled from them directly, and the identity test runs in
// C++ (merge.cpp).  The fast path reads the records alone; the DAG tier
// takes the copy.  Both are taken only where the pass, its class and the
// names run goes through are the package's own (the path checker, in run),
// so that they give exactly what the methods give.
#include "optimize.hpp"

#include <algorithm>

namespace optimize {

namespace {

using vx::dagapi::GateKinds;

bool exact_int_list(PyObject *o) {
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o))
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i)
        if (!PyLong_CheckExact(PySequence_Fast_ITEMS(o)[i]))
            return false;
    return true;
}

// A record whose deep copy would be an equal record of the same values.
bool exact_record(PyObject *r) {
    if (!PyTuple_CheckExact(r))
        return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(r); ++k) {
        PyObject *x = PyTuple_GET_ITEM(r, k);
        if (!vx::immutable_scalar(x) && !exact_int_list(x))
            return false;
    }
    return true;
}

// The package's circuit class holding only its own attributes, of exact
// values: its deep copy runs no code but copy's and copies values that
// nothing changes.
bool exact_circuit(PyObject *globals, nb::handle qc, PyObject *gates) {
    PyTypeObject *tp = Py_TYPE(qc.ptr());
    if (reinterpret_cast<PyObject *>(tp) != vx::original(globals, "QuantumCircuit") ||
        !vx::is_original_method(globals, qc, "QuantumCircuit.deepcopy"))
        return false;
    for (const char *hook : {"__deepcopy__", "__setstate__", "__slots__"})
        if (_PyType_Lookup(tp, vx::intern(hook)))
            return false;
    for (const char *hook : {"__reduce_ex__", "__reduce__", "__getstate__"})
        if (_PyType_Lookup(tp, vx::intern(hook)) != _PyType_Lookup(&PyBaseObject_Type, vx::intern(hook)))
            return false;
    nb::object dict = vx::own(PyObject_GenericGetDict(qc.ptr(), nullptr));
    const Names &k = names();
    if (!PyDict_CheckExact(dict.ptr()) || PyDict_GET_SIZE(dict.ptr()) != 5)
        return false;
    for (PyObject *key : {k.nqubits, k.ncbits}) {
        PyObject *v = PyDict_GetItem(dict.ptr(), key);
        if (!v || !PyLong_CheckExact(v))
            return false;
    }
    PyObject *qubits = PyDict_GetItem(dict.ptr(), k.qubits);
    PyObject *own_gates = PyDict_GetItem(dict.ptr(), k.gates);
    PyObject *values = PyDict_GetItem(dict.ptr(), k.params_value);
    if (!qubits || !PyList_CheckExact(qubits) || !exact_int_list(qubits) || !own_gates ||
        !PyList_CheckExact(own_gates) || !values || !PyDict_CheckExact(values))
        return false;
    Py_ssize_t i = 0;
    PyObject *key, *value;
    while (PyDict_Next(values, &i, &key, &value))
        if (!PyUnicode_CheckExact(key) || !vx::immutable_scalar(value))
            return false;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(gates); ++j)
        if (!exact_record(PyList_GET_ITEM(gates, j)))
            return false;
    return true;
}

// What copy.deepcopy makes of such a circuit, with `gates` in place of its
// gate list: a new object of its class whose attributes, in their order,
// are the same numbers, a new list of the qubits and a new dict of the
// parameter values.
nb::object copy_of(nb::handle qc, nb::handle gates) {
    PyTypeObject *tp = Py_TYPE(qc.ptr());
    nb::object copy = vx::own(tp->tp_alloc(tp, 0));
    nb::object src = vx::own(PyObject_GenericGetDict(qc.ptr(), nullptr));
    nb::object dst = vx::own(PyObject_GenericGetDict(copy.ptr(), nullptr));
    const Names &k = names();
    Py_ssize_t i = 0;
    PyObject *key, *value;
    while (PyDict_Next(src.ptr(), &i, &key, &value)) {
        nb::object v;
        if (key == k.gates || PyUnicode_Compare(key, k.gates) == 0)
            v = nb::borrow(gates);
        else if (PyList_CheckExact(value))
            v = vx::own(PyList_GetSlice(value, 0, PY_SSIZE_T_MAX));
        else if (PyDict_CheckExact(value))
            v = vx::own(PyDict_Copy(value));
        else
            v = nb::borrow(value);
        vx::check(PyDict_SetItem(dst.ptr(), key, v.ptr()));
    }
    return copy;
}

}  // namespace

nb::object identity_free_records(const vx::Args &a, nb::handle qc, PyObject *gates) {
    PyObject *globals = a.func()->globals;
    if (!exact_circuit(globals, qc, gates))
        return {};
    Maths m(globals);
    if (!m.own_allclose)
        return {};
    PyObject *gmd = PyDict_GetItemString(globals, "gate_matrix_dict");
    GateKinds kinds(vx::dagapi::gatework_api(), globals, kRuleTableBits);
    // `gates` is the run's own list: it is the result until a record leaves
    // or changes
    nb::object kept;
    auto keep = [&](Py_ssize_t i, PyObject *rec) {
        if (!kept.is_valid()) {
            if (rec == PyList_GET_ITEM(gates, i))
                return;
            kept = vx::own(PyList_GetSlice(gates, 0, i));
        }
        vx::check(PyList_Append(kept.ptr(), rec));
    };
    auto drop = [&](Py_ssize_t i) {
        if (!kept.is_valid())
            kept = vx::own(PyList_GetSlice(gates, 0, i));
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates); ++i) {
        vx::poll_signals(static_cast<std::size_t>(i));
        PyObject *rec = PyList_GET_ITEM(gates, i);
        PyObject *gate = PyTuple_GET_ITEM(rec, 0);
        const auto &kind = kinds.of(gate);
        const Py_ssize_t wires = param_gate_wires(kind);
        if (!wires) {
            keep(i, rec);
            continue;
        }
        nb::object record = nb::borrow(rec);
        nb::object name = nb::borrow(gate);
        if (PyUnicode_CheckExact(gate) && PyUnicode_Compare(gate, names().u3) == 0) {
            nb::object tail = vx::own(PyTuple_GetSlice(rec, 1, PY_SSIZE_T_MAX));
            nb::object head = vx::own(PyTuple_Pack(1, names().u));
            record = vx::own(PySequence_Concat(head.ptr(), tail.ptr()));
            name = nb::borrow(names().u);
        }
        PyObject *f = PyDict_GetItemWithError(gmd, name.ptr());
        if (f && !own_matrix_function(f))
            return {};  // a replaced matrix function: the methods call it
        const Py_ssize_t count = std::max<Py_ssize_t>(0, PyTuple_GET_SIZE(rec) - wires - 1);
        double angles[3];
        bool identity;
        if (!read_angles(&PyTuple_GET_ITEM(rec, 1), count, angles) ||
            !identity_in_cpp(m, name, angles, static_cast<int>(count), identity)) {
            nb::object params = vx::own(PyTuple_GetSlice(rec, 1, PyTuple_GET_SIZE(rec) - wires));
            identity = is_identity_gate(m, name, params);
        }
        if (!identity)
            keep(i, record.ptr());
        else
            drop(i);
    }
    return kept.is_valid() ? kept : nb::borrow(gates);
}

nb::object identity_free_copy(const vx::Args &a, nb::handle qc, PyObject *gates) {
    nb::object kept = identity_free_records(a, qc, gates);
    return kept.is_valid() ? copy_of(qc, kept) : nb::object();
}

}  // namespace optimize
