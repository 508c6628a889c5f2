// Pictures in memory, as the composition sees them: rows of three bytes a
// pixel, `stride` bytes apart (negative where the rows lie the other way
// round in memory), and where the rows of a band come from.
#pragma once

#include <cstddef>
#include <cstdint>

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

    // Up to four bands are asked for at once, in slots 0 to 3: slots 0 and
    // 1 for rows going up from the centre's, 2 and 3 going down.
    static constexpr int slots = 4;
    // The rows [first, first + count) and columns [j0, j1) in `slot`,
    // padding included where j1 is the width of the first input,
    // `row_bytes` the bytes of each row from j0 on. Valid until the slot is
    // asked for again.
    virtual band_view band(int slot, std::int64_t first, std::int64_t count, std::int64_t j0,
                           std::int64_t row_bytes) = 0;

private:
    image_view shape_;
};

// A picture held in memory.
class memory_rows : public row_source {
public:
    using row_source::row_source;
    band_view band(int, std::int64_t first, std::int64_t, std::int64_t j0, std::int64_t) override
    {
        return {shape().row(first) + 3 * j0, shape().stride, first, j0};
    }
};
