// What run's native path relies on, and the identity-free copy made without
// the deep copy.
//
// The native path is taken only where the pass, its class and the names run
// goes through are the package's own, so that it gives exactly what the
// methods give.  For the package's own circuit holding plain values, the
// deep copy that remove_identity_gates makes would only copy values that
// nothing changes; the copy is assembled from them directly, and the
// identity test runs natively (merge.cpp).
#include "optimize.hpp"

#include "deferred_values.hpp"

#include <algorithm>
#include <iterator>
#include <string>

namespace optimize {

namespace {

using vx::dagapi::GateKinds;
using vx::dagapi::table_bit;
using enum vx::dagapi::GateTable;

constexpr std::uint8_t kRuleTables = table_bit(kOneQubitTable) | table_bit(kTwoQubitTable) |
                                     table_bit(kThreeQubitTable) | table_bit(kOneQubitParamTable) |
                                     table_bit(kTwoQubitParamTable);

constexpr const char *kMatrixFunctions[] = {"rx_mat", "ry_mat",  "rz_mat",  "p_mat",   "u_mat",
                                            "r_mat",  "rxx_mat", "ryy_mat", "rzz_mat", "cp_mat"};

PyObject *g_matrix = nullptr;                                    // the namespace of vexal.circuit.matrix
PyObject *g_matrix_functions[std::size(kMatrixFunctions)] = {};  // its own of kMatrixFunctions
PyObject *g_matrix_np = nullptr;                                 // its own `np`

bool int_list(PyObject *o) {
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o))
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i)
        if (!PyLong_CheckExact(PySequence_Fast_ITEMS(o)[i]))
            return false;
    return true;
}

// A record whose deep copy would be an equal record of the same values.
bool plain_record(PyObject *r) {
    if (!PyTuple_CheckExact(r))
        return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(r); ++k) {
        PyObject *x = PyTuple_GET_ITEM(r, k);
        if (!vx::immutable_scalar(x) && !int_list(x))
            return false;
    }
    return true;
}

}  // namespace

// The package's circuit class holding only its own attributes, of plain
// values: its deep copy runs no code but copy's and copies values that
// nothing changes.
bool plain_circuit(PyObject *globals, nb::handle qc, PyObject *gates) {
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
    if (!qubits || !PyList_CheckExact(qubits) || !int_list(qubits) || !own_gates || !PyList_CheckExact(own_gates) ||
        !values || !PyDict_CheckExact(values))
        return false;
    Py_ssize_t i = 0;
    PyObject *key, *value;
    while (PyDict_Next(values, &i, &key, &value))
        if (!PyUnicode_CheckExact(key) || !vx::immutable_scalar(value))
            return false;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(gates); ++j)
        if (!plain_record(PyList_GET_ITEM(gates, j)))
            return false;
    return true;
}

namespace {

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

PyObject *matrix_function(const char *name) { return vx::original(g_matrix, name); }

bool own_matrix_function(PyObject *f) {
    // the matrix module's `np` is the numpy it recorded (vx::is_original, in one look-up)
    if (PyDict_GetItem(g_matrix, names().np) != g_matrix_np)
        return false;
    return std::find(std::begin(g_matrix_functions), std::end(g_matrix_functions), f) != std::end(g_matrix_functions);
}

const vx::FastPathNeeds kNeeds{
    "GateCompressor",
    {"np", "np.allclose", "np.eye", "np.ndarray", "u3_decompose", "u_mat", "gate_matrix_dict", "QuantumCircuit",
     "QuantumCircuit.deepcopy", "qc2dag", "dag2qc"},
    {"GateCompressor.remove_identity_gates", "GateCompressor.is_adjacent_gates", "GateCompressor.has_adjacent_gates",
     "GateCompressor.compress_adjacent_single_qubit_gates",
     "GateCompressor.compress_adjacent_single_parameter_qubit_gates",
     "GateCompressor.compress_adjacent_two_qubit_gates", "GateCompressor.compress_adjacent_two_qubit_parameter_gates",
     "GateCompressor.compress_adjacent_three_qubit_gates", "GateCompressor.run_compress_once", "GateCompressor.idx"},
};

bool own_pass_state(PyObject *globals, nb::handle self) {
    PyTypeObject *tp = Py_TYPE(self.ptr());
    if (tp->tp_getattro != PyObject_GenericGetAttr || tp->tp_setattro != PyObject_GenericSetAttr)
        return false;
    for (PyObject *state : {names()._idx, names().compressible})
        if (_PyType_Lookup(tp, state))
            return false;
    // `dag` is the instance's own, through the class's descriptor
    return vx::deferred_descriptors(globals, tp, "GateCompressor", {"dag"});
}

bool plain_tables(PyObject *globals) {
    for (int t : {kOneQubitTable, kTwoQubitTable, kThreeQubitTable, kOneQubitParamTable, kTwoQubitParamTable}) {
        PyObject *d = PyDict_GetItemString(globals, vx::kGateTables[t]);
        if (!d || !PyDict_CheckExact(d))
            return false;
    }
    return true;
}

void remember(nb::handle module) {
    vx::keep_needs(module, kNeeds);
    nb::object matrix = vx::import("vexal.circuit.matrix");
    g_matrix = vx::check(PyModule_GetDict(matrix.ptr()));
    vx::keep_original(matrix, "np");
    for (const char *name : kMatrixFunctions)
        vx::keep_original(matrix, name);
    for (std::size_t i = 0; i < std::size(kMatrixFunctions); ++i)
        g_matrix_functions[i] = vx::original(g_matrix, kMatrixFunctions[i]);
    g_matrix_np = vx::original(g_matrix, "np");
    remember_loop(module);
}

nb::object identity_free_records(const vx::Args &a, nb::handle self, nb::handle qc, PyObject *gates) {
    PyObject *globals = a.func()->globals;
    (void)self;  // the pass and the module's names are the checker's (run)
    if (!plain_circuit(globals, qc, gates))
        return {};
    Maths m(globals);
    if (!m.native_allclose)
        return {};
    PyObject *gmd = PyDict_GetItemString(globals, "gate_matrix_dict");
    GateKinds kinds(vx::dagapi::gatework_api(), globals, kRuleTables);
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
        const Py_ssize_t wires = kind.in(kOneQubitParamTable) ? 1 : kind.in(kTwoQubitParamTable) ? 2 : 0;
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
            !native_identity(m, name, angles, static_cast<int>(count), identity)) {
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

nb::object identity_free_copy(const vx::Args &a, nb::handle self, nb::handle qc, PyObject *gates) {
    nb::object kept = identity_free_records(a, self, qc, gates);
    return kept.is_valid() ? copy_of(qc, kept) : nb::object();
}

}  // namespace optimize
