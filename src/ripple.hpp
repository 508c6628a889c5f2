// The ripple cross-fade: the weight of the first input is |sin d°|, d being
// the pixel's distance from the centre, so the second input shows at the
// centre and on rings every 180 pixels, the first halfway between them.
#pragma once

#include <cstdint>

#include "bitmap.hpp"

// The pixel being blended.
extern std::uint8_t pixout[3];

// Weight of the first input at row i, column j for the centre (x, y).
float ripple_weight(std::int32_t i, std::int32_t j, std::int32_t x, std::int32_t y);

// One byte of the blend: p2 × (1 − weight) + p1 × weight, truncated.
inline std::uint8_t blend_byte(std::uint8_t p1, std::uint8_t p2, float weight)
{
    float value = float(p2) * (1.0f - weight) + float(p1) * weight;
    return static_cast<std::uint8_t>(value);
}

// Blends pixel j of row i of both inputs into pixout.
void blend_pixel(const bmp_input& in1, const bmp_input& in2, std::int32_t i, std::int32_t j,
                 float weight);

// Fills pixs_out, pixels and padding, for the first input's geometry.
void compose_ripple(const bmp_input& in1, const bmp_input& in2, std::int32_t pad_out,
                    std::int32_t x, std::int32_t y);
