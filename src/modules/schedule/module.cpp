// vexal.circuit.schedule: DynamicalDecoupling, the last pass of a
// transpilation.  It walks the circuit DAG layer by layer, keeps for every
// qubit the time it has been idle since its last gate, gives a qubit whose
// first gate starts late a leading delay, and fills each long enough idle
// window between two gates with an XY4 or CPMG pulse train on a 0.1 ns grid.
//
// The methods work alone, through the names of this module as they stand at
// call time.  `run` makes no DAG at all (lean.cpp) when everything that
// would touch it is the package's own, takes the native walk over the real
// DAG (native.cpp) when the walk's names are, and the methods otherwise;
// all give the same result, and the last two insert the same nodes, edges
// and names into the same DAG.
#include "schedule.hpp"

#include "dag_api.hpp"
#include "dd_engine.hpp"

#include <cmath>
#include <string>

namespace schedule {

void too_many_nodes() {
    vx::value_error("Dynamical decoupling would insert more than " + std::to_string(kMaxInserted) +
                    " nodes into this circuit: its idle time holds too many one-qubit gate lengths (t1g). "
                    "Transpile a shorter circuit, give the backend a longer one_qubit_gate_length, "
                    "or run without decoupling (use_dd=False).");
}

}  // namespace schedule

namespace {

using namespace schedule;
namespace dd = engines::dd;

// 0, 1, 2, 0.1, 1e-9 and 0.1 * 1e-9, kept for the life of the process
nb::handle g_zero, g_one, g_two, g_tenth, g_nano, g_grid;

// A gate length must be a real number of seconds, positive and finite: with
// 0 a train's repetition count divides by zero, and a non-finite or negative
// one makes every idle time meaningless.
void check_length(PyObject *value, const char *name) {
    const double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            vx::clear_ordinary_error();  // a __float__ interrupted stays an interrupt
            vx::type_error(std::string(name) + " must be a number of seconds, not " + vx::type_name(value));
        }
        PyErr_Clear();
    } else if (x > 0 && std::isfinite(x)) {
        return;
    }
    vx::value_error(std::string(name) + " must be a finite positive number of seconds, got " +
                    vx::describe(value, false));
}

int sequence_length(nb::handle sequence) {
    if (vx::equal(sequence, vx::str_obj("XY4")))
        return dd::kXY4;
    if (vx::equal(sequence, vx::str_obj("CPMG")))
        return dd::kCPMG;
    nb::object empty = vx::str_obj("");
    nb::object text = vx::own(PyObject_Format(sequence.ptr(), empty.ptr()));
    PyErr_SetObject(PyExc_ValueError,
                    vx::own(PyUnicode_FromFormat("Sequence %U is not support now!", text.ptr())).ptr());
    throw vx::error_already_set{};
}

// ---------------------------------------------------------------- methods

nb::object init(const vx::Args &a) {
    check_length(a.ptr(1), "t1g");
    check_length(a.ptr(2), "t2g");
    vx::setattr(a[0], "t1g", a[1]);
    vx::setattr(a[0], "t2g", a[2]);
    vx::setattr(a[0], "_count", vx::int_obj(kFirstCount));
    return nb::none();
}

nb::object counter(const vx::Args &a) {
    nb::object count = vx::getattr(a[0], "_count");
    vx::setattr(a[0], "_count", vx::own(PyNumber_InPlaceAdd(count.ptr(), g_one.ptr())));
    return vx::getattr(a[0], "_count");
}

// list(t1.keys()) + list(t2.keys()) of the module's tables
nb::object table_keys(const vx::Args &a, const char *t1, const char *t2) {
    nb::object k1 = vx::own(PySequence_List(vx::call_method(a.global(t1), "keys", {}).ptr()));
    nb::object k2 = vx::own(PySequence_List(vx::call_method(a.global(t2), "keys", {}).ptr()));
    return vx::own(PyNumber_Add(k1.ptr(), k2.ptr()));
}

bool meet(nb::handle x, nb::handle y) {  // set(x) & set(y)
    nb::object sx = vx::own(PySet_New(x.ptr())), sy = vx::own(PySet_New(y.ptr()));
    return vx::truth(vx::own(PyNumber_And(sx.ptr(), sy.ptr())));
}

nb::object get_max_idle_time(const vx::Args &a) {
    nb::object gates = vx::own(PyList_New(0));
    nb::object it = vx::own(PyObject_GetIter(a.ptr(1)));
    while (nb::object node = vx::next_item(it))
        vx::check(PyList_Append(gates.ptr(), vx::dagapi::node_gate(node).ptr()));
    using enum vx::dagapi::GateTable;
    nb::object one = table_keys(a, vx::kGateTables[kOneQubitTable], vx::kGateTables[kOneQubitParamTable]);
    nb::object two = table_keys(a, vx::kGateTables[kTwoQubitTable], vx::kGateTables[kTwoQubitParamTable]);
    if (meet(two, gates))
        return vx::getattr(a[0], "t2g");
    if (meet(one, gates))
        return vx::getattr(a[0], "t1g");
    return nb::borrow(g_zero);
}

nb::object update_idle_time(const vx::Args &a) {
    nb::object gate = vx::dagapi::node_gate(a[1]);
    auto in = [&](const char *table) {
        nb::object keys = vx::call_method(a.global(table), "keys", {});
        const int r = PySequence_Contains(keys.ptr(), gate.ptr());
        vx::check(r);
        return r != 0;
    };
    using enum vx::dagapi::GateTable;
    if (in(vx::kGateTables[kOneQubitTable]) || in(vx::kGateTables[kOneQubitParamTable]))
        return vx::own(PyNumber_Subtract(a.ptr(2), vx::getattr(a[0], "t1g").ptr()));
    if (in(vx::kGateTables[kTwoQubitTable]))
        return vx::own(PyNumber_Subtract(a.ptr(2), vx::getattr(a[0], "t2g").ptr()));
    return nb::borrow(g_zero);
}

// ---------------------------------------------------------------- the walk through the methods

nb::object dict1(const char *key, nb::handle value) {
    nb::object d = vx::own(PyDict_New());
    vx::check(PyDict_SetItemString(d.ptr(), key, value.ptr()));
    return d;
}

struct Plain {
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
        x = vx::own(PyNumber_TrueDivide(x.ptr(), g_grid.ptr()));
        nb::object units = vx::call(vx::lookup_global(a.func()->globals, vx::intern("round")), {x});
        nb::object tgap = vx::own(PyNumber_Multiply(units.ptr(), g_tenth.ptr()));
        tgap = vx::own(PyNumber_Multiply(tgap.ptr(), g_nano.ptr()));
        nb::object half = vx::own(PyNumber_TrueDivide(tgap.ptr(), g_two.ptr()));
        const int gaps = PyObject_RichCompareBool(tgap.ptr(), g_zero.ptr(), Py_GT);
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
                if (PyObject_RichCompareBool(idle.ptr(), g_zero.ptr(), Py_GT) > 0)
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
            vx::check(PyDict_SetItemString(rec.ptr(), "idle_time", g_zero.ptr()));
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

// The result's own copy of the input's parameter values.
nb::object copy_params(nb::handle params) {
    return PyDict_CheckExact(params.ptr()) ? vx::own(PyDict_Copy(params.ptr()))
                                           : vx::call_method(vx::import("copy"), "copy", {params});
}

nb::object run(const vx::Args &a) {
    nb::handle self = a[0], qc = a[1];
    const int length = sequence_length(a[2]);
    check_length(vx::getattr(self, "t1g").ptr(), "t1g");
    check_length(vx::getattr(self, "t2g").ptr(), "t2g");
    nb::object nqubits = vx::getattr(qc, "nqubits"), ncbits = vx::getattr(qc, "ncbits");
    nb::object params = vx::getattr(qc, "params_value");
    {
        nb::object gates = vx::own(PySequence_List(vx::getattr(qc, "gates").ptr()));
        vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), vx::dagapi::gatework_globals());
        vx::dagapi::check_circuit(kinds, qc, gates.ptr());
    }

    vx::PathChoice path(a, self, kNeeds);
    path.require(plain_tables(a), "a gate table is not a plain dict");
    const bool own_walk = path.fast();  // the walk over the DAG needs no more
    if (path.fast()) {
        nb::object out;
        if (lean_run(a, self, qc, length, a.b(3), a.b(4), out, path)) {
            vx::setattr(out, "params_value", copy_params(params));
            return out;
        }
    }
    // Where the DAG is made, walked and read back by the package's own code
    // alone, it dies within this call, and none of its containers can be in
    // a reference cycle: the collector is kept out until it has gone, rather
    // than sweeping the graph generation after generation.
    vx::GcPause pause(own_walk && vx::is_original(a, "dag2qc"));
    nb::object dag = a.global("qc2dag")(qc, nb::arg("show_qubits") = false);
    nb::object qubits = vx::getattr(qc, "qubits");
    // a failed walk leaves the numbering where it was
    nb::object count = nb::steal(PyObject_GetAttrString(self.ptr(), "_count"));
    vx::clear_ordinary_error();
    try {
        if (own_walk && run_native(a, self, dag, qubits, length, a.b(3), a.b(4))) {
            path.taken("fast over the DAG");
        } else {
            pause.resume();  // the methods run Python code
            Plain{a, self, dag, length, a.b(4)}.walk(qubits, a.b(3));
        }
    } catch (...) {
        if (count.is_valid()) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            if (PyObject_SetAttrString(self.ptr(), "_count", count.ptr()) < 0)
                PyErr_Clear();
            PyErr_Restore(type, value, tb);
        }
        throw;
    }

    nb::object out = vx::call(a.global("dag2qc"), {dag, nqubits, ncbits});
    dag = nb::object();
    pause.resume();
    vx::setattr(out, "params_value", copy_params(params));
    return out;
}

}  // namespace

NB_MODULE(schedule, m) {
    using vx::Conv;
    g_zero = vx::int_obj(0).release();
    g_one = vx::int_obj(1).release();
    g_two = vx::int_obj(2).release();
    g_tenth = vx::own(PyFloat_FromDouble(0.1)).release();
    g_nano = vx::own(PyFloat_FromDouble(1e-9)).release();
    g_grid = vx::own(PyNumber_Multiply(g_tenth.ptr(), g_nano.ptr())).release();

    m.attr("copy") = vx::import("copy");
    m.attr("nx") = vx::import("networkx");
    nb::object TranspilerPass = vx::import("vexal.circuit.keystage").attr("TranspilerPass");
    m.attr("TranspilerPass") = TranspilerPass;
    nb::object dagmod = vx::import("vexal.circuit.dag");
    m.attr("qc2dag") = dagmod.attr("qc2dag");
    m.attr("dag2qc") = dagmod.attr("dag2qc");
    nb::object gatework = vx::import("vexal.circuit.gatework");
    for (int t : kWalkTables)
        m.attr(vx::kGateTables[t]) = gatework.attr(vx::kGateTables[t]);
    m.attr("Literal") = vx::import("typing").attr("Literal");

    const vx::Param self{"self", Conv::Any, nullptr};
    nb::object cls = vx::make_class(
        m, "DynamicalDecoupling", nb::make_tuple(TranspilerPass),
        "Dynamical decoupling pass: fills the idle time of the qubits with XY4 or CPMG pulse trains.\n\n"
        "    t1g and t2g are the durations of one- and two-qubit gates, in seconds.\n    ",
        {
            {.name = "__init__",
             .impl = init,
             .params = {self, {"t1g", Conv::Any, nullptr}, {"t2g", Conv::Any, nullptr}}},
            {.name = "counter", .impl = counter, .params = {self}},
            {.name = "_get_max_idle_time", .impl = get_max_idle_time, .params = {self, {"nodes", Conv::Any, nullptr}}},
            {.name = "_update_idle_time",
             .impl = update_idle_time,
             .params = {self, {"node", Conv::Any, nullptr}, {"max_idle_time", Conv::Any, nullptr}}},
            {.name = "run",
             .impl = run,
             .params = {self,
                        {"qc", Conv::Any, nullptr},
                        {"sequence", Conv::Any, "Literal['XY4', 'CPMG']"},
                        {"align_right", Conv::Bool},
                        {"insert_before_barrier", Conv::Bool}},
             .defaults = {vx::str_obj("XY4"), nb::borrow(Py_True), nb::borrow(Py_False)}},
        });
    m.attr("DynamicalDecoupling") = cls;
    remember(m);
}
