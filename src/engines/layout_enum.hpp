// Connected qubit sets of a chip graph, grown from their smallest qubit.
//
// The sets of n qubits whose smallest qubit is s are listed as the growth
// of Layout's enumeration lists them: in the iteration order of the Python
// set of their tuples (ascending qubits), filled in the order in which the
// growth first collects each set.  That growth reaches a set along many
// orders of adding its qubits; here each set is made once (extension sets
// grown from s over qubits above it, every connected set found from exactly
// one branch), its first collection found by layout_order.hpp, and the sets
// sorted by it.  What is held stays in proportion to the number of sets.
// Set orders are those of the interpreter, emulated by set_order.hpp.  No
// Python here.
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
    std::size_t count(int n) const { return n > 0 ? nodes.size() / static_cast<std::size_t>(n) : 0; }
};

// Thrown when the sets would pass the memory budget.
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
