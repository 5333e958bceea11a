#include "compress_engine.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace engines::compress {

// ------------------------------------------------------------------ graph

void Graph::reserve(std::size_t nodes, std::size_t edges, std::size_t qubits) {
    nodes_.reserve(nodes);
    edges_.reserve(edges);
    q_pool_.reserve(qubits);
}

NodeId Graph::add_node(std::int32_t gate, std::span<const Wire> qubits) {
    if (nodes_.size() >= static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("too many nodes");
    if (gate < kNone || gate > kMaxGate)
        throw std::length_error("too many gate names");
    if (qubits.size() > kMaxQubits || q_pool_.size() + qubits.size() >= static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("too many qubits");
    Node n;
    n.tag = static_cast<std::uint32_t>(gate + 2) | static_cast<std::uint32_t>(qubits.size()) << 24;
    if (qubits.size() == 1) {
        n.tag |= kInPlace;
        n.q = qubits[0];
    } else {
        n.q = static_cast<Wire>(q_pool_.size());
        q_pool_.insert(q_pool_.end(), qubits.begin(), qubits.end());
    }
    nodes_.push_back(n);
    return static_cast<NodeId>(nodes_.size() - 1);
}

std::int32_t Graph::store_wires(std::span<const Wire> wires) {
    if (wires.empty())
        return kNoWires;
    if (wires.size() == 1)
        return wires[0];
    if (w_pool_.size() + wires.size() + 1 >= static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("too many edge wires");
    const auto at = static_cast<std::int32_t>(w_pool_.size());
    w_pool_.push_back(static_cast<Wire>(wires.size()));
    w_pool_.insert(w_pool_.end(), wires.begin(), wires.end());
    return kPooled - at;
}

std::span<const Wire> Graph::wires(EdgeId e) const {
    const std::int32_t &w = edge(e).w;
    if (w >= 0)
        return {&w, 1};
    if (w == kNoWires || w == kUnknown)
        return {};
    const auto at = static_cast<std::size_t>(kPooled - w);
    return {w_pool_.data() + at + 1, static_cast<std::size_t>(w_pool_[at])};
}

EdgeId Graph::new_edge() {
    if (!free_edges_.empty()) {
        const EdgeId e = free_edges_.back();
        free_edges_.pop_back();
        return e;
    }
    if (edges_.size() >= static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("too many edges");
    edges_.emplace_back();
    return static_cast<EdgeId>(edges_.size() - 1);
}

void Graph::link(const Ring &r, NodeId n, EdgeId e) {
    Node &a = nodes_[static_cast<std::size_t>(n)];
    Edge &x = edges_[static_cast<std::size_t>(e)];
    if (a.*r.first == kNone) {
        a.*r.first = x.*r.next = x.*r.prev = e;
        return;
    }
    Edge &first = edges_[static_cast<std::size_t>(a.*r.first)];
    const EdgeId last = first.*r.prev;
    x.*r.next = a.*r.first;
    x.*r.prev = last;
    first.*r.prev = e;
    edges_[static_cast<std::size_t>(last)].*r.next = e;
}

void Graph::unlink(const Ring &r, EdgeId e) {
    Edge &x = edges_[static_cast<std::size_t>(e)];
    Node &a = nodes_[static_cast<std::size_t>(x.*r.end)];
    if (x.*r.next == e) {
        a.*r.first = kNone;
        return;
    }
    edges_[static_cast<std::size_t>(x.*r.prev)].*r.next = x.*r.next;
    edges_[static_cast<std::size_t>(x.*r.next)].*r.prev = x.*r.prev;
    if (a.*r.first == e)
        a.*r.first = x.*r.next;
}

EdgeId Graph::link_new(NodeId u, NodeId v, std::int32_t w) {
    const EdgeId e = new_edge();
    Edge &x = edges_[static_cast<std::size_t>(e)];
    x.src = u;
    x.dst = v;
    x.w = w;
    link_out(u, e);
    link_in(v, e);
    return e;
}

EdgeId Graph::add_edge(NodeId u, NodeId v, std::span<const Wire> wires) {
    const std::int32_t w = store_wires(wires);
    if (const EdgeId there = find(u, v); there != kNone) {
        edges_[static_cast<std::size_t>(there)].w = w;
        return there;
    }
    return link_new(u, v, w);
}

EdgeId Graph::add_new_edge(NodeId u, NodeId v, std::span<const Wire> wires) {
    return link_new(u, v, store_wires(wires));
}

EdgeId Graph::add_edge_unknown(NodeId u, NodeId v) { return link_new(u, v, kUnknown); }

void Graph::set_wires(EdgeId e, std::span<const Wire> wires) {
    const std::int32_t w = store_wires(wires);
    edges_[static_cast<std::size_t>(e)].w = w;
}

void Graph::remove_node(NodeId n) {
    // every edge at n leaves the other end's ring; n's own rings go whole
    each_out(n, [&](EdgeId e) {
        unlink_in(e);
        free_edges_.push_back(e);
    });
    each_in(n, [&](EdgeId e) {
        unlink_out(e);
        free_edges_.push_back(e);
    });
    Node &x = nodes_[static_cast<std::size_t>(n)];
    x.first_out = x.first_in = kNone;
    x.tag &= ~std::uint32_t{0xffffff};
}

void Graph::set_in_order(NodeId v, std::span<const EdgeId> order) {
    Node &x = nodes_[static_cast<std::size_t>(v)];
    if (order.size() != in_degree(v))
        throw std::invalid_argument("set_in_order: not the node's incoming edges");
    for (EdgeId e : order)
        if (edges_[static_cast<std::size_t>(e)].dst != v)
            throw std::invalid_argument("set_in_order: not the node's incoming edges");
    x.first_in = kNone;
    for (EdgeId e : order)
        link_in(v, e);
}

std::size_t Graph::out_degree(NodeId n) const {
    std::size_t d = 0;
    each_out(n, [&](EdgeId) { ++d; });
    return d;
}

std::size_t Graph::in_degree(NodeId n) const {
    std::size_t d = 0;
    each_in(n, [&](EdgeId) { ++d; });
    return d;
}

EdgeId Graph::find(NodeId u, NodeId v) const {
    // u -> v is in both rings: whichever ends first without it settles it
    const EdgeId a0 = node(u).first_out, b0 = node(v).first_in;
    if (a0 == kNone || b0 == kNone)
        return kNone;
    EdgeId a = a0, b = b0;
    for (;;) {
        if (edge(a).dst == v)
            return a;
        if (edge(b).src == u)
            return b;
        a = edge(a).next_out;
        b = edge(b).next_in;
        if (a == a0 || b == b0)
            return kNone;
    }
}

std::size_t Graph::bytes() const {
    return nodes_.capacity() * sizeof(Node) + edges_.capacity() * sizeof(Edge) +
           free_edges_.capacity() * sizeof(EdgeId) + (q_pool_.capacity() + w_pool_.capacity()) * sizeof(Wire);
}

// --------------------------------------------------------------- worklist

bool adjacent(const Graph &g, EdgeId e) {
    const Edge &x = g.edge(e);
    const std::int32_t gate = g.gate(x.src);
    if (gate < 0 || gate != g.gate(x.dst) || g.only_out(x.src) != e || g.only_in(x.dst) != e)
        return false;
    auto qa = g.qubits(x.src), qb = g.qubits(x.dst);
    return std::equal(qa.begin(), qa.end(), qb.begin(), qb.end());
}

void Worklist::mark(NodeId n) {
    const auto i = static_cast<std::size_t>(n);
    if (i / 64 >= bits_.size()) {
        bits_.resize(i / 64 + 1 + bits_.size() / 2);
        words_.resize(bits_.size() / 64 + 1);
    }
    bits_[i / 64] |= std::uint64_t{1} << (i % 64);
    words_[i / 4096] |= std::uint64_t{1} << (i / 64 % 64);
    low_ = std::min(low_, i);
}

void Worklist::offer(EdgeId e) {
    if (adjacent(g_, e))
        mark(g_.edge(e).src);
}

void Worklist::offer_all() {
    bits_.assign(g_.num_nodes() / 64 + 1, 0);
    words_.assign(bits_.size() / 64 + 1, 0);
    low_ = 0;
    for (NodeId n = 0; n < static_cast<NodeId>(g_.num_nodes()); ++n)
        if (const EdgeId e = g_.only_out(n); e != kNone && adjacent(g_, e))
            mark(n);
}

void Worklist::offer_around(NodeId n) {
    if (!g_.node(n).alive())
        return;
    if (EdgeId e = g_.only_out(n); e != kNone)
        offer(e);
    if (EdgeId e = g_.only_in(n); e != kNone)
        offer(e);
}

bool Worklist::next(EdgeId &out) {
    for (;;) {
        // the first set bit at or after low_
        std::size_t w = low_ / 64;
        std::uint64_t word = w < bits_.size() ? bits_[w] & (~std::uint64_t{0} << (low_ % 64)) : 0;
        if (!word) {
            std::size_t s = (w + 1) / 64;
            std::uint64_t summary = s < words_.size() ? words_[s] & (~std::uint64_t{0} << ((w + 1) % 64)) : 0;
            while (!summary && ++s < words_.size())
                summary = words_[s];
            if (!summary) {
                low_ = bits_.size() * 64;
                return false;
            }
            w = s * 64 + static_cast<std::size_t>(std::countr_zero(summary));
            word = bits_[w];
        }
        const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(word));
        bits_[w] &= ~(std::uint64_t{1} << (i % 64));
        if (!bits_[w])
            words_[w / 64] &= ~(std::uint64_t{1} << (w % 64));
        low_ = i + 1;
        const auto n = static_cast<NodeId>(i);
        const EdgeId e = g_.only_out(n);
        if (e != kNone && adjacent(g_, e)) {
            out = e;
            return true;
        }
    }
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
    if (g.several_in(n1))
        throw AmbiguousNeighbour{n1, true};
    if (g.several_out(n2))
        throw AmbiguousNeighbour{n2, false};
    ends.pre_edge = g.only_in(n1);
    ends.suc_edge = g.only_out(n2);
    if (ends.pre_edge != kNone)
        ends.pre = g.edge(ends.pre_edge).src;
    if (ends.suc_edge != kNone)
        ends.suc = g.edge(ends.suc_edge).dst;
    return ends;
}

namespace {

PlannedEdge handed_on(const Graph &g, NodeId src, NodeId dst, EdgeId e) {
    auto w = g.wires(e);
    return {src, dst, e, std::vector<Wire>(w.begin(), w.end())};
}

}  // namespace

void plan_bridge_one(const Graph &g, NodeId n1, NodeId n2, const OneQubitEnds &ends, std::vector<PlannedEdge> &out) {
    if (ends.pre == kNone || ends.suc == kNone)
        return;
    const EdgeId pair = g.find(n1, n2);
    const EdgeId there = g.find(ends.pre, ends.suc);
    if (there == kNone) {
        out.push_back(handed_on(g, ends.pre, ends.suc, pair));
        return;
    }
    auto a = g.wires(there), b = g.wires(pair);
    std::vector<Wire> w(a.begin(), a.end());
    w.insert(w.end(), b.begin(), b.end());
    std::sort(w.begin(), w.end());
    w.erase(std::unique(w.begin(), w.end()), w.end());
    out.push_back({ends.pre, ends.suc, kNone, std::move(w)});
}

void plan_bridge_multi(const Graph &g, NodeId n1, NodeId n2, std::vector<PlannedEdge> &out) {
    if (!g.has_in(n1) || !g.has_out(n2))
        return;
    g.each_in(n1, [&](EdgeId pe) {
        const NodeId pre = g.edge(pe).src;
        auto q1 = g.wires(pe);
        g.each_out(n2, [&](EdgeId se) {
            const NodeId suc = g.edge(se).dst;
            auto q2 = g.wires(se);
            std::vector<Wire> common;
            for (Wire w : q1)
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
    g.each_in(n1, [&](EdgeId e) { out.push_back(handed_on(g, g.edge(e).src, kCreated, e)); });
    g.each_out(n2, [&](EdgeId e) { out.push_back(handed_on(g, kCreated, g.edge(e).dst, e)); });
}

}  // namespace engines::compress
