// vexal.circuit.routing: the SABRE routing pass.
//
// Every method of SabreRouting works on its own, on the pass object's
// attributes, through the other methods looked up on the object
// (methods_*.cpp).  `run` of a SabreRouting whose methods and inputs are the
// package's own hands the traversals to the native run (native_run.cpp),
// which gives exactly the result of these methods; anything customised takes
// the methods one call at a time.
#include "native.hpp"

#include <cmath>
#include <string>
#include <vector>

namespace routing {

nb::object callm(nb::handle self, const char *name, std::initializer_list<nb::handle> args) {
    PyObject *argv[8];
    size_t n = 0;
    argv[n++] = self.ptr();
    for (nb::handle h : args)
        argv[n++] = h.ptr();
    return vx::own(PyObject_VectorcallMethod(vx::intern(name), argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

nb::object call(nb::handle f, std::initializer_list<nb::handle> args) {
    PyObject *argv[9];
    size_t n = 1;
    for (nb::handle h : args)
        argv[n++] = h.ptr();
    return vx::own(PyObject_Vectorcall(f.ptr(), argv + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

nb::object gate_name(nb::handle node) {
    if (PyUnicode_Check(node.ptr())) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(node.ptr());
        Py_ssize_t i = PyUnicode_FindChar(node.ptr(), '_', 0, len, 1);
        if (i == -2)
            throw vx::error_already_set{};
        return vx::own(PyUnicode_Substring(node.ptr(), 0, i < 0 ? len : i));
    }
    nb::object parts = callm(node, "split", {pystr("_")});
    return vx::own(PySequence_GetItem(parts.ptr(), 0));
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    vx::check(r);
    return r != 0;
}
bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    vx::check(r);
    return r != 0;
}
bool less(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    vx::check(r);
    return r != 0;
}
Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0)
        throw vx::error_already_set{};
    return n;
}

void raise_fmt(PyObject *type, const char *fmt, std::initializer_list<nb::handle> args) {
    nb::object f = pystr(fmt);
    nb::object msg = callm(f, "format", args);
    PyErr_SetObject(type, msg.ptr());
    throw vx::error_already_set{};
}

// Unpacks an iterable of exactly two items, with the host's messages.
std::pair<nb::object, nb::object> unpack2(nb::handle seq) {
    nb::object l = to_list(seq);
    Py_ssize_t n = PyList_GET_SIZE(l.ptr());
    if (n > 2)
        vx::value_error("too many values to unpack (expected 2)");
    if (n < 2)
        vx::value_error("not enough values to unpack (expected 2, got " + std::to_string(n) + ")");
    return {nb::borrow(PyList_GET_ITEM(l.ptr(), 0)), nb::borrow(PyList_GET_ITEM(l.ptr(), 1))};
}

// {value: key for key, value in d.items()}
nb::object invert(nb::handle d) {
    nb::object out = vx::own(PyDict_New());
    nb::object items = to_list(callm(d, "items", {}));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        auto [k, v] = unpack2(PyList_GET_ITEM(items.ptr(), i));
        vx::check(PyObject_SetItem(out.ptr(), v.ptr(), k.ptr()));
    }
    return out;
}

nb::object extract(const vx::Args &a, nb::handle node) { return call(a.global("extract_qubits"), {node}); }

bool is_two_qubit(const vx::Args &a, nb::handle name) {
    return contains(a.global("two_qubit_gates_available"), name) ||
           contains(a.global("two_qubit_parameter_gates_available"), name);
}

}  // namespace routing

using namespace routing;

namespace {

PyObject *g_cls = nullptr;    // the SabreRouting class, for super()
PyObject *g_floyd = nullptr;  // networkx's floyd_warshall_numpy
PyObject *g_graph = nullptr;  // networkx's Graph

// floyd_warshall_numpy(subgraph).  On a plain unweighted Graph every
// distance is a hop count, so breadth-first searches give the same array
// (float64, node order, 0 on the diagonal, inf where no path) in O(n*m)
// instead of O(n^3).
nb::object distance_matrix(const vx::Args &a, nb::handle subgraph) {
    nb::handle floyd = a.global("floyd_warshall_numpy");
    if (floyd.ptr() == g_floyd && reinterpret_cast<PyObject *>(Py_TYPE(subgraph.ptr())) == g_graph) {
        nb::object adj = vx::own(PyObject_GetAttrString(subgraph.ptr(), "_adj"));
        if (PyDict_CheckExact(adj.ptr()) && PyDict_GET_SIZE(adj.ptr()) < (1 << 15)) {
            const auto n = static_cast<std::int32_t>(PyDict_GET_SIZE(adj.ptr()));
            // Lists of the items, so that a node's own __eq__ or __hash__
            // changing the graph cannot pull anything from under us.
            nb::object nodes = vx::own(PyDict_Items(adj.ptr()));
            nb::object index = vx::own(PyDict_New());
            for (std::int32_t u = 0; u < n; ++u) {
                PyObject *node = PyTuple_GET_ITEM(PyList_GET_ITEM(nodes.ptr(), u), 0);
                vx::check(PyDict_SetItem(index.ptr(), node, pyint(u).ptr()));
            }
            std::vector<std::int32_t> off{0}, out;
            bool plain = PyDict_GET_SIZE(index.ptr()) == n;
            PyObject *weight = vx::intern("weight");
            for (std::int32_t u = 0; u < n && plain; ++u) {
                PyObject *nbrs = PyTuple_GET_ITEM(PyList_GET_ITEM(nodes.ptr(), u), 1);
                if (!PyDict_CheckExact(nbrs)) {
                    plain = false;
                    break;
                }
                nb::object items = vx::own(PyDict_Items(nbrs));
                for (Py_ssize_t e = 0; e < PyList_GET_SIZE(items.ptr()) && plain; ++e) {
                    PyObject *v = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), e), 0);
                    PyObject *data = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), e), 1);
                    PyObject *j = PyDict_GetItemWithError(index.ptr(), v);
                    if (!j && PyErr_Occurred())
                        throw vx::error_already_set{};
                    plain = j && PyDict_CheckExact(data) && !PyDict_GetItemWithError(data, weight);
                    if (PyErr_Occurred())
                        throw vx::error_already_set{};
                    if (plain)
                        out.push_back(static_cast<std::int32_t>(PyLong_AsLong(j)));
                }
                off.push_back(static_cast<std::int32_t>(out.size()));
            }
            if (plain) {
                nb::object np = vx::import("numpy");
                nb::object arr = getattr(np, "empty")(nb::make_tuple(n, n));
                Py_buffer view;
                vx::check(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
                engines::sabre::hop_distances(n, off, out, static_cast<double *>(view.buf));
                PyBuffer_Release(&view);
                return arr;
            }
        }
    }
    return call(floyd, {subgraph});
}

// ---------------------------------------------------------------- construction

// More traversals than this gain nothing: each starts from where the last
// one left the mapping, and a handful settle it.
constexpr long long kMaxIterations = 10000;

void check_iterations(nb::handle value, long long n) {
    if (n < 1)
        raise_fmt(PyExc_ValueError, "iterations must be at least 1, got {}.", {value});
    if (n > kMaxIterations)
        raise_fmt(PyExc_ValueError, "iterations must be at most 10000, got {}.", {value});
}

// Every node of the graph must stand in normal_order, and no qubit twice.
// normal_order may list qubits that are not nodes (qubits no coupler
// touches): one-qubit gates need no coupler.
void check_normal_order(nb::handle physical, nb::handle node_list) {
    nb::object pl = to_list(physical);
    nb::object ps = vx::own(PySet_New(pl.ptr()));
    nb::object ns = vx::own(PySet_New(node_list.ptr()));
    if (PyList_GET_SIZE(pl.ptr()) != PySet_GET_SIZE(ps.ptr()) || !truth(callm(ns, "issubset", {ps})))
        raise_fmt(PyExc_ValueError,
                  "The normal_order of the coupling graph must list each of its nodes exactly once; "
                  "got {} for the nodes {}.",
                  {physical, node_list});
}

nb::object init(const vx::Args &a) {
    nb::handle self = a[0], subgraph = a[1];
    // Options are checked before anything changes.
    check_iterations(a[4], a.ll(4));
    bool known = false;
    if (PyUnicode_Check(a.ptr(5)))
        for (const char *h : kHeuristics)
            known = known || PyUnicode_CompareWithASCIIString(a.ptr(5), h) == 0;
    if (!known)
        raise_fmt(PyExc_ValueError, kUnknownHeuristic, {a[5]});
    const double w = a.f(6);
    if (!std::isfinite(w) || w < 0)
        raise_fmt(PyExc_ValueError, "max_extended_set_weight must be a finite number of at least 0, got {}.", {a[6]});

    nb::object sup =
        vx::own(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), g_cls, self.ptr(), nullptr));
    callm(sup, "__init__", {});
    setattr(self, "coupling_graph", subgraph);
    setattr(self, "distance_matrix", distance_matrix(a, subgraph));
    nb::object graph = getattr(subgraph, "graph");
    nb::object key = pystr("normal_order");
    if (!contains(graph, key)) {
        nb::object nodes = to_list(callm(subgraph, "nodes", {}));
        vx::check(PyObject_SetItem(graph.ptr(), key.ptr(), nodes.ptr()));
    }
    nb::object physical = getitem(graph, key);
    nb::object node_list = to_list(getattr(subgraph, "nodes"));
    check_normal_order(physical, node_list);
    setattr(self, "physical_qubits", physical);
    nb::object index = vx::own(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node_list.ptr()); ++i)
        vx::check(PyDict_SetItem(index.ptr(), PyList_GET_ITEM(node_list.ptr(), i), pyint(i).ptr()));
    setattr(self, "physical_qubits_index", index);
    setattr(self, "initial_mapping", a[2]);
    setattr(self, "do_random_choice", a[3]);
    setattr(self, "iterations", a[4]);
    setattr(self, "heuristic", a[5]);
    setattr(self, "extended_successor_set", new_list());
    setattr(self, "max_extended_set_weight", a[6]);
    setattr(self, "decay_parameter", vx::own(PyDict_New()));
    setattr(self, "_cache", call(a.global("OrderedDict"), {}));
    return nb::none();
}

// ---------------------------------------------------------------- run

void print_table(nb::handle init_p2v, nb::handle best_p2v, nb::handle final_p2v, nb::handle nswap) {
    nb::object head = pystr("{:^21} -----> {:^21} -----> {:^21}");
    vx::print({callm(head, "format", {pystr("initial mapping"), pystr("best mapping"), pystr("final mapping")})});
    nb::object row = pystr("{:^10}:{:^10} -----> {:^10}:{:^10} -----> {:^10}:{:^10}");
    nb::object P = pystr("P"), V = pystr("V");
    vx::print({callm(row, "format", {P, V, P, V, P, V})});
    nb::object keys = to_list(init_p2v);
    vx::check(PyList_Sort(keys.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        nb::handle p = PyList_GET_ITEM(keys.ptr(), i);
        vx::print({callm(row, "format", {p, getitem(init_p2v, p), p, getitem(best_p2v, p), p, getitem(final_p2v, p)})});
    }
    vx::print({callm(pystr("A total of {} swap gates have been added to the circuit."), "format", {nswap})});
}

// The physical qubits name the result's wires: non-negative integers.
void check_physical_qubits(nb::handle physical) {
    nb::object pl = to_list(physical);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pl.ptr()); ++i) {
        PyObject *p = PyList_GET_ITEM(pl.ptr(), i);
        if (!PyLong_Check(p) || PyBool_Check(p) || less(p, pyint(0)))
            raise_fmt(PyExc_ValueError,
                      "The physical qubits of the coupling graph must be non-negative integers; got {!r}.",
                      {nb::handle(p)});
    }
}

// A record's gate name, or null for a record too malformed to have one.
PyObject *record_name(PyObject *rec) {
    if (!(PyTuple_Check(rec) || PyList_Check(rec)) || PySequence_Fast_GET_SIZE(rec) == 0)
        return nullptr;
    PyObject *name = PySequence_Fast_ITEMS(rec)[0];
    return PyUnicode_Check(name) ? name : nullptr;
}

// Three-qubit gates cannot be routed: refused before any traversal.
void check_gates(const vx::Args &a, nb::handle gates) {
    nb::object gl = to_list(gates);
    nb::handle three = a.global("three_qubit_gates_available");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gl.ptr()); ++i)
        if (PyObject *name = record_name(PyList_GET_ITEM(gl.ptr(), i)); name && contains(three, name))
            raise_fmt(PyExc_ValueError, kDecomposeFirst, {nb::handle(name)});
}

// A two-qubit gate on a qubit placed where no coupler reaches can never run:
// such a qubit never moves (SWAPs go along couplers).  Refused before any
// traversal.
void check_placement(const vx::Args &a, nb::handle self, nb::handle gates, nb::handle v2p) {
    nb::object graph = getattr(self, "coupling_graph");
    nb::object stuck = vx::own(PySet_New(nullptr));
    nb::object placed = to_list(callm(v2p, "values", {}));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(placed.ptr()); ++i) {
        nb::handle p = PyList_GET_ITEM(placed.ptr(), i);
        bool coupled = false;
        if (contains(graph, p)) {
            nb::object nl = to_list(callm(graph, "neighbors", {p}));
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(nl.ptr()) && !coupled; ++j)
                coupled = !equal(PyList_GET_ITEM(nl.ptr(), j), p);
        }
        if (!coupled)
            vx::check(PySet_Add(stuck.ptr(), p.ptr()));
    }
    if (PySet_GET_SIZE(stuck.ptr()) == 0)
        return;
    nb::object gl = to_list(gates);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gl.ptr()); ++i) {
        PyObject *rec = PyList_GET_ITEM(gl.ptr(), i);
        PyObject *name = record_name(rec);
        if (!name || !is_two_qubit(a, name) || PySequence_Fast_GET_SIZE(rec) < 3)
            continue;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(rec);
        for (Py_ssize_t k = n - 2; k < n; ++k) {
            nb::handle q = PySequence_Fast_ITEMS(rec)[k];
            PyObject *p = PyDict_Check(v2p.ptr()) ? PyDict_GetItemWithError(v2p.ptr(), q.ptr()) : nullptr;
            if (PyErr_Occurred())
                throw vx::error_already_set{};
            if (p && contains(stuck, p))
                raise_fmt(PyExc_ValueError,
                          "The two-qubit gate {!r} cannot be routed: its qubit {} is placed on physical qubit {}, "
                          "which no coupler of the coupling graph touches.",
                          {nb::handle(rec), q, nb::handle(p)});
        }
    }
}

// The virtual order: the qubit groups of split_qubits, one after another.
nb::object virtual_order(const vx::Args &a, nb::handle qc) {
    nb::object groups = to_list(call(a.global("split_qubits"), {qc}));
    nb::object virtual_qubits = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.ptr()); ++i) {
        nb::object g = to_list(PyList_GET_ITEM(groups.ptr(), i));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(g.ptr()); ++j)
            append(virtual_qubits, PyList_GET_ITEM(g.ptr(), j));
    }
    return virtual_qubits;
}

// The traversals, method by method: forward and reverse DAGs alternately,
// the last one (forward) emitting.  Returns its (gates, nswap).
nb::object traverse_plain(const vx::Args &a, nb::handle self, nb::handle qc, long long total, nb::object &best_p2v) {
    nb::handle qc2dag = a.global("qc2dag");
    nb::object dag = nb::borrow(qc2dag)(qc, nb::arg("show_qubits") = false);
    nb::object rev_qc = callm(qc, "deepcopy", {});
    callm(getattr(rev_qc, "gates"), "reverse", {});
    nb::object rev_dag = nb::borrow(qc2dag)(rev_qc, nb::arg("show_qubits") = false);
    nb::object result;
    for (long long idx = 0; idx < total; ++idx) {
        if (idx == total - 1)
            setattr(self, "do_map_node_to_gate", nb::handle(Py_True));
        const bool forward = idx % 2 == 0;
        setattr(self, "dag_id", pystr(forward ? "forward" : "reverse"));
        setattr(self, "dag", forward ? dag : rev_dag);
        if (idx == total - 1)
            best_p2v = invert(getattr(self, "v2p"));
        result = callm(self, "_single_sabre_routing", {});
    }
    return result;
}

nb::object run(const vx::Args &a) {
    nb::handle self = a[0], qc = a[1];
    nb::object iterations_o = getattr(self, "iterations");
    const long long iterations = PyLong_AsLongLong(vx::own(PyNumber_Index(iterations_o.ptr())).ptr());
    if (iterations == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    check_iterations(iterations_o, iterations);
    check_physical_qubits(getattr(self, "physical_qubits"));
    auto [v2p, p2v] = unpack2(callm(self, "_initialize_v2p_p2v", {virtual_order(a, qc)}));
    nb::object gates = getattr(qc, "gates");
    check_gates(a, gates);
    check_placement(a, self, gates, v2p);
    // Cache keys hold node identities, which a new DAG may reuse.
    callm(native::raw_cache(self), "clear", {});
    setattr(self, "v2p", v2p);
    setattr(self, "p2v", p2v);
    nb::object init_p2v = invert(v2p);

    // The emitting traversal must walk the circuit forwards: an even count
    // gets one more forward traversal.
    const long long total = iterations % 2 == 0 ? iterations + 1 : iterations;
    nb::object result, best_p2v;
    setattr(self, "do_map_node_to_gate", nb::handle(Py_False));
    if (!native::try_run(a, self, qc, total, result, best_p2v))
        result = traverse_plain(a, self, qc, total, best_p2v);
    if (total == 1)
        best_p2v = init_p2v;
    auto [out_gates, nswap] = unpack2(result);
    nb::object final_p2v = invert(getattr(self, "v2p"));
    print_table(init_p2v, best_p2v, final_p2v, nswap);

    nb::object physical = getattr(self, "physical_qubits");
    nb::object top = call(a.global("max"), {physical});
    nb::object nq = vx::own(PyNumber_Add(top.ptr(), pyint(1).ptr()));
    nb::object new_qc = call(a.global("QuantumCircuit"), {nq, getattr(qc, "ncbits")});
    setattr(new_qc, "gates", out_gates);
    setattr(new_qc, "params_value", getattr(qc, "params_value"));
    setattr(new_qc, "qubits", physical);
    return new_qc;
}

}  // namespace

NB_MODULE(routing, m) {
    nb::object collections = vx::import("collections");
    m.attr("OrderedDict") = collections.attr("OrderedDict");
    m.attr("copy") = vx::import("copy");
    m.attr("random") = vx::import("random");
    nb::object nx = vx::import("networkx");
    m.attr("nx") = nx;
    m.attr("floyd_warshall_numpy") = nx.attr("floyd_warshall_numpy");
    g_floyd = nb::object(nx.attr("floyd_warshall_numpy")).release().ptr();
    g_graph = nb::object(nx.attr("Graph")).release().ptr();
    m.attr("Literal") = vx::import("typing").attr("Literal");
    nb::object gw = vx::import("vexal.circuit.gatework");
    for (const char *t :
         {"one_qubit_gates_available", "two_qubit_gates_available", "one_qubit_parameter_gates_available",
          "two_qubit_parameter_gates_available", "three_qubit_gates_available", "functional_gates_available"})
        m.attr(t) = gw.attr(t);
    m.attr("QuantumCircuit") = vx::import("vexal.circuit.quantumcircuit").attr("QuantumCircuit");
    nb::object dagmod = vx::import("vexal.circuit.dag");
    m.attr("qc2dag") = dagmod.attr("qc2dag");
    m.attr("split_qubits") = dagmod.attr("split_qubits");
    nb::object TranspilerPass = vx::import("vexal.circuit.keystage").attr("TranspilerPass");
    m.attr("TranspilerPass") = TranspilerPass;
    m.attr("re") = vx::import("re");

    vx::def(m, {.name = "extract_qubits", .impl = extract_qubits, .params = {{"node_name", vx::Conv::Str}}});
    vx::def(m, {.name = "update_v2p_and_p2v_mapping",
                .impl = update_v2p_and_p2v_mapping,
                .params = {{"v2p", vx::Conv::Dict}, {"swap_gate_info", vx::Conv::Tuple}},
                .return_annotation = "tuple[dict, dict]"});

    using vx::Conv;
    const vx::Param self{"self", Conv::Any, nullptr};
    const vx::Param fl{"front_layer", Conv::List};
    const vx::Param sgi{"swap_gate_info", Conv::Tuple};
    const vx::Param node{"node", Conv::Str};
    nb::object cls = vx::make_class(
        m, "SabreRouting", nb::make_tuple(TranspilerPass),
        "SABRE-based routing pass for quantum circuit transpilation.\n\n"
        "    Places the circuit's qubits on the physical qubits of a coupling graph and inserts\n"
        "    SWAP gates so that every two-qubit gate acts on a coupled pair.\n    ",
        {
            {.name = "__init__",
             .impl = init,
             .params = {self,
                        {"subgraph", Conv::Any, "nx.Graph"},
                        {"initial_mapping", Conv::Any, "Literal['random', 'trivial'] | list"},
                        {"do_random_choice", Conv::Bool},
                        {"iterations", Conv::Int},
                        {"heuristic", Conv::Any, "Literal['basic', 'lookahead', 'basic_decay', 'lookahead_decay']"},
                        {"max_extended_set_weight", Conv::Float}},
             .defaults = {pystr("trivial"), nb::borrow(Py_False), pyint(5), pystr("lookahead_decay"),
                          vx::own(PyFloat_FromDouble(0.5))}},
            {.name = "_distance_matrix_element",
             .impl = distance_matrix_element,
             .params = {self, {"pq1", Conv::Int}, {"pq2", Conv::Int}}},
            {.name = "_dag_successors", .impl = dag_successors, .params = {self, node}},
            {.name = "_dag_predecessors", .impl = dag_predecessors, .params = {self, node}},
            {.name = "_get_nodes",
             .impl = get_nodes,
             .params = {self, node, {"query_type", Conv::Any, "Literal['successors', 'predecessors']"}}},
            {.name = "_initialize_v2p_p2v",
             .impl = initialize_v2p_p2v,
             .params = {self, {"virtual_qubits", Conv::List}}},
            {.name = "_mapping_node_to_gate_info", .impl = mapping_node_to_gate_info, .params = {self, node}},
            {.name = "_get_extended_successor_set", .impl = get_extended_successor_set, .params = {self, fl}},
            {.name = "_get_execute_node_list", .impl = get_execute_node_list, .params = {self, fl}},
            {.name = "_has_no_correlation_on_front_layer",
             .impl = has_no_correlation_on_front_layer,
             .params = {self, node, fl}},
            {.name = "_get_swap_candidate_list", .impl = get_swap_candidate_list, .params = {self, fl}},
            {.name = "_reset_decay_parameter", .impl = reset_decay_parameter, .params = {self}},
            {.name = "_update_decay_parameter",
             .impl = update_decay_parameter,
             .params = {self, {"min_score_swap_gate_info", Conv::Tuple}}},
            {.name = "_heuristic_score_basic", .impl = score_basic, .params = {self, sgi, fl}},
            {.name = "_heuristic_score_lookahead", .impl = score_lookahead, .params = {self, sgi, fl}},
            {.name = "_heuristic_score_basic_decay", .impl = score_basic_decay, .params = {self, sgi, fl}},
            {.name = "_heuristic_score_lookahead_decay", .impl = score_lookahead_decay, .params = {self, sgi, fl}},
            {.name = "_heuristic_score", .impl = heuristic_score, .params = {self, sgi, fl}},
            {.name = "_single_sabre_routing", .impl = single_sabre_routing, .params = {self}},
            {.name = "run", .impl = run, .params = {self, {"qc", Conv::Any, "QuantumCircuit"}}},
        });
    m.attr("SabreRouting") = cls;
    native::remember(m, cls);
    g_cls = cls.release().ptr();  // lives as long as the process
}
