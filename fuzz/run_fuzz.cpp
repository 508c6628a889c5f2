// libFuzzer target: a whole run from arbitrary bytes. The data holds the
// centre (8 bytes), the length of the first file (4 bytes), then both files.
// The run must end in a clean refusal or write a file whose size is what its
// header describes, with every padding byte 0.
#include <unistd.h>

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

    std::uint64_t expected = 0;
    try {
        bmp_input in1 = parse_bitmap(file1, len1, "Input_1.bmp", true);
        bmp_input in2 = parse_bitmap(file2, len2, "Input_2.bmp", false);
        match_inputs(in1, "Input_1.bmp", in2, "Input_2.bmp");
        output_file out(output_name());
        out.reserve(header_size(in1) + image_size(in1));
        write_header(out, in1);
        pixs_out = alloc_block(image_size(in1), "Output.bmp");
        compose_ripple(in1, in2, std::int32_t(row_pad(in1.width)), x, y);
        write_pixels(out);
        out.commit();
        expected = take_u32(file1 + 10) + std::uint64_t(image_size(in1));
    } catch (const ripple_error&) {
        return 0;  // a clean refusal
    }
    pixs_out = byte_block();

    std::ifstream f(output_name(), std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(f), {}};
    if (bytes.size() != expected)
        std::abort();
    const std::int32_t width = std::int32_t(take_u32(bytes.data() + 18));
    const std::int32_t height = std::int32_t(take_u32(bytes.data() + 22));
    const std::size_t rows = std::size_t(height < 0 ? -std::int64_t(height) : height);
    const std::size_t stride = std::size_t(row_length(width));
    for (std::size_t i = 0; i < rows; i++)
        for (std::size_t k = 3 * std::size_t(width); k < stride; k++)
            if (bytes[take_u32(bytes.data() + 10) + i * stride + k] != 0)
                std::abort();
    return 0;
}
