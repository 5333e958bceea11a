// The fast path of SabreRouting.run, fed from the circuit's records.
//
// When the circuit, the pass object and every name run goes through are the
// package's own, the traversals run on the engine over DAGs read from a
// frozen copy of the gate records, and the two networkx DAGs and the deep
// copy of the circuit are never made: `dag` and `_cache` are left as
// deferred values (fast_deferred.cpp).  Everything else (gate list, SWAPs, printed table, v2p,
// p2v, decay_parameter, extended_successor_set, random draws) comes out at
// once, exactly as the methods make it.  Anything customised (an overridden
// method, a replaced module name, a circuit subclass with its own deepcopy,
// records the builder does not read) is declined before anything changes,
// and run takes the methods.
#include "fast_deferred.hpp"

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace routing::fast {

namespace {

using vx::dagapi::RecordKind;

// ---------------------------------------------------------------- reading the circuit

// Whether item k of a record named `name` is read only as a sequence of
// qubits or bits (so a list there may become a tuple).
bool wire_sequence(PyObject *name, Py_ssize_t k) {
    if (!PyUnicode_CheckExact(name))
        return false;
    if (PyUnicode_CompareWithASCIIString(name, "measure") == 0)
        return k == 1 || k == 2;
    if (PyUnicode_CompareWithASCIIString(name, "barrier") == 0)
        return k == 1;
    return PyUnicode_CompareWithASCIIString(name, "delay") == 0 && k == 2;
}

// The records as they stand, each frozen so that later changes to the
// caller's lists cannot reach them: a tuple of immutable items is taken as
// it is; a list record becomes a tuple, and so do lists of exact ints where
// the record holds qubits or bits.  False for any other item, whose deep
// copy the circuit's own copy would have to make.
bool snapshot_of(PyObject *gates, nb::object &out) {
    const Py_ssize_t n = PyList_GET_SIZE(gates);
    out = vx::own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *r = PyList_GET_ITEM(gates, i);
        const bool is_tuple = PyTuple_CheckExact(r);
        if (!is_tuple && !PyList_CheckExact(r))
            return false;
        const Py_ssize_t len = PySequence_Fast_GET_SIZE(r);
        PyObject **items = PySequence_Fast_ITEMS(r);
        bool frozen = is_tuple;
        for (Py_ssize_t k = 0; k < len; ++k) {
            PyObject *x = items[k];
            if (vx::immutable_scalar(x))
                continue;
            if (!PyTuple_CheckExact(x) && !PyList_CheckExact(x))
                return false;
            for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(x); ++j)
                if (!PyLong_CheckExact(PySequence_Fast_ITEMS(x)[j]))
                    return false;
            if (PyList_CheckExact(x)) {
                if (!wire_sequence(items[0], k))
                    return false;
                frozen = false;
            }
        }
        PyObject *rec = r;
        if (frozen) {
            Py_INCREF(rec);
        } else {
            rec = vx::check(PyTuple_New(len));
            for (Py_ssize_t k = 0; k < len; ++k) {
                PyObject *x = items[k];
                PyObject *y = PyList_CheckExact(x) ? PyList_AsTuple(x) : (Py_INCREF(x), x);
                if (!y) {
                    Py_DECREF(rec);
                    throw vx::error_already_set{};
                }
                PyTuple_SET_ITEM(rec, k, y);
            }
        }
        PyList_SET_ITEM(out.ptr(), i, rec);
    }
    return true;
}

// What routing's tables make of one gate name.
struct NameInfo {
    bool ok;   // an ASCII word, so the node name reads back as qc2dag wrote it
    bool two;  // a two-qubit gate for the front layer
};

bool ascii_word(PyObject *name) {
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_ASCII(name) || PyUnicode_GET_LENGTH(name) == 0)
        return false;
    const char *p = PyUnicode_AsUTF8(name);
    for (; *p; ++p)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9')))
            return false;
    return true;
}

// The engine's view of a skeleton; false where a node is one the engine
// leaves to the methods (unknown qubit, malformed two-qubit gate).
bool engine_dag(GateKinds &kinds, const Setup &s, Snapshot &st, Direction dir,
                std::unordered_map<PyObject *, NameInfo> &info) {
    const auto &sk = st.d[dir].sk;
    es::Dag &g = st.d[dir].dag;
    const auto n = static_cast<std::int32_t>(sk.size());
    g.n = n;
    g.two.reserve(n);
    g.q.reserve(sk.wires.size());
    for (std::int32_t u = 0; u < n; ++u) {
        PyObject *name = PyTuple_GET_ITEM(st.record(dir, u), 0);
        auto it = info.find(name);
        if (it == info.end()) {
            NameInfo ni{ascii_word(name), false};
            if (ni.ok)
                ni.two = is_two_qubit(kinds, name);
            it = info.emplace(name, ni).first;
        }
        if (!it->second.ok)
            return false;
        const std::int32_t b = sk.w_off[u], e = sk.w_off[u + 1];
        if (b == e)
            return false;
        for (std::int32_t k = b; k < e; ++k) {
            auto v = s.vnum.find(sk.wires[k]);
            if (v == s.vnum.end())
                return false;
            g.q.push_back(v->second);
        }
        g.q_off.push_back(static_cast<std::int32_t>(g.q.size()));
        if (it->second.two && (e - b != 2 || g.q[b] == g.q[b + 1]))
            return false;
        g.two.push_back(it->second.two);
    }
    // incoming edges in the order received, outgoing in the order of the edges
    std::vector<std::int32_t> outdeg(n + 1, 0), indeg(n + 1, 0);
    for (const auto &ed : sk.edges) {
        ++outdeg[ed.src + 1];
        ++indeg[ed.dst + 1];
    }
    for (std::int32_t u = 0; u < n; ++u) {
        outdeg[u + 1] += outdeg[u];
        indeg[u + 1] += indeg[u];
    }
    g.succ_off = outdeg;
    g.pred_off = indeg;
    g.succ.resize(sk.edges.size());
    g.pred.resize(sk.edges.size());
    for (const auto &ed : sk.edges) {
        g.succ[outdeg[ed.src]++] = ed.dst;
        g.pred[indeg[ed.dst]++] = ed.src;
    }
    for (std::int32_t u = 0; u < n; ++u)
        if (g.pred_off[u + 1] == g.pred_off[u])
            g.sources.push_back(u);
    return true;
}

// Gate records from the frozen records, as _mapping_node_to_gate_info makes them.
class RecordHooks : public HooksBase {
public:
    RecordHooks(const vx::Args &a, const Setup &s, Snapshot &st) : HooksBase(a, s), st_(st) {}
    Direction dir = Direction::Forward;

    void execute(std::int32_t node, const es::Layout &layout) override {
        const auto &sk = st_.d[dir].sk;
        PyObject *rec = st_.record(dir, node);
        PyObject *gate = PyTuple_GET_ITEM(rec, 0);
        auto qs = st_.d[dir].dag.qubits(node);
        auto p = [&](std::size_t i) { return phys(layout, qs[i]); };
        auto phys_tuple = [&]() {
            nb::object t = vx::own(PyTuple_New(static_cast<Py_ssize_t>(qs.size())));
            for (std::size_t i = 0; i < qs.size(); ++i) {
                Py_INCREF(p(i));
                PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i), p(i));
            }
            untrack_scalars(t);
            return t;
        };
        nb::object out;
        const RecordKind kind = sk.kind[node];
        switch (kind) {
        case RecordKind::OneQubit:
        case RecordKind::Reset: out = vx::own(PyTuple_Pack(2, gate, p(0))); break;
        case RecordKind::TwoQubit: out = vx::own(PyTuple_Pack(3, gate, p(0), p(1))); break;
        case RecordKind::ThreeQubit: {
            raise_fmt(PyExc_ValueError, kDecomposeFirst, {nb::handle(gate)});
        }
        case RecordKind::U:
        case RecordKind::R:
        case RecordKind::OneParam:
        case RecordKind::TwoParam: {
            const int np = vx::dagapi::record_param_count(kind, PyTuple_GET_SIZE(rec));
            const std::size_t nq = kind == RecordKind::TwoParam ? 2 : 1;
            out = vx::own(PyTuple_New(static_cast<Py_ssize_t>(1 + np + nq)));
            Py_INCREF(gate);
            PyTuple_SET_ITEM(out.ptr(), 0, gate);
            for (int i = 0; i < np; ++i) {
                PyObject *x = PyTuple_GET_ITEM(rec, 1 + i);
                Py_INCREF(x);
                PyTuple_SET_ITEM(out.ptr(), 1 + i, x);
            }
            for (std::size_t i = 0; i < nq; ++i) {
                Py_INCREF(p(i));
                PyTuple_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(1 + np + i), p(i));
            }
            break;
        }
        case RecordKind::Measure: {
            PyObject *cbit = PyTuple_GET_ITEM(PyTuple_GET_ITEM(rec, 2), sk.part[node]);
            nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
            Py_INCREF(p(0));
            PyList_SET_ITEM(ql.ptr(), 0, p(0));
            Py_INCREF(cbit);
            PyList_SET_ITEM(cl.ptr(), 0, cbit);
            out = vx::own(PyTuple_Pack(3, gate, ql.ptr(), cl.ptr()));
            break;
        }
        case RecordKind::Barrier: out = vx::own(PyTuple_Pack(2, gate, phys_tuple().ptr())); break;
        case RecordKind::Delay:
            out = vx::own(PyTuple_Pack(3, gate, PyTuple_GET_ITEM(rec, 1), phys_tuple().ptr()));
            break;
        }
        append_record(out);
    }

private:
    Snapshot &st_;
};

// The builders qc2dag would use now, or null when any name it goes through
// is not the package's own; `digraph` is the DAG class it would make.
const vx::dagapi::Api *own_qc2dag(const vx::Args &a, nb::object &gatework, nb::object &digraph) {
    vx::dagapi::OwnDag own;
    if (!vx::dagapi::own_dag(a.global("qc2dag"), own))  // the pass's own qc2dag is among its needs
        return nullptr;
    gatework = nb::borrow(own.gatework);
    digraph = nb::borrow(own.digraph);
    return own.api;
}

bool exact_circuit(const vx::Args &a, nb::handle qc) {
    return reinterpret_cast<PyObject *>(Py_TYPE(qc.ptr())) == vx::original(a.func()->globals, "QuantumCircuit") &&
           vx::is_original_method(a.func()->globals, qc, "QuantumCircuit.deepcopy");
}

}  // namespace

void remember_run(nb::handle module) {
    for (const char *path : {"qc2dag", "QuantumCircuit", "QuantumCircuit.deepcopy"})
        vx::keep_original(module, path);
}

bool try_run(const vx::Args &a, nb::handle self, nb::handle qc, long long total, nb::object &result,
             nb::object &best_p2v, vx::PathChoice &path) {
    PyTypeObject *tp = Py_TYPE(self.ptr());
    if (!deferred_descriptors(a, tp))
        return path.decline("the class replaces the dag or _cache attribute");
    auto st = std::make_shared<Snapshot>();
    st->api = own_qc2dag(a, st->gatework, st->digraph);
    if (!st->api)
        return path.decline("qc2dag or what it goes through is not the package's own");
    // the methods and the DAG builder must read the same tables
    for (const char *t : vx::kGateTables) {
        PyObject *mine = a.global(t).ptr();
        if (!PyDict_CheckExact(mine) || PyDict_GetItemString(st->gatework.ptr(), t) != mine)
            return path.decline(std::string(t) + " is not gatework's own dict");
    }
    if (!exact_circuit(a, qc))
        return path.decline("the circuit is not exactly a QuantumCircuit with its own deepcopy");
    st->nqubits = vx::getattr(qc, vx::intern("nqubits"));
    st->qubits = vx::getattr(qc, vx::intern("qubits"));
    nb::object gates = vx::getattr(qc, vx::intern("gates"));
    if (!PyLong_CheckExact(st->nqubits.ptr()) || !PyList_CheckExact(st->qubits.ptr()) ||
        !PyList_CheckExact(gates.ptr()))
        return path.decline("nqubits, qubits or gates is not an int or a list");
    long long nq;
    if (!vx::exact_ll(st->nqubits.ptr(), nq))
        return path.decline("nqubits is too large");
    if (!snapshot_of(gates.ptr(), st->records))
        return path.decline("a gate record is not a tuple of immutable values and lists of ints");

    Setup s;
    if (!prepare(a, self, s))
        return path.decline("an option, the mapping or the coupling graph is of a kind the engine does not read");
    {
        vx::GcPause pause;
        for (Direction dir : es::kDirections)
            if (!st->api->skeleton(st->gatework.ptr(), nq, st->records.ptr(), dir == Direction::Reverse, st->d[dir].sk))
                throw vx::error_already_set{};  // checked records: an interrupt or a real error
        std::unordered_map<PyObject *, NameInfo> info;
        GateKinds kinds = gate_kinds(a);
        for (Direction dir : es::kDirections)
            if (!engine_dag(kinds, s, *st, dir, info))
                return path.decline("a node name or gate is of a kind the engine does not read");
    }

    // From here on the run is the engine's.
    const Dags dags{&st->d[Direction::Forward].dag, &st->d[Direction::Reverse].dag};
    NameOf name = [&](Direction dir, std::int32_t u) { return st->name(dir, u); };
    es::Engine eng(std::move(s.topo), s.opt, std::move(s.v2p));
    RecordHooks hooks(a, s, *st);
    Direction current = Direction::Forward;
    nb::object cache = raw_cache(self);
    const long long nswap = traverse_all(
        self, s, eng, dags, total, hooks, best_p2v,
        [&](Direction dir) {
            current = dir;
            hooks.dir = dir;
        },
        [&] {
            flush_state(self, s, eng, name);
            vx::setattr(self, "dag_id", vx::str_obj(dag_id(current)));
            const bool forward = current == Direction::Forward;
            vx::setattr(self, "dag", make_deferred(st, forward ? Deferred::ForwardDag : Deferred::ReverseDag));
            st->entries = cache_entries(eng);
            if (!st->entries.empty()) {
                st->cache = cache;
                vx::setattr(self, "_cache", make_deferred(st, Deferred::Cache));
            }
        },
        name);
    result = vx::own(Py_BuildValue("(OL)", hooks.out().ptr(), nswap));
    return true;
}

}  // namespace routing::fast
