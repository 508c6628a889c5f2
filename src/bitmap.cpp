#include "bitmap.hpp"

#include <algorithm>
#include <cstring>

byte_block pixs_out;

namespace {

constexpr std::size_t hdr_file_size = 14;
constexpr std::size_t hdr_info_size = 40;
constexpr std::size_t hdr_min = hdr_file_size + hdr_info_size;

std::int32_t get_i32(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                     std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
}

std::uint32_t get_u32(const std::uint8_t* p) { return static_cast<std::uint32_t>(get_i32(p)); }
std::uint16_t get_u16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }

struct bmp_layout {
    std::int32_t width;
    std::int32_t height;  // stored rows
    bool top_down;
    std::uint64_t offset;
    std::uint64_t row_len;
    std::uint64_t image_size;
};

// Trusts no field: everything that sizes an allocation or a read is checked
// against the file's real size first.
bmp_layout check_header(const std::uint8_t* h, std::uint64_t file_size, const std::string& name)
{
    if (file_size < hdr_min)
        fail(name, "plik jest za krótki na nagłówki BMP (" + std::to_string(file_size) +
                       " B, potrzeba co najmniej 54 B)");
    if (h[0] != 'B' || h[1] != 'M')
        fail(name, "to nie jest plik BMP (brak sygnatury \"BM\")");
    const std::uint8_t* info = h + hdr_file_size;
    std::uint32_t info_size = get_u32(info + 0);
    if (info_size < hdr_info_size)
        fail(name, "nieobsługiwany nagłówek informacyjny o długości " + std::to_string(info_size) +
                       " B (wymagane co najmniej 40 B)");
    std::uint16_t bpp = get_u16(info + 14);
    if (bpp != 24)
        fail(name, "nieobsługiwana liczba bitów na piksel: " + std::to_string(bpp) +
                       " (wymagane 24)");
    std::uint32_t compression = get_u32(info + 16);
    if (compression != 0)
        fail(name, "nieobsługiwana kompresja nr " + std::to_string(compression) +
                       " (wymagany obraz bez kompresji)");
    std::int32_t width = get_i32(info + 4);
    std::int32_t height = get_i32(info + 8);
    if (width <= 0)
        fail(name, "nieprawidłowa szerokość obrazu: " + std::to_string(width));
    if (height == 0 || height == INT32_MIN)
        fail(name, "nieprawidłowa wysokość obrazu: " + std::to_string(height));

    bmp_layout l;
    l.width = width;
    l.top_down = height < 0;
    l.height = l.top_down ? -height : height;
    l.offset = get_u32(h + 10);
    std::uint64_t headers_end = hdr_file_size + std::uint64_t(info_size);
    if (l.offset < headers_end)
        fail(name, "dane pikseli zaczynają się w bajcie " + std::to_string(l.offset) +
                       ", wewnątrz nagłówków kończących się w bajcie " +
                       std::to_string(headers_end));
    // Both factors are below 2^33 and 2^31, so the product cannot overflow.
    l.row_len = std::uint64_t(row_length(width));
    l.image_size = l.row_len * std::uint64_t(l.height);
    if (l.offset > file_size || l.image_size > file_size - l.offset)
        fail(name, "plik jest ucięty: obraz " + std::to_string(width) + "×" +
                       std::to_string(l.height) + " wymaga " + std::to_string(l.image_size) +
                       " B pikseli od bajtu " + std::to_string(l.offset) + ", a plik ma " +
                       std::to_string(file_size) + " B");
    return l;
}

// Shared by the file and the in-memory loader: `read_at(offset, dst, n)`
// fills dst or throws. Once the header has passed every check,
// `map_pixels(block, offset, size)` may map the pixel bytes into in.pixels;
// where it gives null they are read into a block of their own.
template <class ReadAt, class MapPixels>
bmp_input load_from(ReadAt read_at, MapPixels map_pixels, std::uint64_t file_size,
                    const std::string& name, bool with_rest)
{
    std::uint8_t h[hdr_min];
    if (file_size >= hdr_min)
        read_at(0, h, hdr_min);
    bmp_layout l = check_header(h, file_size, name);

    bmp_input in;
    std::memcpy(in.hdr_file.data(), h, hdr_file_size);
    std::memcpy(in.hdr_info.data(), h + hdr_file_size, hdr_info_size);
    in.width = l.width;
    in.height = l.height;
    in.top_down = l.top_down;
    if (with_rest) {
        in.hdr_rest.resize(l.offset - hdr_min);
        if (!in.hdr_rest.empty())
            read_at(hdr_min, in.hdr_rest.data(), in.hdr_rest.size());
    }
    const std::uint8_t* pixels = map_pixels(in.pixels, l.offset, l.image_size);
    if (!pixels) {
        in.pixels = alloc_block(l.image_size, name);
        read_at(l.offset, in.pixels.data, l.image_size);
        pixels = in.pixels.data;
    }
    in.rows.resize(std::size_t(l.height));
    for (std::size_t i = 0; i < in.rows.size(); i++)
        in.rows[i] = pixels + i * l.row_len;
    return in;
}

}  // namespace

bmp_input load_bitmap(const std::string& name, bool with_rest)
{
    input_file f(name);
    auto read_at = [&](std::uint64_t off, std::uint8_t* dst, std::size_t n) {
        f.read_at(off, dst, n);
    };
    // Mapping the file spares the kernel zeroing a buffer and copying the
    // pixels into it.
    auto map_pixels = [&](byte_block& block, std::uint64_t offset, std::uint64_t size) {
        return f.map(block, offset, size);
    };
    return load_from(read_at, map_pixels, f.size, name, with_rest);
}

bmp_input parse_bitmap(const std::uint8_t* data, std::size_t size, const std::string& name,
                       bool with_rest)
{
    auto read_at = [&](std::uint64_t off, std::uint8_t* dst, std::size_t n) {
        std::memcpy(dst, data + off, n);
    };
    auto no_map = [](byte_block&, std::uint64_t, std::uint64_t) -> const std::uint8_t* {
        return nullptr;
    };
    return load_from(read_at, no_map, size, name, with_rest);
}

void match_inputs(const bmp_input& in1, const std::string& name1, bmp_input& in2,
                  const std::string& name2)
{
    if (in2.width < in1.width || in2.height < in1.height)
        fail(name2, "obraz " + std::to_string(in2.width) + "×" + std::to_string(in2.height) +
                        " jest mniejszy niż " + name1 + " (" + std::to_string(in1.width) + "×" +
                        std::to_string(in1.height) + ")");
    // Without this a top-down and a bottom-up picture would meet upside down.
    if (in1.top_down != in2.top_down)
        std::reverse(in2.rows.begin(), in2.rows.end());
}

void write_header(output_file& out, const bmp_input& in1)
{
    out.write(in1.hdr_file.data(), in1.hdr_file.size());
    out.write(in1.hdr_info.data(), in1.hdr_info.size());
    out.write(in1.hdr_rest.data(), in1.hdr_rest.size());
}

void write_pixels(output_file& out) { out.write(pixs_out.data, pixs_out.size); }
