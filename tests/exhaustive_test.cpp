// Proves every kernel set gives the plain definition's results, in four
// sweeps: every s = dx² + dy² in [0, 2^32) through the square root and the
// reduction; every float in [0, 360] through the sine; every distance on
// the far grid through its table (the weights' every reachable input); and
// both blends on every pair of bytes at 600 weights. Weights are
// compared by value: −0 and +0 blend alike. Two threads; about half a
// minute of wall time on the 2-core machine CI runs on, more on a processor
// without AVX-512.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <iomanip>
#include <cstring>
#include <thread>
#include <vector>

#include "compose.hpp"
#include "ripple.hpp"

namespace {

constexpr std::size_t chunk = 1 << 16;

std::uint32_t bits(float f)
{
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// Runs check(first, count) over [0, end) in chunks, on two threads, and
// returns the number of mismatches the chunks report.
template <class Check>
std::uint64_t sweep(std::uint64_t end, Check check)
{
    std::atomic<std::uint64_t> next{0}, bad{0};
    auto worker = [&] {
        for (std::uint64_t first; (first = next.fetch_add(chunk)) < end;)
            bad += check(first, std::size_t(std::min<std::uint64_t>(chunk, end - first)));
    };
    std::thread other(worker);
    worker();
    other.join();
    return bad;
}

// Runs one kernel of every set over `in` and counts the results whose
// values differ from `want`, reporting the first few.
template <class In, class Kernel>
std::uint64_t mismatches(const std::vector<In>& in, const std::vector<float>& want, std::size_t n,
                         Kernel kernel, const char* what)
{
    thread_local std::vector<float> got;
    got.resize(std::max<std::size_t>(n, chunk));
    std::uint64_t bad = 0;
    for (const kernel_set* p : kernel_sets()) {
        (p->*kernel)(in.data(), got.data(), n);
        for (std::size_t k = 0; k < n; k++)
            if (got[k] != want[k] && bad++ < 5)
                ADD_FAILURE() << std::setprecision(9) << p->name << ": " << what << " = " << +in[k]
                              << " gives " << got[k]
                              << ", not " << want[k];
    }
    return bad;
}

}  // namespace

TEST(exhaustive, distances_for_every_s)
{
    std::uint64_t bad = sweep(std::uint64_t(1) << 32, [&](std::uint64_t first, std::size_t n) {
        thread_local std::vector<std::uint32_t> s(chunk);
        thread_local std::vector<float> want(chunk);
        // The reference loop runs up to 182 times: reuse it while √s rounds
        // to the same float, as it does for long runs of large s.
        float last_d = -1.0f, last_r = 0.0f;
        for (std::size_t k = 0; k < n; k++) {
            s[k] = std::uint32_t(first + k);
            float d = float(std::sqrt(double(s[k])));
            if (d != last_d) {
                last_d = d;
                last_r = reduced_distance(s[k]);
            }
            want[k] = last_r;
        }
        return mismatches(s, want, n, &kernel_set::distances, "s");
    });
    EXPECT_EQ(bad, 0u);
}

TEST(exhaustive, weights_for_every_float_from_0_to_360)
{
    const std::uint64_t end = std::uint64_t(bits(360.0f)) + 1;
    std::uint64_t bad = sweep(end, [&](std::uint64_t first, std::size_t n) {
        thread_local std::vector<float> d(chunk), want(chunk);
        for (std::size_t k = 0; k < n; k++) {
            std::uint32_t b = std::uint32_t(first + k);
            std::memcpy(&d[k], &b, 4);
            want[k] = sine_weight(d[k]);
        }
        return mismatches(d, want, n, &kernel_set::weights, "d");
    });
    EXPECT_EQ(bad, 0u);
}

// Every multiple of 2^-8 in [0, 360], the reduced distances of every pixel
// at least 2^15 from the centre, in blocks that lie wholly on that grid (so
// the kernels look them up) and in blocks that do not.
TEST(exhaustive, weights_for_every_distance_on_the_far_grid)
{
    const std::size_t n = 360 * 256 + 1;
    std::vector<float> d(n), want(n);
    for (std::size_t k = 0; k < n; k++) {
        d[k] = float(k) / 256;
        want[k] = sine_weight(d[k]);
    }
    EXPECT_EQ(mismatches(d, want, n, &kernel_set::weights, "d"), 0u);
    std::vector<float> mixed(d), mixed_want(want);
    for (std::size_t k = 5; k < n; k += 97) {
        mixed[k] = std::nextafter(d[k], 400.0f);  // off the grid
        mixed_want[k] = sine_weight(mixed[k]);
    }
    EXPECT_EQ(mismatches(mixed, mixed_want, n, &kernel_set::weights, "d"), 0u);
}

// Every byte pair against each of 600 weights, the exact ones among them:
// pixel j takes weight (j + t) mod 600 in pass t, so every byte position
// within a vector meets every weight too. Both blends: by pixel, and as
// one run of bytes, which is run twice a pass with its padding (every
// seventh byte) in two places, so that every pair is blended there too.
TEST(exhaustive, blend_for_every_byte_pair)
{
    std::vector<float> ws = {0.0f, -0.0f, 1.0f, 0.5f, 0.70710677f, 0.087155744f, 1e-9f,
                             0.99999994f};
    std::uint32_t seed = 12345;
    while (ws.size() < 600) {
        seed = seed * 1664525u + 1013904223u;
        ws.push_back(float(seed >> 8) * 0x1p-24f);
    }
    const std::size_t pixels = 65536 / 3 + 1, bytes = 3 * pixels;
    std::vector<std::uint8_t> p1(bytes), p2(bytes), want(bytes), got(bytes), flat_want(bytes);
    for (std::size_t k = 0; k < bytes; k++) {
        p1[k] = std::uint8_t(k);
        p2[k] = std::uint8_t(k >> 8);
    }
    std::vector<float> w(pixels + 16);  // the run may read a vector past the last weight
    std::vector<std::int32_t> at(bytes);
    std::vector<std::uint8_t> keep[2] = {std::vector<std::uint8_t>(bytes), std::vector<std::uint8_t>(bytes)};
    for (std::size_t k = 0; k < bytes; k++) {
        at[k] = std::int32_t(k / 3);
        keep[0][k] = k % 7 != 6;
        keep[1][k] = k % 7 != 5;
    }
    for (const kernel_set* p : kernel_sets())
        for (std::size_t t = 0; t < ws.size(); t++) {
            for (std::size_t j = 0; j < pixels; j++)
                w[j] = ws[(j + t) % ws.size()];
            for (std::size_t k = 0; k < bytes; k++)
                want[k] = blend_byte(p1[k], p2[k], w[k / 3]);
            p->blend(p1.data(), p2.data(), w.data(), got.data(), pixels);
            ASSERT_EQ(got, want) << p->name << " in pass " << t;
            for (const auto& padding : keep) {
                for (std::size_t k = 0; k < bytes; k++)
                    flat_want[k] = padding[k] ? want[k] : 0;
                p->blend_flat(p1.data(), p2.data(), w.data(), got.data(), bytes, at.data(), padding.data());
                ASSERT_EQ(got, flat_want) << p->name << " (one run) in pass " << t;
            }
        }
}
