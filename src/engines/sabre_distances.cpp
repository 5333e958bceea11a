// Distances in the coupling graph; see sabre_distances.hpp.
#include "sabre_distances.hpp"

#include <algorithm>

namespace engines::sabre {

void hop_distances(std::int32_t n, const std::vector<std::int32_t> &off, const std::vector<std::int32_t> &adj,
                   double *dist, const std::function<void()> &poll) {
    const auto N = static_cast<std::size_t>(n);
    std::fill(dist, dist + N * N, INFINITY);
    std::vector<std::int32_t> queue(N);
    std::size_t work = 0;
    for (std::int32_t s = 0; s < n; ++s) {
        double *row = dist + static_cast<std::size_t>(s) * N;
        row[s] = 0.0;
        std::size_t head = 0, tail = 0;
        queue[tail++] = s;
        while (head < tail) {
            const std::int32_t u = queue[head++];
            for (std::int32_t k = off[u]; k < off[u + 1]; ++k) {
                const std::int32_t v = adj[k];
                if (std::isinf(row[v])) {
                    row[v] = row[u] + 1.0;
                    queue[tail++] = v;
                }
            }
        }
        work += N + adj.size();
        if (poll && work > (1u << 22)) {
            work = 0;
            poll();
        }
    }
}

Couplers::Couplers(const Topology &t) : rev(t.nb.size()), host(t.nb.size()) {
    // entries sorted by (host, neighbour), to find each entry's other end
    std::vector<std::int32_t> order(t.nb.size());
    for (std::int32_t p = 0; p < t.n; ++p)
        for (std::int32_t k = t.nb_off[p]; k < t.nb_off[p + 1]; ++k) {
            host[k] = PhysQ{p};
            order[k] = k;
        }
    auto key = [&](std::int32_t k) { return std::pair{host[k], t.nb[k]}; };
    std::stable_sort(order.begin(), order.end(), [&](std::int32_t x, std::int32_t y) { return key(x) < key(y); });
    for (std::size_t k = 0; k < t.nb.size(); ++k) {
        const std::pair want{t.nb[k], host[k]};
        auto it = std::lower_bound(order.begin(), order.end(), want,
                                   [&](std::int32_t x, const std::pair<PhysQ, PhysQ> &w) { return key(x) < w; });
        rev[k] = it != order.end() && key(*it) == want ? *it : static_cast<std::int32_t>(k);
    }
}

PhysQ step_towards(const Topology &t, PhysQ from, PhysQ to) {
    double nearest = t.d(from, to);
    PhysQ best;
    for (PhysQ y : t.neighbours(from)) {
        if (y == to)
            continue;
        const double dy = t.d(y, to);
        if (dy < nearest) {
            nearest = dy;
            best = y;
        }
    }
    return best;
}

}  // namespace engines::sabre
