// SWAP candidates and their scores: the decay factors, the candidate groups
// kept from one SWAP cycle to the next when every distance is finite, and
// the scoring of one candidate at a time for couplings with unconnected
// qubits.
// No Python here.
#pragma once

#include "sabre_distances.hpp"
#include "sabre_layers.hpp"
#include "sabre_types.hpp"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace engines::sabre {

// Per physical qubit: 1 after a reset, plus 0.01 for each chosen SWAP on it
// since.  Invariant: `raised` lists, once each, the qubits whose factor is
// not 1.
struct DecayFactors {
    PerQubit<PhysQ, double> f;
    std::vector<PhysQ> raised;
    bool reset_once = false;  // whether any reset has happened

    void init(std::size_t n) { f.assign(n, 1.0); }
    void raise(PhysQ p) {
        if (f[p] == 1.0)
            raised.push_back(p);
        f[p] += 0.01;
    }
    // Back to 1 everywhere; `each(p)` for every qubit that was raised.
    template <class Each> void reset(Each &&each) {
        for (PhysQ p : raised) {
            f[p] = 1.0;
            each(p);
        }
        raised.clear();
        reset_once = true;
    }
    // The larger factor of a candidate's two qubits, as the scores take it.
    double larger(PhysQ pa, PhysQ pb) const {
        const double x = f[pb], y = f[pa];
        return x < y ? y : x;
    }
};

// Everything a candidate's score depends on, for one SWAP cycle.
struct ScoreInputs {
    const Dag &dag;
    const Topology &topo;
    const Couplers &couplers;
    const Layout &layout;
    const LayerView &view;
    const DecayFactors &decay;
    const Options &opt;
    std::size_t front_size;
    std::size_t ext_size;

    double size_f() const { return static_cast<double>(front_size); }
    // |E|, taken as 1 for an empty extended set.
    double size_e(bool lookahead) const { return lookahead && ext_size ? static_cast<double>(ext_size) : 1.0; }
    // W = min(max weight, |E| / |F|).
    double weight(bool lookahead) const {
        const double ratio = size_e(lookahead) / size_f();
        return ratio < opt.max_weight ? ratio : opt.max_weight;
    }
};

// The candidates of the SWAP cycles when no distance is infinite, kept from
// cycle to cycle grouped by what decides their score: the shifts of the two
// distance sums and the decay factor.  A SWAP changes that only for the
// couplers at the qubits whose gates it moves (`stale`); the others keep
// their group, and each group is scored once per cycle.
class CandidateGroups {
public:
    void init(const Couplers &couplers, std::int32_t nphys);
    // The couplers at this physical qubit need a new look.
    void mark_stale(PhysQ p) { stale_.push_back(p); }
    // Brings the groups up to date and lists the least candidates in `tied`,
    // in the order in which the methods' candidate list meets them.  Returns
    // the number of candidates.
    template <bool Lookahead, bool Decay> std::size_t scan(const ScoreInputs &in, std::vector<Candidate> &tied);

private:
    struct Group {
        std::int32_t df, de;
        double m;
        std::int32_t next;                  // the next group with the same shifts
        std::int32_t active_at;             // its place in `active_` while it has members
        std::vector<std::int32_t> members;  // couplers
    };
    template <bool Lookahead, bool Decay> void regroup(const ScoreInputs &in);
    template <bool Lookahead, bool Decay> void least(const ScoreInputs &in);
    void order_least(const ScoreInputs &in, std::vector<Candidate> &tied);
    void leave(std::int32_t c);
    void join(std::int32_t c, std::int32_t df, std::int32_t de, double m);
    void place(std::int32_t c, std::size_t g);
    void compact();  // drops the empty groups (they pile up as decay factors grow)
    std::int32_t chain_key(std::int32_t df, std::int32_t de) const;

    std::vector<Group> groups_;  // the first `used_` are in use; the rest kept for reuse
    std::size_t used_ = 0;
    std::vector<std::int32_t> active_;           // the groups with members
    std::vector<std::int32_t> group_of_, slot_;  // per coupler; -1 when not a candidate
    std::vector<std::int32_t> last_group_;       // per coupler: the group it was last in
    std::vector<std::uint32_t> seen_;            // per coupler: the refresh that looked at it last
    std::vector<std::uint32_t> seen_at_;         // per physical qubit: likewise
    std::uint32_t refresh_ = 0;
    std::vector<PhysQ> stale_;
    std::size_t count_ = 0;  // candidates in all groups
    // Scores by (front shift, extended shift), valid for the cycle in memo_tag_.
    static constexpr int RF = 4, RE = 16, NKEYS = (2 * RF + 1) * (2 * RE + 1);
    double memo_[NKEYS];
    std::uint64_t memo_tag_[NKEYS] = {};
    std::uint64_t cycle_ = 0;
    // The first group with given shifts, valid for the group numbering in chain_tag_.
    std::int32_t chain_[NKEYS];
    std::uint64_t chain_tag_[NKEYS] = {};
    std::uint64_t layer_ = 1;
    std::vector<std::int32_t> least_;                            // scratch: groups of the least score
    std::vector<std::pair<std::uint64_t, std::int32_t>> found_;  // scratch: candidates in list order
};

// The candidates of a SWAP cycle listed afresh (couplings with unconnected
// qubits): by front node, its first qubit's neighbours before its second's,
// each coupler once.
class CandidateList {
public:
    void init(std::size_t entries) { mark_.assign(entries, 0); }
    void collect(const ScoreInputs &in, std::span<const std::int32_t> front, std::vector<Candidate> &out);

private:
    std::vector<std::uint32_t> mark_;
    std::uint32_t epoch_ = 0;
};

// Scores every candidate and lists the least ones, in order, in `tied`
// (none when the least score is not a number).
void least_scored(const ScoreInputs &in, std::span<const Candidate> cands, std::vector<Candidate> &tied);

}  // namespace engines::sabre
