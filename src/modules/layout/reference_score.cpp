// Scoring of candidate qubit sets: coupler fidelity mean and variance, shape.
#include "layout.hpp"

#include "layout_score.hpp"

#include <cstdint>
#include <vector>

namespace layout {

namespace {

// Whether the longest of networkx's simple cycles of the subgraph of `graph`
// induced by the qubits of `degree` runs through all of them, decided
// without listing the cycles while simple_cycles is networkx's and the graph
// exactly a networkx Graph (a self-loop is a cycle of one qubit and passes
// no other); -1 when that does not hold or the search cannot tell soon.
int ring_through_all(const vx::Args &a, nb::handle graph, nb::handle degree) {
    if (!vx::is_original(a, "nx.simple_cycles") ||
        reinterpret_cast<PyObject *>(Py_TYPE(graph.ptr())) != vx::original(a.func()->globals, "nx.Graph"))
        return -1;
    nb::object adj = vx::getattr(graph, "_adj");
    const Py_ssize_t k = PyDict_GET_SIZE(degree.ptr());
    if (!PyDict_CheckExact(adj.ptr()) || k > 64)
        return -1;
    nb::object local = vx::own(PyDict_New());
    nb::object qubits = vx::own(PyDict_Keys(degree.ptr()));
    for (Py_ssize_t i = 0; i < k; ++i)
        vx::check(PyDict_SetItem(local.ptr(), PyList_GET_ITEM(qubits.ptr(), i), vx::int_obj(i).ptr()));
    std::vector<std::uint64_t> masks(static_cast<std::size_t>(k), 0);
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject *nbrs = PyDict_GetItemWithError(adj.ptr(), PyList_GET_ITEM(qubits.ptr(), i));
        if (!nbrs && PyErr_Occurred())
            throw vx::error_already_set{};
        if (!nbrs || !PyDict_CheckExact(nbrs))
            return -1;
        nb::object keys = vx::own(PyDict_Keys(nbrs));  // a list: nothing run below changes it
        for (nb::handle q : keys) {
            PyObject *j = PyDict_GetItemWithError(local.ptr(), q.ptr());
            if (!j && PyErr_Occurred())
                throw vx::error_already_set{};
            const long long at = j ? PyLong_AsLongLong(j) : i;
            if (at != i)
                masks[static_cast<std::size_t>(i)] |= std::uint64_t{1} << at;
        }
    }
    engines::layout::RingCheck ring;  // past 23 qubits a bounded search, then the cycles listed
    return ring(masks.data(), static_cast<int>(k), std::uint64_t{1} << 24);
}

}  // namespace

nb::object get_one_subgraph_info(const vx::Args &a) {
    nb::handle self = a[0], nodes = a[1];
    nb::handle nx = a.global("nx"), np = a.global("np");
    nb::object subgraph = call_method(vx::getattr(self, "graph"), "subgraph", {nodes});
    nb::object degree = vx::own(PyDict_New());
    nb::object degrees = vx::getattr(subgraph, "degree");
    for (nb::handle pair : degrees) {
        auto [q, d] = vx::unpack2(pair);
        vx::check(PyDict_SetItem(degree.ptr(), q.ptr(), d.ptr()));
    }
    nb::object fidelitys = vx::getattr(self, "edge_fidelitys");
    nb::object values = vx::own(PyList_New(0));
    for (nb::handle edge : vx::getattr(subgraph, "edges")) {
        auto [u, v] = vx::unpack2(edge);
        const bool swap = vx::less(v, u);
        nb::object key = swap ? nb::make_tuple(v, u) : nb::make_tuple(u, v);
        vx::check(PyList_Append(values.ptr(), vx::getitem(fidelitys, key).ptr()));
    }
    nb::object arr = vx::call(vx::getattr(np, "array"), {values});
    nb::object mean = vx::call(vx::getattr(np, "mean"), {arr});
    nb::object var = vx::call(vx::getattr(np, "var"), {arr});
    nb::object threshold = vx::getattr(self, "fidelity_mean_threshold");
    if (!vx::truth(vx::own(PyObject_RichCompare(mean.ptr(), threshold.ptr(), Py_GE))))
        return nb::none();

    nb::object shape_set = vx::own(PySet_New(nullptr));
    nb::object degree_values = vx::own(PyDict_Values(degree.ptr()));
    for (nb::handle d : degree_values)
        vx::check(PySet_Add(shape_set.ptr(), d.ptr()));
    nb::object one = vx::int_obj(1), two = vx::int_obj(2);
    nb::object path_set = vx::own(PySet_New(nb::make_tuple(one, two).ptr()));
    nb::object ring_set = vx::own(PySet_New(nb::make_tuple(two).ptr()));
    nb::object result_nodes = nb::borrow(nodes);
    const char *topology;
    if (vx::equal(shape_set, path_set)) {
        nb::object ends = vx::own(PyList_New(0));
        nb::object items = vx::own(PyDict_Items(degree.ptr()));
        for (nb::handle item : items)
            if (vx::equal(PyTuple_GET_ITEM(item.ptr(), 1), one))
                vx::check(PyList_Append(ends.ptr(), PyTuple_GET_ITEM(item.ptr(), 0)));
        result_nodes = vx::call(vx::getattr(nx, "shortest_path"),
                                {subgraph, vx::own(vx::item(ends.ptr(), 0)), vx::own(vx::item(ends.ptr(), 1))});
        topology = "linear";
    } else if (vx::equal(shape_set, ring_set)) {
        topology = "circular";
    } else if (const int ring = ring_through_all(a, vx::getattr(self, "graph"), degree); ring >= 0) {
        topology = ring ? "circular" : "nonlinear";
    } else {
        nb::handle len = PyDict_GetItemString(PyEval_GetBuiltins(), "len");
        nb::object cycles = sorted_list(vx::call(vx::getattr(nx, "simple_cycles"), {subgraph}), len);  // key=len
        const Py_ssize_t ncycles = PyList_GET_SIZE(cycles.ptr());
        topology = ncycles > 0 && vx::length(PyList_GET_ITEM(cycles.ptr(), ncycles - 1)) == vx::length(degree)
                       ? "circular"
                       : "nonlinear";
    }
    return nb::make_tuple(result_nodes, vx::str_obj(topology), mean, var);
}

nb::object collect_all_subgraph_info_in_parallel(const vx::Args &a) {
    nb::handle self = a[0];
    if (beyond_chip(a, self, Level::Infos, a[1]))
        return vx::own(PyList_New(0));
    if (FastPtr fr = fast_result(a, self, Level::Infos, clamped(a, 1)))
        return fast_infos(a, *fr);
    nb::object all = call_method(self, "collect_all_subgraph_in_parallel", {a[1]});
    nb::object func = vx::call(a.global("partial"), {vx::getattr(self, "get_one_subgraph_info")});
    return pool_map(a, self, func, all);
}

}  // namespace layout
