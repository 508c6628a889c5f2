// Builds 24-bit BMP files in memory, for the sample generator, the tests,
// the benchmarks and the fuzz corpus.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bitmap.hpp"

struct bmp_params {
    std::int32_t width = 0;
    std::int32_t height = 0;  // negative: rows stored top-down
    std::uint32_t info_size = 108;
    std::uint32_t gap = 0;  // bytes between the info header and the pixels
    std::uint16_t bpp = 24;
    std::uint32_t compression = 0;
    std::uint32_t tail = 0;  // bytes after the pixels, counted in bfSize: an ICC profile
};

// Little-endian 32-bit fields: written at `at`, appended, and read.
inline void put_u32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    for (int k = 0; k < 4; k++)
        b[at + k] = std::uint8_t(v >> (8 * k));
}

inline void append_u32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    b.resize(b.size() + 4);
    put_u32(b, b.size() - 4, v);
}

inline std::uint32_t get_u32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

inline std::size_t bmp_stride(std::int32_t width) { return std::size_t(row_length(width)); }

// pixel(row, col) gives the blue, green, red bytes of stored row `row`.
// Padding and gap bytes are non-zero, so that copying them by mistake shows.
template <class Pixel>
std::vector<std::uint8_t> make_bmp(const bmp_params& s, Pixel pixel)
{
    std::size_t rows = std::size_t(s.height < 0 ? -std::int64_t(s.height) : s.height);
    std::size_t stride = bmp_stride(s.width);
    std::size_t offset = 14 + s.info_size + s.gap;
    std::vector<std::uint8_t> b(offset + stride * rows + s.tail, 0);
    b[0] = 'B';
    b[1] = 'M';
    put_u32(b, 2, std::uint32_t(b.size()));
    put_u32(b, 10, std::uint32_t(offset));
    put_u32(b, 14, s.info_size);
    put_u32(b, 18, std::uint32_t(s.width));
    put_u32(b, 22, std::uint32_t(s.height));
    b[26] = 1;  // planes
    b[28] = std::uint8_t(s.bpp);
    b[29] = std::uint8_t(s.bpp >> 8);
    put_u32(b, 30, s.compression);
    put_u32(b, 34, std::uint32_t(stride * rows));
    put_u32(b, 38, 2835);  // 72 dpi
    put_u32(b, 42, 2835);
    if (s.info_size >= 108)
        std::memcpy(&b[14 + 56], "BGRs", 4);  // sRGB colour space, stored little-endian
    if (s.info_size >= 124 && s.tail) {
        std::memcpy(&b[14 + 56], "DEBM", 4);  // PROFILE_EMBEDDED, stored little-endian
        put_u32(b, 14 + 112, std::uint32_t(offset + stride * rows - 14));  // from the info header
        put_u32(b, 14 + 116, s.tail);
    }
    for (std::size_t k = 14 + s.info_size; k < offset; k++)
        b[k] = 0xA5;
    for (std::size_t k = offset + stride * rows; k < b.size(); k++)
        b[k] = std::uint8_t(0x5A ^ k);
    for (std::size_t r = 0; r < rows; r++) {
        std::uint8_t* row = &b[offset + r * stride];
        for (std::int32_t c = 0; c < s.width; c++) {
            std::array<std::uint8_t, 3> p = pixel(std::int32_t(r), c);
            std::memcpy(row + 3 * std::size_t(c), p.data(), 3);
        }
        for (std::size_t k = 3 * std::size_t(s.width); k < stride; k++)
            row[k] = 0xEE;
    }
    return b;
}

inline bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(f.flush());
}
