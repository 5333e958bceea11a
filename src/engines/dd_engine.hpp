// Dynamical decoupling over the layers of a circuit DAG held in C++
// arrays: the idle time of every qubit layer by layer, and where leading
// delays and pulse trains go.
//
// The layers are topological generations (dag_order.hpp): those of the DAG
// (gates as soon as possible) or, walked backwards, those of its reverse
// (gates as late as possible).  Times are doubles combined with exactly the
// operations, in exactly the order, of the Python bookkeeping the walk
// replaces.  No Python here.
#pragma once

#include "dag_order.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace engines::dd {

// How a node's gate counts in its layer.
enum class Duration : std::uint8_t { None, OneQubit, TwoQubit };  // the layer lasts 0, t1g or t2g
enum class Slack : std::uint8_t { Zero, AfterOne, AfterTwo };     // idle after it: 0, max - t1g, max - t2g

// What the walk knows of each node: its qubits (as qubit ids, in the order
// of its `qubits` list) and how its gate counts.
struct Nodes {
    std::vector<std::int32_t> q_off{0}, q;
    std::vector<Duration> duration;
    std::vector<Slack> slack;
    std::vector<std::uint8_t> barrier;

    std::span<const std::int32_t> qubits(std::int32_t u) const {
        return {q.data() + q_off[u], static_cast<std::size_t>(q_off[u + 1] - q_off[u])};
    }
};

// Sequences: pulses per repetition.
inline constexpr int kXY4 = 4;
inline constexpr int kCPMG = 2;

struct Options {
    double t1g = 0, t2g = 0;  // positive and finite
    int sequence_length = kXY4;
    bool insert_before_barrier = false;
    std::int64_t max_inserted = 0;  // limit on the nodes one walk may add
};

// What the walk decided for one (qubit, node) of a layer.
struct Insertion {
    enum Kind : std::uint8_t { Delay, Train } kind;
    std::int32_t qubit;  // qubit id
    std::int32_t node;   // the node the insertion leads into
    std::int32_t pre;    // the qubit's previous node (trains)
    double idle;         // the delay's duration, or the window a train fills
    std::int64_t n_dd;   // repetitions of the sequence (trains)
    double tgap;         // gap between pulses, seconds; no gap nodes when 0
};

struct Outcome {
    enum Status : std::uint8_t {
        Done,
        NoRecord,          // `qubit` has no idle record
        TooMany,           // the trains would add more than max_inserted nodes
        NotRepresentable,  // a value the Python expressions keep exactly but doubles cannot
        Interrupted,       // `poll` asked to stop
    } status = Done;
    std::int32_t qubit = -1;
    std::vector<Insertion> insertions;  // in the order they are made
};

// Walks `layers` (last first with `backwards`), keeping an idle record for
// each qubit id that `has_record` marks, and lists the insertions.  `poll`
// is called every few thousand steps and stops the walk when it returns true.
Outcome walk(const Nodes &g, const engines::dag::Generations &layers, bool backwards,
             std::span<const std::uint8_t> has_record, const Options &opt, const std::function<bool()> &poll);

// Nodes a train adds: its pulses, and a gap before, between and after them
// when the gap is not 0.
inline std::int64_t train_size(std::int64_t n_dd, int sequence_length, bool gaps) {
    const std::int64_t pulses = n_dd * sequence_length;
    return gaps ? 2 * pulses + 1 : pulses;
}

// The nodes of a train in order.
enum class Piece : std::uint8_t { HalfGap, Gap, X, Y };
// The pulses of an XY4 repetition: even ones X Y X Y, odd ones Y X Y X.
inline constexpr Piece kXY4Even[] = {Piece::X, Piece::Y, Piece::X, Piece::Y};
inline constexpr Piece kXY4Odd[] = {Piece::Y, Piece::X, Piece::Y, Piece::X};
template <class Emit> void train_pieces(std::int64_t n_dd, int sequence_length, bool gaps, Emit emit) {
    for (std::int64_t i = 0; i < n_dd; ++i) {
        if (gaps)
            emit(i == 0 ? Piece::HalfGap : Piece::Gap);
        for (int j = 0; j < sequence_length; ++j) {
            if (j && gaps)
                emit(Piece::Gap);
            emit(sequence_length == kXY4 ? (i % 2 == 0 ? kXY4Even : kXY4Odd)[j] : Piece::X);
        }
        if (i == n_dd - 1 && gaps)
            emit(Piece::HalfGap);
    }
}

// Piece `i` of the train train_pieces lists: each repetition is a gap (half
// a gap first) and then its pulses with a gap between two, and half a gap
// closes the train.
template <int Length> Piece train_piece_of(std::int64_t i, std::int64_t n_dd, bool gaps) {
    auto pulse = [](std::int64_t rep, std::int64_t j) {
        return Length == kXY4 ? (rep % 2 == 0 ? kXY4Even : kXY4Odd)[j] : Piece::X;
    };
    if (!gaps)
        return pulse(i / Length, i % Length);
    const std::int64_t rep = i / (2 * Length), k = i % (2 * Length);
    if (rep == n_dd || (k == 0 && rep == 0))
        return Piece::HalfGap;
    return k % 2 ? pulse(rep, k / 2) : Piece::Gap;
}
inline Piece train_piece(std::int64_t i, std::int64_t n_dd, int sequence_length, bool gaps) {
    return sequence_length == kXY4 ? train_piece_of<kXY4>(i, n_dd, gaps) : train_piece_of<kCPMG>(i, n_dd, gaps);
}

// The grid of the gaps, 0.1 ns, reckoned as the pass writes it in Python:
// with the two factors 0.1 and 1e-9.  The step a gap is divided by is their
// product, 1.0000000000000002e-10 and not 1e-10; a gap of u steps is
// (u * 0.1) * 1e-9, two multiplications, each rounded.  Every copy of this
// arithmetic (here, the reference walk's Python numbers) keeps both factors.
inline constexpr double kGridNs = 0.1;
inline constexpr double kNanosecond = 1e-9;
inline constexpr double kGridSeconds = kGridNs * kNanosecond;

// The gap of a train of `n_dd` repetitions filling `idle`, in grid steps,
// rounded half to even; false where the count is too large for an int64.
bool gap_units(double idle, std::int64_t n_dd, int sequence_length, double t1g, std::int64_t &units);
inline double gap_seconds(std::int64_t units) { return static_cast<double>(units) * kGridNs * kNanosecond; }

}  // namespace engines::dd
