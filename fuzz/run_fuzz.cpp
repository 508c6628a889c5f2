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

#include "bmp_make.hpp"
#include "compose.hpp"
#include "output.hpp"
#include "reference.hpp"

namespace {

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
    const std::int32_t x = std::int32_t(get_u32(data)), y = std::int32_t(get_u32(data + 4));
    const std::size_t len1 = std::min<std::size_t>(get_u32(data + 8), size - 12);
    const std::uint8_t* file1 = data + 12;
    const std::uint8_t* file2 = file1 + len1;
    const std::size_t len2 = size - 12 - len1;

    std::uint64_t offset = 0, image = 0;
    try {
        bmp_input in1 = load_bytes({file1, file1 + len1}, "Input_1.bmp");
        bmp_input in2 = load_bytes({file2, file2 + len2}, "Input_2.bmp");
        match_inputs(in1, in2);
        output_file out(output_name());
        out.reserve(in1.file.size());
        write_header(out, in1);
        file_sink pixs_out(out, in1.layout.pixel_offset,
                           len2 % 2 ? 16 + len2 % 256 : std::size_t(1) << 20);
        compose_ripple(in1, in2, x, y, pixs_out);
        write_tail(out, in1);
        out.commit();
        offset = in1.layout.pixel_offset;
        image = in1.layout.image_size;
    } catch (const ripple_error&) {
        return 0;  // a clean refusal
    }

    std::ifstream f(output_name(), std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(f), {}};
    if (bytes.size() != len1 || !std::equal(bytes.begin(), bytes.begin() + std::ptrdiff_t(offset), file1) ||
        !std::equal(bytes.begin() + std::ptrdiff_t(offset + image), bytes.end(), file1 + offset + image))
        std::abort();
    const std::int32_t width = std::int32_t(get_u32(bytes.data() + 18));
    const std::size_t stride = std::size_t(row_length(width));
    for (std::size_t row = 0; row < image / stride; row++)
        for (std::size_t k = 3 * std::size_t(width); k < stride; k++)
            if (bytes[offset + row * stride + k] != 0)
                std::abort();
    return 0;
}
