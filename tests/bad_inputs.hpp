// Malformed and unsupported inputs, each with a fragment of the message that
// must refuse it. Shared by the loader's unit test and the end-to-end test.
#pragma once

#include <string>
#include <vector>

#include "bmp_make.hpp"

struct bad_input {
    std::string what;
    std::vector<std::uint8_t> bytes;
    std::string message;
};

// A valid 5 × 3 input with a 108-byte info header: 122 + 3 × 16 = 170 bytes.
inline std::vector<std::uint8_t> bad_input_base()
{
    return make_bmp({5, 3, 108, 0}, [](int r, int c) -> std::array<std::uint8_t, 3> {
        return {std::uint8_t(c), std::uint8_t(r), 0x80};
    });
}

inline std::vector<bad_input> bad_inputs()
{
    const auto valid = bad_input_base();
    auto with = [&](std::size_t at, std::uint32_t v) {
        auto b = valid;
        put_u32(b, at, v);
        return b;
    };
    auto cut = [&](std::size_t n) { return std::vector<std::uint8_t>(valid.begin(), valid.begin() + std::ptrdiff_t(n)); };
    auto bpp = [&](std::uint16_t v) {
        auto b = valid;
        b[28] = std::uint8_t(v);
        b[29] = std::uint8_t(v >> 8);
        return b;
    };
    auto magic = valid;
    magic[1] = 'A';
    std::vector<bad_input> cases = {
        {"empty", {}, "za krótki na nagłówki BMP (0 B"},
        {"cut in file header", cut(10), "za krótki na nagłówki BMP (10 B"},
        {"file header only", cut(14), "za krótki na nagłówki BMP (14 B"},
        {"cut in the info header's length", cut(17), "za krótki na nagłówki BMP (17 B"},
        {"cut in info header", cut(53), "za krótki na nagłówki BMP (53 B"},
        {"headers only", cut(54), "od bajtu 122, a plik ma 54 B"},
        {"cut before pixels", cut(100), "ucięty"},
        {"cut at the pixels", cut(122), "a plik ma 122 B"},
        {"cut mid-row", cut(130), "ucięty"},
        {"last byte missing", cut(169), "wymaga 48 B pikseli od bajtu 122, a plik ma 169 B"},
        {"magic", magic, "brak sygnatury \"BM\""},
        {"core header", with(14, 12), "o długości 12 B; zapisz obraz jako"},
        {"info header of 16 B", with(14, 16), "o długości 16 B;"},
        {"info header of 39 B", with(14, 39), "o długości 39 B;"},
        {"no info header", with(14, 0), "o długości 0 B;"},
        {"1 bit", bpp(1), "na piksel: 1;"},
        {"4 bits", bpp(4), "na piksel: 4;"},
        {"8 bits", bpp(8), "na piksel: 8;"},
        {"16 bits", bpp(16), "na piksel: 16;"},
        {"32 bits", bpp(32), "na piksel: 32; zapisz obraz jako nieskompresowany 24-bitowy BMP z "
                             "nagłówkiem informacyjnym o długości co najmniej 40 B"},
        {"48 bits", bpp(48), "na piksel: 48;"},
        {"0 bits", bpp(0), "na piksel: 0;"},
        {"24 in the low byte only", bpp(0x118), "na piksel: 280;"},
        {"zero width", with(18, 0), "szerokość obrazu: 0"},
        {"negative width", with(18, std::uint32_t(-5)), "szerokość obrazu: -5"},
        {"minimum width", with(18, 0x80000000u), "szerokość obrazu: -2147483648"},
        {"zero height", with(22, 0), "wysokość obrazu: 0"},
        {"minimum height", with(22, 0x80000000u), "wysokość obrazu: -2147483648"},
        {"gigapixel", with(18, 40000), "obraz 40000×3 wymaga 360000 B"},
        {"tall", with(22, 0x7fffffffu), "obraz 5×2147483647 wymaga"},
        {"tall top-down", with(22, std::uint32_t(-0x7fffffff)), "obraz 5×2147483647 wymaga"},
        {"row over 32 bits", with(18, 0x7fffffffu), "wymaga 19327352832 B"},
        {"offset in file header", with(10, 0),
         "w bajcie 0, wewnątrz nagłówków kończących się w bajcie 122"},
        {"offset in info header", with(10, 100), "wewnątrz nagłówków"},
        {"info header past the end", with(14, 0xfffffff0u), "wewnątrz nagłówków"},
        {"offset past the end", with(10, 171), "od bajtu 171, a plik ma 170 B"},
        {"offset at the end", with(10, 170), "od bajtu 170, a plik ma 170 B"},
        {"offset far past the end", with(10, 0xffffffffu), "od bajtu 4294967295"},
    };
    auto both_maximal = with(18, 0x7fffffffu);
    put_u32(both_maximal, 22, 0x7fffffffu);
    cases.push_back({"both maximal", both_maximal, "obraz 2147483647×2147483647 wymaga"});
    auto rle8 = bpp(8);  // as such files are: 8 bits per pixel, and compressed
    put_u32(rle8, 30, 1);
    cases.push_back({"RLE8", rle8, "kompresja nr 1 (RLE8); zapisz obraz jako"});
    auto core_short = with(14, 12);
    core_short.resize(30);  // too short for a 40-byte header, yet told how to save it
    cases.push_back({"core header in a 30-byte file", core_short, "o długości 12 B; zapisz obraz jako"});
    const std::pair<std::uint32_t, const char*> compressions[] = {
        {2, "nr 2 (RLE4); zapisz"},        {3, "nr 3 (BITFIELDS); zapisz"},
        {4, "nr 4 (JPEG); zapisz"},        {5, "nr 5 (PNG); zapisz"},
        {6, "nr 6 (ALPHABITFIELDS); zapisz"}, {7, "nr 7; zapisz"},  // the first with no name
        {11, "nr 11; zapisz"},             {0x80000000u, "nr 2147483648; zapisz"},
        {0xffffffffu, "nr 4294967295; zapisz"}};
    for (auto [c, message] : compressions)
        cases.push_back({"compression " + std::to_string(c), with(30, c), std::string("kompresja ") + message});
    return cases;
}
