// Reading a Layout's chip graph into arrays for the fast path.
#include "fast.hpp"

#include <cmath>
#include <unordered_map>

namespace layout {

namespace {

constexpr long long kMaxNode = 1LL << 60;  // hash(q) == q far below 2**61 - 1

// An int qubit the engines can take, as its value; -1 otherwise.
long long engine_qubit(PyObject *q) {
    if (!PyLong_CheckExact(q))
        return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(q, &overflow);
    if (overflow || v < 0 || v > kMaxNode)
        return -1;
    return v;
}

// The coupler fidelities of every adjacency entry, looked up under
// (smaller, larger) in edge_fidelitys; false when one is missing or not a
// finite float.
bool read_fidelities(nb::handle self, Snapshot &snap) {
    nb::object fids = vx::getattr(self, "edge_fidelitys");
    if (!PyDict_CheckExact(fids.ptr()))
        return false;
    const auto &chip = snap.chip;
    snap.fid.assign(chip.adj.size(), 0.0);
    // each coupler once, from its lower-valued end; the other entry found by search
    for (std::int32_t u = 0; u < chip.size(); ++u)
        for (std::int32_t e = chip.adj_off[u]; e < chip.adj_off[u + 1]; ++e) {
            const std::int32_t w = chip.adj[e];
            if (chip.value[w] < chip.value[u])
                continue;
            nb::object key = nb::make_tuple(snap.nodes[u], snap.nodes[w]);
            PyObject *f = PyDict_GetItemWithError(fids.ptr(), key.ptr());
            if (!f) {
                if (PyErr_Occurred())
                    throw vx::error_already_set{};
                return false;
            }
            if (!PyFloat_Check(f))
                return false;
            const double d = PyFloat_AS_DOUBLE(f);
            if (!std::isfinite(d))
                return false;
            snap.fid[e] = d;
            for (std::int32_t b = chip.adj_off[w]; b < chip.adj_off[w + 1]; ++b)
                if (chip.adj[b] == u)
                    snap.fid[b] = d;
        }
    nb::object thr = vx::getattr(self, "fidelity_mean_threshold");
    if (PyFloat_CheckExact(thr.ptr())) {
        snap.threshold = PyFloat_AS_DOUBLE(thr.ptr());
    } else if (PyLong_CheckExact(thr.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(thr.ptr(), &overflow);
        if (overflow || v > (1LL << 53) || v < -(1LL << 53))
            return false;
        snap.threshold = static_cast<double>(v);
    } else {
        return false;
    }
    snap.have_scores = true;
    return true;
}

}  // namespace

std::optional<Snapshot> take_snapshot(const vx::Args &a, nb::handle self, bool scores) {
    nb::object graph = vx::getattr(self, "graph");
    if (reinterpret_cast<PyObject *>(Py_TYPE(graph.ptr())) != vx::original(a.func()->globals, "nx.Graph"))
        return std::nullopt;
    nb::object node = vx::getattr(graph, "_node"), adj = vx::getattr(graph, "_adj");
    if (!PyDict_CheckExact(node.ptr()) || !PyDict_CheckExact(adj.ptr()) ||
        PyDict_GET_SIZE(node.ptr()) != PyDict_GET_SIZE(adj.ptr()) || PyDict_GET_SIZE(adj.ptr()) >= (1 << 30))
        return std::nullopt;
    Snapshot snap;
    auto &chip = snap.chip;
    // Items as lists, so that nothing a key's comparison runs can change
    // what is being read.
    nb::object node_keys = vx::own(PyDict_Keys(node.ptr()));
    nb::object items = vx::own(PyDict_Items(adj.ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    std::unordered_map<long long, std::int32_t> index;
    index.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *q = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 0);
        const long long v = engine_qubit(q);
        if (v < 0 || engine_qubit(PyList_GET_ITEM(node_keys.ptr(), i)) != v)
            return std::nullopt;
        if (!index.emplace(v, static_cast<std::int32_t>(i)).second)
            return std::nullopt;
        chip.value.push_back(v);
        snap.nodes.push_back(nb::borrow(q));
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *nbrs = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 1);
        if (!PyDict_CheckExact(nbrs))
            return std::nullopt;
        nb::object keys = vx::own(PyDict_Keys(nbrs));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(keys.ptr()); ++j) {
            auto it = index.find(engine_qubit(PyList_GET_ITEM(keys.ptr(), j)));
            if (it == index.end() || it->second == i)
                return std::nullopt;  // not a qubit of the graph, or a self-loop
            chip.adj.push_back(it->second);
        }
        chip.adj_off.push_back(static_cast<std::int32_t>(chip.adj.size()));
    }
    if (scores && !read_fidelities(self, snap))
        return std::nullopt;
    return snap;
}

}  // namespace layout
