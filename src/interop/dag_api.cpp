// The side of gatework's offer that every module compiles in; see dag_api.hpp.
#include "dag_api.hpp"

#include "originals.hpp"

#include <climits>
#include <unordered_map>

namespace vx::dagapi {

// Loads node and edge lists of tuples into an empty DiGraph's dictionaries:
// the same dictionaries, in the same order, that add_nodes_from and
// add_edges_from leave behind.
void fill_digraph(nb::handle g, PyObject *nodes, PyObject *edges) {
    GcPause pause;  // many containers, no cycle
    nb::object node = getattr(g, "_node"), succ = getattr(g, "_succ"), pred = getattr(g, "_pred");
    PyObject *N = node.ptr(), *S = succ.ptr(), *P = pred.ptr();
    if (!PyDict_CheckExact(N) || !PyDict_CheckExact(S) || !PyDict_CheckExact(P))
        type_error("unexpected DiGraph internals");
    auto ensure = [&](PyObject *n) -> PyObject * {  // the node's attribute dict
        PyObject *d = PyDict_GetItemWithError(N, n);
        if (d)
            return d;
        if (PyErr_Occurred())
            throw error_already_set{};
        nb::object s = own(PyDict_New()), p = own(PyDict_New()), a = own(PyDict_New());
        check(PyDict_SetItem(S, n, s.ptr()));
        check(PyDict_SetItem(P, n, p.ptr()));
        check(PyDict_SetItem(N, n, a.ptr()));
        return a.ptr();
    };
    const Py_ssize_t nn = PyList_GET_SIZE(nodes);
    for (Py_ssize_t i = 0; i < nn; ++i) {
        PyObject *t = PyList_GET_ITEM(nodes, i);
        PyObject *name = PyTuple_GET_ITEM(t, 0), *attrs = PyTuple_GET_ITEM(t, 1);
        check(PyDict_Update(ensure(name), attrs));
    }
    const Py_ssize_t ne = PyList_GET_SIZE(edges);
    for (Py_ssize_t i = 0; i < ne; ++i) {
        PyObject *t = PyList_GET_ITEM(edges, i);
        PyObject *u = PyTuple_GET_ITEM(t, 0), *v = PyTuple_GET_ITEM(t, 1), *dd = PyTuple_GET_ITEM(t, 2);
        ensure(u);
        ensure(v);
        PyObject *su = PyDict_GetItemWithError(S, u);  // borrowed, exists
        if (!su)
            throw error_already_set{};
        PyObject *data = PyDict_GetItemWithError(su, v);
        nb::object fresh;
        if (!data) {
            if (PyErr_Occurred())
                throw error_already_set{};
            fresh = own(PyDict_New());
            data = fresh.ptr();
        }
        nb::object keep = nb::borrow(data);
        check(PyDict_Update(data, dd));
        check(PyDict_SetItem(su, v, data));
        PyObject *pv = PyDict_GetItemWithError(P, v);
        if (!pv)
            throw error_already_set{};
        check(PyDict_SetItem(pv, u, data));
    }
}

void wrong_gate_type(PyObject *name) { value_error("wrong gate type " + describe(name, false)); }

nb::object node_gate(nb::handle node) {
    if (PyUnicode_CheckExact(node.ptr())) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(node.ptr());
        const Py_ssize_t i = PyUnicode_FindChar(node.ptr(), '_', 0, len, 1);
        if (i == -2)
            throw error_already_set{};
        return own(PyUnicode_Substring(node.ptr(), 0, i < 0 ? len : i));
    }
    nb::object parts = call_method(node, "split", {str_obj("_")});
    return own(PySequence_GetItem(parts.ptr(), 0));
}

nb::object rebuilt_record(PyObject *rec, RecordKind kind, Py_ssize_t part) {
    PyObject *name = PyTuple_GET_ITEM(rec, 0);
    auto tuple_of = [](PyObject *seq) { return own(PySequence_Tuple(seq)); };
    switch (kind) {
    case RecordKind::Measure: {
        nb::object q = own(PyList_New(1)), c = own(PyList_New(1));
        PyList_SET_ITEM(q.ptr(), 0, own(PySequence_GetItem(PyTuple_GET_ITEM(rec, 1), part)).release().ptr());
        PyList_SET_ITEM(c.ptr(), 0, own(PySequence_GetItem(PyTuple_GET_ITEM(rec, 2), part)).release().ptr());
        return nb::make_tuple(nb::handle(name), q, c);
    }
    case RecordKind::Barrier: return nb::make_tuple(nb::handle(name), tuple_of(PyTuple_GET_ITEM(rec, 1)));
    case RecordKind::Delay:
        return nb::make_tuple(nb::handle(name), nb::handle(PyTuple_GET_ITEM(rec, 1)),
                              tuple_of(PyTuple_GET_ITEM(rec, 2)));
    default: {
        const Py_ssize_t len = PyTuple_GET_SIZE(rec);
        nb::object out = own(PyTuple_New(len));
        for (Py_ssize_t i = 0; i < len; ++i)
            PyTuple_SET_ITEM(out.ptr(), i, Py_NewRef(PyTuple_GET_ITEM(rec, i)));
        return out;
    }
    }
}

namespace {
// items [from, to) of a tuple are immutable scalars
bool scalars(PyObject *t, Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t i = from; i < to; ++i)
        if (!immutable_scalar(PyTuple_GET_ITEM(t, i)))
            return false;
    return true;
}
}  // namespace

bool shareable_record(PyObject *rec, RecordKind kind) {
    switch (kind) {
    case RecordKind::Measure: return false;
    case RecordKind::Barrier:
    case RecordKind::Delay: {
        const Py_ssize_t at = kind == RecordKind::Delay ? 2 : 1;
        PyObject *qubits = PyTuple_GET_SIZE(rec) == at + 1 ? PyTuple_GET_ITEM(rec, at) : nullptr;
        return qubits && PyTuple_CheckExact(qubits) && scalars(qubits, 0, PyTuple_GET_SIZE(qubits)) &&
               scalars(rec, 0, at);
    }
    default: return scalars(rec, 0, PyTuple_GET_SIZE(rec));
    }
}

bool read_digraph(nb::handle g, PyObject *digraph, DigraphArrays &out) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(g.ptr())) != digraph)
        return false;
    PyObject *dict = PyObject_GenericGetDict(g.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    nb::object holder = nb::steal(dict);
    PyObject *fields[3];
    const char *names[3] = {"_node", "_succ", "_pred"};
    for (int i = 0; i < 3; ++i) {
        fields[i] = PyDict_GetItemString(dict, names[i]);
        if (!fields[i] || !PyDict_CheckExact(fields[i]))
            return false;
    }
    PyObject *node = fields[0], *succ = fields[1], *pred = fields[2];
    const Py_ssize_t n = PyDict_GET_SIZE(node);
    if (n != PyDict_GET_SIZE(succ) || n != PyDict_GET_SIZE(pred) || n >= (Py_ssize_t{1} << 30))
        return false;
    out = DigraphArrays{};
    out.node_map = nb::borrow(node), out.succ_map = nb::borrow(succ), out.pred_map = nb::borrow(pred);
    out.nodes.reserve(static_cast<std::size_t>(n));
    out.attrs.reserve(static_cast<std::size_t>(n));
    // a node's index by its object; the keys of one graph are one set of
    // objects when networkx built it, and otherwise equal by value
    std::unordered_map<PyObject *, std::int32_t> index;
    index.reserve(static_cast<std::size_t>(n));
    std::vector<PyObject *> succ_dicts;
    succ_dicts.reserve(static_cast<std::size_t>(n));
    Py_ssize_t pn = 0, ps = 0, pp = 0;
    PyObject *key, *attrs, *skey, *sval, *pkey, *pval;
    while (PyDict_Next(node, &pn, &key, &attrs)) {
        if (!PyDict_Next(succ, &ps, &skey, &sval) || !PyDict_Next(pred, &pp, &pkey, &pval) || skey != key ||
            pkey != key || !(PyUnicode_CheckExact(key) || PyLong_CheckExact(key)) || !PyDict_CheckExact(attrs) ||
            !PyDict_CheckExact(sval) || !PyDict_CheckExact(pval))
            return false;
        index.emplace(key, static_cast<std::int32_t>(out.nodes.size()));
        out.nodes.push_back(nb::borrow(key));
        out.attrs.push_back(nb::borrow(attrs));
        out.npred.push_back(static_cast<std::int32_t>(PyDict_GET_SIZE(pval)));
        succ_dicts.push_back(sval);
    }
    nb::object by_value;  // made on the first successor that is not a node object itself
    for (PyObject *sd : succ_dicts) {
        Py_ssize_t pos = 0;
        PyObject *v, *data;
        while (PyDict_Next(sd, &pos, &v, &data)) {
            auto it = index.find(v);
            if (it != index.end()) {
                out.succ.push_back(it->second);
                continue;
            }
            if (!(PyUnicode_CheckExact(v) || PyLong_CheckExact(v)))
                return false;
            if (!by_value.is_valid()) {
                by_value = own(PyDict_New());
                for (std::size_t i = 0; i < out.nodes.size(); ++i)
                    check(PyDict_SetItem(by_value.ptr(), out.nodes[i].ptr(), int_obj(static_cast<long long>(i)).ptr()));
            }
            PyObject *j = PyDict_GetItemWithError(by_value.ptr(), v);
            if (!j) {
                clear_ordinary_error();  // a node's own __eq__ may run
                return false;
            }
            out.succ.push_back(static_cast<std::int32_t>(PyLong_AsLong(j)));
        }
        out.succ_off.push_back(static_cast<std::int32_t>(out.succ.size()));
    }
    return true;
}

const Api *from_function(PyObject *f) { return function_offer<Api>(f, kCapsuleName, kVersion); }

namespace {
PyObject *gatework_module() {
    static PyObject *m = nullptr;  // kept for the life of the process, never released at exit
    if (!m)
        m = import("vexal.circuit.gatework").release().ptr();
    return m;
}
}  // namespace

const Api *from_gatework() {
    static const Api *found = nullptr;  // lives in gatework, which stays loaded
    if (found)
        return found;
    gatework_module();  // loading gatework publishes its offer on the package
    nb::object pkg = import("vexal.circuit");
    nb::object cap = nb::steal(PyObject_GetAttrString(pkg.ptr(), kPackageAttribute));
    if (!cap.is_valid() || !PyCapsule_IsValid(cap.ptr(), kCapsuleName)) {
        PyErr_Clear();
        return nullptr;
    }
    auto *api = static_cast<const Api *>(PyCapsule_GetPointer(cap.ptr(), kCapsuleName));
    if (api && api->version == kVersion)
        found = api;
    return found;
}

const Api &gatework_api() {
    const Api *api = from_gatework();
    if (!api)
        raise(PyExc_ImportError, "vexal.circuit.gatework offers no gate classifier");
    return *api;
}

namespace {
// A circuit's count (an index) as a long long, saturated; -1 for a negative one.
long long count_of(nb::handle value) {
    nb::object n = own(PyNumber_Index(value.ptr()));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw error_already_set{};
    if (overflow)
        v = overflow > 0 ? LLONG_MAX : -1;
    return v < 0 ? -1 : v;
}
}  // namespace

void check_circuit(GateKinds &kinds, nb::handle qc, PyObject *gates, const CheckRules &rules) {
    const long long nqubits = count_of(getattr(qc, "nqubits"));
    CheckRules r = rules;
    // a circuit-like object without classical bits has none to check against
    nb::object nc = nb::steal(PyObject_GetAttrString(qc.ptr(), "ncbits"));
    if (nc.is_valid())
        r.ncbits = count_of(nc);
    else if (PyErr_ExceptionMatches(PyExc_AttributeError))
        PyErr_Clear();
    else
        throw error_already_set{};
    check_records(kinds, gates, nqubits, r);
}

bool own_dag(nb::handle qc2dag, OwnDag &out) {
    static OwnDagCheck check = nullptr;  // dag stays loaded once imported
    if (!check) {
        import("vexal.circuit.dag");  // loading dag publishes its check on the package
        nb::object pkg = import("vexal.circuit");
        nb::object cap = own(PyObject_GetAttrString(pkg.ptr(), kOwnDagAttribute));
        check = reinterpret_cast<OwnDagCheck>(PyCapsule_GetPointer(cap.ptr(), kOwnDagCapsule));
        if (!check)
            throw error_already_set{};
    }
    if (check(qc2dag.ptr(), &out))
        return true;
    if (PyErr_Occurred())
        throw error_already_set{};
    return false;
}

PyObject *gatework_globals() { return check(PyModule_GetDict(gatework_module())); }

// ------------------------------------------------------------------ GateKinds

GateKinds::GateKinds(const Api &api, PyObject *globals, std::uint8_t required) : api_(api) {
    PyObject *tables[6];
    for (int i = 0; i < 6; ++i) {
        tables[i] = PyDict_GetItemWithError(globals, intern(kGateTables[i]));
        if (!tables[i] && PyErr_Occurred())
            throw error_already_set{};
        if (!tables[i] && (required & table_bit(static_cast<GateTable>(i)))) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", kGateTables[i]);
            throw error_already_set{};
        }
    }
    init(tables);
}

GateKinds::GateKinds(const Api &api, PyObject *const *tables) : api_(api) { init(tables); }

void GateKinds::init(PyObject *const *tables) {
    for (int i = 0; i < 6; ++i) {
        tables_[i] = nb::borrow(tables[i]);
        raw_[i] = tables[i];
        cacheable_ = cacheable_ && (!tables[i] || PyDict_CheckExact(tables[i]));
    }
}

const GateKind &GateKinds::of(PyObject *name) {
    const bool cacheable = cacheable_ && PyUnicode_CheckExact(name);
    if (cacheable) {
        auto it = cache_.find(name);
        if (it != cache_.end())
            return it->second.kind;
    }
    GateKind k;
    if (!api_.classify(raw_, name, k))
        throw error_already_set{};
    if (!cacheable) {
        last_ = k;
        return last_;
    }
    return cache_.emplace(name, Entry{nb::borrow(name), k}).first->second.kind;
}

}  // namespace vx::dagapi
