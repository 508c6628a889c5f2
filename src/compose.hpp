// The composition: fills the output pixel block with the ripple cross-fade
// of two inputs, strip by strip, with the fastest kernels the processor has.
#pragma once

#include <cstdint>

#include "bitmap.hpp"
#include "ripple_simd.hpp"
#include "strips.hpp"

// Fills the block of in1's geometry, pixels and padding, into `out`.
void compose_ripple(const bmp_input& in1, const bmp_input& in2, std::int32_t x, std::int32_t y,
                    pixel_sink& out);

// The same with the given kernels.
void compose_ripple_with(const ripple_path& path, const bmp_input& in1, const bmp_input& in2,
                         std::int32_t x, std::int32_t y, pixel_sink& out);
