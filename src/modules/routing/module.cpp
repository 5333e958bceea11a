// vexal.circuit.routing: the SABRE routing pass.
//
// Every method of SabreRouting works on its own, on the pass object's
// attributes, through the other methods looked up on the object
// (reference_*.cpp).  `run` of a SabreRouting whose methods and inputs are
// the package's own hands the traversals to the fast path (fast_run.cpp),
// which gives exactly the result of these methods; anything customised takes
// the reference path, the methods one call at a time.
#include "fast.hpp"

#include <cmath>
#include <string>
#include <vector>

namespace routing {

nb::object gate_name(nb::handle node) {
    if (PyUnicode_Check(node.ptr())) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(node.ptr());
        Py_ssize_t i = PyUnicode_FindChar(node.ptr(), '_', 0, len, 1);
        if (i == -2)
            throw vx::error_already_set{};
        return vx::own(PyUnicode_Substring(node.ptr(), 0, i < 0 ? len : i));
    }
    nb::object parts = vx::call(vx::getattr(node, vx::intern("split")), {nb::handle(vx::intern("_"))});
    return vx::own(PySequence_GetItem(parts.ptr(), 0));
}

void raise_fmt(PyObject *type, const char *fmt, std::initializer_list<nb::handle> args) {
    nb::object f = vx::str_obj(fmt);
    nb::object msg = vx::call(vx::getattr(f, vx::intern("format")), args);
    PyErr_SetObject(type, msg.ptr());
    throw vx::error_already_set{};
}

// {value: key for key, value in d.items()}
nb::object invert(nb::handle d) {
    nb::object out = vx::own(PyDict_New());
    nb::object items = to_list(vx::call(vx::getattr(d, vx::intern("items")), {}));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        auto [k, v] = vx::unpack2(PyList_GET_ITEM(items.ptr(), i));
        vx::check(PyObject_SetItem(out.ptr(), v.ptr(), k.ptr()));
    }
    return out;
}

nb::object extract(const vx::Args &a, nb::handle node) { return vx::call(a.global("extract_qubits"), {node}); }

}  // namespace routing

using namespace routing;

namespace {

// The (node, neighbours) pairs of a Graph in node order: straight from its
// dictionaries, or through the adjacency view of a subgraph view (the
// coupling subgraph the layout selection returns is one).  Lists, so that a
// node's own __eq__ or __hash__ changing the graph cannot pull anything from
// under us.
nb::object adjacency_items(nb::handle subgraph) {
    nb::object adj = vx::own(PyObject_GetAttr(subgraph.ptr(), vx::intern("_adj")));
    if (PyDict_CheckExact(adj.ptr()))
        return vx::own(PyDict_Items(adj.ptr()));
    return vx::own(PySequence_List(vx::call_method(adj, "items", {}).ptr()));
}

// Hop counts over a Graph's adjacency by breadth-first searches (O(n*m)), as
// floyd_warshall_numpy would give them without weights; an invalid object
// where the graph's adjacency cannot be read so.
nb::object hop_matrix(nb::handle subgraph) {
    nb::object nodes = adjacency_items(subgraph);
    if (PyList_GET_SIZE(nodes.ptr()) >= (1 << 15))
        return {};
    const auto n = static_cast<std::int32_t>(PyList_GET_SIZE(nodes.ptr()));
    for (std::int32_t u = 0; u < n; ++u) {
        PyObject *item = PyList_GET_ITEM(nodes.ptr(), u);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2)
            return {};
    }
    nb::object index = vx::own(PyDict_New());
    for (std::int32_t u = 0; u < n; ++u) {
        PyObject *node = PyTuple_GET_ITEM(PyList_GET_ITEM(nodes.ptr(), u), 0);
        vx::check(PyDict_SetItem(index.ptr(), node, vx::int_obj(u).ptr()));
    }
    if (PyDict_GET_SIZE(index.ptr()) != n)
        return {};
    std::vector<std::int32_t> off{0}, out;
    for (std::int32_t u = 0; u < n; ++u) {
        PyObject *nbrs = PyTuple_GET_ITEM(PyList_GET_ITEM(nodes.ptr(), u), 1);
        nb::object keys = vx::own(PyDict_CheckExact(nbrs) ? PyDict_Keys(nbrs) : PySequence_List(nbrs));
        for (Py_ssize_t e = 0; e < PyList_GET_SIZE(keys.ptr()); ++e) {
            PyObject *j = PyDict_GetItemWithError(index.ptr(), PyList_GET_ITEM(keys.ptr(), e));
            if (!j && PyErr_Occurred())
                throw vx::error_already_set{};
            if (!j)
                return {};
            out.push_back(static_cast<std::int32_t>(PyLong_AsLong(j)));
        }
        off.push_back(static_cast<std::int32_t>(out.size()));
    }
    nb::object arr = vx::getattr(vx::import("numpy"), vx::intern("empty"))(nb::make_tuple(n, n));
    Py_buffer view;
    vx::check(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
    struct Release {
        Py_buffer *v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    engines::sabre::hop_distances(n, off, out, static_cast<double *>(view.buf),
                                  [] { vx::check(PyErr_CheckSignals()); });
    return arr;
}

// The distances between the coupling graph's qubits: the couplers on a
// shortest path (float64, node order, 0 on the diagonal, inf where there is
// no path).  A coupler is one SWAP whatever the edge's attributes say, so
// edge weights are not read: with them, "distance 1" would no longer mean
// "coupled".  A replaced floyd_warshall_numpy is called as it stands.
nb::object distance_matrix(const vx::Args &a, nb::handle subgraph) {
    nb::handle floyd = a.global("floyd_warshall_numpy");
    if (!vx::is_original(a, "floyd_warshall_numpy"))
        return vx::call(floyd, {subgraph});
    if (reinterpret_cast<PyObject *>(Py_TYPE(subgraph.ptr())) == vx::original(a.func()->globals, "nx.Graph"))
        if (nb::object arr = hop_matrix(subgraph); arr.is_valid())
            return arr;
    return floyd(subgraph, nb::arg("weight") = nb::none());
}

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
    if (PyList_GET_SIZE(pl.ptr()) != PySet_GET_SIZE(ps.ptr()) ||
        !vx::truth(vx::call(vx::getattr(ns, vx::intern("issubset")), {ps})))
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
        vx::own(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                             vx::original(a.func()->globals, "SabreRouting"), self.ptr(), nullptr));
    vx::call(vx::getattr(sup, vx::intern("__init__")), {});
    vx::setattr(self, "coupling_graph", subgraph);
    vx::setattr(self, "distance_matrix", distance_matrix(a, subgraph));
    nb::object graph = vx::getattr(subgraph, vx::intern("graph"));
    nb::object key = vx::str_obj("normal_order");
    if (!vx::contains(graph, key)) {
        nb::object nodes = to_list(vx::call(vx::getattr(subgraph, vx::intern("nodes")), {}));
        vx::check(PyObject_SetItem(graph.ptr(), key.ptr(), nodes.ptr()));
    }
    nb::object physical = vx::getitem(graph, key);
    nb::object node_list = to_list(vx::getattr(subgraph, vx::intern("nodes")));
    check_normal_order(physical, node_list);
    vx::setattr(self, "physical_qubits", physical);
    nb::object index = vx::own(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node_list.ptr()); ++i)
        vx::check(PyDict_SetItem(index.ptr(), PyList_GET_ITEM(node_list.ptr(), i), vx::int_obj(i).ptr()));
    vx::setattr(self, "physical_qubits_index", index);
    vx::setattr(self, "initial_mapping", a[2]);
    vx::setattr(self, "do_random_choice", a[3]);
    vx::setattr(self, "iterations", a[4]);
    vx::setattr(self, "heuristic", a[5]);
    vx::setattr(self, "extended_successor_set", new_list());
    vx::setattr(self, "max_extended_set_weight", a[6]);
    vx::setattr(self, "decay_parameter", vx::own(PyDict_New()));
    vx::setattr(self, "_cache", vx::call(a.global("OrderedDict"), {}));
    return nb::none();
}

// ---------------------------------------------------------------- run

void print_table(nb::handle init_p2v, nb::handle best_p2v, nb::handle final_p2v, nb::handle nswap) {
    nb::object head = vx::str_obj("{:^21} -----> {:^21} -----> {:^21}");
    vx::print({vx::call(vx::getattr(head, vx::intern("format")),
                        {vx::str_obj("initial mapping"), vx::str_obj("best mapping"), vx::str_obj("final mapping")})});
    nb::object row = vx::str_obj("{:^10}:{:^10} -----> {:^10}:{:^10} -----> {:^10}:{:^10}");
    nb::object P = vx::str_obj("P"), V = vx::str_obj("V");
    vx::print({vx::call(vx::getattr(row, vx::intern("format")), {P, V, P, V, P, V})});
    nb::object keys = to_list(init_p2v);
    vx::check(PyList_Sort(keys.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        nb::handle p = PyList_GET_ITEM(keys.ptr(), i);
        vx::print({vx::call(vx::getattr(row, vx::intern("format")),
                            {p, vx::getitem(init_p2v, p), p, vx::getitem(best_p2v, p), p, vx::getitem(final_p2v, p)})});
    }
    vx::print({vx::call(
        vx::getattr(vx::str_obj("A total of {} swap gates have been added to the circuit."), vx::intern("format")),
        {nswap})});
}

// The physical qubits name the result's wires: non-negative integers (a
// TypeError for any other object, a ValueError for a negative one).
void check_physical_qubits(nb::handle physical) {
    nb::object pl = to_list(physical);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pl.ptr()); ++i) {
        PyObject *p = PyList_GET_ITEM(pl.ptr(), i);
        const bool integer = PyLong_Check(p) && !PyBool_Check(p);
        if (!integer || vx::less(p, vx::int_obj(0)))
            raise_fmt(integer ? PyExc_ValueError : PyExc_TypeError,
                      "The physical qubits of the coupling graph must be non-negative integers; got {!r}.",
                      {nb::handle(p)});
    }
}

// A record's gate name, or null for a record too malformed to have one.
PyObject *record_name(PyObject *rec) {
    if (!(PyTuple_Check(rec) || PyList_Check(rec)) || PySequence_Fast_GET_SIZE(rec) == 0)
        return nullptr;
    return PySequence_Fast_ITEMS(rec)[0];
}

// Calls each(q) for every qubit a record of this kind names (the record
// check has passed it).
template <class Each> void each_wire(const vx::dagapi::GateKind &k, PyObject *rec, Each &&each) {
    using vx::dagapi::RecordKind;
    if (!k.shaped)
        return;
    PyObject **items = PySequence_Fast_ITEMS(rec);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(rec);
    PyObject *seq = k.record == RecordKind::Measure || k.record == RecordKind::Barrier ? items[1]
                    : k.record == RecordKind::Delay                                    ? items[2]
                                                                                       : nullptr;
    if (!seq) {
        for (Py_ssize_t w = n - vx::dagapi::wire_count(k.record); w < n; ++w)
            each(items[w]);
        return;
    }
    nb::object fast = vx::own(PySequence_Fast(seq, "qubits must be a sequence"));
    for (Py_ssize_t w = 0; w < PySequence_Fast_GET_SIZE(fast.ptr()); ++w)
        each(PySequence_Fast_ITEMS(fast.ptr())[w]);
}

// The physical qubits of v2p that no coupler touches (none but a self-loop).
nb::object uncoupled(nb::handle self, nb::handle v2p) {
    nb::object graph = vx::getattr(self, vx::intern("coupling_graph"));
    nb::object out = vx::own(PySet_New(nullptr));
    nb::object placed = to_list(vx::call(vx::getattr(v2p, vx::intern("values")), {}));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(placed.ptr()); ++i) {
        nb::handle p = PyList_GET_ITEM(placed.ptr(), i);
        bool coupled = false;
        if (vx::contains(graph, p)) {
            nb::object nl = to_list(vx::call(vx::getattr(graph, vx::intern("neighbors")), {p}));
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(nl.ptr()) && !coupled; ++j)
                coupled = !vx::equal(PyList_GET_ITEM(nl.ptr(), j), p);
        }
        if (!coupled)
            vx::check(PySet_Add(out.ptr(), p.ptr()));
    }
    return out;
}

// What run refuses before any traversal, once the records are sound: a
// three-qubit gate (the pass routes one- and two-qubit gates), a gate on a
// qubit that is not one of the circuit's, and a two-qubit gate on a qubit
// placed where no coupler reaches (it could never move: SWAPs go along
// couplers, so the gate could never run).
void check_gates(GateKinds &kinds, nb::handle self, nb::handle gates, nb::handle v2p) {
    const Py_ssize_t n = PyList_GET_SIZE(gates.ptr());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyObject *name = record_name(PyList_GET_ITEM(gates.ptr(), i));
            name && kinds.of(name).in(vx::dagapi::kThreeQubitTable))
            raise_fmt(PyExc_ValueError, kDecomposeFirst, {nb::handle(name)});
    nb::object stuck = uncoupled(self, v2p);
    const bool any_stuck = PySet_GET_SIZE(stuck.ptr()) > 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *rec = PyList_GET_ITEM(gates.ptr(), i);
        PyObject *name = record_name(rec);
        const bool two = any_stuck && is_two_qubit(kinds, name);
        each_wire(kinds.of(name), rec, [&](PyObject *q) {
            nb::object p = nb::steal(PyObject_GetItem(v2p.ptr(), q));
            if (!p.is_valid()) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError))
                    throw vx::error_already_set{};
                PyErr_Clear();
                raise_fmt(PyExc_ValueError, "The gate {!r} acts on qubit {}, which is not one of the circuit's qubits.",
                          {nb::handle(rec), nb::handle(q)});
            }
            if (two && vx::contains(stuck, p))
                raise_fmt(PyExc_ValueError,
                          "The two-qubit gate {!r} cannot be routed: its qubit {} is placed on physical qubit {}, "
                          "which no coupler of the coupling graph touches.",
                          {nb::handle(rec), nb::handle(q), p});
        });
    }
}

// The virtual order: the qubit groups of split_qubits, one after another.
nb::object virtual_order(const vx::Args &a, nb::handle qc) {
    nb::object groups = to_list(vx::call(a.global("split_qubits"), {qc}));
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
nb::object traverse_reference(const vx::Args &a, nb::handle self, nb::handle qc, long long total,
                              nb::object &best_p2v) {
    nb::handle qc2dag = a.global("qc2dag");
    nb::object dag = nb::borrow(qc2dag)(qc, nb::arg("show_qubits") = false);
    nb::object rev_qc = vx::call(vx::getattr(qc, vx::intern("deepcopy")), {});
    vx::call_method(vx::getattr(rev_qc, vx::intern("gates")), "reverse", {});
    nb::object rev_dag = nb::borrow(qc2dag)(rev_qc, nb::arg("show_qubits") = false);
    nb::object result;
    for (long long idx = 0; idx < total; ++idx) {
        if (idx == total - 1)
            vx::setattr(self, "do_map_node_to_gate", nb::handle(Py_True));
        const bool forward = idx % 2 == 0;
        vx::setattr(self, "dag_id", vx::str_obj(forward ? "forward" : "reverse"));
        vx::setattr(self, "dag", forward ? dag : rev_dag);
        if (idx == total - 1)
            best_p2v = invert(vx::getattr(self, vx::intern("v2p")));
        result = vx::call(vx::getattr(self, vx::intern("_single_sabre_routing")), {});
    }
    return result;
}

nb::object run(const vx::Args &a) {
    nb::handle self = a[0], qc = a[1];
    nb::object iterations_o = vx::getattr(self, vx::intern("iterations"));
    const long long iterations = PyLong_AsLongLong(vx::own(PyNumber_Index(iterations_o.ptr())).ptr());
    if (iterations == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    check_iterations(iterations_o, iterations);
    check_physical_qubits(vx::getattr(self, vx::intern("physical_qubits")));
    nb::object gates = to_list(vx::getattr(qc, vx::intern("gates")));
    GateKinds kinds = gate_kinds(a);
    vx::dagapi::CheckRules rules;  // three-qubit gates get the pass's own message
    rules.tables &= static_cast<std::uint8_t>(~vx::dagapi::table_bit(vx::dagapi::kThreeQubitTable));
    vx::dagapi::check_circuit(kinds, qc, gates.ptr(), rules);
    auto [v2p, p2v] =
        vx::unpack2(vx::call(vx::getattr(self, vx::intern("_initialize_v2p_p2v")), {virtual_order(a, qc)}));
    check_gates(kinds, self, gates, v2p);
    // Cache keys hold node identities, which a new DAG may reuse.
    fast::clear_cache(self);
    vx::setattr(self, "v2p", v2p);
    vx::setattr(self, "p2v", p2v);
    nb::object init_p2v = invert(v2p);

    // The emitting traversal must walk the circuit forwards: an even count
    // gets one more forward traversal.
    const long long total = iterations % 2 == 0 ? iterations + 1 : iterations;
    nb::object result, best_p2v;
    vx::setattr(self, "do_map_node_to_gate", nb::handle(Py_False));
    vx::PathChoice path(a, self, fast::kNeeds);
    if (!path.fast() || !fast::try_run(a, self, qc, total, result, best_p2v, path))
        result = traverse_reference(a, self, qc, total, best_p2v);
    if (total == 1)
        best_p2v = init_p2v;
    auto [out_gates, nswap] = vx::unpack2(result);
    nb::object final_p2v = invert(vx::getattr(self, vx::intern("v2p")));
    print_table(init_p2v, best_p2v, final_p2v, nswap);

    nb::object physical = vx::getattr(self, vx::intern("physical_qubits"));
    // no physical qubit at all (an empty circuit on an empty graph): no wire
    nb::object nq = vx::int_obj(0);
    if (vx::length(physical) > 0)
        nq = vx::own(PyNumber_Add(vx::call(a.global("max"), {physical}).ptr(), vx::int_obj(1).ptr()));
    nb::object new_qc = vx::call(a.global("QuantumCircuit"), {nq, vx::getattr(qc, vx::intern("ncbits"))});
    vx::setattr(new_qc, "gates", out_gates);
    vx::setattr(new_qc, "params_value", vx::getattr(qc, vx::intern("params_value")));
    vx::setattr(new_qc, "qubits", physical);
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
    m.attr("Literal") = vx::import("typing").attr("Literal");
    nb::object gw = vx::import("vexal.circuit.gatework");
    using enum vx::dagapi::GateTable;
    for (int t :
         {kOneQubitTable, kTwoQubitTable, kOneQubitParamTable, kTwoQubitParamTable, kThreeQubitTable, kFunctionalTable})
        m.attr(vx::kGateTables[t]) = gw.attr(vx::kGateTables[t]);
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
             .defaults = {vx::str_obj("trivial"), nb::borrow(Py_False), vx::int_obj(5), vx::str_obj("lookahead_decay"),
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
    fast::remember(m, cls);
    for (const char *path : {"SabreRouting", "floyd_warshall_numpy", "nx.Graph"})
        vx::keep_original(m, path);
}
