// The BMP format, over bytes: checking an input's header, where its rows
// lie, and which bytes the output copies, being the first input with its
// pixel block replaced. Opening and mapping files is the inputs' job.
//
// A BMP file is a 14-byte file header, an info header whose first 40 bytes
// follow the BITMAPINFOHEADER layout, optional extra header bytes or a colour
// table, and then the pixel rows from the offset bfOffBits. Each row holds
// three bytes per pixel (blue, green, red) padded to a multiple of four bytes.
// Rows are stored bottom-up when biHeight is positive, top-down when negative.
// Some writers put more after the rows, such as an ICC colour profile that
// the header points at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Padding that rounds a row of `width` pixels up to a multiple of four bytes.
constexpr std::int64_t row_pad(std::int64_t width) { return (-3 * width) & 3; }
constexpr std::int64_t row_length(std::int64_t width) { return 3 * width + row_pad(width); }

// The bytes a header check needs: the file header and the first 40 bytes of
// the info header.
constexpr std::size_t bmp_header_size = 54;

// Where an input's pixels are, as its header says.
struct bmp_layout {
    std::int32_t width = 0;
    std::int32_t height = 0;  // number of stored rows, always positive
    bool top_down = false;
    std::uint64_t pixel_offset = 0;  // bfOffBits
    std::uint64_t image_size = 0;    // bytes of rows, padding included

    std::int64_t stride() const { return row_length(width); }
};

// Checks the first bytes of a file of `file_size` bytes (all of them, or
// bmp_header_size, whichever is less) and says where its rows lie. Trusts
// no field: whatever sizes a read is checked against the file's real
// size. Throws a ripple_error naming `name`.
bmp_layout check_header(std::span<const std::uint8_t> head, std::uint64_t file_size,
                        const std::string& name);

// Where stored row i of a picture lies, counted from the start of its
// pixel block: at first + i × stride.
struct row_order {
    std::int64_t first = 0, stride = 0;
};

// The rows as stored.
row_order stored_rows(const bmp_layout& l);

// Refuses a second picture too small to cover the first, naming the second.
void check_pair(const bmp_layout& l1, const std::string& name1, const bmp_layout& l2,
                const std::string& name2);

// The second picture's rows in the first one's vertical direction.
row_order lined_up(const bmp_layout& l1, const bmp_layout& l2);

// A stretch of a file.
struct byte_range {
    std::uint64_t offset = 0, length = 0;
};

// The bytes of a pixel block with `order` that a composition of the first
// picture's size reads: its rows from the first used to the last, each as
// long as the first picture's rows, padding and all (which the narrow rows'
// runs read).
byte_range used_bytes(const row_order& order, const bmp_layout& l1);

// The output is the first input with its pixel block replaced: its bytes
// before the pixels and those after them are copied as they are.
byte_range bytes_before_pixels(const bmp_layout& l1);
byte_range bytes_after_pixels(const bmp_layout& l1, std::uint64_t file_size);
