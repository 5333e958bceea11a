// Scores of candidate qubit sets: the mean and the population variance of
// the fidelities of the couplers inside a set, and its shape.
//
// The couplers are taken in the order in which networkx lists the edges of
// the chip graph's induced subgraph view: node by node in the view's node
// order (the order of the Python set of the qubits, filled in ascending
// order, when the set is smaller than half the graph; else the graph's node
// order), each node's neighbours in adjacency order, an edge listed from the
// first of its two ends.  Mean and variance are summed as numpy does
// (pairwise from 8 values on) and divided by the count, so the doubles are
// numpy's own bits.  No Python here.
#pragma once

#include "layout_enum.hpp"
#include "set_order.hpp"

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace engines::layout {

enum class Shape : std::uint8_t { Rejected, Linear, Circular, Nonlinear };

struct Score {
    double mean = 0, var = 0;
    Shape shape = Shape::Rejected;
    std::uint32_t couplers = 0;
};

// numpy's sum of a contiguous float64 array (pairwise summation).
double pairwise_sum(const double *a, std::size_t n);

// The chip with each adjacency entry's coupler fidelity (aligned with
// Chip::adj) and the mean-fidelity threshold.
struct ScoreInput {
    const Chip *chip = nullptr;
    std::vector<double> fid;
    double threshold = 0.9;
    const std::atomic<bool> *stop = nullptr;  // ends a long cycle search (its shape is then not kept)
};

// Whether a cycle runs through every one of k <= 64 qubits, given the
// neighbours of each among them as bit masks (none for k < 3): whether
// networkx's longest simple cycle of the set has k qubits.  A depth-first
// search finds such a cycle at once on dense sets; once it has taken as many
// steps as there are subsets of the other qubits, a table of the ends of the
// paths from qubit 0 through each subset decides (up to 23 qubits).
class RingCheck {
public:
    // 1 or 0; -1 when a set of more than 23 qubits is still undecided after
    // `max_steps` steps of the search, or `stop` was set meanwhile.
    int operator()(const std::uint64_t *nbmask, int k, std::uint64_t max_steps = ~std::uint64_t{0},
                   const std::atomic<bool> *stop = nullptr);

private:
    static constexpr int kMaxTable = 23;
    bool table(const std::uint64_t *nbmask, int k);
    struct Frame {
        int at;
        std::uint64_t left;
    };
    std::vector<Frame> stack_;
    std::vector<std::uint32_t> ends_;
};

// Per-thread scratch of the scoring.
class Scorer {
public:
    explicit Scorer(const ScoreInput &in);

    // Scores the set `nodes` (node indices in ascending order of value); for
    // a linear set rewrites `nodes` in path order, from the end the view
    // lists first to the other.
    Score score(std::span<std::int32_t> nodes);

private:
    void view_order(std::span<const std::int32_t> nodes);

    const ScoreInput &in_;
    std::vector<std::int32_t> local_;  // node index -> position in the view, -1 outside
    std::vector<std::int32_t> order_, path_;
    std::vector<double> fids_, sq_;
    std::vector<std::uint64_t> nbmask_;  // per view position: neighbours in the set
    std::vector<int> deg_;
    setorder::SmallSetOrder set_;
    RingCheck ring_;
};

}  // namespace engines::layout
