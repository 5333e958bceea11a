// The fast path of DynamicalDecoupling.run: no networkx DAG at all.
//
// Where the pass, the names it goes through, qc2dag and dag2qc (and what
// they use) are the package's own and the circuit holds exact records,
// nothing but the package's code would touch the DAG, and it dies within
// the call.  Its structure is then read straight from the records (the
// builder qc2dag uses: the same nodes, numbers and edge order), the walk
// decides every insertion as it does on the real DAG, and the result's
// records come out in the order dag2qc gives: nx.topological_sort over the
// enlarged graph, whose nodes are the circuit's and then the inserted ones
// in the order they were made, each node's successors its remaining ones
// followed by those added to it, rebuilt as dag2qc rebuilds them.  The
// numbers drawn skip those whose node names the created names would take,
// as on the real DAG: a node is named by its number, which a measure of
// several qubits advances once per qubit.
//
// The inserted nodes get no arrays of their own: a train is a path whose
// pieces are read off the train, and the order is walked generation by
// generation as the records are written.  A record made only of immutable
// scalars is shared rather than copied (the circuit's own records, and one
// record for every pulse or delay of one value on one qubit), so the result
// costs little beyond its list.
#include "schedule.hpp"

#include "dag_order.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
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
struct FastWalk {
    PyObject *records = nullptr;
    vx::dagapi::Skeleton sk;
    std::vector<std::uint8_t> shared;  // by node: its record may stand for the one dag2qc rebuilds
    dd::Nodes nodes;
    std::vector<std::int32_t> succ_off{0}, succ, npred;
    std::vector<std::int64_t> qubit_values;  // by qubit id
    std::unordered_map<std::int64_t, std::int32_t> qubit_ids;
    std::unordered_set<std::string> pulse_names;  // circuit node names a created name could take

    // Frees the skeleton's wires and edges once read: the result needs no
    // more of it than each node's record.
    void drop_wires() {
        auto drop = [](auto &v) { std::remove_reference_t<decltype(v)>().swap(v); };
        drop(sk.edges);
        drop(sk.wires);
        drop(sk.w_off);
        drop(sk.bits);
    }

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
// exact lists or tuples.
bool exact_node(const FastWalk &L, std::size_t k, vx::dagapi::GateKinds &out_kinds) {
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
        return vx::dagapi::exact_wires(rec, kind);
    const Py_ssize_t seqs = kind == RecordKind::Measure ? 2 : 1, first = kind == RecordKind::Delay ? 2 : 1;
    if (PyTuple_GET_SIZE(rec) != first + seqs)
        return false;
    for (Py_ssize_t i = first; i < first + seqs; ++i)
        if (!sequence_operand(PyTuple_GET_ITEM(rec, i)))
            return false;
    return true;
}

// Each node's successors in the order the graph receives its edges, each
// pair once, laid out node after node.
void successors(FastWalk &L) {
    const std::size_t n = L.sk.size();
    L.succ_off.assign(n + 1, 0);
    L.npred.assign(n, 0);
    for (const auto &e : L.sk.edges)
        ++L.succ_off[static_cast<std::size_t>(e.src) + 1];
    for (std::size_t u = 0; u < n; ++u)
        L.succ_off[u + 1] += L.succ_off[u];
    L.succ.assign(L.sk.edges.size(), 0);
    std::vector<std::int32_t> end(L.succ_off.begin(), L.succ_off.end() - 1);
    bool repeated = false;
    for (const auto &e : L.sk.edges) {
        const auto first = L.succ.begin() + L.succ_off[e.src], last = L.succ.begin() + end[e.src];
        if (std::find(first, last, e.dst) != last) {
            repeated = true;
            continue;
        }
        *last = e.dst;
        ++end[e.src];
        ++L.npred[static_cast<std::size_t>(e.dst)];
    }
    if (!repeated)
        return;
    std::int32_t w = 0;  // close the holes the repeated pairs left
    for (std::size_t u = 0; u < n; ++u) {
        const std::int32_t from = L.succ_off[u];
        L.succ_off[u] = w;
        for (std::int32_t i = from; i < end[u]; ++i)
            L.succ[static_cast<std::size_t>(w++)] = L.succ[static_cast<std::size_t>(i)];
    }
    L.succ_off[n] = w;
    L.succ.resize(static_cast<std::size_t>(w));
}

bool read(const vx::Args &a, const Road &r, FastWalk &L) {
    vx::dagapi::GateKinds out_kinds(*r.api, r.dagns);
    vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), a.func()->globals, kTableBits);
    Classifier cls(kinds);
    const vx::dagapi::Skeleton &sk = L.sk;
    std::string name;
    L.nodes.q.reserve(sk.wires.size());
    L.nodes.q_off.reserve(sk.size() + 1);
    L.nodes.duration.reserve(sk.size());
    L.nodes.slack.reserve(sk.size());
    L.nodes.barrier.reserve(sk.size());
    L.shared.reserve(sk.size());
    for (std::size_t k = 0; k < sk.size(); ++k) {
        vx::poll_signals(k, 1 << 16);
        if (!exact_node(L, k, out_kinds))
            return false;
        PyObject *rec = PyList_GET_ITEM(L.records, sk.rec[k]);
        L.shared.push_back(vx::dagapi::shareable_record(rec, sk.kind[k]));
        const std::string_view gate = vx::utf8(PyTuple_GET_ITEM(rec, 0));
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
    successors(L);
    L.drop_wires();
    return true;
}

// The enlarged graph, without a node of its own for each inserted one.  The
// nodes of one insertion are numbered in a row after the circuit's nodes, in
// the order the insertions were made; a train's pieces are a path from its
// `pre` to its `node` and a piece is read off the train (dd::train_piece).
struct Grown {
    const FastWalk &L;
    const std::vector<dd::Insertion> &ins;
    int length;
    std::vector<std::uint8_t> removed;  // by edge of L.succ
    std::vector<std::int32_t> npred;    // of the circuit's nodes
    // by circuit node: the trains whose first piece follows it, in order
    std::vector<std::int32_t> extra_off, extra;
    std::int64_t made = 0;

    Grown(const FastWalk &l, const std::vector<dd::Insertion> &insertions, int sequence_length)
        : L(l), ins(insertions), length(sequence_length), removed(l.succ.size(), 0), npred(l.npred),
          extra_off(l.sk.size() + 1, 0) {
        for (const dd::Insertion &x : ins) {
            made += size(x);
            if (x.kind == dd::Insertion::Train) {
                remove(x.pre, x.node);
                ++extra_off[static_cast<std::size_t>(x.pre) + 1];
            }
            ++npred[static_cast<std::size_t>(x.node)];  // from the delay or the train's last piece
        }
        for (std::size_t u = 0; u < l.sk.size(); ++u)
            extra_off[u + 1] += extra_off[u];
        extra.resize(static_cast<std::size_t>(extra_off.back()));
        std::vector<std::int32_t> fill(extra_off.begin(), extra_off.end() - 1);
        for (std::size_t j = 0; j < ins.size(); ++j)
            if (ins[j].kind == dd::Insertion::Train)
                extra[static_cast<std::size_t>(fill[static_cast<std::size_t>(ins[j].pre)]++)] =
                    static_cast<std::int32_t>(j);
    }

    std::int64_t size(const dd::Insertion &x) const {
        return x.kind == dd::Insertion::Delay ? 1 : dd::train_size(x.n_dd, length, x.tgap > 0);
    }
    // piece `i` of insertion `x`; a leading delay is a Gap
    dd::Piece piece(const dd::Insertion &x, std::int64_t i) const {
        return x.kind == dd::Insertion::Delay ? dd::Piece::Gap : dd::train_piece(i, x.n_dd, length, x.tgap > 0);
    }

private:
    void remove(std::int32_t u, std::int32_t v) {
        for (std::int32_t i = L.succ_off[u]; i < L.succ_off[u + 1]; ++i)
            if (L.succ[i] == v && !removed[i]) {
                removed[i] = 1;
                --npred[static_cast<std::size_t>(v)];
                return;
            }
    }
};

// The numbers of the made nodes, in the order they were made: each the next
// one whose name no circuit node has.
long long number(const FastWalk &L, const Grown &G, long long count) {
    if (L.pulse_names.empty())
        return count + G.made;
    const long long last_position = static_cast<long long>(L.sk.size()) - 1;  // the last node's number
    std::int64_t left = G.made;
    std::string name;
    for (const dd::Insertion &x : G.ins) {
        const std::int64_t n = G.size(x);
        for (std::int64_t i = 0; i < n; ++i, --left) {
            if (count >= last_position)
                return count + left;  // no circuit node's name holds a later number
            const dd::Piece p = G.piece(x, i);
            const char *prefix = p == dd::Piece::X ? "x" : p == dd::Piece::Y ? "y" : "delay";
            for (;;) {
                ++count;
                if (count > last_position)
                    break;
                vx::dagapi::node_name(name, prefix, count, &L.qubit_values[static_cast<std::size_t>(x.qubit)], 1);
                if (!L.pulse_names.count(name))
                    break;
            }
        }
    }
    return count;
}

// The records of the made nodes.  Each is a tuple of immutable scalars, so
// one record stands for every node of one value: the pulses on a qubit, the
// delays of one duration on a qubit.
class MadeRecords {
public:
    explicit MadeRecords(const FastWalk &L) : L_(L), by_qubit_(L.qubit_values.size()) {}

    PyObject *pulse(dd::Piece p, std::int32_t q) {
        Qubit &b = qubit(q);
        nb::object &rec = p == dd::Piece::X ? b.x : b.y;
        if (!rec.is_valid())
            rec = nb::make_tuple(nb::handle(vx::intern(p == dd::Piece::X ? "x" : "y")), b.value);
        return rec.ptr();
    }
    PyObject *delay(double duration, std::int32_t q) {
        std::uint64_t bits;
        std::memcpy(&bits, &duration, sizeof bits);
        nb::object &rec = delays_[{q, bits}];
        if (!rec.is_valid()) {
            Qubit &b = qubit(q);
            if (!b.one.is_valid())
                b.one = nb::make_tuple(b.value);
            rec = nb::make_tuple(nb::handle(vx::intern("delay")), vx::own(PyFloat_FromDouble(duration)), b.one);
        }
        return rec.ptr();
    }

private:
    struct Qubit {
        nb::object value, x, y, one;  // the int, ("x", q), ("y", q), (q,)
    };
    struct Key {
        std::int32_t q;
        std::uint64_t bits;
        bool operator==(const Key &) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key &k) const {
            return std::hash<std::uint64_t>{}(k.bits ^ (static_cast<std::uint64_t>(k.q) * 0x9E3779B97F4A7C15ull));
        }
    };
    Qubit &qubit(std::int32_t q) {
        Qubit &b = by_qubit_[static_cast<std::size_t>(q)];
        if (!b.value.is_valid())
            b.value = vx::int_obj(L_.qubit_values[static_cast<std::size_t>(q)]);
        return b;
    }

    const FastWalk &L_;
    std::vector<Qubit> by_qubit_;
    std::unordered_map<Key, nb::object, KeyHash> delays_;
};

// The records dag2qc rebuilds, in its order: nx.topological_sort's, one
// generation after another, each made as it is reached.
nb::object records(const FastWalk &L, Grown &G) {
    const std::size_t n0 = L.sk.size();
    const auto total = static_cast<Py_ssize_t>(n0 + static_cast<std::size_t>(G.made));
    // the records of each insertion: its delay or gap, and its half gap
    MadeRecords made(L);
    std::vector<std::pair<PyObject *, PyObject *>> gaps(G.ins.size(), {nullptr, nullptr});
    for (std::size_t j = 0; j < G.ins.size(); ++j) {
        const dd::Insertion &x = G.ins[j];
        if (x.kind == dd::Insertion::Delay)
            gaps[j].first = made.delay(x.idle, x.qubit);
        else if (x.tgap > 0)
            gaps[j] = {made.delay(x.tgap, x.qubit), made.delay(x.tgap / 2, x.qubit)};
    }

    struct Item {
        std::int32_t ins;  // the insertion of a made node; -1 for a circuit node
        std::int32_t at;   // the made node's piece, or the circuit node
    };
    std::vector<Item> cur, next;
    for (std::size_t u = 0; u < n0; ++u)
        if (G.npred[u] == 0)
            cur.push_back({-1, static_cast<std::int32_t>(u)});
    for (std::size_t j = 0; j < G.ins.size(); ++j)
        if (G.ins[j].kind == dd::Insertion::Delay)
            cur.push_back({static_cast<std::int32_t>(j), 0});

    nb::object out = vx::own(PyList_New(total));
    Py_ssize_t pos = 0;
    auto put = [&](PyObject *rec) { PyList_SET_ITEM(out.ptr(), pos++, rec); };
    std::vector<std::int32_t> &indegree = G.npred;
    // a circuit node is written a generation after it is reached: its record
    // is fetched meanwhile
    auto reach = [&](std::int32_t v) {
        __builtin_prefetch(PyList_GET_ITEM(L.records, L.sk.rec[static_cast<std::size_t>(v)]), 1);
        next.push_back({-1, v});
    };
    while (!cur.empty()) {
        if (pos + static_cast<Py_ssize_t>(cur.size()) > total)  // a node reached twice: never in a DAG
            vx::raise(PyExc_RuntimeError, "dynamical decoupling: the enlarged DAG is not a DAG");
        next.clear();
        for (const Item &it : cur) {
            vx::poll_signals(static_cast<std::size_t>(pos), 1 << 16);
            if (it.ins < 0) {
                const std::int32_t u = it.at;
                const std::size_t k = static_cast<std::size_t>(u);
                PyObject *rec = PyList_GET_ITEM(L.records, L.sk.rec[k]);
                put(L.shared[k] ? Py_NewRef(rec)
                                : vx::dagapi::rebuilt_record(rec, L.sk.kind[k], L.sk.part[k]).release().ptr());
                for (std::int32_t e = L.succ_off[u]; e < L.succ_off[u + 1]; ++e)
                    if (!G.removed[static_cast<std::size_t>(e)] && --indegree[static_cast<std::size_t>(L.succ[e])] == 0)
                        reach(L.succ[e]);
                for (std::int32_t e = G.extra_off[k]; e < G.extra_off[k + 1]; ++e)
                    next.push_back({G.extra[static_cast<std::size_t>(e)], 0});
                continue;
            }
            const dd::Insertion &x = G.ins[static_cast<std::size_t>(it.ins)];
            const dd::Piece p = G.piece(x, it.at);
            const auto &g = gaps[static_cast<std::size_t>(it.ins)];
            PyObject *rec = p == dd::Piece::Gap ? g.first : p == dd::Piece::HalfGap ? g.second : made.pulse(p, x.qubit);
            put(Py_NewRef(rec));
            if (it.at + 1 < G.size(x))
                next.push_back({it.ins, it.at + 1});
            else if (--indegree[static_cast<std::size_t>(x.node)] == 0)
                reach(x.node);
        }
        std::swap(cur, next);
    }
    if (pos != total)
        vx::raise(PyExc_RuntimeError, "dynamical decoupling: the circuit DAG has a cycle");
    return out;
}

}  // namespace

bool fast_run(const vx::Args &a, nb::handle self, nb::handle qc, int sequence_length, bool align_right,
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
        return path.decline("t1g, t2g, _count, nqubits, gates or qubits is not of the exact type the walk reads");

    vx::GcPause pause;  // many tuples of exact values, no Python code
    FastWalk L;
    L.records = gates.ptr();
    if (!road.api->skeleton(road.gatework, nq, gates.ptr(), false, L.sk))
        throw vx::error_already_set{};  // checked records: an interrupt or a real error
    if (!read(a, road, L))
        return path.decline("a record is of a kind the walk does not read");
    std::vector<std::uint8_t> has_record(L.qubit_values.size(), 0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i) {
        long long v;
        if (!vx::exact_ll(PyList_GET_ITEM(qubits.ptr(), i), v))
            return path.decline("a qubit is not an exact int");
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

    L.nodes = dd::Nodes();  // what only the walk reads
    layers = engines::dag::Generations();
    Grown G(L, out.insertions, sequence_length);
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
