// What vexal.circuit.gatework offers the other modules: the gate-kind
// classifier, the one check of gate records every pass makes at its entry,
// and the builders of circuit DAGs.  They travel in a capsule that gatework
// publishes on the vexal.circuit package when it loads (`from_gatework`) and
// that its function object convert_gate_info_to_dag_info also holds
// (`from_function`, which tells the package's own builder from a
// replacement).
//
// The gate vocabulary is the six tables of vx::kGateTables, module dicts
// that users may replace or change.  Every answer here is taken from the
// tables a caller hands in as they stand at call time: a module passes the
// tables its own namespace holds, as its Python code would test them.
#pragma once

#include "interop.hpp"
#include "dag_engine.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vx::dagapi {

inline constexpr const char *kCapsuleName = "vexal.circuit.gatework.dag_lists";
inline constexpr const char *kPackageAttribute = "_gatework_api";
inline constexpr int kVersion = 4;

// ----------------------------------------------------------------- gate kinds

// The six tables, by their place in vx::kGateTables.
enum GateTable : int {
    kOneQubitTable,
    kTwoQubitTable,
    kThreeQubitTable,
    kOneQubitParamTable,
    kTwoQubitParamTable,
    kFunctionalTable,
};
inline constexpr std::uint8_t table_bit(GateTable t) { return static_cast<std::uint8_t>(1u << t); }
inline constexpr std::uint8_t kAllTables = 0x3f;

// How a record reads: the shape its name gives it, decided by the first table
// (in vx::kGateTables order) that holds the name, and within a table by the
// names with a shape of their own.
//   OneQubit, Reset   (name, q)
//   TwoQubit          (name, q0, q1)
//   ThreeQubit        (name, q0, q1, q2)
//   U                 ("u", theta, phi, lamda, q)
//   R                 ("r", theta, phi, q)
//   OneParam          (name, angle, q); "u3" may also carry three angles
//   TwoParam          (name, angle, q0, q1)
//   Measure           ("measure", [qubits], [classical bits]), paired
//   Barrier           ("barrier", (qubits))
//   Delay             ("delay", duration, (qubits))
enum class RecordKind : std::uint8_t {
    OneQubit,
    TwoQubit,
    ThreeQubit,
    U,
    R,
    OneParam,
    TwoParam,
    Measure,
    Barrier,
    Delay,
    Reset,
};

// Parameters a record of this kind carries after its name (the angles of a
// gate; a delay's duration is not counted).
inline int param_count(RecordKind k) {
    switch (k) {
    case RecordKind::U: return 3;
    case RecordKind::R: return 2;
    case RecordKind::OneParam:
    case RecordKind::TwoParam: return 1;
    default: return 0;
    }
}

// Qubit operands standing directly in the record (after the parameters);
// 0 for the kinds whose qubits stand in a sequence (measure, barrier, delay).
inline int wire_count(RecordKind k) {
    switch (k) {
    case RecordKind::OneQubit:
    case RecordKind::Reset:
    case RecordKind::U:
    case RecordKind::R:
    case RecordKind::OneParam: return 1;
    case RecordKind::TwoQubit:
    case RecordKind::TwoParam: return 2;
    case RecordKind::ThreeQubit: return 3;
    default: return 0;
    }
}

// Parameters a checked gate record of this kind carries: param_count, except
// that a "u3" record (OneParam) may carry its three angles, as a u gate does.
// Every pass keeps all of them, so such a record comes out as it went in.
inline int record_param_count(RecordKind k, Py_ssize_t record_length) {
    const int np = param_count(k), nw = wire_count(k);
    if (k == RecordKind::OneParam && record_length == 1 + 3 + nw)
        return 3;
    return np;
}

// ValueError "wrong gate type <name>": the refusal of a name no table holds,
// wherever a record must have a kind.
[[noreturn]] void wrong_gate_type(PyObject *name);

// What the tables say of one name.
struct GateKind {
    std::uint8_t tables = 0;  // bit t (table_bit): table t holds the name
    bool shaped = false;      // `record` holds: false where no table holds the
                              // name, or only the functional table holds a
                              // name of no known shape
    RecordKind record = RecordKind::OneQubit;

    bool in(GateTable t) const { return (tables & table_bit(t)) != 0; }
    bool known() const { return tables != 0; }
};

// -------------------------------------------------------------- DAG skeleton

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

// A circuit DAG (no start nodes) as arrays, nodes numbered in the
// order of the record list read.
struct Skeleton {
    std::vector<std::int32_t> rec;   // record index in the list given
    std::vector<std::int32_t> part;  // the measured qubit's place in a measure record, else 0
    std::vector<RecordKind> kind;
    std::vector<std::int32_t> w_off{0};
    std::vector<std::int64_t> wires;        // in operand order
    std::vector<std::int64_t> bits;         // the classical-bit key of each measure node, in node order
    std::vector<engines::dag::Edge> edges;  // in the order the graph receives them

    std::size_t size() const { return rec.size(); }
};

// Adds node k of a skeleton to a DAG builder as the builder that made the
// skeleton added it.  Nodes go in order; `measures` counts the measure nodes
// added so far (start it at 0).
inline engines::dag::NodeId add_skeleton_node(engines::dag::DagBuilder &b, const Skeleton &sk, std::size_t k,
                                              std::size_t &measures) {
    const std::span<const std::int64_t> wires(sk.wires.data() + sk.w_off[k],
                                              static_cast<std::size_t>(sk.w_off[k + 1] - sk.w_off[k]));
    switch (sk.kind[k]) {
    case RecordKind::Measure: return b.add_measure(wires[0], sk.bits[measures++]);
    case RecordKind::ThreeQubit: return b.add_gate(wires, engines::dag::EdgeRule::ThreeQubit);
    default: return b.add_gate(wires);
    }
}

// ------------------------------------------------------------------ the offer

class GateKinds;

// What a pass's record check lets through to the pass itself, so that the
// pass's own, documented errors come out where it has them.
struct CheckRules {
    // Tables whose names the pass handles.  The check stops (passing) at the
    // first record whose name none of them holds: the pass reports that name
    // itself, and nothing after it is reached.  With every table set, a name
    // in no table is refused with "wrong gate type <name>".
    std::uint8_t tables = kAllTables;
    // Tables whose records the pass hands to functions that convert and count
    // their operands themselves: a record of such a name with the wrong
    // number of elements or an operand that is not a number is left to the
    // pass; its integral operands are still checked (range, repeats).
    std::uint8_t lenient = 0;
    // The circuit's classical bits: a measure into a bit at or beyond it is
    // refused.  Negative: not checked (no circuit at hand).
    long long ncbits = -1;
};

struct Api {
    int version;
    // (tables, name, out) -> true with `out` filled, or false with an
    // exception set.  `tables` in vx::kGateTables order; a null table is
    // one that holds nothing.  Each table is asked `name in table`.
    bool (*classify)(PyObject *const *tables, PyObject *name, GateKind &out);
    // (kinds, gates, nqubits, rules) -> true when every record is sound, or
    // false with ValueError (TypeError for an operand of the wrong type) set
    // for the first that is not.  See check_records below.
    bool (*check)(GateKinds &kinds, PyObject *gates, long long nqubits, const CheckRules &rules);
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

// The offer of a convert_gate_info_to_dag_info function object of the
// package, or null for any other object.
const Api *from_function(PyObject *f);
// The offer gatework published (imports gatework).  Null only when the
// package was tampered with; the answers never depend on names a user
// rebinds, so a module may fetch it at each call or keep it.
const Api *from_gatework();
// The same, or ImportError where there is none.
const Api &gatework_api();
// gatework's namespace (borrowed; the module stays loaded).
PyObject *gatework_globals();

// Sorts record names into kinds with a fixed set of tables, read once when
// it is made.  Answers for exact str names are remembered while every table
// is an exact dict (no Python code runs in such a look-up); call `forget`
// after running code that could have changed the tables.
class GateKinds {
public:
    // The tables of the namespace `globals`: those of `required` must be
    // there (NameError otherwise), any other missing one holds nothing.
    GateKinds(const Api &api, PyObject *globals, std::uint8_t required = kAllTables);
    // The six tables given (borrowed; null for one that holds nothing).
    GateKinds(const Api &api, PyObject *const *tables);

    const GateKind &of(PyObject *name);
    void forget() { cache_.clear(); }
    const Api &api() const { return api_; }

private:
    void init(PyObject *const *tables);

    const Api &api_;
    nb::object tables_[6];  // held: user code may rebind the module's names meanwhile
    PyObject *raw_[6] = {};
    bool cacheable_ = true;
    struct Entry {
        nb::object name;  // held, so that its address stays its own
        GateKind kind;
    };
    std::unordered_map<PyObject *, Entry> cache_;
    GateKind last_;
};

// The record check every pass makes once at its entry, before it changes or
// prints anything: each record of `gates` (a list, read as it stands) is a
// non-empty tuple (or list) whose name the tables know, with as many elements
// as its kind takes; its qubits are integers, at least 0 and below `nqubits`,
// none twice in one gate; a measure pairs equally long lists of qubits and
// classical bits (integers, at least 0); a barrier or delay holds its qubits
// in a tuple (or list); angles are numbers or parameter names (str); a
// delay's duration is a finite number, at least 0.  Throws the error of the
// first record that breaks a rule.
inline void check_records(GateKinds &kinds, PyObject *gates, long long nqubits, const CheckRules &rules = {}) {
    if (!kinds.api().check(kinds, gates, nqubits, rules))
        throw error_already_set{};
}

// check_records over the records of the circuit `qc`, which a pass has read
// into the list `gates`, against qc.nqubits.
void check_circuit(GateKinds &kinds, nb::handle qc, PyObject *gates, const CheckRules &rules = {});

// Loads node and edge lists of tuples into an empty DiGraph's dictionaries:
// the same dictionaries, in the same order, that add_nodes_from and
// add_edges_from leave behind.
void fill_digraph(nb::handle g, PyObject *nodes, PyObject *edges);

// What nx.topological_sort leaves on a DiGraph it sorts: its cached
// in_degree view.  A fast path that stands for such a sort leaves it too.
inline void leave_sort_views(nb::handle dag) { (void)vx::getattr(dag, "in_degree"); }

// The gate name of a DAG node, node.split("_")[0]: for a str, the text
// before its first "_".
nb::object node_gate(nb::handle node);

// Every gate table of the namespace `globals` is an exact dict (so asking
// it about a name runs no Python code).
inline bool exact_gate_tables(PyObject *globals) {
    for (const char *t : vx::kGateTables) {
        PyObject *d = PyDict_GetItemString(globals, t);
        if (!d || !PyDict_CheckExact(d))
            return false;
    }
    return true;
}

// The DAG module's own answer to "does the qc2dag/dag2qc pair, called now,
// run only the package's own code?", asked by a pass's fast path with the
// qc2dag function its namespace holds (the pass checks that its names are
// the package's own).  The dag module records, when it loads, what its
// names hold; this reads its namespace, so no other module records names
// there.  Filled where the answer is yes.
struct OwnDag {
    const Api *api = nullptr;         // the DAG-list builder qc2dag goes through
    PyObject *dag_globals = nullptr;  // vexal.circuit.dag's namespace
    PyObject *gatework = nullptr;     // the builder's namespace
    PyObject *digraph = nullptr;      // the DAG class qc2dag makes
    PyObject *circuit = nullptr;      // the circuit class dag2qc makes
};
bool own_dag(nb::handle qc2dag, OwnDag &out);
// The check, as the dag module publishes it on the package (a capsule):
// true with `out` filled, false (an exception set where one was raised).
using OwnDagCheck = bool (*)(PyObject *qc2dag, OwnDag *out);
inline constexpr const char *kOwnDagAttribute = "_own_dag";
inline constexpr const char *kOwnDagCapsule = "vexal.circuit._own_dag";

// A record tuple of a kind whose qubits stand in the record itself has
// exactly its parameters and qubits, the qubits exact ints; true for the
// other kinds.
inline bool exact_wires(PyObject *rec, RecordKind kind) {
    const int np = record_param_count(kind, PyTuple_GET_SIZE(rec)), nw = wire_count(kind);
    if (!nw)
        return true;
    if (PyTuple_GET_SIZE(rec) != 1 + np + nw)
        return false;
    for (int i = 1 + np; i < 1 + np + nw; ++i)
        if (!PyLong_CheckExact(PyTuple_GET_ITEM(rec, i)))
            return false;
    return true;
}

// The record dag2qc rebuilds from the node qc2dag made of the tuple `rec`
// (read as `kind`; `part` is the measured qubit's place in a measure
// record): a new tuple of the record's own items, a measure of one qubit and
// one classical bit in lists, a barrier's or delay's qubits in a tuple.
nb::object rebuilt_record(PyObject *rec, RecordKind kind, Py_ssize_t part);

// Whether `rec` itself may stand for that record: it equals the rebuilt one
// and is made only of immutable scalars (a barrier's or delay's qubits in a
// tuple of them), so that sharing it cannot be told from a copy but by `is`.
// Never for a measure, whose record holds lists.
bool shareable_record(PyObject *rec, RecordKind kind);

// An exact DiGraph in arrays: node i is nodes[i] (in the graph's node order,
// with its attribute dictionary attrs[i]), its successors are
// succ[succ_off[i] .. succ_off[i+1]) in their stored order, and npred[i]
// counts its predecessors; node_map, succ_map and pred_map are the graph's
// own dictionaries.  The objects are held, so code that changes the graph
// meanwhile cannot free them.
struct DigraphArrays {
    nb::object node_map, succ_map, pred_map;
    std::vector<nb::object> nodes, attrs;
    std::vector<std::int32_t> succ_off{0}, succ, npred;
};

// Reads `g` when it is an instance of exactly `digraph` (networkx's DiGraph)
// whose node, successor and predecessor dictionaries are exact dicts listing
// the same nodes in the same order, every node an exact str or int and
// every attribute map an exact dict; false (nothing read, no error) for any
// other graph.  Runs no Python code.
bool read_digraph(nb::handle g, PyObject *digraph, DigraphArrays &out);

}  // namespace vx::dagapi
