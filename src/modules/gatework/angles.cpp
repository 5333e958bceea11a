// Angles and their text: is_multiple_of_pi and parse_expression.
//
// parse_expression reads gate parameters written in program text.  It never
// hands the text to Python's eval: a small evaluator accepts numbers, pi, π,
// np.pi, + - * / **, unary signs and parentheses, with Python's own number
// semantics (the arithmetic runs on Python ints and floats), and refuses
// everything else.  Integer results are capped in size and nesting is capped
// in depth, so no text can exhaust time, memory or the stack.
#include "gatework.hpp"
#include "expression.hpp"

#include <cmath>
#include <string>
#include <string_view>

namespace gatework {
namespace {

// -- is_multiple_of_pi ------------------------------------------------------

// round(x, ndigits) of a float, as Python rounds it (the decimal digits
// correctly rounded, then read back).
double round_double(double x, int ndigits) {
    if (!std::isfinite(x))
        return x;
    char *s = PyOS_double_to_string(x, 'f', ndigits, 0, nullptr);
    if (!s)
        throw vx::error_already_set{};
    const double r = PyOS_string_to_double(s, nullptr, nullptr);
    PyMem_Free(s);
    if (r == -1.0 && PyErr_Occurred())
        throw vx::error_already_set{};
    return r;
}

// The text of an exact int or float, worked out without Python objects;
// false for any other number (and an int beyond long long).
bool multiple_of_pi_value(PyObject *n, double pi, double tolerance, std::string &out) {
    double x;
    long long whole = 0;
    const bool is_int = PyLong_CheckExact(n);
    if (PyFloat_CheckExact(n)) {
        x = PyFloat_AS_DOUBLE(n);
    } else if (is_int) {
        int overflow = 0;
        whole = PyLong_AsLongLongAndOverflow(n, &overflow);
        if (overflow)
            return false;
        x = static_cast<double>(whole);  // correctly rounded, as int / float converts it
    } else {
        return false;
    }
    const double m = x / pi;
    const double k = round_double(m, 2);
    if (std::fabs(m - k) < tolerance)
        out = std::fabs(k) <= 1e-08 ? "0.0" : vx::repr_double(k) + "\u03c0";  // np.allclose(k, 0.0)
    else
        out = is_int ? std::to_string(whole) : vx::repr_double(round_double(x, 3));
    return true;
}

// np.pi, where np is the module's own numpy and its pi a float.
bool own_pi(PyObject *globals, double &pi) {
    if (!vx::is_original(globals, "np"))
        return false;
    nb::object p = vx::getattr(vx::lookup_global(globals, vx::intern("np")), "pi");
    if (!PyFloat_CheckExact(p.ptr()))
        return false;
    pi = PyFloat_AS_DOUBLE(p.ptr());
    return true;
}

nb::object is_multiple_of_pi(const vx::Args &a) {
    nb::handle n = a[0];
    nb::handle tolerance = a[1];
    double own;
    std::string text;
    if (own_pi(a.func()->globals, own) && multiple_of_pi_value(n.ptr(), own, a.f(1), text))
        return vx::str_obj(text);
    nb::handle np = a.global("np");
    nb::object pi = np.attr("pi");
    nb::object m = vx::own(PyNumber_TrueDivide(n.ptr(), pi.ptr()));
    nb::object k = vx::round_obj(m, 2);
    nb::object diff = vx::own(PyNumber_Subtract(m.ptr(), k.ptr()));
    nb::object adiff = vx::own(PyNumber_Absolute(diff.ptr()));
    int close = PyObject_RichCompareBool(adiff.ptr(), tolerance.ptr(), Py_LT);
    vx::check(close);
    if (close) {
        bool zero;
        if (PyFloat_CheckExact(k.ptr()) && vx::is_original(a, "np")) {
            // np.allclose(k, 0.0) for a float: |k| <= atol (1e-08)
            zero = std::fabs(PyFloat_AS_DOUBLE(k.ptr())) <= 1e-08;
        } else {
            nb::object zero_f = vx::own(PyFloat_FromDouble(0.0));
            nb::object r = np.attr("allclose")(k, zero_f);
            int t = PyObject_IsTrue(r.ptr());
            vx::check(t);
            zero = t != 0;
        }
        if (zero)
            return vx::own(PyUnicode_FromString("0.0"));
        nb::object ks = vx::own(PyObject_Str(k.ptr()));
        nb::object pis = vx::own(PyUnicode_FromString("\u03c0"));
        return vx::own(PyUnicode_Concat(ks.ptr(), pis.ptr()));
    }
    nb::object r = vx::round_obj(n, 3);
    return vx::own(PyObject_Str(r.ptr()));
}

vx::FunctionDef is_multiple_of_pi_def() {
    return {.name = "is_multiple_of_pi",
            .impl = is_multiple_of_pi,
            .params = {{"n"}, {"tolerance", vx::Conv::Float}},
            .defaults = {vx::own(PyFloat_FromDouble(1e-9))},
            .return_annotation = "str"};
}
Register reg_is_multiple_of_pi("is_multiple_of_pi", is_multiple_of_pi_def);

// -- parse_expression ---------------------------------------------------------

// Python's str.isspace() on ASCII, which is what \s and strip() use.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || is_digit(static_cast<char>(c)) || c >= 0x80;
}

// The pi form: [sign][digits][.][digits] blanks pi [blanks / blanks [sign][digits][.]digits]
// Returns false when the text is not of that form; otherwise the coefficient
// and denominator texts (has_den false when there is no denominator).
bool match_pi_form(std::string_view s, std::string_view &coef, std::string_view &den, bool &has_den) {
    size_t i = 0, n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-'))
        ++i;
    while (i < n && is_digit(s[i]))
        ++i;
    if (i < n && s[i] == '.')
        ++i;
    while (i < n && is_digit(s[i]))
        ++i;
    coef = s.substr(0, i);
    while (i < n && is_space(s[i]))
        ++i;
    if (s.substr(i, 2) != "pi")
        return false;
    i += 2;
    has_den = false;
    if (i == n)
        return true;
    while (i < n && is_space(s[i]))
        ++i;
    if (i >= n || s[i] != '/')
        return false;
    ++i;
    while (i < n && is_space(s[i]))
        ++i;
    size_t start = i;
    if (i < n && (s[i] == '+' || s[i] == '-'))
        ++i;
    size_t d0 = i;
    while (i < n && is_digit(s[i]))
        ++i;
    size_t int_digits = i - d0;
    if (i < n && s[i] == '.') {
        ++i;
        size_t f0 = i;
        while (i < n && is_digit(s[i]))
            ++i;
        if (i == f0)
            return false;  // the denominator must end with a digit
    } else if (int_digits == 0) {
        return false;
    }
    if (i != n)
        return false;
    den = s.substr(start, i - start);
    has_den = true;
    return true;
}

nb::object float_from_text(std::string_view t) {
    nb::object s = vx::own(PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())));
    return vx::own(PyFloat_FromString(s.ptr()));
}

std::string quoted(std::string_view w) {
    std::string r;
    r.reserve(w.size() + 2);
    r += '\'';
    r += w;
    r += '\'';
    return r;
}

[[noreturn]] void syntax_error(const char *msg) { vx::raise(PyExc_SyntaxError, msg); }

constexpr std::string_view kAllowed = " (only numbers, pi, \u03c0, np.pi, + - * / ** and parentheses are allowed)";
[[noreturn]] void unsupported(std::string_view what) {
    vx::value_error("Unsupported parameter expression: " + std::string(what) + std::string(kAllowed));
}

constexpr int kMaxDepth = 200;           // Python's own parser refuses deeper nesting
constexpr size_t kMaxIntBits = 1 << 16;  // larger integer results are refused

class Evaluator {
public:
    Evaluator(std::string_view s, PyObject *pi) : s_(s), pi_(pi) {}
    // Names bound to numbers (the formal parameters of a custom gate).
    void bind(const Binding *names, size_t count) {
        binds_ = names;
        nbinds_ = count;
    }

    nb::object run() {
        skip();
        if (pos_ >= s_.size())
            syntax_error("invalid syntax");
        nb::object v = expr();
        skip();
        if (pos_ < s_.size())
            reject_rest();
        return v;
    }

private:
    std::string_view s_;
    size_t pos_ = 0;
    int depth_ = 0;
    PyObject *pi_;
    const Binding *binds_ = nullptr;
    size_t nbinds_ = 0;

    void skip() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\x0c'))
            ++pos_;
    }
    char peek(size_t off = 0) const { return pos_ + off < s_.size() ? s_[pos_ + off] : '\0'; }

    struct Depth {
        Evaluator &e;
        explicit Depth(Evaluator &ev) : e(ev) {
            if (++e.depth_ > kMaxDepth)
                syntax_error("too many nested parentheses");
        }
        ~Depth() { --e.depth_; }
    };

    // What stands where an operator or the end was expected.
    [[noreturn]] void reject_rest() {
        char c = peek();
        static constexpr std::string_view python_ops[] = {"//", "%", "@", "<<", ">>", "&", "|", "^",
                                                          "~",  "<", ">", "=",  "!",  ",", "[", "]",
                                                          "{",  "}", ":", "'",  "\"", ";", "."};
        std::string_view rest = s_.substr(pos_);
        for (std::string_view op : python_ops)
            if (rest.substr(0, op.size()) == op)
                unsupported(quoted(op));
        if (c == '(')
            unsupported("a call");
        if (is_ident_char(static_cast<unsigned char>(c)))
            unsupported(quoted(word_at(pos_)));
        syntax_error("invalid syntax");
    }

    std::string_view word_at(size_t p) const {
        size_t e = p;
        while (e < s_.size() && is_ident_char(static_cast<unsigned char>(s_[e])))
            ++e;
        return s_.substr(p, e - p);
    }

    nb::object expr() {
        nb::object v = term();
        for (;;) {
            skip();
            char c = peek();
            if (c != '+' && c != '-')
                return v;
            ++pos_;
            nb::object r = term();
            v = vx::own(c == '+' ? PyNumber_Add(v.ptr(), r.ptr()) : PyNumber_Subtract(v.ptr(), r.ptr()));
        }
    }

    nb::object term() {
        nb::object v = factor();
        for (;;) {
            skip();
            char c = peek();
            if (c == '*' && peek(1) != '*') {
                ++pos_;
                nb::object r = factor();
                guard_product(v.ptr(), r.ptr());
                v = vx::own(PyNumber_Multiply(v.ptr(), r.ptr()));
            } else if (c == '/' && peek(1) != '/') {
                ++pos_;
                nb::object r = factor();
                v = vx::own(PyNumber_TrueDivide(v.ptr(), r.ptr()));
            } else {
                return v;
            }
        }
    }

    nb::object factor() {
        Depth d(*this);
        skip();
        char c = peek();
        if (c == '+' || c == '-') {
            ++pos_;
            nb::object v = factor();
            return vx::own(c == '+' ? PyNumber_Positive(v.ptr()) : PyNumber_Negative(v.ptr()));
        }
        if (c == '~')
            unsupported("'~'");
        return power();
    }

    nb::object power() {
        nb::object base = atom();
        skip();
        if (peek() == '*' && peek(1) == '*') {
            pos_ += 2;
            nb::object ex = factor();
            guard_power(base.ptr(), ex.ptr());
            return vx::own(PyNumber_Power(base.ptr(), ex.ptr(), Py_None));
        }
        return base;
    }

    nb::object atom() {
        skip();
        char c = peek();
        if (c == '(') {
            Depth d(*this);
            ++pos_;
            skip();
            if (peek() == ')')
                unsupported("a tuple");
            nb::object v = expr();
            skip();
            if (peek() != ')') {
                if (pos_ >= s_.size())
                    syntax_error("'(' was never closed");
                reject_rest();
            }
            ++pos_;
            return v;
        }
        if (is_digit(c) || (c == '.' && is_digit(peek(1))))
            return number();
        if (is_ident_char(static_cast<unsigned char>(c)))
            return name();
        if (pos_ >= s_.size())
            syntax_error("invalid syntax");
        if (c == '\'' || c == '"')
            unsupported("a string");
        if (c == ')')
            syntax_error("unmatched ')'");
        reject_rest();
    }

    nb::object number() {
        size_t start = pos_;
        bool is_float = false;
        auto digits = [&] {
            while (pos_ < s_.size() && (is_digit(s_[pos_]) || s_[pos_] == '_'))
                ++pos_;
        };
        if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'X' || peek(1) == 'o' || peek(1) == 'O' || peek(1) == 'b' ||
                              peek(1) == 'B')) {
            pos_ += 2;
            while (pos_ < s_.size() && is_ident_char(static_cast<unsigned char>(s_[pos_])))
                ++pos_;
            return int_literal(s_.substr(start, pos_ - start));
        }
        digits();
        if (peek() == '.') {
            is_float = true;
            ++pos_;
            digits();
        }
        if (peek() == 'e' || peek() == 'E') {
            size_t save = pos_;
            ++pos_;
            if (peek() == '+' || peek() == '-')
                ++pos_;
            if (is_digit(peek())) {
                is_float = true;
                digits();
            } else {
                pos_ = save;
            }
        }
        if (peek() == 'j' || peek() == 'J')
            vx::type_error("float() argument must be a string or a real number, not 'complex'");
        if (is_ident_char(static_cast<unsigned char>(peek())))
            syntax_error("invalid decimal literal");
        std::string_view text = s_.substr(start, pos_ - start);
        if (is_float) {
            if (text.find("__") != std::string_view::npos || text.back() == '_')
                syntax_error("invalid decimal literal");
            nb::object v = nb::steal(PyFloat_FromString(
                vx::own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).ptr()));
            if (!v.is_valid()) {
                PyErr_Clear();
                syntax_error("invalid decimal literal");
            }
            return v;
        }
        return int_literal(text);
    }

    nb::object int_literal(std::string_view text) {
        std::string t(text);
        PyObject *v = PyLong_FromString(t.c_str(), nullptr, 0);
        if (!v) {
            if (t.size() > 4000)
                throw vx::error_already_set{};  // the interpreter's digit limit
            PyErr_Clear();
            syntax_error("invalid decimal literal");
        }
        return nb::steal(v);
    }

    nb::object name() {
        std::string_view w = word_at(pos_);
        pos_ += w.size();
        skip();
        if (peek() == '(')
            unsupported("a call of " + quoted(w));
        for (size_t k = 0; k < nbinds_; ++k)
            if (binds_[k].name == w)
                return nb::borrow(binds_[k].value);
        if (w == "pi") {
            return nb::borrow(pi_);
        }
        if (w == "np") {
            if (peek() == '.') {
                ++pos_;
                skip();
                std::string_view attr = word_at(pos_);
                pos_ += attr.size();
                if (attr == "pi") {
                    skip();
                    if (peek() == '(')
                        unsupported("a call of 'np.pi'");
                    return nb::borrow(pi_);
                }
                unsupported(quoted("np." + std::string(attr)));
            }
            unsupported("'np'");
        }
        static constexpr std::string_view keywords[] = {
            "and",   "or",    "not",   "if",     "else", "lambda", "in",     "is",  "for",    "None", "True",
            "False", "await", "yield", "import", "def",  "class",  "return", "del", "global", "with", "as"};
        for (std::string_view k : keywords)
            if (w == k)
                unsupported(quoted(w));
        nb::object nm = vx::own(PyUnicode_FromStringAndSize(w.data(), static_cast<Py_ssize_t>(w.size())));
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", nm.ptr());
        throw vx::error_already_set{};
    }

    static size_t int_bits(PyObject *o) {
        if (!PyLong_Check(o))
            return 0;
        int64_t b = static_cast<int64_t>(_PyLong_NumBits(o));
        return b < 0 ? kMaxIntBits + 1 : static_cast<size_t>(b);
    }

    static void too_large() { vx::raise(PyExc_OverflowError, "integer value too large in parameter expression"); }

    static void guard_product(PyObject *a, PyObject *b) {
        if (PyLong_Check(a) && PyLong_Check(b) && int_bits(a) + int_bits(b) > kMaxIntBits)
            too_large();
    }

    static void guard_power(PyObject *base, PyObject *ex) {
        if (!PyLong_Check(base) || !PyLong_Check(ex))
            return;
        if (_PyLong_Sign(ex) <= 0)
            return;  // a float result or 1
        size_t bb = int_bits(base);
        if (bb <= 1)
            return;  // 0, 1, -1 stay small
        if (int_bits(ex) > 32)
            too_large();
        long long e = PyLong_AsLongLong(ex);
        if (static_cast<double>(e) * static_cast<double>(bb - 1) > static_cast<double>(kMaxIntBits))
            too_large();
    }
};

nb::object pi_form_value(std::string_view coef_t, std::string_view den_t, bool has_den, PyObject *pi);

nb::object parse_expression(const vx::Args &a) {
    nb::object s = vx::own(PyObject_CallMethod(a.ptr(0), "strip", nullptr));
    static PyObject *pi_sign = vx::check(PyUnicode_FromString("\u03c0"));
    static PyObject *pi_word = vx::intern("pi");
    s = vx::own(PyUnicode_Replace(s.ptr(), pi_sign, pi_word, -1));
    nb::handle np = a.global("np");
    nb::object pi = np.attr("pi");

    std::string_view text = vx::utf8(s);
    std::string_view coef_t, den_t;
    bool has_den = false;
    bool matched;
    nb::object coef_g, den_g;  // groups as Python strings or None (non-ASCII path)
    if (PyUnicode_IS_ASCII(s.ptr())) {
        matched = match_pi_form(text, coef_t, den_t, has_den);
    } else {
        // \d and \s also match non-ASCII digits and blanks: let re decide.
        nb::handle re = a.global("re");
        nb::object mo = re.attr("match")("^([+-]?\\d*\\.?\\d*)?\\s*pi(?:\\s*/\\s*([+-]?\\d*\\.?\\d+))?$", s);
        matched = !mo.is_none();
        if (matched) {
            coef_g = mo.attr("group")(1);
            den_g = mo.attr("group")(2);
        }
    }
    if (matched) {
        nb::object coef, den;
        if (coef_g.is_valid()) {
            bool unit = coef_g.is_none() || PyUnicode_GET_LENGTH(coef_g.ptr()) == 0 ||
                        (PyUnicode_GET_LENGTH(coef_g.ptr()) == 1 && PyUnicode_READ_CHAR(coef_g.ptr(), 0) == '+');
            bool minus = !coef_g.is_none() && PyUnicode_GET_LENGTH(coef_g.ptr()) == 1 &&
                         PyUnicode_READ_CHAR(coef_g.ptr(), 0) == '-';
            coef = unit    ? vx::own(PyFloat_FromDouble(1.0))
                   : minus ? vx::own(PyFloat_FromDouble(-1.0))
                           : vx::own(PyFloat_FromString(coef_g.ptr()));
            den = (!den_g.is_none() && PyUnicode_GET_LENGTH(den_g.ptr()) > 0) ? vx::own(PyFloat_FromString(den_g.ptr()))
                                                                              : vx::own(PyFloat_FromDouble(1.0));
        } else {
            return pi_form_value(coef_t, den_t, has_den, pi.ptr());
        }
        nb::object num = vx::own(PyNumber_Multiply(coef.ptr(), pi.ptr()));
        return vx::own(PyNumber_TrueDivide(num.ptr(), den.ptr()));
    }
    nb::object v = Evaluator(text, pi.ptr()).run();
    return vx::own(PyNumber_Float(v.ptr()));
}

vx::FunctionDef parse_expression_def() {
    return {.name = "parse_expression",
            .impl = parse_expression,
            .params = {{"expr", vx::Conv::Str}},
            .return_annotation = "float"};
}
Register reg_parse_expression("parse_expression", parse_expression_def);

}  // namespace

// -- evaluation for the program readers ----------------------------------------

namespace {

bool has_binding(const Binding *names, size_t count, std::string_view w) {
    for (size_t k = 0; k < count; ++k)
        if (names[k].name == w)
            return true;
    return false;
}

nb::object pi_form_value(std::string_view coef_t, std::string_view den_t, bool has_den, PyObject *pi) {
    nb::object coef;
    if (coef_t.empty() || coef_t == "+")
        coef = vx::own(PyFloat_FromDouble(1.0));
    else if (coef_t == "-")
        coef = vx::own(PyFloat_FromDouble(-1.0));
    else
        coef = float_from_text(coef_t);
    nb::object den = has_den ? float_from_text(den_t) : vx::own(PyFloat_FromDouble(1.0));
    nb::object num = vx::own(PyNumber_Multiply(coef.ptr(), pi));
    return vx::own(PyNumber_TrueDivide(num.ptr(), den.ptr()));
}

}  // namespace

std::string statement_terms(std::string message) {
    // A statement's parameter list ends at its first ')', so none of its
    // parameters holds a parenthesis.
    static constexpr std::string_view in_statement =
        " (only numbers, pi, \u03c0, np.pi and + - * / ** are allowed; the parameter list ends at its first ')')";
    if (message.size() >= kAllowed.size() &&
        message.compare(message.size() - kAllowed.size(), kAllowed.size(), kAllowed.data(), kAllowed.size()) == 0)
        message.replace(message.size() - kAllowed.size(), kAllowed.size(), in_statement);
    return message;
}

bool is_own_parse_expression(PyObject *f) { return vx::is_function_of(f, parse_expression); }
bool is_own_is_multiple_of_pi(PyObject *f) { return vx::is_function_of(f, is_multiple_of_pi); }

bool multiple_of_pi_text(PyObject *f, PyObject *n, std::string &out) {
    if (!vx::is_function_of(f, is_multiple_of_pi))
        return false;
    auto *fn = reinterpret_cast<vx::Function *>(f);
    PyObject *defaults = fn->defaults;
    if (!defaults || PyTuple_GET_SIZE(defaults) != 1 || !PyFloat_CheckExact(PyTuple_GET_ITEM(defaults, 0)))
        return false;
    double pi;
    return own_pi(fn->globals, pi) &&
           multiple_of_pi_value(n, pi, PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(defaults, 0)), out);
}

nb::object evaluate_ascii_expression(std::string_view text, PyObject *pi, const Binding *names, size_t count) {
    size_t b = 0, e = text.size();
    while (b < e && is_space(text[b]))
        ++b;
    while (e > b && is_space(text[e - 1]))
        --e;
    text = text.substr(b, e - b);
    if (!has_binding(names, count, "pi")) {
        std::string_view coef_t, den_t;
        bool has_den = false;
        if (match_pi_form(text, coef_t, den_t, has_den))
            return pi_form_value(coef_t, den_t, has_den, pi);
    }
    Evaluator ev(text, pi);
    ev.bind(names, count);
    nb::object v = ev.run();
    return vx::own(PyNumber_Float(v.ptr()));
}

nb::object evaluate_expression(nb::handle text, nb::handle np, nb::handle re, const Binding *names, size_t count) {
    nb::object pi = np.attr("pi");
    if (PyUnicode_IS_ASCII(text.ptr()))
        return evaluate_ascii_expression(vx::utf8(text), pi.ptr(), names, count);
    nb::object s = vx::own(PyObject_CallMethod(text.ptr(), "strip", nullptr));
    static PyObject *pi_sign = vx::check(PyUnicode_FromString("\u03c0"));
    static PyObject *pi_word = vx::intern("pi");
    s = vx::own(PyUnicode_Replace(s.ptr(), pi_sign, pi_word, -1));
    if (PyUnicode_IS_ASCII(s.ptr()))
        return evaluate_ascii_expression(vx::utf8(s), pi.ptr(), names, count);
    if (!has_binding(names, count, "pi")) {
        nb::object mo = re.attr("match")("^([+-]?\\d*\\.?\\d*)?\\s*pi(?:\\s*/\\s*([+-]?\\d*\\.?\\d+))?$", s);
        if (!mo.is_none()) {
            nb::object coef_g = mo.attr("group")(1);
            nb::object den_g = mo.attr("group")(2);
            bool unit = coef_g.is_none() || PyUnicode_GET_LENGTH(coef_g.ptr()) == 0 ||
                        (PyUnicode_GET_LENGTH(coef_g.ptr()) == 1 && PyUnicode_READ_CHAR(coef_g.ptr(), 0) == '+');
            bool minus = !coef_g.is_none() && PyUnicode_GET_LENGTH(coef_g.ptr()) == 1 &&
                         PyUnicode_READ_CHAR(coef_g.ptr(), 0) == '-';
            nb::object coef = unit    ? vx::own(PyFloat_FromDouble(1.0))
                              : minus ? vx::own(PyFloat_FromDouble(-1.0))
                                      : vx::own(PyFloat_FromString(coef_g.ptr()));
            nb::object den = (!den_g.is_none() && PyUnicode_GET_LENGTH(den_g.ptr()) > 0)
                                 ? vx::own(PyFloat_FromString(den_g.ptr()))
                                 : vx::own(PyFloat_FromDouble(1.0));
            nb::object num = vx::own(PyNumber_Multiply(coef.ptr(), pi.ptr()));
            return vx::own(PyNumber_TrueDivide(num.ptr(), den.ptr()));
        }
    }
    Evaluator ev(vx::utf8(s), pi.ptr());
    ev.bind(names, count);
    nb::object v = ev.run();
    return vx::own(PyNumber_Float(v.ptr()));
}

}  // namespace gatework
