// The DAG tier of GateCompressor.run: the merge loop over the pass's
// networkx DAG.
//
// The networkx DAG stays the pass's state.  Each merge of the loop
// (worklist.hpp) is applied to the graph's own dictionaries exactly as
// remove_nodes_from, add_nodes_from and add_edges_from apply the rules'
// lists, with the same labels (the very objects the rules hand on), the same
// names and the same merge arithmetic (merge.cpp); the engine follows every
// change.  So `dag` and `_idx` come out as the methods leave them.
//
// Taken only when the pass, its class and the names the rules go through are
// the package's own and the DAG is a networkx DiGraph of exact values (str
// names, int wires, int or float angles); nothing that runs meanwhile can
// then change the DAG behind the engine's back.  The same store replays a
// fast run's merges (fast.cpp) on the DAG it builds when `dag` is read.
#include "worklist.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>
#include <cstdint>

namespace optimize {

namespace {

constexpr const char *kGraphPaths[] = {
    "DiGraph",
    "DiGraph.remove_nodes_from",
    "DiGraph.add_nodes_from",
    "DiGraph.add_edges_from",
    "DiGraph.edges",
    "DiGraph.nodes",
    "DiGraph.out_edges",
    "DiGraph.in_edges",
    "DiGraph.predecessors",
    "DiGraph.successors",
    "DiGraph.has_edge",
    "DiGraph.get_edge_data",
    "DiGraph.node_attr_dict_factory",
    "DiGraph.adjlist_inner_dict_factory",
    "DiGraph.edge_attr_dict_factory",
    "reportviews.OutEdgeView",
    "reportviews.InEdgeView",
    "reportviews.NodeView",
};

PyObject *g_dag = nullptr;  // the namespace of vexal.circuit.dag, read, never recorded into
PyObject *g_nx = nullptr;   // networkx's namespace, where the graph methods the store stands for are recorded

bool exact_numbers(PyObject *o) {
    if (!PyList_CheckExact(o))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
        PyObject *x = PyList_GET_ITEM(o, i);
        if (!PyLong_CheckExact(x) && !PyFloat_CheckExact(x))
            return false;
    }
    return true;
}

// A networkx DiGraph whose methods are networkx's own (on its class and not
// shadowed on the graph) and whose dictionaries are exact dicts.
bool own_graph(nb::handle dag) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(dag.ptr())) != vx::original(g_nx, "DiGraph"))
        return false;
    for (const char *path : kGraphPaths)
        if (!vx::is_original(g_nx, path))
            return false;
    PyObject *dict = PyObject_GenericGetDict(dag.ptr(), nullptr);
    if (!dict)
        throw vx::error_already_set{};
    nb::object keep = nb::steal(dict);
    for (const char *method : {"remove_nodes_from", "add_nodes_from", "add_edges_from", "predecessors", "successors",
                               "has_edge", "get_edge_data"})
        if (PyDict_GetItemString(dict, method))
            return false;
    // views the walks cache on the graph: networkx's own, of this graph
    struct View {
        const char *name, *type, *field;  // the field that holds what the view shows
        PyObject *shows;
    };
    const View views[] = {{"edges", "reportviews.OutEdgeView", "_graph", dag.ptr()},
                          {"out_edges", "reportviews.OutEdgeView", "_graph", dag.ptr()},
                          {"in_edges", "reportviews.InEdgeView", "_graph", dag.ptr()},
                          {"nodes", "reportviews.NodeView", "_nodes", PyDict_GetItemString(dict, "_node")}};
    for (const View &v : views) {
        PyObject *view = PyDict_GetItemString(dict, v.name);
        if (!view)
            continue;
        if (reinterpret_cast<PyObject *>(Py_TYPE(view)) != vx::original(g_nx, v.type))
            return false;
        nb::object shows = vx::own(PyObject_GetAttrString(view, v.field));
        if (shows.ptr() != v.shows)
            return false;
    }
    for (const char *field : {"_node", "_succ", "_pred"}) {
        PyObject *d = PyDict_GetItemString(dict, field);
        if (!d || !PyDict_CheckExact(d))
            return false;
    }
    return PyDict_GetItemString(dict, "_adj") == PyDict_GetItemString(dict, "_succ");
}

// The DAG as the engine sees it, and the graph's dictionaries that the
// merges change.
class Mirror final : public Store {
public:
    explicit Mirror(nb::handle dag) : dag_(dag) {
        nb::object dict = vx::own(PyObject_GenericGetDict(dag.ptr(), nullptr));
        node_ = nb::borrow(PyDict_GetItemString(dict.ptr(), "_node"));
        succ_ = nb::borrow(PyDict_GetItemString(dict.ptr(), "_succ"));
        pred_ = nb::borrow(PyDict_GetItemString(dict.ptr(), "_pred"));
        cache_ = nb::borrow(PyDict_GetItemString(dict.ptr(), "__networkx_cache__"));
    }

    // Reads nodes and edges; false where anything is not of the exact types
    // the loop reads.
    bool read(const Gates &gates);

    bool any_edge = false;    // the graph had an edge to walk
    bool any_static = false;  // and one whose ends carry one compressible gate over the same wires

    bool prepare(ce::NodeId n1, ce::NodeId n2) override;
    // As networkx's _clear_cache after a change.
    void before_first_merge() override {
        if (cache_.is_valid() && PyDict_Check(cache_.ptr()) && PyDict_GET_SIZE(cache_.ptr()))
            PyDict_Clear(cache_.ptr());
    }
    nb::object name(ce::NodeId n) override { return names_[static_cast<size_t>(n)]; }
    bool float_params(ce::NodeId n, double out[3], int &count) override;
    nb::object params(ce::NodeId n) override { return vx::getitem(attrs(n), names().params); }
    nb::object label(ce::EdgeId e) override { return labels_[static_cast<size_t>(e)]; }
    bool wants_labels() const override { return true; }
    void remove(ce::NodeId n) override;
    ce::NodeId add_created(const Gates &gates, std::int32_t gate, ce::NodeId n1, const Merged &params, long long number,
                           std::size_t step) override;
    void add_edge(ce::NodeId u, ce::NodeId v, nb::handle label, std::span<const ce::Wire> wires) override;

private:
    PyObject *attrs(ce::NodeId n) const { return attrs_[static_cast<size_t>(n)].ptr(); }
    PyObject *raw_name(ce::NodeId n) const { return names_[static_cast<size_t>(n)].ptr(); }
    ce::EdgeId edge_from(PyObject *name, ce::NodeId n) const;
    void set_label(ce::EdgeId e, nb::handle label) {
        if (labels_.size() <= static_cast<size_t>(e))
            labels_.resize(static_cast<size_t>(e) + 1);
        labels_[static_cast<size_t>(e)] = nb::borrow(label);
    }

    nb::handle dag_;
    nb::object node_, succ_, pred_, cache_;
    std::vector<nb::object> names_, attrs_;
    std::vector<nb::object> labels_;  // by edge
    std::vector<ce::EdgeId> order_;
    std::vector<ce::Wire> wires_;
};

// Only what finding pairs needs is read here: the nodes' gates, the wires of
// the compressible ones and the edges' ends.  What the rules read besides
// (edge labels, the order of a node's predecessors) is read when a merge
// needs it (prepare).
bool Mirror::read(const Gates &gates) {
    vx::dagapi::DigraphArrays arrays;
    if (!vx::dagapi::read_digraph(dag_, vx::original(g_nx, "DiGraph"), arrays))
        return false;
    const std::size_t n = arrays.nodes.size();
    g.reserve(n + n / 2, arrays.succ.size(), n);
    std::vector<ce::Wire> qubits;
    std::string prefix;
    for (std::size_t i = 0; i < n; ++i) {
        vx::poll_signals(i, 1 << 16);
        PyObject *name = arrays.nodes[i].ptr(), *attrs = arrays.attrs[i].ptr();
        if (!PyUnicode_CheckExact(name))
            return false;
        Py_ssize_t len = 0;
        const char *text = PyUnicode_AsUTF8AndSize(name, &len);
        if (!text)
            throw vx::error_already_set{};
        const std::string_view whole(text, static_cast<size_t>(len));
        prefix.assign(whole.substr(0, whole.find('_')));
        auto it = gates.id.find(prefix);
        const std::int32_t gate = it == gates.id.end() ? ce::kNone : it->second;
        qubits.clear();
        if (gate != ce::kNone) {
            PyObject *q = PyDict_GetItem(attrs, names().qubits);
            if (!q || !read_wires(q, qubits) || qubits.size() > ce::kMaxQubits)
                return false;
            const Rule r = gates.rule[static_cast<size_t>(gate)];
            PyObject *params = PyDict_GetItem(attrs, names().params);
            if ((r == Rule::OneParam || r == Rule::TwoParam) && params && !exact_numbers(params))
                return false;
        }
        g.add_node(gate, qubits);
    }
    for (ce::NodeId u = 0; u < static_cast<ce::NodeId>(n); ++u) {
        vx::poll_signals(static_cast<std::size_t>(u), 1 << 16);
        const bool compressible = g.gate(u) != ce::kNone;
        for (std::int32_t k = arrays.succ_off[static_cast<size_t>(u)]; k < arrays.succ_off[static_cast<size_t>(u) + 1];
             ++k) {
            const ce::NodeId v = arrays.succ[static_cast<size_t>(k)];
            g.add_edge_unknown(u, v);
            any_edge = true;
            if (compressible && g.gate(u) == g.gate(v)) {
                auto qa = g.qubits(u), qb = g.qubits(v);
                any_static |= std::equal(qa.begin(), qa.end(), qb.begin(), qb.end());
            }
        }
    }
    names_ = std::move(arrays.nodes);
    attrs_ = std::move(arrays.attrs);
    return true;
}

// The incoming edge of n from the node named `name`, kNone where there is none.
ce::EdgeId Mirror::edge_from(PyObject *name, ce::NodeId n) const {
    ce::EdgeId found = ce::kNone;
    g.each_in(n, [&](ce::EdgeId e) {
        PyObject *src = raw_name(g.edge(e).src);
        if (found == ce::kNone && (src == name || (PyUnicode_CheckExact(name) && PyUnicode_Compare(src, name) == 0)))
            found = e;
    });
    return found;
}

bool Mirror::prepare(ce::NodeId n1, ce::NodeId n2) {
    // n1's incoming edges in the order of its predecessor dict (a gate has
    // one per wire at most)
    PyObject *preds = PyDict_GetItem(pred_.ptr(), raw_name(n1));
    if (!preds || !PyDict_CheckExact(preds) || static_cast<std::size_t>(PyDict_GET_SIZE(preds)) != g.in_degree(n1))
        return false;
    if (PyDict_GET_SIZE(preds) > 1) {
        order_.clear();
        Py_ssize_t i = 0;
        PyObject *u, *data;
        while (PyDict_Next(preds, &i, &u, &data)) {
            const ce::EdgeId e = edge_from(u, n1);
            if (e == ce::kNone)
                return false;
            order_.push_back(e);
        }
        g.set_in_order(n1, order_);
    }
    // the labels the rules read
    ce::edges_read(g, n1, n2, order_);
    for (ce::EdgeId e : order_) {
        if (g.wires_known(e))
            continue;
        PyObject *nbrs = PyDict_GetItem(succ_.ptr(), raw_name(g.edge(e).src));
        PyObject *data = nbrs ? PyDict_GetItem(nbrs, raw_name(g.edge(e).dst)) : nullptr;
        PyObject *label = data && PyDict_CheckExact(data) ? PyDict_GetItem(data, names().qubit) : nullptr;
        if (!label || !read_wires(label, wires_))
            return false;
        g.set_wires(e, wires_);
        set_label(e, label);
    }
    return true;
}

void Mirror::remove(ce::NodeId n) {
    PyObject *x = raw_name(n);
    nb::object succs = nb::borrow(PyDict_GetItem(succ_.ptr(), x));
    vx::check(PyDict_DelItem(node_.ptr(), x));
    Py_ssize_t i = 0;
    PyObject *u, *data;
    while (PyDict_Next(succs.ptr(), &i, &u, &data))
        vx::check(PyDict_DelItem(PyDict_GetItem(pred_.ptr(), u), x));
    vx::check(PyDict_DelItem(succ_.ptr(), x));
    nb::object preds = nb::borrow(PyDict_GetItem(pred_.ptr(), x));
    i = 0;
    while (PyDict_Next(preds.ptr(), &i, &u, &data))
        vx::check(PyDict_DelItem(PyDict_GetItem(succ_.ptr(), u), x));
    vx::check(PyDict_DelItem(pred_.ptr(), x));
    g.remove_node(n);
}

// The node that replaces a pair: named gate_<number>_<n1's qubits>, with
// n1's very qubits list.
ce::NodeId Mirror::add_created(const Gates &gates, std::int32_t gate, ce::NodeId n1, const Merged &merged,
                               long long number, std::size_t) {
    nb::object params = merged.object();
    const Names &k = names();
    nb::object qubits = vx::getitem(attrs(n1), k.qubits);
    nb::object name = vx::str_obj(std::string(vx::utf8(gates.name[static_cast<size_t>(gate)])) + "_" +
                                  std::to_string(number) + "_" + vx::str_text(qubits));
    const int there = PyDict_Contains(node_.ptr(), name.ptr());
    vx::check(there);
    if (there)  // created numbers are past every number in the graph's names
        vx::raise(PyExc_RuntimeError, "created node " + vx::describe(name.ptr(), false) + " is in the graph already");
    nb::object attrs = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(attrs.ptr(), k.qubits, qubits.ptr()));
    vx::check(PyDict_SetItem(attrs.ptr(), k.params, params.ptr()));
    nb::object s = vx::own(PyDict_New()), p = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(succ_.ptr(), name.ptr(), s.ptr()));
    vx::check(PyDict_SetItem(pred_.ptr(), name.ptr(), p.ptr()));
    vx::check(PyDict_SetItem(node_.ptr(), name.ptr(), attrs.ptr()));
    auto qs = g.qubits(n1);
    const std::vector<ce::Wire> wires(qs.begin(), qs.end());  // the pool may move as the node is added
    const ce::NodeId id = g.add_node(gate, wires);
    names_.push_back(std::move(name));
    attrs_.push_back(std::move(attrs));
    return id;
}

void Mirror::add_edge(ce::NodeId u, ce::NodeId v, nb::handle label, std::span<const ce::Wire> wires) {
    PyObject *nbrs = PyDict_GetItem(succ_.ptr(), raw_name(u));
    nb::object data = nb::borrow(PyDict_GetItem(nbrs, raw_name(v)));
    if (!data.is_valid())
        data = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(data.ptr(), names().qubit, label.ptr()));
    vx::check(PyDict_SetItem(nbrs, raw_name(v), data.ptr()));
    vx::check(PyDict_SetItem(PyDict_GetItem(pred_.ptr(), raw_name(v)), raw_name(u), data.ptr()));
    set_label(g.add_edge(u, v, wires), label);
}

bool Mirror::float_params(ce::NodeId n, double out[3], int &count) {
    PyObject *params = PyDict_GetItem(attrs(n), names().params);
    if (!params || !PyList_CheckExact(params) || PyList_GET_SIZE(params) > 3)
        return false;
    count = static_cast<int>(PyList_GET_SIZE(params));
    for (int i = 0; i < count; ++i) {
        PyObject *x = PyList_GET_ITEM(params, i);
        if (!PyFloat_CheckExact(x))
            return false;
        out[i] = PyFloat_AS_DOUBLE(x);
    }
    return true;
}

// The views the methods' walks leave cached on the graph: `edges` always;
// `nodes` where a walk met an edge; `out_edges` and `in_edges` where an edge
// passed the tests before the last (every walk up to a merge meets the pair
// it merges, and a run without merges walks every edge once).
void touch_views(nb::handle dag, const Mirror &mm) {
    vx::getattr(dag, "edges");
    if (mm.any_edge)
        vx::getattr(dag, "nodes");
    if (mm.any_static) {
        vx::getattr(dag, "out_edges");
        vx::getattr(dag, "in_edges");
    }
}

}  // namespace

bool dag_tier_loop(const vx::Args &a, nb::handle self) {
    PyObject *globals = a.func()->globals;
    nb::object idx = vx::getattr(self, names()._idx);
    long long start;
    if (!vx::exact_ll(idx.ptr(), start) || start > (1LL << 62) || start < -(1LL << 62))
        return false;
    Gates gates;
    if (!read_gates(a, self, gates))
        return false;
    nb::object dag = vx::getattr(self, names().dag);
    if (!own_graph(dag))
        return false;
    Mirror mm(dag);
    if (!mm.read(gates))
        return false;
    touch_views(dag, mm);
    return Loop(globals, self, mm, gates, start, nullptr, nullptr).run();
}

void replay(PyObject *globals, nb::handle dag, const Gates &gates, long long start, const Script &script) {
    Mirror mm(dag);
    if (!own_graph(dag) || !mm.read(gates))
        vx::raise(PyExc_RuntimeError, "gate compression: the circuit DAG cannot be read back");
    touch_views(dag, mm);
    Loop loop(globals, nb::handle(), mm, gates, start, nullptr, &script);
    // the script holds the merges the run completed, a run stopped meanwhile included
    long long made = 0;
    for (std::size_t i = 0; i < script.size(); ++i)
        made += script.made(i);
    if (!loop.run() || loop.merges() != script.size() || loop.idx() != start + made)
        vx::raise(PyExc_RuntimeError, "gate compression: the circuit DAG does not repeat the merges of the run");
}

PyObject *dag_globals() { return g_dag; }

bool own_networkx() {
    for (const char *path : kGraphPaths)
        if (!vx::is_original(g_nx, path))
            return false;
    return true;
}

void remember_dag_tier() {
    g_dag = vx::check(PyModule_GetDict(vx::import("vexal.circuit.dag").ptr()));
    nb::object nx = vx::import("networkx");
    g_nx = vx::check(PyModule_GetDict(nx.ptr()));
    for (const char *path : kGraphPaths)
        vx::keep_original(nx, path);
}

}  // namespace optimize
