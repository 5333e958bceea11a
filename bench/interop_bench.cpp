// Benchmark-only module: one body behind the interop layer's function object
// and behind a plain nanobind function, to price the layer's argument handling.
#include "interop.hpp"

#include <nanobind/stl/string.h>

namespace {

double body(const char *s, double tol) { return static_cast<double>(s[0]) * tol; }

nb::object through_interop(const vx::Args &a) {
    return vx::own(PyFloat_FromDouble(body(PyUnicode_AsUTF8(a.ptr(0)), a.f(1))));
}

nb::object method_body(const vx::Args &a) { return vx::own(PyFloat_FromDouble(a.f(1))); }

}  // namespace

NB_MODULE(_interop_bench, m) {
    vx::def(m, {.name = "interop_func",
                .impl = through_interop,
                .params = {{"expr", vx::Conv::Str}, {"tolerance", vx::Conv::Float}},
                .defaults = {vx::own(PyFloat_FromDouble(1e-9))}});
    m.def(
        "nanobind_func", [](const nb::str &expr, double tolerance) { return body(expr.c_str(), tolerance); },
        nb::arg("expr"), nb::arg("tolerance") = 1e-9);

    m.attr("InteropClass") =
        vx::make_class(m, "InteropClass", nb::handle(), nullptr,
                       {{.name = "method", .impl = method_body, .params = {{"self"}, {"x", vx::Conv::Float}}}});
    struct Plain {};
    nb::class_<Plain>(m, "NanobindClass")
        .def(nb::init<>())
        .def("method", [](Plain &, double x) { return x; }, nb::arg("x"));
}
