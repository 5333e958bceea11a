// Shared pieces of vexal.circuit.routing.
#pragma once

#include "interop.hpp"

namespace routing {

// Attribute access through interned names.
inline nb::object getattr(nb::handle o, const char *name) {
    return vx::own(PyObject_GetAttr(o.ptr(), vx::intern(name)));
}
inline void setattr(nb::handle o, const char *name, nb::handle v) {
    vx::check(PyObject_SetAttr(o.ptr(), vx::intern(name), v.ptr()));
}
// self.name(*args), looked up on the object so that overrides are honoured.
nb::object callm(nb::handle self, const char *name, std::initializer_list<nb::handle> args);
// f(*args)
nb::object call(nb::handle f, std::initializer_list<nb::handle> args);
inline bool truth(nb::handle o) {
    int t = PyObject_IsTrue(o.ptr());
    vx::check(t);
    return t != 0;
}
inline nb::object pyint(long long v) { return vx::own(PyLong_FromLongLong(v)); }
inline nb::object pystr(const char *s) { return vx::own(PyUnicode_FromString(s)); }

// The gate name of a node: its text before the first "_".
nb::object gate_name(nb::handle node);

}  // namespace routing
