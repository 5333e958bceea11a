// Python results of the fast path: the very lists, records, ranking
// entries and tables that the methods give, made only for what the caller
// receives.
#include "fast.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace layout {

using engines::layout::Score;
using engines::layout::Shape;

namespace {

// The node objects of the n node indices from p, as a tuple or a list.
nb::object node_sequence(const FastResult &fr, const std::int32_t *p, bool tuple = true) {
    const auto n = static_cast<Py_ssize_t>(fr.n);
    nb::object seq = vx::own(tuple ? PyTuple_New(n) : PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *node = nb::object(fr.snap->nodes[p[i]]).release().ptr();
        if (tuple)
            PyTuple_SET_ITEM(seq.ptr(), i, node);
        else
            PyList_SET_ITEM(seq.ptr(), i, node);
    }
    return seq;
}

// The record's nodes: the path as a list for a linear set, else the tuple.
nb::object record_nodes(const FastResult &fr, std::size_t c) {
    const std::size_t n = static_cast<std::size_t>(fr.n);
    if (fr.scores[c].shape == Shape::Linear)
        return node_sequence(fr, fr.paths.data() + static_cast<std::size_t>(fr.path_at[c]) * n, false);
    return node_sequence(fr, fr.sets.data() + c * n);
}

// numpy float64 scalars of the values, as numpy's mean and var return them.
struct Floats {
    nb::object type;
    explicit Floats(const vx::Args &a) : type(vx::getattr(a.global("np"), "float64")) {}
    nb::object operator()(double v) const { return vx::call(type, {nb::float_(v)}); }
    // many at once: list(np.array(values)) gives float64 scalars
    nb::object many(const vx::Args &a, const std::vector<double> &values) const {
        nb::object lst = vx::own(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t i = 0; i < values.size(); ++i)
            PyList_SET_ITEM(lst.ptr(), static_cast<Py_ssize_t>(i), PyFloat_FromDouble(values[i]));
        nb::object arr = vx::call(vx::getattr(a.global("np"), "array"), {lst});
        return vx::own(PySequence_List(arr.ptr()));
    }
};

const char *shape_name(Shape s) {
    switch (s) {
    case Shape::Linear: return "linear";
    case Shape::Circular: return "circular";
    case Shape::Nonlinear: return "nonlinear";
    default: return nullptr;
    }
}

// Scalars of every kept set's mean and var, in candidate order.
std::pair<nb::object, nb::object> scalars(const vx::Args &a, const FastResult &fr) {
    std::vector<double> means, vars;
    for (const Score &s : fr.scores)
        if (s.shape != Shape::Rejected) {
            means.push_back(s.mean);
            vars.push_back(s.var);
        }
    Floats f(a);
    return {f.many(a, means), f.many(a, vars)};
}

// The ranking entries of the kept sets whose shape passes `keep`, stable
// sorted by mean (descending) or variance (ascending): `idx` holds the first
// `need` of them (all when fewer), `total` counts them all.  Without NaN the
// keys are totally ordered, and ordering (key, index) pairs gives the stable
// order from contiguous memory, the first few by a partial sort; a NaN key
// keeps the comparison sort of every entry.
struct Ranked {
    std::vector<std::size_t> idx;
    std::size_t total = 0;
};

template <class Keep> Ranked ranked(const FastResult &fr, bool by_mean, Keep keep, std::size_t need) {
    std::vector<std::pair<double, std::size_t>> keyed;
    bool nan = false;
    for (std::size_t c = 0; c < fr.count; ++c)
        if (fr.scores[c].shape != Shape::Rejected && keep(fr.scores[c].shape)) {
            const double v = by_mean ? -fr.scores[c].mean : fr.scores[c].var;
            nan = nan || std::isnan(v);
            keyed.emplace_back(v == 0 ? 0.0 : v, c);  // -0.0 and 0.0 tie
        }
    Ranked r;
    r.total = keyed.size();
    if (!nan) {
        const std::size_t top = std::min(need, keyed.size());
        if (top == keyed.size())
            std::sort(keyed.begin(), keyed.end());
        else
            std::partial_sort(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(top), keyed.end());
        r.idx.resize(top);
        for (std::size_t i = 0; i < top; ++i)
            r.idx[i] = keyed[i].second;
        return r;
    }
    r.idx.resize(keyed.size());
    for (std::size_t i = 0; i < keyed.size(); ++i)
        r.idx[i] = keyed[i].second;
    if (by_mean)
        std::stable_sort(r.idx.begin(), r.idx.end(),
                         [&](std::size_t x, std::size_t y) { return fr.scores[x].mean > fr.scores[y].mean; });
    else
        std::stable_sort(r.idx.begin(), r.idx.end(),
                         [&](std::size_t x, std::size_t y) { return fr.scores[x].var < fr.scores[y].var; });
    return r;
}

nb::object entry(const FastResult &fr, const Floats &f, std::size_t c) {
    return nb::make_tuple(record_nodes(fr, c), f(fr.scores[c].mean), f(fr.scores[c].var));
}

// The entries that lst[:num] and a table of rows 0 to num need.
std::size_t needed(long long num) {
    return num >= 0 ? static_cast<std::size_t>(num) + 1 : std::numeric_limits<std::size_t>::max();
}

// lst[:num] of the ranked entries
nb::object head(const FastResult &fr, const Floats &f, const Ranked &r, long long num) {
    const std::vector<std::size_t> &idx = r.idx;
    const auto size = static_cast<long long>(r.total);
    long long end = num >= 0 ? std::min(num, size) : std::max(0LL, size + num);
    nb::object out = vx::own(PyList_New(0));
    for (long long i = 0; i < end; ++i)
        vx::check(PyList_Append(out.ptr(), entry(fr, f, idx[static_cast<std::size_t>(i)]).ptr()));
    return out;
}

struct RankedSource final : TableSource {
    const FastResult &fr;
    const Floats &f;
    const Ranked &lin, &non;  // holding the rows printed
    RankedSource(const FastResult &res, const Floats &fl, const Ranked &l, const Ranked &r)
        : fr(res), f(fl), lin(l), non(r) {
        nlinear = static_cast<Py_ssize_t>(l.total);
        nnonlinear = static_cast<Py_ssize_t>(r.total);
    }
    nb::object linear(Py_ssize_t i) override { return entry(fr, f, lin.idx.at(static_cast<std::size_t>(i))); }
    nb::object nonlinear(Py_ssize_t i) override { return entry(fr, f, non.idx.at(static_cast<std::size_t>(i))); }
};

bool is_linear_class(Shape s) { return s == Shape::Linear || s == Shape::Circular; }

}  // namespace

nb::object fast_sets(const FastResult &fr) {
    nb::object out = vx::own(PyList_New(static_cast<Py_ssize_t>(fr.count)));
    vx::GcPause pause;
    const std::size_t n = static_cast<std::size_t>(fr.n);
    for (std::size_t c = 0; c < fr.count; ++c)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(c),
                        node_sequence(fr, fr.sets.data() + c * n).release().ptr());
    return out;
}

nb::object fast_infos(const vx::Args &a, const FastResult &fr) {
    auto [means, vars] = scalars(a, fr);
    nb::object out = vx::own(PyList_New(static_cast<Py_ssize_t>(fr.count)));
    vx::GcPause pause;
    Py_ssize_t kept = 0;
    nb::object names[4] = {nb::none(), vx::str_obj("linear"), vx::str_obj("circular"), vx::str_obj("nonlinear")};
    for (std::size_t c = 0; c < fr.count; ++c) {
        const Score &s = fr.scores[c];
        nb::object rec = nb::none();
        if (s.shape != Shape::Rejected) {
            rec = nb::make_tuple(record_nodes(fr, c), names[static_cast<int>(s.shape)],
                                 nb::handle(PyList_GET_ITEM(means.ptr(), kept)),
                                 nb::handle(PyList_GET_ITEM(vars.ptr(), kept)));
            ++kept;
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(c), rec.release().ptr());
    }
    return out;
}

nb::object fast_classes(const vx::Args &a, const FastResult &fr) {
    auto [means, vars] = scalars(a, fr);
    nb::object lin = vx::own(PyList_New(0)), non = vx::own(PyList_New(0));
    vx::GcPause pause;
    Py_ssize_t kept = 0;
    for (std::size_t c = 0; c < fr.count; ++c) {
        const Score &s = fr.scores[c];
        if (s.shape == Shape::Rejected)
            continue;
        nb::object e = nb::make_tuple(record_nodes(fr, c), nb::handle(PyList_GET_ITEM(means.ptr(), kept)),
                                      nb::handle(PyList_GET_ITEM(vars.ptr(), kept)));
        ++kept;
        vx::check(PyList_Append(is_linear_class(s.shape) ? lin.ptr() : non.ptr(), e.ptr()));
    }
    return nb::make_tuple(lin, non);
}

nb::object fast_ranks(const vx::Args &a, const FastResult &fr, bool by_mean, long long num, bool print) {
    const Ranked lin = ranked(fr, by_mean, is_linear_class, needed(num));
    const Ranked non = ranked(fr, by_mean, [](Shape s) { return s == Shape::Nonlinear; }, needed(num));
    Floats f(a);
    if (print) {
        RankedSource src(fr, f, lin, non);
        print_two_column_table(a[1], num, src);
    }
    return nb::make_tuple(head(fr, f, lin, num), head(fr, f, non, num));
}

void fast_by_topology(const vx::Args &a, const FastResult &fr, nb::handle target, bool print) {
    if (!print)
        return;
    const std::vector<std::size_t> idx =
        ranked(
            fr, true,
            [&](Shape s) {
                return shape_name(s) && PyUnicode_CompareWithASCIIString(target.ptr(), shape_name(s)) == 0;
            },
            needed(-1))
            .idx;
    Floats f(a);
    vx::print({vx::int_obj(static_cast<long long>(idx.size()))});
    print_header(a[1]);
    for (std::size_t i = 0; i < idx.size(); ++i)
        print_one_column_row(static_cast<Py_ssize_t>(i), entry(fr, f, idx[i]), a[1]);
}

}  // namespace layout
