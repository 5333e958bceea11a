// Deferred instance attributes: a placeholder stands in the instance
// dictionary until the attribute is first read, and then the very object it
// stands for is built, stored in its place and returned.  A fast path that
// leaves a costly state object (a circuit DAG, a cache) only for a reader
// that may never come installs a data descriptor on its class for each such
// name, so `vars()` shows the placeholder until the first read.
#pragma once

#include "interop.hpp"

#include <initializer_list>
#include <memory>

namespace vx {

// What a placeholder stands for: `value(what)` builds it (once; a source
// keeps what it built), `describe(what)` is the placeholder's repr.
struct DeferredSource {
    virtual ~DeferredSource() = default;
    virtual nb::object value(int what) = 0;
    virtual const char *describe(int what) const = 0;
};

// A placeholder of the module's deferred type for source->value(what).
// install_deferred must have run in this module.
nb::object make_deferred(const std::shared_ptr<DeferredSource> &source, int what);

// The source and `what` of a placeholder made by this module, or null for
// any other object.
DeferredSource *deferred_source(PyObject *o, int *what = nullptr);

// Puts a descriptor for each of `attributes` on `cls` (whose name,
// `class_name`, keys the record of the package's own objects:
// "<class_name>.<attribute>"), making the placeholder type of the module
// `type_name` ("vexal.circuit.<module>._Deferred") on the first call.
void install_deferred(nb::handle module, nb::handle cls, const char *class_name, const char *type_name,
                      std::initializer_list<const char *> attributes);

// Whether each of `attributes` of the type is still the descriptor
// install_deferred put there (`globals` is the module's namespace).
bool deferred_descriptors(PyObject *globals, PyTypeObject *tp, const char *class_name,
                          std::initializer_list<const char *> attributes);

// The raw entry `name` of the instance dictionary, a placeholder left as it
// is; null (no error) where there is none.
PyObject *raw_attribute(nb::handle self, PyObject *name);

}  // namespace vx
