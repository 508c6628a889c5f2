// Writes the sample pair, examples/Input_1.bmp and Input_2.bmp: 640 × 480,
// 24 bits, 108-byte info headers. The first is a warm striped sunset, the
// second a cool checkerboard, so the rings between them are easy to see.
#include <cstdio>
#include <filesystem>
#include <string>

#include "bmp_make.hpp"

namespace {

std::uint8_t mix(int a, int b, int t, int n) { return std::uint8_t(a + (b - a) * t / n); }

}  // namespace

int main(int argc, char** argv)
{
    std::string dir = argc > 1 ? argv[1] : ".";
    const bmp_params picture{640, 480, 108, 0, 24, 0};

    auto sunset = make_bmp(picture, [](int row, int col) -> std::array<std::uint8_t, 3> {
        // Rows are stored bottom-up: orange at the bottom, violet at the top.
        std::uint8_t b = mix(20, 150, row, 479), g = mix(140, 30, row, 479),
                     r = mix(255, 120, row, 479);
        if ((row + col) / 24 % 2)
            return {std::uint8_t(b / 2 + 10), std::uint8_t(g * 3 / 4), r};
        return {b, g, r};
    });
    auto tiles = make_bmp(picture, [](int row, int col) -> std::array<std::uint8_t, 3> {
        bool dark = (row / 40 + col / 40) % 2;
        std::uint8_t b = mix(230, 160, col, 639), g = mix(150, 220, col, 639);
        if (dark)
            return {std::uint8_t(b / 2), std::uint8_t(g / 2), 20};
        return {b, g, 60};
    });
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);  // a fresh clone has no examples/
    if (!write_file(dir + "/Input_1.bmp", sunset) || !write_file(dir + "/Input_2.bmp", tiles)) {
        std::fprintf(stderr, "make_examples: nie można zapisać plików w %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
