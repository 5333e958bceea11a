// vexal.circuit.layout: the module body, the Layout class and the path
// choice of its collections; see layout.hpp.
#include "fast.hpp"

#include <limits>

namespace layout {

nb::object call_kw(nb::handle f, std::initializer_list<nb::handle> args,
                   std::initializer_list<std::pair<const char *, nb::handle>> kwargs) {
    PyObject *argv[12];
    size_t n = 1;
    for (nb::handle h : args)
        argv[n++] = h.ptr();
    const size_t npos = n - 1;
    nb::object names = vx::own(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t k = 0;
    for (const auto &[name, value] : kwargs) {
        PyObject *s = vx::intern(name);
        Py_INCREF(s);
        PyTuple_SET_ITEM(names.ptr(), k++, s);
        argv[n++] = value.ptr();
    }
    return vx::own(PyObject_Vectorcall(f.ptr(), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       kwargs.size() ? names.ptr() : nullptr));
}

nb::object sorted_list(nb::handle items, nb::handle key, bool reverse) {
    nb::object lst = vx::to_list(items);
    call_kw(vx::getattr(lst, "sort"), {}, {{"key", key}, {"reverse", nb::handle(reverse ? Py_True : Py_False)}});
    return lst;
}

nb::object item_getter(Py_ssize_t i) {
    return vx::call(vx::getattr(vx::import("operator"), "itemgetter"), {vx::int_obj(i)});
}

long long clamped(const vx::Args &a, int i) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(a[i].ptr(), &overflow);
    if (overflow)
        return overflow > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
    if (v == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    return v;
}

nb::object take_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw vx::error_already_set{};
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    nb::object type = nb::steal(t), value = nb::steal(v), trace = nb::steal(tb);
    if (trace.is_valid())
        PyException_SetTraceback(value.ptr(), trace.ptr());
    return value;
}

nb::object concat(std::initializer_list<nb::handle> parts) {
    nb::object out = vx::str_obj("");
    for (nb::handle p : parts) {
        nb::object s = PyUnicode_CheckExact(p.ptr()) ? nb::borrow(p) : vx::own(PyObject_Str(p.ptr()));
        out = vx::own(PyUnicode_Concat(out.ptr(), s.ptr()));
    }
    return out;
}

void raise_value(nb::handle msg) {
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw vx::error_already_set{};
}

nb::object pool_size(nb::handle self) {
    nb::object n = vx::getattr(self, "ncore");
    if (n.is_none())
        return n;
    nb::object one = vx::int_obj(1);
    if (vx::less(n, one))
        return one;  // a pool needs one process at least
    return n;
}

// The pool's `map`.  Ctrl-C reaches the workers as well as the caller: a
// worker it stops loses its task, and a caller blocked in `map` (a wait that
// a signal landing on another of its threads does not wake) would then wait
// for ever while new workers go on.  So with multiprocessing's own Pool the
// workers ignore SIGINT and the caller waits for the same result in short
// steps, at which the interrupt is raised; the pool is terminated on the way
// out.  Any other Pool gets its own `map`.
nb::object interruptible_map(const vx::Args &a, nb::handle pool, nb::handle func, nb::handle iterable) {
    if (!vx::is_original(a, "Pool"))
        return call_method(pool, "map", {func, iterable});
    nb::object pending = call_method(pool, "map_async", {func, iterable});
    nb::object step = nb::float_(0.05);
    while (!vx::truth(call_method(pending, "ready", {})))
        call_method(pending, "wait", {step});
    return call_method(pending, "get", {});
}

nb::object pool_map(const vx::Args &a, nb::handle self, nb::handle func, nb::handle iterable) {
    nb::object processes = pool_size(self);
    nb::object pool;
    if (vx::is_original(a, "Pool")) {
        nb::object signal = vx::import("signal");
        nb::object initargs = nb::make_tuple(vx::getattr(signal, "SIGINT"), vx::getattr(signal, "SIG_IGN"));
        pool =
            call_kw(a.global("Pool"), {},
                    {{"processes", processes}, {"initializer", vx::getattr(signal, "signal")}, {"initargs", initargs}});
    } else {
        pool = call_kw(a.global("Pool"), {}, {{"processes", processes}});
    }
    nb::object entered = call_method(pool, "__enter__", {});
    nb::object res;
    try {
        res = interruptible_map(a, entered, func, iterable);
    } catch (vx::error_already_set &) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        nb::object type = nb::steal(t), value = nb::steal(v), trace = nb::steal(tb);
        if (value.is_valid() && trace.is_valid())
            PyException_SetTraceback(value.ptr(), trace.ptr());
        nb::object none = nb::none();
        call_method(pool, "__exit__",
                    {type, value.is_valid() ? nb::handle(value) : nb::handle(none),
                     trace.is_valid() ? nb::handle(trace) : nb::handle(none)});
        PyErr_Restore(type.release().ptr(), value.release().ptr(), trace.release().ptr());
        throw;
    }
    nb::object none = nb::none();
    call_method(pool, "__exit__", {none, none, none});
    return res;
}

// ---------------------------------------------------------------- the path choice

namespace {

// What each level of the collections goes through besides the levels below
// it: Layout methods an instance must not override and module names that
// must still hold the package's objects.
struct LevelNeeds {
    std::initializer_list<const char *> methods, names;
};
const LevelNeeds kLevelNeeds[] = {
    // Level::Start
    {{"Layout._get_node_connect_dict", "Layout._get_node_neighbours"}, {"combinations"}},
    // Level::Sets
    {{"Layout.get_one_node_subgraph"}, {"Pool", "partial"}},
    // Level::Infos
    {{"Layout.collect_all_subgraph_in_parallel", "Layout.get_one_subgraph_info"},
     {"np", "np.array", "np.mean", "np.var", "nx", "nx.shortest_path", "nx.simple_cycles"}},
    // Level::Classes
    {{"Layout.collect_all_subgraph_info_in_parallel"}, {}},
    // Level::Ranks
    {{"Layout.classify_all_subgraph_according_topology"}, {"zip_longest"}},
};

// Whether what a level goes through is the package's own.
bool own_chain(const vx::Args &a, nb::handle self, Level level) {
    for (int l = 0; l <= static_cast<int>(level); ++l) {
        for (const char *path : kLevelNeeds[l].methods)
            if (!vx::is_original_method(a.func()->globals, self, path))
                return false;
        for (const char *name : kLevelNeeds[l].names)
            if (!vx::is_original(a, name))
                return false;
    }
    return true;
}

}  // namespace

bool beyond_chip(const vx::Args &a, nb::handle self, Level level, nb::handle nqubits) {
    if (!PyLong_Check(nqubits.ptr()) || !own_chain(a, self, level))
        return false;
    nb::object graph = vx::getattr(self, "graph");
    const Py_ssize_t count = PyObject_Length(graph.ptr());
    if (count < 0) {  // a graph that cannot tell: the methods run
        vx::clear_ordinary_error();
        return false;
    }
    const int more = PyObject_RichCompareBool(nqubits.ptr(), vx::int_obj(count).ptr(), Py_GT);
    vx::check(more);
    return more != 0;
}

FastPtr fast_result(const vx::Args &a, nb::handle self, Level level, long long nqubits) {
    vx::PathChoice path("Layout");
    if (!path.require(own_chain(a, self, level),
                      "a Layout method or a name the method chain goes through is not the package's own"))
        return nullptr;
    return compute(a, self, level, nqubits, path);
}

void remember(nb::handle module, nb::handle cls) {
    (void)cls;
    for (const LevelNeeds &needs : kLevelNeeds) {
        for (const char *path : needs.methods)
            vx::keep_original(module, path);
        for (const char *name : needs.names)
            vx::keep_original(module, name);
    }
    vx::keep_original(module, "nx.Graph");  // the chip graph type that the engines and the cycle search read
}

}  // namespace layout

using namespace layout;

namespace {

const char *const kModuleDoc =
    " \nThis module contains the Layout class, which is designed to select suitable layouts \n"
    "for quantum circuits on hardware backends.\n";

const char *const kClassDoc =
    "\n    Responsible for selecting suitable qubit layouts from a given chip for a quantum circuit.\n\n"
    "    This class generates qubit layouts based on the required number of qubits, performance metrics, and the "
    "topology of the chip. It is designed to help map and execute quantum circuits on specific quantum hardware.\n    ";

}  // namespace

NB_MODULE(layout, m) {
    vx::set_doc(m, kModuleDoc);
    m.attr("os") = vx::import("os");
    m.attr("copy") = vx::import("copy");
    m.attr("nx") = vx::import("networkx");
    m.attr("np") = vx::import("numpy");
    m.attr("Literal") = vx::import("typing").attr("Literal");
    nb::object itertools = vx::import("itertools");
    m.attr("combinations") = itertools.attr("combinations");
    m.attr("zip_longest") = itertools.attr("zip_longest");
    m.attr("product") = itertools.attr("product");
    m.attr("Pool") = vx::import("multiprocessing").attr("Pool");
    m.attr("partial") = vx::import("functools").attr("partial");
    m.attr("Backend") = vx::import("vexal.circuit.backend").attr("Backend");
    m.attr("QuantumCircuit") = vx::import("vexal.circuit.quantumcircuit").attr("QuantumCircuit");
    m.attr("split_qubits") = vx::import("vexal.circuit.dag").attr("split_qubits");

    using vx::Conv;
    const vx::Param self{"self", Conv::Any, nullptr};
    const vx::Param nq{"nqubits", Conv::Int};
    const vx::Param nq_any{"nqubits", Conv::Any, nullptr};
    const vx::Param printdetails{"printdetails", Conv::Bool};
    auto s = [](const char *text) { return vx::str_obj(text); };

    nb::object criteria = vx::own(PyDict_New());
    criteria["key"] = s("fidelity_var");
    criteria["topology"] = s("linear");

    nb::object cls = vx::make_class(
        m, "Layout", nb::handle(), kClassDoc,
        {
            {.name = "__init__", .impl = init, .params = {self, {"chip_backend", Conv::Any, "Backend"}}},
            {.name = "_get_node_neighbours", .impl = get_node_neighbours, .params = {self, {"node", Conv::Int}}},
            {.name = "_get_node_connect_dict",
             .impl = get_node_connect_dict,
             .params = {self, {"node", Conv::Int}, nq}},
            {.name = "get_one_node_subgraph", .impl = get_one_node_subgraph, .params = {self, {"node", Conv::Int}, nq}},
            {.name = "collect_all_subgraph_in_parallel",
             .impl = collect_all_subgraph_in_parallel,
             .params = {self, nq_any}},
            {.name = "get_one_subgraph_info",
             .impl = get_one_subgraph_info,
             .params = {self, {"nodes", Conv::Any, "tuple | list"}}},
            {.name = "collect_all_subgraph_info_in_parallel",
             .impl = collect_all_subgraph_info_in_parallel,
             .params = {self, nq}},
            {.name = "select_subgraph_by_topology",
             .impl = select_subgraph_by_topology,
             .params = {self, nq, {"target_topology", Conv::Str}, printdetails},
             .defaults = {nb::borrow(Py_True)}},
            {.name = "classify_all_subgraph_according_topology",
             .impl = classify_all_subgraph_according_topology,
             .params = {self, nq},
             .return_annotation = "tuple[list, list, list, list]"},
            {.name = "sort_subgraph_according_mean_fidelity",
             .impl = sort_subgraph_according_mean_fidelity,
             .params = {self, nq, {"num", Conv::Int}, printdetails},
             .defaults = {vx::int_obj(1), nb::borrow(Py_True)}},
            {.name = "sort_subgraph_according_var_fidelity",
             .impl = sort_subgraph_according_var_fidelity,
             .params = {self, nq, {"num", Conv::Int}, printdetails},
             .defaults = {vx::int_obj(1), nb::borrow(Py_True)}},
            {.name = "select_one_qubit_from_backend", .impl = select_one_qubit_from_backend, .params = {self}},
            {.name = "select_few_qubits_from_backend",
             .impl = select_few_qubits_from_backend,
             .params = {self,
                        nq,
                        {"key", Conv::Any, "Literal['fidelity_mean', 'fidelity_var']"},
                        {"topology", Conv::Any, "Literal['linear', 'nonlinear']"},
                        printdetails},
             .defaults = {s("fidelity_var"), s("linear"), nb::borrow(Py_False)}},
            {.name = "_get_largest_component", .impl = get_largest_component, .params = {self}},
            {.name = "select_much_qubits_from_backend",
             .impl = select_much_qubits_from_backend,
             .params = {self, nq_any}},
            {.name = "select_qubits_by_local_algorithm",
             .impl = select_qubits_by_local_algorithm,
             .params = {self, nq_any, {"select_criteria", Conv::Any, nullptr}}},
            {.name = "select_layout",
             .impl = select_layout,
             .params = {self,
                        {"qc", Conv::Any, "QuantumCircuit"},
                        {"target_qubits", Conv::List},
                        {"use_chip_priority", Conv::Bool},
                        {"select_criteria", Conv::Dict},
                        {"skip_split_qc", Conv::Bool}},
             .defaults = {vx::own(PyList_New(0)), nb::borrow(Py_True), criteria, nb::borrow(Py_True)}},
        });
    m.attr("Layout") = cls;
    remember(m, cls);
}
