// SabreRouting._single_sabre_routing: one traversal of the circuit DAG, method
// by method.
#include "routing.hpp"

#include <cmath>

namespace routing {

namespace {

// The working state of one traversal.
struct Walk {
    const vx::Args &a;
    nb::handle self;
    nb::object front_layer;
    nb::object collect_execute = new_list();
    nb::object out = new_list();
    long long nswap = 0;

    bool emitting() const { return vx::truth(vx::getattr(self, vx::intern("do_map_node_to_gate"))); }
    // Appends the SWAP record of a candidate, on the physical qubits of now.
    void emit_swap(nb::handle candidate) {
        nb::object v2p = vx::getattr(self, vx::intern("v2p"));
        nb::object p1 = vx::getitem(v2p, vx::own(PySequence_GetItem(candidate.ptr(), 1)));
        nb::object p2 = vx::getitem(v2p, vx::own(PySequence_GetItem(candidate.ptr(), 2)));
        append(out, vx::own(PyTuple_Pack(3, nb::handle(vx::intern("swap")).ptr(), p1.ptr(), p2.ptr())));
        ++nswap;
    }
    void apply_swap(nb::handle candidate) {
        nb::object pair =
            vx::call(a.global("update_v2p_and_p2v_mapping"), {vx::getattr(self, vx::intern("v2p")), candidate});
        auto [v2p, p2v] = vx::unpack2(pair);
        vx::setattr(self, "v2p", v2p);
        vx::setattr(self, "p2v", p2v);
    }
    nb::object distance(nb::handle pq1, nb::handle pq2) {
        return vx::call(vx::getattr(self, vx::intern("_distance_matrix_element")), {pq1, pq2});
    }
};

// Runs the executable nodes and admits their successors whose predecessors
// have all run or wait in the front layer.
void execute(Walk &w, nb::handle execute_list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(execute_list.ptr()); ++i) {
        nb::object node = nb::borrow(PyList_GET_ITEM(execute_list.ptr(), i));
        append(w.collect_execute, node);
        vx::call(vx::getattr(w.front_layer, vx::intern("remove")), {node});
        if (w.emitting())
            append(w.out, vx::call(vx::getattr(w.self, vx::intern("_mapping_node_to_gate_info")), {node}));
        nb::object succ = to_list(vx::call(vx::getattr(w.self, vx::intern("_dag_successors")), {node}));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(succ.ptr()); ++j) {
            nb::handle s = PyList_GET_ITEM(succ.ptr(), j);
            if (!vx::truth(vx::call(vx::getattr(w.self, vx::intern("_has_no_correlation_on_front_layer")),
                                    {s, w.front_layer})))
                continue;
            nb::object preds = to_list(vx::call(vx::getattr(w.self, vx::intern("_dag_predecessors")), {s}));
            nb::object done = vx::own(PySequence_Concat(w.front_layer.ptr(), w.collect_execute.ptr()));
            bool ready = true;
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(preds.ptr()) && ready; ++k)
                ready = vx::contains(done, PyList_GET_ITEM(preds.ptr(), k));
            if (ready)
                append(w.front_layer, s);
        }
    }
    vx::call(vx::getattr(w.self, vx::intern("_reset_decay_parameter")), {});
}

// The candidate of the least score (the first of them, or one drawn at
// random when asked).
nb::object choose_swap(Walk &w) {
    nb::object candidates =
        to_list(vx::call(vx::getattr(w.self, vx::intern("_get_swap_candidate_list")), {w.front_layer}));
    if (PyList_GET_SIZE(candidates.ptr()) == 0)
        raise_fmt(PyExc_ValueError, kNoCandidate, {w.front_layer});
    nb::object scores = vx::own(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.ptr()); ++i) {
        nb::handle c = PyList_GET_ITEM(candidates.ptr(), i);
        nb::object h = vx::call(vx::getattr(w.self, vx::intern("_heuristic_score")), {c, w.front_layer});
        vx::check(PyDict_SetItem(scores.ptr(), c.ptr(), h.ptr()));
    }
    // min() over the values, then every candidate equal to it
    nb::object values = to_list(vx::own(PyDict_Values(scores.ptr())));
    nb::object min_score = nb::borrow(PyList_GET_ITEM(values.ptr(), 0));
    for (Py_ssize_t i = 1; i < PyList_GET_SIZE(values.ptr()); ++i)
        if (vx::less(PyList_GET_ITEM(values.ptr(), i), min_score))
            min_score = nb::borrow(PyList_GET_ITEM(values.ptr(), i));
    nb::object best = new_list();
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(scores.ptr(), &pos, &k, &v))
        if (vx::truth(vx::own(PyObject_RichCompare(v, min_score.ptr(), Py_EQ))))  // ==, so a NaN is not itself
            append(best, k);
    if (PyList_GET_SIZE(best.ptr()) == 0)  // the least score is NaN
        raise_fmt(PyExc_ValueError, kUnscorable, {w.front_layer});
    if (PyList_GET_SIZE(best.ptr()) > 1 && vx::truth(vx::getattr(w.self, vx::intern("do_random_choice"))))
        return vx::call(vx::getattr(w.a.global("random"), vx::intern("choice")), {best});
    return nb::borrow(PyList_GET_ITEM(best.ptr(), 0));
}

// The traversal is stuck: the nearest front gate (the first of the nearest)
// has its first qubit moved next to its second along a shortest path, each
// step to the first neighbour nearest to the second; the decay factors start
// afresh.  Gates whose qubits cannot meet raise the conflict error.
void release(Walk &w) {
    nb::object v2p = vx::getattr(w.self, vx::intern("v2p"));
    nb::object nearest, best = vx::own(PyFloat_FromDouble(INFINITY));
    nb::object fl = to_list(w.front_layer);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fl.ptr()); ++i) {
        nb::handle node = PyList_GET_ITEM(fl.ptr(), i);
        auto [q1, q2] = vx::unpack2(extract(w.a, node));
        nb::object d = w.distance(vx::getitem(v2p, q1), vx::getitem(v2p, q2));
        if (vx::less(d, best)) {
            best = d;
            nearest = nb::borrow(node);
        }
    }
    if (!nearest.is_valid())
        vx::value_error(kConflict);
    auto [mover, other] = vx::unpack2(extract(w.a, nearest));
    nb::object graph = vx::getattr(w.self, vx::intern("coupling_graph"));
    for (;;) {
        v2p = vx::getattr(w.self, vx::intern("v2p"));
        nb::object here = vx::getitem(v2p, mover), there = vx::getitem(v2p, other);
        nb::object d_here = w.distance(here, there);
        if (vx::equal(d_here, vx::int_obj(1)))
            break;
        nb::object step, d_step = d_here;
        nb::object neighbours = to_list(vx::call(vx::getattr(graph, vx::intern("neighbors")), {here}));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(neighbours.ptr()); ++i) {
            nb::handle y = PyList_GET_ITEM(neighbours.ptr(), i);
            if (vx::equal(y, there))
                continue;
            nb::object d = w.distance(y, there);
            if (vx::less(d, d_step)) {
                d_step = d;
                step = nb::borrow(y);
            }
        }
        if (!step.is_valid())
            vx::value_error(kConflict);
        nb::object partner = vx::getitem(vx::getattr(w.self, vx::intern("p2v")), step);
        const bool mover_first = vx::less(mover, partner);
        nb::object swap =
            vx::own(PyTuple_Pack(3, nb::handle(vx::intern("swap")).ptr(), (mover_first ? mover : partner).ptr(),
                                 (mover_first ? partner : mover).ptr()));
        if (w.emitting())
            w.emit_swap(swap);
        w.apply_swap(swap);
    }
    vx::call(vx::getattr(w.self, vx::intern("_reset_decay_parameter")), {});
}

}  // namespace

nb::object single_sabre_routing(const vx::Args &a) {
    Walk w{a, a[0], {}};
    nb::object gens = to_list(vx::call(vx::getattr(a.global("nx"), vx::intern("topological_generations")),
                                       {vx::getattr(w.self, vx::intern("dag"))}));
    w.front_layer = PyList_GET_SIZE(gens.ptr()) ? nb::borrow(PyList_GET_ITEM(gens.ptr(), 0)) : new_list();
    if (!PyList_Check(w.front_layer.ptr()))
        w.front_layer = to_list(w.front_layer);
    vx::call(vx::getattr(w.self, vx::intern("_reset_decay_parameter")), {});
    vx::call(vx::getattr(w.self, vx::intern("_get_extended_successor_set")), {w.front_layer});
    nb::object deepcopy = vx::getattr(a.global("copy"), vx::intern("deepcopy"));
    long long nrepeat = 0;
    nb::object front_layer_repeat = vx::call(deepcopy, {w.front_layer});
    while (PyList_GET_SIZE(w.front_layer.ptr()) > 0) {
        vx::check(PyErr_CheckSignals());
        if (vx::equal(front_layer_repeat, w.front_layer)) {
            ++nrepeat;
        } else {
            front_layer_repeat = vx::call(deepcopy, {w.front_layer});
            vx::call(vx::getattr(w.self, vx::intern("_get_extended_successor_set")), {w.front_layer});
            nrepeat = 0;
        }
        nb::object execute_list =
            to_list(vx::call(vx::getattr(w.self, vx::intern("_get_execute_node_list")), {w.front_layer}));
        if (PyList_GET_SIZE(execute_list.ptr()) > 0) {
            execute(w, execute_list);
            continue;
        }
        nb::object chosen = choose_swap(w);
        // Too many SWAPs in a row without a gate run: free the traversal.
        if (nrepeat == 10 * static_cast<long long>(vx::length(vx::getattr(w.self, vx::intern("v2p"))))) {
            release(w);
            nrepeat = 0;
            continue;
        }
        if (w.emitting())
            w.emit_swap(chosen);
        vx::call(vx::getattr(w.self, vx::intern("_update_decay_parameter")), {chosen});
        w.apply_swap(chosen);
    }
    return vx::own(Py_BuildValue("(OL)", w.out.ptr(), w.nswap));
}

}  // namespace routing
