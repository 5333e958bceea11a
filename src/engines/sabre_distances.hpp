// Distances in the coupling graph: all-pairs hop counts, exact sums of
// distances, the couplers as adjacency entries and the steps of a shortest
// path.  No Python here.
#pragma once

#include "sabre_types.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

namespace engines::sabre {

// Shortest-path hop counts between all nodes of an undirected graph given as
// adjacency lists (CSR), written to `dist` (n*n, row-major): 0 on the
// diagonal, +inf between unconnected nodes.  `poll`, when given, is called
// between searches every few milliseconds of work and may throw.
void hop_distances(std::int32_t n, const std::vector<std::int32_t> &off, const std::vector<std::int32_t> &adj,
                   double *dist, const std::function<void()> &poll = {});

// A sum of whole-number distances.  Infinite terms are counted apart, so a
// term can be taken out again exactly.
struct DistanceSum {
    double fin = 0.0;
    std::int64_t inf = 0;
    void add(double d) {
        if (std::isinf(d))
            ++inf;
        else
            fin += d;
    }
    void sub(double d) {
        if (std::isinf(d))
            --inf;
        else
            fin -= d;
    }
    double value() const { return inf > 0 ? INFINITY : fin; }
};

// The couplers seen as adjacency entries (indices into Topology::nb): a
// coupler has one entry at each end, a coupler from a qubit to itself one
// entry.  A coupler is named by the lower of its entries.
struct Couplers {
    std::vector<std::int32_t> rev;  // per entry: the entry at the coupler's other end
    std::vector<PhysQ> host;        // per entry: the qubit whose list holds it
    explicit Couplers(const Topology &t);
    std::int32_t id(std::int32_t k) const { return k < rev[k] ? k : rev[k]; }
};

// One step from `from` towards `to` along a shortest path: the first
// neighbour of `from`, in adjacency order, among those nearest to `to`,
// provided it is nearer to `to` than `from` is and is not `to` itself.  None
// (an invalid PhysQ) when there is no such neighbour.
PhysQ step_towards(const Topology &t, PhysQ from, PhysQ to);

}  // namespace engines::sabre
