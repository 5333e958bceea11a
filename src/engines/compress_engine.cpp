#include "compress_engine.hpp"

#include <algorithm>
#include <stdexcept>

namespace engines::compress {

// ------------------------------------------------------------------ graph

void Graph::reserve(std::size_t nodes, std::size_t edges) {
    nodes_.reserve(nodes);
    edges_.reserve(edges);
    q_pool_.reserve(nodes * 2);
    w_pool_.reserve(edges * 2);
    index_.reserve(edges);
}

NodeId Graph::add_node(std::int32_t gate, std::span<const std::int64_t> qubits) {
    if (nodes_.size() >= static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("too many nodes");
    Node n;
    n.gate = gate;
    n.q_begin = static_cast<std::uint32_t>(q_pool_.size());
    n.q_count = static_cast<std::uint32_t>(qubits.size());
    q_pool_.insert(q_pool_.end(), qubits.begin(), qubits.end());
    nodes_.push_back(std::move(n));
    return static_cast<NodeId>(nodes_.size() - 1);
}

EdgeId Graph::add_edge(NodeId u, NodeId v, std::span<const std::int64_t> wires, std::int32_t label) {
    const auto w_begin = static_cast<std::uint32_t>(w_pool_.size());
    w_pool_.insert(w_pool_.end(), wires.begin(), wires.end());
    const auto w_count = static_cast<std::uint32_t>(wires.size());
    if (const EdgeId there = index_.find(key(u, v)); there != kNone) {
        Edge &e = edges_[static_cast<std::size_t>(there)];
        e.w_begin = w_begin;
        e.w_count = w_count;
        e.label = label;
        return there;
    }
    if (edges_.size() >= static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("too many edges");
    const auto id = static_cast<EdgeId>(edges_.size());
    index_.insert(key(u, v), id);
    Node &a = nodes_[static_cast<std::size_t>(u)];
    Node &b = nodes_[static_cast<std::size_t>(v)];
    edges_.push_back(Edge{u, v, static_cast<std::int32_t>(a.out.size()), static_cast<std::int32_t>(b.in.size()),
                          w_begin, w_count, label});
    a.out.push_back(id);
    ++a.n_out;
    b.in.push_back(id);
    ++b.n_in;
    return id;
}

void Graph::set_wires(EdgeId e, std::span<const std::int64_t> wires, std::int32_t label) {
    Edge &x = edges_[static_cast<std::size_t>(e)];
    x.w_begin = static_cast<std::uint32_t>(w_pool_.size());
    x.w_count = static_cast<std::uint32_t>(wires.size());
    x.label = label;
    w_pool_.insert(w_pool_.end(), wires.begin(), wires.end());
}

// Empties a slot of x's outgoing or incoming list (its live count already
// lowered); a list that is mostly holes is packed again, its edges told their
// new places.
void Graph::drop_slot(Node &x, bool outgoing, std::int32_t slot) {
    std::vector<EdgeId> &list = outgoing ? x.out : x.in;
    const auto live = static_cast<std::size_t>(outgoing ? x.n_out : x.n_in);
    list[static_cast<std::size_t>(slot)] = kNone;
    if (list.size() < 16 || live * 2 >= list.size())
        return;
    std::size_t k = 0;
    for (EdgeId e : list) {
        if (e == kNone)
            continue;
        Edge &ed = edges_[static_cast<std::size_t>(e)];
        (outgoing ? ed.slot_out : ed.slot_in) = static_cast<std::int32_t>(k);
        list[k++] = e;
    }
    list.resize(k);
}

void Graph::remove_node(NodeId n) {
    Node &x = nodes_[static_cast<std::size_t>(n)];
    for (EdgeId e : x.out) {
        if (e == kNone)
            continue;
        Edge &ed = edges_[static_cast<std::size_t>(e)];
        Node &d = nodes_[static_cast<std::size_t>(ed.dst)];
        --d.n_in;
        drop_slot(d, false, ed.slot_in);
        index_.erase(key(ed.src, ed.dst));
        ed.alive = false;
    }
    for (EdgeId e : x.in) {
        if (e == kNone)
            continue;
        Edge &ed = edges_[static_cast<std::size_t>(e)];
        Node &s = nodes_[static_cast<std::size_t>(ed.src)];
        --s.n_out;
        drop_slot(s, true, ed.slot_out);
        index_.erase(key(ed.src, ed.dst));
        ed.alive = false;
    }
    x.out.clear();
    x.in.clear();
    x.n_out = x.n_in = 0;
    x.alive = false;
}

void Graph::set_in_order(NodeId v, std::span<const EdgeId> order) {
    Node &x = nodes_[static_cast<std::size_t>(v)];
    if (order.size() != static_cast<std::size_t>(x.n_in))
        throw std::invalid_argument("set_in_order: not the node's incoming edges");
    for (EdgeId e : order)
        if (edges_[static_cast<std::size_t>(e)].dst != v || !edges_[static_cast<std::size_t>(e)].alive)
            throw std::invalid_argument("set_in_order: not the node's incoming edges");
    x.in.assign(order.begin(), order.end());
    for (std::size_t k = 0; k < x.in.size(); ++k)
        edges_[static_cast<std::size_t>(x.in[k])].slot_in = static_cast<std::int32_t>(k);
}

EdgeId Graph::find(NodeId u, NodeId v) const { return index_.find(key(u, v)); }

EdgeId Graph::only_out(NodeId n) const {
    const Node &x = node(n);
    if (x.n_out != 1)
        return kNone;
    for (EdgeId e : x.out)
        if (e != kNone)
            return e;
    return kNone;
}

EdgeId Graph::only_in(NodeId n) const {
    const Node &x = node(n);
    if (x.n_in != 1)
        return kNone;
    for (EdgeId e : x.in)
        if (e != kNone)
            return e;
    return kNone;
}

// --------------------------------------------------------------- worklist

bool adjacent(const Graph &g, EdgeId e) {
    const Edge &x = g.edge(e);
    if (!x.alive)
        return false;
    const Node &a = g.node(x.src), &b = g.node(x.dst);
    if (a.gate == kNone || a.gate != b.gate || a.n_out != 1 || b.n_in != 1)
        return false;
    auto qa = g.qubits(x.src), qb = g.qubits(x.dst);
    return std::equal(qa.begin(), qa.end(), qb.begin(), qb.end());
}

void Worklist::offer(EdgeId e) {
    if (adjacent(g_, e))
        heap_.push((static_cast<Key>(static_cast<std::uint32_t>(g_.edge(e).src)) << 32) |
                   static_cast<std::uint32_t>(e));
}

void Worklist::offer_all() {
    for (std::size_t e = 0; e < g_.num_edges(); ++e)
        offer(static_cast<EdgeId>(e));
}

void Worklist::offer_around(NodeId n) {
    if (!g_.node(n).alive)
        return;
    if (EdgeId e = g_.only_out(n); e != kNone)
        offer(e);
    if (EdgeId e = g_.only_in(n); e != kNone)
        offer(e);
}

bool Worklist::next(EdgeId &out) {
    while (!heap_.empty()) {
        const auto e = static_cast<EdgeId>(heap_.top() & 0xffffffffu);
        heap_.pop();
        if (adjacent(g_, e)) {
            out = e;
            return true;
        }
    }
    return false;
}

// ------------------------------------------------------------ merge rules

void edges_read(const Graph &g, NodeId n1, NodeId n2, std::vector<EdgeId> &out) {
    out.clear();
    out.push_back(g.find(n1, n2));
    g.each_in(n1, [&](EdgeId e) { out.push_back(e); });
    g.each_out(n2, [&](EdgeId e) { out.push_back(e); });
    g.each_in(n1, [&](EdgeId pe) {
        g.each_out(n2, [&](EdgeId se) {
            if (EdgeId there = g.find(g.edge(pe).src, g.edge(se).dst); there != kNone)
                out.push_back(there);
        });
    });
}

OneQubitEnds one_qubit_ends(const Graph &g, NodeId n1, NodeId n2) {
    OneQubitEnds ends;
    if (g.node(n1).n_in > 1)
        throw AmbiguousNeighbour{n1, true};
    if (g.node(n2).n_out > 1)
        throw AmbiguousNeighbour{n2, false};
    ends.pre_edge = g.only_in(n1);
    ends.suc_edge = g.only_out(n2);
    if (ends.pre_edge != kNone)
        ends.pre = g.edge(ends.pre_edge).src;
    if (ends.suc_edge != kNone)
        ends.suc = g.edge(ends.suc_edge).dst;
    return ends;
}

void plan_bridge_one(const Graph &g, NodeId n1, NodeId n2, const OneQubitEnds &ends, std::vector<PlannedEdge> &out) {
    if (ends.pre == kNone || ends.suc == kNone)
        return;
    const EdgeId pair = g.find(n1, n2);
    const EdgeId there = g.find(ends.pre, ends.suc);
    if (there == kNone) {
        out.push_back({ends.pre, ends.suc, pair});
        return;
    }
    auto a = g.wires(there), b = g.wires(pair);
    std::vector<std::int64_t> w(a.begin(), a.end());
    w.insert(w.end(), b.begin(), b.end());
    std::sort(w.begin(), w.end());
    w.erase(std::unique(w.begin(), w.end()), w.end());
    out.push_back({ends.pre, ends.suc, kNone, std::move(w)});
}

void plan_bridge_multi(const Graph &g, NodeId n1, NodeId n2, std::vector<PlannedEdge> &out) {
    if (g.node(n1).n_in == 0 || g.node(n2).n_out == 0)
        return;
    g.each_in(n1, [&](EdgeId pe) {
        const NodeId pre = g.edge(pe).src;
        auto q1 = g.wires(pe);
        g.each_out(n2, [&](EdgeId se) {
            const NodeId suc = g.edge(se).dst;
            auto q2 = g.wires(se);
            std::vector<std::int64_t> common;
            for (std::int64_t w : q1)
                if (std::find(q2.begin(), q2.end(), w) != q2.end())
                    common.push_back(w);
            if (common.empty())
                return;
            const EdgeId there = g.find(pre, suc);
            bool set_order = false;
            if (there != kNone) {
                auto t = g.wires(there);
                common.insert(common.end(), t.begin(), t.end());
                set_order = true;
            }
            out.push_back({pre, suc, kNone, std::move(common), set_order});
        });
    });
}

void plan_replace(const Graph &g, NodeId n1, NodeId n2, std::vector<PlannedEdge> &out) {
    g.each_in(n1, [&](EdgeId e) { out.push_back({g.edge(e).src, kCreated, e}); });
    g.each_out(n2, [&](EdgeId e) { out.push_back({kCreated, g.edge(e).dst, e}); });
}

}  // namespace engines::compress
