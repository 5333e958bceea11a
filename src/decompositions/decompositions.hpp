// The record builders of the decompositions, shared by vexal.circuit.decompose
// (whose functions they are), vexal.circuit.translate and
// vexal.circuit.optimize, which call them directly while the decompose
// module's functions are still its own; and the C++ port of u3_decompose.
//
// Every builder appends to Ctx::out.  A converter (h2u, ...) or a nested
// decomposition is looked up in the decompose module's namespace at call
// time: when the name still holds the module's own function the record is
// built here, otherwise the replacement is called.
#pragma once

#include "flat_index.hpp"
#include "interop.hpp"

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

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

    // 1 .. 8 where `angle` is one of the float constants above, else -1.
    int constant(PyObject *angle) const {
        PyObject *const floats[8] = {f0, pi, mpi, pi2, mpi2, pi4, mpi4, K};
        for (int i = 0; i < 8; ++i)
            if (angle == floats[i])
                return i + 1;
        return -1;
    }
};

inline PyObject *keep_float(double d) { return vx::check(PyFloat_FromDouble(d)); }

void init_consts(Consts &k);

// The decompose module's own functions by their Fn index (null where a name
// held something else when it was recorded), and the namespace in which the
// decompositions look up one another.  Builders compare what a name holds
// now with these before building the records here.
struct Own {
    PyObject *fn[NFN] = {};
    PyObject *globals = nullptr;

    // Records the names of the loaded decompose module as the package's own
    // (vx::keep_original), and remembers its namespace.
    void keep(nb::handle decompose);
};

// ---------------------------------------------------------------- helpers

void append_new(PyObject *list, PyObject *item);

// Appends every element of an iterable.
void extend(PyObject *list, PyObject *items);

using vx::lookup_global;

// A qubit and an angle converted as the module's typed parameters convert
// them (an int unchanged, int() / float() of another number, else the
// argument TypeError).
inline nb::object as_int(PyObject *o, const char *pname) { return vx::convert_argument(o, pname, vx::Conv::Int); }
inline nb::object as_float(PyObject *o) { return vx::convert_argument(o, "theta", vx::Conv::Float); }

// A name test as `name == text` does it (`interned` is an exact str).
bool name_is(PyObject *name, PyObject *interned);

// Which of the three two-qubit bases `b` equals; ValueError for any other.
int basis_kind(const Consts &k, PyObject *b);

// ------------------------------------------------------------ converters

inline PyObject *u_rec(const Consts &k, PyObject *a, PyObject *b, PyObject *c, PyObject *q) {
    return PyTuple_Pack(5, k.u, a, b, c, q);
}

// The converter `fn` applied to (angle, q) or (q); arguments converted as
// the module's functions convert them.
PyObject *convert(const Consts &k, int fn, PyObject *angle, PyObject *q);

// Records of one immutable value that a pass makes again and again (the u
// record of a fixed gate on one qubit, a cz between two qubits), made once
// and shared: a tuple of immutable scalars is shared instead of copied.
// Keys are the caller's: a kind of record and the qubits' values.
class Shared {
public:
    // Qubits beyond this are not shared.
    static constexpr long long kMaxQubit = (1LL << 24) - 2;
    // The key of a record of kind `kind` (0 .. 65534) over one qubit or two,
    // or 0 where a qubit is not a value from 0 to kMaxQubit (qubit_value).
    static std::uint64_t key(int kind, long long q) {
        return q < 0 || q > kMaxQubit ? 0 : pack(kind, q, kMaxQubit + 1);
    }
    static std::uint64_t key(int kind, long long q0, long long q1) {
        return q0 < 0 || q0 > kMaxQubit || q1 < 0 || q1 > kMaxQubit ? 0 : pack(kind, q0, q1);
    }
    // The record kept under `key` (borrowed), null where none is.
    PyObject *find(std::uint64_t key) const {
        const std::int32_t i = index_.find(key);
        return i == engines::FlatIndex::kAbsent ? nullptr : records_[static_cast<std::size_t>(i)].ptr();
    }
    void put(std::uint64_t key, PyObject *rec) {
        if (index_.insert(key, static_cast<std::int32_t>(records_.size())))
            records_.push_back(nb::borrow(rec));
    }
    void clear() {
        index_ = {};
        records_.clear();
    }

private:
    static std::uint64_t pack(int kind, long long q0, long long q1) {
        return (static_cast<std::uint64_t>(kind + 1) << 48) | (static_cast<std::uint64_t>(q0) << 24) |
               static_cast<std::uint64_t>(q1);
    }
    engines::FlatIndex index_;
    std::vector<nb::object> records_;
};

// The value of an exact int qubit, or -1.
inline long long qubit_value(PyObject *q) {
    long long v;
    return vx::exact_ll(q, v) && v >= 0 ? v : -1;
}

// ------------------------------------------------------------- builders

struct Ctx {
    const Consts &k;
    const Own &own;
    PyObject *out;             // list receiving the records
    bool flag;                 // convert single-qubit gates to u
    PyObject *basis;           // the basis object as passed
    int kind;                  // basis_kind(basis); unused by the basis-free builders
    bool called_out = false;   // a replacement (Python code) was called
    Shared *shared = nullptr;  // where records of one value are shared, when given

    PyObject *flag_obj() const { return flag ? Py_True : Py_False; }

    void rec(PyObject *name, PyObject *q) { append_new(out, PyTuple_Pack(2, name, q)); }
    void rec(PyObject *name, PyObject *a, PyObject *b) {
        const int kind = name == k.cz ? 0 : name == k.cx ? 1 : name == k.iswap ? 2 : -1;
        std::uint64_t key = 0;
        if (shared && kind >= 0 && (key = Shared::key(kind, qubit_value(a), qubit_value(b))))
            if (PyObject *there = shared->find(key)) {
                vx::check(PyList_Append(out, there));
                return;
            }
        nb::object r = vx::own(PyTuple_Pack(3, name, a, b));
        vx::check(PyList_Append(out, r.ptr()));
        if (key)
            shared->put(key, r.ptr());
    }

    // A single-qubit gate: the named record, or its converter's u record.
    void one(int fn, PyObject *name, PyObject *angle, PyObject *q) {
        if (!flag) {
            append_new(out, angle ? PyTuple_Pack(3, name, angle, q) : PyTuple_Pack(2, name, q));
            return;
        }
        PyObject *g = lookup_global(own.globals, k.fn_names[fn]);
        if (g == own.fn[fn]) {
            // the record is a function of the converter, a constant angle and the qubit
            const int which = angle ? k.constant(angle) : 0;
            std::uint64_t key = 0;
            if (shared && which >= 0 && (key = Shared::key(8 + fn * 16 + which, qubit_value(q))))
                if (PyObject *there = shared->find(key)) {
                    vx::check(PyList_Append(out, there));
                    return;
                }
            nb::object r = vx::own(convert(k, fn, angle, q));
            vx::check(PyList_Append(out, r.ptr()));
            if (key)
                shared->put(key, r.ptr());
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
void iswap_pair(Ctx &c, PyObject *ct, PyObject *tg);

void build_cx_to_iswap(Ctx &c, PyObject *ct, PyObject *tg);

void build_cz_to_iswap(Ctx &c, PyObject *ct, PyObject *tg);

void build_cz(Ctx &c, PyObject *ct, PyObject *tg);

void build_cx(Ctx &c, PyObject *ct, PyObject *tg);

void build_cy(Ctx &c, PyObject *ct, PyObject *tg);

void build_swap(Ctx &c, PyObject *q1, PyObject *q2);

void build_iswap(Ctx &c, PyObject *q1, PyObject *q2);

void build_rxx(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2);

void build_ryy(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2);

void build_rzz(Ctx &c, PyObject *th, PyObject *q1, PyObject *q2);

void build_cp(Ctx &c, PyObject *th, PyObject *ct, PyObject *tg);

// Toffoli: 15 records, exact.
void build_ccx(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t, bool skip_first = false);

void build_ccz(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t);

void build_ccx_mute(Ctx &c, PyObject *c1, PyObject *c2, PyObject *t);

// ------------------------------------------------------------ u3

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

// The limits u3_decompose applies: the relative size below which sin (or
// cos) of theta/2 counts as zero, and the largest deviation from unitarity
// accepted.  They are named once, in vexal.circuit.utils (_SNAP and
// _UNITARY_TOL), and read from there when first needed, so that the port
// snaps and refuses exactly where the function does.
struct U3Limits {
    double snap, unitary_tol;
};
const U3Limits &u3_limits();

// (theta, phi, lamda, phase) of the matrix m, as u3_decompose gives them.
U3Status u3_port(const std::complex<double> m[4], double out[4]);
// u3_port, with the errors u3_decompose raises for a matrix it refuses.
void u3_or_raise(const std::complex<double> m[4], double out[4]);

// The three angles of u3_decompose(m): by the port when `u3` is the
// package's own function and m a 2x2 complex array, else by calling `u3`
// and unpacking its result into exactly four values.  Sets th/ph/la (new
// refs); returns whether the port ran (no Python code was called).
bool u3_angles(PyObject *u3, PyObject *own_u3, PyObject *m, nb::object &th, nb::object &ph, nb::object &la);

// vexal.circuit.utils.u3_decompose as `globals` holds it now, if it is the
// package's Python function (null otherwise).
PyObject *package_u3(PyObject *globals);

}  // namespace dec
