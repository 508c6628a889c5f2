#include "ripple.hpp"

#include <cmath>
#include <cstring>

std::uint8_t pixout[3];

float ripple_weight(std::int32_t i, std::int32_t j, std::int32_t x, std::int32_t y)
{
    // Unsigned, so that centres far away wrap modulo 2^32 instead of
    // overflowing.
    std::uint32_t dy = std::uint32_t(i) - std::uint32_t(y);
    std::uint32_t dx = std::uint32_t(j) - std::uint32_t(x);
    std::uint32_t s = dy * dy + dx * dx;
    float d = float(std::sqrt(double(s)));
    while (d > 360.0f)
        d = d - 360.0f;
    // 3.14159265, not full π: the constant is part of the output's definition.
    float weight = float(std::sin(double(d) * 3.14159265 / 180.0));
    if (!(weight > 0.0f))
        weight = -weight;
    return weight;
}

void blend_pixel(const bmp_input& in1, const bmp_input& in2, std::int32_t i, std::int32_t j,
                 float weight)
{
    const std::uint8_t* p1 = in1.rows[std::size_t(i)] + 3 * std::size_t(j);
    const std::uint8_t* p2 = in2.rows[std::size_t(i)] + 3 * std::size_t(j);
    for (int c = 0; c < 3; c++)
        pixout[c] = blend_byte(p1[c], p2[c], weight);
}

void compose_ripple(const bmp_input& in1, const bmp_input& in2, std::int32_t pad_out,
                    std::int32_t x, std::int32_t y)
{
    const std::size_t stride = 3 * std::size_t(in1.width) + std::size_t(pad_out);
    for (std::int32_t i = 0; i < in1.height; i++) {
        std::uint8_t* row = pixs_out.data + std::size_t(i) * stride;
        for (std::int32_t j = 0; j < in1.width; j++) {
            blend_pixel(in1, in2, i, j, ripple_weight(i, j, x, y));
            std::memcpy(row + 3 * std::size_t(j), pixout, 3);
        }
        std::memset(row + 3 * std::size_t(in1.width), 0, std::size_t(pad_out));
    }
}
