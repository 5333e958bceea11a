// The small object helpers of objects.hpp.
#include "interop.hpp"

#include <cstring>

namespace vx {

nb::object getattr(nb::handle o, const char *name) { return own(PyObject_GetAttrString(o.ptr(), name)); }
nb::object getattr(nb::handle o, PyObject *name) { return own(PyObject_GetAttr(o.ptr(), name)); }

void setattr(nb::handle o, const char *name, nb::handle value) {
    check(PyObject_SetAttrString(o.ptr(), name, value.ptr()));
}

nb::object getitem(nb::handle o, nb::handle key) { return own(PyObject_GetItem(o.ptr(), key.ptr())); }

bool contains(nb::handle container, nb::handle key) {
    int r = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.ptr())
                                               : PySequence_Contains(container.ptr(), key.ptr());
    check(r);
    return r != 0;
}

Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Size(o.ptr());
    if (n < 0)
        throw error_already_set{};
    return n;
}

bool truth(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    check(r);
    return r != 0;
}

static bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    check(r);
    return r != 0;
}
bool equal(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }
bool less(nb::handle a, nb::handle b) { return compare(a, b, Py_LT); }

nb::object call(nb::handle f, std::initializer_list<nb::handle> args, PyObject *kwnames) {
    PyObject *argv[8];
    size_t n = 0;
    for (nb::handle h : args) {
        if (n == 8)
            type_error("vx::call takes at most 8 arguments");
        argv[n++] = h.ptr();
    }
    const size_t npos = n - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return own(PyObject_Vectorcall(f.ptr(), argv, npos, kwnames));
}

nb::object call_method(nb::handle self, const char *name, std::initializer_list<nb::handle> args) {
    return call(getattr(self, name), args);
}

void init_base(nb::handle cls, nb::handle self) {
    nb::object sup = call(reinterpret_cast<PyObject *>(&PySuper_Type), {cls, self});
    call_method(sup, "__init__", {});
}

nb::object int_obj(long long v) { return own(PyLong_FromLongLong(v)); }
bool exact_ll(PyObject *o, long long &out) {
    if (!PyLong_CheckExact(o))
        return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}
nb::object str_obj(std::string_view s) {
    return own(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

nb::object next_item(nb::handle it) {
    PyObject *x = PyIter_Next(it.ptr());
    if (!x && PyErr_Occurred())
        throw error_already_set{};
    return nb::steal(x);
}

void unpack(nb::handle value, nb::object *out, int n) {
    if (PyTuple_CheckExact(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) == n) {
        for (int i = 0; i < n; ++i)
            out[i] = nb::borrow(PyTuple_GET_ITEM(value.ptr(), i));
        return;
    }
    PyObject *iter = PyObject_GetIter(value.ptr());
    if (!iter) {
        PyTypeObject *tp = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !tp->tp_iter && !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", tp->tp_name);
        }
        throw error_already_set{};
    }
    nb::object it = nb::steal(iter);
    for (int i = 0; i < n; ++i) {
        out[i] = next_item(it);
        if (!out[i].is_valid()) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
            throw error_already_set{};
        }
    }
    if (next_item(it).is_valid()) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", n);
        throw error_already_set{};
    }
}

PyObject *item(PyObject *seq, Py_ssize_t i) {
    if (PyTuple_CheckExact(seq)) {
        Py_ssize_t n = PyTuple_GET_SIZE(seq);
        if (i < 0)
            i += n;
        if (i < 0 || i >= n) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            throw error_already_set{};
        }
        PyObject *o = PyTuple_GET_ITEM(seq, i);
        Py_INCREF(o);
        return o;
    }
    return check(PySequence_GetItem(seq, i));
}

bool read_complex_matrix(PyObject *o, int n, std::complex<double> *out) {
    if (!PyObject_CheckBuffer(o))
        return false;
    Py_buffer v;
    if (PyObject_GetBuffer(o, &v, PyBUF_RECORDS_RO) < 0) {
        clear_ordinary_error();
        return false;
    }
    const bool ok =
        v.ndim == 2 && v.shape[0] == n && v.shape[1] == n && v.itemsize == 16 && v.format &&
        (std::strcmp(v.format, "Zd") == 0 || std::strcmp(v.format, "=Zd") == 0 || std::strcmp(v.format, "<Zd") == 0);
    if (ok) {
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) {
                const char *p = static_cast<const char *>(v.buf) + r * v.strides[0] + c * v.strides[1];
                double re, im;
                std::memcpy(&re, p, 8);
                std::memcpy(&im, p + 8, 8);
                out[r * n + c] = {re, im};
            }
    }
    PyBuffer_Release(&v);
    return ok;
}

std::string str_text(nb::handle o) {
    nb::object s = own(PyObject_Str(o.ptr()));
    return std::string(utf8(s));
}

std::string describe(PyObject *o, bool use_repr) {
    PyObject *s = use_repr ? PyObject_Repr(o) : PyObject_Str(o);
    if (!s) {
        clear_ordinary_error();  // a text for a message; Ctrl-C in a __repr__ still stops
        return "<?>";
    }
    nb::object keep = nb::steal(s);
    Py_ssize_t n = 0;
    const char *c = PyUnicode_AsUTF8AndSize(s, &n);
    if (!c) {
        PyErr_Clear();
        return "<?>";
    }
    return std::string(c, static_cast<size_t>(n));
}

}  // namespace vx
