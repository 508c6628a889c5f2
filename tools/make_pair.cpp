// Writes a pair of pictures with noisy pixels for the byte comparisons
// between builds: DIR/Input_1.bmp (W1 × H1) and DIR/Input_2.bmp (W2 × H2),
// a negative height storing the rows top-down.
//
//   make_pair DIR W1 H1 W2 H2
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bmp_make.hpp"

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: make_pair DIR W1 H1 W2 H2\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bmp_params first{std::atoi(argv[2]), std::atoi(argv[3]), 108, 3, 24, 0, 40};
    const bmp_params second{std::atoi(argv[4]), std::atoi(argv[5]), 40};
    auto noise = [](std::uint32_t seed) {
        return [seed](int r, int c) {
            std::uint32_t h = (std::uint32_t(r) * 2654435761u) ^ (std::uint32_t(c) * 40503u) ^ seed;
            h ^= h >> 13;
            h *= 0x5bd1e995u;
            return std::array<std::uint8_t, 3>{std::uint8_t(h), std::uint8_t(h >> 8), std::uint8_t(h >> 16)};
        };
    };
    if (!write_file(dir + "/Input_1.bmp", make_bmp(first, noise(1))) ||
        !write_file(dir + "/Input_2.bmp", make_bmp(second, noise(2)))) {
        std::fprintf(stderr, "make_pair: cannot write in %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
