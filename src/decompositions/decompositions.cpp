// The decompositions' record builders and the C++ port of u3_decompose.
#include "decompositions.hpp"

namespace dec {

void init_consts(Consts &k) {
    k.u = vx::intern("u");
    k.h = vx::intern("h");
    k.x = vx::intern("x");
    k.s = vx::intern("s");
    k.sdg = vx::intern("sdg");
    k.sx = vx::intern("sx");
    k.rx = vx::intern("rx");
    k.ry = vx::intern("ry");
    k.rz = vx::intern("rz");
    k.cz = vx::intern("cz");
    k.cx = vx::intern("cx");
    k.iswap = vx::intern("iswap");
    k.t = vx::intern("t");
    k.tdg = vx::intern("tdg");
    k.f0 = keep_float(0.0);
    k.pi = keep_float(kPi);
    k.mpi = keep_float(-kPi);
    k.pi2 = keep_float(kPi2);
    k.mpi2 = keep_float(-kPi2);
    k.pi4 = keep_float(kPi4);
    k.mpi4 = keep_float(-kPi4);
    k.K = keep_float(kIswapK);
    k.i0 = vx::check(PyLong_FromLong(0));
    for (int i = 0; i < NFN; ++i)
        k.fn_names[i] = vx::intern(kFnNames[i]);
}

void append_new(PyObject *list, PyObject *item) {
    vx::check(item);
    int rc = PyList_Append(list, item);
    Py_DECREF(item);
    vx::check(rc);
}

void extend(PyObject *list, PyObject *items) {
    if (PyList_CheckExact(items) || PyTuple_CheckExact(items)) {
        PyObject *fast = items;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
        for (Py_ssize_t i = 0; i < n; ++i)
            vx::check(PyList_Append(list, PySequence_Fast_GET_ITEM(fast, i)));
        return;
    }
    nb::object it = vx::own(PyObject_GetIter(items));
    while (PyObject *o = PyIter_Next(it.ptr())) {
        int rc = PyList_Append(list, o);
        Py_DECREF(o);
        vx::check(rc);
    }
    if (PyErr_Occurred())
        throw vx::error_already_set{};
}

bool name_is(PyObject *name, PyObject *interned) {
    if (name == interned)
        return true;
    if (PyUnicode_CheckExact(name))
        return PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(interned) && PyUnicode_Compare(name, interned) == 0;
    int r = PyObject_RichCompareBool(name, interned, Py_EQ);
    vx::check(r);
    return r != 0;
}

int basis_kind(const Consts &k, PyObject *b) {
    if (b == k.cz)
        return B_CZ;
    if (b == k.cx)
        return B_CX;
    if (b == k.iswap)
        return B_ISWAP;
    PyObject *names[3] = {k.cz, k.cx, k.iswap};
    for (int i = 0; i < 3; ++i) {
        int r = PyObject_RichCompareBool(b, names[i], Py_EQ);
        vx::check(r);
        if (r)
            return i;
    }
    nb::object rep = vx::own(PyObject_Repr(b));
    PyErr_Format(PyExc_ValueError,
                 "Unsupported two-qubit gate basis %U: the accepted bases are 'cz', 'cx' and 'iswap'.", rep.ptr());
    throw vx::error_already_set{};
}

PyObject *convert(const Consts &k, int fn, PyObject *angle, PyObject *q) {
    if (fn >= RX2U) {
        nb::object th = as_float(angle);
        nb::object qi = as_int(q, "qubit");
        switch (fn) {
        case RX2U: return u_rec(k, th.ptr(), k.mpi2, k.pi2, qi.ptr());
        case RY2U: return u_rec(k, th.ptr(), k.f0, k.f0, qi.ptr());
        default: return u_rec(k, k.f0, k.f0, th.ptr(), qi.ptr());
        }
    }
    nb::object qi = as_int(q, "qubit");
    switch (fn) {
    case H2U: return u_rec(k, k.pi2, k.f0, k.pi, qi.ptr());
    case X2U: return u_rec(k, k.pi, k.pi2, k.mpi2, qi.ptr());
    case SDG2U: return u_rec(k, k.f0, k.mpi4, k.mpi4, qi.ptr());
    default: return u_rec(k, k.f0, k.pi4, k.pi4, qi.ptr());
    }
}

void iswap_pair(Ctx &c, PyObject *ct, PyObject *tg) {
    auto &k = c.k;
    c.rec(k.iswap, ct, tg);
    c.one(RZ2U, k.rz, k.mpi2, ct);
    c.one(RY2U, k.ry, k.pi, ct);
    c.one(RZ2U, k.rz, k.pi2, tg);
    c.one(RY2U, k.ry, k.mpi2, tg);
    c.rec(k.iswap, ct, tg);
}

void build_cx_to_iswap(Ctx &c, PyObject *ct, PyObject *tg) {
    auto &k = c.k;
    c.one(RZ2U, k.rz, k.mpi2, ct);
    c.one(RY2U, k.ry, k.pi2, ct);
    c.one(RZ2U, k.rz, k.pi2, ct);
    c.one(RY2U, k.ry, k.mpi2, tg);
    c.one(RZ2U, k.rz, k.K, tg);
    iswap_pair(c, ct, tg);
    c.one(RZ2U, k.rz, k.mpi, ct);
    c.one(RY2U, k.ry, k.mpi2, ct);
    c.one(RZ2U, k.rz, k.K, tg);
    c.one(RY2U, k.ry, k.mpi2, tg);
}

void build_cz_to_iswap(Ctx &c, PyObject *ct, PyObject *tg) {
    auto &k = c.k;
    c.one(RZ2U, k.rz, k.mpi2, ct);
    c.one(RY2U, k.ry, k.pi2, ct);
    c.one(RZ2U, k.rz, k.pi2, ct);
    c.one(RZ2U, k.rz, k.mpi2, tg);
    c.one(RY2U, k.ry, k.pi, tg);
    iswap_pair(c, ct, tg);
    c.one(RY2U, k.ry, k.pi2, ct);
    c.one(RZ2U, k.rz, k.pi2, tg);
}

void build_cz(Ctx &c, PyObject *ct, PyObject *tg) {
    switch (c.kind) {
    case B_CZ: c.rec(c.k.cz, ct, tg); break;
    case B_CX:
        c.H(tg);
        c.rec(c.k.cx, ct, tg);
        c.H(tg);
        break;
    default: c.nested(CZ_TO_ISWAP, ct, tg); break;
    }
}

void build_cx(Ctx &c, PyObject *ct, PyObject *tg) {
    switch (c.kind) {
    case B_CZ:
        c.H(tg);
        c.rec(c.k.cz, ct, tg);
        c.H(tg);
        break;
    case B_CX: c.rec(c.k.cx, ct, tg); break;
    default: c.nested(CX_TO_ISWAP, ct, tg); break;
    }
}

void build_cy(Ctx &c, PyObject *ct, PyObject *tg) {
    c.Sdg(tg);
    c.CX(ct, tg);
    c.S(tg);
}

void build_swap(Ctx &c, PyObject *q1, PyObject *q2) {
    auto &k = c.k;
    switch (c.kind) {
    case B_CZ:
        c.H(q2);
        c.rec(k.cz, q1, q2);
        c.H(q2);
        c.H(q1);
        c.rec(k.cz, q1, q2);
        c.H(q1);
        c.H(q2);
        c.rec(k.cz, q1, q2);
        c.H(q2);
        break;
    case B_CX:
        c.rec(k.cx, q1, q2);
        c.rec(k.cx, q2, q1);
        c.rec(k.cx, q1, q2);
        break;
    default:
        c.rec(k.iswap, q1, q2);
        c.rec(k.sx, q2);
        c.rec(k.iswap, q1, q2);
        c.rec(k.sx, q1);
        c.rec(k.iswap, q1, q2);
        c.rec(k.sx, q2);
        break;
    }
}

void build_iswap(Ctx &c, PyObject *q1, PyObject *q2) {
    auto &k = c.k;
    if (c.kind == B_ISWAP) {
        c.rec(k.iswap, q1, q2);
        return;
    }
    c.X(q1);
    c.RX(k.pi2, q1);
    c.RX(k.mpi2, q2);
    c.CX(q1, q2);
    c.RX(k.mpi2, q1);
    c.RZ(k.mpi2, q2);
    c.CX(q1, q2);
    c.RX(k.mpi2, q1);
    c.RX(k.pi2, q2);
    c.X(q1);
}

void build_rxx(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2) {
    c.H(q1);
    c.H(q2);
    c.CX(q1, q2);
    c.RZ(th, q2);
    c.CX(q1, q2);
    c.H(q1);
    c.H(q2);
}

void build_ryy(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2) {
    c.RX(c.k.pi2, q1);
    c.RX(c.k.pi2, q2);
    c.CX(q1, q2);
    c.RZ(th, q2);
    c.CX(q1, q2);
    c.RX(c.k.mpi2, q1);
    c.RX(c.k.mpi2, q2);
}

void build_rzz(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2) {
    c.CX(q1, q2);
    c.RZ(th, q2);
    c.CX(q1, q2);
}

void build_cp(Ctx &c, PyObject *th, PyObject *ct, PyObject *tg) {
    double t = PyFloat_AS_DOUBLE(th);
    nb::object half = vx::own(PyFloat_FromDouble(t * 0.5));
    nb::object mhalf = vx::own(PyFloat_FromDouble((t * -1) * 0.5));
    c.H(tg);
    c.nested(CZ_DEC, ct, tg);
    c.RX(mhalf.ptr(), tg);
    c.nested(CZ_DEC, ct, tg);
    c.RZ(half.ptr(), ct);
    c.H(tg);
    c.RZ(half.ptr(), tg);
}

void build_ccx(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t, bool skip_first) {
    auto &k = c.k;
    if (!skip_first)
        c.rec(k.h, t);
    c.rec(k.cx, c2, t);
    c.rec(k.tdg, t);
    c.rec(k.cx, c1, t);
    c.rec(k.t, t);
    c.rec(k.cx, c2, t);
    c.rec(k.t, c2);
    c.rec(k.tdg, t);
    c.rec(k.cx, c1, t);
    c.rec(k.cx, c1, c2);
    c.rec(k.t, t);
    c.rec(k.t, c1);
    c.rec(k.tdg, c2);
    c.rec(k.h, t);
    c.rec(k.cx, c1, c2);
}

void build_ccz(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t) {
    build_ccx(c, c1, c2, t, true);
    c.rec(c.k.h, t);
}

void build_ccx_mute(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t) {
    auto &k = c.k;
    append_new(c.out, u_rec(k, k.pi4, k.mpi, k.mpi, t));
    c.rec(k.cx, c2, t);
    append_new(c.out, u_rec(k, k.pi4, k.mpi, k.mpi, t));
    c.rec(k.cx, c1, t);
    append_new(c.out, u_rec(k, k.pi4, k.i0, k.i0, t));
    c.rec(k.cx, c2, t);
    append_new(c.out, u_rec(k, k.pi4, k.i0, k.i0, t));
}

void Ctx::nested(int fn, PyObject *a, PyObject *b) {
    PyObject *g = lookup_global(own.globals, k.fn_names[fn]);
    if (g == own.fn[fn]) {
        // The module's own functions convert their qubits; the values
        // handed on here are already ints except through the iSWAP
        // sequences, which take them as they are.
        switch (fn) {
        case CX_DEC: build_cx(*this, a, b); return;
        case CZ_DEC: build_cz(*this, a, b); return;
        case CX_TO_ISWAP: build_cx_to_iswap(*this, a, b); return;
        case CZ_TO_ISWAP: build_cz_to_iswap(*this, a, b); return;
        default: break;
        }
    }
    PyObject *args[4] = {a, b, flag_obj(), basis};
    const size_t n = (fn == CX_TO_ISWAP || fn == CZ_TO_ISWAP) ? 3 : 4;
    called_out = true;
    nb::object r = vx::own(PyObject_Vectorcall(g, args, n, nullptr));
    extend(out, r.ptr());
}

const U3Limits &u3_limits() {
    static const U3Limits limits = [] {
        nb::object utils = vx::import("vexal.circuit.utils");
        auto read = [&](const char *name) {
            const double v = PyFloat_AsDouble(vx::getattr(utils, name).ptr());
            if (v == -1.0 && PyErr_Occurred())
                throw vx::error_already_set{};
            return v;
        };
        return U3Limits{read("_SNAP"), read("_UNITARY_TOL")};
    }();
    return limits;
}

U3Status u3_port(const std::complex<double> m[4], double out[4]) {
    const double ax = m[0].real(), ay = m[0].imag();
    const double bx = m[1].real(), by = m[1].imag();
    const double cx = m[2].real(), cy = m[2].imag();
    const double dx = m[3].real(), dy = m[3].imag();
    for (double v : {ax, ay, bx, by, cx, cy, dx, dy})
        if (!std::isfinite(v))
            return U3_NONFINITE;
    const double snap = u3_limits().snap, tol = u3_limits().unitary_tol;
    const double n0 = ax * ax + ay * ay + cx * cx + cy * cy;
    const double n1 = bx * bx + by * by + dx * dx + dy * dy;
    const double ipx = ax * bx + ay * by + cx * dx + cy * dy;
    const double ipy = ax * by - ay * bx + cx * dy - cy * dx;
    if (std::fabs(n0 - 1.0) > tol || std::fabs(n1 - 1.0) > tol || std::fabs(ipx) > tol || std::fabs(ipy) > tol)
        return U3_NONUNITARY;
    const double cos_h = (std::hypot(ax, ay) + std::hypot(dx, dy)) * 0.5;
    const double sin_h = (std::hypot(bx, by) + std::hypot(cx, cy)) * 0.5;
    double theta, phi, lamda, phase;
    if (sin_h <= snap * cos_h) {
        theta = 0.0;
        phi = 0.0;
        lamda = arg_rel(dx, dy, ax, ay);
        phase = std::atan2(ay, ax);
    } else if (cos_h <= snap * sin_h) {
        theta = kPi;
        phi = 0.0;
        lamda = arg_rel(-bx, -by, cx, cy);
        phase = std::atan2(cy, cx);
    } else {
        theta = 2.0 * std::atan2(sin_h, cos_h);
        phase = std::atan2(ay, ax);
        phi = arg_rel(cx, cy, ax, ay);
        if (cos_h >= sin_h)
            lamda = arg_rel(dx, dy, ax, ay) - phi;
        else
            lamda = arg_rel(-bx, -by, ax, ay);
    }
    out[0] = theta;
    out[1] = phi;
    out[2] = lamda;
    out[3] = phase;
    return U3_OK;
}

void u3_or_raise(const std::complex<double> m[4], double out[4]) {
    switch (u3_port(m, out)) {
    case U3_NONFINITE: vx::value_error("u3_decompose expects finite matrix entries");
    case U3_NONUNITARY: vx::value_error("u3_decompose expects a unitary matrix");
    default: break;
    }
}

bool u3_angles(PyObject *u3, PyObject *own_u3, PyObject *m, nb::object &th, nb::object &ph, nb::object &la) {
    if (u3 == own_u3 && own_u3) {
        std::complex<double> v[4];
        if (read_2x2(m, v)) {
            double r[4];
            u3_or_raise(v, r);
            th = vx::own(PyFloat_FromDouble(r[0]));
            ph = vx::own(PyFloat_FromDouble(r[1]));
            la = vx::own(PyFloat_FromDouble(r[2]));
            return true;
        }
    }
    nb::object res = vx::own(PyObject_Vectorcall(u3, &m, 1, nullptr));
    nb::object vals[4];
    vx::unpack(res, vals, 4);
    th = vals[0];
    ph = vals[1];
    la = vals[2];
    return false;
}

PyObject *package_u3(PyObject *globals) {
    PyObject *f = PyDict_GetItemString(globals, "u3_decompose");
    if (!f || !PyFunction_Check(f))
        return nullptr;
    PyObject *mod = PyFunction_GetModule(f);
    if (!mod || !PyUnicode_Check(mod) || PyUnicode_CompareWithASCIIString(mod, "vexal.circuit.utils") != 0)
        return nullptr;
    return f;
}

void Own::keep(nb::handle decompose) {
    globals = vx::check(PyModule_GetDict(decompose.ptr()));
    for (int i = 0; i < U3_DECOMPOSE; ++i) {
        nb::handle f = vx::keep_original(decompose, kFnNames[i]);
        fn[i] = vx::is_function(f.ptr()) ? f.ptr() : nullptr;
    }
    if (package_u3(globals))
        fn[U3_DECOMPOSE] = vx::keep_original(decompose, kFnNames[U3_DECOMPOSE]).ptr();
}

}  // namespace dec
