// The native path of the collections and rankings of connected qubit sets.
//
// It applies when the Layout's methods that a collection goes through are
// the package's own (none overridden in a subclass or on the instance), the
// module names they use still hold the package's objects, and the chip
// graph is a plain networkx Graph of non-negative int qubits without
// self-loops (and, for scores, every coupler has a float fidelity under its
// (smaller, larger) key and the threshold is a number).  The chip graph is
// read into arrays at every call and compared with what was kept for the
// Layout, so whatever a user changed in between (qubits, couplers, their
// order, fidelities, the threshold) is seen; results are kept per Layout
// and size until then.  What is kept lives beside the object (it dies with
// it), not in its attributes, so the object pickles as it always did.
#include "fast_path.hpp"
#include "layout.hpp"
#include "native.hpp"

#include "threads.hpp"

#include <algorithm>
#include <cmath>
#include <thread>
#include <unordered_map>

namespace layout {

using namespace engines::layout;

namespace {

// -- what is kept per Layout ----------------------------------------------------

struct Kept {
    std::shared_ptr<Snapshot> snap;
    std::map<long long, NativePtr> by_size;
    PyObject *weakref = nullptr;  // owned; its callback drops this entry
};

std::unordered_map<PyObject *, Kept> &kept() {
    static std::unordered_map<PyObject *, Kept> k;
    return k;
}

PyObject *drop_callback();

void drop(PyObject *self) {
    auto &all = kept();
    auto it = all.find(self);
    if (it == all.end())
        return;
    PyObject *ref = it->second.weakref;
    all.erase(it);  // before the reference goes: its callback must not find it
    Py_XDECREF(ref);
}

PyObject *on_collected(PyObject *, PyObject *ref) {
    auto &all = kept();
    for (auto it = all.begin(); it != all.end(); ++it)
        if (it->second.weakref == ref) {
            all.erase(it);
            Py_DECREF(ref);
            break;
        }
    Py_RETURN_NONE;
}

PyObject *drop_callback() {
    static PyMethodDef def = {"_forget_layout", on_collected, METH_O, nullptr};
    static PyObject *f = PyCFunction_New(&def, nullptr);
    return f;
}

Kept *kept_for(nb::handle self) {
    auto &all = kept();
    auto it = all.find(self.ptr());
    if (it != all.end())
        return &it->second;
    PyObject *ref = PyWeakref_NewRef(self.ptr(), drop_callback());
    if (!ref) {
        PyErr_Clear();  // cannot tell when it dies: keep nothing
        return nullptr;
    }
    Kept &k = all[self.ptr()];
    k.weakref = ref;
    return &k;
}

// -- is everything the package's own? -------------------------------------------

bool own_chain(const vx::Args &a, nb::handle self, Level level) {
    PyObject *g = a.func()->globals;
    auto method = [&](const char *path) { return vx::is_original_method(g, self, path); };
    if (!(method("Layout._get_node_connect_dict") && method("Layout._get_node_neighbours") &&
          vx::is_original(a, "combinations")))
        return false;
    if (level == Level::Start)
        return true;
    if (!(method("Layout.get_one_node_subgraph") && vx::is_original(a, "Pool") && vx::is_original(a, "partial")))
        return false;
    if (level == Level::Sets)
        return true;
    if (!(method("Layout.collect_all_subgraph_in_parallel") && method("Layout.get_one_subgraph_info") &&
          vx::is_original(a, "np") && vx::is_original(a, "np.array") && vx::is_original(a, "np.mean") &&
          vx::is_original(a, "np.var") && vx::is_original(a, "nx") && vx::is_original(a, "nx.shortest_path") &&
          vx::is_original(a, "nx.simple_cycles")))
        return false;
    if (level == Level::Infos)
        return true;
    if (!method("Layout.collect_all_subgraph_info_in_parallel"))
        return false;
    if (level == Level::Classes)
        return true;
    return method("Layout.classify_all_subgraph_according_topology") && vx::is_original(a, "zip_longest");
}

// -- running the engines ------------------------------------------------------------

unsigned thread_count() { return std::max(1u, std::thread::hardware_concurrency()); }

[[noreturn]] void too_many() {
    vx::raise(PyExc_MemoryError, "The connected qubit sets of this size do not fit in memory; choose fewer qubits.");
}

void enumerate_all(Native &nat) {
    const Chip &chip = nat.snap->chip;
    if (nat.n < 1 || nat.n > chip.size())
        return;  // no set of that size
    std::vector<StartSets> parts(static_cast<std::size_t>(chip.size()));
    Budget budget;
    const int n = static_cast<int>(nat.n);
    try {
        vx::run_threads(parts.size(), thread_count(), budget.stop, [&](std::size_t s, std::atomic<bool> &) {
            enumerate_start(chip, static_cast<std::int32_t>(s), n, parts[s], budget);
        });
    } catch (TooMany &) {
        too_many();
    }
    std::size_t total = 0;
    for (const StartSets &p : parts)
        total += p.nodes.size();
    nat.sets.reserve(total);
    for (StartSets &p : parts) {
        nat.sets.insert(nat.sets.end(), p.nodes.begin(), p.nodes.end());
        std::vector<std::int32_t>().swap(p.nodes);
    }
    nat.count = n > 0 ? total / static_cast<std::size_t>(n) : 0;
}

void score_all(const vx::Args &a, Native &nat) {
    const std::size_t n = static_cast<std::size_t>(nat.n);
    nat.scores.assign(nat.count, Score{});
    nat.path_at.assign(nat.count, 0);
    constexpr std::size_t kBlock = 2048;
    const std::size_t blocks = (nat.count + kBlock - 1) / kBlock;
    std::vector<std::vector<std::int32_t>> block_paths(blocks);  // the linear sets' paths, per block
    std::atomic<bool> stop{false};
    ScoreInput in{&nat.snap->chip, nat.snap->fid, nat.snap->threshold, &stop};
    vx::run_threads(blocks, thread_count(), stop, [&](std::size_t b, std::atomic<bool> &) {
        Scorer scorer(in);
        std::vector<std::int32_t> set(n);
        std::vector<std::int32_t> &paths = block_paths[b];
        const std::size_t end = std::min(nat.count, (b + 1) * kBlock);
        for (std::size_t c = b * kBlock; c < end; ++c) {
            std::copy_n(nat.sets.data() + c * n, n, set.data());
            nat.scores[c] = scorer.score(set);
            if (nat.scores[c].shape == Shape::Linear) {
                nat.path_at[c] = static_cast<std::uint32_t>(paths.size() / n);
                paths.insert(paths.end(), set.begin(), set.end());
            }
        }
    });
    std::size_t total = 0;
    for (const auto &p : block_paths)
        total += p.size();
    nat.paths.reserve(total);
    for (std::size_t b = 0; b < blocks; ++b) {
        const auto before = static_cast<std::uint32_t>(nat.paths.size() / n);
        const std::size_t end = std::min(nat.count, (b + 1) * kBlock);
        for (std::size_t c = b * kBlock; c < end; ++c)
            if (nat.scores[c].shape == Shape::Linear)
                nat.path_at[c] += before;
        nat.paths.insert(nat.paths.end(), block_paths[b].begin(), block_paths[b].end());
        std::vector<std::int32_t>().swap(block_paths[b]);
    }
    // numpy's warnings for the mean and variance of a set without couplers
    nb::handle np = a.global("np");
    for (const Score &s : nat.scores)
        if (s.couplers == 0) {
            nb::object empty = vx::call(vx::getattr(np, "array"), {vx::own(PyList_New(0))});
            vx::call(vx::getattr(np, "mean"), {empty});
            vx::call(vx::getattr(np, "var"), {empty});
        }
    nat.scored = true;
}

}  // namespace

void forget(nb::handle self) { drop(self.ptr()); }

bool beyond_chip(const vx::Args &a, nb::handle self, Level level, nb::handle nqubits) {
    if (!PyLong_Check(nqubits.ptr()) || !own_chain(a, self, level))
        return false;
    nb::object graph = vx::getattr(self, "graph");
    const Py_ssize_t count = PyObject_Length(graph.ptr());
    if (count < 0) {  // a graph that cannot tell: the methods run
        vx::clear_ordinary_error();
        return false;
    }
    const int more = PyObject_RichCompareBool(nqubits.ptr(), vx::int_obj(count).ptr(), Py_GT);
    vx::check(more);
    return more != 0;
}

void remember(nb::handle module, nb::handle cls) {
    (void)cls;
    for (const char *path :
         {"Pool", "partial", "combinations", "zip_longest", "np", "np.array", "np.mean", "np.var", "nx", "nx.Graph",
          "nx.shortest_path", "nx.simple_cycles", "Layout.get_one_node_subgraph", "Layout._get_node_connect_dict",
          "Layout._get_node_neighbours", "Layout.collect_all_subgraph_in_parallel", "Layout.get_one_subgraph_info",
          "Layout.collect_all_subgraph_info_in_parallel", "Layout.classify_all_subgraph_according_topology"})
        vx::keep_original(module, path);
}

NativePtr native(const vx::Args &a, nb::handle self, Level level, long long nqubits) {
    vx::PathChoice path("Layout");
    if (!path.require(own_chain(a, self, level),
                      "a Layout method or a name the method chain goes through is not the package's own"))
        return nullptr;
    const bool scores = level != Level::Sets;
    if (!path.require(!scores || nqubits <= 64, "sets of more than 64 qubits are scored by the methods"))
        return nullptr;
    std::optional<Snapshot> snap = take_snapshot(a, self, scores);
    if (!path.require(snap.has_value(), "the chip's graph or fidelities are not of the plain kinds the engine reads"))
        return nullptr;
    pool_size(self);  // the pool's own refusal of an unusable size
    NativePtr nat;
    if (Kept *k = kept_for(self)) {
        if (!k->snap || !(k->snap->chip == snap->chip)) {
            k->by_size.clear();
            k->snap = std::make_shared<Snapshot>(std::move(*snap));
        } else if (scores && !k->snap->same_scores(*snap)) {
            // same qubits and couplers, other fidelities: the sets stay
            auto fresh = std::make_shared<Snapshot>(*k->snap);
            fresh->take_scores(*snap);
            k->snap = fresh;
            for (auto &[size, entry] : k->by_size) {
                entry->drop_scores();
                entry->snap = fresh;
            }
        }
        NativePtr &slot = k->by_size[nqubits];
        if (!slot) {
            slot = std::make_shared<Native>();
            slot->snap = k->snap;
        }
        nat = slot;
    } else {
        nat = std::make_shared<Native>();
        nat->snap = std::make_shared<Snapshot>(std::move(*snap));
    }
    nat->n = nqubits;
    if (!nat->enumerated) {
        enumerate_all(*nat);
        nat->enumerated = true;
    }
    if (scores && !nat->scored)
        score_all(a, *nat);
    return nat;
}

}  // namespace layout
