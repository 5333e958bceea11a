// The one place where a pass's call chooses its path, and the record of it.
#include "fast_path.hpp"

#include "objects.hpp"
#include "originals.hpp"

namespace vx {

namespace {

// vexal.circuit, loaded (every module of the package imports it first).
PyObject *package() {
    static PyObject *pkg = nullptr;
    if (!pkg)
        pkg = own(PyImport_ImportModule("vexal.circuit")).release().ptr();
    return pkg;
}

}  // namespace

void keep_needs(nb::handle module, const FastPathNeeds &needs) {
    for (const char *name : needs.names)
        keep_original(module, name);
    for (const char *method : needs.methods)
        keep_original(module, method);
}

bool reference_paths_only() {
    PyObject *v = PyObject_GetAttrString(package(), "_reference_paths");
    if (!v) {
        clear_ordinary_error();
        return false;
    }
    const int truth = PyObject_IsTrue(v);
    Py_DECREF(v);
    check(truth);
    return truth != 0;
}

PathChoice::PathChoice(const char *pass) : pass_(pass) {
    if (need(!reference_paths_only(), "VEXAL_REFERENCE_PATHS is set"))
        record(kFast, "");
}

PathChoice::PathChoice(const Args &a, nb::handle self, const FastPathNeeds &needs) : pass_(needs.pass) {
    if (!need(!reference_paths_only(), "VEXAL_REFERENCE_PATHS is set"))
        return;
    // a need the module never recorded is a fault of the module, not an
    // answer: it would send every call along the reference path unseen
    for (const char *path : needs.names)
        if (!original(a.func()->globals, path))
            raise(PyExc_SystemError, std::string(needs.pass) + ": the module never recorded " + path);
    for (const char *path : needs.methods)
        if (!original(a.func()->globals, path))
            raise(PyExc_SystemError, std::string(needs.pass) + ": the module never recorded " + path);
    for (const char *name : needs.names)
        if (!need(is_original(a, name), std::string(name) + " is not the package's own"))
            return;
    if (self.is_valid())
        for (const char *method : needs.methods)
            if (!need(is_original_method(a.func()->globals, self, method), std::string(method) + " is overridden"))
                return;
    record(kFast, "");
}

bool PathChoice::decline(std::string_view why) {
    if (fast_) {
        fast_ = false;
        why_ = why;
        record(kReference, why);
    }
    return false;
}

void PathChoice::record(const char *path, std::string_view why) {
    // written beside whatever error may be pending, which it leaves as it is
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject *paths = PyObject_GetAttrString(package(), "_paths");
    if (paths && PyDict_Check(paths)) {
        PyObject *p = PyUnicode_FromString(path);
        PyObject *w = PyUnicode_FromStringAndSize(why.data(), static_cast<Py_ssize_t>(why.size()));
        PyObject *entry = p && w ? PyTuple_Pack(2, p, w) : nullptr;
        if (!entry || PyDict_SetItemString(paths, pass_, entry) < 0)
            PyErr_Clear();
        Py_XDECREF(entry);
        Py_XDECREF(w);
        Py_XDECREF(p);
    } else {
        PyErr_Clear();
    }
    Py_XDECREF(paths);
    PyErr_Restore(t, v, tb);
}

}  // namespace vx
