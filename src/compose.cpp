// The weight depends on dx² + dy² only, so it is computed per |dx| and per
// |dy|, not per pixel: a row's weights come from a table over the |dx| its
// columns span, shared by the columns left and right of the centre, and the
// rows y + k and y − k share one table. The output is made in strips from
// the centre's row outwards: strips of whole rows, or, where a row is longer
// than a strip, windows of one row that take a range of |dx| on both sides
// of the centre.
#include "compose.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "bitmap.hpp"
#include "error.hpp"

namespace {

// Weights per kernel call. The |dx| range a row spans is cut into chunks
// of this size, and a narrow picture batches several rows into one call.
constexpr std::int64_t chunk = 4096;

// Rows narrower than this, with both inputs laid out alike, are blended a
// batch of rows at a time as one run of bytes: a call per row would cost
// more than the row. Being narrower than a chunk, such a row is always
// covered by one chunk.
constexpr std::int64_t flat_width_limit = 32;
static_assert(flat_width_limit <= chunk);

// Floats a weight buffer holds past its last weight, for the flat blend.
constexpr std::int64_t weight_slack = 16;

// What the composition covers, in k = |i − y| over the rows and m = |j − x|
// over the columns.
struct plan {
    std::int64_t width = 0, height = 0, stride = 0, cx = 0, cy = 0;
    bool windowed = false;  // a row is longer than a strip: strips are windows of one row
    std::int64_t band = 1;  // rows per strip on each side of the centre's row
    bool flat = false;      // narrow rows, blended as one run of bytes
    std::int64_t k_lo = 0, k_hi = 0, m_lo = 0, m_hi = 0;
    std::int64_t span = 0;  // m per window
};

std::int64_t nearest(std::int64_t c, std::int64_t n)
{
    return c >= 0 && c < n ? 0 : std::min(std::abs(c), std::abs(n - 1 - c));
}

std::int64_t farthest(std::int64_t c, std::int64_t n) { return std::max(std::abs(c), std::abs(n - 1 - c)); }

plan make_plan(const image_view& in1, const image_view& in2, std::int32_t x, std::int32_t y,
               std::size_t strip_size)
{
    plan p;
    p.width = in1.width;
    p.height = in1.height;
    p.stride = row_length(p.width);
    p.cx = x;
    p.cy = y;
    const std::int64_t cap = std::int64_t(strip_size);
    p.windowed = p.stride > cap;
    p.band = p.windowed ? 1 : cap / p.stride;  // so a band's rows fit in a strip
    p.flat = !p.windowed && p.width < flat_width_limit && in2.stride == in1.stride;
    p.k_lo = nearest(p.cy, p.height);
    p.k_hi = farthest(p.cy, p.height);
    p.m_lo = nearest(p.cx, p.width);
    p.m_hi = farthest(p.cx, p.width);
    // A window's 3 × span bytes fit in a strip; the padding that may end
    // the row fits in the three bytes more that a strip can hold.
    p.span = p.windowed ? std::max<std::int64_t>(1, cap / 3) : p.m_hi - p.m_lo + 1;
    return p;
}

// The columns with m in [m0, m1), clipped to the picture: those left of the
// centre, and those on it and right of it. The centre's own column is done
// once, on the right, so the left ones start at m = 1.
struct columns {
    std::int64_t left0, left1, right0, right1;
    std::int64_t left_n() const { return std::max<std::int64_t>(0, left1 - left0); }
    std::int64_t right_n() const { return std::max<std::int64_t>(0, right1 - right0); }
};

columns columns_for(const plan& p, std::int64_t m0, std::int64_t m1)
{
    return {std::max<std::int64_t>(0, p.cx - m1 + 1), std::min(p.width, p.cx - std::max<std::int64_t>(m0, 1) + 1),
            std::max<std::int64_t>(0, p.cx + m0), std::min(p.width, p.cx + m1)};
}

// The rows y + dir × k of a band, for k in [ka, kb), clipped to the
// picture. The centre's own row is done once, going up, so going down
// starts at k = 1.
struct side {
    std::int64_t dir, cy, ka, kb;
    std::int64_t row(std::int64_t k) const { return cy + dir * k; }
    std::int64_t lowest_row() const { return dir > 0 ? row(ka) : row(kb - 1); }
    bool empty() const { return ka >= kb; }
};

side side_rows(const plan& p, std::int64_t k0, std::int64_t k1, std::int64_t dir)
{
    side s{dir, p.cy, 0, 0};
    if (dir > 0) {
        s.ka = std::max(k0, -p.cy);
        s.kb = std::min(k1, p.height - p.cy);
    } else {
        s.ka = std::max({k0, std::int64_t(1), p.cy - p.height + 1});
        s.kb = std::min(k1, p.cy + 1);
    }
    s.kb = std::max(s.ka, s.kb);
    return s;
}

// A side's strips: one of whole rows that both groups of columns share, or,
// in windows, one for the left columns and one for the right. The slots
// are 0 and 1 going up, 2 and 3 going down.
struct side_strips {
    strip part[2];
    band_view in1[2], in2[2];  // the inputs' pixels of each part
};

// The inputs' pixels of a strip are asked for in the strip's own slot,
// whole rows with their padding, which the flat runs read.
void fetch_bands(side_strips& st, int part, row_source& in1, row_source& in2, const plan& p)
{
    const strip& s = st.part[part];
    const std::int64_t row_bytes = s.j0 == 0 && s.j1 == p.width ? p.stride : 3 * (s.j1 - s.j0);
    st.in1[part] = in1.band(s.slot, s.first_row, s.rows, s.j0, row_bytes);
    st.in2[part] = in2.band(s.slot, s.first_row, s.rows, s.j0, row_bytes);
}

side_strips open_strips(strip_writer& writer, const plan& p, const side& s, const columns& c,
                        row_source& in1, row_source& in2)
{
    side_strips st;
    if (s.empty())
        return st;
    const int slot = s.dir > 0 ? 0 : 2;
    const std::int64_t first = s.lowest_row(), rows = s.kb - s.ka;
    if (!p.windowed) {
        st.part[0] = st.part[1] = writer.open(slot, first, rows, 0, p.width);
        fetch_bands(st, 0, in1, in2, p);
        st.in1[1] = st.in1[0];
        st.in2[1] = st.in2[0];
        return st;
    }
    if (c.left_n() > 0) {
        st.part[0] = writer.open(slot, first, rows, c.left0, c.left1);
        fetch_bands(st, 0, in1, in2, p);
    }
    if (c.right_n() > 0) {
        st.part[1] = writer.open(slot + 1, first, rows, c.right0, c.right1);
        fetch_bands(st, 1, in1, in2, p);
    }
    return st;
}

void finish_strips(strip_writer& writer, const side_strips& st, bool padding_done)
{
    if (st.part[0].slot >= 0)
        writer.finish(st.part[0], padding_done);
    if (st.part[1].slot >= 0 && st.part[1].slot != st.part[0].slot)
        writer.finish(st.part[1], padding_done);
}

// For the flat runs: where each byte's weight is, counted from the weights
// of the run's first row in storage order (a padding byte takes its row's
// last pixel's, so the index never falls), and a mask that keeps the
// pixels' bytes and zeroes the padding. One chunk covers a whole narrow
// row, so the weights of consecutive rows are `width` apart.
struct flat_tables {
    std::vector<std::int32_t> at;
    std::vector<std::uint8_t> keep;
};

flat_tables make_flat_tables(const plan& p)
{
    flat_tables f;
    const std::int64_t rows = std::max<std::int64_t>(1, chunk / p.span);
    for (std::int64_t t = 0; t < rows * p.stride; t++) {
        const std::int64_t b = t % p.stride, col = std::min(b / 3, p.width - 1);
        f.at.push_back(std::int32_t(t / p.stride * p.width + col));
        f.keep.push_back(b < 3 * p.width ? 1 : 0);
    }
    return f;
}

// The scratch tables of one chunk of m and one batch of k: the table in m,
// the rows' weights in column order (a row spans at most twice the chunk's
// m), and, for the narrow rows below the centre's, those rows' weights in
// storage order. The flat blend may read a vector's worth of weights past
// the last one it uses.
struct chunk_tables {
    std::vector<std::uint32_t> dx2 = std::vector<std::uint32_t>(chunk);
    std::vector<std::uint32_t> s = std::vector<std::uint32_t>(chunk);
    std::vector<float> d = std::vector<float>(chunk);
    std::vector<float> table = std::vector<float>(chunk + weight_slack);
    std::vector<float> in_columns = std::vector<float>(2 * chunk + weight_slack);
    std::vector<float> reversed = std::vector<float>(2 * chunk + weight_slack);
};

// Row q of the table holds the weights for k = k0 + q and the n values of
// dx² given, in their order: nk × n ≤ chunk weights.
void weight_table(const ripple_path& path, const std::uint32_t* dx2, std::int64_t n,
                  std::int64_t k0, std::int64_t nk, chunk_tables& t)
{
    std::uint32_t* s = t.s.data();
    if (n == 1) {  // a column: one loop the compiler can vectorise, not one per row
        for (std::int64_t q = 0; q < nk; q++)
            s[q] = std::uint32_t(k0 + q) * std::uint32_t(k0 + q) + dx2[0];
    } else {
        for (std::int64_t q = 0; q < nk; q++) {
            const std::uint32_t dy = std::uint32_t(k0 + q), dy2 = dy * dy;
            for (std::int64_t k = 0; k < n; k++)
                s[q * n + k] = dy2 + dx2[k];
        }
    }
    path.distances(t.s.data(), t.d.data(), std::size_t(nk * n));
    path.weights(t.d.data(), t.table.data(), std::size_t(nk * n));
}

// Turns each table row (m ascending from ma) into that row's weights in
// column order: the left columns, which read it backwards, then the right.
void mirror_gather(const chunk_tables& t, std::int64_t n, std::int64_t nk, const columns& c,
                   std::int64_t cx, std::int64_t ma, float* out)
{
    const std::int64_t nl = c.left_n(), seg = nl + c.right_n();
    for (std::int64_t q = 0; q < nk; q++) {
        float* o = out + q * seg;
        const float* from = t.table.data() + q * n;
        for (std::int64_t j = c.left0; j < c.left1; j++)
            o[j - c.left0] = from[cx - j - ma];
        for (std::int64_t j = c.right0; j < c.right1; j++)
            o[nl + j - c.right0] = from[j - cx - ma];
    }
}

struct composition {
    const ripple_path& path;
    const plan& p;
    chunk_tables& t;
    const flat_tables& flat;
};

// Rows [ka, kb) of a side, each row's columns c with their weights, which
// start at `wts` for k = k0 and are seg apart.
void blend_rows(const composition& cm, const side& s, std::int64_t ka, std::int64_t kb,
                std::int64_t k0, const float* wts, const columns& c, const side_strips& st)
{
    const std::int64_t nl = c.left_n(), nr = c.right_n(), seg = nl + nr;
    for (std::int64_t k = ka; k < kb; k++) {
        const std::int64_t i = s.row(k);
        const float* wrow = wts + (k - k0) * seg;
        if (nl)
            cm.path.blend(st.in1[0].at(i, c.left0), st.in2[0].at(i, c.left0), wrow,
                          st.part[0].at(i, c.left0), std::size_t(nl));
        if (nr)
            cm.path.blend(st.in1[1].at(i, c.right0), st.in2[1].at(i, c.right0), wrow + nl,
                          st.part[1].at(i, c.right0), std::size_t(nr));
    }
}

// The narrow rows [ka, kb) of a side as one run of bytes in storage order,
// padding and all.
void blend_flat_rows(const composition& cm, const side& s, std::int64_t ka, std::int64_t kb,
                     std::int64_t k0, const float* wts, const side_strips& st)
{
    const std::int64_t width = cm.p.width, low = s.dir > 0 ? ka : kb - 1;
    const std::int64_t i = s.row(low);
    const float* first = wts + (low - k0) * width;
    if (s.dir < 0) {  // storage order runs against k: put the rows' weights in it
        // One loop over the floats, not one per row, which compilers turn
        // into a call per row of at most 31 floats.
        float* to = cm.t.reversed.data();
        const std::int64_t n = (kb - ka) * width;
        if (width == 1) {
            for (std::int64_t j = 0; j < n; j++)
                to[j] = first[-j];
        } else {
            for (std::int64_t j = 0, c = 0, row = 0; j < n; j++) {
                to[j] = first[row + c];
                if (++c == width) {
                    c = 0;
                    row -= width;
                }
            }
        }
        first = to;
    }
    cm.path.blend_flat(st.in1[0].at(i, 0), st.in2[0].at(i, 0), first, st.part[0].at(i, 0),
                       std::size_t((kb - ka) * cm.p.stride), cm.flat.at.data(), cm.flat.keep.data());
}

// The chunk [ma, mb) of m for the band [k0, k1) on both sides.
void compose_chunk(const composition& cm, const side (&sides)[2], const side_strips (&strips)[2],
                   std::int64_t ma, std::int64_t mb, std::int64_t k0, std::int64_t k1)
{
    const columns c = columns_for(cm.p, ma, mb);
    const std::int64_t nl = c.left_n(), nr = c.right_n(), cl = mb - ma;
    if (nl + nr == 0)
        return;
    require(!cm.p.flat || nl + nr == cm.p.width, "jeden kawałek obejmuje cały wąski wiersz");
    // Where the chunk's columns lie on one side of the centre, as they all
    // do for a centre outside the picture, the table is made in column
    // order and is the rows' weights as it stands.
    const bool one_side = nr == 0 || nl == 0;
    for (std::int64_t q = 0; q < cl; q++) {
        const std::uint32_t dx = std::uint32_t(nr == 0 ? mb - 1 - q : ma + q);
        cm.t.dx2[std::size_t(q)] = dx * dx;
    }
    const std::int64_t batch = std::max<std::int64_t>(1, chunk / cl);
    for (std::int64_t kb0 = k0; kb0 < k1; kb0 += batch) {
        const std::int64_t nk = std::min(batch, k1 - kb0);
        weight_table(cm.path, cm.t.dx2.data(), cl, kb0, nk, cm.t);
        if (!one_side)
            mirror_gather(cm.t, cl, nk, c, cm.p.cx, ma, cm.t.in_columns.data());
        const float* wts = one_side ? cm.t.table.data() : cm.t.in_columns.data();
        for (int n = 0; n < 2; n++) {
            const std::int64_t ka = std::max(kb0, sides[n].ka), kb = std::min(kb0 + nk, sides[n].kb);
            if (ka >= kb)
                continue;
            if (cm.p.flat)
                blend_flat_rows(cm, sides[n], ka, kb, kb0, wts, strips[n]);
            else
                blend_rows(cm, sides[n], ka, kb, kb0, wts, c, strips[n]);
        }
    }
}

}  // namespace

void compose_ripple_with(const ripple_path& path, row_source& in1, row_source& in2, std::int32_t x,
                         std::int32_t y, pixel_sink& out)
{
    const plan p = make_plan(in1.shape(), in2.shape(), x, y, out.strip_size());
    strip_writer writer(out, p.width);
    chunk_tables t;
    const flat_tables flat = p.flat ? make_flat_tables(p) : flat_tables{};
    const composition cm{path, p, t, flat};
    for (std::int64_t w0 = p.m_lo; w0 <= p.m_hi; w0 += p.span) {
        const std::int64_t w1 = std::min(p.m_hi + 1, w0 + p.span);
        const columns window = columns_for(p, w0, w1);
        for (std::int64_t k0 = p.k_lo; k0 <= p.k_hi; k0 += p.band) {
            const std::int64_t k1 = std::min(p.k_hi + 1, k0 + p.band);
            const side sides[2] = {side_rows(p, k0, k1, 1), side_rows(p, k0, k1, -1)};
            const side_strips strips[2] = {open_strips(writer, p, sides[0], window, in1, in2),
                                           open_strips(writer, p, sides[1], window, in1, in2)};
            for (std::int64_t ma = w0; ma < w1; ma += chunk)
                compose_chunk(cm, sides, strips, ma, std::min(w1, ma + chunk), k0, k1);
            // The flat runs have zeroed the padding already.
            for (const side_strips& st : strips)
                finish_strips(writer, st, p.flat);
        }
    }
}

void compose_ripple(row_source& in1, row_source& in2, std::int32_t x, std::int32_t y, pixel_sink& out)
{
    compose_ripple_with(*ripple_paths().front(), in1, in2, x, y, out);
}

void compose_ripple(const image_view& in1, const image_view& in2, std::int32_t x, std::int32_t y,
                    pixel_sink& out)
{
    memory_rows rows1(in1), rows2(in2);
    compose_ripple(rows1, rows2, x, y, out);
}

namespace ripple_isa {
#ifdef RIPPLE_X86_KERNELS  // the build made the x86 copies
namespace avx512 { extern const ripple_path path; }
namespace avx2 { extern const ripple_path path; }
#endif
namespace baseline { extern const ripple_path path; }
}  // namespace ripple_isa

std::vector<const ripple_path*> usable_paths(const cpu_features& cpu)
{
    std::vector<const ripple_path*> p;
#ifdef RIPPLE_X86_KERNELS  // the build made the x86 copies
    if (cpu.avx512f && cpu.avx512bw && cpu.avx512dq && cpu.avx512vl && cpu.fma)
        p.push_back(&ripple_isa::avx512::path);
    if (cpu.avx2 && cpu.fma)
        p.push_back(&ripple_isa::avx2::path);
#else
    (void)cpu;
#endif
    p.push_back(&ripple_isa::baseline::path);
    return p;
}

std::span<const ripple_path* const> ripple_paths()
{
    static const auto paths = [] {
        cpu_features cpu;
#ifdef RIPPLE_X86_KERNELS  // the build made the x86 copies
        __builtin_cpu_init();
        cpu.avx512f = __builtin_cpu_supports("avx512f");
        cpu.avx512bw = __builtin_cpu_supports("avx512bw");
        cpu.avx512dq = __builtin_cpu_supports("avx512dq");
        cpu.avx512vl = __builtin_cpu_supports("avx512vl");
        cpu.avx2 = __builtin_cpu_supports("avx2");
        cpu.fma = __builtin_cpu_supports("fma");
#endif
        return usable_paths(cpu);
    }();
    return paths;
}
