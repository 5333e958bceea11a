// Value types of the SABRE engine: the two kinds of qubit, arrays indexed by
// one kind, the layout that pairs them, the circuit DAG and the coupling
// graph as arrays, and the two directions of a run.  No Python here.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace engines::sabre {

// A qubit number of one kind; the two kinds do not mix.  -1 stands for no
// qubit.
template <class Kind> struct Qubit {
    std::int32_t i = -1;
    Qubit() = default;
    constexpr explicit Qubit(std::int32_t x) : i(x) {}
    constexpr bool valid() const { return i >= 0; }
    friend constexpr bool operator==(Qubit, Qubit) = default;
    friend constexpr auto operator<=>(Qubit, Qubit) = default;
};

// A virtual qubit: a qubit of the circuit.  Virtual qubits are numbered
// 0..n-1 in ascending order of the circuit's own qubit values, so the smaller
// of two virtual qubits is the one with the smaller number.
using VirtQ = Qubit<struct VirtualKind>;

// A physical qubit: a node of the coupling graph, numbered 0..n-1 in an order
// the caller chooses; the same numbers index the distance table and the
// neighbour lists.
using PhysQ = Qubit<struct PhysicalKind>;

// One entry per qubit of kind Q; indexing with the other kind does not compile.
template <class Q, class T> class PerQubit {
public:
    PerQubit() = default;
    PerQubit(std::size_t n, const T &init) : v_(n, init) {}
    void assign(std::size_t n, const T &init) { v_.assign(n, init); }
    T &operator[](Q q) { return v_[static_cast<std::size_t>(q.i)]; }
    const T &operator[](Q q) const { return v_[static_cast<std::size_t>(q.i)]; }
    std::size_t size() const { return v_.size(); }
    const std::vector<T> &values() const { return v_; }

private:
    std::vector<T> v_;
};

// Where each virtual qubit sits.  Invariant: the two directions are inverse
// permutations of 0..n-1.
class Layout {
public:
    Layout() = default;
    explicit Layout(PerQubit<VirtQ, PhysQ> v2p) : v2p_(std::move(v2p)), p2v_(v2p_.size(), VirtQ{}) {
        for (std::size_t v = 0; v < v2p_.size(); ++v) {
            const VirtQ q{static_cast<std::int32_t>(v)};
            p2v_[v2p_[q]] = q;
        }
    }
    PhysQ phys(VirtQ v) const { return v2p_[v]; }
    VirtQ virt(PhysQ p) const { return p2v_[p]; }
    // The two virtual qubits exchange their physical qubits.
    void exchange(VirtQ a, VirtQ b) {
        const PhysQ pa = v2p_[a], pb = v2p_[b];
        v2p_[a] = pb;
        v2p_[b] = pa;
        p2v_[pa] = b;
        p2v_[pb] = a;
    }
    std::int32_t size() const { return static_cast<std::int32_t>(v2p_.size()); }

private:
    PerQubit<VirtQ, PhysQ> v2p_;
    PerQubit<PhysQ, VirtQ> p2v_;
};

// A SWAP candidate: two virtual qubits, the smaller first (equal only for a
// coupler from a qubit to itself).
struct Candidate {
    VirtQ a, b;
    static Candidate of(VirtQ x, VirtQ y) { return x < y ? Candidate{x, y} : Candidate{y, x}; }
};

// Which DAG of a run a traversal walks: the circuit's (forward) or that of
// its reversed gate list.  Traversals alternate, the first forward.
enum class Direction : std::uint8_t { Forward = 0, Reverse = 1 };
inline constexpr Direction kDirections[] = {Direction::Forward, Direction::Reverse};

// One entry per direction; indexed by a Direction only.
template <class T> struct PerDirection {
    T entries[2]{};
    T &operator[](Direction d) { return entries[static_cast<int>(d)]; }
    const T &operator[](Direction d) const { return entries[static_cast<int>(d)]; }
};

// A circuit DAG as CSR lists, nodes numbered 0..n-1 in the graph's node order.
struct Dag {
    std::int32_t n = 0;
    std::vector<std::int32_t> succ_off{0}, succ;  // successors in the graph's order
    std::vector<std::int32_t> pred_off{0}, pred;  // predecessors likewise
    std::vector<std::int32_t> q_off{0};
    std::vector<VirtQ> q;               // the virtual qubits each node names, in name order
    std::vector<std::uint8_t> two;      // a two-qubit gate (then exactly two distinct qubits)
    std::vector<std::int32_t> sources;  // nodes without predecessor, in node order

    std::span<const std::int32_t> succs(std::int32_t u) const {
        return {succ.data() + succ_off[u], static_cast<std::size_t>(succ_off[u + 1] - succ_off[u])};
    }
    std::span<const std::int32_t> preds(std::int32_t u) const {
        return {pred.data() + pred_off[u], static_cast<std::size_t>(pred_off[u + 1] - pred_off[u])};
    }
    std::span<const VirtQ> qubits(std::int32_t u) const {
        return {q.data() + q_off[u], static_cast<std::size_t>(q_off[u + 1] - q_off[u])};
    }
};

// The coupling graph.  Invariant: `dist` holds whole numbers (hop counts) or
// +inf, 0 on the diagonal, so sums of distances are exact in any order and
// can be updated incrementally.
struct Topology {
    std::int32_t n = 0;
    std::vector<double> dist;  // n*n, row-major by physical number
    std::vector<std::int32_t> nb_off{0};
    std::vector<PhysQ> nb;  // neighbours in the graph's adjacency order

    double d(PhysQ a, PhysQ b) const { return dist[static_cast<std::size_t>(a.i) * n + b.i]; }
    std::span<const PhysQ> neighbours(PhysQ p) const {
        return {nb.data() + nb_off[p.i], static_cast<std::size_t>(nb_off[p.i + 1] - nb_off[p.i])};
    }
};

struct Options {
    bool lookahead = true;
    bool decay = true;
    bool random_choice = false;
    double max_weight = 0.5;
};

// What a traversal reports to its caller, which turns it into Python objects.
// Whatever a hook throws passes through the engine unchanged, leaving its
// state as it stood at that point.
class Hooks {
public:
    virtual ~Hooks() = default;
    // Index into `tied` of the chosen candidate.
    virtual std::size_t choose(std::span<const Candidate> tied) = 0;
    // A gate is executed (emitting traversals only).
    virtual void execute(std::int32_t node, const Layout &layout) = 0;
    // A SWAP is applied; `layout` is the one before it (emitting traversals only).
    virtual void swap(Candidate c, const Layout &layout) = 0;
    // Called every few milliseconds of work; may throw to stop the traversal.
    virtual void poll() = 0;
};

// Why a traversal stopped.
struct Failure {
    enum Kind { Conflict, NoCandidate, Unscorable } kind;
    std::vector<std::int32_t> front;  // the front layer at that moment
};

}  // namespace engines::sabre
