// Reading gate records by their kind: the one place that knows where a
// record keeps its qubits, parameters and classical bits, and what makes a
// record sound.  The DAG-list builders read records through it, and the
// record check of the passes is the same reading with nothing built.
#pragma once

#include "dag_api.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace gatework {

using vx::dagapi::GateKind;
using vx::dagapi::GateKinds;
using vx::dagapi::RecordKind;

// The error texts of unsound records, shared by every reader.
[[noreturn]] void malformed(PyObject *rec, const std::string &why);
// A qubit operand that is not an integer (TypeError); `rec` null for the
// qubits list of a circuit.
[[noreturn]] void qubit_not_integer(PyObject *q, PyObject *rec);
// A qubit below 0 or not below nqubits.
[[noreturn]] void qubit_out_of_range(PyObject *q, long long nqubits, PyObject *rec);

// The package's rule for a qubit or classical-bit index (as the circuit class
// keeps it too): an operand that is not an integer (a bool is not one) is a
// TypeError, an integer out of range a ValueError.

// A qubit operand as an index in [0, nqubits).  `lenient`: an operand that is
// a float (or a bool) counts by its int() value, and the function returns
// false, not an error, for one that is not a number (the caller leaves the
// record alone).
bool qubit_index(PyObject *q, long long nqubits, PyObject *rec, std::int64_t &out, bool lenient = false);

// Whether a classical-bit operand is an integer by that rule (an int or an
// object with an index conversion, not a bool).
bool bit_integer(PyObject *o);

// A gate record as a tuple (a list is read as one); a record that is
// neither, or that has no gate name, is refused.
nb::object record_tuple(PyObject *rec);

// Whether an operand counts as a real number: an int, a float, or any
// object with a float or index conversion that is neither complex nor text.
bool real_number(PyObject *o);

// One gate node of a record: a measure record gives one per qubit (`part` is
// the qubit's place in it), every other record one.
struct Node {
    PyObject *rec;   // the record (a tuple)
    PyObject *name;  // its first element
    RecordKind kind;
    PyObject *const *qubit_objects;  // the operands as they stand
    const std::int64_t *qubits;      // their values
    std::size_t nqubits;
    PyObject *aux;  // a measure's classical bit, a delay's duration, else null
    Py_ssize_t part;
};

// How strictly a record is read.
struct ReadMode {
    bool values = false;  // angles, durations and classical bits are checked too
    vx::dagapi::CheckRules rules{};
};

class RecordReader {
public:
    RecordReader(GateKinds &kinds, long long nqubits, ReadMode mode = {})
        : kinds_(kinds), nqubits_(nqubits), mode_(mode) {}

    enum class Outcome { Read, Skipped, Stop };

    // Reads one record and hands its nodes to `emit(const Node &)`.  Skipped:
    // the rules leave the record to the pass; Stop: the pass reports this
    // record's name itself, so the check ends here.
    template <class Emit> Outcome read(PyObject *rec_in, Emit &&emit);

private:
    Outcome prepare(PyObject *rec_in);
    Outcome read_measure();
    Outcome read_span();
    Outcome read_gate();
    Outcome wrong_length();
    bool wires(PyObject *const *objs, std::size_t n, bool distinct);
    void check_angles(Py_ssize_t first, int count);

    GateKinds &kinds_;
    long long nqubits_;
    ReadMode mode_;
    // the record being read
    nb::object rec_, seq_, cbits_;  // the record as a tuple; its qubit and bit sequences
    PyObject *orig_ = nullptr;      // the record as given, for messages
    PyObject *name_ = nullptr;
    RecordKind kind_ = RecordKind::OneQubit;
    bool lenient_ = false;
    bool python_ran_ = false;  // reading the record ran Python code
    std::vector<std::int64_t> values_;
    std::vector<std::int64_t> sorted_;
};

template <class Emit> RecordReader::Outcome RecordReader::read(PyObject *rec_in, Emit &&emit) {
    const Outcome o = prepare(rec_in);
    if (o != Outcome::Read)
        return o;
    PyObject *r = rec_.ptr();
    switch (kind_) {
    case RecordKind::Measure: {
        PyObject *qs = seq_.ptr(), *cs = cbits_.ptr();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(qs); ++i)
            emit(Node{r, name_, kind_, &PyTuple_GET_ITEM(qs, i), values_.data() + i, 1, PyTuple_GET_ITEM(cs, i), i});
        break;
    }
    case RecordKind::Barrier:
    case RecordKind::Delay: {
        PyObject *ws = seq_.ptr();
        PyObject *aux = kind_ == RecordKind::Delay ? PyTuple_GET_ITEM(r, 1) : nullptr;
        emit(Node{r, name_, kind_, &PyTuple_GET_ITEM(ws, 0), values_.data(), values_.size(), aux, 0});
        break;
    }
    default: {
        // the qubits stand last in the record
        const Py_ssize_t n = static_cast<Py_ssize_t>(values_.size());
        emit(Node{r, name_, kind_, &PyTuple_GET_ITEM(r, PyTuple_GET_SIZE(r) - n), values_.data(), values_.size(),
                  nullptr, 0});
        break;
    }
    }
    return Outcome::Read;
}

// The record check (the capsule's `check`).
bool check_records_c(GateKinds &kinds, PyObject *gates, long long nqubits, const vx::dagapi::CheckRules &rules);
// The classifier (the capsule's `classify`).
bool classify_c(PyObject *const *tables, PyObject *name, GateKind &out);

}  // namespace gatework
