#include "ripple.hpp"

#include <cmath>

float reduced_distance(std::uint32_t s)
{
    float d = float(std::sqrt(double(s)));
    while (d > 360.0f)
        d = d - 360.0f;
    return d;
}

float sine_weight(float d)
{
    // 3.14159265, not full π: the constant is part of the output's definition.
    float weight = float(std::sin(double(d) * 3.14159265 / 180.0));
    if (!(weight > 0.0f))
        weight = -weight;
    return weight;
}
