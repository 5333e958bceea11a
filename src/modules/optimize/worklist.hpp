// The merge loop of GateCompressor.run without the methods' repeated walks,
// shared by the DAG tier, over the pass's networkx DAG (dag_tier.cpp), and
// the fast path, over the circuit's records alone, leaving the DAG to be
// built when it is first read (fast.cpp).
//
// The worklist engine (engines/compress_engine) keeps the candidate pairs
// ordered by their place in the DAG's edge order and is told only of the
// nodes a merge touched, so it hands out exactly the pair the methods' walks
// would find.  A `Store` stands for what the engine's graph mirrors and
// follows every change the loop makes.
#pragma once

#include "optimize.hpp"

#include "compress_engine.hpp"

#include <string>
#include <utility>
#include <unordered_map>
#include <vector>

namespace optimize {

namespace ce = engines::compress;

// What the compressible gates are to the engine.
struct Gates {
    std::unordered_map<std::string, std::int32_t> id;  // by name
    std::vector<nb::object> name;                      // by id
    std::vector<Rule> rule;                            // by id
};

// The compressible gate names of the pass, with their rules; false where a
// name is not an exact str or a matrix function it would use is not the
// matrix module's own.
bool read_gates(const vx::Args &a, nb::handle self, Gates &g);
// The gate id of a node-name prefix, kNone where it is not compressible.
inline std::int32_t gate_id(const Gates &g, std::string_view prefix) {
    auto it = g.id.find(std::string(prefix));
    return it == g.id.end() ? ce::kNone : it->second;
}

// The angles of a merged gate: doubles where every angle is an exact float
// (no object need be made for them), else the list object.
struct Merged {
    enum Kind : std::uint8_t { Vanished, Floats, Object };
    Kind kind = Vanished;
    std::uint8_t n = 0;
    double v[3] = {};
    nb::object list;
    bool made() const { return kind != Vanished; }
    // The angles as the list the methods' node holds.
    nb::object object() const;
};

// What the loop merges in: the engine's graph and what it stands for.
class Store {
public:
    virtual ~Store() = default;
    ce::Graph g;

    // Reads what the rules need for the pair n1 -> n2; false where anything
    // is not of the exact types the loop reads (the methods go on from here).
    virtual bool prepare(ce::NodeId n1, ce::NodeId n2) = 0;
    // Called once, before the first merge changes anything.
    virtual void before_first_merge() {}
    // The node's name, for an error message.
    virtual nb::object name(ce::NodeId n) = 0;
    // The node's angles as doubles where its `params` are at most three
    // exact floats; false otherwise.
    virtual bool float_params(ce::NodeId n, double out[3], int &count) = 0;
    // The node's `params` attribute.
    virtual nb::object params(ce::NodeId n) = 0;
    // The label object of edge e, where the store keeps them.
    virtual nb::object label(ce::EdgeId e) = 0;
    // Whether added edges need their label objects.
    virtual bool wants_labels() const = 0;
    // As dag.remove_nodes_from([n]).
    virtual void remove(ce::NodeId n) = 0;
    // The node that replaces the pair n1 -> n2 (gate `gate`, angles `params`,
    // numbered `number`), added as dag.add_nodes_from adds it; its wires are
    // n1's.  `step` is the merge's place in the run.
    virtual ce::NodeId add_created(const Gates &gates, std::int32_t gate, ce::NodeId n1, const Merged &params,
                                   long long number, std::size_t step) = 0;
    // As dag.add_edges_from([(u, v, {"qubit": label})]).
    virtual void add_edge(ce::NodeId u, ce::NodeId v, nb::handle label, std::span<const ce::Wire> wires) = 0;
};

// What each merge of a run did, compactly, so that a run can be made again
// on the networkx DAG (replay) without working the angles out again: the
// first node of each pair and the merged angles of each parameter merge.
class Script {
public:
    void add(ce::NodeId n1, const Merged *params);
    std::size_t size() const { return firsts_.size(); }
    ce::NodeId first(std::size_t step) const { return firsts_[step]; }
    // Whether the merge made a node (false: its pair vanished, or it was no
    // parameter merge).
    bool made(std::size_t step) const { return refs_[step].kind == kFloats || refs_[step].kind == kObject; }
    Merged params(std::size_t step) const;
    // The merged angles of a parameter merge, one by one (the doubles, or
    // null where they are objects).
    const double *floats(std::size_t step) const {
        return refs_[step].kind == kFloats ? values_.data() + refs_[step].at : nullptr;
    }
    // How many they are, where floats(step) gives them.
    int count(std::size_t step) const { return refs_[step].n; }
    std::size_t bytes() const;

private:
    enum : std::uint8_t { kNoParams, kVanished, kFloats, kObject };
    struct Ref {
        std::uint32_t at;  // into values_ or objects_
        std::uint8_t kind, n;
    };
    std::vector<ce::NodeId> firsts_;
    std::vector<Ref> refs_;
    std::vector<double> values_;
    std::vector<nb::object> objects_;
};

// Makes on `dag` (the networkx DAG of the records a fast run read, just
// built) the merges `script` holds, as the DAG tier would have made them,
// numbering created nodes from `start` + 1.
void replay(PyObject *globals, nb::handle dag, const Gates &gates, long long start, const Script &script);

class Loop {
public:
    // `self` is the pass whose `_idx` follows the merges; `record`, when
    // given, keeps what each merge did; `replay`, when given, is followed
    // instead of working the angles out (and `self` is not touched).
    Loop(PyObject *globals, nb::handle self, Store &st, const Gates &gates, long long idx, Script *record,
         const Script *replay)
        : self_(self), st_(st), gates_(gates), maths_(globals), work_(st.g), idx_(idx), record_(record),
          replay_(replay) {}

    // Merges pair after pair; false where a pair's surroundings hold what
    // the engine leaves to the methods, which then go on from the graph as
    // it stands (the pair they find first is that pair).
    bool run();
    long long idx() const { return idx_; }
    std::size_t merges() const { return merges_; }

private:
    void merge(ce::NodeId n1, ce::NodeId n2, std::size_t step);
    Merged merged(nb::handle gate, ce::NodeId n1, ce::NodeId n2, bool one_qubit);
    ce::OneQubitEnds ends(ce::NodeId n1, ce::NodeId n2);
    nb::object label_of(ce::PlannedEdge &p);

    nb::handle self_;
    Store &st_;
    const Gates &gates_;
    Maths maths_;
    ce::Worklist work_;
    long long idx_;
    std::size_t merges_ = 0;
    Script *record_;
    const Script *replay_;
    std::vector<ce::PlannedEdge> plan_;
    std::vector<ce::NodeId> around_;
    std::vector<nb::object> labels_;
};

// Reads an exact list of exact ints from 0 to ce::kMaxWire.
bool read_wires(PyObject *o, std::vector<ce::Wire> &out);
// A new list of ints.
nb::object int_list(std::span<const ce::Wire> ws);

}  // namespace optimize
