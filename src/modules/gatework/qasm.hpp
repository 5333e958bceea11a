// What the stages of the OpenQASM 2.0 input share: small object helpers, the
// messages the readers raise, and the statement and operand scanners used by
// the operand functions and by both program readers.
//
// The stages, one file each: qasm_registers.cpp (register declarations and
// maps), qasm_custom.cpp (gate definitions), qasm_operands.cpp (one statement
// and its operands), qasm_reader.cpp (what both program readers do with a
// statement), qasm_program.cpp and qasm_dump.cpp (the two program readers).
#pragma once

#include "expression.hpp"
#include "qasm_scan.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace gatework::qasm {

// The largest number of qubits (or classical bits) a register map may hold.
constexpr long long kMaxRegisterSpan = 1LL << 20;

// -- small helpers ------------------------------------------------------------

inline nb::object substr(PyObject *s, Py_ssize_t b, Py_ssize_t e) { return vx::own(PyUnicode_Substring(s, b, e)); }
inline nb::object str_of(const char *s) { return vx::own(PyUnicode_FromString(s)); }
inline nb::object int_of(long long v) { return vx::own(PyLong_FromLongLong(v)); }

inline std::string to_std(nb::handle o) {
    nb::object s = vx::own(PyObject_Str(o.ptr()));
    return std::string(vx::utf8(s));
}

// PyUnicode_Splitlines, keeping no line ends.
inline nb::object split_lines(nb::handle text) { return vx::own(PyUnicode_Splitlines(text.ptr(), 0)); }
inline nb::object stripped(nb::handle text) { return vx::own(PyObject_CallMethod(text.ptr(), "strip", nullptr)); }

inline bool is_own(nb::handle f, vx::Impl impl) {
    return vx::is_function(f.ptr()) && reinterpret_cast<vx::Function *>(f.ptr())->impl == impl;
}

// Python's `a in d` for a dict (or any container).
inline bool contains(nb::handle container, nb::handle key) {
    int r = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.ptr())
                                               : PySequence_Contains(container.ptr(), key.ptr());
    vx::check(r);
    return r != 0;
}

inline Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Size(o.ptr());
    if (n < 0)
        throw vx::error_already_set{};
    return n;
}

inline bool equals_text(nb::handle o, const char *text) {
    return PyUnicode_Check(o.ptr()) && PyUnicode_CompareWithASCIIString(o.ptr(), text) == 0;
}

// A register size as a C integer, refusing what no map can hold.
long long checked_size(nb::handle size);

// -- messages -------------------------------------------------------------------

[[noreturn]] void unrecognized(nb::handle word);
[[noreturn]] void unrecognized_line(nb::handle line);
[[noreturn]] void wrong_param_count(nb::handle gate, long long expected, long long got);
[[noreturn]] void count_error(nb::handle gate, long long want, long long got);
[[noreturn]] void length_error(nb::handle gate, int want);
[[noreturn]] void measure_parse_error();

// -- one statement (qasm_operands.cpp) ----------------------------------------------

enum class Form { None, Measure, Statement };

// Where the pieces of a statement lie in its line.
struct Split {
    Form form = Form::None;
    Py_ssize_t g0 = 0, g1 = 0;    // gate word (Statement)
    Py_ssize_t p0 = -1, p1 = -1;  // parameter text, -1 when absent
    Py_ssize_t q0 = 0, q1 = 0;    // operand text (Statement) / qubit operand (Measure)
    Py_ssize_t c0 = 0, c1 = 0;    // classical operand (Measure)
};

// The measure form or the general statement form of [b, e).
Split split_statement(const View &v, Py_ssize_t b, Py_ssize_t e);

// One operand of an operand text.
struct Operand {
    PyObject *src;  // the str it lies in (borrowed)
    bool indexed;
    Py_ssize_t n0, n1, d0, d1;  // name and index digits, or the whole piece in n0..n1
};

// Splits [b, e) of `src` at commas and finds the operands of every piece.
void collect_operands(PyObject *src, Py_ssize_t b, Py_ssize_t e, std::vector<Operand> &out);

// The operand list of a Python-level operand text; none when it cannot be split.
void operands_of_object(nb::handle qregs_str, std::vector<Operand> &ops, std::vector<nb::object> &keep);

// Looks operands up in a register map, caching what it read.
class RegisterLookup {
public:
    explicit RegisterLookup(nb::handle map) : map_(map) {}

    // The merged index of name[digits]; the host's KeyError when absent.
    PyObject *indexed(const Operand &op);
    // All merged indices of a whole register, or nullptr when not declared.
    const std::vector<nb::object> *whole(const Operand &op);

private:
    struct Entry {
        nb::object name;
        nb::object inner;
        std::vector<nb::object> vals;
        bool whole_known = false, declared = false;
        std::vector<nb::object> all;
    };
    nb::handle map_;
    std::unordered_map<std::string, Entry> cache_;
    std::vector<nb::object> keep_;
    std::string key_;

    Entry &entry(const Operand &op);
};

// Operand positions: a flat list of borrowed indices and where each operand starts.
struct Positions {
    std::vector<PyObject *> flat;
    std::vector<size_t> start;  // one entry per operand, plus the end
    size_t count() const { return start.empty() ? 0 : start.size() - 1; }
    size_t len(size_t k) const { return start[k + 1] - start[k]; }
    PyObject *at(size_t k, size_t i) const { return flat[start[k] + i]; }
    void clear() {
        flat.clear();
        start.clear();
    }
};

// Fills `pos` from the operand list; `measure` selects the two-list form.
void resolve_positions(bool measure, const std::vector<Operand> &ops, RegisterLookup &qlook, RegisterLookup &clook,
                       Positions &pos);

// The module functions of the operand stage, for "is the name still ours".
nb::object sparse_gate_params_qregs(const vx::Args &a);
nb::object get_positions_list(const vx::Args &a);

}  // namespace gatework::qasm
