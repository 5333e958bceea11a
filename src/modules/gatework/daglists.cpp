// convert_gate_info_to_dag_info: a gate list as the node list and the edge
// list of its circuit DAG.
//
// The records are read by the shared record reader (records.hpp: names,
// attributes, wires); which earlier node each wire comes from, and so the
// edges, is worked out by the DAG engine.  The same builders, with the gate
// classifier and the record check, are offered to the other modules through
// a capsule held by the function object (dag_api.hpp), so qc2dag can load a
// graph without numpy in between.
#include "gatework.hpp"
#include "records.hpp"

#include "dag_api.hpp"
#include "dag_engine.hpp"

#include <cmath>
#include <limits>
#include <string>
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

EdgeRule rule_of(Kind k) { return k == Kind::ThreeQubit ? EdgeRule::ThreeQubit : EdgeRule::Grouped; }

// A new list of the given objects.
nb::object list_of(PyObject *const *objs, Py_ssize_t n) {
    nb::object l = vx::own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(objs[i]);
        PyList_SET_ITEM(l.ptr(), i, objs[i]);
    }
    return l;
}

// Classical bits as keys of the DAG engine, so that the writes to one bit
// stay in order.  An integer bit (or one that converts to an integer, or a
// float of an integral value) is its value; any other bit, which no pass's
// record check lets through, is told apart by equality, as a dict tells its
// keys apart; a bit that cannot be a dict key cannot be ordered and is
// refused.
class BitKeys {
public:
    std::int64_t key(PyObject *bit, PyObject *rec) {
        long long v;
        if (vx::exact_ll(bit, v) && v >= kFirstOther / 2)
            return v;
        if (PyIndex_Check(bit) && !PyLong_CheckExact(bit)) {
            nb::object i = vx::own(PyNumber_Index(bit));
            if (vx::exact_ll(i.ptr(), v) && v >= kFirstOther / 2)
                return v;
        } else if (PyFloat_Check(bit)) {
            const double d = PyFloat_AS_DOUBLE(bit);
            if (d == std::floor(d) && std::fabs(d) < 0x1p62)
                return static_cast<std::int64_t>(d);
        }
        return other(bit, rec);
    }

private:
    static constexpr std::int64_t kFirstOther = std::numeric_limits<std::int64_t>::min();

    std::int64_t other(PyObject *bit, PyObject *rec) {
        if (!others_.is_valid())
            others_ = vx::own(PyDict_New());
        if (PyObject_Hash(bit) == -1) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError))
                throw vx::error_already_set{};
            PyErr_Clear();
            vx::type_error("classical bit must be an integer, got " + vx::describe(bit) + " in gate record " +
                           vx::describe(rec));
        }
        PyObject *known = PyDict_GetItemWithError(others_.ptr(), bit);
        if (known)
            return kFirstOther + PyLong_AsLongLong(known);
        if (PyErr_Occurred())
            throw vx::error_already_set{};
        const Py_ssize_t id = PyDict_GET_SIZE(others_.ptr());
        nb::object n = vx::own(PyLong_FromSsize_t(id));
        vx::check(PyDict_SetItem(others_.ptr(), bit, n.ptr()));
        return kFirstOther + id;
    }

    nb::object others_;
};

extern const vx::dagapi::Api kApi;

class ListBuilder {
public:
    // `names`: node-name objects to use by node number, filled in where missing (owned references).
    ListBuilder(PyObject *globals, long long nqubits, std::size_t hint, std::vector<PyObject *> *names = nullptr)
        : kinds_(kApi, globals), reader_(kinds_, nqubits), engine_(nqubits), nqubits_(nqubits), names_in_(names) {
        nodes_ = vx::own(PyList_New(0));
        names_.reserve(hint);
        engine_.reserve(hint, hint * 2, hint * 2);
    }

    void add_start_nodes(PyObject *qubits_snapshot) {
        const Py_ssize_t n = PyList_GET_SIZE(qubits_snapshot);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *q = PyList_GET_ITEM(qubits_snapshot, i);
            std::int64_t w;
            qubit_index(q, nqubits_, nullptr, w);
            std::string name(1, 'q');
            name += std::to_string(w);
            nb::object attrs = vx::own(PyDict_New());
            nb::object ql = list_of(&q, 1);
            vx::check(PyDict_SetItem(attrs.ptr(), keys().qubits, ql.ptr()));
            NodeId id = engine_.add_start_node(w);
            append_node(id, name, attrs);
        }
    }

    void add_record(PyObject *rec) {
        reader_.read(rec, [&](const Node &n) { gate(n); });
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
            PyTuple_SET_ITEM(t, 0, Py_NewRef(src));
            PyTuple_SET_ITEM(t, 1, Py_NewRef(dst));
            PyTuple_SET_ITEM(t, 2, attrs.release().ptr());
            PyList_SET_ITEM(out.ptr(), i++, t);
        }
        return nb::steal(vx::check(PyTuple_Pack(2, nodes_.ptr(), out.ptr())));
    }

private:
    // The node of one gate: its attributes by kind, its name, its edges.
    void gate(const Node &n) {
        const Keys &k = keys();
        nb::object attrs = vx::own(PyDict_New());
        nb::object ql = list_of(n.qubit_objects, static_cast<Py_ssize_t>(n.nqubits));
        vx::check(PyDict_SetItem(attrs.ptr(), k.qubits, ql.ptr()));
        if (const int np = vx::dagapi::record_param_count(n.kind, PyTuple_GET_SIZE(n.rec))) {
            nb::object params = list_of(&PyTuple_GET_ITEM(n.rec, 1), np);
            vx::check(PyDict_SetItem(attrs.ptr(), k.params, params.ptr()));
        } else if (n.kind == Kind::Measure) {
            nb::object cbits = list_of(&n.aux, 1);
            vx::check(PyDict_SetItem(attrs.ptr(), k.cbits, cbits.ptr()));
        } else if (n.kind == Kind::Delay) {
            vx::check(PyDict_SetItem(attrs.ptr(), k.duration, n.aux));
        }

        const NodeId id = n.kind == Kind::Measure ? engine_.add_measure(n.qubits[0], bits_.key(n.aux, n.rec))
                                                  : engine_.add_gate({n.qubits, n.nqubits}, rule_of(n.kind));
        PyObject *given = names_in_ && static_cast<size_t>(id) < names_in_->size() ? (*names_in_)[id] : nullptr;
        if (given) {
            append_node_object(given, attrs);
            ++position_;
            return;
        }
        vx::dagapi::node_name(name_buf_, vx::utf8(n.name), position_++, n.qubits, n.nqubits);
        append_node(id, name_buf_, attrs);
    }

    void append_node(NodeId id, const std::string &name, const nb::object &attrs) {
        nb::object s = vx::str_obj(name);
        if (names_in_) {
            if (names_in_->size() <= static_cast<size_t>(id))
                names_in_->resize(static_cast<size_t>(id) + 1, nullptr);
            (*names_in_)[static_cast<size_t>(id)] = Py_NewRef(s.ptr());
        }
        append_node_object(s.ptr(), attrs);
    }

    void append_node_object(PyObject *s, const nb::object &attrs) {
        nb::object t = vx::own(PyTuple_Pack(2, s, attrs.ptr()));
        vx::check(PyList_Append(nodes_.ptr(), t.ptr()));
        names_.push_back(s);  // kept alive by the node list
    }

    GateKinds kinds_;
    RecordReader reader_;
    DagBuilder engine_;
    BitKeys bits_;
    long long nqubits_;
    long long position_ = 0;
    nb::object nodes_;
    std::vector<PyObject *> names_;
    std::vector<PyObject *> *names_in_;
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
    for (Py_ssize_t i = 0; i < ng; ++i) {
        vx::poll_signals(i, 1 << 16);
        b.add_record(PyList_GET_ITEM(gl.ptr(), i));
    }
    return b.finish();
}

// The same reading of the records, keeping only numbers.
void build_skeleton(PyObject *globals, long long nqubits, PyObject *gates, bool reversed, vx::dagapi::Skeleton &out) {
    if (!PyList_CheckExact(gates))
        vx::type_error("gates must be a list");
    // a snapshot: an operand's __index__ could change the caller's list
    nb::object gl = vx::own(PyList_GetSlice(gates, 0, PY_SSIZE_T_MAX));
    const Py_ssize_t ng = PyList_GET_SIZE(gl.ptr());
    if (ng >= (Py_ssize_t{1} << 30))
        vx::value_error("too many gate records");
    out = {};
    // one node and at most two wires and edges a record, mostly: grown
    // once where the guess is short, rather than step by step
    const auto hint = static_cast<std::size_t>(ng);
    out.rec.reserve(hint);
    out.part.reserve(hint);
    out.kind.reserve(hint);
    out.w_off.reserve(hint + 1);
    out.wires.reserve(2 * hint);
    GateKinds kinds(kApi, globals);
    RecordReader reader(kinds, nqubits);
    DagBuilder engine(nqubits);
    engine.keep_edge_wires(false);  // the skeleton's edges are their ends
    engine.reserve(hint, 2 * hint, 0);
    BitKeys bits;
    for (Py_ssize_t k = 0; k < ng; ++k) {
        vx::poll_signals(k, 1 << 16);
        const Py_ssize_t i = reversed ? ng - 1 - k : k;
        reader.read(PyList_GET_ITEM(gl.ptr(), i), [&](const Node &n) {
            const std::size_t base = out.wires.size();
            out.wires.insert(out.wires.end(), n.qubits, n.qubits + n.nqubits);
            if (n.kind == Kind::Measure) {
                out.bits.push_back(bits.key(n.aux, n.rec));
                engine.add_measure(n.qubits[0], out.bits.back());
            } else {
                engine.add_gate({out.wires.data() + base, n.nqubits}, rule_of(n.kind));
            }
            out.w_off.push_back(static_cast<std::int32_t>(out.wires.size()));
            out.rec.push_back(static_cast<std::int32_t>(i));
            out.part.push_back(static_cast<std::int32_t>(n.part));
            out.kind.push_back(n.kind);
        });
    }
    out.edges = engine.take_edges();
}

PyObject *build_dag_lists_c(PyObject *globals, long long nqubits, PyObject *qubits, PyObject *gates, int show_qubits,
                            std::vector<PyObject *> *names) {
    return vx::guarded(
        [&] { return build_dag_lists(globals, nqubits, qubits, gates, show_qubits != 0, names).release().ptr(); },
        static_cast<PyObject *>(nullptr));
}

bool build_skeleton_c(PyObject *globals, long long nqubits, PyObject *gates, bool reversed, vx::dagapi::Skeleton &out) {
    return vx::guarded(
        [&] {
            build_skeleton(globals, nqubits, gates, reversed, out);
            return true;
        },
        false);
}

const vx::dagapi::Api kApi = {vx::dagapi::kVersion, classify_c, check_records_c, build_dag_lists_c, build_skeleton_c};

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
    nb::object pkg = vx::import("vexal.circuit");
    vx::setattr(pkg, vx::dagapi::kPackageAttribute, capsule);
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

nb::object record_wires(const vx::Args &a) {
    PyObject *rec = a.ptr(0);
    if (!PyTuple_Check(rec) || PyTuple_GET_SIZE(rec) == 0)
        vx::type_error("a gate record is a tuple of a name and its operands, got " + vx::describe(rec));
    GateKinds kinds(kApi, a.func()->globals);
    PyObject *name = PyTuple_GET_ITEM(rec, 0);
    const vx::dagapi::GateKind &k = kinds.of(name);
    if (!k.shaped)
        vx::dagapi::wrong_gate_type(name);
    const Py_ssize_t len = PyTuple_GET_SIZE(rec);
    auto need = [&](bool ok) {
        if (!ok)
            vx::value_error("malformed gate record " + vx::describe(rec));
    };
    auto item_tuple = [&](Py_ssize_t i) { return vx::own(PySequence_Tuple(PyTuple_GET_ITEM(rec, i))); };
    nb::object no_bits = vx::own(PyTuple_New(0));
    switch (k.record) {
    case Kind::Measure: need(len == 3); return nb::make_tuple(item_tuple(1), item_tuple(2));
    case Kind::Barrier: need(len == 2); return nb::make_tuple(item_tuple(1), no_bits);
    case Kind::Delay: need(len == 3); return nb::make_tuple(item_tuple(2), no_bits);
    default: {
        const Py_ssize_t nw = vx::dagapi::wire_count(k.record);
        need(k.record == Kind::Reset ? len == 2 : len >= 1 + nw);
        return nb::make_tuple(vx::own(PyTuple_GetSlice(rec, len - nw, len)), no_bits);
    }
    }
}

}  // namespace

vx::FunctionDef record_wires_def() { return {.name = "_record_wires", .impl = record_wires, .params = {{"record"}}}; }

}  // namespace gatework
