// Loading 24-bit BMP inputs, and the output: the first input with its
// pixel block replaced.
//
// A BMP file is a 14-byte file header, an info header whose first 40 bytes
// follow the BITMAPINFOHEADER layout, optional extra header bytes or a colour
// table, and then the pixel rows from the offset bfOffBits. Each row holds
// three bytes per pixel (blue, green, red) padded to a multiple of four bytes.
// Rows are stored bottom-up when biHeight is positive, top-down when negative.
// Some writers put more after the rows, such as an ICC colour profile that
// the header points at.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "files.hpp"

// Padding that rounds a row of `width` pixels up to a multiple of four bytes.
constexpr std::int64_t row_pad(std::int64_t width) { return (-3 * width) & 3; }
constexpr std::int64_t row_length(std::int64_t width) { return 3 * width + row_pad(width); }

struct bmp_input {
    input_file file;
    std::array<std::uint8_t, 14> hdr_file{};
    std::array<std::uint8_t, 40> hdr_info{};
    // The rest of the header, from byte 54 up to the pixels (the rest of a
    // longer info header, a colour table, a gap), and whatever follows the
    // pixels stay in the file: they are copied from there in pieces, however
    // large a file says they are.
    std::uint64_t pixel_offset = 0;  // bfOffBits
    std::int32_t width = 0;
    std::int32_t height = 0;  // number of stored rows, always positive
    bool top_down = false;
    byte_block pixels;                   // the mapping that holds the rows
    const std::uint8_t* base = nullptr;  // row i starts at base + i × stride
    std::ptrdiff_t stride = 0;
    bool read_ahead = false;  // rows are asked for just before they are used

    explicit bmp_input(input_file f) : file(std::move(f)) {}
    const std::uint8_t* row(std::int64_t i) const { return base + i * stride; }
};

// Reads and checks one input; its rows are mapped, not copied.
bmp_input load_bitmap(const std::string& name);

// The same from a copy of bytes in memory; `name` only labels the messages.
bmp_input parse_bitmap(const std::uint8_t* data, std::size_t size, const std::string& name);

// Makes the second input's rows run in the same vertical direction as the
// first's, and refuses a second input too small to cover the first.
void match_inputs(const bmp_input& in1, const std::string& name1, bmp_input& in2,
                  const std::string& name2);

// Where the pictures fit in memory, their rows are read in at once (before
// the first question, while the user types); where they do not, each strip
// is read ahead just before it is needed, and the kernel may drop what has
// been used.
void plan_reading(bmp_input& in1, bmp_input& in2);

// Bytes of pixel rows, padding included, in an image of `in`'s geometry.
inline std::uint64_t image_size(const bmp_input& in)
{
    return std::uint64_t(in.height) * std::uint64_t(row_length(in.width));
}

// The output pixel block: h × (3w + pad_out) bytes in rows of the first
// input's geometry, every padding byte 0. compose_ripple fills it strip by
// strip. A block in memory is filled in place. A block in the output file is
// composed in small buffers and each strip is written where it belongs
// as soon as it is done, so that no memory of the picture's size is needed.
struct pixel_block {
    std::uint64_t size = 0;
    byte_block memory;            // the block itself, if it is in memory
    output_file* file = nullptr;  // else the file it goes to, from file_offset
    std::uint64_t file_offset = 0;
    std::size_t strip_size = std::size_t(256) << 10;  // composed between writes, at most
    std::unique_ptr<std::uint8_t[]> buffers;
    std::size_t buffers_size = 0;

    // Where to compose the n bytes at `offset` of the block. Four strips,
    // `which` = 0 to 3, may be open at once; n is at most strip_size + 3.
    std::uint8_t* strip(int which, std::uint64_t offset, std::size_t n);
    // The strip is complete.
    void put(int which, std::uint64_t offset, std::size_t n);
};

pixel_block pixels_in_memory(std::uint64_t size);
pixel_block pixels_in_file(output_file& out, std::uint64_t offset, std::uint64_t size);

extern pixel_block pixs_out;

// The output file is the first input with its pixel block replaced: its
// header before pixs_out, and what follows its pixels after.
void write_header(output_file& out, const bmp_input& in1);
void write_tail(output_file& out, const bmp_input& in1);
