// SABRE traversals; see sabre_engine.hpp.
#include "sabre_engine.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace engines::sabre {

Engine::Engine(Topology topo, Options opt, PerQubit<VirtQ, PhysQ> v2p)
    : topo_(std::move(topo)), couplers_(topo_), opt_(opt), layout_(std::move(v2p)) {
    decay_.init(static_cast<std::size_t>(layout_.size()));
    all_finite_ = std::all_of(topo_.dist.begin(), topo_.dist.end(), [](double d) { return std::isfinite(d); });
}

// One traversal: the working state of a single walk over a DAG.
class Traversal {
public:
    Traversal(Engine &e, const Dag &dag, Direction dir, bool emit, Hooks &hooks)
        : e_(e), dag_(dag), dir_(dir), emit_(emit), hooks_(hooks) {}
    long long run();

private:
    static constexpr unsigned kPollEvery = 64;  // cycles between two calls of Hooks::poll

    double gate_distance(std::int32_t g) const {
        auto q = dag_.qubits(g);
        return e_.topo_.d(e_.layout_.phys(q[0]), e_.layout_.phys(q[1]));
    }
    ScoreInputs inputs() const {
        return {dag_,
                e_.topo_,
                e_.couplers_,
                e_.layout_,
                view_,
                e_.decay_,
                e_.opt_,
                front_.nodes.size(),
                e_.ext_.nodes().size()};
    }
    void build_extended() {
        if (e_.opt_.lookahead)
            e_.ext_.build(dag_, dir_, front_.nodes, static_cast<std::size_t>(e_.layout_.size()), e_.clock_);
    }
    void reset_decay();
    void collect_ready();
    void execute_ready();
    void update_view();
    void score();
    void swap_cycle();
    void apply(Candidate c, bool raise_decay);
    void release();

    Engine &e_;
    const Dag &dag_;
    const Direction dir_;
    const bool emit_;
    Hooks &hooks_;
    FrontLayer front_;
    LayerView view_;
    bool view_ready_ = false;  // the view matches the front layer and the extended set
    CandidateGroups groups_;   // used when every distance is finite
    CandidateList list_;       // used otherwise
    VirtQ last_a_, last_b_;    // the last SWAP, while the front layer has not changed since
    long long nswap_ = 0, nrepeat_ = 0;
    std::vector<std::int32_t> exec_;
    std::vector<Candidate> cands_, tied_;
};

void Traversal::reset_decay() {
    if (!e_.opt_.decay)
        return;
    // couplers at the qubits whose factor drops back change their score
    e_.decay_.reset([&](PhysQ p) {
        if (e_.all_finite_)
            groups_.mark_stale(p);
    });
}

// The executable nodes of the front layer, in its order, into exec_.
void Traversal::collect_ready() {
    exec_.clear();
    if (last_a_.valid()) {
        // Only the gates of the last SWAP's qubits can have come together.
        for (std::int32_t g : {view_.owner[last_a_], view_.owner[last_b_]})
            if (g >= 0 && (exec_.empty() || exec_[0] != g) && gate_distance(g) == 1.0)
                exec_.push_back(g);
        if (exec_.size() == 2 &&
            view_.front_index[dag_.qubits(exec_[1])[0]] < view_.front_index[dag_.qubits(exec_[0])[0]])
            std::swap(exec_[0], exec_[1]);
        return;
    }
    for (std::int32_t f : front_.nodes)
        if (!dag_.two[f] || gate_distance(f) == 1.0)
            exec_.push_back(f);
}

// Runs the nodes of exec_ and admits their successors whose predecessors
// have all run or wait in the front layer.
void Traversal::execute_ready() {
    view_ready_ = false;
    last_a_ = last_b_ = VirtQ{};
    for (std::int32_t node : exec_) {
        front_.execute(dag_, node);
        if (emit_)
            hooks_.execute(node, e_.layout_);
        e_.clock_.touch(dir_, QueryClock::Successors, node);
        for (std::int32_t s : dag_.succs(node)) {
            if (front_.shares_qubit(dag_, s))
                continue;
            e_.clock_.touch(dir_, QueryClock::Predecessors, s);
            if (front_.ready(dag_, s))
                front_.admit(dag_, s);
        }
    }
    reset_decay();
}

// The SWAP-cycle view follows the front layer and the extended set: only the
// qubits of gates that left or joined either of them need a new look.
void Traversal::update_view() {
    view_.update(
        dag_, front_.nodes, e_.ext_.nodes(), e_.opt_.lookahead, [&](std::int32_t g) { return gate_distance(g); },
        [&](std::int32_t g) {
            if (e_.all_finite_)
                for (VirtQ q : dag_.qubits(g))
                    groups_.mark_stale(e_.layout_.phys(q));
        });
    view_ready_ = true;
}

// The least-scored candidates into tied_.
void Traversal::score() {
    const ScoreInputs in = inputs();
    if (e_.all_finite_) {
        const bool L = e_.opt_.lookahead, D = e_.opt_.decay;
        const std::size_t count =
            L ? (D ? groups_.scan<true, true>(in, tied_) : groups_.scan<true, false>(in, tied_))
              : (D ? groups_.scan<false, true>(in, tied_) : groups_.scan<false, false>(in, tied_));
        if (count == 0)
            throw Failure{Failure::NoCandidate, front_.nodes};
        return;
    }
    list_.collect(in, front_.nodes, cands_);
    if (cands_.empty())
        throw Failure{Failure::NoCandidate, front_.nodes};
    least_scored(in, cands_, tied_);
}

// Every front node is a two-qubit gate and no two share a qubit.
void Traversal::swap_cycle() {
    if (!view_ready_)
        update_view();
    score();
    if (tied_.empty())
        throw Failure{Failure::Unscorable, front_.nodes};
    Candidate chosen = tied_[0];
    if (tied_.size() > 1 && e_.opt_.random_choice)
        chosen = tied_[hooks_.choose(tied_)];
    if (nrepeat_ == 10 * static_cast<long long>(e_.layout_.size())) {
        release();
        return;
    }
    if (emit_) {
        hooks_.swap(chosen, e_.layout_);
        ++nswap_;
    }
    apply(chosen, true);
    last_a_ = chosen.a;
    last_b_ = chosen.b;
}

void Traversal::apply(Candidate c, bool raise_decay) {
    const VirtQ a = c.a, b = c.b;
    const PhysQ pa = e_.layout_.phys(a), pb = e_.layout_.phys(b);
    if (raise_decay && e_.opt_.decay) {
        e_.decay_.raise(pa);
        e_.decay_.raise(pb);
    }
    const bool L = e_.opt_.lookahead;
    view_.touched_gates(
        a, b, L, [&](std::int32_t g) { view_.fsum.sub(view_.gd[g]); },
        [&](std::int32_t g) { view_.esum.sub(view_.gd[g]); });
    e_.layout_.exchange(a, b);
    view_.touched_gates(
        a, b, L,
        [&](std::int32_t g) {
            view_.gd[g] = gate_distance(g);
            view_.fsum.add(view_.gd[g]);
        },
        [&](std::int32_t g) {
            view_.gd[g] = gate_distance(g);
            view_.esum.add(view_.gd[g]);
        });
    if (e_.all_finite_) {
        // what a SWAP is worth changes on couplers at the two moved qubits
        // and at their partners in front and extended-set gates
        auto mark = [&](std::int32_t g) {
            for (VirtQ q : dag_.qubits(g))
                groups_.mark_stale(e_.layout_.phys(q));
        };
        groups_.mark_stale(pa);
        groups_.mark_stale(pb);
        view_.touched_gates(a, b, L, mark, mark);
    }
    e_.swapped_ = true;
}

// The traversal is stuck: the nearest front gate (the first of the nearest)
// has its first qubit moved next to its second along a shortest path, the
// decay factors start afresh, and the walk goes on.  Only gates whose qubits
// cannot meet (unconnected in the coupling graph) leave it stuck for good.
void Traversal::release() {
    std::int32_t nearest = -1;
    double best = INFINITY;
    for (std::int32_t f : front_.nodes)
        if (const double d = gate_distance(f); d < best) {
            best = d;
            nearest = f;
        }
    if (nearest < 0)
        throw Failure{Failure::Conflict, front_.nodes};
    const auto q = dag_.qubits(nearest);
    const VirtQ mover = q[0], other = q[1];
    while (gate_distance(nearest) != 1.0) {
        const PhysQ next = step_towards(e_.topo_, e_.layout_.phys(mover), e_.layout_.phys(other));
        if (!next.valid())
            throw Failure{Failure::Conflict, front_.nodes};
        const Candidate c = Candidate::of(mover, e_.layout_.virt(next));
        if (emit_) {
            hooks_.swap(c, e_.layout_);
            ++nswap_;
        }
        apply(c, false);
    }
    reset_decay();
    last_a_ = last_b_ = VirtQ{};  // any front gate may have come together
    nrepeat_ = 0;
}

long long Traversal::run() {
    const std::size_t nq = static_cast<std::size_t>(e_.layout_.size());
    e_.clock_.prepare(dir_, dag_.n);
    front_.start(dag_, nq);
    view_.init(dag_, nq);
    if (e_.all_finite_)
        groups_.init(e_.couplers_, e_.topo_.n);
    else
        list_.init(e_.topo_.nb.size());
    reset_decay();
    build_extended();
    bool changed = false;
    unsigned cycles = 0;
    while (!front_.nodes.empty()) {
        if (++cycles % kPollEvery == 0)
            hooks_.poll();
        if (changed) {
            build_extended();
            nrepeat_ = 0;
        } else {
            ++nrepeat_;
        }
        changed = false;
        collect_ready();
        if (!exec_.empty()) {
            execute_ready();
            changed = true;
            continue;
        }
        swap_cycle();
    }
    return nswap_;
}

long long Engine::traverse(const Dag &dag, Direction dir, bool emit, Hooks &hooks) {
    Traversal t(*this, dag, dir, emit, hooks);
    return t.run();
}

}  // namespace engines::sabre
