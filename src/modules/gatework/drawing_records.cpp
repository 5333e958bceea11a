// The circuit text drawing: reading gate records into the layering.
//
// A record's kind is the first of these that holds: a key of the one-qubit,
// two-qubit, three-qubit, two-qubit parameter or one-qubit parameter table,
// or the name reset, barrier, delay or measure.  That is the drawing's own
// precedence (the shared GateKinds, which the record check and the DAG
// builder follow, test the one-qubit parameter table before the two-qubit
// parameter one); the shape a kind gives a record, where its angles and
// qubits stand, is the shared one (dag_api's RecordKind).  A record of any
// other name leaves no trace.  Records of a known kind must have its shape
// (qubits below nqubits, measure lists paired); a "u3" record may carry one
// angle, or three as a "u" record does.  A gate that names a qubit twice is
// drawn all the same, its later cells over the earlier ones.
#include "drawing.hpp"

#include <algorithm>
#include <string>

namespace gatework::drawing {

using vx::dagapi::kOneQubitParamTable;
using vx::dagapi::kOneQubitTable;
using vx::dagapi::kThreeQubitTable;
using vx::dagapi::kTwoQubitParamTable;
using vx::dagapi::kTwoQubitTable;

namespace {

bool is_name(PyObject *name, const char *text) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, text) == 0;
}

[[noreturn]] void wrong_length(PyObject *rec) { malformed(rec, "wrong number of elements for its gate kind"); }

// The shared record shape of a gate's drawing kind.
RecordKind shape_of(Placer::Draw kind) {
    using enum Placer::Draw;
    switch (kind) {
    case One: return RecordKind::OneQubit;
    case Two: return RecordKind::TwoQubit;
    case Three: return RecordKind::ThreeQubit;
    case ControlledPhase:
    case Box: return RecordKind::TwoParam;
    case U: return RecordKind::U;
    case R: return RecordKind::R;
    default: return RecordKind::OneParam;
    }
}

}  // namespace

Placer::Placer(const vx::Args &a, tx::Grid &grid, long long nqubits, PyObject *params_value)
    : a_(a), grid_(grid), layering_(grid), nqubits_(nqubits), params_(params_value) {}

void Placer::place_all(PyObject *gates) {
    // a snapshot: code run for an operand could change the caller's list
    nb::object list = vx::own(PyList_GetSlice(gates, 0, PY_SSIZE_T_MAX));
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        vx::poll_signals(static_cast<std::size_t>(i), 1 << 12);
        place(PyList_GET_ITEM(list.ptr(), i));
    }
}

Placer::Draw Placer::kind_of(PyObject *name) {
    if (!kinds_)
        kinds_.emplace(vx::dagapi::gatework_api(), a_.func()->globals);
    const GateKind &k = kinds_->of(name);
    if (k.in(kOneQubitTable))
        return Draw::One;
    if (k.in(kTwoQubitTable))
        return Draw::Two;
    if (k.in(kThreeQubitTable))
        return Draw::Three;
    if (k.in(kTwoQubitParamTable))
        return is_name(name, "cp") ? Draw::ControlledPhase : Draw::Box;
    if (k.in(kOneQubitParamTable))
        return is_name(name, "u") ? Draw::U : is_name(name, "r") ? Draw::R : Draw::OneParam;
    if (is_name(name, "reset"))
        return Draw::Reset;
    if (is_name(name, "barrier"))
        return Draw::Barrier;
    if (is_name(name, "delay"))
        return Draw::Delay;
    if (is_name(name, "measure"))
        return Draw::Measure;
    return Draw::Skip;
}

tx::Text Placer::symbol(int table, PyObject *name, std::size_t at_least) {
    nb::handle tab = a_.global(vx::kGateTables[table]);
    nb::object sym = vx::getitem(tab, name);
    if (!PyDict_CheckExact(tab.ptr()) || !PyUnicode_CheckExact(name))
        foreign_code_ran();
    if (!PyUnicode_Check(sym.ptr()))
        vx::type_error("the symbol of gate " + vx::describe(name) + " in " + vx::kGateTables[table] +
                       " must be a str, got " + vx::describe(sym.ptr()));
    tx::Text t = text_of(sym.ptr());
    if (t.size() < at_least)
        vx::value_error("the symbol of gate " + vx::describe(name) + " in " + vx::kGateTables[table] +
                        " must have at least " + std::to_string(at_least) + " characters, got " +
                        vx::describe(sym.ptr()));
    return t;
}

std::int64_t Placer::qubit(PyObject *q) {
    std::int64_t v = 0;
    qubit_index(q, nqubits_, rec_, v);
    if (!PyLong_CheckExact(q))
        foreign_code_ran();  // an __index__ may have changed the tables
    return v;
}

std::vector<std::int64_t> Placer::qubit_list(PyObject *seq, const char *what) {
    if (!PyTuple_Check(seq) && !PyList_Check(seq))
        malformed(rec_, std::string("its ") + what + " must be a tuple or a list");
    nb::object items = vx::own(PySequence_Tuple(seq));
    std::vector<std::int64_t> out;
    out.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(items.ptr())));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i)
        out.push_back(qubit(PyTuple_GET_ITEM(items.ptr(), i)));
    return out;
}

tx::Text Placer::multiple_of_pi(PyObject *v) {
    nb::handle f = a_.global("is_multiple_of_pi");
    std::string own;
    if (multiple_of_pi_text(f.ptr(), v, own))
        return text_of_utf8(own);
    nb::object s = vx::call(f, {v});
    if (!is_own_is_multiple_of_pi(f.ptr()) || !vx::is_original(a_, "np") ||
        !(PyLong_CheckExact(v) || PyFloat_CheckExact(v)))
        foreign_code_ran();
    if (!PyUnicode_Check(s.ptr()))
        vx::type_error("is_multiple_of_pi must return a str, got " + vx::describe(s.ptr()));
    return text_of(s.ptr());
}

// The label text of one angle: a number through is_multiple_of_pi; a
// parameter name by the value params_value holds for it, a number as above
// and a text as it stands.
tx::Text Placer::angle(PyObject *v) {
    if (PyUnicode_Check(v)) {
        PyObject *w = PyDict_GetItemWithError(params_, v);
        if (!PyUnicode_CheckExact(v))
            foreign_code_ran();  // its own hash and equality
        if (!w) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, v);
            throw vx::error_already_set{};
        }
        nb::object value = nb::borrow(w);
        if (PyUnicode_Check(w))
            return text_of(w);
        if (!real_number(w))
            vx::type_error("the value of parameter " + vx::describe(v) + " must be a number or a str, got " +
                           vx::describe(w));
        return multiple_of_pi(w);
    }
    if (!real_number(v))
        vx::type_error("angle must be a number or a parameter name, got " + vx::describe(v) + " in gate record " +
                       vx::describe(rec_));
    return multiple_of_pi(v);
}

void Placer::place(PyObject *rec_in) {
    rec_ = rec_in;
    nb::object held = record_tuple(rec_in);
    PyObject *rec = held.ptr();
    const Py_ssize_t len = PyTuple_GET_SIZE(rec);
    PyObject *name = PyTuple_GET_ITEM(rec, 0);
    const Draw kind = kind_of(name);
    switch (kind) {
    case Draw::Skip: return;
    case Draw::Reset:
    case Draw::Barrier:
    case Draw::Delay:
    case Draw::Measure: place_functional(kind, rec, len); return;
    default: break;
    }
    // A gate: its angles after the name, its qubits last.  A "u3" record
    // with three angles is the "u" gate under its own symbol.
    const RecordKind shape = shape_of(kind);
    const bool u3_angles = kind == Draw::OneParam && len == 5 && is_name(name, "u3");
    const int np = u3_angles ? 3 : vx::dagapi::param_count(shape), nw = vx::dagapi::wire_count(shape);
    if (len != 1 + np + nw)
        wrong_length(rec_in);
    std::int64_t q[3] = {};
    for (int i = 0; i < nw; ++i)
        q[i] = qubit(PyTuple_GET_ITEM(rec, 1 + np + i));
    place_gate(kind, rec, name, np, q);
}

void Placer::place_gate(Draw kind, PyObject *rec, PyObject *name, int nangles, const std::int64_t q[3]) {
    auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(rec, i); };
    switch (kind) {
    case Draw::One: layering_.one(q[0], symbol(kOneQubitTable, name, 0)); return;
    case Draw::Two: {
        const tx::Text sym = symbol(kTwoQubitTable, name, 1);
        layering_.two(q[0], q[1], sym.front(), sym.back());
        return;
    }
    case Draw::Three: {
        const tx::Text sym = symbol(kThreeQubitTable, name, 3);
        layering_.three(q, sym.data());
        return;
    }
    case Draw::ControlledPhase: {
        const tx::Text t = angle(item(1));
        layering_.controlled_phase(q[0], q[1], symbol(kTwoQubitParamTable, name, 2)[1], t);
        return;
    }
    case Draw::Box: {
        const tx::Text t = angle(item(1));
        layering_.box(q[0], q[1], symbol(kTwoQubitParamTable, name, 0), t);
        return;
    }
    default: {  // ("u", theta, phi, lamda, q), ("r", theta, phi, q), (name, angle, q)
        tx::Text cell = kind == Draw::U ? U"U" : kind == Draw::R ? U"R" : symbol(kOneQubitParamTable, name, 0);
        cell += U'(';
        for (int i = 1; i <= nangles; ++i) {
            if (i > 1)
                cell += U',';
            cell += angle(item(i));
        }
        cell += U')';
        layering_.one(q[0], cell);
        return;
    }
    }
}

void Placer::place_functional(Draw kind, PyObject *rec, Py_ssize_t len) {
    switch (kind) {
    case Draw::Reset: {
        if (len != 2)
            wrong_length(rec_);
        layering_.one(qubit(PyTuple_GET_ITEM(rec, 1)), U"|0>");
        return;
    }
    case Draw::Barrier: {
        if (len != 2)
            wrong_length(rec_);
        layering_.barrier(qubit_list(PyTuple_GET_ITEM(rec, 1), "qubits"), U"\u2591");
        return;
    }
    case Draw::Delay: {
        if (len != 3)
            wrong_length(rec_);
        const std::vector<std::int64_t> qs = qubit_list(PyTuple_GET_ITEM(rec, 2), "qubits");
        PyObject *duration = PyTuple_GET_ITEM(rec, 1);
        nb::object spec = vx::str_obj(".1e");
        nb::object text = vx::own(PyObject_Format(duration, spec.ptr()));
        if (!PyLong_CheckExact(duration) && !PyFloat_CheckExact(duration))
            foreign_code_ran();
        tx::Text label = symbol(vx::dagapi::kFunctionalTable, PyTuple_GET_ITEM(rec, 0), 0);
        label += U'(';
        label += text_of(text.ptr());
        label += U"s)";
        layering_.delay(qs, label);
        return;
    }
    case Draw::Measure: {
        if (len != 3)
            wrong_length(rec_);
        place_measure(rec);
        return;
    }
    default: return;
    }
}

void Placer::place_measure(PyObject *rec) {
    PyObject *qs = PyTuple_GET_ITEM(rec, 1), *cs = PyTuple_GET_ITEM(rec, 2);
    const std::vector<std::int64_t> qubits = qubit_list(qs, "qubits");
    if (!PyTuple_Check(cs) && !PyList_Check(cs))
        malformed(rec_, "its classical bits must be a tuple or a list");
    nb::object bits = vx::own(PySequence_Tuple(cs));
    const auto nbits = static_cast<std::size_t>(PyTuple_GET_SIZE(bits.ptr()));
    if (nbits != qubits.size())
        malformed(rec_, nbits < qubits.size() ? "fewer classical bits than qubits" : "more classical bits than qubits");
    const std::int64_t digit_rows = grid_.rows().count - grid_.rows().classical() - 1;
    for (std::size_t i = 0; i < nbits; ++i) {
        PyObject *c = PyTuple_GET_ITEM(bits.ptr(), static_cast<Py_ssize_t>(i));
        if (!bit_integer(c))
            vx::type_error("classical bit must be an integer, got " + vx::describe(c) + " in gate record " +
                           vx::describe(rec_));
        nb::object bit = vx::own(PyNumber_Index(c));
        if (!PyLong_CheckExact(c))
            foreign_code_ran();
        if (_PyLong_Sign(bit.ptr()) < 0)
            malformed(rec_, "classical bit " + vx::describe(bit.ptr(), false) + " is negative");
        const tx::Text digits = text_of(vx::own(PyObject_Str(bit.ptr())).ptr());
        if (static_cast<std::int64_t>(digits.size()) > digit_rows)
            malformed(rec_, "classical bit " + vx::describe(bit.ptr(), false) +
                                " has more digits than the picture has digit rows (" + std::to_string(digit_rows) +
                                ")");
        layering_.measure(qubits[i], digits);
    }
}

}  // namespace gatework::drawing
