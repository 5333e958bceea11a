// SWAP candidates and their scores; see sabre_candidates.hpp.
#include "sabre_candidates.hpp"

#include <algorithm>

namespace engines::sabre {

namespace {

// The score before decay, with the operations of the methods: the front-layer
// mean plus the weighted extended-set mean.
template <bool Lookahead> double mean_score(double fsum, double esum, double size_f, double size_e, double w) {
    double h = fsum / size_f;
    if constexpr (Lookahead) {
        const double e = esum / size_e;
        const double term = w * e;
        h = h + term;
    }
    return h;
}

}  // namespace

// ---------------------------------------------------------------- groups

void CandidateGroups::init(const Couplers &couplers, std::int32_t nphys) {
    const std::size_t m = couplers.rev.size();
    group_of_.assign(m, -1);
    last_group_.assign(m, -1);
    slot_.assign(m, 0);
    seen_.assign(m, 0);
    seen_at_.assign(nphys, 0);
}

void CandidateGroups::leave(std::int32_t c) {
    const std::int32_t g = group_of_[c];
    if (g < 0)
        return;
    auto &mem = groups_[g].members;
    const std::int32_t last = mem.back();
    mem[slot_[c]] = last;
    slot_[last] = slot_[c];
    mem.pop_back();
    group_of_[c] = -1;
    --count_;
    if (mem.empty()) {  // off the active list
        const std::int32_t at = groups_[g].active_at, moved = active_.back();
        active_[at] = moved;
        groups_[moved].active_at = at;
        active_.pop_back();
    }
}

std::int32_t CandidateGroups::chain_key(std::int32_t df, std::int32_t de) const {
    const auto fi = static_cast<std::uint32_t>(df + RF), ei = static_cast<std::uint32_t>(de + RE);
    return fi <= 2 * RF && ei <= 2 * RE ? static_cast<std::int32_t>(fi * (2 * RE + 1) + ei) : -1;
}

void CandidateGroups::join(std::int32_t c, std::int32_t df, std::int32_t de, double m) {
    // most often the coupler goes back where it was
    if (const std::int32_t h = last_group_[c]; h >= 0 && static_cast<std::size_t>(h) < used_) {
        const Group &x = groups_[h];
        if (x.df == df && x.de == de && x.m == m) {
            place(c, static_cast<std::size_t>(h));
            return;
        }
    }
    const std::int32_t key = chain_key(df, de);
    std::int32_t g = -1;
    if (key >= 0) {
        for (std::int32_t h = chain_tag_[key] == layer_ ? chain_[key] : -1; h >= 0; h = groups_[h].next)
            if (groups_[h].m == m) {
                g = h;
                break;
            }
    } else {
        for (std::size_t h = 0; h < used_; ++h)
            if (groups_[h].df == df && groups_[h].de == de && groups_[h].m == m) {
                g = static_cast<std::int32_t>(h);
                break;
            }
    }
    if (g < 0) {
        if (used_ == groups_.size())
            groups_.emplace_back();
        g = static_cast<std::int32_t>(used_++);
        Group &x = groups_[g];
        x.df = df;
        x.de = de;
        x.m = m;
        x.next = -1;
        if (key >= 0) {
            x.next = chain_tag_[key] == layer_ ? chain_[key] : -1;
            chain_[key] = g;
            chain_tag_[key] = layer_;
        }
    }
    place(c, static_cast<std::size_t>(g));
}

void CandidateGroups::place(std::int32_t c, std::size_t g) {
    if (groups_[g].members.empty()) {
        groups_[g].active_at = static_cast<std::int32_t>(active_.size());
        active_.push_back(static_cast<std::int32_t>(g));
    }
    group_of_[c] = last_group_[c] = static_cast<std::int32_t>(g);
    slot_[c] = static_cast<std::int32_t>(groups_[g].members.size());
    groups_[g].members.push_back(c);
    ++count_;
}

void CandidateGroups::compact() {
    ++layer_;
    active_.clear();
    std::size_t w = 0;
    for (std::size_t g = 0; g < used_; ++g) {
        if (groups_[g].members.empty())
            continue;
        if (w != g)
            std::swap(groups_[w], groups_[g]);
        Group &x = groups_[w];
        for (std::int32_t c : x.members)
            group_of_[c] = last_group_[c] = static_cast<std::int32_t>(w);
        x.active_at = static_cast<std::int32_t>(active_.size());
        active_.push_back(static_cast<std::int32_t>(w));
        x.next = -1;
        if (const std::int32_t key = chain_key(x.df, x.de); key >= 0) {
            x.next = chain_tag_[key] == layer_ ? chain_[key] : -1;
            chain_[key] = static_cast<std::int32_t>(w);
            chain_tag_[key] = layer_;
        }
        ++w;
    }
    used_ = w;
}

// The couplers at the stale qubits leave their groups, and go back in where
// a front qubit sits at either end, under what a SWAP there is worth now.
template <bool Lookahead, bool Decay> void CandidateGroups::regroup(const ScoreInputs &in) {
    if (++refresh_ == 0) {  // wrapped: old marks could match again
        std::fill(seen_.begin(), seen_.end(), 0);
        std::fill(seen_at_.begin(), seen_at_.end(), 0);
        refresh_ = 1;
    }
    const std::uint32_t refresh = refresh_;
    const Topology &T = in.topo;
    for (PhysQ x : stale_) {
        if (seen_at_[x.i] == refresh)
            continue;
        seen_at_[x.i] = refresh;
        for (std::int32_t k = T.nb_off[x.i]; k < T.nb_off[x.i + 1]; ++k) {
            const std::int32_t c = in.couplers.id(k);
            if (seen_[c] == refresh)
                continue;
            seen_[c] = refresh;
            const PhysQ p = in.couplers.host[c], nb = T.nb[c];
            const VirtQ u = in.layout.virt(p), v = in.layout.virt(nb);
            if (in.view.owner[u] < 0 && in.view.owner[v] < 0) {
                leave(c);
                continue;
            }
            const bool low = u < v;
            const VirtQ a = low ? u : v, b = low ? v : u;
            const PhysQ pa = low ? p : nb, pb = low ? nb : p;
            double dfs = 0, des = 0;
            in.view.moved_gates(
                T, in.layout, a, b, Lookahead, [&](double before, double after) { dfs += after - before; },
                [&](double before, double after) { des += after - before; });
            double m = 1.0;
            if constexpr (Decay)
                m = in.decay.larger(pa, pb);
            const auto df = static_cast<std::int32_t>(dfs), de = static_cast<std::int32_t>(des);
            if (const std::int32_t g = group_of_[c]; g >= 0) {
                const Group &x0 = groups_[g];
                if (x0.df == df && x0.de == de && x0.m == m)
                    continue;  // same group as before
                leave(c);
            }
            join(c, df, de, m);
        }
    }
    stale_.clear();
}

// The groups of the least score, in `least_`.
template <bool Lookahead, bool Decay> void CandidateGroups::least(const ScoreInputs &in) {
    const double size_f = in.size_f(), size_e = in.size_e(Lookahead), w = in.weight(Lookahead);
    const double f0 = in.view.fsum.fin, e0 = in.view.esum.fin;
    const std::uint64_t cycle = ++cycle_;
    double best = 0.0;
    bool any = false;
    least_.clear();
    if (used_ > 4 * active_.size() + 64)
        compact();
    for (const std::int32_t g : active_) {
        const Group &grp = groups_[g];
        double h;
        if (const std::int32_t i = chain_key(grp.df, grp.de); i >= 0) {
            if (memo_tag_[i] != cycle) {
                memo_[i] = mean_score<Lookahead>(f0 + grp.df, e0 + grp.de, size_f, size_e, w);
                memo_tag_[i] = cycle;
            }
            h = memo_[i];
        } else {
            h = mean_score<Lookahead>(f0 + grp.df, e0 + grp.de, size_f, size_e, w);
        }
        if constexpr (Decay)
            h = grp.m * h;
        if (!any || h < best) {
            any = true;
            best = h;
            least_.assign(1, g);
        } else if (h == best) {
            least_.push_back(g);
        }
    }
}

// The candidates of the least groups in list order: by front node, its first
// qubit's neighbours before its second's, each in adjacency order.
void CandidateGroups::order_least(const ScoreInputs &in, std::vector<Candidate> &tied) {
    const LayerView &view = in.view;
    auto order = [&](std::int32_t c) {
        std::uint64_t key = ~std::uint64_t{0};
        for (std::int32_t k : {c, in.couplers.rev[c]}) {
            const VirtQ v = in.layout.virt(in.couplers.host[k]);
            if (view.owner[v] < 0)
                continue;
            const std::uint64_t side = in.dag.qubits(view.owner[v])[0] == v ? 0 : 1;
            const std::uint64_t kk =
                (static_cast<std::uint64_t>(view.front_index[v]) << 33) | (side << 32) | static_cast<std::uint32_t>(k);
            key = kk < key ? kk : key;
        }
        return key;
    };
    found_.clear();
    for (std::int32_t g : least_)
        for (std::int32_t c : groups_[g].members)
            found_.emplace_back(order(c), c);
    std::sort(found_.begin(), found_.end());
    tied.clear();
    for (auto [key, c] : found_)
        tied.push_back(Candidate::of(in.layout.virt(in.couplers.host[c]), in.layout.virt(in.topo.nb[c])));
}

template <bool Lookahead, bool Decay>
std::size_t CandidateGroups::scan(const ScoreInputs &in, std::vector<Candidate> &tied) {
    regroup<Lookahead, Decay>(in);
    least<Lookahead, Decay>(in);
    order_least(in, tied);
    return count_;
}

template std::size_t CandidateGroups::scan<false, false>(const ScoreInputs &, std::vector<Candidate> &);
template std::size_t CandidateGroups::scan<false, true>(const ScoreInputs &, std::vector<Candidate> &);
template std::size_t CandidateGroups::scan<true, false>(const ScoreInputs &, std::vector<Candidate> &);
template std::size_t CandidateGroups::scan<true, true>(const ScoreInputs &, std::vector<Candidate> &);

// ---------------------------------------------------------------- one candidate at a time

void CandidateList::collect(const ScoreInputs &in, std::span<const std::int32_t> front, std::vector<Candidate> &out) {
    if (++epoch_ == 0) {  // wrapped: old marks could match again
        std::fill(mark_.begin(), mark_.end(), 0);
        epoch_ = 1;
    }
    out.clear();
    const Topology &T = in.topo;
    for (std::int32_t f : front)
        for (VirtQ vq : in.dag.qubits(f)) {
            const PhysQ p = in.layout.phys(vq);
            for (std::int32_t k = T.nb_off[p.i]; k < T.nb_off[p.i + 1]; ++k) {
                if (mark_[k] == epoch_)
                    continue;
                mark_[k] = mark_[in.couplers.rev[k]] = epoch_;
                out.push_back(Candidate::of(vq, in.layout.virt(T.nb[k])));
            }
        }
}

void least_scored(const ScoreInputs &in, std::span<const Candidate> cands, std::vector<Candidate> &tied) {
    const bool lookahead = in.opt.lookahead;
    const double size_f = in.size_f(), size_e = in.size_e(lookahead), w = in.weight(lookahead);
    double best = 0.0;
    bool first = true;
    tied.clear();
    for (const Candidate c : cands) {
        DistanceSum fs = in.view.fsum, es = in.view.esum;
        in.view.moved_gates(
            in.topo, in.layout, c.a, c.b, lookahead,
            [&](double before, double after) {
                fs.sub(before);
                fs.add(after);
            },
            [&](double before, double after) {
                es.sub(before);
                es.add(after);
            });
        double h = lookahead ? mean_score<true>(fs.value(), es.value(), size_f, size_e, w)
                             : mean_score<false>(fs.value(), es.value(), size_f, size_e, w);
        if (in.opt.decay)
            h = in.decay.larger(in.layout.phys(c.a), in.layout.phys(c.b)) * h;
        // the least score (a NaN first score compares with nothing) and its ties, in order
        if (first) {
            first = false;
            best = h;
            if (h == h)
                tied.push_back(c);
        } else if (h < best) {
            best = h;
            tied.assign(1, c);
        } else if (h == best) {
            tied.push_back(c);
        }
    }
}

}  // namespace engines::sabre
