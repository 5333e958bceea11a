// vexal.circuit.decompose: single-qubit gates as u gates, two-qubit gates in
// a basis of cz, cx or iswap, three-qubit gates in one- and two-qubit gates,
// and the pass that decomposes the three-qubit gates of a circuit.
#include "fast_path.hpp"
#include "dag_api.hpp"
#include "decompositions.hpp"
#include "complex_product.hpp"
#include "matrix_api.hpp"

namespace {

dec::Consts K;
dec::Own OWN;
dec::Own NONE_OWN;  // the module's namespace with none of its functions

using dec::name_is;

// What a call may stand in for: the module's own functions (a nested
// decomposition, a conversion, u3_decompose) are built here while the names
// hold them; with the reference switch on, none is, and every nested call
// goes through the module's names.
const dec::Own &own_for_call() { return vx::reference_paths_only() ? NONE_OWN : OWN; }

dec::Ctx make_ctx(PyObject *out, bool flag, PyObject *basis, int kind) {
    return dec::Ctx{K, own_for_call(), out, flag, basis, kind};
}

// ------------------------------------------------------------ converters

nb::object h2u(const vx::Args &a) { return vx::own(dec::convert(K, dec::H2U, nullptr, a.ptr(0))); }
nb::object x2u(const vx::Args &a) { return vx::own(dec::convert(K, dec::X2U, nullptr, a.ptr(0))); }
nb::object sdg2u(const vx::Args &a) { return vx::own(dec::convert(K, dec::SDG2U, nullptr, a.ptr(0))); }
nb::object s2u(const vx::Args &a) { return vx::own(dec::convert(K, dec::S2U, nullptr, a.ptr(0))); }
nb::object rx2u(const vx::Args &a) { return vx::own(dec::convert(K, dec::RX2U, a.ptr(0), a.ptr(1))); }
nb::object ry2u(const vx::Args &a) { return vx::own(dec::convert(K, dec::RY2U, a.ptr(0), a.ptr(1))); }
nb::object rz2u(const vx::Args &a) { return vx::own(dec::convert(K, dec::RZ2U, a.ptr(0), a.ptr(1))); }

using vx::item;

// u_dot_u where the names it calls (u_mat, u3_decompose, numpy's `@`)
// stand for the package's own C++: u_mat's entries from the matrix module,
// their product as numpy forms it, the C++ port of u3_decompose; invalid
// (nothing done) otherwise, or where an angle is not an exact float.
nb::object u_dot_u_cpp(const vx::Args &a, PyObject *u1, PyObject *u2, PyObject *u_mat, nb::handle q) {
    const vx::matrixapi::Api *offer = vx::matrixapi::from_u_mat(u_mat);
    PyObject *own_u3 = own_for_call().fn[dec::U3_DECOMPOSE];
    if (!offer || !own_u3 || a.global("u3_decompose").ptr() != own_u3 || !PyTuple_CheckExact(u1) ||
        !PyTuple_CheckExact(u2) || PyTuple_GET_SIZE(u1) != 5 || PyTuple_GET_SIZE(u2) != 5)
        return {};
    double x[3], y[3];
    for (int i = 0; i < 3; ++i) {
        PyObject *s = PyTuple_GET_ITEM(u1, 1 + i), *t = PyTuple_GET_ITEM(u2, 1 + i);
        if (!PyFloat_CheckExact(s) || !PyFloat_CheckExact(t))
            return {};
        x[i] = PyFloat_AS_DOUBLE(s);
        y[i] = PyFloat_AS_DOUBLE(t);
    }
    std::complex<double> m1[4], m2[4], product[4];
    if (!offer->u_entries(x[0], x[1], x[2], m1) || !offer->u_entries(y[0], y[1], y[2], m2) ||
        !vx::matrixapi::numpy_product_is_cpp())
        return {};
    engines::cproduct::product(m2, m1, product);
    double r[4];
    dec::u3_or_raise(product, r);
    nb::object th = vx::own(PyFloat_FromDouble(r[0])), ph = vx::own(PyFloat_FromDouble(r[1])),
               la = vx::own(PyFloat_FromDouble(r[2]));
    return vx::own(dec::u_rec(K, th.ptr(), ph.ptr(), la.ptr(), q.ptr()));
}

nb::object u_dot_u(const vx::Args &a) {
    PyObject *u1 = a.ptr(0), *u2 = a.ptr(1);
    nb::object q1 = nb::steal(item(u1, -1));
    nb::object q2 = nb::steal(item(u2, -1));
    if (!vx::equal(q1, q2))
        vx::value_error("u_dot_u merges two u gates on one qubit, got qubits " + vx::describe(q1.ptr()) + " and " +
                        vx::describe(q2.ptr()));
    PyObject *u_mat = a.global("u_mat").ptr();
    if (nb::object r = u_dot_u_cpp(a, u1, u2, u_mat, q1); r.is_valid())
        return r;
    auto mat_of = [&](PyObject *u) {
        Py_ssize_t n = PyTuple_GET_SIZE(u);
        nb::object params = vx::own(PyTuple_GetSlice(u, 1, n > 0 ? n - 1 : 0));
        return vx::own(PyObject_Call(u_mat, params.ptr(), nullptr));
    };
    nb::object m1 = mat_of(u1);
    nb::object m2 = mat_of(u2);
    nb::object prod = vx::own(PyNumber_MatrixMultiply(m2.ptr(), m1.ptr()));
    nb::object th, ph, la;
    dec::u3_angles(a.global("u3_decompose").ptr(), own_for_call().fn[dec::U3_DECOMPOSE], prod.ptr(), th, ph, la);
    return vx::own(dec::u_rec(K, th.ptr(), ph.ptr(), la.ptr(), q1.ptr()));
}

// ---------------------------------------------------- two-qubit gates

nb::object cx_to_iswap(const vx::Args &a) {
    nb::object out = vx::own(PyList_New(0));
    dec::Ctx c = make_ctx(out.ptr(), a.b(2), nullptr, 0);
    dec::build_cx_to_iswap(c, a.ptr(0), a.ptr(1));
    return out;
}

nb::object cz_to_iswap(const vx::Args &a) {
    nb::object out = vx::own(PyList_New(0));
    dec::Ctx c = make_ctx(out.ptr(), a.b(2), nullptr, 0);
    dec::build_cz_to_iswap(c, a.ptr(0), a.ptr(1));
    return out;
}

template <void (*Build)(dec::Ctx &, PyObject *, PyObject *)> nb::object two_qubit(const vx::Args &a) {
    int kind = dec::basis_kind(K, a.ptr(3));
    nb::object out = vx::own(PyList_New(0));
    dec::Ctx c = make_ctx(out.ptr(), a.b(2), a.ptr(3), kind);
    Build(c, a.ptr(0), a.ptr(1));
    return out;
}

template <void (*Build)(dec::Ctx &, PyObject *, PyObject *, PyObject *)> nb::object two_qubit_param(const vx::Args &a) {
    int kind = dec::basis_kind(K, a.ptr(4));
    nb::object out = vx::own(PyList_New(0));
    dec::Ctx c = make_ctx(out.ptr(), a.b(3), a.ptr(4), kind);
    Build(c, a.ptr(0), a.ptr(1), a.ptr(2));
    return out;
}

// -------------------------------------------------- three-qubit gates

void build_cswap(dec::Ctx &c, PyObject *c1, PyObject *c2, PyObject *t) {
    c.rec(K.cx, t, c2);
    PyObject *g = vx::lookup_global(c.own.globals, K.fn_names[dec::CCX_DEC]);
    if (g == c.own.fn[dec::CCX_DEC]) {
        dec::build_ccx(c, c1, c2, t);
    } else {
        PyObject *args[3] = {c1, c2, t};
        nb::object r = vx::own(PyObject_Vectorcall(g, args, 3, nullptr));
        dec::extend(c.out, r.ptr());
    }
    c.rec(K.cx, t, c2);
}

void build_ccx(dec::Ctx &c, PyObject *c1, PyObject *c2, PyObject *t) { dec::build_ccx(c, c1, c2, t); }

template <void (*Build)(dec::Ctx &, PyObject *, PyObject *, PyObject *)> nb::object three_qubit(const vx::Args &a) {
    nb::object out = vx::own(PyList_New(0));
    dec::Ctx c = make_ctx(out.ptr(), false, nullptr, 0);
    Build(c, a.ptr(0), a.ptr(1), a.ptr(2));
    return out;
}

// ThreeQubitGateDecompose
PyObject *g_tqd_cls = nullptr;

// super().__init__()
nb::object tqd_init(const vx::Args &a) {
    vx::init_base(g_tqd_cls, a[0]);
    return nb::none();
}

const int kThreeFns[3] = {dec::CCX_DEC, dec::CCZ_DEC, dec::CSWAP_DEC};
PyObject *g_three_names[3];

nb::object tqd_run(const vx::Args &a) {
    PyObject *qc = a.ptr(1);
    // the records, read once and checked before anything is made; the
    // decompositions count and convert the operands of a three-qubit record
    // themselves
    nb::object gates = vx::own(PySequence_List(vx::getattr(qc, "gates").ptr()));
    {
        vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), vx::dagapi::gatework_globals());
        vx::dagapi::check_circuit(kinds, qc, gates.ptr(),
                                  {.lenient = vx::dagapi::table_bit(vx::dagapi::kThreeQubitTable)});
    }
    // the decompositions built here (the fast path), where the names hold the module's own
    vx::PathChoice path("ThreeQubitGateDecompose");
    for (int fn : kThreeFns)
        path.require(a.global(K.fn_names[fn]).ptr() == OWN.fn[fn],
                     std::string(dec::kFnNames[fn]) + " is not the package's own");
    nb::object out = vx::own(PyList_New(0));
    dec::Ctx c = make_ctx(out.ptr(), false, nullptr, 0);
    const Py_ssize_t n = PyList_GET_SIZE(gates.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *r = PyList_GET_ITEM(gates.ptr(), i);
        nb::object name = nb::steal(item(r, 0));
        int which = -1;
        for (int i = 0; i < 3 && which < 0; ++i)
            if (name_is(name.ptr(), g_three_names[i]))
                which = i;
        if (which < 0) {
            vx::check(PyList_Append(out.ptr(), r));
            continue;
        }
        const int fn = kThreeFns[which];
        PyObject *g = a.global(K.fn_names[fn]).ptr();
        if (path.fast() && PyTuple_CheckExact(r) && PyTuple_GET_SIZE(r) == 4 &&
            PyLong_CheckExact(PyTuple_GET_ITEM(r, 1)) && PyLong_CheckExact(PyTuple_GET_ITEM(r, 2)) &&
            PyLong_CheckExact(PyTuple_GET_ITEM(r, 3))) {
            PyObject *q0 = PyTuple_GET_ITEM(r, 1), *q1 = PyTuple_GET_ITEM(r, 2), *q2 = PyTuple_GET_ITEM(r, 3);
            switch (fn) {
            case dec::CCX_DEC: dec::build_ccx(c, q0, q1, q2); break;
            case dec::CCZ_DEC: dec::build_ccz(c, q0, q1, q2); break;
            default: build_cswap(c, q0, q1, q2); break;
            }
            continue;
        }
        nb::object seq = vx::own(PySequence_Tuple(r));
        nb::object args = vx::own(PyTuple_GetSlice(seq.ptr(), 1, PyTuple_GET_SIZE(seq.ptr())));
        nb::object res = vx::own(PyObject_Call(g, args.ptr(), nullptr));
        dec::extend(out.ptr(), res.ptr());
    }
    nb::object new_qc = vx::own(PyObject_CallMethod(qc, "deepcopy", nullptr));
    vx::check(PyObject_SetAttrString(new_qc.ptr(), "gates", out.ptr()));
    return new_qc;
}

constexpr const char *kCxLit = "Literal['cx', 'cz', 'iswap']";
constexpr const char *kCzLit = "Literal['cz', 'cx', 'iswap']";

// The one-qubit conversions and the two-qubit gates to iSWAP.
void def_one_qubit(nb::module_ &m) {
    using vx::Conv;
    const vx::Param flag{"convert_single_qubit_gate_to_u", Conv::Bool};
    const vx::Param qubit{"qubit", Conv::Int};
    const vx::Param theta{"theta", Conv::Float};

    vx::def(m, {.name = "u_dot_u",
                .impl = u_dot_u,
                .params = {{"u_info1", Conv::Tuple}, {"u_info2", Conv::Tuple}},
                .return_annotation = "tuple"});
    vx::def(m, {.name = "h2u", .impl = h2u, .params = {qubit}, .return_annotation = "tuple"});
    vx::def(m, {.name = "x2u", .impl = x2u, .params = {qubit}, .return_annotation = "tuple"});
    vx::def(m, {.name = "sdg2u", .impl = sdg2u, .params = {qubit}, .return_annotation = "tuple"});
    vx::def(m, {.name = "s2u", .impl = s2u, .params = {qubit}, .return_annotation = "tuple"});
    vx::def(m, {.name = "rx2u", .impl = rx2u, .params = {theta, qubit}, .return_annotation = "tuple"});
    vx::def(m, {.name = "ry2u", .impl = ry2u, .params = {theta, qubit}, .return_annotation = "tuple"});
    vx::def(m, {.name = "rz2u", .impl = rz2u, .params = {theta, qubit}, .return_annotation = "tuple"});
    vx::def(
        m, {.name = "convert_cx_to_iswap", .impl = cx_to_iswap, .params = {{"control_qubit"}, {"target_qubit"}, flag}});
    vx::def(
        m, {.name = "convert_cz_to_iswap", .impl = cz_to_iswap, .params = {{"control_qubit"}, {"target_qubit"}, flag}});
}

// The two-qubit decompositions.
void def_two_qubit(nb::module_ &m) {
    using vx::Conv;
    const vx::Param flag{"convert_single_qubit_gate_to_u", Conv::Bool};
    const vx::Param theta{"theta", Conv::Float};
    const vx::Param ctl{"control_qubit", Conv::Int}, tgt{"target_qubit", Conv::Int};
    const vx::Param q1{"qubit1", Conv::Int}, q2{"qubit2", Conv::Int};
    const vx::Param bcx{"two_qubit_gate_basis", Conv::Any, kCxLit};
    const vx::Param bcz{"two_qubit_gate_basis", Conv::Any, kCzLit};
    vx::def(m, {.name = "cz_decompose",
                .impl = two_qubit<dec::build_cz>,
                .params = {ctl, tgt, flag, bcx},
                .return_annotation = "list"});
    vx::def(m, {.name = "cx_decompose",
                .impl = two_qubit<dec::build_cx>,
                .params = {ctl, tgt, flag, bcx},
                .return_annotation = "list"});
    vx::def(m, {.name = "cy_decompose",
                .impl = two_qubit<dec::build_cy>,
                .params = {ctl, tgt, flag, bcz},
                .return_annotation = "list"});
    vx::def(m, {.name = "swap_decompose",
                .impl = two_qubit<dec::build_swap>,
                .params = {q1, q2, flag, bcz},
                .return_annotation = "list"});
    vx::def(m, {.name = "iswap_decompose",
                .impl = two_qubit<dec::build_iswap>,
                .params = {q1, q2, flag, bcz},
                .return_annotation = "list"});
    vx::def(m, {.name = "rxx_decompose",
                .impl = two_qubit_param<dec::build_rxx>,
                .params = {theta, q1, q2, flag, bcz},
                .return_annotation = "list"});
    vx::def(m, {.name = "ryy_decompose",
                .impl = two_qubit_param<dec::build_ryy>,
                .params = {theta, q1, q2, flag, bcz},
                .return_annotation = "list"});
    vx::def(m, {.name = "rzz_decompose",
                .impl = two_qubit_param<dec::build_rzz>,
                .params = {theta, q1, q2, flag, bcz},
                .return_annotation = "list"});
    vx::def(m, {.name = "cp_decompose",
                .impl = two_qubit_param<dec::build_cp>,
                .params = {theta, ctl, tgt, flag, bcz},
                .return_annotation = "list"});
}

// The three-qubit decompositions.
void def_three_qubit(nb::module_ &m) {
    using vx::Conv;
    const vx::Param tgt{"target_qubit", Conv::Int};
    const vx::Param c1{"control_qubit1", Conv::Int}, c2{"control_qubit2", Conv::Int};
    vx::def(m, {.name = "ccx_decompose",
                .impl = three_qubit<build_ccx>,
                .params = {c1, c2, tgt},
                .return_annotation = "list"});
    vx::def(m, {.name = "cswap_decompose",
                .impl = three_qubit<build_cswap>,
                .params = {c1, c2, tgt},
                .return_annotation = "list"});
    vx::def(m, {.name = "ccz_decompose",
                .impl = three_qubit<dec::build_ccz>,
                .params = {c1, c2, tgt},
                .return_annotation = "list"});
    vx::def(m, {.name = "ccx_decompose_mute_phase",
                .impl = three_qubit<dec::build_ccx_mute>,
                .params = {c1, c2, tgt},
                .return_annotation = "list"});
}

}  // namespace

NB_MODULE(decompose, m) {
    using vx::Conv;
    vx::set_doc(m, "Some common decomposition methods for two-qubit and three-qubit gates.");
    dec::init_consts(K);
    for (int i = 0; i < 3; ++i)
        g_three_names[i] = vx::intern(i == 0 ? "ccx" : i == 1 ? "ccz" : "cswap");

    m.attr("np") = vx::import("numpy");
    m.attr("Literal") = vx::import("typing").attr("Literal");
    m.attr("u3_decompose") = vx::import("vexal.circuit.utils").attr("u3_decompose");
    m.attr("u_mat") = vx::import("vexal.circuit.matrix").attr("u_mat");
    m.attr("QuantumCircuit") = vx::import("vexal.circuit.quantumcircuit").attr("QuantumCircuit");
    nb::object TranspilerPass = vx::import("vexal.circuit.keystage").attr("TranspilerPass");
    m.attr("TranspilerPass") = TranspilerPass;

    def_one_qubit(m);
    def_two_qubit(m);
    def_three_qubit(m);

    nb::object cls = vx::make_class(
        m, "ThreeQubitGateDecompose", nb::make_tuple(TranspilerPass),
        "A transpiler pass that decomposes three-qubit gates into combinations of single- and two-qubit gates.",
        {{.name = "__init__", .impl = tqd_init, .params = {{"self"}}},
         {.name = "run", .impl = tqd_run, .params = {{"self"}, {"qc", Conv::Any, "QuantumCircuit"}}}});
    m.attr("ThreeQubitGateDecompose") = cls;
    g_tqd_cls = cls.release().ptr();
    OWN.keep(m);
    NONE_OWN.globals = OWN.globals;
}
