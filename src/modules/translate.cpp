// vexal.circuit.translate: the pass that rewrites a circuit into one
// two-qubit basis gate and, on request, single-qubit u gates.
#include "decompose/native.hpp"

#include <string>

namespace {

dec::Consts K;
dec::Own OWN;  // the decompose module's own functions and namespace
PyObject *g_cls = nullptr;

enum Name : int { N_U, N_U3, N_R, N_CZ, N_CX, N_CNOT, N_SWAP, N_ISWAP, N_CY, N_RXX, N_RYY, N_RZZ, N_CP, N_COUNT };
PyObject *g_names[N_COUNT];
PyObject *g_attr_flag, *g_attr_basis, *g_gates, *g_gmd, *g_u3;
PyObject *g_tables[5];
PyObject *g_half_pi;  // np.pi / 2

constexpr const char *kTableNames[5] = {
    "one_qubit_gates_available",           "one_qubit_parameter_gates_available", "two_qubit_gates_available",
    "two_qubit_parameter_gates_available", "functional_gates_available",
};

bool in_table(PyObject *table, PyObject *name) {
    int r;
    if (PyDict_CheckExact(table)) {
        r = PyDict_Contains(table, name);
    } else {
        nb::object keys = vx::own(PyObject_CallMethod(table, "keys", nullptr));
        r = PySequence_Contains(keys.ptr(), name);
    }
    vx::check(r);
    return r != 0;
}

using vx::item;

// rec[lo:len(rec)+hi_from_end] as a tuple
nb::object slice(PyObject *rec, Py_ssize_t lo, Py_ssize_t hi_from_end) {
    nb::object t = PyTuple_CheckExact(rec) ? nb::borrow(rec) : vx::own(PySequence_Tuple(rec));
    Py_ssize_t n = PyTuple_GET_SIZE(t.ptr());
    Py_ssize_t hi = n + hi_from_end;
    if (hi < lo)
        hi = lo;
    return vx::own(PyTuple_GetSlice(t.ptr(), lo, hi));
}

struct Run {
    PyObject *globals;
    PyObject *out;
    PyObject *flag_obj;
    bool flag;
    PyObject *basis;
    int kind;

    // Appends ("u", theta, phi, lamda, q) from the u3 angles of m.
    void u_from_matrix(PyObject *m, PyObject *rec) {
        nb::object th, ph, la;
        dec::u3_angles(dec::lookup(globals, g_u3), OWN.fn[dec::U3_DECOMPOSE], m, th, ph, la);
        nb::object q = nb::steal(item(rec, -1));
        dec::append_new(out, dec::u_rec(K, th.ptr(), ph.ptr(), la.ptr(), q.ptr()));
    }

    // Extends by decomposition `fn` of (q0, q1) or (theta, q0, q1).
    void decompose(int fn, PyObject *rec, bool param) {
        PyObject *g = dec::lookup(globals, K.fn_names[fn]);
        if (g == OWN.fn[fn] && PyTuple_CheckExact(rec)) {
            Py_ssize_t n = PyTuple_GET_SIZE(rec);
            if (!param && n >= 3 && PyLong_CheckExact(PyTuple_GET_ITEM(rec, 1)) &&
                PyLong_CheckExact(PyTuple_GET_ITEM(rec, 2))) {
                dec::Ctx c{K, OWN, out, flag, basis, kind};
                PyObject *a = PyTuple_GET_ITEM(rec, 1), *b = PyTuple_GET_ITEM(rec, 2);
                switch (fn) {
                case dec::CZ_DEC: dec::build_cz(c, a, b); return;
                case dec::CX_DEC: dec::build_cx(c, a, b); return;
                case dec::SWAP_DEC: dec::build_swap(c, a, b); return;
                case dec::ISWAP_DEC: dec::build_iswap(c, a, b); return;
                default: dec::build_cy(c, a, b); return;
                }
            }
            if (param && n == 4 && PyFloat_CheckExact(PyTuple_GET_ITEM(rec, 1)) &&
                PyLong_CheckExact(PyTuple_GET_ITEM(rec, 2)) && PyLong_CheckExact(PyTuple_GET_ITEM(rec, 3))) {
                dec::Ctx c{K, OWN, out, flag, basis, kind};
                PyObject *th = PyTuple_GET_ITEM(rec, 1), *a = PyTuple_GET_ITEM(rec, 2), *b = PyTuple_GET_ITEM(rec, 3);
                switch (fn) {
                case dec::RXX_DEC: dec::build_rxx(c, th, a, b); return;
                case dec::RYY_DEC: dec::build_ryy(c, th, a, b); return;
                case dec::RZZ_DEC: dec::build_rzz(c, th, a, b); return;
                default: dec::build_cp(c, th, a, b); return;
                }
            }
        }
        nb::object res;
        if (param) {
            nb::object head = slice(rec, 1, 0);
            Py_ssize_t n = PyTuple_GET_SIZE(head.ptr());
            nb::object args = vx::own(PyTuple_New(n + 2));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *o = PyTuple_GET_ITEM(head.ptr(), i);
                Py_INCREF(o);
                PyTuple_SET_ITEM(args.ptr(), i, o);
            }
            Py_INCREF(flag_obj);
            PyTuple_SET_ITEM(args.ptr(), n, flag_obj);
            Py_INCREF(basis);
            PyTuple_SET_ITEM(args.ptr(), n + 1, basis);
            res = vx::own(PyObject_Call(g, args.ptr(), nullptr));
        } else {
            nb::object q0 = nb::steal(item(rec, 1));
            nb::object q1 = nb::steal(item(rec, 2));
            PyObject *args[4] = {q0.ptr(), q1.ptr(), flag_obj, basis};
            res = vx::own(PyObject_Vectorcall(g, args, 4, nullptr));
        }
        dec::extend(out, res.ptr());
    }

    void one_qubit_param(PyObject *rec, PyObject *name) {
        if (dec::name_is(name, g_names[N_U])) {
            vx::check(PyList_Append(out, rec));
            return;
        }
        if (dec::name_is(name, g_names[N_U3])) {
            // a u3 record (custom gate bodies produce them) is a u gate
            nb::object rest = slice(rec, 1, 0);
            nb::object head = vx::own(PyTuple_Pack(1, K.u));
            dec::append_new(out, PySequence_Concat(head.ptr(), rest.ptr()));
            return;
        }
        if (dec::name_is(name, g_names[N_R])) {
            nb::object rest = slice(rec, 1, 0);
            Py_ssize_t n = PyTuple_GET_SIZE(rest.ptr());
            if (n > 3)
                vx::value_error("too many values to unpack (expected 3)");
            if (n < 3) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", n);
                throw vx::error_already_set{};
            }
            PyObject *theta = PyTuple_GET_ITEM(rest.ptr(), 0), *phi = PyTuple_GET_ITEM(rest.ptr(), 1),
                     *q = PyTuple_GET_ITEM(rest.ptr(), 2);
            nb::object p = vx::own(PyNumber_Subtract(phi, g_half_pi));
            nb::object l = vx::own(PyNumber_Subtract(g_half_pi, phi));
            dec::append_new(out, dec::u_rec(K, theta, p.ptr(), l.ptr(), q));
            return;
        }
        nb::object gmd = nb::borrow(dec::lookup(globals, g_gmd));
        nb::object f = vx::own(PyObject_GetItem(gmd.ptr(), name));
        nb::object params = slice(rec, 1, -1);
        nb::object m = vx::own(PyObject_Call(f.ptr(), params.ptr(), nullptr));
        u_from_matrix(m.ptr(), rec);
    }

    void two_qubit(PyObject *rec, PyObject *name) {
        if (dec::name_is(name, g_names[N_CZ])) {
            if (kind == dec::B_CX || kind == dec::B_CZ)
                vx::check(PyList_Append(out, rec));
            else
                decompose(dec::CZ_DEC, rec, false);
        } else if (dec::name_is(name, g_names[N_CX]) || dec::name_is(name, g_names[N_CNOT])) {
            decompose(dec::CX_DEC, rec, false);
        } else if (dec::name_is(name, g_names[N_SWAP])) {
            decompose(dec::SWAP_DEC, rec, false);
        } else if (dec::name_is(name, g_names[N_ISWAP])) {
            decompose(dec::ISWAP_DEC, rec, false);
        } else if (dec::name_is(name, g_names[N_CY])) {
            decompose(dec::CY_DEC, rec, false);
        } else {
            nb::object s = vx::own(PyObject_Str(name));
            vx::type_error("Input " + std::string(vx::utf8(s)) + " gate is not support now. Try kak please");
        }
    }

    void two_qubit_param(PyObject *rec, PyObject *name) {
        if (dec::name_is(name, g_names[N_RXX]))
            decompose(dec::RXX_DEC, rec, true);
        else if (dec::name_is(name, g_names[N_RYY]))
            decompose(dec::RYY_DEC, rec, true);
        else if (dec::name_is(name, g_names[N_RZZ]))
            decompose(dec::RZZ_DEC, rec, true);
        else if (dec::name_is(name, g_names[N_CP]))
            decompose(dec::CP_DEC, rec, true);
        else
            vx::check(PyList_Append(out, rec));  // a name added to the table: kept
    }
};

nb::object init(const vx::Args &a) {
    nb::object sup =
        vx::own(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), g_cls, a.ptr(0), nullptr));
    vx::own(PyObject_CallMethod(sup.ptr(), "__init__", nullptr));
    vx::check(PyObject_SetAttr(a.ptr(0), g_attr_flag, a.ptr(1)));
    vx::check(PyObject_SetAttr(a.ptr(0), g_attr_basis, a.ptr(2)));
    return nb::none();
}

nb::object run(const vx::Args &a) {
    PyObject *self = a.ptr(0), *qc = a.ptr(1);
    nb::object flag_obj = vx::own(PyObject_GetAttr(self, g_attr_flag));
    nb::object basis = vx::own(PyObject_GetAttr(self, g_attr_basis));
    int truth = PyObject_IsTrue(flag_obj.ptr());
    vx::check(truth);
    // refuse an unknown basis before anything is made
    int kind = dec::basis_kind(K, basis.ptr());

    nb::object new_qc = vx::own(PyObject_CallMethod(qc, "deepcopy", nullptr));
    nb::object gates = vx::own(PyObject_GetAttr(qc, g_gates));
    nb::object out = vx::own(PyList_New(0));
    PyObject *globals = a.func()->globals;
    PyObject *tables[5];
    for (int i = 0; i < 5; ++i)
        tables[i] = dec::lookup(globals, g_tables[i]);
    nb::object keep_tables[5];
    for (int i = 0; i < 5; ++i)
        keep_tables[i] = nb::borrow(tables[i]);

    Run r{globals, out.ptr(), flag_obj.ptr(), truth != 0, basis.ptr(), kind};
    nb::object it = vx::own(PyObject_GetIter(gates.ptr()));
    while (PyObject *o = PyIter_Next(it.ptr())) {
        nb::object rec = nb::steal(o);
        nb::object name = nb::steal(item(o, 0));
        PyObject *nm = name.ptr();
        if (in_table(tables[0], nm)) {
            if (!r.flag) {
                vx::check(PyList_Append(r.out, o));
            } else {
                nb::object gmd = nb::borrow(dec::lookup(globals, g_gmd));
                nb::object m = vx::own(PyObject_GetItem(gmd.ptr(), nm));
                r.u_from_matrix(m.ptr(), o);
            }
        } else if (in_table(tables[1], nm)) {
            if (!r.flag)
                vx::check(PyList_Append(r.out, o));
            else
                r.one_qubit_param(o, nm);
        } else if (in_table(tables[2], nm)) {
            r.two_qubit(o, nm);
        } else if (in_table(tables[3], nm)) {
            r.two_qubit_param(o, nm);
        } else if (in_table(tables[4], nm)) {
            vx::check(PyList_Append(r.out, o));
        } else {
            nb::object s = vx::own(PyObject_Str(nm));
            vx::type_error("Input " + std::string(vx::utf8(s)) + " gate is not support to basic gates now.");
        }
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};
    vx::check(PyObject_SetAttr(new_qc.ptr(), g_gates, out.ptr()));
    nb::object text = vx::own(PyObject_Str(basis.ptr()));
    vx::print_str("Mapping to basic gates done ! " + std::string(vx::utf8(text)));
    return new_qc;
}

}  // namespace

NB_MODULE(translate, m) {
    using vx::Conv;
    dec::init_consts(K);
    const char *names[N_COUNT] = {"u", "u3", "r", "cz", "cx", "cnot", "swap", "iswap", "cy", "rxx", "ryy", "rzz", "cp"};
    for (int i = 0; i < N_COUNT; ++i)
        g_names[i] = vx::intern(names[i]);
    g_attr_flag = vx::intern("convert_single_qubit_gate_to_u");
    g_attr_basis = vx::intern("two_qubit_gate_basis");
    g_gates = vx::intern("gates");
    g_gmd = vx::intern("gate_matrix_dict");
    g_u3 = vx::intern("u3_decompose");
    for (int i = 0; i < 5; ++i)
        g_tables[i] = vx::intern(kTableNames[i]);

    nb::object np = vx::import("numpy");
    m.attr("np") = np;
    g_half_pi = vx::own(PyNumber_TrueDivide(np.attr("pi").ptr(), nb::int_(2).ptr())).release().ptr();
    m.attr("QuantumCircuit") = vx::import("vexal.circuit.quantumcircuit").attr("QuantumCircuit");
    nb::object gatework = vx::import("vexal.circuit.gatework");
    for (const char *t : kTableNames)
        m.attr(t) = gatework.attr(t);
    m.attr("gate_matrix_dict") = vx::import("vexal.circuit.matrix").attr("gate_matrix_dict");

    nb::object decompose = vx::import("vexal.circuit.decompose");
    OWN.globals = PyModule_GetDict(decompose.ptr());
    Py_INCREF(OWN.globals);
    const int imported[] = {dec::CX_DEC,  dec::CZ_DEC,  dec::CY_DEC,  dec::SWAP_DEC, dec::ISWAP_DEC,
                            dec::RXX_DEC, dec::RYY_DEC, dec::RZZ_DEC, dec::CP_DEC,   dec::U3_DECOMPOSE};
    for (int fn : imported)
        m.attr(dec::kFnNames[fn]) = decompose.attr(dec::kFnNames[fn]);
    // The decompose module's own functions, recognised by their type (the
    // package's native function type, not a Python function).
    for (int fn = 0; fn < dec::U3_DECOMPOSE; ++fn) {
        PyObject *f = PyDict_GetItemString(OWN.globals, dec::kFnNames[fn]);
        if (f && !PyFunction_Check(f) && std::string(Py_TYPE(f)->tp_name) == "function") {
            Py_INCREF(f);
            OWN.fn[fn] = f;
        }
    }
    OWN.fn[dec::U3_DECOMPOSE] = dec::package_u3();

    nb::object TranspilerPass = vx::import("vexal.circuit.keystage").attr("TranspilerPass");
    m.attr("TranspilerPass") = TranspilerPass;

    nb::object cls = vx::make_class(m, "TranslateToBasisGates", nb::make_tuple(TranspilerPass),
                                    "Transpiler pass for converting quantum gates to hardware-specific basis gates.",
                                    {{.name = "__init__",
                                      .impl = init,
                                      .params = {{"self"},
                                                 {"convert_single_qubit_gate_to_u", Conv::Bool},
                                                 {"two_qubit_gate_basis", Conv::Any, "Literal['cz', 'cx', 'iswap']"}},
                                      .defaults = {nb::borrow(Py_True), nb::str("cz")}},
                                     {.name = "run",
                                      .impl = run,
                                      .params = {{"self"}, {"qc", Conv::Any, "QuantumCircuit"}},
                                      .return_annotation = "QuantumCircuit"}});
    m.attr("TranslateToBasisGates") = cls;
    g_cls = cls.ptr();
    Py_INCREF(g_cls);
}
