// The row kernels behind compose_ripple: one generic source, compiled once
// per instruction set into a kernel_set; the best set the processor can run
// is chosen at run time (compose.hpp). Every kernel gives exactly the bytes
// of the plain per-pixel definition.
#pragma once

#include <cstddef>
#include <cstdint>

struct kernel_set {
    const char* name;
    // s = dx² + dy² (mod 2^32) → the distance after the reduction loop.
    void (*distances)(const std::uint32_t* s, float* d, std::size_t n);
    // Reduced distance → weight |sin d°|.
    void (*weights)(const float* d, float* w, std::size_t n);
    // out[3j + c] = blend_byte(p1[3j + c], p2[3j + c], w[j]) for the three
    // bytes c of each pixel j.
    void (*blend)(const std::uint8_t* p1, const std::uint8_t* p2, const float* w,
                  std::uint8_t* out, std::size_t pixels);
    // Rows of a narrow picture as one run of bytes: out[t] =
    // blend_byte(p1[t], p2[t], w[at[t]]) where keep[t] is 1, and 0 where it
    // is 0 (the padding). at[] never decreases and grows by at most one every
    // three bytes, and w may be read 16 floats past the last weight used.
    void (*blend_flat)(const std::uint8_t* p1, const std::uint8_t* p2, const float* w,
                       std::uint8_t* out, std::size_t bytes, const std::int32_t* at,
                       const std::uint8_t* keep);
};
