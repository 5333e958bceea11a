// vexal.circuit.transpiler: the driver that takes a circuit from its input
// form to a chip-ready circuit, pass by pass.
//
// Every pass class, `Layout` and `split_qubits` are looked up in the module
// namespace at call time, so a replaced name changes what the next run builds.
#include "dag_api.hpp"
#include "interop.hpp"

#include <cstdint>
#include <unordered_set>
#include <vector>

#include <string>
#include <utility>

namespace {

constexpr const char *kNoChipWarning =
    "Warning: No chip specified, defaulting to a linearly connected layout for simulation.";

// The circuit in any of its three input forms, as a circuit object.
nb::object read_circuit(const vx::Args &a, nb::handle qc) {
    nb::handle cls = a.global("QuantumCircuit");
    int is_circuit = PyObject_IsInstance(qc.ptr(), cls.ptr());
    vx::check(is_circuit);
    if (is_circuit)
        return nb::borrow(qc);
    if (PyUnicode_Check(qc.ptr()))
        return vx::call_method(vx::call(cls, {}), "from_openqasm2", {qc});
    if (PyList_Check(qc.ptr()))
        return vx::call_method(vx::call(cls, {}), "from_morvo", {qc});
    nb::object type_text = vx::own(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(qc.ptr()))));
    vx::type_error("Expected a Vexal QuantumCircuit or OpenQASM 2.0 or morvo, but got a " + vx::str_text(type_text) +
                   ".");
}

// The qubits a record of the package's own shape names, handed to `each`
// one by one; false for a record of any other shape (the passes report it).
template <class F> bool each_record_qubit(vx::dagapi::GateKinds &kinds, PyObject *rec, F &&each) {
    using vx::dagapi::RecordKind;
    if (!PyTuple_CheckExact(rec) || PyTuple_GET_SIZE(rec) == 0)
        return false;
    const vx::dagapi::GateKind &k = kinds.of(PyTuple_GET_ITEM(rec, 0));
    if (!k.shaped)
        return false;
    const Py_ssize_t len = PyTuple_GET_SIZE(rec);
    auto all = [&](PyObject *seq) {
        if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq))
            return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i)
            if (!each(PySequence_Fast_GET_ITEM(seq, i)))
                return false;
        return true;
    };
    switch (k.record) {
    case RecordKind::Measure:
    case RecordKind::Barrier: return len == (k.record == RecordKind::Measure ? 3 : 2) && all(PyTuple_GET_ITEM(rec, 1));
    case RecordKind::Delay: return len == 3 && all(PyTuple_GET_ITEM(rec, 2));
    default: {
        const Py_ssize_t nw = vx::dagapi::wire_count(k.record);
        if (len != 1 + vx::dagapi::record_param_count(k.record, len) + nw)
            return false;
        for (Py_ssize_t i = len - nw; i < len; ++i)
            if (!each(PyTuple_GET_ITEM(rec, i)))
                return false;
        return true;
    }
    }
}

// Layout and routing place the qubits the circuit lists, so a gate on a
// qubit the list leaves out is refused here, naming both, rather than as a
// count that does not match deep in routing.  Circuits of other shapes than
// the package's (a gate list that is not a list, a malformed record, a
// qubit that is not an int) are left to the passes, which report them.
void check_listed_qubits(nb::handle qc) {
    nb::object gates = vx::getattr(qc, "gates"), qubits = vx::getattr(qc, "qubits");
    if (!PyList_CheckExact(gates.ptr()) || !PyList_CheckExact(qubits.ptr()))
        return;
    // the listed qubits: a table of the low ones, a set of any others
    constexpr long long kDense = 1 << 20;
    std::vector<std::uint8_t> low;
    std::unordered_set<long long> high;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i) {
        long long q;
        if (!vx::exact_ll(PyList_GET_ITEM(qubits.ptr(), i), q))
            return;
        if (q >= 0 && q < kDense) {
            if (static_cast<std::size_t>(q) >= low.size())
                low.resize(static_cast<std::size_t>(q) + 1, 0);
            low[static_cast<std::size_t>(q)] = 1;
        } else {
            high.insert(q);
        }
    }
    auto is_listed = [&](long long q) {
        return q >= 0 && q < kDense ? static_cast<std::size_t>(q) < low.size() && low[static_cast<std::size_t>(q)]
                                    : high.count(q) != 0;
    };
    vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), vx::dagapi::gatework_globals());
    PyObject *missing = nullptr;
    auto known = [&](PyObject *q) {
        long long v;
        if (!vx::exact_ll(q, v))
            return false;
        if (!is_listed(v))
            missing = q;
        return missing == nullptr;
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates.ptr()); ++i) {
        vx::poll_signals(static_cast<std::size_t>(i), 1 << 16);
        PyObject *rec = PyList_GET_ITEM(gates.ptr(), i);
        if (!each_record_qubit(kinds, rec, known)) {
            if (!missing)
                return;
            vx::value_error("gate record " + vx::describe(rec) + " uses qubit " + vx::describe(missing) +
                            ", which the circuit's qubits " + vx::describe(qubits.ptr()) +
                            " leave out; qubits must list every qubit the gates use");
        }
    }
}

// A chain over the circuit's sorted qubits, their list as its normal order.
nb::object chain_over_qubits(nb::handle qc) {
    nb::object nx = vx::import("networkx");
    nb::object subgraph = vx::call(vx::getattr(nx, "Graph"), {});
    nb::object qubits = vx::getattr(qc, "qubits");
    nb::object sorted_qubits = vx::own(PySequence_List(qubits.ptr()));
    vx::check(PyList_Sort(sorted_qubits.ptr()));
    Py_ssize_t n = PyList_GET_SIZE(sorted_qubits.ptr());
    nb::object edges = vx::own(PyList_New(0));
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        nb::object e = vx::own(
            PyTuple_Pack(2, PyList_GET_ITEM(sorted_qubits.ptr(), i), PyList_GET_ITEM(sorted_qubits.ptr(), i + 1)));
        vx::check(PyList_Append(edges.ptr(), e.ptr()));
    }
    vx::call_method(subgraph, "add_edges_from", {edges});
    vx::check(PyObject_SetItem(vx::getattr(subgraph, "graph").ptr(), vx::intern("normal_order"), qubits.ptr()));
    return subgraph;
}

// Without a chip: the chain, in the cx basis.
nb::object chain_subgraph(nb::handle self, nb::handle qc) {
    vx::print_str(kNoChipWarning);
    nb::object subgraph = chain_over_qubits(qc);
    vx::setattr(self, "two_qubit_gate_basis", vx::str_obj("cx"));
    vx::setattr(self, "convert_single_qubit_gate_to_u", nb::bool_(false));
    return subgraph;
}

// With a chip: its basis, and the qubits the layout selection chooses.
nb::object chip_subgraph(const vx::Args &a, nb::handle self, nb::handle backend, nb::handle qc,
                         nb::handle target_qubits) {
    vx::setattr(self, "two_qubit_gate_basis", vx::getattr(backend, "two_qubit_gate_basis"));
    vx::setattr(self, "convert_single_qubit_gate_to_u", nb::bool_(true));
    if (vx::length(vx::getattr(qc, "qubits")) == 0)
        return chain_over_qubits(qc);  // an empty circuit: no qubit to place
    nb::object layout = vx::call(a.global("Layout"), {backend});
    nb::object criteria = vx::own(PyDict_New());
    vx::check(PyDict_SetItemString(criteria.ptr(), "key", vx::str_obj("fidelity_var").ptr()));
    vx::check(PyDict_SetItemString(criteria.ptr(), "topology", vx::str_obj("linear").ptr()));
    nb::object kwnames = nb::make_tuple("target_qubits", "use_chip_priority", "select_criteria");
    return vx::call(vx::getattr(layout, "select_layout"), {qc, target_qubits, Py_True, criteria}, kwnames.ptr());
}

// The level as the driver compares it: Python equality with 0, 1 and 2.
int level_of(nb::handle optimize_level) {
    for (int level = 0; level <= 2; ++level)
        if (vx::equal(optimize_level, vx::int_obj(level)))
            return level;
    vx::value_error("Currently, only optimize_level values of 0 or 1 or 2 are supported.");
}

nb::object make_routing(const vx::Args &a, nb::handle subgraph, const char *mapping, bool random_choice,
                        nb::handle iterations) {
    nb::object kwnames = nb::make_tuple("initial_mapping", "do_random_choice", "iterations");
    return vx::call(a.global("SabreRouting"),
                    {subgraph, vx::str_obj(mapping), random_choice ? Py_True : Py_False, iterations}, kwnames.ptr());
}

// SabreRouting names its argument iterations; at levels 1 and 2 the driver
// passes it the caller's niter, so a refusal of that value (its type or its
// range, as the routing's messages start) names niter.
nb::object make_routing_of_niter(const vx::Args &a, nb::handle subgraph, const char *mapping, bool random_choice,
                                 nb::handle niter) {
    try {
        return make_routing(a, subgraph, mapping, random_choice, niter);
    } catch (const vx::error_already_set &) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyObject *args = value && (type == PyExc_ValueError || type == PyExc_TypeError)
                             ? PyObject_GetAttrString(value, "args")
                             : nullptr;
        if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 && PyUnicode_Check(PyTuple_GET_ITEM(args, 0))) {
            std::string message = vx::str_text(PyTuple_GET_ITEM(args, 0));
            bool renamed = false;
            for (auto [from, to] :
                 {std::pair{"iterations ", "niter "}, {"Argument 'iterations' ", "Argument 'niter' "}})
                if (!renamed && message.rfind(from, 0) == 0) {
                    message = to + message.substr(std::string(from).size());
                    renamed = true;
                }
            PyObject *fresh = renamed ? Py_BuildValue("(s)", message.c_str()) : nullptr;
            if (fresh && PyObject_SetAttrString(value, "args", fresh) < 0)
                PyErr_Clear();
            Py_XDECREF(fresh);
        }
        Py_XDECREF(args);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        throw;
    }
}

nb::object make_translation(const vx::Args &a, nb::handle self) {
    nb::object flag = vx::getattr(self, "convert_single_qubit_gate_to_u");
    nb::object basis = vx::getattr(self, "two_qubit_gate_basis");
    nb::object kwnames = nb::make_tuple("convert_single_qubit_gate_to_u", "two_qubit_gate_basis");
    return vx::call(a.global("TranslateToBasisGates"), {flag, basis}, kwnames.ptr());
}

// The passes of one level, made in their order.
nb::object pass_list(const vx::Args &a, nb::handle self, nb::handle qc, nb::handle subgraph, int level,
                     nb::handle niter) {
    if (level == 2) {
        nb::object groups = vx::call(a.global("split_qubits"), {qc});
        if (vx::length(groups) >= 2)
            vx::value_error("If quantum circuit can be divided along the qubits, the optimize_level is restricted to 0 "
                            "or 1");
    }
    nb::object passes = vx::own(PyList_New(0));
    auto add = [&](nb::object p) { vx::check(PyList_Append(passes.ptr(), p.ptr())); };
    add(vx::call(a.global("ThreeQubitGateDecompose"), {}));
    if (level == 0)
        add(make_routing(a, subgraph, "trivial", false, vx::int_obj(1)));
    else if (level == 1)
        add(make_routing_of_niter(a, subgraph, "trivial", false, niter));
    else
        add(make_routing_of_niter(a, subgraph, "random", true, niter));
    add(make_translation(a, self));
    if (level > 0)
        add(vx::call(a.global("GateCompressor"), {}));
    return passes;
}

// Appends dynamical decoupling with the chip's gate lengths; an ordinary
// error on the way (no chip, a missing length, a refused length) leaves the
// list as it was.
void add_decoupling(const vx::Args &a, nb::handle self, nb::handle passes) {
    try {
        nb::object global =
            vx::getitem(vx::getattr(vx::getattr(self, "chip_backend"), "chip_info"), vx::str_obj("global_info"));
        nb::object t1g = vx::getitem(global, vx::str_obj("one_qubit_gate_length"));
        nb::object t2g = vx::getitem(global, vx::str_obj("two_qubit_gate_length"));
        nb::object dd = vx::call(a.global("DynamicalDecoupling"), {t1g, t2g});
        vx::check(PyList_Append(passes.ptr(), dd.ptr()));
    } catch (const vx::error_already_set &) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw;
        PyErr_Clear();
    }
}

nb::object transpiler_init(const vx::Args &a) {
    vx::setattr(a[0], "chip_backend", a[1]);
    return nb::none();
}

nb::object transpiler_run(const vx::Args &a) {
    nb::handle self = a[0], target_qubits = a[2], optimize_level = a[3], niter = a[4], use_dd = a[5];
    nb::object qc = read_circuit(a, a[1]);
    check_listed_qubits(qc);
    nb::object backend = vx::getattr(self, "chip_backend");
    nb::object subgraph =
        backend.is_none() ? chain_subgraph(self, qc) : chip_subgraph(a, self, backend, qc, target_qubits);
    nb::object passes = pass_list(a, self, qc, subgraph, level_of(optimize_level), niter);
    if (vx::truth(use_dd))
        add_decoupling(a, self, passes);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(passes.ptr()); ++i)
        qc = vx::call_method(PyList_GET_ITEM(passes.ptr(), i), "run", {qc});
    return qc;
}

constexpr const char *kClassDoc = "The transpilation process involves converting the operations\n"
                                  "    in the circuit to those supported by the device and swapping\n"
                                  "    qubits (via swap gates) within the circuit to overcome limited\n"
                                  "    qubit connectivity.\n"
                                  "    ";

constexpr const char *kInitDoc =
    "Obtain basic information from input quantum circuit.\n"
    "\n"
    "        Args:\n"
    "            qc (QuantumCircuit | str | list): The quantum circuit to be transpiled. Can be a QuantumCircuit "
    "object or OpenQASM 2.0 str or morvo list.\n"
    "\n"
    "            chip_backend (Backend): An instance of the Backend class that contains the information about the "
    "quantum chip to be used for layout selection. Defaults to None\n"
    "\n"
    "        Raises:\n"
    "            TypeError: The quantum circuit format is incorrect.\n"
    "        ";

void bind(nb::handle m, const char *module, const char *name) {
    vx::setattr(m, name, vx::getattr(vx::import(module), name));
}

}  // namespace

NB_MODULE(transpiler, m) {
    vx::set_doc(m, "This module contains the Transpiler class, which is designed to convert quantum circuits into "
                   "formats that are more suitable for execution on hardware backends");
    bind(m, "vexal.circuit.quantumcircuit", "QuantumCircuit");
    bind(m, "vexal.circuit.backend", "Backend");
    bind(m, "vexal.circuit.decompose", "ThreeQubitGateDecompose");
    bind(m, "vexal.circuit.layout", "Layout");
    bind(m, "vexal.circuit.routing", "SabreRouting");
    bind(m, "vexal.circuit.translate", "TranslateToBasisGates");
    bind(m, "vexal.circuit.optimize", "GateCompressor");
    bind(m, "vexal.circuit.schedule", "DynamicalDecoupling");
    bind(m, "vexal.circuit.dag", "split_qubits");

    using vx::Conv;
    nb::object cls =
        vx::make_class(m, "Transpiler", nb::handle(), kClassDoc,
                       {{.name = "__init__",
                         .impl = transpiler_init,
                         .params = {{"self"}, {"chip_backend", Conv::Any, "Backend | None"}},
                         .defaults = {nb::none()},
                         .doc = kInitDoc},
                        {.name = "run",
                         .impl = transpiler_run,
                         .params = {{"self"},
                                    {"qc", Conv::Any, "QuantumCircuit | str | list"},
                                    {"target_qubits", Conv::List, "list"},
                                    {"optimize_level", Conv::Any, nullptr},
                                    {"niter", Conv::Any, nullptr},
                                    {"use_dd", Conv::Any, nullptr}},
                         .defaults = {vx::own(PyList_New(0)), vx::int_obj(1), vx::int_obj(5), nb::bool_(false)}}});
    m.attr("Transpiler") = cls;
}
