// Python's float arithmetic where it differs from C's, for engines that must
// give the same doubles as the Python expressions they replace.  No Python
// here; the interpreter's own algorithms, step for step.
#pragma once

#include <cmath>

namespace engines::pyfloat {

// x // y for floats (y != 0): the floor of the quotient, corrected so that
// x == (x // y) * y + x % y as nearly as doubles allow; a zero result takes
// the sign of x / y.
inline double floor_div(double x, double y) {
    double mod = std::fmod(x, y);
    double div = (x - mod) / y;
    if (mod != 0.0 && ((y < 0) != (mod < 0)))
        div -= 1.0;
    if (div == 0.0)
        return std::copysign(0.0, x / y);
    double fl = std::floor(div);
    if (div - fl > 0.5)
        fl += 1.0;
    return fl;
}

// round(x) for a finite float: the nearest integer, an exact half going to
// the even one (2.5 -> 2, 3.5 -> 4, -0.5 -> -0.0).
inline double round_half_even(double x) {
    double r = std::round(x);
    if (std::fabs(x - r) == 0.5)
        r = 2.0 * std::round(x / 2.0);
    return r;
}

}  // namespace engines::pyfloat
