// vexal.circuit.schedule: DynamicalDecoupling, the last pass of a
// transpilation.  It walks the circuit DAG layer by layer, keeps for every
// qubit the time it has been idle since its last gate, gives a qubit whose
// first gate starts late a leading delay, and fills each long enough idle
// window between two gates with an XY4 or CPMG pulse train on a 0.1 ns grid.
//
// The methods work alone, through the names of this module as they stand at
// call time.  `run` walks the ladder of paths: the fast path makes no DAG at
// all (fast.cpp) where everything that would touch it is the package's own;
// the DAG tier walks the real DAG in C++ (dag_tier.cpp) where the pass's
// names are; the reference path composes the methods (reference.cpp).  All
// give the same result, and the last two insert the same nodes, edges and
// names into the same DAG.
#include "schedule.hpp"

#include "dag_api.hpp"
#include "dd_engine.hpp"

#include <cmath>
#include <string>

namespace schedule {

namespace {
Numbers g_numbers;
}  // namespace

void too_many_nodes() {
    vx::value_error("Dynamical decoupling would insert more than " + std::to_string(kMaxInserted) +
                    " nodes into this circuit: its idle time holds too many one-qubit gate lengths (t1g). "
                    "Transpile a shorter circuit, give the backend a longer one_qubit_gate_length, "
                    "or run without decoupling (use_dd=False).");
}

const Numbers &numbers() { return g_numbers; }

}  // namespace schedule

namespace {

using namespace schedule;
namespace dd = engines::dd;

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

// ---------------------------------------------------------------- the methods

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
    vx::setattr(a[0], "_count", vx::own(PyNumber_InPlaceAdd(count.ptr(), g_numbers.one.ptr())));
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
    return nb::borrow(g_numbers.zero);
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
    return nb::borrow(g_numbers.zero);
}

// The result's own copy of the input's parameter values.
nb::object copy_params(nb::handle params) {
    return PyDict_CheckExact(params.ptr()) ? vx::own(PyDict_Copy(params.ptr()))
                                           : vx::call_method(vx::import("copy"), "copy", {params});
}

// run's arguments, by place
enum RunArg : int { kSelf, kCircuit, kSequence, kAlignRight, kInsertBeforeBarrier };

nb::object run(const vx::Args &a) {
    nb::handle self = a[kSelf], qc = a[kCircuit];
    const int length = sequence_length(a[kSequence]);
    const bool align_right = a.b(kAlignRight), before_barrier = a.b(kInsertBeforeBarrier);
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
    path.need(exact_tables(a), "a gate table is not an exact dict");
    if (nb::object out; path.fast() && fast_run(a, self, qc, length, align_right, before_barrier, out, path)) {
        vx::setattr(out, "params_value", copy_params(params));
        return out;
    }
    // Where the DAG is made, walked and read back by the package's own code
    // alone, it dies within this call, and none of its containers can be in
    // a reference cycle: the collector is kept out until it has gone, rather
    // than sweeping the graph generation after generation.
    vx::GcPause pause(path.dag_tier() && vx::is_original(a, "dag2qc"));
    nb::object dag = a.global("qc2dag")(qc, nb::arg("show_qubits") = false);
    nb::object qubits = vx::getattr(qc, "qubits");
    // a failed walk leaves the numbering where it was
    nb::object count = nb::steal(PyObject_GetAttrString(self.ptr(), "_count"));
    vx::clear_ordinary_error();
    try {
        path.below_fast([&] { return dag_tier_walk(a, self, dag, qubits, length, align_right, before_barrier); },
                        [&] {
                            pause.resume();  // the reference walk runs Python code
                            reference_walk(a, self, dag, qubits, length, align_right, before_barrier);
                        });
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
    g_numbers.zero = vx::int_obj(0).release();
    g_numbers.one = vx::int_obj(1).release();
    g_numbers.two = vx::int_obj(2).release();
    g_numbers.tenth = vx::own(PyFloat_FromDouble(dd::kGridNs)).release();
    g_numbers.nano = vx::own(PyFloat_FromDouble(dd::kNanosecond)).release();
    g_numbers.grid = vx::own(PyNumber_Multiply(g_numbers.tenth.ptr(), g_numbers.nano.ptr())).release();

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
