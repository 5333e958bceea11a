// Shared helpers for building circuit DAGs; see dag_api.hpp.
#include "dag_api.hpp"

namespace vx::dagapi {

namespace {
nb::object getattr(nb::handle o, const char *name) { return own(PyObject_GetAttrString(o.ptr(), name)); }
}  // namespace

// Loads node and edge lists of tuples into an empty DiGraph's dictionaries:
// the same dictionaries, in the same order, that add_nodes_from and
// add_edges_from leave behind.
void fill_digraph(nb::handle g, PyObject *nodes, PyObject *edges) {
    GcPause pause;  // many containers, no cycle
    nb::object node = getattr(g, "_node"), succ = getattr(g, "_succ"), pred = getattr(g, "_pred");
    PyObject *N = node.ptr(), *S = succ.ptr(), *P = pred.ptr();
    if (!PyDict_CheckExact(N) || !PyDict_CheckExact(S) || !PyDict_CheckExact(P))
        type_error("unexpected DiGraph internals");
    auto ensure = [&](PyObject *n) -> PyObject * {  // the node's attribute dict
        PyObject *d = PyDict_GetItemWithError(N, n);
        if (d)
            return d;
        if (PyErr_Occurred())
            throw error_already_set{};
        nb::object s = own(PyDict_New()), p = own(PyDict_New()), a = own(PyDict_New());
        check(PyDict_SetItem(S, n, s.ptr()));
        check(PyDict_SetItem(P, n, p.ptr()));
        check(PyDict_SetItem(N, n, a.ptr()));
        return a.ptr();
    };
    const Py_ssize_t nn = PyList_GET_SIZE(nodes);
    for (Py_ssize_t i = 0; i < nn; ++i) {
        PyObject *t = PyList_GET_ITEM(nodes, i);
        PyObject *name = PyTuple_GET_ITEM(t, 0), *attrs = PyTuple_GET_ITEM(t, 1);
        check(PyDict_Update(ensure(name), attrs));
    }
    const Py_ssize_t ne = PyList_GET_SIZE(edges);
    for (Py_ssize_t i = 0; i < ne; ++i) {
        PyObject *t = PyList_GET_ITEM(edges, i);
        PyObject *u = PyTuple_GET_ITEM(t, 0), *v = PyTuple_GET_ITEM(t, 1), *dd = PyTuple_GET_ITEM(t, 2);
        ensure(u);
        ensure(v);
        PyObject *su = PyDict_GetItemWithError(S, u);  // borrowed, exists
        if (!su)
            throw error_already_set{};
        PyObject *data = PyDict_GetItemWithError(su, v);
        nb::object fresh;
        if (!data) {
            if (PyErr_Occurred())
                throw error_already_set{};
            fresh = own(PyDict_New());
            data = fresh.ptr();
        }
        nb::object keep = nb::borrow(data);
        check(PyDict_Update(data, dd));
        check(PyDict_SetItem(su, v, data));
        PyObject *pv = PyDict_GetItemWithError(P, v);
        if (!pv)
            throw error_already_set{};
        check(PyDict_SetItem(pv, u, data));
    }
}

const Api *from_function(PyObject *f) {
    if (!is_function(f))
        return nullptr;
    PyObject *cap = reinterpret_cast<Function *>(f)->data;
    if (!cap || !PyCapsule_IsValid(cap, kCapsuleName))
        return nullptr;
    auto *api = static_cast<const Api *>(PyCapsule_GetPointer(cap, kCapsuleName));
    return api && api->version == kVersion ? api : nullptr;
}

}  // namespace vx::dagapi
