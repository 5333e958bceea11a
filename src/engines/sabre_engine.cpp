// SABRE traversals over integer arrays; see sabre_engine.hpp.
#include "sabre_engine.hpp"

#include <algorithm>
#include <cmath>

namespace engines::sabre {

// A sum of whole-number distances, +inf terms counted apart so that terms can
// be taken out again exactly.
struct Engine::Acc {
    double fin = 0.0;
    std::int64_t inf = 0;
    void add(double d) {
        if (std::isinf(d))
            ++inf;
        else
            fin += d;
    }
    void sub(double d) {
        if (std::isinf(d))
            --inf;
        else
            fin -= d;
    }
    double value() const { return inf > 0 ? INFINITY : fin; }
};

void hop_distances(std::int32_t n, const std::vector<std::int32_t> &off, const std::vector<std::int32_t> &adj,
                   double *dist) {
    const auto N = static_cast<std::size_t>(n);
    std::fill(dist, dist + N * N, INFINITY);
    std::vector<std::int32_t> queue(N);
    for (std::int32_t s = 0; s < n; ++s) {
        double *row = dist + static_cast<std::size_t>(s) * N;
        row[s] = 0.0;
        std::size_t head = 0, tail = 0;
        queue[tail++] = s;
        while (head < tail) {
            const std::int32_t u = queue[head++];
            for (std::int32_t k = off[u]; k < off[u + 1]; ++k) {
                const std::int32_t v = adj[k];
                if (std::isinf(row[v])) {
                    row[v] = row[u] + 1.0;
                    queue[tail++] = v;
                }
            }
        }
    }
}

Engine::Engine(Topology topo, Options opt, std::vector<std::int32_t> v2p)
    : topo_(std::move(topo)), opt_(opt), n_(static_cast<std::int32_t>(v2p.size())), v2p_(std::move(v2p)) {
    p2v_.assign(n_, -1);
    for (std::int32_t v = 0; v < n_; ++v)
        p2v_[v2p_[v]] = v;
    decay_.assign(n_, 1.0);
    all_finite_ = std::all_of(topo_.dist.begin(), topo_.dist.end(), [](double d) { return std::isfinite(d); });
}

void Engine::build_extended(const Dag &dag, int which, const std::vector<std::int32_t> &front) {
    if (!opt_.lookahead)
        return;
    if (ext_mark_.size() < static_cast<std::size_t>(dag.n))
        ext_mark_.resize(dag.n, 0);
    ++ext_epoch_;
    ext_.clear();
    ext_dag_ = which;
    for (std::int32_t f : front) {
        touch(which, 0, f);
        for (std::int32_t s : dag.succs(f))
            if (dag.two[s] && ext_.size() <= static_cast<std::size_t>(n_) && ext_mark_[s] != ext_epoch_) {
                ext_mark_[s] = ext_epoch_;
                ext_.push_back(s);
            }
    }
}

// State of the SWAP cycles of one traversal, kept while the front layer
// stays as it is.
struct Engine::SwapState {
    std::vector<std::int32_t> owner;                // front node on each virtual qubit, -1 for none
    std::vector<std::int32_t> ehead, enext, enode;  // extended-set nodes on each virtual qubit (lists)
    Acc fsum, esum;                                 // distance sums over the front layer and the extended set
    std::vector<double> gd;                         // per DAG node: its distance now (front and extended set)
    std::vector<std::int32_t> pair;                 // per DAG node: its two qubits (two-qubit gates)
    // Candidate discovery: a coupler's two adjacency entries, marked per cycle.
    std::vector<std::int32_t> rev;
    std::vector<std::uint32_t> mark;
    std::uint32_t epoch = 0;
    // With whole-number distances (no unconnected qubits) the candidates are
    // kept from cycle to cycle, grouped by what decides their score: the
    // shifts of the two sums and the decay factor.  A SWAP changes that only
    // for couplers at the two qubits it moves and at their partners in front
    // and extended-set gates (`stale`); the others keep their group.
    struct Group {
        std::int32_t df, de;
        double m;
        std::int32_t next;                  // the next group with the same shifts
        std::int32_t active_at;             // its place in `active` while it has members
        std::vector<std::int32_t> members;  // couplers (their lower adjacency entry)
    };
    std::vector<Group> groups;  // the first `used` are this front layer's; the rest kept for reuse
    std::size_t used = 0;
    std::vector<std::int32_t> active;          // the groups with members
    std::vector<std::int32_t> group_of, slot;  // per coupler; -1 when not a candidate
    std::vector<std::int32_t> last_group;      // per coupler: the group it was last in
    std::vector<std::uint32_t> seen;           // per coupler: the refresh that looked at it last
    std::vector<std::uint32_t> seen_at;        // per physical qubit: likewise
    std::uint32_t refresh = 0;
    std::vector<std::int32_t> host;                  // per adjacency entry: the physical qubit it belongs to
    std::vector<std::int32_t> stale;                 // physical qubits whose couplers need a new look
    std::size_t count = 0;                           // candidates in all groups
    std::vector<std::int32_t> front_index;           // per virtual qubit: its front node's place, -1 if none
    std::vector<std::int32_t> prev_front, prev_ext;  // as they were when the state was last brought up to date
    std::vector<std::uint8_t> node_mark;             // scratch of that update, per DAG node
    // Scores by (front shift, extended shift), valid for the cycle in `memo_tag`.
    static constexpr int RF = 4, RE = 16;
    double memo[(2 * RF + 1) * (2 * RE + 1)];
    std::uint64_t memo_tag[(2 * RF + 1) * (2 * RE + 1)] = {};
    std::uint64_t cycle = 0;
    // The first group with given shifts, valid for the front layer in `chain_tag`.
    std::int32_t chain[(2 * RF + 1) * (2 * RE + 1)];
    std::uint64_t chain_tag[(2 * RF + 1) * (2 * RE + 1)] = {};
    std::uint64_t layer = 1;
    std::vector<std::int32_t> least;                            // scratch of scan_finite
    std::vector<std::pair<std::uint64_t, std::int32_t>> found;  // scratch of scan_finite

    void leave(std::int32_t c) {
        const std::int32_t g = group_of[c];
        if (g < 0)
            return;
        auto &mem = groups[g].members;
        const std::int32_t last = mem.back();
        mem[slot[c]] = last;
        slot[last] = slot[c];
        mem.pop_back();
        group_of[c] = -1;
        --count;
        if (mem.empty()) {  // off the active list
            const std::int32_t at = groups[g].active_at, moved = active.back();
            active[at] = moved;
            groups[moved].active_at = at;
            active.pop_back();
        }
    }
    void join(std::int32_t c, std::int32_t df, std::int32_t de, double m) {
        // most often the coupler goes back where it was
        if (const std::int32_t h = last_group[c]; h >= 0 && static_cast<std::size_t>(h) < used) {
            const Group &x = groups[h];
            if (x.df == df && x.de == de && x.m == m) {
                place(c, static_cast<std::size_t>(h));
                return;
            }
        }
        const auto fi = static_cast<std::uint32_t>(df + RF), ei = static_cast<std::uint32_t>(de + RE);
        const bool indexed = fi <= 2 * RF && ei <= 2 * RE;
        const std::uint32_t key = indexed ? fi * (2 * RE + 1) + ei : 0;
        std::int32_t g = -1;
        if (indexed) {
            for (std::int32_t h = chain_tag[key] == layer ? chain[key] : -1; h >= 0; h = groups[h].next)
                if (groups[h].m == m) {
                    g = h;
                    break;
                }
        } else {
            for (std::size_t h = 0; h < used; ++h)
                if (groups[h].df == df && groups[h].de == de && groups[h].m == m) {
                    g = static_cast<std::int32_t>(h);
                    break;
                }
        }
        if (g < 0) {
            if (used == groups.size())
                groups.emplace_back();
            g = static_cast<std::int32_t>(used++);
            Group &x = groups[g];
            x.df = df;
            x.de = de;
            x.m = m;
            x.next = -1;
            if (indexed) {
                x.next = chain_tag[key] == layer ? chain[key] : -1;
                chain[key] = g;
                chain_tag[key] = layer;
            }
        }
        place(c, static_cast<std::size_t>(g));
    }
    void place(std::int32_t c, std::size_t g) {
        if (groups[g].members.empty()) {
            groups[g].active_at = static_cast<std::int32_t>(active.size());
            active.push_back(static_cast<std::int32_t>(g));
        }
        group_of[c] = last_group[c] = static_cast<std::int32_t>(g);
        slot[c] = static_cast<std::int32_t>(groups[g].members.size());
        groups[g].members.push_back(c);
        ++count;
    }
    // Drops the empty groups (they pile up as decay factors grow).
    void compact() {
        ++layer;
        active.clear();
        std::size_t w = 0;
        for (std::size_t g = 0; g < used; ++g) {
            if (groups[g].members.empty())
                continue;
            if (w != g)
                std::swap(groups[w], groups[g]);
            Group &x = groups[w];
            for (std::int32_t c : x.members)
                group_of[c] = last_group[c] = static_cast<std::int32_t>(w);
            x.active_at = static_cast<std::int32_t>(active.size());
            active.push_back(static_cast<std::int32_t>(w));
            x.next = -1;
            const auto fi = static_cast<std::uint32_t>(x.df + RF), ei = static_cast<std::uint32_t>(x.de + RE);
            if (fi <= 2 * RF && ei <= 2 * RE) {
                const std::uint32_t key = fi * (2 * RE + 1) + ei;
                x.next = chain_tag[key] == layer ? chain[key] : -1;
                chain[key] = static_cast<std::int32_t>(w);
                chain_tag[key] = layer;
            }
            ++w;
        }
        used = w;
    }
    void clear_groups() {
        for (std::size_t g = 0; g < used; ++g) {
            for (std::int32_t c : groups[g].members)
                group_of[c] = -1;
            groups[g].members.clear();
        }
        active.clear();
        used = 0;
        ++layer;
        count = 0;
    }
};

// Calls front(before, after) for each front gate, and ext(before, after)
// for each extended-set gate, whose distance a SWAP of virtual qubits a and b
// (now on pa and pb) changes, each gate once.
// Calls front(g) for each front gate and ext(g) for each extended-set gate
// on virtual qubit a or b, each gate once.
template <class Front, class Ext> void Engine::touched_gates(const SwapState &st, std::int32_t a, std::int32_t b,
                                                             bool lookahead, Front &&front, Ext &&ext) {
    const std::int32_t g1 = st.owner[a], g2 = st.owner[b];
    if (g1 >= 0)
        front(g1);
    if (g2 >= 0 && g2 != g1)
        front(g2);
    if (!lookahead)
        return;
    for (std::int32_t i = st.ehead[a]; i >= 0; i = st.enext[i])
        ext(st.enode[i]);
    if (b != a)
        for (std::int32_t i = st.ehead[b]; i >= 0; i = st.enext[i]) {
            const std::int32_t g = st.enode[i];
            if (st.pair[2 * g] != a && st.pair[2 * g + 1] != a)  // already counted under a
                ext(g);
        }
}

// Calls front(before, after) and ext(before, after) with the distance of each
// gate a SWAP of virtual qubits a and b would change (touched_gates).
template <class Front, class Ext> void Engine::moved_gates(const SwapState &st, std::int32_t a, std::int32_t b,
                                                           bool lookahead, Front &&front, Ext &&ext) const {
    const Topology &T = topo_;
    const std::int32_t pa = v2p_[a], pb = v2p_[b];
    auto trial = [&](std::int32_t y) { return y == a ? pb : y == b ? pa : v2p_[y]; };
    auto after = [&](std::int32_t g) { return T.d(trial(st.pair[2 * g]), trial(st.pair[2 * g + 1])); };
    touched_gates(
        st, a, b, lookahead, [&](std::int32_t g) { front(st.gd[g], after(g)); },
        [&](std::int32_t g) { ext(st.gd[g], after(g)); });
}

// One SWAP cycle when no distance is infinite: brings the candidate groups
// up to date, scores each group once and lists the least candidates in the
// order in which the candidate list meets them.  Returns the number of
// candidates.
template <bool Lookahead, bool Decay>
std::size_t Engine::scan_finite(const Dag &dag, SwapState &st, const std::vector<std::int32_t> &front,
                                std::vector<std::pair<std::int32_t, std::int32_t>> &tied) {
    const Topology &T = topo_;
    // couplers at the stale qubits: out of their groups, and back in where a
    // front qubit sits at either end
    const std::uint32_t refresh = ++st.refresh;
    for (std::int32_t x : st.stale) {
        if (st.seen_at[x] == refresh)
            continue;
        st.seen_at[x] = refresh;
        for (std::int32_t k = T.nb_off[x]; k < T.nb_off[x + 1]; ++k) {
            const std::int32_t rk = st.rev[k];
            const std::int32_t c = k < rk ? k : rk;
            if (st.seen[c] == refresh)
                continue;
            st.seen[c] = refresh;
            const std::int32_t p = st.host[c], nb = T.nb[c];
            const std::int32_t u = p2v_[p], v = p2v_[nb];
            if (st.owner[u] < 0 && st.owner[v] < 0) {
                st.leave(c);
                continue;
            }
            const bool low = u < v;
            const std::int32_t a = low ? u : v, b = low ? v : u;
            const std::int32_t pa = low ? p : nb, pb = low ? nb : p;
            double dfs = 0, des = 0;
            moved_gates(
                st, a, b, Lookahead, [&](double before, double after) { dfs += after - before; },
                [&](double before, double after) { des += after - before; });
            double m = 1.0;
            if constexpr (Decay) {
                const double dx = decay_[pb], dy = decay_[pa];
                m = dx < dy ? dy : dx;
            }
            const auto df = static_cast<std::int32_t>(dfs), de = static_cast<std::int32_t>(des);
            if (const std::int32_t g = st.group_of[c]; g >= 0) {
                const SwapState::Group &x0 = st.groups[g];
                if (x0.df == df && x0.de == de && x0.m == m)
                    continue;  // same group as before
                st.leave(c);
            }
            st.join(c, df, de, m);
        }
    }
    st.stale.clear();

    const double size_f = static_cast<double>(front.size());
    const double size_e = Lookahead && !ext_.empty() ? static_cast<double>(ext_.size()) : 1.0;
    const double ratio = size_e / size_f;
    const double w = ratio < opt_.max_weight ? ratio : opt_.max_weight;
    const double f0 = st.fsum.fin, e0 = st.esum.fin;
    constexpr int RF = SwapState::RF, RE = SwapState::RE;
    const std::uint64_t cycle = ++st.cycle;
    auto mean = [&](std::int32_t df, std::int32_t de) {  // the score before decay, as the methods compute it
        double h = (f0 + df) / size_f;
        if constexpr (Lookahead) {
            const double e = (e0 + de) / size_e;
            const double term = w * e;
            h = h + term;
        }
        return h;
    };
    double best = 0.0;
    bool any = false;
    std::vector<std::int32_t> &least = st.least;
    least.clear();
    if (st.used > 4 * st.active.size() + 64)
        st.compact();
    for (const std::int32_t g : st.active) {
        const SwapState::Group &grp = st.groups[g];
        double h;
        const auto fi = static_cast<std::uint32_t>(grp.df + RF), ei = static_cast<std::uint32_t>(grp.de + RE);
        if (fi <= 2 * RF && ei <= 2 * RE) {
            const std::uint32_t i = fi * (2 * RE + 1) + ei;
            if (st.memo_tag[i] != cycle) {
                st.memo[i] = mean(grp.df, grp.de);
                st.memo_tag[i] = cycle;
            }
            h = st.memo[i];
        } else {
            h = mean(grp.df, grp.de);
        }
        if constexpr (Decay)
            h = grp.m * h;
        if (!any || h < best) {
            any = true;
            best = h;
            least.assign(1, g);
        } else if (h == best) {
            least.push_back(g);
        }
    }
    // the least candidates in list order: by front node, its first qubit's
    // neighbours before its second's, each in adjacency order
    auto order = [&](std::int32_t c) {
        std::uint64_t key = ~std::uint64_t{0};
        for (std::int32_t k : {c, st.rev[c]}) {
            const std::int32_t v = p2v_[st.host[k]];
            if (st.owner[v] < 0)
                continue;
            const std::uint64_t side = dag.qubits(st.owner[v])[0] == v ? 0 : 1;
            const std::uint64_t kk =
                (static_cast<std::uint64_t>(st.front_index[v]) << 33) | (side << 32) | static_cast<std::uint32_t>(k);
            key = kk < key ? kk : key;
        }
        return key;
    };
    auto &found = st.found;
    found.clear();
    for (std::int32_t g : least)
        for (std::int32_t c : st.groups[g].members)
            found.emplace_back(order(c), c);
    std::sort(found.begin(), found.end());
    tied.clear();
    for (auto [key, c] : found) {
        const std::int32_t u = p2v_[st.host[c]], v = p2v_[T.nb[c]];
        tied.emplace_back(u < v ? u : v, u < v ? v : u);
    }
    return st.count;
}

// The general SWAP scoring, for couplings with unconnected qubits (some
// distances infinite): every candidate scored afresh.
void Engine::best_candidates(SwapState &st, std::size_t front_size, const std::vector<Pair> &cands,
                             std::vector<std::pair<std::int32_t, std::int32_t>> &tied) {
    const double size_f = static_cast<double>(front_size);
    const double size_e = opt_.lookahead && !ext_.empty() ? static_cast<double>(ext_.size()) : 1.0;
    const double ratio = size_e / size_f;
    const double w = ratio < opt_.max_weight ? ratio : opt_.max_weight;
    double best = 0.0;
    tied.clear();
    bool first = true;
    for (const auto &[a, b] : cands) {
        const std::int32_t pa = v2p_[a], pb = v2p_[b];
        Acc fs = st.fsum, es = st.esum;
        moved_gates(
            st, a, b, opt_.lookahead,
            [&](double before, double after) {
                fs.sub(before);
                fs.add(after);
            },
            [&](double before, double after) {
                es.sub(before);
                es.add(after);
            });
        double h = fs.value() / size_f;
        if (opt_.lookahead) {
            const double e = es.value() / size_e;
            const double term = w * e;
            h = h + term;
        }
        if (opt_.decay) {
            const double x = decay_[pb], y = decay_[pa];
            const double m = x < y ? y : x;
            h = m * h;
        }
        // the least score (a NaN first score compares with nothing) and its ties, in order
        if (first) {
            first = false;
            best = h;
            if (h == h)
                tied.emplace_back(a, b);
        } else if (h < best) {
            best = h;
            tied.assign(1, {a, b});
        } else if (h == best) {
            tied.emplace_back(a, b);
        }
    }
}

long long Engine::traverse(const Dag &dag, int which, bool emit, Hooks &hooks) {
    for (auto &v : last_[which])
        if (v.size() != static_cast<std::size_t>(dag.n))
            v.assign(dag.n, 0);
    const Topology &T = topo_;
    std::vector<std::int32_t> front(dag.sources);
    std::vector<std::uint8_t> state(dag.n, 0);  // 1 in the front layer, 2 executed
    std::vector<std::int32_t> occ(n_, 0);       // front-layer nodes naming each virtual qubit
    for (std::int32_t f : front) {
        state[f] = 1;
        for (std::int32_t q : dag.qubits(f))
            ++occ[q];
    }
    SwapState st;
    // Candidate bookkeeping: each candidate is one adjacency entry; its
    // reverse entry is marked with it.
    st.rev.resize(T.nb.size());
    for (std::int32_t p = 0; p < T.n; ++p)
        for (std::int32_t k = T.nb_off[p]; k < T.nb_off[p + 1]; ++k) {
            const std::int32_t o = T.nb[k];
            st.rev[k] = k;
            for (std::int32_t j = T.nb_off[o]; j < T.nb_off[o + 1]; ++j)
                if (T.nb[j] == p) {
                    st.rev[k] = j;
                    break;
                }
        }
    st.mark.assign(T.nb.size(), 0);
    st.owner.assign(n_, -1);
    st.ehead.assign(n_, -1);
    if (all_finite_) {
        st.group_of.assign(T.nb.size(), -1);
        st.last_group.assign(T.nb.size(), -1);
        st.seen.assign(T.nb.size(), 0);
        st.seen_at.assign(T.n, 0);
        st.slot.assign(T.nb.size(), 0);
        st.host.resize(T.nb.size());
        for (std::int32_t p = 0; p < T.n; ++p)
            for (std::int32_t k = T.nb_off[p]; k < T.nb_off[p + 1]; ++k)
                st.host[k] = p;
        st.front_index.assign(n_, -1);
    }
    st.node_mark.assign(dag.n, 0);
    st.gd.assign(dag.n, 0.0);
    st.pair.assign(2 * static_cast<std::size_t>(dag.n), -1);
    for (std::int32_t u = 0; u < dag.n; ++u)
        if (dag.two[u]) {
            auto q = dag.qubits(u);
            st.pair[2 * u] = q[0];
            st.pair[2 * u + 1] = q[1];
        }
    auto reset_decay = [&] {
        if (opt_.decay) {
            // only factors raised since the last reset differ from 1
            for (std::int32_t p : raised_) {
                decay_[p] = 1.0;
                if (all_finite_)
                    st.stale.push_back(p);  // couplers there change their decay
            }
            raised_.clear();
            decay_touched_ = true;
        }
    };
    reset_decay();
    build_extended(dag, which, front);

    auto &owner = st.owner;
    auto &ehead = st.ehead;
    auto &enext = st.enext;
    auto &enode = st.enode;
    auto &fsum = st.fsum;
    auto &esum = st.esum;
    bool ready = false;
    std::int32_t last_a = -1, last_b = -1;  // the last SWAP, while the front layer has not changed since
    std::vector<std::int32_t> exec;
    std::vector<Pair> cands;
    std::vector<std::pair<std::int32_t, std::int32_t>> tied;

    auto gate_distance = [&](std::int32_t g) {
        auto q = dag.qubits(g);
        return T.d(v2p_[q[0]], v2p_[q[1]]);
    };
    // The SWAP-cycle state follows the front layer and the extended set from
    // one SWAP cycle to the next: only the qubits of gates that left or
    // joined either of them need a new look.
    auto build_swap_state = [&] {
        auto &nm = st.node_mark;  // 1 in the front layer, 2 in it before; 4 in the extended set, 8 in it before
        for (std::int32_t f : front)
            nm[f] |= 1;
        for (std::int32_t f : st.prev_front)
            nm[f] |= 2;
        if (opt_.lookahead) {
            for (std::int32_t s : ext_)
                nm[s] |= 4;
            for (std::int32_t s : st.prev_ext)
                nm[s] |= 8;
        }
        auto changed_gate = [&](std::int32_t g) {
            if (all_finite_)
                for (std::int32_t q : dag.qubits(g))
                    st.stale.push_back(v2p_[q]);
        };
        for (std::int32_t f : st.prev_front) {
            for (std::int32_t q : dag.qubits(f)) {
                owner[q] = -1;
                if (all_finite_)
                    st.front_index[q] = -1;
            }
            if (!(nm[f] & 1))
                changed_gate(f);
        }
        fsum = {};
        for (std::size_t i = 0; i < front.size(); ++i) {
            const std::int32_t f = front[i];
            auto q = dag.qubits(f);
            owner[q[0]] = owner[q[1]] = f;
            if (all_finite_)
                st.front_index[q[0]] = st.front_index[q[1]] = static_cast<std::int32_t>(i);
            st.gd[f] = gate_distance(f);
            fsum.add(st.gd[f]);
            if (!(nm[f] & 2))
                changed_gate(f);
        }
        esum = {};
        if (opt_.lookahead) {
            for (std::int32_t s : st.prev_ext) {
                for (std::int32_t q : dag.qubits(s))
                    ehead[q] = -1;
                if (!(nm[s] & 4))
                    changed_gate(s);
            }
            enode.clear();
            enext.clear();
            for (std::int32_t s : ext_) {
                auto q = dag.qubits(s);
                st.gd[s] = gate_distance(s);
                esum.add(st.gd[s]);
                for (int side = 0; side < 2; ++side) {
                    enode.push_back(s);
                    enext.push_back(ehead[q[side]]);
                    ehead[q[side]] = static_cast<std::int32_t>(enode.size()) - 1;
                }
                if (!(nm[s] & 8))
                    changed_gate(s);
            }
            for (std::int32_t s : st.prev_ext)
                nm[s] = 0;
            for (std::int32_t s : ext_)
                nm[s] = 0;
            st.prev_ext = ext_;
        }
        for (std::int32_t f : st.prev_front)
            nm[f] = 0;
        for (std::int32_t f : front)
            nm[f] = 0;
        st.prev_front = front;
        ready = true;
    };
    auto drop_swap_state = [&] { ready = false; };
    auto touched = [&](std::int32_t a, std::int32_t b, auto &&front_gate, auto &&ext_gate) {
        touched_gates(st, a, b, opt_.lookahead, front_gate, ext_gate);
    };

    long long nswap = 0, nrepeat = 0;
    bool changed = false;
    while (!front.empty()) {
        if (changed) {
            build_extended(dag, which, front);
            nrepeat = 0;
        } else {
            ++nrepeat;
        }
        changed = false;

        exec.clear();
        if (last_a >= 0) {
            // Only the gates of the last SWAP's qubits can have come together.
            for (std::int32_t g : {owner[last_a], owner[last_b]})
                if (g >= 0 && (exec.empty() || exec[0] != g) && gate_distance(g) == 1.0)
                    exec.push_back(g);
            if (exec.size() == 2 &&
                std::find(front.begin(), front.end(), exec[1]) < std::find(front.begin(), front.end(), exec[0]))
                std::swap(exec[0], exec[1]);
        } else {
            for (std::int32_t f : front)
                if (!dag.two[f] || gate_distance(f) == 1.0)
                    exec.push_back(f);
        }
        if (!exec.empty()) {
            drop_swap_state();
            last_a = last_b = -1;
            for (std::int32_t node : exec) {
                state[node] = 2;
                front.erase(std::find(front.begin(), front.end(), node));
                for (std::int32_t q : dag.qubits(node))
                    --occ[q];
                if (emit)
                    hooks.execute(node, v2p_);
                touch(which, 0, node);
                for (std::int32_t s : dag.succs(node)) {
                    bool free = true;
                    for (std::int32_t q : dag.qubits(s))
                        if (occ[q] > 0) {
                            free = false;
                            break;
                        }
                    if (!free)
                        continue;
                    touch(which, 1, s);
                    bool all_done = true;
                    for (std::int32_t p : dag.preds(s))
                        if (state[p] == 0) {
                            all_done = false;
                            break;
                        }
                    if (all_done) {
                        front.push_back(s);
                        state[s] = 1;
                        for (std::int32_t q : dag.qubits(s))
                            ++occ[q];
                    }
                }
            }
            reset_decay();
            changed = true;
            continue;
        }

        // A SWAP cycle: every front node is a two-qubit gate, no two share a qubit.
        if (!ready)
            build_swap_state();
        if (all_finite_) {
            std::size_t count;
            if (opt_.lookahead)
                count = opt_.decay ? scan_finite<true, true>(dag, st, front, tied)
                                   : scan_finite<true, false>(dag, st, front, tied);
            else
                count = opt_.decay ? scan_finite<false, true>(dag, st, front, tied)
                                   : scan_finite<false, false>(dag, st, front, tied);
            if (count == 0)
                throw Failure{Failure::NoCandidate, front};
        } else {
            ++st.epoch;
            cands.clear();
            for (std::int32_t f : front) {
                auto q = dag.qubits(f);
                for (int side = 0; side < 2; ++side) {
                    const std::int32_t vq = q[side], p = v2p_[vq];
                    for (std::int32_t k = T.nb_off[p]; k < T.nb_off[p + 1]; ++k) {
                        if (st.mark[k] == st.epoch)
                            continue;
                        st.mark[k] = st.mark[st.rev[k]] = st.epoch;
                        const std::int32_t other = p2v_[T.nb[k]];
                        cands.emplace_back(std::min(vq, other), std::max(vq, other));
                    }
                }
            }
            if (cands.empty())
                throw Failure{Failure::NoCandidate, front};
            best_candidates(st, front.size(), cands, tied);
        }
        if (tied.empty())
            throw Failure{Failure::Unscorable, front};
        std::pair<std::int32_t, std::int32_t> chosen = tied[0];
        if (tied.size() > 1 && opt_.random_choice)
            chosen = tied[hooks.choose(tied)];
        const auto [a, b] = chosen;
        if (emit) {
            hooks.swap(a, b, v2p_);
            ++nswap;
        }
        if (nrepeat == 10 * static_cast<long long>(n_))
            throw Failure{Failure::Conflict, front};
        const std::int32_t pa = v2p_[a], pb = v2p_[b];
        if (opt_.decay) {
            if (decay_[pa] == 1.0)
                raised_.push_back(pa);
            decay_[pa] += 0.01;
            if (decay_[pb] == 1.0)
                raised_.push_back(pb);
            decay_[pb] += 0.01;
        }
        touched(a, b, [&](std::int32_t g) { fsum.sub(st.gd[g]); }, [&](std::int32_t g) { esum.sub(st.gd[g]); });
        v2p_[a] = pb;
        v2p_[b] = pa;
        p2v_[pa] = b;
        p2v_[pb] = a;
        touched(
            a, b,
            [&](std::int32_t g) {
                st.gd[g] = gate_distance(g);
                fsum.add(st.gd[g]);
            },
            [&](std::int32_t g) {
                st.gd[g] = gate_distance(g);
                esum.add(st.gd[g]);
            });
        if (all_finite_) {
            // what a SWAP is worth changes on couplers at the two moved
            // qubits and at their partners in front and extended-set gates
            auto mark = [&](std::int32_t g) {
                for (std::int32_t q : dag.qubits(g))
                    st.stale.push_back(v2p_[q]);
            };
            st.stale.push_back(pa);
            st.stale.push_back(pb);
            touched(a, b, mark, mark);
        }
        last_a = a;
        last_b = b;
        swapped_ = true;
    }
    return nswap;
}

}  // namespace engines::sabre
