// The weight depends on dx² + dy² only, so it is computed per dx and per dy,
// not per pixel: a row's weights come from a table over the dx its columns
// span, shared by the columns left and right of the centre, and the rows
// cy + dy and cy − dy share one table.
//
// The words for how the picture is cut, each meaning one thing:
//   dx, dy   a column's and a row's distance from the centre's, |j − cx|
//            and |i − cy|; a range of them is half-open, [begin, end).
//   side     the rows on and above the centre's (cy + dy), or below it
//            (cy − dy); the centre's own row and column are done once,
//            above and right.
//   band     the rows of one step out from the centre's row: a range of dy,
//            on both sides; as many rows as fit in a strip, or one.
//   window   the columns of one step out from the centre's column: a range
//            of dx, on both sides; the whole row where it fits in a strip,
//            else as many columns as a strip holds.
//   strip    what a band and a window cover on one side (in windows, on
//            one side of the centre's column too), composed in a buffer of
//            the sink and then handed to it, in one of its four slots.
//   chunk    up to 4096 dx of a window: a weight table's width.
//   batch    the dy of a band that one table covers: a chunk's worth of
//            weights; `batch_rows` of them.
//   flat     rows narrower than 32 pixels, both inputs laid out alike,
//            blended a batch at a time as one run of bytes.
#include "compose.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "bitmap.hpp"
#include "error.hpp"

namespace {

// Weights per kernel call.
constexpr std::int64_t chunk = 4096;

// A call per row would cost more than a row this narrow. Being narrower
// than a chunk, such a row is always covered by one chunk.
constexpr std::int64_t flat_width_limit = 32;
static_assert(flat_width_limit <= chunk);

// Floats a weight buffer holds past its last weight, for the flat blend.
constexpr std::int64_t weight_slack = 16;

// How many dy a batch has where a table row holds `dx_count` weights.
std::int64_t batch_rows(std::int64_t dx_count) { return std::max<std::int64_t>(1, chunk / dx_count); }

struct range {
    std::int64_t begin = 0, end = 0;
    std::int64_t size() const { return std::max<std::int64_t>(0, end - begin); }
    bool empty() const { return begin >= end; }
};

// The distances from c of the positions [0, n): the nearest and the
// farthest, as a range.
range distances_from(std::int64_t c, std::int64_t n)
{
    const std::int64_t nearest = c >= 0 && c < n ? 0 : std::min(std::abs(c), std::abs(n - 1 - c));
    return {nearest, std::max(std::abs(c), std::abs(n - 1 - c)) + 1};
}

// The columns of a range of dx, clipped to the picture: those left of the
// centre, and those on it and right of it.
struct columns {
    range left, right;
    std::int64_t count() const { return left.size() + right.size(); }
};

// The rows cy + dir × dy of a band, clipped to the picture.
struct side {
    std::int64_t dir, cy;
    range dy;
    std::int64_t row(std::int64_t d) const { return cy + dir * d; }
    std::int64_t lowest_row() const { return dir > 0 ? row(dy.begin) : row(dy.end - 1); }
};

// A side's strips: one of whole rows that both groups of columns share, or,
// in windows, one for the left columns and one for the right; and the
// inputs' pixels of each.
struct side_strips {
    strip part[2];
    band_view in1[2], in2[2];
};

// A batch's weights: those of the row at dy_begin first, per_row apart, in
// column order.
struct batch_weights {
    const float* first;
    std::int64_t dy_begin, per_row;
    const float* row(std::int64_t dy) const { return first + (dy - dy_begin) * per_row; }
};

class composition {
public:
    composition(const kernel_set& kernels, row_source& in1, row_source& in2, std::int32_t x, std::int32_t y,
                pixel_sink& out);
    void run();

private:
    const kernel_set& kernels_;
    row_source& in1_;
    row_source& in2_;
    strip_writer writer_;  // and the output's width and stride
    const std::int64_t height_, cx_, cy_;
    bool windowed_ = false;  // a row is longer than a strip
    bool flat_ = false;
    std::int64_t band_rows_ = 1, window_size_ = 0;  // dy a band has, dx a window has
    range all_dy_, all_dx_;

    // A chunk's scratch: its dx², the table's dx² + dy², distances and
    // weights, the rows' weights in column order (a row spans at most twice
    // a chunk's dx), and for flat rows below the centre's, their weights in
    // storage order.
    std::vector<std::uint32_t> dx2_ = std::vector<std::uint32_t>(chunk);
    std::vector<std::uint32_t> squares_ = std::vector<std::uint32_t>(chunk);
    std::vector<float> distances_ = std::vector<float>(chunk);
    std::vector<float> table_ = std::vector<float>(chunk + weight_slack);
    std::vector<float> in_columns_ = std::vector<float>(2 * chunk + weight_slack);
    std::vector<float> reversed_ = std::vector<float>(2 * chunk + weight_slack);
    // For flat runs: where each byte's weight is, from the first row's in
    // storage order (a padding byte takes its row's last pixel's, so the
    // index never falls), and a mask that keeps the pixels' bytes and
    // zeroes the padding.
    std::vector<std::int32_t> flat_at_;
    std::vector<std::uint8_t> flat_keep_;

    void make_flat_tables();
    columns columns_of(range dx) const;
    side side_of(range band, std::int64_t dir) const;
    side_strips open_strips(const side& s, const columns& window);
    void finish_strips(const side_strips& st);
    void compose_band(range band, range window_dx, const columns& window);
    void compose_chunk(range dx, range band, const side (&sides)[2], const side_strips (&strips)[2]);
    bool order_dx(range dx, const columns& c);
    void make_table(std::int64_t n, range batch);
    void mirror(std::int64_t n, range batch, const columns& c, std::int64_t dx_begin);
    void blend_side(const side& s, range batch, const batch_weights& w, const columns& c, const side_strips& st);
    void blend_rows(const side& s, range side_dy, const batch_weights& w, const columns& c, const side_strips& st);
    void blend_flat_rows(const side& s, range side_dy, const batch_weights& w, const side_strips& st);
};

composition::composition(const kernel_set& kernels, row_source& in1, row_source& in2, std::int32_t x,
                         std::int32_t y, pixel_sink& out)
    : kernels_(kernels), in1_(in1), in2_(in2), writer_(out, in1.shape().width), height_(in1.shape().height), cx_(x),
      cy_(y)
{
    const std::int64_t strip_size = std::int64_t(out.strip_size());
    windowed_ = writer_.stride > strip_size;
    band_rows_ = windowed_ ? 1 : strip_size / writer_.stride;  // so a band's rows fit in a strip
    flat_ = !windowed_ && writer_.width < flat_width_limit && in2.shape().stride == in1.shape().stride;
    all_dy_ = distances_from(cy_, height_);
    all_dx_ = distances_from(cx_, writer_.width);
    // A window's 3 bytes a column fit in a strip; the padding that may end
    // the row fits in the three bytes more that a strip's buffer holds.
    window_size_ = windowed_ ? std::max<std::int64_t>(1, strip_size / 3) : all_dx_.size();
    if (flat_)
        make_flat_tables();
}

// One chunk covers a whole narrow row, so a batch's rows are consecutive
// and their weights `width` apart.
void composition::make_flat_tables()
{
    const std::int64_t width = writer_.width, stride = writer_.stride;
    const std::int64_t bytes = batch_rows(all_dx_.size()) * stride;
    flat_at_.reserve(std::size_t(bytes));
    flat_keep_.reserve(std::size_t(bytes));
    for (std::int64_t t = 0; t < bytes; t++) {
        const std::int64_t b = t % stride, col = std::min(b / 3, width - 1);
        flat_at_.push_back(std::int32_t(t / stride * width + col));
        flat_keep_.push_back(b < 3 * width ? 1 : 0);
    }
}

// The left columns start at dx = 1: the centre's is on the right.
columns composition::columns_of(range dx) const
{
    const std::int64_t width = writer_.width;
    return {{std::max<std::int64_t>(0, cx_ - dx.end + 1), std::min(width, cx_ - std::max<std::int64_t>(dx.begin, 1) + 1)},
            {std::max<std::int64_t>(0, cx_ + dx.begin), std::min(width, cx_ + dx.end)}};
}

// Going down starts at dy = 1: the centre's row is going up.
side composition::side_of(range band, std::int64_t dir) const
{
    side s{dir, cy_, {}};
    if (dir > 0)
        s.dy = {std::max(band.begin, -cy_), std::min(band.end, height_ - cy_)};
    else
        s.dy = {std::max({band.begin, std::int64_t(1), cy_ - height_ + 1}), std::min(band.end, cy_ + 1)};
    s.dy.end = std::max(s.dy.begin, s.dy.end);
    return s;
}

// Each strip's band is asked of both inputs in the strip's own slot.
side_strips composition::open_strips(const side& s, const columns& window)
{
    side_strips st;
    if (s.dy.empty())
        return st;
    band_request r{s.dir > 0, 0, s.lowest_row(), s.dy.size(), 0, 0, false};
    auto open = [&](int part, range j) {
        r.part = part;
        r.j0 = j.begin;
        r.j1 = j.end;
        r.whole_rows = j.begin == 0 && j.end == writer_.width;
        st.part[part] = writer_.open(r.slot(), r.first, r.count, r.j0, r.j1);
        st.in1[part] = in1_.band(r);
        st.in2[part] = in2_.band(r);
    };
    if (!windowed_) {
        open(0, {0, writer_.width});
        st.part[1] = st.part[0];
        st.in1[1] = st.in1[0];
        st.in2[1] = st.in2[0];
        return st;
    }
    if (!window.left.empty())
        open(0, window.left);
    if (!window.right.empty())
        open(1, window.right);
    return st;
}

// The flat runs have zeroed the padding already.
void composition::finish_strips(const side_strips& st)
{
    if (st.part[0].slot >= 0)
        writer_.finish(st.part[0], flat_);
    if (st.part[1].slot >= 0 && st.part[1].slot != st.part[0].slot)
        writer_.finish(st.part[1], flat_);
}

void composition::run()
{
    for (std::int64_t dx = all_dx_.begin; dx < all_dx_.end; dx += window_size_) {
        const range window_dx{dx, std::min(all_dx_.end, dx + window_size_)};
        const columns window = columns_of(window_dx);
        for (std::int64_t dy = all_dy_.begin; dy < all_dy_.end; dy += band_rows_)
            compose_band({dy, std::min(all_dy_.end, dy + band_rows_)}, window_dx, window);
    }
}

void composition::compose_band(range band, range window_dx, const columns& window)
{
    const side sides[2] = {side_of(band, 1), side_of(band, -1)};
    const side_strips strips[2] = {open_strips(sides[0], window), open_strips(sides[1], window)};
    for (std::int64_t dx = window_dx.begin; dx < window_dx.end; dx += chunk)
        compose_chunk({dx, std::min(window_dx.end, dx + chunk)}, band, sides, strips);
    for (const side_strips& st : strips)
        finish_strips(st);
}

void composition::compose_chunk(range dx, range band, const side (&sides)[2], const side_strips (&strips)[2])
{
    const columns c = columns_of(dx);
    if (c.count() == 0)
        return;
    require(!flat_ || c.count() == writer_.width, "jeden kawałek obejmuje cały wąski wiersz");
    const bool one_side = order_dx(dx, c);
    for (std::int64_t dy = band.begin; dy < band.end; dy += batch_rows(dx.size())) {
        const range batch{dy, std::min(dy + batch_rows(dx.size()), band.end)};
        make_table(dx.size(), batch);
        if (!one_side)
            mirror(dx.size(), batch, c, dx.begin);
        const batch_weights w{one_side ? table_.data() : in_columns_.data(), batch.begin, c.count()};
        for (int k = 0; k < 2; k++)
            blend_side(sides[k], batch, w, c, strips[k]);
    }
}

// The chunk's dx² in the order its table is made: ascending, or where its
// columns all lie left of the centre, descending, which is their column
// order. Says whether the table is then the rows' weights as it stands:
// where the columns lie on one side of the centre, as they all do for a
// centre outside the picture. They cover every dx of the chunk then, since
// the windows span only the dx that occur.
bool composition::order_dx(range dx, const columns& c)
{
    const bool one_side = c.right.empty() || c.left.empty();
    require(!one_side || c.count() == dx.size(), "kawałek po jednej stronie środka obejmuje wszystkie swoje dx");
    for (std::int64_t q = 0; q < dx.size(); q++) {
        const std::uint32_t d = std::uint32_t(c.right.empty() ? dx.end - 1 - q : dx.begin + q);
        dx2_[std::size_t(q)] = d * d;
    }
    return one_side;
}

// The batch's rows on one side, blended flat or row by row.
void composition::blend_side(const side& s, range batch, const batch_weights& w, const columns& c,
                             const side_strips& st)
{
    const range side_dy{std::max(batch.begin, s.dy.begin), std::min(batch.end, s.dy.end)};
    if (side_dy.empty())
        return;
    if (flat_)
        blend_flat_rows(s, side_dy, w, st);
    else
        blend_rows(s, side_dy, w, c, st);
}

// Row q of the table holds the weights for batch.begin + q and the n
// values of dx² given, in their order: batch.size() × n ≤ chunk weights.
void composition::make_table(std::int64_t n, range batch)
{
    std::uint32_t* s = squares_.data();
    const std::int64_t rows = batch.size();
    if (n == 1) {  // a column: one loop the compiler can vectorise, not one per row
        for (std::int64_t q = 0; q < rows; q++)
            s[q] = std::uint32_t(batch.begin + q) * std::uint32_t(batch.begin + q) + dx2_[0];
    } else {
        for (std::int64_t q = 0; q < rows; q++) {
            const std::uint32_t d = std::uint32_t(batch.begin + q), dy2 = d * d;
            for (std::int64_t k = 0; k < n; k++)
                s[q * n + k] = dy2 + dx2_[std::size_t(k)];
        }
    }
    kernels_.distances(squares_.data(), distances_.data(), std::size_t(rows * n));
    kernels_.weights(distances_.data(), table_.data(), std::size_t(rows * n));
}

// Turns each table row (dx ascending from dx_begin) into that row's weights
// in column order: the left columns, which read it backwards, then the
// right.
void composition::mirror(std::int64_t n, range batch, const columns& c, std::int64_t dx_begin)
{
    const std::int64_t left = c.left.size(), per_row = c.count();
    for (std::int64_t q = 0; q < batch.size(); q++) {
        float* o = in_columns_.data() + q * per_row;
        const float* from = table_.data() + q * n;
        for (std::int64_t j = c.left.begin; j < c.left.end; j++)
            o[j - c.left.begin] = from[cx_ - j - dx_begin];
        for (std::int64_t j = c.right.begin; j < c.right.end; j++)
            o[left + j - c.right.begin] = from[j - cx_ - dx_begin];
    }
}

void composition::blend_rows(const side& s, range side_dy, const batch_weights& w, const columns& c,
                             const side_strips& st)
{
    const std::int64_t left = c.left.size(), right = c.right.size();
    for (std::int64_t d = side_dy.begin; d < side_dy.end; d++) {
        const std::int64_t i = s.row(d);
        const float* weights = w.row(d);
        if (left)
            kernels_.blend(st.in1[0].at(i, c.left.begin), st.in2[0].at(i, c.left.begin), weights,
                           st.part[0].at(i, c.left.begin), std::size_t(left));
        if (right)
            kernels_.blend(st.in1[1].at(i, c.right.begin), st.in2[1].at(i, c.right.begin), weights + left,
                           st.part[1].at(i, c.right.begin), std::size_t(right));
    }
}

// The rows as one run of bytes in storage order, padding and all.
void composition::blend_flat_rows(const side& s, range side_dy, const batch_weights& w, const side_strips& st)
{
    const std::int64_t width = writer_.width, lowest = s.dir > 0 ? side_dy.begin : side_dy.end - 1;
    const std::int64_t i = s.row(lowest);
    const float* first = w.row(lowest);
    if (s.dir < 0) {  // storage order runs against dy: put the rows' weights in it
        // One loop over the floats, not one per row, which compilers turn
        // into a call per row of at most 31 floats.
        float* to = reversed_.data();
        const std::int64_t n = side_dy.size() * width;
        if (width == 1) {
            for (std::int64_t j = 0; j < n; j++)
                to[j] = first[-j];
        } else {
            for (std::int64_t j = 0, col = 0, row = 0; j < n; j++) {
                to[j] = first[row + col];
                if (++col == width) {
                    col = 0;
                    row -= width;
                }
            }
        }
        first = to;
    }
    kernels_.blend_flat(st.in1[0].at(i, 0), st.in2[0].at(i, 0), first, st.part[0].at(i, 0),
                        std::size_t(side_dy.size() * writer_.stride), flat_at_.data(), flat_keep_.data());
}

}  // namespace

void compose_ripple_with(const kernel_set& kernels, row_source& in1, row_source& in2, std::int32_t x,
                         std::int32_t y, pixel_sink& out)
{
    composition(kernels, in1, in2, x, y, out).run();
}

void compose_ripple(row_source& in1, row_source& in2, std::int32_t x, std::int32_t y, pixel_sink& out)
{
    compose_ripple_with(*kernel_sets().front(), in1, in2, x, y, out);
}


namespace ripple_isa {
#ifdef RIPPLE_X86_KERNELS  // the build made the x86 copies
namespace avx512 { extern const kernel_set kernels; }
namespace avx2 { extern const kernel_set kernels; }
#endif
namespace baseline { extern const kernel_set kernels; }
}  // namespace ripple_isa

std::vector<const kernel_set*> usable_kernel_sets(const cpu_features& cpu)
{
    std::vector<const kernel_set*> sets;
#ifdef RIPPLE_X86_KERNELS
    if (cpu.avx512f && cpu.avx512bw && cpu.avx512dq && cpu.avx512vl && cpu.fma)
        sets.push_back(&ripple_isa::avx512::kernels);
    if (cpu.avx2 && cpu.fma)
        sets.push_back(&ripple_isa::avx2::kernels);
#else
    (void)cpu;
#endif
    sets.push_back(&ripple_isa::baseline::kernels);
    return sets;
}

std::span<const kernel_set* const> kernel_sets()
{
    static const auto sets = [] {
        cpu_features cpu;
#ifdef RIPPLE_X86_KERNELS
        __builtin_cpu_init();
        cpu.avx512f = __builtin_cpu_supports("avx512f");
        cpu.avx512bw = __builtin_cpu_supports("avx512bw");
        cpu.avx512dq = __builtin_cpu_supports("avx512dq");
        cpu.avx512vl = __builtin_cpu_supports("avx512vl");
        cpu.avx2 = __builtin_cpu_supports("avx2");
        cpu.fma = __builtin_cpu_supports("fma");
#endif
        return usable_kernel_sets(cpu);
    }();
    return sets;
}
