// vexal.circuit.translate: the pass that rewrites a circuit into one
// two-qubit basis gate and, on request, single-qubit u gates.
#include "dag_api.hpp"
#include "fast_path.hpp"
#include "decompositions.hpp"
#include "matrix_api.hpp"

#include <cmath>
#include <string>
#include <vector>

namespace {

dec::Consts K;
dec::Own OWN;  // the decompose module's own functions and namespace
PyObject *g_cls = nullptr;

enum Name : int { N_U, N_U3, N_R, N_SX, N_CZ, N_CX, N_CNOT, N_SWAP, N_ISWAP, N_CY, N_RXX, N_RYY, N_RZZ, N_CP, N_COUNT };
PyObject *g_names[N_COUNT];
PyObject *g_attr_flag, *g_attr_basis, *g_gates, *g_gmd, *g_u3;
PyObject *g_half_pi;                                 // np.pi / 2
const vx::matrixapi::Api *g_matrix_offer = nullptr;  // the matrix module's entries, in C++

using vx::dagapi::GateKind;
using vx::dagapi::table_bit;
using enum vx::dagapi::GateTable;

// The tables the pass tests, in its order; the three-qubit table is not
// among its names.
constexpr std::uint8_t kHandled = table_bit(kOneQubitTable) | table_bit(kOneQubitParamTable) |
                                  table_bit(kTwoQubitTable) | table_bit(kTwoQubitParamTable) |
                                  table_bit(kFunctionalTable);

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

// The gates the pass rewrites are worked out from numbers: an angle that
// names a circuit parameter has no value here (the circuit's params_value is
// not read), so it is refused with its name before anything fails deep in a
// matrix function.
void need_numbers(PyObject *rec, PyObject *const *angles, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Check(angles[i]))
            vx::type_error("translation needs numeric angles: " + vx::describe(rec) + " holds the parameter name " +
                           vx::describe(angles[i]) + "; put its value in the record");
}

// An angle of more than a turn as the same angle in [-pi, pi], reduced with
// the exactness of sin and cos: phi - pi/2 of phi = 1e16 would keep nothing
// of phi but its rounding.  Other angles are kept as they are.
nb::object within_a_turn(const nb::object &angle) {
    if (!PyFloat_Check(angle.ptr()) && !PyLong_Check(angle.ptr()))
        return angle;  // any other number subtracts its own way
    const double x = PyFloat_AsDouble(angle.ptr());
    if (x == -1.0 && PyErr_Occurred())
        throw vx::error_already_set{};
    if (!(std::fabs(x) > 2 * M_PI))
        return angle;
    return vx::own(PyFloat_FromDouble(std::atan2(std::sin(x), std::cos(x))));
}

struct Run {
    PyObject *globals;
    PyObject *out;
    PyObject *flag_obj;
    bool flag;
    PyObject *basis;
    int kind;
    bool own;              // the decompositions may be built here (the checker's answer)
    bool foreign = false;  // code other than the package's own ran for the current record
    dec::Shared shared;    // the builders' records of one value, shared
    // the u records of fixed gates worked out from the table's matrices:
    // valid while no code but the package's runs (cleared when other code ran)
    dec::Shared fixed;
    std::vector<nb::object> fixed_names;  // the kinds of `fixed`, by name object

    // ("u", theta, phi, lamda, q) from the u3 angles of m, q the record's last element.
    PyObject *u_record(PyObject *m, PyObject *rec) {
        nb::object th, ph, la;
        foreign |=
            !dec::u3_angles(vx::lookup_global(globals, g_u3), own ? OWN.fn[dec::U3_DECOMPOSE] : nullptr, m, th, ph, la);
        nb::object q = nb::steal(item(rec, -1));
        return vx::check(dec::u_rec(K, th.ptr(), ph.ptr(), la.ptr(), q.ptr()));
    }

    void u_from_matrix(PyObject *m, PyObject *rec) { dec::append_new(out, u_record(m, rec)); }

    // The u record of a fixed one-qubit gate: u3_decompose of its matrix in
    // the table.  Where the table and u3_decompose are the package's own,
    // that record is a function of the gate and the qubit, and each one is
    // made once.
    void fixed_u(PyObject *name, PyObject *rec) {
        std::uint64_t key = 0;
        if (own) {
            nb::object q = nb::steal(item(rec, -1));
            std::size_t kind = 0;
            while (kind < fixed_names.size() && fixed_names[kind].ptr() != name)
                ++kind;
            if (kind == fixed_names.size() && kind < 256)
                fixed_names.push_back(nb::borrow(name));
            if (kind < fixed_names.size())
                key = dec::Shared::key(static_cast<int>(kind), dec::qubit_value(q.ptr()));
            if (PyObject *there = key ? fixed.find(key) : nullptr) {
                vx::check(PyList_Append(out, there));
                return;
            }
        }
        nb::object m = fixed_matrix(name);
        nb::object u = vx::own(u_record(m.ptr(), rec));
        vx::check(PyList_Append(out, u.ptr()));
        if (key && !foreign)
            fixed.put(key, u.ptr());
    }

    // The matrix of a fixed one-qubit gate, from the module's table.
    nb::object fixed_matrix(PyObject *name) {
        nb::object gmd = nb::borrow(vx::lookup_global(globals, g_gmd));
        foreign |= !PyDict_CheckExact(gmd.ptr());
        return vx::own(PyObject_GetItem(gmd.ptr(), name));
    }

    // The SWAP decomposition of the iswap basis keeps its sx gates whatever
    // the flag says; with the flag set they become u gates like every other
    // one-qubit gate of the result.
    void sx_to_u_from(Py_ssize_t start) {
        for (Py_ssize_t i = start; i < PyList_GET_SIZE(out); ++i) {
            PyObject *rec = PyList_GET_ITEM(out, i);
            if (!PyTuple_CheckExact(rec) || PyTuple_GET_SIZE(rec) != 2 ||
                !dec::name_is(PyTuple_GET_ITEM(rec, 0), g_names[N_SX]))
                continue;
            nb::object m = fixed_matrix(g_names[N_SX]);
            vx::check(PyList_SetItem(out, i, u_record(m.ptr(), rec)));
        }
    }

    // Extends by decomposition `fn` of (q0, q1) or (theta, q0, q1).
    void decompose(int fn, PyObject *rec, bool param) {
        PyObject *g = vx::lookup_global(globals, K.fn_names[fn]);
        if (own && g == OWN.fn[fn] && PyTuple_CheckExact(rec)) {
            Py_ssize_t n = PyTuple_GET_SIZE(rec);
            if (!param && n >= 3 && PyLong_CheckExact(PyTuple_GET_ITEM(rec, 1)) &&
                PyLong_CheckExact(PyTuple_GET_ITEM(rec, 2))) {
                dec::Ctx c{K, OWN, out, flag, basis, kind};
                c.shared = &shared;
                PyObject *a = PyTuple_GET_ITEM(rec, 1), *b = PyTuple_GET_ITEM(rec, 2);
                switch (fn) {
                case dec::CZ_DEC: dec::build_cz(c, a, b); break;
                case dec::CX_DEC: dec::build_cx(c, a, b); break;
                case dec::SWAP_DEC: dec::build_swap(c, a, b); break;
                case dec::ISWAP_DEC: dec::build_iswap(c, a, b); break;
                default: dec::build_cy(c, a, b); break;
                }
                foreign |= c.called_out;
                return;
            }
            if (param && n == 4 && PyFloat_CheckExact(PyTuple_GET_ITEM(rec, 1)) &&
                PyLong_CheckExact(PyTuple_GET_ITEM(rec, 2)) && PyLong_CheckExact(PyTuple_GET_ITEM(rec, 3))) {
                dec::Ctx c{K, OWN, out, flag, basis, kind};
                c.shared = &shared;
                PyObject *th = PyTuple_GET_ITEM(rec, 1), *a = PyTuple_GET_ITEM(rec, 2), *b = PyTuple_GET_ITEM(rec, 3);
                switch (fn) {
                case dec::RXX_DEC: dec::build_rxx(c, th, a, b); break;
                case dec::RYY_DEC: dec::build_ryy(c, th, a, b); break;
                case dec::RZZ_DEC: dec::build_rzz(c, th, a, b); break;
                default: dec::build_cp(c, th, a, b); break;
                }
                foreign |= c.called_out;
                return;
            }
        }
        foreign = true;
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
        if (dec::name_is(name, g_names[N_U3]) && vx::length(rec) == 5) {
            // a three-angle u3 record (no reader of the package writes one) is a u gate;
            // a one-angle one has no matrix of its own (gate_matrix_dict has no "u3")
            nb::object rest = slice(rec, 1, 0);
            nb::object head = vx::own(PyTuple_Pack(1, K.u));
            dec::append_new(out, PySequence_Concat(head.ptr(), rest.ptr()));
            return;
        }
        if (dec::name_is(name, g_names[N_R])) {
            nb::object v[3];  // theta, phi, q
            vx::unpack(slice(rec, 1, 0), v, 3);
            PyObject *phi_obj = v[1].ptr();
            need_numbers(rec, &phi_obj, 1);  // a named theta is carried into the u record
            nb::object phi = within_a_turn(v[1]);
            nb::object p = vx::own(PyNumber_Subtract(phi.ptr(), g_half_pi));
            nb::object l = vx::own(PyNumber_Subtract(g_half_pi, phi.ptr()));
            dec::append_new(out, dec::u_rec(K, v[0].ptr(), p.ptr(), l.ptr(), v[2].ptr()));
            return;
        }
        if (fast_rotation(rec, name))
            return;
        nb::object gmd = nb::borrow(vx::lookup_global(globals, g_gmd));
        foreign |= !PyDict_CheckExact(gmd.ptr());
        nb::object f = vx::own(PyObject_GetItem(gmd.ptr(), name));
        nb::object params = slice(rec, 1, -1);
        need_numbers(rec, PySequence_Fast_ITEMS(params.ptr()), PyTuple_GET_SIZE(params.ptr()));
        foreign |= !vx::is_function(f.ptr());  // the package's matrix functions run no Python code
        nb::object m = vx::own(PyObject_Call(f.ptr(), params.ptr(), nullptr));
        u_from_matrix(m.ptr(), rec);
    }

    // The u record of a one-angle gate (name, angle, q) whose matrix function
    // in the table is the matrix module's own, worked out from its entries
    // as u3_decompose of the function's array would give it; false (nothing
    // done) where anything on the way is not the package's own or exact.
    bool fast_rotation(PyObject *rec, PyObject *name) {
        if (!own || !g_matrix_offer || !PyTuple_CheckExact(rec) || PyTuple_GET_SIZE(rec) != 3 ||
            !PyFloat_CheckExact(PyTuple_GET_ITEM(rec, 1)) ||
            vx::lookup_global(globals, g_u3) != OWN.fn[dec::U3_DECOMPOSE] || !OWN.fn[dec::U3_DECOMPOSE])
            return false;
        PyObject *gmd = vx::lookup_global(globals, g_gmd);
        if (!gmd || !PyDict_CheckExact(gmd))
            return false;
        PyObject *f = PyDict_GetItemWithError(gmd, name);
        if (!f) {
            vx::clear_ordinary_error();
            return false;
        }
        const int g = g_matrix_offer->param_gate_of(f);
        std::complex<double> e[16];
        if (g < 0 || vx::matrixapi::param_dim(static_cast<vx::matrixapi::ParamGate>(g)) != 2 ||
            !g_matrix_offer->param_entries(static_cast<vx::matrixapi::ParamGate>(g),
                                           PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(rec, 1)), e))
            return false;
        double r[4];
        dec::u3_or_raise(e, r);
        nb::object th = vx::own(PyFloat_FromDouble(r[0])), ph = vx::own(PyFloat_FromDouble(r[1])),
                   la = vx::own(PyFloat_FromDouble(r[2]));
        dec::append_new(out, dec::u_rec(K, th.ptr(), ph.ptr(), la.ptr(), PyTuple_GET_ITEM(rec, 2)));
        return true;
    }

    void two_qubit(PyObject *rec, PyObject *name) {
        if (dec::name_is(name, g_names[N_CZ])) {
            // a cz is already a basis gate only in the cz basis: a cx chip gets its cx form
            if (kind == dec::B_CZ)
                vx::check(PyList_Append(out, rec));
            else
                decompose(dec::CZ_DEC, rec, false);
        } else if (dec::name_is(name, g_names[N_CX]) || dec::name_is(name, g_names[N_CNOT])) {
            decompose(dec::CX_DEC, rec, false);
        } else if (dec::name_is(name, g_names[N_SWAP])) {
            const Py_ssize_t start = PyList_GET_SIZE(out);
            decompose(dec::SWAP_DEC, rec, false);
            if (flag)
                sx_to_u_from(start);
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
        if (PyTuple_Check(rec) && PyTuple_GET_SIZE(rec) == 4)
            need_numbers(rec, &PyTuple_GET_ITEM(rec, 1), 1);
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
    vx::init_base(g_cls, a[0]);
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
    nb::object gates = vx::own(PySequence_List(vx::getattr(qc, g_gates).ptr()));
    PyObject *globals = a.func()->globals;
    // the tables as the module holds them now; a name in none of them is
    // this pass's own error
    vx::dagapi::GateKinds kinds(vx::dagapi::gatework_api(), globals, kHandled);
    vx::dagapi::check_circuit(kinds, qc, gates.ptr(), {.tables = kHandled});
    nb::object out = vx::own(PyList_New(0));

    // each decomposition is built here where its name holds decompose's own
    vx::PathChoice path("TranslateToBasisGates");
    Run r{globals, out.ptr(), flag_obj.ptr(), truth != 0, basis.ptr(), kind, path.fast()};
    const Py_ssize_t n = PyList_GET_SIZE(gates.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *o = PyList_GET_ITEM(gates.ptr(), i);
        nb::object name = nb::steal(item(o, 0));
        PyObject *nm = name.ptr();
        const GateKind k = kinds.of(nm);
        if (k.in(kOneQubitTable)) {
            if (!r.flag)
                vx::check(PyList_Append(r.out, o));
            else
                r.fixed_u(nm, o);
        } else if (k.in(kOneQubitParamTable)) {
            if (!r.flag)
                vx::check(PyList_Append(r.out, o));
            else
                r.one_qubit_param(o, nm);
        } else if (k.in(kTwoQubitTable)) {
            r.two_qubit(o, nm);
        } else if (k.in(kTwoQubitParamTable)) {
            r.two_qubit_param(o, nm);
        } else if (k.in(kFunctionalTable)) {
            vx::check(PyList_Append(r.out, o));
        } else {
            vx::type_error("Input " + vx::str_text(name) + " gate is not support to basic gates now.");
        }
        if (r.foreign) {
            kinds.forget();  // a replacement ran: the tables may have changed
            r.fixed.clear();
            r.foreign = false;
        }
    }
    vx::check(PyObject_SetAttr(new_qc.ptr(), g_gates, out.ptr()));
    nb::object text = vx::own(PyObject_Str(basis.ptr()));
    vx::print_str("Mapping to basic gates done ! " + std::string(vx::utf8(text)));
    return new_qc;
}

}  // namespace

NB_MODULE(translate, m) {
    using vx::Conv;
    dec::init_consts(K);
    const char *names[N_COUNT] = {"u",    "u3",    "r",  "sx",  "cz",  "cx",  "cnot",
                                  "swap", "iswap", "cy", "rxx", "ryy", "rzz", "cp"};
    for (int i = 0; i < N_COUNT; ++i)
        g_names[i] = vx::intern(names[i]);
    g_attr_flag = vx::intern("convert_single_qubit_gate_to_u");
    g_attr_basis = vx::intern("two_qubit_gate_basis");
    g_gates = vx::intern("gates");
    g_gmd = vx::intern("gate_matrix_dict");
    g_u3 = vx::intern("u3_decompose");
    nb::object np = vx::import("numpy");
    m.attr("np") = np;
    g_half_pi = vx::own(PyNumber_TrueDivide(np.attr("pi").ptr(), nb::int_(2).ptr())).release().ptr();
    m.attr("QuantumCircuit") = vx::import("vexal.circuit.quantumcircuit").attr("QuantumCircuit");
    nb::object gatework = vx::import("vexal.circuit.gatework");
    for (int t = 0; t < 6; ++t)
        if (t != kThreeQubitTable)
            m.attr(vx::kGateTables[t]) = gatework.attr(vx::kGateTables[t]);
    nb::object matrix = vx::import("vexal.circuit.matrix");
    m.attr("gate_matrix_dict") = matrix.attr("gate_matrix_dict");
    // the offer the matrix module's own u_mat carries (the name holds it while the package loads)
    g_matrix_offer = vx::matrixapi::from_u_mat(vx::getattr(matrix, "u_mat").ptr());

    nb::object decompose = vx::import("vexal.circuit.decompose");
    const int imported[] = {dec::CX_DEC,  dec::CZ_DEC,  dec::CY_DEC,  dec::SWAP_DEC, dec::ISWAP_DEC,
                            dec::RXX_DEC, dec::RYY_DEC, dec::RZZ_DEC, dec::CP_DEC,   dec::U3_DECOMPOSE};
    for (int fn : imported)
        m.attr(dec::kFnNames[fn]) = decompose.attr(dec::kFnNames[fn]);
    // decompose's own functions, for the builders that stand in for them
    OWN.keep(decompose);

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
