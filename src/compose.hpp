// The composition: fills the output pixel block with the ripple cross-fade
// of two pictures, strip by strip, with the fastest kernels the processor
// has.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "image.hpp"
#include "ripple_simd.hpp"
#include "strips.hpp"

// Fills the block of in1's geometry, pixels and padding, into `out`. The
// second picture is at least as wide and as high, its rows lined up with
// the first's.
void compose_ripple(row_source& in1, row_source& in2, std::int32_t x, std::int32_t y, pixel_sink& out);

// The same with the given kernels.
void compose_ripple_with(const kernel_set& kernels, row_source& in1, row_source& in2, std::int32_t x,
                         std::int32_t y, pixel_sink& out);

// What a processor offers that the x86 kernels need.
struct cpu_features {
    bool avx512f = false, avx512bw = false, avx512dq = false, avx512vl = false;
    bool avx2 = false, fma = false;
};

// The kernel sets a processor with `cpu` can run, fastest first.
std::vector<const kernel_set*> usable_kernel_sets(const cpu_features& cpu);

// Every kernel set this processor can run, fastest first.
std::span<const kernel_set* const> kernel_sets();
