// Generic row kernels, written as plain loops for the compiler to vectorise.
// CMake compiles this file once per instruction set, with RIPPLE_ISA naming
// the namespace. Exactness does not rest on the compiler: the tests compare
// every path with the plain definition over every reachable input.
#include <cmath>
#include <cstring>

#include "ripple.hpp"
#include "ripple_simd.hpp"

#ifndef RIPPLE_ISA
#error "RIPPLE_ISA must name the instruction set this copy is built for"
#endif

namespace ripple_isa::RIPPLE_ISA {

inline std::uint32_t bits(float f)
{
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// The reduction loop subtracts 360 while d > 360. Every reachable d is at
// most 65536, a multiple of its float spacing (at most 2^-7), and 360 is a
// multiple of 8, so each subtraction is exact and the loop ends at
// d − 360k, k = max(0, ceil(d / 360) − 1): multiples of 360 end at 360, not
// 0. Taking 2^-16 off d first (every non-zero d is at least 2^-15 past a
// multiple of 360, or on one) turns that k into a plain truncation.
void distances(const std::uint32_t* s, float* d, std::size_t n)
{
    for (std::size_t k = 0; k < n; k++) {
        // uint32 → double through int32, which every vector unit converts.
        double sd = double(std::int32_t(s[k] ^ 0x80000000u)) + 2147483648.0;
        double dd = double(float(__builtin_sqrt(sd)));
        double q = double(std::int32_t((dd - 0x1p-16) * (1.0 / 360.0)));
        d[k] = float(dd - 360.0 * q);
    }
}

// π in three parts: the first two have 32 significant bits, so n × part is
// exact for n ≤ 2 and a − nπ is found to full relative precision even next
// to the zeros of sine.
constexpr double pi_1 = 0x1.921fb544p+1, pi_2 = 0x1.0b4611a6p-33, pi_3 = 0x1.3198a2e037073p-68;

// Taylor coefficients of sin(r)/r − 1 in r²: on |r| ≤ π/2 the first term
// left out, r^25/25!, is below 6e-21.
constexpr double t3 = -1.0 / 6, t5 = 1.0 / 120, t7 = -1.0 / 5040, t9 = 1.0 / 362880,
                 t11 = -1.0 / 39916800, t13 = 1.0 / 6227020800, t15 = -1.0 / 1307674368000,
                 t17 = 1.0 / 355687428096000, t19 = -1.0 / 121645100408832000,
                 t21 = 1.0 / 51090942171709440000.0, t23 = -1.0 / 25852016738884976640000.0;

// The double result is within a few units of its last place of the true
// sine, so its float rounding can differ from the library's only where a
// rounding boundary lies within 2^-40 of it. Such lanes are redone with the
// library sine. The lane logic works on bit patterns: the compiler will not
// vectorise a loop that branches on float comparisons.
void weights(const float* d, float* w, std::size_t n)
{
    constexpr std::uint32_t redo = 0xffffffffu;  // a NaN, never a weight
    std::uint32_t any_redo = 0;
    for (std::size_t k = 0; k < n; k++) {
        double a = double(d[k]) * 3.14159265 / 180.0;
        std::int32_t m = std::int32_t(a * (1.0 / 3.141592653589793) + 0.5);  // nearest to a/π
        double md = double(m);
        double r = ((a - md * pi_1) - md * pi_2) - md * pi_3;
        double r2 = r * r;
        double p = ((((((((((t23 * r2 + t21) * r2 + t19) * r2 + t17) * r2 + t15) * r2 + t13) *
                            r2 + t11) * r2 + t9) * r2 + t7) * r2 + t5) * r2 + t3);
        double y = (r + r * (r2 * p)) * double(1 - 2 * (m & 1));  // sin a = (−1)^m sin(a − mπ)
        std::uint32_t f = bits(float(y));
        std::uint32_t near = bits(float(y * (1.0 - 0x1p-40))) ^ bits(float(y * (1.0 + 0x1p-40)));
        any_redo |= near;
        // Not greater than 0 (−0, +0 or negative): negated, as the definition says.
        f ^= std::int32_t(f) <= 0 ? 0x80000000u : 0u;
        f |= 0u - ((near | (0u - near)) >> 31);  // all ones when near != 0
        std::memcpy(&w[k], &f, 4);
    }
    if (any_redo)
        for (std::size_t k = 0; k < n; k++)
            if (bits(w[k]) == redo)
                w[k] = sine_weight(d[k]);
}

void blend(const std::uint8_t* p1, const std::uint8_t* p2, const float* wb, std::uint8_t* out,
           std::size_t n)
{
    for (std::size_t k = 0; k < n; k++)
        out[k] = blend_byte(p1[k], p2[k], wb[k]);
}

extern const ripple_path path{RIPPLE_ISA_NAME, distances, weights, blend};

}  // namespace ripple_isa::RIPPLE_ISA
