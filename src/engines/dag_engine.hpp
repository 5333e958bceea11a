// Circuit DAG bookkeeping: for every gate, which earlier node each of its
// wires comes from, and the incoming edges that result.
//
// Nodes are numbered in the order they are added (start nodes and gates
// alike).  Each gate gets one incoming edge per distinct earlier node on its
// wires, carrying the wires that come from that node sorted ascending; a wire
// with no earlier node contributes no edge.  Edge order:
//  * Grouped: edges in the order in which their source first appears when the
//    gate's wires are read in operand order;
//  * ThreeQubit: as Grouped, except that when the second and third wires share
//    a source that the first wire does not have, that shared edge comes first.
//
// A measure also writes a classical bit.  Two measures on one wire are
// ordered by the wire; where a measure writes a bit that a measure on another
// wire wrote last, it gets one more incoming edge, without wires, from that
// measure, so that every order of the DAG keeps the writes to each bit in
// the order of the gate list.  Such an edge comes after the measure's wire
// edge.  A circuit that writes each bit from one wire only gets no such edge.
//
// The builder keeps the last node of every wire, so a caller can also ask
// "what precedes this wire now" while it adds gates.  No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace engines::dag {

using NodeId = std::int32_t;
inline constexpr NodeId kNoNode = -1;

enum class EdgeRule : std::uint8_t {
    Grouped,
    ThreeQubit,
};

struct Edge {
    NodeId src;
    NodeId dst;
    std::uint32_t wire_begin;  // into DagBuilder::edge_wires()
    std::uint32_t wire_count;
};

class DagBuilder {
public:
    // Wires must lie in [0, nqubits); a negative count means no wire at all.
    explicit DagBuilder(std::int64_t nqubits);

    void reserve(std::size_t nodes, std::size_t edges, std::size_t edge_wires);

    std::int64_t nqubits() const { return nqubits_; }
    bool valid_wire(std::int64_t w) const { return w >= 0 && w < nqubits_; }

    // A start node of one wire: no incoming edge, becomes the wire's last node.
    // Throws std::out_of_range for a wire outside [0, nqubits).
    NodeId add_start_node(std::int64_t wire);

    // A gate over `wires` (operand order, duplicates allowed): appends its
    // incoming edges and makes it the last node of each of its wires.
    // Throws std::out_of_range (nothing changed) for a wire outside range.
    NodeId add_gate(std::span<const std::int64_t> wires, EdgeRule rule = EdgeRule::Grouped);

    // A measure of `wire` into the classical bit `bit` (any key the caller
    // gives its bits): add_gate over the wire, then the edge without wires
    // from the bit's last writer where that one stood on another wire.
    NodeId add_measure(std::int64_t wire, std::int64_t bit);

    // The last node of a wire so far, kNoNode when none.
    NodeId last(std::int64_t wire) const;

    std::size_t num_nodes() const { return static_cast<std::size_t>(num_nodes_); }
    const std::vector<Edge> &edges() const { return edges_; }
    // Forgets the edges listed so far (and their wires), keeping the last
    // node of every wire: a caller that takes each gate's edges as it adds
    // the gate keeps no list of them all.
    void clear_edges() {
        edges_.clear();
        edge_wires_.clear();
    }
    // The edges listed so far, handed over (the builder's list is left empty).
    std::vector<Edge> take_edges() { return std::move(edges_); }
    // Whether edges keep their wires (they do unless told otherwise); a
    // caller that reads only their ends keeps none, and then asks no
    // wires_of.
    void keep_edge_wires(bool keep) { keep_wires_ = keep; }
    std::span<const std::int64_t> wires_of(const Edge &e) const {
        return {edge_wires_.data() + e.wire_begin, e.wire_count};
    }

private:
    void set_last(std::int64_t wire, NodeId n);
    void emit(NodeId src, NodeId dst, const std::int64_t *wires, std::size_t n);

    std::int64_t nqubits_;
    NodeId num_nodes_ = 0;
    bool keep_wires_ = true;
    // Last node per wire: a dense table for the low wires, grown on demand up
    // to a fixed bound, and a map beyond it, so a huge wire count costs
    // memory only for the wires that are used.
    std::vector<NodeId> dense_;
    std::unordered_map<std::int64_t, NodeId> sparse_;
    // The last measure into each classical bit, and its wire.
    struct Write {
        NodeId node;
        std::int64_t wire;
    };
    std::unordered_map<std::int64_t, Write> last_write_;
    std::vector<Edge> edges_;
    std::vector<std::int64_t> edge_wires_;
    // scratch of add_gate
    std::vector<NodeId> prev_;
    std::vector<NodeId> group_src_;
    std::vector<std::vector<std::int64_t>> group_wires_;
    std::unordered_map<NodeId, std::size_t> group_index_;
};

}  // namespace engines::dag
