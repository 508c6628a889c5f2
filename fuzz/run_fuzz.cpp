// libFuzzer target: a whole run from arbitrary bytes. The data holds the
// centre (8 bytes), the length of the first file (4 bytes), then both files.
// The run must end in a clean refusal or write the first file with only its
// pixel block replaced by the plain definition's, padding and all. The
// strips are cut small for some inputs, so that wide rows are made in
// windows, and some inputs are read band by band as if they could not be
// mapped.
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
#include "blend.hpp"
#include "reference.hpp"

namespace {

std::filesystem::path scratch_dir()
{
    return std::filesystem::temp_directory_path() / ("ripple-fuzz-" + std::to_string(::getpid()));
}

// A file of the scratch folder, which is made at the first call and
// removed at the end.
std::string scratch(const char* leaf)
{
    static const bool made = [] {
        std::filesystem::create_directories(scratch_dir());
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratch_dir(), ignored);
        });
        return true;
    }();
    (void)made;
    return (scratch_dir() / leaf).string();
}

// The inputs stay where they are for the whole run, as the change check
// wants them.
bmp_input load(const std::uint8_t* bytes, std::size_t n, const char* leaf, const input_os& os)
{
    const std::string name = scratch(leaf);
    if (!write_file(name, {bytes, bytes + n}))
        std::abort();
    return load_bitmap(name, os);
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
        bmp_input in1 = load(file1, len1, "Input_1.bmp", os);
        bmp_input in2 = load(file2, len2, "Input_2.bmp", os);
        match_inputs(in1, in2);
        // The disk is no part of what is fuzzed: the sync is left out.
        static const output_os unsynced = [] {
            output_os os = native_output_os();
            os.sync = [](std::intptr_t) { return 0; };
            os.sync_folder = [](const folder_ref&) { return 0; };
            return os;
        }();
        const std::string output = scratch("Output.bmp");
        output_file out(output, check_output(output, unsynced), unsynced);
        // Read ahead band by band for some inputs, in small strips for others.
        using choice = reading_plan::choice;
        blend_files(in1, in2, x, y, out, reading_plan(in1, in2, len1 % 3 ? choice::in_whole : choice::ahead_by_band),
                    nullptr, len2 % 2 ? 16 + len2 % 256 : std::size_t(1) << 20);
        offset = in1.layout.pixel_offset;
        image = in1.layout.image_size;
    } catch (const ripple_error&) {
        return 0;  // a clean refusal
    }

    // The first file with its pixel block replaced by the plain definition's.
    picture first = in_memory({file1, file1 + len1}), second = in_memory({file2, file2 + len2});
    line_up(first, second);
    memory_sink want(image);
    compose_ripple_plain(first.view, second.view, x, y, want);
    std::vector<std::uint8_t> expected(file1, file1 + len1);
    std::copy(want.data(), want.data() + image, expected.begin() + std::ptrdiff_t(offset));
    std::ifstream f(scratch("Output.bmp"), std::ios::binary);
    if (std::vector<std::uint8_t>{std::istreambuf_iterator<char>(f), {}} != expected)
        std::abort();
    return 0;
}
