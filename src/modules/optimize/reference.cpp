// The reference path of GateCompressor: its methods, and the loop of run
// that composes them.  Each method works alone on the pass's state (dag,
// _idx, compressible_gates) through the graph's own methods, and calls the
// other methods through the pass object, so that a subclass's override is
// the one used.
#include "optimize.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>

namespace optimize {

namespace {

using vx::dagapi::GateKinds;

nb::object dag_of(nb::handle self) { return vx::getattr(self, names().dag); }

// dag.get_edge_data(u, v)["qubit"]
nb::object edge_label(nb::handle dag, nb::handle u, nb::handle v) {
    nb::object data = vx::call_method(dag, "get_edge_data", {u, v});
    return vx::getitem(data, names().qubit);
}

// dag.nodes[node][key]
nb::object node_attr(nb::handle dag, nb::handle node, PyObject *key) {
    nb::object nodes = vx::getattr(dag, "nodes");
    return vx::getitem(vx::getitem(nodes, node), key);
}

nb::object edge_triple(nb::handle u, nb::handle v, nb::handle label) {
    nb::object data = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(data.ptr(), names().qubit, label.ptr()));
    return vx::own(PyTuple_Pack(3, u.ptr(), v.ptr(), data.ptr()));
}

// The one neighbour of a one-qubit node through dag.<way>(node), or None
// where it has none.  A one-qubit gate has one wire, so it cannot have two.
nb::object only_neighbour(nb::handle dag, nb::handle node, const char *way) {
    nb::object all = vx::own(PySequence_List(vx::call_method(dag, way, {node}).ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(all.ptr());
    if (n > 1)
        ambiguous_neighbours(node.ptr(), n, way);
    return n ? nb::borrow(PyList_GET_ITEM(all.ptr(), 0)) : nb::none();
}

// The edge that bridges a vanished one-qubit pair: node1_pre -> node2_suc
// carrying the pair's wire.  Where that edge is there already, its label
// becomes the wires it then carries: its own and the pair's, sorted.
nb::object bridge_one(nb::handle dag, nb::handle n1, nb::handle n2, nb::handle pre, nb::handle suc) {
    nb::object edges = vx::new_list();
    if (pre.is_none() || suc.is_none())
        return edges;
    nb::object pair = edge_label(dag, n1, n2);
    nb::object label;
    if (vx::truth(vx::call_method(dag, "has_edge", {pre, suc}))) {
        nb::object wires = vx::own(PySet_New(edge_label(dag, pre, suc).ptr()));
        nb::object it = vx::own(PyObject_GetIter(pair.ptr()));
        while (nb::object w = vx::next_item(it))
            vx::check(PySet_Add(wires.ptr(), w.ptr()));
        label = vx::own(PySequence_List(wires.ptr()));
        vx::check(PyList_Sort(label.ptr()));
    } else {
        label = pair;
    }
    vx::append(edges, edge_triple(pre, suc, label));
    return edges;
}

// {neighbour: label} over dag.<way>(node) in order, or None where there is
// no neighbour.
nb::object neighbour_map(nb::handle dag, nb::handle node, bool predecessors) {
    nb::object map = vx::own(PyDict_New());
    nb::object it =
        vx::own(PyObject_GetIter(vx::call_method(dag, predecessors ? "predecessors" : "successors", {node}).ptr()));
    while (nb::object x = vx::next_item(it)) {
        nb::object label = predecessors ? edge_label(dag, x, node) : edge_label(dag, node, x);
        vx::check(PyDict_SetItem(map.ptr(), x.ptr(), label.ptr()));
    }
    return PyDict_GET_SIZE(map.ptr()) ? map : nb::none();
}

// The edges that bridge a vanished multi-qubit pair: each predecessor to
// each successor it shares wires with, predecessor-major.
nb::object bridge_multi(nb::handle dag, nb::handle pre_dic, nb::handle suc_dic) {
    nb::object edges = vx::new_list();
    if (pre_dic.is_none() || suc_dic.is_none())
        return edges;
    Py_ssize_t i = 0;
    PyObject *pre, *q1;
    while (PyDict_Next(pre_dic.ptr(), &i, &pre, &q1)) {
        Py_ssize_t j = 0;
        PyObject *suc, *q2;
        while (PyDict_Next(suc_dic.ptr(), &j, &suc, &q2)) {
            nb::object common = vx::new_list();
            nb::object it = vx::own(PyObject_GetIter(q1));
            while (nb::object w = vx::next_item(it))
                if (vx::contains(q2, w))
                    vx::append(common, w);
            if (PyList_GET_SIZE(common.ptr()) == 0)
                continue;
            if (vx::truth(vx::call_method(dag, "has_edge", {pre, suc}))) {
                nb::object there = edge_label(dag, pre, suc);
                nb::object joined = vx::own(PySequence_InPlaceConcat(common.ptr(), there.ptr()));
                nb::object set = vx::own(PySet_New(joined.ptr()));
                common = vx::own(PySequence_List(set.ptr()));
            }
            vx::append(edges, edge_triple(pre, suc, common));
        }
    }
    return edges;
}

nb::object outcome(nb::handle n1, nb::handle n2, nb::handle nodes_added, nb::handle edges_added) {
    nb::object remove = vx::own(PyList_New(2));
    PyList_SET_ITEM(remove.ptr(), 0, Py_NewRef(n1.ptr()));
    PyList_SET_ITEM(remove.ptr(), 1, Py_NewRef(n2.ptr()));
    return vx::own(PyTuple_Pack(3, remove.ptr(), nodes_added.ptr(), edges_added.ptr()));
}

// [(gate_<idx>_<qubits>, {"qubits": qubits, "params": params})], reading
// self.idx once.
nb::object created_node(nb::handle self, nb::handle gate, nb::handle qubits, nb::handle params) {
    nb::object idx = vx::getattr(self, names().idx);
    nb::object name = vx::str_obj(vx::str_text(gate) + "_" + vx::str_text(idx) + "_" + vx::str_text(qubits));
    nb::object attrs = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(attrs.ptr(), names().qubits, qubits.ptr()));
    vx::check(PyDict_SetItem(attrs.ptr(), names().params, params.ptr()));
    nb::object added = vx::own(PyList_New(1));
    PyList_SET_ITEM(added.ptr(), 0, vx::check(PyTuple_Pack(2, name.ptr(), attrs.ptr())));
    return added;
}

// The merged angles of the pair, or null where the merged gate is the identity.
nb::object merge_or_vanish(const vx::Args &a, nb::handle dag, nb::handle gate, nb::handle n1, nb::handle n2,
                           bool one_qubit) {
    Maths m(a.func()->globals);
    nb::object p1 = node_attr(dag, n1, names().params);
    nb::object p2 = node_attr(dag, n2, names().params);
    return merged_or_null(m, gate, p1, p2, one_qubit);
}

// rec with its name replaced by "u"
nb::object as_u_record(nb::handle rec) {
    nb::object rest = vx::own(PySequence_GetSlice(rec.ptr(), 1, PY_SSIZE_T_MAX));
    nb::object tail = vx::own(PySequence_Tuple(rest.ptr()));
    nb::object head = vx::own(PyTuple_Pack(1, names().u));
    return vx::own(PySequence_Concat(head.ptr(), tail.ptr()));
}

}  // namespace

void ambiguous_neighbours(PyObject *node, Py_ssize_t count, const char *way) {
    vx::value_error("one-qubit gate node " + vx::describe(node, false) + " has " + std::to_string(count) + " " + way +
                    "; a gate on one wire has at most one");
}

// ---------------------------------------------------------------- methods

nb::object remove_identity_gates(const vx::Args &a) {
    nb::handle qc = a[1];
    PyObject *globals = a.func()->globals;
    nb::object new_qc = vx::call_method(qc, "deepcopy", {});
    nb::object gates = vx::getattr(qc, names().gates);
    GateKinds kinds(vx::dagapi::gatework_api(), globals, kParamTableBits);
    Maths m(globals);
    nb::object kept = vx::new_list();
    nb::object it = vx::own(PyObject_GetIter(gates.ptr()));
    for (std::size_t step = 0; nb::object rec = vx::next_item(it); ++step) {
        vx::poll_signals(step);
        nb::object gate = nb::steal(vx::item(rec.ptr(), 0));
        const Py_ssize_t wires = param_gate_wires(kinds.of(gate.ptr()));
        if (!wires) {
            vx::append(kept, rec);
            continue;
        }
        nb::object params = vx::own(PySequence_GetSlice(rec.ptr(), 1, -wires));
        if (PyUnicode_Check(gate.ptr()) && PyUnicode_Compare(gate.ptr(), names().u3) == 0) {
            // a u3 record is the u gate of its three angles
            rec = as_u_record(rec);
            gate = nb::borrow(names().u);
        }
        const bool identity = is_identity_gate(m, gate, params);
        kinds.forget();  // the matrix function may have been a replacement
        if (!identity)
            vx::append(kept, rec);
    }
    vx::setattr(new_qc, "gates", kept);
    return new_qc;
}

nb::object is_adjacent_gates(const vx::Args &a) {
    nb::handle self = a[0], n1 = a[1], n2 = a[2];
    nb::object name1 = vx::dagapi::node_gate(n1), name2 = vx::dagapi::node_gate(n2);
    nb::object dag = dag_of(self);
    nb::object q1 = node_attr(dag, n1, names().qubits);
    nb::object q2 = node_attr(dag, n2, names().qubits);
    if (!vx::equal(name1, name2))
        return nb::borrow(Py_False);
    if (!vx::contains(vx::getattr(self, names().compressible), name1))
        return nb::borrow(Py_False);
    if (!vx::equal(q1, q2))
        return nb::borrow(Py_False);
    nb::object out = vx::own(PySequence_List(vx::call_method(dag, "out_edges", {n1}).ptr()));
    nb::object in = vx::own(PySequence_List(vx::call_method(dag, "in_edges", {n2}).ptr()));
    return nb::borrow(vx::equal(out, in) ? Py_True : Py_False);
}

nb::object has_adjacent_gates(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object edges = vx::call_method(dag_of(self), "edges", {});
    nb::object it = vx::own(PyObject_GetIter(edges.ptr()));
    for (std::size_t step = 0; nb::object e = vx::next_item(it); ++step) {
        vx::poll_signals(step);
        auto [u, v] = vx::unpack2(e);
        if (vx::truth(call_method(self, names().method[M_IS_ADJACENT], {u, v})))
            return nb::borrow(Py_True);
    }
    return nb::borrow(Py_False);
}

nb::object compress_one(const vx::Args &a) {
    nb::handle self = a[0], n1 = a[1], n2 = a[2];
    nb::object dag = dag_of(self);
    nb::object pre = only_neighbour(dag, n1, "predecessors");
    nb::object suc = only_neighbour(dag, n2, "successors");
    return outcome(n1, n2, vx::new_list(), bridge_one(dag, n1, n2, pre, suc));
}

nb::object compress_one_param(const vx::Args &a) {
    nb::handle self = a[0], n1 = a[1], n2 = a[2];
    nb::object dag = dag_of(self);
    nb::object pre = only_neighbour(dag, n1, "predecessors");
    nb::object suc = only_neighbour(dag, n2, "successors");
    nb::object gate = vx::dagapi::node_gate(n1);
    nb::object params = merge_or_vanish(a, dag, gate, n1, n2, true);
    if (!params.is_valid())
        return outcome(n1, n2, vx::new_list(), bridge_one(dag, n1, n2, pre, suc));
    nb::object added = created_node(self, gate, node_attr(dag, n1, names().qubits), params);
    nb::object created = nb::borrow(PyTuple_GET_ITEM(PyList_GET_ITEM(added.ptr(), 0), 0));
    nb::object edges = vx::new_list();
    if (!pre.is_none())
        vx::append(edges, edge_triple(pre, created, edge_label(dag, pre, n1)));
    if (!suc.is_none())
        vx::append(edges, edge_triple(created, suc, edge_label(dag, n2, suc)));
    return outcome(n1, n2, added, edges);
}

nb::object compress_two(const vx::Args &a) {
    nb::handle self = a[0], n1 = a[1], n2 = a[2];
    nb::object dag = dag_of(self);
    nb::object pre_dic = neighbour_map(dag, n1, true);
    nb::object suc_dic = neighbour_map(dag, n2, false);
    return outcome(n1, n2, vx::new_list(), bridge_multi(dag, pre_dic, suc_dic));
}

nb::object compress_two_param(const vx::Args &a) {
    nb::handle self = a[0], n1 = a[1], n2 = a[2];
    nb::object dag = dag_of(self);
    nb::object pre_dic = neighbour_map(dag, n1, true);
    nb::object suc_dic = neighbour_map(dag, n2, false);
    nb::object gate = vx::dagapi::node_gate(n1);
    nb::object params = merge_or_vanish(a, dag, gate, n1, n2, false);
    if (!params.is_valid())
        return outcome(n1, n2, vx::new_list(), bridge_multi(dag, pre_dic, suc_dic));
    nb::object added = created_node(self, gate, node_attr(dag, n1, names().qubits), params);
    nb::object created = nb::borrow(PyTuple_GET_ITEM(PyList_GET_ITEM(added.ptr(), 0), 0));
    nb::object edges = vx::new_list();
    Py_ssize_t i = 0;
    PyObject *k, *v;
    if (!pre_dic.is_none())
        while (PyDict_Next(pre_dic.ptr(), &i, &k, &v))
            vx::append(edges, edge_triple(k, created, v));
    i = 0;
    if (!suc_dic.is_none())
        while (PyDict_Next(suc_dic.ptr(), &i, &k, &v))
            vx::append(edges, edge_triple(created, k, v));
    return outcome(n1, n2, added, edges);
}

nb::object compress_three(const vx::Args &a) { return compress_two(a); }

nb::object run_compress_once(const vx::Args &a) {
    nb::handle self = a[0], n1 = a[1], n2 = a[2];
    nb::object gate = vx::dagapi::node_gate(n1);
    GateKinds kinds(vx::dagapi::gatework_api(), a.func()->globals, kRuleTableBits);
    const int method = rule_method(rule_of(kinds.of(gate.ptr())));
    if (method < 0)
        return nb::none();
    return call_method(self, names().method[method], {n1, n2});
}

// ------------------------------------------------------------------- loop

void reference_loop(nb::handle self) {
    const Names &k = names();
    bool compress = vx::truth(call_method(self, k.method[M_HAS_ADJACENT], {}));
    while (compress) {
        vx::check(PyErr_CheckSignals());
        nb::object dag = dag_of(self);
        nb::object edges = vx::call_method(dag, "edges", {});
        nb::object it = vx::own(PyObject_GetIter(edges.ptr()));
        bool merged = false;
        for (std::size_t step = 0; nb::object e = vx::next_item(it); ++step) {
            vx::poll_signals(step);
            auto [n1, n2] = vx::unpack2(e);
            if (!vx::truth(call_method(self, k.method[M_IS_ADJACENT], {n1, n2})))
                continue;
            nb::object res = call_method(self, k.method[M_RUN_ONCE], {n1, n2});
            nb::object parts[3];
            vx::unpack(res, parts, 3);
            vx::call_method(dag, "remove_nodes_from", {parts[0]});
            vx::call_method(dag, "add_nodes_from", {parts[1]});
            vx::call_method(dag, "add_edges_from", {parts[2]});
            merged = true;
            break;
        }
        // a walk that finds no pair ends the loop, whatever has_adjacent_gates says
        compress = merged && vx::truth(call_method(self, k.method[M_HAS_ADJACENT], {}));
    }
}

nb::object largest_name_number(nb::handle dag) {
    long long best = -1;
    nb::object big;  // numbers of more than 18 digits
    nb::object it = vx::own(PyObject_GetIter(dag.ptr()));
    for (std::size_t step = 0; nb::object node = vx::next_item(it); ++step) {
        vx::poll_signals(step, 1 << 16);
        if (!PyUnicode_Check(node.ptr()))
            continue;
        Py_ssize_t len = 0;
        const char *s = PyUnicode_AsUTF8AndSize(node.ptr(), &len);
        if (!s) {
            vx::clear_ordinary_error();
            continue;
        }
        const std::string_view text(s, static_cast<size_t>(len));
        const size_t a = text.find('_');
        const size_t b = a == std::string_view::npos ? a : text.find('_', a + 1);
        if (b == std::string_view::npos || b == a + 1)
            continue;
        const std::string_view digits = text.substr(a + 1, b - a - 1);
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        if (digits.size() <= 18) {
            long long v = 0;
            std::from_chars(digits.data(), digits.data() + digits.size(), v);
            best = std::max(best, v);
            continue;
        }
        nb::object n = vx::own(PyLong_FromString(std::string(digits).c_str(), nullptr, 10));
        if (!big.is_valid() || vx::less(big, n))
            big = n;
    }
    nb::object top = best >= 0 ? vx::int_obj(best) : nb::object();
    if (big.is_valid() && (!top.is_valid() || vx::less(top, big)))
        top = big;
    return top;
}

}  // namespace optimize
