// Gate compression bookkeeping: a copy of a circuit DAG's structure in which
// the pass merges pairs, the worklist that finds the next pair to merge, and
// the edges each merge rule adds.
//
// Order is the graph's own.  Nodes are numbered in the order they enter the
// graph (a node made by a merge after every earlier one); the outgoing edges
// of a node are listed in the order they entered the graph, and an edge whose
// wires are replaced keeps its place.  Edges are numbered as they enter, so
// the graph's edge order is the order of (source number, edge number).
//
// An adjacent pair is an edge u -> v whose ends carry the same compressible
// gate over the same wire list, where v is u's only successor and u is v's
// only predecessor.  The worklist holds every adjacent pair, keyed by its
// place in the edge order.  A merge changes only the neighbourhoods of the
// nodes around the pair, so only their edges are offered again; entries that
// stopped being pairs are dropped when they come up.  Each merge costs
// O(log E), so a run over G gates is O(G log G) whatever order the merges
// come in.
//
// No Python here: wires are integers and labels are handles the caller maps
// to its own objects.
#pragma once

#include "flat_index.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <span>
#include <vector>

namespace engines::compress {

using NodeId = std::int32_t;
using EdgeId = std::int32_t;
inline constexpr std::int32_t kNone = -1;

struct Node {
    std::int32_t gate;  // gate-name id, kNone where the gate is not compressible
    std::uint32_t q_begin, q_count;
    std::vector<EdgeId> out, in;  // in order of entry; kNone where an edge left
    std::int32_t n_out = 0, n_in = 0;
    bool alive = true;
};

struct Edge {
    NodeId src, dst;
    std::int32_t slot_out, slot_in;  // places in src.out and dst.in
    std::uint32_t w_begin, w_count;
    std::int32_t label;  // the caller's handle of the wire list, kNone while the wires are not told
    bool alive = true;
};

class Graph {
public:
    void reserve(std::size_t nodes, std::size_t edges);

    NodeId add_node(std::int32_t gate, std::span<const std::int64_t> qubits);
    // Adds u -> v carrying `wires`.  Where the edge is there already, its
    // wires and label are replaced and it keeps its place.
    EdgeId add_edge(NodeId u, NodeId v, std::span<const std::int64_t> wires, std::int32_t label);
    // Adds u -> v whose wires are told later (set_wires): a graph is read
    // without them, as finding pairs does not need them.
    EdgeId add_edge(NodeId u, NodeId v) { return add_edge(u, v, {}, kNone); }
    void set_wires(EdgeId e, std::span<const std::int64_t> wires, std::int32_t label);
    bool wires_known(EdgeId e) const { return edge(e).label != kNone; }
    // Removes a node and every edge at it.
    void remove_node(NodeId n);
    // Puts the incoming edges of v in the given order (a graph whose
    // incoming lists keep an order of their own is read that way); `order`
    // holds each live incoming edge of v once.
    void set_in_order(NodeId v, std::span<const EdgeId> order);

    // The edge u -> v, kNone when there is none.
    EdgeId find(NodeId u, NodeId v) const;

    const Node &node(NodeId n) const { return nodes_[static_cast<std::size_t>(n)]; }
    const Edge &edge(EdgeId e) const { return edges_[static_cast<std::size_t>(e)]; }
    std::size_t num_nodes() const { return nodes_.size(); }
    std::size_t num_edges() const { return edges_.size(); }
    std::span<const std::int64_t> qubits(NodeId n) const {
        const Node &x = node(n);
        return {q_pool_.data() + x.q_begin, x.q_count};
    }
    std::span<const std::int64_t> wires(EdgeId e) const {
        const Edge &x = edge(e);
        return {w_pool_.data() + x.w_begin, x.w_count};
    }
    // The live edges out of / into a node, in order.
    template <class F> void each_out(NodeId n, F &&f) const {
        for (EdgeId e : node(n).out)
            if (e != kNone)
                f(e);
    }
    template <class F> void each_in(NodeId n, F &&f) const {
        for (EdgeId e : node(n).in)
            if (e != kNone)
                f(e);
    }
    // The only edge out of / into a node, kNone where it has none or several.
    EdgeId only_out(NodeId n) const;
    EdgeId only_in(NodeId n) const;

private:
    static std::uint64_t key(NodeId u, NodeId v) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(u)) << 32) | static_cast<std::uint32_t>(v);
    }
    void drop_slot(Node &x, bool outgoing, std::int32_t slot);

    std::vector<Node> nodes_;
    std::vector<Edge> edges_;
    std::vector<std::int64_t> q_pool_, w_pool_;
    FlatIndex index_;
};

// Whether edge e is an adjacent pair now.
bool adjacent(const Graph &g, EdgeId e);

class Worklist {
public:
    explicit Worklist(const Graph &g) : g_(g) {}

    // Every adjacent pair of the graph as it stands.
    void offer_all();
    // The edges at n that can have become adjacent pairs after n's
    // neighbourhood changed: its only outgoing and its only incoming edge.
    void offer_around(NodeId n);
    // The first adjacent pair in edge order; false when there is none.
    bool next(EdgeId &out);

private:
    void offer(EdgeId e);

    const Graph &g_;
    using Key = std::uint64_t;  // (source number, edge number)
    std::priority_queue<Key, std::vector<Key>, std::greater<Key>> heap_;
};

// ------------------------------------------------------------ merge rules

// The edges whose wires the rules read for the pair n1 -> n2: the pair's
// own, n1's incoming and n2's outgoing edges, and any edge from a
// predecessor of n1 to a successor of n2.  Their wires must be known before
// a plan is made.
void edges_read(const Graph &g, NodeId n1, NodeId n2, std::vector<EdgeId> &out);

// Stands for the node a merge creates, in a planned edge.
inline constexpr NodeId kCreated = -2;

// An edge a merge adds.  Its wire list is the label of edge `label_of` (the
// very list, handed on) or, where label_of is kNone, the new list `wires`;
// with `set_order` the caller puts those wires in the order of its host's
// set of them before the edge is added.
struct PlannedEdge {
    NodeId src, dst;
    EdgeId label_of = kNone;
    std::vector<std::int64_t> wires = {};
    bool set_order = false;
};

// A one-qubit node with several predecessors or successors: the rules do
// not apply to it.
struct AmbiguousNeighbour {
    NodeId node;
    bool predecessors;
};

// The neighbours of a one-qubit pair: n1's predecessor and n2's successor,
// kNone where there is none.  Throws AmbiguousNeighbour where there are
// several.
struct OneQubitEnds {
    NodeId pre = kNone, suc = kNone;
    EdgeId pre_edge = kNone, suc_edge = kNone;  // pre -> n1, n2 -> suc
};
OneQubitEnds one_qubit_ends(const Graph &g, NodeId n1, NodeId n2);

// The edge that bridges a vanished one-qubit pair: pre -> suc with the wire
// of the pair; where pre -> suc is there already, labelled with the wires it
// then carries (its own and the pair's, sorted).
void plan_bridge_one(const Graph &g, NodeId n1, NodeId n2, const OneQubitEnds &ends, std::vector<PlannedEdge> &out);
// The edges that bridge a vanished multi-qubit pair: for each predecessor of
// n1 (in order) and each successor of n2 (in order) that share wires of the
// pair, pre -> suc with the shared wires in the predecessor's order; where
// pre -> suc is there already, its wires join them, in set order.
void plan_bridge_multi(const Graph &g, NodeId n1, NodeId n2, std::vector<PlannedEdge> &out);
// The edges of the node that replaces a pair: from each predecessor of n1,
// then to each successor of n2, with their old labels.
void plan_replace(const Graph &g, NodeId n1, NodeId n2, std::vector<PlannedEdge> &out);

}  // namespace engines::compress
