// The pass object's state as the SABRE engine sees it, and back: options,
// mapping and coupling graph read into arrays, and v2p, p2v,
// decay_parameter, extended_successor_set and the query cache written as
// the methods would have left them.
#include "fast_deferred.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>

namespace routing::fast {

const char *dag_id(Direction dir) { return dir == Direction::Forward ? "forward" : "reverse"; }

// What the fast run stands in for: the pass's methods and module names.
const vx::FastPathNeeds kNeeds{
    "SabreRouting",
    {"extract_qubits", "update_v2p_and_p2v_mapping", "qc2dag", "split_qubits", "nx"},
    {
        "SabreRouting._distance_matrix_element",
        "SabreRouting._dag_successors",
        "SabreRouting._dag_predecessors",
        "SabreRouting._get_nodes",
        "SabreRouting._initialize_v2p_p2v",
        "SabreRouting._mapping_node_to_gate_info",
        "SabreRouting._get_extended_successor_set",
        "SabreRouting._get_execute_node_list",
        "SabreRouting._has_no_correlation_on_front_layer",
        "SabreRouting._get_swap_candidate_list",
        "SabreRouting._reset_decay_parameter",
        "SabreRouting._update_decay_parameter",
        "SabreRouting._heuristic_score_basic",
        "SabreRouting._heuristic_score_lookahead",
        "SabreRouting._heuristic_score_basic_decay",
        "SabreRouting._heuristic_score_lookahead_decay",
        "SabreRouting._heuristic_score",
        "SabreRouting._single_sabre_routing",
    },
};

namespace {

// numpy's ndarray: a distance matrix of any other type may index otherwise.
bool exact_ndarray(nb::handle dm) {
    PyObject *np = PyImport_GetModule(vx::intern("numpy"));  // loaded: the routing module imports networkx's numpy
    if (!np) {
        vx::clear_ordinary_error();
        return false;
    }
    nb::object hold = nb::steal(np);
    return reinterpret_cast<PyObject *>(Py_TYPE(dm.ptr())) == vx::original(PyModule_GetDict(np), "ndarray");
}

bool prepare_mapping(nb::handle self, Setup &s) {
    nb::object v2p = vx::getattr(self, vx::intern("v2p"));
    nb::object p2v = vx::getattr(self, vx::intern("p2v"));
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
        if (!vx::exact_ll(k, kv))
            return false;
        keys.emplace_back(kv, k);
        vals.push_back(v);
    }
    std::vector<std::int32_t> order(n);
    for (Py_ssize_t i = 0; i < n; ++i)
        order[i] = static_cast<std::int32_t>(i);
    std::sort(order.begin(), order.end(), [&](int x, int y) { return keys[x].first < keys[y].first; });
    std::vector<es::VirtQ> num_of(n);
    s.vkeys.resize(n);
    s.vdict = vx::own(PyDict_New());
    for (Py_ssize_t r = 0; r < n; ++r) {
        const es::VirtQ v{static_cast<std::int32_t>(r)};
        num_of[order[r]] = v;
        s.vkeys[r] = nb::borrow(keys[order[r]].second);
        s.vnum[keys[order[r]].first] = v;
        vx::check(PyDict_SetItem(s.vdict.ptr(), keys[order[r]].second, vx::int_obj(r).ptr()));
    }
    s.key_order = num_of;
    // physical numbers in v2p order; they must be distinct and p2v their inverse
    s.pdict = vx::own(PyDict_New());
    s.phys.resize(n);
    s.v2p.assign(n, es::PhysQ{});
    for (Py_ssize_t i = 0; i < n; ++i) {
        vx::check(PyDict_SetItem(s.pdict.ptr(), vals[i], vx::int_obj(i).ptr()));
        s.phys[i] = nb::borrow(vals[i]);
        s.v2p[num_of[i]] = es::PhysQ{static_cast<std::int32_t>(i)};
        PyObject *back = PyDict_GetItemWithError(p2v.ptr(), vals[i]);
        if (!back) {
            if (PyErr_Occurred())
                throw vx::error_already_set{};
            return false;
        }
        long long bv;
        if (!vx::exact_ll(back, bv) || bv != keys[i].first)
            return false;
    }
    return PyDict_GET_SIZE(s.pdict.ptr()) == n;
}

}  // namespace

std::int32_t phys_num(const Setup &s, PyObject *o) {
    PyObject *r = PyDict_GetItemWithError(s.pdict.ptr(), o);
    if (!r) {
        if (PyErr_Occurred())
            throw vx::error_already_set{};
        return -1;
    }
    return static_cast<std::int32_t>(PyLong_AsLong(r));
}

namespace {

bool prepare_topology(nb::handle self, Setup &s) {
    const std::int32_t n = s.n;
    nb::object index = vx::getattr(self, vx::intern("physical_qubits_index"));
    nb::object dm = vx::getattr(self, vx::intern("distance_matrix"));
    if (!PyDict_CheckExact(index.ptr()) || !exact_ndarray(dm))
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
        if (!vx::exact_ll(r, rv) || rv < 0 || rv >= n || used[rv])
            return false;
        used[rv] = 1;
        row[p] = rv;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(dm.ptr(), &view, PyBUF_RECORDS_RO) < 0) {
        vx::clear_ordinary_error();
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
    nb::object graph = vx::getattr(self, vx::intern("coupling_graph"));
    s.topo.nb_off.assign(1, 0);
    s.topo.nb.clear();
    // neighbours in adjacency order, without self-loops (they exchange nothing)
    std::unordered_set<std::int64_t> arcs;
    for (std::int32_t p = 0; p < n; ++p) {
        nb::object nl =
            vx::own(PySequence_List(vx::call(vx::getattr(graph, vx::intern("neighbors")), {s.phys[p]}).ptr()));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(nl.ptr()); ++j) {
            std::int32_t o = phys_num(s, PyList_GET_ITEM(nl.ptr(), j));
            if (o < 0)
                return false;
            if (o == p)
                continue;
            s.topo.nb.push_back(es::PhysQ{o});
            arcs.insert(static_cast<std::int64_t>(p) << 32 | o);
        }
        s.topo.nb_off.push_back(static_cast<std::int32_t>(s.topo.nb.size()));
    }
    // the engine takes couplers both ways (an undirected graph)
    for (std::int64_t arc : arcs)
        if (!arcs.count((arc & 0xffffffff) << 32 | arc >> 32))
            return false;
    return true;
}

}  // namespace

std::size_t HooksBase::choose(std::span<const es::Candidate> tied) {
    nb::object list = vx::own(PyList_New(static_cast<Py_ssize_t>(tied.size())));
    nb::handle swap = vx::intern("swap");
    for (std::size_t i = 0; i < tied.size(); ++i)
        PyList_SET_ITEM(
            list.ptr(), static_cast<Py_ssize_t>(i),
            vx::check(PyTuple_Pack(3, swap.ptr(), s_.vkeys[tied[i].a.i].ptr(), s_.vkeys[tied[i].b.i].ptr())));
    nb::object r = vx::call(vx::getattr(a_.global("random"), vx::intern("choice")), {list});
    for (std::size_t i = 0; i < tied.size(); ++i)
        if (PyList_GET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i)) == r.ptr())
            return i;
    for (std::size_t i = 0; i < tied.size(); ++i)
        if (vx::equal(PyList_GET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i)), r))
            return i;
    vx::value_error("random.choice returned an object that is not one of the SWAP candidates.");
}

void HooksBase::swap(es::Candidate c, const es::Layout &layout) {
    PyObject *items[3] = {vx::intern("swap"), phys(layout, c.a), phys(layout, c.b)};
    nb::object t = vx::own(PyTuple_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(t.ptr(), i, items[i]);
    }
    append_record(t);
}

void HooksBase::poll() { vx::check(PyErr_CheckSignals()); }

void HooksBase::untrack_scalars(nb::handle tuple) {
    // A tuple of scalars can hold no reference cycle: the collector
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
    untrack_scalars(record);
    vx::check(PyList_Append(out_.ptr(), record.ptr()));
}

nb::object p2v_of(const Setup &s, const es::Layout &layout) {
    nb::object d = vx::own(PyDict_New());
    for (es::VirtQ v : s.key_order)
        vx::check(PyDict_SetItem(d.ptr(), s.phys[layout.phys(v).i].ptr(), s.vkeys[v.i].ptr()));
    return d;
}

void flush_state(nb::handle self, const Setup &s, const es::Engine &eng, const NameOf &name) {
    if (eng.swapped()) {
        nb::object v2p = vx::own(PyDict_New());
        for (es::VirtQ v : s.key_order)
            vx::check(PyDict_SetItem(v2p.ptr(), s.vkeys[v.i].ptr(), s.phys[eng.layout().phys(v).i].ptr()));
        vx::setattr(self, "v2p", v2p);
        vx::setattr(self, "p2v", p2v_of(s, eng.layout()));
    }
    if (s.opt.decay && eng.decay().reset_once) {
        nb::object pl = vx::own(PySequence_List(vx::getattr(self, vx::intern("physical_qubits")).ptr()));
        nb::object d = vx::own(PyDict_New());
        nb::object one = vx::int_obj(1);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pl.ptr()); ++i) {
            PyObject *q = PyList_GET_ITEM(pl.ptr(), i);
            const double x = eng.decay().f[es::PhysQ{phys_num(s, q)}];
            nb::object val = x == 1.0 ? one : vx::own(PyFloat_FromDouble(x));
            vx::check(PyDict_SetItem(d.ptr(), q, val.ptr()));
        }
        vx::setattr(self, "decay_parameter", d);
    }
    if (s.opt.lookahead && eng.extended().dag()) {
        nb::object set = vx::own(PySet_New(nullptr));
        for (std::int32_t u : eng.extended().nodes())
            vx::check(PySet_Add(set.ptr(), name(*eng.extended().dag(), u)));
        vx::setattr(self, "extended_successor_set", vx::own(PySequence_List(set.ptr())));
    }
}

std::vector<CacheEntry> cache_entries(const es::Engine &eng) {
    std::vector<CacheEntry> entries;
    for (Direction dir : es::kDirections)
        for (es::QueryClock::Kind kind : es::QueryClock::kKinds) {
            const auto &lu = eng.queries().last_use(dir, kind);
            for (std::size_t u = 0; u < lu.size(); ++u)
                if (lu[u])
                    entries.push_back({lu[u], static_cast<std::int32_t>(u), dir, kind});
        }
    const auto bound = static_cast<std::ptrdiff_t>(kCacheBound);
    auto by_time = [](const CacheEntry &x, const CacheEntry &y) { return x.t < y.t; };
    if (entries.size() > kCacheBound) {
        std::nth_element(entries.begin(), entries.end() - bound, entries.end(), by_time);
        entries.erase(entries.begin(), entries.end() - bound);
    }
    std::sort(entries.begin(), entries.end(), by_time);
    return entries;
}

void fill_cache(nb::handle cache, const std::vector<CacheEntry> &entries, const Dags &dags, const NameOf &name) {
    es::PerDirection<nb::object> ids;
    for (Direction dir : es::kDirections)
        ids[dir] = vx::str_obj(dag_id(dir));
    nb::handle kinds[2] = {vx::intern("successors"), vx::intern("predecessors")};
    for (const CacheEntry &e : entries) {
        const es::Dag &g = *dags[e.dir];
        const bool successors = e.kind == es::QueryClock::Successors;
        auto nodes = successors ? g.succs(e.node) : g.preds(e.node);
        nb::object l = vx::own(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            PyObject *o = name(e.dir, nodes[i]);
            Py_INCREF(o);
            PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(i), o);
        }
        nb::object id = vx::own(PyLong_FromVoidPtr(name(e.dir, e.node)));
        nb::object key = vx::own(PyTuple_Pack(3, ids[e.dir].ptr(), id.ptr(), kinds[successors ? 0 : 1].ptr()));
        vx::check(PyObject_SetItem(cache.ptr(), key.ptr(), l.ptr()));
    }
}

namespace {

[[noreturn]] void raise_failure(const es::Failure &f, Direction dir, const NameOf &name) {
    if (f.kind == es::Failure::Conflict)
        vx::value_error(kConflict);
    nb::object front = vx::own(PyList_New(0));
    for (std::int32_t u : f.front)
        vx::check(PyList_Append(front.ptr(), name(dir, u)));
    raise_fmt(PyExc_ValueError, f.kind == es::Failure::NoCandidate ? kNoCandidate : kUnscorable, {front});
}

}  // namespace

long long traverse_all(nb::handle self, const Setup &s, es::Engine &eng, const Dags &dags, long long total,
                       HooksBase &hooks, nb::object &best_p2v, const std::function<void(Direction)> &place,
                       const std::function<void()> &flush, const NameOf &name) {
    // The records the run makes hold no cycles: the collector need not walk
    // the heap over and over meanwhile.
    vx::GcPause gc_pause;
    long long nswap = 0;
    try {
        for (long long idx = 0; idx < total; ++idx) {
            hooks.poll();
            const bool last = idx == total - 1;
            const Direction dir = idx % 2 == 0 ? Direction::Forward : Direction::Reverse;
            if (last) {
                vx::setattr(self, "do_map_node_to_gate", nb::handle(Py_True));
                best_p2v = p2v_of(s, eng.layout());
            }
            place(dir);
            try {
                nswap = eng.traverse(*dags[dir], dir, last, hooks);
            } catch (const es::Failure &f) {
                raise_failure(f, dir, name);
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

bool prepare(const vx::Args &a, nb::handle self, Setup &s) {
    (void)a;
    nb::object h = vx::getattr(self, vx::intern("heuristic"));
    if (!PyUnicode_CheckExact(h.ptr()))
        return false;
    const std::string_view hv = vx::utf8(h);
    if (hv != "basic" && hv != "lookahead" && hv != "basic_decay" && hv != "lookahead_decay")
        return false;
    s.opt.lookahead = hv.find("lookahead") != std::string_view::npos;
    s.opt.decay = hv.find("decay") != std::string_view::npos;
    nb::object rc = vx::getattr(self, vx::intern("do_random_choice"));
    if (!PyBool_Check(rc.ptr()))
        return false;
    s.opt.random_choice = rc.ptr() == Py_True;
    nb::object w = vx::getattr(self, vx::intern("max_extended_set_weight"));
    if (!PyFloat_CheckExact(w.ptr()))
        return false;
    s.opt.max_weight = PyFloat_AS_DOUBLE(w.ptr());
    if (!prepare_mapping(self, s) || !prepare_topology(self, s))
        return false;
    if (s.opt.decay) {
        nb::object pl = vx::getattr(self, vx::intern("physical_qubits"));
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
    vx::keep_needs(module, kNeeds);
    vx::keep_original(vx::import("numpy"), "ndarray");
    remember_run(module);
    install_deferred(module, cls);
}

}  // namespace routing::fast
