// Ranking tables of candidate qubit sets.
#include "layout.hpp"

namespace layout {

namespace {

nb::object format(const char *fmt, std::initializer_list<nb::handle> args) {
    nb::object method = vx::getattr(vx::str_obj(fmt), "format");
    PyObject *argv[12];
    size_t n = 0;
    for (nb::handle h : args)
        argv[n++] = h.ptr();
    return vx::own(PyObject_Vectorcall(method.ptr(), argv, n, nullptr));
}

// The text of an entry's nodes ("[1, 2]", "(1, 2)", the filler's text).
nb::object nodes_text(nb::handle entry) {
    nb::object nodes = vx::own(vx::item(entry.ptr(), 0));
    return vx::own(PyObject_Str(nodes.ptr()));
}

// sorted(entries, key=lambda e: e[i], reverse=reverse)
nb::object sorted_by(nb::handle entries, Py_ssize_t i, bool reverse) {
    return sorted_list(entries, item_getter(i), reverse);
}

nb::object head(nb::handle lst, long long num) {
    return vx::own(PySequence_GetSlice(lst.ptr(), 0, static_cast<Py_ssize_t>(num)));
}

// A slice [:num] with a negative num counts from the end.
nb::object cut(nb::handle lst, long long num) {
    if (num >= 0)
        return head(lst, num);
    Py_ssize_t n = vx::length(lst) + static_cast<Py_ssize_t>(num);
    return head(lst, n < 0 ? 0 : n);
}

struct ListSource final : TableSource {
    nb::handle lin, non;
    ListSource(nb::handle l, nb::handle n) : lin(l), non(n) {
        nlinear = PyList_GET_SIZE(l.ptr());
        nnonlinear = PyList_GET_SIZE(n.ptr());
    }
    nb::object linear(Py_ssize_t i) override { return nb::borrow(PyList_GET_ITEM(lin.ptr(), i)); }
    nb::object nonlinear(Py_ssize_t i) override { return nb::borrow(PyList_GET_ITEM(non.ptr(), i)); }
};

// nqubits * 5 + extra
nb::object width(nb::handle nqubits, long long extra) {
    nb::object w = vx::own(PyNumber_Multiply(nqubits.ptr(), vx::int_obj(5).ptr()));
    return extra ? vx::own(PyNumber_Add(w.ptr(), vx::int_obj(extra).ptr())) : w;
}

nb::object sort_by(const vx::Args &a, bool by_mean) {
    nb::handle self = a[0];
    if (beyond_chip(a, self, Level::Ranks, a[1]))
        return nb::make_tuple(vx::own(PyList_New(0)), vx::own(PyList_New(0)));
    const long long nqubits = clamped(a, 1), num = clamped(a, 2);
    const bool print = a.b(3);
    if (FastPtr fr = fast_result(a, self, Level::Ranks, nqubits))
        return fast_ranks(a, *fr, by_mean, num, print);
    nb::object classes = call_method(self, "classify_all_subgraph_according_topology", {a[1]});
    auto [lin, non] = vx::unpack2(classes);
    nb::object slin = sorted_by(lin, by_mean ? 1 : 2, by_mean);
    nb::object snon = sorted_by(non, by_mean ? 1 : 2, by_mean);
    if (print) {
        ListSource src(slin, snon);
        print_two_column_table(a[1], num, src);
    }
    return nb::make_tuple(cut(slin, num), cut(snon, num));
}

}  // namespace

nb::handle filler() {
    static PyObject *f =
        nb::make_tuple(vx::str_obj("(                  )"), nb::float_(0.0), nb::float_(0.0)).release().ptr();
    return f;
}

void print_header(nb::handle nqubits) {
    nb::object w = width(nqubits, 22);
    vx::print({format("{:<3} | {:^{}} | {:^{}} ", {vx::str_obj("idx"), vx::str_obj("subgraph with linear topology"), w,
                                                   vx::str_obj("subgraph with nonlinear topology"), w})});
}

void print_two_column_table(nb::handle nqubits, long long num, TableSource &src) {
    vx::print({vx::int_obj(src.nlinear), vx::int_obj(src.nnonlinear)});
    print_header(nqubits);
    nb::object w = width(nqubits, 0);
    const Py_ssize_t rows = std::max(src.nlinear, src.nnonlinear);
    for (Py_ssize_t i = 0; i < rows && i <= num; ++i) {
        nb::object l = i < src.nlinear ? src.linear(i) : nb::borrow(filler());
        nb::object r = i < src.nnonlinear ? src.nonlinear(i) : nb::borrow(filler());
        vx::print(
            {format("{:<3} | {:<{}} {:<10.6f} {:<10.6f} | {:<{}} {:<10.6f} {:<10.6f} ",
                    {vx::int_obj(i), nodes_text(l), w, vx::own(vx::item(l.ptr(), 1)), vx::own(vx::item(l.ptr(), 2)),
                     nodes_text(r), w, vx::own(vx::item(r.ptr(), 1)), vx::own(vx::item(r.ptr(), 2))})});
    }
}

void print_one_column_row(Py_ssize_t i, nb::handle entry, nb::handle nqubits) {
    vx::print({format("{:<3} | {:<{}} {:<10.6f} {:<10.6f}  ",
                      {vx::int_obj(i), nodes_text(entry), width(nqubits, 0), vx::own(vx::item(entry.ptr(), 1)),
                       vx::own(vx::item(entry.ptr(), 2))})});
}

nb::object classify_all_subgraph_according_topology(const vx::Args &a) {
    nb::handle self = a[0];
    if (beyond_chip(a, self, Level::Classes, a[1]))
        return nb::make_tuple(vx::own(PyList_New(0)), vx::own(PyList_New(0)));
    if (FastPtr fr = fast_result(a, self, Level::Classes, clamped(a, 1)))
        return fast_classes(a, *fr);
    nb::object lin = vx::own(PyList_New(0)), non = vx::own(PyList_New(0));
    nb::object infos = call_method(self, "collect_all_subgraph_info_in_parallel", {a[1]});
    nb::object s_linear = vx::str_obj("linear"), s_circular = vx::str_obj("circular"),
               s_nonlinear = vx::str_obj("nonlinear");
    for (nb::handle rec : infos) {
        if (rec.is_none())
            continue;
        nb::object parts[4];
        vx::unpack(rec, parts, 4);
        nb::object entry = nb::make_tuple(parts[0], parts[2], parts[3]);
        if (vx::equal(parts[1], s_linear) || vx::equal(parts[1], s_circular))
            vx::check(PyList_Append(lin.ptr(), entry.ptr()));
        else if (vx::equal(parts[1], s_nonlinear))
            vx::check(PyList_Append(non.ptr(), entry.ptr()));
    }
    return nb::make_tuple(lin, non);
}

nb::object sort_subgraph_according_mean_fidelity(const vx::Args &a) { return sort_by(a, true); }
nb::object sort_subgraph_according_var_fidelity(const vx::Args &a) { return sort_by(a, false); }

nb::object select_subgraph_by_topology(const vx::Args &a) {
    nb::handle self = a[0], target = a[2];
    if (beyond_chip(a, self, Level::Infos, a[1]))
        return nb::none();
    const bool print = a.b(3);
    if (FastPtr fr = fast_result(a, self, Level::Infos, clamped(a, 1))) {
        fast_by_topology(a, *fr, target, print);
        return nb::none();
    }
    nb::object infos = call_method(self, "collect_all_subgraph_info_in_parallel", {a[1]});
    nb::object kept = vx::own(PyList_New(0));
    for (nb::handle rec : infos) {
        if (rec.is_none())
            continue;
        nb::object parts[4];
        vx::unpack(rec, parts, 4);
        if (vx::equal(parts[1], target))
            vx::check(PyList_Append(kept.ptr(), nb::make_tuple(parts[0], parts[2], parts[3]).ptr()));
    }
    nb::object ranked = sorted_by(kept, 1, true);
    if (print) {
        vx::print({vx::int_obj(PyList_GET_SIZE(ranked.ptr()))});
        print_header(a[1]);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ranked.ptr()); ++i)
            print_one_column_row(i, PyList_GET_ITEM(ranked.ptr(), i), a[1]);
    }
    return nb::none();
}

}  // namespace layout
