// Small object helpers every module uses: the Python operations a module body
// writes as `o.name`, `o[k]`, `k in o`, `len(o)`, `f(x, y)`, `a, b = v`,
// `[]`, `l.append(x)`, `str(o)`, with the interpreter's own errors thrown as
// error_already_set.
//
// interop.hpp includes it; nothing here keeps state.
#pragma once

#include "interop.hpp"

#include <complex>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace vx {

// o.name
nb::object getattr(nb::handle o, const char *name);
nb::object getattr(nb::handle o, PyObject *name);
// o.name = value
void setattr(nb::handle o, const char *name, nb::handle value);
// o[key]
nb::object getitem(nb::handle o, nb::handle key);
// key in container (a dict is asked directly)
bool contains(nb::handle container, nb::handle key);
// len(o)
Py_ssize_t length(nb::handle o);
// bool(o)
bool truth(nb::handle o);
// a == b, a < b
bool equal(nb::handle a, nb::handle b);
// An object of an exact immutable scalar type (str, int, float, bool,
// complex, None): a record made only of such values can be shared instead
// of copied, and read without running Python code.
inline bool immutable_scalar(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == &PyComplex_Type || o == Py_None;
}
bool less(nb::handle a, nb::handle b);

// f(*args) through vectorcall (at most 8 arguments); the last ones are
// passed by keyword when `kwnames` (a tuple of their names) is given.
nb::object call(nb::handle f, std::initializer_list<nb::handle> args, PyObject *kwnames = nullptr);
// self.name(*args)
nb::object call_method(nb::handle self, const char *name, std::initializer_list<nb::handle> args);
// super(cls, self).__init__(), from a method of `cls`
void init_base(nb::handle cls, nb::handle self);

// [], list.append(item) and list(iterable)
inline nb::object new_list() { return own(PyList_New(0)); }
inline void append(nb::handle list, nb::handle item) { check(PyList_Append(list.ptr(), item.ptr())); }
inline nb::object to_list(nb::handle iterable) { return own(PySequence_List(iterable.ptr())); }

// New int / str objects.
nb::object int_obj(long long v);
nb::object str_obj(std::string_view s);
// The value of an exact int that fits a long long; false (no error set) for
// any other object.
bool exact_ll(PyObject *o, long long &out);

// a, b, ... = value: exactly n items, with the interpreter's messages.
void unpack(nb::handle value, nb::object *out, int n);
inline std::pair<nb::object, nb::object> unpack2(nb::handle value) {
    nb::object out[2];
    unpack(value, out, 2);
    return {std::move(out[0]), std::move(out[1])};
}
// next(it): the next item, or an invalid object when the iterator is done;
// throws when it fails.
nb::object next_item(nb::handle it);
// seq[i] (negative i counts from the end) as a new reference.
PyObject *item(PyObject *seq, Py_ssize_t i);

// The entries of `o`, row by row, when it exposes an n x n buffer of complex
// doubles (a numpy complex128 array, any strides); false, with no error set,
// for anything else.
bool read_complex_matrix(PyObject *o, int n, std::complex<double> *out);

// str(o) as UTF-8 text; throws when str() fails.
std::string str_text(nb::handle o);
// The text of an object for an error message: str(o), or repr(o) with
// `use_repr`; never fails (an object whose text cannot be made shows as
// "<?>", and the error of trying is dropped).
std::string describe(PyObject *o, bool use_repr = true);

}  // namespace vx
