// Where the growth of Layout's enumeration first collects a qubit set.
//
// The growth of start qubit s works on records: a record has fixed the
// qubits S and added the list M last.  Its next records add a combination C
// of the qubits listed beside M (mm: the Python set of the neighbours above
// s of the qubits of M, in that set's iteration order), qubits of S left
// out: by size first, then in itertools order, that is by the positions of
// C in mm.  C becomes the next M, listed in mm order.  Pass p handles the
// records made in pass p - 1 in their order, so the sets of n qubits are
// collected in the order of (number of steps, then the choices step by step,
// each compared as |C| and then its positions in mm).  A record that
// reaches n qubits is collected, so a set T is first collected along the
// fewest steps that reach it, which is the eccentricity d of s in T, and
// among those along the smallest choices.  They are found greedily: with r
// steps left, the smallest C (among the qubits of T beside M, unfixed)
// after which every other unfixed qubit of T is within r - 1 steps of C
// inside the unfixed qubits of T.  (Every qubit of T lies within its
// distance from s of the qubits added at that step; no combination is cut
// by the number of levels of the connectivity map on these paths.)
//
// A key is the list d, |C1|, positions of C1, |C2|, ..., padded with zeros
// to `stride(n)` words: sets are first collected in ascending order of their
// keys compared word by word.  No Python here.
#pragma once

#include "layout_enum.hpp"
#include "set_order.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace engines::layout {

// list(set(qubits)) of node indices: the distinct qubits in the iteration
// order of a Python set of their values, filled in list order.
class SetList {
public:
    explicit SetList(const Chip &chip) : chip_(chip), seen_(static_cast<std::size_t>(chip.size()), 0) {}
    void operator()(const std::vector<std::int32_t> &qubits, std::vector<std::int32_t> &out);

private:
    const Chip &chip_;
    std::vector<std::uint8_t> seen_;
    setorder::SetOrder ints_{true};
    setorder::SmallSetOrder small_;
};

// mm of a list of qubits M: list(set(the neighbours above the start qubit
// of each qubit of M, in order)).  Lists are kept for the lists M met, up
// to a few megabytes.
class MidLists {
public:
    MidLists(const Chip &chip, const std::vector<std::uint8_t> &above)
        : chip_(chip), above_(above), set_list_(chip), slots_(1024, 0) {}
    // Valid until the next call.
    std::span<const std::int32_t> of(std::span<const std::int32_t> mid);

private:
    static constexpr std::size_t kMaxWords = std::size_t{1} << 20;

    const Chip &chip_;
    const std::vector<std::uint8_t> &above_;
    SetList set_list_;
    std::vector<std::int32_t> cc_, mm_;
    std::vector<std::int32_t> arena_;   // |M|, M, |mm|, mm for each list kept
    std::vector<std::uint32_t> slots_;  // 1 + position in the arena, 0 for a free slot
    std::size_t count_ = 0;
};

class FirstCollection {
public:
    // The sets of `n` >= 2 qubits whose smallest qubit is `start`.
    FirstCollection(const Chip &chip, std::int32_t start, int n);

    static std::size_t stride(int n) { return 2 * static_cast<std::size_t>(n) - 1; }

    // Writes the key of `set`: n node indices in ascending order of value
    // (the start first) whose induced subgraph is connected.
    void key(const std::int32_t *set, std::uint32_t *out);

private:
    template <int NW> void key_words(const std::int32_t *set, std::uint32_t *out);
    template <int NW> int grow(std::uint64_t *seen, const std::uint64_t *within, int radius);
    template <int NW> void choose(int reach, const std::uint64_t *rest);
    template <int NW> bool pick(int from, int depth, int size, const std::uint64_t *rest);
    std::uint64_t *row(std::vector<std::uint64_t> &rows, int i) {
        return rows.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(nw_);
    }

    const Chip &chip_;
    const std::int32_t start_;
    const int n_, nw_;  // qubits, 64-bit words per row of qubits
    std::vector<std::uint8_t> above_;
    std::vector<std::int32_t> local_;     // node index -> position in the set, -1 outside
    std::vector<std::uint64_t> one_bit_;  // node index -> its bit in the set, 0 outside (up to 64 qubits)
    MidLists mids_;
    std::vector<std::int32_t> mid_, chosen_;
    struct Candidate {
        std::uint32_t at;    // position in mm
        std::int32_t qubit;  // position in the set
    };
    std::vector<Candidate> cands_;
    std::vector<int> next_forced_;
    // rows of nw_ words: adjacency inside the set, reach of each candidate,
    // the union of the reaches from a candidate on, running unions, scratch
    std::vector<std::uint64_t> adj_, reach_, suffix_, acc_, tmp_;
};

}  // namespace engines::layout
