// Generic row kernels, written as plain loops for the compiler to vectorise.
// CMake compiles this file once per instruction set, with RIPPLE_ISA naming
// the namespace. Exactness does not rest on the compiler: the tests compare
// every copy with the plain definition, the distances and the weights over
// every reachable input, the blends over every pair of bytes at 600
// weights.
//
// Everything here but the table of kernels has internal linkage, and no
// library template or other inline code is instantiated here (a test reads
// the object files): the linker keeps one copy of such code for the whole
// program, and if it kept the AVX-512 one, every run on a processor without
// AVX-512 would die with SIGILL.
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <immintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

// Where the target has a fused multiply-add: x86 with FMA, or ARM (where
// it is part of every ARMv8 core).
#if defined(__FMA__) || defined(__ARM_FEATURE_FMA)
#define RIPPLE_HAS_FMA 1
#endif

#include "ripple.hpp"
#include "ripple_simd.hpp"

#ifndef RIPPLE_ISA
#error "RIPPLE_ISA must name the instruction set this copy is built for"
#endif

namespace ripple_isa::RIPPLE_ISA {
namespace {

std::size_t smaller(std::size_t a, std::size_t b) { return a < b ? a : b; }

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

// Taylor coefficients of sin(r)/r − 1 in r². On |r| ≤ π/2 the first term
// left out, r^19/19!, is below 5e-14: far inside the 2^-40 margin below.
constexpr double t3 = -1.0 / 6, t5 = 1.0 / 120, t7 = -1.0 / 5040, t9 = 1.0 / 362880,
                 t11 = -1.0 / 39916800, t13 = 1.0 / 6227020800, t15 = -1.0 / 1307674368000,
                 t17 = 1.0 / 355687428096000;

// a × b + c, fused where the processor can, which only makes this
// approximation faster and closer; the definition itself is never fused.
inline double mul_add(double a, double b, double c)
{
#ifdef RIPPLE_HAS_FMA
    return std::fma(a, b, c);
#else
    return a * b + c;
#endif
}

// d × 3.14159265 / 180 exactly as the definition rounds it. Division is
// slow on every vector unit; with a fused multiply-add one correction step
// after multiplying by 1/180 gives the same, correctly rounded quotient (the
// exhaustive test sees every d).
inline double degrees_to_radians(float d)
{
    double p = double(d) * 3.14159265;
#ifdef RIPPLE_HAS_FMA
    constexpr double inv = 1.0 / 180.0;
    double q = p * inv;
    return std::fma(std::fma(-q, 180.0, p), inv, q);
#else
    return p / 180.0;
#endif
}

// The double result is within a few units of its last place of the true
// sine, so its float rounding can differ from the library's only where a
// rounding boundary lies within 2^-40 of it. Such lanes are redone with the
// library sine. The lane logic works on bit patterns: the compiler will not
// vectorise a loop that branches on float comparisons.
void polynomial_weights(const float* d, float* w, std::size_t n)
{
    constexpr std::uint32_t redo = 0xffffffffu;  // a NaN, never a weight
    std::uint32_t any_redo = 0;
    for (std::size_t k = 0; k < n; k++) {
        double a = degrees_to_radians(d[k]);
        // |sin a| = |sin(a − mπ)| for m nearest to a/π; a − mπ is exact to
        // full relative precision, even next to the zeros of sine.
        double m = double(std::int32_t(a * (1.0 / 3.141592653589793) + 0.5));
        double r = mul_add(-m, pi_3, mul_add(-m, pi_2, mul_add(-m, pi_1, a)));
        double r2 = r * r;
        double p = t17;
        p = mul_add(p, r2, t15);
        p = mul_add(p, r2, t13);
        p = mul_add(p, r2, t11);
        p = mul_add(p, r2, t9);
        p = mul_add(p, r2, t7);
        p = mul_add(p, r2, t5);
        p = mul_add(p, r2, t3);
        double y = mul_add(r * r2, p, r);  // ± sin a
        std::uint32_t near = bits(float(y * (1.0 - 0x1p-40))) ^ bits(float(y * (1.0 + 0x1p-40)));
        any_redo |= near;
        // |sin a|. (The definition's own negation gives −0 where sin a is 0,
        // which no byte can tell from +0.)
        std::uint32_t f = bits(float(y)) & 0x7fffffffu;
        f |= 0u - ((near | (0u - near)) >> 31);  // all ones when near != 0
        std::memcpy(&w[k], &f, 4);
    }
    if (any_redo)
        for (std::size_t k = 0; k < n; k++)
            if (bits(w[k]) == redo)
                w[k] = sine_weight(d[k]);
}

// Far from the centre every distance is at least 2^15, where floats are
// 2^-8 apart, so every reduced distance there is a multiple of 2^-8 in
// [0, 360]: one of 92,161 values. Their weights are computed once, by the
// polynomial above, and looked up; a block of distances that all lie on
// that grid (wherever they come from) takes its weights from the table.
constexpr int grid = 256;
constexpr std::size_t grid_points = 360 * grid + 1;

struct grid_table {
    float w[grid_points];
};

grid_table make_grid()
{
    grid_table t;
    constexpr std::size_t block = 256;
    for (std::size_t k = 0; k < grid_points; k += block) {
        float d[block];
        const std::size_t m = smaller(block, grid_points - k);
        for (std::size_t j = 0; j < m; j++)
            d[j] = float(k + j) / grid;  // exact: k + j has at most 17 bits
        polynomial_weights(d, t.w + k, m);
    }
    return t;
}

const float* grid_weights()
{
    static const grid_table table = make_grid();
    return table.w;
}

void look_up(const float* __restrict table, const float* __restrict d, float* __restrict w,
             std::size_t m)
{
    for (std::size_t j = 0; j < m; j++)
        w[j] = table[std::int32_t(d[j] * float(grid))];
}

void weights(const float* d, float* w, std::size_t n)
{
    constexpr std::size_t block = 64;
    const float* table = nullptr;
    for (std::size_t k = 0; k < n; k += block) {
        const std::size_t m = smaller(block, n - k);
        std::uint32_t off_grid = 0;
        for (std::size_t j = 0; j < m; j++) {
            const float t = d[k + j] * float(grid);  // exact: a power of two
            off_grid |= bits(t) ^ bits(float(std::int32_t(t)));
        }
        if (off_grid) {
            polynomial_weights(d + k, w + k, m);
            continue;
        }
        if (!table)
            table = grid_weights();
        look_up(table, d + k, w + k, m);
    }
}

// The blend works on groups of `lanes` pixels, 3 × lanes bytes: each third
// of a group is one vector, whose lanes take their pixel's weight through a
// fixed shuffle, which GCC maps to one permute.
#if defined(__AVX512F__)
constexpr int lanes = 16;
#elif defined(__AVX__)
constexpr int lanes = 8;
#else
constexpr int lanes = 4;
#endif
typedef float vf __attribute__((vector_size(4 * lanes)));
typedef std::int32_t vi __attribute__((vector_size(4 * lanes)));

// Lane l of third `part` takes pixel (part × lanes + l) / 3.
template <int part, std::size_t... l>
inline vf spread_part(vf v, std::index_sequence<l...>)
{
#ifdef __clang__
    return __builtin_shufflevector(v, v, int((part * lanes + l) / 3)...);
#else
    return __builtin_shuffle(v, vi{int((part * lanes + l) / 3)...});
#endif
}

// `lanes` bytes to floats and back, truncating. The vectoriser does not
// widen bytes to floats by itself here, so it is told how.
inline vf to_floats(const std::uint8_t* p)
{
#if defined(__AVX512F__)
    __m512i v = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return vf(_mm512_cvtepi32_ps(v));
#elif defined(__AVX2__)
    __m256i v = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    return vf(_mm256_cvtepi32_ps(v));
#elif defined(__SSE2__)
    std::int32_t four;
    std::memcpy(&four, p, 4);
    const __m128i zero = _mm_setzero_si128();
    __m128i v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero), zero);
    return vf(_mm_cvtepi32_ps(v));
#elif defined(__ARM_NEON)
    std::uint32_t four;
    std::memcpy(&four, p, 4);
    const uint16x8_t h = vmovl_u8(vreinterpret_u8_u32(vdup_n_u32(four)));
    return vf(vcvtq_f32_u32(vmovl_u16(vget_low_u16(h))));
#else
    vf f;
    for (int l = 0; l < lanes; l++)
        f[l] = float(p[l]);
    return f;
#endif
}

inline void to_bytes(vf f, std::uint8_t* p)
{
#if defined(__AVX512F__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_cvtepi32_epi8(_mm512_cvttps_epi32(__m512(f))));
#elif defined(__AVX2__)
    __m256i v = _mm256_cvttps_epi32(__m256(f));
    __m128i w = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(w, w));
#elif defined(__SSE2__)
    __m128i v = _mm_cvttps_epi32(__m128(f));
    v = _mm_packs_epi32(v, v);
    std::int32_t four = _mm_cvtsi128_si32(_mm_packus_epi16(v, v));
    std::memcpy(p, &four, 4);
#elif defined(__ARM_NEON)
    // Truncating toward zero, as the definition's conversion does.
    const uint16x4_t h = vmovn_u32(vcvtq_u32_f32(float32x4_t(f)));
    const std::uint32_t four = vget_lane_u32(vreinterpret_u32_u8(vmovn_u16(vcombine_u16(h, h))), 0);
    std::memcpy(p, &four, 4);
#else
    for (int l = 0; l < lanes; l++)
        p[l] = static_cast<std::uint8_t>(f[l]);
#endif
}

// blend_byte on `lanes` bytes at once, in the same operations and order.
template <int part>
inline void blend_part(vf w, const std::uint8_t* p1, const std::uint8_t* p2, std::uint8_t* out)
{
    const vf wp = spread_part<part>(w, std::make_index_sequence<lanes>());
    const vf value = to_floats(p2 + part * lanes) * (1.0f - wp) + to_floats(p1 + part * lanes) * wp;
    to_bytes(value, out + part * lanes);
}

void blend(const std::uint8_t* __restrict p1, const std::uint8_t* __restrict p2,
           const float* __restrict w, std::uint8_t* __restrict out, std::size_t pixels)
{
    std::size_t j = 0;
    for (; j + lanes <= pixels; j += lanes) {
        vf v;
        std::memcpy(&v, w + j, sizeof v);
        blend_part<0>(v, p1 + 3 * j, p2 + 3 * j, out + 3 * j);
        blend_part<1>(v, p1 + 3 * j, p2 + 3 * j, out + 3 * j);
        blend_part<2>(v, p1 + 3 * j, p2 + 3 * j, out + 3 * j);
    }
    for (; j < pixels; j++)
        for (std::size_t c = 0; c < 3; c++)
            out[3 * j + c] = blend_byte(p1[3 * j + c], p2[3 * j + c], w[j]);
}

// `lanes` bytes take their weights from at most lanes / 3 + 2 pixels that
// follow each other, so one load of `lanes` weights from the first holds
// them all, and a permute within a register, not a gather from memory,
// hands each byte its weight. Without AVX2 there is no such permute, and
// the plain loop is faster.
#if defined(__AVX2__)
inline vf permute(vf window, vi index)
{
#ifdef __clang__
    vf v;
    for (int l = 0; l < lanes; l++)
        v[l] = window[index[l]];
    return v;
#else
    return __builtin_shuffle(window, index);
#endif
}
#endif

void blend_flat(const std::uint8_t* __restrict p1, const std::uint8_t* __restrict p2,
                const float* __restrict w, std::uint8_t* __restrict out, std::size_t bytes,
                const std::int32_t* __restrict at, const std::uint8_t* __restrict keep)
{
    std::size_t t = 0;
#if defined(__AVX2__)  // where a register permute of floats is one instruction
    for (; t + lanes <= bytes; t += lanes) {
        vf window;
        std::memcpy(&window, w + at[t], sizeof window);
        vi index;
        std::memcpy(&index, at + t, sizeof index);
        const vf wv = permute(window, index - at[t]);
        const vf value = to_floats(p2 + t) * (1.0f - wv) + to_floats(p1 + t) * wv;
        to_bytes(value * to_floats(keep + t), out + t);  // × 1 or × 0: exact
    }
#endif
    for (; t < bytes; t++)
        out[t] = blend_byte(p1[t], p2[t], w[at[t]]) & std::uint8_t(0 - keep[t]);
}

}  // namespace

extern const kernel_set kernels{RIPPLE_ISA_NAME, distances, weights, blend, blend_flat};

}  // namespace ripple_isa::RIPPLE_ISA
