// GateCompressor.run without the networkx DAG.
//
// Where the pass, its class, the module's names, what qc2dag and dag2qc go
// through and the circuit are all the package's own and plain, nothing but
// the package's code would run between reading the records and returning
// the result.  The DAG the methods would build is then only a means: its
// structure is read straight from the identity-free records (the same
// builder qc2dag uses, with the same start nodes, node numbers and edge
// order), the merge loop (loop.hpp) runs over it with the same arithmetic,
// and the result's records come out in the order dag2qc gives
// (nx.topological_sort over the final graph), rebuilt as dag2qc rebuilds
// them.
//
// `dag` is left as a deferred value: on first read the DAG of the records
// is built as qc2dag builds it and the recorded merges are made on it by the
// native loop, which leaves exactly the graph (nodes, attributes, edge and
// adjacency order, cached views) the methods leave.  `_idx` advances as the
// methods advance it.
#include "loop.hpp"

#include "dag_engine.hpp"
#include "dag_order.hpp"
#include "deferred_values.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace optimize {

namespace {

using vx::dagapi::GateKinds;
using vx::dagapi::RecordKind;

constexpr std::int32_t kStart = -1;  // NodeInfo::rec of a start node

// The name of the start node of wire w.
std::string start_name(std::int64_t w) {
    std::string s(1, 'q');
    s += std::to_string(w);
    return s;
}

// What a run left for its DAG to be built from.
struct LeanRun final : vx::DeferredSource {
    const vx::dagapi::Api *api = nullptr;
    nb::object globals;   // the module's namespace
    nb::object gatework;  // the namespace the DAG builder reads the tables of
    nb::object digraph;   // nx.DiGraph
    nb::object records;   // the identity-free records, frozen
    nb::object qubits;    // the copy's qubits, the DAG's graph attribute
    long long nqubits = 0;
    Gates gates;
    long long start = 0;  // _idx before the first merge
    Script script;
    nb::object built;

    nb::object value(int) override {
        if (built.is_valid())
            return built;
        nb::object lists = vx::own(api->build(gatework.ptr(), nqubits, qubits.ptr(), records.ptr(), 1, nullptr));
        nb::object g = vx::own(PyObject_CallNoArgs(digraph.ptr()));
        vx::dagapi::fill_digraph(g, PyTuple_GET_ITEM(lists.ptr(), 0), PyTuple_GET_ITEM(lists.ptr(), 1));
        nb::object attrs = vx::getattr(g, vx::intern("graph"));
        vx::check(PyObject_SetItem(attrs.ptr(), names().qubits, qubits.ptr()));
        vx::GcPause pause;
        replay(globals.ptr(), g, gates, start, script);
        vx::dagapi::leave_sort_views(g);  // the run's dag2qc sorted it
        built = g;
        return g;
    }
    const char *describe(int) const override { return "<circuit DAG, built when the attribute is read>"; }
};

// A node of the lean graph: a start node, a record's node (measures over
// several qubits give one per qubit) or a node a merge made.
struct NodeInfo {
    std::int32_t rec;   // record index, kStart, or -2 - (created index)
    std::int32_t part;  // a start node's wire; a record node's skeleton index
};

struct Created {
    nb::object gate, params;
    long long number;
};

class LeanStore final : public Store {
public:
    LeanStore(const LeanRun &run, const vx::dagapi::Skeleton &sk) : run_(run), sk_(sk) {}

    std::vector<NodeInfo> info;
    std::vector<Created> made;

    PyObject *record(ce::NodeId n) const { return PyList_GET_ITEM(run_.records.ptr(), info[n].rec); }

    bool prepare(ce::NodeId, ce::NodeId) override { return true; }
    nb::object name(ce::NodeId n) override {
        const NodeInfo &x = info[static_cast<size_t>(n)];
        if (x.rec == kStart)
            return vx::str_obj(start_name(x.part));
        std::string text;
        auto qs = g.qubits(n);
        if (x.rec >= 0) {
            const std::int32_t k = x.part;
            vx::dagapi::node_name(text, vx::utf8(PyTuple_GET_ITEM(record(n), 0)), k, sk_.wires.data() + sk_.w_off[k],
                                  static_cast<size_t>(sk_.w_off[k + 1] - sk_.w_off[k]));
        } else {
            const Created &c = made[static_cast<size_t>(-2 - x.rec)];
            vx::dagapi::node_name(text, vx::utf8(c.gate), c.number, qs.data(), qs.size());
        }
        return vx::str_obj(text);
    }
    nb::object params(ce::NodeId n) override {
        const NodeInfo &x = info[static_cast<size_t>(n)];
        if (x.rec < 0)
            return made[static_cast<size_t>(-2 - x.rec)].params;
        const Py_ssize_t np =
            vx::dagapi::record_param_count(sk_.kind[static_cast<size_t>(x.part)], PyTuple_GET_SIZE(record(n)));
        return params_list(record(n), np);
    }
    nb::object label(ce::EdgeId) override { return {}; }
    bool wants_labels() const override { return false; }
    void remove(ce::NodeId n) override { g.remove_node(n); }
    ce::NodeId add_created(const Gates &gates, std::int32_t gate, ce::NodeId n1, nb::handle params,
                           long long number) override {
        auto qs = g.qubits(n1);
        const std::vector<std::int64_t> wires(qs.begin(), qs.end());
        made.push_back({gates.name[static_cast<size_t>(gate)], nb::borrow(params), number});
        info.push_back({static_cast<std::int32_t>(-2 - static_cast<std::int32_t>(made.size() - 1)), 0});
        return g.add_node(gate, wires);
    }
    void add_edge(ce::NodeId u, ce::NodeId v, nb::handle, std::span<const std::int64_t> wires) override {
        g.add_edge(u, v, wires, 0);
    }

private:
    static nb::object params_list(PyObject *rec, Py_ssize_t np) {
        nb::object l = vx::own(PyList_New(np));
        for (Py_ssize_t i = 0; i < np; ++i)
            PyList_SET_ITEM(l.ptr(), i, Py_NewRef(PyTuple_GET_ITEM(rec, 1 + i)));
        return l;
    }

    const LeanRun &run_;
    const vx::dagapi::Skeleton &sk_;
};

// Records whose lists the input's records share are copied, so that what
// the DAG is built from later is what the run read.
nb::object frozen(PyObject *records) {
    const Py_ssize_t n = PyList_GET_SIZE(records);
    nb::object out = vx::own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *rec = PyList_GET_ITEM(records, i);
        bool shares = false;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(rec); ++k)
            shares |= PyList_CheckExact(PyTuple_GET_ITEM(rec, k));
        if (!shares) {
            PyList_SET_ITEM(out.ptr(), i, Py_NewRef(rec));
            continue;
        }
        nb::object copy = vx::own(PyTuple_New(PyTuple_GET_SIZE(rec)));
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(rec); ++k) {
            PyObject *x = PyTuple_GET_ITEM(rec, k);
            PyTuple_SET_ITEM(copy.ptr(), k,
                             PyList_CheckExact(x) ? vx::check(PyList_GetSlice(x, 0, PY_SSIZE_T_MAX)) : Py_NewRef(x));
        }
        PyList_SET_ITEM(out.ptr(), i, copy.release().ptr());
    }
    return out;
}

// Every name the run goes through is the package's own: the pass's methods
// and `dag` descriptor, the module's names, what qc2dag and dag2qc use.
const vx::dagapi::Api *own_road(const vx::Args &a, LeanRun &run) {
    vx::dagapi::OwnDag own;
    if (!own_networkx() || !vx::dagapi::own_dag(a.global("qc2dag"), own))
        return nullptr;
    run.gatework = nb::borrow(own.gatework);
    run.globals = nb::borrow(a.func()->globals);
    run.digraph = nb::borrow(own.digraph);
    run.api = own.api;
    return own.api;
}

// The circuit's qubits are distinct ints in range: each has its start node.
bool start_wires(PyObject *qubits, long long nqubits, std::vector<std::int64_t> &out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits); ++i) {
        long long w;
        if (!vx::exact_ll(PyList_GET_ITEM(qubits, i), w) || w < 0 || w >= nqubits)
            return false;
        out.push_back(w);
    }
    std::vector<std::int64_t> sorted(out);
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

bool plain_number(PyObject *x) { return PyLong_CheckExact(x) || PyFloat_CheckExact(x); }

// The node of skeleton entry k is one the lean run can stand for: a record
// whose name has no "_" (so it is the node's gate name), that dag2qc's
// tables give the kind the builder read it as, with plain int qubits and,
// for a compressible parameter gate, plain numbers as angles.
class NodeCheck {
public:
    NodeCheck(const vx::dagapi::Skeleton &sk, PyObject *records, GateKinds &out_kinds, const Gates &gates)
        : sk_(sk), records_(records), out_(out_kinds), gates_(gates) {}

    // The gate id of the node (kNone where not compressible); false where
    // the node is not plain.
    bool operator()(std::size_t k, std::int32_t &gate) {
        PyObject *rec = PyList_GET_ITEM(records_, sk_.rec[k]);
        PyObject *name = PyTuple_GET_ITEM(rec, 0);
        const RecordKind kind = sk_.kind[k];
        auto it = seen_.find(name);
        if (it == seen_.end() || it->second.kind != kind) {
            Seen s{kind, ce::kNone, false};
            if (PyUnicode_CheckExact(name)) {
                const std::string_view text = vx::utf8(name);
                const auto &out = out_.of(name);
                s.ok = text.find('_') == std::string_view::npos && out.shaped && out.record == kind;
                s.gate = gate_id(gates_, text);
            }
            it = seen_.insert_or_assign(nb::borrow(name).release().ptr(), s).first;
            held_.push_back(nb::steal(it->first));
        }
        if (!it->second.ok)
            return false;
        gate = it->second.gate;
        if (!vx::dagapi::plain_wires(rec, kind))
            return false;
        const int np = vx::dagapi::record_param_count(kind, PyTuple_GET_SIZE(rec));
        if (np && gate != ce::kNone) {
            const Rule r = gates_.rule[static_cast<size_t>(gate)];
            for (int i = 1; (r == Rule::OneParam || r == Rule::TwoParam) && i <= np; ++i)
                if (!plain_number(PyTuple_GET_ITEM(rec, i)))
                    return false;
        }
        return true;
    }

private:
    struct Seen {
        RecordKind kind;
        std::int32_t gate;
        bool ok;
    };
    const vx::dagapi::Skeleton &sk_;
    PyObject *records_;
    GateKinds &out_;
    const Gates &gates_;
    std::unordered_map<PyObject *, Seen> seen_;
    std::vector<nb::object> held_;
};

// The engine's graph of the DAG qc2dag builds: start nodes of `starts`, then
// the skeleton's nodes; edges as the builder lists them (and so each node's
// successors and predecessors in the graph's own order).
bool build_graph(LeanStore &st, const vx::dagapi::Skeleton &sk, const std::vector<std::int64_t> &starts,
                 long long nqubits, NodeCheck &check, const Gates &gates) {
    engines::dag::DagBuilder b(nqubits);
    const std::size_t n = starts.size() + sk.size();
    b.reserve(n, 2 * n, 2 * n);
    st.g.reserve(n + n / 2, 2 * n);
    st.info.reserve(n + n / 2);
    for (std::int64_t w : starts) {
        b.add_start_node(w);
        const std::int32_t gate = gate_id(gates, start_name(w));
        st.g.add_node(gate, gate == ce::kNone ? std::span<const std::int64_t>() : std::span<const std::int64_t>(&w, 1));
        st.info.push_back({kStart, static_cast<std::int32_t>(w)});
    }
    std::size_t measures = 0;
    for (std::size_t k = 0; k < sk.size(); ++k) {
        vx::poll_signals(k, 1 << 16);
        std::int32_t gate;
        if (!check(k, gate))
            return false;
        const std::span<const std::int64_t> wires(sk.wires.data() + sk.w_off[k],
                                                  static_cast<size_t>(sk.w_off[k + 1] - sk.w_off[k]));
        vx::dagapi::add_skeleton_node(b, sk, k, measures);
        st.g.add_node(gate, gate == ce::kNone ? std::span<const std::int64_t>() : wires);
        st.info.push_back({sk.rec[k], static_cast<std::int32_t>(k)});
    }
    for (const auto &e : b.edges())
        st.g.add_edge(e.src, e.dst, b.wires_of(e), 0);
    return true;
}

// The record dag2qc rebuilds from node n.
nb::object rebuilt(LeanStore &st, const vx::dagapi::Skeleton &sk, ce::NodeId n) {
    const NodeInfo &x = st.info[static_cast<size_t>(n)];
    if (x.rec < 0) {  // made by a merge: (gate, *params, *qubits)
        const Created &c = st.made[static_cast<size_t>(-2 - x.rec)];
        auto qs = st.g.qubits(n);
        const Py_ssize_t np = PyList_GET_SIZE(c.params.ptr());
        nb::object rec = vx::own(PyTuple_New(1 + np + static_cast<Py_ssize_t>(qs.size())));
        PyTuple_SET_ITEM(rec.ptr(), 0, Py_NewRef(c.gate.ptr()));
        for (Py_ssize_t i = 0; i < np; ++i)
            PyTuple_SET_ITEM(rec.ptr(), 1 + i, Py_NewRef(PyList_GET_ITEM(c.params.ptr(), i)));
        for (size_t i = 0; i < qs.size(); ++i)
            PyTuple_SET_ITEM(rec.ptr(), 1 + np + static_cast<Py_ssize_t>(i), vx::int_obj(qs[i]).release().ptr());
        return rec;
    }
    const std::size_t k = static_cast<size_t>(x.part);
    return vx::dagapi::rebuilt_record(st.record(n), sk.kind[k], sk.part[k]);
}

// The result's records: the live nodes in nx.topological_sort's order.
nb::object result_records(LeanStore &st, const vx::dagapi::Skeleton &sk) {
    const ce::Graph &g = st.g;
    std::vector<std::int32_t> index(g.num_nodes(), -1), live;
    for (ce::NodeId u = 0; u < static_cast<ce::NodeId>(g.num_nodes()); ++u)
        if (g.node(u).alive) {
            index[static_cast<size_t>(u)] = static_cast<std::int32_t>(live.size());
            live.push_back(u);
        }
    std::vector<std::int32_t> off{0}, succ, indegree;
    off.reserve(live.size() + 1);
    indegree.reserve(live.size());
    for (ce::NodeId u : live) {
        g.each_out(u, [&](ce::EdgeId e) { succ.push_back(index[static_cast<size_t>(g.edge(e).dst)]); });
        off.push_back(static_cast<std::int32_t>(succ.size()));
        indegree.push_back(g.node(u).n_in);
    }
    engines::dag::Generations order;
    if (!engines::dag::generations(off, succ, std::move(indegree), order))
        vx::raise(PyExc_RuntimeError, "gate compression: the merged circuit DAG has a cycle");
    nb::object out = vx::own(PyList_New(0));
    for (std::size_t i = 0; i < order.nodes.size(); ++i) {
        vx::poll_signals(i, 1 << 16);
        const ce::NodeId u = live[static_cast<size_t>(order.nodes[i])];
        if (st.info[static_cast<size_t>(u)].rec == kStart)
            continue;
        vx::check(PyList_Append(out.ptr(), rebuilt(st, sk, u).ptr()));
    }
    return out;
}

// The circuit dag2qc makes of the records, with what run sets on it.
nb::object result_circuit(nb::handle qc, nb::handle qubits, const LeanRun &run, nb::handle records) {
    const Names &k = names();
    nb::object cls = nb::borrow(PyDict_GetItemString(dag_globals(), "QuantumCircuit"));
    nb::object nq = vx::getattr(qc, k.nqubits), nc = vx::getattr(qc, k.ncbits);
    nb::object out = vx::call(cls, {nq, nc});
    vx::check(PyObject_SetAttr(out.ptr(), k.gates, records.ptr()));
    vx::check(PyObject_SetAttr(out.ptr(), k.qubits, run.qubits.ptr()));
    vx::check(PyObject_SetAttr(out.ptr(), k.qubits, qubits.ptr()));
    nb::object values = vx::own(PyDict_Copy(vx::getattr(qc, k.params_value).ptr()));
    vx::check(PyObject_SetAttr(out.ptr(), k.params_value, values.ptr()));
    return out;
}

}  // namespace

bool lean_run(const vx::Args &a, nb::handle self, nb::handle qc, nb::handle qubits, PyObject *records,
              nb::object &result, vx::PathChoice &path) {
    auto run = std::make_shared<LeanRun>();
    const vx::dagapi::Api *api = own_road(a, *run);
    if (!api)
        return path.decline("what qc2dag and dag2qc go through is not the package's own");
    long long idx, nq;
    if (!vx::exact_ll(vx::getattr(self, names()._idx).ptr(), idx) || idx > (1LL << 62) || idx < -(1LL << 62) ||
        !read_gates(a, self, run->gates))
        return path.decline("_idx or compressible_gates is not of the plain kind the run reads");
    nb::object kept = identity_free_records(a, self, qc, records);
    if (!kept.is_valid() || !vx::exact_ll(vx::getattr(qc, names().nqubits).ptr(), nq))
        return path.decline("the circuit is not a plain QuantumCircuit of plain records");
    run->records = frozen(kept.ptr());
    run->qubits = vx::own(PySequence_List(qubits.ptr()));
    run->nqubits = nq;
    std::vector<std::int64_t> starts;
    if (!start_wires(run->qubits.ptr(), nq, starts))
        return path.decline("the circuit's qubits are not distinct ints in range");
    GateKinds out_kinds(*api, dag_globals());
    for (std::int64_t w : starts)
        if (out_kinds.of(vx::str_obj(start_name(w)).ptr()).shaped)
            return path.decline("a start node's name is a gate name");
    vx::GcPause pause;
    vx::dagapi::Skeleton sk;
    if (!api->skeleton(run->gatework.ptr(), nq, run->records.ptr(), false, sk))
        throw vx::error_already_set{};  // checked records: an interrupt or a real error
    LeanStore st(*run, sk);
    NodeCheck check(sk, run->records.ptr(), out_kinds, run->gates);
    if (!build_graph(st, sk, starts, nq, check, run->gates))
        return path.decline("a node is of a kind the run does not read");

    // From here on the run is this one.
    vx::setattr(self, "dag", vx::make_deferred(run, 0));
    // created numbers go past every position the DAG's names carry
    const long long top = static_cast<long long>(sk.size()) - 1;
    if (!sk.rec.empty() && idx < top) {
        idx = top;
        vx::check(PyObject_SetAttr(self.ptr(), names()._idx, vx::int_obj(idx).ptr()));
    }
    run->start = idx;
    Loop(a.func()->globals, self, st, run->gates, idx, &run->script, nullptr).run();
    nb::object out = result_records(st, sk);
    result = result_circuit(qc, qubits, *run, out);
    return true;
}

void remember_lean(nb::handle module, nb::handle cls) {
    vx::install_deferred(module, cls, "GateCompressor", "vexal.circuit.optimize._Deferred", {"dag"});
}

}  // namespace optimize
