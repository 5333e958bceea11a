// Custom gate definitions: parse_openqasm2_custom_gates.  Definitions are
// read from the code only (comments are blanked first), so a comment never
// declares a gate or hides a body statement.
#include "qasm.hpp"
#include "records.hpp"

#include <algorithm>

namespace gatework::qasm {
namespace {

// Positions of one character, for "the next occurrence at or after i".
struct Occurrences {
    std::vector<Py_ssize_t> at;
    Py_ssize_t next(Py_ssize_t i, Py_ssize_t limit) const {
        auto it = std::lower_bound(at.begin(), at.end(), i);
        if (it == at.end() || *it >= limit)
            return -1;
        return *it;
    }
};

// [a-zA-Z0-9_,\s]
bool is_formal_cp(Py_UCS4 c) {
    if (c < 128)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ',' ||
               is_space_cp(c);
    return is_space_cp(c);
}

struct DefMatch {
    Py_ssize_t end;
    Py_ssize_t name0, name1;
    Py_ssize_t par0 = -1, par1 = -1;
    Py_ssize_t arg0, arg1;
    Py_ssize_t body0, body1;
};

struct DefScanner {
    const View &v;
    const Occurrences &close_paren, &close_brace;
    Py_ssize_t run_from = -1, run_to = -1;  // the last run of formal-argument characters

    Py_ssize_t formal_run_end(Py_ssize_t k) {
        if (k >= run_from && k < run_to)
            return run_to;
        Py_ssize_t r = k;
        while (r < v.n && is_formal_cp(v[r]))
            ++r;
        if (r > k) {
            run_from = k;
            run_to = r;
        }
        return r;
    }

    // "gate\s+(\w+)\s*(?:\(([^)]*)\))?\s*([a-zA-Z0-9_,\s]+)\s*\{([^}]*)\}" at p, with
    // at least one blank before the arguments when there is no parameter list.
    bool match(Py_ssize_t p, DefMatch &m) {
        Py_ssize_t i = p + 4;
        if (i >= v.n || !is_space_cp(v[i]))
            return false;
        while (i < v.n && is_space_cp(v[i]))
            ++i;
        m.name0 = i;
        while (i < v.n && is_word_cp(v[i]))
            ++i;
        m.name1 = i;
        if (m.name1 == m.name0)
            return false;
        Py_ssize_t j = i;
        while (j < v.n && is_space_cp(v[j]))
            ++j;
        Py_ssize_t ws_from, k;
        if (v[j] == '(' && j < v.n) {
            Py_ssize_t c = close_paren.next(j + 1, v.n);
            if (c < 0)
                return false;
            m.par0 = j + 1;
            m.par1 = c;
            ws_from = c + 1;
        } else {
            m.par0 = m.par1 = -1;
            ws_from = i;
        }
        k = ws_from;
        while (k < v.n && is_space_cp(v[k]))
            ++k;
        Py_ssize_t blanks = k - ws_from;
        Py_ssize_t need = m.par0 >= 0 ? 0 : 1;  // blanks before the arguments; none after ")"
        if (blanks < need)
            return false;
        Py_ssize_t r = formal_run_end(k);
        Py_ssize_t brace;
        if (r > k) {
            brace = r;
            m.arg0 = k;
            m.arg1 = r;
        } else {
            if (blanks < need + 1)
                return false;
            brace = k;
            m.arg0 = k - 1;
            m.arg1 = k;
        }
        if (brace >= v.n || v[brace] != '{')
            return false;
        Py_ssize_t close = close_brace.next(brace + 1, v.n);
        if (close < 0)
            return false;
        m.body0 = brace + 1;
        m.body1 = close;
        m.end = close + 1;
        return true;
    }
};

nb::object text_of(const std::vector<Py_UCS4> &buf, Py_ssize_t b, Py_ssize_t e) {
    return vx::own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buf.data() + b, e - b));
}

// Pieces of [b, e) split at `sep`, each stripped; empty pieces kept or not.
void split_stripped(const View &v, Py_ssize_t b, Py_ssize_t e, Py_UCS4 sep, bool keep_empty,
                    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> &out) {
    Py_ssize_t s = b;
    for (Py_ssize_t i = b;; ++i) {
        if (i == e || v[i] == sep) {
            Py_ssize_t pb = s, pe = i;
            strip_range(v, pb, pe);
            if (keep_empty || pe > pb)
                out.emplace_back(pb, pe);
            if (i == e)
                break;
            s = i + 1;
        }
    }
}

[[noreturn]] void parse_error(const std::vector<Py_UCS4> &buf, const View &v, Py_ssize_t b, Py_ssize_t e) {
    strip_range(v, b, e);
    vx::value_error("parse error " + text(text_of(buf, b, e)) + " !");
}

// Whether [b, e) is one word.
bool is_word(const View &v, Py_ssize_t b, Py_ssize_t e) {
    for (Py_ssize_t i = b; i < e; ++i)
        if (!is_word_cp(v[i]))
            return false;
    return e > b;
}

using Range = std::pair<Py_ssize_t, Py_ssize_t>;

// One statement of a gate body: the tuple (name, parameter texts..., operand
// names...) and where its pieces lie.
struct BodyStatement {
    nb::object tuple, name;
    std::vector<Range> params, operands;
};

// Reads one statement of a gate body.  Blanks and line breaks may stand
// between its tokens; its operands are names separated by commas.  A
// statement of any other shape, or whose name is in no gate table, is refused
// with "parse error ... !".
BodyStatement parse_instruction(const std::vector<Py_UCS4> &buf, const View &v, Py_ssize_t b, Py_ssize_t e,
                                GateKinds &kinds) {
    strip_range(v, b, e);
    while (e > b && v[e - 1] == ';')
        --e;
    Py_ssize_t i = b;
    while (i < e && is_word_cp(v[i]))
        ++i;
    if (i == b)
        parse_error(buf, v, b, e);
    BodyStatement st;
    st.name = text_of(buf, b, i);
    if (!kinds.of(st.name.ptr()).known())
        vx::value_error("parse error " + text(st.name) + " !");
    Py_ssize_t j = i;
    while (j < e && is_space_cp(v[j]))
        ++j;
    if (j < e && v[j] == '(') {
        Py_ssize_t c = j + 1;
        while (c < e && v[c] != ')')
            ++c;
        if (c == e)
            parse_error(buf, v, b, e);
        if (c > j + 1)
            split_stripped(v, j + 1, c, ',', true, st.params);
        i = c + 1;
    }
    split_stripped(v, i, e, ',', true, st.operands);
    for (auto &[pb, pe] : st.operands)
        if (!is_word(v, pb, pe))
            parse_error(buf, v, b, e);
    std::vector<nb::object> items{st.name};
    for (const std::vector<Range> *part : {&st.params, &st.operands})
        for (auto &[pb, pe] : *part)
            items.push_back(text_of(buf, pb, pe));
    st.tuple = vx::own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t k = 0; k < items.size(); ++k)
        PyTuple_SET_ITEM(st.tuple.ptr(), static_cast<Py_ssize_t>(k), items[k].release().ptr());
    return st;
}

// The formal names of one definition.
struct Formals {
    nb::object list = vx::own(PyList_New(0));  // parameters, then qubit arguments
    std::vector<std::u32string> params, qubits;
};

std::u32string name_at(const std::vector<Py_UCS4> &buf, Py_ssize_t b, Py_ssize_t e) {
    return std::u32string(buf.begin() + b, buf.begin() + e);
}

bool among(const std::vector<std::u32string> &names, const std::u32string &n) {
    return std::find(names.begin(), names.end(), n) != names.end();
}

// The formal names of [b, e) split at commas: parameters (`parameters`, as
// an empty list is no list) or qubit arguments.  Each must be one word.
void read_formals(const std::vector<Py_UCS4> &buf, const View &v, Py_ssize_t b, Py_ssize_t e, bool parameters,
                  Formals &out) {
    std::vector<Range> pieces;
    split_stripped(v, b, e, ',', parameters, pieces);
    for (auto &[pb, pe] : pieces) {
        if (!is_word(v, pb, pe))
            parse_error(buf, v, b, e);
        vx::check(PyList_Append(out.list.ptr(), text_of(buf, pb, pe).ptr()));
        (parameters ? out.params : out.qubits).push_back(name_at(buf, pb, pe));
    }
}

// A body statement must fit its gate and the definition's formal names: as
// many parameters and qubits as the gate takes, only qubit arguments as its
// qubits, and no qubit argument inside a parameter.
void check_body_statement(const std::vector<Py_UCS4> &buf, const View &v, const std::string &gate, const Formals &f,
                          const BodyStatement &st, GateKinds &kinds) {
    Arity ar;
    if (!statement_arity(kinds.of(st.name.ptr()), st.name, ar))
        return;  // measure: refused where the gate is called
    const std::string what = "gate " + gate + ": " + text(st.name);
    const auto nparams = static_cast<long long>(st.params.size()), nqubits = static_cast<long long>(st.operands.size());
    if (ar.nparams >= 0 && nparams != ar.nparams)
        vx::value_error(what + " takes " + std::to_string(ar.nparams) + " parameter(s), but got " +
                        std::to_string(nparams) + ".");
    if (ar.nqubits > 0 && nqubits != ar.nqubits)
        vx::value_error(what + " takes " + std::to_string(ar.nqubits) + " quantum arguments, but got " +
                        std::to_string(nqubits) + ".");
    for (auto &[pb, pe] : st.operands) {
        std::u32string n = name_at(buf, pb, pe);
        if (among(f.qubits, n))
            continue;
        std::string shown = text(text_of(buf, pb, pe));
        if (among(f.params, n))
            vx::value_error("gate " + gate + ": parameter " + shown + " is used as a qubit of " + text(st.name));
        vx::value_error(what + " acts on " + shown + ", which is not a qubit argument of " + gate);
    }
    // the names in a parameter text: words that are neither numbers nor
    // attributes (the pi of np.pi)
    for (auto &[pb, pe] : st.params)
        for (Py_ssize_t i = pb; i < pe;) {
            if (!is_word_cp(v[i])) {
                ++i;
                continue;
            }
            Py_ssize_t j = i;
            while (j < pe && is_word_cp(v[j]))
                ++j;
            if (!is_digit_cp(v[i]) && !(i > pb && v[i - 1] == '.') && among(f.qubits, name_at(buf, i, j)))
                vx::value_error("gate " + gate + ": qubit argument " + text(text_of(buf, i, j)) +
                                " is used as a parameter of " + text(st.name));
            i = j;
        }
}

// A formal name must be one the body can use: a number would be read as the
// number wherever the body writes it, and pi (or a name holding the sign π,
// which parameter texts read as pi) as the constant.  `kind` says which
// formal name it is, `shown` is the name as written.
void check_formal_name(const std::string &gate, const char *kind, const std::u32string &n, nb::handle shown) {
    const std::string what = "gate " + gate + ": the " + kind + " " + text(shown);
    if (is_digit_cp(n[0]))
        vx::value_error(what + " is not a name: a name starts with a letter");
    if (n == U"pi")
        vx::value_error(what + " takes the name of the constant pi; rename it");
    if (n.find(U'\u03c0') != std::u32string::npos)
        vx::value_error(what + " holds \u03c0, the sign of the constant pi; rename it");
}

// The custom gate record of one definition and its number of parameters.
// A definition is refused when no call could reach it (its name is one the
// readers take for something else) or when its names are mixed up.
nb::object read_definition(const std::vector<Py_UCS4> &buf, const View &v, const DefMatch &m, nb::handle name,
                           GateKinds &kinds, int &nparams) {
    const std::string gate = text(name);
    const GateKind &kind = kinds.of(name.ptr());
    if (read_before_custom_gates(kind, name)) {
        Arity ar;
        const bool gate_word = kind.known() || statement_arity(kind, name, ar);
        vx::value_error("gate " + gate + ": " + gate + " is a built-in " + (gate_word ? "gate" : "statement") +
                        " and cannot be redefined; rename the definition" +
                        (gate_word ? ", or remove it to use the built-in " + gate : std::string()));
    }
    Formals f;
    if (m.par0 >= 0 && m.par1 > m.par0)
        read_formals(buf, v, m.par0, m.par1, true, f);
    read_formals(buf, v, m.arg0, m.arg1, false, f);
    nparams = static_cast<int>(f.params.size());
    for (size_t i = 0; i < f.params.size() + f.qubits.size(); ++i) {
        const std::u32string &n = i < f.params.size() ? f.params[i] : f.qubits[i - f.params.size()];
        check_formal_name(gate, i < f.params.size() ? "parameter" : "qubit argument", n,
                          vx::own(PySequence_GetItem(f.list.ptr(), static_cast<Py_ssize_t>(i))));
        size_t first = 0;
        while (first < i && (first < f.params.size() ? f.params[first] : f.qubits[first - f.params.size()]) != n)
            ++first;
        if (first < i)
            vx::value_error("gate " + gate + ": the argument " +
                            text(vx::own(PySequence_GetItem(f.list.ptr(), static_cast<Py_ssize_t>(i)))) +
                            " is named twice");
    }
    nb::object body = vx::own(PyList_New(0));
    std::vector<Range> pieces;
    Py_ssize_t bb = m.body0, be = m.body1;
    strip_range(v, bb, be);
    split_stripped(v, bb, be, ';', false, pieces);
    for (auto &[pb, pe] : pieces) {
        BodyStatement st = parse_instruction(buf, v, pb, pe, kinds);
        check_body_statement(buf, v, gate, f, st, kinds);
        vx::check(PyList_Append(body.ptr(), st.tuple.ptr()));
    }
    nb::object record = vx::own(PyDict_New());
    vx::check(PyDict_SetItemString(record.ptr(), "params_and_qregs", f.list.ptr()));
    vx::check(PyDict_SetItemString(record.ptr(), "definition", body.ptr()));
    return record;
}

// The definitions of `text`: the table, the text without them and the
// number of parameters of each gate; prints the table.  `headers_only`: the
// number of parameters of each gate, nothing else read, printed or refused.
CustomGates read_own(PyObject *text, PyObject *globals, bool headers_only = false) {
    GateKinds kinds(classifier(), globals);

    // A copy whose comments are blanked: definitions are read from code only,
    // and a comment inside a body hides nothing that follows it.
    View orig(text);
    std::vector<Py_UCS4> buf(static_cast<size_t>(orig.n));
    for (Py_ssize_t i = 0; i < orig.n; ++i)
        buf[static_cast<size_t>(i)] = orig[i];
    for (Py_ssize_t i = 0; i + 1 < orig.n; ++i) {
        if (buf[i] == '/' && buf[i + 1] == '/') {
            while (i < orig.n && !is_line_break_cp(buf[i]))
                buf[i++] = ' ';
        }
    }
    View v(buf.data(), orig.n);
    Occurrences close_paren, close_brace;
    for (Py_ssize_t i = 0; i < v.n; ++i) {
        if (buf[i] == ')')
            close_paren.at.push_back(i);
        else if (buf[i] == '}')
            close_brace.at.push_back(i);
    }
    DefScanner scanner{v, close_paren, close_brace};

    CustomGates out;
    nb::object table = vx::own(PyDict_New());
    nb::object rest = vx::own(PyList_New(0));
    Py_ssize_t copied = 0;
    for (Py_ssize_t p = 0; p + 4 <= v.n;) {
        DefMatch m;
        if (!(buf[p] == 'g' && buf[p + 1] == 'a' && buf[p + 2] == 't' && buf[p + 3] == 'e') || !scanner.match(p, m)) {
            ++p;
            continue;
        }
        nb::object name = text_of(buf, m.name0, m.name1);
        int nparams = 0;
        if (headers_only) {
            std::vector<Range> pieces;
            if (m.par0 >= 0 && m.par1 > m.par0)
                split_stripped(v, m.par0, m.par1, ',', true, pieces);
            out.nparams[utf8_key(name)] = static_cast<int>(pieces.size());
            p = m.end;
            continue;
        }
        nb::object record = read_definition(buf, v, m, name, kinds, nparams);
        vx::check(PyDict_SetItem(table.ptr(), name.ptr(), record.ptr()));
        out.nparams[utf8_key(name)] = nparams;
        vx::check(PyList_Append(rest.ptr(), substr(text, copied, p).ptr()));
        copied = m.end;
        p = m.end;
    }
    vx::check(PyList_Append(rest.ptr(), substr(text, copied, orig.n).ptr()));
    nb::object empty = vx::str_obj("");
    out.text = vx::own(PyUnicode_Join(empty.ptr(), rest.ptr()));
    out.table = table;
    if (PyDict_GET_SIZE(table.ptr()) > 0) {
        vx::print_str("Custom gate detected");
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(table.ptr(), &pos, &key, &value))
            vx::print({key, value});
    }
    return out;
}

}  // namespace

nb::object parse_openqasm2_custom_gates(const vx::Args &a) {
    CustomGates gates = read_own(a.ptr(0), a.func()->globals);
    return vx::own(PyTuple_Pack(2, gates.table.ptr(), gates.text.ptr()));
}

CustomGates read_custom_gates(const vx::Args &a, nb::handle text) {
    nb::handle fn = a.global("parse_openqasm2_custom_gates");
    if (vx::is_function_of(fn.ptr(), parse_openqasm2_custom_gates) && PyUnicode_CheckExact(text.ptr()))
        return read_own(text.ptr(), reinterpret_cast<vx::Function *>(fn.ptr())->globals);
    nb::object pair = vx::own(PyObject_CallOneArg(fn.ptr(), text.ptr()));
    // the parameters of each gate, from the definitions' headers
    CustomGates out = PyUnicode_Check(text.ptr()) ? read_own(text.ptr(), a.func()->globals, true) : CustomGates{};
    out.table = vx::own(PySequence_GetItem(pair.ptr(), 0));
    out.text = vx::own(PySequence_GetItem(pair.ptr(), 1));
    return out;
}

namespace {

vx::FunctionDef parse_openqasm2_custom_gates_def() {
    return {.name = "parse_openqasm2_custom_gates",
            .impl = parse_openqasm2_custom_gates,
            .params = {{"openqasm2_str", vx::Conv::Str}}};
}
Register reg_parse_openqasm2_custom_gates("parse_openqasm2_custom_gates", parse_openqasm2_custom_gates_def);

}  // namespace
}  // namespace gatework::qasm
