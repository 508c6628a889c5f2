#include "bitmap.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "error.hpp"
#include "text.hpp"

namespace {

constexpr std::size_t hdr_file_size = 14;
constexpr std::size_t hdr_info_min = 40;

std::int32_t get_i32(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                     std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
}

std::uint32_t get_u32(const std::uint8_t* p) { return static_cast<std::uint32_t>(get_i32(p)); }
std::uint16_t get_u16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

// Said with every refusal of a format, so that the user knows how to save
// the picture instead.
const std::string save_as = "; zapisz obraz jako nieskompresowany 24-bitowy BMP z nagłówkiem "
                            "informacyjnym o długości co najmniej 40 B";

std::string compression_name(std::uint32_t c)
{
    const char* names[] = {"", " (RLE8)", " (RLE4)", " (BITFIELDS)", " (JPEG)", " (PNG)",
                           " (ALPHABITFIELDS)"};
    return c < std::size(names) ? names[c] : "";
}

// The format fields: the signature, the info header's length, which comes
// before the file's length is checked, so that an old 12-byte header gets
// the hint even in a file too short for a 40-byte one, then the compression
// and the bit count. Gives the info header's length.
std::uint32_t check_format(std::span<const std::uint8_t> h, std::uint64_t file_size,
                           const std::string& name)
{
    const std::string too_short = "plik jest za krótki na nagłówki BMP (" +
                                  std::to_string(file_size) + " B, potrzeba co najmniej 54 B)";
    if (h.size() < 2)
        fail(name, too_short);
    if (h[0] != 'B' || h[1] != 'M')
        fail(name, "to nie jest plik BMP (brak sygnatury \"BM\")");
    if (h.size() < hdr_file_size + 4)
        fail(name, too_short);
    const std::uint8_t* info = h.data() + hdr_file_size;
    const std::uint32_t info_size = get_u32(info + 0);
    if (info_size < hdr_info_min)
        fail(name, "nieobsługiwany nagłówek informacyjny o długości " + std::to_string(info_size) +
                       " B" + save_as);
    if (h.size() < bmp_header_size)
        fail(name, too_short);
    // Compression first: an RLE8 file has 8 bits per pixel, and its
    // compression says more about how to save it instead.
    const std::uint32_t compression = get_u32(info + 16);
    if (compression != 0)
        fail(name, "nieobsługiwana kompresja nr " + std::to_string(compression) +
                       compression_name(compression) + save_as);
    const std::uint16_t bpp = get_u16(info + 14);
    if (bpp != 24)
        fail(name, "nieobsługiwana liczba bitów na piksel: " + std::to_string(bpp) + save_as);
    return info_size;
}

}  // namespace

bmp_layout check_header(std::span<const std::uint8_t> head, std::uint64_t file_size,
                        const std::string& name)
{
    const std::span<const std::uint8_t> h = head.first(std::min(head.size(), bmp_header_size));
    const std::uint32_t info_size = check_format(h, file_size, name);
    const std::uint8_t* info = h.data() + hdr_file_size;
    const std::int32_t width = get_i32(info + 4);
    const std::int32_t height = get_i32(info + 8);
    if (width <= 0)
        fail(name, "nieprawidłowa szerokość obrazu: " + std::to_string(width));
    if (height == 0 || height == INT32_MIN)
        fail(name, "nieprawidłowa wysokość obrazu: " + std::to_string(height));

    bmp_layout l;
    l.width = width;
    l.top_down = height < 0;
    l.height = l.top_down ? -height : height;
    l.pixel_offset = get_u32(h.data() + 10);
    const std::uint64_t headers_end = hdr_file_size + std::uint64_t(info_size);
    if (l.pixel_offset < headers_end)
        fail(name, "dane pikseli zaczynają się w bajcie " + std::to_string(l.pixel_offset) +
                       ", wewnątrz nagłówków kończących się w bajcie " +
                       std::to_string(headers_end));
    // Both factors are below 2^33 and 2^31, so the product cannot overflow.
    l.image_size = std::uint64_t(row_length(width)) * std::uint64_t(l.height);
    if (l.pixel_offset > file_size || l.image_size > file_size - l.pixel_offset)
        fail(name, "plik jest ucięty: obraz " + std::to_string(width) + "×" +
                       std::to_string(l.height) + " wymaga " + std::to_string(l.image_size) +
                       " B pikseli od bajtu " + std::to_string(l.pixel_offset) + ", a plik ma " +
                       std::to_string(file_size) + " B");
    return l;
}

row_order stored_rows(const bmp_layout& l) { return {0, l.stride()}; }

void check_pair(const bmp_layout& l1, const std::string& name1, const bmp_layout& l2,
                const std::string& name2)
{
    const bool too_narrow = l2.width < l1.width, too_low = l2.height < l1.height;
    auto px = [](const bmp_layout& l) { return std::to_string(l.width) + "×" + std::to_string(l.height); };
    const std::string first = shown_name(name1);
    if (too_narrow && too_low)
        fail(name2, "obraz jest za wąski i za niski: ma " + px(l2) + " px, a " + first + " ma " +
                        px(l1) + " px");
    if (too_narrow)
        fail(name2, "obraz jest za wąski: ma " + std::to_string(l2.width) + " px szerokości, a " +
                        first + " ma " + std::to_string(l1.width) + " px");
    if (too_low)
        fail(name2, "obraz jest za niski: ma " + std::to_string(l2.height) + " px wysokości, a " +
                        first + " ma " + std::to_string(l1.height) + " px");
}

// Without this a top-down and a bottom-up picture would meet upside down.
row_order lined_up(const bmp_layout& l1, const bmp_layout& l2)
{
    if (l1.top_down == l2.top_down)
        return stored_rows(l2);
    return {(l2.height - 1) * l2.stride(), -l2.stride()};
}

byte_range used_bytes(const row_order& order, const bmp_layout& l1)
{
    const std::int64_t a = order.first, b = order.first + (l1.height - 1) * order.stride;
    return {std::uint64_t(std::min(a, b)), std::uint64_t(std::abs(b - a) + l1.stride())};
}

byte_range bytes_before_pixels(const bmp_layout& l1) { return {0, l1.pixel_offset}; }

byte_range bytes_after_pixels(const bmp_layout& l1, std::uint64_t file_size)
{
    const std::uint64_t end = l1.pixel_offset + l1.image_size;
    return {end, file_size - end};
}
