#include "ripple.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "ripple_simd.hpp"

std::uint8_t pixout[3];

float reduced_distance(std::uint32_t s)
{
    float d = float(std::sqrt(double(s)));
    while (d > 360.0f)
        d = d - 360.0f;
    return d;
}

float sine_weight(float d)
{
    // 3.14159265, not full π: the constant is part of the output's definition.
    float weight = float(std::sin(double(d) * 3.14159265 / 180.0));
    if (!(weight > 0.0f))
        weight = -weight;
    return weight;
}

void blend_pixel(const bmp_input& in1, const bmp_input& in2, std::int32_t i, std::int32_t j,
                 float weight)
{
    const std::uint8_t* p1 = in1.rows[std::size_t(i)] + 3 * std::size_t(j);
    const std::uint8_t* p2 = in2.rows[std::size_t(i)] + 3 * std::size_t(j);
    for (int c = 0; c < 3; c++)
        pixout[c] = blend_byte(p1[c], p2[c], weight);
}

void compose_ripple_plain(const bmp_input& in1, const bmp_input& in2, std::int32_t pad_out,
                          std::int32_t x, std::int32_t y)
{
    const std::size_t stride = 3 * std::size_t(in1.width) + std::size_t(pad_out);
    for (std::int32_t i = 0; i < in1.height; i++) {
        std::uint8_t* row = pixs_out.data + std::size_t(i) * stride;
        for (std::int32_t j = 0; j < in1.width; j++) {
            blend_pixel(in1, in2, i, j, ripple_weight(i, j, x, y));
            std::memcpy(row + 3 * std::size_t(j), pixout, 3);
        }
        std::memset(row + 3 * std::size_t(in1.width), 0, std::size_t(pad_out));
    }
}

// The weight depends on dx² + dy² only. So a row's weights come from a table
// over the |dx| it spans, which a centre inside the row halves, and the row
// mirrored about y shares them: inside the picture a quarter of the weights
// are computed.
void compose_ripple_with(const ripple_path& path, const bmp_input& in1, const bmp_input& in2,
                         std::int32_t pad_out, std::int32_t x, std::int32_t y)
{
    const std::int64_t w = in1.width, h = in1.height;
    const std::size_t row_bytes = 3 * std::size_t(w);
    const std::size_t stride = row_bytes + std::size_t(pad_out);

    const std::int64_t dx_first = -std::int64_t(x), dx_last = w - 1 - std::int64_t(x);
    const std::int64_t m_lo = dx_first <= 0 && dx_last >= 0
                                  ? 0
                                  : std::min(std::abs(dx_first), std::abs(dx_last));
    const std::int64_t m_hi = std::max(std::abs(dx_first), std::abs(dx_last));
    const std::size_t n = std::size_t(m_hi - m_lo + 1);

    std::vector<std::uint32_t> dx2(n), s(n);
    std::vector<float> d(n), wt(n), wrow(static_cast<std::size_t>(w)), wb(row_bytes);
    for (std::size_t k = 0; k < n; k++) {
        std::uint32_t m = std::uint32_t(m_lo + std::int64_t(k));
        dx2[k] = m * m;
    }

    // Columns left of the centre read the table backwards.
    const std::int64_t split = std::clamp<std::int64_t>(x, 0, w);
    const std::int64_t left = std::int64_t(x) - m_lo, right = std::int64_t(x) + m_lo;

    auto blend_row = [&](std::int64_t i) {
        std::uint8_t* out = pixs_out.data + std::size_t(i) * stride;
        path.blend(in1.rows[std::size_t(i)], in2.rows[std::size_t(i)], wb.data(), out, row_bytes);
        std::memset(out + row_bytes, 0, std::size_t(pad_out));
    };

    for (std::int64_t i = 0; i < h; i++) {
        const std::int64_t mirror = 2 * std::int64_t(y) - i;
        if (mirror >= 0 && mirror < i)
            continue;  // done together with its mirror
        const std::uint32_t dy = std::uint32_t(i) - std::uint32_t(y);
        const std::uint32_t dy2 = dy * dy;
        for (std::size_t k = 0; k < n; k++)
            s[k] = dy2 + dx2[k];
        path.distances(s.data(), d.data(), n);
        path.weights(d.data(), wt.data(), n);

        for (std::int64_t j = 0; j < split; j++)
            wrow[std::size_t(j)] = wt[std::size_t(left - j)];
        for (std::int64_t j = split; j < w; j++)
            wrow[std::size_t(j)] = wt[std::size_t(j - right)];
        path.spread(wrow.data(), wb.data(), wrow.size());
        blend_row(i);
        if (mirror > i && mirror < h)
            blend_row(mirror);
    }
}

void compose_ripple(const bmp_input& in1, const bmp_input& in2, std::int32_t pad_out,
                    std::int32_t x, std::int32_t y)
{
    compose_ripple_with(*ripple_paths().front(), in1, in2, pad_out, x, y);
}

namespace ripple_isa {
#if defined(__x86_64__) || defined(__i386__)
namespace avx512 { extern const ripple_path path; }
namespace avx2 { extern const ripple_path path; }
#endif
namespace baseline { extern const ripple_path path; }
}  // namespace ripple_isa

std::span<const ripple_path* const> ripple_paths()
{
    static const auto paths = [] {
        std::vector<const ripple_path*> p;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
            __builtin_cpu_supports("fma"))
            p.push_back(&ripple_isa::avx512::path);
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
            p.push_back(&ripple_isa::avx2::path);
#endif
        p.push_back(&ripple_isa::baseline::path);
        return p;
    }();
    return paths;
}
