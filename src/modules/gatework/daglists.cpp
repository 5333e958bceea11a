// convert_gate_info_to_dag_info: a gate list as the node list and the edge
// list of its circuit DAG.
//
// The records are read here (names, attributes, wires); which earlier node
// each wire comes from, and so the edges, is worked out by the DAG engine.
// The same builder is offered to vexal.circuit.dag through a capsule held by
// the function object, so qc2dag can load a graph without numpy in between.
#include "gatework.hpp"

#include "dag_api.hpp"
#include "dag_engine.hpp"

#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace gatework {

namespace {

using engines::dag::DagBuilder;
using engines::dag::EdgeRule;
using engines::dag::NodeId;

using Kind = vx::dagapi::RecordKind;

struct Keys {
    PyObject *qubits = vx::intern("qubits");
    PyObject *params = vx::intern("params");
    PyObject *cbits = vx::intern("cbits");
    PyObject *duration = vx::intern("duration");
    PyObject *qubit = vx::intern("qubit");
};
const Keys &keys() {
    static Keys k;
    return k;
}

std::string text_of(PyObject *o, bool use_repr) {
    PyObject *s = use_repr ? PyObject_Repr(o) : PyObject_Str(o);
    if (!s) {
        PyErr_Clear();
        return "<?>";
    }
    nb::object so = nb::steal(s);
    Py_ssize_t n = 0;
    const char *c = PyUnicode_AsUTF8AndSize(s, &n);
    if (!c) {
        PyErr_Clear();
        return "<?>";
    }
    return std::string(c, static_cast<size_t>(n));
}

[[noreturn]] void malformed(PyObject *rec, const char *why) {
    vx::value_error("malformed gate record " + text_of(rec, true) + ": " + why);
}

// Sorts record names into kinds with the module's tables as they stand at
// call time.  Exact str names against exact dict tables are remembered by
// object for the length of one call (no Python code can run in between).
class Classifier {
public:
    explicit Classifier(PyObject *globals) {
        for (int i = 0; i < 6; ++i) {
            PyObject *t = PyDict_GetItemWithError(globals, vx::intern(vx::kGateTables[i]));
            if (!t) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_NameError, "name '%s' is not defined", vx::kGateTables[i]);
                throw vx::error_already_set{};
            }
            tables_[i] = nb::borrow(t);
            all_dicts_ = all_dicts_ && PyDict_CheckExact(t);
        }
    }

    // The kind of a record name; ValueError for a name in no table.
    Kind kind(PyObject *name) {
        const bool cacheable = all_dicts_ && PyUnicode_CheckExact(name);
        if (cacheable) {
            auto it = cache_.find(name);
            if (it != cache_.end())
                return it->second;
        }
        Kind k = classify(name);
        if (cacheable)
            cache_.emplace(name, k);
        return k;
    }

private:
    bool in(int table, PyObject *name) {
        int r = PySequence_Contains(tables_[table].ptr(), name);
        vx::check(r);
        return r != 0;
    }
    static bool is(PyObject *name, const char *text) {
        return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, text) == 0;
    }
    Kind classify(PyObject *name) {
        if (in(0, name))
            return Kind::OneQubit;
        if (in(1, name))
            return Kind::TwoQubit;
        if (in(2, name))
            return Kind::ThreeQubit;
        if (in(3, name)) {
            if (is(name, "u"))
                return Kind::U;
            if (is(name, "r"))
                return Kind::R;
            return Kind::OneParam;
        }
        if (in(4, name))
            return Kind::TwoParam;
        if (in(5, name)) {
            if (is(name, "measure"))
                return Kind::Measure;
            if (is(name, "barrier"))
                return Kind::Barrier;
            if (is(name, "delay"))
                return Kind::Delay;
            if (is(name, "reset"))
                return Kind::Reset;
        }
        vx::value_error("wrong gate type " + text_of(name, false));
    }

    nb::object tables_[6];  // held: a wire's __index__ could rebind the module's names
    bool all_dicts_ = true;
    std::unordered_map<PyObject *, Kind> cache_;
};

// A wire operand as an index below nqubits.
std::int64_t wire_index(PyObject *o, std::int64_t nqubits, PyObject *rec) {
    nb::object idx;
    PyObject *v = o;
    if (!PyLong_Check(o)) {
        PyObject *r = PyNumber_Index(o);
        if (!r) {
            PyErr_Clear();
            if (rec)
                vx::type_error("qubit index must be an integer, got " + text_of(o, true) + " in gate record " +
                               text_of(rec, true));
            vx::type_error("qubit index must be an integer, got " + text_of(o, true) + " in qubits");
        }
        idx = nb::steal(r);
        v = r;
    }
    int overflow = 0;
    long long w = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (w == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    if (overflow || w < 0 || w >= nqubits) {
        std::string msg =
            "qubit index " + text_of(v, false) + " out of range for " + std::to_string(nqubits) + " qubits";
        if (rec)
            msg += " in gate record " + text_of(rec, true);
        else
            msg += " in qubits";
        vx::value_error(msg);
    }
    return w;
}

PyObject *item(PyObject *tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple, i); }

// A new list of the given objects.
nb::object list_of(PyObject *const *objs, Py_ssize_t n) {
    nb::object l = vx::own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(objs[i]);
        PyList_SET_ITEM(l.ptr(), i, objs[i]);
    }
    return l;
}

PyObject **tuple_items(PyObject *t) { return &PyTuple_GET_ITEM(t, 0); }

template <class Sink>
void read_record(Classifier &classify_, PyObject *rec_in, Sink &sink, std::vector<nb::object> &keep_) {
    nb::object rec;
    if (PyTuple_Check(rec_in))
        rec = nb::borrow(rec_in);
    else if (PyList_Check(rec_in)) {
        rec = vx::own(PyList_AsTuple(rec_in));
        keep_.push_back(rec);  // its name may sit in the kind cache
    } else
        malformed(rec_in, "a gate record is a tuple");
    PyObject *r = rec.ptr();
    const Py_ssize_t len = PyTuple_GET_SIZE(r);
    if (len == 0)
        malformed(r, "no gate name");
    PyObject *name = item(r, 0);
    const Kind kind = classify_.kind(name);

    auto need = [&](bool ok) {
        if (!ok)
            malformed(r, "wrong number of elements for its gate kind");
    };

    switch (kind) {
    case Kind::OneQubit:
    case Kind::Reset:
        need(len == 2);
        sink.gate(r, name, kind, tuple_items(r) + 1, 1, EdgeRule::Grouped, nullptr, 0);
        break;
    case Kind::TwoQubit:
        need(len == 3);
        sink.gate(r, name, kind, tuple_items(r) + 1, 2, EdgeRule::Grouped, nullptr, 0);
        break;
    case Kind::ThreeQubit:
        need(len == 4);
        sink.gate(r, name, kind, tuple_items(r) + 1, 3, EdgeRule::ThreeQubit, nullptr, 0);
        break;
    case Kind::U:
    case Kind::R:
    case Kind::OneParam: {
        Py_ssize_t nparams = kind == Kind::U ? 3 : kind == Kind::R ? 2 : 1;
        if (kind == Kind::OneParam && PyUnicode_CompareWithASCIIString(name, "u3") == 0)
            need(len >= 3);
        else
            need(len == nparams + 2);
        sink.gate(r, name, kind, tuple_items(r) + (len - 1), 1, EdgeRule::Grouped, nullptr, 0);
        break;
    }
    case Kind::TwoParam: {
        need(len == 4);
        sink.gate(r, name, kind, tuple_items(r) + 2, 2, EdgeRule::Grouped, nullptr, 0);
        break;
    }
    case Kind::Measure: {
        need(len == 3);
        nb::object qs = vx::own(PySequence_Tuple(item(r, 1)));
        nb::object cs = vx::own(PySequence_Tuple(item(r, 2)));
        const Py_ssize_t nq = PyTuple_GET_SIZE(qs.ptr());
        if (PyTuple_GET_SIZE(cs.ptr()) < nq)
            malformed(r, "fewer classical bits than qubits");
        for (Py_ssize_t i = 0; i < nq; ++i) {
            sink.gate(r, name, kind, tuple_items(qs.ptr()) + i, 1, EdgeRule::Grouped, item(cs.ptr(), i), i);
        }
        break;
    }
    case Kind::Barrier: {
        need(len == 2);
        nb::object ws = vx::own(PySequence_Tuple(item(r, 1)));
        sink.gate(r, name, kind, tuple_items(ws.ptr()), PyTuple_GET_SIZE(ws.ptr()), EdgeRule::Grouped, nullptr, 0);
        break;
    }
    case Kind::Delay: {
        need(len == 3);
        nb::object ws = vx::own(PySequence_Tuple(item(r, 2)));
        sink.gate(r, name, kind, tuple_items(ws.ptr()), PyTuple_GET_SIZE(ws.ptr()), EdgeRule::Grouped, item(r, 1), 0);
        break;
    }
    }
}

class ListBuilder {
public:
    // `names`: node-name objects to use by node number, filled in where missing (owned references).
    ListBuilder(PyObject *globals, long long nqubits, std::size_t hint, std::vector<PyObject *> *names = nullptr)
        : classify_(globals), engine_(nqubits), nqubits_(nqubits < 0 ? 0 : nqubits), names_in_(names) {
        nodes_ = vx::own(PyList_New(0));
        edges_ = vx::own(PyList_New(0));
        names_.reserve(hint);
        engine_.reserve(hint, hint * 2, hint * 2);
    }

    void add_start_nodes(PyObject *qubits_snapshot) {
        const Py_ssize_t n = PyList_GET_SIZE(qubits_snapshot);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *q = PyList_GET_ITEM(qubits_snapshot, i);
            std::int64_t w = wire_index(q, nqubits_, nullptr);
            std::string name(1, 'q');
            name += std::to_string(w);
            nb::object attrs = vx::own(PyDict_New());
            nb::object ql = list_of(&q, 1);
            vx::check(PyDict_SetItem(attrs.ptr(), keys().qubits, ql.ptr()));
            NodeId id = engine_.add_start_node(w);
            append_node(id, name, attrs);
        }
    }

    // One node over `n` wire operands (see read_record).
    void gate(PyObject *rec, PyObject *name, Kind kind, PyObject *const *wires, Py_ssize_t n, EdgeRule rule,
              PyObject *aux, Py_ssize_t part) {
        (void)part;
        const Keys &k = keys();
        nb::object extra;
        PyObject *key = nullptr;
        if (const int np = vx::dagapi::param_count(kind)) {
            extra = list_of(tuple_items(rec) + 1, np);
            key = k.params;
        } else if (kind == Kind::Measure) {
            extra = list_of(&aux, 1);
            key = k.cbits;
        } else if (kind == Kind::Delay) {
            extra = nb::borrow(aux);
            key = k.duration;
        }
        wire_buf_.resize(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            wire_buf_[static_cast<size_t>(i)] = wire_index(wires[i], nqubits_, rec);

        nb::object attrs = vx::own(PyDict_New());
        nb::object ql = list_of(wires, n);
        vx::check(PyDict_SetItem(attrs.ptr(), keys().qubits, ql.ptr()));
        if (key)
            vx::check(PyDict_SetItem(attrs.ptr(), key, extra.ptr()));

        NodeId id = engine_.add_gate(wire_buf_, rule);
        PyObject *given = names_in_ && static_cast<size_t>(id) < names_in_->size() ? (*names_in_)[id] : nullptr;
        if (given) {
            append_node_object(given, attrs);
            ++position_;
            return;
        }
        Py_ssize_t nlen = 0;
        const char *nc = PyUnicode_AsUTF8AndSize(name, &nlen);
        if (!nc)
            throw vx::error_already_set{};
        vx::dagapi::node_name(name_buf_, {nc, static_cast<size_t>(nlen)}, position_++, wire_buf_.data(),
                              wire_buf_.size());
        append_node(id, name_buf_, attrs);
    }

    // The pair (node list, edge list).
    nb::object finish() {
        const auto &edges = engine_.edges();
        nb::object out = vx::own(PyList_New(static_cast<Py_ssize_t>(edges.size())));
        Py_ssize_t i = 0;
        for (const auto &e : edges) {
            auto ws = engine_.wires_of(e);
            nb::object wl = vx::own(PyList_New(static_cast<Py_ssize_t>(ws.size())));
            for (size_t j = 0; j < ws.size(); ++j)
                PyList_SET_ITEM(wl.ptr(), static_cast<Py_ssize_t>(j), vx::check(PyLong_FromLongLong(ws[j])));
            nb::object attrs = vx::own(PyDict_New());
            vx::check(PyDict_SetItem(attrs.ptr(), keys().qubit, wl.ptr()));
            PyObject *src = names_[static_cast<size_t>(e.src)];
            PyObject *dst = names_[static_cast<size_t>(e.dst)];
            PyObject *t = vx::check(PyTuple_New(3));
            Py_INCREF(src);
            Py_INCREF(dst);
            PyTuple_SET_ITEM(t, 0, src);
            PyTuple_SET_ITEM(t, 1, dst);
            PyTuple_SET_ITEM(t, 2, attrs.release().ptr());
            PyList_SET_ITEM(out.ptr(), i++, t);
        }
        return nb::steal(vx::check(PyTuple_Pack(2, nodes_.ptr(), out.ptr())));
    }

    void add_record(PyObject *rec) { read_record(classify_, rec, *this, keep_); }

private:
    void append_node(NodeId id, const std::string &name, const nb::object &attrs) {
        nb::object s = vx::own(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (names_in_) {
            if (names_in_->size() <= static_cast<size_t>(id))
                names_in_->resize(static_cast<size_t>(id) + 1, nullptr);
            (*names_in_)[static_cast<size_t>(id)] = nb::object(s).release().ptr();
        }
        append_node_object(s.ptr(), attrs);
    }

    void append_node_object(PyObject *s, const nb::object &attrs) {
        PyObject *t = vx::check(PyTuple_Pack(2, s, attrs.ptr()));
        nb::object to = nb::steal(t);
        vx::check(PyList_Append(nodes_.ptr(), t));
        names_.push_back(s);  // kept alive by the node list
    }

    Classifier classify_;
    DagBuilder engine_;
    std::int64_t nqubits_;
    long long position_ = 0;
    nb::object nodes_, edges_;
    std::vector<PyObject *> names_;
    std::vector<PyObject *> *names_in_;
    std::vector<nb::object> keep_;
    std::vector<std::int64_t> wire_buf_;
    std::string name_buf_;
};

nb::object build_dag_lists(PyObject *globals, long long nqubits, PyObject *qubits, PyObject *gates, bool show_qubits,
                           std::vector<PyObject *> *names = nullptr) {
    vx::GcPause pause;
    // Work on snapshots: converting an operand may run Python code that
    // could change the caller's lists under us.
    nb::object gl = vx::own(PyList_GetSlice(gates, 0, PY_SSIZE_T_MAX));
    nb::object ql = vx::own(PyList_GetSlice(qubits, 0, PY_SSIZE_T_MAX));
    const Py_ssize_t ng = PyList_GET_SIZE(gl.ptr());
    ListBuilder b(globals, nqubits, static_cast<std::size_t>(ng + PyList_GET_SIZE(ql.ptr())), names);
    if (show_qubits)
        b.add_start_nodes(ql.ptr());
    for (Py_ssize_t i = 0; i < ng; ++i)
        b.add_record(PyList_GET_ITEM(gl.ptr(), i));
    return b.finish();
}

// The same reading of the records, keeping only numbers.
class SkeletonBuilder {
public:
    SkeletonBuilder(PyObject *globals, long long nqubits, vx::dagapi::Skeleton &out)
        : classify_(globals), engine_(nqubits), nqubits_(nqubits < 0 ? 0 : nqubits), out_(out) {}

    void add_record(PyObject *rec, std::int32_t index) {
        index_ = index;
        read_record(classify_, rec, *this, keep_);
    }

    void gate(PyObject *rec, PyObject *name, Kind kind, PyObject *const *wires, Py_ssize_t n, EdgeRule rule,
              PyObject *aux, Py_ssize_t part) {
        (void)name;
        (void)aux;
        const size_t base = out_.wires.size();
        for (Py_ssize_t i = 0; i < n; ++i)
            out_.wires.push_back(wire_index(wires[i], nqubits_, rec));
        engine_.add_gate({out_.wires.data() + base, static_cast<size_t>(n)}, rule);
        out_.w_off.push_back(static_cast<std::int32_t>(out_.wires.size()));
        out_.rec.push_back(index_);
        out_.part.push_back(static_cast<std::int32_t>(part));
        out_.kind.push_back(kind);
    }

    void finish() { out_.edges = engine_.edges(); }

private:
    Classifier classify_;
    DagBuilder engine_;
    std::int64_t nqubits_;
    vx::dagapi::Skeleton &out_;
    std::int32_t index_ = 0;
    std::vector<nb::object> keep_;
};

PyObject *build_dag_lists_c(PyObject *globals, long long nqubits, PyObject *qubits, PyObject *gates, int show_qubits,
                            std::vector<PyObject *> *names) {
    return vx::guarded(
        [&] { return build_dag_lists(globals, nqubits, qubits, gates, show_qubits != 0, names).release().ptr(); },
        static_cast<PyObject *>(nullptr));
}

bool build_skeleton_c(PyObject *globals, long long nqubits, PyObject *gates, bool reversed, vx::dagapi::Skeleton &out) {
    return vx::guarded(
        [&] {
            if (!PyList_CheckExact(gates))
                vx::type_error("gates must be a list");
            // a snapshot: an operand's __index__ could change the caller's list
            nb::object gl = vx::own(PyList_GetSlice(gates, 0, PY_SSIZE_T_MAX));
            const Py_ssize_t ng = PyList_GET_SIZE(gl.ptr());
            if (ng >= (Py_ssize_t{1} << 30))
                vx::value_error("too many gate records");
            out = {};
            SkeletonBuilder b(globals, nqubits, out);
            for (Py_ssize_t k = 0; k < ng; ++k) {
                const Py_ssize_t i = reversed ? ng - 1 - k : k;
                b.add_record(PyList_GET_ITEM(gl.ptr(), i), static_cast<std::int32_t>(i));
            }
            b.finish();
            return true;
        },
        false);
}

const vx::dagapi::Api kApi = {vx::dagapi::kVersion, build_dag_lists_c, build_skeleton_c};

nb::object convert_gate_info_to_dag_info(const vx::Args &a) {
    long long nqubits = a.ll(0);
    nb::object lists = build_dag_lists(a.func()->globals, nqubits, a.ptr(1), a.ptr(2), a.b(3));
    nb::handle np = a.global("np");
    nb::object array = np.attr("array");
    nb::object nodes = array(nb::handle(PyTuple_GET_ITEM(lists.ptr(), 0)));
    nb::object edges = array(nb::handle(PyTuple_GET_ITEM(lists.ptr(), 1)));
    return nb::steal(vx::check(PyTuple_Pack(2, nodes.ptr(), edges.ptr())));
}

vx::FunctionDef convert_gate_info_to_dag_info_def() {
    nb::object capsule =
        vx::own(PyCapsule_New(const_cast<vx::dagapi::Api *>(&kApi), vx::dagapi::kCapsuleName, nullptr));
    return {.name = "convert_gate_info_to_dag_info",
            .impl = convert_gate_info_to_dag_info,
            .params = {{"nqubits", vx::Conv::Int},
                       {"qubits", vx::Conv::List},
                       {"gates", vx::Conv::List},
                       {"show_qubits", vx::Conv::Bool}},
            .defaults = {nb::borrow(Py_True)},
            .data = capsule};
}
Register reg_convert_gate_info_to_dag_info("convert_gate_info_to_dag_info", convert_gate_info_to_dag_info_def);

}  // namespace
}  // namespace gatework
