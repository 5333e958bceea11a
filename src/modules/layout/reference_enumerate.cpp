// Layout construction and the enumeration of connected qubit sets.
#include "layout.hpp"

#include <vector>

namespace layout {

namespace {

using vx::append;
using vx::new_list;

// q not in [0, 1, ..., node]: for ints within long long, a comparison;
// for anything else the membership test of the range.
bool outside(nb::handle q, nb::handle remove_range, const long long *node) {
    if (node && PyLong_CheckExact(q.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(q.ptr(), &overflow);
        if (!overflow)
            return v < 0 || v > *node;
    }
    return !vx::contains(remove_range, q);
}

bool greater(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
    vx::check(r);
    return r != 0;
}

// list(set(items))
nb::object set_list(nb::handle items) {
    nb::object s = vx::own(PySet_New(items.ptr()));
    return vx::own(PySequence_List(s.ptr()));
}

// The next-step combinations of the qubits beside `mid`.
nb::object post_combinations(const vx::Args &a, nb::handle mid, nb::handle dd, nb::handle cut) {
    nb::object cc = new_list();
    for (nb::handle m : mid)
        if (vx::contains(dd, m))
            for (nb::handle q : vx::getitem(dd, m))
                append(cc, q);
    nb::object mm = vx::own(PySet_New(cc.ptr()));
    nb::object ndd = vx::int_obj(vx::length(dd));
    nb::object bound = vx::less(cut, ndd) ? nb::borrow(cut) : ndd;
    nb::object rr = new_list();
    nb::handle combinations = a.global("combinations");
    const long long top = PyLong_AsLongLong(bound.ptr());
    if (top == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    for (long long k = 1; k <= top; ++k) {
        nb::object it = vx::own(PyObject_GetIter(vx::call(combinations, {mm, vx::int_obj(k)}).ptr()));
        while (nb::object c = vx::next_item(it))
            append(rr, vx::own(PySequence_List(c.ptr())));
    }
    return rr;
}

}  // namespace

nb::object init(const vx::Args &a) {
    nb::handle self = a[0], backend = a[1];
    vx::setattr(self, "priority_qubits", vx::getattr(backend, "priority_qubits"));
    nb::object graph = call_kw(vx::getattr(backend, "edge_filtered_graph"), {}, {{"thres", nb::float_(0.6)}});
    vx::setattr(self, "graph", graph);
    nb::object count = vx::call_method(a.global("os"), "cpu_count", {});
    if (count.is_none())
        count = vx::int_obj(1);  // a host that cannot tell has one processor at least
    vx::setattr(self, "ncore", vx::own(PyNumber_FloorDivide(count.ptr(), vx::int_obj(2).ptr())));
    vx::setattr(self, "fidelity_mean_threshold", nb::float_(0.9));
    nb::object fids = vx::call(vx::getattr(a.global("nx"), "get_edge_attributes"), {graph, vx::str_obj("fidelity")});
    // A coupler listed high-first is still found under (smaller, larger).
    auto high_first = [](nb::handle key) {
        return PyTuple_CheckExact(key.ptr()) && PyTuple_GET_SIZE(key.ptr()) == 2 &&
               vx::less(PyTuple_GET_ITEM(key.ptr(), 1), PyTuple_GET_ITEM(key.ptr(), 0));
    };
    if (PyDict_CheckExact(fids.ptr())) {
        nb::object items = vx::own(PyDict_Items(fids.ptr()));
        bool any_high_first = false;
        for (nb::handle item : items)
            if (high_first(PyTuple_GET_ITEM(item.ptr(), 0)))
                any_high_first = true;
        if (any_high_first) {
            nb::object keyed = vx::own(PyDict_New());
            for (nb::handle item : items) {
                nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
                if (high_first(key))
                    key = nb::make_tuple(nb::handle(PyTuple_GET_ITEM(key.ptr(), 1)),
                                         nb::handle(PyTuple_GET_ITEM(key.ptr(), 0)))
                              .release();
                else
                    Py_INCREF(key.ptr());
                nb::object k = nb::steal(key);
                vx::check(PyDict_SetItem(keyed.ptr(), k.ptr(), PyTuple_GET_ITEM(item.ptr(), 1)));
            }
            fids = keyed;
        }
    }
    vx::setattr(self, "edge_fidelitys", fids);
    vx::setattr(self, "algorithm_switch_threshold", vx::int_obj(10));
    return nb::none();
}

nb::object get_node_neighbours(const vx::Args &a) {
    nb::object graph = vx::getattr(a[0], "graph");
    nb::object it = vx::call_method(graph, "neighbors", {a[1]});
    return vx::own(PySequence_List(it.ptr()));
}

nb::object get_node_connect_dict(const vx::Args &a) {
    nb::handle self = a[0], node = a[1];
    const long long n = clamped(a, 2);
    int overflow = 0;
    const long long start = PyLong_AsLongLongAndOverflow(node.ptr(), &overflow);
    const long long *bound = overflow ? nullptr : &start;
    nb::object current = new_list();
    for (nb::handle q : call_method(self, "_get_node_neighbours", {node}))
        if (greater(q, node))
            append(current, q);
    nb::object dd = vx::own(PyDict_New());
    vx::check(PyDict_SetItem(dd.ptr(), node.ptr(), current.ptr()));
    nb::object remove = vx::own(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyRange_Type),
                                                    vx::own(PyNumber_Add(node.ptr(), vx::int_obj(1).ptr())).ptr()));
    // The levels repeat once a level's set of qubits was seen before; from
    // there on the map takes nothing new.
    nb::object seen = new_list();
    for (long long it = 0; it + 2 < n; ++it) {
        nb::object level = new_list();
        for (nb::handle q : current) {
            nb::object lst = new_list();
            for (nb::handle w : call_method(self, "_get_node_neighbours", {q}))
                if (outside(w, remove, bound))
                    append(lst, w);
            append(level, lst);
            vx::check(PyDict_SetItem(dd.ptr(), q.ptr(), lst.ptr()));
        }
        append(seen, vx::own(PyFrozenSet_New(current.ptr())));
        nb::object all = new_list();
        for (nb::handle lst : level)
            for (nb::handle w : lst)
                append(all, w);
        current = set_list(all);
        if (vx::contains(seen, vx::own(PyFrozenSet_New(current.ptr()))))
            break;
    }
    return dd;
}

nb::object get_one_node_subgraph(const vx::Args &a) {
    nb::handle self = a[0], node = a[1], nqubits = a[2];
    if (beyond_chip(a, self, Level::Start, nqubits))
        return new_list();
    const long long n = clamped(a, 2);
    nb::object dd = call_method(self, "_get_node_connect_dict", {node, nqubits});
    nb::object collect = new_list();
    nb::object mid0 = new_list();
    append(mid0, node);
    auto record = [&](nb::handle pre, nb::handle mid, long long cut) {
        nb::object r = vx::own(PyDict_New());
        r["pre"] = pre;
        r["mid"] = mid;
        r["post"] = post_combinations(a, mid, dd, vx::int_obj(cut));
        return r;
    };
    nb::object update = new_list();
    append(update, record(new_list(), mid0, n > 0 ? n - 1 : 0));  // a cut below 1 adds nothing
    for (long long pass = 0; pass < n && PyList_GET_SIZE(update.ptr()) > 0; ++pass) {
        nb::object next = new_list();
        for (nb::handle r : update) {
            nb::object joined = vx::own(
                PySequence_Concat(vx::getitem(r, vx::str_obj("pre")).ptr(), vx::getitem(r, vx::str_obj("mid")).ptr()));
            vx::check(PyList_Sort(joined.ptr()));
            nb::object new_pre = set_list(joined);
            const long long size = PyList_GET_SIZE(new_pre.ptr());
            nb::object post = vx::getitem(r, vx::str_obj("post"));
            if (size == n) {
                vx::check(PyList_Sort(new_pre.ptr()));
                append(collect, vx::own(PyList_AsTuple(new_pre.ptr())));
            } else if (size < n && vx::length(post) > 0) {
                for (nb::handle combo : post) {
                    nb::object mid = new_list();
                    for (nb::handle q : combo)
                        if (!vx::contains(new_pre, q))
                            append(mid, q);
                    append(next, record(new_pre, mid, n - (size + PyList_GET_SIZE(mid.ptr()))));
                }
            }
        }
        update = next;
    }
    return set_list(collect);
}

nb::object collect_all_subgraph_in_parallel(const vx::Args &a) {
    nb::handle self = a[0], nqubits = a[1];
    if (beyond_chip(a, self, Level::Sets, nqubits))
        return new_list();
    if (PyLong_CheckExact(nqubits.ptr()))
        if (FastPtr fr = fast_result(a, self, Level::Sets, clamped(a, 1)))
            return fast_sets(*fr);
    nb::object func =
        call_kw(a.global("partial"), {vx::getattr(self, "get_one_node_subgraph")}, {{"nqubits", nqubits}});
    nb::object nodes = call_method(vx::getattr(self, "graph"), "nodes", {});
    nb::object res = pool_map(a, self, func, nodes);
    nb::object all = new_list();
    for (nb::handle part : res)
        for (nb::handle c : part)
            append(all, c);
    return all;
}

}  // namespace layout
