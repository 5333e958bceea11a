// DynamicalDecoupling.run without the networkx DAG.
//
// Where the pass, the names it goes through, qc2dag and dag2qc (and what
// they use) are the package's own and the circuit holds plain records,
// nothing but the package's code would touch the DAG, and it dies within
// the call.  Its structure is then read straight from the records (the
// builder qc2dag uses: the same nodes, positions and edge order), the walk
// decides every insertion as it does on the real DAG, and the result's
// records come out in the order dag2qc gives: nx.topological_sort over the
// enlarged graph, whose nodes are the circuit's and then the inserted ones
// in the order they were made, each node's successors its remaining ones
// followed by those added to it, rebuilt as dag2qc rebuilds them.  The
// numbers drawn skip those whose node names the created names would take,
// as on the real DAG: a node is named by its number, which a measure of
// several qubits advances once per qubit.
#include "schedule.hpp"

#include "dag_order.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace schedule {

namespace {

using vx::dagapi::RecordKind;

// What the road goes through: the DAG builder, and the namespaces of dag
// (qc2dag, dag2qc) and of the builder.
struct Road {
    const vx::dagapi::Api *api = nullptr;
    PyObject *dagns = nullptr, *gatework = nullptr, *circuit = nullptr;
};

bool own_road(const vx::Args &a, nb::handle qc, Road &r) {
    vx::dagapi::OwnDag own;
    if (!vx::is_original(a, "dag2qc") || !vx::dagapi::own_dag(a.global("qc2dag"), own) ||
        reinterpret_cast<PyObject *>(Py_TYPE(qc.ptr())) != own.circuit)
        return false;
    r = {own.api, own.dag_globals, own.gatework, own.circuit};
    return true;
}

// The DAG qc2dag would build, as arrays, with what the walk and dag2qc
// need of each node.
struct Lean {
    PyObject *records = nullptr;
    vx::dagapi::Skeleton sk;
    dd::Nodes nodes;
    std::vector<std::int32_t> succ_off{0}, succ, npred;
    std::vector<std::int64_t> qubit_values;  // by qubit id
    std::unordered_map<std::int64_t, std::int32_t> qubit_ids;
    std::unordered_set<std::string> pulse_names;  // circuit node names a created name could take

    std::int32_t qubit_id(std::int64_t v) {
        auto [it, fresh] = qubit_ids.try_emplace(v, static_cast<std::int32_t>(qubit_values.size()));
        if (fresh)
            qubit_values.push_back(v);
        return it->second;
    }
};

bool sequence_operand(PyObject *x) { return PyList_CheckExact(x) || PyTuple_CheckExact(x); }

// Node k stands for what dag2qc would rebuild: its record is a tuple whose
// name has no "_" (so it is the node's gate name) and that dag2qc's tables
// read as the builder read it, with exact int qubits and sequences that are
// plain lists or tuples.
bool plain_node(const Lean &L, std::size_t k, vx::dagapi::GateKinds &out_kinds) {
    PyObject *rec = PyList_GET_ITEM(L.records, L.sk.rec[k]);
    if (!PyTuple_CheckExact(rec) || PyTuple_GET_SIZE(rec) < 2)
        return false;
    PyObject *name = PyTuple_GET_ITEM(rec, 0);
    const RecordKind kind = L.sk.kind[k];
    if (!PyUnicode_CheckExact(name) || vx::utf8(name).find('_') != std::string_view::npos)
        return false;
    const vx::dagapi::GateKind &out = out_kinds.of(name);
    if (!out.shaped || out.record != kind)
        return false;
    if (vx::dagapi::wire_count(kind))
        return vx::dagapi::plain_wires(rec, kind);
    const Py_ssize_t seqs = kind == RecordKind::Measure ? 2 : 1, first = kind == RecordKind::Delay ? 2 : 1;
    if (PyTuple_GET_SIZE(rec) != first + seqs)
        return false;
    for (Py_ssize_t i = first; i < first + seqs; ++i)
        if (!sequence_operand(PyTuple_GET_ITEM(rec, i)))
            return false;
    return true;
}

bool read(const vx::Args &a, const Road &r, Lean &L) {
    vx::dagapi::GateKinds out_kinds(*r.api, r.dagns);
    vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), a.func()->globals, kTableBits);
    Classifier cls(kinds);
    const vx::dagapi::Skeleton &sk = L.sk;
    std::string name;
    for (std::size_t k = 0; k < sk.size(); ++k) {
        vx::poll_signals(k, 1 << 16);
        if (!plain_node(L, k, out_kinds))
            return false;
        const std::string_view gate = vx::utf8(PyTuple_GET_ITEM(PyList_GET_ITEM(L.records, sk.rec[k]), 0));
        const Kind kind = cls.classify(gate);
        const std::int64_t *wires = sk.wires.data() + sk.w_off[k];
        const std::size_t nw = static_cast<std::size_t>(sk.w_off[k + 1] - sk.w_off[k]);
        for (std::size_t i = 0; i < nw; ++i)
            L.nodes.q.push_back(L.qubit_id(wires[i]));
        L.nodes.q_off.push_back(static_cast<std::int32_t>(L.nodes.q.size()));
        L.nodes.duration.push_back(kind.duration);
        L.nodes.slack.push_back(kind.slack);
        L.nodes.barrier.push_back(kind.barrier);
        if (nw == 1 && (gate == "x" || gate == "y" || gate == "delay")) {
            vx::dagapi::node_name(name, gate, static_cast<long long>(k), wires, 1);  // named by node, not record
            L.pulse_names.insert(name);
        }
    }
    // successors in the order the graph receives its edges, each pair once
    std::vector<std::vector<std::int32_t>> out(sk.size());
    L.npred.assign(sk.size(), 0);
    for (const auto &e : sk.edges) {
        auto &s = out[static_cast<std::size_t>(e.src)];
        if (std::find(s.begin(), s.end(), e.dst) == s.end()) {
            s.push_back(e.dst);
            ++L.npred[static_cast<std::size_t>(e.dst)];
        }
    }
    for (const auto &s : out) {
        L.succ.insert(L.succ.end(), s.begin(), s.end());
        L.succ_off.push_back(static_cast<std::int32_t>(L.succ.size()));
    }
    return true;
}

// The enlarged graph: the circuit's nodes, then the inserted ones.
struct Grown {
    struct Made {
        dd::Piece piece;  // HalfGap and Gap are delays; a leading delay is a Gap
        std::int32_t qubit;
        double duration;
    };
    const Lean &L;
    std::vector<std::uint8_t> removed;                         // by edge of L.succ
    std::vector<std::pair<std::int32_t, std::int32_t>> added;  // edges from the circuit's nodes, in order
    std::vector<Made> made;
    std::vector<std::int32_t> next;  // the one successor of each made node
    std::vector<std::int32_t> npred;

    explicit Grown(const Lean &l) : L(l), removed(l.succ.size(), 0), npred(l.npred) {}

    std::int32_t id(std::size_t i) const { return static_cast<std::int32_t>(L.sk.size() + i); }
    bool is_made(std::int32_t u) const { return static_cast<std::size_t>(u) >= L.sk.size(); }
    // a made node: a leading delay has no predecessor, a train's node one
    std::int32_t make(dd::Piece p, std::int32_t q, double duration, std::int32_t preds = 1) {
        made.push_back({p, q, duration});
        next.push_back(-1);
        npred.push_back(preds);
        return id(made.size() - 1);
    }
    void edge(std::int32_t u, std::int32_t v) {
        if (is_made(u))
            next[static_cast<std::size_t>(u) - L.sk.size()] = v;
        else
            added.emplace_back(u, v);
        if (!is_made(v))
            ++npred[static_cast<std::size_t>(v)];
    }
    void remove(std::int32_t u, std::int32_t v) {
        for (std::int32_t i = L.succ_off[u]; i < L.succ_off[u + 1]; ++i)
            if (L.succ[i] == v && !removed[i]) {
                removed[i] = 1;
                --npred[static_cast<std::size_t>(v)];
                return;
            }
    }

    void insert(const dd::Insertion &ins, int length) {
        if (ins.kind == dd::Insertion::Delay) {
            edge(make(dd::Piece::Gap, ins.qubit, ins.idle, 0), ins.node);
            return;
        }
        remove(ins.pre, ins.node);
        std::int32_t first = -1, last = -1;
        dd::train_pieces(ins.n_dd, length, ins.tgap > 0, [&](dd::Piece p) {
            const std::int32_t u = make(p, ins.qubit, p == dd::Piece::HalfGap ? ins.tgap / 2 : ins.tgap);
            if (last >= 0)
                edge(last, u);
            else
                first = u;
            last = u;
        });
        edge(ins.pre, first);
        edge(last, ins.node);
    }

    // nx.topological_sort's order of the enlarged graph
    engines::dag::Generations order() const {
        const std::size_t n0 = L.sk.size(), n = n0 + made.size();
        std::vector<std::vector<std::int32_t>> extra(n0);
        for (const auto &[u, v] : added)
            extra[static_cast<std::size_t>(u)].push_back(v);
        std::vector<std::int32_t> off{0}, succ;
        off.reserve(n + 1);
        succ.reserve(L.succ.size() + added.size() + made.size());
        for (std::size_t u = 0; u < n0; ++u) {
            for (std::int32_t i = L.succ_off[u]; i < L.succ_off[u + 1]; ++i)
                if (!removed[i])
                    succ.push_back(L.succ[i]);
            succ.insert(succ.end(), extra[u].begin(), extra[u].end());
            off.push_back(static_cast<std::int32_t>(succ.size()));
        }
        for (std::int32_t v : next) {
            succ.push_back(v);
            off.push_back(static_cast<std::int32_t>(succ.size()));
        }
        engines::dag::Generations out;
        if (!engines::dag::generations(off, succ, npred, out))
            vx::raise(PyExc_RuntimeError, "dynamical decoupling: the circuit DAG has a cycle");
        return out;
    }
};

// The numbers of the made nodes, in the order they were made: each the next
// one whose name no circuit node has.
long long number(const Lean &L, const Grown &G, long long count) {
    const long long last_position = static_cast<long long>(L.sk.size()) - 1;  // the last node's number
    std::string name;
    for (const Grown::Made &m : G.made) {
        const char *prefix = m.piece == dd::Piece::X ? "x" : m.piece == dd::Piece::Y ? "y" : "delay";
        for (;;) {
            ++count;
            if (count > last_position || L.pulse_names.empty())
                break;
            vx::dagapi::node_name(name, prefix, count, &L.qubit_values[static_cast<std::size_t>(m.qubit)], 1);
            if (!L.pulse_names.count(name))
                break;
        }
    }
    return count;
}

// The records dag2qc rebuilds, in its order.
nb::object records(const Lean &L, const Grown &G) {
    const engines::dag::Generations order = G.order();
    nb::handle x = vx::intern("x"), y = vx::intern("y"), delay = vx::intern("delay");
    std::vector<nb::object> qubits(L.qubit_values.size());
    nb::object out = vx::own(PyList_New(static_cast<Py_ssize_t>(order.nodes.size())));
    nb::object duration;
    double last_duration = -1;
    for (std::size_t i = 0; i < order.nodes.size(); ++i) {
        vx::poll_signals(i, 1 << 16);
        const std::int32_t u = order.nodes[i];
        nb::object rec;
        if (!G.is_made(u)) {
            const std::size_t k = static_cast<std::size_t>(u);
            rec = vx::dagapi::rebuilt_record(PyList_GET_ITEM(L.records, L.sk.rec[k]), L.sk.kind[k], L.sk.part[k]);
        } else {
            const Grown::Made &m = G.made[static_cast<std::size_t>(u) - L.sk.size()];
            nb::object &q = qubits[static_cast<std::size_t>(m.qubit)];
            if (!q.is_valid())
                q = vx::int_obj(L.qubit_values[static_cast<std::size_t>(m.qubit)]);
            if (m.piece == dd::Piece::X || m.piece == dd::Piece::Y) {
                rec = nb::make_tuple(m.piece == dd::Piece::X ? x : y, q);
            } else {
                if (!duration.is_valid() || m.duration != last_duration) {
                    duration = vx::own(PyFloat_FromDouble(m.duration));
                    last_duration = m.duration;
                }
                rec = nb::make_tuple(delay, duration, nb::make_tuple(q));
            }
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), rec.release().ptr());
    }
    return out;
}

}  // namespace

bool lean_run(const vx::Args &a, nb::handle self, nb::handle qc, int sequence_length, bool align_right,
              bool insert_before_barrier, nb::object &result, vx::PathChoice &path) {
    Road road;
    if (!own_road(a, qc, road))
        return path.decline("dag2qc, qc2dag or what they go through is not the package's own, or the circuit's class "
                            "is not the one dag2qc makes");
    nb::object t1g = vx::getattr(self, "t1g"), t2g = vx::getattr(self, "t2g"), count = vx::getattr(self, "_count");
    nb::object nqubits = vx::getattr(qc, "nqubits"), gates = vx::getattr(qc, "gates");
    nb::object qubits = vx::getattr(qc, "qubits"), ncbits = vx::getattr(qc, "ncbits");
    long long start, nq;
    if (!PyFloat_CheckExact(t1g.ptr()) || !PyFloat_CheckExact(t2g.ptr()) || !vx::exact_ll(count.ptr(), start) ||
        start < 0 || start > (std::int64_t{1} << 62) || !vx::exact_ll(nqubits.ptr(), nq) ||
        !PyList_CheckExact(gates.ptr()) || !PyList_CheckExact(qubits.ptr()))
        return path.decline("t1g, t2g, _count, nqubits, gates or qubits is not of the plain type the walk reads");

    vx::GcPause pause;  // many tuples of plain values, no Python code
    Lean L;
    L.records = gates.ptr();
    if (!road.api->skeleton(road.gatework, nq, gates.ptr(), false, L.sk))
        throw vx::error_already_set{};  // checked records: an interrupt or a real error
    if (!read(a, road, L))
        return path.decline("a record is of a kind the walk does not read");
    std::vector<std::uint8_t> has_record(L.qubit_values.size(), 0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i) {
        long long v;
        if (!vx::exact_ll(PyList_GET_ITEM(qubits.ptr(), i), v))
            return path.decline("a qubit is not a plain int");
        auto it = L.qubit_ids.find(v);
        if (it != L.qubit_ids.end())
            has_record[static_cast<std::size_t>(it->second)] = 1;
    }
    engines::dag::Generations layers;
    if (!(align_right ? engines::dag::reverse_generations(L.succ_off, L.succ, layers)
                      : engines::dag::generations(L.succ_off, L.succ, L.npred, layers)))
        return path.decline("the DAG has a cycle");

    const dd::Options opt{PyFloat_AS_DOUBLE(t1g.ptr()), PyFloat_AS_DOUBLE(t2g.ptr()), sequence_length,
                          insert_before_barrier, kMaxInserted};
    const dd::Outcome out =
        dd::walk(L.nodes, layers, align_right, has_record, opt, [] { return PyErr_CheckSignals() != 0; });
    nb::object missing;
    if (out.status == dd::Outcome::NoRecord)
        missing = vx::int_obj(L.qubit_values[static_cast<std::size_t>(out.qubit)]);
    if (!settle(out, missing))
        return path.decline("a duration the walk cannot represent");

    Grown G(L);
    for (const dd::Insertion &ins : out.insertions)
        G.insert(ins, sequence_length);
    const long long end = number(L, G, start);
    nb::object recs = records(L, G);
    pause.resume();

    result = vx::call(nb::handle(road.circuit), {nqubits, ncbits});
    vx::setattr(result, "gates", recs);
    vx::setattr(result, "qubits", qubits);
    vx::setattr(self, "_count", vx::int_obj(end));
    return true;
}

}  // namespace schedule
