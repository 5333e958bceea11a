// Topological generations; see dag_order.hpp.
#include "dag_order.hpp"

#include <utility>

namespace engines::dag {

bool generations(std::span<const std::int32_t> succ_off, std::span<const std::int32_t> succ,
                 std::vector<std::int32_t> indegree, Generations &out) {
    const auto n = static_cast<std::int32_t>(indegree.size());
    out.off.assign(1, 0);
    out.nodes.clear();
    out.nodes.reserve(indegree.size());
    for (std::int32_t v = 0; v < n; ++v)
        if (indegree[v] == 0)
            out.nodes.push_back(v);
    std::size_t begin = 0;
    while (begin < out.nodes.size()) {
        const std::size_t end = out.nodes.size();
        out.off.push_back(static_cast<std::int32_t>(end));
        for (std::size_t i = begin; i < end; ++i) {
            const std::int32_t u = out.nodes[i];
            for (std::int32_t e = succ_off[u]; e < succ_off[u + 1]; ++e)
                if (--indegree[succ[e]] == 0)
                    out.nodes.push_back(succ[e]);
        }
        begin = end;
    }
    return out.nodes.size() == indegree.size();
}

bool reverse_generations(std::span<const std::int32_t> succ_off, std::span<const std::int32_t> succ, Generations &out) {
    const std::size_t n = succ_off.size() - 1;
    std::vector<std::int32_t> off(n + 1, 0), adj(succ.size()), indegree(n);
    for (std::int32_t v : succ)
        ++off[v + 1];
    for (std::size_t v = 0; v < n; ++v) {
        off[v + 1] += off[v];
        indegree[v] = succ_off[v + 1] - succ_off[v];
    }
    std::vector<std::int32_t> fill(off.begin(), off.end() - 1);
    for (std::size_t u = 0; u < n; ++u)
        for (std::int32_t e = succ_off[u]; e < succ_off[u + 1]; ++e)
            adj[fill[succ[e]]++] = static_cast<std::int32_t>(u);
    return generations(off, adj, std::move(indegree), out);
}

}  // namespace engines::dag
