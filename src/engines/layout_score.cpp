#include "layout_score.hpp"

#include <algorithm>

namespace engines::layout {

double pairwise_sum(const double *a, std::size_t n) {
    if (n < 8) {
        double res = 0.;
        for (std::size_t i = 0; i < n; ++i)
            res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j)
            r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j)
                r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i)
            res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// fids_ and sq_ have room for every adjacency entry of the chip.
Scorer::Scorer(const ScoreInput &in)
    : in_(in), local_(in.chip->value.size(), -1), fids_(in.chip->adj.size() + 1), sq_(fids_.size()) {}

// The view's node order: the Python set of the qubits (filled in ascending
// order) when 2k < |V|, else the graph's order.
void Scorer::view_order(std::span<const std::int32_t> nodes) {
    order_.clear();
    const std::size_t k = nodes.size();
    if (2 * k < in_.chip->value.size()) {
        set_.reset();
        for (std::int32_t q : nodes)
            set_.add_new(in_.chip->value[q], q);
        set_.order(order_);
    } else {
        order_.assign(nodes.begin(), nodes.end());
        std::sort(order_.begin(), order_.end());
    }
}

Score Scorer::score(std::span<std::int32_t> nodes) {
    const Chip &chip = *in_.chip;
    const int k = static_cast<int>(nodes.size());
    view_order(nodes);
    for (int i = 0; i < k; ++i)
        local_[order_[i]] = i;
    nbmask_.assign(k, 0);
    deg_.assign(k, 0);
    const std::int32_t *local = local_.data(), *adj = chip.adj.data(), *off = chip.adj_off.data();
    const double *fid = in_.fid.data();
    double *out = fids_.data();
    std::size_t m = 0;
    for (int i = 0; i < k; ++i) {
        const std::int32_t u = order_[i];
        std::uint64_t mask = 0;
        int deg = 0;
        for (std::int32_t e = off[u]; e < off[u + 1]; ++e) {
            const std::int32_t j = local[adj[e]];
            if (j < 0)
                continue;
            ++deg;
            mask |= std::uint64_t{1} << j;
            if (j > i)  // the other end is not listed yet
                out[m++] = fid[e];
        }
        deg_[i] = deg;
        nbmask_[i] = mask;
    }
    Score sc;
    sc.couplers = static_cast<std::uint32_t>(m);
    sc.mean = pairwise_sum(fids_.data(), m) / static_cast<double>(m);
    for (std::size_t i = 0; i < m; ++i) {
        const double d = fids_[i] - sc.mean;
        sq_[i] = d * d;
    }
    sc.var = pairwise_sum(sq_.data(), m) / static_cast<double>(m);
    if (!(sc.mean >= in_.threshold)) {
        for (std::int32_t q : order_)
            local_[q] = -1;
        return sc;
    }
    bool ones = false, twos = false, other = false;
    for (int d : deg_) {
        ones |= d == 1;
        twos |= d == 2;
        other |= d != 1 && d != 2;
    }
    if (ones && twos && !other) {
        // a path: walk it from the first end the view lists
        int at = static_cast<int>(std::find(deg_.begin(), deg_.end(), 1) - deg_.begin());
        std::uint64_t seen = 0;
        path_.clear();
        while (true) {
            path_.push_back(order_[at]);
            seen |= std::uint64_t{1} << at;
            const std::uint64_t rest = nbmask_[at] & ~seen;
            if (!rest)
                break;
            at = __builtin_ctzll(rest);
        }
        std::copy(path_.begin(), path_.end(), nodes.begin());
        sc.shape = Shape::Linear;
    } else if (twos && !ones && !other) {
        sc.shape = Shape::Circular;
    } else {
        sc.shape = ring_(nbmask_.data(), k, ~std::uint64_t{0}, in_.stop) == 1 ? Shape::Circular : Shape::Nonlinear;
    }
    for (std::int32_t q : order_)
        local_[q] = -1;
    return sc;
}

int RingCheck::operator()(const std::uint64_t *nbmask, int k, std::uint64_t max_steps, const std::atomic<bool> *stop) {
    if (k < 3)
        return 0;
    for (int i = 0; i < k; ++i)
        if ((nbmask[i] & (nbmask[i] - 1)) == 0)
            return 0;  // a qubit with one neighbour lies on no cycle
    const std::uint64_t all = k == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1;
    const std::uint64_t budget = k <= kMaxTable ? std::uint64_t{1} << (k - 1) : max_steps;
    std::uint64_t steps = 0;
    // depth-first from qubit 0, which every such cycle passes
    stack_.clear();
    stack_.push_back({0, nbmask[0]});
    std::uint64_t visited = 1;
    while (!stack_.empty()) {
        Frame &f = stack_.back();
        if (visited == all && (nbmask[f.at] & 1))
            return 1;
        const std::uint64_t cand = f.left & ~visited;
        if (!cand) {
            visited &= ~(std::uint64_t{1} << f.at);
            stack_.pop_back();
            continue;
        }
        if (++steps > budget)
            return k <= kMaxTable ? table(nbmask, k) : -1;
        if ((steps & 0xffff) == 0 && stop && stop->load(std::memory_order_relaxed))
            return -1;
        const int nxt = __builtin_ctzll(cand);
        f.left &= ~(std::uint64_t{1} << nxt);
        visited |= std::uint64_t{1} << nxt;
        stack_.push_back({nxt, nbmask[nxt]});
    }
    return 0;
}

// ends_[S] holds qubit q (bit q - 1) when a path from qubit 0 through
// exactly the qubits of S (bit q - 1 for qubit q) ends at q.
bool RingCheck::table(const std::uint64_t *nbmask, int k) {
    const int m = k - 1;
    const std::uint32_t full = (std::uint32_t{1} << m) - 1;
    ends_.assign(std::size_t{1} << m, 0);
    const auto others = [&](int q) { return static_cast<std::uint32_t>(nbmask[q] >> 1); };
    for (std::uint32_t first = others(0); first; first &= first - 1)
        ends_[first & (~first + 1)] |= first & (~first + 1);
    for (std::uint32_t set = 1; set < full; ++set)
        for (std::uint32_t e = ends_[set]; e; e &= e - 1) {
            const int q = __builtin_ctz(e) + 1;
            for (std::uint32_t next = others(q) & ~set; next; next &= next - 1) {
                const std::uint32_t b = next & (~next + 1);
                ends_[set | b] |= b;
            }
        }
    return (ends_[full] & others(0)) != 0;
}

}  // namespace engines::layout
