// libFuzzer target: a whole run from arbitrary bytes. The data holds the
// centre (8 bytes), the length of the first file (4 bytes), then both files.
// The run must end in a clean refusal or write the first file with only its
// pixel block replaced, every padding byte 0. The strips are cut small for
// some inputs, so that wide rows are made in windows.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bitmap.hpp"
#include "ripple.hpp"

namespace {

std::uint32_t take_u32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::filesystem::path scratch_dir()
{
    return std::filesystem::temp_directory_path() / ("ripple-fuzz-" + std::to_string(::getpid()));
}

const std::string& output_name()
{
    static const std::string name = [] {
        std::filesystem::create_directories(scratch_dir());
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratch_dir(), ignored);
        });
        return (scratch_dir() / "Output.bmp").string();
    }();
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 12)
        return 0;
    const std::int32_t x = std::int32_t(take_u32(data)), y = std::int32_t(take_u32(data + 4));
    const std::size_t len1 = std::min<std::size_t>(take_u32(data + 8), size - 12);
    const std::uint8_t* file1 = data + 12;
    const std::uint8_t* file2 = file1 + len1;
    const std::size_t len2 = size - 12 - len1;

    std::uint64_t offset = 0, image = 0;
    try {
        bmp_input in1 = parse_bitmap(file1, len1, "Input_1.bmp");
        bmp_input in2 = parse_bitmap(file2, len2, "Input_2.bmp");
        match_inputs(in1, "Input_1.bmp", in2, "Input_2.bmp");
        output_file out(output_name());
        out.reserve(in1.file.size);
        write_header(out, in1);
        pixs_out = pixels_in_file(out, in1.pixel_offset, image_size(in1));
        pixs_out.strip_size = len2 % 2 ? 16 + len2 % 256 : std::size_t(1) << 20;
        compose_ripple(in1, in2, std::int32_t(row_pad(in1.width)), x, y);
        write_tail(out, in1);
        out.commit();
        offset = in1.pixel_offset;
        image = image_size(in1);
    } catch (const ripple_error&) {
        return 0;  // a clean refusal
    }
    pixs_out = {};

    std::ifstream f(output_name(), std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(f), {}};
    if (bytes.size() != len1 || !std::equal(bytes.begin(), bytes.begin() + std::ptrdiff_t(offset), file1) ||
        !std::equal(bytes.begin() + std::ptrdiff_t(offset + image), bytes.end(), file1 + offset + image))
        std::abort();
    const std::int32_t width = std::int32_t(take_u32(bytes.data() + 18));
    const std::size_t stride = std::size_t(row_length(width));
    for (std::size_t row = 0; row < image / stride; row++)
        for (std::size_t k = 3 * std::size_t(width); k < stride; k++)
            if (bytes[offset + row * stride + k] != 0)
                std::abort();
    return 0;
}
