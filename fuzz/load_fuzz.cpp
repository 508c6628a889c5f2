// libFuzzer target: load and check one input file from arbitrary bytes.
// Anything accepted must describe rows that lie wholly inside the data.
#include <cstdint>
#include <cstdlib>

#include "bitmap.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        bmp_input in = parse_bitmap(data, size, "fuzz.bmp");
        const std::uint64_t row_len = std::uint64_t(row_length(in.width));
        const std::uint8_t* begin = in.file.memory.data();
        if (in.width <= 0 || in.height <= 0 || in.pixel_offset < 54 ||
            in.pixel_offset + row_len * std::uint64_t(in.height) > size ||
            in.row(0) != begin + in.pixel_offset)
            std::abort();
        // Touch every byte, so the sanitizer sees any row that is off.
        unsigned sum = 0;
        for (std::int64_t i = 0; i < in.height; i++)
            for (std::uint64_t k = 0; k < row_len; k++)
                sum += in.row(i)[k];
        volatile unsigned sink = sum;
        (void)sink;
    } catch (const ripple_error&) {
    }
    return 0;
}
