// The fast path's data: a chip graph read into arrays, and the candidate
// sets and scores of one size on it.
#pragma once

#include "fast_path.hpp"
#include "layout.hpp"

#include "layout_enum.hpp"
#include "layout_score.hpp"

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace layout {

// The chip graph as the collections see it.  `nodes` holds the graph's own
// node objects (in node order) for the tuples handed out.
struct Snapshot {
    engines::layout::Chip chip;
    std::vector<nb::object> nodes;
    // scores only: the coupler fidelity of each adjacency entry, the threshold
    bool have_scores = false;
    std::vector<double> fid;
    double threshold = 0;

    bool same_scores(const Snapshot &o) const {
        return have_scores && o.have_scores && threshold == o.threshold && fid == o.fid;
    }
    void take_scores(const Snapshot &o) {
        have_scores = o.have_scores;
        fid = o.fid;
        threshold = o.threshold;
    }
};

// Reads self.graph (and, with `scores`, self.edge_fidelitys and
// self.fidelity_mean_threshold); nothing when they are not of the exact kinds
// the engines read (a networkx Graph of int qubits, float fidelities).
std::optional<Snapshot> take_snapshot(const vx::Args &a, nb::handle self, bool scores);

struct FastResult {
    std::shared_ptr<const Snapshot> snap;
    long long n = 0;
    bool enumerated = false, scored = false;
    // candidate sets, n node indices each, ascending by value, in order
    std::vector<std::int32_t> sets;
    std::size_t count = 0;
    // scores; the path order of linear set c is n node indices of `paths`
    // from path_at[c] * n
    std::vector<engines::layout::Score> scores;
    std::vector<std::int32_t> paths;
    std::vector<std::uint32_t> path_at;

    void drop_scores() {
        scored = false;
        std::vector<std::int32_t>().swap(paths);
        std::vector<std::uint32_t>().swap(path_at);
        std::vector<engines::layout::Score>().swap(scores);
    }
};

// The fast result of one chip graph and size, once the path choice has let
// the call through; null (declined on `path`) where the inputs are not of
// the exact kinds the engines read.
FastPtr compute(const vx::Args &a, nb::handle self, Level level, long long nqubits, vx::PathChoice &path);

}  // namespace layout
