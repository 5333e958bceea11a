// Function objects with Python-function attributes and the argument parser.
#include "interop.hpp"

#include <structmember.h>

#include <new>
#include <typeinfo>

namespace vx {

PyObject *call_function(Function *f, PyObject *const *args, size_t nargsf, PyObject *kwnames);

namespace {

PyTypeObject *function_type = nullptr;

PyObject *func_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return call_function(reinterpret_cast<Function *>(self), args, nargsf, kwnames);
}

int func_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->data);
    Py_VISIT(f->code);
    return 0;
}

int func_clear(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->data);
    Py_CLEAR(f->code);
    return 0;
}

void func_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs)
        PyObject_ClearWeakRefs(self);
    func_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *func_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject *func_repr(PyObject *self) {
    auto *f = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *get_name(PyObject *self, void *) {
    PyObject *o = reinterpret_cast<Function *>(self)->name;
    Py_INCREF(o);
    return o;
}
int set_str(PyObject **slot, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) {
    return set_str(&reinterpret_cast<Function *>(self)->name, value, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) {
    PyObject *o = reinterpret_cast<Function *>(self)->qualname;
    Py_INCREF(o);
    return o;
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str(&reinterpret_cast<Function *>(self)->qualname, value, "__qualname__");
}
PyObject *get_doc(PyObject *self, void *) {
    PyObject *o = reinterpret_cast<Function *>(self)->doc;
    if (!o)
        o = Py_None;
    Py_INCREF(o);
    return o;
}
int set_doc_attr(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    Py_XINCREF(value);
    Py_XSETREF(f->doc, value);
    return 0;
}
PyObject *get_annotations(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations)
            return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->annotations, value);
    return 0;
}
PyObject *get_defaults(PyObject *self, void *) {
    PyObject *o = reinterpret_cast<Function *>(self)->defaults;
    if (!o)
        o = Py_None;
    Py_INCREF(o);
    return o;
}
int set_defaults(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (value == Py_None)
        value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->defaults, value);
    return 0;
}
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

// A code object that states the parameters the way a Python function's code
// does (co_argcount, co_varnames), which is what inspect.signature, help()
// and getfullargspec read, together with __defaults__ and __annotations__.
// It carries no bytecode of ours: running it raises AssertionError.
PyObject *make_code(Function *f) {
    const char *file = f->module && PyUnicode_Check(f->module) ? PyUnicode_AsUTF8(f->module) : "<unknown>";
    if (!file)
        throw error_already_set{};
    nb::object empty = own(reinterpret_cast<PyObject *>(PyCode_NewEmpty(file, f->cname, 0)));
    nb::object names = own(PyTuple_New(f->nparams));
    for (int i = 0; i < f->nparams; ++i) {
        Py_INCREF(f->param_names[i]);
        PyTuple_SET_ITEM(names.ptr(), i, f->param_names[i]);
    }
    nb::object count = own(PyLong_FromLong(f->nparams));
    nb::object flags = own(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    nb::object kw = own(PyDict_New());
    check(PyDict_SetItemString(kw.ptr(), "co_argcount", count.ptr()));
    check(PyDict_SetItemString(kw.ptr(), "co_nlocals", count.ptr()));
    check(PyDict_SetItemString(kw.ptr(), "co_varnames", names.ptr()));
    check(PyDict_SetItemString(kw.ptr(), "co_flags", flags.ptr()));
    check(PyDict_SetItemString(kw.ptr(), "co_qualname", f->qualname));
    nb::object replace = own(PyObject_GetAttrString(empty.ptr(), "replace"));
    nb::object noargs = own(PyTuple_New(0));
    return check(PyObject_Call(replace.ptr(), noargs.ptr(), kw.ptr()));
}
PyObject *get_code(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (!f->code && !(f->code = guarded([f] { return make_code(f); }, static_cast<PyObject *>(nullptr))))
        return nullptr;
    Py_INCREF(f->code);
    return f->code;
}
PyObject *get_globals(PyObject *self, void *) {
    PyObject *o = reinterpret_cast<Function *>(self)->globals;
    Py_INCREF(o);
    return o;
}

PyGetSetDef func_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc_attr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Functions pickle by reference, like Python's own.
PyObject *func_reduce(PyObject *self, PyObject *) { return get_qualname(self, nullptr); }

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Every extension module links its own copy of this layer; they share one
// function type, kept in a capsule on the vexal.circuit package, so that a
// function made by one module is recognised (is_function) by all others.
constexpr const char *kTypeCapsule = "vexal.circuit._function_type";

PyTypeObject *create_function_type();

PyTypeObject *get_function_type() {
    if (function_type)
        return function_type;
    nb::object pkg = nb::steal(PyImport_ImportModule("vexal.circuit"));
    if (!pkg.is_valid())
        throw error_already_set{};
    nb::object cap = nb::steal(PyObject_GetAttrString(pkg.ptr(), "_function_type"));
    if (cap.is_valid() && PyCapsule_IsValid(cap.ptr(), kTypeCapsule)) {
        function_type = static_cast<PyTypeObject *>(PyCapsule_GetPointer(cap.ptr(), kTypeCapsule));
        Py_INCREF(function_type);
        return function_type;
    }
    PyErr_Clear();
    PyTypeObject *tp = create_function_type();
    cap = nb::steal(PyCapsule_New(tp, kTypeCapsule, nullptr));
    if (!cap.is_valid() || PyObject_SetAttrString(pkg.ptr(), "_function_type", cap.ptr()) < 0)
        throw error_already_set{};
    function_type = tp;
    return function_type;
}

PyTypeObject *create_function_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(func_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(func_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(func_clear)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void *>(func_descr_get)},
        {Py_tp_repr, reinterpret_cast<void *>(func_repr)},
        {Py_tp_getset, func_getset},
        {Py_tp_members, func_members},
        {Py_tp_methods, func_methods},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "function",
        sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject *>(check(PyType_FromSpec(&spec)));
}

[[noreturn]] void argcount_error(Function *f, Py_ssize_t nreq, Py_ssize_t nmax, Py_ssize_t found) {
    const bool exact = nreq == nmax;
    Py_ssize_t expected;
    const char *more_or_less;
    if (found < nreq) {
        expected = nreq;
        more_or_less = "at least";
    } else {
        expected = nmax;
        more_or_less = "at most";
    }
    if (exact)
        more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->cname, more_or_less,
                 expected, expected == 1 ? "" : "s", found);
    throw error_already_set{};
}

[[noreturn]] void argtype_error(const char *name, const char *expected, PyObject *got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 Py_TYPE(got)->tp_name);
    throw error_already_set{};
}

const char *conv_type_name(Conv c) {
    switch (c) {
    case Conv::Int:
    case Conv::IntOrNone: return "int";
    case Conv::Float: return "float";
    case Conv::Bool: return "bool";
    case Conv::Str: return "str";
    case Conv::List: return "list";
    case Conv::Dict: return "dict";
    case Conv::Tuple: return "tuple";
    default: return nullptr;
    }
}

// Converts one argument; returns a new reference when the value changed,
// nullptr when the original object stands.
PyObject *convert(const Param &p, PyObject *o) {
    switch (p.conv) {
    case Conv::Any: return nullptr;
    case Conv::IntOrNone:
        if (o == Py_None)
            return nullptr;
        [[fallthrough]];
    case Conv::Int:
        if (PyLong_CheckExact(o))
            return nullptr;
        if (!PyNumber_Check(o))
            argtype_error(p.name, "int", o);
        return check(PyNumber_Long(o));
    case Conv::Float: {
        if (PyFloat_CheckExact(o))
            return nullptr;
        double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred())
            throw error_already_set{};
        return check(PyFloat_FromDouble(d));
    }
    case Conv::Bool: {
        int t = PyObject_IsTrue(o);
        check(t);
        PyObject *r = t ? Py_True : Py_False;
        Py_INCREF(r);
        return r;
    }
    case Conv::Str:
        if (!PyUnicode_CheckExact(o))
            argtype_error(p.name, "str", o);
        return nullptr;
    case Conv::List:
        if (!PyList_CheckExact(o))
            argtype_error(p.name, "list", o);
        return nullptr;
    case Conv::Dict:
        if (!PyDict_CheckExact(o))
            argtype_error(p.name, "dict", o);
        return nullptr;
    case Conv::Tuple:
        if (!PyTuple_CheckExact(o))
            argtype_error(p.name, "tuple", o);
        return nullptr;
    }
    return nullptr;
}

struct OwnedRefs {
    PyObject *refs[kMaxParams];
    int n = 0;
    ~OwnedRefs() {
        for (int i = 0; i < n; ++i)
            Py_DECREF(refs[i]);
    }
};

int find_keyword(Function *f, PyObject *key) {
    for (int i = 0; i < f->nparams; ++i)
        if (f->param_names[i] == key)
            return i;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->cname);
        throw error_already_set{};
    }
    for (int i = 0; i < f->nparams; ++i)
        if (PyUnicode_Compare(f->param_names[i], key) == 0)
            return i;
    return -1;
}

}  // namespace

nb::object convert_argument(PyObject *value, const char *name, Conv conv) {
    PyObject *changed = convert(Param{name, conv}, value);
    return changed ? nb::steal(changed) : nb::borrow(value);
}

void translate_current_exception() {
    try {
        throw;
    } catch (error_already_set &) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        PyObject *t = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::value_error: t = PyExc_ValueError; break;
        case nb::exception_type::type_error: t = PyExc_TypeError; break;
        case nb::exception_type::key_error: t = PyExc_KeyError; break;
        case nb::exception_type::index_error: t = PyExc_IndexError; break;
        case nb::exception_type::attribute_error: t = PyExc_AttributeError; break;
        default: break;
        }
        PyErr_SetString(t, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::bad_cast &) {
        PyErr_SetString(PyExc_TypeError, "unexpected argument type");
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

PyObject *call_function(Function *f, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    try {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const int np = f->nparams;
        Py_ssize_t ndef = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
        if (ndef > np)
            ndef = np;
        const Py_ssize_t nreq = np - ndef;
        if (nargs > np)
            argcount_error(f, nreq, np, nargs);

        Args a;
        a.func_ = f;
        for (Py_ssize_t i = 0; i < nargs; ++i)
            a.vals_[i] = args[i];
        for (Py_ssize_t i = nargs; i < np; ++i)
            a.vals_[i] = nullptr;

        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject *key = PyTuple_GET_ITEM(kwnames, k);
                int idx = find_keyword(f, key);
                if (idx < 0) {
                    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", f->cname, key);
                    throw error_already_set{};
                }
                if (a.vals_[idx]) {
                    PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for argument '%U'", f->cname, key);
                    throw error_already_set{};
                }
                a.vals_[idx] = args[nargs + k];
            }
        }
        for (Py_ssize_t i = nargs; i < np; ++i) {
            if (a.vals_[i])
                continue;
            if (i < nreq)
                argcount_error(f, nreq, np, i);
            a.vals_[i] = PyTuple_GET_ITEM(f->defaults, i - nreq);
        }

        OwnedRefs owned;
        for (int i = 0; i < np; ++i) {
            if (f->params[i].conv == Conv::Any)
                continue;
            if (PyObject *c = convert(f->params[i], a.vals_[i])) {
                owned.refs[owned.n++] = c;
                a.vals_[i] = c;
            }
        }
        clean_vector_state();
        nb::object r = f->impl(a);
        if (!r.is_valid()) {
            if (!PyErr_Occurred())
                Py_RETURN_NONE;
            return nullptr;
        }
        return r.release().ptr();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

long long Args::ll(int i) const {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(vals_[i], &overflow);
    if (overflow)
        raise(PyExc_OverflowError, "Python int too large to convert to C long long");
    if (v == -1 && PyErr_Occurred())
        throw error_already_set{};
    return v;
}

nb::handle Args::global(PyObject *interned) const { return lookup_global(func_->globals, interned); }

nb::handle Args::global(const char *name) const { return global(intern(name)); }

bool is_function(PyObject *o) { return Py_TYPE(o) == get_function_type(); }

nb::object make_function(nb::handle module, const FunctionDef &def) {
    if (def.params.size() > static_cast<size_t>(kMaxParams))
        throw std::length_error("too many parameters");
    PyTypeObject *tp = get_function_type();
    auto *f = PyObject_GC_New(Function, tp);
    if (!f)
        throw error_already_set{};
    f->vectorcall = func_vectorcall;
    f->dict = nullptr;
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = nullptr;
    f->doc = nullptr;
    f->annotations = nullptr;
    f->defaults = nullptr;
    f->globals = nullptr;
    f->data = nullptr;
    f->code = nullptr;
    f->weakrefs = nullptr;
    f->cname = def.name;
    f->impl = def.impl;
    f->nparams = static_cast<int>(def.params.size());
    nb::object self = nb::steal(reinterpret_cast<PyObject *>(f));
    for (int i = 0; i < f->nparams; ++i) {
        f->params[i] = def.params[i];
        f->param_names[i] = intern(def.params[i].name);
    }
    f->name = check(PyUnicode_FromString(def.name));
    f->qualname = check(PyUnicode_FromString(def.qualname ? def.qualname : def.name));
    PyObject *modname = check(PyObject_GetAttrString(module.ptr(), "__name__"));
    f->module = modname;
    f->globals = check(PyModule_GetDict(module.ptr()));
    Py_INCREF(f->globals);
    if (def.doc) {
        f->doc = check(PyUnicode_FromString(def.doc));
    }
    if (!def.defaults.empty()) {
        f->defaults = check(PyTuple_New(static_cast<Py_ssize_t>(def.defaults.size())));
        for (size_t i = 0; i < def.defaults.size(); ++i) {
            PyObject *d = def.defaults[i].ptr();
            Py_INCREF(d);
            PyTuple_SET_ITEM(f->defaults, static_cast<Py_ssize_t>(i), d);
        }
    }
    f->annotations = check(PyDict_New());
    for (int i = 0; i < f->nparams; ++i) {
        const Param &p = f->params[i];
        const char *ann = p.annotation;
        if (ann && !*ann)
            ann = conv_type_name(p.conv);
        if (ann) {
            nb::object s = own(PyUnicode_FromString(ann));
            check(PyDict_SetItem(f->annotations, f->param_names[i], s.ptr()));
        }
    }
    if (def.return_annotation) {
        nb::object s = own(PyUnicode_FromString(def.return_annotation));
        check(PyDict_SetItemString(f->annotations, "return", s.ptr()));
    }
    if (def.data.is_valid()) {
        f->data = def.data.ptr();
        Py_INCREF(f->data);
    }
    PyObject_GC_Track(f);
    return self;
}

nb::object def(nb::handle module, const FunctionDef &d) {
    nb::object f = make_function(module, d);
    check(PyObject_SetAttrString(module.ptr(), d.name, f.ptr()));
    return f;
}

nb::object make_class(nb::handle module, const char *name, nb::handle bases, const char *doc,
                      std::initializer_list<FunctionDef> methods, std::initializer_list<Member> extra) {
    nb::object bases_t = bases.is_valid() ? nb::borrow(bases) : own(PyTuple_New(0));
    nb::object ns = own(PyDict_New());
    nb::object modname = own(PyObject_GetAttrString(module.ptr(), "__name__"));
    check(PyDict_SetItemString(ns.ptr(), "__module__", modname.ptr()));
    nb::object qn = own(PyUnicode_FromString(name));
    check(PyDict_SetItemString(ns.ptr(), "__qualname__", qn.ptr()));
    if (doc) {
        nb::object d = own(PyUnicode_FromString(doc));
        check(PyDict_SetItemString(ns.ptr(), "__doc__", d.ptr()));
    }
    for (const FunctionDef &m : methods) {
        std::string qual = std::string(name) + "." + m.name;
        FunctionDef md = m;
        md.qualname = qual.c_str();
        nb::object f = make_function(module, md);
        check(PyDict_SetItemString(ns.ptr(), m.name, f.ptr()));
    }
    for (const Member &m : extra)
        check(PyDict_SetItemString(ns.ptr(), m.name, m.value.ptr()));
    PyObject *meta = PyTuple_GET_SIZE(bases_t.ptr()) > 0
                         ? reinterpret_cast<PyObject *>(Py_TYPE(PyTuple_GET_ITEM(bases_t.ptr(), 0)))
                         : reinterpret_cast<PyObject *>(&PyType_Type);
    return own(PyObject_CallFunctionObjArgs(meta, qn.ptr(), bases_t.ptr(), ns.ptr(), nullptr));
}

}  // namespace vx
