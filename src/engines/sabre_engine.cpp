// SABRE traversals over integer arrays; see sabre_engine.hpp.
#include "sabre_engine.hpp"

#include <algorithm>
#include <cmath>

namespace engines::sabre {

namespace {

// A sum of whole-number distances, +inf terms counted apart so that terms can
// be taken out again exactly.
struct Acc {
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

}  // namespace

Engine::Engine(Topology topo, Options opt, std::vector<std::int32_t> v2p)
    : topo_(std::move(topo)), opt_(opt), n_(static_cast<std::int32_t>(v2p.size())), v2p_(std::move(v2p)) {
    p2v_.assign(n_, -1);
    for (std::int32_t v = 0; v < n_; ++v)
        p2v_[v2p_[v]] = v;
    decay_.assign(n_, 1.0);
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
    auto reset_decay = [&] {
        if (opt_.decay) {
            std::fill(decay_.begin(), decay_.end(), 1.0);
            decay_touched_ = true;
        }
    };
    reset_decay();
    build_extended(dag, which, front);

    // Candidate bookkeeping: each candidate is one adjacency entry; its
    // reverse entry is marked with it.
    std::vector<std::int32_t> rev(T.nb.size());
    for (std::int32_t p = 0; p < T.n; ++p)
        for (std::int32_t k = T.nb_off[p]; k < T.nb_off[p + 1]; ++k) {
            const std::int32_t o = T.nb[k];
            rev[k] = k;
            for (std::int32_t j = T.nb_off[o]; j < T.nb_off[o + 1]; ++j)
                if (T.nb[j] == p) {
                    rev[k] = j;
                    break;
                }
        }
    std::vector<std::uint32_t> cand_mark(T.nb.size(), 0);
    std::uint32_t cand_epoch = 0;
    std::vector<std::int32_t> owner(n_, -1);         // front node per virtual qubit (SWAP cycles)
    std::vector<std::int32_t> ehead(n_, -1), enext;  // extended-set nodes per virtual qubit
    std::vector<std::int32_t> enode;
    std::vector<std::int32_t> exec;
    std::vector<std::pair<std::int32_t, std::int32_t>> cands, tied;
    std::vector<double> scores;

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
        for (std::int32_t f : front) {
            if (!dag.two[f]) {
                exec.push_back(f);
                continue;
            }
            auto q = dag.qubits(f);
            if (T.d(v2p_[q[0]], v2p_[q[1]]) == 1.0)
                exec.push_back(f);
        }
        if (!exec.empty()) {
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
                    bool ready = true;
                    for (std::int32_t p : dag.preds(s))
                        if (state[p] == 0) {
                            ready = false;
                            break;
                        }
                    if (ready) {
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
        Acc fbase;
        for (std::int32_t f : front) {
            auto q = dag.qubits(f);
            owner[q[0]] = owner[q[1]] = f;
            fbase.add(T.d(v2p_[q[0]], v2p_[q[1]]));
        }
        ++cand_epoch;
        cands.clear();
        for (std::int32_t f : front) {
            auto q = dag.qubits(f);
            for (int side = 0; side < 2; ++side) {
                const std::int32_t vq = q[side], p = v2p_[vq];
                for (std::int32_t k = T.nb_off[p]; k < T.nb_off[p + 1]; ++k) {
                    if (cand_mark[k] == cand_epoch)
                        continue;
                    cand_mark[k] = cand_mark[rev[k]] = cand_epoch;
                    const std::int32_t other = p2v_[T.nb[k]];
                    cands.emplace_back(std::min(vq, other), std::max(vq, other));
                }
            }
        }
        if (cands.empty()) {
            for (std::int32_t f : front)
                owner[dag.qubits(f)[0]] = owner[dag.qubits(f)[1]] = -1;
            throw Failure{Failure::NoCandidate, front};
        }
        Acc ebase;
        enode.clear();
        enext.clear();
        if (opt_.lookahead) {
            for (std::int32_t s : ext_) {
                auto q = dag.qubits(s);
                ebase.add(T.d(v2p_[q[0]], v2p_[q[1]]));
                for (int side = 0; side < 2; ++side) {
                    enode.push_back(s);
                    enext.push_back(ehead[q[side]]);
                    ehead[q[side]] = static_cast<std::int32_t>(enode.size()) - 1;
                }
            }
        }
        const double size_f = static_cast<double>(front.size());
        const double size_e = opt_.lookahead && !ext_.empty() ? static_cast<double>(ext_.size()) : 1.0;
        scores.clear();
        for (auto [a, b] : cands) {
            const std::int32_t pa = v2p_[a], pb = v2p_[b];
            auto trial = [&](std::int32_t x) { return x == a ? pb : x == b ? pa : v2p_[x]; };
            Acc fs = fbase;
            const std::int32_t g1 = owner[a], g2 = owner[b];
            for (std::int32_t g : {g1, g2 == g1 ? -1 : g2}) {
                if (g < 0)
                    continue;
                auto q = dag.qubits(g);
                fs.sub(T.d(v2p_[q[0]], v2p_[q[1]]));
                fs.add(T.d(trial(q[0]), trial(q[1])));
            }
            double h = fs.value() / size_f;
            if (opt_.lookahead) {
                Acc es = ebase;
                for (std::int32_t side = 0; side < 2; ++side) {
                    const std::int32_t v = side == 0 ? a : b;
                    if (side == 1 && b == a)
                        break;
                    for (std::int32_t i = ehead[v]; i >= 0; i = enext[i]) {
                        const std::int32_t s = enode[i];
                        auto q = dag.qubits(s);
                        if (side == 1 && (q[0] == a || q[1] == a))
                            continue;  // already counted under a
                        es.sub(T.d(v2p_[q[0]], v2p_[q[1]]));
                        es.add(T.d(trial(q[0]), trial(q[1])));
                    }
                }
                const double ratio = size_e / size_f;
                const double w = ratio < opt_.max_weight ? ratio : opt_.max_weight;
                const double e = es.value() / size_e;
                const double term = w * e;
                h = h + term;
            }
            if (opt_.decay) {
                const double x = decay_[pb], y = decay_[pa];
                const double m = x < y ? y : x;
                h = m * h;
            }
            scores.push_back(h);
        }
        for (std::int32_t f : front)
            owner[dag.qubits(f)[0]] = owner[dag.qubits(f)[1]] = -1;
        for (std::int32_t s : ext_)
            if (opt_.lookahead)
                for (std::int32_t q : dag.qubits(s))
                    ehead[q] = -1;

        double best = scores[0];
        for (std::size_t i = 1; i < scores.size(); ++i)
            if (scores[i] < best)
                best = scores[i];
        tied.clear();
        for (std::size_t i = 0; i < scores.size(); ++i)
            if (scores[i] == best)
                tied.push_back(cands[i]);
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
            decay_[pa] += 0.01;
            decay_[pb] += 0.01;
        }
        v2p_[a] = pb;
        v2p_[b] = pa;
        p2v_[pa] = b;
        p2v_[pb] = a;
        swapped_ = true;
    }
    return nswap;
}

}  // namespace engines::sabre
