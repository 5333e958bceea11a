// The merge loop of GateCompressor.run without the methods' repeated walks.
//
// The methods find each pair by walking the DAG's edges from the first one
// again after every merge: Θ(G²) for G gates.  Here the worklist engine
// (engines/compress_engine) keeps the candidate pairs ordered by their place
// in the DAG's edge order and is told only of the nodes a merge touched, so
// it hands out exactly the pair the walks would find, in O(log G).
//
// The networkx DAG stays the pass's state.  Each merge is applied to the
// graph's own dictionaries exactly as remove_nodes_from, add_nodes_from and
// add_edges_from apply the rules' lists, with the same labels (the very
// objects the rules hand on), the same names and the same merge arithmetic
// (merge.cpp); the engine follows every change.  So `dag` and `_idx` come out
// as the methods leave them.
//
// Taken only when the pass, its class and the names the rules go through are
// the package's own and the DAG is a networkx DiGraph of plain values (str
// names, int wires, int or float angles); nothing that runs meanwhile can
// then change the DAG behind the engine's back.
#include "optimize.hpp"

#include "compress_engine.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>
#include <cstdint>

namespace optimize {

namespace {

namespace ce = engines::compress;
using vx::dagapi::GateKinds;
using vx::dagapi::table_bit;
using enum vx::dagapi::GateTable;

constexpr const char *kGraphPaths[] = {
    "nx.DiGraph",
    "nx.DiGraph.remove_nodes_from",
    "nx.DiGraph.add_nodes_from",
    "nx.DiGraph.add_edges_from",
    "nx.DiGraph.edges",
    "nx.DiGraph.nodes",
    "nx.DiGraph.out_edges",
    "nx.DiGraph.in_edges",
    "nx.DiGraph.predecessors",
    "nx.DiGraph.successors",
    "nx.DiGraph.has_edge",
    "nx.DiGraph.get_edge_data",
    "nx.DiGraph.node_attr_dict_factory",
    "nx.DiGraph.adjlist_inner_dict_factory",
    "nx.DiGraph.edge_attr_dict_factory",
    "nx.reportviews.OutEdgeView",
    "nx.reportviews.InEdgeView",
    "nx.reportviews.NodeView",
};

PyObject *g_dag = nullptr;  // the namespace of vexal.circuit.dag

// Reads an exact list of exact ints.
bool read_ints(PyObject *o, std::vector<std::int64_t> &out) {
    out.clear();
    if (!PyList_CheckExact(o))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
        PyObject *x = PyList_GET_ITEM(o, i);
        long long v;
        if (!vx::exact_ll(x, v))
            return false;
        out.push_back(v);
    }
    return true;
}

bool plain_numbers(PyObject *o) {
    if (!PyList_CheckExact(o))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
        PyObject *x = PyList_GET_ITEM(o, i);
        if (!PyLong_CheckExact(x) && !PyFloat_CheckExact(x))
            return false;
    }
    return true;
}

nb::object int_list(const std::vector<std::int64_t> &ws) {
    nb::object l = vx::own(PyList_New(static_cast<Py_ssize_t>(ws.size())));
    for (size_t i = 0; i < ws.size(); ++i)
        PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(i), vx::int_obj(ws[i]).release().ptr());
    return l;
}

// What the compressible gates are to the engine.
struct Gates {
    std::unordered_map<std::string, std::int32_t> id;  // by name
    std::vector<nb::object> name;                      // by id
    std::vector<Rule> rule;                            // by id
};

// The compressible gate names of the pass, with their rules; false where a
// name or a matrix function it would use is not plain.
bool read_gates(const vx::Args &a, nb::handle self, Gates &g) {
    PyObject *globals = a.func()->globals;
    nb::object list = vx::getattr(self, names().compressible);
    if (!PyList_CheckExact(list.ptr()))
        return false;
    GateKinds kinds(vx::dagapi::gatework_api(), globals,
                    table_bit(kOneQubitTable) | table_bit(kTwoQubitTable) | table_bit(kThreeQubitTable) |
                        table_bit(kOneQubitParamTable) | table_bit(kTwoQubitParamTable));
    PyObject *gmd = PyDict_GetItemString(globals, "gate_matrix_dict");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        PyObject *name = PyList_GET_ITEM(list.ptr(), i);
        if (!PyUnicode_CheckExact(name))
            return false;
        std::string text(vx::utf8(name));
        if (g.id.count(text))
            continue;
        const Rule r = rule_of(kinds.of(name));
        if (r == Rule::OneParam || r == Rule::TwoParam) {
            PyObject *f = PyDict_GetItemWithError(gmd, name);
            if (!f && PyErr_Occurred())
                throw vx::error_already_set{};
            if (f && !own_matrix_function(f))
                return false;
        }
        g.id.emplace(std::move(text), static_cast<std::int32_t>(g.name.size()));
        g.name.push_back(nb::borrow(name));
        g.rule.push_back(r);
    }
    return true;
}

// The names the merges go through are the package's own.
bool own_names(PyObject *globals) {
    if (!plain_tables(globals) || !vx::is_original(globals, "gate_matrix_dict") || !vx::is_original(globals, "u_mat") ||
        !own_matrix_function(PyDict_GetItemString(globals, "u_mat")))
        return false;
    Maths m(globals);
    return m.native_allclose && m.own_u3;
}

// A networkx DiGraph whose methods are networkx's own (on its class and not
// shadowed on the graph) and whose dictionaries are plain.
bool own_graph(nb::handle dag) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(dag.ptr())) != vx::original(g_dag, "nx.DiGraph"))
        return false;
    for (const char *path : kGraphPaths)
        if (!vx::is_original(g_dag, path))
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
    const View views[] = {{"edges", "nx.reportviews.OutEdgeView", "_graph", dag.ptr()},
                          {"out_edges", "nx.reportviews.OutEdgeView", "_graph", dag.ptr()},
                          {"in_edges", "nx.reportviews.InEdgeView", "_graph", dag.ptr()},
                          {"nodes", "nx.reportviews.NodeView", "_nodes", PyDict_GetItemString(dict, "_node")}};
    for (const View &v : views) {
        PyObject *view = PyDict_GetItemString(dict, v.name);
        if (!view)
            continue;
        if (reinterpret_cast<PyObject *>(Py_TYPE(view)) != vx::original(g_dag, v.type))
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
class Mirror {
public:
    explicit Mirror(nb::handle dag) : dag_(dag) {
        nb::object dict = vx::own(PyObject_GenericGetDict(dag.ptr(), nullptr));
        node_ = nb::borrow(PyDict_GetItemString(dict.ptr(), "_node"));
        succ_ = nb::borrow(PyDict_GetItemString(dict.ptr(), "_succ"));
        pred_ = nb::borrow(PyDict_GetItemString(dict.ptr(), "_pred"));
        cache_ = nb::borrow(PyDict_GetItemString(dict.ptr(), "__networkx_cache__"));
    }

    // Reads nodes and edges; false where anything is not plain.
    bool read(const Gates &gates);
    // Reads what the rules need for the pair n1 -> n2; false where anything
    // is not plain (the methods go on from here).
    bool prepare(ce::NodeId n1, ce::NodeId n2);

    ce::Graph g;
    bool any_edge = false;    // the graph had an edge to walk
    bool any_static = false;  // and one whose ends carry one compressible gate over the same wires

    PyObject *name(ce::NodeId n) const { return names_[static_cast<size_t>(n)].ptr(); }
    PyObject *attrs(ce::NodeId n) const { return attrs_[static_cast<size_t>(n)].ptr(); }
    PyObject *label(ce::EdgeId e) const { return labels_[static_cast<size_t>(g.edge(e).label)].ptr(); }

    // As dag.remove_nodes_from([n]).
    void remove(ce::NodeId n);
    bool contains(PyObject *name) const {
        const int there = PyDict_Contains(node_.ptr(), name);
        vx::check(there);
        return there != 0;
    }
    // As dag.add_nodes_from([(name, attrs)]) for a name not in the graph.
    ce::NodeId add_node(nb::object name, nb::object attrs, std::int32_t gate, std::span<const std::int64_t> qubits);
    // As dag.add_edges_from([(u, v, {"qubit": label})]).
    void add_edge(ce::NodeId u, ce::NodeId v, nb::handle label, std::span<const std::int64_t> wires);
    // As networkx's _clear_cache after a change.
    void clear_cache() {
        if (cache_.is_valid() && PyDict_Check(cache_.ptr()) && PyDict_GET_SIZE(cache_.ptr()))
            PyDict_Clear(cache_.ptr());
    }

private:
    ce::EdgeId edge_from(PyObject *name, ce::NodeId n) const;

    nb::handle dag_;
    nb::object node_, succ_, pred_, cache_;
    std::vector<nb::object> names_, attrs_, labels_;
    std::vector<ce::EdgeId> order_;
    std::vector<std::int64_t> wires_;
};

// Only what finding pairs needs is read here: the nodes' gates, the wires of
// the compressible ones and the edges' ends.  What the rules read besides
// (edge labels, the order of a node's predecessors) is read when a merge
// needs it (prepare).
bool Mirror::read(const Gates &gates) {
    vx::dagapi::DigraphArrays arrays;
    if (!vx::dagapi::read_digraph(dag_, vx::original(g_dag, "nx.DiGraph"), arrays))
        return false;
    const std::size_t n = arrays.nodes.size();
    g.reserve(n + n / 2, arrays.succ.size() + n);
    std::vector<std::int64_t> qubits;
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
            if (!q || !read_ints(q, qubits))
                return false;
            const Rule r = gates.rule[static_cast<size_t>(gate)];
            PyObject *params = PyDict_GetItem(attrs, names().params);
            if ((r == Rule::OneParam || r == Rule::TwoParam) && params && !plain_numbers(params))
                return false;
        }
        g.add_node(gate, qubits);
    }
    for (ce::NodeId u = 0; u < static_cast<ce::NodeId>(n); ++u) {
        vx::poll_signals(static_cast<std::size_t>(u), 1 << 16);
        const bool compressible = g.node(u).gate != ce::kNone;
        for (std::int32_t k = arrays.succ_off[static_cast<size_t>(u)]; k < arrays.succ_off[static_cast<size_t>(u) + 1];
             ++k) {
            const ce::NodeId v = arrays.succ[static_cast<size_t>(k)];
            g.add_edge(u, v);
            any_edge = true;
            if (compressible && g.node(u).gate == g.node(v).gate) {
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
        PyObject *src = this->name(g.edge(e).src);
        if (found == ce::kNone && (src == name || (PyUnicode_CheckExact(name) && PyUnicode_Compare(src, name) == 0)))
            found = e;
    });
    return found;
}

bool Mirror::prepare(ce::NodeId n1, ce::NodeId n2) {
    // n1's incoming edges in the order of its predecessor dict (a gate has
    // one per wire at most)
    PyObject *preds = PyDict_GetItem(pred_.ptr(), name(n1));
    if (!preds || !PyDict_CheckExact(preds) || PyDict_GET_SIZE(preds) != g.node(n1).n_in)
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
        PyObject *nbrs = PyDict_GetItem(succ_.ptr(), name(g.edge(e).src));
        PyObject *data = nbrs ? PyDict_GetItem(nbrs, name(g.edge(e).dst)) : nullptr;
        PyObject *label = data && PyDict_CheckExact(data) ? PyDict_GetItem(data, names().qubit) : nullptr;
        if (!label || !read_ints(label, wires_))
            return false;
        g.set_wires(e, wires_, static_cast<std::int32_t>(labels_.size()));
        labels_.push_back(nb::borrow(label));
    }
    return true;
}

void Mirror::remove(ce::NodeId n) {
    PyObject *x = name(n);
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

ce::NodeId Mirror::add_node(nb::object name, nb::object attrs, std::int32_t gate,
                            std::span<const std::int64_t> qubits) {
    nb::object s = vx::own(PyDict_New()), p = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(succ_.ptr(), name.ptr(), s.ptr()));
    vx::check(PyDict_SetItem(pred_.ptr(), name.ptr(), p.ptr()));
    vx::check(PyDict_SetItem(node_.ptr(), name.ptr(), attrs.ptr()));
    const ce::NodeId id = g.add_node(gate, qubits);
    names_.push_back(std::move(name));
    attrs_.push_back(std::move(attrs));
    return id;
}

void Mirror::add_edge(ce::NodeId u, ce::NodeId v, nb::handle label, std::span<const std::int64_t> wires) {
    PyObject *nbrs = PyDict_GetItem(succ_.ptr(), name(u));
    nb::object data = nb::borrow(PyDict_GetItem(nbrs, name(v)));
    if (!data.is_valid())
        data = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(data.ptr(), names().qubit, label.ptr()));
    vx::check(PyDict_SetItem(nbrs, name(v), data.ptr()));
    vx::check(PyDict_SetItem(PyDict_GetItem(pred_.ptr(), name(v)), name(u), data.ptr()));
    g.add_edge(u, v, wires, static_cast<std::int32_t>(labels_.size()));
    labels_.push_back(nb::borrow(label));
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

class Loop {
public:
    Loop(const vx::Args &a, nb::handle self, Mirror &mm, const Gates &gates, long long idx)
        : a_(a), self_(self), mm_(mm), gates_(gates), maths_(a.func()->globals), work_(mm.g), idx_(idx) {}

    // Merges pair after pair; false where a pair's surroundings hold what
    // the engine leaves to the methods, which then go on from the graph as
    // it stands (the pair they find first is that pair).
    bool run() {
        vx::GcPause pause;  // dicts and lists, no cycle, no code but numpy's and the package's
        work_.offer_all();
        ce::EdgeId e;
        for (std::size_t merges = 0; work_.next(e); ++merges) {
            vx::poll_signals(merges);
            const ce::NodeId n1 = mm_.g.edge(e).src, n2 = mm_.g.edge(e).dst;
            if (!mm_.prepare(n1, n2))
                return false;
            if (merges == 0)
                mm_.clear_cache();
            merge(n1, n2);
        }
        return true;
    }

private:
    void merge(ce::NodeId n1, ce::NodeId n2);
    nb::object merged_or_null(nb::handle gate, ce::NodeId n1, ce::NodeId n2, bool one_qubit);
    ce::OneQubitEnds ends(ce::NodeId n1, ce::NodeId n2);
    struct Created {
        nb::object name, attrs;
        std::vector<std::int64_t> qubits;
    };
    Created create(std::int32_t gate, ce::NodeId n1, nb::handle params);
    nb::object label_of(ce::PlannedEdge &p);

    const vx::Args &a_;
    nb::handle self_;
    Mirror &mm_;
    const Gates &gates_;
    Maths maths_;
    ce::Worklist work_;
    long long idx_;
    std::vector<ce::PlannedEdge> plan_;
    std::vector<ce::NodeId> around_;
};

ce::OneQubitEnds Loop::ends(ce::NodeId n1, ce::NodeId n2) {
    try {
        return ce::one_qubit_ends(mm_.g, n1, n2);
    } catch (const ce::AmbiguousNeighbour &x) {
        const ce::Node &n = mm_.g.node(x.node);
        ambiguous_neighbours(mm_.name(x.node), x.predecessors ? n.n_in : n.n_out,
                             x.predecessors ? "predecessors" : "successors");
    }
}

// The merged angles, or null where the merged gate is the identity.
nb::object Loop::merged_or_null(nb::handle gate, ce::NodeId n1, ce::NodeId n2, bool one_qubit) {
    nb::object p1 = vx::getitem(mm_.attrs(n1), names().params);
    nb::object p2 = vx::getitem(mm_.attrs(n2), names().params);
    nb::object params = merged_params(maths_, gate, p1, p2, one_qubit);
    if (is_identity(maths_, gate_matrix(maths_, gate, params)))
        return {};
    return params;
}

// The node that replaces the pair, named with the next idx.
Loop::Created Loop::create(std::int32_t gate, ce::NodeId n1, nb::handle params) {
    const Names &k = names();
    nb::object idx = vx::int_obj(++idx_);
    vx::check(PyObject_SetAttr(self_.ptr(), k._idx, idx.ptr()));
    nb::object qubits = vx::getitem(mm_.attrs(n1), k.qubits);
    nb::object name = vx::str_obj(std::string(vx::utf8(gates_.name[static_cast<size_t>(gate)])) + "_" +
                                  std::to_string(idx_) + "_" + vx::str_text(qubits));
    if (mm_.contains(name.ptr()))  // created numbers are past every number in the graph's names
        vx::raise(PyExc_RuntimeError, "created node " + vx::describe(name.ptr(), false) + " is in the graph already");
    nb::object attrs = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(attrs.ptr(), k.qubits, qubits.ptr()));
    vx::check(PyDict_SetItem(attrs.ptr(), k.params, params.ptr()));
    auto qs = mm_.g.qubits(n1);
    return {std::move(name), std::move(attrs), std::vector<std::int64_t>(qs.begin(), qs.end())};
}

// The label object of a planned edge: the very list it hands on, or a new
// one (in the order of the host's set of its wires where asked).
nb::object Loop::label_of(ce::PlannedEdge &p) {
    if (p.label_of != ce::kNone)
        return nb::borrow(mm_.label(p.label_of));
    nb::object list = int_list(p.wires);
    if (!p.set_order)
        return list;
    nb::object set = vx::own(PySet_New(list.ptr()));
    nb::object ordered = vx::own(PySequence_List(set.ptr()));
    p.wires.clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ordered.ptr()); ++i)
        p.wires.push_back(PyLong_AsLongLong(PyList_GET_ITEM(ordered.ptr(), i)));
    return ordered;
}

void Loop::merge(ce::NodeId n1, ce::NodeId n2) {
    const ce::Graph &g = mm_.g;
    const std::int32_t gate = g.node(n1).gate;
    nb::handle gate_name = gates_.name[static_cast<size_t>(gate)];
    around_.clear();
    g.each_in(n1, [&](ce::EdgeId e) { around_.push_back(g.edge(e).src); });
    g.each_out(n2, [&](ce::EdgeId e) { around_.push_back(g.edge(e).dst); });
    plan_.clear();
    nb::object params;
    switch (gates_.rule[static_cast<size_t>(gate)]) {
    case Rule::None:
        // run_compress_once gives None, which does not unpack
        vx::type_error("cannot unpack non-iterable NoneType object");
    case Rule::OneQubit: ce::plan_bridge_one(g, n1, n2, ends(n1, n2), plan_); break;
    case Rule::TwoQubit:
    case Rule::ThreeQubit: ce::plan_bridge_multi(g, n1, n2, plan_); break;
    case Rule::OneParam: {
        const ce::OneQubitEnds e = ends(n1, n2);
        params = merged_or_null(gate_name, n1, n2, true);
        if (params.is_valid())
            ce::plan_replace(g, n1, n2, plan_);
        else
            ce::plan_bridge_one(g, n1, n2, e, plan_);
        break;
    }
    case Rule::TwoParam:
        params = merged_or_null(gate_name, n1, n2, false);
        if (params.is_valid())
            ce::plan_replace(g, n1, n2, plan_);
        else
            ce::plan_bridge_multi(g, n1, n2, plan_);
        break;
    }
    Created made;
    if (params.is_valid())
        made = create(gate, n1, params);  // idx is read before the graph changes
    // labels handed on belong to edges that go with the pair: take them first
    std::vector<nb::object> labels;
    labels.reserve(plan_.size());
    for (ce::PlannedEdge &p : plan_)
        labels.push_back(label_of(p));
    mm_.remove(n1);
    mm_.remove(n2);
    ce::NodeId created = ce::kNone;
    if (made.name.is_valid())
        created = mm_.add_node(std::move(made.name), std::move(made.attrs), gate, made.qubits);
    for (size_t i = 0; i < plan_.size(); ++i) {
        const ce::PlannedEdge &p = plan_[i];
        const ce::NodeId u = p.src == ce::kCreated ? created : p.src;
        const ce::NodeId v = p.dst == ce::kCreated ? created : p.dst;
        std::span<const std::int64_t> wires =
            p.label_of != ce::kNone ? g.wires(p.label_of) : std::span<const std::int64_t>(p.wires);
        mm_.add_edge(u, v, labels[i], std::vector<std::int64_t>(wires.begin(), wires.end()));
    }
    for (ce::NodeId n : around_)
        work_.offer_around(n);
    if (created != ce::kNone)
        work_.offer_around(created);
}

}  // namespace

bool compress_natively(const vx::Args &a, nb::handle self) {
    PyObject *globals = a.func()->globals;
    if (!own_pass(
            globals, self,
            {M_IS_ADJACENT, M_HAS_ADJACENT, M_ONE, M_ONE_PARAM, M_TWO, M_TWO_PARAM, M_THREE, M_RUN_ONCE, M_IDX}) ||
        !own_names(globals))
        return false;
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
    const bool done = Loop(a, self, mm, gates, start).run();
    return done;
}

void remember_loop(nb::handle module) {
    (void)module;
    nb::object dag = vx::import("vexal.circuit.dag");
    g_dag = vx::check(PyModule_GetDict(dag.ptr()));
    for (const char *path : kGraphPaths)
        vx::keep_original(dag, path);
}

}  // namespace optimize
