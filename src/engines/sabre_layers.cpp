// The front layer and the extended set; see sabre_layers.hpp.
#include "sabre_layers.hpp"

#include <algorithm>

namespace engines::sabre {

void QueryClock::prepare(Direction dir, std::int32_t n) {
    for (auto &v : last_[dir])
        if (v.size() != static_cast<std::size_t>(n))
            v.assign(n, 0);
}

void FrontLayer::start(const Dag &dag, std::size_t nqubits) {
    nodes = dag.sources;
    state.assign(dag.n, Waiting);
    occ.assign(nqubits, 0);
    for (std::int32_t f : nodes) {
        state[f] = InFront;
        for (VirtQ q : dag.qubits(f))
            ++occ[q];
    }
}

void FrontLayer::execute(const Dag &dag, std::int32_t node) {
    state[node] = Executed;
    nodes.erase(std::find(nodes.begin(), nodes.end(), node));
    for (VirtQ q : dag.qubits(node))
        --occ[q];
}

bool FrontLayer::shares_qubit(const Dag &dag, std::int32_t node) const {
    for (VirtQ q : dag.qubits(node))
        if (occ[q] > 0)
            return true;
    return false;
}

bool FrontLayer::ready(const Dag &dag, std::int32_t node) const {
    for (std::int32_t p : dag.preds(node))
        if (state[p] == Waiting)
            return false;
    return true;
}

void FrontLayer::admit(const Dag &dag, std::int32_t node) {
    nodes.push_back(node);
    state[node] = InFront;
    for (VirtQ q : dag.qubits(node))
        ++occ[q];
}

void ExtendedSet::build(const Dag &dag, Direction dir, std::span<const std::int32_t> front, std::size_t bound,
                        QueryClock &clock) {
    if (mark_.size() < static_cast<std::size_t>(dag.n))
        mark_.resize(dag.n, 0);
    if (++epoch_ == 0) {  // wrapped: old marks could match again
        std::fill(mark_.begin(), mark_.end(), 0);
        epoch_ = 1;
    }
    nodes_.clear();
    dag_ = dir;
    for (std::int32_t f : front) {
        clock.touch(dir, QueryClock::Successors, f);
        for (std::int32_t s : dag.succs(f))
            if (dag.two[s] && nodes_.size() <= bound && mark_[s] != epoch_) {
                mark_[s] = epoch_;
                nodes_.push_back(s);
            }
    }
}

void LayerView::init(const Dag &dag, std::size_t nqubits) {
    owner.assign(nqubits, -1);
    front_index.assign(nqubits, -1);
    ehead.assign(nqubits, -1);
    node_mark.assign(dag.n, 0);
    gd.assign(dag.n, 0.0);
    pair.assign(2 * static_cast<std::size_t>(dag.n), VirtQ{});
    for (std::int32_t u = 0; u < dag.n; ++u)
        if (dag.two[u]) {
            auto q = dag.qubits(u);
            pair[2 * u] = q[0];
            pair[2 * u + 1] = q[1];
        }
}

}  // namespace engines::sabre
