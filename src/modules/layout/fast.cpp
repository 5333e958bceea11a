// The fast path of the collections and rankings of connected qubit sets.
//
// It applies when the path choice (module.cpp) has found the Layout's
// methods that a collection goes through the package's own (none
// overridden in a subclass or on the instance) and the module names they
// use still holding the package's objects, and when the chip graph is a
// networkx Graph of non-negative int qubits without self-loops (and, for
// scores, every coupler has a float fidelity under its (smaller, larger)
// key and the threshold is a number).  The chip graph is read into arrays
// at every call and compared with what was kept for the Layout, so whatever
// a user changed in between (qubits, couplers, their order, fidelities, the
// threshold) is seen and what was kept for the old graph is dropped here,
// the one place that keeps it; results are kept per Layout and size until
// then.  What is kept lives beside the object (it dies with it), not in its
// attributes, so the object pickles as it always did.
#include "fast.hpp"

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
    std::map<long long, FastPtr> by_size;
    PyObject *weakref = nullptr;  // owned; its callback drops this entry
};

std::unordered_map<PyObject *, Kept> &kept() {
    static std::unordered_map<PyObject *, Kept> k;
    return k;
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

// -- running the engines ------------------------------------------------------------

unsigned thread_count() { return std::max(1u, std::thread::hardware_concurrency()); }

[[noreturn]] void too_many() {
    vx::raise(PyExc_MemoryError, "The connected qubit sets of this size do not fit in memory; choose fewer qubits.");
}

void enumerate_all(FastResult &fr) {
    const Chip &chip = fr.snap->chip;
    if (fr.n < 1 || fr.n > chip.size())
        return;  // no set of that size
    std::vector<StartSets> parts(static_cast<std::size_t>(chip.size()));
    Budget budget;
    const int n = static_cast<int>(fr.n);
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
    fr.sets.reserve(total);
    for (StartSets &p : parts) {
        fr.sets.insert(fr.sets.end(), p.nodes.begin(), p.nodes.end());
        std::vector<std::int32_t>().swap(p.nodes);
    }
    fr.count = n > 0 ? total / static_cast<std::size_t>(n) : 0;
}

void score_all(const vx::Args &a, FastResult &fr) {
    const std::size_t n = static_cast<std::size_t>(fr.n);
    fr.scores.assign(fr.count, Score{});
    fr.path_at.assign(fr.count, 0);
    constexpr std::size_t kBlock = 2048;
    const std::size_t blocks = (fr.count + kBlock - 1) / kBlock;
    std::vector<std::vector<std::int32_t>> block_paths(blocks);  // the linear sets' paths, per block
    std::atomic<bool> stop{false};
    ScoreInput in{&fr.snap->chip, fr.snap->fid, fr.snap->threshold, &stop};
    vx::run_threads(blocks, thread_count(), stop, [&](std::size_t b, std::atomic<bool> &) {
        Scorer scorer(in);
        std::vector<std::int32_t> set(n);
        std::vector<std::int32_t> &paths = block_paths[b];
        const std::size_t end = std::min(fr.count, (b + 1) * kBlock);
        for (std::size_t c = b * kBlock; c < end; ++c) {
            std::copy_n(fr.sets.data() + c * n, n, set.data());
            fr.scores[c] = scorer.score(set);
            if (fr.scores[c].shape == Shape::Linear) {
                fr.path_at[c] = static_cast<std::uint32_t>(paths.size() / n);
                paths.insert(paths.end(), set.begin(), set.end());
            }
        }
    });
    std::size_t total = 0;
    for (const auto &p : block_paths)
        total += p.size();
    fr.paths.reserve(total);
    for (std::size_t b = 0; b < blocks; ++b) {
        const auto before = static_cast<std::uint32_t>(fr.paths.size() / n);
        const std::size_t end = std::min(fr.count, (b + 1) * kBlock);
        for (std::size_t c = b * kBlock; c < end; ++c)
            if (fr.scores[c].shape == Shape::Linear)
                fr.path_at[c] += before;
        fr.paths.insert(fr.paths.end(), block_paths[b].begin(), block_paths[b].end());
        std::vector<std::int32_t>().swap(block_paths[b]);
    }
    // numpy's warnings for the mean and variance of a set without couplers
    nb::handle np = a.global("np");
    for (const Score &s : fr.scores)
        if (s.couplers == 0) {
            nb::object empty = vx::call(vx::getattr(np, "array"), {vx::own(PyList_New(0))});
            vx::call(vx::getattr(np, "mean"), {empty});
            vx::call(vx::getattr(np, "var"), {empty});
        }
    fr.scored = true;
}

}  // namespace

FastPtr compute(const vx::Args &a, nb::handle self, Level level, long long nqubits, vx::PathChoice &path) {
    const bool scores = level != Level::Sets;
    if (!path.require(!scores || nqubits <= 64, "sets of more than 64 qubits are scored by the methods"))
        return nullptr;
    std::optional<Snapshot> snap = take_snapshot(a, self, scores);
    if (!path.require(snap.has_value(), "the chip's graph or fidelities are not of the exact kinds the engines read"))
        return nullptr;
    pool_size(self);  // the pool's own refusal of an unusable size
    FastPtr fr;
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
        FastPtr &slot = k->by_size[nqubits];
        if (!slot) {
            slot = std::make_shared<FastResult>();
            slot->snap = k->snap;
        }
        fr = slot;
    } else {
        fr = std::make_shared<FastResult>();
        fr->snap = std::make_shared<Snapshot>(std::move(*snap));
    }
    fr->n = nqubits;
    if (!fr->enumerated) {
        enumerate_all(*fr);
        fr->enumerated = true;
    }
    if (scores && !fr->scored)
        score_all(a, *fr);
    return fr;
}

}  // namespace layout
