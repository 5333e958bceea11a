// The traversals of SabreRouting.run on the native engine.
//
// Used only when nothing the methods rely on has been replaced (no method
// overridden on the class or the object, the module's helper functions its
// own) and the state is of the plain kinds the engine models; otherwise
// `try_run` declines before changing anything and run takes the
// method-by-method path.  Everything observable comes out as those methods
// would leave it: gate records, SWAPs, random draws, v2p, p2v,
// decay_parameter, extended_successor_set and the query cache.
#include "dag_api.hpp"
#include "native.hpp"

#include <algorithm>
#include <functional>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>

namespace routing::native {

namespace {

const char *const kMethods[] = {
    "_distance_matrix_element",
    "_dag_successors",
    "_dag_predecessors",
    "_get_nodes",
    "_initialize_v2p_p2v",
    "_mapping_node_to_gate_info",
    "_get_extended_successor_set",
    "_get_execute_node_list",
    "_has_no_correlation_on_front_layer",
    "_get_swap_candidate_list",
    "_reset_decay_parameter",
    "_update_decay_parameter",
    "_heuristic_score_basic",
    "_heuristic_score_lookahead",
    "_heuristic_score_basic_decay",
    "_heuristic_score_lookahead_decay",
    "_heuristic_score",
    "_single_sabre_routing",
};
constexpr int kNumMethods = sizeof(kMethods) / sizeof(kMethods[0]);
PyObject *g_methods[kNumMethods];
const char *const kGlobals[] = {"extract_qubits", "update_v2p_and_p2v_mapping", "qc2dag", "split_qubits", "nx"};
constexpr int kNumGlobals = sizeof(kGlobals) / sizeof(kGlobals[0]);
PyObject *g_globals[kNumGlobals];
PyObject *g_ndarray = nullptr;
PyObject *g_digraph = nullptr;

}  // namespace

bool exact_ll(PyObject *o, long long &out);
bool prepare_mapping(nb::handle self, Setup &s);
bool prepare_topology(nb::handle self, Setup &s);

namespace {

nb::object pstr(const char *s) { return pystr(s); }
bool contains(nb::handle c, nb::handle x) {
    int r = PySequence_Contains(c.ptr(), x.ptr());
    vx::check(r);
    return r != 0;
}
nb::object getitem(nb::handle o, nb::handle k) { return vx::own(PyObject_GetItem(o.ptr(), k.ptr())); }

// What a node's gate name makes of it when converted to a record.
enum Kind : std::uint8_t { kUnknown, kOne, kTwo, kThree, kOneParam, kTwoParam, kMeasure, kBarrier, kDelay, kReset };

struct DagData {
    es::Dag dag;
    nb::handle graph;
    PyObject *node_dict = nullptr;       // graph._node
    std::vector<PyObject *> names;       // node-name objects (owned by the graph)
    std::vector<std::int32_t> gate_len;  // length of the gate name
};

}  // namespace

bool exact_ll(PyObject *o, long long &out) {
    if (!PyLong_CheckExact(o))
        return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (out == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    return overflow == 0;
}

bool prepare_mapping(nb::handle self, Setup &s) {
    nb::object v2p = routing::getattr(self, "v2p");
    nb::object p2v = routing::getattr(self, "p2v");
    if (!PyDict_CheckExact(v2p.ptr()) || !PyDict_CheckExact(p2v.ptr()))
        return false;
    const Py_ssize_t n = PyDict_GET_SIZE(v2p.ptr());
    if (PyDict_GET_SIZE(p2v.ptr()) != n || n >= (1 << 30))
        return false;
    s.n = static_cast<std::int32_t>(n);
    std::vector<std::pair<long long, PyObject *>> keys;
    std::vector<PyObject *> vals;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(v2p.ptr(), &pos, &k, &v)) {
        long long kv;
        if (!exact_ll(k, kv))
            return false;
        keys.emplace_back(kv, k);
        vals.push_back(v);
    }
    std::vector<std::int32_t> order(n);
    for (Py_ssize_t i = 0; i < n; ++i)
        order[i] = static_cast<std::int32_t>(i);
    std::sort(order.begin(), order.end(), [&](int x, int y) { return keys[x].first < keys[y].first; });
    std::vector<std::int32_t> num_of(n);
    s.vkeys.resize(n);
    s.vdict = vx::own(PyDict_New());
    for (Py_ssize_t r = 0; r < n; ++r) {
        num_of[order[r]] = static_cast<std::int32_t>(r);
        s.vkeys[r] = nb::borrow(keys[order[r]].second);
        s.vnum[keys[order[r]].first] = static_cast<std::int32_t>(r);
        vx::check(PyDict_SetItem(s.vdict.ptr(), keys[order[r]].second, pyint(r).ptr()));
    }
    s.key_order.resize(n);
    for (Py_ssize_t i = 0; i < n; ++i)
        s.key_order[i] = num_of[i];
    // physical numbers in v2p order; they must be distinct and p2v their inverse
    s.pdict = vx::own(PyDict_New());
    s.phys.resize(n);
    s.v2p.resize(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        vx::check(PyDict_SetItem(s.pdict.ptr(), vals[i], pyint(i).ptr()));
        s.phys[i] = nb::borrow(vals[i]);
        s.v2p[num_of[i]] = static_cast<std::int32_t>(i);
        PyObject *back = PyDict_GetItemWithError(p2v.ptr(), vals[i]);
        if (!back) {
            if (PyErr_Occurred())
                throw vx::error_already_set{};
            return false;
        }
        long long bv;
        if (!exact_ll(back, bv) || bv != keys[i].first)
            return false;
    }
    return PyDict_GET_SIZE(s.pdict.ptr()) == n;
}

std::int32_t phys_num(const Setup &s, PyObject *o) {
    PyObject *r = PyDict_GetItemWithError(s.pdict.ptr(), o);
    if (!r) {
        if (PyErr_Occurred())
            throw vx::error_already_set{};
        return -1;
    }
    return static_cast<std::int32_t>(PyLong_AsLong(r));
}

bool prepare_topology(nb::handle self, Setup &s) {
    const std::int32_t n = s.n;
    nb::object index = routing::getattr(self, "physical_qubits_index");
    nb::object dm = routing::getattr(self, "distance_matrix");
    if (!PyDict_CheckExact(index.ptr()) || reinterpret_cast<PyObject *>(Py_TYPE(dm.ptr())) != g_ndarray)
        return false;
    std::vector<long long> row(n);
    std::vector<std::uint8_t> used(n, 0);
    for (std::int32_t p = 0; p < n; ++p) {
        PyObject *r = PyDict_GetItemWithError(index.ptr(), s.phys[p].ptr());
        if (!r) {
            if (PyErr_Occurred())
                throw vx::error_already_set{};
            return false;
        }
        long long rv;
        if (!exact_ll(r, rv) || rv < 0 || rv >= n || used[rv])
            return false;
        used[rv] = 1;
        row[p] = rv;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(dm.ptr(), &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    bool ok =
        view.ndim == 2 && view.format && std::strcmp(view.format, "d") == 0 && view.shape[0] == n && view.shape[1] == n;
    if (ok) {
        s.topo.n = n;
        s.topo.dist.assign(static_cast<std::size_t>(n) * n, 0.0);
        const char *base = static_cast<const char *>(view.buf);
        for (std::int32_t i = 0; i < n && ok; ++i)
            for (std::int32_t j = 0; j < n; ++j) {
                double d;
                std::memcpy(&d, base + row[i] * view.strides[0] + row[j] * view.strides[1], sizeof d);
                // whole numbers (or no path), so every sum of them is exact
                if (!(d >= 0) || (std::isfinite(d) && (d != std::floor(d) || d > 1e9))) {
                    ok = false;
                    break;
                }
                s.topo.dist[static_cast<std::size_t>(i) * n + j] = d;
            }
    }
    PyBuffer_Release(&view);
    if (!ok)
        return false;
    nb::object graph = routing::getattr(self, "coupling_graph");
    s.topo.nb_off.assign(1, 0);
    s.topo.nb.clear();
    for (std::int32_t p = 0; p < n; ++p) {
        nb::object nl = vx::own(PySequence_List(routing::callm(graph, "neighbors", {s.phys[p]}).ptr()));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(nl.ptr()); ++j) {
            std::int32_t o = phys_num(s, PyList_GET_ITEM(nl.ptr(), j));
            if (o < 0)
                return false;
            s.topo.nb.push_back(o);
        }
        s.topo.nb_off.push_back(static_cast<std::int32_t>(s.topo.nb.size()));
    }
    return true;
}

namespace {

// Gate-name prefix and the numbers of the bracketed qubits, as extract_qubits reads them.
bool parse_name(const Setup &s, PyObject *name, std::vector<std::int32_t> &qs, std::int32_t &gate_len) {
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_ASCII(name))
        return false;
    const char *p = PyUnicode_AsUTF8(name);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    Py_ssize_t us = 0;
    while (us < n && p[us] != '_')
        ++us;
    gate_len = static_cast<std::int32_t>(us);
    qs.clear();
    Py_ssize_t open = 0;
    while (open < n && p[open] != '[')
        ++open;
    if (open == n)
        return true;
    Py_ssize_t close = open + 1;
    while (close < n && p[close] != ']')
        ++close;
    if (close == n)
        return true;
    for (Py_ssize_t i = open + 1; i < close;) {
        if (p[i] < '0' || p[i] > '9') {
            ++i;
            continue;
        }
        Py_ssize_t j = i;
        long long v = 0;
        while (j < close && p[j] >= '0' && p[j] <= '9') {
            if (j - i >= 17)
                return false;
            v = v * 10 + (p[j] - '0');
            ++j;
        }
        auto it = s.vnum.find(v);
        if (it == s.vnum.end())
            return false;
        qs.push_back(it->second);
        i = j;
    }
    return true;
}

bool prepare_dag(const vx::Args &a, const Setup &s, nb::handle graph, DagData &d) {
    if (reinterpret_cast<PyObject *>(Py_TYPE(graph.ptr())) != g_digraph)
        return false;
    d.graph = graph;
    nb::object node = routing::getattr(graph, "_node"), succ = routing::getattr(graph, "_succ"),
               pred = routing::getattr(graph, "_pred");
    if (!PyDict_CheckExact(node.ptr()) || !PyDict_CheckExact(succ.ptr()) || !PyDict_CheckExact(pred.ptr()))
        return false;
    d.node_dict = node.ptr();  // the graph keeps it alive
    const Py_ssize_t n = PyDict_GET_SIZE(node.ptr());
    if (n >= (1 << 30))
        return false;
    es::Dag &g = d.dag;
    g.n = static_cast<std::int32_t>(n);
    std::unordered_map<PyObject *, std::int32_t> idx;
    idx.reserve(static_cast<std::size_t>(n) * 2);
    d.names.reserve(n);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    std::unordered_map<std::string, bool> two_of;
    nb::handle t2 = a.global("two_qubit_gates_available"), t2p = a.global("two_qubit_parameter_gates_available");
    std::vector<std::int32_t> qs;
    while (PyDict_Next(node.ptr(), &pos, &k, &v)) {
        std::int32_t glen;
        if (!parse_name(s, k, qs, glen) || qs.empty())
            return false;
        idx.emplace(k, static_cast<std::int32_t>(d.names.size()));
        d.names.push_back(k);
        d.gate_len.push_back(glen);
        std::string gname(PyUnicode_AsUTF8(k), glen);
        auto it = two_of.find(gname);
        if (it == two_of.end()) {
            nb::object go = vx::own(PyUnicode_FromStringAndSize(gname.data(), glen));
            it = two_of.emplace(gname, contains(t2, go) || contains(t2p, go)).first;
        }
        if (it->second && (qs.size() != 2 || qs[0] == qs[1]))
            return false;
        g.two.push_back(it->second);
        g.q.insert(g.q.end(), qs.begin(), qs.end());
        g.q_off.push_back(static_cast<std::int32_t>(g.q.size()));
    }
    auto adj = [&](PyObject *table, std::vector<std::int32_t> &off, std::vector<std::int32_t> &out) {
        for (PyObject *name : d.names) {
            PyObject *nbrs = PyDict_GetItemWithError(table, name);
            if (!nbrs) {
                if (PyErr_Occurred())
                    throw vx::error_already_set{};
                return false;
            }
            if (!PyDict_CheckExact(nbrs))
                return false;
            Py_ssize_t p2 = 0;
            PyObject *kk, *vv;
            while (PyDict_Next(nbrs, &p2, &kk, &vv)) {
                auto it = idx.find(kk);
                if (it == idx.end())
                    return false;  // not the node's own name object
                out.push_back(it->second);
            }
            off.push_back(static_cast<std::int32_t>(out.size()));
        }
        return true;
    };
    if (!adj(succ.ptr(), g.succ_off, g.succ) || !adj(pred.ptr(), g.pred_off, g.pred))
        return false;
    for (std::int32_t u = 0; u < g.n; ++u)
        if (g.pred_off[u + 1] == g.pred_off[u])
            g.sources.push_back(u);
    return true;
}

// Emits gate records from the DAG's node attributes, as _mapping_node_to_gate_info does.
class PyHooks : public HooksBase {
public:
    using HooksBase::HooksBase;
    const DagData *dag = nullptr;

    void execute(std::int32_t node, const std::vector<std::int32_t> &v2p) override {
        vx::check(PyList_Append(out_.ptr(), record(node, v2p).ptr()));
    }

private:
    Kind kind_of(nb::handle gate, const std::string &g) {
        auto it = kinds_.find(g);
        if (it != kinds_.end())
            return it->second;
        Kind k = kUnknown;
        if (contains(a_.global("one_qubit_gates_available"), gate))
            k = kOne;
        else if (contains(a_.global("two_qubit_gates_available"), gate))
            k = kTwo;
        else if (contains(a_.global("three_qubit_gates_available"), gate))
            k = kThree;
        else if (contains(a_.global("one_qubit_parameter_gates_available"), gate))
            k = kOneParam;
        else if (contains(a_.global("two_qubit_parameter_gates_available"), gate))
            k = kTwoParam;
        else if (contains(a_.global("functional_gates_available"), gate))
            k = g == "measure"   ? kMeasure
                : g == "barrier" ? kBarrier
                : g == "delay"   ? kDelay
                : g == "reset"   ? kReset
                                 : kUnknown;
        kinds_.emplace(g, k);
        return k;
    }

    nb::object record(std::int32_t node, const std::vector<std::int32_t> &v2p) {
        PyObject *name = dag->names[node];
        const std::int32_t glen = dag->gate_len[node];
        nb::object gate = vx::own(PyUnicode_Substring(name, 0, glen));
        const Kind k = kind_of(gate, std::string(PyUnicode_AsUTF8(name), glen));
        auto qs = dag->dag.qubits(node);
        auto pn = [&](std::int32_t vq) { return s_.phys[v2p[vq]]; };
        auto pobj = [&](PyObject *q) {  // a qubit object of a node attribute, as v2p[q] reads it
            nb::object num = getitem(s_.vdict, q);
            return s_.phys[v2p[PyLong_AsLong(num.ptr())]];
        };
        auto attrs = [&]() {
            PyObject *d = PyDict_GetItemWithError(dag->node_dict, name);
            if (!d) {
                if (!PyErr_Occurred())
                    PyErr_SetObject(PyExc_KeyError, name);
                throw vx::error_already_set{};
            }
            return nb::borrow(d);
        };
        auto unpack_two = [&]() {
            if (qs.size() != 2) {
                if (qs.size() > 2)
                    vx::value_error("too many values to unpack (expected 2)");
                vx::value_error("not enough values to unpack (expected 2, got " + std::to_string(qs.size()) + ")");
            }
        };
        switch (k) {
        case kOne: return vx::own(PyTuple_Pack(2, gate.ptr(), pn(qs[0]).ptr()));
        case kTwo: unpack_two(); return vx::own(PyTuple_Pack(3, gate.ptr(), pn(qs[0]).ptr(), pn(qs[1]).ptr()));
        case kThree: {
            nb::object msg = routing::callm(
                pstr("Please first decompose the {} gate into a combination of single- and two-qubit gates."), "format",
                {gate});
            PyErr_SetObject(PyExc_ValueError, msg.ptr());
            throw vx::error_already_set{};
        }
        case kOneParam:
        case kTwoParam: {
            if (k == kTwoParam)
                unpack_two();
            nb::object rec = vx::own(PyList_New(0));
            vx::check(PyList_Append(rec.ptr(), gate.ptr()));
            nb::object params = vx::own(PySequence_List(getitem(attrs(), pstr("params")).ptr()));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params.ptr()); ++i)
                vx::check(PyList_Append(rec.ptr(), PyList_GET_ITEM(params.ptr(), i)));
            vx::check(PyList_Append(rec.ptr(), pn(qs[0]).ptr()));
            if (k == kTwoParam)
                vx::check(PyList_Append(rec.ptr(), pn(qs[1]).ptr()));
            return vx::own(PyList_AsTuple(rec.ptr()));
        }
        case kMeasure:
        case kDelay: {
            nb::object at = attrs();
            nb::object ql = vx::own(PySequence_List(getitem(at, pstr("qubits")).ptr()));
            nb::object pl = vx::own(PyList_New(0));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ql.ptr()); ++i)
                vx::check(PyList_Append(pl.ptr(), pobj(PyList_GET_ITEM(ql.ptr(), i)).ptr()));
            if (k == kMeasure) {
                nb::object cbits = getitem(at, pstr("cbits"));
                return vx::own(PyTuple_Pack(3, gate.ptr(), pl.ptr(), cbits.ptr()));
            }
            nb::object t = vx::own(PyList_AsTuple(pl.ptr()));
            nb::object duration = getitem(at, pstr("duration"));
            return vx::own(PyTuple_Pack(3, gate.ptr(), duration.ptr(), t.ptr()));
        }
        case kBarrier: {
            nb::object t = vx::own(PyTuple_New(static_cast<Py_ssize_t>(qs.size())));
            for (std::size_t i = 0; i < qs.size(); ++i) {
                nb::object p = pn(qs[i]);
                PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i), p.release().ptr());
            }
            return vx::own(PyTuple_Pack(2, gate.ptr(), t.ptr()));
        }
        case kReset: {
            nb::object ql = getitem(attrs(), pstr("qubits"));
            nb::object q0 = vx::own(PySequence_GetItem(ql.ptr(), 0));
            return vx::own(PyTuple_Pack(2, gate.ptr(), pobj(q0.ptr()).ptr()));
        }
        case kUnknown: break;
        }
        nb::object msg =
            routing::callm(pstr("The DAG node {!r} names no known gate ({!r})."), "format", {nb::handle(name), gate});
        PyErr_SetObject(PyExc_ValueError, msg.ptr());
        throw vx::error_already_set{};
    }

    std::unordered_map<std::string, Kind> kinds_;
};

}  // namespace

std::size_t HooksBase::choose(std::span<const std::pair<std::int32_t, std::int32_t>> tied) {
    nb::object list = vx::own(PyList_New(static_cast<Py_ssize_t>(tied.size())));
    nb::object swap = pstr("swap");
    for (std::size_t i = 0; i < tied.size(); ++i)
        PyList_SET_ITEM(
            list.ptr(), static_cast<Py_ssize_t>(i),
            vx::check(PyTuple_Pack(3, swap.ptr(), s_.vkeys[tied[i].first].ptr(), s_.vkeys[tied[i].second].ptr())));
    nb::object r = routing::callm(a_.global("random"), "choice", {list});
    for (std::size_t i = 0; i < tied.size(); ++i)
        if (PyList_GET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i)) == r.ptr())
            return i;
    for (std::size_t i = 0; i < tied.size(); ++i) {
        int eq = PyObject_RichCompareBool(PyList_GET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i)), r.ptr(), Py_EQ);
        vx::check(eq);
        if (eq)
            return i;
    }
    vx::value_error("random.choice returned an object that is not one of the SWAP candidates.");
}

void HooksBase::swap(std::int32_t va, std::int32_t vb, const std::vector<std::int32_t> &v2p) {
    PyObject *items[3] = {vx::intern("swap"), s_.phys[v2p[va]].ptr(), s_.phys[v2p[vb]].ptr()};
    nb::object t = vx::own(PyTuple_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(t.ptr(), i, items[i]);
    }
    append_record(t);
}

void HooksBase::untrack_plain(nb::handle tuple) {
    // A tuple of plain values can hold no reference cycle: the collector
    // need not track it (as it would decide itself on its first pass).
    PyObject *t = tuple.ptr();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t); ++i) {
        PyObject *x = PyTuple_GET_ITEM(t, i);
        PyTypeObject *tp = Py_TYPE(x);
        if (!(tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
              (tp == &PyTuple_Type && !PyObject_GC_IsTracked(x))))
            return;
    }
    if (PyObject_GC_IsTracked(t))
        PyObject_GC_UnTrack(t);
}

void HooksBase::append_record(nb::handle record) {
    untrack_plain(record);
    vx::check(PyList_Append(out_.ptr(), record.ptr()));
}

nb::object p2v_of(const Setup &s, const std::vector<std::int32_t> &v2p) {
    nb::object d = vx::own(PyDict_New());
    for (std::int32_t v : s.key_order)
        vx::check(PyDict_SetItem(d.ptr(), s.phys[v2p[v]].ptr(), s.vkeys[v].ptr()));
    return d;
}

void flush_state(nb::handle self, const Setup &s, const es::Engine &eng, const NameOf &name) {
    if (eng.swapped()) {
        nb::object v2p = vx::own(PyDict_New());
        for (std::int32_t v : s.key_order)
            vx::check(PyDict_SetItem(v2p.ptr(), s.vkeys[v].ptr(), s.phys[eng.v2p()[v]].ptr()));
        setattr(self, "v2p", v2p);
        setattr(self, "p2v", p2v_of(s, eng.v2p()));
    }
    if (s.opt.decay && eng.decay_touched()) {
        nb::object pl = vx::own(PySequence_List(routing::getattr(self, "physical_qubits").ptr()));
        nb::object d = vx::own(PyDict_New());
        nb::object one = pyint(1);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pl.ptr()); ++i) {
            PyObject *q = PyList_GET_ITEM(pl.ptr(), i);
            const double x = eng.decay()[phys_num(s, q)];
            nb::object val = x == 1.0 ? one : vx::own(PyFloat_FromDouble(x));
            vx::check(PyDict_SetItem(d.ptr(), q, val.ptr()));
        }
        setattr(self, "decay_parameter", d);
    }
    if (s.opt.lookahead && eng.extended_built()) {
        nb::object set = vx::own(PySet_New(nullptr));
        for (std::int32_t u : eng.extended())
            vx::check(PySet_Add(set.ptr(), name(eng.extended_dag(), u)));
        setattr(self, "extended_successor_set", vx::own(PySequence_List(set.ptr())));
    }
}

std::vector<CacheEntry> cache_entries(const es::Engine &eng) {
    std::vector<CacheEntry> entries;
    for (int w = 0; w < 2; ++w)
        for (int k = 0; k < 2; ++k) {
            const auto &lu = eng.last_use(w, k);
            for (std::size_t u = 0; u < lu.size(); ++u)
                if (lu[u])
                    entries.push_back({lu[u], static_cast<std::int32_t>(u), static_cast<std::uint8_t>(w),
                                       static_cast<std::uint8_t>(k)});
        }
    constexpr std::size_t kBound = 10000;
    auto by_time = [](const CacheEntry &x, const CacheEntry &y) { return x.t < y.t; };
    if (entries.size() > kBound) {
        std::nth_element(entries.begin(), entries.end() - kBound, entries.end(), by_time);
        entries.erase(entries.begin(), entries.end() - kBound);
    }
    std::sort(entries.begin(), entries.end(), by_time);
    return entries;
}

void fill_cache(nb::handle cache, const std::vector<CacheEntry> &entries, const es::Dag *dags[2], const NameOf &name) {
    nb::object ids[2] = {pstr("forward"), pstr("reverse")};
    nb::object kinds[2] = {pstr("successors"), pstr("predecessors")};
    for (const CacheEntry &e : entries) {
        const es::Dag &g = *dags[e.which];
        auto nodes = e.kind == 0 ? g.succs(e.node) : g.preds(e.node);
        nb::object l = vx::own(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            PyObject *o = name(e.which, nodes[i]);
            Py_INCREF(o);
            PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(i), o);
        }
        nb::object id = vx::own(PyLong_FromVoidPtr(name(e.which, e.node)));
        nb::object key = vx::own(PyTuple_Pack(3, ids[e.which].ptr(), id.ptr(), kinds[e.kind].ptr()));
        vx::check(PyObject_SetItem(cache.ptr(), key.ptr(), l.ptr()));
    }
}

void raise_failure(const es::Failure &f, int which, const NameOf &name) {
    if (f.kind == es::Failure::Conflict)
        vx::value_error(
            "A conflict occurred during the Sabre algorithm computation. Please contact the developer for assistance.");
    nb::object front = vx::own(PyList_New(0));
    for (std::int32_t u : f.front)
        vx::check(PyList_Append(front.ptr(), name(which, u)));
    const char *fmt = f.kind == es::Failure::NoCandidate
                          ? "No SWAP can bring the gates of the front layer {} together: their physical qubits have "
                            "no coupled neighbour."
                          : "The SWAP scores for the front layer {} cannot be compared: the least one is not a number.";
    nb::object msg = routing::callm(pstr(fmt), "format", {front});
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw vx::error_already_set{};
}

void begin_emitting(nb::handle self, const Setup &s, const es::Engine &eng, nb::object &best_p2v) {
    setattr(self, "do_map_node_to_gate", nb::handle(Py_True));
    best_p2v = p2v_of(s, eng.v2p());
}

long long traverse_all(es::Engine &eng, const es::Dag *dags[2], long long total, HooksBase &hooks,
                       const std::function<void()> &at_last, const std::function<void(int, bool)> &place,
                       const std::function<void()> &flush, const NameOf &name) {
    // The records the run makes hold no cycles: the collector need not walk
    // the heap over and over meanwhile.
    vx::GcPause gc_pause;
    long long nswap = 0;
    try {
        for (long long idx = 0; idx < total; ++idx) {
            const bool last = idx == total - 1;
            const int which = idx % 2 == 0 ? 0 : 1;
            if (last)
                at_last();
            place(which, last);
            try {
                nswap = eng.traverse(*dags[which], which, last, hooks);
            } catch (const es::Failure &f) {
                raise_failure(f, which, name);
            }
        }
    } catch (vx::error_already_set &) {
        // a failed hook or traversal: leave the state as it stood at the failure
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        try {
            flush();
        } catch (...) {
            PyErr_Clear();
        }
        PyErr_Restore(t, v, tb);
        throw;
    }
    flush();
    return nswap;
}

bool plain_object(const vx::Args &a, nb::handle self) {
    PyTypeObject *tp = Py_TYPE(self.ptr());
    PyObject *inst = nullptr;
    if (PyObject **dp = _PyObject_GetDictPtr(self.ptr()))
        inst = *dp;
    for (int i = 0; i < kNumMethods; ++i) {
        PyObject *name = vx::intern(kMethods[i]);
        if (_PyType_Lookup(tp, name) != g_methods[i])
            return false;
        if (inst && PyDict_GetItemWithError(inst, name))
            return false;
        if (PyErr_Occurred())
            throw vx::error_already_set{};
    }
    if (!inst) {
        nb::object d = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
        if (!d.is_valid()) {
            PyErr_Clear();
            return false;
        }
        for (int i = 0; i < kNumMethods; ++i)
            if (PyDict_GetItemWithError(d.ptr(), vx::intern(kMethods[i])))
                return false;
    }
    for (int i = 0; i < kNumGlobals; ++i)
        if (a.global(kGlobals[i]).ptr() != g_globals[i])
            return false;
    return true;
}

bool prepare(const vx::Args &a, nb::handle self, Setup &s) {
    (void)a;
    nb::object h = routing::getattr(self, "heuristic");
    if (!PyUnicode_CheckExact(h.ptr()))
        return false;
    const std::string_view hv = vx::utf8(h);
    if (hv != "basic" && hv != "lookahead" && hv != "basic_decay" && hv != "lookahead_decay")
        return false;
    s.opt.lookahead = hv.find("lookahead") != std::string_view::npos;
    s.opt.decay = hv.find("decay") != std::string_view::npos;
    nb::object rc = routing::getattr(self, "do_random_choice");
    if (!PyBool_Check(rc.ptr()))
        return false;
    s.opt.random_choice = rc.ptr() == Py_True;
    nb::object w = routing::getattr(self, "max_extended_set_weight");
    if (!PyFloat_CheckExact(w.ptr()))
        return false;
    s.opt.max_weight = PyFloat_AS_DOUBLE(w.ptr());
    if (!prepare_mapping(self, s) || !prepare_topology(self, s))
        return false;
    if (s.opt.decay) {
        nb::object pl = routing::getattr(self, "physical_qubits");
        if (!PyList_CheckExact(pl.ptr()) || PyList_GET_SIZE(pl.ptr()) != s.n)
            return false;
        std::vector<std::uint8_t> seen(s.n, 0);
        for (Py_ssize_t i = 0; i < s.n; ++i) {
            std::int32_t p = phys_num(s, PyList_GET_ITEM(pl.ptr(), i));
            if (p < 0 || seen[p])
                return false;
            seen[p] = 1;
        }
    }
    return true;
}

void remember(nb::handle module, nb::handle cls) {
    for (int i = 0; i < kNumMethods; ++i)
        g_methods[i] = vx::check(PyObject_GetAttrString(cls.ptr(), kMethods[i]));  // kept for the process
    for (int i = 0; i < kNumGlobals; ++i)
        g_globals[i] = vx::check(PyObject_GetAttrString(module.ptr(), kGlobals[i]));
    g_ndarray = nb::object(vx::import("numpy").attr("ndarray")).release().ptr();
    g_digraph = nb::object(vx::import("networkx").attr("DiGraph")).release().ptr();
    lean::install(module, cls);
}

bool try_run(const vx::Args &a, nb::handle self, nb::handle dag, nb::handle rev_dag, long long total,
             nb::object &result, nb::object &best_p2v) {
    if (!plain_object(a, self))
        return false;
    Setup s;
    if (!prepare(a, self, s))
        return false;
    DagData fwd, rev;
    if (!prepare_dag(a, s, dag, fwd) || !prepare_dag(a, s, rev_dag, rev))
        return false;

    // From here on the run is the engine's.
    const DagData *data[2] = {&fwd, &rev};
    const es::Dag *dags[2] = {&fwd.dag, &rev.dag};
    NameOf name = [&](int which, std::int32_t u) { return data[which]->names[u]; };
    es::Engine eng(s.topo, s.opt, s.v2p);
    PyHooks hooks(a, s);
    const long long nswap = traverse_all(
        eng, dags, total, hooks, [&] { begin_emitting(self, s, eng, best_p2v); },
        [&](int which, bool) {
            setattr(self, "dag_id", pstr(which == 0 ? "forward" : "reverse"));
            setattr(self, "dag", which == 0 ? dag : rev_dag);
            hooks.dag = data[which];
        },
        [&] {
            flush_state(self, s, eng, name);
            fill_cache(routing::getattr(self, "_cache"), cache_entries(eng), dags, name);
        },
        name);
    result = vx::own(Py_BuildValue("(OL)", hooks.out().ptr(), nswap));
    return true;
}

}  // namespace routing::native
