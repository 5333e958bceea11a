// SabreRouting's DAG queries and mappings: extract_qubits and
// update_v2p_and_p2v_mapping, distances, the cached successor and
// predecessor look-ups, the initial mapping and the gate record of a node.
#include "routing.hpp"

#include <string>

namespace routing {

namespace {

bool all_exact_ints(PyObject *d) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyLong_CheckExact(k) || !PyLong_CheckExact(v))
            return false;
    return true;
}

}  // namespace

nb::object extract_qubits(const vx::Args &a) {
    PyObject *s = a.ptr(0);
    if (PyUnicode_IS_ASCII(s)) {
        const char *p = PyUnicode_AsUTF8(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        nb::object out = new_list();
        Py_ssize_t open = -1, close = -1;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (p[i] == '[') {
                open = i;
                break;
            }
        if (open >= 0)
            for (Py_ssize_t i = open + 1; i < n; ++i)
                if (p[i] == ']') {
                    close = i;
                    break;
                }
        if (close < 0)
            return out;
        for (Py_ssize_t i = open + 1; i < close;) {
            if (p[i] >= '0' && p[i] <= '9') {
                Py_ssize_t j = i;
                while (j < close && p[j] >= '0' && p[j] <= '9')
                    ++j;
                std::string digits(p + i, p + j);
                append(out, vx::own(PyLong_FromString(digits.c_str(), nullptr, 10)));
                i = j;
            } else {
                ++i;
            }
        }
        return out;
    }
    // Other scripts have decimal digits of their own: let the regex engine decide.
    nb::handle re = a.global("re");
    nb::object m = vx::call(vx::getattr(re, vx::intern("search")), {vx::str_obj("\\[([^\\]]*)\\]"), nb::handle(s)});
    nb::object out = new_list();
    if (m.is_none())
        return out;
    nb::object inner = vx::call(vx::getattr(m, vx::intern("group")), {vx::int_obj(1)});
    nb::object digits = vx::call(vx::getattr(re, vx::intern("findall")), {vx::str_obj("\\d+"), inner});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(digits.ptr()); ++i)
        append(out, vx::own(PyNumber_Long(PyList_GET_ITEM(digits.ptr(), i))));
    return out;
}

nb::object update_v2p_and_p2v_mapping(const vx::Args &a) {
    nb::object v2p;
    if (all_exact_ints(a.ptr(0)))  // a deep copy of ints is a shallow one
        v2p = vx::own(PyDict_Copy(a.ptr(0)));
    else
        v2p = vx::call(vx::getattr(a.global("copy"), vx::intern("deepcopy")), {a[0]});
    PyObject *t = a.ptr(1);
    nb::object rest = vx::own(PyTuple_GetSlice(t, 1, PyTuple_GET_SIZE(t)));
    auto [vq1, vq2] = vx::unpack2(rest);
    nb::object p2 = vx::getitem(v2p, vq2);
    nb::object p1 = vx::getitem(v2p, vq1);
    vx::check(PyObject_SetItem(v2p.ptr(), vq1.ptr(), p2.ptr()));
    vx::check(PyObject_SetItem(v2p.ptr(), vq2.ptr(), p1.ptr()));
    nb::object p2v = invert(v2p);
    return vx::own(PyTuple_Pack(2, v2p.ptr(), p2v.ptr()));
}

// ---------------------------------------------------------------- DAG queries

nb::object distance_matrix_element(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object index = vx::getattr(self, vx::intern("physical_qubits_index"));
    nb::object i1 = vx::getitem(index, a[1]);
    nb::object i2 = vx::getitem(index, a[2]);
    nb::object key = vx::own(PyTuple_Pack(2, i1.ptr(), i2.ptr()));
    return vx::getitem(vx::getattr(self, vx::intern("distance_matrix")), key);
}

nb::object dag_successors(const vx::Args &a) {
    return vx::call(vx::getattr(a[0], vx::intern("_get_nodes")), {a[1], nb::handle(vx::intern("successors"))});
}
nb::object dag_predecessors(const vx::Args &a) {
    return vx::call(vx::getattr(a[0], vx::intern("_get_nodes")), {a[1], nb::handle(vx::intern("predecessors"))});
}

nb::object get_nodes(const vx::Args &a) {
    nb::handle self = a[0], node = a[1], query_type = a[2];
    nb::object cache = vx::getattr(self, vx::intern("_cache"));
    nb::object ident = vx::own(PyLong_FromVoidPtr(node.ptr()));
    nb::object dag_id = vx::getattr(self, vx::intern("dag_id"));
    nb::object key = vx::own(PyTuple_Pack(3, dag_id.ptr(), ident.ptr(), query_type.ptr()));
    if (vx::contains(cache, key)) {
        vx::call(vx::getattr(cache, vx::intern("move_to_end")), {key});
        return vx::getitem(cache, key);
    }
    nb::object dag = vx::getattr(self, vx::intern("dag"));
    const bool succ = vx::equal(query_type, nb::handle(vx::intern("successors")));
    nb::object nodes = to_list(vx::call_method(dag, succ ? "successors" : "predecessors", {node}));
    vx::check(PyObject_SetItem(cache.ptr(), key.ptr(), nodes.ptr()));
    if (static_cast<std::size_t>(vx::length(cache)) > kCacheBound) {
        nb::object popitem = vx::getattr(cache, vx::intern("popitem"));
        nb::object kw = vx::own(Py_BuildValue("{s:O}", "last", Py_False));
        nb::object args = vx::own(PyTuple_New(0));
        nb::object dropped = vx::own(PyObject_Call(popitem.ptr(), args.ptr(), kw.ptr()));
    }
    return nodes;
}

// ---------------------------------------------------------------- initial mapping

namespace {

// The first element of a list that an earlier one equals, or none.
nb::object repeated_element(nb::handle list) {
    nb::object seen = vx::own(PySet_New(nullptr));
    nb::object items = vx::own(PySequence_List(list.ptr()));  // a snapshot
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject *item = PyList_GET_ITEM(items.ptr(), i);
        const int found = PySet_Contains(seen.ptr(), item);
        vx::check(found);
        if (found)
            return nb::borrow(item);
        vx::check(PySet_Add(seen.ptr(), item));
    }
    return {};
}

}  // namespace

nb::object initialize_v2p_p2v(const vx::Args &a) {
    nb::handle self = a[0], virtual_qubits = a[1];
    nb::object mapping = vx::getattr(self, vx::intern("initial_mapping"));
    nb::object physical = vx::getattr(self, vx::intern("physical_qubits"));
    auto nset = [](nb::handle o) {
        nb::object s = vx::own(PySet_New(o.ptr()));
        return PySet_GET_SIZE(s.ptr());
    };
    nb::object order;
    if (PyList_Check(mapping.ptr())) {
        // A list as long as the physical qubits whose distinct qubits fall
        // short repeats one: it is named below, not counted.
        if (nset(mapping) != nset(physical) && vx::length(mapping) != nset(physical))
            raise_fmt(PyExc_ValueError,
                      "The number of initial_mapping does not match the number of physical qubits.{} {}",
                      {mapping, physical});
        // A mapping that repeats or invents a qubit would leave v2p and p2v
        // disagreeing; a mapping too short would leave qubits unplaced.
        if (nb::object q = repeated_element(mapping); q.is_valid())
            raise_fmt(PyExc_ValueError,
                      "initial_mapping {} repeats the physical qubit {}; each physical qubit takes one virtual qubit.",
                      {mapping, q});
        nb::object ms = vx::own(PySet_New(mapping.ptr()));
        nb::object ps = vx::own(PySet_New(physical.ptr()));
        if (vx::length(mapping) != vx::length(physical) || !vx::equal(ms, ps))
            raise_fmt(PyExc_ValueError, "initial_mapping {} is not a permutation of the physical qubits {}.",
                      {mapping, physical});
        if (nset(virtual_qubits) != nset(physical))
            raise_fmt(PyExc_ValueError,
                      "The number of virtual qubits does not match the number of physical qubits.{} {}",
                      {virtual_qubits, physical});
        order = nb::borrow(mapping);
    } else if (PyUnicode_Check(mapping.ptr())) {
        if (nset(virtual_qubits) != nset(physical))
            raise_fmt(PyExc_ValueError,
                      "The number of virtual qubits does not match the number of physical qubits.{} {}",
                      {virtual_qubits, physical});
        if (vx::equal(mapping, nb::handle(vx::intern("trivial")))) {
            order = nb::borrow(physical);
        } else if (vx::equal(mapping, nb::handle(vx::intern("random")))) {
            order = vx::call(vx::getattr(a.global("random"), vx::intern("sample")),
                             {physical, vx::int_obj(vx::length(physical))});
        } else {
            raise_fmt(PyExc_ValueError, "There is a spelling error in the input of initial_mapping {}.", {mapping});
        }
    } else {
        vx::value_error("Invalid input type for initial_mapping \xe2\x80\x94 only str and list are supported.");
    }
    nb::object v2p = vx::own(PyDict_New());
    nb::object vit = vx::own(PyObject_GetIter(virtual_qubits.ptr()));
    nb::object pit = vx::own(PyObject_GetIter(order.ptr()));
    // zip(): pairs until either side ends
    for (;;) {
        nb::object vo = vx::next_item(vit);
        if (!vo.is_valid())
            break;
        nb::object po = vx::next_item(pit);
        if (!po.is_valid())
            break;
        vx::check(PyObject_SetItem(v2p.ptr(), vo.ptr(), po.ptr()));
    }
    nb::object p2v = invert(v2p);
    return vx::own(PyTuple_Pack(2, v2p.ptr(), p2v.ptr()));
}

// ---------------------------------------------------------------- node to gate record

nb::object mapping_node_to_gate_info(const vx::Args &a) {
    nb::handle self = a[0], node = a[1];
    nb::object gate = gate_name(node);
    nb::object v2p = vx::getattr(self, vx::intern("v2p"));
    auto phys = [&](nb::handle q) { return vx::getitem(v2p, q); };
    auto attrs = [&]() {
        return vx::getitem(vx::getattr(vx::getattr(self, vx::intern("dag")), vx::intern("nodes")), node);
    };
    auto first_qubit = [&]() {
        nb::object qs = extract(a, node);
        return vx::own(PySequence_GetItem(qs.ptr(), 0));
    };
    GateKinds kinds = gate_kinds(a);
    const vx::dagapi::GateKind &kind = kinds.of(gate.ptr());
    using namespace vx::dagapi;
    if (kind.in(kOneQubitTable)) {
        nb::object q0 = first_qubit();
        return vx::own(PyTuple_Pack(2, gate.ptr(), phys(q0).ptr()));
    }
    if (kind.in(kTwoQubitTable)) {
        auto [q0, q1] = vx::unpack2(extract(a, node));
        return vx::own(PyTuple_Pack(3, gate.ptr(), phys(q0).ptr(), phys(q1).ptr()));
    }
    if (kind.in(kThreeQubitTable))
        raise_fmt(PyExc_ValueError, kDecomposeFirst, {gate});
    const bool one_param = kind.in(kOneQubitParamTable);
    if (one_param || kind.in(kTwoQubitParamTable)) {
        nb::object rec = new_list();
        append(rec, gate);
        nb::object qubits;
        if (one_param) {
            qubits = new_list();
            append(qubits, first_qubit());
        } else {
            auto [q0, q1] = vx::unpack2(extract(a, node));
            qubits = new_list();
            append(qubits, q0);
            append(qubits, q1);
        }
        nb::object params = to_list(vx::getitem(attrs(), nb::handle(vx::intern("params"))));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params.ptr()); ++i)
            append(rec, PyList_GET_ITEM(params.ptr(), i));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i)
            append(rec, phys(PyList_GET_ITEM(qubits.ptr(), i)));
        return vx::own(PyList_AsTuple(rec.ptr()));
    }
    if (kind.in(kFunctionalTable)) {
        auto phys_list = [&](nb::handle qs) {
            nb::object l = to_list(qs);
            nb::object out = new_list();
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l.ptr()); ++i)
                append(out, phys(PyList_GET_ITEM(l.ptr(), i)));
            return out;
        };
        if (vx::equal(gate, nb::handle(vx::intern("measure")))) {
            nb::object at = attrs();
            nb::object pl = phys_list(vx::getitem(at, nb::handle(vx::intern("qubits"))));
            nb::object cbits = vx::getitem(at, nb::handle(vx::intern("cbits")));
            return vx::own(PyTuple_Pack(3, gate.ptr(), pl.ptr(), cbits.ptr()));
        }
        if (vx::equal(gate, nb::handle(vx::intern("barrier")))) {
            nb::object t = vx::own(PyList_AsTuple(phys_list(extract(a, node)).ptr()));
            return vx::own(PyTuple_Pack(2, gate.ptr(), t.ptr()));
        }
        if (vx::equal(gate, nb::handle(vx::intern("delay")))) {
            nb::object at = attrs();
            nb::object t = vx::own(PyList_AsTuple(phys_list(vx::getitem(at, nb::handle(vx::intern("qubits")))).ptr()));
            nb::object duration = vx::getitem(at, nb::handle(vx::intern("duration")));
            return vx::own(PyTuple_Pack(3, gate.ptr(), duration.ptr(), t.ptr()));
        }
        if (vx::equal(gate, nb::handle(vx::intern("reset")))) {
            nb::object qs = vx::getitem(attrs(), nb::handle(vx::intern("qubits")));
            nb::object q0 = vx::own(PySequence_GetItem(qs.ptr(), 0));
            return vx::own(PyTuple_Pack(2, gate.ptr(), phys(q0).ptr()));
        }
    }
    raise_fmt(PyExc_ValueError, "The DAG node {!r} names no known gate ({!r}).", {node, gate});
}

}  // namespace routing
