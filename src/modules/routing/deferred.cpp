// Deferred `dag` and `_cache`; see deferred.hpp.
#include "deferred.hpp"

namespace routing::native {

namespace {

PyTypeObject *g_deferred_type = nullptr;  // made once, when the module loads

}  // namespace

Snapshot::~Snapshot() {
    for (auto &x : d)
        for (PyObject *o : x.names)
            Py_XDECREF(o);
}

PyObject *Snapshot::name(int which, std::int32_t u) {
    auto &names = d[which].names;
    if (names.size() < d[which].sk.size())
        names.resize(d[which].sk.size(), nullptr);
    if (!names[u]) {
        const auto &sk = d[which].sk;
        std::string text;
        vx::dagapi::node_name(text, vx::utf8(PyTuple_GET_ITEM(record(which, u), 0)), u, sk.wires.data() + sk.w_off[u],
                              static_cast<std::size_t>(sk.w_off[u + 1] - sk.w_off[u]));
        names[u] = vx::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    return names[u];
}

nb::object Snapshot::graph(int which) {
    SnapshotDag &x = d[which];
    if (x.value.is_valid())
        return x.value;
    nb::object gates = records, qs = qubits;
    if (which == 1) {  // the deep copy's records, read backwards
        gates = vx::own(PyList_GetSlice(records.ptr(), 0, PY_SSIZE_T_MAX));
        vx::check(PyList_Reverse(gates.ptr()));
        qs = vx::own(PyList_GetSlice(qubits.ptr(), 0, PY_SSIZE_T_MAX));
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(nqubits.ptr(), &overflow);
    nb::object lists = vx::own(api->build(gatework.ptr(), n, qs.ptr(), gates.ptr(), 0, &x.names));
    nb::object g = vx::own(PyObject_CallNoArgs(digraph.ptr()));
    vx::dagapi::fill_digraph(g, PyTuple_GET_ITEM(lists.ptr(), 0), PyTuple_GET_ITEM(lists.ptr(), 1));
    nb::object attrs = vx::getattr(g, vx::intern("graph"));
    vx::check(PyObject_SetItem(attrs.ptr(), vx::intern("qubits"), qs.ptr()));
    x.value = g;
    return g;
}

nb::object Snapshot::filled_cache() {
    if (!cache_filled) {
        const es::Dag *dags[2] = {&d[0].dag, &d[1].dag};
        fill_cache(cache, entries, dags, [this](int w, std::int32_t u) { return name(w, u); });
        cache_filled = true;
        entries = {};
    }
    return cache;
}

// ---------------------------------------------------------------- deferred values

namespace {

struct DeferredObject {
    PyObject_HEAD std::shared_ptr<Snapshot> *state;
    Deferred what;
};

// The object a deferred value stands for.
nb::object value_of(PyObject *self) {
    auto *d = reinterpret_cast<DeferredObject *>(self);
    Snapshot &st = **d->state;
    switch (d->what) {
    case Deferred::ForwardDag: return st.graph(0);
    case Deferred::ReverseDag: return st.graph(1);
    case Deferred::Cache: break;
    }
    return st.filled_cache();
}

// The same as a new reference, or null with the error set.
PyObject *resolve(PyObject *self) {
    return vx::guarded([&] { return value_of(self).release().ptr(); }, static_cast<PyObject *>(nullptr));
}

void deferred_dealloc(PyObject *self) {
    delete reinterpret_cast<DeferredObject *>(self)->state;
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *deferred_repr(PyObject *self) {
    const bool cache = reinterpret_cast<DeferredObject *>(self)->what == Deferred::Cache;
    return PyUnicode_FromString(cache ? "<query cache, built when the attribute is read>"
                                      : "<circuit DAG, built when the attribute is read>");
}

PyObject *deferred_copy(PyObject *self, PyObject *) { return resolve(self); }

PyObject *deferred_deepcopy(PyObject *self, PyObject *memo) {
    return vx::guarded(
        [&] { return vx::import("copy").attr("deepcopy")(value_of(self), nb::handle(memo)).release().ptr(); },
        static_cast<PyObject *>(nullptr));
}

// Pickles as the object itself: itemgetter(0)((value,)).
PyObject *deferred_reduce(PyObject *self, PyObject *) {
    return vx::guarded(
        [&] {
            nb::object getter = vx::import("operator").attr("itemgetter")(0);
            return nb::make_tuple(getter, nb::make_tuple(nb::make_tuple(value_of(self)))).release().ptr();
        },
        static_cast<PyObject *>(nullptr));
}

PyMethodDef deferred_methods[] = {
    {"__copy__", deferred_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", deferred_deepcopy, METH_O, nullptr},
    {"__reduce__", deferred_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot deferred_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(deferred_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(deferred_repr)},
    {Py_tp_methods, deferred_methods},
    {0, nullptr},
};

PyType_Spec deferred_spec = {"vexal.circuit.routing._Deferred", sizeof(DeferredObject), 0, Py_TPFLAGS_DEFAULT,
                             deferred_slots};

// ---------------------------------------------------------------- the descriptors

// A data descriptor over one entry of the instance dictionary that resolves
// a deferred value on the first read.
struct Attribute {
    PyObject_HEAD PyObject *name;
};

PyObject *attr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj) {
        Py_INCREF(self);
        return self;
    }
    PyObject *name = reinterpret_cast<Attribute *>(self)->name;
    PyObject **dp = _PyObject_GetDictPtr(obj);
    PyObject *v = dp && *dp ? PyDict_GetItemWithError(*dp, name) : nullptr;
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(obj)->tp_name, name);
        return nullptr;
    }
    if (Py_TYPE(v) != g_deferred_type) {
        Py_INCREF(v);
        return v;
    }
    nb::object keep = nb::borrow(v);
    PyObject *r = resolve(v);
    if (r && PyDict_GetItemWithError(*dp, name) == v && PyDict_SetItem(*dp, name, r) < 0)
        Py_CLEAR(r);
    return r;
}

int attr_set(PyObject *self, PyObject *obj, PyObject *value) {
    PyObject *name = reinterpret_cast<Attribute *>(self)->name;
    PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict)
        return -1;
    nb::object d = nb::steal(dict);
    if (value)
        return PyDict_SetItem(dict, name, value);
    if (PyDict_DelItem(dict, name) == 0)
        return 0;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(obj)->tp_name, name);
    }
    return -1;
}

void attr_dealloc(PyObject *self) {
    Py_XDECREF(reinterpret_cast<Attribute *>(self)->name);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot attr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(attr_dealloc)},
    {Py_tp_descr_get, reinterpret_cast<void *>(attr_get)},
    {Py_tp_descr_set, reinterpret_cast<void *>(attr_set)},
    {0, nullptr},
};

PyType_Spec attr_spec = {"vexal.circuit.routing._InstanceAttribute", sizeof(Attribute), 0, Py_TPFLAGS_DEFAULT,
                         attr_slots};

}  // namespace

nb::object make_deferred(const std::shared_ptr<Snapshot> &st, Deferred what) {
    auto *o = PyObject_New(DeferredObject, g_deferred_type);
    if (!o)
        throw vx::error_already_set{};
    o->state = new std::shared_ptr<Snapshot>(st);
    o->what = what;
    return nb::steal(reinterpret_cast<PyObject *>(o));
}

bool deferred_descriptors(const vx::Args &a, PyTypeObject *tp) {
    PyObject *globals = a.func()->globals;
    return _PyType_Lookup(tp, vx::intern("dag")) == vx::original(globals, "SabreRouting.dag") &&
           _PyType_Lookup(tp, vx::intern("_cache")) == vx::original(globals, "SabreRouting._cache");
}

void install_deferred(nb::handle module, nb::handle cls) {
    if (!g_deferred_type)
        g_deferred_type = reinterpret_cast<PyTypeObject *>(vx::check(PyType_FromSpec(&deferred_spec)));
    nb::object attr_type = vx::own(PyType_FromSpec(&attr_spec));
    for (const char *name : {"dag", "_cache"}) {
        auto *o = PyObject_New(Attribute, reinterpret_cast<PyTypeObject *>(attr_type.ptr()));
        if (!o)
            throw vx::error_already_set{};
        o->name = Py_NewRef(vx::intern(name));
        nb::object descriptor = nb::steal(reinterpret_cast<PyObject *>(o));
        vx::check(PyObject_SetAttrString(cls.ptr(), name, descriptor.ptr()));
    }
    vx::keep_original(module, "SabreRouting.dag");
    vx::keep_original(module, "SabreRouting._cache");
}

nb::object raw_cache(nb::handle self) {
    PyObject **dp = _PyObject_GetDictPtr(self.ptr());
    PyObject *v = dp && *dp ? PyDict_GetItemWithError(*dp, vx::intern("_cache")) : nullptr;
    if (v && Py_TYPE(v) == g_deferred_type) {
        Snapshot &st = **reinterpret_cast<DeferredObject *>(v)->state;
        nb::object od = st.cache;  // empty unless it was filled through a copy
        vx::check(PyDict_SetItem(*dp, vx::intern("_cache"), od.ptr()));
        return od;
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};
    return vx::getattr(self, vx::intern("_cache"));
}

}  // namespace routing::native
