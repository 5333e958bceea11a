// The fast path of GateCompressor.run: no networkx DAG.
//
// Where the pass, its class, the module's names, what qc2dag and dag2qc go
// through and the circuit are all the package's own and exact, nothing but
// the package's code would run between reading the records and returning
// the result.  The DAG the methods would build is then only a means: its
// structure is read straight from the identity-free records (the same
// builder qc2dag uses, with the same start nodes, node numbers and edge
// order), the merge loop (worklist.hpp) runs over it with the same
// arithmetic, and the result's records come out in the order dag2qc gives
// (nx.topological_sort over the final graph), rebuilt as dag2qc rebuilds
// them.
//
// `dag` is left as a deferred value: on first read the DAG of the records
// is built as qc2dag builds it and the recorded merges are made on it by the
// DAG tier's store (dag_tier.cpp), which leaves exactly the graph (nodes,
// attributes, edge and adjacency order, cached views) the methods leave.
// `_idx` advances as the methods advance it.
#include "worklist.hpp"

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
std::string start_name(ce::Wire w) {
    std::string s(1, 'q');
    s += std::to_string(w);
    return s;
}

// What a run left for its DAG to be built from.
struct FastRun final : vx::DeferredSource {
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

// The fast path's graph: the start nodes (one per wire of `starts`), then
// the skeleton's nodes (a record's node; measures over several qubits give
// one per qubit), then the nodes merges made, in the order they were made.
class FastStore final : public Store {
public:
    FastStore(FastRun &run, const vx::dagapi::Skeleton &sk, std::vector<ce::Wire> starts)
        : run_(run), sk_(sk), starts_(std::move(starts)) {}

    std::size_t num_starts() const { return starts_.size(); }
    ce::Wire start_wire(ce::NodeId n) const { return starts_[static_cast<size_t>(n)]; }
    // The skeleton entry of node n, -1 for a start node or a made one.
    std::ptrdiff_t entry(ce::NodeId n) const {
        const auto k = static_cast<std::ptrdiff_t>(n) - static_cast<std::ptrdiff_t>(starts_.size());
        return k >= 0 && k < static_cast<std::ptrdiff_t>(sk_.size()) ? k : -1;
    }
    // The merge that made node n (n made by one).
    std::size_t step_of(ce::NodeId n) const { return made_step_[static_cast<size_t>(n) - starts_.size() - sk_.size()]; }
    PyObject *record(std::size_t k) const { return PyList_GET_ITEM(run_.records.ptr(), sk_.rec[k]); }

    bool prepare(ce::NodeId, ce::NodeId) override { return true; }
    nb::object name(ce::NodeId n) override {
        if (n < static_cast<ce::NodeId>(starts_.size()))
            return vx::str_obj(start_name(start_wire(n)));
        std::string text;
        std::vector<std::int64_t> qs(g.qubits(n).begin(), g.qubits(n).end());  // a compressible node's
        if (const auto k = entry(n); k >= 0)
            vx::dagapi::node_name(text, vx::utf8(PyTuple_GET_ITEM(record(static_cast<size_t>(k)), 0)), k, qs.data(),
                                  qs.size());
        else
            vx::dagapi::node_name(text, vx::utf8(run_.gates.name[static_cast<size_t>(g.gate(n))]),
                                  run_.start + 1 + made_before(n), qs.data(), qs.size());
        return vx::str_obj(text);
    }
    bool float_params(ce::NodeId n, double out[3], int &count) override {
        if (const auto k = entry(n); k >= 0) {
            PyObject *rec = record(static_cast<size_t>(k));
            count = vx::dagapi::record_param_count(sk_.kind[static_cast<size_t>(k)], PyTuple_GET_SIZE(rec));
            if (count > 3)
                return false;
            for (int i = 0; i < count; ++i) {
                PyObject *x = PyTuple_GET_ITEM(rec, 1 + i);
                if (!PyFloat_CheckExact(x))
                    return false;
                out[i] = PyFloat_AS_DOUBLE(x);
            }
            return true;
        }
        const std::size_t step = step_of(n);
        const double *v = run_.script.floats(step);
        if (!v)
            return false;
        count = run_.script.count(step);
        std::copy(v, v + count, out);
        return true;
    }
    nb::object params(ce::NodeId n) override {
        if (const auto k = entry(n); k >= 0) {
            PyObject *rec = record(static_cast<size_t>(k));
            const Py_ssize_t np =
                vx::dagapi::record_param_count(sk_.kind[static_cast<size_t>(k)], PyTuple_GET_SIZE(rec));
            nb::object l = vx::own(PyList_New(np));
            for (Py_ssize_t i = 0; i < np; ++i)
                PyList_SET_ITEM(l.ptr(), i, Py_NewRef(PyTuple_GET_ITEM(rec, 1 + i)));
            return l;
        }
        return run_.script.params(step_of(n)).object();
    }
    nb::object label(ce::EdgeId) override { return {}; }
    bool wants_labels() const override { return false; }
    void remove(ce::NodeId n) override { g.remove_node(n); }
    ce::NodeId add_created(const Gates &, std::int32_t gate, ce::NodeId n1, const Merged &, long long,
                           std::size_t step) override {
        auto qs = g.qubits(n1);
        ce::Wire copy[ce::kMaxQubits];
        std::copy(qs.begin(), qs.end(), copy);  // the pool may move as the node is added
        if (step > UINT32_MAX)
            throw std::length_error("too many merges");
        made_step_.push_back(static_cast<std::uint32_t>(step));
        return g.add_node(gate, {copy, qs.size()});
    }
    void add_edge(ce::NodeId u, ce::NodeId v, nb::handle, std::span<const ce::Wire> wires) override {
        g.add_edge(u, v, wires);
    }

    // The nodes made before n, itself a made one.
    long long made_before(ce::NodeId n) const {
        return static_cast<long long>(static_cast<size_t>(n) - starts_.size() - sk_.size());
    }
    std::size_t bytes() const { return g.bytes() + made_step_.capacity() * sizeof(std::uint32_t); }

private:
    FastRun &run_;
    const vx::dagapi::Skeleton &sk_;
    std::vector<ce::Wire> starts_;
    std::vector<std::uint32_t> made_step_;  // by made node
};

// Records whose lists the input's records share are copied, so that what
// the DAG is built from later is what the run read; where none does, the
// list is the run's own already.
nb::object frozen(PyObject *records) {
    const Py_ssize_t n = PyList_GET_SIZE(records);
    auto shares = [](PyObject *rec) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(rec); ++k)
            if (PyList_CheckExact(PyTuple_GET_ITEM(rec, k)))
                return true;
        return false;
    };
    Py_ssize_t first = 0;
    while (first < n && !shares(PyList_GET_ITEM(records, first)))
        ++first;
    if (first == n)
        return nb::borrow(records);
    nb::object out = vx::own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *rec = PyList_GET_ITEM(records, i);
        if (i < first || !shares(rec)) {
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
const vx::dagapi::Api *own_road(const vx::Args &a, FastRun &run) {
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
bool start_wires(PyObject *qubits, long long nqubits, std::vector<ce::Wire> &out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits); ++i) {
        long long w;
        if (!vx::exact_ll(PyList_GET_ITEM(qubits, i), w) || w < 0 || w >= nqubits)
            return false;
        out.push_back(static_cast<ce::Wire>(w));
    }
    std::vector<ce::Wire> sorted(out);
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

bool exact_number(PyObject *x) { return PyLong_CheckExact(x) || PyFloat_CheckExact(x); }

// The node of skeleton entry k is one the fast path can stand for: a record
// whose name has no "_" (so it is the node's gate name), that dag2qc's
// tables give the kind the builder read it as, with exact int qubits and,
// for a compressible parameter gate, exact ints or floats as angles.
class NodeCheck {
public:
    NodeCheck(const vx::dagapi::Skeleton &sk, PyObject *records, GateKinds &out_kinds, const Gates &gates)
        : sk_(sk), records_(records), out_(out_kinds), gates_(gates) {}

    // The gate id of the node (kNone where not compressible); false where
    // the node is not one the fast path reads.
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
        if (!vx::dagapi::exact_wires(rec, kind))
            return false;
        const int np = vx::dagapi::record_param_count(kind, PyTuple_GET_SIZE(rec));
        if (np && gate != ce::kNone) {
            const Rule r = gates_.rule[static_cast<size_t>(gate)];
            for (int i = 1; (r == Rule::OneParam || r == Rule::TwoParam) && i <= np; ++i)
                if (!exact_number(PyTuple_GET_ITEM(rec, i)))
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

// The engine's graph of the DAG qc2dag builds: start nodes, then the
// skeleton's nodes; edges as the builder lists them (and so each node's
// successors and predecessors in the graph's own order), taken gate by gate
// so that no list of them all is kept.  The skeleton's wires are let go
// once read.
bool build_graph(FastStore &st, vx::dagapi::Skeleton &sk, long long nqubits, NodeCheck &check, const Gates &gates) {
    engines::dag::DagBuilder b(nqubits);
    const std::size_t n = st.num_starts() + sk.size();
    // merges make fewer nodes than there are, and take as many edges as they
    // give back: reserved room that stays unused costs no memory
    st.g.reserve(2 * n + 1, 2 * n + 16, 3 * n + 3);
    std::vector<ce::Wire> wires;
    for (std::size_t i = 0; i < st.num_starts(); ++i) {
        const ce::Wire w = st.start_wire(static_cast<ce::NodeId>(i));
        b.add_start_node(w);
        const std::int32_t gate = gate_id(gates, start_name(w));
        st.g.add_node(gate, gate == ce::kNone ? std::span<const ce::Wire>() : std::span<const ce::Wire>(&w, 1));
    }
    std::size_t measures = 0;
    for (std::size_t k = 0; k < sk.size(); ++k) {
        vx::poll_signals(k, 1 << 16);
        std::int32_t gate;
        if (!check(k, gate))
            return false;
        const std::span<const std::int64_t> ws(sk.wires.data() + sk.w_off[k],
                                               static_cast<size_t>(sk.w_off[k + 1] - sk.w_off[k]));
        vx::dagapi::add_skeleton_node(b, sk, k, measures);
        wires.assign(ws.begin(), ws.end());  // in range: below nqubits
        if (gate != ce::kNone && wires.size() > ce::kMaxQubits)
            return false;
        const ce::NodeId id = st.g.add_node(gate, gate == ce::kNone ? std::span<const ce::Wire>() : wires);
        // the edges into the node: one per earlier node on its wires, and
        // one without wires from a classical bit's last writer
        for (const auto &e : b.edges()) {
            auto ew = b.wires_of(e);
            wires.assign(ew.begin(), ew.end());
            st.g.add_edge(e.src, id, wires);
        }
        b.clear_edges();
    }
    // what the run reads of the skeleton from here on: its records, parts and kinds
    std::vector<std::int64_t>().swap(sk.wires);
    std::vector<std::int32_t>().swap(sk.w_off);
    return true;
}

// New int objects of the wires, one per wire.
class WireInts {
public:
    PyObject *get(ce::Wire w) {
        if (static_cast<size_t>(w) >= kCached)
            return vx::int_obj(w).release().ptr();
        if (ints_.size() <= static_cast<size_t>(w))
            ints_.resize(static_cast<size_t>(w) + 1);
        nb::object &x = ints_[static_cast<size_t>(w)];
        if (!x.is_valid())
            x = vx::int_obj(w);
        return Py_NewRef(x.ptr());
    }

private:
    static constexpr std::size_t kCached = std::size_t{1} << 20;
    std::vector<nb::object> ints_;
};

// The record dag2qc rebuilds from node n: a made node's (gate, *params,
// *qubits), a record's as dag2qc rebuilds it (the very record where that is
// an equal record of immutable values).
nb::object rebuilt(FastStore &st, const FastRun &run, const vx::dagapi::Skeleton &sk, ce::NodeId n, WireInts &ints) {
    if (const auto k = st.entry(n); k >= 0) {
        PyObject *rec = st.record(static_cast<size_t>(k));
        const vx::dagapi::RecordKind kind = sk.kind[static_cast<size_t>(k)];
        return vx::dagapi::shareable_record(rec, kind)
                   ? nb::borrow(rec)
                   : vx::dagapi::rebuilt_record(rec, kind, sk.part[static_cast<size_t>(k)]);
    }
    const std::size_t step = st.step_of(n);
    auto qs = st.g.qubits(n);
    const double *v = run.script.floats(step);
    nb::object list = v ? nb::object() : run.script.params(step).object();
    const Py_ssize_t np = v ? run.script.count(step) : PyList_GET_SIZE(list.ptr());
    nb::object rec = vx::own(PyTuple_New(1 + np + static_cast<Py_ssize_t>(qs.size())));
    PyTuple_SET_ITEM(rec.ptr(), 0, Py_NewRef(run.gates.name[static_cast<size_t>(st.g.gate(n))].ptr()));
    for (Py_ssize_t i = 0; i < np; ++i)
        PyTuple_SET_ITEM(rec.ptr(), 1 + i,
                         v ? vx::check(PyFloat_FromDouble(v[i])) : Py_NewRef(PyList_GET_ITEM(list.ptr(), i)));
    for (size_t i = 0; i < qs.size(); ++i)
        PyTuple_SET_ITEM(rec.ptr(), 1 + np + static_cast<Py_ssize_t>(i), ints.get(qs[i]));
    return rec;
}

// The result's records: the live nodes but the start nodes, in
// nx.topological_sort's order.
nb::object result_records(FastStore &st, const FastRun &run, const vx::dagapi::Skeleton &sk) {
    Py_ssize_t count = 0;
    for (ce::NodeId u = static_cast<ce::NodeId>(st.num_starts()); u < static_cast<ce::NodeId>(st.g.num_nodes()); ++u)
        count += st.g.node(u).alive();
    nb::object out = vx::own(PyList_New(count));
    WireInts ints;
    Py_ssize_t i = 0;
    const bool whole = st.g.drain_in_topological_order([&](ce::NodeId u) {
        vx::poll_signals(static_cast<std::size_t>(i), 1 << 16);
        if (u >= static_cast<ce::NodeId>(st.num_starts()))
            PyList_SET_ITEM(out.ptr(), i++, rebuilt(st, run, sk, u, ints).release().ptr());
    });
    if (!whole || i != count)
        vx::raise(PyExc_RuntimeError, "gate compression: the merged circuit DAG has a cycle");
    return out;
}

// The circuit dag2qc makes of the records, with what run sets on it.
nb::object result_circuit(nb::handle qc, nb::handle qubits, const FastRun &run, nb::handle records) {
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

bool fast_run(const vx::Args &a, nb::handle self, nb::handle qc, nb::handle qubits, PyObject *records,
              nb::object &result, vx::PathChoice &path) {
    auto run = std::make_shared<FastRun>();
    const vx::dagapi::Api *api = own_road(a, *run);
    if (!api)
        return path.decline("what qc2dag and dag2qc go through is not the package's own");
    long long idx, nq;
    if (!vx::exact_ll(vx::getattr(self, names()._idx).ptr(), idx) || idx > (1LL << 62) || idx < -(1LL << 62) ||
        !read_gates(a, self, run->gates))
        return path.decline("_idx or compressible_gates is not of the exact kind the run reads");
    nb::object kept = identity_free_records(a, qc, records);
    if (!kept.is_valid() || !vx::exact_ll(vx::getattr(qc, names().nqubits).ptr(), nq))
        return path.decline("the circuit is not an exact QuantumCircuit of exact records");
    run->records = frozen(kept.ptr());
    run->qubits = vx::own(PySequence_List(qubits.ptr()));
    run->nqubits = nq;
    if (nq > ce::kMaxWire + 1)
        return path.decline("the circuit has more qubits than the fast path's graph numbers");
    std::vector<ce::Wire> starts;
    if (!start_wires(run->qubits.ptr(), nq, starts))
        return path.decline("the circuit's qubits are not distinct ints in range");
    GateKinds out_kinds(*api, dag_globals());
    for (ce::Wire w : starts)
        if (out_kinds.of(vx::str_obj(start_name(w)).ptr()).shaped)
            return path.decline("a start node's name is a gate name");
    vx::GcPause pause;
    vx::dagapi::Skeleton sk;
    if (!api->skeleton(run->gatework.ptr(), nq, run->records.ptr(), false, sk))
        throw vx::error_already_set{};                 // checked records: an interrupt or a real error
    std::vector<engines::dag::Edge>().swap(sk.edges);  // the graph's edges are its own, with start nodes
    FastStore st(*run, sk, std::move(starts));
    NodeCheck check(sk, run->records.ptr(), out_kinds, run->gates);
    if (!build_graph(st, sk, nq, check, run->gates))
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
    nb::object out = result_records(st, *run, sk);
    result = result_circuit(qc, qubits, *run, out);
    return true;
}

void remember_fast(nb::handle module, nb::handle cls) {
    vx::install_deferred(module, cls, "GateCompressor", "vexal.circuit.optimize._Deferred", {"dag"});
}

}  // namespace optimize
