// The front layer and the extended set of a SABRE traversal, the record of
// the DAG queries the traversal makes, and the view of both sets that the
// SWAP cycles score against.  No Python here.
#pragma once

#include "sabre_distances.hpp"
#include "sabre_types.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace engines::sabre {

// When each DAG query (successors or predecessors of a node, per DAG) was
// last made, on one clock, so that a caller can rebuild the least-recently
// used query cache the pass's methods would have left.
class QueryClock {
public:
    enum Kind { Successors = 0, Predecessors = 1 };
    static constexpr Kind kKinds[] = {Successors, Predecessors};
    // Sizes the record of the DAG of direction `dir` for n nodes.
    void prepare(Direction dir, std::int32_t n);
    void touch(Direction dir, Kind kind, std::int32_t node) { last_[dir][kind][node] = ++clock_; }
    // Per node: the time of the last query, 0 for never.
    const std::vector<std::uint64_t> &last_use(Direction dir, Kind kind) const { return last_[dir][kind]; }

private:
    PerDirection<std::vector<std::uint64_t>[2]> last_;
    std::uint64_t clock_ = 0;
};

// The gates ready to run: not yet executed, every predecessor executed or in
// the layer.  Invariant: `nodes` holds each node whose state is InFront once,
// in order of admission, and `occ` counts, per virtual qubit, the nodes of
// the layer naming it.
struct FrontLayer {
    enum State : std::uint8_t { Waiting = 0, InFront = 1, Executed = 2 };
    std::vector<std::int32_t> nodes;
    std::vector<std::uint8_t> state;    // per DAG node
    PerQubit<VirtQ, std::int32_t> occ;  // per virtual qubit

    // The layer of a new traversal: the DAG's sources.
    void start(const Dag &dag, std::size_t nqubits);
    // Takes an executed node out of the layer.
    void execute(const Dag &dag, std::int32_t node);
    // Whether a node names a qubit that a node of the layer names.
    bool shares_qubit(const Dag &dag, std::int32_t node) const;
    // Whether every predecessor of a node is executed or in the layer.
    bool ready(const Dag &dag, std::int32_t node) const;
    void admit(const Dag &dag, std::int32_t node);
};

// The two-qubit gates that directly follow the front layer (the lookahead),
// in order of first insertion.  Invariant: no node twice; at most bound + 1
// nodes.
class ExtendedSet {
public:
    // Rebuilds the set from the successors of `front` in the DAG of
    // direction `dir`, recording the successor queries.
    void build(const Dag &dag, Direction dir, std::span<const std::int32_t> front, std::size_t bound,
               QueryClock &clock);
    const std::vector<std::int32_t> &nodes() const { return nodes_; }
    // The direction of the DAG the set was last built over; none before the
    // first build.
    std::optional<Direction> dag() const { return dag_; }

private:
    std::vector<std::int32_t> nodes_;
    std::vector<std::uint32_t> mark_;
    std::uint32_t epoch_ = 0;
    std::optional<Direction> dag_;
};

// The front layer and the extended set as the SWAP cycles see them: the gate
// on each virtual qubit, each gate's distance now and the two distance sums.
// Invariant (while in use by a SWAP cycle): `fsum` and `esum` are the sums of
// `gd` over the front layer and the extended set, and `gd` of each of their
// gates is its distance under the current layout.
struct LayerView {
    PerQubit<VirtQ, std::int32_t> owner;        // front node naming the qubit, -1 for none
    PerQubit<VirtQ, std::int32_t> front_index;  // that node's place in the front layer
    PerQubit<VirtQ, std::int32_t> ehead;        // extended-set nodes on each qubit: linked lists
    std::vector<std::int32_t> enext, enode;
    DistanceSum fsum, esum;
    std::vector<double> gd;                          // per DAG node
    std::vector<VirtQ> pair;                         // per DAG node: the two qubits of a two-qubit gate
    std::vector<std::int32_t> prev_front, prev_ext;  // as they were at the last update
    std::vector<std::uint8_t> node_mark;             // scratch of update()

    void init(const Dag &dag, std::size_t nqubits);

    // Brings the view up to date with a changed front layer or extended set.
    // `distance(g)` gives a gate's distance now; `changed(g)` is called for
    // each gate that left or joined either set.
    template <class Distance, class Changed> void update(const Dag &dag, const std::vector<std::int32_t> &front,
                                                         const std::vector<std::int32_t> &ext, bool lookahead,
                                                         Distance &&distance, Changed &&changed);

    // Calls front(g) for each front gate and ext(g) for each extended-set
    // gate on virtual qubit a or b, each gate once.
    template <class Front, class Ext>
    void touched_gates(VirtQ a, VirtQ b, bool lookahead, Front &&front, Ext &&ext) const;

    // Calls front(before, after) and ext(before, after) with the distance of
    // each gate that a SWAP of virtual qubits a and b would change.
    template <class Front, class Ext> void moved_gates(const Topology &t, const Layout &layout, VirtQ a, VirtQ b,
                                                       bool lookahead, Front &&front, Ext &&ext) const {
        const PhysQ pa = layout.phys(a), pb = layout.phys(b);
        auto trial = [&](VirtQ y) { return y == a ? pb : y == b ? pa : layout.phys(y); };
        auto after = [&](std::int32_t g) { return t.d(trial(pair[2 * g]), trial(pair[2 * g + 1])); };
        touched_gates(
            a, b, lookahead, [&](std::int32_t g) { front(gd[g], after(g)); },
            [&](std::int32_t g) { ext(gd[g], after(g)); });
    }
};

template <class Front, class Ext>
void LayerView::touched_gates(VirtQ a, VirtQ b, bool lookahead, Front &&front, Ext &&ext) const {
    const std::int32_t g1 = owner[a], g2 = owner[b];
    if (g1 >= 0)
        front(g1);
    if (g2 >= 0 && g2 != g1)
        front(g2);
    if (!lookahead)
        return;
    for (std::int32_t i = ehead[a]; i >= 0; i = enext[i])
        ext(enode[i]);
    if (b != a)
        for (std::int32_t i = ehead[b]; i >= 0; i = enext[i]) {
            const std::int32_t g = enode[i];
            if (pair[2 * g] != a && pair[2 * g + 1] != a)  // already counted under a
                ext(g);
        }
}

template <class Distance, class Changed> void LayerView::update(const Dag &dag, const std::vector<std::int32_t> &front,
                                                                const std::vector<std::int32_t> &ext, bool lookahead,
                                                                Distance &&distance, Changed &&changed) {
    auto &nm = node_mark;  // 1 in the front layer, 2 in it before; 4 in the extended set, 8 in it before
    for (std::int32_t f : front)
        nm[f] |= 1;
    for (std::int32_t f : prev_front)
        nm[f] |= 2;
    if (lookahead) {
        for (std::int32_t s : ext)
            nm[s] |= 4;
        for (std::int32_t s : prev_ext)
            nm[s] |= 8;
    }
    for (std::int32_t f : prev_front) {
        for (VirtQ q : dag.qubits(f)) {
            owner[q] = -1;
            front_index[q] = -1;
        }
        if (!(nm[f] & 1))
            changed(f);
    }
    fsum = {};
    for (std::size_t i = 0; i < front.size(); ++i) {
        const std::int32_t f = front[i];
        auto q = dag.qubits(f);
        owner[q[0]] = owner[q[1]] = f;
        front_index[q[0]] = front_index[q[1]] = static_cast<std::int32_t>(i);
        gd[f] = distance(f);
        fsum.add(gd[f]);
        if (!(nm[f] & 2))
            changed(f);
    }
    esum = {};
    if (lookahead) {
        for (std::int32_t s : prev_ext) {
            for (VirtQ q : dag.qubits(s))
                ehead[q] = -1;
            if (!(nm[s] & 4))
                changed(s);
        }
        enode.clear();
        enext.clear();
        for (std::int32_t s : ext) {
            auto q = dag.qubits(s);
            gd[s] = distance(s);
            esum.add(gd[s]);
            for (int side = 0; side < 2; ++side) {
                enode.push_back(s);
                enext.push_back(ehead[q[side]]);
                ehead[q[side]] = static_cast<std::int32_t>(enode.size()) - 1;
            }
            if (!(nm[s] & 8))
                changed(s);
        }
        for (std::int32_t s : prev_ext)
            nm[s] = 0;
        for (std::int32_t s : ext)
            nm[s] = 0;
        prev_ext = ext;
    }
    for (std::int32_t f : prev_front)
        nm[f] = 0;
    for (std::int32_t f : front)
        nm[f] = 0;
    prev_front = front;
}

}  // namespace engines::sabre
