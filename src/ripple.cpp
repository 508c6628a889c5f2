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
    const std::uint8_t* p1 = in1.row(i) + 3 * std::size_t(j);
    const std::uint8_t* p2 = in2.row(i) + 3 * std::size_t(j);
    for (int c = 0; c < 3; c++)
        pixout[c] = blend_byte(p1[c], p2[c], weight);
}

void compose_ripple_plain(const bmp_input& in1, const bmp_input& in2, std::int32_t pad_out,
                          std::int32_t x, std::int32_t y)
{
    const std::size_t stride = 3 * std::size_t(in1.width) + std::size_t(pad_out);
    for (std::int32_t i = 0; i < in1.height; i++) {
        std::uint8_t* row = pixs_out.memory.data + std::size_t(i) * stride;
        for (std::int32_t j = 0; j < in1.width; j++) {
            blend_pixel(in1, in2, i, j, ripple_weight(i, j, x, y));
            std::memcpy(row + 3 * std::size_t(j), pixout, 3);
        }
        std::memset(row + 3 * std::size_t(in1.width), 0, std::size_t(pad_out));
    }
}

namespace {

// Weights per kernel call. The |dx| range a row spans is cut into chunks
// of this size, and a narrow picture batches several rows into one call.
constexpr std::int64_t chunk = 4096;

// Rows narrower than this, with both inputs laid out alike, are blended a
// batch of rows at a time as one run of bytes: a call per row would cost
// more than the row.
constexpr std::int64_t narrow = 32;

// Columns [j0, j1) of the rows of a strip, composed at `out` (for the
// strip's first k) onwards.
struct strip_part {
    std::int64_t j0 = 0, j1 = 0;
    std::uint8_t* out = nullptr;
};

// The rows y + k (dir +1) or y − k (dir −1) of a band, for k in [k0, k1):
// each side of the centre's row is one run of consecutive rows. The left
// and the right part of their columns are one strip where a strip holds
// whole rows, else a strip each.
struct strip_rows {
    std::int64_t k0 = 0, k1 = 0;
    std::int64_t first_row = 0;  // the row for k0
    std::int64_t dir = 1;
    std::ptrdiff_t out_step = 0;  // from the row for k to that for k + 1
    strip_part part[2];           // left, right
    int strips = 0;
    struct {
        int which;
        std::uint64_t offset;
        std::size_t bytes;
    } strip[2];

    std::int64_t row(std::int64_t k) const { return first_row + dir * (k - k0); }
    // Column j of the row for k, in its part.
    std::uint8_t* at(const strip_part& p, std::int64_t k, std::int64_t j) const
    {
        return p.out + (k - k0) * out_step + 3 * (j - p.j0);
    }
};

// Asks for the rows of the band after this one, where the pictures do not
// fit in memory and so were not read in at the start.
void read_ahead(const bmp_input& in, const strip_rows& r)
{
    if (!in.read_ahead || r.k0 >= r.k1)
        return;
    const std::uint8_t* a = in.row(r.row(r.k0));
    const std::uint8_t* b = in.row(r.row(r.k1 - 1));
    for (const strip_part& p : r.part)
        if (p.j0 < p.j1)
            in.file.prefetch(std::min(a, b) + 3 * p.j0,
                             std::size_t(std::abs(b - a)) + 3 * std::size_t(p.j1 - p.j0), false);
}

}  // namespace

// The weight depends on dx² + dy² only, so it is computed per |dx| and per
// |dy|, not per pixel: a row's weights come from a table over the |dx| its
// columns span, shared by the columns left and right of the centre, and the
// rows y + k and y − k share one table. Inside the picture a quarter of the
// weights are computed. The output is made in strips from the centre's row
// outwards: strips of whole rows, or, where a row is longer than a strip,
// windows of one row that take a range of |dx| on both sides of the centre.
void compose_ripple_with(const ripple_path& path, const bmp_input& in1, const bmp_input& in2,
                         std::int32_t pad_out, std::int32_t x, std::int32_t y)
{
    const std::int64_t w = in1.width, h = in1.height, pad = pad_out, cx = x, cy = y;
    const std::int64_t stride = 3 * w + pad;
    const std::int64_t cap = std::int64_t(pixs_out.strip_size);
    const bool windowed = stride > cap;
    const std::int64_t band = windowed ? 1 : cap / stride;
    const bool flat = !windowed && w < narrow && in2.stride == in1.stride;

    // k = |i − y| over the rows, m = |j − x| over the columns.
    const std::int64_t k_lo = cy >= 0 && cy < h ? 0 : std::min(std::abs(cy), std::abs(h - 1 - cy));
    const std::int64_t k_hi = std::max(std::abs(cy), std::abs(h - 1 - cy));
    const std::int64_t m_lo = cx >= 0 && cx < w ? 0 : std::min(std::abs(cx), std::abs(w - 1 - cx));
    const std::int64_t m_hi = std::max(std::abs(cx), std::abs(w - 1 - cx));
    const std::int64_t span = windowed ? std::max<std::int64_t>(1, cap / 3) : m_hi - m_lo + 1;

    std::vector<std::uint32_t> dx2(chunk), s(chunk);
    std::vector<float> d(chunk), wt(chunk), wpix(2 * chunk);
    // For the flat runs: where each byte's weight is, from the weights of
    // the run's first row, for runs whose rows go the same way as their
    // weights (up) and the other way (down); and a mask that keeps the
    // pixels' bytes and zeroes the padding.
    std::vector<std::int32_t> run_up, run_down;
    std::vector<std::uint8_t> run_keep;
    if (flat) {
        const std::int64_t bytes = std::max<std::int64_t>(1, chunk / span) * stride;
        for (std::int64_t t = 0; t < bytes; t++) {
            const std::int64_t b = t % stride, col = b < 3 * w ? b / 3 : 0;
            run_up.push_back(std::int32_t(t / stride * w + col));
            run_down.push_back(std::int32_t(col - t / stride * w));
            run_keep.push_back(b < 3 * w ? 0xff : 0);
        }
    }

    // A window: the columns left of the centre with m in [w0, w1), m ≥ 1,
    // and those right of it (and on it).
    for (std::int64_t w0 = m_lo; w0 <= m_hi; w0 += span) {
        const std::int64_t w1 = std::min(m_hi + 1, w0 + span);
        const strip_part left{std::max<std::int64_t>(0, cx - w1 + 1),
                              std::min(w, cx - std::max<std::int64_t>(w0, 1) + 1)};
        const strip_part right{std::max<std::int64_t>(0, cx + w0), std::min(w, cx + w1)};

        // The rows of the band [k0, k1) on one side of the centre's row,
        // with their strips opened where `open`.
        auto side = [&](std::int64_t k0, std::int64_t k1, std::int64_t dir, bool open) {
            strip_rows r;
            r.dir = dir;
            r.k0 = dir > 0 ? std::max(k0, -cy) : std::max({k0, std::int64_t(1), cy - h + 1});
            r.k1 = std::max(r.k0, dir > 0 ? std::min(k1, h - cy) : std::min(k1, cy + 1));
            r.first_row = cy + dir * r.k0;
            r.part[0] = left;
            r.part[1] = right;
            if (r.k0 == r.k1 || !open)
                return r;
            const std::int64_t n = r.k1 - r.k0;
            const std::int64_t lowest = dir > 0 ? r.first_row : r.first_row - (n - 1);
            r.out_step = dir * stride;
            for (int p = 0; p < 2; p++) {
                strip_part& part = r.part[p];
                if (part.j0 >= part.j1)
                    continue;
                if (!windowed && r.strips == 1) {  // both parts are in the one strip of rows
                    part.out = r.part[0].out + 3 * (part.j0 - r.part[0].j0);
                    continue;
                }
                const std::int64_t j0 = windowed ? part.j0 : 0, j1 = windowed ? part.j1 : w;
                auto& strip = r.strip[r.strips++];
                strip.which = 2 * (dir < 0) + p;
                strip.offset = std::uint64_t(lowest * stride + 3 * j0);
                strip.bytes = std::size_t((n - 1) * stride + 3 * (j1 - j0) + (j1 == w ? pad : 0));
                std::uint8_t* first = pixs_out.strip(strip.which, strip.offset, strip.bytes);
                part.out = (dir > 0 ? first : first + (n - 1) * stride) + 3 * (part.j0 - j0);
            }
            return r;
        };

        for (std::int64_t k0 = k_lo; k0 <= k_hi; k0 += band) {
            const std::int64_t k1 = std::min(k_hi + 1, k0 + band);
            const strip_rows sides[2] = {side(k0, k1, 1, true), side(k0, k1, -1, true)};
            for (std::int64_t dir : {1, -1}) {
                const strip_rows next = side(k1, k1 + band, dir, false);
                read_ahead(in1, next);
                read_ahead(in2, next);
            }

            for (std::int64_t ma = w0; ma < w1; ma += chunk) {
                const std::int64_t mb = std::min(w1, ma + chunk), cl = mb - ma;  // this chunk's m
                const std::int64_t jl0 = std::max(left.j0, cx - mb + 1);
                const std::int64_t jl1 = std::min(left.j1, cx - std::max<std::int64_t>(ma, 1) + 1);
                const std::int64_t jr0 = std::max(right.j0, cx + ma), jr1 = std::min(right.j1, cx + mb);
                const std::int64_t nl = std::max<std::int64_t>(0, jl1 - jl0);
                const std::int64_t nr = std::max<std::int64_t>(0, jr1 - jr0);
                const std::int64_t seg = nl + nr;
                if (seg == 0)
                    continue;
                const std::int64_t batch = std::max<std::int64_t>(1, chunk / cl);
                // Where the chunk's columns lie on one side of the centre,
                // as they all do for a centre outside the picture, the
                // table is made in column order and is the row's weights.
                const bool one_side = nr == 0 || nl == 0;
                for (std::int64_t t = 0; t < cl; t++) {
                    const std::uint32_t dx = std::uint32_t(nr == 0 ? mb - 1 - t : ma + t);
                    dx2[std::size_t(t)] = dx * dx;
                }

                for (std::int64_t kb0 = k0; kb0 < k1; kb0 += batch) {
                    const std::int64_t nk = std::min(batch, k1 - kb0);
                    for (std::int64_t q = 0; q < nk; q++) {
                        const std::uint32_t dy = std::uint32_t(kb0 + q), dy2 = dy * dy;
                        std::uint32_t* sq = s.data() + q * cl;
                        for (std::int64_t t = 0; t < cl; t++)
                            sq[t] = dy2 + dx2[std::size_t(t)];
                    }
                    path.distances(s.data(), d.data(), std::size_t(nk * cl));
                    path.weights(d.data(), wt.data(), std::size_t(nk * cl));
                    // Each row's weights in column order: the left columns,
                    // which read the table backwards, then the right ones.
                    for (std::int64_t q = 0; q < nk && !one_side; q++) {
                        float* wp = wpix.data() + q * seg;
                        const float* wq = wt.data() + q * cl;
                        for (std::int64_t j = jl0; j < jl1; j++)
                            wp[j - jl0] = wq[cx - j - ma];
                        for (std::int64_t j = jr0; j < jr1; j++)
                            wp[nl + j - jr0] = wq[j - cx - ma];
                    }
                    const float* w = one_side ? wt.data() : wpix.data();

                    for (const strip_rows& r : sides) {
                        const std::int64_t ka = std::max(kb0, r.k0), kb = std::min(kb0 + nk, r.k1);
                        if (ka >= kb)
                            continue;
                        if (flat) {  // one run of rows in storage order, padding and all
                            const std::int64_t low = r.dir > 0 ? ka : kb - 1;
                            const std::int64_t i = r.row(low);
                            path.blend_flat(in1.row(i), in2.row(i), w + (low - kb0) * seg,
                                            r.at(r.part[0].j0 < r.part[0].j1 ? r.part[0] : r.part[1], low, 0),
                                            std::size_t((kb - ka) * stride),
                                            r.dir > 0 ? run_up.data() : run_down.data(),
                                            run_keep.data());
                            continue;
                        }
                        for (std::int64_t k = ka; k < kb; k++) {
                            const std::int64_t i = r.row(k);
                            const float* wrow = w + (k - kb0) * seg;
                            if (nl)
                                path.blend(in1.row(i) + 3 * jl0, in2.row(i) + 3 * jl0, wrow,
                                           r.at(r.part[0], k, jl0), std::size_t(nl));
                            if (nr)
                                path.blend(in1.row(i) + 3 * jr0, in2.row(i) + 3 * jr0, wrow + nl,
                                           r.at(r.part[1], k, jr0), std::size_t(nr));
                        }
                    }
                }
            }

            for (const strip_rows& r : sides) {
                // The part that ends the row carries its padding; the flat
                // runs have zeroed it already.
                for (const strip_part& p : r.part) {
                    if (flat || p.j0 >= p.j1 || p.j1 != w)
                        continue;
                    for (std::int64_t k = r.k0; k < r.k1; k++)
                        for (std::int64_t b = 0; b < pad; b++)
                            r.at(p, k, w)[b] = 0;
                }
                for (int k = 0; k < r.strips; k++)
                    pixs_out.put(r.strip[k].which, r.strip[k].offset, r.strip[k].bytes);
            }
        }
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
