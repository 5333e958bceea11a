// Shared pieces of vexal.circuit.schedule (dynamical decoupling).
//
// `run` walks the circuit DAG either through the pass's methods, one Python
// call at a time (module.cpp), or natively (native.cpp) when the pass, its
// methods and the names it goes through are the package's own; both change
// the same DAG in the same way.
#pragma once

#include "interop.hpp"

#include <cstdint>

namespace schedule {

// `_count` after construction: the first number handed out is 86752.
inline constexpr long long kFirstCount = 86751;

// At most this many nodes are inserted by one call of `run`; a t1g far
// shorter than the idle windows would otherwise ask for pulse trains without
// end.
inline constexpr std::int64_t kMaxInserted = 10'000'000;

[[noreturn]] void too_many_nodes();

// [item]
inline nb::object list1(nb::handle item) {
    nb::object l = vx::own(PyList_New(1));
    PyList_SET_ITEM(l.ptr(), 0, Py_NewRef(item.ptr()));
    return l;
}

// Records the names the native walk relies on (module body).
void remember(nb::handle module);

// Whether the pass's methods and the names the native walk goes through
// are the package's own.
bool own_names(const vx::Args &a, nb::handle self);

// The native walk over `dag` (made by qc2dag, not yet changed), when the pass
// and everything it reads are plain: inserts the delays and trains into
// `dag` and advances `_count`, and returns true.  Returns false, with
// nothing changed, where the plain methods must do the work.  Raises, with
// nothing changed, the error the plain walk would raise.
bool run_native(const vx::Args &a, nb::handle self, nb::handle dag, nb::handle qubits, int sequence_length,
                bool align_right, bool insert_before_barrier);

}  // namespace schedule
