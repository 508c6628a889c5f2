// libFuzzer target: load and check one input file from arbitrary bytes.
// Anything accepted must describe rows that lie wholly inside the data.
#include <cstdint>
#include <cstdlib>

#include "bitmap.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (bool with_rest : {true, false}) {
        try {
            bmp_input in = parse_bitmap(data, size, "fuzz.bmp", with_rest);
            const std::uint64_t row_len = std::uint64_t(row_length(in.width));
            if (in.width <= 0 || in.height <= 0 || in.rows.size() != std::size_t(in.height) ||
                row_len * std::uint64_t(in.height) > size ||
                (with_rest && 54 + in.hdr_rest.size() + row_len * in.rows.size() > size))
                std::abort();
            // Touch every byte, so the sanitizer sees any row that is off.
            unsigned sum = 0;
            for (const std::uint8_t* row : in.rows)
                for (std::uint64_t k = 0; k < row_len; k++)
                    sum += row[k];
            volatile unsigned sink = sum;
            (void)sink;
        } catch (const ripple_error&) {
        }
    }
    return 0;
}
