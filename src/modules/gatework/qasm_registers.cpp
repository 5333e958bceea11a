// Register declarations and register maps: parse_openqasm2_regs and
// generate_reg_map.
#include "qasm.hpp"

namespace gatework::qasm {

long long checked_size(nb::handle size) {
    nb::object idx = vx::own(PyNumber_Index(size.ptr()));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    if (overflow > 0 || v > kMaxRegisterSpan)
        vx::value_error("Register size " + text(size) + " is too large: at most " + std::to_string(kMaxRegisterSpan) +
                        " qubits or classical bits of one kind are supported");
    if (overflow < 0)
        return -kMaxRegisterSpan - 1;
    return v;
}

namespace {

// Matches "<kw>\s+(\w+)\s*\[\s*(\d+)\s*\]\s*;" at i (the keyword already seen
// there); returns the end of the match or -1.
Py_ssize_t match_declaration(const View &v, Py_ssize_t i, Py_ssize_t e, Py_ssize_t g[4]) {
    i += 4;
    if (i >= e || !is_space_cp(v[i]))
        return -1;
    g[0] = i = skip_spaces(v, i, e);
    while (i < e && is_word_cp(v[i]))
        ++i;
    g[1] = i;
    i = skip_spaces(v, i, e);
    if (g[1] == g[0] || i >= e || v[i] != '[')
        return -1;
    g[2] = i = skip_spaces(v, i + 1, e);
    while (i < e && is_digit_cp(v[i]))
        ++i;
    g[3] = i;
    i = skip_spaces(v, i, e);
    if (g[3] == g[2] || i >= e || v[i] != ']')
        return -1;
    i = skip_spaces(v, i + 1, e);
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

}  // namespace

bool declares(const View &v, bool &other) {
    Py_ssize_t code_end = v.n;
    for (Py_ssize_t i = 0; i + 1 < v.n; ++i)
        if (v[i] == '/' && v[i + 1] == '/') {
            code_end = i;
            break;
        }
    bool found = false;
    other = false;
    Py_ssize_t g[4];
    for (Py_ssize_t i = 0; i < code_end;) {
        if (has_text_at(v, i, code_end, "qreg") || has_text_at(v, i, code_end, "creg")) {
            Py_ssize_t end = match_declaration(v, i, code_end, g);
            if (end > 0) {
                found = true;
                i = end;
                continue;
            }
        }
        if (!is_space_cp(v[i]))
            other = true;
        ++i;
    }
    return found;
}

namespace {

nb::object parse_openqasm2_regs(const vx::Args &a) {
    PyObject *text = a.ptr(0);
    nb::object qregs = vx::own(PyList_New(0));
    nb::object cregs = vx::own(PyList_New(0));
    find_declarations(text, "qreg", qregs);
    find_declarations(text, "creg", cregs);

    nb::object lines = split_lines(text);
    nb::object kept = vx::own(PyList_New(0));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(lines.ptr()); ++k) {
        PyObject *line = PyList_GET_ITEM(lines.ptr(), k);
        View v(line);
        bool other = false;
        if (!declares(v, other)) {
            vx::check(PyList_Append(kept.ptr(), line));
        } else if (other) {
            // A statement beside a declaration would be lost with the line.
            Py_ssize_t b = 0, e = v.n;
            strip_range(v, b, e);
            unrecognized(substr(line, b, e));
        }
    }
    nb::object sep = vx::str_obj("\n");
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
    nb::object total = vx::int_obj(0);
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
        if (PyLong_Check(total.ptr()) && vx::less(vx::int_obj(kMaxRegisterSpan), total))
            vx::value_error("The registers of one kind hold " + text(total) +
                            " qubits or classical bits in all: at most " + std::to_string(kMaxRegisterSpan) +
                            " are supported");
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
            nb::object k = vx::int_obj(i), val = vx::int_obj(start + i);
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
    return {.name = "generate_reg_map",
            .impl = generate_reg_map,
            .params = {{"regs"}, {"type"}},
            .defaults = {vx::str_obj("")}};
}
Register reg_generate_reg_map("generate_reg_map", generate_reg_map_def);

}  // namespace
}  // namespace gatework::qasm
