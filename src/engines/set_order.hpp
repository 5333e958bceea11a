// The iteration order of a CPython 3.11 set built by adding keys one by one.
//
// A set is an open-addressing table of 8 slots at first; a key goes to slot
// hash & mask, then to the next 9 slots when they fit in the table, then
// jumps by i = i*5 + 1 + (perturb >>= 5); once fill*5 >= mask*3 the table
// grows to the smallest power of two above 4*used (2*used past 50000 keys)
// and the old slots are re-inserted in table order.  Iteration walks the
// slots in order.  Without deletions (the sets emulated here never delete)
// this fixes the order completely from the keys' hashes and insertion order.
//
// Hashes are those of the interpreter: a non-negative int below 2**61 - 1
// hashes to itself; `tuple_hash` is the hash of a tuple of such ints.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace engines::setorder {

// hash((v0, v1, ...)) of a tuple of non-negative ints below 2**61 - 1, the
// values of [first, last) through `value`.
template <class It, class Value> std::int64_t tuple_hash(It first, It last, Value value) {
    constexpr std::uint64_t p1 = 11400714785074694791ULL, p2 = 14029467366897019727ULL, p5 = 2870177450012600261ULL;
    std::uint64_t acc = p5;
    std::uint64_t len = 0;
    for (; first != last; ++first, ++len) {
        acc += static_cast<std::uint64_t>(value(*first)) * p2;
        acc = (acc << 31) | (acc >> 33);
        acc *= p1;
    }
    acc += len ^ (p5 ^ 3527539ULL);
    if (acc == ~std::uint64_t{0})
        return 1546275796;
    return static_cast<std::int64_t>(acc);
}

// Adds keys and reports the set's iteration order.  Keys are identified by
// an id (any int32); with `equal_hash_same_key` two keys of one hash are the
// same key (true for ints), otherwise every added key is new (the caller
// adds distinct keys only).
class SetOrder {
public:
    explicit SetOrder(bool equal_hash_same_key) : same_(equal_hash_same_key) { reset(); }

    void reset() {
        slots_.assign(8, Slot{});
        mask_ = 7;
        fill_ = 0;
    }

    // Adds a key; returns false when it was there already.
    bool add(std::int64_t hash, std::int32_t id) {
        const std::uint64_t h = static_cast<std::uint64_t>(hash);
        std::uint64_t perturb = h;
        std::size_t i = h & mask_;
        while (true) {
            int probes = (i + kLinearProbes <= mask_) ? kLinearProbes : 0;
            std::size_t j = i;
            do {
                Slot &e = slots_[j];
                if (!e.used) {
                    e = Slot{hash, id, true};
                    ++fill_;
                    if (fill_ * 5 >= mask_ * 3)
                        grow();
                    return true;
                }
                if (same_ && e.hash == hash)
                    return false;
                ++j;
            } while (probes--);
            perturb >>= 5;
            i = (i * 5 + 1 + perturb) & mask_;
        }
    }

    std::size_t size() const { return fill_; }

    // Brings the first slot of a key of this hash towards the cache.
    void prefetch(std::int64_t hash) const {
        __builtin_prefetch(slots_.data() + (static_cast<std::uint64_t>(hash) & mask_));
    }

    // The ids in iteration order.
    template <class Out> void order(Out &out) const {
        for (const Slot &s : slots_)
            if (s.used)
                out.push_back(s.id);
    }

private:
    static constexpr int kLinearProbes = 9;
    struct Slot {
        std::int64_t hash = 0;
        std::int32_t id = 0;
        bool used = false;
    };

    void grow() {
        const std::size_t used = fill_;
        const std::size_t minused = used > 50000 ? used * 2 : used * 4;
        std::size_t size = 8;
        while (size <= minused)
            size <<= 1;
        spare_.swap(slots_);  // the old slots; both buffers keep their memory
        slots_.assign(size, Slot{});
        mask_ = size - 1;
        for (const Slot &s : spare_)
            if (s.used)
                insert_clean(s);
    }

    void insert_clean(const Slot &s) {
        const std::uint64_t h = static_cast<std::uint64_t>(s.hash);
        std::uint64_t perturb = h;
        std::size_t i = h & mask_;
        while (true) {
            if (!slots_[i].used) {
                slots_[i] = s;
                return;
            }
            if (i + kLinearProbes <= mask_)
                for (std::size_t j = 1; j <= static_cast<std::size_t>(kLinearProbes); ++j)
                    if (!slots_[i + j].used) {
                        slots_[i + j] = s;
                        return;
                    }
            perturb >>= 5;
            i = (i * 5 + 1 + perturb) & mask_;
        }
    }

    std::vector<Slot> slots_, spare_;
    std::size_t mask_ = 7;
    std::size_t fill_ = 0;
    bool same_;
};

// The same order for sets of at most kMaxKeys distinct keys, in fixed
// arrays: a table for that many keys never passes 128 slots.
class SmallSetOrder {
public:
    static constexpr std::size_t kMaxKeys = 64;

    void reset() {
        std::fill_n(id_, 8, -1);
        mask_ = 7;
        fill_ = 0;
    }

    // Adds a key that is not in the set (ids are non-negative).
    void add_new(std::int64_t hash, std::int32_t id) {
        place(hash, id);
        if (++fill_ * 5 >= mask_ * 3)
            grow();
    }

    // The ids in iteration order.
    template <class Out> void order(Out &out) const {
        for (std::size_t i = 0; i <= mask_; ++i)
            if (id_[i] >= 0)
                out.push_back(id_[i]);
    }

private:
    static constexpr std::size_t kSlots = 256;
    static constexpr std::size_t kLinearProbes = 9;

    // Into the first free slot of the key's probe sequence.
    void place(std::int64_t hash, std::int32_t id) {
        const std::uint64_t h = static_cast<std::uint64_t>(hash);
        std::uint64_t perturb = h;
        std::size_t i = h & mask_;
        while (true) {
            if (id_[i] < 0)
                return put(i, hash, id);
            if (i + kLinearProbes <= mask_)
                for (std::size_t j = 1; j <= kLinearProbes; ++j)
                    if (id_[i + j] < 0)
                        return put(i + j, hash, id);
            perturb >>= 5;
            i = (i * 5 + 1 + perturb) & mask_;
        }
    }
    void put(std::size_t i, std::int64_t hash, std::int32_t id) {
        hash_[i] = hash;
        id_[i] = id;
    }

    void grow() {
        std::size_t size = 8;
        while (size <= fill_ * 4)
            size <<= 1;
        std::int64_t old_hash[kSlots];
        std::int32_t old_id[kSlots];
        const std::size_t old_size = mask_ + 1;
        std::copy_n(hash_, old_size, old_hash);
        std::copy_n(id_, old_size, old_id);
        std::fill_n(id_, size, -1);
        mask_ = size - 1;
        for (std::size_t i = 0; i < old_size; ++i)
            if (old_id[i] >= 0)
                place(old_hash[i], old_id[i]);
    }

    std::int64_t hash_[kSlots];
    std::int32_t id_[kSlots];
    std::size_t mask_ = 7;
    std::size_t fill_ = 0;
};

}  // namespace engines::setorder
