#include "bitmap.hpp"

#include <algorithm>
#include <cstring>

pixel_block pixs_out;

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

struct bmp_layout {
    std::int32_t width;
    std::int32_t height;  // stored rows
    bool top_down;
    std::uint64_t offset;
    std::uint64_t row_len;
    std::uint64_t image_size;
};

// Trusts no field: everything that sizes a mapping or a read is checked
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
                       " B" + save_as);
    std::uint16_t bpp = get_u16(info + 14);
    if (bpp != 24)
        fail(name, "nieobsługiwana liczba bitów na piksel: " + std::to_string(bpp) + save_as);
    std::uint32_t compression = get_u32(info + 16);
    if (compression != 0)
        fail(name, "nieobsługiwana kompresja nr " + std::to_string(compression) +
                       compression_name(compression) + save_as);
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

bmp_input load_from(input_file file)
{
    std::uint8_t h[hdr_min];
    if (file.size >= hdr_min)
        file.read_at(0, h, hdr_min);
    bmp_layout l = check_header(h, file.size, file.name);

    bmp_input in(std::move(file));
    std::memcpy(in.hdr_file.data(), h, hdr_file_size);
    std::memcpy(in.hdr_info.data(), h + hdr_file_size, hdr_info_size);
    in.pixel_offset = l.offset;
    in.width = l.width;
    in.height = l.height;
    in.top_down = l.top_down;
    in.base = in.file.map(in.pixels, l.offset, l.image_size);
    in.stride = std::ptrdiff_t(l.row_len);
    return in;
}

}  // namespace

bmp_input load_bitmap(const std::string& name) { return load_from(input_file(name)); }

bmp_input parse_bitmap(const std::uint8_t* data, std::size_t size, const std::string& name)
{
    return load_from(input_file(data, size, name));
}

void match_inputs(const bmp_input& in1, const std::string& name1, bmp_input& in2,
                  const std::string& name2)
{
    const bool narrow = in2.width < in1.width, low = in2.height < in1.height;
    auto px = [](const bmp_input& in) { return std::to_string(in.width) + "×" + std::to_string(in.height); };
    if (narrow && low)
        fail(name2, "obraz jest za wąski i za niski: ma " + px(in2) + " px, a " + name1 + " ma " +
                        px(in1) + " px");
    if (narrow)
        fail(name2, "obraz jest za wąski: ma " + std::to_string(in2.width) + " px szerokości, a " +
                        name1 + " ma " + std::to_string(in1.width) + " px");
    if (low)
        fail(name2, "obraz jest za niski: ma " + std::to_string(in2.height) + " px wysokości, a " +
                        name1 + " ma " + std::to_string(in1.height) + " px");
    // Without this a top-down and a bottom-up picture would meet upside down.
    if (in1.top_down != in2.top_down) {
        in2.base = in2.row(in2.height - 1);
        in2.stride = -in2.stride;
    }
}

void plan_reading(bmp_input& in1, bmp_input& in2)
{
    // Only the first input's height of rows is used of a larger second one.
    auto used = [&](const bmp_input& in) {
        const std::uint8_t* a = in.row(0);
        const std::uint8_t* b = in.row(in1.height - 1);
        return std::pair{std::min(a, b), std::size_t(std::abs(b - a)) + 3 * std::size_t(in1.width)};
    };
    const std::uint64_t need = 2 * image_size(in1) + used(in2).second;
    const bool fits = need <= available_memory() / 2;
    for (bmp_input* in : {&in1, &in2}) {
        in->read_ahead = !fits;
        if (fits) {
            const auto [first, n] = used(*in);
            in->file.prefetch(first, n, true);
        }
    }
}

std::uint8_t* pixel_block::strip(int which, std::uint64_t offset, std::size_t)
{
    if (memory.data)
        return memory.data + offset;
    const std::size_t each = strip_size + 16;
    if (buffers_size < 4 * each) {
        buffers.reset(new std::uint8_t[4 * each]);
        buffers_size = 4 * each;
    }
    return buffers.get() + std::size_t(which) * each;
}

void pixel_block::put(int which, std::uint64_t offset, std::size_t n)
{
    if (!memory.data)
        file->write_at(file_offset + offset, strip(which, offset, n), n);
}

pixel_block pixels_in_memory(std::uint64_t size)
{
    pixel_block b;
    b.size = size;
    b.memory = alloc_block(std::size_t(size), "pixs_out");
    return b;
}

pixel_block pixels_in_file(output_file& out, std::uint64_t offset, std::uint64_t size)
{
    pixel_block b;
    b.size = size;
    b.file = &out;
    b.file_offset = offset;
    return b;
}

void write_header(output_file& out, const bmp_input& in1)
{
    out.write_at(0, in1.hdr_file.data(), in1.hdr_file.size());
    out.write_at(hdr_file_size, in1.hdr_info.data(), in1.hdr_info.size());
    out.copy_from(in1.file, hdr_min, in1.pixel_offset - hdr_min);
}

void write_tail(output_file& out, const bmp_input& in1)
{
    const std::uint64_t end = in1.pixel_offset + image_size(in1);
    out.copy_from(in1.file, end, in1.file.size - end);
}
