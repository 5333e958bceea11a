// Printing, number semantics and small helpers of the interop layer.
#include "interop.hpp"

#include <mutex>
#include <string>
#include <unordered_map>

namespace vx {

void clean_vector_state() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx)
        __asm__ volatile("vzeroupper");
#endif
}

void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw error_already_set{};
}

PyObject *intern(const char *s) {
    // Interned strings live for the whole process; the map avoids
    // re-interning on every call (the GIL serialises access).
    static std::unordered_map<const char *, PyObject *> cache;
    auto it = cache.find(s);
    if (it != cache.end())
        return it->second;
    PyObject *o = check(PyUnicode_InternFromString(s));
    cache.emplace(s, o);
    return o;
}

PyObject *lookup_global(PyObject *globals, PyObject *name) {
    PyObject *v = PyDict_GetItemWithError(globals, name);
    if (v)
        return v;
    if (!PyErr_Occurred()) {
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (v)
            return v;
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    throw error_already_set{};
}

nb::object import(const char *name) {
    nb::object m = own(PyImport_ImportModule(name));
    return m;
}

std::string_view utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p)
        throw error_already_set{};
    return {p, static_cast<size_t>(n)};
}

const char *type_name(PyObject *o) { return Py_TYPE(o)->tp_name; }

void set_doc(nb::handle module, const char *doc) {
    nb::object d = own(PyUnicode_FromString(doc));
    check(PyObject_SetAttrString(module.ptr(), "__doc__", d.ptr()));
}

static PyObject *builtin(const char *name) {
    PyObject *b = PyEval_GetBuiltins();  // borrowed; the current frame's builtins
    PyObject *f = b ? PyDict_GetItemString(b, name) : nullptr;
    if (!f) {
        nb::object mod = import("builtins");
        return check(PyObject_GetAttrString(mod.ptr(), name));  // new ref
    }
    Py_INCREF(f);
    return f;
}

void print(std::initializer_list<nb::handle> args) {
    nb::object p = nb::steal(builtin("print"));
    PyObject *argv[16];
    size_t n = 0;
    for (nb::handle h : args) {
        if (n == 16)
            break;
        argv[n++] = h.ptr();
    }
    nb::object r = own(PyObject_Vectorcall(p.ptr(), argv, n, nullptr));
}

void print_str(std::string_view text) {
    nb::object s = own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    print({s});
}

std::string repr_double(double x) {
    char *s = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s)
        throw error_already_set{};
    std::string out(s);
    PyMem_Free(s);
    return out;
}

nb::object round_obj(nb::handle x, int ndigits) {
    nb::object r = nb::steal(builtin("round"));
    nb::object nd = own(PyLong_FromLong(ndigits));
    PyObject *argv[2] = {x.ptr(), nd.ptr()};
    return own(PyObject_Vectorcall(r.ptr(), argv, 2, nullptr));
}

}  // namespace vx
