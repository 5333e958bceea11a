// The interop layer shared by every extension module of vexal.circuit.
//
// It gives the modules what a Python author takes for granted:
//  * function objects with __name__, __qualname__, __module__, __doc__,
//    __annotations__ and __defaults__ that bind as methods and that
//    inspect.signature reads as it reads Python functions (vx::Function);
//  * one argument parser with the package's exact TypeError texts and the
//    int / float / bool / str / list / dict conversions of typed parameters;
//  * real Python classes built at load time (vx::make_class), so a base such
//    as TranspilerPass is a true abc.ABC that users subclass;
//  * printing through Python's own print (and so through sys.stdout);
//  * Python number semantics (float repr, round);
//  * the small object helpers of objects.hpp (getattr, contains, call, ...);
//  * the record of the package's own objects (originals.hpp), which fast
//    paths consult before they trust what they know about a name;
//  * GcPause, for C++ builds of many containers.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace nb = nanobind;

namespace vx {

// This package's code is plain SSE.  Where code of another library left the
// upper halves of the AVX registers in use (without the vzeroupper that
// ends such code by convention), every SSE instruction pays for the mixed
// state: translation and gate compression ran at less than half their speed
// in a process whose start-up had left it so, until a BLAS call cleared it.
// Every call of the package's functions clears it on entry (one
// instruction; the registers' upper halves are not kept across calls
// anyway).
void clean_vector_state();

// The names of the six gate tables, in the order a gate name is looked up in
// them.
inline constexpr const char *kGateTables[6] = {
    "one_qubit_gates_available",           "two_qubit_gates_available",           "three_qubit_gates_available",
    "one_qubit_parameter_gates_available", "two_qubit_parameter_gates_available", "functional_gates_available",
};

// Thrown when a Python error is already set; the function wrapper lets it
// through untouched.
struct error_already_set {};

// Returns `o` or throws error_already_set when it is null.
inline PyObject *check(PyObject *o) {
    if (!o)
        throw error_already_set{};
    return o;
}
inline void check(int rc) {
    if (rc < 0)
        throw error_already_set{};
}
// A new reference as an owning handle; throws when null.
inline nb::object own(PyObject *o) { return nb::steal(check(o)); }

[[noreturn]] void raise(PyObject *type, const std::string &msg);
[[noreturn]] inline void value_error(const std::string &m) { raise(PyExc_ValueError, m); }
[[noreturn]] inline void type_error(const std::string &m) { raise(PyExc_TypeError, m); }

// How a typed parameter is converted before the body runs.
enum class Conv : std::uint8_t {
    Any,        // untouched
    Int,        // int unchanged, other numbers through int(), else TypeError
    IntOrNone,  // as Int, and None
    Float,      // any real number as a float (float()), else TypeError
    Bool,       // truth value, stored as True/False
    Str,        // exactly str
    List,       // exactly list
    Dict,       // exactly dict
    Tuple,      // exactly tuple
};

struct Param {
    const char *name;
    Conv conv = Conv::Any;
    // Annotation text recorded in __annotations__; nullptr for none.  The
    // default for a typed parameter is the type's name.
    const char *annotation = "";
};

constexpr int kMaxParams = 16;

// A value converted as a parameter `name` of that kind is converted on entry,
// with the parser's TypeError texts; for code that takes its arguments
// apart itself (the operands of a record handed on).
nb::object convert_argument(PyObject *value, const char *name, Conv conv);

struct Function;

// The view of one call's arguments after binding and conversion.
class Args {
public:
    nb::handle operator[](int i) const { return vals_[i]; }
    PyObject *ptr(int i) const { return vals_[i]; }
    double f(int i) const { return PyFloat_AS_DOUBLE(vals_[i]); }  // Float params
    bool b(int i) const { return vals_[i] == Py_True; }            // Bool params
    long long ll(int i) const;                                     // Int params (throws on overflow)
    // A name of the defining module's namespace, looked up now.
    nb::handle global(const char *name) const;
    nb::handle global(PyObject *interned) const;
    Function *func() const { return func_; }

private:
    friend PyObject *call_function(Function *, PyObject *const *, size_t, PyObject *);
    PyObject *vals_[kMaxParams];
    Function *func_;
};

using Impl = nb::object (*)(const Args &);

struct FunctionDef {
    const char *name;
    Impl impl;
    std::vector<Param> params;              // positional-or-keyword, `self` first for methods
    std::vector<nb::object> defaults = {};  // for the last params, made once
    const char *doc = nullptr;
    const char *return_annotation = nullptr;
    const char *qualname = nullptr;  // defaults to name (or Class.name in make_class)
    nb::object data = {};            // any object the body wants at hand
};

// The function object type.  Its instances live in module namespaces and in
// class dictionaries; they bind as methods like Python functions.
struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *dict;         // __dict__ (abstractmethod writes into it)
    PyObject *name;         // __name__
    PyObject *qualname;     // __qualname__
    PyObject *module;       // __module__
    PyObject *doc;          // __doc__
    PyObject *annotations;  // __annotations__
    PyObject *defaults;     // __defaults__: tuple or None
    PyObject *globals;      // the defining module's namespace
    PyObject *data;         // FunctionDef::data
    PyObject *code;         // __code__, made on first read
    PyObject *weakrefs;
    const char *cname;  // name used in argument messages
    Impl impl;
    int nparams;
    Param params[kMaxParams];
    PyObject *param_names[kMaxParams];  // interned
};

// Creates a function that belongs to `module` (its __module__ and namespace).
nb::object make_function(nb::handle module, const FunctionDef &def);
// Creates the function and binds it in the module namespace under its name.
nb::object def(nb::handle module, const FunctionDef &def);
bool is_function(PyObject *o);

// A member of a class body: a method or any other object.
struct Member {
    const char *name;
    nb::object value;
};

// Builds a real Python class `name` in `module` by calling the metaclass of
// `bases` (type for none) with a class namespace, as a class statement does.
// Methods given as FunctionDef get the qualname Class.method.
nb::object make_class(nb::handle module, const char *name, nb::handle bases, const char *doc,
                      std::initializer_list<FunctionDef> methods, std::initializer_list<Member> extra = {});

// print(*args, sep=' ', end='\n') through the builtin print.
void print(std::initializer_list<nb::handle> args);
void print_str(std::string_view text);

// Python number semantics.
std::string repr_double(double x);                // repr(float)
nb::object round_obj(nb::handle x, int ndigits);  // round(x, ndigits)

// Imports a module by name (import a.b.c returns a.b.c).
nb::object import(const char *name);
// Interned string, kept for the life of the process.
PyObject *intern(const char *s);

// A global name as a function body looks it up: the namespace `globals`,
// then the builtins; NameError when neither has it.  Borrowed.
PyObject *lookup_global(PyObject *globals, PyObject *name);

// UTF-8 view of a str (throws on failure).
std::string_view utf8(nb::handle s);

// Type name as the argument messages show it.
const char *type_name(PyObject *o);

// Sets the module docstring.
void set_doc(nb::handle module, const char *doc);

// Inside a catch block: turns the C++ exception in flight into the Python
// error it stands for (an error already set stays as it is).
void translate_current_exception();

// f() for a C-level entry point: its result, or `failed` with the Python
// error set when f throws.
template <class F, class R> R guarded(F &&f, R failed) {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return failed;
    }
}

// In a C++ loop that can run long: every `every` steps (a power of two,
// chosen so that it is a few milliseconds of work), a pending signal's
// handler runs and its exception (KeyboardInterrupt) is thrown.
inline void poll_signals(std::size_t step, std::size_t every = 1024) {
    if ((step & (every - 1)) == every - 1)
        check(PyErr_CheckSignals());
}

// A fast path that meets a Python error where it only asked "is this input
// for me?" (a buffer that cannot be had, an attribute that is not there)
// answers "no" and leaves the input to the reference path: the error is
// cleared when it is an ordinary one (an Exception).  An interrupt
// (KeyboardInterrupt, SystemExit) is never such an answer: it is thrown on,
// so that Ctrl-C stops the call instead of starting the slower path.
inline void clear_ordinary_error() {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception))
        throw error_already_set{};
    PyErr_Clear();
}

// The offer (a struct with a leading `int version`) that a package function
// object carries in a capsule named `capsule`, or null: `f` is not a
// function of the package, carries no such capsule, or one of another
// version.
template <class Offer> const Offer *function_offer(PyObject *f, const char *capsule, int version) {
    if (!is_function(f))
        return nullptr;
    PyObject *cap = reinterpret_cast<Function *>(f)->data;
    if (!cap || !PyCapsule_IsValid(cap, capsule))
        return nullptr;
    auto *offer = static_cast<const Offer *>(PyCapsule_GetPointer(cap, capsule));
    return offer && offer->version == version ? offer : nullptr;
}

// Pauses the cyclic collector while a C++ build makes many containers but
// no cycle and runs no Python code: collections in between would only rescan
// the heap again and again.  `active` false makes a pause that does nothing;
// resume() ends one before its scope does.
struct GcPause {
    int was_enabled;
    explicit GcPause(bool active = true) : was_enabled(active ? PyGC_Disable() : 0) {}
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;
    void resume() {
        if (was_enabled)
            PyGC_Enable();
        was_enabled = 0;
    }
    ~GcPause() { resume(); }
};

}  // namespace vx

#include "objects.hpp"
#include "originals.hpp"
