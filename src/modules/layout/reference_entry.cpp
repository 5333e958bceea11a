// select_layout: user-given, priority or searched qubits for a circuit.
#include "layout.hpp"

namespace layout {

namespace {

using vx::new_list;

// graph.subgraph(nodes).copy()
nb::object induced_copy(nb::handle graph, nb::handle nodes) {
    return call_method(call_method(graph, "subgraph", {nodes}), "copy", {});
}

// The qubits of the lists in `lists`, one flat list.
nb::object flat(nb::handle lists) {
    nb::object out = new_list();
    for (nb::handle l : lists)
        for (nb::handle q : l)
            vx::check(PyList_Append(out.ptr(), q.ptr()));
    return out;
}

// The coupling subgraph of the chosen qubits: a view of source_graph.
nb::object finish(nb::handle self, nb::handle new_qubits) {
    nb::object view = call_method(vx::getattr(self, "source_graph"), "subgraph", {flat(new_qubits)});
    vx::check(PyObject_SetItem(vx::getattr(view, "graph").ptr(), vx::intern("normal_order"), flat(new_qubits).ptr()));
    return view;
}

// graph.remove_nodes_from(the qubits chosen so far)
void remove_chosen(nb::handle self, nb::handle new_qubits) {
    if (PyList_GET_SIZE(new_qubits.ptr()) == 0)
        return;
    call_method(vx::getattr(self, "graph"), "remove_nodes_from", {flat(new_qubits)});
}

// A physical qubit is an integer (True and 1.0 are not, though they equal 1:
// a TypeError; a name no chip has is reported as missing later), and one of
// them carries one circuit qubit: say which entry breaks that.
void refuse_unusable_targets(nb::handle target) {
    nb::object seen = vx::own(PySet_New(nullptr));
    const Py_ssize_t given = PyList_GET_SIZE(target.ptr());
    for (Py_ssize_t i = 0; i < given; ++i) {
        nb::object q = nb::borrow(PyList_GET_ITEM(target.ptr(), i));  // the list may change under __eq__
        if (PyBool_Check(q.ptr()) || (PyNumber_Check(q.ptr()) && !PyIndex_Check(q.ptr()))) {
            nb::object msg = concat({vx::str_obj("target_qubits entry "), vx::own(PyObject_Repr(q.ptr())),
                                     vx::str_obj(" is not a qubit index; physical qubits are integers.")});
            PyErr_SetObject(PyExc_TypeError, msg.ptr());
            throw vx::error_already_set{};
        }
        const int there = PySet_Contains(seen.ptr(), q.ptr());
        vx::check(there);
        if (there)
            raise_value(concat({vx::str_obj("target_qubits names qubit "), q,
                                vx::str_obj(" more than once; each physical qubit carries one circuit qubit.")}));
        vx::check(PySet_Add(seen.ptr(), q.ptr()));
        if (PyList_GET_SIZE(target.ptr()) != given)
            vx::value_error("target_qubits changed while it was read");
    }
}

nb::object user_given(const vx::Args &a, nb::handle self, nb::handle target, Py_ssize_t nqubits,
                      nb::handle all_qubits) {
    nb::handle nx = a.global("nx"), np = a.global("np");
    nb::object graph = vx::getattr(self, "graph");
    const Py_ssize_t given = PyList_GET_SIZE(target.ptr());
    refuse_unusable_targets(target);
    if (given != nqubits)
        raise_value(concat({vx::str_obj("The number of qubits "), vx::int_obj(given),
                            vx::str_obj(" in target_qubits does not match the number of qubits "), vx::int_obj(nqubits),
                            vx::str_obj(" in the circuit.")}));
    nb::object lose = new_list();
    for (nb::handle q : target)
        if (!vx::truth(call_method(graph, "has_node", {q})))
            vx::check(PyList_Append(lose.ptr(), q.ptr()));
    if (PyList_GET_SIZE(lose.ptr()) > 0)
        raise_value(concat({vx::str_obj("These qubit(s) "), lose,
                            vx::str_obj(" does not exist.This maybe due to an incorrected input index or low fidelity "
                                        "filtering. For the latter case, if you insist on using it, please contact the "
                                        "developer.")}));
    Py_ssize_t idx = 0;
    for (nb::handle group : all_qubits) {
        const Py_ssize_t len = vx::length(group);
        nb::object part = vx::own(PyList_GetSlice(target.ptr(), idx, idx + len));
        idx += len;
        if (PyList_GET_SIZE(part.ptr()) < 2)
            continue;
        if (!vx::truth(vx::call(vx::getattr(nx, "is_connected"), {induced_copy(graph, part)})))
            raise_value(concat({vx::str_obj("The target physical qubits "), part,
                                vx::str_obj(" corresponding to virtual qubits "), group,
                                vx::str_obj(" are not connected. This maybe due to low fidelity filtering.")}));
    }
    nb::object subgraph = induced_copy(graph, target);
    vx::check(PyObject_SetItem(vx::getattr(subgraph, "graph").ptr(), vx::intern("normal_order"), target.ptr()));
    nb::object coupling = vx::own(PySequence_List(vx::getattr(subgraph, "edges").ptr()));
    vx::print({concat({vx::str_obj("Physical qubits layout "), target,
                       vx::str_obj(" are user-defined, with the corresponding coupling being "), coupling,
                       vx::str_obj(".")})});
    if (PyList_GET_SIZE(coupling.ptr()) > 0) {
        nb::object fids = vx::getattr(self, "edge_fidelitys");
        nb::object values = new_list();
        for (nb::handle edge : coupling) {
            auto [u, v] = vx::unpack2(edge);
            nb::object key = vx::less(v, u) ? nb::make_tuple(v, u) : nb::make_tuple(u, v);
            vx::check(PyList_Append(values.ptr(), vx::getitem(fids, key).ptr()));
        }
        nb::object arr = vx::call(vx::getattr(np, "array"), {values});
        nb::object mean = vx::call(vx::getattr(np, "mean"), {arr});
        nb::object var = vx::call(vx::getattr(np, "var"), {arr});
        vx::print({concat({vx::str_obj("The average fidelity of the coupler(s) between the selected qubits is "), mean,
                           vx::str_obj(", and the variance of the fidelity is "), var, vx::str_obj(".")})});
    }
    return subgraph;
}

// A priority set is usable when it names distinct qubits of the chip, at
// least one, that are connected and that no earlier group took.
bool usable(const vx::Args &a, nb::handle source, nb::handle entry, nb::handle new_qubits) {
    const Py_ssize_t len = vx::length(entry);
    if (len == 0)
        return false;
    nb::object members = vx::own(PySet_New(entry.ptr()));
    if (PySet_GET_SIZE(members.ptr()) != len)
        return false;
    for (nb::handle q : entry)
        if (!vx::truth(call_method(source, "has_node", {q})))
            return false;
    nb::object sub = induced_copy(source, entry);
    bool overlap = false;
    for (nb::handle chosen : new_qubits)
        for (nb::handle q : chosen)
            overlap = overlap || vx::contains(entry, q);
    return vx::truth(vx::call(vx::getattr(a.global("nx"), "is_connected"), {sub})) && !overlap;
}

const char *const kNoPriority = "No more priority qubits were found. it will check the select_criteria for search";

nb::object priority(const vx::Args &a, nb::handle self, nb::handle all_qubits, nb::handle criteria) {
    nb::object list = vx::getattr(self, "priority_qubits");
    nb::object new_qubits = new_list();
    nb::object source = vx::getattr(self, "source_graph");
    for (nb::handle group : all_qubits) {
        nb::object kept = new_list();
        for (nb::handle entry : list)
            if (!vx::contains(new_qubits, entry))
                vx::check(PyList_Append(kept.ptr(), entry.ptr()));
        list = kept;
        const Py_ssize_t size = vx::length(group);
        nb::object found;
        for (nb::handle entry : list)
            if (vx::length(entry) == size) {
                found = nb::borrow(entry);
                break;
            }
        if (found.is_valid() && usable(a, source, found, new_qubits)) {
            vx::check(PyList_Append(new_qubits.ptr(), found.ptr()));
            continue;
        }
        vx::print_str(kNoPriority);
        remove_chosen(self, new_qubits);
        nb::object chosen = call_method(self, "select_qubits_by_local_algorithm", {vx::int_obj(size), criteria});
        vx::check(PyList_Append(new_qubits.ptr(), chosen.ptr()));
    }
    return finish(self, new_qubits);
}

nb::object local(nb::handle self, nb::handle all_qubits, nb::handle criteria) {
    nb::object new_qubits = new_list();
    for (nb::handle group : all_qubits) {
        remove_chosen(self, new_qubits);
        nb::object chosen;
        try {
            chosen = call_method(self, "select_qubits_by_local_algorithm", {vx::int_obj(vx::length(group)), criteria});
        } catch (vx::error_already_set &) {
            nb::object caught = take_exception();
            nb::object msg = concat({vx::str_obj("Local algorithm search layout Faild "), caught});
            nb::object err = vx::own(PyObject_CallOneArg(PyExc_ValueError, msg.ptr()));
            PyException_SetContext(err.ptr(), caught.release().ptr());
            PyErr_SetObject(PyExc_ValueError, err.ptr());
            throw vx::error_already_set{};
        }
        vx::check(PyList_Append(new_qubits.ptr(), chosen.ptr()));
    }
    return finish(self, new_qubits);
}

}  // namespace

nb::object select_layout(const vx::Args &a) {
    nb::handle self = a[0], qc = a[1], target = a[2], criteria = a[4];
    nb::object qubits = vx::getattr(qc, "qubits");
    const Py_ssize_t nqubits = vx::length(qubits);
    nb::object all_qubits;
    if (a.b(5)) {
        all_qubits = new_list();
        vx::check(PyList_Append(all_qubits.ptr(), qubits.ptr()));
    } else {
        all_qubits = vx::call(a.global("split_qubits"), {qc});
    }
    nb::object source = vx::call(vx::getattr(a.global("copy"), "deepcopy"), {vx::getattr(self, "graph")});
    vx::setattr(self, "source_graph", source);
    if (PyList_GET_SIZE(target.ptr()) != 0)
        return user_given(a, self, target, nqubits, all_qubits);
    if (a.b(3))
        return priority(a, self, all_qubits, criteria);
    return local(self, all_qubits, criteria);
}

}  // namespace layout
