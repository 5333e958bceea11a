// Shared declarations of the gatework module's sources.
#pragma once

#include "interop.hpp"

#include <string>
#include <utility>
#include <vector>

namespace gatework {

// Each source of the module registers the functions it defines; the module
// body creates them in its fixed order (see module.cpp).
using MakeDef = vx::FunctionDef (*)();
std::vector<std::pair<const char *, MakeDef>> &registry();

struct Register {
    Register(const char *name, MakeDef make) { registry().emplace_back(name, make); }
};

// The private `_record_wires(record)`: (qubits, classical bits) of a gate
// record, two tuples, as the shared record shapes read them
// (dagapi::RecordKind): the circuit class reads the records of a reader
// through it, and the tests, so that neither keeps a table of shapes of its
// own.  A record that is not a tuple raises TypeError; a name of no shape
// ("wrong gate type") and a record too short for its shape ("malformed gate
// record") raise ValueError.
vx::FunctionDef record_wires_def();

// True when `f` is the module's own is_multiple_of_pi function object.
bool is_own_is_multiple_of_pi(PyObject *f);
// f(n) for the module's own is_multiple_of_pi `f` (its default tolerance,
// the module's own numpy) and an exact int or float n, as UTF-8 text, made
// without calling it; false where f must be called.
bool multiple_of_pi_text(PyObject *f, PyObject *n, std::string &out);

}  // namespace gatework
