// The record of the package's own objects; see originals.hpp.
#include "interop.hpp"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace vx {

namespace {

struct Record {
    std::string path;
    std::vector<PyObject *> parts;  // interned names
    PyObject *object;               // owned
};

// The records of one namespace.  A path is found by the address of the text
// it was asked with (then confirmed by its content), so a call-time check
// costs two hash look-ups.
struct Space {
    std::vector<Record> records;
    std::unordered_map<const char *, std::size_t> by_address;

    const Record *find(const char *path) {
        auto it = by_address.find(path);
        if (it != by_address.end() && records[it->second].path == path)
            return &records[it->second];
        for (std::size_t i = 0; i < records.size(); ++i)
            if (records[i].path == path) {
                by_address[path] = i;
                return &records[i];
            }
        return nullptr;
    }
};

// Keyed by namespace dict; each dict is held, so its address stays its own.
std::unordered_map<PyObject *, Space> &spaces() {
    static std::unordered_map<PyObject *, Space> s;
    return s;
}

PyObject *namespace_of(nb::handle module) {
    if (PyDict_Check(module.ptr()))
        return module.ptr();
    return check(PyModule_GetDict(module.ptr()));
}

std::vector<PyObject *> split(const char *path) {
    std::vector<PyObject *> parts;
    std::string p(path);
    std::size_t b = 0;
    while (true) {
        std::size_t e = p.find('.', b);
        std::string word = p.substr(b, e == std::string::npos ? std::string::npos : e - b);
        parts.push_back(check(PyUnicode_InternFromString(word.c_str())));
        if (e == std::string::npos)
            break;
        b = e + 1;
    }
    return parts;
}

// What the parts reach from `globals` now (borrowed, or null with no error
// set): the first a global name, each further one an attribute; a class's
// attribute is what its dictionaries hold, as method look-up finds it.
PyObject *follow(PyObject *globals, const std::vector<PyObject *> &parts, nb::object &hold) {
    PyObject *o = PyDict_GetItemWithError(globals, parts[0]);
    if (!o) {
        if (PyErr_Occurred() || !(o = PyDict_GetItemWithError(PyEval_GetBuiltins(), parts[0]))) {
            clear_ordinary_error();
            return nullptr;
        }
    }
    hold = nb::borrow(o);
    for (std::size_t i = 1; i < parts.size(); ++i) {
        if (PyType_Check(hold.ptr())) {
            PyObject *v = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(hold.ptr()), parts[i]);
            if (!v)
                return nullptr;
            hold = nb::borrow(v);
        } else {
            PyObject *v = PyObject_GetAttr(hold.ptr(), parts[i]);
            if (!v) {
                clear_ordinary_error();  // not there now: not the original
                return nullptr;
            }
            hold = nb::steal(v);
        }
    }
    return hold.ptr();
}

const Record *find(PyObject *globals, const char *path) {
    auto &all = spaces();
    auto it = all.find(globals);
    return it == all.end() ? nullptr : it->second.find(path);
}

}  // namespace

nb::handle keep_original(nb::handle module, const char *path) {
    PyObject *globals = namespace_of(module);
    auto [it, fresh] = spaces().try_emplace(globals);
    if (fresh)
        Py_INCREF(globals);
    Space &space = it->second;
    Record rec{path, split(path), nullptr};
    nb::object hold;
    PyObject *o = follow(globals, rec.parts, hold);
    if (!o)
        raise(PyExc_AttributeError, std::string("cannot record the package's own ") + path);
    rec.object = Py_NewRef(o);
    for (Record &r : space.records)
        if (r.path == rec.path) {
            std::swap(r.object, rec.object);
            Py_DECREF(rec.object);
            return r.object;
        }
    space.records.push_back(std::move(rec));
    return space.records.back().object;
}

bool is_original(PyObject *globals, const char *path) {
    const Record *rec = find(globals, path);
    if (!rec)
        return false;
    nb::object hold;
    return follow(globals, rec->parts, hold) == rec->object;
}

bool is_original(const Args &a, const char *path) { return is_original(a.func()->globals, path); }

PyObject *original(PyObject *globals, const char *path) {
    const Record *rec = find(globals, path);
    return rec ? rec->object : nullptr;
}

bool is_original_method(PyObject *globals, nb::handle obj, const char *path) {
    const Record *rec = find(globals, path);
    if (!rec || rec->parts.size() < 2)
        return false;
    PyObject *name = rec->parts.back();
    if (_PyType_Lookup(Py_TYPE(obj.ptr()), name) != rec->object)
        return false;
    nb::object dict = nb::steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
    if (!dict.is_valid()) {
        clear_ordinary_error();  // no instance dictionary: nothing can shadow the name
        return true;
    }
    int r = PyDict_Contains(dict.ptr(), name);
    check(r);
    return r == 0;
}

}  // namespace vx
