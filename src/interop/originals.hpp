// The package's own objects, as a module's names held them when it loaded.
//
// A fast path knows what the package's own objects do (networkx's
// DiGraph, the DAG-list builder, a decomposition, a method of a pass), but a
// user may rebind any module name, or a method on a class or an instance,
// and the next call must then go through the replacement.  So a module
// records at load what each name it relies on holds, and a fast path asks,
// at call time, whether the name still holds it:
//
//     vx::keep_original(m, "nx.DiGraph");            // in the module body
//     if (vx::is_original(a, "nx.DiGraph")) ...      // in a call
//
// A path is a name of the module namespace followed by attribute names
// ("nx", "nx.DiGraph", "QuantumCircuit.deepcopy").  Paths are recorded per
// namespace, so a module may also record names of another module's
// namespace (translate records decompose's decompositions).  What is
// recorded is kept for the life of the process.
#pragma once

#include "interop.hpp"

namespace vx {

// Records what `path` reaches in `module` (a module or its namespace dict)
// now, replacing an earlier record of the same path; returns that object.
nb::handle keep_original(nb::handle module, const char *path);

// Whether `path`, followed now from the namespace `globals`, still reaches
// the object recorded for it.  False for a path never recorded, and where
// following it fails (the error is dropped).
bool is_original(PyObject *globals, const char *path);
bool is_original(const Args &a, const char *path);

// The object recorded for `path` of `globals` (borrowed), or null.
PyObject *original(PyObject *globals, const char *path);

// Whether `obj` still finds the method recorded as "Class.method" of
// `globals` where the class defined it: its type resolves the name to that
// very object (no override in a subclass) and its instance dictionary does
// not shadow the name.
bool is_original_method(PyObject *globals, nb::handle obj, const char *path);

// Whether `f` is a function of the package whose body is `impl`.
inline bool is_function_of(PyObject *f, Impl impl) {
    return is_function(f) && reinterpret_cast<Function *>(f)->impl == impl;
}

}  // namespace vx
