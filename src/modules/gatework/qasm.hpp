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
#include "records.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace gatework::qasm {

// The largest number of qubits (or classical bits) a register map may hold.
constexpr long long kMaxRegisterSpan = 1LL << 20;

// -- small helpers ------------------------------------------------------------

inline nb::object substr(PyObject *s, Py_ssize_t b, Py_ssize_t e) { return vx::own(PyUnicode_Substring(s, b, e)); }
// PyUnicode_Splitlines, keeping no line ends.
inline nb::object split_lines(nb::handle text) { return vx::own(PyUnicode_Splitlines(text.ptr(), 0)); }
inline nb::object stripped(nb::handle text) { return vx::call_method(text, "strip", {}); }

// Feeds the stripped program text to a reader line by line (looking for
// Ctrl-C every few thousand lines) and returns what the reader completes.
template <class LineReader> nb::object read_lines(LineReader &reader, nb::handle text) {
    nb::object lines = split_lines(stripped(text));
    for (Py_ssize_t ln = 0; ln < PyList_GET_SIZE(lines.ptr()); ++ln) {
        vx::poll_signals(ln, 1 << 12);
        reader.read_line(PyList_GET_ITEM(lines.ptr(), ln));
    }
    return reader.finish();
}

// The str() of an object for a message; never fails.
inline std::string text(nb::handle o) { return vx::describe(o.ptr(), false); }

// The UTF-8 bytes of a str, lone surrogates (which a text may hold) kept:
// a key under which a name is looked up.
inline std::string utf8_key(nb::handle s) {
    nb::object bytes = vx::own(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

inline bool equals_text(nb::handle o, const char *text) {
    return PyUnicode_Check(o.ptr()) && PyUnicode_CompareWithASCIIString(o.ptr(), text) == 0;
}

// A register size as a C integer, refusing what no map can hold.
long long checked_size(nb::handle size);

// Whether the line declares registers (outside a comment); `other` tells
// whether anything else stands in its code.  parse_openqasm2_regs removes
// exactly the lines that declare.
bool declares(const View &v, bool &other);

// -- messages -------------------------------------------------------------------

[[noreturn]] void unrecognized(nb::handle word);
// The shorter message (no request to contact the developer) of one refusal
// only: a whole-register barrier of the single-register reader that names
// no declared register.
[[noreturn]] void unrecognized_line(nb::handle line);
[[noreturn]] void wrong_param_count(nb::handle gate, long long expected, long long got);
[[noreturn]] void count_error(nb::handle gate, long long want, long long got);
[[noreturn]] void length_error(nb::handle gate, int want);
[[noreturn]] void measure_parse_error();
// KeyError naming a register ("quantum" or "classical") that is not
// declared, or an index it does not have.
[[noreturn]] void undeclared_register(const char *kind, nb::handle name);
[[noreturn]] void index_out_of_range(const char *kind, nb::handle name, nb::handle index, nb::handle size);

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

// Splits [b, e) of `src` at commas and finds the operands of every piece:
// each indexed reference in it, or the stripped piece as a whole register.
void collect_operands(PyObject *src, Py_ssize_t b, Py_ssize_t e, std::vector<Operand> &out);
// The operands of a statement the readers accept: [b, e) is a comma-separated
// list of register names, each with an optional index, blanks allowed between
// the tokens.  False, with `out` partly filled, for any other text.
bool parse_operands(PyObject *src, Py_ssize_t b, Py_ssize_t e, std::vector<Operand> &out);

// The operand list of a Python-level operand text; none when it cannot be split.
void operands_of_object(nb::handle qregs_str, std::vector<Operand> &ops, std::vector<nb::object> &keep);

// Looks operands up in a register map, caching what it read.
// `kind` ("quantum" or "classical") names the registers in messages.
class RegisterLookup {
public:
    RegisterLookup(nb::handle map, const char *kind) : map_(map), kind_(kind) {}

    // The merged index of name[digits]; KeyError naming the register (and
    // the index) when the map lacks either.
    PyObject *indexed(const Operand &op);
    // All merged indices of a whole register, or nullptr when not declared.
    const std::vector<nb::object> *whole(const Operand &op);
    // The KeyError of a register name the map lacks.
    [[noreturn]] void undeclared(const Operand &op);

private:
    struct Entry {
        nb::object name;
        nb::object inner;
        std::vector<nb::object> vals;
        bool whole_known = false, declared = false;
        std::vector<nb::object> all;
    };
    nb::handle map_;
    const char *kind_;
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

// Fills `pos` from the operand list; `measure` selects the two-list form
// (qubits, classical bits).  A whole register the map lacks gives no operand
// (an empty list for measure), or the KeyError of `undeclared` when `strict`.
void resolve_positions(bool measure, const std::vector<Operand> &ops, RegisterLookup &qlook, RegisterLookup &clook,
                       Positions &pos, bool strict);

// gatework's gate-kind classifier (the one the module offers the others).
const vx::dagapi::Api &classifier();

// What a statement of a gate takes: its parameters (-1: not fixed) and its
// qubits (0: any number).  False for a word that is no gate of the tables and
// none of u1, u2, cu1, delay, reset and barrier.
struct Arity {
    int nparams = -1;
    int nqubits = 0;
};
bool statement_arity(const vx::dagapi::GateKind &kind, nb::handle word, Arity &out);
// Whether the readers take a statement starting with `word` for something
// other than a custom gate call, so that a gate of that name could never be
// called.
bool read_before_custom_gates(const vx::dagapi::GateKind &kind, nb::handle word);

// -- gate definitions (qasm_custom.cpp) ------------------------------------------

// The custom gates of a program as parse_openqasm2_custom_gates returns them
// (the table and the text without the definitions) and, when the module's own
// function read them, how many of each gate's formal names are parameters.
struct CustomGates {
    nb::object table, text;
    std::unordered_map<std::string, int> nparams;  // by the UTF-8 of the name
};
// parse_openqasm2_custom_gates, as the module's name holds it, on `text`.
CustomGates read_custom_gates(const vx::Args &a, nb::handle text);
nb::object parse_openqasm2_custom_gates(const vx::Args &a);

// The module functions of the operand stage, for "is the name still ours".
nb::object sparse_gate_params_qregs(const vx::Args &a);
nb::object get_positions_list(const vx::Args &a);

}  // namespace gatework::qasm
