// The BMP format: checking an input's header, where its rows lie, and the
// output, which is the first input with its pixel block replaced.
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

#include "inputs.hpp"

class output_file;

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
};

// Checks the first bytes of a file of `file_size` bytes (all of them, or
// bmp_header_size, whichever is less) and says where its rows lie. Trusts
// no field: whatever sizes a mapping is checked against the file's real
// size. Throws a ripple_error naming `name`.
bmp_layout check_header(std::span<const std::uint8_t> head, std::uint64_t file_size,
                        const std::string& name);

// One input: its file, its layout and its rows, mapped rather than copied.
struct bmp_input {
    input_file file;
    bmp_layout layout;
    const std::uint8_t* base = nullptr;  // row i starts at base + i × stride
    std::ptrdiff_t stride = 0;

    explicit bmp_input(input_file f) : file(std::move(f)) {}
    std::int32_t width() const { return layout.width; }
    std::int32_t height() const { return layout.height; }
    const std::uint8_t* row(std::int64_t i) const { return base + i * stride; }
};

// Opens, checks and maps one input.
bmp_input load_bitmap(const std::string& name);

// Makes the second input's rows run in the same vertical direction as the
// first's, and refuses a second input too small to cover the first.
void match_inputs(const bmp_input& in1, bmp_input& in2);

// The bytes of `in` that a composition of `in1`'s size reads: the rows from
// the first used to the last, in address order.
std::span<const std::uint8_t> used_bytes(const bmp_input& in, const bmp_input& in1);

// The output file is the first input with its pixel block replaced: its
// bytes before the pixels, and those after them, copied in pieces.
void write_header(output_file& out, const bmp_input& in1);
void write_tail(output_file& out, const bmp_input& in1);
