// Topological generations of a DAG given as successor lists, in the order
// networkx's topological_generations lists them: the nodes without a
// predecessor in node order first, then, generation after generation, each
// node as the last of its predecessors to be passed reaches it (generations
// in order, each generation's nodes in order, each node's successors in
// their stored order).  No Python here.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace engines::dag {

// Generations flattened: generation k is nodes[off[k] .. off[k+1]).
struct Generations {
    std::vector<std::int32_t> off{0}, nodes;
    std::size_t size() const { return off.size() - 1; }
    std::span<const std::int32_t> operator[](std::size_t k) const {
        return {nodes.data() + off[k], static_cast<std::size_t>(off[k + 1] - off[k])};
    }
};

// The generations of the graph whose node u has the successors
// succ[succ_off[u] .. succ_off[u+1]) and indegree[u] predecessors.  False
// when a cycle leaves nodes out (they are then missing from `out`).
bool generations(std::span<const std::int32_t> succ_off, std::span<const std::int32_t> succ,
                 std::vector<std::int32_t> indegree, Generations &out);

// The generations of the reversed graph as networkx's DiGraph.reverse()
// builds it: each node's successors there are its predecessors here, in node
// order.
bool reverse_generations(std::span<const std::int32_t> succ_off, std::span<const std::int32_t> succ, Generations &out);

}  // namespace engines::dag
