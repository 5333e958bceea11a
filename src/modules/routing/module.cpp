// vexal.circuit.routing: the SABRE routing pass.
//
// Every method of SabreRouting works on its own, on the pass object's
// attributes, through the other methods looked up on the object.  `run` of a
// SabreRouting whose methods are its own hands the traversals to the native
// engine (native.cpp), which reproduces the result of these methods exactly.
#include "native.hpp"

#include <cmath>
#include <string>
#include <vector>

namespace routing {

nb::object callm(nb::handle self, const char *name, std::initializer_list<nb::handle> args) {
    PyObject *argv[8];
    size_t n = 0;
    argv[n++] = self.ptr();
    for (nb::handle h : args)
        argv[n++] = h.ptr();
    return vx::own(PyObject_VectorcallMethod(vx::intern(name), argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

nb::object call(nb::handle f, std::initializer_list<nb::handle> args) {
    PyObject *argv[9];
    size_t n = 1;
    for (nb::handle h : args)
        argv[n++] = h.ptr();
    return vx::own(PyObject_Vectorcall(f.ptr(), argv + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

nb::object gate_name(nb::handle node) {
    if (PyUnicode_Check(node.ptr())) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(node.ptr());
        Py_ssize_t i = PyUnicode_FindChar(node.ptr(), '_', 0, len, 1);
        if (i == -2)
            throw vx::error_already_set{};
        return vx::own(PyUnicode_Substring(node.ptr(), 0, i < 0 ? len : i));
    }
    nb::object parts = callm(node, "split", {pystr("_")});
    return vx::own(PySequence_GetItem(parts.ptr(), 0));
}

}  // namespace routing

using namespace routing;

namespace {

PyObject *g_cls = nullptr;    // the SabreRouting class, for super()
PyObject *g_floyd = nullptr;  // networkx's floyd_warshall_numpy
PyObject *g_graph = nullptr;  // networkx's Graph

// floyd_warshall_numpy(subgraph).  On a plain unweighted Graph every
// distance is a hop count, so breadth-first searches give the same array
// (float64, node order, 0 on the diagonal, inf where no path) in O(n*m)
// instead of O(n^3).
nb::object distance_matrix(const vx::Args &a, nb::handle subgraph) {
    nb::handle floyd = a.global("floyd_warshall_numpy");
    if (floyd.ptr() == g_floyd && reinterpret_cast<PyObject *>(Py_TYPE(subgraph.ptr())) == g_graph) {
        nb::object adj = vx::own(PyObject_GetAttrString(subgraph.ptr(), "_adj"));
        if (PyDict_CheckExact(adj.ptr()) && PyDict_GET_SIZE(adj.ptr()) < (1 << 15)) {
            const auto n = static_cast<std::int32_t>(PyDict_GET_SIZE(adj.ptr()));
            // Lists of the items, so that a node's own __eq__ or __hash__
            // changing the graph cannot pull anything from under us.
            nb::object nodes = vx::own(PyDict_Items(adj.ptr()));
            nb::object index = vx::own(PyDict_New());
            for (std::int32_t u = 0; u < n; ++u) {
                PyObject *node = PyTuple_GET_ITEM(PyList_GET_ITEM(nodes.ptr(), u), 0);
                vx::check(PyDict_SetItem(index.ptr(), node, pyint(u).ptr()));
            }
            std::vector<std::int32_t> off{0}, out;
            bool plain = PyDict_GET_SIZE(index.ptr()) == n;
            PyObject *weight = vx::intern("weight");
            for (std::int32_t u = 0; u < n && plain; ++u) {
                PyObject *nbrs = PyTuple_GET_ITEM(PyList_GET_ITEM(nodes.ptr(), u), 1);
                if (!PyDict_CheckExact(nbrs)) {
                    plain = false;
                    break;
                }
                nb::object items = vx::own(PyDict_Items(nbrs));
                for (Py_ssize_t e = 0; e < PyList_GET_SIZE(items.ptr()) && plain; ++e) {
                    PyObject *v = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), e), 0);
                    PyObject *data = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), e), 1);
                    PyObject *j = PyDict_GetItemWithError(index.ptr(), v);
                    if (!j && PyErr_Occurred())
                        throw vx::error_already_set{};
                    plain = j && PyDict_CheckExact(data) && !PyDict_GetItemWithError(data, weight);
                    if (PyErr_Occurred())
                        throw vx::error_already_set{};
                    if (plain)
                        out.push_back(static_cast<std::int32_t>(PyLong_AsLong(j)));
                }
                off.push_back(static_cast<std::int32_t>(out.size()));
            }
            if (plain) {
                nb::object np = vx::import("numpy");
                nb::object arr = getattr(np, "empty")(nb::make_tuple(n, n));
                Py_buffer view;
                vx::check(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
                engines::sabre::hop_distances(n, off, out, static_cast<double *>(view.buf));
                PyBuffer_Release(&view);
                return arr;
            }
        }
    }
    return call(floyd, {subgraph});
}

const char *const kConflict =
    "A conflict occurred during the Sabre algorithm computation. Please contact the developer for assistance.";

[[noreturn]] void raise_fmt(PyObject *type, const char *fmt, std::initializer_list<nb::handle> args) {
    nb::object f = pystr(fmt);
    nb::object msg = callm(f, "format", args);
    PyErr_SetObject(type, msg.ptr());
    throw vx::error_already_set{};
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    vx::check(r);
    return r != 0;
}
bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    vx::check(r);
    return r != 0;
}
bool less(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    vx::check(r);
    return r != 0;
}
nb::object getitem(nb::handle o, nb::handle k) { return vx::own(PyObject_GetItem(o.ptr(), k.ptr())); }
nb::object add(nb::handle a, nb::handle b) { return vx::own(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object mul(nb::handle a, nb::handle b) { return vx::own(PyNumber_Multiply(a.ptr(), b.ptr())); }
nb::object tdiv(nb::handle a, nb::handle b) { return vx::own(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0)
        throw vx::error_already_set{};
    return n;
}
nb::object new_list() { return vx::own(PyList_New(0)); }
void append(nb::handle list, nb::handle item) { vx::check(PyList_Append(list.ptr(), item.ptr())); }
nb::object to_list(nb::handle iterable) { return vx::own(PySequence_List(iterable.ptr())); }

// Unpacks an iterable of exactly two items, with the host's messages.
std::pair<nb::object, nb::object> unpack2(nb::handle seq) {
    nb::object l = to_list(seq);
    Py_ssize_t n = PyList_GET_SIZE(l.ptr());
    if (n > 2)
        vx::value_error("too many values to unpack (expected 2)");
    if (n < 2)
        vx::value_error("not enough values to unpack (expected 2, got " + std::to_string(n) + ")");
    return {nb::borrow(PyList_GET_ITEM(l.ptr(), 0)), nb::borrow(PyList_GET_ITEM(l.ptr(), 1))};
}

// {value: key for key, value in d.items()}
nb::object invert(nb::handle d) {
    nb::object out = vx::own(PyDict_New());
    nb::object items = to_list(callm(d, "items", {}));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        auto [k, v] = unpack2(PyList_GET_ITEM(items.ptr(), i));
        vx::check(PyObject_SetItem(out.ptr(), v.ptr(), k.ptr()));
    }
    return out;
}

nb::object extract(const vx::Args &a, nb::handle node) { return call(a.global("extract_qubits"), {node}); }

bool is_two_qubit(const vx::Args &a, nb::handle name) {
    return contains(a.global("two_qubit_gates_available"), name) ||
           contains(a.global("two_qubit_parameter_gates_available"), name);
}

// ---------------------------------------------------------------- module functions

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
    nb::object m = callm(re, "search", {pystr("\\[([^\\]]*)\\]"), nb::handle(s)});
    nb::object out = new_list();
    if (m.is_none())
        return out;
    nb::object inner = callm(m, "group", {pyint(1)});
    nb::object digits = callm(re, "findall", {pystr("\\d+"), inner});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(digits.ptr()); ++i)
        append(out, vx::own(PyNumber_Long(PyList_GET_ITEM(digits.ptr(), i))));
    return out;
}

bool all_exact_ints(PyObject *d) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyLong_CheckExact(k) || !PyLong_CheckExact(v))
            return false;
    return true;
}

nb::object update_v2p_and_p2v_mapping(const vx::Args &a) {
    nb::object v2p;
    if (all_exact_ints(a.ptr(0)))  // a deep copy of ints is a shallow one
        v2p = vx::own(PyDict_Copy(a.ptr(0)));
    else
        v2p = callm(a.global("copy"), "deepcopy", {a[0]});
    PyObject *t = a.ptr(1);
    nb::object rest = vx::own(PyTuple_GetSlice(t, 1, PyTuple_GET_SIZE(t)));
    auto [vq1, vq2] = unpack2(rest);
    nb::object p2 = getitem(v2p, vq2);
    nb::object p1 = getitem(v2p, vq1);
    vx::check(PyObject_SetItem(v2p.ptr(), vq1.ptr(), p2.ptr()));
    vx::check(PyObject_SetItem(v2p.ptr(), vq2.ptr(), p1.ptr()));
    nb::object p2v = invert(v2p);
    return vx::own(PyTuple_Pack(2, v2p.ptr(), p2v.ptr()));
}

// ---------------------------------------------------------------- construction

const char *const kHeuristics[] = {"basic", "lookahead", "basic_decay", "lookahead_decay"};

nb::object init(const vx::Args &a) {
    nb::handle self = a[0], subgraph = a[1];
    // Options are checked before anything changes.
    if (a.ll(4) < 1)
        raise_fmt(PyExc_ValueError, "iterations must be at least 1, got {}.", {a[4]});
    bool known = false;
    if (PyUnicode_Check(a.ptr(5)))
        for (const char *h : kHeuristics)
            known = known || PyUnicode_CompareWithASCIIString(a.ptr(5), h) == 0;
    if (!known)
        raise_fmt(PyExc_ValueError,
                  "Unknown heuristic {!r}: expected one of 'basic', 'lookahead', 'basic_decay' or "
                  "'lookahead_decay'.",
                  {a[5]});
    const double w = a.f(6);
    if (!std::isfinite(w) || w < 0)
        raise_fmt(PyExc_ValueError, "max_extended_set_weight must be a finite number of at least 0, got {}.", {a[6]});

    nb::object sup =
        vx::own(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), g_cls, self.ptr(), nullptr));
    callm(sup, "__init__", {});
    setattr(self, "coupling_graph", subgraph);
    setattr(self, "distance_matrix", distance_matrix(a, subgraph));
    nb::object graph = getattr(subgraph, "graph");
    nb::object key = pystr("normal_order");
    if (!contains(graph, key)) {
        nb::object nodes = to_list(callm(subgraph, "nodes", {}));
        vx::check(PyObject_SetItem(graph.ptr(), key.ptr(), nodes.ptr()));
    }
    nb::object physical = getitem(graph, key);
    // The physical qubits must be the graph's nodes, each once.
    nb::object node_list = to_list(getattr(subgraph, "nodes"));
    {
        nb::object pl = to_list(physical);
        nb::object ps = vx::own(PySet_New(pl.ptr()));
        nb::object ns = vx::own(PySet_New(node_list.ptr()));
        if (PyList_GET_SIZE(pl.ptr()) != PySet_GET_SIZE(ps.ptr()) || !equal(ps, ns) ||
            PyList_GET_SIZE(pl.ptr()) != PyList_GET_SIZE(node_list.ptr()))
            raise_fmt(PyExc_ValueError,
                      "The normal_order of the coupling graph must list each of its nodes exactly once; "
                      "got {} for the nodes {}.",
                      {physical, node_list});
    }
    setattr(self, "physical_qubits", physical);
    nb::object index = vx::own(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node_list.ptr()); ++i)
        vx::check(PyDict_SetItem(index.ptr(), PyList_GET_ITEM(node_list.ptr(), i), pyint(i).ptr()));
    setattr(self, "physical_qubits_index", index);
    setattr(self, "initial_mapping", a[2]);
    setattr(self, "do_random_choice", a[3]);
    setattr(self, "iterations", a[4]);
    setattr(self, "heuristic", a[5]);
    setattr(self, "extended_successor_set", new_list());
    setattr(self, "max_extended_set_weight", a[6]);
    setattr(self, "decay_parameter", vx::own(PyDict_New()));
    setattr(self, "_cache", call(a.global("OrderedDict"), {}));
    return nb::none();
}

// ---------------------------------------------------------------- DAG queries

nb::object distance_matrix_element(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object index = getattr(self, "physical_qubits_index");
    nb::object i1 = getitem(index, a[1]);
    nb::object i2 = getitem(index, a[2]);
    nb::object key = vx::own(PyTuple_Pack(2, i1.ptr(), i2.ptr()));
    return getitem(getattr(self, "distance_matrix"), key);
}

nb::object dag_successors(const vx::Args &a) { return callm(a[0], "_get_nodes", {a[1], pystr("successors")}); }
nb::object dag_predecessors(const vx::Args &a) { return callm(a[0], "_get_nodes", {a[1], pystr("predecessors")}); }

nb::object get_nodes(const vx::Args &a) {
    nb::handle self = a[0], node = a[1], query_type = a[2];
    nb::object cache = getattr(self, "_cache");
    nb::object ident = vx::own(PyLong_FromVoidPtr(node.ptr()));
    nb::object dag_id = getattr(self, "dag_id");
    nb::object key = vx::own(PyTuple_Pack(3, dag_id.ptr(), ident.ptr(), query_type.ptr()));
    if (contains(cache, key)) {
        callm(cache, "move_to_end", {key});
        return getitem(cache, key);
    }
    nb::object dag = getattr(self, "dag");
    const bool succ = equal(query_type, pystr("successors"));
    nb::object nodes = to_list(callm(dag, succ ? "successors" : "predecessors", {node}));
    vx::check(PyObject_SetItem(cache.ptr(), key.ptr(), nodes.ptr()));
    if (length(cache) > 10000) {
        nb::object popitem = getattr(cache, "popitem");
        nb::object kw = vx::own(Py_BuildValue("{s:O}", "last", Py_False));
        nb::object args = vx::own(PyTuple_New(0));
        nb::object dropped = vx::own(PyObject_Call(popitem.ptr(), args.ptr(), kw.ptr()));
    }
    return nodes;
}

// ---------------------------------------------------------------- initial mapping

nb::object initialize_v2p_p2v(const vx::Args &a) {
    nb::handle self = a[0], virtual_qubits = a[1];
    nb::object mapping = getattr(self, "initial_mapping");
    nb::object physical = getattr(self, "physical_qubits");
    auto nset = [](nb::handle o) {
        nb::object s = vx::own(PySet_New(o.ptr()));
        return PySet_GET_SIZE(s.ptr());
    };
    nb::object order;
    if (PyList_Check(mapping.ptr())) {
        if (nset(mapping) != nset(physical))
            raise_fmt(PyExc_ValueError,
                      "The number of initial_mapping does not match the number of physical qubits.{} {}",
                      {mapping, physical});
        // A mapping that repeats or invents a qubit would leave v2p and p2v
        // disagreeing; a mapping too short would leave qubits unplaced.
        nb::object ms = vx::own(PySet_New(mapping.ptr()));
        nb::object ps = vx::own(PySet_New(physical.ptr()));
        if (length(mapping) != length(physical) || !equal(ms, ps))
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
        if (equal(mapping, pystr("trivial"))) {
            order = nb::borrow(physical);
        } else if (equal(mapping, pystr("random"))) {
            order = callm(a.global("random"), "sample", {physical, pyint(length(physical))});
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
    nb::object v2p = getattr(self, "v2p");
    auto phys = [&](nb::handle q) { return getitem(v2p, q); };
    auto attrs = [&]() { return getitem(getattr(getattr(self, "dag"), "nodes"), node); };
    auto first_qubit = [&]() {
        nb::object qs = extract(a, node);
        return vx::own(PySequence_GetItem(qs.ptr(), 0));
    };
    if (contains(a.global("one_qubit_gates_available"), gate)) {
        nb::object q0 = first_qubit();
        return vx::own(PyTuple_Pack(2, gate.ptr(), phys(q0).ptr()));
    }
    if (contains(a.global("two_qubit_gates_available"), gate)) {
        auto [q0, q1] = unpack2(extract(a, node));
        return vx::own(PyTuple_Pack(3, gate.ptr(), phys(q0).ptr(), phys(q1).ptr()));
    }
    if (contains(a.global("three_qubit_gates_available"), gate))
        raise_fmt(PyExc_ValueError,
                  "Please first decompose the {} gate into a combination of single- and two-qubit gates.", {gate});
    const bool one_param = contains(a.global("one_qubit_parameter_gates_available"), gate);
    if (one_param || contains(a.global("two_qubit_parameter_gates_available"), gate)) {
        nb::object rec = new_list();
        append(rec, gate);
        nb::object qubits;
        if (one_param) {
            qubits = new_list();
            append(qubits, first_qubit());
        } else {
            auto [q0, q1] = unpack2(extract(a, node));
            qubits = new_list();
            append(qubits, q0);
            append(qubits, q1);
        }
        nb::object params = to_list(getitem(attrs(), pystr("params")));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params.ptr()); ++i)
            append(rec, PyList_GET_ITEM(params.ptr(), i));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i)
            append(rec, phys(PyList_GET_ITEM(qubits.ptr(), i)));
        return vx::own(PyList_AsTuple(rec.ptr()));
    }
    if (contains(a.global("functional_gates_available"), gate)) {
        auto phys_list = [&](nb::handle qs) {
            nb::object l = to_list(qs);
            nb::object out = new_list();
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l.ptr()); ++i)
                append(out, phys(PyList_GET_ITEM(l.ptr(), i)));
            return out;
        };
        if (equal(gate, pystr("measure"))) {
            nb::object at = attrs();
            nb::object pl = phys_list(getitem(at, pystr("qubits")));
            nb::object cbits = getitem(at, pystr("cbits"));
            return vx::own(PyTuple_Pack(3, gate.ptr(), pl.ptr(), cbits.ptr()));
        }
        if (equal(gate, pystr("barrier"))) {
            nb::object t = vx::own(PyList_AsTuple(phys_list(extract(a, node)).ptr()));
            return vx::own(PyTuple_Pack(2, gate.ptr(), t.ptr()));
        }
        if (equal(gate, pystr("delay"))) {
            nb::object at = attrs();
            nb::object t = vx::own(PyList_AsTuple(phys_list(getitem(at, pystr("qubits"))).ptr()));
            nb::object duration = getitem(at, pystr("duration"));
            return vx::own(PyTuple_Pack(3, gate.ptr(), duration.ptr(), t.ptr()));
        }
        if (equal(gate, pystr("reset"))) {
            nb::object qs = getitem(attrs(), pystr("qubits"));
            nb::object q0 = vx::own(PySequence_GetItem(qs.ptr(), 0));
            return vx::own(PyTuple_Pack(2, gate.ptr(), phys(q0).ptr()));
        }
    }
    raise_fmt(PyExc_ValueError, "The DAG node {!r} names no known gate ({!r}).", {node, gate});
}

// ---------------------------------------------------------------- front layer

bool heuristic_has(nb::handle self, const char *word) { return contains(getattr(self, "heuristic"), pystr(word)); }

nb::object get_extended_successor_set(const vx::Args &a) {
    nb::handle self = a[0], front_layer = a[1];
    if (!heuristic_has(self, "lookahead"))
        return nb::none();
    nb::object E = vx::own(PySet_New(nullptr));
    const Py_ssize_t bound = length(getattr(self, "v2p"));
    nb::object fl = to_list(front_layer);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fl.ptr()); ++i) {
        nb::object succ = callm(self, "_dag_successors", {PyList_GET_ITEM(fl.ptr(), i)});
        nb::object sl = to_list(succ);
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(sl.ptr()); ++j) {
            PyObject *s = PyList_GET_ITEM(sl.ptr(), j);
            if (is_two_qubit(a, gate_name(s)) && PySet_GET_SIZE(E.ptr()) <= bound)
                vx::check(PySet_Add(E.ptr(), s));
        }
    }
    setattr(self, "extended_successor_set", to_list(E));
    return nb::none();
}

nb::object get_execute_node_list(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object fl = to_list(a[1]);
    nb::object out = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fl.ptr()); ++i) {
        nb::handle node = PyList_GET_ITEM(fl.ptr(), i);
        if (!is_two_qubit(a, gate_name(node))) {
            append(out, node);
            continue;
        }
        auto [vq1, vq2] = unpack2(extract(a, node));
        if (equal(vq1, vq2))
            raise_fmt(PyExc_ValueError, "The two-qubit gate {} acts twice on qubit {}.", {node, vq1});
        nb::object v2p = getattr(self, "v2p");
        nb::object d = callm(self, "_distance_matrix_element", {getitem(v2p, vq1), getitem(v2p, vq2)});
        if (equal(d, pyint(1)))
            append(out, node);
    }
    return out;
}

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

nb::object has_no_correlation_on_front_layer(const vx::Args &a) {
    nb::object front = qubit_set(a, a[2]);
    nb::object mine = vx::own(PySet_New(extract(a, a[1]).ptr()));
    nb::object r = callm(front, "isdisjoint", {mine});
    return r;
}

nb::object py_min(nb::handle x, nb::handle y) { return nb::borrow(less(y, x) ? y : x); }
nb::object py_max(nb::handle x, nb::handle y) { return nb::borrow(less(x, y) ? y : x); }

nb::object get_swap_candidate_list(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object fl = to_list(a[1]);
    nb::object out = new_list();
    nb::object swap = pystr("swap");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fl.ptr()); ++i) {
        auto [vq1, vq2] = unpack2(extract(a, PyList_GET_ITEM(fl.ptr(), i)));
        nb::object v2p = getattr(self, "v2p");
        nb::object p2v = getattr(self, "p2v");
        nb::object graph = getattr(self, "coupling_graph");
        auto neighbours = [&](nb::handle vq) {
            nb::object nl = to_list(callm(graph, "neighbors", {getitem(v2p, vq)}));
            nb::object out_v = new_list();
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(nl.ptr()); ++j)
                append(out_v, getitem(p2v, PyList_GET_ITEM(nl.ptr(), j)));
            return out_v;
        };
        nb::object n1 = neighbours(vq1);
        nb::object n2 = neighbours(vq2);
        for (auto [vq, nl] : {std::pair<nb::handle, nb::handle>{vq1, n1}, {vq2, n2}})
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(nl.ptr()); ++j) {
                nb::handle other = PyList_GET_ITEM(nl.ptr(), j);
                nb::object lo = py_min(vq, other), hi = py_max(vq, other);
                nb::object t = vx::own(PyTuple_Pack(3, swap.ptr(), lo.ptr(), hi.ptr()));
                if (!contains(out, t))
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
    nb::object pl = to_list(getattr(self, "physical_qubits"));
    nb::object one = pyint(1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pl.ptr()); ++i)
        vx::check(PyObject_SetItem(d.ptr(), PyList_GET_ITEM(pl.ptr(), i), one.ptr()));
    setattr(self, "decay_parameter", d);
    return nb::none();
}

nb::object update_decay_parameter(const vx::Args &a) {
    nb::handle self = a[0], t = a[1];
    if (!heuristic_has(self, "decay"))
        return nb::none();
    nb::object vq1 = vx::own(PySequence_GetItem(t.ptr(), 1));
    nb::object vq2 = vx::own(PySequence_GetItem(t.ptr(), 2));
    nb::object v2p = getattr(self, "v2p");
    nb::object pq1 = getitem(v2p, vq1), pq2 = getitem(v2p, vq2);
    nb::object step = vx::own(PyFloat_FromDouble(0.01));
    for (nb::handle pq : {nb::handle(pq1), nb::handle(pq2)}) {
        nb::object d = getattr(self, "decay_parameter");
        nb::object v = vx::own(PyNumber_InPlaceAdd(getitem(d, pq).ptr(), step.ptr()));
        vx::check(PyObject_SetItem(d.ptr(), pq.ptr(), v.ptr()));
    }
    return nb::none();
}

// ---------------------------------------------------------------- scores

// Sum of the distances of the two-qubit nodes under the trial mapping.
nb::object distance_sum(const vx::Args &a, nb::handle trial, nb::handle nodes) {
    nb::object total = pyint(0);
    nb::object l = to_list(nodes);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l.ptr()); ++i) {
        auto [vq1, vq2] = unpack2(extract(a, PyList_GET_ITEM(l.ptr(), i)));
        nb::object d = callm(a[0], "_distance_matrix_element", {getitem(trial, vq1), getitem(trial, vq2)});
        total = add(total, d);
    }
    return total;
}

enum Score { kBasic = 0, kLookahead = 1, kBasicDecay = 2, kLookaheadDecay = 3 };

nb::object score(const vx::Args &a, Score kind) {
    nb::handle self = a[0], swap = a[1], front_layer = a[2];
    nb::object pair = call(a.global("update_v2p_and_p2v_mapping"), {getattr(self, "v2p"), swap});
    nb::object trial = vx::own(PySequence_GetItem(pair.ptr(), 0));
    nb::object size_f = pyint(length(front_layer));
    nb::object h = tdiv(distance_sum(a, trial, front_layer), size_f);
    if (kind == kLookahead || kind == kLookaheadDecay) {
        nb::object E = getattr(self, "extended_successor_set");
        Py_ssize_t ne = length(E);
        nb::object size_e = pyint(ne == 0 ? 1 : ne);
        nb::object w = py_min(getattr(self, "max_extended_set_weight"), tdiv(size_e, size_f));
        h = add(h, mul(w, tdiv(distance_sum(a, trial, E), size_e)));
    }
    if (kind == kBasicDecay || kind == kLookaheadDecay) {
        nb::object decay = getattr(self, "decay_parameter");
        nb::object qa = vx::own(PySequence_GetItem(swap.ptr(), 1));
        nb::object qb = vx::own(PySequence_GetItem(swap.ptr(), 2));
        nb::object m = py_max(getitem(decay, getitem(trial, qa)), getitem(decay, getitem(trial, qb)));
        h = mul(m, h);
    }
    return h;
}

nb::object score_basic(const vx::Args &a) { return score(a, kBasic); }
nb::object score_lookahead(const vx::Args &a) { return score(a, kLookahead); }
nb::object score_basic_decay(const vx::Args &a) { return score(a, kBasicDecay); }
nb::object score_lookahead_decay(const vx::Args &a) { return score(a, kLookaheadDecay); }

const char *const kScoreMethods[] = {"_heuristic_score_basic", "_heuristic_score_lookahead",
                                     "_heuristic_score_basic_decay", "_heuristic_score_lookahead_decay"};

nb::object heuristic_score(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object h = getattr(self, "heuristic");
    for (int i = 0; i < 4; ++i)
        if (equal(h, pystr(kHeuristics[i])))
            return callm(self, kScoreMethods[i], {a[1], a[2]});
    raise_fmt(PyExc_ValueError,
              "Unknown heuristic {!r}: expected one of 'basic', 'lookahead', 'basic_decay' or 'lookahead_decay'.", {h});
}

// ---------------------------------------------------------------- one traversal

nb::object single_sabre_routing(const vx::Args &a) {
    nb::handle self = a[0];
    nb::object dag = getattr(self, "dag");
    nb::object gens = to_list(callm(a.global("nx"), "topological_generations", {dag}));
    nb::object front_layer = PyList_GET_SIZE(gens.ptr()) ? nb::borrow(PyList_GET_ITEM(gens.ptr(), 0)) : new_list();
    if (!PyList_Check(front_layer.ptr()))
        front_layer = to_list(front_layer);
    callm(self, "_reset_decay_parameter", {});
    callm(self, "_get_extended_successor_set", {front_layer});
    nb::object deepcopy = getattr(a.global("copy"), "deepcopy");
    long long nswap = 0, nrepeat = 0;
    nb::object front_layer_repeat = call(deepcopy, {front_layer});
    nb::object out = new_list();
    nb::object collect_execute = new_list();
    while (PyList_GET_SIZE(front_layer.ptr()) > 0) {
        if (equal(front_layer_repeat, front_layer)) {
            ++nrepeat;
        } else {
            front_layer_repeat = call(deepcopy, {front_layer});
            callm(self, "_get_extended_successor_set", {front_layer});
            nrepeat = 0;
        }
        nb::object execute = to_list(callm(self, "_get_execute_node_list", {front_layer}));
        if (PyList_GET_SIZE(execute.ptr()) > 0) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(execute.ptr()); ++i) {
                nb::object node = nb::borrow(PyList_GET_ITEM(execute.ptr(), i));
                append(collect_execute, node);
                callm(front_layer, "remove", {node});
                if (truth(getattr(self, "do_map_node_to_gate")))
                    append(out, callm(self, "_mapping_node_to_gate_info", {node}));
                nb::object succ = to_list(callm(self, "_dag_successors", {node}));
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(succ.ptr()); ++j) {
                    nb::handle s = PyList_GET_ITEM(succ.ptr(), j);
                    if (!truth(callm(self, "_has_no_correlation_on_front_layer", {s, front_layer})))
                        continue;
                    nb::object preds = to_list(callm(self, "_dag_predecessors", {s}));
                    nb::object done = vx::own(PySequence_Concat(front_layer.ptr(), collect_execute.ptr()));
                    bool ready = true;
                    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(preds.ptr()) && ready; ++k)
                        ready = contains(done, PyList_GET_ITEM(preds.ptr(), k));
                    if (ready)
                        append(front_layer, s);
                }
            }
            callm(self, "_reset_decay_parameter", {});
            continue;
        }
        nb::object candidates = to_list(callm(self, "_get_swap_candidate_list", {front_layer}));
        if (PyList_GET_SIZE(candidates.ptr()) == 0)
            raise_fmt(PyExc_ValueError,
                      "No SWAP can bring the gates of the front layer {} together: their physical qubits have "
                      "no coupled neighbour.",
                      {front_layer});
        nb::object scores = vx::own(PyDict_New());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.ptr()); ++i) {
            nb::handle c = PyList_GET_ITEM(candidates.ptr(), i);
            vx::check(PyDict_SetItem(scores.ptr(), c.ptr(), callm(self, "_heuristic_score", {c, front_layer}).ptr()));
        }
        // min() over the values, then every candidate equal to it
        nb::object values = to_list(vx::own(PyDict_Values(scores.ptr())));
        nb::object min_score = nb::borrow(PyList_GET_ITEM(values.ptr(), 0));
        for (Py_ssize_t i = 1; i < PyList_GET_SIZE(values.ptr()); ++i)
            if (less(PyList_GET_ITEM(values.ptr(), i), min_score))
                min_score = nb::borrow(PyList_GET_ITEM(values.ptr(), i));
        nb::object best = new_list();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(scores.ptr(), &pos, &k, &v))
            if (truth(vx::own(PyObject_RichCompare(v, min_score.ptr(), Py_EQ))))  // ==, so a NaN is not itself
                append(best, k);
        if (PyList_GET_SIZE(best.ptr()) == 0)  // the least score is NaN
            raise_fmt(PyExc_ValueError,
                      "The SWAP scores for the front layer {} cannot be compared: the least one is not a number.",
                      {front_layer});
        nb::object chosen;
        if (PyList_GET_SIZE(best.ptr()) > 1 && truth(getattr(self, "do_random_choice")))
            chosen = callm(a.global("random"), "choice", {best});
        else
            chosen = nb::borrow(PyList_GET_ITEM(best.ptr(), 0));
        if (truth(getattr(self, "do_map_node_to_gate"))) {
            nb::object v2p = getattr(self, "v2p");
            nb::object p1 = getitem(v2p, vx::own(PySequence_GetItem(chosen.ptr(), 1)));
            nb::object p2 = getitem(v2p, vx::own(PySequence_GetItem(chosen.ptr(), 2)));
            append(out, vx::own(PyTuple_Pack(3, pystr("swap").ptr(), p1.ptr(), p2.ptr())));
            ++nswap;
        }
        if (nrepeat == 10 * static_cast<long long>(length(getattr(self, "v2p"))))
            vx::value_error(kConflict);
        callm(self, "_update_decay_parameter", {chosen});
        nb::object pair = call(a.global("update_v2p_and_p2v_mapping"), {getattr(self, "v2p"), chosen});
        auto [nv2p, np2v] = unpack2(pair);
        setattr(self, "v2p", nv2p);
        setattr(self, "p2v", np2v);
    }
    return vx::own(Py_BuildValue("(OL)", out.ptr(), nswap));
}

// ---------------------------------------------------------------- run

void print_table(const vx::Args &a, nb::handle init_p2v, nb::handle best_p2v, nb::handle final_p2v, nb::handle nswap) {
    nb::object head = pystr("{:^21} -----> {:^21} -----> {:^21}");
    vx::print({callm(head, "format", {pystr("initial mapping"), pystr("best mapping"), pystr("final mapping")})});
    nb::object row = pystr("{:^10}:{:^10} -----> {:^10}:{:^10} -----> {:^10}:{:^10}");
    nb::object P = pystr("P"), V = pystr("V");
    vx::print({callm(row, "format", {P, V, P, V, P, V})});
    nb::object keys = to_list(init_p2v);
    vx::check(PyList_Sort(keys.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        nb::handle p = PyList_GET_ITEM(keys.ptr(), i);
        vx::print({callm(row, "format", {p, getitem(init_p2v, p), p, getitem(best_p2v, p), p, getitem(final_p2v, p)})});
    }
    (void)a;
    vx::print({callm(pystr("A total of {} swap gates have been added to the circuit."), "format", {nswap})});
}

nb::object run(const vx::Args &a) {
    nb::handle self = a[0], qc = a[1];
    nb::object iterations_o = getattr(self, "iterations");
    const long long iterations = PyLong_AsLongLong(vx::own(PyNumber_Index(iterations_o.ptr())).ptr());
    if (iterations == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    if (iterations < 1)
        raise_fmt(PyExc_ValueError, "iterations must be at least 1, got {}.", {iterations_o});
    // Cache keys hold node identities, which a new DAG may reuse.
    callm(native::lean::raw_cache(self), "clear", {});

    nb::object groups = to_list(call(a.global("split_qubits"), {qc}));
    nb::object virtual_qubits = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.ptr()); ++i) {
        nb::object g = to_list(PyList_GET_ITEM(groups.ptr(), i));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(g.ptr()); ++j)
            append(virtual_qubits, PyList_GET_ITEM(g.ptr(), j));
    }
    auto [v2p, p2v] = unpack2(callm(self, "_initialize_v2p_p2v", {virtual_qubits}));
    setattr(self, "v2p", v2p);
    setattr(self, "p2v", p2v);
    nb::object init_p2v = invert(v2p);

    // The emitting traversal must walk the circuit forwards: an even count
    // gets one more forward traversal.
    const long long total = iterations % 2 == 0 ? iterations + 1 : iterations;
    nb::object result, best_p2v;
    setattr(self, "do_map_node_to_gate", nb::handle(Py_False));
    if (!native::lean::try_run(a, self, qc, total, result, best_p2v)) {
        nb::handle qc2dag = a.global("qc2dag");
        nb::object dag = nb::borrow(qc2dag)(qc, nb::arg("show_qubits") = false);
        nb::object rev_qc = callm(qc, "deepcopy", {});
        callm(getattr(rev_qc, "gates"), "reverse", {});
        nb::object rev_dag = nb::borrow(qc2dag)(rev_qc, nb::arg("show_qubits") = false);
        if (!native::try_run(a, self, dag, rev_dag, total, result, best_p2v)) {
            for (long long idx = 0; idx < total; ++idx) {
                if (idx == total - 1)
                    setattr(self, "do_map_node_to_gate", nb::handle(Py_True));
                const bool forward = idx % 2 == 0;
                setattr(self, "dag_id", pystr(forward ? "forward" : "reverse"));
                setattr(self, "dag", forward ? dag : rev_dag);
                if (idx == total - 1)
                    best_p2v = invert(getattr(self, "v2p"));
                result = callm(self, "_single_sabre_routing", {});
            }
        }
    }
    if (total == 1)
        best_p2v = init_p2v;
    auto [gates, nswap] = unpack2(result);
    nb::object final_p2v = invert(getattr(self, "v2p"));
    print_table(a, init_p2v, best_p2v, final_p2v, nswap);

    nb::object physical = getattr(self, "physical_qubits");
    nb::object top = call(a.global("max"), {physical});
    nb::object nq = add(top, pyint(1));
    nb::object new_qc = call(a.global("QuantumCircuit"), {nq, getattr(qc, "ncbits")});
    setattr(new_qc, "gates", gates);
    setattr(new_qc, "params_value", getattr(qc, "params_value"));
    setattr(new_qc, "qubits", physical);
    return new_qc;
}

}  // namespace

NB_MODULE(routing, m) {
    nb::object collections = vx::import("collections");
    m.attr("OrderedDict") = collections.attr("OrderedDict");
    m.attr("copy") = vx::import("copy");
    m.attr("random") = vx::import("random");
    nb::object nx = vx::import("networkx");
    m.attr("nx") = nx;
    m.attr("floyd_warshall_numpy") = nx.attr("floyd_warshall_numpy");
    g_floyd = nb::object(nx.attr("floyd_warshall_numpy")).release().ptr();
    g_graph = nb::object(nx.attr("Graph")).release().ptr();
    m.attr("Literal") = vx::import("typing").attr("Literal");
    nb::object gw = vx::import("vexal.circuit.gatework");
    for (const char *t :
         {"one_qubit_gates_available", "two_qubit_gates_available", "one_qubit_parameter_gates_available",
          "two_qubit_parameter_gates_available", "three_qubit_gates_available", "functional_gates_available"})
        m.attr(t) = gw.attr(t);
    m.attr("QuantumCircuit") = vx::import("vexal.circuit.quantumcircuit").attr("QuantumCircuit");
    nb::object dagmod = vx::import("vexal.circuit.dag");
    m.attr("qc2dag") = dagmod.attr("qc2dag");
    m.attr("split_qubits") = dagmod.attr("split_qubits");
    nb::object TranspilerPass = vx::import("vexal.circuit.keystage").attr("TranspilerPass");
    m.attr("TranspilerPass") = TranspilerPass;
    m.attr("re") = vx::import("re");

    vx::def(m, {.name = "extract_qubits", .impl = extract_qubits, .params = {{"node_name", vx::Conv::Str}}});
    vx::def(m, {.name = "update_v2p_and_p2v_mapping",
                .impl = update_v2p_and_p2v_mapping,
                .params = {{"v2p", vx::Conv::Dict}, {"swap_gate_info", vx::Conv::Tuple}},
                .return_annotation = "tuple[dict, dict]"});

    using vx::Conv;
    const vx::Param self{"self", Conv::Any, nullptr};
    const vx::Param fl{"front_layer", Conv::List};
    const vx::Param sgi{"swap_gate_info", Conv::Tuple};
    const vx::Param node{"node", Conv::Str};
    nb::object cls = vx::make_class(
        m, "SabreRouting", nb::make_tuple(TranspilerPass),
        "SABRE-based routing pass for quantum circuit transpilation.\n\n"
        "    Places the circuit's qubits on the physical qubits of a coupling graph and inserts\n"
        "    SWAP gates so that every two-qubit gate acts on a coupled pair.\n    ",
        {
            {.name = "__init__",
             .impl = init,
             .params = {self,
                        {"subgraph", Conv::Any, "nx.Graph"},
                        {"initial_mapping", Conv::Any, "Literal['random', 'trivial'] | list"},
                        {"do_random_choice", Conv::Bool},
                        {"iterations", Conv::Int},
                        {"heuristic", Conv::Any, "Literal['basic', 'lookahead', 'basic_decay', 'lookahead_decay']"},
                        {"max_extended_set_weight", Conv::Float}},
             .defaults = {pystr("trivial"), nb::borrow(Py_False), pyint(5), pystr("lookahead_decay"),
                          vx::own(PyFloat_FromDouble(0.5))}},
            {.name = "_distance_matrix_element",
             .impl = distance_matrix_element,
             .params = {self, {"pq1", Conv::Int}, {"pq2", Conv::Int}}},
            {.name = "_dag_successors", .impl = dag_successors, .params = {self, node}},
            {.name = "_dag_predecessors", .impl = dag_predecessors, .params = {self, node}},
            {.name = "_get_nodes",
             .impl = get_nodes,
             .params = {self, node, {"query_type", Conv::Any, "Literal['successors', 'predecessors']"}}},
            {.name = "_initialize_v2p_p2v",
             .impl = initialize_v2p_p2v,
             .params = {self, {"virtual_qubits", Conv::List}}},
            {.name = "_mapping_node_to_gate_info", .impl = mapping_node_to_gate_info, .params = {self, node}},
            {.name = "_get_extended_successor_set", .impl = get_extended_successor_set, .params = {self, fl}},
            {.name = "_get_execute_node_list", .impl = get_execute_node_list, .params = {self, fl}},
            {.name = "_has_no_correlation_on_front_layer",
             .impl = has_no_correlation_on_front_layer,
             .params = {self, node, fl}},
            {.name = "_get_swap_candidate_list", .impl = get_swap_candidate_list, .params = {self, fl}},
            {.name = "_reset_decay_parameter", .impl = reset_decay_parameter, .params = {self}},
            {.name = "_update_decay_parameter",
             .impl = update_decay_parameter,
             .params = {self, {"min_score_swap_gate_info", Conv::Tuple}}},
            {.name = "_heuristic_score_basic", .impl = score_basic, .params = {self, sgi, fl}},
            {.name = "_heuristic_score_lookahead", .impl = score_lookahead, .params = {self, sgi, fl}},
            {.name = "_heuristic_score_basic_decay", .impl = score_basic_decay, .params = {self, sgi, fl}},
            {.name = "_heuristic_score_lookahead_decay", .impl = score_lookahead_decay, .params = {self, sgi, fl}},
            {.name = "_heuristic_score", .impl = heuristic_score, .params = {self, sgi, fl}},
            {.name = "_single_sabre_routing", .impl = single_sabre_routing, .params = {self}},
            {.name = "run", .impl = run, .params = {self, {"qc", Conv::Any, "QuantumCircuit"}}},
        });
    m.attr("SabreRouting") = cls;
    native::remember(m, cls);
    g_cls = cls.release().ptr();  // lives as long as the process
}
