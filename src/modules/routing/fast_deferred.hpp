// The deferred `dag` and `_cache` of a pass routed on the fast path: values that
// stand in the instance dictionary until the attribute is first read, and
// then build the very objects the methods would have left (the circuit DAG
// of the records as they were at run time, the query cache keyed by that
// DAG's node-name objects).  Two data descriptors on the class do the
// reading, so `vars()` shows the placeholders until then.
#pragma once

#include "dag_api.hpp"
#include "deferred_values.hpp"
#include "fast.hpp"

#include <memory>
#include <string>
#include <vector>

namespace routing::fast {

// One DAG of a run: the skeleton the DAG builder read from the records, the
// engine's view of it, and the node-name objects and networkx DAG once made.
struct SnapshotDag {
    vx::dagapi::Skeleton sk;
    es::Dag dag;
    std::vector<PyObject *> names;  // owned; null until made
    nb::object value;               // the networkx DAG once built
};

enum class Deferred { ForwardDag, ReverseDag, Cache };

// The records of a run and everything needed to build its DAGs and its
// query cache later.
struct Snapshot : vx::DeferredSource {
    const vx::dagapi::Api *api = nullptr;
    nb::object gatework;  // gatework's namespace: the tables the records were read with
    nb::object digraph;   // the DAG class qc2dag makes
    nb::object nqubits;
    nb::object qubits;   // qc.qubits, the forward DAG's graph attribute
    nb::object records;  // the records at run time, in circuit order, frozen
    es::PerDirection<SnapshotDag> d;
    nb::object cache;  // the pass's OrderedDict, filled on first read
    std::vector<CacheEntry> entries;
    bool cache_filled = false;

    Snapshot() = default;
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;
    ~Snapshot() override;

    nb::object value(int what) override;
    const char *describe(int what) const override;

    PyObject *record(Direction dir, std::int32_t u) const { return PyList_GET_ITEM(records.ptr(), d[dir].sk.rec[u]); }
    // The node-name object of node u, made as qc2dag makes it (borrowed).
    PyObject *name(Direction dir, std::int32_t u);
    // The networkx DAG, built on first use.
    nb::object graph(Direction dir);
    // The query cache, filled on first use.
    nb::object filled_cache();
};

nb::object make_deferred(const std::shared_ptr<Snapshot> &st, Deferred what);
// Whether `dag` and `_cache` of the type are still the descriptors installed
// on the class.
bool deferred_descriptors(const vx::Args &a, PyTypeObject *tp);
// Creates the deferred-value type and puts the descriptors on the class.
void install_deferred(nb::handle module, nb::handle cls);

}  // namespace routing::fast
