// vexal.circuit.routing: what the module's files share.
//
// The pass's methods, its reference path, live in reference_*.cpp, one file
// per area (DAG queries and mappings, front layer and scores, the
// traversal); module.cpp binds them and holds the constructor and `run`,
// which chooses the path; fast_*.cpp are the fast path.
#pragma once

#include "dag_api.hpp"
#include "fast_path.hpp"
#include "interop.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace routing {

// ---------------------------------------------------------------- object helpers
// (the shared ones are vx::getattr, vx::contains, ... of objects.hpp)

using vx::append;
using vx::new_list;
using vx::to_list;
// {value: key for key, value in d.items()}
nb::object invert(nb::handle d);
// Raises `type` with fmt.format(*args).
[[noreturn]] void raise_fmt(PyObject *type, const char *fmt, std::initializer_list<nb::handle> args);

// ---------------------------------------------------------------- the pass's vocabulary

// The gate name of a node: its text before the first "_".
nb::object gate_name(nb::handle node);
// extract_qubits(node) through the module's namespace.
nb::object extract(const vx::Args &a, nb::handle node);
using vx::dagapi::GateKinds;
// Gate kinds by the tables the module's namespace holds now.
inline GateKinds gate_kinds(const vx::Args &a) {
    static const vx::dagapi::Api &api = vx::dagapi::gatework_api();  // fixed once gatework has loaded
    return GateKinds(api, a.func()->globals);
}
// A name of the two-qubit tables: a gate that needs a coupler.
inline bool is_two_qubit(GateKinds &kinds, nb::handle name) {
    const vx::dagapi::GateKind &k = kinds.of(name.ptr());
    return k.in(vx::dagapi::kTwoQubitTable) || k.in(vx::dagapi::kTwoQubitParamTable);
}

// The query cache (`_cache`) holds at most this many (DAG, node, direction)
// entries once a query returns, the least recently used dropped first: the
// repeated queries of the front layer and the lookahead stay one look-up
// each, and a long run's memory stays bounded.  The reference path's
// `_get_nodes` and the fast path's rebuilt cache both keep to it.
inline constexpr std::size_t kCacheBound = 10000;

inline constexpr const char *kConflict =
    "A conflict occurred during the Sabre algorithm computation. Please contact the developer for assistance.";
inline constexpr const char *kDecomposeFirst =
    "Please first decompose the {} gate into a combination of single- and two-qubit gates.";
inline constexpr const char *kNoCandidate =
    "No SWAP can bring the gates of the front layer {} together: their physical qubits have no coupled neighbour.";
inline constexpr const char *kUnscorable =
    "The SWAP scores for the front layer {} cannot be compared: the least one is not a number.";
inline constexpr const char *kUnknownHeuristic =
    "Unknown heuristic {!r}: expected one of 'basic', 'lookahead', 'basic_decay' or 'lookahead_decay'.";
inline constexpr const char *kHeuristics[] = {"basic", "lookahead", "basic_decay", "lookahead_decay"};

// ---------------------------------------------------------------- the reference path

// Module-level functions and SabreRouting's methods, as bound in module.cpp.
nb::object extract_qubits(const vx::Args &a);
nb::object update_v2p_and_p2v_mapping(const vx::Args &a);
nb::object distance_matrix_element(const vx::Args &a);
nb::object dag_successors(const vx::Args &a);
nb::object dag_predecessors(const vx::Args &a);
nb::object get_nodes(const vx::Args &a);
nb::object initialize_v2p_p2v(const vx::Args &a);
nb::object mapping_node_to_gate_info(const vx::Args &a);
nb::object get_extended_successor_set(const vx::Args &a);
nb::object get_execute_node_list(const vx::Args &a);
nb::object has_no_correlation_on_front_layer(const vx::Args &a);
nb::object get_swap_candidate_list(const vx::Args &a);
nb::object reset_decay_parameter(const vx::Args &a);
nb::object update_decay_parameter(const vx::Args &a);
nb::object score_basic(const vx::Args &a);
nb::object score_lookahead(const vx::Args &a);
nb::object score_basic_decay(const vx::Args &a);
nb::object score_lookahead_decay(const vx::Args &a);
nb::object heuristic_score(const vx::Args &a);
nb::object single_sabre_routing(const vx::Args &a);

}  // namespace routing
