// Deferred instance attributes; see deferred_values.hpp.
#include "deferred_values.hpp"

#include "originals.hpp"

#include <string>

namespace vx {

namespace {

PyTypeObject *g_deferred_type = nullptr;  // made once per module, when it loads
PyTypeObject *g_attribute_type = nullptr;

struct DeferredObject {
    PyObject_HEAD std::shared_ptr<DeferredSource> *source;
    int what;
};

DeferredObject *as_deferred(PyObject *o) { return reinterpret_cast<DeferredObject *>(o); }

nb::object value_of(PyObject *self) { return (*as_deferred(self)->source)->value(as_deferred(self)->what); }

// The value as a new reference, or null with the error set.
PyObject *resolve(PyObject *self) {
    return guarded([&] { return value_of(self).release().ptr(); }, static_cast<PyObject *>(nullptr));
}

void deferred_dealloc(PyObject *self) {
    delete as_deferred(self)->source;
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *deferred_repr(PyObject *self) {
    return PyUnicode_FromString((*as_deferred(self)->source)->describe(as_deferred(self)->what));
}

PyObject *deferred_copy(PyObject *self, PyObject *) { return resolve(self); }

PyObject *deferred_deepcopy(PyObject *self, PyObject *memo) {
    return guarded([&] { return import("copy").attr("deepcopy")(value_of(self), nb::handle(memo)).release().ptr(); },
                   static_cast<PyObject *>(nullptr));
}

// Pickles as the object itself: itemgetter(0)((value,)).
PyObject *deferred_reduce(PyObject *self, PyObject *) {
    return guarded(
        [&] {
            nb::object getter = import("operator").attr("itemgetter")(0);
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

// A data descriptor over one entry of the instance dictionary that resolves
// a placeholder on the first read.
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

}  // namespace

nb::object make_deferred(const std::shared_ptr<DeferredSource> &source, int what) {
    auto *o = PyObject_New(DeferredObject, g_deferred_type);
    if (!o)
        throw error_already_set{};
    o->source = new std::shared_ptr<DeferredSource>(source);
    o->what = what;
    return nb::steal(reinterpret_cast<PyObject *>(o));
}

DeferredSource *deferred_source(PyObject *o, int *what) {
    if (!o || !g_deferred_type || Py_TYPE(o) != g_deferred_type)
        return nullptr;
    if (what)
        *what = as_deferred(o)->what;
    return as_deferred(o)->source->get();
}

void install_deferred(nb::handle module, nb::handle cls, const char *class_name, const char *type_name,
                      std::initializer_list<const char *> attributes) {
    if (!g_deferred_type) {
        // the name handed to PyType_FromSpec must outlive the type
        static std::string name;
        name = type_name;
        static PyType_Spec spec = {name.c_str(), sizeof(DeferredObject), 0, Py_TPFLAGS_DEFAULT, deferred_slots};
        g_deferred_type = reinterpret_cast<PyTypeObject *>(check(PyType_FromSpec(&spec)));
        static std::string attr_name;
        attr_name = name.substr(0, name.rfind('.')) + "._InstanceAttribute";
        static PyType_Spec attr_spec = {attr_name.c_str(), sizeof(Attribute), 0, Py_TPFLAGS_DEFAULT, attr_slots};
        g_attribute_type = reinterpret_cast<PyTypeObject *>(check(PyType_FromSpec(&attr_spec)));
    }
    for (const char *attribute : attributes) {
        auto *o = PyObject_New(Attribute, g_attribute_type);
        if (!o)
            throw error_already_set{};
        o->name = Py_NewRef(intern(attribute));
        nb::object descriptor = nb::steal(reinterpret_cast<PyObject *>(o));
        check(PyObject_SetAttrString(cls.ptr(), attribute, descriptor.ptr()));
        keep_original(module, (std::string(class_name) + "." + attribute).c_str());
    }
}

bool deferred_descriptors(PyObject *globals, PyTypeObject *tp, const char *class_name,
                          std::initializer_list<const char *> attributes) {
    for (const char *attribute : attributes)
        if (_PyType_Lookup(tp, intern(attribute)) !=
            original(globals, (std::string(class_name) + "." + attribute).c_str()))
            return false;
    return true;
}

PyObject *raw_attribute(nb::handle self, PyObject *name) {
    PyObject **dp = _PyObject_GetDictPtr(self.ptr());
    PyObject *v = dp && *dp ? PyDict_GetItemWithError(*dp, name) : nullptr;
    if (!v && PyErr_Occurred())
        throw error_already_set{};
    return v;
}

}  // namespace vx
