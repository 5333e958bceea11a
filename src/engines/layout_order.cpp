#include "layout_order.hpp"

#include <algorithm>

namespace engines::layout {

void SetList::operator()(const std::vector<std::int32_t> &qubits, std::vector<std::int32_t> &out) {
    out.clear();
    for (std::int32_t q : qubits)
        if (!seen_[q]) {
            seen_[q] = 1;
            out.push_back(q);
        }
    for (std::int32_t q : out)
        seen_[q] = 0;
    // distinct qubits have distinct values: the first occurrences are the keys added
    if (out.size() <= setorder::SmallSetOrder::kMaxKeys) {
        small_.reset();
        for (std::int32_t q : out)
            small_.add_new(chip_.value[q], q);
        out.clear();
        small_.order(out);
    } else {
        ints_.reset();
        for (std::int32_t q : out)
            ints_.add(chip_.value[q], q);
        out.clear();
        ints_.order(out);
    }
}

namespace {

constexpr std::uint64_t bit(int j) { return std::uint64_t{1} << (j & 63); }

std::uint64_t hash_of(std::span<const std::int32_t> mid) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL;
    for (std::int32_t q : mid) {
        h ^= static_cast<std::uint32_t>(q);
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 32;
    }
    return h;
}

}  // namespace

std::span<const std::int32_t> MidLists::of(std::span<const std::int32_t> mid) {
    const std::uint64_t h = hash_of(mid);
    std::size_t mask = slots_.size() - 1, i = h & mask;
    for (; slots_[i] != 0; i = (i + 1) & mask) {
        const std::int32_t *k = arena_.data() + (slots_[i] - 1);
        if (static_cast<std::size_t>(k[0]) == mid.size() && std::equal(mid.begin(), mid.end(), k + 1)) {
            const std::int32_t *mm = k + 1 + k[0];
            return {mm + 1, static_cast<std::size_t>(mm[0])};
        }
    }
    cc_.clear();
    for (std::int32_t m : mid)
        for (std::int32_t q : chip_.nbrs(m))
            if (above_[q])
                cc_.push_back(q);
    set_list_(cc_, mm_);
    const std::size_t words = 2 + mid.size() + mm_.size();
    if (arena_.size() + words > kMaxWords)
        return mm_;                          // not kept
    if ((count_ + 1) * 2 > slots_.size()) {  // grow the table
        std::vector<std::uint32_t> old;
        old.swap(slots_);
        slots_.assign(old.size() * 2, 0);
        mask = slots_.size() - 1;
        for (std::uint32_t at : old)
            if (at != 0) {
                const std::int32_t *k = arena_.data() + (at - 1);
                std::size_t j = hash_of({k + 1, static_cast<std::size_t>(k[0])}) & mask;
                while (slots_[j] != 0)
                    j = (j + 1) & mask;
                slots_[j] = at;
            }
        i = h & mask;
        while (slots_[i] != 0)
            i = (i + 1) & mask;
    }
    slots_[i] = static_cast<std::uint32_t>(arena_.size() + 1);
    ++count_;
    arena_.push_back(static_cast<std::int32_t>(mid.size()));
    arena_.insert(arena_.end(), mid.begin(), mid.end());
    arena_.push_back(static_cast<std::int32_t>(mm_.size()));
    arena_.insert(arena_.end(), mm_.begin(), mm_.end());
    return mm_;
}

FirstCollection::FirstCollection(const Chip &chip, std::int32_t start, int n)
    : chip_(chip), start_(start), n_(n), nw_((n + 63) / 64), above_(static_cast<std::size_t>(chip.size()), 0),
      local_(static_cast<std::size_t>(chip.size()), -1), one_bit_(n <= 64 ? local_.size() : 0, 0), mids_(chip, above_) {
    for (std::int32_t u = 0; u < chip.size(); ++u)
        above_[u] = chip.value[u] > chip.value[start];
    const auto words = static_cast<std::size_t>(nw_);
    adj_.assign(static_cast<std::size_t>(n) * words, 0);
    reach_.assign(static_cast<std::size_t>(n) * words, 0);
    suffix_.assign(static_cast<std::size_t>(n + 1) * words, 0);
    acc_.assign(static_cast<std::size_t>(n + 1) * words, 0);
    tmp_.assign(8 * words, 0);
}

void FirstCollection::key(const std::int32_t *set, std::uint32_t *out) {
    if (nw_ == 1)
        key_words<1>(set, out);
    else
        key_words<0>(set, out);
}

// Adds to `seen` up to `radius` layers of neighbours inside `within`;
// returns the number of layers added.
template <int NW> int FirstCollection::grow(std::uint64_t *seen, const std::uint64_t *within, int radius) {
    const int nw = NW ? NW : nw_;
    std::uint64_t *frontier = row(tmp_, 3), *next = row(tmp_, 4);
    std::copy_n(seen, nw, frontier);
    for (int t = 0; t < radius; ++t) {
        std::fill_n(next, nw, 0);
        for (int w = 0; w < nw; ++w)
            for (std::uint64_t bits = frontier[w]; bits; bits &= bits - 1) {
                const std::uint64_t *a = adj_.data() + static_cast<std::size_t>(w * 64 + __builtin_ctzll(bits)) * nw;
                for (int v = 0; v < nw; ++v)
                    next[v] |= a[v];
            }
        bool any = false;
        for (int w = 0; w < nw; ++w) {
            next[w] &= within[w] & ~seen[w];
            seen[w] |= next[w];
            any = any || next[w] != 0;
        }
        if (!any)
            return t;
        std::copy_n(next, nw, frontier);
    }
    return radius;
}

template <int NW> void FirstCollection::key_words(const std::int32_t *set, std::uint32_t *out) {
    const int n = n_, nw = NW ? NW : nw_;
    for (int i = 0; i < n; ++i)
        local_[set[i]] = i;
    if constexpr (NW == 1) {  // without branches: each qubit's bit, 0 outside the set
        for (int i = 0; i < n; ++i)
            one_bit_[set[i]] = bit(i);
        for (int i = 0; i < n; ++i) {
            std::uint64_t a = 0;
            for (std::int32_t q : chip_.nbrs(set[i]))
                a |= one_bit_[q];
            adj_[i] = a;
        }
    } else {
        std::fill_n(adj_.data(), static_cast<std::size_t>(n) * nw, 0);
        for (int i = 0; i < n; ++i) {
            std::uint64_t *a = adj_.data() + static_cast<std::size_t>(i) * nw;
            for (std::int32_t q : chip_.nbrs(set[i]))
                if (const int j = local_[q]; j >= 0)
                    a[j >> 6] |= bit(j);
        }
    }
    std::uint64_t *fixed = row(tmp_, 0), *rest = row(tmp_, 1), *all = row(tmp_, 2), *seen = row(tmp_, 7);
    std::fill_n(all, nw, 0);
    for (int i = 0; i < n; ++i)
        all[i >> 6] |= bit(i);
    std::fill_n(seen, nw, 0);
    seen[0] = 1;
    const int steps = grow<NW>(seen, all, n);
    std::size_t at = 0;
    out[at++] = static_cast<std::uint32_t>(steps);
    std::fill_n(fixed, nw, 0);
    fixed[0] = 1;
    mid_.assign(1, set[0]);
    for (int left = steps; left > 0; --left) {
        const std::span<const std::int32_t> mm = mids_.of(mid_);
        cands_.clear();
        for (std::size_t p = 0; p < mm.size(); ++p)
            if constexpr (NW == 1) {
                if (const std::uint64_t b = one_bit_[mm[p]] & ~fixed[0])
                    cands_.push_back({static_cast<std::uint32_t>(p), __builtin_ctzll(b)});
            } else if (const int j = local_[mm[p]]; j >= 0 && !((fixed[j >> 6] >> (j & 63)) & 1)) {
                cands_.push_back({static_cast<std::uint32_t>(p), j});
            }
        for (int w = 0; w < nw; ++w)
            rest[w] = all[w] & ~fixed[w];
        if (left == 1 || cands_.size() == 1) {  // the rest at once, or the one way on
            chosen_.resize(cands_.size());
            for (std::size_t c = 0; c < cands_.size(); ++c)
                chosen_[c] = static_cast<std::int32_t>(c);
        } else {
            choose<NW>(left - 1, rest);
        }
        out[at++] = static_cast<std::uint32_t>(chosen_.size());
        mid_.clear();
        for (std::int32_t c : chosen_) {
            const Candidate &x = cands_[static_cast<std::size_t>(c)];
            out[at++] = x.at;
            fixed[x.qubit >> 6] |= bit(x.qubit);
            mid_.push_back(set[x.qubit]);
        }
    }
    while (at < stride(n))
        out[at++] = 0;
    for (int i = 0; i < n; ++i)
        local_[set[i]] = -1;
    if constexpr (NW == 1)
        for (int i = 0; i < n; ++i)
            one_bit_[set[i]] = 0;
}

// chosen_ = the smallest combination of cands_ (by size, then positions)
// after which every qubit of `rest` lies within `reach` steps of it inside
// `rest`.  A qubit that only one candidate reaches forces that candidate.
template <int NW> void FirstCollection::choose(int reach, const std::uint64_t *rest) {
    const int nw = NW ? NW : nw_;
    const int m = static_cast<int>(cands_.size());
    std::uint64_t *once = row(tmp_, 5), *twice = row(tmp_, 6);
    std::fill_n(once, nw, 0);
    std::fill_n(twice, nw, 0);
    for (int i = 0; i < m; ++i) {
        std::uint64_t *r = row(reach_, i);
        std::fill_n(r, nw, 0);
        r[cands_[i].qubit >> 6] |= bit(cands_[i].qubit);
        grow<NW>(r, rest, reach);
        for (int w = 0; w < nw; ++w) {
            twice[w] |= once[w] & r[w];
            once[w] = (once[w] | r[w]) & ~twice[w];
        }
    }
    next_forced_.assign(static_cast<std::size_t>(m) + 1, m);
    int forced = 0;
    std::uint64_t *acc = row(acc_, 0);
    std::fill_n(acc, nw, 0);
    chosen_.clear();
    std::fill_n(row(suffix_, m), nw, 0);
    for (int i = m - 1; i >= 0; --i) {
        const std::uint64_t *r = row(reach_, i);
        bool alone = false;
        for (int w = 0; w < nw; ++w)
            alone = alone || (r[w] & once[w]) != 0;
        next_forced_[i] = alone ? i : next_forced_[i + 1];
        std::uint64_t *s = row(suffix_, i);
        const std::uint64_t *after = row(suffix_, i + 1);
        for (int w = 0; w < nw; ++w)
            s[w] = after[w] | r[w];
        if (alone) {
            ++forced;
            for (int w = 0; w < nw; ++w)
                acc[w] |= r[w];
        }
    }
    if (std::equal(acc, acc + nw, rest)) {  // the forced candidates alone
        for (int i = next_forced_[0]; i < m; i = next_forced_[i + 1])
            chosen_.push_back(i);
        return;
    }
    std::fill_n(acc, nw, 0);
    for (int size = forced + 1; size <= m; ++size) {
        chosen_.assign(static_cast<std::size_t>(size), 0);
        if (pick<NW>(0, 0, size, rest))
            return;
    }
    chosen_.clear();  // unreachable for a connected set
}

// Picks candidates depth.. of a combination of `size`, from `from` on, in
// itertools order; whether one covers `rest`.
template <int NW> bool FirstCollection::pick(int from, int depth, int size, const std::uint64_t *rest) {
    const int nw = NW ? NW : nw_;
    const int m = static_cast<int>(cands_.size());
    const std::uint64_t *acc = row(acc_, depth);
    if (depth == size)
        return std::equal(acc, acc + nw, rest);
    const std::uint64_t *left = row(suffix_, from);
    for (int w = 0; w < nw; ++w)
        if ((acc[w] | left[w]) != rest[w])
            return false;
    std::uint64_t *next = row(acc_, depth + 1);
    for (int j = from; j <= m - (size - depth); ++j) {
        if (next_forced_[from] < j)
            break;  // a forced candidate would be left out
        const std::uint64_t *r = row(reach_, j);
        for (int w = 0; w < nw; ++w)
            next[w] = acc[w] | r[w];
        chosen_[static_cast<std::size_t>(depth)] = j;
        if (pick<NW>(j + 1, depth + 1, size, rest))
            return true;
    }
    return false;
}

}  // namespace engines::layout
