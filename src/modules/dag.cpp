// vexal.circuit.dag: circuits to circuit DAGs and back, the qubit-interaction
// graph and qubit groups, and drawing of a DAG or a qubit graph.
//
// qc2dag's fast path builds the node and edge lists itself when the module's
// names still hold the package's own converter and networkx's own DiGraph,
// and then fills the new graph's node, successor and predecessor
// dictionaries exactly as add_nodes_from/add_edges_from would; otherwise it
// goes through the names as they stand (the reference path).
#include "dag_api.hpp"
#include "fast_path.hpp"
#include "dag_order.hpp"
#include "interop.hpp"

#include <cstring>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

using vx::getattr;
using vx::getitem;
using vx::dagapi::GateKinds;
using vx::dagapi::RecordKind;

using vx::dagapi::gatework_api;

// -- qc2dag ---------------------------------------------------------------------

nb::object qc2dag(const vx::Args &a) {
    nb::handle qc = a[0];
    const bool show = a.b(1);
    nb::handle convert = a.global("convert_gate_info_to_dag_info");
    nb::object nqubits = getattr(qc, "nqubits");
    nb::object qubits = getattr(qc, "qubits");
    nb::object gates = getattr(qc, "gates");

    nb::object fast_lists;  // (nodes, edges) as lists of tuples
    nb::object nodes, edges;
    vx::PathChoice path("qc2dag");
    const vx::dagapi::Api *api = path.fast() ? vx::dagapi::from_function(convert.ptr()) : nullptr;
    if (path.require(api, "convert_gate_info_to_dag_info is not the package's own") &&
        path.require(PyLong_CheckExact(nqubits.ptr()) && PyList_CheckExact(qubits.ptr()) &&
                         PyList_CheckExact(gates.ptr()),
                     "nqubits, qubits or gates is not an int or a list")) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(nqubits.ptr(), &overflow);
        if (!overflow && !(n == -1 && PyErr_Occurred())) {
            vx::GcPause pause;
            PyObject *globals = reinterpret_cast<vx::Function *>(convert.ptr())->globals;
            fast_lists = vx::own(api->build(globals, n, qubits.ptr(), gates.ptr(), show, nullptr));
            nodes = nb::borrow(PyTuple_GET_ITEM(fast_lists.ptr(), 0));
            edges = nb::borrow(PyTuple_GET_ITEM(fast_lists.ptr(), 1));
        }
        PyErr_Clear();
    }
    if (!fast_lists.is_valid()) {
        nb::object kw = vx::own(PyDict_New());
        vx::check(PyDict_SetItemString(kw.ptr(), "show_qubits", show ? Py_True : Py_False));
        nb::object args = nb::make_tuple(nqubits, qubits, gates);
        nb::object res = vx::own(PyObject_Call(convert.ptr(), args.ptr(), kw.ptr()));
        std::tie(nodes, edges) = vx::unpack2(res);
    }

    nb::handle nx = a.global("nx");
    nb::object digraph = getattr(nx, "DiGraph");
    nb::object g = vx::own(PyObject_CallNoArgs(digraph.ptr()));
    if (fast_lists.is_valid() && digraph.ptr() == vx::original(a.func()->globals, "nx.DiGraph")) {
        vx::dagapi::fill_digraph(g, nodes.ptr(), edges.ptr());
    } else {
        getattr(g, "add_nodes_from")(nodes);
        getattr(g, "add_edges_from")(edges);
    }
    nb::object graph = getattr(g, "graph");
    nb::object qubits_again = getattr(qc, "qubits");
    vx::check(PyObject_SetItem(graph.ptr(), vx::intern("qubits"), qubits_again.ptr()));
    return g;
}

// -- dag2qc ---------------------------------------------------------------------

// One gate record per DAG node, appended to `gates` in the order given.
struct Rebuild {
    GateKinds &kinds;
    nb::object gates = vx::own(PyList_New(0));
    nb::object top;  // the largest qubit seen, as max() finds it
    PyObject *const k_qubits = vx::intern("qubits");
    PyObject *const k_params = vx::intern("params");
    PyObject *const k_cbits = vx::intern("cbits");
    PyObject *const k_duration = vx::intern("duration");
    nb::object sep = vx::own(PyUnicode_FromString("_"));

    void note_qubits(nb::handle qubits) {
        nb::object qit = vx::own(PyObject_GetIter(qubits.ptr()));
        while (nb::object qo = vx::next_item(qit)) {
            if (!top.is_valid()) {
                top = qo;
                continue;
            }
            int gt = PyObject_RichCompareBool(qo.ptr(), top.ptr(), Py_GT);
            vx::check(gt);
            if (gt)
                top = qo;
        }
    }

    void node(nb::handle node, nb::handle attrs) {
        nb::object name;
        if (PyUnicode_Check(node.ptr())) {
            nb::object parts = vx::own(PyUnicode_Split(node.ptr(), sep.ptr(), 1));
            PyObject *word = Py_NewRef(PyList_GET_ITEM(parts.ptr(), 0));
            PyUnicode_InternInPlace(&word);  // one object per gate name, so its kind is looked up once
            name = nb::steal(word);
        }
        nb::object qubits = getitem(attrs, k_qubits);
        note_qubits(qubits);
        if (!name.is_valid())
            return;  // not a gate name: nothing to rebuild

        auto q = [&](Py_ssize_t i) { return vx::own(PySequence_GetItem(qubits.ptr(), i)); };
        auto with_params = [&](Py_ssize_t nq) {
            nb::object params = getitem(attrs, k_params);
            nb::object pf = vx::own(PySequence_Fast(params.ptr(), "params must be a sequence"));
            const Py_ssize_t np_ = PySequence_Fast_GET_SIZE(pf.ptr());
            nb::object rec = vx::own(PyTuple_New(1 + np_ + nq));
            Py_INCREF(name.ptr());
            PyTuple_SET_ITEM(rec.ptr(), 0, name.ptr());
            for (Py_ssize_t i = 0; i < np_; ++i) {
                PyObject *p = PySequence_Fast_GET_ITEM(pf.ptr(), i);
                Py_INCREF(p);
                PyTuple_SET_ITEM(rec.ptr(), 1 + i, p);
            }
            for (Py_ssize_t i = 0; i < nq; ++i)
                PyTuple_SET_ITEM(rec.ptr(), 1 + np_ + i, q(i).release().ptr());
            return rec;
        };

        // the first table holding the name decides; a name of no shape adds nothing
        const vx::dagapi::GateKind &kind = kinds.of(name.ptr());
        nb::object rec;
        if (kind.shaped) {
            switch (kind.record) {
            case RecordKind::OneQubit:
            case RecordKind::Reset: rec = nb::make_tuple(name, q(0)); break;
            case RecordKind::TwoQubit: rec = nb::make_tuple(name, q(0), q(1)); break;
            case RecordKind::ThreeQubit: rec = nb::make_tuple(name, q(0), q(1), q(2)); break;
            case RecordKind::U:
            case RecordKind::R:
            case RecordKind::OneParam: rec = with_params(1); break;
            case RecordKind::TwoParam: rec = with_params(2); break;
            case RecordKind::Measure: rec = nb::make_tuple(name, qubits, getitem(attrs, k_cbits)); break;
            case RecordKind::Barrier: rec = nb::make_tuple(name, vx::own(PySequence_Tuple(qubits.ptr()))); break;
            case RecordKind::Delay:
                rec = nb::make_tuple(name, getitem(attrs, k_duration), vx::own(PySequence_Tuple(qubits.ptr())));
                break;
            }
        }
        if (rec.is_valid())
            vx::check(PyList_Append(gates.ptr(), rec.ptr()));
    }
};

// dag2qc's fast path reads an exact DiGraph's dictionaries itself, in the
// order networkx's topological sort gives.
const vx::FastPathNeeds kDag2qcNeeds{"dag2qc", {"nx.topological_sort"}, {}};

// The nodes of an exact DiGraph in nx.topological_sort's order, read from
// the graph's dictionaries; false (declined) where the graph is not exactly
// networkx's DiGraph of exact dicts or the name is not the package's own.  A
// cycle is reported, as networkx reports it, after the nodes before it.
bool rebuild_fast(const vx::Args &a, nb::handle dag, Rebuild &r) {
    vx::PathChoice path(a, nb::handle(), kDag2qcNeeds);
    vx::dagapi::DigraphArrays g;
    if (!path.fast() || !path.require(vx::dagapi::read_digraph(dag, vx::original(a.func()->globals, "nx.DiGraph"), g),
                                      "the DAG is not exactly a networkx DiGraph of dicts"))
        return false;
    vx::dagapi::leave_sort_views(dag);
    engines::dag::Generations order;
    const bool acyclic = engines::dag::generations(g.succ_off, g.succ, g.npred, order);
    for (std::int32_t u : order.nodes)
        r.node(g.nodes[u], g.attrs[u]);
    if (!acyclic) {
        nb::object unfeasible = getattr(a.global("nx"), "NetworkXUnfeasible");
        PyErr_SetString(unfeasible.ptr(), "Graph contains a cycle or graph changed during iteration");
        throw vx::error_already_set{};
    }
    return true;
}

// The largest of the ints the graph attribute `qubits` lists, or null where
// it lists none or is not a list or tuple (an iterator there could run on
// for ever).
nb::object largest_listed_qubit(nb::handle graph, PyObject *key) {
    PyObject *qubits = PyDict_Check(graph.ptr()) ? PyDict_GetItemWithError(graph.ptr(), key) : nullptr;
    if (!qubits) {
        if (PyErr_Occurred())
            throw vx::error_already_set{};
        return {};
    }
    if (!PyList_Check(qubits) && !PyTuple_Check(qubits))
        return {};
    nb::object seq = vx::own(PySequence_Tuple(qubits));  // a list's __lt__ callees cannot change the copy
    nb::object top;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.ptr()); ++i) {
        nb::handle q = PyTuple_GET_ITEM(seq.ptr(), i);
        if (PyLong_Check(q.ptr()) && !PyBool_Check(q.ptr()) && (!top.is_valid() || vx::less(top, q)))
            top = nb::borrow(q);
    }
    return top;
}

nb::object dag2qc(const vx::Args &a) {
    nb::handle dag = a[0];
    nb::object nqubits = nb::borrow(a[1]);
    nb::object ncbits = nb::borrow(a[2]);

    GateKinds kinds(gatework_api(), a.func()->globals);
    Rebuild r{kinds};
    if (!rebuild_fast(a, dag, r)) {
        nb::object order = getattr(a.global("nx"), "topological_sort")(dag);
        // Node attributes: networkx's own dictionary for exactly a DiGraph,
        // dag.nodes[...] otherwise.
        const bool exact_digraph =
            reinterpret_cast<PyObject *>(Py_TYPE(dag.ptr())) == vx::original(a.func()->globals, "nx.DiGraph");
        nb::object nodes_map = exact_digraph ? getattr(dag, "_node") : getattr(dag, "nodes");
        nb::object it = vx::own(PyObject_GetIter(order.ptr()));
        while (nb::object node = vx::next_item(it))
            r.node(node, getitem(nodes_map, node));
    }
    if (nqubits.is_none()) {
        // the DAG of an empty circuit has no node: its size is that of the
        // qubits the circuit named, or none at all
        nb::object top = r.top.is_valid() ? r.top : largest_listed_qubit(getattr(dag, "graph"), r.k_qubits);
        nqubits = top.is_valid() ? vx::own(PyNumber_Add(top.ptr(), nb::int_(1).ptr())) : vx::int_obj(0);
    }
    if (ncbits.is_none())
        ncbits = nqubits;

    nb::object qc = a.global("QuantumCircuit")(nqubits, ncbits);
    vx::check(PyObject_SetAttrString(qc.ptr(), "gates", r.gates.ptr()));
    nb::object graph = getattr(dag, "graph");
    nb::object qubits = getitem(graph, r.k_qubits);
    vx::check(PyObject_SetAttrString(qc.ptr(), "qubits", qubits.ptr()));
    return qc;
}

// -- qubit-interaction graph and groups -------------------------------------------

// What a record adds to the qubit-interaction graph: nothing, its two
// qubits after the name, its two qubits after one angle, or the chain of its
// three qubits; the tables are tested in the order one-qubit, one-qubit
// parameter, two-qubit, two-qubit parameter, three-qubit, functional.
enum class Coupling { None, Pair, PairAfterAngle, Chain, Unknown };

Coupling coupling(const vx::dagapi::GateKind &k) {
    using namespace vx::dagapi;
    if (k.in(kOneQubitTable) || k.in(kOneQubitParamTable))
        return Coupling::None;
    if (k.in(kTwoQubitTable))
        return Coupling::Pair;
    if (k.in(kTwoQubitParamTable))
        return Coupling::PairAfterAngle;
    if (k.in(kThreeQubitTable))
        return Coupling::Chain;
    return k.in(kFunctionalTable) ? Coupling::None : Coupling::Unknown;
}

nb::object get_qcgraph_edges(const vx::Args &a) {
    GateKinds kinds(gatework_api(), a.func()->globals);
    nb::object out = vx::own(PyList_New(0));
    const bool exact_sequence = PyList_CheckExact(a.ptr(0)) || PyTuple_CheckExact(a.ptr(0));
    nb::object it = vx::own(PyObject_GetIter(a.ptr(0)));
    auto pair = [&](PyObject *rec, Py_ssize_t lo, Py_ssize_t hi) {
        nb::object p = vx::own(PySequence_GetSlice(rec, lo, hi));
        vx::check(PyList_Append(out.ptr(), p.ptr()));
    };
    while (nb::object rec = vx::next_item(it)) {
        nb::object name = vx::own(PySequence_GetItem(rec.ptr(), 0));
        switch (coupling(kinds.of(name.ptr()))) {
        case Coupling::None: break;
        case Coupling::Pair: pair(rec.ptr(), 1, PY_SSIZE_T_MAX); break;
        case Coupling::PairAfterAngle: pair(rec.ptr(), 2, PY_SSIZE_T_MAX); break;
        case Coupling::Chain:
            pair(rec.ptr(), 1, 3);
            pair(rec.ptr(), 2, 4);
            break;
        case Coupling::Unknown: vx::dagapi::wrong_gate_type(name.ptr());
        }
        if (!exact_sequence || !(PyTuple_CheckExact(rec.ptr()) || PyList_CheckExact(rec.ptr())))
            kinds.forget();  // the iterator's or the record's own code ran: the tables may have changed
    }
    return out;
}

nb::object qc2graph(const vx::Args &a) {
    nb::handle qc = a[0];
    nb::handle nx = a.global("nx");
    nb::object g = getattr(nx, "Graph")();
    getattr(g, "add_nodes_from")(getattr(qc, "qubits"));
    nb::object pairs = a.global("get_qcgraph_edges")(getattr(qc, "gates"));
    getattr(g, "add_edges_from")(pairs);
    return g;
}

// The groups worked out directly, when the names split_qubits goes through
// still hold the package's own objects and every qubit is an exact int: the same
// adjacency order as qc2graph's graph, the same breadth-first walk as
// networkx's connected_components, and each group a real set filled in the
// walk's order, so that listing it gives networkx's order.  Anything unusual
// (or an error to report) leaves it to the calls of the names.
// The qubit graph split_qubits walks: the qubits as nodes in first-seen
// order (borrowed: the circuit's lists keep them alive during the call) and
// one neighbour entry per (node, neighbour) in first-insertion order, as
// qc2graph's graph would hold them.
struct QubitGraph {
    std::vector<PyObject *> nodes;
    std::unordered_map<long long, std::int32_t> index;
    std::vector<std::vector<std::int32_t>> adj;
    std::unordered_set<std::uint64_t> linked;

    // False for a qubit that is not an exact int.
    bool node_of(PyObject *q, std::int32_t &id) {
        long long v;
        if (!vx::exact_ll(q, v))
            return false;
        auto [it, fresh] = index.try_emplace(v, static_cast<std::int32_t>(nodes.size()));
        if (fresh)
            nodes.push_back(q);
        id = it->second;
        return true;
    }

    bool link(PyObject *x, PyObject *y) {
        std::int32_t u, v;
        if (!node_of(x, u) || !node_of(y, v))
            return false;
        if (adj.size() < nodes.size())
            adj.resize(nodes.size());
        put(u, v);
        put(v, u);
        return true;
    }

    // False for a record the calls of the names must read (or report).
    bool add_gate(GateKinds &kinds, PyObject *rec) {
        if (!PyTuple_CheckExact(rec) || PyTuple_GET_SIZE(rec) == 0)
            return false;
        PyObject *name = PyTuple_GET_ITEM(rec, 0);
        if (!PyUnicode_CheckExact(name))
            return false;
        const Coupling c = coupling(kinds.of(name));
        const Py_ssize_t len = PyTuple_GET_SIZE(rec);
        auto at = [&](Py_ssize_t k) { return PyTuple_GET_ITEM(rec, k); };
        switch (c) {
        case Coupling::Unknown: return false;
        case Coupling::Pair: return len == 3 && link(at(1), at(2));
        case Coupling::PairAfterAngle: return len == 4 && link(at(2), at(3));
        case Coupling::Chain: return len >= 4 && link(at(1), at(2)) && link(at(2), at(3));
        default: return true;
        }
    }

    // The connected components, each a list made from a set filled in
    // breadth-first order from the first node not yet seen.
    nb::object components() {
        adj.resize(nodes.size());
        nb::object out = vx::own(PyList_New(0));
        std::vector<std::uint8_t> seen(nodes.size(), 0);
        std::vector<std::int32_t> level, next;
        for (std::size_t s = 0; s < nodes.size(); ++s) {
            if (seen[s])
                continue;
            nb::object group = vx::own(PySet_New(nullptr));
            auto add = [&](std::int32_t v) {
                seen[v] = 1;
                vx::check(PySet_Add(group.ptr(), nodes[v]));
            };
            add(static_cast<std::int32_t>(s));
            level.assign(1, static_cast<std::int32_t>(s));
            while (!level.empty()) {
                next.clear();
                for (std::int32_t v : level)
                    for (std::int32_t w : adj[v])
                        if (!seen[w]) {
                            add(w);
                            next.push_back(w);
                        }
                level.swap(next);
            }
            vx::check(PyList_Append(out.ptr(), vx::own(PySequence_List(group.ptr())).ptr()));
        }
        return out;
    }

private:
    void put(std::int32_t p, std::int32_t q) {
        if (linked.insert((static_cast<std::uint64_t>(p) << 32) | static_cast<std::uint32_t>(q)).second)
            adj[p].push_back(q);
    }
};

bool split_qubits_direct(const vx::Args &a, nb::object &out) {
    for (const char *path : {"qc2graph", "get_qcgraph_edges", "nx.Graph", "nx.connected_components"})
        if (!vx::is_original(a, path))
            return false;
    GateKinds kinds(gatework_api(), a.func()->globals);
    for (const char *t : vx::kGateTables)
        if (!PyDict_CheckExact(a.global(t).ptr()))
            return false;
    nb::object qubits = getattr(a[0], "qubits"), gates = getattr(a[0], "gates");
    if (!PyList_CheckExact(qubits.ptr()) || !PyList_CheckExact(gates.ptr()))
        return false;
    QubitGraph g;
    std::int32_t id;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i)
        if (!g.node_of(PyList_GET_ITEM(qubits.ptr(), i), id))
            return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates.ptr()); ++i) {
        vx::poll_signals(static_cast<std::size_t>(i), 1 << 16);
        if (!g.add_gate(kinds, PyList_GET_ITEM(gates.ptr(), i)))
            return false;
    }
    out = g.components();
    return true;
}

nb::object split_qubits(const vx::Args &a) {
    nb::object groups;
    if (split_qubits_direct(a, groups))
        return groups;
    nb::object graph = a.global("qc2graph")(a[0]);
    nb::object comps = getattr(a.global("nx"), "connected_components")(graph);
    nb::object out = vx::own(PyList_New(0));
    nb::object it = vx::own(PyObject_GetIter(comps.ptr()));
    while (PyObject *c = PyIter_Next(it.ptr())) {
        nb::object co = nb::steal(c);
        vx::check(PyList_Append(out.ptr(), vx::own(PySequence_List(co.ptr())).ptr()));
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};
    return out;
}

// -- drawing ----------------------------------------------------------------------

// Whether the image reader (matplotlib's imread) can show the file written
// to `output`: a path whose extension names a raster format it reads.
// Graphviz writes many more (svg, pdf, ps, dot, ...); those are written and
// not shown.
bool showable(nb::handle output) {
    PyObject *p = PyOS_FSPath(output.ptr());
    if (!p) {
        vx::clear_ordinary_error();
        return false;  // a file object: Graphviz wrote into it, nothing to read back
    }
    nb::object path = nb::steal(p);
    if (PyBytes_Check(p))
        path = vx::own(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(p), PyBytes_GET_SIZE(p)));
    std::string name(vx::utf8(path));
    const std::size_t slash = name.find_last_of('/'), dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    std::string ext = name.substr(dot + 1);
    for (char &c : ext)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char *known : {"png", "jpg", "jpeg", "jpe", "gif", "bmp", "tif", "tiff", "webp"})
        if (ext == known)
            return true;
    return false;
}

nb::object draw_dag(const vx::Args &a) {
    nb::handle dag = a[0], output = a[1];
    nb::object plt = vx::import("matplotlib.pyplot");
    nb::handle nx = a.global("nx");
    nb::object A = getattr(getattr(nx, "nx_agraph"), "to_agraph")(dag);
    nb::object dag_nodes = getattr(dag, "nodes");
    nb::object sep = vx::own(PyUnicode_FromString("_"));
    nb::object label_key = vx::own(PyUnicode_FromString("label"));

    nb::object nodes = getattr(A, "nodes")();
    nb::object it = vx::own(PyObject_GetIter(nodes.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object node = nb::steal(raw);
        nb::object parts = getattr(node, "split")(sep);
        nb::object gate = vx::own(PySequence_GetItem(parts.ptr(), 0));
        nb::object label = gate;
        if (PyUnicode_Check(gate.ptr()) && PyUnicode_CompareWithASCIIString(gate.ptr(), "measure") == 0) {
            nb::object attrs = getitem(dag_nodes.ptr(), node.ptr());
            nb::object cbits = getitem(attrs.ptr(), vx::intern("cbits"));
            nb::object c0 = vx::own(PySequence_GetItem(cbits.ptr(), 0));
            nb::object c0s = vx::own(PyObject_Str(c0.ptr()));
            std::string text = std::string(vx::utf8(gate)) + " [c" + std::string(vx::utf8(c0s)) + "]";
            label = vx::own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        }
        nb::object attr = getattr(node, "attr");
        vx::check(PyObject_SetItem(attr.ptr(), label_key.ptr(), label.ptr()));
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};

    nb::object edges = getattr(dag, "edges")(nb::arg("data") = true);
    nb::object eit = vx::own(PyObject_GetIter(edges.ptr()));
    while (PyObject *raw = PyIter_Next(eit.ptr())) {
        nb::object e = nb::steal(raw);
        nb::object u = vx::own(PySequence_GetItem(e.ptr(), 0));
        nb::object v = vx::own(PySequence_GetItem(e.ptr(), 1));
        nb::object data = vx::own(PySequence_GetItem(e.ptr(), 2));
        nb::object wires = getitem(data.ptr(), vx::intern("qubit"));
        std::string text;
        nb::object wit = vx::own(PyObject_GetIter(wires.ptr()));
        while (PyObject *w = PyIter_Next(wit.ptr())) {
            nb::object wo = nb::steal(w);
            nb::object ws = vx::own(PyObject_Str(wo.ptr()));
            text += "q";
            text += vx::utf8(ws);
        }
        if (PyErr_Occurred())
            throw vx::error_already_set{};
        nb::object label = vx::own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        nb::object edge = getattr(A, "get_edge")(u, v);
        nb::object attr = getattr(edge, "attr");
        vx::check(PyObject_SetItem(attr.ptr(), label_key.ptr(), label.ptr()));
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};

    nb::object gattr = getattr(A, "graph_attr");
    nb::object dpi = vx::own(PyUnicode_FromString("300"));
    vx::check(PyObject_SetItem(gattr.ptr(), vx::intern("dpi"), dpi.ptr()));
    getattr(A, "layout")(nb::arg("prog") = "dot");
    getattr(A, "draw")(output);
    if (!showable(output))
        return nb::none();

    nb::object img = getattr(plt, "imread")(output);
    getattr(plt, "imshow")(img);
    getattr(plt, "axis")("off");
    getattr(plt, "show")();
    return nb::none();
}

nb::object draw_graph(const vx::Args &a) {
    nb::handle G = a[0];
    nb::object plt = vx::import("matplotlib.pyplot");
    nb::handle nx = a.global("nx");
    nb::object pos = getattr(nx, "shell_layout")(G);
    getattr(plt, "figure")(nb::arg("figsize") = nb::make_tuple(7, 6));
    getattr(nx, "draw_networkx")(G, pos, nb::arg("node_color") = "skyblue", nb::arg("node_size") = 1500,
                                 nb::arg("node_shape") = "o", nb::arg("with_labels") = true, nb::arg("font_size") = 12,
                                 nb::arg("font_weight") = "bold", nb::arg("edge_color") = "gray", nb::arg("width") = 2,
                                 nb::arg("alpha") = 0.7);
    getattr(plt, "axis")("off");
    getattr(plt, "show")();
    return nb::none();
}

// What dag_api's own_dag asks (see there): whether the qc2dag given is this
// module's, and what it and dag2qc go through is still the package's own.
bool own_dag_check(PyObject *qc2dag_obj, vx::dagapi::OwnDag *out) {
    return vx::guarded(
        [&] {
            if (!vx::is_function_of(qc2dag_obj, qc2dag))
                return false;
            PyObject *dagns = reinterpret_cast<vx::Function *>(qc2dag_obj)->globals;
            if (!vx::is_original(dagns, "nx.DiGraph") || !vx::is_original(dagns, "nx.topological_sort") ||
                !vx::dagapi::exact_gate_tables(dagns))
                return false;
            PyObject *convert = PyDict_GetItemString(dagns, "convert_gate_info_to_dag_info");
            const vx::dagapi::Api *api = convert ? vx::dagapi::from_function(convert) : nullptr;
            PyObject *circuit = PyDict_GetItemString(dagns, "QuantumCircuit");
            if (!api || !circuit || !vx::is_original(dagns, "QuantumCircuit"))
                return false;
            PyObject *gatework = reinterpret_cast<vx::Function *>(convert)->globals;
            if (!vx::dagapi::exact_gate_tables(gatework))
                return false;
            *out = {api, dagns, gatework, vx::original(dagns, "nx.DiGraph"), circuit};
            return true;
        },
        false);
}

}  // namespace

NB_MODULE(dag, m) {
    m.attr("nx") = vx::import("networkx");
    for (const char *path : {"nx", "nx.DiGraph", "nx.Graph", "nx.connected_components", "nx.topological_sort"})
        vx::keep_original(m, path);

    m.attr("QuantumCircuit") = vx::import("vexal.circuit.quantumcircuit").attr("QuantumCircuit");
    vx::keep_original(m, "QuantumCircuit");

    nb::object gw = vx::import("vexal.circuit.gatework");
    for (const char *t : vx::kGateTables)
        m.attr(t) = gw.attr(t);
    m.attr("convert_gate_info_to_dag_info") = gw.attr("convert_gate_info_to_dag_info");

    vx::def(m, {.name = "draw_dag",
                .impl = draw_dag,
                .params = {{"dag"}, {"output"}},
                .defaults = {vx::str_obj("dag_figure.png")}});
    vx::def(m, {.name = "qc2dag",
                .impl = qc2dag,
                .params = {{"qc", vx::Conv::Any, "'QuantumCircuit'"}, {"show_qubits", vx::Conv::Bool}},
                .defaults = {nb::borrow(Py_True)},
                .return_annotation = "'nx.DiGraph'"});
    vx::def(m, {.name = "dag2qc",
                .impl = dag2qc,
                .params = {{"dag", vx::Conv::Any, "'nx.DiGraph'"},
                           {"nqubits", vx::Conv::IntOrNone, "int | None"},
                           {"ncbits", vx::Conv::IntOrNone, "int | None"}},
                .defaults = {nb::none(), nb::none()},
                .return_annotation = "'QuantumCircuit'"});
    vx::def(m, {.name = "get_qcgraph_edges", .impl = get_qcgraph_edges, .params = {{"gates"}}});
    vx::def(m, {.name = "qc2graph", .impl = qc2graph, .params = {{"qc"}}});
    vx::def(m, {.name = "split_qubits", .impl = split_qubits, .params = {{"qc"}}});
    vx::def(m, {.name = "draw_graph", .impl = draw_graph, .params = {{"G"}}});
    for (const char *path : {"get_qcgraph_edges", "qc2graph"})
        vx::keep_original(m, path);
    nb::object check =
        vx::own(PyCapsule_New(reinterpret_cast<void *>(&own_dag_check), vx::dagapi::kOwnDagCapsule, nullptr));
    vx::setattr(vx::import("vexal.circuit"), vx::dagapi::kOwnDagAttribute, check);
}
