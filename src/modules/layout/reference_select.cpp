// Qubit selection strategies by group size.
#include "layout.hpp"

#include <string>

namespace layout {

namespace {

bool cmp(nb::handle a, int op, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    vx::check(r);
    return r != 0;
}

// sorted(items, key=lambda x: x[1], reverse=True)[0][0]
nb::object best_by_second(nb::handle items) {
    nb::object lst = sorted_list(items, item_getter(1), true);
    nb::object first = vx::own(vx::item(lst.ptr(), 0));
    return vx::own(vx::item(first.ptr(), 0));
}

}  // namespace

nb::object select_one_qubit_from_backend(const vx::Args &a) {
    nb::handle self = a[0];
    nb::handle nx = a.global("nx");
    nb::object graph = vx::getattr(self, "graph");
    nb::object comps = vx::own(PyObject_GetIter(vx::call(vx::getattr(nx, "connected_components"), {graph}).ptr()));
    nb::object sub;
    while (nb::object comp = vx::next_item(comps))
        if (vx::length(comp) > 1) {
            sub = call_method(graph, "subgraph", {comp});
            break;
        }
    if (!sub.is_valid())
        vx::value_error("There is no pair of coupled qubits on the chip to choose a qubit from.");
    nb::object fids = vx::call(vx::getattr(nx, "get_node_attributes"), {sub, vx::str_obj("fidelity")});
    if (vx::length(fids) == 0)
        vx::value_error("None of the coupled qubits of the chip has a fidelity.");
    nb::object best = vx::own(PyList_New(0));
    vx::check(PyList_Append(best.ptr(), best_by_second(call_method(fids, "items", {})).ptr()));
    vx::print({concat({vx::str_obj("Physical qubits layout "), best,
                       vx::str_obj(" is selected based on maximum single-qubit gate fidelity.")})});
    return best;
}

nb::object select_few_qubits_from_backend(const vx::Args &a) {
    nb::handle self = a[0], nqubits = a[1], key = a[2], topology = a[3];
    const bool by_mean = vx::equal(key, vx::str_obj("fidelity_mean"));
    if (!by_mean && !vx::equal(key, vx::str_obj("fidelity_var")))
        vx::value_error("key must be 'fidelity_mean' or 'fidelity_var', not " + vx::describe(key.ptr()) + ".");
    const bool linear = vx::equal(topology, vx::str_obj("linear"));
    if (!linear && !vx::equal(topology, vx::str_obj("nonlinear")))
        vx::value_error("topology must be 'linear' or 'nonlinear', not " + vx::describe(topology.ptr()) + ".");
    nb::object method =
        vx::getattr(self, by_mean ? "sort_subgraph_according_mean_fidelity" : "sort_subgraph_according_var_fidelity");
    nb::object ranks = call_kw(method, {nqubits}, {{"printdetails", a[4]}});
    auto [lin, non] = vx::unpack2(ranks);
    nb::object chosen = linear ? lin : non;
    if (vx::length(chosen) > 0) {
        nb::object first = vx::own(vx::item(vx::own(vx::item(chosen.ptr(), 0)).ptr(), 0));
        vx::print({concat({vx::str_obj("Physical qubits layout "), first,
                           vx::str_obj(" are selected by the local algorithm using key = "), key,
                           vx::str_obj(" and topology = "), topology, vx::str_obj(".")})});
        return vx::own(PySequence_List(first.ptr()));
    }
    raise_value(concat({vx::str_obj("There is no "), nqubits, vx::str_obj(" qubits that meets both key = "), key,
                        vx::str_obj(" and topology = "), topology, vx::str_obj(". Please change the conditions.")}));
}

nb::object get_largest_component(const vx::Args &a) {
    nb::object graph = vx::getattr(a[0], "graph");
    nb::object comps =
        vx::own(PySequence_List(vx::call(vx::getattr(a.global("nx"), "connected_components"), {graph}).ptr()));
    if (PyList_GET_SIZE(comps.ptr()) == 0)
        vx::value_error("The chip graph has no qubits.");
    Py_ssize_t best = 0, size = -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(comps.ptr()); ++i) {
        Py_ssize_t n = vx::length(PyList_GET_ITEM(comps.ptr(), i));
        if (n > size) {
            size = n;
            best = i;
        }
    }
    return call_method(graph, "subgraph", {PyList_GET_ITEM(comps.ptr(), best)});
}

nb::object select_much_qubits_from_backend(const vx::Args &a) {
    nb::handle self = a[0], nqubits = a[1];
    nb::object comp = call_method(self, "_get_largest_component", {});
    if (cmp(vx::int_obj(vx::length(comp)), Py_LT, nqubits))
        raise_value(concat({vx::str_obj("The user circuit requires "), nqubits,
                            vx::str_obj(" qubits exceeds the qubit capacity of the largest connected subgraph. This "
                                        "triggered by low fidelity filtering, if you insist on using more qubits, "
                                        "please contact the developer.")}));
    nb::object nodes = vx::own(PySequence_List(call_method(comp, "nodes", {}).ptr()));
    nb::object drawn = call_method(vx::getattr(a.global("np"), "random"), "choice", {nodes});
    nb::object start = vx::own(PyNumber_Index(drawn.ptr()));  // a Python int, not numpy's
    nb::object visited = vx::own(PySet_New(nullptr));
    vx::check(PySet_Add(visited.ptr(), start.ptr()));
    nb::object limit = vx::own(PyNumber_Subtract(nqubits.ptr(), vx::int_obj(1).ptr()));
    nb::object queue = vx::own(PyList_New(0));
    vx::check(PyList_Append(queue.ptr(), nb::make_tuple(start, vx::int_obj(0)).ptr()));
    Py_ssize_t head = 0;
    auto full = [&] { return !cmp(vx::int_obj(PySet_GET_SIZE(visited.ptr())), Py_LT, nqubits); };
    while (head < PyList_GET_SIZE(queue.ptr()) && !full()) {
        auto [node, depth] = vx::unpack2(PyList_GET_ITEM(queue.ptr(), head++));
        if (cmp(depth, Py_GE, limit))
            continue;
        nb::object next_depth = vx::own(PyNumber_Add(depth.ptr(), vx::int_obj(1).ptr()));
        for (nb::handle nb_ : call_method(comp, "neighbors", {node})) {
            int in = PySet_Contains(visited.ptr(), nb_.ptr());
            vx::check(in);
            if (in)
                continue;
            vx::check(PySet_Add(visited.ptr(), nb_.ptr()));
            vx::check(PyList_Append(queue.ptr(), nb::make_tuple(nb_, next_depth).ptr()));
            if (full())
                break;
        }
    }
    nb::object result = vx::own(PySequence_List(visited.ptr()));
    vx::print(
        {concat({vx::str_obj("Physical qubits layout "), result, vx::str_obj(" are selected by BFS algorithm.")})});
    return result;
}

nb::object select_qubits_by_local_algorithm(const vx::Args &a) {
    nb::handle self = a[0], nqubits = a[1], criteria = a[2];
    nb::object one = vx::int_obj(1);
    if (vx::equal(nqubits, one))
        return call_method(self, "select_one_qubit_from_backend", {});
    nb::object threshold = vx::getattr(self, "algorithm_switch_threshold");
    if (cmp(one, Py_LT, nqubits) && cmp(nqubits, Py_LE, threshold)) {
        nb::object key0 = vx::getitem(criteria, vx::str_obj("key"));
        nb::object topo0 = vx::getitem(criteria, vx::str_obj("topology"));
        nb::object keys = vx::own(PyList_New(0)), topos = vx::own(PyList_New(0));
        for (const char *k : {"fidelity_var", "fidelity_mean"})
            vx::check(PyList_Append(keys.ptr(), vx::str_obj(k).ptr()));
        for (const char *t : {"linear", "nonlinear"})
            vx::check(PyList_Append(topos.ptr(), vx::str_obj(t).ptr()));
        call_method(keys, "remove", {key0});
        call_method(topos, "remove", {topo0});
        vx::check(PyList_Insert(keys.ptr(), 0, key0.ptr()));
        vx::check(PyList_Insert(topos.ptr(), 0, topo0.ptr()));
        nb::object empty = vx::own(PyList_New(0));
        nb::object layout = empty;
        nb::object pairs = vx::own(PyObject_GetIter(vx::call(a.global("product"), {keys, topos}).ptr()));
        while (nb::object pair = vx::next_item(pairs)) {
            auto [key, topo] = vx::unpack2(pair);
            try {
                layout = call_kw(vx::getattr(self, "select_few_qubits_from_backend"), {nqubits},
                                 {{"key", key}, {"topology", topo}});
            } catch (vx::error_already_set &) {
                nb::object value = take_exception();
                layout = vx::own(PyList_New(0));
                vx::print({concat({vx::str_obj("Warning! "), value})});
            }
            if (!vx::equal(layout, empty))
                break;
        }
        if (vx::equal(layout, empty))
            vx::value_error("Unable to find a suitable layout. If this message appears, please contact the developer "
                            "for assistance.");
        return layout;
    }
    if (cmp(nqubits, Py_GT, threshold))
        return call_method(self, "select_much_qubits_from_backend", {nqubits});
    vx::value_error("Wrong qubits error!");
}

}  // namespace layout
