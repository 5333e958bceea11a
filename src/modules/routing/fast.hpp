// The fast path of SabreRouting.run: the pass object's state as the engine
// sees it and back (fast_state.cpp), the run fed from the circuit's records
// (fast_run.cpp) and the deferred `dag` and `_cache` it leaves behind
// (fast_deferred.cpp).
#pragma once

#include "routing.hpp"
#include "sabre_engine.hpp"

#include <cstdint>
#include <functional>
#include <span>
#include <unordered_map>
#include <vector>

namespace routing::fast {

namespace es = engines::sabre;
using es::Direction;

// The pass's `dag_id` of a direction: "forward" or "reverse".
const char *dag_id(Direction dir);

// The pass object's state as the engine sees it.  Virtual qubits are
// numbered in ascending order of their values, physical qubits in the order
// of v2p's values.
struct Setup {
    std::int32_t n = 0;
    std::vector<nb::object> vkeys;     // virtual qubit objects by number
    std::vector<es::VirtQ> key_order;  // v2p's key order
    std::vector<nb::object> phys;      // physical qubit objects by number
    nb::object vdict;                  // virtual qubit object -> number
    nb::object pdict;                  // physical qubit object -> number
    std::unordered_map<long long, es::VirtQ> vnum;
    es::Topology topo;
    es::Options opt;
    es::PerQubit<es::VirtQ, es::PhysQ> v2p;
};

// Keeps the class's own methods and the module's own helpers, to tell later
// whether anything was replaced; installs the deferred attributes.
void remember(nb::handle module, nb::handle cls);

// What the fast run needs to be left as the package made it: the module's
// helpers and the class's methods.
extern const vx::FastPathNeeds kNeeds;
// Reads options, mapping and coupling graph; false (nothing changed) when
// any of them is of a kind the engine does not model.
bool prepare(const vx::Args &a, nb::handle self, Setup &s);

// The number of a physical qubit object, -1 for none.
std::int32_t phys_num(const Setup &s, PyObject *o);
// A new p2v dictionary for the layout, in v2p's key order.
nb::object p2v_of(const Setup &s, const es::Layout &layout);

// A node-name object (borrowed) by DAG direction and node.
using NameOf = std::function<PyObject *(Direction dir, std::int32_t node)>;

// Writes v2p, p2v, decay_parameter and extended_successor_set as the
// methods would have left them.
void flush_state(nb::handle self, const Setup &s, const es::Engine &eng, const NameOf &name);

// The DAGs of a run, by direction.
using Dags = es::PerDirection<const es::Dag *>;

// The query cache the methods would have left: the kCacheBound most recently
// used (dag, node, kind) entries, oldest first.
struct CacheEntry {
    std::uint64_t t;
    std::int32_t node;
    Direction dir;
    es::QueryClock::Kind kind;
};
std::vector<CacheEntry> cache_entries(const es::Engine &eng);
void fill_cache(nb::handle cache, const std::vector<CacheEntry> &entries, const Dags &dags, const NameOf &name);

// Emits SWAP records, breaks ties with random.choice as the methods do and
// lets signal handlers run.
class HooksBase : public es::Hooks {
public:
    HooksBase(const vx::Args &a, const Setup &s) : a_(a), s_(s), out_(vx::own(PyList_New(0))) {}
    nb::object out() const { return out_; }
    std::size_t choose(std::span<const es::Candidate> tied) override;
    void swap(es::Candidate c, const es::Layout &layout) override;
    void poll() override;

protected:
    void append_record(nb::handle record);  // appends to the output
    static void untrack_scalars(nb::handle tuple);
    PyObject *phys(const es::Layout &layout, es::VirtQ v) const { return s_.phys[layout.phys(v).i].ptr(); }
    const vx::Args &a_;
    const Setup &s_;
    nb::object out_;
};

// Runs the traversals: the last one emits; the attributes hold the state the
// methods would leave, also when a traversal fails or is interrupted.
// `place` runs before each traversal with its DAG's direction; `flush`
// writes the state back.  Returns the SWAP count of the last traversal;
// `best_p2v` is the mapping the last traversal started from.
long long traverse_all(nb::handle self, const Setup &s, es::Engine &eng, const Dags &dags, long long total,
                       HooksBase &hooks, nb::object &best_p2v, const std::function<void(Direction)> &place,
                       const std::function<void()> &flush, const NameOf &name);

// Keeps what the module bound at load, to tell later whether a name was replaced.
void remember_run(nb::handle module);
// Runs `run`'s traversals on the engine from the circuit's records (the
// networkx DAGs are built only if `dag` is read), or declines, having
// changed nothing, where that cannot give the methods' result.
bool try_run(const vx::Args &a, nb::handle self, nb::handle qc, long long total, nb::object &result,
             nb::object &best_p2v, vx::PathChoice &path);

// The pass object's query cache without building a deferred one: the
// dictionary itself, put back in place of a deferred value.
nb::object raw_cache(nb::handle self);
// Empties the pass object's query cache (`self._cache.clear()`), a deferred
// one included, without building it: what run does before its traversals.
void clear_cache(nb::handle self);

}  // namespace routing::fast
