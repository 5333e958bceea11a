// Scanning helpers of the program readers.  The scanners read Python str
// objects code point by code point and use Python's own character classes
// (str.isspace, the word characters and decimal digits of re), so they accept
// exactly the texts that the readers' regular expressions accept, in one pass.
#pragma once

#include "gatework.hpp"

#include <string>
#include <string_view>

namespace gatework {

struct View {
    const void *data = nullptr;
    int kind = PyUnicode_1BYTE_KIND;
    Py_ssize_t n = 0;
    bool ascii = true;

    View() = default;
    explicit View(PyObject *s)
        : data(PyUnicode_DATA(s)), kind(PyUnicode_KIND(s)), n(PyUnicode_GET_LENGTH(s)), ascii(PyUnicode_IS_ASCII(s)) {}
    View(const Py_UCS4 *p, Py_ssize_t len) : data(p), kind(PyUnicode_4BYTE_KIND), n(len), ascii(false) {}

    Py_UCS4 operator[](Py_ssize_t i) const { return i < n ? PyUnicode_READ(kind, data, i) : 0; }
    // The bytes of an ASCII view.
    std::string_view bytes(Py_ssize_t b, Py_ssize_t e) const {
        return {static_cast<const char *>(data) + b, static_cast<size_t>(e - b)};
    }
};

// str.isspace / \s
inline bool is_space_cp(Py_UCS4 c) {
    if (c < 128)
        return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
    return Py_UNICODE_ISSPACE(c);
}
// \w
inline bool is_word_cp(Py_UCS4 c) {
    if (c < 128)
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    return Py_UNICODE_ISALNUM(c);
}
// \d
inline bool is_digit_cp(Py_UCS4 c) {
    if (c < 128)
        return c >= '0' && c <= '9';
    return Py_UNICODE_ISDECIMAL(c);
}
// The line boundaries of str.splitlines.
inline bool is_line_break_cp(Py_UCS4 c) {
    return c == '\n' || c == '\r' || c == 0x0b || c == 0x0c || c == 0x1c || c == 0x1d || c == 0x1e || c == 0x85 ||
           c == 0x2028 || c == 0x2029;
}

// The first position at or after i that is no blank.
inline Py_ssize_t skip_spaces(const View &v, Py_ssize_t i, Py_ssize_t e) {
    while (i < e && is_space_cp(v[i]))
        ++i;
    return i;
}

inline void strip_range(const View &v, Py_ssize_t &b, Py_ssize_t &e) {
    while (b < e && is_space_cp(v[b]))
        ++b;
    while (e > b && is_space_cp(v[e - 1]))
        --e;
}

// Where a "//" comment starts in [b, e), or e.
inline Py_ssize_t comment_start(const View &v, Py_ssize_t b, Py_ssize_t e) {
    for (Py_ssize_t i = b; i + 1 < e; ++i)
        if (v[i] == '/' && v[i + 1] == '/')
            return i;
    return e;
}

inline bool has_text_at(const View &v, Py_ssize_t i, Py_ssize_t e, std::string_view lit) {
    if (i + static_cast<Py_ssize_t>(lit.size()) > e)
        return false;
    for (size_t k = 0; k < lit.size(); ++k)
        if (v[i + static_cast<Py_ssize_t>(k)] != static_cast<unsigned char>(lit[k]))
            return false;
    return true;
}

// The first position after the first ';' of [b, e) that stands outside
// double quotes (an include's file name may hold one) and after the blanks
// that follow it; e when there is none.
inline Py_ssize_t after_statement(const View &v, Py_ssize_t b, Py_ssize_t e) {
    bool quoted = false;
    for (Py_ssize_t i = b; i < e; ++i) {
        if (v[i] == '"')
            quoted = !quoted;
        else if (v[i] == ';' && !quoted)
            return skip_spaces(v, i + 1, e);
    }
    return e;
}

// Whether a line of statements the readers pass over (version, include and
// opaque lines, [b, e) without its comment) holds another statement after
// them, which would be lost with the line.
inline bool hides_statement(const View &v, Py_ssize_t b, Py_ssize_t e) {
    auto starts = [&](Py_ssize_t i, std::string_view w) {
        const auto end = i + static_cast<Py_ssize_t>(w.size());
        return has_text_at(v, i, e, w) && (end >= e || !is_word_cp(v[end]));
    };
    for (Py_ssize_t i = after_statement(v, b, e); i < e; i = after_statement(v, i, e))
        if (!starts(i, "OPENQASM") && !starts(i, "include") && !starts(i, "opaque"))
            return true;
    return false;
}

}  // namespace gatework
