// Deferred `dag` and `_cache`; see fast_deferred.hpp.
#include "fast_deferred.hpp"

namespace routing::fast {

Snapshot::~Snapshot() {
    for (Direction dir : es::kDirections)
        for (PyObject *o : d[dir].names)
            Py_XDECREF(o);
}

PyObject *Snapshot::name(Direction dir, std::int32_t u) {
    auto &names = d[dir].names;
    if (names.size() < d[dir].sk.size())
        names.resize(d[dir].sk.size(), nullptr);
    if (!names[u]) {
        const auto &sk = d[dir].sk;
        std::string text;
        vx::dagapi::node_name(text, vx::utf8(PyTuple_GET_ITEM(record(dir, u), 0)), u, sk.wires.data() + sk.w_off[u],
                              static_cast<std::size_t>(sk.w_off[u + 1] - sk.w_off[u]));
        names[u] = vx::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    return names[u];
}

nb::object Snapshot::graph(Direction dir) {
    SnapshotDag &x = d[dir];
    if (x.value.is_valid())
        return x.value;
    nb::object gates = records, qs = qubits;
    if (dir == Direction::Reverse) {  // the deep copy's records, read backwards
        gates = vx::own(PyList_GetSlice(records.ptr(), 0, PY_SSIZE_T_MAX));
        vx::check(PyList_Reverse(gates.ptr()));
        qs = vx::own(PyList_GetSlice(qubits.ptr(), 0, PY_SSIZE_T_MAX));
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(nqubits.ptr(), &overflow);
    nb::object lists = vx::own(api->build(gatework.ptr(), n, qs.ptr(), gates.ptr(), 0, &x.names));
    nb::object g = vx::own(PyObject_CallNoArgs(digraph.ptr()));
    vx::dagapi::fill_digraph(g, PyTuple_GET_ITEM(lists.ptr(), 0), PyTuple_GET_ITEM(lists.ptr(), 1));
    nb::object attrs = vx::getattr(g, vx::intern("graph"));
    vx::check(PyObject_SetItem(attrs.ptr(), vx::intern("qubits"), qs.ptr()));
    x.value = g;
    return g;
}

nb::object Snapshot::filled_cache() {
    if (!cache_filled) {
        const Dags dags{&d[Direction::Forward].dag, &d[Direction::Reverse].dag};
        fill_cache(cache, entries, dags, [this](Direction dir, std::int32_t u) { return name(dir, u); });
        cache_filled = true;
        entries = {};
    }
    return cache;
}

nb::object Snapshot::value(int what) {
    switch (static_cast<Deferred>(what)) {
    case Deferred::ForwardDag: return graph(Direction::Forward);
    case Deferred::ReverseDag: return graph(Direction::Reverse);
    case Deferred::Cache: break;
    }
    return filled_cache();
}

const char *Snapshot::describe(int what) const {
    return static_cast<Deferred>(what) == Deferred::Cache ? "<query cache, built when the attribute is read>"
                                                          : "<circuit DAG, built when the attribute is read>";
}

nb::object make_deferred(const std::shared_ptr<Snapshot> &st, Deferred what) {
    return vx::make_deferred(st, static_cast<int>(what));
}

bool deferred_descriptors(const vx::Args &a, PyTypeObject *tp) {
    return vx::deferred_descriptors(a.func()->globals, tp, "SabreRouting", {"dag", "_cache"});
}

void install_deferred(nb::handle module, nb::handle cls) {
    vx::install_deferred(module, cls, "SabreRouting", "vexal.circuit.routing._Deferred", {"dag", "_cache"});
}

nb::object raw_cache(nb::handle self) {
    PyObject *v = vx::raw_attribute(self, vx::intern("_cache"));
    int what = 0;
    if (vx::DeferredSource *source = vx::deferred_source(v, &what)) {
        auto &st = static_cast<Snapshot &>(*source);
        nb::object od = st.cache;  // empty unless it was filled through a copy
        vx::setattr(self, "_cache", od);
        return od;
    }
    return vx::getattr(self, vx::intern("_cache"));
}

void clear_cache(nb::handle self) { vx::call_method(raw_cache(self), "clear", {}); }

}  // namespace routing::fast
