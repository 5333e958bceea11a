// SABRE traversals over integer arrays.
//
// Virtual qubits are numbered 0..n-1 in ascending order of their values (so
// "smaller virtual qubit" is a comparison of numbers), physical qubits 0..n-1
// in any order; the distance table is n*n by physical number.  A DAG is given
// as CSR lists of successors, predecessors and the virtual qubits each node
// names.  Distances must be whole numbers or +inf, so sums of them are exact
// in any order and candidate scores can be updated incrementally.
//
// The engine calls back (Hooks) where a traversal emits a gate, emits a SWAP
// or breaks a tie at random; what a hook throws passes through unchanged and
// leaves the engine's state as it was at that point.  No Python here.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace engines::sabre {

struct Dag {
    std::int32_t n = 0;
    std::vector<std::int32_t> succ_off{0}, succ;
    std::vector<std::int32_t> pred_off{0}, pred;
    std::vector<std::int32_t> q_off{0}, q;  // named virtual qubits
    std::vector<std::uint8_t> two;          // a two-qubit gate (exactly two distinct qubits)
    std::vector<std::int32_t> sources;      // nodes without predecessor, in node order

    std::span<const std::int32_t> succs(std::int32_t u) const {
        return {succ.data() + succ_off[u], static_cast<std::size_t>(succ_off[u + 1] - succ_off[u])};
    }
    std::span<const std::int32_t> preds(std::int32_t u) const {
        return {pred.data() + pred_off[u], static_cast<std::size_t>(pred_off[u + 1] - pred_off[u])};
    }
    std::span<const std::int32_t> qubits(std::int32_t u) const {
        return {q.data() + q_off[u], static_cast<std::size_t>(q_off[u + 1] - q_off[u])};
    }
};

struct Options {
    bool lookahead = true;
    bool decay = true;
    bool random_choice = false;
    double max_weight = 0.5;
};

struct Topology {
    std::int32_t n = 0;
    std::vector<double> dist;                 // n*n
    std::vector<std::int32_t> nb_off{0}, nb;  // neighbours in adjacency order
    double d(std::int32_t a, std::int32_t b) const { return dist[static_cast<std::size_t>(a) * n + b]; }
};

// Shortest-path hop counts between all nodes of an undirected graph given as
// adjacency lists (CSR), written to `dist` (n*n, row-major): 0 on the
// diagonal, +inf between unconnected nodes.
void hop_distances(std::int32_t n, const std::vector<std::int32_t> &off, const std::vector<std::int32_t> &adj,
                   double *dist);

class Hooks {
public:
    virtual ~Hooks() = default;
    // Index into `tied` of the chosen candidate (pairs of virtual qubits, smaller first).
    virtual std::size_t choose(std::span<const std::pair<std::int32_t, std::int32_t>> tied) = 0;
    virtual void execute(std::int32_t node, const std::vector<std::int32_t> &v2p) = 0;
    virtual void swap(std::int32_t va, std::int32_t vb, const std::vector<std::int32_t> &v2p) = 0;
};

// Why a traversal stopped.
struct Failure {
    enum Kind { Conflict, NoCandidate, Unscorable } kind;
    std::vector<std::int32_t> front;  // the front layer at that moment
};

class Engine {
public:
    Engine(Topology topo, Options opt, std::vector<std::int32_t> v2p);

    // One traversal of dags[which]; returns the SWAP count (0 unless emitting).
    // Throws Failure.
    long long traverse(const Dag &dag, int which, bool emit, Hooks &hooks);

    const std::vector<std::int32_t> &v2p() const { return v2p_; }
    bool swapped() const { return swapped_; }
    const std::vector<double> &decay() const { return decay_; }
    bool decay_touched() const { return decay_touched_; }
    // The last extended set: node numbers of dag `extended_dag()`, in order of first insertion.
    const std::vector<std::int32_t> &extended() const { return ext_; }
    int extended_dag() const { return ext_dag_; }
    bool extended_built() const { return ext_dag_ >= 0; }
    // Query clock: last use of (dag, kind, node), 0 for never; kind 0 successors, 1 predecessors.
    const std::vector<std::uint64_t> &last_use(int which, int kind) const { return last_[which][kind]; }

    struct Acc;  // a distance sum (sabre_engine.cpp)

private:
    struct SwapState;
    using Pair = std::pair<std::int32_t, std::int32_t>;  // a candidate SWAP: virtual qubits, smaller first
    void best_candidates(SwapState &st, std::size_t front_size, const std::vector<Pair> &cands,
                         std::vector<std::pair<std::int32_t, std::int32_t>> &tied);
    template <class Front, class Ext> static void touched_gates(const SwapState &st, std::int32_t a, std::int32_t b,
                                                                bool lookahead, Front &&front, Ext &&ext);
    template <class Front, class Ext> void moved_gates(const SwapState &st, std::int32_t a, std::int32_t b,
                                                       bool lookahead, Front &&front, Ext &&ext) const;
    template <bool Lookahead, bool Decay>
    std::size_t scan_finite(const Dag &dag, SwapState &st, const std::vector<std::int32_t> &front,
                            std::vector<std::pair<std::int32_t, std::int32_t>> &tied);
    void build_extended(const Dag &dag, int which, const std::vector<std::int32_t> &front);
    void touch(int which, int kind, std::int32_t node) { last_[which][kind][node] = ++clock_; }

    Topology topo_;
    Options opt_;
    std::int32_t n_;
    std::vector<std::int32_t> v2p_, p2v_;
    std::vector<double> decay_;
    std::vector<std::int32_t> raised_;  // physical qubits whose factor is above 1
    bool all_finite_ = true;
    bool swapped_ = false;
    bool decay_touched_ = false;
    std::vector<std::int32_t> ext_;
    std::vector<std::uint32_t> ext_mark_;
    std::uint32_t ext_epoch_ = 0;
    int ext_dag_ = -1;
    std::vector<std::uint64_t> last_[2][2];
    std::uint64_t clock_ = 0;
};

}  // namespace engines::sabre
