// vexal.circuit.matrix: the load-time probes.  Multiplying a complex by a
// real is a full complex product in CPython up to 3.13 and a part-by-part
// product from 3.14 on, and numpy has its own rule for its scalars; the signs
// of zero entries depend on it.  At load the module multiplies a few signed
// values each way and the fast path reproduces only the rules found here.
// Likewise it compares the C library's cos and sin (and its sincos) with
// numpy's ufuncs on a spread of angles; where they differ on this machine the
// fast path takes its trigonometry from numpy's ufuncs.
#include "formulas.hpp"

#include <cfloat>

namespace matrix {

Cache C;

namespace {

// Finds the rule by which `product(z, x)` multiplies a complex by a real.
template <class F> Mul probe_mul(F &&product) {
    const cplx zs[] = {{-0.0, -1.0}, {0.0, 1.0}, {1.0, 0.0}, {-1.0, -0.0}, {-0.0, 1.0}, {0.6, -0.8}, {-0.0, -0.0}};
    const double xs[] = {1.0, -1.0, 0.0, -0.0, 0.75, -3.5};
    bool full = true, parts = true;
    for (cplx z : zs)
        for (double x : xs) {
            cplx got = product(z, x);
            full = full && same(got, mul_real(Mul::Full, z, x));
            parts = parts && same(got, mul_real(Mul::Parts, z, x));
        }
    return full ? Mul::Full : parts ? Mul::Parts : Mul::Unknown;
}

nb::object f64(double x) { return call(C.float64, {pyfloat(x).ptr()}); }
nb::object c128(cplx z) { return call(C.complex128, {pycomplex(z).ptr()}); }

void probe_arithmetic() {
    C.py_float = probe_mul(
        [](cplx z, double x) { return as_cplx(vx::own(PyNumber_Multiply(pycomplex(z).ptr(), pyfloat(x).ptr()))); });
    C.py_f64 = probe_mul(
        [](cplx z, double x) { return as_cplx(vx::own(PyNumber_Multiply(pycomplex(z).ptr(), f64(x).ptr()))); });
    C.np_f64 =
        probe_mul([](cplx z, double x) { return as_cplx(vx::own(PyNumber_Multiply(c128(z).ptr(), f64(x).ptr()))); });
    const cplx ws[] = {{1.0, 0.0}, {-1.0, -0.0}, {0.0, -1.0}, {-0.0, 1.0}, {0.6, -0.8}, {-0.0, -0.0}, {0.0, 0.0}};
    C.np_neg = true;
    C.np_cmul = true;
    for (cplx w : ws) {
        cplx neg = as_cplx(vx::own(PyNumber_Negative(c128(w).ptr())));
        C.np_neg = C.np_neg && same(neg, {-w.real(), -w.imag()});
        for (cplx z : {cplx{-0.0, -1.0}, cplx{0.0, 1.0}}) {
            cplx got = as_cplx(vx::own(PyNumber_Multiply(pycomplex(z).ptr(), c128(w).ptr())));
            C.np_cmul = C.np_cmul && same(got, mul_full(z, w));
        }
    }
    C.confirmed = (C.py_float != Mul::Unknown ? kPyTimesFloat : 0u) | (C.py_f64 != Mul::Unknown ? kPyTimesF64 : 0u) |
                  (C.np_f64 != Mul::Unknown ? kNpTimesF64 : 0u) | (C.np_neg ? kNpNeg : 0u) |
                  (C.np_cmul ? kPyTimesNp : 0u);
}

// Compares the C library's cos, sin and exp(i a) with numpy's on a spread of
// angles, in one array call and in scalar calls.
void probe_trig() {
    std::vector<double> xs = {0.0,  -0.0,  1.0, -1.0, 0.5,  -0.5,  M_PI,  -M_PI,  M_PI / 2, M_PI / 4, 2 * M_PI,
                              1e-8, -1e-8, 1e5, 1e10, 1e22, -1e22, 1e300, -1e300, DBL_MIN,  3.0,      6.0};
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 11;
    };
    for (int i = 0; i < 1500; ++i)  // uniform in [-8, 8)
        xs.push_back(static_cast<double>(next()) / 9007199254740992.0 * 16.0 - 8.0);
    for (int i = 0; i < 500; ++i) {  // spread over magnitudes 2^-30 .. 2^40
        double m = static_cast<double>(next()) / 9007199254740992.0 + 0.5;
        int e = static_cast<int>(next() % 71) - 30;
        xs.push_back((i & 1 ? -1.0 : 1.0) * std::ldexp(m, e));
    }
    const std::size_t n = xs.size();

    nb::object np = nb::borrow(C.numpy);
    nb::object shape = vx::own(Py_BuildValue("(n)", static_cast<Py_ssize_t>(n)));
    nb::object ftype = vx::own(PyObject_GetAttrString(np.ptr(), "float64"));
    nb::object arg = call(C.empty, {shape.ptr(), ftype.ptr()});
    nb::object carg = call(C.empty, {shape.ptr(), C.cdtype});
    {
        Py_buffer v;
        vx::check(PyObject_GetBuffer(arg.ptr(), &v, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
        std::memcpy(v.buf, xs.data(), n * sizeof(double));
        PyBuffer_Release(&v);
        std::vector<cplx> zs(n);
        for (std::size_t i = 0; i < n; ++i)
            zs[i] = {0.0, xs[i]};
        fill(carg, zs.data(), n);
    }
    nb::object cs = call(C.np_cos, {arg.ptr()});
    nb::object sn = call(C.np_sin, {arg.ptr()});
    nb::object ex = call(C.np_exp, {carg.ptr()});
    auto read = [](nb::handle arr, void *out, std::size_t bytes) {
        Py_buffer v;
        vx::check(PyObject_GetBuffer(arr.ptr(), &v, PyBUF_C_CONTIGUOUS));
        bool ok = static_cast<std::size_t>(v.len) == bytes;
        if (ok)
            std::memcpy(out, v.buf, bytes);
        PyBuffer_Release(&v);
        return ok;
    };
    std::vector<double> c(n), s(n);
    std::vector<cplx> e(n);
    bool ok = read(cs, c.data(), n * sizeof(double)) && read(sn, s.data(), n * sizeof(double)) &&
              read(ex, e.data(), n * sizeof(cplx));
    for (std::size_t i = 0; ok && i < n; ++i) {
        const double x = xs[i];
        double sv, cv;
        ::sincos(x, &sv, &cv);
        ok = bits(c[i]) == bits(std::cos(x)) && bits(s[i]) == bits(std::sin(x)) &&
             same(e[i], {std::cos(x), std::sin(x)}) && bits(sv) == bits(s[i]) && bits(cv) == bits(c[i]);
    }
    for (std::size_t i = 0; ok && i < 64; ++i) {
        const double x = xs[i * 7 % n];
        ok = bits(numpy_trig(C.np_cos, x)) == bits(std::cos(x)) && bits(numpy_trig(C.np_sin, x)) == bits(std::sin(x));
    }
    C.trig_is_cpp = ok;
}

void probe_data_pointer() {
    bool ok = true;
    for (PyObject *shape : {C.shape22, C.shape44}) {
        nb::object arr = call(C.empty, {shape, C.cdtype});
        Py_buffer view;
        vx::check(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
        void *data;
        std::memcpy(&data, reinterpret_cast<const char *>(arr.ptr()) + sizeof(PyObject), sizeof data);
        ok = ok && Py_TYPE(arr.ptr()) == C.ndarray && data == view.buf && !view.readonly;
        PyBuffer_Release(&view);
    }
    C.data_at_head = ok;
}

}  // namespace

void load_cache(nb::handle np) {
    C.numpy = keep(nb::borrow(np));
    C.empty = keep(vx::own(PyObject_GetAttrString(np.ptr(), "empty")));
    C.zeros = keep(vx::own(PyObject_GetAttrString(np.ptr(), "zeros")));
    C.np_cos = keep(vx::own(PyObject_GetAttrString(np.ptr(), "cos")));
    C.np_sin = keep(vx::own(PyObject_GetAttrString(np.ptr(), "sin")));
    C.np_exp = keep(vx::own(PyObject_GetAttrString(np.ptr(), "exp")));
    C.float64 = keep(vx::own(PyObject_GetAttrString(np.ptr(), "float64")));
    C.complex128 = keep(vx::own(PyObject_GetAttrString(np.ptr(), "complex128")));
    nb::object dtype = vx::own(PyObject_GetAttrString(np.ptr(), "dtype"));
    C.cdtype = keep(call(dtype.ptr(), {reinterpret_cast<PyObject *>(&PyComplex_Type)}));
    C.shape22 = keep(vx::own(Py_BuildValue("(ii)", 2, 2)));
    C.shape44 = keep(vx::own(Py_BuildValue("(ii)", 4, 4)));
    C.dtype_kw = keep(vx::own(Py_BuildValue("(s)", "dtype")));
    C.zero = keep(vx::own(PyLong_FromLong(0)));
    C.one = keep(vx::own(PyLong_FromLong(1)));
    C.two = keep(vx::own(PyLong_FromLong(2)));
    C.four = keep(vx::own(PyLong_FromLong(4)));
    C.minus_one = keep(vx::own(PyLong_FromLong(-1)));
    C.j = keep(pycomplex({0.0, 1.0}));
    C.mj = keep(pycomplex({-0.0, -1.0}));
    C.fzero = keep(pyfloat(0.0));
    C.s_np = vx::intern("np");
    C.s_ket0 = vx::intern("ket0");
    C.s_ket1 = vx::intern("ket1");
    C.s_u_mat = vx::intern("u_mat");
    C.s_pi = vx::intern("pi");
    C.ndarray = reinterpret_cast<PyTypeObject *>(keep(vx::own(PyObject_GetAttrString(np.ptr(), "ndarray"))));
    probe_data_pointer();
    probe_arithmetic();
    probe_trig();
}

}  // namespace matrix
