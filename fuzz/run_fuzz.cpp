// libFuzzer target: a whole run from arbitrary bytes. The data holds the
// centre (8 bytes), the length of the first file (4 bytes), then both files.
// The run must end in a clean refusal or write the first file with only its
// pixel block replaced, every padding byte 0. The strips are cut small for
// some inputs, so that wide rows are made in windows, and some inputs are
// read band by band as if they could not be mapped.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
#include "inputs.hpp"
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
        static input_os unmappable = [] {
            input_os os = native_input_os();
            os.map = [](std::intptr_t, std::uint64_t, std::size_t, void*&) { return ENODEV; };
            return os;
        }();
        const input_os& os = len2 % 5 == 0 ? unmappable : native_input_os();
        bmp_input in1 = load_bytes({file1, file1 + len1}, "Input_1.bmp", os);
        bmp_input in2 = load_bytes({file2, file2 + len2}, "Input_2.bmp", os);
        match_inputs(in1, in2);
        output_file out(output_name());
        out.reserve(in1.file.size());
        const byte_range head = bytes_before_pixels(in1.layout);
        out.copy_from(in1.file, head.offset, head.length);
        file_sink pixs_out(out, in1.layout.pixel_offset,
                           len2 % 2 ? 16 + len2 % 256 : std::size_t(1) << 20);
        // Read band by band for some inputs, as where they cannot be mapped.
        const reading how = len1 % 3 ? reading::at_once : reading::by_band;
        input_rows rows1(in1, how, pixs_out.capacity()), rows2(in2, how, pixs_out.capacity());
        compose_ripple(rows1, rows2, x, y, pixs_out);
        const byte_range tail = bytes_after_pixels(in1.layout, in1.file.size());
        out.copy_from(in1.file, tail.offset, tail.length);
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
