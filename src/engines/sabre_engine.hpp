// SABRE traversals over integer arrays.
//
// The engine holds what outlives a traversal (the layout, the decay factors,
// the last extended set and the record of DAG queries) and walks one DAG per
// `traverse` call: gates run as soon as their qubits are coupled, and when
// none can, the best-scored SWAP is applied.  When a traversal has gone
// 10 x n SWAP cycles without running a gate, the nearest gate of the front
// layer has its qubits brought together along a shortest path instead, so a
// traversal over a connected coupling graph always ends.
//
// The caller is told of gates, SWAPs and ties through Hooks.  No Python here.
#pragma once

#include "sabre_candidates.hpp"
#include "sabre_distances.hpp"
#include "sabre_layers.hpp"
#include "sabre_types.hpp"

#include <cstdint>

namespace engines::sabre {

class Engine {
public:
    // `v2p` must be a permutation of 0..topo.n-1.
    Engine(Topology topo, Options opt, PerQubit<VirtQ, PhysQ> v2p);

    // One traversal of the DAG of direction `dir` (the query record keeps
    // the two apart); returns the number of SWAPs emitted (0 unless `emit`).
    // Throws Failure, or what a hook throws.
    long long traverse(const Dag &dag, Direction dir, bool emit, Hooks &hooks);

    const Layout &layout() const { return layout_; }
    // Whether any SWAP has been applied since construction.
    bool swapped() const { return swapped_; }
    const DecayFactors &decay() const { return decay_; }
    const ExtendedSet &extended() const { return ext_; }
    const QueryClock &queries() const { return clock_; }

private:
    friend class Traversal;
    Topology topo_;
    Couplers couplers_;
    Options opt_;
    Layout layout_;
    DecayFactors decay_;
    ExtendedSet ext_;
    QueryClock clock_;
    bool all_finite_ = true;  // no two physical qubits unconnected
    bool swapped_ = false;
};

}  // namespace engines::sabre
