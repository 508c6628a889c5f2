// Pictures in memory, as the composition sees them: rows of three bytes a
// pixel, `stride` bytes apart (negative where the rows lie the other way
// round in memory), and where the rows of a band come from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitmap.hpp"

struct image_view {
    const std::uint8_t* base = nullptr;  // row 0, column 0
    std::ptrdiff_t stride = 0;
    std::int32_t width = 0, height = 0;

    const std::uint8_t* row(std::int64_t i) const { return base + i * stride; }
};

// Some rows [first_row, ..) of a picture from column j0 on, wherever they
// are held: pixel (i, j) is at at(i, j).
struct band_view {
    const std::uint8_t* start = nullptr;  // pixel (first_row, j0)
    std::ptrdiff_t stride = 0;
    std::int64_t first_row = 0, j0 = 0;

    const std::uint8_t* at(std::int64_t i, std::int64_t j) const
    {
        return start + (i - first_row) * stride + 3 * (j - j0);
    }
};

// The bands the composition has open at once: for the rows going up from
// the centre's and those going down, the whole rows, or where a row is
// longer than a strip, its columns left of the centre and right of it.
constexpr int band_slots = 4;

// A band of rows that the composition asks a picture for: rows [first,
// first + count) and columns [j0, j1), with the padding that ends each row
// where the band holds whole rows (which the flat runs read).
struct band_request {
    bool upward = true;  // rows cy + dy, so that the next band lies above
    int part = 0;        // 0: whole rows or the left columns, 1: the right ones
    std::int64_t first = 0, count = 0, j0 = 0, j1 = 0;
    bool whole_rows = false;

    int slot() const { return (upward ? 0 : 2) + part; }
    std::int64_t bytes_per_row() const { return whole_rows ? row_length(j1) : 3 * (j1 - j0); }
};

// Where the composition finds the pixels it blends. It asks for each band
// of rows just before it blends it, so that a source may read the picture
// band by band instead of holding all of it.
class row_source {
public:
    // `shape` gives the picture's size and the direction and distance of
    // its rows: what decides how it can be blended.
    explicit row_source(const image_view& shape) : shape_(shape) {}
    virtual ~row_source() = default;
    const image_view& shape() const { return shape_; }

    // The band, valid until a band of the same slot is asked for again.
    virtual band_view band(const band_request& r) = 0;

private:
    image_view shape_;
};

// A picture held in memory.
class memory_rows : public row_source {
public:
    using row_source::row_source;
    band_view band(const band_request& r) override
    {
        return {shape().row(r.first) + 3 * r.j0, shape().stride, r.first, r.j0};
    }
};
