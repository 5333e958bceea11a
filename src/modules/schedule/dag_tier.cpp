// The DAG tier of DynamicalDecoupling.run: the DAG that qc2dag made is
// read into arrays, the engine decides every insertion, and the insertions
// go straight into the graph's own dictionaries, exactly as remove_edge,
// add_nodes_from and add_edges_from would leave them.  It is taken only when
// the pass's methods and the names the walk goes through are the package's
// own and every value is an exact one; otherwise run takes the reference
// walk.
#include "schedule.hpp"

#include "dag_api.hpp"
#include "dd_engine.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

namespace schedule {

const vx::FastPathNeeds kNeeds{
    "DynamicalDecoupling",
    {"copy.deepcopy", "nx.DiGraph", "nx.DiGraph.reverse", "nx.topological_generations", "qc2dag"},
    {"DynamicalDecoupling.counter", "DynamicalDecoupling._get_max_idle_time", "DynamicalDecoupling._update_idle_time"},
};

namespace {

// The DAG as read: arrays for the engine, and the Python objects the
// insertions name.
struct Graph {
    vx::dagapi::DigraphArrays arrays;
    dd::Nodes nodes;
    PyObject *node = nullptr, *succ = nullptr, *pred = nullptr;  // the graph's dictionaries (held by `arrays`)
    std::vector<PyObject *> qubit_objects;                       // by qubit id, held by the node lists
    std::vector<std::int64_t> qubit_values;
    std::unordered_map<std::int64_t, std::int32_t> qubit_ids;

    long long largest_number = -1;  // the largest number a node name read holds (see note_number)

    PyObject *name(std::int32_t u) const { return arrays.nodes[u].ptr(); }
    // Node names read "<gate>_<number>_...": notes the number of `text`, or
    // takes every number as possible where a name reads otherwise.
    void note_number(std::string_view text) {
        const std::size_t a = text.find('_');
        std::size_t b = a == std::string_view::npos ? a : text.find('_', a + 1);
        if (b == std::string_view::npos)
            b = text.size();
        long long v = 0;
        bool digits = a != std::string_view::npos && b > a + 1 && b - a - 1 <= 18;
        for (std::size_t i = a + 1; digits && i < b; ++i) {
            digits = text[i] >= '0' && text[i] <= '9';
            v = v * 10 + (text[i] - '0');
        }
        largest_number = digits ? std::max(largest_number, v) : std::numeric_limits<long long>::max();
    }
    std::int32_t qubit_id(PyObject *q, std::int64_t v) {
        auto [it, fresh] = qubit_ids.try_emplace(v, static_cast<std::int32_t>(qubit_objects.size()));
        if (fresh) {
            qubit_objects.push_back(q);
            qubit_values.push_back(v);
        }
        return it->second;
    }
};

// One node: its gate kind, from its str name, and its list of int qubits.
bool read_node(Graph &G, Classifier &cls, PyObject *name, PyObject *attrs) {
    Py_ssize_t len;
    const char *text = PyUnicode_CheckExact(name) ? PyUnicode_AsUTF8AndSize(name, &len) : nullptr;
    if (!text) {
        vx::clear_ordinary_error();
        return false;
    }
    const std::string_view view(text, static_cast<std::size_t>(len));
    const Kind k = cls.classify(view);
    G.note_number(view);
    PyObject *qubits = PyDict_GetItemWithError(attrs, vx::intern("qubits"));
    if (!qubits || !PyList_CheckExact(qubits)) {
        vx::clear_ordinary_error();
        return false;
    }
    dd::Nodes &n = G.nodes;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(qubits); ++j) {
        PyObject *q = PyList_GET_ITEM(qubits, j);
        long long v;
        if (!vx::exact_ll(q, v))
            return false;
        n.q.push_back(G.qubit_id(q, v));
    }
    n.q_off.push_back(static_cast<std::int32_t>(n.q.size()));
    n.duration.push_back(k.duration);
    n.slack.push_back(k.slack);
    n.barrier.push_back(k.barrier);
    return true;
}

// Reads an exact DiGraph of str nodes with lists of int qubits; false for
// anything else.
bool read(const vx::Args &a, nb::handle dag, vx::dagapi::GateKinds &kinds, Graph &G) {
    if (!vx::dagapi::read_digraph(dag, vx::original(a.func()->globals, "nx.DiGraph"), G.arrays))
        return false;
    G.node = G.arrays.node_map.ptr(), G.succ = G.arrays.succ_map.ptr(), G.pred = G.arrays.pred_map.ptr();
    Classifier cls(kinds);
    for (std::size_t u = 0; u < G.arrays.nodes.size(); ++u)
        if (!read_node(G, cls, G.arrays.nodes[u].ptr(), G.arrays.attrs[u].ptr()))
            return false;
    return true;
}

// Insertions into the graph's dictionaries, named from the pass's counter.
struct Inserter {
    Graph &G;
    long long count;
    PyObject *k_qubits = vx::intern("qubits"), *k_duration = vx::intern("duration"), *k_qubit = vx::intern("qubit");

    // "<prefix>_<number>_[<qubit>]" with the next number whose name no node
    // holds (beyond the largest number in a name read, none can)
    nb::object name(const char *prefix, std::int64_t qubit) {
        char buf[80];
        for (;;) {
            const int len =
                std::snprintf(buf, sizeof buf, "%s_%lld_[%lld]", prefix, ++count, static_cast<long long>(qubit));
            nb::object s = vx::own(PyUnicode_FromStringAndSize(buf, len));
            if (count > G.largest_number)
                return s;
            const int taken = PyDict_Contains(G.node, s.ptr());
            vx::check(taken);
            if (!taken)
                return s;
        }
    }
    // The containers made here hold ints, floats and one another only, so no
    // reference cycle can run through them: the collector is spared sweeping
    // them (a dict tracks itself again when a container is put into it).
    static void untrack(PyObject *o) {
        if (PyObject_GC_IsTracked(o))
            PyObject_GC_UnTrack(o);
    }
    // {key: [qubit]}
    nb::object wire(PyObject *qubit, PyObject *key) {
        nb::object l = list1(qubit);
        untrack(l.ptr());
        nb::object d = vx::own(PyDict_New());
        vx::check(PyDict_SetItem(d.ptr(), key, l.ptr()));
        return d;
    }
    // A node made here, with its successor and predecessor maps.
    struct Made {
        nb::object name;
        PyObject *succ, *pred;  // held by the graph
    };
    Made add_node(nb::object name, PyObject *qubit, PyObject *duration) {
        nb::object attrs = wire(qubit, k_qubits);
        if (duration)
            vx::check(PyDict_SetItem(attrs.ptr(), k_duration, duration));
        untrack(attrs.ptr());
        nb::object succ = vx::own(PyDict_New()), pred = vx::own(PyDict_New());
        vx::check(PyDict_SetItem(G.succ, name.ptr(), succ.ptr()));
        vx::check(PyDict_SetItem(G.pred, name.ptr(), pred.ptr()));
        vx::check(PyDict_SetItem(G.node, name.ptr(), attrs.ptr()));
        return {std::move(name), succ.ptr(), pred.ptr()};
    }
    // The edge u -> v, new, into the maps su (u's successors) and pv (v's
    // predecessors); those of nodes made here are left untracked again.
    void add_edge(PyObject *u, PyObject *su, bool u_made, PyObject *v, PyObject *pv, bool v_made, PyObject *qubit) {
        nb::object data = wire(qubit, k_qubit);
        untrack(data.ptr());
        vx::check(PyDict_SetItem(su, v, data.ptr()));
        vx::check(PyDict_SetItem(pv, u, data.ptr()));
        if (u_made)
            untrack(su);
        if (v_made)
            untrack(pv);
    }
    void remove_edge(PyObject *u, PyObject *v) {
        PyObject *su = PyDict_GetItem(G.succ, u);
        const int has = PyDict_Contains(su, v);
        vx::check(has);
        if (has) {
            vx::check(PyDict_DelItem(su, v));
            vx::check(PyDict_DelItem(PyDict_GetItem(G.pred, v), u));
        }
    }

    void delay(const dd::Insertion &ins) {
        PyObject *q = G.qubit_objects[ins.qubit], *node = G.name(ins.node);
        Made d = add_node(name("delay", G.qubit_values[ins.qubit]), q, vx::own(PyFloat_FromDouble(ins.idle)).ptr());
        add_edge(d.name.ptr(), d.succ, true, node, PyDict_GetItem(G.pred, node), false, q);
    }

    void train(const dd::Insertion &ins, int length) {
        PyObject *q = G.qubit_objects[ins.qubit];
        const std::int64_t qv = G.qubit_values[ins.qubit];
        PyObject *pre = G.name(ins.pre), *node = G.name(ins.node);
        remove_edge(pre, node);
        nb::object gap = vx::own(PyFloat_FromDouble(ins.tgap)), half = vx::own(PyFloat_FromDouble(ins.tgap / 2));
        Made first{}, last{};
        dd::train_pieces(ins.n_dd, length, ins.tgap > 0, [&](dd::Piece p) {
            const bool x = p == dd::Piece::X, y = p == dd::Piece::Y;
            Made m = add_node(name(x   ? "x"
                                   : y ? "y"
                                       : "delay",
                                   qv),
                              q, x || y ? nullptr : (p == dd::Piece::Gap ? gap : half).ptr());
            if (last.name.is_valid())
                add_edge(last.name.ptr(), last.succ, true, m.name.ptr(), m.pred, true, q);
            else
                first = m;
            last = std::move(m);
        });
        add_edge(pre, PyDict_GetItem(G.succ, pre), false, first.name.ptr(), first.pred, true, q);
        add_edge(last.name.ptr(), last.succ, true, node, PyDict_GetItem(G.pred, node), false, q);
    }
};

}  // namespace

void remember(nb::handle module) {
    vx::keep_needs(module, kNeeds);
    vx::keep_original(module, "dag2qc");
}

bool exact_tables(const vx::Args &a) {
    for (int t : kWalkTables)
        if (!PyDict_CheckExact(a.global(vx::kGateTables[t]).ptr()))
            return false;
    return true;
}

bool settle(const dd::Outcome &out, nb::handle qubit) {
    switch (out.status) {
    case dd::Outcome::Done: return true;
    case dd::Outcome::NoRecord: PyErr_SetObject(PyExc_KeyError, qubit.ptr()); throw vx::error_already_set{};
    case dd::Outcome::TooMany: too_many_nodes();
    case dd::Outcome::NotRepresentable: return false;
    case dd::Outcome::Interrupted: throw vx::error_already_set{};
    }
    return false;
}

bool dag_tier_walk(const vx::Args &a, nb::handle self, nb::handle dag, nb::handle qubits, int sequence_length,
                   bool align_right, bool insert_before_barrier) {
    PyObject *globals = a.func()->globals;
    nb::object t1g = vx::getattr(self, "t1g"), t2g = vx::getattr(self, "t2g"), count = vx::getattr(self, "_count");
    long long start;
    if (!PyFloat_CheckExact(t1g.ptr()) || !PyFloat_CheckExact(t2g.ptr()) || !vx::exact_ll(count.ptr(), start) ||
        start < 0 || start > (std::int64_t{1} << 62) || !PyList_CheckExact(qubits.ptr()))
        return false;

    vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), globals, kTableBits);
    Graph G;
    if (!read(a, dag, kinds, G))
        return false;
    std::vector<std::uint8_t> has_record(G.qubit_objects.size(), 0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(qubits.ptr()); ++i) {
        long long v;
        if (!vx::exact_ll(PyList_GET_ITEM(qubits.ptr(), i), v))
            return false;
        auto it = G.qubit_ids.find(v);
        if (it != G.qubit_ids.end())
            has_record[it->second] = 1;
    }
    engines::dag::Generations layers;
    const vx::dagapi::DigraphArrays &g = G.arrays;
    if (!(align_right ? engines::dag::reverse_generations(g.succ_off, g.succ, layers)
                      : engines::dag::generations(g.succ_off, g.succ, g.npred, layers)))
        return false;  // a cycle: networkx reports it

    const dd::Options opt{PyFloat_AS_DOUBLE(t1g.ptr()), PyFloat_AS_DOUBLE(t2g.ptr()), sequence_length,
                          insert_before_barrier, kMaxInserted};
    dd::Outcome out = dd::walk(G.nodes, layers, align_right, has_record, opt, [] { return PyErr_CheckSignals() != 0; });
    if (!settle(out, out.qubit >= 0 ? nb::handle(G.qubit_objects[out.qubit]) : nb::handle()))
        return false;

    vx::GcPause pause;  // many containers, no cycle, no Python code
    Inserter ins{G, start};
    std::size_t done = 0;
    for (const dd::Insertion &i : out.insertions) {
        if (++done % 1024 == 0)
            vx::check(PyErr_CheckSignals());
        if (i.kind == dd::Insertion::Delay)
            ins.delay(i);
        else
            ins.train(i, sequence_length);
    }
    // what networkx's own insertions do last: drop the graph's cached conversions
    nb::object cache = nb::steal(PyObject_GetAttrString(dag.ptr(), "__networkx_cache__"));
    if (!cache.is_valid())
        vx::clear_ordinary_error();
    else if (!out.insertions.empty() && PyDict_CheckExact(cache.ptr()))
        PyDict_Clear(cache.ptr());
    vx::setattr(self, "_count", vx::int_obj(ins.count));
    return true;
}

}  // namespace schedule
