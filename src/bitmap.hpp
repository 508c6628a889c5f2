// Loading 24-bit BMP inputs and writing the output file.
//
// A BMP file is a 14-byte file header, an info header whose first 40 bytes
// follow the BITMAPINFOHEADER layout, optional extra header bytes or a colour
// table, and then the pixel rows from the offset bfOffBits. Each row holds
// three bytes per pixel (blue, green, red) padded to a multiple of four bytes.
// Rows are stored bottom-up when biHeight is positive, top-down when negative.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "files.hpp"

// Padding that rounds a row of `width` pixels up to a multiple of four bytes.
constexpr std::int64_t row_pad(std::int64_t width) { return (-3 * width) & 3; }
constexpr std::int64_t row_length(std::int64_t width) { return 3 * width + row_pad(width); }

struct bmp_input {
    std::array<std::uint8_t, 14> hdr_file{};
    std::array<std::uint8_t, 40> hdr_info{};
    // Every byte between the 54 header bytes above and the pixel data, so
    // that these three blocks together are the file's whole header.
    std::vector<std::uint8_t> hdr_rest;
    std::int32_t width = 0;
    std::int32_t height = 0;  // number of stored rows, always positive
    bool top_down = false;
    byte_block pixels;
    std::vector<const std::uint8_t*> rows;  // rows[i] is the i-th row used
};

// Reads and checks one input. Only the first input needs `with_rest`: the
// second one's extra header bytes never reach the output.
bmp_input load_bitmap(const std::string& name, bool with_rest);

// The same from bytes already in memory; `name` only labels the messages.
bmp_input parse_bitmap(const std::uint8_t* data, std::size_t size, const std::string& name,
                       bool with_rest);

// Makes the second input's row table run in the same vertical direction as
// the first's, and refuses a second input too small to cover the first.
void match_inputs(const bmp_input& in1, const std::string& name1, bmp_input& in2,
                  const std::string& name2);

// The output pixel block: rows of the first input's geometry, padding zeroed.
extern byte_block pixs_out;

inline std::size_t header_size(const bmp_input& in)
{
    return in.hdr_file.size() + in.hdr_info.size() + in.hdr_rest.size();
}

// Bytes of pixel rows, padding included, in an image of `in`'s geometry.
inline std::size_t image_size(const bmp_input& in)
{
    return std::size_t(in.height) * std::size_t(row_length(in.width));
}

void write_header(output_file& out, const bmp_input& in1);
void write_pixels(output_file& out);
