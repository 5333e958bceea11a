// vexal.circuit.layout: choosing the physical qubits of a chip for a circuit.
//
// Every method of Layout works on its own, on the object's attributes,
// through the other methods looked up on the object, as Python code would:
// the reference path (reference_*.cpp).  The collections of connected qubit
// sets and of their scores, and the rankings built on them, take the fast
// path (fast*.cpp) when the methods and module names they go through are
// the package's own (module.cpp decides): the enumeration and scoring
// engines run on threads, once per chip graph and size, and Python objects
// are made only for what a caller receives.
#pragma once

#include "interop.hpp"

#include <initializer_list>
#include <memory>
#include <utility>

namespace layout {

// self.name(*args), positional only (the interop helper), and with keywords.
using vx::call_method;
nb::object call_kw(nb::handle f, std::initializer_list<nb::handle> args,
                   std::initializer_list<std::pair<const char *, nb::handle>> kwargs);

// list(items) sorted by list.sort(key=key, reverse=reverse), so stable, as
// sorted() sorts; and operator.itemgetter(i).
nb::object sorted_list(nb::handle items, nb::handle key, bool reverse = false);
nb::object item_getter(Py_ssize_t i);

// The ordinary error (an Exception) in flight, taken out of the error
// indicator with its traceback attached; anything else is rethrown.
nb::object take_exception();
// "".join(str(p) for p in parts), and ValueError(msg)
nb::object concat(std::initializer_list<nb::handle> parts);
[[noreturn]] void raise_value(nb::handle msg);

// max(self.ncore, 1) where ncore is a number below 1; None and anything
// else as they stand (the pool refuses what it cannot use).
nb::object pool_size(nb::handle self);
// with Pool(processes=...) as pool: return pool.map(func, iterable)
nb::object pool_map(const vx::Args &a, nb::handle self, nb::handle func, nb::handle iterable);

// Prints the two-column table of the sorting methods; `row(i)` gives the
// linear and nonlinear ranking entries of row i (the filler where a list has
// run out).
struct TableSource {
    Py_ssize_t nlinear, nnonlinear;
    virtual nb::object linear(Py_ssize_t i) = 0;
    virtual nb::object nonlinear(Py_ssize_t i) = 0;
    virtual ~TableSource() = default;
};
// `nqubits` is the caller's int: the widths (nqubits * 5 and more) are
// reckoned in Python ints.
void print_two_column_table(nb::handle nqubits, long long num, TableSource &src);
void print_header(nb::handle nqubits);
void print_one_column_row(Py_ssize_t i, nb::handle entry, nb::handle nqubits);

// The int argument i held to the range of long long: a size or count past
// it acts as the nearest end does.
long long clamped(const vx::Args &a, int i);

// Method bodies (enumerate.cpp, score.cpp, rank.cpp, select.cpp).
nb::object init(const vx::Args &a);
nb::object get_node_neighbours(const vx::Args &a);
nb::object get_node_connect_dict(const vx::Args &a);
nb::object get_one_node_subgraph(const vx::Args &a);
nb::object collect_all_subgraph_in_parallel(const vx::Args &a);
nb::object get_one_subgraph_info(const vx::Args &a);
nb::object collect_all_subgraph_info_in_parallel(const vx::Args &a);
nb::object select_subgraph_by_topology(const vx::Args &a);
nb::object classify_all_subgraph_according_topology(const vx::Args &a);
nb::object sort_subgraph_according_mean_fidelity(const vx::Args &a);
nb::object sort_subgraph_according_var_fidelity(const vx::Args &a);
nb::object select_one_qubit_from_backend(const vx::Args &a);
nb::object select_few_qubits_from_backend(const vx::Args &a);
nb::object get_largest_component(const vx::Args &a);
nb::object select_much_qubits_from_backend(const vx::Args &a);
nb::object select_qubits_by_local_algorithm(const vx::Args &a);
nb::object select_layout(const vx::Args &a);

// The filler entry of the two-column table.
nb::handle filler();

// -- the path choice (module.cpp) and the fast path (fast*.cpp) ----------------

// What a fast path stands in for; each level includes the ones below it.
enum class Level { Start, Sets, Infos, Classes, Ranks };

// Whether the int `nqubits` is more than the chip graph's qubit count while
// what the level goes through is the package's own: there is no set of
// that size, and the method returns at once.
bool beyond_chip(const vx::Args &a, nb::handle self, Level level, nb::handle nqubits);

// The fast path's result for one chip graph and size, or null when the
// methods or names the level goes through are not the package's own or the
// inputs are not of the exact kinds the engines read (the reference path
// then runs).  Valid until the next call into Python.
struct FastResult;
using FastPtr = std::shared_ptr<FastResult>;
FastPtr fast_result(const vx::Args &a, nb::handle self, Level level, long long nqubits);

// Python results made from a fast result (fast_build.cpp).
nb::object fast_sets(const FastResult &fr);                        // collect_all_subgraph_in_parallel
nb::object fast_infos(const vx::Args &a, const FastResult &fr);    // collect_all_subgraph_info_in_parallel
nb::object fast_classes(const vx::Args &a, const FastResult &fr);  // classify_all_subgraph_according_topology
nb::object fast_ranks(const vx::Args &a, const FastResult &fr, bool by_mean, long long num, bool print);
void fast_by_topology(const vx::Args &a, const FastResult &fr, nb::handle target, bool print);

// Records the package's own objects at load.
void remember(nb::handle module, nb::handle cls);

}  // namespace layout
