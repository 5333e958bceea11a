// One statement and its operands: sparse_gate_params_qregs splits a statement
// into gate word, parameter text and operand text; get_positions_list turns
// the operand text into merged indices through the register maps.
#include "qasm.hpp"

namespace gatework::qasm {
namespace {

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

}  // namespace

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

PyObject *RegisterLookup::indexed(const Operand &op) {
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

const std::vector<nb::object> *RegisterLookup::whole(const Operand &op) {
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

RegisterLookup::Entry &RegisterLookup::entry(const Operand &op) {
    nb::object name = substr(op.src, op.n0, op.n1);
    key_.assign(vx::utf8(name));
    auto it = cache_.find(key_);
    if (it != cache_.end())
        return it->second;
    Entry &en = cache_[key_];
    en.name = name;
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

namespace {

void resolve_into(RegisterLookup &lookup, const Operand &op, std::vector<PyObject *> &flat) {
    if (op.indexed) {
        flat.push_back(lookup.indexed(op));
    } else if (const auto *all = lookup.whole(op)) {
        for (const nb::object &o : *all)
            flat.push_back(o.ptr());
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

}  // namespace gatework::qasm
