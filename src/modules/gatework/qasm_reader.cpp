// What both program readers do with a statement once its gate word is known.
#include "qasm_reader.hpp"
#include "reader_checks.hpp"

namespace gatework::qasm {

// The classifier this module offers the others, asked directly: fetching the
// offer through the package from inside the module would keep a reference to
// the module in a static that outlives the interpreter.
const vx::dagapi::Api &classifier() {
    static const vx::dagapi::Api api = {vx::dagapi::kVersion, classify_c, check_records_c, nullptr, nullptr};
    return api;
}

[[noreturn]] void unrecognized(nb::handle word) {
    vx::value_error("Sorry, an unrecognized OpenQASM 2.0 syntax " + text(word) +
                    " was detected by vexalcircuit. Please contact the developer for assistance.");
}
[[noreturn]] void unrecognized_line(nb::handle line) {
    vx::value_error("Sorry, an unrecognized OpenQASM 2.0 syntax " + text(line) + " was detected by vexalcircuit.");
}
[[noreturn]] void wrong_param_count(nb::handle gate, long long expected, long long got) {
    vx::value_error(text(gate) + " takes " + std::to_string(expected) + " parameter(s), but got " +
                    std::to_string(got) + ".");
}
[[noreturn]] void count_error(nb::handle gate, long long want, long long got) {
    vx::value_error(text(gate) + " takes " + std::to_string(want) + " quantum arguments, but got " +
                    std::to_string(got) + ".");
}
[[noreturn]] void length_error(nb::handle gate, int want) {
    vx::value_error(text(gate) + " takes " + std::to_string(want) + " different quantum arguments length.");
}
[[noreturn]] void undeclared_register(const char *kind, nb::handle name) {
    vx::raise(PyExc_KeyError, std::string(kind) + " register " + text(name) + " is not declared");
}
[[noreturn]] void index_out_of_range(const char *kind, nb::handle name, nb::handle index, nb::handle size) {
    vx::raise(PyExc_KeyError, "index " + text(index) + " is out of range for " + kind + " register " + text(name) +
                                  " of size " + text(size));
}

void check_custom_call(nb::handle word, const GateInfo &g, size_t nparams, size_t nqubits) {
    const std::string gate = "custom gate " + text(word);
    nb::object pq = vx::own(PyObject_GetItem(g.custom.ptr(), vx::str_obj("params_and_qregs").ptr()));
    const auto want = static_cast<size_t>(vx::length(pq));
    if (g.nparams >= 0 && static_cast<size_t>(g.nparams) <= want) {
        // the definition tells its parameters from its qubits
        if (nparams != static_cast<size_t>(g.nparams))
            vx::value_error(gate + " takes " + std::to_string(g.nparams) + " parameter(s), but got " +
                            std::to_string(nparams) + ".");
        if (nqubits != want - static_cast<size_t>(g.nparams))
            vx::value_error(gate + " takes " + std::to_string(want - static_cast<size_t>(g.nparams)) +
                            " quantum arguments, but got " + std::to_string(nqubits) + ".");
        return;
    }
    if (want != nparams + nqubits)
        vx::value_error(gate + " takes " + std::to_string(want) + " arguments, but got " +
                        std::to_string(nparams + nqubits) + ".");
}

Reader::Reader(const vx::Args &a, const CustomGates &custom, bool dump)
    : custom_(custom.table), custom_nparams_(custom.nparams.empty() ? nullptr : &custom.nparams), dump_(dump),
      kinds_(classifier(), a.func()->globals) {
    np_ = a.global("np");
    re_ = a.global("re");
    pi_ = vx::getattr(np_, "pi");
    half_pi_ = vx::own(PyNumber_TrueDivide(pi_.ptr(), vx::int_obj(2).ptr()));
    parse_expression_ = a.global("parse_expression");
    own_eval_ = is_own_parse_expression(parse_expression_.ptr());
    zero_ = vx::int_obj(0);
    barrier_ = vx::str_obj("barrier");
    u_ = vx::str_obj("u");
    qubit_used_ = vx::own(PyList_New(0));
    cbit_used_ = vx::own(PyList_New(0));
    new_ = vx::own(PyList_New(0));
}

void Reader::new_statement(PyObject *line, Py_ssize_t b, Py_ssize_t e) {
    line_ = line;
    stmt_b_ = b;
    stmt_e_ = e;
    if (!foreign_ran_)
        return;
    foreign_ran_ = false;
    infos_.clear();
    kinds_.forget();
}

const GateInfo &Reader::info(nb::handle word) {
    key_ = utf8_key(word);
    auto it = infos_.find(key_);
    if (it != infos_.end())
        return it->second;
    GateInfo g = classify(word);
    return infos_.emplace(key_, std::move(g)).first->second;
}

// The same for a word given as ASCII bytes of a line.
const GateInfo &Reader::info_ascii(std::string_view w) {
    key_.assign(w);
    auto it = infos_.find(key_);
    if (it != infos_.end())
        return it->second;
    nb::object word = vx::own(PyUnicode_FromStringAndSize(w.data(), static_cast<Py_ssize_t>(w.size())));
    GateInfo g = classify(word);
    return infos_.emplace(key_, std::move(g)).first->second;
}

// The errors a parameter text's evaluation raises.  A replaced
// parse_expression may raise others (its own kinds), which pass unchanged.
static bool is_evaluation_error(PyObject *type) {
    for (PyObject *t : {PyExc_SyntaxError, PyExc_NameError, PyExc_ValueError, PyExc_ZeroDivisionError, PyExc_TypeError,
                        PyExc_OverflowError})
        if (type == t)
            return true;
    return false;
}

// `text` + `suffix`, or null (no error set) when `text` is no str.
// The message an exception shows (its only argument, or a SyntaxError's
// msg and first argument) with `suffix` appended.  The message a ValueError
// of the evaluator gives is said of a statement's parameters.
static void relabel(PyObject *type, PyObject *value, const std::string &suffix) {
    nb::object args = vx::getattr(value, "args");
    const Py_ssize_t n = PyTuple_Check(args.ptr()) ? PyTuple_GET_SIZE(args.ptr()) : 0;
    if (n == 0 || !PyUnicode_Check(PyTuple_GET_ITEM(args.ptr(), 0)) || (n > 1 && type != PyExc_SyntaxError))
        return;
    std::string message = text(PyTuple_GET_ITEM(args.ptr(), 0));
    if (type == PyExc_ValueError)
        message = statement_terms(std::move(message));
    message += suffix;
    nb::object msg = vx::str_obj(message);
    nb::object fresh = vx::own(PyTuple_New(n));
    PyTuple_SET_ITEM(fresh.ptr(), 0, nb::object(msg).release().ptr());
    for (Py_ssize_t k = 1; k < n; ++k) {
        Py_INCREF(PyTuple_GET_ITEM(args.ptr(), k));
        PyTuple_SET_ITEM(fresh.ptr(), k, PyTuple_GET_ITEM(args.ptr(), k));
    }
    vx::setattr(value, "args", fresh);
    if (type == PyExc_SyntaxError)
        vx::setattr(value, "msg", msg);
}

void Reader::locate_error(const std::function<std::string()> &where) const {
    if (!PyErr_Occurred())
        return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && is_evaluation_error(type)) {
        try {
            std::string suffix = ", in " + where();
            if (line_)
                suffix += " " + vx::describe(substr(line_, stmt_b_, stmt_e_).ptr());
            relabel(type, value, suffix);
        } catch (const vx::error_already_set &) {
            PyErr_Clear();  // the message stays as it was
        }
    }
    PyErr_Restore(type, value, tb);
}

nb::object Reader::eval(nb::handle word, PyObject *src, Py_ssize_t b, Py_ssize_t e) {
    nb::object value;
    try {
        if (!own_eval_)
            value = call_parse_expression(substr(src, b, e));
        else if (View v(src); v.ascii)
            value = evaluate_ascii_expression(v.bytes(b, e), pi_.ptr(), nullptr, 0);
        else
            value = evaluate_expression(substr(src, b, e), np_, re_, nullptr, 0);
    } catch (const vx::error_already_set &) {
        locate_error(
            [&] { return "the parameter " + vx::describe(stripped(substr(src, b, e)).ptr()) + " of the statement"; });
        throw;
    }
    if (!is_nonfinite(value.ptr()))
        return value;
    return finite(word, substr(src, b, e), value);
}

// `value`, the value of the parameter text `piece` of the statement `word`,
// when it is finite; ValueError otherwise.
nb::object Reader::finite(nb::handle word, nb::handle piece, nb::object value) {
    if (is_nonfinite(value.ptr()))
        vx::value_error(text(word) + ": parameter " + text(PyUnicode_Check(piece.ptr()) ? stripped(piece) : piece) +
                        " is not a finite number (" + text(value) + ")");
    return value;
}

// `value`, the duration of a delay (written as `piece`, when known), when it
// is no negative number.
void Reader::duration(const std::string &what, nb::handle piece, nb::handle value) {
    if (!is_negative_number(value.ptr()))
        return;
    std::string shown = piece.is_valid() ? text(stripped(piece)) + " (" + text(value) + ")" : text(value);
    vx::value_error(what + ": duration " + shown + " is negative; a delay lasts 0 seconds or more");
}

// Parameters of a parenthesised text split at commas, after the count check.
void Reader::params_of(nb::handle gate_word, const GateInfo &g, PyObject *src, Py_ssize_t b, Py_ssize_t e,
                       std::vector<nb::object> &out) {
    out.clear();
    if (b >= 0) {
        Py_ssize_t sb = b, se = e;
        strip_range(View(src), sb, se);
        if (sb == se)
            b = -1;  // "()" holds no parameters
    }
    if (b < 0) {
        if (g.nparams > 0)
            wrong_param_count(gate_word, g.nparams, 0);
        return;
    }
    View v(src);
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> pieces;
    Py_ssize_t s = b;
    for (Py_ssize_t i = b;; ++i)
        if (i == e || v[i] == ',') {
            pieces.emplace_back(s, i);
            if (i == e)
                break;
            s = i + 1;
        }
    if (g.nparams >= 0 && static_cast<int>(pieces.size()) != g.nparams)
        wrong_param_count(gate_word, g.nparams, static_cast<long long>(pieces.size()));
    for (auto &[pb, pe] : pieces)
        out.push_back(eval(gate_word, src, pb, pe));
    if (g.row == kDelay)
        duration(text(gate_word), substr(src, pieces[0].first, pieces[0].second), out[0]);
}

// (head..., mid..., tail...)
nb::object Reader::tuple(std::initializer_list<PyObject *> head, const std::vector<nb::object> *mid,
                         std::initializer_list<PyObject *> tail) {
    Py_ssize_t n = static_cast<Py_ssize_t>(head.size() + (mid ? mid->size() : 0) + tail.size());
    nb::object t = vx::own(PyTuple_New(n));
    Py_ssize_t k = 0;
    auto put = [&](PyObject *o) {
        Py_INCREF(o);
        PyTuple_SET_ITEM(t.ptr(), k++, o);
    };
    for (PyObject *o : head)
        put(o);
    if (mid)
        for (const nb::object &m : *mid)
            put(m.ptr());
    for (PyObject *o : tail)
        put(o);
    return t;
}

// A call gives each qubit to one argument only, whether or not the body uses
// them all: the gate acts on each of its qubits once.  `names` holds the
// formal names, the parameters first.
namespace {
void distinct_qubits(nb::handle gate_word, nb::handle names, size_t nparams, const std::vector<PyObject *> &qubits) {
    PyObject *q = repeated_qubit(qubits.data(), static_cast<int>(qubits.size()));
    if (!q)
        return;
    const std::string what = "custom gate " + text(gate_word);
    std::vector<std::string> args;
    const Py_ssize_t nnames = PySequence_Fast_GET_SIZE(names.ptr());
    for (size_t k = 0; k < qubits.size(); ++k) {
        const auto at = static_cast<Py_ssize_t>(nparams + k);
        if (qubits[k] == q || vx::equal(qubits[k], q)) {
            if (at >= nnames)
                repeated_qubit_error(what, q);  // a table whose names do not say which
            args.push_back(text(PySequence_Fast_GET_ITEM(names.ptr(), at)));
        }
    }
    std::string listed = args[0];
    for (size_t k = 1; k < args.size(); ++k)
        listed += (k + 1 == args.size() ? " and " : ", ") + args[k];
    vx::value_error(what + " uses qubit " + text(q) + " more than once, as its qubit arguments " + listed);
}
}  // namespace

// The records of one application of a custom gate body.
void Reader::expand(nb::handle gate_word, const GateInfo &g, const std::vector<nb::object> &params,
                    const std::vector<PyObject *> &qubits) {
    nb::object pq = vx::getitem(g.custom, vx::str_obj("params_and_qregs"));
    nb::object defn = vx::getitem(g.custom, vx::str_obj("definition"));
    nb::object names = vx::own(PySequence_Fast(pq.ptr(), "params_and_qregs must be a sequence"));
    Py_ssize_t nnames = PySequence_Fast_GET_SIZE(names.ptr());
    distinct_qubits(gate_word, names, params.size(), qubits);
    // The binding: a later duplicate name wins, as in a dict.
    std::vector<std::pair<nb::object, PyObject *>> bind;
    size_t nvalues = params.size() + qubits.size();
    for (Py_ssize_t k = 0; k < nnames && static_cast<size_t>(k) < nvalues; ++k) {
        nb::handle nm = PySequence_Fast_GET_ITEM(names.ptr(), k);
        PyObject *val = static_cast<size_t>(k) < params.size() ? params[static_cast<size_t>(k)].ptr()
                                                               : qubits[static_cast<size_t>(k) - params.size()];
        bool replaced = false;
        for (auto &b : bind) {
            int eq = PyObject_RichCompareBool(b.first.ptr(), nm.ptr(), Py_EQ);
            vx::check(eq);
            if (eq) {
                b.second = val;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            bind.emplace_back(nb::borrow(nm), val);
    }
    std::vector<Binding> binds;
    for (auto &b : bind) {
        Py_ssize_t n;
        const char *name = PyUnicode_Check(b.first.ptr()) ? PyUnicode_AsUTF8AndSize(b.first.ptr(), &n) : nullptr;
        if (name)
            binds.push_back({std::string_view(name, static_cast<size_t>(n)), b.second});
        PyErr_Clear();  // a name no text can hold binds nothing
    }

    nb::object it = vx::own(PyObject_GetIter(defn.ptr()));
    std::vector<nb::object> args;
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object ins = nb::steal(raw);
        nb::object seq = vx::own(PySequence_Fast(ins.ptr(), "a body instruction must be a sequence"));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        if (n == 0)
            continue;
        nb::handle bname = PySequence_Fast_GET_ITEM(seq.ptr(), 0);
        args.clear();
        for (Py_ssize_t k = 1; k < n; ++k) {
            nb::handle arg = PySequence_Fast_GET_ITEM(seq.ptr(), k);
            nb::object v;
            try {
                v = body_value(arg, bind, binds);
            } catch (const vx::error_already_set &) {
                locate_error([&] {
                    return "the parameter " + vx::describe(arg.ptr()) + " of " + text(bname) +
                           " in the body of custom gate " + text(gate_word) + ", called by the statement";
                });
                throw;
            }
            args.push_back(finite(gate_word, arg, std::move(v)));
        }
        body_record(gate_word, bname, args);
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};
}

nb::object Reader::finish(bool trim) {
    if (PyList_GET_SIZE(cbit_used_.ptr()) == 0) {
        nb::object distinct = vx::own(PySet_New(qubit_used_.ptr()));
        Py_ssize_t n = PySet_GET_SIZE(distinct.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            use_cbit(vx::int_obj(i).ptr());
    }
    nb::object qset = vx::own(PySet_New(qubit_used_.ptr()));
    nb::object cset = vx::own(PySet_New(cbit_used_.ptr()));
    nb::object gates = trim ? trimmed(qset) : new_;
    return vx::own(PyTuple_Pack(3, gates.ptr(), qset.ptr(), cset.ptr()));
}

// The gate list with every barrier cut to the qubits in `qset`; a barrier
// left without qubits is dropped.
nb::object Reader::trimmed(nb::handle qset) {
    nb::object gates = vx::own(PyList_New(0));
    Py_ssize_t n = PyList_GET_SIZE(new_.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *rec = PyList_GET_ITEM(new_.ptr(), i);
        if (!(PyTuple_Check(rec) && PyTuple_GET_SIZE(rec) == 2 && equals_text(PyTuple_GET_ITEM(rec, 0), "barrier"))) {
            vx::check(PyList_Append(gates.ptr(), rec));
            continue;
        }
        nb::object kept = vx::own(PyList_New(0));
        nb::object it = vx::own(PyObject_GetIter(PyTuple_GET_ITEM(rec, 1)));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object q = nb::steal(raw);
            int in = PySet_Contains(qset.ptr(), q.ptr());
            vx::check(in);
            if (in)
                vx::check(PyList_Append(kept.ptr(), q.ptr()));
        }
        if (PyErr_Occurred())
            throw vx::error_already_set{};
        if (PyList_GET_SIZE(kept.ptr()) == 0)
            continue;
        nb::object qs = vx::own(PyList_AsTuple(kept.ptr()));
        vx::check(PyList_Append(gates.ptr(), tuple({barrier_.ptr(), qs.ptr()}).ptr()));
    }
    return gates;
}

nb::object Reader::call_parse_expression(nb::handle text) {
    foreign_ran_ = true;
    return vx::own(PyObject_CallOneArg(parse_expression_.ptr(), text.ptr()));
}

bool statement_arity(const vx::dagapi::GateKind &kind, nb::handle word, Arity &out) {
    using namespace vx::dagapi;
    auto is = [&](const char *t) { return PyUnicode_CompareWithASCIIString(word.ptr(), t) == 0; };
    if (kind.in(kOneQubitTable))
        out = {0, 1};
    else if (kind.in(kTwoQubitTable))
        out = {0, 2};
    else if (kind.in(kThreeQubitTable))
        out = {0, 3};
    else if (kind.in(kOneQubitParamTable))
        out = {is("u") || is("u3") ? 3 : is("r") ? 2 : (is("rx") || is("ry") || is("rz") || is("p")) ? 1 : -1, 1};
    else if (is("u1"))
        out = {1, 1};
    else if (is("u2"))
        out = {2, 1};
    else if (kind.in(kTwoQubitParamTable) || is("cu1"))
        out = {1, 2};
    else if (is("delay"))
        out = {1, 1};
    else if (is("reset"))
        out = {0, 1};
    else if (is("barrier"))
        out = {0, 0};
    else
        return false;
    return true;
}

bool read_before_custom_gates(const vx::dagapi::GateKind &kind, nb::handle word) {
    if (kind.known())
        return true;
    for (const char *w : {"u1", "u2", "cu1", "delay", "reset", "barrier", "measure", "OPENQASM", "include", "opaque",
                          "gate", "qreg", "creg"})
        if (PyUnicode_CompareWithASCIIString(word.ptr(), w) == 0)
            return true;
    return false;
}

GateInfo Reader::classify(nb::handle word) {
    using namespace vx::dagapi;
    GateInfo g;
    g.word = nb::borrow(word);
    g.name = nb::borrow(word);
    auto is = [&](const char *t) { return PyUnicode_CompareWithASCIIString(word.ptr(), t) == 0; };
    const GateKind kind = kinds_.of(word.ptr());
    Arity ar;
    if (statement_arity(kind, word, ar)) {
        g.nparams = ar.nparams;
        g.nqubits = ar.nqubits;
    }
    if (kind.in(kOneQubitTable)) {
        g.row = kOne;
    } else if (kind.in(kTwoQubitTable)) {
        g.row = kTwo;
    } else if (kind.in(kThreeQubitTable)) {
        g.row = kThree;
    } else if (kind.in(kOneQubitParamTable)) {
        g.row = kParam1;
        g.is_u = is("u") || is("u3");
        g.is_r = is("r");
        if (g.is_u)
            g.name = u_;
    } else if (is("u1") || is("u2")) {
        g.row = kU12;
        g.is_u1 = is("u1");
        g.is_u2 = !g.is_u1;
        g.name = u_;
    } else if (kind.in(kTwoQubitParamTable)) {
        g.row = kParam2;
    } else {
        classify_other(word, g);
    }
    return g;
}

// The names no gate table decides: cu1, the functional statements, the
// lines that are no statements and the custom gates.
void Reader::classify_other(nb::handle word, GateInfo &g) {
    auto is = [&](const char *t) { return PyUnicode_CompareWithASCIIString(word.ptr(), t) == 0; };
    if (is("cu1")) {
        g.row = kCu1;
        g.name = vx::str_obj("cp");
    } else if (is("delay")) {
        g.row = kDelay;
    } else if (is("reset")) {
        g.row = kReset;
    } else if (is("barrier")) {
        g.row = kBarrier;
    } else if (is("measure")) {
        g.row = kMeasure;
    } else if (is_skip(word, g.declares)) {
        g.row = kSkip;
    } else if (vx::contains(custom_, word)) {
        g.row = kCustom;
        g.custom = vx::getitem(custom_, word);
        g.nparams = -1;
        g.nqubits = 0;
        if (custom_nparams_) {
            auto it = custom_nparams_->find(utf8_key(word));
            if (it != custom_nparams_->end())
                g.nparams = it->second;
        }
    }
}

bool Reader::is_skip(nb::handle word, bool &declares) const {
    for (const char *w : {"OPENQASM", "include", "opaque"})
        if (PyUnicode_CompareWithASCIIString(word.ptr(), w) == 0)
            return true;
    for (const char *w : {"gate", "qreg", "creg"})
        if (PyUnicode_CompareWithASCIIString(word.ptr(), w) == 0)
            return declares = true;
    return dump_ && PyUnicode_CompareWithASCIIString(word.ptr(), "//") == 0;
}

// The value of one argument text of a body instruction.
nb::object Reader::body_value(nb::handle text, const Bound &bind, const std::vector<Binding> &binds) {
    for (auto it = bind.rbegin(); it != bind.rend(); ++it) {
        int eq = PyObject_RichCompareBool(it->first.ptr(), text.ptr(), Py_EQ);
        vx::check(eq);
        if (eq)
            return nb::borrow(it->second);
    }
    if (!PyUnicode_Check(text.ptr())) {
        if (own_eval_)
            vx::type_error(std::string("Argument 'expr' has incorrect type (expected str, got ") +
                           vx::type_name(text.ptr()) + ")");
        return call_parse_expression(text);
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    bool digits = n > 0;
    if (PyUnicode_IS_ASCII(text.ptr())) {
        View v(text.ptr());
        for (Py_ssize_t i = 0; i < n && digits; ++i)
            digits = v[i] >= '0' && v[i] <= '9';
    } else {
        digits = vx::call_method(text, "isdigit", {}).ptr() == Py_True;
    }
    if (digits)
        return vx::own(PyLong_FromUnicodeObject(text.ptr(), 10));
    if (own_eval_)
        return evaluate_expression(text, np_, re_, binds.data(), binds.size());
    return call_parse_expression(substitute(text, bind));
}

// A text with every bound name replaced by its value, for a replaced
// parse_expression that knows no bindings.
nb::object Reader::substitute(nb::handle text, const Bound &bind) {
    View v(text.ptr());
    nb::object parts = vx::own(PyList_New(0));
    Py_ssize_t copied = 0;
    for (Py_ssize_t i = 0; i < v.n;) {
        if (!is_word_cp(v[i]) || (i > 0 && (is_word_cp(v[i - 1]) || v[i - 1] == '.'))) {
            ++i;
            continue;
        }
        Py_ssize_t j = i;
        while (j < v.n && is_word_cp(v[j]))
            ++j;
        nb::object w = substr(text.ptr(), i, j);
        PyObject *val = nullptr;
        for (auto it = bind.rbegin(); it != bind.rend() && !val; ++it) {
            int eq = PyObject_RichCompareBool(it->first.ptr(), w.ptr(), Py_EQ);
            vx::check(eq);
            if (eq)
                val = it->second;
        }
        if (val) {
            vx::check(PyList_Append(parts.ptr(), substr(text.ptr(), copied, i).ptr()));
            nb::object r = vx::own(PyUnicode_FromFormat("(%R)", val));
            vx::check(PyList_Append(parts.ptr(), r.ptr()));
            copied = j;
        }
        i = j;
    }
    vx::check(PyList_Append(parts.ptr(), substr(text.ptr(), copied, v.n).ptr()));
    return vx::own(PyUnicode_Join(vx::str_obj("").ptr(), parts.ptr()));
}

// Appends the records of one body instruction in the shapes of the gate
// records: a barrier over a tuple, a delay and a reset per qubit.
void Reader::body_record(nb::handle gate_word, nb::handle bname, const std::vector<nb::object> &args) {
    if (!PyUnicode_Check(bname.ptr())) {
        append(tuple({bname.ptr()}, &args));
        return;
    }
    const GateInfo &g = info(bname);
    size_t n = args.size();
    auto what = [&] { return "custom gate " + text(gate_word) + ": " + text(bname); };
    auto expect = [&](size_t want) {
        if (n != want)
            vx::value_error(what() + " takes " + std::to_string(want) + " arguments, but got " + std::to_string(n) +
                            ".");
    };
    auto distinct = [&](size_t first) {
        std::vector<PyObject *> qs;
        for (size_t k = first; k < n; ++k)
            qs.push_back(args[k].ptr());
        if (PyObject *q = repeated_qubit(qs.data(), static_cast<int>(qs.size())))
            repeated_qubit_error(what(), q);
    };
    switch (g.row) {
    case kOne:
    case kTwo:
    case kThree:
    case kParam2:
        expect(static_cast<size_t>(g.nparams + g.nqubits));
        distinct(static_cast<size_t>(g.nparams));
        append(tuple({g.name.ptr()}, &args));
        return;
    case kParam1:
        if (g.nparams >= 0)
            expect(static_cast<size_t>(g.nparams + 1));
        append(tuple({g.name.ptr()}, &args));
        return;
    case kBarrier: {
        nb::object qs = vx::own(PyTuple_New(static_cast<Py_ssize_t>(n)));
        for (size_t k = 0; k < n; ++k) {
            Py_INCREF(args[k].ptr());
            PyTuple_SET_ITEM(qs.ptr(), static_cast<Py_ssize_t>(k), args[k].ptr());
        }
        append(tuple({g.name.ptr(), qs.ptr()}));
        return;
    }
    case kDelay:
        if (n < 2)
            expect(2);
        duration(what(), nb::handle(), args[0]);
        for (size_t k = 1; k < n; ++k) {
            nb::object q = vx::own(PyTuple_Pack(1, args[k].ptr()));
            append(tuple({g.name.ptr(), args[0].ptr(), q.ptr()}));
        }
        return;
    case kReset:
        if (n < 1)
            expect(1);
        for (size_t k = 0; k < n; ++k)
            append(tuple({g.name.ptr(), args[k].ptr()}));
        return;
    case kMeasure: vx::value_error(what() + " cannot stand in a gate definition: a gate has no classical bits");
    default: append(tuple({bname.ptr()}, &args)); return;
    }
}

}  // namespace gatework::qasm
