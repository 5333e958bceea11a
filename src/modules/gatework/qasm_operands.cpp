// One statement and its operands: sparse_gate_params_qregs splits a statement
// into gate word, parameter text and operand text; get_positions_list turns
// the operand text into merged indices through the register maps.
#include "qasm.hpp"

namespace gatework::qasm {
namespace {

// "\s*\[\s*(\d+)\s*\]" at i: the end of the match or -1, the digits in [d0, d1).
Py_ssize_t match_index(const View &v, Py_ssize_t i, Py_ssize_t e, Py_ssize_t &d0, Py_ssize_t &d1) {
    i = skip_spaces(v, i, e);
    if (i >= e || v[i] != '[')
        return -1;
    d0 = skip_spaces(v, i + 1, e);
    d1 = d0;
    while (d1 < e && is_digit_cp(v[d1]))
        ++d1;
    if (d1 == d0)
        return -1;
    i = skip_spaces(v, d1, e);
    if (i >= e || v[i] != ']')
        return -1;
    return i + 1;
}

// One operand, "\w+(?:\s*\[\s*\d+\s*\])?", at i: the end of the match or -1.
Py_ssize_t match_operand(const View &v, Py_ssize_t i, Py_ssize_t e) {
    Py_ssize_t s = i;
    while (i < e && is_word_cp(v[i]))
        ++i;
    if (i == s)
        return -1;
    Py_ssize_t d0, d1;
    Py_ssize_t end = match_index(v, i, e, d0, d1);
    return end > 0 ? end : i;
}

// "$": the end of the text, or just before a final line feed.
bool at_end(const View &v, Py_ssize_t i, Py_ssize_t e) { return i == e || (i == e - 1 && v[i] == '\n'); }

// "measure\s+OP\s*->\s*OP\s*;\s*$" at i.
bool split_measure(const View &v, Py_ssize_t i, Py_ssize_t e, Split &r) {
    if (!has_text_at(v, i, e, "measure") || i + 7 >= e || !is_space_cp(v[i + 7]))
        return false;
    Py_ssize_t qa = skip_spaces(v, i + 7, e), qe = match_operand(v, qa, e);
    if (qe < 0)
        return false;
    Py_ssize_t k = skip_spaces(v, qe, e);
    if (!has_text_at(v, k, e, "->"))
        return false;
    Py_ssize_t ca = skip_spaces(v, k + 2, e), ce = match_operand(v, ca, e);
    if (ce < 0)
        return false;
    k = skip_spaces(v, ce, e);
    if (k >= e || v[k] != ';' || skip_spaces(v, k + 1, e) != e)
        return false;
    r.form = Form::Measure;
    r.q0 = qa;
    r.q1 = qe;
    r.c0 = ca;
    r.c1 = ce;
    return true;
}

// "(\w+)\s*(?:\(([^)]*)\))?\s*([\w\[\],\s]+)\s*;$" at i, with at least one
// blank between the gate word and the operands when there are no parameters.
bool split_general(const View &v, Py_ssize_t i, Py_ssize_t e, Split &r) {
    Py_ssize_t start = i;
    while (i < e && is_word_cp(v[i]))
        ++i;
    if (i == start)
        return false;
    r.g0 = start;
    r.g1 = i;
    Py_ssize_t j = skip_spaces(v, i, e);
    Py_ssize_t need = 1;  // blanks the operands need before them
    if (j < e && v[j] == '(') {
        Py_ssize_t c = j + 1;
        while (c < e && v[c] != ')')
            ++c;
        if (c >= e)
            return false;
        r.p0 = j + 1;
        r.p1 = c;
        i = c + 1;
        need = 0;
    }
    Py_ssize_t w0 = i;
    i = skip_spaces(v, i, e);
    Py_ssize_t blanks = i - w0;
    Py_ssize_t run = i;
    while (run < e && (is_word_cp(v[run]) || v[run] == '[' || v[run] == ']' || v[run] == ',' || is_space_cp(v[run])))
        ++run;
    Py_ssize_t semi;
    if (run > i && blanks >= need) {
        r.q0 = i;
        r.q1 = run;
        semi = run;
    } else if (run == i && blanks >= need + 1) {
        r.q0 = i - 1;  // the operand text is the last blank
        r.q1 = i;
        semi = i;
    } else {
        return false;
    }
    if (semi >= e || v[semi] != ';' || !at_end(v, semi + 1, e))
        return false;
    r.form = Form::Statement;
    return true;
}

}  // namespace

Split split_statement(const View &v, Py_ssize_t b, Py_ssize_t e) {
    Split r;
    Py_ssize_t start = skip_spaces(v, b, e);
    if (split_measure(v, start, e, r) || split_general(v, start, e, r))
        return r;
    return Split{};
}

void collect_operands(PyObject *src, Py_ssize_t b, Py_ssize_t e, std::vector<Operand> &out) {
    View v(src);
    Py_ssize_t s = b;
    for (Py_ssize_t k = b;; ++k) {
        if (k < e && v[k] != ',')
            continue;
        // Every indexed reference "(\w+)\s*\[\s*(\d+)\s*\]" of the piece [s, k).
        bool found = false;
        for (Py_ssize_t i = s; i < k;) {
            if (!is_word_cp(v[i])) {
                ++i;
                continue;
            }
            Py_ssize_t r0 = i;
            while (i < k && is_word_cp(v[i]))
                ++i;
            Py_ssize_t d0, d1, end = match_index(v, i, k, d0, d1);
            if (end > 0) {
                out.push_back({src, true, r0, i, d0, d1});
                found = true;
                i = end;
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

bool parse_operands(PyObject *src, Py_ssize_t b, Py_ssize_t e, std::vector<Operand> &out) {
    View v(src);
    for (Py_ssize_t s = b;;) {
        Py_ssize_t i = skip_spaces(v, s, e), n0 = i;
        while (i < e && is_word_cp(v[i]))
            ++i;
        if (i == n0)
            return false;
        Operand op{src, false, n0, i, 0, 0};
        Py_ssize_t end = match_index(v, i, e, op.d0, op.d1);
        if (end > 0) {
            op.indexed = true;
            i = end;
        }
        out.push_back(op);
        i = skip_spaces(v, i, e);
        if (i == e)
            return true;
        if (v[i] != ',')
            return false;
        s = i + 1;
    }
}

[[noreturn]] void RegisterLookup::undeclared(const Operand &op) { undeclared_register(kind_, entry(op).name); }

// map[name][index], with errors that say which register lacks what.
PyObject *RegisterLookup::indexed(const Operand &op) {
    Entry &en = entry(op);
    if (!en.inner.is_valid()) {
        PyObject *inner = PyObject_GetItem(map_.ptr(), en.name.ptr());
        if (!inner && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            undeclared(op);
        }
        en.inner = vx::own(inner);
    }
    View v(op.src);
    long long idx = -1;
    if (v.ascii && op.d1 - op.d0 <= 15) {
        idx = 0;
        for (Py_ssize_t i = op.d0; i < op.d1; ++i)
            idx = idx * 10 + (v[i] - '0');
    }
    bool cached = idx >= 0 && idx < kMaxRegisterSpan;
    if (cached && static_cast<size_t>(idx) < en.vals.size() && en.vals[idx].is_valid())
        return en.vals[idx].ptr();
    nb::object key =
        cached ? vx::int_obj(idx) : vx::own(PyLong_FromUnicodeObject(substr(op.src, op.d0, op.d1).ptr(), 10));
    PyObject *raw = PyObject_GetItem(en.inner.ptr(), key.ptr());
    if (!raw && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        index_out_of_range(kind_, en.name, key, vx::int_obj(vx::length(en.inner)));
    }
    nb::object val = vx::own(raw);
    if (!cached) {
        keep_.push_back(val);
        return val.ptr();
    }
    if (static_cast<size_t>(idx) >= en.vals.size())
        en.vals.resize(static_cast<size_t>(idx) + 1);
    en.vals[idx] = val;
    return val.ptr();
}

const std::vector<nb::object> *RegisterLookup::whole(const Operand &op) {
    Entry &en = entry(op);
    if (!en.whole_known) {
        en.whole_known = true;
        en.declared = vx::contains(map_, en.name);
        if (en.declared) {
            nb::object inner = vx::getitem(map_, en.name);
            nb::object values = vx::call_method(inner, "values", {});
            nb::object it = vx::own(PyObject_GetIter(values.ptr()));
            while (nb::object item = vx::next_item(it))
                en.all.push_back(item);
        }
    }
    return en.declared ? &en.all : nullptr;
}

// The entry of the operand's register name, keyed by the name's UTF-8 bytes
// (lone surrogates kept); the name object is made once per register.
RegisterLookup::Entry &RegisterLookup::entry(const Operand &op) {
    View v(op.src);
    nb::object name;
    if (v.ascii) {
        key_.assign(v.bytes(op.n0, op.n1));
    } else {
        name = substr(op.src, op.n0, op.n1);
        nb::object bytes = vx::own(PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogatepass"));
        key_.assign(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    }
    auto it = cache_.find(key_);
    if (it != cache_.end())
        return it->second;
    if (!name.is_valid())
        name = substr(op.src, op.n0, op.n1);
    Entry &en = cache_[key_];
    en.name = std::move(name);
    return en;
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
        nb::object comma = vx::str_obj(",");
        nb::object qc = vx::own(PyUnicode_Concat(q.ptr(), comma.ptr()));
        qc = vx::own(PyUnicode_Concat(qc.ptr(), c.ptr()));
        nb::object m = vx::str_obj("measure");
        return vx::own(PyTuple_Pack(3, m.ptr(), Py_None, qc.ptr()));
    }
    if (s.form == Form::None)
        return vx::own(PyTuple_Pack(3, Py_None, Py_None, Py_None));
    nb::object g = substr(line, s.g0, s.g1);
    nb::object p = s.p0 >= 0 ? substr(line, s.p0, s.p1) : nb::none();
    nb::object q = substr(line, s.q0, s.q1);
    return vx::own(PyTuple_Pack(3, g.ptr(), p.ptr(), q.ptr()));
}

namespace {

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

vx::FunctionDef sparse_gate_params_qregs_def() {
    return {.name = "sparse_gate_params_qregs", .impl = sparse_gate_params_qregs, .params = {{"line"}}};
}
Register reg_sparse_gate_params_qregs("sparse_gate_params_qregs", sparse_gate_params_qregs_def);

vx::FunctionDef get_positions_list_def() {
    return {.name = "get_positions_list",
            .impl = get_positions_list,
            .params = {{"gate"}, {"qregs_str"}, {"qreg_map"}, {"creg_map"}}};
}
Register reg_get_positions_list("get_positions_list", get_positions_list_def);

}  // namespace

[[noreturn]] void measure_parse_error() { vx::value_error("measurement gate: position parse error"); }

void resolve_positions(bool measure, const std::vector<Operand> &ops, RegisterLookup &qlook, RegisterLookup &clook,
                       Positions &pos, bool strict) {
    pos.clear();
    pos.start.push_back(0);
    if (measure && ops.size() != 2)
        measure_parse_error();
    for (size_t k = 0; k < ops.size(); ++k) {
        const Operand &op = ops[k];
        RegisterLookup &lookup = measure && k == 1 ? clook : qlook;
        if (op.indexed) {
            pos.flat.push_back(lookup.indexed(op));
        } else if (const auto *all = lookup.whole(op)) {
            for (const nb::object &o : *all)
                pos.flat.push_back(o.ptr());
        } else if (strict) {
            lookup.undeclared(op);
        } else if (!measure) {
            continue;  // not a declared register: no operand
        }
        pos.start.push_back(pos.flat.size());
    }
}

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
    RegisterLookup qlook(a[2], "quantum"), clook(a[3], "classical");
    Positions pos;
    resolve_positions(equals_text(a[0], "measure"), ops, qlook, clook, pos, false);
    return positions_to_list(pos);
}

}  // namespace gatework::qasm
