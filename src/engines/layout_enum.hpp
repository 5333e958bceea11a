// Connected qubit sets of a chip graph, grown from their smallest qubit.
//
// A candidate set of n qubits is found from its smallest qubit s by growth
// records: a record fixes the qubits `pre` and adds the list `mid`; its next
// additions are the combinations (itertools order, at most n - |pre ∪ mid|
// qubits each) of the set of qubits listed, above s, beside the qubits of
// `mid`.  Records are processed pass by pass, n passes; a record whose
// qubits reach n is collected as the tuple of its qubits in ascending order,
// and the candidates of s are listed in the iteration order of the Python
// set of those tuples, filled in first-collection order.
//
// Two records with the same (pre ∪ mid, mid) have the same descendants in
// the same order, so only the first one of a pass is kept: what a later one
// would collect was collected before, and first-collection order is
// unchanged.  The records of a pass are dropped once the next pass is made.
// Set orders (of the neighbour lists and of the tuples) are those of the
// interpreter, emulated by set_order.hpp.  No Python here.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace engines::layout {

// A chip graph: node values in the graph's node order (non-negative ints
// below 2**60, each node's Python hash), neighbours in adjacency order as
// node indices (CSR).  No self-loops.
struct Chip {
    std::vector<std::int64_t> value;
    std::vector<std::int32_t> adj_off{0}, adj;

    std::int32_t size() const { return static_cast<std::int32_t>(value.size()); }
    std::span<const std::int32_t> nbrs(std::int32_t u) const {
        return {adj.data() + adj_off[u], static_cast<std::size_t>(adj_off[u + 1] - adj_off[u])};
    }
    bool operator==(const Chip &) const = default;
};

// The candidates of one start qubit: `n` node indices each, sorted by value,
// listed in their final order.
struct StartSets {
    std::vector<std::int32_t> nodes;
    std::uint64_t records = 0;  // growth records processed
    std::size_t count(int n) const { return n > 0 ? nodes.size() / static_cast<std::size_t>(n) : 0; }
};

// Thrown when the sets and records would pass the memory budget.
struct TooMany : std::runtime_error {
    TooMany() : std::runtime_error("too many connected qubit sets") {}
};

// Shared across the threads of one enumeration: the stop request and the
// number of int32 words held, against `budget`.
struct Budget {
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> words{0};
    std::int64_t limit = std::int64_t{1} << 29;  // 2 GiB of int32
    void take(std::int64_t w) {
        if (words.fetch_add(w, std::memory_order_relaxed) + w > limit)
            throw TooMany();
    }
};

// The candidates of start qubit `s` for `n` qubits (n >= 1).  Returns early,
// with partial results, once `budget.stop` is set.
void enumerate_start(const Chip &chip, std::int32_t s, int n, StartSets &out, Budget &budget);

}  // namespace engines::layout
