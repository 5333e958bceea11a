// SabreRouting's front layer, SWAP candidates, decay factors and scores.
#include "routing.hpp"

namespace routing {

namespace {

bool heuristic_has(nb::handle self, const char *word) {
    return vx::contains(vx::getattr(self, vx::intern("heuristic")), vx::str_obj(word));
}

nb::object add(nb::handle a, nb::handle b) { return vx::own(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object mul(nb::handle a, nb::handle b) { return vx::own(PyNumber_Multiply(a.ptr(), b.ptr())); }
nb::object tdiv(nb::handle a, nb::handle b) { return vx::own(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
nb::object py_min(nb::handle x, nb::handle y) { return nb::borrow(vx::less(y, x) ? y : x); }
nb::object py_max(nb::handle x, nb::handle y) { return nb::borrow(vx::less(x, y) ? y : x); }

}  // namespace

// ---------------------------------------------------------------- front layer

nb::object get_extended_successor_set(const vx::Args &a) {
    nb::handle self = a[0], front_layer = a[1];
    if (!heuristic_has(self, "lookahead"))
        return nb::none();
    nb::object E = vx::own(PySet_New(nullptr));
    const Py_ssize_t bound = vx::length(vx::getattr(self, vx::intern("v2p")));
    GateKinds kinds = gate_kinds(a);
    nb::object fl = to_list(front_layer);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fl.ptr()); ++i) {
        nb::object succ = vx::call(vx::getattr(self, vx::intern("_dag_successors")), {PyList_GET_ITEM(fl.ptr(), i)});
        nb::object sl = to_list(succ);
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(sl.ptr()); ++j) {
            PyObject *s = PyList_GET_ITEM(sl.ptr(), j);
            if (is_two_qubit(kinds, gate_name(s)) && PySet_GET_SIZE(E.ptr()) <= bound)
                vx::check(PySet_Add(E.ptr(), s));
        }
    }
    vx::setattr(self, "extended_successor_set", to_list(E));
    return nb::none();
}

nb::object get_execute_node_list(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object fl = to_list(a[1]);
    nb::object out = new_list();
    GateKinds kinds = gate_kinds(a);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fl.ptr()); ++i) {
        nb::handle node = PyList_GET_ITEM(fl.ptr(), i);
        if (!is_two_qubit(kinds, gate_name(node))) {
            append(out, node);
            continue;
        }
        auto [vq1, vq2] = vx::unpack2(extract(a, node));
        if (vx::equal(vq1, vq2))
            raise_fmt(PyExc_ValueError, "The two-qubit gate {} acts twice on qubit {}.", {node, vq1});
        nb::object v2p = vx::getattr(self, vx::intern("v2p"));
        nb::object d = vx::call(vx::getattr(self, vx::intern("_distance_matrix_element")),
                                {vx::getitem(v2p, vq1), vx::getitem(v2p, vq2)});
        if (vx::equal(d, vx::int_obj(1)))
            append(out, node);
    }
    return out;
}

namespace {

// The qubits of all the nodes, as a set.
nb::object qubit_set(const vx::Args &a, nb::handle nodes) {
    nb::object s = vx::own(PySet_New(nullptr));
    nb::object l = to_list(nodes);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l.ptr()); ++i) {
        nb::object qs = extract(a, PyList_GET_ITEM(l.ptr(), i));
        nb::object it = vx::own(PyObject_GetIter(qs.ptr()));
        while (PyObject *q = PyIter_Next(it.ptr())) {
            nb::object qo = nb::steal(q);
            vx::check(PySet_Add(s.ptr(), q));
        }
        if (PyErr_Occurred())
            throw vx::error_already_set{};
    }
    return s;
}

}  // namespace

nb::object has_no_correlation_on_front_layer(const vx::Args &a) {
    nb::object front = qubit_set(a, a[2]);
    nb::object mine = vx::own(PySet_New(extract(a, a[1]).ptr()));
    nb::object r = vx::call(vx::getattr(front, vx::intern("isdisjoint")), {mine});
    return r;
}

nb::object get_swap_candidate_list(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object fl = to_list(a[1]);
    nb::object out = new_list();
    nb::handle swap = vx::intern("swap");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fl.ptr()); ++i) {
        auto [vq1, vq2] = vx::unpack2(extract(a, PyList_GET_ITEM(fl.ptr(), i)));
        nb::object v2p = vx::getattr(self, vx::intern("v2p"));
        nb::object p2v = vx::getattr(self, vx::intern("p2v"));
        nb::object graph = vx::getattr(self, vx::intern("coupling_graph"));
        // a coupler from a qubit to itself (a self-loop) exchanges nothing
        auto neighbours = [&](nb::handle vq) {
            nb::object pq = vx::getitem(v2p, vq);
            nb::object nl = to_list(vx::call(vx::getattr(graph, vx::intern("neighbors")), {pq}));
            nb::object out_v = new_list();
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(nl.ptr()); ++j)
                if (!vx::equal(PyList_GET_ITEM(nl.ptr(), j), pq))
                    append(out_v, vx::getitem(p2v, PyList_GET_ITEM(nl.ptr(), j)));
            return out_v;
        };
        nb::object n1 = neighbours(vq1);
        nb::object n2 = neighbours(vq2);
        for (auto [vq, nl] : {std::pair<nb::handle, nb::handle>{vq1, n1}, {vq2, n2}})
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(nl.ptr()); ++j) {
                nb::handle other = PyList_GET_ITEM(nl.ptr(), j);
                nb::object lo = py_min(vq, other), hi = py_max(vq, other);
                nb::object t = vx::own(PyTuple_Pack(3, swap.ptr(), lo.ptr(), hi.ptr()));
                if (!vx::contains(out, t))
                    append(out, t);
            }
    }
    return out;
}

// ---------------------------------------------------------------- decay

nb::object reset_decay_parameter(const vx::Args &a) {
    nb::handle self = a[0];
    if (!heuristic_has(self, "decay"))
        return nb::none();
    nb::object d = vx::own(PyDict_New());
    nb::object pl = to_list(vx::getattr(self, vx::intern("physical_qubits")));
    nb::object one = vx::int_obj(1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pl.ptr()); ++i)
        vx::check(PyObject_SetItem(d.ptr(), PyList_GET_ITEM(pl.ptr(), i), one.ptr()));
    vx::setattr(self, "decay_parameter", d);
    return nb::none();
}

nb::object update_decay_parameter(const vx::Args &a) {
    nb::handle self = a[0], t = a[1];
    if (!heuristic_has(self, "decay"))
        return nb::none();
    nb::object vq1 = vx::own(PySequence_GetItem(t.ptr(), 1));
    nb::object vq2 = vx::own(PySequence_GetItem(t.ptr(), 2));
    nb::object v2p = vx::getattr(self, vx::intern("v2p"));
    nb::object pq1 = vx::getitem(v2p, vq1), pq2 = vx::getitem(v2p, vq2);
    nb::object step = vx::own(PyFloat_FromDouble(0.01));
    for (nb::handle pq : {nb::handle(pq1), nb::handle(pq2)}) {
        nb::object d = vx::getattr(self, vx::intern("decay_parameter"));
        nb::object v = vx::own(PyNumber_InPlaceAdd(vx::getitem(d, pq).ptr(), step.ptr()));
        vx::check(PyObject_SetItem(d.ptr(), pq.ptr(), v.ptr()));
    }
    return nb::none();
}

// ---------------------------------------------------------------- scores

namespace {

// Sum of the distances of the two-qubit nodes under the trial mapping.
nb::object distance_sum(const vx::Args &a, nb::handle trial, nb::handle nodes) {
    nb::object total = vx::int_obj(0);
    nb::object l = to_list(nodes);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l.ptr()); ++i) {
        auto [vq1, vq2] = vx::unpack2(extract(a, PyList_GET_ITEM(l.ptr(), i)));
        nb::object d = vx::call(vx::getattr(a[0], vx::intern("_distance_matrix_element")),
                                {vx::getitem(trial, vq1), vx::getitem(trial, vq2)});
        total = add(total, d);
    }
    return total;
}

enum Score { kBasic = 0, kLookahead = 1, kBasicDecay = 2, kLookaheadDecay = 3 };

nb::object score(const vx::Args &a, Score kind) {
    nb::handle self = a[0], swap = a[1], front_layer = a[2];
    nb::object pair = vx::call(a.global("update_v2p_and_p2v_mapping"), {vx::getattr(self, vx::intern("v2p")), swap});
    nb::object trial = vx::own(PySequence_GetItem(pair.ptr(), 0));
    nb::object size_f = vx::int_obj(vx::length(front_layer));
    nb::object h = tdiv(distance_sum(a, trial, front_layer), size_f);
    if (kind == kLookahead || kind == kLookaheadDecay) {
        nb::object E = vx::getattr(self, vx::intern("extended_successor_set"));
        Py_ssize_t ne = vx::length(E);
        nb::object size_e = vx::int_obj(ne == 0 ? 1 : ne);
        nb::object w = py_min(vx::getattr(self, vx::intern("max_extended_set_weight")), tdiv(size_e, size_f));
        h = add(h, mul(w, tdiv(distance_sum(a, trial, E), size_e)));
    }
    if (kind == kBasicDecay || kind == kLookaheadDecay) {
        nb::object decay = vx::getattr(self, vx::intern("decay_parameter"));
        nb::object qa = vx::own(PySequence_GetItem(swap.ptr(), 1));
        nb::object qb = vx::own(PySequence_GetItem(swap.ptr(), 2));
        nb::object m = py_max(vx::getitem(decay, vx::getitem(trial, qa)), vx::getitem(decay, vx::getitem(trial, qb)));
        h = mul(m, h);
    }
    return h;
}

}  // namespace

nb::object score_basic(const vx::Args &a) { return score(a, kBasic); }
nb::object score_lookahead(const vx::Args &a) { return score(a, kLookahead); }
nb::object score_basic_decay(const vx::Args &a) { return score(a, kBasicDecay); }
nb::object score_lookahead_decay(const vx::Args &a) { return score(a, kLookaheadDecay); }

static const char *const kScoreMethods[] = {"_heuristic_score_basic", "_heuristic_score_lookahead",
                                            "_heuristic_score_basic_decay", "_heuristic_score_lookahead_decay"};

nb::object heuristic_score(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object h = vx::getattr(self, vx::intern("heuristic"));
    for (int i = 0; i < 4; ++i)
        if (vx::equal(h, vx::str_obj(kHeuristics[i])))
            return vx::call_method(self, kScoreMethods[i], {a[1], a[2]});
    raise_fmt(PyExc_ValueError, kUnknownHeuristic, {h});
}

}  // namespace routing
