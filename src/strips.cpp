#include "strips.hpp"

#include <cstring>

#include "bitmap.hpp"
#include "error.hpp"

std::uint8_t* pixel_sink::open(int slot, std::uint64_t offset, std::size_t n)
{
    require(slot >= 0 && slot < band_slots && n <= capacity(), "pas nigdy nie wychodzi poza swój bufor");
    return place(slot, offset, n);
}

strip_writer::strip_writer(pixel_sink& sink, std::int64_t w)
    : width(w), pad(row_pad(w)), stride(row_length(w)), sink_(sink)
{
}

std::size_t strip_writer::bytes(const strip& s) const
{
    return std::size_t((s.rows - 1) * stride + 3 * (s.j1 - s.j0) + (s.j1 == width ? pad : 0));
}

strip strip_writer::open(int slot, std::int64_t first_row, std::int64_t rows, std::int64_t j0,
                         std::int64_t j1)
{
    strip s{slot, first_row, rows, j0, j1, stride, nullptr};
    s.data = sink_.open(slot, std::uint64_t(first_row * stride + 3 * j0), bytes(s));
    return s;
}

void strip_writer::finish(const strip& s, bool padding_done)
{
    if (s.j1 == width && !padding_done && pad > 0)
        for (std::int64_t i = s.first_row; i < s.first_row + s.rows; i++)
            std::memset(s.at(i, width), 0, std::size_t(pad));
    sink_.close(s.slot, std::uint64_t(s.first_row * stride + 3 * s.j0), bytes(s));
}
