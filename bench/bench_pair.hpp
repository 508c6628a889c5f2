// The size of the 48-megapixel pair both benchmarks work on, and the
// pixels of every pair they make.
#pragma once

#include "bmp_make.hpp"

constexpr int bench_width = 8000, bench_height = 6000;

template <int which>
std::array<std::uint8_t, 3> bench_pixel(int r, int c)
{
    if (which == 1)
        return {std::uint8_t(c), std::uint8_t(r), std::uint8_t(r ^ c)};
    return {std::uint8_t(r + c), std::uint8_t(c * 3), std::uint8_t(r * 7)};
}
