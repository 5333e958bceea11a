// The product a @ b of two 2x2 complex128 matrices as numpy forms it where
// it hands the product to OpenBLAS's zgemm on an x86-64 processor with fused
// multiply-add (the SkylakeX kernels, numpy 2.4 with scipy-openblas 0.3.31):
// found by comparing candidate orders of operations with numpy's results on
// millions of inputs, zeros of either sign, cancelling and underflowing
// products among them.  No Python here; the matrix module compares this with
// numpy's own product when it loads and uses it only where they agree.
//
// Entry (i, j) comes from row i of a, (a0, a1), and column j of b, (b0, b1):
//  * real part: one accumulator r, each step r <- x * y - r with a single
//    rounding, taking a0.im * b0.im, a0.re * b0.re, a1.im * b1.im and
//    a1.re * b1.re in that order (the alternating sign makes it the real part
//    at the end); then r - i * 0, the imaginary part times zero;
//  * imaginary part: i <- x * y + i from +0, taking a0.im * b0.re,
//    a0.re * b0.im, a1.im * b1.re and a1.re * b1.im; then i + 0.
// The last steps change only the sign of a zero: numpy's imaginary parts are
// never -0, and a real part is -0 only as that rule gives it.
#pragma once

#include <cmath>
#include <complex>

namespace engines::cproduct {

using cplx = std::complex<double>;

// x, hidden from the optimiser: a negation is not moved into the fused
// multiply-add that made x (-fma(a, b, c) as fma(-a, b, -c) gives +0 where
// the negated result is -0).
inline double opaque(double x) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__("" : "+x"(x));
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__("" : "+w"(x));
#else
    volatile double v = x;
    x = v;
#endif
    return x;
}

#if defined(__GNUC__)
#define VX_INLINE [[gnu::always_inline]] inline
#else
#define VX_INLINE inline
#endif

VX_INLINE cplx entry(cplx a0, cplx a1, cplx b0, cplx b1) {
    double r = a0.imag() * b0.imag();
    r = std::fma(a0.real(), b0.real(), -opaque(r));
    r = std::fma(a1.imag(), b1.imag(), -opaque(r));
    r = std::fma(a1.real(), b1.real(), -opaque(r));
    double i = std::fma(a0.imag(), b0.real(), 0.0);
    i = std::fma(a0.real(), b0.imag(), i);
    i = std::fma(a1.imag(), b1.real(), i);
    i = std::fma(a1.real(), b1.imag(), i);
    return {opaque(r) - i * 0.0, opaque(i) + 0.0};
}

VX_INLINE void product_of(const cplx a[4], const cplx b[4], cplx out[4]) {
    out[0] = entry(a[0], a[1], b[0], b[2]);
    out[1] = entry(a[0], a[1], b[1], b[3]);
    out[2] = entry(a[2], a[3], b[0], b[2]);
    out[3] = entry(a[2], a[3], b[1], b[3]);
}

#if defined(__GNUC__) && defined(__x86_64__)
// The same with the processor's fused multiply-add instruction in place of
// the C library's fma (whose result is the same single rounding).
[[gnu::target("fma")]] inline void product_hw(const cplx a[4], const cplx b[4], cplx out[4]) { product_of(a, b, out); }
#endif

// out = a @ b, all three row-major (out may not alias a or b).
inline void product(const cplx a[4], const cplx b[4], cplx out[4]) {
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool hw = __builtin_cpu_supports("fma");
    if (hw) {
        product_hw(a, b, out);
        return;
    }
#endif
    product_of(a, b, out);
}

}  // namespace engines::cproduct
