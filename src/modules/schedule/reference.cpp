// The reference walk of DynamicalDecoupling.run: the layers of the DAG
// copy, the idle records, and every delay and train put into the DAG
// through the pass's methods and the module's names, one Python call at a
// time, exactly as the pass composes them.
#include "schedule.hpp"

#include "dag_api.hpp"
#include "dd_engine.hpp"

namespace schedule {

namespace {

nb::object dict1(const char *key, nb::handle value) {
    nb::object d = vx::own(PyDict_New());
    vx::check(PyDict_SetItemString(d.ptr(), key, value.ptr()));
    return d;
}

class ReferenceWalk {
public:
    const vx::Args &a;
    nb::handle self, dag;
    int length;  // pulses per repetition
    bool insert_before_barrier;
    std::int64_t inserted = 0;

    void count(std::int64_t nodes) {
        inserted += nodes;
        if (inserted > kMaxInserted)
            too_many_nodes();
    }

    // "<prefix>_<counter()>_[<qubit>]", drawing numbers until the name is
    // neither a node of the DAG (a conversion position can take any number)
    // nor one of `pending`.
    nb::object new_name(const char *prefix, nb::handle qubit, PyObject *pending) {
        nb::object empty = vx::str_obj("");
        nb::object qtext = vx::own(PyObject_Format(qubit.ptr(), empty.ptr()));
        const Py_ssize_t tries = vx::length(dag) + (pending ? PySet_GET_SIZE(pending) : 0) + 1;
        for (Py_ssize_t i = 0; i < tries; ++i) {
            nb::object n = vx::call_method(self, "counter", {});
            nb::object ntext = vx::own(PyObject_Format(n.ptr(), empty.ptr()));
            nb::object name = vx::own(PyUnicode_FromFormat("%s_%U_[%U]", prefix, ntext.ptr(), qtext.ptr()));
            if (vx::contains(dag, name))
                continue;
            const int dup = pending ? PySet_Contains(pending, name.ptr()) : 0;
            vx::check(dup);
            if (!dup)
                return name;
        }
        vx::raise(PyExc_RuntimeError, "counter() keeps handing out numbers whose node names are taken");
    }

    void delay(nb::handle qubit, nb::handle node, nb::handle idle) {
        count(1);
        nb::object name = new_name("delay", qubit, nullptr);
        nb::object attrs = dict1("qubits", list1(qubit));
        vx::check(PyDict_SetItemString(attrs.ptr(), "duration", idle.ptr()));
        vx::call_method(dag, "add_nodes_from", {list1(nb::make_tuple(name, attrs))});
        nb::object edge = nb::make_tuple(name, node, dict1("qubit", list1(qubit)));
        vx::call_method(dag, "add_edges_from", {list1(edge)});
    }

    void train(nb::handle qubit, nb::handle pre, nb::handle node, nb::handle idle) {
        if (vx::truth(vx::call_method(dag, "has_edge", {pre, node})))
            vx::call_method(dag, "remove_edge", {pre, node});
        nb::object len = vx::int_obj(length);
        // n_dd = int(idle // (t1g * L)), refused where it cannot be built
        nb::object per_rep = vx::own(PyNumber_Multiply(vx::getattr(self, "t1g").ptr(), len.ptr()));
        nb::object reps = vx::own(PyNumber_FloorDivide(idle.ptr(), per_rep.ptr()));
        if (PyFloat_Check(reps.ptr()) && !(PyFloat_AS_DOUBLE(reps.ptr()) <= static_cast<double>(kMaxInserted)))
            too_many_nodes();
        nb::object n_dd = vx::own(PyNumber_Long(reps.ptr()));
        const long long n = PyLong_AsLongLong(n_dd.ptr());
        if (n == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            too_many_nodes();
        }
        if (n > kMaxInserted)
            too_many_nodes();
        // round((idle - n_dd * L * t1g) / L / n_dd / (0.1 * 1e-9)) grid steps
        nb::object used = vx::own(
            PyNumber_Multiply(vx::own(PyNumber_Multiply(n_dd.ptr(), len.ptr())).ptr(), vx::getattr(self, "t1g").ptr()));
        nb::object x = vx::own(PyNumber_Subtract(idle.ptr(), used.ptr()));
        x = vx::own(PyNumber_TrueDivide(x.ptr(), len.ptr()));
        x = vx::own(PyNumber_TrueDivide(x.ptr(), n_dd.ptr()));
        x = vx::own(PyNumber_TrueDivide(x.ptr(), numbers().grid.ptr()));
        nb::object units = vx::call(vx::lookup_global(a.func()->globals, vx::intern("round")), {x});
        nb::object tgap = vx::own(PyNumber_Multiply(units.ptr(), numbers().tenth.ptr()));
        tgap = vx::own(PyNumber_Multiply(tgap.ptr(), numbers().nano.ptr()));
        nb::object half = vx::own(PyNumber_TrueDivide(tgap.ptr(), numbers().two.ptr()));
        const int gaps = PyObject_RichCompareBool(tgap.ptr(), numbers().zero.ptr(), Py_GT);
        vx::check(gaps);
        if (n < 1)
            vx::value_error("the idle time holds no repetition of the sequence");
        count(dd::train_size(n, length, gaps != 0));

        nb::object nodes = vx::own(PyList_New(0)), pending = vx::own(PySet_New(nullptr));
        dd::train_pieces(n, length, gaps != 0, [&](dd::Piece p) {
            const bool pulse = p == dd::Piece::X || p == dd::Piece::Y;
            nb::object name = new_name(p == dd::Piece::X   ? "x"
                                       : p == dd::Piece::Y ? "y"
                                                           : "delay",
                                       qubit, pending.ptr());
            vx::check(PySet_Add(pending.ptr(), name.ptr()));
            nb::object attrs = dict1("qubits", list1(qubit));
            if (!pulse)
                vx::check(PyDict_SetItemString(attrs.ptr(), "duration", (p == dd::Piece::Gap ? tgap : half).ptr()));
            vx::check(PyList_Append(nodes.ptr(), nb::make_tuple(name, attrs).ptr()));
        });
        nb::object edges = vx::own(PyList_New(0));
        auto edge = [&](PyObject *u, PyObject *v) {
            vx::check(PyList_Append(edges.ptr(),
                                    nb::make_tuple(nb::handle(u), nb::handle(v), dict1("qubit", list1(qubit))).ptr()));
        };
        auto name_at = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(PyList_GET_ITEM(nodes.ptr(), i), 0); };
        const Py_ssize_t k = PyList_GET_SIZE(nodes.ptr());
        for (Py_ssize_t i = 0; i + 1 < k; ++i)
            edge(name_at(i), name_at(i + 1));
        edge(pre.ptr(), name_at(0));
        edge(name_at(k - 1), node.ptr());
        vx::call_method(dag, "add_nodes_from", {nodes});
        vx::call_method(dag, "add_edges_from", {edges});
    }

    // One layer: its duration, the node of each qubit, then each qubit's window.
    void layer(nb::handle nodes, nb::handle records, nb::handle view) {
        nb::object longest = vx::call_method(self, "_get_max_idle_time", {nodes});
        nb::object node_qubits = vx::own(PyDict_New());
        nb::object it = vx::own(PyObject_GetIter(nodes.ptr()));
        while (nb::object node = vx::next_item(it))
            vx::check(PyObject_SetItem(node_qubits.ptr(), node.ptr(),
                                       vx::getitem(vx::getitem(view, node), vx::str_obj("qubits")).ptr()));
        nb::object qubit_node = vx::own(PyDict_New());
        nb::object pairs = vx::own(PyDict_Items(node_qubits.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
            PyObject *pair = PyList_GET_ITEM(pairs.ptr(), i);
            nb::object qit = vx::own(PyObject_GetIter(PyTuple_GET_ITEM(pair, 1)));
            while (nb::object q = vx::next_item(qit))
                vx::check(PyObject_SetItem(qubit_node.ptr(), q.ptr(), PyTuple_GET_ITEM(pair, 0)));
        }
        nb::object current = vx::str_obj("current_node"), idle_key = vx::str_obj("idle_time");
        nb::object barrier = vx::str_obj("barrier");
        pairs = vx::own(PyDict_Items(qubit_node.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.ptr()); ++i) {
            nb::handle qubit = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.ptr(), i), 0);
            nb::handle node = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.ptr(), i), 1);
            nb::object rec = vx::getitem(records, qubit);
            nb::object pre = vx::getitem(rec, current), idle = vx::getitem(rec, idle_key);
            if (pre.is_none()) {
                if (PyObject_RichCompareBool(idle.ptr(), numbers().zero.ptr(), Py_GT) > 0)
                    delay(qubit, node, idle);
                else if (PyErr_Occurred())
                    throw vx::error_already_set{};
            } else {
                nb::object threshold =
                    vx::own(PyNumber_Multiply(vx::getattr(self, "t1g").ptr(), vx::int_obj(length).ptr()));
                if (PyObject_RichCompareBool(idle.ptr(), threshold.ptr(), Py_GE) > 0) {
                    if (!(vx::equal(vx::dagapi::node_gate(node), barrier) && !insert_before_barrier))
                        train(qubit, pre, node, idle);
                } else if (PyErr_Occurred()) {
                    throw vx::error_already_set{};
                }
            }
            nb::object after = vx::call_method(self, "_update_idle_time", {node, longest});
            vx::check(PyObject_SetItem(rec.ptr(), idle_key.ptr(), after.ptr()));
            vx::check(PyObject_SetItem(rec.ptr(), current.ptr(), node.ptr()));
        }
        nb::object rit = vx::own(PyObject_GetIter(records.ptr()));
        while (nb::object q = vx::next_item(rit)) {
            if (vx::contains(qubit_node, q))
                continue;
            nb::object rec = vx::getitem(records, q);
            nb::object sum = vx::own(PyNumber_InPlaceAdd(vx::getitem(rec, idle_key).ptr(), longest.ptr()));
            vx::check(PyObject_SetItem(rec.ptr(), idle_key.ptr(), sum.ptr()));
        }
    }

    void walk(nb::handle qubits, bool align_right) {
        nb::object records = vx::own(PyDict_New());
        nb::object qit = vx::own(PyObject_GetIter(qubits.ptr()));
        while (nb::object q = vx::next_item(qit)) {
            nb::object rec = dict1("current_node", nb::none());
            vx::check(PyDict_SetItemString(rec.ptr(), "idle_time", numbers().zero.ptr()));
            vx::check(PyObject_SetItem(records.ptr(), q.ptr(), rec.ptr()));
        }
        nb::object dag_copy = vx::call_method(a.global("copy"), "deepcopy", {dag});
        nb::handle nx = a.global("nx");
        nb::object layers;
        if (align_right) {
            nb::object rev = vx::call_method(dag_copy, "reverse", {});
            layers = vx::own(PySequence_List(vx::call_method(nx, "topological_generations", {rev}).ptr()));
            vx::check(PyList_Reverse(layers.ptr()));  // each generation goes in front of the ones before
        } else {
            layers = vx::call_method(nx, "topological_generations", {dag_copy});
        }
        nb::object view = vx::getattr(dag_copy, "nodes");
        nb::object it = vx::own(PyObject_GetIter(layers.ptr()));
        while (nb::object nodes = vx::next_item(it))
            layer(nodes, records, view);
    }
};

}  // namespace

void reference_walk(const vx::Args &a, nb::handle self, nb::handle dag, nb::handle qubits, int sequence_length,
                    bool align_right, bool insert_before_barrier) {
    ReferenceWalk{a, self, dag, sequence_length, insert_before_barrier}.walk(qubits, align_right);
}

}  // namespace schedule
