// OpenQASM 2.0 input: register declarations and register maps, custom gate
// definitions, statement operands and the two program readers.
//
// Every text is scanned natively in one pass (qasm_scan.hpp); parameter texts
// are evaluated by the module's safe evaluator (expression.hpp) or, when a
// user replaced parse_expression, by the function the module name now holds.
#include "expression.hpp"
#include "qasm_scan.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace gatework {
namespace {

// The largest number of qubits (or classical bits) a register map may hold.
constexpr long long kMaxRegisterSpan = 1LL << 20;

// -- small helpers ----------------------------------------------------------------

nb::object substr(PyObject *s, Py_ssize_t b, Py_ssize_t e) { return vx::own(PyUnicode_Substring(s, b, e)); }
nb::object str_of(const char *s) { return vx::own(PyUnicode_FromString(s)); }
nb::object int_of(long long v) { return vx::own(PyLong_FromLongLong(v)); }

std::string to_std(nb::handle o) {
    nb::object s = vx::own(PyObject_Str(o.ptr()));
    return std::string(vx::utf8(s));
}

[[noreturn]] void unrecognized(nb::handle word) {
    vx::value_error("Sorry, an unrecognized OpenQASM 2.0 syntax " + to_std(word) +
                    " was detected by vexalcircuit. Please contact the developer for assistance.");
}
[[noreturn]] void unrecognized_line(nb::handle line) {
    vx::value_error("Sorry, an unrecognized OpenQASM 2.0 syntax " + to_std(line) + " was detected by vexalcircuit.");
}
[[noreturn]] void wrong_param_count(nb::handle gate, long long expected, long long got) {
    vx::value_error(to_std(gate) + " takes " + std::to_string(expected) + " parameter(s), but got " +
                    std::to_string(got) + ".");
}
[[noreturn]] void too_few_qubits(nb::handle gate, long long expected, long long got) {
    vx::value_error(to_std(gate) + " takes " + std::to_string(expected) + " quantum arguments, but got " +
                    std::to_string(got) + ".");
}
[[noreturn]] void register_too_large(nb::handle size) {
    vx::value_error("Register size " + to_std(size) + " is too large: at most " + std::to_string(kMaxRegisterSpan) +
                    " qubits or classical bits of one kind are supported");
}

// A register size as a C integer, refusing what no map can hold.
long long checked_size(nb::handle size) {
    nb::object idx = vx::own(PyNumber_Index(size.ptr()));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    if (overflow > 0 || v > kMaxRegisterSpan)
        register_too_large(size);
    if (overflow < 0)
        return -kMaxRegisterSpan - 1;
    return v;
}

// PyUnicode_Splitlines, keeping no line ends.
nb::object split_lines(nb::handle text) { return vx::own(PyUnicode_Splitlines(text.ptr(), 0)); }

nb::object stripped(nb::handle text) { return vx::own(PyObject_CallMethod(text.ptr(), "strip", nullptr)); }

bool is_own(nb::handle f, vx::Impl impl) {
    return vx::is_function(f.ptr()) && reinterpret_cast<vx::Function *>(f.ptr())->impl == impl;
}

// Python's `a in d` for a dict (or any container).
bool contains(nb::handle container, nb::handle key) {
    int r = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.ptr())
                                               : PySequence_Contains(container.ptr(), key.ptr());
    vx::check(r);
    return r != 0;
}

Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Size(o.ptr());
    if (n < 0)
        throw vx::error_already_set{};
    return n;
}

// -- register declarations ---------------------------------------------------------

// Matches "<kw>\s+(\w+)\[(\d+)\];" at i (the keyword already seen there);
// returns the end of the match or -1.
Py_ssize_t match_declaration(const View &v, Py_ssize_t i, Py_ssize_t e, Py_ssize_t g[4]) {
    i += 4;
    if (i >= e || !is_space_cp(v[i]))
        return -1;
    while (i < e && is_space_cp(v[i]))
        ++i;
    g[0] = i;
    while (i < e && is_word_cp(v[i]))
        ++i;
    g[1] = i;
    if (g[1] == g[0] || i >= e || v[i] != '[')
        return -1;
    g[2] = ++i;
    while (i < e && is_digit_cp(v[i]))
        ++i;
    g[3] = i;
    if (g[3] == g[2] || i >= e || v[i] != ']')
        return -1;
    ++i;
    if (i >= e || v[i] != ';')
        return -1;
    return i + 1;
}

// Every declaration of the keyword outside comments, left to right.
void find_declarations(PyObject *text, const char *kw, nb::handle out) {
    View v(text);
    Py_ssize_t i = 0;
    Py_ssize_t g[4];
    while (i < v.n) {
        Py_UCS4 c = v[i];
        if (c == '/' && v[i + 1] == '/') {
            while (i < v.n && !is_line_break_cp(v[i]))
                ++i;
            continue;
        }
        if (c == static_cast<unsigned char>(kw[0]) && has_text_at(v, i, v.n, kw)) {
            Py_ssize_t end = match_declaration(v, i, v.n, g);
            if (end > 0) {
                nb::object name = substr(text, g[0], g[1]);
                nb::object digits = substr(text, g[2], g[3]);
                nb::object size = vx::own(PyLong_FromUnicodeObject(digits.ptr(), 10));
                nb::object pair = vx::own(PyTuple_Pack(2, name.ptr(), size.ptr()));
                vx::check(PyList_Append(out.ptr(), pair.ptr()));
                i = end;
                continue;
            }
        }
        ++i;
    }
}

nb::object parse_openqasm2_regs(const vx::Args &a) {
    PyObject *text = a.ptr(0);
    nb::object qregs = vx::own(PyList_New(0));
    nb::object cregs = vx::own(PyList_New(0));
    find_declarations(text, "qreg", qregs);
    find_declarations(text, "creg", cregs);

    nb::object lines = split_lines(text);
    nb::object kept = vx::own(PyList_New(0));
    Py_ssize_t nlines = PyList_GET_SIZE(lines.ptr());
    Py_ssize_t g[4];
    for (Py_ssize_t k = 0; k < nlines; ++k) {
        PyObject *line = PyList_GET_ITEM(lines.ptr(), k);
        View v(line);
        Py_ssize_t code_end = v.n;
        for (Py_ssize_t i = 0; i + 1 < v.n; ++i)
            if (v[i] == '/' && v[i + 1] == '/') {
                code_end = i;
                break;
            }
        // A declaring line must hold declarations only: a statement beside
        // one would be lost with the line.
        bool declares = false, other = false;
        for (Py_ssize_t i = 0; i < code_end;) {
            if ((has_text_at(v, i, code_end, "qreg") || has_text_at(v, i, code_end, "creg"))) {
                Py_ssize_t end = match_declaration(v, i, code_end, g);
                if (end > 0) {
                    declares = true;
                    i = end;
                    continue;
                }
            }
            if (!is_space_cp(v[i]))
                other = true;
            ++i;
        }
        if (!declares) {
            vx::check(PyList_Append(kept.ptr(), line));
            continue;
        }
        if (other) {
            Py_ssize_t b = 0, e = v.n;
            strip_range(v, b, e);
            unrecognized(substr(line, b, e));
        }
    }
    nb::object sep = str_of("\n");
    nb::object joined = vx::own(PyUnicode_Join(sep.ptr(), kept.ptr()));
    return vx::own(PyTuple_Pack(3, qregs.ptr(), cregs.ptr(), joined.ptr()));
}

vx::FunctionDef parse_openqasm2_regs_def() {
    return {.name = "parse_openqasm2_regs", .impl = parse_openqasm2_regs, .params = {{"openqasm2_str", vx::Conv::Str}}};
}
Register reg_parse_openqasm2_regs("parse_openqasm2_regs", parse_openqasm2_regs_def);

// Unpacks a (name, size) pair with the host's messages.
void unpack_pair(nb::handle item, nb::object &name, nb::object &size) {
    nb::object seq = vx::own(PySequence_Fast(item.ptr(), "cannot unpack non-iterable object"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    if (n != 2) {
        if (n > 2)
            vx::value_error("too many values to unpack (expected 2)");
        vx::value_error("not enough values to unpack (expected 2, got " + std::to_string(n) + ")");
    }
    name = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0));
    size = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1));
}

nb::object generate_reg_map(const vx::Args &a) {
    nb::handle regs = a[0];
    // First pass: the size of the index space, refused when no map can hold it.
    nb::object total = int_of(0);
    {
        nb::object it = vx::own(PyObject_GetIter(regs.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(raw);
            nb::object name, size;
            unpack_pair(item, name, size);
            total = vx::own(PyNumber_Add(total.ptr(), size.ptr()));
            checked_size(size);
        }
        if (PyErr_Occurred())
            throw vx::error_already_set{};
        if (PyLong_Check(total.ptr()))
            checked_size(total);
    }
    nb::object map = vx::own(PyDict_New());
    long long start = 0;
    nb::object it = vx::own(PyObject_GetIter(regs.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        nb::object name, size;
        unpack_pair(item, name, size);
        long long n = checked_size(size);
        nb::object inner = vx::own(PyDict_New());
        for (long long i = 0; i < n; ++i) {
            nb::object k = int_of(i), val = int_of(start + i);
            vx::check(PyDict_SetItem(inner.ptr(), k.ptr(), val.ptr()));
        }
        vx::check(PyObject_SetItem(map.ptr(), name.ptr(), inner.ptr()));
        start += n;
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};
    if (PyDict_GET_SIZE(map.ptr()) > 1) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(map.ptr(), &pos, &key, &value)) {
            nb::object line = vx::own(PyUnicode_FromFormat("%S reg name %S, mapping:%S", a.ptr(1), key, value));
            vx::print({line});
        }
    }
    return map;
}

vx::FunctionDef generate_reg_map_def() {
    return {
        .name = "generate_reg_map", .impl = generate_reg_map, .params = {{"regs"}, {"type"}}, .defaults = {str_of("")}};
}
Register reg_generate_reg_map("generate_reg_map", generate_reg_map_def);

// -- custom gate definitions --------------------------------------------------------

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

    // "gate\s+(\w+)\s*(?:\(([^)]*)\))?\s+([a-zA-Z0-9_,\s]+)\s*\{([^}]*)\}" at p.
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
        if (blanks < 1)
            return false;
        Py_ssize_t r = formal_run_end(k);
        Py_ssize_t brace;
        if (r > k) {
            brace = r;
            m.arg0 = k;
            m.arg1 = r;
        } else {
            if (blanks < 2)
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

// One statement of a gate body: (name, parameter texts..., operand names...),
// None when it has no statement shape.
nb::object parse_instruction(const std::vector<Py_UCS4> &buf, const View &v, Py_ssize_t b, Py_ssize_t e,
                             nb::handle tables[6]) {
    strip_range(v, b, e);
    while (e > b && v[e - 1] == ';')
        --e;
    Py_ssize_t i = b;
    while (i < e && is_word_cp(v[i]))
        ++i;
    if (i == b)
        return nb::none();
    Py_ssize_t name1 = i;
    Py_ssize_t j = i;
    while (j < e && is_space_cp(v[j]))
        ++j;
    Py_ssize_t par0 = -1, par1 = -1;
    if (j < e && v[j] == '(') {
        for (Py_ssize_t c = j + 1; c < e; ++c)
            if (v[c] == ')') {
                par0 = j + 1;
                par1 = c;
                i = c + 1;
                break;
            }
    }
    while (i < e && is_space_cp(v[i]))
        ++i;
    for (Py_ssize_t c = i; c < e; ++c)
        if (v[c] == '\n')
            return nb::none();
    nb::object name = text_of(buf, b, name1);
    bool known = false;
    for (int t = 0; t < 6 && !known; ++t)
        known = contains(tables[t], name);
    if (!known)
        vx::value_error("parse error " + to_std(name) + " !");
    std::vector<nb::object> items;
    items.push_back(name);
    if (par0 >= 0 && par1 > par0) {
        std::vector<std::pair<Py_ssize_t, Py_ssize_t>> pieces;
        split_stripped(v, par0, par1, ',', true, pieces);
        for (auto &[pb, pe] : pieces)
            items.push_back(text_of(buf, pb, pe));
    }
    Py_ssize_t ob = i, oe = e;
    strip_range(v, ob, oe);
    for (Py_ssize_t s = ob; s < oe;) {
        if (v[s] == ',' || v[s] == ' ') {
            ++s;
            continue;
        }
        Py_ssize_t t = s;
        while (t < oe && v[t] != ',' && v[t] != ' ')
            ++t;
        Py_ssize_t pb = s, pe = t;
        strip_range(v, pb, pe);
        if (pe > pb)
            items.push_back(text_of(buf, pb, pe));
        s = t;
    }
    nb::object tup = vx::own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t k = 0; k < items.size(); ++k)
        PyTuple_SET_ITEM(tup.ptr(), static_cast<Py_ssize_t>(k), items[k].release().ptr());
    return tup;
}

nb::object parse_openqasm2_custom_gates(const vx::Args &a) {
    PyObject *text = a.ptr(0);
    nb::handle tables[6];
    for (int t = 0; t < 6; ++t)
        tables[t] = a.global(vx::kGateTables[t]);

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

    nb::object table = vx::own(PyDict_New());
    nb::object rest = vx::own(PyList_New(0));
    nb::object k_pq = str_of("params_and_qregs"), k_def = str_of("definition");
    Py_ssize_t copied = 0;
    for (Py_ssize_t p = 0; p + 4 <= v.n;) {
        DefMatch m;
        if (!(buf[p] == 'g' && buf[p + 1] == 'a' && buf[p + 2] == 't' && buf[p + 3] == 'e') || !scanner.match(p, m)) {
            ++p;
            continue;
        }
        nb::object name = text_of(buf, m.name0, m.name1);
        nb::object formals = vx::own(PyList_New(0));
        std::vector<std::pair<Py_ssize_t, Py_ssize_t>> pieces;
        if (m.par0 >= 0 && m.par1 > m.par0) {
            split_stripped(v, m.par0, m.par1, ',', true, pieces);
            for (auto &[pb, pe] : pieces)
                vx::check(PyList_Append(formals.ptr(), text_of(buf, pb, pe).ptr()));
        }
        pieces.clear();
        split_stripped(v, m.arg0, m.arg1, ',', false, pieces);
        for (auto &[pb, pe] : pieces)
            vx::check(PyList_Append(formals.ptr(), text_of(buf, pb, pe).ptr()));
        nb::object body = vx::own(PyList_New(0));
        pieces.clear();
        Py_ssize_t bb = m.body0, be = m.body1;
        strip_range(v, bb, be);
        split_stripped(v, bb, be, ';', false, pieces);
        for (auto &[pb, pe] : pieces) {
            nb::object ins = parse_instruction(buf, v, pb, pe, tables);
            if (!ins.is_none())
                vx::check(PyList_Append(body.ptr(), ins.ptr()));
        }
        nb::object record = vx::own(PyDict_New());
        vx::check(PyDict_SetItem(record.ptr(), k_pq.ptr(), formals.ptr()));
        vx::check(PyDict_SetItem(record.ptr(), k_def.ptr(), body.ptr()));
        vx::check(PyDict_SetItem(table.ptr(), name.ptr(), record.ptr()));
        vx::check(PyList_Append(rest.ptr(), substr(text, copied, p).ptr()));
        copied = m.end;
        p = m.end;
    }
    vx::check(PyList_Append(rest.ptr(), substr(text, copied, orig.n).ptr()));
    nb::object empty = str_of("");
    nb::object out = vx::own(PyUnicode_Join(empty.ptr(), rest.ptr()));
    if (PyDict_GET_SIZE(table.ptr()) > 0) {
        vx::print_str("Custom gate detected");
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(table.ptr(), &pos, &key, &value))
            vx::print({key, value});
    }
    return vx::own(PyTuple_Pack(2, table.ptr(), out.ptr()));
}

vx::FunctionDef parse_openqasm2_custom_gates_def() {
    return {.name = "parse_openqasm2_custom_gates",
            .impl = parse_openqasm2_custom_gates,
            .params = {{"openqasm2_str", vx::Conv::Str}}};
}
Register reg_parse_openqasm2_custom_gates("parse_openqasm2_custom_gates", parse_openqasm2_custom_gates_def);

// -- statement operands ---------------------------------------------------------

enum class Form { None, Measure, Statement };

struct Split {
    Form form = Form::None;
    Py_ssize_t g0 = 0, g1 = 0;    // gate word (Statement)
    Py_ssize_t p0 = -1, p1 = -1;  // parameter text, -1 when absent
    Py_ssize_t q0 = 0, q1 = 0;    // operand text (Statement) / qubit operand (Measure)
    Py_ssize_t c0 = 0, c1 = 0;    // classical operand (Measure)
};

// \w+(?:\[\d+\])? at i; returns the end or -1.
Py_ssize_t match_measure_operand(const View &v, Py_ssize_t i, Py_ssize_t e) {
    Py_ssize_t s = i;
    while (i < e && is_word_cp(v[i]))
        ++i;
    if (i == s)
        return -1;
    if (i < e && v[i] == '[') {
        Py_ssize_t j = i + 1, d = j;
        while (j < e && is_digit_cp(v[j]))
            ++j;
        if (j > d && j < e && v[j] == ']')
            return j + 1;
    }
    return i;
}

// "$": the end of the text, or just before a final line feed.
bool at_end(const View &v, Py_ssize_t i, Py_ssize_t e) { return i == e || (i == e - 1 && v[i] == '\n'); }

Split split_statement(const View &v, Py_ssize_t b, Py_ssize_t e) {
    Split r;
    // The measurement form.
    Py_ssize_t i = b;
    while (i < e && is_space_cp(v[i]))
        ++i;
    Py_ssize_t start = i;
    if (has_text_at(v, i, e, "measure") && i + 7 < e && is_space_cp(v[i + 7])) {
        Py_ssize_t k = i + 7;
        while (k < e && is_space_cp(v[k]))
            ++k;
        Py_ssize_t qa = k, qe = match_measure_operand(v, k, e);
        if (qe > 0) {
            k = qe;
            while (k < e && is_space_cp(v[k]))
                ++k;
            if (has_text_at(v, k, e, "->")) {
                k += 2;
                while (k < e && is_space_cp(v[k]))
                    ++k;
                Py_ssize_t ca = k, ce = match_measure_operand(v, k, e);
                if (ce > 0) {
                    k = ce;
                    while (k < e && is_space_cp(v[k]))
                        ++k;
                    if (k < e && v[k] == ';') {
                        ++k;
                        while (k < e && is_space_cp(v[k]))
                            ++k;
                        if (k == e) {
                            r.form = Form::Measure;
                            r.q0 = qa;
                            r.q1 = qe;
                            r.c0 = ca;
                            r.c1 = ce;
                            return r;
                        }
                    }
                }
            }
        }
    }
    // The general form.
    i = start;
    while (i < e && is_word_cp(v[i]))
        ++i;
    if (i == start)
        return r;
    r.g0 = start;
    r.g1 = i;
    if (i < e && v[i] == '(') {
        Py_ssize_t c = i + 1;
        while (c < e && v[c] != ')')
            ++c;
        if (c >= e)
            return r;
        r.p0 = i + 1;
        r.p1 = c;
        i = c + 1;
    }
    Py_ssize_t w0 = i;
    while (i < e && is_space_cp(v[i]))
        ++i;
    Py_ssize_t blanks = i - w0;
    if (blanks < 1)
        return r;
    Py_ssize_t run = i;
    while (run < e) {
        Py_UCS4 c = v[run];
        if (!(is_word_cp(c) || c == '[' || c == ']' || c == ',' || is_space_cp(c)))
            break;
        ++run;
    }
    Py_ssize_t semi;
    if (run > i) {
        r.q0 = i;
        r.q1 = run;
        semi = run;
    } else {
        if (blanks < 2)
            return r;
        r.q0 = i - 1;
        r.q1 = i;
        semi = i;
    }
    if (semi >= e || v[semi] != ';' || !at_end(v, semi + 1, e))
        return r;
    r.form = Form::Statement;
    return r;
}

nb::object sparse_gate_params_qregs(const vx::Args &a) {
    PyObject *line = a.ptr(0);
    if (!PyUnicode_Check(line)) {
        if (PyObject_CheckBuffer(line))
            vx::type_error("cannot use a string pattern on a bytes-like object");
        vx::type_error(std::string("expected string or bytes-like object, got '") + vx::type_name(line) + "'");
    }
    View v(line);
    Split s = split_statement(v, 0, v.n);
    if (s.form == Form::Measure) {
        nb::object q = substr(line, s.q0, s.q1), c = substr(line, s.c0, s.c1);
        nb::object comma = str_of(",");
        nb::object qc = vx::own(PyUnicode_Concat(q.ptr(), comma.ptr()));
        qc = vx::own(PyUnicode_Concat(qc.ptr(), c.ptr()));
        nb::object m = str_of("measure");
        return vx::own(PyTuple_Pack(3, m.ptr(), Py_None, qc.ptr()));
    }
    if (s.form == Form::None)
        return vx::own(PyTuple_Pack(3, Py_None, Py_None, Py_None));
    nb::object g = substr(line, s.g0, s.g1);
    nb::object p = s.p0 >= 0 ? substr(line, s.p0, s.p1) : nb::none();
    nb::object q = substr(line, s.q0, s.q1);
    return vx::own(PyTuple_Pack(3, g.ptr(), p.ptr(), q.ptr()));
}

vx::FunctionDef sparse_gate_params_qregs_def() {
    return {.name = "sparse_gate_params_qregs", .impl = sparse_gate_params_qregs, .params = {{"line"}}};
}
Register reg_sparse_gate_params_qregs("sparse_gate_params_qregs", sparse_gate_params_qregs_def);

// One operand of an operand text.
struct Operand {
    PyObject *src;  // the str it lies in (borrowed)
    bool indexed;
    Py_ssize_t n0, n1, d0, d1;  // name and index digits, or the whole piece in n0..n1
};

// Splits [b, e) of `src` at commas and finds the operands of every piece.
void collect_operands(PyObject *src, Py_ssize_t b, Py_ssize_t e, std::vector<Operand> &out) {
    View v(src);
    Py_ssize_t s = b;
    for (Py_ssize_t k = b;; ++k) {
        if (k < e && v[k] != ',')
            continue;
        bool found = false;
        Py_ssize_t i = s;
        while (i < k) {
            if (!is_word_cp(v[i])) {
                ++i;
                continue;
            }
            Py_ssize_t r0 = i;
            while (i < k && is_word_cp(v[i]))
                ++i;
            if (i < k && v[i] == '[') {
                Py_ssize_t d0 = i + 1, j = d0;
                while (j < k && is_digit_cp(v[j]))
                    ++j;
                if (j > d0 && j < k && v[j] == ']') {
                    out.push_back({src, true, r0, i, d0, j});
                    found = true;
                    i = j + 1;
                }
            }
        }
        if (!found) {
            // A whole register is named by the piece; blanks around it do not count.
            Py_ssize_t pb = s, pe = k;
            strip_range(v, pb, pe);
            out.push_back({src, false, pb, pe, 0, 0});
        }
        if (k >= e)
            break;
        s = k + 1;
    }
}

// Looks operands up in a register map, caching what it read.
class RegisterLookup {
public:
    explicit RegisterLookup(nb::handle map) : map_(map) {}

    // The merged index of name[digits]; the host's KeyError when absent.
    PyObject *indexed(const Operand &op) {
        Entry &en = entry(op);
        if (!en.inner.is_valid())
            en.inner = vx::own(PyObject_GetItem(map_.ptr(), en.name.ptr()));
        View v(op.src);
        long long idx = -1;
        if (v.ascii && op.d1 - op.d0 <= 15) {
            idx = 0;
            for (Py_ssize_t i = op.d0; i < op.d1; ++i)
                idx = idx * 10 + (v[i] - '0');
        }
        if (idx >= 0 && idx < kMaxRegisterSpan) {
            if (static_cast<size_t>(idx) < en.vals.size() && en.vals[idx].is_valid())
                return en.vals[idx].ptr();
            nb::object key = int_of(idx);
            nb::object val = vx::own(PyObject_GetItem(en.inner.ptr(), key.ptr()));
            if (static_cast<size_t>(idx) >= en.vals.size())
                en.vals.resize(static_cast<size_t>(idx) + 1);
            en.vals[idx] = val;
            return val.ptr();
        }
        nb::object digits = substr(op.src, op.d0, op.d1);
        nb::object key = vx::own(PyLong_FromUnicodeObject(digits.ptr(), 10));
        nb::object val = vx::own(PyObject_GetItem(en.inner.ptr(), key.ptr()));
        keep_.push_back(val);
        return val.ptr();
    }

    // All merged indices of a whole register, or nullptr when not declared.
    const std::vector<nb::object> *whole(const Operand &op) {
        Entry &en = entry(op);
        if (!en.whole_known) {
            en.whole_known = true;
            en.declared = contains(map_, en.name);
            if (en.declared) {
                nb::object inner = vx::own(PyObject_GetItem(map_.ptr(), en.name.ptr()));
                nb::object values = vx::own(PyObject_CallMethod(inner.ptr(), "values", nullptr));
                nb::object it = vx::own(PyObject_GetIter(values.ptr()));
                while (PyObject *raw = PyIter_Next(it.ptr()))
                    en.all.push_back(nb::steal(raw));
                if (PyErr_Occurred())
                    throw vx::error_already_set{};
            }
        }
        return en.declared ? &en.all : nullptr;
    }

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

    Entry &entry(const Operand &op) {
        nb::object name = substr(op.src, op.n0, op.n1);
        key_.assign(vx::utf8(name));
        auto it = cache_.find(key_);
        if (it != cache_.end())
            return it->second;
        Entry &en = cache_[key_];
        en.name = name;
        return en;
    }
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

[[noreturn]] void measure_parse_error() { vx::value_error("measurement gate: position parse error"); }

void resolve_into(RegisterLookup &lookup, const Operand &op, std::vector<PyObject *> &flat) {
    if (op.indexed) {
        flat.push_back(lookup.indexed(op));
    } else if (const auto *all = lookup.whole(op)) {
        for (const nb::object &o : *all)
            flat.push_back(o.ptr());
    }
}

// Fills `pos` from the operand list; `measure` selects the two-list form.
void resolve_positions(bool measure, const std::vector<Operand> &ops, RegisterLookup &qlook, RegisterLookup &clook,
                       Positions &pos) {
    pos.clear();
    if (measure) {
        if (ops.size() != 2)
            measure_parse_error();
        pos.start.push_back(0);
        resolve_into(qlook, ops[0], pos.flat);
        pos.start.push_back(pos.flat.size());
        resolve_into(clook, ops[1], pos.flat);
        pos.start.push_back(pos.flat.size());
        return;
    }
    pos.start.push_back(0);
    for (const Operand &op : ops) {
        if (op.indexed) {
            pos.flat.push_back(qlook.indexed(op));
        } else if (const auto *all = qlook.whole(op)) {
            for (const nb::object &o : *all)
                pos.flat.push_back(o.ptr());
        } else {
            continue;  // not a declared register: no operand
        }
        pos.start.push_back(pos.flat.size());
    }
}

nb::object positions_to_list(const Positions &pos) {
    nb::object out = vx::own(PyList_New(0));
    for (size_t k = 0; k < pos.count(); ++k) {
        nb::object l = vx::own(PyList_New(static_cast<Py_ssize_t>(pos.len(k))));
        for (size_t i = 0; i < pos.len(k); ++i) {
            PyObject *o = pos.at(k, i);
            Py_INCREF(o);
            PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(i), o);
        }
        vx::check(PyList_Append(out.ptr(), l.ptr()));
    }
    return out;
}

bool equals_text(nb::handle o, const char *text) {
    return PyUnicode_Check(o.ptr()) && PyUnicode_CompareWithASCIIString(o.ptr(), text) == 0;
}

// The operand list of a Python-level operand text; false when it cannot be split.
void operands_of_object(nb::handle qregs_str, std::vector<Operand> &ops, std::vector<nb::object> &keep) {
    if (PyUnicode_Check(qregs_str.ptr())) {
        collect_operands(qregs_str.ptr(), 0, PyUnicode_GET_LENGTH(qregs_str.ptr()), ops);
        return;
    }
    nb::object pieces = nb::steal(PyObject_CallMethod(qregs_str.ptr(), "split", "s", ","));
    if (!pieces.is_valid()) {
        PyErr_Clear();
        return;
    }
    nb::object it = nb::steal(PyObject_GetIter(pieces.ptr()));
    if (!it.is_valid()) {
        PyErr_Clear();
        return;
    }
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object piece = nb::steal(raw);
        if (!PyUnicode_Check(piece.ptr()))
            vx::type_error(std::string("expected string or bytes-like object, got '") + vx::type_name(piece.ptr()) +
                           "'");
        collect_operands(piece.ptr(), 0, PyUnicode_GET_LENGTH(piece.ptr()), ops);
        keep.push_back(piece);
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};
}

nb::object get_positions_list(const vx::Args &a) {
    std::vector<Operand> ops;
    std::vector<nb::object> keep;
    operands_of_object(a[1], ops, keep);
    RegisterLookup qlook(a[2]), clook(a[3]);
    Positions pos;
    resolve_positions(equals_text(a[0], "measure"), ops, qlook, clook, pos);
    return positions_to_list(pos);
}

vx::FunctionDef get_positions_list_def() {
    return {.name = "get_positions_list",
            .impl = get_positions_list,
            .params = {{"gate"}, {"qregs_str"}, {"qreg_map"}, {"creg_map"}}};
}
Register reg_get_positions_list("get_positions_list", get_positions_list_def);

// -- the readers ------------------------------------------------------------------

enum Row {
    kOne = 1,
    kTwo,
    kThree,
    kParam1,
    kU12,
    kParam2,
    kCu1,
    kDelay,
    kReset,
    kBarrier,
    kMeasure,
    kSkip,
    kCustom,
    kUnknown
};

struct GateInfo {
    Row row = kUnknown;
    nb::object word;    // the gate word as written
    nb::object name;    // the record name
    int nparams = -1;   // the parameters it takes, -1 for any
    int nqubits = 0;    // for body instructions: the qubits it takes, 0 for any
    nb::object custom;  // the custom gate record
    bool is_u1 = false, is_u2 = false, is_u = false, is_r = false;
};

const char *const kSkipWords[] = {"OPENQASM", "include", "opaque", "gate", "qreg", "creg"};

// Everything one reader call needs: the tables, the custom gates and the
// functions of the module as its names hold them now.
class Reader {
public:
    Reader(const vx::Args &a, nb::handle custom_gates, bool dump) : custom_(custom_gates), dump_(dump) {
        for (int t = 0; t < 6; ++t)
            tables_[t] = a.global(vx::kGateTables[t]);
        np_ = a.global("np");
        re_ = a.global("re");
        pi_ = np_.attr("pi");
        half_pi_ = vx::own(PyNumber_TrueDivide(pi_.ptr(), int_of(2).ptr()));
        parse_expression_ = a.global("parse_expression");
        own_eval_ = is_own_parse_expression(parse_expression_.ptr());
        zero_ = int_of(0);
        barrier_ = str_of("barrier");
        u_ = str_of("u");
        qubit_used_ = vx::own(PyList_New(0));
        cbit_used_ = vx::own(PyList_New(0));
        new_ = vx::own(PyList_New(0));
    }

    const GateInfo &info(nb::handle word) {
        key_.assign(vx::utf8(word));
        auto it = infos_.find(key_);
        if (it != infos_.end())
            return it->second;
        GateInfo g = classify(word);
        return infos_.emplace(key_, std::move(g)).first->second;
    }
    // The same for a word given as ASCII bytes of a line.
    const GateInfo &info_ascii(std::string_view w) {
        key_.assign(w);
        auto it = infos_.find(key_);
        if (it != infos_.end())
            return it->second;
        nb::object word = vx::own(PyUnicode_FromStringAndSize(w.data(), static_cast<Py_ssize_t>(w.size())));
        GateInfo g = classify(word);
        return infos_.emplace(key_, std::move(g)).first->second;
    }

    // One parameter text (a piece of a line) evaluated as parse_expression does.
    nb::object eval(PyObject *src, Py_ssize_t b, Py_ssize_t e) {
        if (own_eval_) {
            View v(src);
            if (v.ascii)
                return evaluate_ascii_expression(v.bytes(b, e), pi_.ptr(), nullptr, 0);
            return evaluate_expression(substr(src, b, e), np_, re_, nullptr, 0);
        }
        nb::object piece = substr(src, b, e);
        return call_parse_expression(piece);
    }
    nb::object eval_obj(nb::handle text) {
        if (own_eval_) {
            if (!PyUnicode_CheckExact(text.ptr()))
                vx::type_error(std::string("Argument 'expr' has incorrect type (expected str, got ") +
                               vx::type_name(text.ptr()) + ")");
            return evaluate_expression(text, np_, re_, nullptr, 0);
        }
        return call_parse_expression(text);
    }

    // Parameters of a parenthesised text split at commas, after the count check.
    void params_of(nb::handle gate_word, const GateInfo &g, PyObject *src, Py_ssize_t b, Py_ssize_t e,
                   std::vector<nb::object> &out) {
        out.clear();
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
            out.push_back(eval(src, pb, pe));
    }

    void append(nb::object rec) { vx::check(PyList_Append(new_.ptr(), rec.ptr())); }
    void use_qubit(PyObject *q) { vx::check(PyList_Append(qubit_used_.ptr(), q)); }
    void use_cbit(PyObject *c) { vx::check(PyList_Append(cbit_used_.ptr(), c)); }

    // (head..., mid..., tail...)
    static nb::object tuple(std::initializer_list<PyObject *> head, const std::vector<nb::object> *mid = nullptr,
                            std::initializer_list<PyObject *> tail = {}) {
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

    // The records of one application of a custom gate body.
    void expand(nb::handle gate_word, const GateInfo &g, const std::vector<nb::object> &params,
                const std::vector<PyObject *> &qubits) {
        nb::object pq = vx::own(PyObject_GetItem(g.custom.ptr(), str_of("params_and_qregs").ptr()));
        nb::object defn = vx::own(PyObject_GetItem(g.custom.ptr(), str_of("definition").ptr()));
        nb::object names = vx::own(PySequence_Fast(pq.ptr(), "params_and_qregs must be a sequence"));
        Py_ssize_t nnames = PySequence_Fast_GET_SIZE(names.ptr());
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
        for (auto &b : bind)
            if (PyUnicode_Check(b.first.ptr()))
                binds.push_back({vx::utf8(b.first), b.second});

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
            for (Py_ssize_t k = 1; k < n; ++k)
                args.push_back(body_value(PySequence_Fast_GET_ITEM(seq.ptr(), k), bind, binds));
            body_record(gate_word, bname, args);
        }
        if (PyErr_Occurred())
            throw vx::error_already_set{};
    }

    nb::object finish(bool trim) {
        if (PyList_GET_SIZE(cbit_used_.ptr()) == 0) {
            nb::object distinct = vx::own(PySet_New(qubit_used_.ptr()));
            Py_ssize_t n = PySet_GET_SIZE(distinct.ptr());
            for (Py_ssize_t i = 0; i < n; ++i)
                use_cbit(int_of(i).ptr());
        }
        nb::object qset = vx::own(PySet_New(qubit_used_.ptr()));
        nb::object cset = vx::own(PySet_New(cbit_used_.ptr()));
        nb::object gates = new_;
        if (trim) {
            gates = vx::own(PyList_New(0));
            Py_ssize_t n = PyList_GET_SIZE(new_.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *rec = PyList_GET_ITEM(new_.ptr(), i);
                if (PyTuple_Check(rec) && PyTuple_GET_SIZE(rec) == 2 &&
                    equals_text(PyTuple_GET_ITEM(rec, 0), "barrier")) {
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
                } else {
                    vx::check(PyList_Append(gates.ptr(), rec));
                }
            }
        }
        return vx::own(PyTuple_Pack(3, gates.ptr(), qset.ptr(), cset.ptr()));
    }

    nb::object pi_, half_pi_, zero_, barrier_, u_;

private:
    nb::handle custom_;
    bool dump_;
    nb::handle tables_[6];
    nb::handle np_, re_;
    nb::handle parse_expression_;
    bool own_eval_;
    nb::object qubit_used_, cbit_used_, new_;
    std::unordered_map<std::string, GateInfo> infos_;
    std::string key_;

    nb::object call_parse_expression(nb::handle text) {
        return vx::own(PyObject_CallOneArg(parse_expression_.ptr(), text.ptr()));
    }

    GateInfo classify(nb::handle word) {
        GateInfo g;
        g.word = nb::borrow(word);
        g.name = nb::borrow(word);
        auto is = [&](const char *t) { return PyUnicode_CompareWithASCIIString(word.ptr(), t) == 0; };
        if (contains(tables_[0], word)) {
            g.row = kOne;
            g.nqubits = 1;
            g.nparams = 0;
        } else if (contains(tables_[1], word)) {
            g.row = kTwo;
            g.nqubits = 2;
            g.nparams = 0;
        } else if (contains(tables_[2], word)) {
            g.row = kThree;
            g.nqubits = 3;
            g.nparams = 0;
        } else if (contains(tables_[3], word)) {
            g.row = kParam1;
            g.nqubits = 1;
            if (is("u") || is("u3")) {
                g.is_u = true;
                g.nparams = 3;
                g.name = u_;
            } else if (is("r")) {
                g.is_r = true;
                g.nparams = 2;
            } else if (is("rx") || is("ry") || is("rz") || is("p")) {
                g.nparams = 1;
            }
        } else if (is("u1") || is("u2")) {
            g.row = kU12;
            g.is_u1 = is("u1");
            g.is_u2 = !g.is_u1;
            g.nparams = g.is_u1 ? 1 : 2;
            g.name = u_;
        } else if (contains(tables_[4], word)) {
            g.row = kParam2;
            g.nqubits = 2;
            g.nparams = 1;
        } else if (is("cu1")) {
            g.row = kCu1;
            g.nparams = 1;
            g.name = str_of("cp");
        } else if (is("delay")) {
            g.row = kDelay;
            g.nparams = 1;
        } else if (is("reset")) {
            g.row = kReset;
        } else if (is("barrier")) {
            g.row = kBarrier;
        } else if (is("measure")) {
            g.row = kMeasure;
        } else if (is_skip(word)) {
            g.row = kSkip;
        } else if (PyObject *rec =
                       PyDict_Check(custom_.ptr()) ? PyDict_GetItemWithError(custom_.ptr(), word.ptr()) : nullptr) {
            g.row = kCustom;
            g.custom = nb::borrow(rec);
        } else {
            if (PyErr_Occurred())
                throw vx::error_already_set{};
            if (!PyDict_Check(custom_.ptr()) && contains(custom_, word)) {
                g.row = kCustom;
                g.custom = vx::own(PyObject_GetItem(custom_.ptr(), word.ptr()));
            }
        }
        return g;
    }

public:
    bool is_skip(nb::handle word) const {
        for (const char *w : kSkipWords)
            if (PyUnicode_CompareWithASCIIString(word.ptr(), w) == 0)
                return true;
        return dump_ && PyUnicode_CompareWithASCIIString(word.ptr(), "//") == 0;
    }

private:
    // The value of one argument text of a body instruction.
    nb::object body_value(nb::handle text, const std::vector<std::pair<nb::object, PyObject *>> &bind,
                          const std::vector<Binding> &binds) {
        for (auto it = bind.rbegin(); it != bind.rend(); ++it) {
            int eq = PyObject_RichCompareBool(it->first.ptr(), text.ptr(), Py_EQ);
            vx::check(eq);
            if (eq)
                return nb::borrow(it->second);
        }
        if (!PyUnicode_Check(text.ptr()))
            return eval_obj(text);
        Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
        bool digits = n > 0;
        if (PyUnicode_IS_ASCII(text.ptr())) {
            View v(text.ptr());
            for (Py_ssize_t i = 0; i < n && digits; ++i)
                digits = v[i] >= '0' && v[i] <= '9';
        } else {
            nb::object r = vx::own(PyObject_CallMethod(text.ptr(), "isdigit", nullptr));
            digits = r.ptr() == Py_True;
        }
        if (digits)
            return vx::own(PyLong_FromUnicodeObject(text.ptr(), 10));
        if (own_eval_)
            return evaluate_expression(text, np_, re_, binds.data(), binds.size());
        return call_parse_expression(substitute(text, bind));
    }

    // A text with every bound name replaced by its value, for a replaced
    // parse_expression that knows no bindings.
    nb::object substitute(nb::handle text, const std::vector<std::pair<nb::object, PyObject *>> &bind) {
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
        return vx::own(PyUnicode_Join(str_of("").ptr(), parts.ptr()));
    }

    // Appends the records of one body instruction in the shapes of the gate
    // records: a barrier over a tuple, a delay and a reset per qubit.
    void body_record(nb::handle gate_word, nb::handle bname, const std::vector<nb::object> &args) {
        if (!PyUnicode_Check(bname.ptr())) {
            append(tuple({bname.ptr()}, &args));
            return;
        }
        const GateInfo &g = info(bname);
        size_t n = args.size();
        auto expect = [&](size_t want) {
            if (n != want)
                vx::value_error("custom gate " + to_std(gate_word) + ": " + to_std(bname) + " takes " +
                                std::to_string(want) + " arguments, but got " + std::to_string(n) + ".");
        };
        switch (g.row) {
        case kOne:
        case kTwo:
        case kThree:
        case kParam2:
            expect(static_cast<size_t>(g.nparams + g.nqubits));
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
        default: append(tuple({bname.ptr()}, &args)); return;
        }
    }
};

[[noreturn]] void count_error(nb::handle gate, int want, size_t got) {
    vx::value_error(to_std(gate) + " takes " + std::to_string(want) + " quantum arguments, but got " +
                    std::to_string(got) + ".");
}
[[noreturn]] void length_error(nb::handle gate, int want) {
    vx::value_error(to_std(gate) + " takes " + std::to_string(want) + " different quantum arguments length.");
}

// The first word of a statement that matched no form: up to a blank or "(".
nb::object first_word(PyObject *src, const View &v, Py_ssize_t b, Py_ssize_t e) {
    Py_ssize_t i = b;
    while (i < e && !is_space_cp(v[i]) && v[i] != '(')
        ++i;
    if (i == b)
        while (i < e && !is_space_cp(v[i]))
            ++i;
    return substr(src, b, i);
}

nb::object parse_openqasm2_to_gates(const vx::Args &a) {
    nb::object regs = vx::own(PyObject_CallOneArg(a.global("parse_openqasm2_regs").ptr(), a.ptr(0)));
    nb::object qregs = vx::own(PySequence_GetItem(regs.ptr(), 0));
    nb::object cregs = vx::own(PySequence_GetItem(regs.ptr(), 1));
    nb::object text = vx::own(PySequence_GetItem(regs.ptr(), 2));
    if (length(qregs) > 1 || length(cregs) > 1)
        vx::print_str("Multiple registers detected. For subsequent compilation, the program will merge them. "
                      "The mapping is as follows:");
    nb::handle gen = a.global("generate_reg_map");
    nb::object qmap = gen(qregs, "Qubit");
    nb::object cmap = gen(cregs, "Cbit");
    nb::object custom = vx::own(PyObject_CallOneArg(a.global("parse_openqasm2_custom_gates").ptr(), text.ptr()));
    nb::object custom_gates = vx::own(PySequence_GetItem(custom.ptr(), 0));
    text = vx::own(PySequence_GetItem(custom.ptr(), 1));

    nb::handle sparse = a.global("sparse_gate_params_qregs");
    nb::handle positions_fn = a.global("get_positions_list");
    bool own_sparse = is_own(sparse, sparse_gate_params_qregs);
    bool own_positions = is_own(positions_fn, get_positions_list);

    Reader rd(a, custom_gates, false);
    RegisterLookup qlook(qmap), clook(cmap);
    nb::object lines = split_lines(stripped(text));
    Py_ssize_t nlines = PyList_GET_SIZE(lines.ptr());
    std::vector<nb::object> params;
    std::vector<Operand> ops;
    std::vector<nb::object> keep;
    std::vector<PyObject *> actual;
    Positions pos;
    nb::object measure_word = str_of("measure");

    for (Py_ssize_t ln = 0; ln < nlines; ++ln) {
        PyObject *line = PyList_GET_ITEM(lines.ptr(), ln);
        View v(line);
        bool tabs_only = true;
        for (Py_ssize_t i = 0; i < v.n && tabs_only; ++i)
            tabs_only = v[i] == '\t';
        if (tabs_only)
            continue;
        Py_ssize_t b = 0, e = v.n;
        for (Py_ssize_t i = 0; i + 1 < v.n; ++i)
            if (v[i] == '/' && v[i + 1] == '/') {
                e = i;
                break;
            }
        strip_range(v, b, e);

        // Gate word, parameter text and operand text.
        nb::object gate_word;
        const GateInfo *g = nullptr;
        PyObject *psrc = line;  // where the parameter text lies
        Py_ssize_t p0 = -1, p1 = -1;
        nb::object params_obj, qregs_obj, stmt;
        bool native = own_sparse;
        Split sp;
        if (native) {
            sp = split_statement(v, b, e);
            if (sp.form == Form::Measure) {
                gate_word = measure_word;
            } else if (sp.form == Form::Statement) {
                if (v.ascii) {
                    g = &rd.info_ascii(v.bytes(sp.g0, sp.g1));
                    gate_word = g->word;
                } else {
                    gate_word = substr(line, sp.g0, sp.g1);
                }
                p0 = sp.p0;
                p1 = sp.p1;
            }
        } else {
            stmt = substr(line, b, e);
            nb::object t = vx::own(PyObject_CallOneArg(sparse.ptr(), stmt.ptr()));
            nb::object seq = vx::own(PySequence_Fast(t.ptr(), "sparse_gate_params_qregs must return a sequence"));
            if (PySequence_Fast_GET_SIZE(seq.ptr()) != 3)
                vx::value_error("sparse_gate_params_qregs must return three items");
            nb::handle gw = PySequence_Fast_GET_ITEM(seq.ptr(), 0);
            if (!gw.is_none())
                gate_word = nb::borrow(gw);
            params_obj = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1));
            qregs_obj = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 2));
            if (!params_obj.is_none()) {
                if (!PyUnicode_Check(params_obj.ptr()))
                    vx::type_error("the parameter text must be a str");
                psrc = params_obj.ptr();
                p0 = 0;
                p1 = PyUnicode_GET_LENGTH(psrc);
            }
        }
        if (!gate_word.is_valid()) {
            // No statement form: only the lines that are no statements pass.
            if (b == e)
                continue;
            nb::object w = first_word(line, v, b, e);
            if (rd.is_skip(w))
                continue;
            unrecognized(w);
        }
        if (!PyUnicode_Check(gate_word.ptr()))
            unrecognized(gate_word);
        if (!g)
            g = &rd.info(gate_word);
        if (g->row == kSkip)
            continue;
        if (g->row == kUnknown)
            unrecognized(gate_word);

        // Parameters, checked against the gate before any is evaluated.
        GateInfo pinfo = *g;
        if (g->row == kOne || g->row == kTwo || g->row == kThree || g->row == kReset || g->row == kBarrier ||
            g->row == kMeasure)
            pinfo.nparams = -1;  // parameters are read and not used
        if (g->row == kCustom)
            pinfo.nparams = -1;
        rd.params_of(gate_word, pinfo, psrc, p0, p1, params);

        // Operand positions.
        bool is_measure = g->row == kMeasure;
        ops.clear();
        keep.clear();
        nb::object pos_list;
        if (native && own_positions) {
            if (sp.form == Form::Measure) {
                collect_operands(line, sp.q0, sp.q1, ops);
                collect_operands(line, sp.c0, sp.c1, ops);
            } else {
                collect_operands(line, sp.q0, sp.q1, ops);
            }
            resolve_positions(is_measure, ops, qlook, clook, pos);
        } else {
            if (native) {
                if (sp.form == Form::Measure) {
                    nb::object q = substr(line, sp.q0, sp.q1), c = substr(line, sp.c0, sp.c1);
                    qregs_obj = vx::own(PyUnicode_FromFormat("%U,%U", q.ptr(), c.ptr()));
                } else {
                    qregs_obj = substr(line, sp.q0, sp.q1);
                }
            }
            if (own_positions) {
                operands_of_object(qregs_obj, ops, keep);
                resolve_positions(is_measure, ops, qlook, clook, pos);
            } else {
                pos_list = vx::own(PyObject_Vectorcall(
                    positions_fn.ptr(),
                    std::array<PyObject *, 4>{gate_word.ptr(), qregs_obj.ptr(), qmap.ptr(), cmap.ptr()}.data(), 4,
                    nullptr));
                pos.clear();
                pos.start.push_back(0);
                nb::object outer = vx::own(PySequence_Fast(pos_list.ptr(), "positions must be a sequence"));
                for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(outer.ptr()); ++k) {
                    nb::object inner =
                        vx::own(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.ptr(), k), "positions must be lists"));
                    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(inner.ptr()); ++i)
                        pos.flat.push_back(PySequence_Fast_GET_ITEM(inner.ptr(), i));
                    pos.start.push_back(pos.flat.size());
                    keep.push_back(inner);
                }
                keep.push_back(outer);
            }
        }
        size_t nops = pos.count();

        switch (g->row) {
        case kOne:
        case kParam1:
        case kU12:
        case kDelay:
        case kReset:
            for (PyObject *q : pos.flat) {
                nb::object rec;
                if (g->row == kOne || g->row == kReset)
                    rec = Reader::tuple({g->name.ptr(), q});
                else if (g->row == kU12 && g->is_u1)
                    rec = Reader::tuple({g->name.ptr(), rd.zero_.ptr(), rd.zero_.ptr(), params[0].ptr(), q});
                else if (g->row == kU12)
                    rec = Reader::tuple({g->name.ptr(), rd.half_pi_.ptr(), params[0].ptr(), params[1].ptr(), q});
                else if (g->row == kDelay) {
                    nb::object qt = vx::own(PyTuple_Pack(1, q));
                    rec = Reader::tuple({g->name.ptr()}, &params, {qt.ptr()});
                } else
                    rec = Reader::tuple({g->name.ptr()}, &params, {q});
                rd.append(rec);
                rd.use_qubit(q);
            }
            break;
        case kTwo:
        case kParam2:
        case kCu1:
            if (nops != 2)
                count_error(gate_word, 2, nops);
            if (pos.len(0) != pos.len(1))
                length_error(gate_word, 2);
            for (size_t i = 0; i < pos.len(0); ++i) {
                PyObject *q0 = pos.at(0, i), *q1 = pos.at(1, i);
                if (g->row == kTwo)
                    rd.append(Reader::tuple({g->name.ptr(), q0, q1}));
                else
                    rd.append(Reader::tuple({g->name.ptr()}, &params, {q0, q1}));
                rd.use_qubit(q0);
                rd.use_qubit(q1);
            }
            break;
        case kThree:
            if (nops != 3)
                count_error(gate_word, 3, nops);
            if (pos.len(1) != pos.len(0) || pos.len(2) != pos.len(0))
                length_error(gate_word, 3);
            for (size_t i = 0; i < pos.len(0); ++i) {
                PyObject *q0 = pos.at(0, i), *q1 = pos.at(1, i), *q2 = pos.at(2, i);
                rd.append(Reader::tuple({g->name.ptr(), q0, q1, q2}));
                rd.use_qubit(q0);
                rd.use_qubit(q1);
                rd.use_qubit(q2);
            }
            break;
        case kBarrier: {
            nb::object qs = vx::own(PyTuple_New(static_cast<Py_ssize_t>(pos.flat.size())));
            for (size_t k = 0; k < pos.flat.size(); ++k) {
                Py_INCREF(pos.flat[k]);
                PyTuple_SET_ITEM(qs.ptr(), static_cast<Py_ssize_t>(k), pos.flat[k]);
            }
            rd.append(Reader::tuple({g->name.ptr(), qs.ptr()}));
            break;
        }
        case kMeasure:
            if (nops < 2)
                measure_parse_error();
            if (pos.len(0) != pos.len(1))
                length_error(gate_word, 2);
            for (size_t i = 0; i < pos.len(0); ++i) {
                PyObject *q = pos.at(0, i), *c = pos.at(1, i);
                nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
                Py_INCREF(q);
                PyList_SET_ITEM(ql.ptr(), 0, q);
                Py_INCREF(c);
                PyList_SET_ITEM(cl.ptr(), 0, c);
                rd.append(Reader::tuple({g->name.ptr(), ql.ptr(), cl.ptr()}));
                rd.use_qubit(q);
                rd.use_cbit(c);
            }
            break;
        case kCustom: {
            nb::object pq = vx::own(PyObject_GetItem(g->custom.ptr(), str_of("params_and_qregs").ptr()));
            Py_ssize_t want = length(pq);
            if (static_cast<size_t>(want) != params.size() + nops)
                vx::value_error("custom gate " + to_std(gate_word) + " takes " + std::to_string(want) +
                                " arguments, but got " + std::to_string(params.size() + nops) + ".");
            for (size_t k = 1; k < nops; ++k)
                if (pos.len(k) != pos.len(0))
                    vx::value_error("custom gate " + to_std(gate_word) + " sparse failer!");
            size_t n = nops ? pos.len(0) : 0;
            for (size_t i = 0; i < n; ++i) {
                actual.clear();
                for (size_t k = 0; k < nops; ++k)
                    actual.push_back(pos.at(k, i));
                rd.expand(gate_word, *g, params, actual);
                for (PyObject *q : actual)
                    rd.use_qubit(q);
            }
            break;
        }
        default: unrecognized(gate_word);
        }
    }
    return rd.finish(true);
}

vx::FunctionDef parse_openqasm2_to_gates_def() {
    return {.name = "parse_openqasm2_to_gates", .impl = parse_openqasm2_to_gates, .params = {{"openqasm2_str"}}};
}
Register reg_parse_openqasm2_to_gates("parse_openqasm2_to_gates", parse_openqasm2_to_gates_def);

// -- the single-register reader ---------------------------------------------------

// The whole-register measure "measure\s+(.+?)\s*->\s*(.+)" matched at the
// start of [0, n); false when it does not match.
bool match_whole_measure(const View &v, Py_ssize_t n, Py_ssize_t g[4]) {
    if (!has_text_at(v, 0, n, "measure"))
        return false;
    Py_ssize_t w = 7;
    while (w < n && is_space_cp(v[w]))
        ++w;
    if (w == 7)
        return false;
    auto try_from = [&](Py_ssize_t s, Py_ssize_t first_arrow) -> bool {
        for (Py_ssize_t k = first_arrow; k + 1 < n; ++k) {
            if (v[k] != '-' || v[k + 1] != '>' || k + 2 >= n)
                continue;
            if (v[k] == '\n')
                return false;
            Py_ssize_t ge = k;
            while (ge > s + 1 && is_space_cp(v[ge - 1]))
                --ge;
            Py_ssize_t c = k + 2;
            while (c < n && is_space_cp(v[c]))
                ++c;
            if (c == n)
                c = n - 1;
            g[0] = s;
            g[1] = ge;
            g[2] = c;
            g[3] = n;
            return true;
        }
        return false;
    };
    if (w < n && try_from(w, w + 1))
        return true;
    if (w - 7 >= 2 && has_text_at(v, w, n, "->") && w + 2 < n)
        return try_from(w - 1, w);
    return false;
}

nb::object parse_openqasm2_to_gates_dump(const vx::Args &a) {
    nb::object regs = vx::own(PyObject_CallOneArg(a.global("parse_openqasm2_regs").ptr(), a.ptr(0)));
    nb::object qregs = vx::own(PySequence_GetItem(regs.ptr(), 0));
    nb::object cregs = vx::own(PySequence_GetItem(regs.ptr(), 1));
    if (length(qregs) > 1 || length(cregs) > 1)
        vx::value_error("Sorry, currently only one quantum or classical register definition is supported");
    nb::object custom = vx::own(PyObject_CallOneArg(a.global("parse_openqasm2_custom_gates").ptr(), a.ptr(0)));
    nb::object custom_gates = vx::own(PySequence_GetItem(custom.ptr(), 0));
    nb::object text = vx::own(PySequence_GetItem(custom.ptr(), 1));

    Reader rd(a, custom_gates, true);
    nb::object lines = split_lines(stripped(text));
    Py_ssize_t nlines = PyList_GET_SIZE(lines.ptr());
    std::vector<nb::object> params, pos;
    std::vector<PyObject *> actual;

    auto reg_at = [&](nb::handle list, int item) -> nb::object {
        if (length(list) == 0)
            return nb::object();
        nb::object first = vx::own(PySequence_GetItem(list.ptr(), 0));
        return vx::own(PySequence_GetItem(first.ptr(), item));
    };

    for (Py_ssize_t ln = 0; ln < nlines; ++ln) {
        PyObject *line = PyList_GET_ITEM(lines.ptr(), ln);
        View v(line);
        Py_ssize_t b = 0, e = v.n;
        strip_range(v, b, e);
        if (b == e)
            continue;  // empty, tabs or blanks only
        Py_ssize_t we = b;
        while (we < e && !is_space_cp(v[we]))
            ++we;
        Py_ssize_t cut = b;
        while (cut < we && v[cut] != '(')
            ++cut;
        nb::object word = substr(line, b, cut);

        // \[(\d+)\] everywhere in the line
        pos.clear();
        for (Py_ssize_t i = 0; i < v.n; ++i) {
            if (v[i] != '[')
                continue;
            Py_ssize_t j = i + 1;
            while (j < v.n && is_digit_cp(v[j]))
                ++j;
            if (j > i + 1 && j < v.n && v[j] == ']') {
                nb::object digits = substr(line, i + 1, j);
                pos.push_back(vx::own(PyLong_FromUnicodeObject(digits.ptr(), 10)));
                i = j;
            }
        }
        // \(([^)]+)\): the first parenthesised text
        Py_ssize_t p0 = -1, p1 = -1;
        for (Py_ssize_t i = 0; i < v.n; ++i) {
            if (v[i] != '(' || i + 1 >= v.n || v[i + 1] == ')')
                continue;
            Py_ssize_t c = i + 1;
            while (c < v.n && v[c] != ')')
                ++c;
            if (c < v.n) {
                p0 = i + 1;
                p1 = c;
            }
            break;
        }
        const GateInfo &g = rd.info(word);
        auto need = [&](size_t k) {
            if (pos.size() < k)
                too_few_qubits(word, static_cast<long long>(k), static_cast<long long>(pos.size()));
        };
        auto one_expression = [&]() -> nb::object {
            if (p0 < 0)
                wrong_param_count(word, 1, 0);
            return rd.eval(line, p0, p1);
        };
        switch (g.row) {
        case kOne:
            need(1);
            rd.append(Reader::tuple({g.name.ptr(), pos[0].ptr()}));
            rd.use_qubit(pos[0].ptr());
            break;
        case kTwo:
            need(2);
            rd.append(Reader::tuple({g.name.ptr(), pos[0].ptr(), pos[1].ptr()}));
            rd.use_qubit(pos[0].ptr());
            rd.use_qubit(pos[1].ptr());
            break;
        case kThree:
            need(3);
            rd.append(Reader::tuple({g.name.ptr(), pos[0].ptr(), pos[1].ptr(), pos[2].ptr()}));
            for (int k = 0; k < 3; ++k)
                rd.use_qubit(pos[k].ptr());
            break;
        case kParam1:
        case kU12: {
            need(1);
            PyObject *q = pos.back().ptr();
            if (g.is_u || g.is_r || g.row == kU12) {
                rd.params_of(word, g, line, p0, p1, params);
                if (g.row == kU12 && g.is_u1)
                    rd.append(Reader::tuple({g.name.ptr(), rd.zero_.ptr(), rd.zero_.ptr(), params[0].ptr(), q}));
                else if (g.row == kU12)
                    rd.append(Reader::tuple({g.name.ptr(), rd.half_pi_.ptr(), params[0].ptr(), params[1].ptr(), q}));
                else
                    rd.append(Reader::tuple({g.name.ptr()}, &params, {q}));
            } else {
                nb::object angle = one_expression();
                rd.append(Reader::tuple({g.name.ptr(), angle.ptr(), q}));
            }
            rd.use_qubit(q);
            break;
        }
        case kParam2:
        case kCu1: {
            need(2);
            nb::object angle = one_expression();
            PyObject *q0 = pos[pos.size() - 2].ptr(), *q1 = pos.back().ptr();
            rd.append(Reader::tuple({g.name.ptr(), angle.ptr(), q0, q1}));
            rd.use_qubit(q0);
            rd.use_qubit(q1);
            break;
        }
        case kDelay: {
            need(1);
            nb::object d = one_expression();
            nb::object qt = vx::own(PyTuple_Pack(1, pos.back().ptr()));
            rd.append(Reader::tuple({g.name.ptr(), d.ptr(), qt.ptr()}));
            rd.use_qubit(pos.back().ptr());
            break;
        }
        case kReset:
            need(1);
            rd.append(Reader::tuple({g.name.ptr(), pos[0].ptr()}));
            rd.use_qubit(pos[0].ptr());
            break;
        case kBarrier: {
            if (!pos.empty()) {
                nb::object qs = vx::own(PyTuple_New(static_cast<Py_ssize_t>(pos.size())));
                for (size_t k = 0; k < pos.size(); ++k) {
                    Py_INCREF(pos[k].ptr());
                    PyTuple_SET_ITEM(qs.ptr(), static_cast<Py_ssize_t>(k), pos[k].ptr());
                }
                rd.append(Reader::tuple({g.name.ptr(), qs.ptr()}));
                break;
            }
            Py_ssize_t sb = b, se = e;
            while (se > sb && v[se - 1] == ';')
                --se;
            Py_ssize_t ob = sb + 7, oe = se;  // after the keyword "barrier"
            strip_range(v, ob, oe);
            nb::object operand = substr(line, ob, oe);
            nb::object qname = reg_at(qregs, 0);
            int eq = qname.is_valid() ? PyObject_RichCompareBool(operand.ptr(), qname.ptr(), Py_EQ) : 0;
            vx::check(eq);
            if (!eq)
                unrecognized_line(line);
            long long n = checked_size(reg_at(qregs, 1));
            nb::object qs = vx::own(PyTuple_New(n > 0 ? n : 0));
            for (long long i = 0; i < n; ++i)
                PyTuple_SET_ITEM(qs.ptr(), i, int_of(i).release().ptr());
            rd.append(Reader::tuple({g.name.ptr(), qs.ptr()}));
            break;
        }
        case kMeasure: {
            if (!pos.empty()) {
                need(2);
                nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
                PyList_SET_ITEM(ql.ptr(), 0, nb::object(pos[0]).release().ptr());
                PyList_SET_ITEM(cl.ptr(), 0, nb::object(pos[1]).release().ptr());
                rd.append(Reader::tuple({g.name.ptr(), ql.ptr(), cl.ptr()}));
                rd.use_qubit(pos[0].ptr());
                rd.use_cbit(pos[1].ptr());
                break;
            }
            Py_ssize_t se = e;
            while (se > b && v[se - 1] == ';')
                --se;
            nb::object body = substr(line, b, se);
            View bv(body.ptr());
            Py_ssize_t mg[4];
            if (!match_whole_measure(bv, bv.n, mg))
                unrecognized_line(line);
            Py_ssize_t qb = mg[0], qe = mg[1], cb = mg[2], ce = mg[3];
            strip_range(bv, qb, qe);
            strip_range(bv, cb, ce);
            nb::object qn = substr(body.ptr(), qb, qe), cn = substr(body.ptr(), cb, ce);
            nb::object qname = reg_at(qregs, 0), cname = reg_at(cregs, 0);
            if (!qname.is_valid() || !cname.is_valid())
                unrecognized_line(line);
            nb::object qsize = reg_at(qregs, 1), csize = reg_at(cregs, 1);
            int ok1 = PyObject_RichCompareBool(qn.ptr(), qname.ptr(), Py_EQ);
            vx::check(ok1);
            int ok2 = PyObject_RichCompareBool(cn.ptr(), cname.ptr(), Py_EQ);
            vx::check(ok2);
            int ok3 = PyObject_RichCompareBool(qsize.ptr(), csize.ptr(), Py_EQ);
            vx::check(ok3);
            if (!(ok1 && ok2 && ok3)) {
                std::string pad(21, ' ');
                vx::value_error("check qreg name " + to_std(qname) + " and parse q_name " + to_std(qn) +
                                " is consistent," + pad + "\ncheck creg name " + to_std(cname) + " and parse c_name " +
                                to_std(cn) + " is consistent," + pad + "\ncheck qregs size " + to_std(qsize) +
                                " and cregs size " + to_std(csize) + " is equal.");
            }
            long long n = checked_size(qsize);
            for (long long i = 0; i < n; ++i) {
                nb::object idx = int_of(i);
                nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
                PyList_SET_ITEM(ql.ptr(), 0, nb::object(idx).release().ptr());
                PyList_SET_ITEM(cl.ptr(), 0, nb::object(idx).release().ptr());
                rd.append(Reader::tuple({g.name.ptr(), ql.ptr(), cl.ptr()}));
            }
            break;
        }
        case kSkip: break;
        case kCustom: {
            params.clear();
            if (p0 >= 0) {
                try {
                    GateInfo any = g;
                    any.nparams = -1;
                    rd.params_of(word, any, line, p0, p1, params);
                } catch (vx::error_already_set &) {
                    if (!PyErr_ExceptionMatches(PyExc_Exception))
                        throw;
                    PyErr_Clear();
                    params.clear();
                }
            }
            actual.clear();
            for (const nb::object &q : pos)
                actual.push_back(q.ptr());
            rd.expand(word, g, params, actual);
            for (PyObject *q : actual)
                rd.use_qubit(q);
            break;
        }
        default: unrecognized(word);
        }
    }
    return rd.finish(false);
}

vx::FunctionDef parse_openqasm2_to_gates_dump_def() {
    return {
        .name = "parse_openqasm2_to_gates_dump", .impl = parse_openqasm2_to_gates_dump, .params = {{"openqasm2_str"}}};
}
Register reg_parse_openqasm2_to_gates_dump("parse_openqasm2_to_gates_dump", parse_openqasm2_to_gates_dump_def);

}  // namespace
}  // namespace gatework
