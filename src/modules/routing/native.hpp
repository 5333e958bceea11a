// The native run of SabreRouting: what the two ways of feeding the engine
// share (native.cpp takes the DAGs that run built, lean.cpp builds none).
#pragma once

#include "routing.hpp"
#include "sabre_engine.hpp"

#include <cstdint>
#include <functional>
#include <span>
#include <unordered_map>
#include <vector>

namespace routing::native {

namespace es = engines::sabre;

// The pass object's state as the engine sees it.
struct Setup {
    std::int32_t n = 0;
    std::vector<nb::object> vkeys;        // virtual qubit objects by number (ascending)
    std::vector<std::int32_t> key_order;  // v2p key order, as numbers
    std::vector<nb::object> phys;         // physical qubit objects by number
    nb::object vdict;                     // virtual qubit object -> number
    nb::object pdict;                     // physical qubit object -> number
    std::unordered_map<long long, std::int32_t> vnum;
    es::Topology topo;
    es::Options opt;
    std::vector<std::int32_t> v2p;
};

// Keeps the class's own methods and the module's own helpers, to tell later
// whether anything was replaced; installs the deferred attributes.
void remember(nb::handle module, nb::handle cls);
// Runs the `total` traversals of `run` over the DAGs run built and returns
// true, or returns false, having changed nothing, when the object or the
// module has been customised in a way the engine does not model.
bool try_run(const vx::Args &a, nb::handle self, nb::handle dag, nb::handle rev_dag, long long total,
             nb::object &result, nb::object &best_p2v);

// True when neither the class, the object nor the module's helpers have been
// customised in a way the engine does not model.
bool plain_object(const vx::Args &a, nb::handle self);
// Reads options, mapping and coupling graph; false (nothing changed) when
// any of them is of a kind the engine does not model.
bool prepare(const vx::Args &a, nb::handle self, Setup &s);

std::int32_t phys_num(const Setup &s, PyObject *o);
nb::object p2v_of(const Setup &s, const std::vector<std::int32_t> &v2p);

// A node-name object (borrowed) by DAG (0 forward, 1 reverse) and node.
using NameOf = std::function<PyObject *(int which, std::int32_t node)>;

// Writes v2p, p2v, decay_parameter and extended_successor_set as the
// methods would have left them.
void flush_state(nb::handle self, const Setup &s, const es::Engine &eng, const NameOf &name);

// The query cache the methods would have left: the 10000 most recently used
// (dag, node, kind) entries, oldest first.
struct CacheEntry {
    std::uint64_t t;
    std::int32_t node;
    std::uint8_t which, kind;  // kind 0 successors, 1 predecessors
};
std::vector<CacheEntry> cache_entries(const es::Engine &eng);
void fill_cache(nb::handle cache, const std::vector<CacheEntry> &entries, const es::Dag *dags[2], const NameOf &name);

[[noreturn]] void raise_failure(const es::Failure &f, int which, const NameOf &name);

// Emits SWAP records and breaks ties with random.choice, as the methods do.
class HooksBase : public es::Hooks {
public:
    HooksBase(const vx::Args &a, const Setup &s) : a_(a), s_(s), out_(vx::own(PyList_New(0))) {}
    nb::object out() const { return out_; }
    std::size_t choose(std::span<const std::pair<std::int32_t, std::int32_t>> tied) override;
    void swap(std::int32_t va, std::int32_t vb, const std::vector<std::int32_t> &v2p) override;

protected:
    void append_record(nb::handle record);  // appends to the output
    static void untrack_plain(nb::handle tuple);
    const vx::Args &a_;
    const Setup &s_;
    nb::object out_;
};

// Before the emitting traversal: do_map_node_to_gate and the best mapping.
void begin_emitting(nb::handle self, const Setup &s, const es::Engine &eng, nb::object &best_p2v);

// Runs the traversals: the last one emits; the attributes hold the state the
// methods would leave, also when a traversal fails.  `at_last` runs before
// the last traversal; `place` after each traversal and at a failure, with the
// traversal's DAG number and whether it was the emitting one.
long long traverse_all(es::Engine &eng, const es::Dag *dags[2], long long total, HooksBase &hooks,
                       const std::function<void()> &at_last, const std::function<void(int, bool)> &place,
                       const std::function<void()> &flush, const NameOf &name);

namespace lean {
// Creates the deferred-attribute types and puts the `dag` and `_cache`
// descriptors on the class.
void install(nb::handle module, nb::handle cls);
// Runs `run` without building the networkx DAGs (they are built when read),
// or returns false, having changed nothing, where that cannot give the same
// result.
bool try_run(const vx::Args &a, nb::handle self, nb::handle qc, long long total, nb::object &result,
             nb::object &best_p2v);
// The pass object's query cache without building deferred entries: the
// dictionary itself, put back in place of a deferred one.
nb::object raw_cache(nb::handle self);
}  // namespace lean

}  // namespace routing::native
