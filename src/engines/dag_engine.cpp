#include "dag_engine.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace engines::dag {

namespace {
constexpr std::int64_t kDenseLimit = std::int64_t{1} << 22;  // 16 MB of last-node table at most
constexpr std::size_t kLinearGroups = 8;                     // few sources: linear scan beats a map

[[noreturn]] void bad_wire(std::int64_t w, std::int64_t n) {
    throw std::out_of_range("wire " + std::to_string(w) + " out of range for " + std::to_string(n) + " qubits");
}
}  // namespace

DagBuilder::DagBuilder(std::int64_t nqubits) : nqubits_(nqubits < 0 ? 0 : nqubits) {}

void DagBuilder::reserve(std::size_t nodes, std::size_t edges, std::size_t edge_wires) {
    (void)nodes;
    edges_.reserve(edges);
    edge_wires_.reserve(edge_wires);
}

NodeId DagBuilder::last(std::int64_t w) const {
    if (w >= 0 && w < static_cast<std::int64_t>(dense_.size()))
        return dense_[static_cast<std::size_t>(w)];
    if (w < kDenseLimit)
        return kNoNode;
    auto it = sparse_.find(w);
    return it == sparse_.end() ? kNoNode : it->second;
}

void DagBuilder::set_last(std::int64_t w, NodeId n) {
    if (w < kDenseLimit) {
        if (w >= static_cast<std::int64_t>(dense_.size()))
            dense_.resize(static_cast<std::size_t>(w) + 1, kNoNode);
        dense_[static_cast<std::size_t>(w)] = n;
    } else {
        sparse_[w] = n;
    }
}

NodeId DagBuilder::add_start_node(std::int64_t wire) {
    if (!valid_wire(wire))
        bad_wire(wire, nqubits_);
    if (num_nodes_ == std::numeric_limits<NodeId>::max())
        throw std::length_error("too many DAG nodes");
    NodeId id = num_nodes_++;
    set_last(wire, id);
    return id;
}

void DagBuilder::emit(NodeId src, NodeId dst, const std::int64_t *wires, std::size_t n) {
    if (!keep_wires_) {
        edges_.push_back({src, dst, 0, static_cast<std::uint32_t>(n)});
        return;
    }
    if (edge_wires_.size() + n > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("too many DAG edge wires");
    auto begin = static_cast<std::uint32_t>(edge_wires_.size());
    edge_wires_.insert(edge_wires_.end(), wires, wires + n);
    std::sort(edge_wires_.begin() + begin, edge_wires_.end());
    edges_.push_back({src, dst, begin, static_cast<std::uint32_t>(n)});
}

NodeId DagBuilder::add_gate(std::span<const std::int64_t> wires, EdgeRule rule) {
    for (std::int64_t w : wires)
        if (!valid_wire(w))
            bad_wire(w, nqubits_);
    if (num_nodes_ == std::numeric_limits<NodeId>::max())
        throw std::length_error("too many DAG nodes");
    const NodeId id = num_nodes_++;
    const std::size_t n = wires.size();

    prev_.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        prev_[i] = last(wires[i]);

    if (n == 1) {
        if (prev_[0] != kNoNode)
            emit(prev_[0], id, wires.data(), 1);
    } else if (rule == EdgeRule::ThreeQubit && n == 3 && prev_[0] != prev_[1] && prev_[1] == prev_[2]) {
        // the pair on the last two wires leads
        if (prev_[1] != kNoNode)
            emit(prev_[1], id, wires.data() + 1, 2);
        if (prev_[0] != kNoNode)
            emit(prev_[0], id, wires.data(), 1);
    } else {
        // group wires by source, groups in order of first appearance
        std::size_t ngroups = 0;
        const bool use_map = n > kLinearGroups;
        if (use_map)
            group_index_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            NodeId p = prev_[i];
            if (p == kNoNode)
                continue;
            std::size_t g = ngroups;
            if (use_map) {
                auto [it, fresh] = group_index_.try_emplace(p, ngroups);
                g = it->second;
            } else {
                for (std::size_t k = 0; k < ngroups; ++k)
                    if (group_src_[k] == p) {
                        g = k;
                        break;
                    }
            }
            if (g == ngroups) {
                if (group_src_.size() <= ngroups) {
                    group_src_.resize(ngroups + 1);
                    group_wires_.resize(ngroups + 1);
                }
                group_src_[ngroups] = p;
                group_wires_[ngroups].clear();
                ++ngroups;
            }
            group_wires_[g].push_back(wires[i]);
        }
        for (std::size_t k = 0; k < ngroups; ++k)
            emit(group_src_[k], id, group_wires_[k].data(), group_wires_[k].size());
    }

    for (std::int64_t w : wires)
        set_last(w, id);
    return id;
}

NodeId DagBuilder::add_measure(std::int64_t wire, std::int64_t bit) {
    const NodeId id = add_gate({&wire, 1});
    auto [it, fresh] = last_write_.try_emplace(bit, Write{id, wire});
    if (!fresh) {
        if (it->second.wire != wire)
            emit(it->second.node, id, nullptr, 0);
        it->second = Write{id, wire};
    }
    return id;
}

}  // namespace engines::dag
