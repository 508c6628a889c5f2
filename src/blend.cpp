#include "blend.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bitmap.hpp"
#include "compose.hpp"

namespace {

// The strips go to the output file, from `offset` on, as they are done.
class file_sink : public pixel_sink {
public:
    file_sink(output_file& out, std::uint64_t offset, std::size_t strip_size)
        : pixel_sink(strip_size), out_(out), offset_(offset), buffers_(new std::uint8_t[slots * capacity()])
    {
    }
    void close(int slot, std::uint64_t offset, std::size_t n) override
    {
        out_.write_at(offset_ + offset, place(slot, offset, n), n);
    }

protected:
    std::uint8_t* place(int slot, std::uint64_t, std::size_t) override
    {
        return buffers_.get() + std::size_t(slot) * capacity();
    }

private:
    output_file& out_;
    std::uint64_t offset_;
    // Not zeroed: the pages of a slot that is never used are never touched.
    std::unique_ptr<std::uint8_t[]> buffers_;
};

// The rows of an input as the composition asks for them, band by band: from
// its mapping, or read into a buffer of at most `band_limit` bytes a slot
// where it has none.
class input_rows : public row_source {
public:
    input_rows(const bmp_input& in, reading how, std::size_t band_limit);
    band_view band(int slot, std::int64_t first, std::int64_t count, std::int64_t j0,
                   std::int64_t row_bytes) override;

private:
    const bmp_input& in_;
    reading how_;
    std::size_t limit_;
    std::vector<std::uint8_t> buffers_[slots];

    band_view read_band(int slot, std::int64_t first, std::int64_t count, std::int64_t j0,
                        std::int64_t row_bytes);
};


input_rows::input_rows(const bmp_input& in, reading how, std::size_t band_limit)
    : row_source(in.view()), in_(in), how_(how), limit_(band_limit)
{
}

band_view input_rows::band(int slot, std::int64_t first, std::int64_t count, std::int64_t j0,
                           std::int64_t row_bytes)
{
    if (!in_.pixels)
        return read_band(slot, first, count, j0, row_bytes);
    const image_view& v = shape();
    if (how_ == reading::by_band) {
        // This band and the next one in the slot's direction, which is read
        // ahead while this one is blended.
        const std::int64_t next = slot < 2 ? first + count : first - count;
        for (std::int64_t from : {first, next}) {
            const std::int64_t to = std::min<std::int64_t>(from + count, v.height);
            from = std::max<std::int64_t>(from, 0);
            if (from >= to)
                continue;
            const std::uint8_t* a = v.row(from) + 3 * j0;
            const std::uint8_t* b = v.row(to - 1) + 3 * j0;
            in_.file.os().start_reading(std::min(a, b), std::size_t(std::abs(b - a) + row_bytes));
        }
    }
    return {v.row(first) + 3 * j0, v.stride, first, j0};
}

// Rows whose bytes lie one after another in the file come in one read,
// laid out as in the file; others row by row, each row after the last.
band_view input_rows::read_band(int slot, std::int64_t first, std::int64_t count, std::int64_t j0,
                                std::int64_t row_bytes)
{
    const std::int64_t stride = in_.order.stride;
    const std::size_t bytes = std::size_t(count * row_bytes);
    require(bytes <= limit_, "pas wejścia nigdy nie wychodzi poza swój bufor");
    std::vector<std::uint8_t>& buffer = buffers_[slot];
    buffer.resize(std::max(buffer.size(), bytes));
    auto offset = [&](std::int64_t i) {
        return in_.layout.pixel_offset + std::uint64_t(in_.order.first + i * stride + 3 * j0);
    };
    if (count == 1 || std::abs(stride) == row_bytes) {
        const std::uint64_t low = std::min(offset(first), offset(first + count - 1));
        in_.file.read_at(low, buffer.data(), bytes);
        return {buffer.data() + (offset(first) - low), std::ptrdiff_t(stride), first, j0};
    }
    for (std::int64_t k = 0; k < count; k++)
        in_.file.read_at(offset(first + k), buffer.data() + k * row_bytes, std::size_t(row_bytes));
    return {buffer.data(), std::ptrdiff_t(row_bytes), first, j0};
}

}  // namespace

void blend_files(bmp_input& in1, bmp_input& in2, std::int32_t x, std::int32_t y, output_file& out, reading how,
                 std::size_t strip_size)
{
    finish_reading(in1, in1, how);
    finish_reading(in2, in1, how);
    out.reserve(in1.file.size());
    const byte_range head = bytes_before_pixels(in1.layout);
    out.copy_from(in1.file, head.offset, head.length);
    {
        file_sink pixs_out(out, in1.layout.pixel_offset, strip_size);
        input_rows rows1(in1, how, pixs_out.capacity()), rows2(in2, how, pixs_out.capacity());
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
