#include "blend.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "bitmap.hpp"
#include "compose.hpp"
#include "progress.hpp"

namespace {

// A strip's or a band's bytes, made when its slot is first used and not
// zeroed: memory is taken only as it is written.
using strip_buffer = std::unique_ptr<std::uint8_t[]>;

// The strips go to the output file, from `offset` on, as they are done.
class file_sink : public pixel_sink {
public:
    file_sink(output_file& out, std::uint64_t offset, std::size_t strip_size, progress_line& progress)
        : pixel_sink(strip_size), out_(out), offset_(offset), progress_(progress)
    {
    }
    void close(int slot, std::uint64_t offset, std::size_t n) override
    {
        out_.write_at(offset_ + offset, place(slot, offset, n), n);
        progress_.add(n);
    }

protected:
    std::uint8_t* place(int slot, std::uint64_t, std::size_t) override
    {
        strip_buffer& buffer = buffers_[slot];
        if (!buffer)
            buffer.reset(new std::uint8_t[capacity()]);
        return buffer.get();
    }

private:
    output_file& out_;
    std::uint64_t offset_;
    progress_line& progress_;
    strip_buffer buffers_[band_slots];  // made when a slot is first used
};

// The rows of an input as the composition asks for them, band by band: from
// its mapping, read ahead band by band where the plan says so, or where it
// has none, copied into a buffer of at most `band_limit` bytes a slot.
class input_rows : public row_source {
public:
    input_rows(const bmp_input& in, bool read_ahead, std::size_t band_limit)
        : row_source(in.view()), in_(in), read_ahead_(read_ahead), limit_(band_limit)
    {
    }
    band_view band(const band_request& r) override
    {
        if (!in_.pixels)
            return copy_band(r);
        if (read_ahead_)
            read_ahead(r);
        return {shape().row(r.first) + 3 * r.j0, shape().stride, r.first, r.j0};
    }

private:
    const bmp_input& in_;
    bool read_ahead_;
    std::size_t limit_;
    strip_buffer buffers_[band_slots];

    void read_ahead(const band_request& r);
    band_view copy_band(const band_request& r);
};

// This band and the next one the same way, which the system reads while
// this one is blended.
void input_rows::read_ahead(const band_request& r)
{
    const image_view& v = shape();
    const std::int64_t next = r.upward ? r.first + r.count : r.first - r.count;
    for (std::int64_t from : {r.first, next}) {
        const std::int64_t to = std::min<std::int64_t>(from + r.count, v.height);
        from = std::max<std::int64_t>(from, 0);
        if (from >= to)
            continue;
        const std::uint8_t* a = v.row(from) + 3 * r.j0;
        const std::uint8_t* b = v.row(to - 1) + 3 * r.j0;
        in_.file.os().start_reading(std::min(a, b), std::size_t(std::abs(b - a) + r.bytes_per_row()));
    }
}

// Rows whose bytes lie one after another in the file come in one read,
// laid out as in the file; others row by row, each row after the last.
band_view input_rows::copy_band(const band_request& r)
{
    const std::int64_t stride = shape().stride, row_bytes = r.bytes_per_row();
    const std::size_t bytes = std::size_t(r.count * row_bytes);
    require(bytes <= limit_, "pas wejścia nigdy nie wychodzi poza swój bufor");
    strip_buffer& buffer = buffers_[r.slot()];
    if (!buffer)
        buffer.reset(new std::uint8_t[limit_]);
    auto offset = [&](std::int64_t i) {
        return in_.layout.pixel_offset + std::uint64_t(in_.order.first + i * stride + 3 * r.j0);
    };
    if (r.count == 1 || std::abs(stride) == row_bytes) {
        const std::uint64_t low = std::min(offset(r.first), offset(r.first + r.count - 1));
        in_.file.read_at(low, buffer.get(), bytes);
        return {buffer.get() + (offset(r.first) - low), std::ptrdiff_t(stride), r.first, r.j0};
    }
    for (std::int64_t k = 0; k < r.count; k++)
        in_.file.read_at(offset(r.first + k), buffer.get() + k * row_bytes, std::size_t(row_bytes));
    return {buffer.get(), std::ptrdiff_t(row_bytes), r.first, r.j0};
}

}  // namespace

void blend_files(bmp_input& in1, bmp_input& in2, std::int32_t x, std::int32_t y, output_file& out,
                 const reading_plan& plan, std::FILE* progress, std::size_t strip_size)
{
    // Erased as the run ends, before any failure's line.
    progress_line done(in1.layout.image_size, progress);
    plan.finish();
    out.reserve(in1.file.size());
    const byte_range head = bytes_before_pixels(in1.layout);
    out.copy_from(in1.file, head.offset, head.length);
    {
        // Copied bands need buffers of their own for both inputs: smaller
        // strips keep the memory they take as small as the mapped path's.
        if (!in1.pixels || !in2.pixels)
            strip_size = std::min(strip_size, copied_strip_size);
        file_sink pixs_out(out, in1.layout.pixel_offset, strip_size, done);
        input_rows rows1(in1, !plan.in_whole(), pixs_out.capacity());
        input_rows rows2(in2, !plan.in_whole(), pixs_out.capacity());
        compose_ripple(rows1, rows2, x, y, pixs_out);
    }
    const byte_range tail = bytes_after_pixels(in1.layout, in1.file.size());
    out.copy_from(in1.file, tail.offset, tail.length);
    in1.file.check_unchanged();
    in2.file.check_unchanged();
    in1.file.close();
    in2.file.close();
    out.commit();
}
