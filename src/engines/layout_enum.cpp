#include "layout_enum.hpp"

#include "set_order.hpp"

#include <algorithm>
#include <cstring>

namespace engines::layout {

namespace {

// Keys stored as runs of int32 in an arena, found by hash; keeps the first
// of equal keys.  A key is a prefix, which many keys share (its hash state
// is computed once), and a suffix; it is written to the arena only when new.
// Stored keys must be self-delimiting (`len_at` gives the length of the key
// stored at a position).
template <class LenAt> class KeySet {
public:
    KeySet(std::vector<std::int32_t> &arena, LenAt len_at) : arena_(arena), len_at_(len_at) {
        slots_.assign(1024, Slot{});
    }

    static constexpr std::uint64_t kSeed = 0x9E3779B97F4A7C15ULL;
    static std::uint64_t feed(std::uint64_t h, const std::int32_t *k, std::size_t len) {
        for (std::size_t i = 0; i < len; ++i) {
            h ^= static_cast<std::uint32_t>(k[i]);
            h *= 0xff51afd7ed558ccdULL;
            h ^= h >> 32;
        }
        return h;
    }

    // Adds prefix + suffix (with `state` = feed(kSeed, prefix)); whether it
    // was new.  A new key is appended to the arena.
    bool insert(std::span<const std::int32_t> prefix, std::uint64_t state, std::span<const std::int32_t> suffix) {
        return insert_hashed(feed(state, suffix.data(), suffix.size()), prefix, suffix);
    }

    // Brings the first slot of a key of hash `h` towards the cache.
    void prefetch(std::uint64_t h) const { __builtin_prefetch(slots_.data() + (h & (slots_.size() - 1))); }

    // insert() with h = feed(kSeed, prefix + suffix).
    bool insert_hashed(std::uint64_t h, std::span<const std::int32_t> prefix, std::span<const std::int32_t> suffix) {
        const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32) | 1u;
        const std::size_t len = prefix.size() + suffix.size();
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            Slot &e = slots_[i];
            if (e.tag == 0) {
                e = Slot{tag, static_cast<std::uint32_t>(arena_.size())};
                arena_.insert(arena_.end(), prefix.begin(), prefix.end());
                arena_.insert(arena_.end(), suffix.begin(), suffix.end());
                if (++count_ * 2 > slots_.size())
                    grow();
                return true;
            }
            if (e.tag == tag && same(e.start, prefix, suffix, len))
                return false;
        }
    }

    // Forgets every key (the arena is the caller's to clear).
    void clear() {
        std::fill(slots_.begin(), slots_.end(), Slot{});
        count_ = 0;
    }

private:
    struct Slot {
        std::uint32_t tag = 0;  // 0: empty
        std::uint32_t start = 0;
    };
    bool same(std::uint32_t start, std::span<const std::int32_t> prefix, std::span<const std::int32_t> suffix,
              std::size_t len) const {
        const std::int32_t *k = arena_.data() + start;
        return len_at_(k) == len && std::equal(prefix.begin(), prefix.end(), k) &&
               std::equal(suffix.begin(), suffix.end(), k + prefix.size());
    }
    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(old.size() * 2, Slot{});
        const std::size_t mask = slots_.size() - 1;
        for (const Slot &s : old)
            if (s.tag != 0) {
                const std::int32_t *k = arena_.data() + s.start;
                std::size_t i = feed(kSeed, k, len_at_(k)) & mask;
                while (slots_[i].tag != 0)
                    i = (i + 1) & mask;
                slots_[i] = s;
            }
    }

    std::vector<std::int32_t> &arena_;
    LenAt len_at_;
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// A record's length in the arena: |pre|, pre, |mid|, mid.
struct RecordLen {
    std::size_t operator()(const std::int32_t *p) const {
        return 2 + static_cast<std::size_t>(p[0]) + static_cast<std::size_t>(p[1 + p[0]]);
    }
};
// A collected set's length: n.
struct FixedLen {
    std::size_t n;
    std::size_t operator()(const std::int32_t *) const { return n; }
};

// Everything one start qubit's growth needs.
class Growth {
public:
    Growth(const Chip &chip, std::int32_t s, int n, Budget &budget)
        : chip_(chip), s_(s), n_(n), budget_(budget), above_(chip.size(), 0), is_key_(chip.size(), 0),
          mark_(chip.size(), 0), seen_(chip.size(), 0), ints_(true) {
        const std::int64_t sv = chip.value[s];
        for (std::int32_t u = 0; u < chip.size(); ++u)
            above_[u] = chip.value[u] > sv;
        connect_map();
    }

    void run(StartSets &out);
    std::int64_t taken() const { return taken_; }

private:
    // Neighbours of q above the start qubit, in adjacency order.
    template <class F> void each_above(std::int32_t q, F &&f) const {
        for (std::int32_t w : chip_.nbrs(q))
            if (above_[w])
                f(w);
    }

    // The qubits of the connectivity map: the start qubit and those of
    // levels 1 to n-2.  A level repeating an earlier one (as a set) adds
    // nothing new from there on.
    void connect_map() {
        is_key_[s_] = 1;
        nkeys_ = 1;
        std::vector<std::int32_t> level;
        each_above(s_, [&](std::int32_t w) { level.push_back(w); });
        std::vector<std::vector<std::int32_t>> seen;
        std::vector<std::int32_t> next, sorted;
        for (int it = 0; it < n_ - 2; ++it) {
            for (std::int32_t q : level)
                if (!is_key_[q]) {
                    is_key_[q] = 1;
                    ++nkeys_;
                }
            sorted = level;
            std::sort(sorted.begin(), sorted.end());
            sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
            seen.push_back(sorted);
            next.clear();
            for (std::int32_t q : level)
                each_above(q, [&](std::int32_t w) { next.push_back(w); });
            set_list(next, level);
            sorted = level;
            std::sort(sorted.begin(), sorted.end());
            if (std::find(seen.begin(), seen.end(), sorted) != seen.end())
                break;
        }
    }

    // list(set(qubits)): the distinct qubits in set iteration order.
    // Distinct qubits have distinct values, so the first occurrences are
    // the keys added.
    void set_list(const std::vector<std::int32_t> &qubits, std::vector<std::int32_t> &out) {
        out.clear();
        for (std::int32_t q : qubits)
            if (!seen_[q]) {
                seen_[q] = 1;
                out.push_back(q);
            }
        for (std::int32_t q : out)
            seen_[q] = 0;
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

    void process(const std::int32_t *rec);
    void collect(std::span<const std::int32_t> set, std::span<const std::int32_t> more);
    void add_first_pending();
    void account();
    void children(const std::vector<std::int32_t> &set, std::span<const std::int32_t> mid);

    const Chip &chip_;
    const std::int32_t s_;
    const int n_;
    Budget &budget_;
    std::vector<std::uint8_t> above_, is_key_, mark_;
    int nkeys_ = 0;
    std::vector<std::uint8_t> seen_;
    setorder::SetOrder ints_;
    setorder::SmallSetOrder small_;

    // the records of this pass and of the next: |pre|, pre (by index), |mid|, mid
    std::vector<std::int32_t> arena_, next_arena_;
    KeySet<RecordLen> kept_{next_arena_, RecordLen{}};
    std::vector<std::int32_t> found_;  // collected sets, n each, by value
    KeySet<FixedLen> found_keys_{found_, FixedLen{static_cast<std::size_t>(n_)}};
    std::vector<std::int32_t> set_, by_value_, mid_, cc_, mm_, out_, pos_, head_, tail_, more_, leaf_;
    std::int64_t taken_ = 0;
    std::vector<std::int32_t> tails_;  // a record's next records waiting: |mid|, mid
    std::vector<std::uint64_t> tail_hash_;
    // collected sets not yet added: a ring of kPending sets of n qubits
    static constexpr std::size_t kPending = 8;
    std::vector<std::int32_t> queue_ = std::vector<std::int32_t>(kPending * static_cast<std::size_t>(n_));
    std::uint64_t queue_hash_[kPending] = {};
    std::size_t first_ = 0, pending_ = 0;
};

// Collects the qubits of `by_value` (sorted by value) and `more` (disjoint
// from them), sorted by value.
// The sets wait in a short queue, their first slot fetched meanwhile, and
// are added in the order collected.
void Growth::collect(std::span<const std::int32_t> by_value, std::span<const std::int32_t> more) {
    const auto less = [&](std::int32_t a, std::int32_t b) { return chip_.value[a] < chip_.value[b]; };
    more_.assign(more.begin(), more.end());
    for (std::size_t i = 1; i < more_.size(); ++i)  // a few qubits: insertion sort
        for (std::size_t j = i; j > 0 && less(more_[j], more_[j - 1]); --j)
            std::swap(more_[j], more_[j - 1]);
    if (pending_ == kPending)
        add_first_pending();
    const std::size_t at = (first_ + pending_) % kPending;
    std::int32_t *leaf = queue_.data() + at * static_cast<std::size_t>(n_);
    std::merge(by_value.begin(), by_value.end(), more_.begin(), more_.end(), leaf, less);
    queue_hash_[at] = decltype(found_keys_)::feed(decltype(found_keys_)::kSeed, leaf, static_cast<std::size_t>(n_));
    found_keys_.prefetch(queue_hash_[at]);
    ++pending_;
}

void Growth::add_first_pending() {
    const std::int32_t *leaf = queue_.data() + first_ * static_cast<std::size_t>(n_);
    found_keys_.insert_hashed(queue_hash_[first_], {}, {leaf, static_cast<std::size_t>(n_)});
    first_ = (first_ + 1) % kPending;
    --pending_;
}

// One record (never of n qubits: those are collected when made): its next
// records.
void Growth::process(const std::int32_t *p) {
    const std::int32_t npre = p[0];
    const std::int32_t nmid = p[1 + npre];
    set_.assign(p + 1, p + 1 + npre);
    mid_.assign(p + 2 + npre, p + 2 + npre + nmid);
    set_.insert(set_.end(), mid_.begin(), mid_.end());  // mid holds no qubit of pre
    std::sort(set_.begin(), set_.end());
    by_value_ = set_;
    std::sort(by_value_.begin(), by_value_.end(),
              [&](std::int32_t a, std::int32_t b) { return chip_.value[a] < chip_.value[b]; });
    for (std::int32_t q : set_)
        mark_[q] = 1;
    children(set_, mid_);
    for (std::int32_t q : set_)
        mark_[q] = 0;
}

void Growth::run(StartSets &out) {
    if (n_ == 1) {
        collect(std::span<const std::int32_t>(&s_, 1), {});
        out.records = 1;
    } else {
        // the first record: nothing fixed, the start qubit added
        arena_ = {0, 1, s_};
        for (int pass = 0; pass < n_ && !arena_.empty(); ++pass) {
            for (std::size_t at = 0; at < arena_.size(); at += RecordLen{}(arena_.data() + at)) {
                process(arena_.data() + at);
                ++out.records;
                if ((out.records & 1023) == 0) {
                    if (budget_.stop.load(std::memory_order_relaxed))
                        return;
                    account();
                }
            }
            arena_.swap(next_arena_);
            next_arena_.clear();
            kept_.clear();
        }
    }
    while (pending_ > 0)
        add_first_pending();
    account();
    // list(set(collect)): the tuples in set order, filled in first-collection order
    const std::size_t count = found_.size() / static_cast<std::size_t>(n_);
    if (count == 0)
        return;
    setorder::SetOrder tuples(false);
    std::vector<std::int64_t> hashes(count);
    for (std::size_t c = 0; c < count; ++c) {
        const std::int32_t *set = found_.data() + c * static_cast<std::size_t>(n_);
        hashes[c] = setorder::tuple_hash(set, set + n_, [&](std::int32_t q) { return chip_.value[q]; });
    }
    constexpr std::size_t kAhead = 8;
    for (std::size_t c = 0; c < count; ++c) {
        if (c + kAhead < count)
            tuples.prefetch(hashes[c + kAhead]);
        tuples.add(hashes[c], static_cast<std::int32_t>(c));
    }
    std::vector<std::int32_t> order;
    order.reserve(count);
    tuples.order(order);
    out.nodes.reserve(found_.size());
    for (std::int32_t c : order)
        out.nodes.insert(out.nodes.end(), found_.begin() + static_cast<std::ptrdiff_t>(c) * n_,
                         found_.begin() + static_cast<std::ptrdiff_t>(c + 1) * n_);
}

// Charges the memory held now against the shared budget.
void Growth::account() {
    const auto words = static_cast<std::int64_t>(arena_.size() + next_arena_.size() + found_.size());
    if (words > taken_)
        budget_.take(words - taken_);
    else
        budget_.words.fetch_sub(taken_ - words, std::memory_order_relaxed);
    taken_ = words;
}

// The next records of a record with qubits `set` (sorted by index) that
// added `mid`: every combination of the qubits listed beside `mid`, less the
// qubits already fixed, that adds a qubit.  Two combinations that differ
// only in fixed qubits make the same record, and the first of them is the
// combination of the new qubits alone, so the combinations of the unfixed
// qubits (itertools order, by size) give the distinct records in order.  A
// record of n qubits is collected at once: it would only be collected in the
// next pass, where nothing else is collected before it.
void Growth::children(const std::vector<std::int32_t> &set, std::span<const std::int32_t> mid) {
    cc_.clear();
    for (std::int32_t m : mid)
        if (is_key_[m])
            each_above(m, [&](std::int32_t w) { cc_.push_back(w); });
    set_list(cc_, mm_);
    const int cut = n_ - static_cast<int>(set.size());
    const int bound = std::min({cut, nkeys_, static_cast<int>(mm_.size())});
    out_.clear();
    for (std::int32_t q : mm_)
        if (!mark_[q])
            out_.push_back(q);
    const int m = static_cast<int>(out_.size());
    const int top = std::min(bound, m);
    head_.assign(1, static_cast<std::int32_t>(set.size()));
    head_.insert(head_.end(), set.begin(), set.end());
    const std::uint64_t state = decltype(kept_)::feed(decltype(kept_)::kSeed, head_.data(), head_.size());
    for (int k = 1; k <= top; ++k) {
        pos_.resize(k);
        for (int i = 0; i < k; ++i)
            pos_[i] = i;
        tail_.resize(static_cast<std::size_t>(k) + 1);
        tail_[0] = k;
        while (true) {
            for (int i = 0; i < k; ++i)
                tail_[1 + i] = out_[pos_[i]];
            if (k == cut) {
                collect(by_value_, std::span<const std::int32_t>(tail_).subspan(1));
            } else {  // added below, in this order, once their slots are fetched
                tail_hash_.push_back(decltype(kept_)::feed(state, tail_.data(), tail_.size()));
                kept_.prefetch(tail_hash_.back());
                tails_.insert(tails_.end(), tail_.begin(), tail_.end());
            }
            // next combination of k positions out of m
            int i = k - 1;
            while (i >= 0 && pos_[i] == m - k + i)
                --i;
            if (i < 0)
                break;
            ++pos_[i];
            for (int j = i + 1; j < k; ++j)
                pos_[j] = pos_[j - 1] + 1;
        }
    }
    std::size_t at = 0;
    for (std::uint64_t h : tail_hash_) {
        const auto len = static_cast<std::size_t>(tails_[at]) + 1;
        kept_.insert_hashed(h, head_, {tails_.data() + at, len});
        at += len;
    }
    tails_.clear();
    tail_hash_.clear();
}

}  // namespace

void enumerate_start(const Chip &chip, std::int32_t s, int n, StartSets &out, Budget &budget) {
    out = StartSets{};
    if (n < 1)
        return;
    Growth g(chip, s, n, budget);
    g.run(out);
    // the records go; the sets stay
    budget.words.fetch_sub(g.taken(), std::memory_order_relaxed);
    budget.take(static_cast<std::int64_t>(out.nodes.size()));
}

}  // namespace engines::layout
