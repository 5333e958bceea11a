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

namespace native {
// Keeps the class's own methods and the module's own helpers, to tell later
// whether anything was replaced.
void remember(nb::handle module, nb::handle cls);
// Runs the `total` traversals of `run` natively and returns true, or returns
// false, having changed nothing, when the object or the module has been
// customised in a way the engine does not model.
bool try_run(const vx::Args &a, nb::handle self, nb::handle dag, nb::handle rev_dag, long long total,
             nb::object &result, nb::object &best_p2v);
}  // namespace native

}  // namespace routing
