// The record builders of vexal.circuit.decompose, shared with
// vexal.circuit.translate (which includes this header and calls them
// directly while the decompose module's functions are still its own).
//
// Every builder appends to Ctx::out.  A converter (h2u, ...) or a nested
// decomposition is looked up in the decompose module's namespace at call
// time: when the name still holds the module's own function the record is
// built here, otherwise the replacement is called.
#pragma once

#include "interop.hpp"

#include <cmath>
#include <complex>

namespace dec {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kPi2 = 1.5707963267948966;
inline constexpr double kPi4 = 0.7853981633974483;
inline constexpr double kIswapK = -1.0094094858814842;

enum Fn : int {
    H2U,
    X2U,
    SDG2U,
    S2U,
    RX2U,
    RY2U,
    RZ2U,
    CX_TO_ISWAP,
    CZ_TO_ISWAP,
    CZ_DEC,
    CX_DEC,
    CY_DEC,
    SWAP_DEC,
    ISWAP_DEC,
    RXX_DEC,
    RYY_DEC,
    RZZ_DEC,
    CP_DEC,
    CCX_DEC,
    CSWAP_DEC,
    CCZ_DEC,
    CCX_MUTE,
    U3_DECOMPOSE,
    NFN
};

inline constexpr const char *kFnNames[NFN] = {
    "h2u",
    "x2u",
    "sdg2u",
    "s2u",
    "rx2u",
    "ry2u",
    "rz2u",
    "convert_cx_to_iswap",
    "convert_cz_to_iswap",
    "cz_decompose",
    "cx_decompose",
    "cy_decompose",
    "swap_decompose",
    "iswap_decompose",
    "rxx_decompose",
    "ryy_decompose",
    "rzz_decompose",
    "cp_decompose",
    "ccx_decompose",
    "cswap_decompose",
    "ccz_decompose",
    "ccx_decompose_mute_phase",
    "u3_decompose",
};

enum Basis : int { B_CZ = 0, B_CX = 1, B_ISWAP = 2 };

// Objects made once per loaded module and kept for the life of the process.
struct Consts {
    PyObject *u, *h, *x, *s, *sdg, *sx, *rx, *ry, *rz, *cz, *cx, *iswap, *t, *tdg;
    PyObject *f0, *pi, *mpi, *pi2, *mpi2, *pi4, *mpi4, *K, *i0;
    PyObject *fn_names[NFN];
};

inline PyObject *keep_float(double d) { return vx::check(PyFloat_FromDouble(d)); }

inline void init_consts(Consts &k) {
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

// The decompose module's own functions by their Fn index (null where a name
// held something else when it was recorded), and the namespace in which the
// decompositions look up one another.  Builders compare what a name holds
// now with these before building records natively.
struct Own {
    PyObject *fn[NFN] = {};
    PyObject *globals = nullptr;

    // Records the names of the loaded decompose module as the package's own
    // (vx::keep_original), and remembers its namespace.
    void keep(nb::handle decompose);
};

// ---------------------------------------------------------------- helpers

inline void append_new(PyObject *list, PyObject *item) {
    vx::check(item);
    int rc = PyList_Append(list, item);
    Py_DECREF(item);
    vx::check(rc);
}

// Appends every element of an iterable.
inline void extend(PyObject *list, PyObject *items) {
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

using vx::lookup_global;

// A qubit and an angle converted as the module's typed parameters convert
// them (an int unchanged, int() / float() of another number, else the
// argument TypeError).
inline nb::object as_int(PyObject *o, const char *pname) { return vx::convert_argument(o, pname, vx::Conv::Int); }
inline nb::object as_float(PyObject *o) { return vx::convert_argument(o, "theta", vx::Conv::Float); }

// A name test as `name == text` does it (`interned` is an exact str).
inline bool name_is(PyObject *name, PyObject *interned) {
    if (name == interned)
        return true;
    if (PyUnicode_CheckExact(name))
        return PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(interned) && PyUnicode_Compare(name, interned) == 0;
    int r = PyObject_RichCompareBool(name, interned, Py_EQ);
    vx::check(r);
    return r != 0;
}

// Which of the three two-qubit bases `b` equals; ValueError for any other.
inline int basis_kind(const Consts &k, PyObject *b) {
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

// ------------------------------------------------------ native converters

inline PyObject *u_rec(const Consts &k, PyObject *a, PyObject *b, PyObject *c, PyObject *q) {
    return PyTuple_Pack(5, k.u, a, b, c, q);
}

// The converter `fn` applied to (angle, q) or (q); arguments converted as
// the module's functions convert them.
inline PyObject *native_convert(const Consts &k, int fn, PyObject *angle, PyObject *q) {
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

// ------------------------------------------------------------- builders

struct Ctx {
    const Consts &k;
    const Own &own;
    PyObject *out;            // list receiving the records
    bool flag;                // convert single-qubit gates to u
    PyObject *basis;          // the basis object as passed
    int kind;                 // basis_kind(basis); unused by the basis-free builders
    bool called_out = false;  // a replacement (Python code) was called

    PyObject *flag_obj() const { return flag ? Py_True : Py_False; }

    void rec(PyObject *name, PyObject *q) { append_new(out, PyTuple_Pack(2, name, q)); }
    void rec(PyObject *name, PyObject *a, PyObject *b) { append_new(out, PyTuple_Pack(3, name, a, b)); }

    // A single-qubit gate: the named record, or its converter's u record.
    void one(int fn, PyObject *name, PyObject *angle, PyObject *q) {
        if (!flag) {
            append_new(out, angle ? PyTuple_Pack(3, name, angle, q) : PyTuple_Pack(2, name, q));
            return;
        }
        PyObject *g = lookup_global(own.globals, k.fn_names[fn]);
        if (g == own.fn[fn]) {
            append_new(out, native_convert(k, fn, angle, q));
            return;
        }
        PyObject *args[2] = {angle, q};
        called_out = true;
        append_new(out,
                   angle ? PyObject_Vectorcall(g, args, 2, nullptr) : PyObject_Vectorcall(g, args + 1, 1, nullptr));
    }
    void H(PyObject *q) { one(H2U, k.h, nullptr, q); }
    void X(PyObject *q) { one(X2U, k.x, nullptr, q); }
    void S(PyObject *q) { one(S2U, k.s, nullptr, q); }
    void Sdg(PyObject *q) { one(SDG2U, k.sdg, nullptr, q); }
    void RX(PyObject *a, PyObject *q) { one(RX2U, k.rx, a, q); }
    void RZ(PyObject *a, PyObject *q) { one(RZ2U, k.rz, a, q); }

    // A nested decomposition of two qubits: built here while the name holds
    // the module's own function, else the replacement's records.
    void nested(int fn, PyObject *a, PyObject *b);

    // CNOT inside a larger decomposition.
    void CX(PyObject *a, PyObject *b) {
        switch (kind) {
        case B_CX: rec(k.cx, a, b); break;
        case B_CZ: nested(CX_DEC, a, b); break;
        default: nested(CX_TO_ISWAP, a, b); break;
        }
    }
};

// The fixed iSWAP sequences.  rz/ry records become rz2u/ry2u records when
// the flag is set; the iswap records stay.  Both share their middle: two
// iSWAPs and the rotations between them.
inline void iswap_pair(Ctx &c, PyObject *ct, PyObject *tg) {
    auto &k = c.k;
    c.rec(k.iswap, ct, tg);
    c.one(RZ2U, k.rz, k.mpi2, ct);
    c.one(RY2U, k.ry, k.pi, ct);
    c.one(RZ2U, k.rz, k.pi2, tg);
    c.one(RY2U, k.ry, k.mpi2, tg);
    c.rec(k.iswap, ct, tg);
}

inline void build_cx_to_iswap(Ctx &c, PyObject *ct, PyObject *tg) {
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

inline void build_cz_to_iswap(Ctx &c, PyObject *ct, PyObject *tg) {
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

inline void build_cz(Ctx &c, PyObject *ct, PyObject *tg) {
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

inline void build_cx(Ctx &c, PyObject *ct, PyObject *tg) {
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

inline void build_cy(Ctx &c, PyObject *ct, PyObject *tg) {
    c.Sdg(tg);
    c.CX(ct, tg);
    c.S(tg);
}

inline void build_swap(Ctx &c, PyObject *q1, PyObject *q2) {
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

inline void build_iswap(Ctx &c, PyObject *q1, PyObject *q2) {
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

inline void build_rxx(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2) {
    c.H(q1);
    c.H(q2);
    c.CX(q1, q2);
    c.RZ(th, q2);
    c.CX(q1, q2);
    c.H(q1);
    c.H(q2);
}

inline void build_ryy(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2) {
    c.RX(c.k.pi2, q1);
    c.RX(c.k.pi2, q2);
    c.CX(q1, q2);
    c.RZ(th, q2);
    c.CX(q1, q2);
    c.RX(c.k.mpi2, q1);
    c.RX(c.k.mpi2, q2);
}

inline void build_rzz(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2) {
    c.CX(q1, q2);
    c.RZ(th, q2);
    c.CX(q1, q2);
}

inline void build_cp(Ctx &c, PyObject *th, PyObject *ct, PyObject *tg) {
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

// Toffoli: 15 records, exact.
inline void build_ccx(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t, bool skip_first = false) {
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

inline void build_ccz(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t) {
    build_ccx(c, c1, c2, t, true);
    c.rec(c.k.h, t);
}

inline void build_ccx_mute(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t) {
    auto &k = c.k;
    append_new(c.out, u_rec(k, k.pi4, k.mpi, k.mpi, t));
    c.rec(k.cx, c2, t);
    append_new(c.out, u_rec(k, k.pi4, k.mpi, k.mpi, t));
    c.rec(k.cx, c1, t);
    append_new(c.out, u_rec(k, k.pi4, k.i0, k.i0, t));
    c.rec(k.cx, c2, t);
    append_new(c.out, u_rec(k, k.pi4, k.i0, k.i0, t));
}

inline void Ctx::nested(int fn, PyObject *a, PyObject *b) {
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

// -------------------------------------------------------- native u3

// True with m filled (row-major) when `o` is a 2x2 complex128 array.
inline bool read_2x2(PyObject *o, std::complex<double> m[4]) { return vx::read_complex_matrix(o, 2, m); }

}  // namespace dec

namespace dec {

// Port of vexal.circuit.utils.u3_decompose, operation for operation, so
// that its results are bit-identical to the Python function's.
inline double arg_rel(double x1, double y1, double x2, double y2) {
    return std::atan2(y1 * x2 - x1 * y2, x1 * x2 + y1 * y2);
}

enum U3Status { U3_OK, U3_NONFINITE, U3_NONUNITARY };

inline U3Status u3_native(const std::complex<double> m[4], double out[4]) {
    const double ax = m[0].real(), ay = m[0].imag();
    const double bx = m[1].real(), by = m[1].imag();
    const double cx = m[2].real(), cy = m[2].imag();
    const double dx = m[3].real(), dy = m[3].imag();
    for (double v : {ax, ay, bx, by, cx, cy, dx, dy})
        if (!std::isfinite(v))
            return U3_NONFINITE;
    constexpr double kSnap = 1e-12, kTol = 1e-6;
    const double n0 = ax * ax + ay * ay + cx * cx + cy * cy;
    const double n1 = bx * bx + by * by + dx * dx + dy * dy;
    const double ipx = ax * bx + ay * by + cx * dx + cy * dy;
    const double ipy = ax * by - ay * bx + cx * dy - cy * dx;
    if (std::fabs(n0 - 1.0) > kTol || std::fabs(n1 - 1.0) > kTol || std::fabs(ipx) > kTol || std::fabs(ipy) > kTol)
        return U3_NONUNITARY;
    const double cos_h = (std::hypot(ax, ay) + std::hypot(dx, dy)) * 0.5;
    const double sin_h = (std::hypot(bx, by) + std::hypot(cx, cy)) * 0.5;
    double theta, phi, lamda, phase;
    if (sin_h <= kSnap * cos_h) {
        theta = 0.0;
        phi = 0.0;
        lamda = arg_rel(dx, dy, ax, ay);
        phase = std::atan2(ay, ax);
    } else if (cos_h <= kSnap * sin_h) {
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

// The three angles of u3_decompose(m): natively when `u3` is the package's
// own function and m a 2x2 complex array, else by calling `u3` and
// unpacking its result into exactly four values.  Sets th/ph/la (new refs);
// returns whether it ran natively (no Python code was called).
inline bool u3_angles(PyObject *u3, PyObject *own_u3, PyObject *m, nb::object &th, nb::object &ph, nb::object &la) {
    if (u3 == own_u3 && own_u3) {
        std::complex<double> v[4];
        if (read_2x2(m, v)) {
            double r[4];
            switch (u3_native(v, r)) {
            case U3_NONFINITE: vx::value_error("u3_decompose expects finite matrix entries");
            case U3_NONUNITARY: vx::value_error("u3_decompose expects a unitary matrix");
            default: break;
            }
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

// vexal.circuit.utils.u3_decompose as `globals` holds it now, if it is the
// package's Python function (null otherwise).
inline PyObject *package_u3(PyObject *globals) {
    PyObject *f = PyDict_GetItemString(globals, "u3_decompose");
    if (!f || !PyFunction_Check(f))
        return nullptr;
    PyObject *mod = PyFunction_GetModule(f);
    if (!mod || !PyUnicode_Check(mod) || PyUnicode_CompareWithASCIIString(mod, "vexal.circuit.utils") != 0)
        return nullptr;
    return f;
}

inline void Own::keep(nb::handle decompose) {
    globals = vx::check(PyModule_GetDict(decompose.ptr()));
    for (int i = 0; i < U3_DECOMPOSE; ++i) {
        nb::handle f = vx::keep_original(decompose, kFnNames[i]);
        fn[i] = vx::is_function(f.ptr()) ? f.ptr() : nullptr;
    }
    if (package_u3(globals))
        fn[U3_DECOMPOSE] = vx::keep_original(decompose, kFnNames[U3_DECOMPOSE]).ptr();
}

}  // namespace dec
