// The merge loop of GateCompressor.run without the methods' repeated walks,
// shared by the two native ways of running it: over the pass's networkx DAG
// (native_loop.cpp) and over the circuit's records alone, leaving the DAG to
// be built when it is first read (lean.cpp).
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
// name or a matrix function it would use is not plain.
bool read_gates(const vx::Args &a, nb::handle self, Gates &g);
// The names the merges go through are the package's own.
bool own_names(PyObject *globals);
// The gate id of a node-name prefix, kNone where it is not compressible.
inline std::int32_t gate_id(const Gates &g, std::string_view prefix) {
    auto it = g.id.find(std::string(prefix));
    return it == g.id.end() ? ce::kNone : it->second;
}

// What the loop merges in: the engine's graph and what it stands for.
class Store {
public:
    virtual ~Store() = default;
    ce::Graph g;

    // Reads what the rules need for the pair n1 -> n2; false where anything
    // is not plain (the methods go on from here).
    virtual bool prepare(ce::NodeId n1, ce::NodeId n2) = 0;
    // Called once, before the first merge changes anything.
    virtual void before_first_merge() {}
    // The node's name, for an error message.
    virtual nb::object name(ce::NodeId n) = 0;
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
    // n1's.
    virtual ce::NodeId add_created(const Gates &gates, std::int32_t gate, ce::NodeId n1, nb::handle params,
                                   long long number) = 0;
    // As dag.add_edges_from([(u, v, {"qubit": label})]).
    virtual void add_edge(ce::NodeId u, ce::NodeId v, nb::handle label, std::span<const std::int64_t> wires) = 0;
};

// Where a loop takes its merged angles from: worked out (and the pass's
// counter advanced as each node is made), or read back from a record of an
// earlier run.
struct Script {
    std::vector<nb::object> params;                        // per merge: the merged angles, null where the pair vanished
    std::vector<std::pair<ce::NodeId, ce::NodeId>> pairs;  // per merge: the pair's nodes
};

// Makes on `dag` (the networkx DAG of the records a lean run read, just
// built) the merges `script` holds, as the native loop would have made them,
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
    nb::object merged_or_null(nb::handle gate, ce::NodeId n1, ce::NodeId n2, bool one_qubit);
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
};

// Reads an exact list of exact ints.
bool read_ints(PyObject *o, std::vector<std::int64_t> &out);
// A new list of ints.
nb::object int_list(std::span<const std::int64_t> ws);

}  // namespace optimize
