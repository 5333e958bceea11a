// Gate kinds and the reading of gate records; see records.hpp.
#include "records.hpp"

#include <algorithm>
#include <cmath>

namespace gatework {

// ------------------------------------------------------------------ messages

void malformed(PyObject *rec, const std::string &why) {
    vx::value_error("malformed gate record " + vx::describe(rec) + ": " + why);
}

namespace {
std::string where(PyObject *rec) { return rec ? " in gate record " + vx::describe(rec) : " in qubits"; }
}  // namespace

void qubit_not_integer(PyObject *q, PyObject *rec) {
    vx::type_error("qubit index must be an integer, got " + vx::describe(q) + where(rec));
}

void qubit_out_of_range(PyObject *q, long long nqubits, PyObject *rec) {
    vx::value_error("qubit index " + vx::describe(q, false) + " out of range for " + std::to_string(nqubits) +
                    " qubits" + where(rec));
}

// ------------------------------------------------------------------- operands

bool qubit_index(PyObject *q, long long nqubits, PyObject *rec, std::int64_t &out, bool lenient) {
    nb::object idx;
    PyObject *v = q;
    if (PyBool_Check(q) && !lenient)
        qubit_not_integer(q, rec);  // True is 1 to Python, but no qubit index
    if (!PyLong_Check(q)) {
        if (PyIndex_Check(q)) {
            idx = vx::own(PyNumber_Index(q));
        } else if (lenient && PyFloat_Check(q)) {
            idx = vx::own(PyNumber_Long(q));  // as the pass's own int() takes it
        } else {
            if (lenient)
                return false;
            qubit_not_integer(q, rec);
        }
        v = idx.ptr();
    }
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (w == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    if (overflow || w < 0 || w >= nqubits)
        qubit_out_of_range(v, nqubits, rec);
    out = w;
    return true;
}

nb::object record_tuple(PyObject *rec) {
    nb::object t;
    if (PyTuple_Check(rec))
        t = nb::borrow(rec);
    else if (PyList_Check(rec))
        t = vx::own(PyList_AsTuple(rec));
    else
        malformed(rec, "a gate record is a tuple");
    if (PyTuple_GET_SIZE(t.ptr()) == 0)
        malformed(rec, "no gate name");
    return t;
}

bool bit_integer(PyObject *o) { return !PyBool_Check(o) && (PyLong_Check(o) || PyIndex_Check(o)); }

bool real_number(PyObject *o) {
    if (PyLong_Check(o) || PyFloat_Check(o))
        return true;
    if (PyComplex_Check(o) || PyUnicode_Check(o))
        return false;
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    return nm && (nm->nb_float || nm->nb_index);
}

namespace {

// The value of a real number, for the finiteness tests.
double real_value(PyObject *o) {
    if (PyLong_Check(o))
        return 0.0;  // any int is finite
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred())
        throw vx::error_already_set{};
    return d;
}

// A sequence of qubits or bits as a tuple; in strict reading only a tuple or
// a list is one.
nb::object as_tuple(PyObject *rec, PyObject *seq, bool strict, const char *what) {
    if (PyTuple_CheckExact(seq))
        return nb::borrow(seq);
    if (PyList_CheckExact(seq) || PyTuple_Check(seq) || PyList_Check(seq))
        return vx::own(PySequence_Tuple(seq));
    if (strict)
        malformed(rec, std::string("its ") + what + " must be a tuple or a list");
    PyObject *t = PySequence_Tuple(seq);
    if (!t) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw vx::error_already_set{};
        PyErr_Clear();
        malformed(rec, std::string("its ") + what + " must be a sequence");
    }
    return nb::steal(t);
}

}  // namespace

// ---------------------------------------------------------------- the reader

RecordReader::Outcome RecordReader::prepare(PyObject *rec_in) {
    orig_ = rec_in;
    rec_ = record_tuple(rec_in);
    name_ = PyTuple_GET_ITEM(rec_.ptr(), 0);
    const GateKind k = kinds_.of(name_);
    const auto &rules = mode_.rules;
    if (!(k.tables & rules.tables)) {
        if (rules.tables == vx::dagapi::kAllTables)
            vx::dagapi::wrong_gate_type(name_);
        return Outcome::Stop;  // the pass reports this name itself
    }
    if (!k.shaped) {
        if (mode_.values)
            return Outcome::Skipped;  // a name added to the functional table: no shape to hold it to
        vx::dagapi::wrong_gate_type(name_);
    }
    kind_ = k.record;
    lenient_ = (k.tables & rules.lenient) != 0;
    values_.clear();
    python_ran_ = false;
    Outcome o;
    switch (kind_) {
    case RecordKind::Measure: o = read_measure(); break;
    case RecordKind::Barrier:
    case RecordKind::Delay: o = read_span(); break;
    default: o = read_gate(); break;
    }
    if (python_ran_)
        kinds_.forget();  // an operand's or an iterable's code may have changed the tables
    return o;
}

RecordReader::Outcome RecordReader::wrong_length() {
    if (lenient_)
        return Outcome::Skipped;
    malformed(orig_, "wrong number of elements for its gate kind");
}

// ("measure", qubits, classical bits): paired lists; a qubit may be read twice.
RecordReader::Outcome RecordReader::read_measure() {
    PyObject *r = rec_.ptr();
    if (PyTuple_GET_SIZE(r) != 3)
        return wrong_length();
    python_ran_ = !PyTuple_CheckExact(PyTuple_GET_ITEM(r, 1)) || !PyTuple_CheckExact(PyTuple_GET_ITEM(r, 2));
    seq_ = as_tuple(orig_, PyTuple_GET_ITEM(r, 1), mode_.values, "qubits");
    cbits_ = as_tuple(orig_, PyTuple_GET_ITEM(r, 2), mode_.values, "classical bits");
    const Py_ssize_t nq = PyTuple_GET_SIZE(seq_.ptr()), nc = PyTuple_GET_SIZE(cbits_.ptr());
    if (nc < nq)
        malformed(orig_, "fewer classical bits than qubits");
    if (nc > nq)
        malformed(orig_, "more classical bits than qubits");
    if (!wires(&PyTuple_GET_ITEM(seq_.ptr(), 0), static_cast<std::size_t>(nq), false))
        return Outcome::Skipped;
    if (!mode_.values)
        return Outcome::Read;
    for (Py_ssize_t i = 0; i < nc; ++i) {
        PyObject *c = PyTuple_GET_ITEM(cbits_.ptr(), i);
        if (!bit_integer(c))
            vx::type_error("classical bit must be an integer, got " + vx::describe(c) + " in gate record " +
                           vx::describe(orig_));
        nb::object ci = vx::own(PyNumber_Index(c));
        if (vx::less(ci, vx::int_obj(0)))
            malformed(orig_, "classical bit " + vx::describe(c, false) + " is negative");
        const long long nc_all = mode_.rules.ncbits;
        if (nc_all >= 0 && !vx::less(ci, vx::int_obj(nc_all)))
            malformed(orig_, "classical bit " + vx::describe(c, false) + " out of range for " + std::to_string(nc_all) +
                                 " classical bits");
    }
    return Outcome::Read;
}

// ("barrier", qubits) and ("delay", duration, qubits).
RecordReader::Outcome RecordReader::read_span() {
    PyObject *r = rec_.ptr();
    const bool delay = kind_ == RecordKind::Delay;
    if (PyTuple_GET_SIZE(r) != (delay ? 3 : 2))
        return wrong_length();
    PyObject *ws = PyTuple_GET_ITEM(r, delay ? 2 : 1);
    python_ran_ = !PyTuple_CheckExact(ws);
    seq_ = as_tuple(orig_, ws, mode_.values, "qubits");
    if (!wires(&PyTuple_GET_ITEM(seq_.ptr(), 0), static_cast<std::size_t>(PyTuple_GET_SIZE(seq_.ptr())), true))
        return Outcome::Skipped;
    if (!delay || !mode_.values)
        return Outcome::Read;
    PyObject *d = PyTuple_GET_ITEM(r, 1);
    if (!real_number(d))
        vx::type_error("delay duration must be a number, got " + vx::describe(d) + " in gate record " +
                       vx::describe(orig_));
    const double v = real_value(d);
    if (!(v >= 0.0) || std::isinf(v) || (PyLong_Check(d) && vx::less(d, vx::int_obj(0))))
        malformed(orig_, "its duration must be a finite number, at least 0");
    return Outcome::Read;
}

// A gate: its angles after the name, its qubits last.
RecordReader::Outcome RecordReader::read_gate() {
    PyObject *r = rec_.ptr();
    const Py_ssize_t len = PyTuple_GET_SIZE(r);
    const int np = vx::dagapi::param_count(kind_), nw = vx::dagapi::wire_count(kind_);
    const bool u3 =
        kind_ == RecordKind::OneParam && PyUnicode_Check(name_) && PyUnicode_CompareWithASCIIString(name_, "u3") == 0;
    if (u3 ? (len != 3 && len != 5) : len != 1 + np + nw)
        return wrong_length();
    if (!wires(&PyTuple_GET_ITEM(r, len - nw), static_cast<std::size_t>(nw), true))
        return Outcome::Skipped;
    if (mode_.values)
        check_angles(1, static_cast<int>(len - 1 - nw));
    return Outcome::Read;
}

bool RecordReader::wires(PyObject *const *objs, std::size_t n, bool distinct) {
    values_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        python_ran_ = python_ran_ || !PyLong_CheckExact(objs[i]);  // __index__ is Python code
        if (!qubit_index(objs[i], nqubits_, orig_, values_[i], lenient_))
            return false;
    }
    if (!distinct || n < 2)
        return true;
    auto repeated = [&](std::int64_t q) { malformed(orig_, "qubit " + std::to_string(q) + " appears more than once"); };
    if (n <= 8) {
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j)
                if (values_[i] == values_[j])
                    repeated(values_[i]);
        return true;
    }
    sorted_ = values_;
    std::sort(sorted_.begin(), sorted_.end());
    auto it = std::adjacent_find(sorted_.begin(), sorted_.end());
    if (it != sorted_.end())
        repeated(*it);
    return true;
}

void RecordReader::check_angles(Py_ssize_t first, int count) {
    PyObject *r = orig_;
    for (int i = 0; i < count; ++i) {
        PyObject *x = PyTuple_GET_ITEM(rec_.ptr(), first + i);
        if (PyUnicode_Check(x))
            continue;  // a parameter name
        if (!real_number(x))
            vx::type_error("angle must be a number or a parameter name, got " + vx::describe(x) + " in gate record " +
                           vx::describe(r));
        if (!std::isfinite(real_value(x)))
            malformed(r, "angle " + vx::describe(x, false) + " is not a finite number");
    }
}

// ------------------------------------------------------------ the capsule side

bool classify_c(PyObject *const *tables, PyObject *name, GateKind &out) {
    return vx::guarded(
        [&] {
            using namespace vx::dagapi;
            out = GateKind{};
            for (int t = 0; t < 6; ++t) {
                if (!tables[t])
                    continue;
                int r = PyDict_CheckExact(tables[t]) ? PyDict_Contains(tables[t], name)
                                                     : PySequence_Contains(tables[t], name);
                vx::check(r);
                if (r)
                    out.tables |= table_bit(static_cast<GateTable>(t));
            }
            auto is = [&](const char *text) {
                return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, text) == 0;
            };
            out.shaped = true;
            if (out.in(kOneQubitTable))
                out.record = RecordKind::OneQubit;
            else if (out.in(kTwoQubitTable))
                out.record = RecordKind::TwoQubit;
            else if (out.in(kThreeQubitTable))
                out.record = RecordKind::ThreeQubit;
            else if (out.in(kOneQubitParamTable))
                out.record = is("u") ? RecordKind::U : is("r") ? RecordKind::R : RecordKind::OneParam;
            else if (out.in(kTwoQubitParamTable))
                out.record = RecordKind::TwoParam;
            else if (out.in(kFunctionalTable) && is("measure"))
                out.record = RecordKind::Measure;
            else if (out.in(kFunctionalTable) && is("barrier"))
                out.record = RecordKind::Barrier;
            else if (out.in(kFunctionalTable) && is("delay"))
                out.record = RecordKind::Delay;
            else if (out.in(kFunctionalTable) && is("reset"))
                out.record = RecordKind::Reset;
            else
                out.shaped = false;
            return true;
        },
        false);
}

bool check_records_c(GateKinds &kinds, PyObject *gates, long long nqubits, const vx::dagapi::CheckRules &rules) {
    return vx::guarded(
        [&] {
            if (!PyList_Check(gates))
                vx::type_error("gates must be a list");
            // a snapshot: an operand's __index__ could change the caller's list
            nb::object gl = vx::own(PyList_GetSlice(gates, 0, PY_SSIZE_T_MAX));
            RecordReader reader(kinds, nqubits, {.values = true, .rules = rules});
            const Py_ssize_t n = PyList_GET_SIZE(gl.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                vx::poll_signals(i, 1 << 16);
                if (reader.read(PyList_GET_ITEM(gl.ptr(), i), [](const Node &) {}) == RecordReader::Outcome::Stop)
                    break;
            }
            return true;
        },
        false);
}

}  // namespace gatework
