// What vexal.circuit.gatework offers the other modules for building circuit
// DAGs without going through Python calls: a capsule on
// convert_gate_info_to_dag_info carrying the two builders below.
#pragma once

#include "interop.hpp"
#include "dag_engine.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vx::dagapi {

inline constexpr const char *kCapsuleName = "vexal.circuit.gatework.dag_lists";
inline constexpr int kVersion = 2;

// How a gate record becomes DAG nodes.
enum class RecordKind : std::uint8_t {
    OneQubit,
    TwoQubit,
    ThreeQubit,
    U,
    R,
    OneParam,  // rx, ry, rz, p, u3
    TwoParam,
    Measure,  // one node per measured qubit
    Barrier,
    Delay,
    Reset,
};

// Parameters a record of this kind carries after its name.
inline int param_count(RecordKind k) {
    switch (k) {
    case RecordKind::U: return 3;
    case RecordKind::R: return 2;
    case RecordKind::OneParam:
    case RecordKind::TwoParam: return 1;
    default: return 0;
    }
}

// Node names: "<gate>_<position>_[<wire>, <wire>, ...]".
inline void node_name(std::string &out, std::string_view gate, long long position, const std::int64_t *wires,
                      std::size_t n) {
    out.assign(gate);
    out += '_';
    out += std::to_string(position);
    out += "_[";
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            out += ", ";
        out += std::to_string(wires[i]);
    }
    out += ']';
}

// A circuit DAG (no start nodes) as plain arrays, nodes numbered in the
// order of the record list read.
struct Skeleton {
    std::vector<std::int32_t> rec;   // record index in the list given
    std::vector<std::int32_t> part;  // the measured qubit's place in a measure record, else 0
    std::vector<RecordKind> kind;
    std::vector<std::int32_t> w_off{0};
    std::vector<std::int64_t> wires;        // in operand order
    std::vector<engines::dag::Edge> edges;  // in the order the graph receives them

    std::size_t size() const { return rec.size(); }
};

struct Api {
    int version;
    // (gatework globals, nqubits, qubits list, gates list, show_qubits, names)
    // -> new reference to (node list, edge list) of tuples, or nullptr with an
    // exception set.  `names`, when given, is a table of node-name objects by
    // node number (owned references, null where none was made yet): the
    // builder uses the ones present and fills in the others.
    PyObject *(*build)(PyObject *, long long, PyObject *, PyObject *, int, std::vector<PyObject *> *);
    // (gatework globals, nqubits, gates list, read backwards, out) -> true, or
    // false with an exception set where the lists could not be built.
    bool (*skeleton)(PyObject *, long long, PyObject *, bool, Skeleton &);
};

// The builders of a convert_gate_info_to_dag_info function object of the
// package, or null for any other object.
const Api *from_function(PyObject *f);

// Loads node and edge lists of tuples into an empty DiGraph's dictionaries:
// the same dictionaries, in the same order, that add_nodes_from and
// add_edges_from leave behind.
void fill_digraph(nb::handle g, PyObject *nodes, PyObject *edges);

}  // namespace vx::dagapi

namespace vx {
// Pauses the cyclic collector while a native build makes many containers but
// no cycle and runs no Python code: collections in between would only rescan
// the heap again and again.
struct GcPause {
    int was_enabled = PyGC_Disable();
    GcPause() = default;
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;
    ~GcPause() {
        if (was_enabled)
            PyGC_Enable();
    }
};
}  // namespace vx
