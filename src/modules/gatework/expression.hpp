// Evaluation of parameter texts for the program readers: the same safe
// evaluator that parse_expression uses, reachable without a Python call and
// with names bound to numbers (the formal parameters of a custom gate).
#pragma once

#include "gatework.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace gatework {

struct Binding {
    std::string_view name;  // UTF-8
    PyObject *value;        // borrowed; a number
};

// A message of the evaluator as a program reader reports it: what it says
// is allowed in a parameter text, said of a statement's parameters.
std::string statement_terms(std::string message);

// True when `f` is the module's own parse_expression function object.
bool is_own_parse_expression(PyObject *f);

// parse_expression(text) with `names` bound, `text` being a str; `np` is the
// numpy module the caller looked up (its pi is used) and `re` the module's re.
nb::object evaluate_expression(nb::handle text, nb::handle np, nb::handle re, const Binding *names, size_t count);

// The same for an ASCII text given as bytes; `pi` is np.pi.
nb::object evaluate_ascii_expression(std::string_view text, PyObject *pi, const Binding *names, size_t count);

}  // namespace gatework
