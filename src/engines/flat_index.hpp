// A map from 64-bit keys (pairs of numbers, addresses) to 32-bit values.
//
// Open addressing with linear probing: a look-up touches one or two cache
// lines where a node-based map chases pointers, which is what a pass over
// every node and edge of a large graph pays for.  No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace engines {

class FlatIndex {
public:
    static constexpr std::int32_t kAbsent = -1;

    void reserve(std::size_t n);
    // The value of key, kAbsent when absent.
    std::int32_t find(std::uint64_t key) const;
    // Sets key's value; false (nothing changed) where key is there already.
    bool insert(std::uint64_t key, std::int32_t value);
    void erase(std::uint64_t key);

private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    struct Slot {
        std::uint64_t key = kEmpty;
        std::int32_t value = kAbsent;
    };
    std::size_t home(std::uint64_t key) const {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        return static_cast<std::size_t>(key) & mask_;
    }
    void grow();

    std::vector<Slot> slots_;
    std::size_t mask_ = 0, used_ = 0;
};

}  // namespace engines
