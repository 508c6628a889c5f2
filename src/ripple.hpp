// The ripple cross-fade, as defined: the weight of the first input is
// |sin d°|, d being the pixel's distance from the centre, so the second
// input shows at the centre and on rings every 180 pixels, the first
// halfway between them. Every faster path is checked against these.
#pragma once

#include <cstdint>

// dx² + dy² for row i, column j and the centre (x, y), wrapping modulo 2^32
// as 32-bit arithmetic does, so that no centre overflows.
inline std::uint32_t squared_distance(std::int32_t i, std::int32_t j, std::int32_t x,
                                      std::int32_t y)
{
    std::uint32_t dy = std::uint32_t(i) - std::uint32_t(y);
    std::uint32_t dx = std::uint32_t(j) - std::uint32_t(x);
    return dy * dy + dx * dx;
}

// The distance √s rounded to single precision, then 360 subtracted while it
// is greater than 360 (so 720 becomes 360, not 0).
float reduced_distance(std::uint32_t s);

// |sin d°| in single precision, with 3.14159265 for π as the definition has.
float sine_weight(float d);

// Weight of the first input at row i, column j for the centre (x, y).
inline float ripple_weight(std::int32_t i, std::int32_t j, std::int32_t x, std::int32_t y)
{
    return sine_weight(reduced_distance(squared_distance(i, j, x, y)));
}

// One byte of the blend: p2 × (1 − weight) + p1 × weight, truncated.
// Internal linkage on purpose: the vector kernels compile it with AVX-512,
// and a shared inline copy could be the one the linker keeps for everyone,
// which would fault on processors without it.
static inline std::uint8_t blend_byte(std::uint8_t p1, std::uint8_t p2, float weight)
{
    float value = float(p2) * (1.0f - weight) + float(p1) * weight;
    return static_cast<std::uint8_t>(value);
}
