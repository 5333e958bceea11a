// vexal.circuit.dag: circuits to circuit DAGs and back, the qubit-interaction
// graph and qubit groups, and drawing of a DAG or a qubit graph.
//
// qc2dag builds the node and edge lists natively when the module's names
// still hold the package's own converter and networkx's own DiGraph, and then
// fills the new graph's node, successor and predecessor dictionaries exactly
// as add_nodes_from/add_edges_from would; otherwise it goes through the names
// as they stand.
#include "dag_api.hpp"
#include "interop.hpp"

#include <cstring>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

// What the module bound at load, for the fast-path identity checks.
PyObject *g_nx = nullptr;
PyObject *g_digraph = nullptr;
PyObject *g_convert = nullptr;
PyObject *g_graph = nullptr;
PyObject *g_components = nullptr;
PyObject *g_qc2graph = nullptr;
PyObject *g_get_edges = nullptr;
const vx::dagapi::Api *g_api = nullptr;

nb::object getattr(nb::handle o, const char *name) { return vx::own(PyObject_GetAttrString(o.ptr(), name)); }

nb::object getitem(PyObject *o, PyObject *key) { return vx::own(PyObject_GetItem(o, key)); }

bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    vx::check(r);
    return r != 0;
}

// a, b = value, with the host's messages.
std::pair<nb::object, nb::object> unpack2(nb::handle value) {
    nb::object out[2];
    vx::unpack(value, out, 2);
    return {out[0], out[1]};
}

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
    if (convert.ptr() == g_convert && g_api && PyLong_CheckExact(nqubits.ptr()) && PyList_CheckExact(qubits.ptr()) &&
        PyList_CheckExact(gates.ptr())) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(nqubits.ptr(), &overflow);
        if (!overflow && !(n == -1 && PyErr_Occurred())) {
            vx::GcPause pause;
            PyObject *globals = reinterpret_cast<vx::Function *>(convert.ptr())->globals;
            fast_lists = vx::own(g_api->build(globals, n, qubits.ptr(), gates.ptr(), show, nullptr));
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
        std::tie(nodes, edges) = unpack2(res);
    }

    nb::handle nx = a.global("nx");
    nb::object digraph = getattr(nx, "DiGraph");
    nb::object g = vx::own(PyObject_CallNoArgs(digraph.ptr()));
    if (fast_lists.is_valid() && nx.ptr() == g_nx && digraph.ptr() == g_digraph) {
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

nb::object dag2qc(const vx::Args &a) {
    nb::handle dag = a[0];
    nb::object nqubits = nb::borrow(a[1]);
    nb::object ncbits = nb::borrow(a[2]);

    nb::handle nx = a.global("nx");
    nb::object order = getattr(nx, "topological_sort")(dag);
    nb::handle tables[6];
    for (int i = 0; i < 6; ++i)
        tables[i] = a.global(vx::kGateTables[i]);

    // Node attributes: networkx's own dictionary for a plain DiGraph,
    // dag.nodes[...] otherwise.
    nb::object nodes_map = Py_TYPE(dag.ptr()) == reinterpret_cast<PyTypeObject *>(g_digraph) ? getattr(dag, "_node")
                                                                                             : getattr(dag, "nodes");

    PyObject *const k_qubits = vx::intern("qubits");
    PyObject *const k_params = vx::intern("params");
    PyObject *const k_cbits = vx::intern("cbits");
    PyObject *const k_duration = vx::intern("duration");
    nb::object sep = vx::own(PyUnicode_FromString("_"));

    nb::object new_gates = vx::own(PyList_New(0));
    nb::object top;  // the largest qubit seen, as max() finds it
    nb::object it = vx::own(PyObject_GetIter(order.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object node = nb::steal(raw);
        nb::object attrs = getitem(nodes_map.ptr(), node.ptr());
        nb::object name;
        if (PyUnicode_Check(node.ptr())) {
            nb::object parts = vx::own(PyUnicode_Split(node.ptr(), sep.ptr(), 1));
            name = nb::borrow(PyList_GET_ITEM(parts.ptr(), 0));
        }
        nb::object qubits = getitem(attrs.ptr(), k_qubits);
        {
            nb::object qit = vx::own(PyObject_GetIter(qubits.ptr()));
            while (PyObject *q = PyIter_Next(qit.ptr())) {
                nb::object qo = nb::steal(q);
                if (!top.is_valid()) {
                    top = qo;
                    continue;
                }
                int gt = PyObject_RichCompareBool(qo.ptr(), top.ptr(), Py_GT);
                vx::check(gt);
                if (gt)
                    top = qo;
            }
            if (PyErr_Occurred())
                throw vx::error_already_set{};
        }
        if (!name.is_valid())
            continue;  // not a gate name: nothing to rebuild

        auto q = [&](Py_ssize_t i) { return vx::own(PySequence_GetItem(qubits.ptr(), i)); };
        auto with_params = [&](Py_ssize_t nq) {
            nb::object params = getitem(attrs.ptr(), k_params);
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

        nb::object rec;
        if (contains(tables[0], name)) {
            rec = nb::make_tuple(name, q(0));
        } else if (contains(tables[1], name)) {
            rec = nb::make_tuple(name, q(0), q(1));
        } else if (contains(tables[2], name)) {
            rec = nb::make_tuple(name, q(0), q(1), q(2));
        } else if (contains(tables[3], name)) {
            rec = with_params(1);
        } else if (contains(tables[4], name)) {
            rec = with_params(2);
        } else if (contains(tables[5], name)) {
            if (PyUnicode_CompareWithASCIIString(name.ptr(), "measure") == 0)
                rec = nb::make_tuple(name, qubits, getitem(attrs.ptr(), k_cbits));
            else if (PyUnicode_CompareWithASCIIString(name.ptr(), "barrier") == 0)
                rec = nb::make_tuple(name, vx::own(PySequence_Tuple(qubits.ptr())));
            else if (PyUnicode_CompareWithASCIIString(name.ptr(), "delay") == 0)
                rec = nb::make_tuple(name, getitem(attrs.ptr(), k_duration), vx::own(PySequence_Tuple(qubits.ptr())));
            else if (PyUnicode_CompareWithASCIIString(name.ptr(), "reset") == 0)
                rec = nb::make_tuple(name, q(0));
        }
        if (rec.is_valid())
            vx::check(PyList_Append(new_gates.ptr(), rec.ptr()));
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};

    if (nqubits.is_none()) {
        if (!top.is_valid()) {
            // max() of no qubits at all: the host's own error
            nb::object empty = vx::own(PyList_New(0));
            a.global("max")(empty);
            vx::value_error("max() arg is an empty sequence");
        }
        nqubits = vx::own(PyNumber_Add(top.ptr(), nb::int_(1).ptr()));
    }
    if (ncbits.is_none())
        ncbits = nqubits;

    nb::object qc = a.global("QuantumCircuit")(nqubits, ncbits);
    vx::check(PyObject_SetAttrString(qc.ptr(), "gates", new_gates.ptr()));
    nb::object graph = getattr(dag, "graph");
    nb::object qubits = getitem(graph.ptr(), k_qubits);
    vx::check(PyObject_SetAttrString(qc.ptr(), "qubits", qubits.ptr()));
    return qc;
}

// -- qubit-interaction graph and groups -------------------------------------------

nb::object get_qcgraph_edges(const vx::Args &a) {
    const auto *t = vx::kGateTables;
    nb::handle one = a.global(t[0]), two = a.global(t[1]), three = a.global(t[2]), one_p = a.global(t[3]),
               two_p = a.global(t[4]), func = a.global(t[5]);
    nb::object out = vx::own(PyList_New(0));
    nb::object it = vx::own(PyObject_GetIter(a.ptr(0)));
    auto slice = [](PyObject *rec, Py_ssize_t lo, Py_ssize_t hi) { return vx::own(PySequence_GetSlice(rec, lo, hi)); };
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object rec = nb::steal(raw);
        nb::object name = vx::own(PySequence_GetItem(rec.ptr(), 0));
        if (contains(one, name) || contains(one_p, name))
            continue;
        if (contains(two, name)) {
            vx::check(PyList_Append(out.ptr(), slice(rec.ptr(), 1, PY_SSIZE_T_MAX).ptr()));
        } else if (contains(two_p, name)) {
            vx::check(PyList_Append(out.ptr(), slice(rec.ptr(), 2, PY_SSIZE_T_MAX).ptr()));
        } else if (contains(three, name)) {
            vx::check(PyList_Append(out.ptr(), slice(rec.ptr(), 1, 3).ptr()));
            vx::check(PyList_Append(out.ptr(), slice(rec.ptr(), 2, 4).ptr()));
        } else if (!contains(func, name)) {
            nb::object s = vx::own(PyObject_Str(name.ptr()));
            vx::value_error("wrong gate type " + std::string(vx::utf8(s)));
        }
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};
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

// The groups natively, when the names split_qubits goes through still hold
// the package's own objects and every qubit is a plain int: the same
// adjacency order as qc2graph's graph, the same breadth-first walk as
// networkx's connected_components, and each group a real set filled in the
// walk's order, so that listing it gives networkx's order.  Anything unusual
// (or an error to report) leaves it to the general path.
bool split_qubits_native(const vx::Args &a, nb::object &out) {
    if (a.global("qc2graph").ptr() != g_qc2graph || a.global("get_qcgraph_edges").ptr() != g_get_edges ||
        a.global("nx").ptr() != g_nx)
        return false;
    nb::handle nx = a.global("nx");
    if (getattr(nx, "Graph").ptr() != g_graph || getattr(nx, "connected_components").ptr() != g_components)
        return false;
    nb::handle tables[6];
    for (int i = 0; i < 6; ++i) {
        tables[i] = a.global(vx::kGateTables[i]);
        if (!PyDict_CheckExact(tables[i].ptr()))
            return false;
    }
    nb::object qubits = getattr(a[0], "qubits"), gates = getattr(a[0], "gates");
    if (!PyList_CheckExact(qubits.ptr()) || !PyList_CheckExact(gates.ptr()))
        return false;

    std::vector<PyObject *> nodes;  // borrowed: qc's lists keep them alive during the call
    std::unordered_map<long long, std::int32_t> index;
    auto node_of = [&](PyObject *q, std::int32_t &out_id) {
        if (!PyLong_CheckExact(q))
            return false;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(q, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        auto [it, fresh] = index.try_emplace(v, static_cast<std::int32_t>(nodes.size()));
        if (fresh)
            nodes.push_back(q);
        out_id = it->second;
        return true;
    };
    std::int32_t id;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i)
        if (!node_of(PyList_GET_ITEM(qubits.ptr(), i), id))
            return false;

    // one entry per (node, neighbour), in first-insertion order
    std::vector<std::vector<std::int32_t>> adj(nodes.size());
    std::unordered_set<std::uint64_t> linked;
    auto link = [&](PyObject *x, PyObject *y) {
        std::int32_t u, v;
        if (!node_of(x, u) || !node_of(y, v))
            return false;
        if (adj.size() < nodes.size())
            adj.resize(nodes.size());
        auto put = [&](std::int32_t p, std::int32_t q) {
            if (linked.insert((static_cast<std::uint64_t>(p) << 32) | static_cast<std::uint32_t>(q)).second)
                adj[p].push_back(q);
        };
        put(u, v);
        put(v, u);
        return true;
    };
    // What each gate name contributes: 0 nothing, 1 pair after the name,
    // 2 pair after one parameter, 3 two overlapping pairs.
    std::unordered_map<PyObject *, int> role;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates.ptr()); ++i) {
        PyObject *rec = PyList_GET_ITEM(gates.ptr(), i);
        if (!PyTuple_CheckExact(rec) || PyTuple_GET_SIZE(rec) == 0)
            return false;
        PyObject *name = PyTuple_GET_ITEM(rec, 0);
        if (!PyUnicode_CheckExact(name))
            return false;
        auto it = role.find(name);
        if (it == role.end()) {
            int r = -1;
            if (contains(tables[0], name) || contains(tables[3], name))
                r = 0;
            else if (contains(tables[1], name))
                r = 1;
            else if (contains(tables[4], name))
                r = 2;
            else if (contains(tables[2], name))
                r = 3;
            else if (contains(tables[5], name))
                r = 0;
            if (r < 0)
                return false;  // the general path reports the gate
            it = role.emplace(name, r).first;
        }
        const Py_ssize_t len = PyTuple_GET_SIZE(rec);
        auto at = [&](Py_ssize_t k) { return PyTuple_GET_ITEM(rec, k); };
        switch (it->second) {
        case 1:
            if (len != 3 || !link(at(1), at(2)))
                return false;
            break;
        case 2:
            if (len != 4 || !link(at(2), at(3)))
                return false;
            break;
        case 3:
            if (len < 4 || !link(at(1), at(2)) || !link(at(2), at(3)))
                return false;
            break;
        default: break;
        }
    }
    adj.resize(nodes.size());

    out = vx::own(PyList_New(0));
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
    return true;
}

nb::object split_qubits(const vx::Args &a) {
    nb::object fast;
    if (split_qubits_native(a, fast))
        return fast;
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

}  // namespace

NB_MODULE(dag, m) {
    nb::object nx = vx::import("networkx");
    m.attr("nx") = nx;
    g_nx = nx.ptr();
    nb::object digraph = nx.attr("DiGraph");
    g_digraph = digraph.ptr();
    g_graph = nx.attr("Graph").ptr();
    g_components = nx.attr("connected_components").ptr();
    Py_INCREF(g_nx);
    Py_INCREF(g_digraph);
    Py_INCREF(g_graph);
    Py_INCREF(g_components);

    m.attr("QuantumCircuit") = vx::import("vexal.circuit.quantumcircuit").attr("QuantumCircuit");

    nb::object gw = vx::import("vexal.circuit.gatework");
    for (const char *t : vx::kGateTables)
        m.attr(t) = gw.attr(t);
    nb::object convert = gw.attr("convert_gate_info_to_dag_info");
    m.attr("convert_gate_info_to_dag_info") = convert;
    const bool package_function = vx::is_function(convert.ptr());
    if (package_function) {
        g_convert = convert.ptr();
        Py_INCREF(g_convert);
        g_api = vx::dagapi::from_function(convert.ptr());
    }

    vx::def(m, {.name = "draw_dag",
                .impl = draw_dag,
                .params = {{"dag"}, {"output"}},
                .defaults = {vx::own(PyUnicode_FromString("dag_figure.png"))}});
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
    g_get_edges =
        vx::def(m, {.name = "get_qcgraph_edges", .impl = get_qcgraph_edges, .params = {{"gates"}}}).release().ptr();
    g_qc2graph = vx::def(m, {.name = "qc2graph", .impl = qc2graph, .params = {{"qc"}}}).release().ptr();
    vx::def(m, {.name = "split_qubits", .impl = split_qubits, .params = {{"qc"}}});
    vx::def(m, {.name = "draw_graph", .impl = draw_graph, .params = {{"G"}}});
}
