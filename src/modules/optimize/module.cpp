// vexal.circuit.optimize: the module body, the GateCompressor class, its
// constructor, the idx counter and run.
//
// `run` walks the ladder of paths: the fast path makes no networkx DAG at
// all (fast.cpp) where everything it would go through is the package's own
// and the circuit is exact; the DAG tier runs the same merges in C++ over
// the pass's networkx DAG (dag_tier.cpp) where the pass and its names are;
// the reference path composes the methods (reference.cpp).  All leave the
// same result, `dag` and `_idx`.
#include "optimize.hpp"

#include "deferred_values.hpp"

namespace optimize {

namespace {

PyObject *g_cls = nullptr;  // GateCompressor, for super()

// The gate names that may be merged, in order.
constexpr const char *kCompressible[21] = {"id", "x",  "y", "z", "h",   "cx",  "cnot", "cy",  "cz",  "swap", "rx",
                                           "ry", "rz", "p", "u", "rxx", "ryy", "rzz",  "ccx", "ccz", "cswap"};
constexpr long kFirstIdx = 1000000;

using enum vx::dagapi::GateTable;

// What the fast path and the DAG tier need left as the package made them:
// the module's names and the pass's methods (the path checker asks, in run).
const vx::FastPathNeeds kNeeds{
    "GateCompressor",
    {"np", "np.allclose", "np.eye", "np.ndarray", "u3_decompose", "u_mat", "gate_matrix_dict", "QuantumCircuit",
     "QuantumCircuit.deepcopy", "qc2dag", "dag2qc"},
    {"GateCompressor.remove_identity_gates", "GateCompressor.is_adjacent_gates", "GateCompressor.has_adjacent_gates",
     "GateCompressor.compress_adjacent_single_qubit_gates",
     "GateCompressor.compress_adjacent_single_parameter_qubit_gates",
     "GateCompressor.compress_adjacent_two_qubit_gates", "GateCompressor.compress_adjacent_two_qubit_parameter_gates",
     "GateCompressor.compress_adjacent_three_qubit_gates", "GateCompressor.run_compress_once", "GateCompressor.idx"},
};

// The pass keeps its state in ordinary instance attributes, and its `dag` is
// the instance's own, through the class's descriptor.
bool own_pass_state(PyObject *globals, nb::handle self) {
    PyTypeObject *tp = Py_TYPE(self.ptr());
    if (tp->tp_getattro != PyObject_GenericGetAttr || tp->tp_setattro != PyObject_GenericSetAttr)
        return false;
    for (PyObject *state : {names()._idx, names().compressible})
        if (_PyType_Lookup(tp, state))
            return false;
    return vx::deferred_descriptors(globals, tp, "GateCompressor", {"dag"});
}

// The five gate tables of the namespace are exact dicts (asking them runs
// no code).
bool exact_tables(PyObject *globals) {
    for (int t : kRuleTables) {
        PyObject *d = PyDict_GetItemString(globals, vx::kGateTables[t]);
        if (!d || !PyDict_CheckExact(d))
            return false;
    }
    return true;
}

// The names the merges go through are the package's own.
bool own_names(PyObject *globals) {
    if (!exact_tables(globals) || !vx::is_original(globals, "gate_matrix_dict") || !vx::is_original(globals, "u_mat") ||
        !own_matrix_function(PyDict_GetItemString(globals, "u_mat")))
        return false;
    Maths m(globals);
    return m.own_allclose && m.own_u3;
}

}  // namespace

const Names &names() {
    static const Names k = [] {
        Names n{};
        n.dag = vx::intern("dag");
        n.idx = vx::intern("idx");
        n._idx = vx::intern("_idx");
        n.compressible = vx::intern("compressible_gates");
        n.qubits = vx::intern("qubits");
        n.params = vx::intern("params");
        n.qubit = vx::intern("qubit");
        n.gates = vx::intern("gates");
        n.nqubits = vx::intern("nqubits");
        n.ncbits = vx::intern("ncbits");
        n.params_value = vx::intern("params_value");
        n.gmd = vx::intern("gate_matrix_dict");
        n.u_mat = vx::intern("u_mat");
        n.u3_decompose = vx::intern("u3_decompose");
        n.np = vx::intern("np");
        n.qc2dag = vx::intern("qc2dag");
        n.dag2qc = vx::intern("dag2qc");
        n.u = vx::intern("u");
        n.u3 = vx::intern("u3");
        for (int i = 0; i < 10; ++i)
            n.method[i] = vx::intern(kMethods[i]);
        return n;
    }();
    return k;
}

Rule rule_of(const vx::dagapi::GateKind &k) {
    using enum vx::dagapi::GateTable;
    if (k.in(kOneQubitTable))
        return Rule::OneQubit;
    if (k.in(kOneQubitParamTable))
        return Rule::OneParam;
    if (k.in(kTwoQubitTable))
        return Rule::TwoQubit;
    if (k.in(kTwoQubitParamTable))
        return Rule::TwoParam;
    if (k.in(kThreeQubitTable))
        return Rule::ThreeQubit;
    return Rule::None;
}

int rule_method(Rule r) {
    switch (r) {
    case Rule::OneQubit: return M_ONE;
    case Rule::OneParam: return M_ONE_PARAM;
    case Rule::TwoQubit: return M_TWO;
    case Rule::TwoParam: return M_TWO_PARAM;
    case Rule::ThreeQubit: return M_THREE;
    default: return -1;
    }
}

nb::object call_method(nb::handle self, PyObject *name, std::initializer_list<nb::handle> args) {
    PyObject *argv[4];
    size_t n = 0;
    argv[n++] = self.ptr();
    for (nb::handle h : args)
        argv[n++] = h.ptr();
    return vx::own(PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace {

nb::object init(const vx::Args &a) {
    nb::handle self = a[0];
    vx::init_base(g_cls, self);
    nb::object gates = vx::own(PyList_New(21));
    for (Py_ssize_t i = 0; i < 21; ++i)
        PyList_SET_ITEM(gates.ptr(), i, vx::str_obj(kCompressible[i]).release().ptr());
    vx::check(PyObject_SetAttr(self.ptr(), names().compressible, gates.ptr()));
    vx::check(PyObject_SetAttr(self.ptr(), names()._idx, vx::own(PyLong_FromLong(kFirstIdx)).ptr()));
    return nb::none();
}

// Each read counts one more node made.
nb::object idx(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object now = vx::getattr(self, names()._idx);
    nb::object next = vx::own(PyNumber_Add(now.ptr(), vx::int_obj(1).ptr()));
    vx::check(PyObject_SetAttr(self.ptr(), names()._idx, next.ptr()));
    return vx::getattr(self, names()._idx);
}

// The merge arithmetic needs numbers: a parameter gate whose angle is the
// name of a circuit parameter is refused before anything is made.
void refuse_parameter_names(PyObject *globals, PyObject *gates) {
    vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), globals, kParamTableBits);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates); ++i) {
        PyObject *rec = PyList_GET_ITEM(gates, i);
        nb::object seq = vx::own(PySequence_Tuple(rec));
        const auto &kind = kinds.of(PyTuple_GET_ITEM(seq.ptr(), 0));
        const Py_ssize_t wires = param_gate_wires(kind);
        for (Py_ssize_t k = 1; wires && k < PyTuple_GET_SIZE(seq.ptr()) - wires; ++k) {
            PyObject *angle = PyTuple_GET_ITEM(seq.ptr(), k);
            if (PyUnicode_Check(angle))
                vx::type_error("gate compression needs numeric angles: " + vx::describe(rec) +
                               " holds the parameter name " + vx::describe(angle));
        }
    }
}

// Created nodes are numbered past every number a node name of the DAG
// already carries, so that a created name never equals a converted one (a
// DAG of more than 1000001 gates has positions past the counter's start).
void number_past_names(nb::handle self, nb::handle dag) {
    nb::object top = largest_name_number(dag);
    if (!top.is_valid())
        return;
    nb::object now = vx::getattr(self, names()._idx);
    if (PyLong_Check(now.ptr()) && vx::less(now, top))
        vx::check(PyObject_SetAttr(self.ptr(), names()._idx, top.ptr()));
}

nb::object run(const vx::Args &a) {
    nb::handle self = a[0], qc = a[1];
    const Names &k = names();
    nb::object qubits = vx::getattr(qc, k.qubits);
    nb::object gates = vx::own(PySequence_List(vx::getattr(qc, k.gates).ptr()));
    {
        // the records are read by the DAG conversion; the matrix functions
        // count and convert the operands of parameter gates themselves
        vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), vx::dagapi::gatework_globals());
        vx::dagapi::check_circuit(kinds, qc, gates.ptr(), {.lenient = kParamTableBits});
    }
    refuse_parameter_names(a.func()->globals, gates.ptr());

    vx::PathChoice path(a, self, kNeeds);
    path.need(own_pass_state(a.func()->globals, self), "the pass's state or dag is not kept as the class keeps it");
    path.need(own_names(a.func()->globals), "a gate table, a matrix function or numpy is not the package's own");
    if (nb::object result; path.fast() && fast_run(a, self, qc, qubits, gates.ptr(), result, path))
        return result;
    nb::object qc1 = path.dag_tier() ? identity_free_copy(a, qc, gates.ptr()) : nb::object();
    // Where only the package's code runs from here (an exact circuit, the
    // DAG conversions and the DAG tier), the collector waits until run is
    // done: the DAG's containers are many and hold no cycle that could
    // become garbage meanwhile.
    vx::GcPause pause(qc1.is_valid());
    if (!qc1.is_valid())
        qc1 = call_method(self, k.method[M_REMOVE_IDENTITY], {qc});
    nb::object dag = vx::call(a.global(k.qc2dag), {qc1});
    vx::check(PyObject_SetAttr(self.ptr(), k.dag, dag.ptr()));
    number_past_names(self, dag);
    path.below_fast([&] { return dag_tier_loop(a, self); },
                    [&] {
                        pause.resume();  // the methods run whatever a subclass gives them
                        reference_loop(self);
                    });
    dag = vx::getattr(self, k.dag);
    nb::object nq = vx::getattr(qc1, k.nqubits);
    nb::object nc = vx::getattr(qc1, k.ncbits);
    nb::object new_qc = vx::call(a.global(k.dag2qc), {dag, nq, nc});
    vx::check(PyObject_SetAttr(new_qc.ptr(), k.qubits, qubits.ptr()));
    // the parameter values go with the circuit
    PyObject *values = PyObject_GetAttr(qc1.ptr(), k.params_value);
    if (!values) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw vx::error_already_set{};
        PyErr_Clear();
    } else {
        nb::object keep = nb::steal(values);
        vx::check(PyObject_SetAttr(new_qc.ptr(), k.params_value, values));
    }
    return new_qc;
}

}  // namespace

}  // namespace optimize

using namespace optimize;

NB_MODULE(optimize, m) {
    using vx::Conv;
    m.attr("np") = vx::import("numpy");
    nb::object qcmod = vx::import("vexal.circuit.quantumcircuit");
    m.attr("QuantumCircuit") = qcmod.attr("QuantumCircuit");
    for (int t : kRuleTables)
        m.attr(vx::kGateTables[t]) = qcmod.attr(vx::kGateTables[t]);
    nb::object dagmod = vx::import("vexal.circuit.dag");
    m.attr("qc2dag") = dagmod.attr("qc2dag");
    m.attr("dag2qc") = dagmod.attr("dag2qc");
    m.attr("u3_decompose") = vx::import("vexal.circuit.decompose").attr("u3_decompose");
    nb::object matrix = vx::import("vexal.circuit.matrix");
    m.attr("u_mat") = matrix.attr("u_mat");
    m.attr("gate_matrix_dict") = matrix.attr("gate_matrix_dict");
    nb::object TranspilerPass = vx::import("vexal.circuit.keystage").attr("TranspilerPass");
    m.attr("TranspilerPass") = TranspilerPass;

    const vx::Param self{"self", Conv::Any, nullptr};
    const vx::Param node1{"node1", Conv::Any, "str"}, node2{"node2", Conv::Any, "str"};
    const vx::Param qc{"qc", Conv::Any, "QuantumCircuit"};
    auto pair_method = [&](const char *name, vx::Impl impl) {
        return vx::FunctionDef{.name = name, .impl = impl, .params = {self, node1, node2}};
    };
    nb::object idx_getter =
        vx::make_function(m, {.name = "idx", .impl = idx, .params = {self}, .qualname = "GateCompressor.idx"});
    nb::object idx_property =
        vx::own(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyProperty_Type), idx_getter.ptr()));
    nb::object run_fn =
        vx::make_function(m, {.name = "run", .impl = run, .params = {self, qc}, .qualname = "GateCompressor.run"});

    nb::object cls =
        vx::make_class(m, "GateCompressor", nb::make_tuple(TranspilerPass),
                       "A transpiler pass that merges or compresses adjacent gates in a quantum circuit.\n\n"
                       "    Inherits from:\n"
                       "        TranspilerPass: the base class of every transpiler pass.\n    ",
                       {
                           {.name = "__init__", .impl = init, .params = {self}},
                           {.name = "remove_identity_gates", .impl = remove_identity_gates, .params = {self, qc}},
                           pair_method("is_adjacent_gates", is_adjacent_gates),
                           {.name = "has_adjacent_gates", .impl = has_adjacent_gates, .params = {self}},
                           pair_method("compress_adjacent_single_qubit_gates", compress_one),
                           pair_method("compress_adjacent_single_parameter_qubit_gates", compress_one_param),
                           pair_method("compress_adjacent_two_qubit_gates", compress_two),
                           pair_method("compress_adjacent_two_qubit_parameter_gates", compress_two_param),
                           pair_method("compress_adjacent_three_qubit_gates", compress_three),
                           pair_method("run_compress_once", run_compress_once),
                       },
                       {{"idx", idx_property}, {"run", run_fn}});
    m.attr("GateCompressor") = cls;
    remember_fast(m, cls);
    g_cls = cls.release().ptr();  // lives as long as the process
    vx::keep_needs(m, kNeeds);
    remember_matrix();
    remember_dag_tier();
    // the verdict of the product check, for the tests
    vx::setattr(m, "_numpy_product_is_cpp", nb::bool_(vx::matrixapi::numpy_product_is_cpp()));
}
