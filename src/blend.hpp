// The run from two loaded inputs and a centre to the output in its place,
// in the one order it must keep: reserve the output's space, copy the
// first input's bytes before its pixels, compose the pixels strip by strip
// straight into the output, copy the bytes after them, check that neither
// input changed meanwhile, let go of the inputs (which Windows would not
// let the output replace) and put the output in its place. The program and
// the fuzzer both run it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "inputs.hpp"
#include "output.hpp"
#include "strips.hpp"

// Writes the blend of in1 and in2 around (x, y) into `out` and puts it in
// its place, showing how far it is on `progress` where that is not null (a
// terminal). Throws a ripple_error, leaving any old output as it was.
void blend_files(bmp_input& in1, bmp_input& in2, std::int32_t x, std::int32_t y, output_file& out,
                 const reading_plan& plan, std::FILE* progress = nullptr,
                 std::size_t strip_size = default_strip_size);
