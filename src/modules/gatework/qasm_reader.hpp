// What both program readers do with a statement once its gate word is known:
// classify the word, evaluate parameter texts, expand custom gate calls and
// complete the result (default classical bits, barrier trimming).
#pragma once

#include "qasm.hpp"
#include "records.hpp"

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gatework::qasm {

// How a statement is read, by its gate word.
enum Row {
    kOne = 1,  // one-qubit gates
    kTwo,      // two-qubit gates
    kThree,    // three-qubit gates
    kParam1,   // one-qubit parameter gates
    kU12,      // u1, u2
    kParam2,   // two-qubit parameter gates
    kCu1,      // cu1
    kDelay,
    kReset,
    kBarrier,
    kMeasure,
    kSkip,  // lines that are no statements: version, include, opaque, declarations
    kCustom,
    kUnknown
};

struct GateInfo {
    Row row = kUnknown;
    nb::object word;    // the gate word as written
    nb::object name;    // the record name
    int nparams = -1;   // the parameters it takes, -1 for any
    int nqubits = 0;    // the qubits it takes, 0 for any
    nb::object custom;  // the custom gate record
    bool is_u1 = false, is_u2 = false, is_u = false, is_r = false;
    // kSkip: a register declaration or gate definition, which the earlier
    // stages remove from the text; one left behind is one they could not read.
    bool declares = false;
};

// Refuses a call of the custom gate `g` with `nparams` parameters and
// `nqubits` qubit operands that do not fit its definition.
void check_custom_call(nb::handle word, const GateInfo &g, size_t nparams, size_t nqubits);

// Everything one reader call needs: the tables, the custom gates and the
// functions of the module as its names hold them now.
class Reader {
public:
    // `custom`: the program's custom gates, read before its statements.
    Reader(const vx::Args &a, const CustomGates &custom, bool dump);

    // What the gate word of a statement is.  The answers hold until the next
    // `new_statement`.
    const GateInfo &info(nb::handle word);
    // The same for a word given as ASCII bytes of a line.
    const GateInfo &info_ascii(std::string_view w);
    // Called before each statement, [b, e) of `line`: after a replaced module
    // function ran, the tables are read afresh.  The statement stays named by
    // the errors of its parameter texts until the next one.
    void new_statement(PyObject *line, Py_ssize_t b, Py_ssize_t e);
    // A replaced module function ran: it may have changed the tables.
    void foreign_code_ran() { foreign_ran_ = true; }
    // Whether the word starts a line that is no statement; `declares` tells a
    // register declaration or gate definition from the lines that pass.
    bool is_skip(nb::handle word, bool &declares) const;

    // One parameter text (a piece of a line) evaluated as parse_expression
    // does; a value that is not finite is refused, naming the gate word.
    nb::object eval(nb::handle word, PyObject *src, Py_ssize_t b, Py_ssize_t e);
    // Parameters of a parenthesised text split at commas, after the count
    // check; a text of blanks only holds none.  A delay's duration must not
    // be negative.
    void params_of(nb::handle gate_word, const GateInfo &g, PyObject *src, Py_ssize_t b, Py_ssize_t e,
                   std::vector<nb::object> &out);

    void append(nb::object rec) { vx::check(PyList_Append(new_.ptr(), rec.ptr())); }
    void use_qubit(PyObject *q) { vx::check(PyList_Append(qubit_used_.ptr(), q)); }
    void use_cbit(PyObject *c) { vx::check(PyList_Append(cbit_used_.ptr(), c)); }

    // (head..., mid..., tail...)
    static nb::object tuple(std::initializer_list<PyObject *> head, const std::vector<nb::object> *mid = nullptr,
                            std::initializer_list<PyObject *> tail = {});

    // The records of one application of a custom gate body.
    void expand(nb::handle gate_word, const GateInfo &g, const std::vector<nb::object> &params,
                const std::vector<PyObject *> &qubits);

    // The result triple; `trim` trims barriers to the qubits used.
    nb::object finish(bool trim);

    nb::object pi_, half_pi_, zero_, barrier_, u_;

private:
    using Bound = std::vector<std::pair<nb::object, PyObject *>>;

    nb::handle custom_;
    const std::unordered_map<std::string, int> *custom_nparams_;
    bool dump_;
    GateKinds kinds_;
    bool foreign_ran_ = false;  // a replaced module function ran since the tables were read
    nb::handle np_, re_;
    nb::handle parse_expression_;
    bool own_eval_;
    nb::object qubit_used_, cbit_used_, new_;
    std::unordered_map<std::string, GateInfo> infos_;
    std::string key_;

    PyObject *line_ = nullptr;  // the statement: [b, e) of the line being read
    Py_ssize_t stmt_b_ = 0, stmt_e_ = 0;

    nb::object call_parse_expression(nb::handle text);
    // An error evaluating a parameter text, now being raised, gains where the
    // text stands: `where` ("the parameter '1/0' of the statement"), then the
    // current statement.
    void locate_error(const std::function<std::string()> &where) const;
    GateInfo classify(nb::handle word);
    void classify_other(nb::handle word, GateInfo &g);
    nb::object finite(nb::handle word, nb::handle piece, nb::object value);
    // ValueError naming the delay `what` when its duration `value` (written
    // as `piece`, when known) is negative.
    void duration(const std::string &what, nb::handle piece, nb::handle value);
    // The value of one argument text of a body instruction.
    nb::object body_value(nb::handle text, const Bound &bind, const std::vector<Binding> &binds);
    // A text with every bound name replaced by its value, for a replaced
    // parse_expression that knows no bindings.
    nb::object substitute(nb::handle text, const Bound &bind);
    // Appends the records of one body instruction in the shapes of the gate
    // records: a barrier over a tuple, a delay and a reset per qubit.
    void body_record(nb::handle gate_word, nb::handle bname, const std::vector<nb::object> &args);
    nb::object trimmed(nb::handle qset);
};

}  // namespace gatework::qasm
