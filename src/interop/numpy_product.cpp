// numpy's product of two 2x2 complex matrices, worked out in C++ where it
// gives numpy's very doubles on this machine.
//
// A u merge multiplies two u_mat matrices with numpy's `@`, which hands the
// product to the BLAS numpy was built with: how the sums are ordered and
// which multiply-adds are fused is that kernel's own, and differs between
// libraries and processors.  engines/complex_product.hpp reproduces one
// kernel.  The first time a module asks, it compares that with numpy's `@`
// on a few thousand pairs of matrices (random entries, unitary matrices,
// products that cancel to zero or nearly, zeros of either sign, products
// that underflow) and takes the C++ product only where every double agrees;
// elsewhere the merges go on calling numpy.  The environment variable
// _VEXAL_CIRCUIT_FAIL_PRODUCT_CHECK, when set, makes the check fail (tests
// of the fallback use it).
#include "matrix_api.hpp"

#include "complex_product.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vx::matrixapi {

namespace {

using cplx = std::complex<double>;

// A fixed stream of test values (splitmix64), the same on every load.
struct Stream {
    std::uint64_t state = 0x853c49e6748fea9bULL;
    std::uint64_t bits() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(bits() >> 11) * 0x1p-53; }  // [0, 1)
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
    int below(int n) { return static_cast<int>(bits() % static_cast<std::uint64_t>(n)); }
    double sign() { return bits() & 1 ? -1.0 : 1.0; }
};

// u(theta, phi, lamda) from the C library's trigonometry: a unitary test
// input, not necessarily u_mat's doubles.
void unitary(double t, double p, double l, cplx m[4]) {
    const double c = std::cos(t / 2), s = std::sin(t / 2);
    m[0] = {c, 0.0};
    m[1] = {-std::cos(l) * s, -std::sin(l) * s};
    m[2] = {std::cos(p) * s, std::sin(p) * s};
    m[3] = {std::cos(p + l) * c, std::sin(p + l) * c};
}

void conjugate_transpose(const cplx m[4], cplx out[4]) {
    out[0] = std::conj(m[0]);
    out[1] = std::conj(m[2]);
    out[2] = std::conj(m[1]);
    out[3] = std::conj(m[3]);
}

// The pairs the check multiplies, each a then b.
std::vector<cplx> test_pairs() {
    Stream s;
    std::vector<cplx> v;
    auto angles = [&](double out[3]) {
        out[0] = s.uniform(0, 3.141592653589793);
        out[1] = s.uniform(-3.141592653589793, 3.141592653589793);
        out[2] = s.uniform(-3.141592653589793, 3.141592653589793);
    };
    cplx a[4], b[4];
    double x[3], y[3];
    for (int k = 0; k < 768; ++k)  // entries of any sign and size near 1
        for (int e = 0; e < 8; ++e)
            v.emplace_back(s.uniform(-2, 2), s.uniform(-2, 2));
    for (int k = 0; k < 512; ++k) {  // two unitaries
        angles(x);
        angles(y);
        unitary(x[0], x[1], x[2], a);
        unitary(y[0], y[1], y[2], b);
        v.insert(v.end(), a, a + 4);
        v.insert(v.end(), b, b + 4);
    }
    for (int k = 0; k < 768; ++k) {  // a unitary after its inverse, or after one nearly so
        angles(x);
        unitary(x[0], x[1], x[2], a);
        conjugate_transpose(a, b);
        if (k % 2)
            unitary(x[0] + s.sign() * std::ldexp(1.0, -20 - s.below(33)), x[1], x[2], a);
        v.insert(v.end(), b, b + 4);
        v.insert(v.end(), a, a + 4);
    }
    const double small[] = {0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.0, -2.0};
    for (int k = 0; k < 512 * 8; ++k)  // zeros of either sign, exact sums
        v.emplace_back(small[s.below(8)], small[s.below(8)]);
    for (int k = 0; k < 256 * 8; ++k) {  // products that underflow, subnormal and normal entries
        auto part = [&]() {
            switch (s.below(4)) {
            case 0: return s.sign() * std::ldexp(s.uniform(1, 2), -500 - s.below(70));
            case 1: return s.sign() * std::ldexp(s.uniform(1, 2), -1023 - s.below(50));
            case 2: return small[s.below(8)];
            default: return s.uniform(-2, 2);
            }
        };
        const double re = part();
        v.emplace_back(re, part());
    }
    return v;
}

std::uint64_t bits_of(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

void fill(nb::handle array, const cplx m[4]) {
    Py_buffer view;
    vx::check(PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
    const bool ok = view.len == static_cast<Py_ssize_t>(4 * sizeof(cplx));
    if (ok)
        std::memcpy(view.buf, m, 4 * sizeof(cplx));
    PyBuffer_Release(&view);
    if (!ok)
        raise(PyExc_SystemError, "a 2x2 complex array has an unexpected size");
}

// Whether numpy's `@` gives the C++ product's doubles on every test pair.
bool product_is_numpys(nb::handle np) {
    if (std::getenv("_VEXAL_CIRCUIT_FAIL_PRODUCT_CHECK"))
        return false;
    nb::object empty = vx::getattr(np, "empty");
    nb::object shape = vx::own(Py_BuildValue("(ii)", 2, 2));
    nb::handle complex_type(reinterpret_cast<PyObject *>(&PyComplex_Type));
    nb::object a = vx::call(empty, {shape, complex_type}), b = vx::call(empty, {shape, complex_type});
    const std::vector<cplx> pairs = test_pairs();
    for (std::size_t k = 0; k + 8 <= pairs.size(); k += 8) {
        fill(a, &pairs[k]);
        fill(b, &pairs[k + 4]);
        nb::object numpys = vx::own(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
        cplx got[4], ours[4];
        if (!vx::read_complex_matrix(numpys.ptr(), 2, got))
            return false;
        engines::cproduct::product(&pairs[k], &pairs[k + 4], ours);
        for (int i = 0; i < 4; ++i)
            if (bits_of(got[i].real()) != bits_of(ours[i].real()) || bits_of(got[i].imag()) != bits_of(ours[i].imag()))
                return false;
    }
    return true;
}

}  // namespace

bool numpy_product_is_cpp() {
    static const bool verdict = product_is_numpys(vx::import("numpy"));
    return verdict;
}

}  // namespace vx::matrixapi
