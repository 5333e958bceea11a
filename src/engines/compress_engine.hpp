// Gate compression bookkeeping: a copy of a circuit DAG's structure in which
// the pass merges pairs, the worklist that finds the next pair to merge, and
// the edges each merge rule adds.
//
// Order is the graph's own.  Nodes are numbered in the order they enter the
// graph (a node made by a merge after every earlier one); the outgoing and
// the incoming edges of a node are listed in the order they entered the
// graph, and an edge whose wires are replaced keeps its place.
//
// The graph is compact, as it holds every gate of circuits of millions: a node
// is four numbers, an edge seven.  Each node's outgoing and incoming edges
// are rings linked through the edges themselves, so adding and removing an
// edge costs O(1) whatever the node's degree, and no node owns a heap block
// or keeps a count.  A one-qubit node carries its qubit in place, an edge
// its one wire; longer lists live in shared pools.  There is no index of
// node pairs: the edge u -> v is found by walking u's outgoing and v's
// incoming rings side by side until one of them ends, which for a gate is
// at most one edge per wire (a measure has one more, a barrier one per
// wire).  The slots of removed edges are used again.
//
// An adjacent pair is an edge u -> v whose ends carry the same compressible
// gate over the same wire list, where v is u's only successor and u is v's
// only predecessor.  So a node is the source of one adjacent pair at most,
// and the worklist holds the sources of every adjacent pair as a set of node
// numbers: the first pair in the graph's edge order is the one whose source
// comes first.  A merge changes only the neighbourhoods of the nodes around
// the pair, so only they are offered again; entries that stopped being pairs
// are dropped when they come up.  The set is a bitmap with a bitmap of its
// non-empty words, so finding the first source skips 4096 nodes a step.
//
// No Python here: wires are integers from 0 to INT32_MAX and labels are
// handles the caller maps to its own objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace engines::compress {

using NodeId = std::int32_t;
using EdgeId = std::int32_t;
using Wire = std::int32_t;
inline constexpr std::int32_t kNone = -1;
inline constexpr std::int32_t kDead = -2;            // Node::gate of a removed node
inline constexpr std::int64_t kMaxWire = INT32_MAX;  // wires are 0 .. kMaxWire
inline constexpr std::size_t kMaxQubits = 15;        // qubits a node may carry
inline constexpr std::int32_t kMaxGate = (1 << 24) - 3;

struct Node {
    // bits 0 - 23: the gate-name id + 2 (0 for a removed node, 1 where the
    // gate is not compressible); 24 - 27: the number of qubits; 28: the one
    // qubit stands in `q`
    std::uint32_t tag;
    Wire q;                                      // the one qubit, or the qubits' place in the pool
    EdgeId first_out = kNone, first_in = kNone;  // the rings' first edges

    std::int32_t gate() const { return static_cast<std::int32_t>(tag & 0xffffff) - 2; }
    bool alive() const { return (tag & 0xffffff) != 0; }
    std::uint32_t q_count() const { return (tag >> 24) & 0xf; }
};

struct Edge {
    NodeId src, dst;
    EdgeId next_out, prev_out;  // src's outgoing ring
    EdgeId next_in, prev_in;    // dst's incoming ring
    // The wires: one wire (>= 0) in place, kNoWires, kUnknown (not told yet),
    // or a pool entry (kPooled - index: the count, then the wires).
    std::int32_t w;
};

class Graph {
public:
    static constexpr std::int32_t kNoWires = -1;
    static constexpr std::int32_t kUnknown = INT32_MIN;

    void reserve(std::size_t nodes, std::size_t edges, std::size_t qubits);

    // Throws std::length_error beyond kMaxQubits qubits or the pools' sizes.
    NodeId add_node(std::int32_t gate, std::span<const Wire> qubits);
    // Adds u -> v carrying `wires` at the end of both rings.  Where the edge
    // is there already, its wires are replaced and it keeps its place.
    EdgeId add_edge(NodeId u, NodeId v, std::span<const Wire> wires);
    // Adds u -> v, not there yet.
    EdgeId add_new_edge(NodeId u, NodeId v, std::span<const Wire> wires);
    // Adds u -> v (not there yet) whose wires are told later (set_wires): a
    // graph is read without them, as finding pairs does not need them.
    EdgeId add_edge_unknown(NodeId u, NodeId v);
    void set_wires(EdgeId e, std::span<const Wire> wires);
    bool wires_known(EdgeId e) const { return edge(e).w != kUnknown; }
    // Removes a node and every edge at it.
    void remove_node(NodeId n);
    // Puts the incoming edges of v in the given order (a graph whose
    // incoming lists keep an order of their own is read that way); `order`
    // holds each incoming edge of v once.
    void set_in_order(NodeId v, std::span<const EdgeId> order);

    // The edge u -> v, kNone when there is none.
    EdgeId find(NodeId u, NodeId v) const;

    const Node &node(NodeId n) const { return nodes_[static_cast<std::size_t>(n)]; }
    const Edge &edge(EdgeId e) const { return edges_[static_cast<std::size_t>(e)]; }
    std::size_t num_nodes() const { return nodes_.size(); }
    std::int32_t gate(NodeId n) const { return node(n).gate(); }
    std::span<const Wire> qubits(NodeId n) const {
        const Node &x = node(n);
        if (x.tag & kInPlace)
            return {&x.q, 1};
        return {q_pool_.data() + x.q, x.q_count()};
    }
    // The wires of a known edge.
    std::span<const Wire> wires(EdgeId e) const;
    // The live edges out of / into a node, in order.  f may not change the
    // graph.
    template <class F> void each_out(NodeId n, F &&f) const { each(kOutRing, n, f); }
    template <class F> void each_in(NodeId n, F &&f) const { each(kInRing, n, f); }
    // The only edge out of / into a node, kNone where it has none or several.
    EdgeId only_out(NodeId n) const { return only(kOutRing, n); }
    EdgeId only_in(NodeId n) const { return only(kInRing, n); }
    bool has_out(NodeId n) const { return node(n).first_out != kNone; }
    bool has_in(NodeId n) const { return node(n).first_in != kNone; }
    // More than one edge out of / into a node.
    bool several_out(NodeId n) const { return has_out(n) && only_out(n) == kNone; }
    bool several_in(NodeId n) const { return has_in(n) && only_in(n) == kNone; }
    // The number of edges out of / into a node (a walk of its ring).
    std::size_t out_degree(NodeId n) const;
    std::size_t in_degree(NodeId n) const;

    // Calls f(n) for every live node in the order nx.topological_sort gives
    // (Kahn's order over the rings: the nodes without a predecessor in node
    // order, then each node as its last predecessor is passed, successors in
    // ring order).  Takes the graph apart as it goes (each edge passed leaves
    // its incoming ring, and the queue is threaded through the nodes that
    // have none left), so that it needs no memory of its own: the graph is of
    // no further use.  False where a cycle leaves nodes out.
    template <class F> bool drain_in_topological_order(F &&f);

    // Bytes the graph holds (for the benchmarks' accounting).
    std::size_t bytes() const;

private:
    static constexpr std::int32_t kPooled = -2;  // w <= kPooled: pool entry kPooled - w
    static constexpr std::uint32_t kInPlace = 1u << 28;
    EdgeId new_edge();
    EdgeId link_new(NodeId u, NodeId v, std::int32_t w);
    // A node's ring of outgoing or incoming edges: where it starts in the
    // node, and the edge's links and end along it.
    struct Ring {
        EdgeId Node::*first;
        EdgeId Edge::*next, Edge::*prev;
        NodeId Edge::*end;
    };
    static constexpr Ring kOutRing{&Node::first_out, &Edge::next_out, &Edge::prev_out, &Edge::src};
    static constexpr Ring kInRing{&Node::first_in, &Edge::next_in, &Edge::prev_in, &Edge::dst};
    template <class F> void each(const Ring &r, NodeId n, F &f) const {
        const EdgeId first = node(n).*r.first;
        if (first == kNone)
            return;
        EdgeId e = first;
        do {
            const EdgeId next = edge(e).*r.next;
            f(e);
            e = next;
        } while (e != first);
    }
    EdgeId only(const Ring &r, NodeId n) const {
        const EdgeId e = node(n).*r.first;
        return e != kNone && edge(e).*r.next == e ? e : kNone;
    }
    // Puts e last in node n's ring; takes e out of its end's ring.
    void link(const Ring &r, NodeId n, EdgeId e);
    void unlink(const Ring &r, EdgeId e);
    void link_out(NodeId u, EdgeId e) { link(kOutRing, u, e); }
    void link_in(NodeId v, EdgeId e) { link(kInRing, v, e); }
    void unlink_out(EdgeId e) { unlink(kOutRing, e); }
    void unlink_in(EdgeId e) { unlink(kInRing, e); }
    std::int32_t store_wires(std::span<const Wire> wires);

    std::vector<Node> nodes_;
    std::vector<Edge> edges_;
    std::vector<EdgeId> free_edges_;
    std::vector<Wire> q_pool_, w_pool_;
};

template <class F> bool Graph::drain_in_topological_order(F &&f) {
    // the queue: head .. tail, each queued node's first_in naming the next
    NodeId head = kNone, tail = kNone;
    std::size_t live = 0, passed = 0;
    auto push = [&](NodeId n) {
        nodes_[static_cast<std::size_t>(n)].first_in = kNone;
        if (tail == kNone)
            head = n;
        else
            nodes_[static_cast<std::size_t>(tail)].first_in = n;
        tail = n;
    };
    for (std::size_t n = 0; n < nodes_.size(); ++n)
        if (nodes_[n].alive()) {
            ++live;
            if (nodes_[n].first_in == kNone)
                push(static_cast<NodeId>(n));
        }
    for (NodeId u = head; u != kNone; u = nodes_[static_cast<std::size_t>(u)].first_in) {
        each_out(u, [&](EdgeId e) {
            const NodeId v = edges_[static_cast<std::size_t>(e)].dst;
            unlink_in(e);
            if (nodes_[static_cast<std::size_t>(v)].first_in == kNone)
                push(v);
        });
        ++passed;
        f(u);
    }
    return passed == live;
}

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
    void mark(NodeId n);

    const Graph &g_;
    // the offered pair sources: a bit per node, and a bit per word of them
    // that has one set; no set bit lies below `low`
    std::vector<std::uint64_t> bits_, words_;
    std::size_t low_ = 0;
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
// set of them before the edge is added.  `wires` holds the edge's wires in
// either case once the plan is made, since the edges handed on go with the
// pair.
struct PlannedEdge {
    NodeId src, dst;
    EdgeId label_of = kNone;
    std::vector<Wire> wires = {};
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
