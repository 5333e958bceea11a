// vexal.circuit.matrix: the unitary of every gate as a numpy complex array.
//
// Qubit order: the first qubit of a gate is the least-significant bit of the
// matrix index.  The constants are built once at load, through numpy, from
// nested lists of rows.  The matrix functions return a new array per call:
// each is written once over a domain (formulas.hpp) and runs on its fast
// path (fast.cpp), C++ in doubles giving bit for bit what the numpy
// expression gives, or on its reference path (reference.cpp), that
// expression through the module's `np`.  The module body below makes the
// frame, in load order.  See matrix.hpp for the files.
#include "matrix.hpp"

#include <utility>

namespace {

void def_matrix(nb::handle m, const char *name, vx::Impl impl, std::vector<vx::Param> params,
                const char *ret = "np.ndarray") {
    vx::def(m, {.name = name, .impl = impl, .params = std::move(params), .return_annotation = ret});
}

// gate_matrix_dict: a gate's name -> the module attribute it serves.
constexpr std::pair<const char *, const char *> kTable[] = {
    {"id", "id_mat"},     {"x", "x_mat"},       {"y", "y_mat"},         {"z", "z_mat"},     {"h", "h_mat"},
    {"s", "s_mat"},       {"sdg", "sdg_mat"},   {"t", "t_mat"},         {"tdg", "tdg_mat"}, {"sx", "sx_mat"},
    {"sxdg", "sxdg_mat"}, {"swap", "swap_mat"}, {"iswap", "iswap_mat"}, {"cx", "cx_mat"},   {"cnot", "cx_mat"},
    {"cy", "cy_mat"},     {"cz", "cz_mat"},     {"rx", "rx_mat"},       {"ry", "ry_mat"},   {"rz", "rz_mat"},
    {"p", "p_mat"},       {"u", "u_mat"},       {"r", "r_mat"},         {"rxx", "rxx_mat"}, {"ryy", "ryy_mat"},
    {"rzz", "rzz_mat"},   {"cp", "cp_mat"},     {"ccz", "ccz_mat"},     {"ccx", "ccx_mat"}, {"cswap", "cswap_mat"},
};

}  // namespace

NB_MODULE(matrix, m) {
    using namespace matrix;
    using vx::Conv;
    nb::object np = vx::import("numpy");
    m.attr("np") = np;
    vx::keep_original(m, "np");
    C.globals = vx::check(PyModule_GetDict(m.ptr()));
    load_cache(np);
    C.own_np = vx::original(C.globals, "np");

    bind_columns(m, np);
    def_matrix(m, "ketn0", ketn0, {{"nqubits", Conv::Int}});
    def_matrix(m, "ketn1", ketn1, {{"nqubits", Conv::Int}});
    bind_fixed_gates(m, np);

    using enum vx::matrixapi::ParamGate;
    def_matrix(m, "r_mat", r_mat, {{"theta"}, {"phi"}}, nullptr);
    def_matrix(m, "rx_mat", param_function(RX), {{"theta", Conv::Float}});
    def_matrix(m, "ry_mat", param_function(RY), {{"theta", Conv::Float}});
    def_matrix(m, "rz_mat", param_function(RZ), {{"theta", Conv::Float}});
    def_matrix(m, "p_mat", param_function(P), {{"theta", Conv::Float}});
    m.attr("u_mat") =
        vx::make_function(m, {.name = "u_mat",
                              .impl = u_mat,
                              .params = {{"theta", Conv::Float}, {"phi", Conv::Float}, {"lamda", Conv::Float}},
                              .return_annotation = "np.ndarray",
                              .data = offer_capsule()});
    vx::keep_original(m, "u_mat");
    def_matrix(m, "u1_mat", u1_mat, {{"lamda", Conv::Float}}, nullptr);
    def_matrix(m, "u2_mat", u2_mat, {{"phi", Conv::Float}, {"lamda", Conv::Float}}, nullptr);
    def_matrix(m, "rxx_mat", param_function(RXX), {{"theta", Conv::Float}});
    def_matrix(m, "ryy_mat", param_function(RYY), {{"theta", Conv::Float}});
    def_matrix(m, "rzz_mat", param_function(RZZ), {{"theta", Conv::Float}});
    def_matrix(m, "cp_mat", param_function(CP), {{"theta", Conv::Float}});
    keep_param_functions(m);

    nb::object d = vx::own(PyDict_New());
    for (const auto &[key, attr] : kTable) {
        nb::object v = vx::own(PyObject_GetAttrString(m.ptr(), attr));
        vx::check(PyDict_SetItemString(d.ptr(), key, v.ptr()));
    }
    m.attr("gate_matrix_dict") = d;
}
