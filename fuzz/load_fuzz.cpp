// libFuzzer target: check and load one input file from arbitrary bytes.
// Anything accepted must describe rows that lie wholly inside the file.
#include <cstdint>
#include <cstdlib>

#include "reference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        const bmp_layout l = check_header({data, size}, size, "fuzz.bmp");
        const std::uint64_t row_len = std::uint64_t(row_length(l.width));
        if (l.width <= 0 || l.height <= 0 || l.pixel_offset < 54 ||
            l.pixel_offset + row_len * std::uint64_t(l.height) > size)
            std::abort();
        bmp_input in = load_bytes({data, data + size}, "fuzz.bmp");
        const image_view v = in.view();
        // Touch every byte, so the sanitizer sees any row that is off.
        unsigned sum = 0;
        for (std::int64_t i = 0; i < v.height; i++)
            for (std::uint64_t k = 0; k < row_len; k++)
                sum += v.row(i)[k];
        if (sum != 0 && v.row(0)[0] != data[l.pixel_offset])
            std::abort();
    } catch (const ripple_error&) {
    }
    return 0;
}
