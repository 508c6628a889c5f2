// Writes a pair of pictures larger than memory for a by-hand run of
// ripple against the streaming copy: Input_1.bmp and Input_2.bmp, SIZE × SIZE
// pixels each (default 55000: two files of 9 GB), row by row, so that it
// holds one row at a time.
//
//   big_pair [SIZE]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bmp_make.hpp"

int main(int argc, char** argv)
{
    const std::int32_t size = argc > 1 ? std::atoi(argv[1]) : 55000;
    const std::size_t stride = bmp_stride(size);
    for (int which = 1; which <= 2; which++) {
        // The header of a 1-row picture, made taller.
        std::vector<std::uint8_t> header = make_bmp({size, 1, 40}, [](int, int) {
            return std::array<std::uint8_t, 3>{};
        });
        header.resize(54);
        put_u32(header, 2, std::uint32_t(54 + stride * std::size_t(size)));  // wraps past 4 GiB, as bfSize does
        put_u32(header, 22, std::uint32_t(size));
        put_u32(header, 34, 0);
        std::FILE* f = std::fopen(which == 1 ? "Input_1.bmp" : "Input_2.bmp", "wb");
        std::vector<std::uint8_t> row(stride, 0);
        bool ok = f && std::fwrite(header.data(), 1, header.size(), f) == header.size();
        for (std::int32_t r = 0; ok && r < size; r++) {
            for (std::int32_t c = 0; c < size; c++) {
                row[3 * std::size_t(c)] = std::uint8_t(which == 1 ? c : r + c);
                row[3 * std::size_t(c) + 1] = std::uint8_t(which == 1 ? r : c * 3);
                row[3 * std::size_t(c) + 2] = std::uint8_t(which == 1 ? r ^ c : r * 7);
            }
            ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
        }
        if (!ok || std::fclose(f) != 0) {
            std::fprintf(stderr, "big_pair: cannot write the pair\n");
            return 1;
        }
    }
    return 0;
}
