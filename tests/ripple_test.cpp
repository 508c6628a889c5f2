#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>

#include "blend.hpp"
#include "bmp_make.hpp"
#include "compose.hpp"
#include "inputs.hpp"
#include "output.hpp"
#include "reference.hpp"
#include "ripple.hpp"
#include "test_files.hpp"

namespace {

// Weight at distance d along a row from a centre at the origin.
float weight_at(std::int32_t d) { return ripple_weight(0, d, 0, 0); }

picture load(const bmp_params& s, auto pixel) { return in_memory(make_bmp(s, pixel)); }

std::array<std::uint8_t, 3> noise1(int r, int c)
{
    return {std::uint8_t(r * 7 + c * 13), std::uint8_t(r * 31 ^ c), std::uint8_t(255 - r - c)};
}

std::array<std::uint8_t, 3> noise2(int r, int c)
{
    return {std::uint8_t(c * 5 + 3), std::uint8_t(r * 11 + 200), std::uint8_t(r * c)};
}

// The plain definition's block for the pair and the centre.
std::vector<std::uint8_t> plain(const picture& in1, const picture& in2, std::int32_t x, std::int32_t y)
{
    memory_sink want(in1.layout.image_size);
    compose_ripple_plain(in1.view, in2.view, x, y, want);
    return want.bytes();
}

}  // namespace

TEST(ripple_weight, rings)
{
    EXPECT_EQ(weight_at(0), 0.0f);
    EXPECT_EQ(weight_at(90), 1.0f);
    EXPECT_EQ(weight_at(270), 1.0f);
    EXPECT_GT(weight_at(180), 0.0f);  // 3.14159265 is a little short of π
    EXPECT_LT(weight_at(180), 1e-8f);
    EXPECT_EQ(weight_at(30), 0.5f);
    EXPECT_EQ(weight_at(45), 0.70710677f);
    EXPECT_EQ(ripple_weight(3, 4, 0, 0), 0.087155744f);  // distance 5
}

TEST(ripple_weight, reduction_keeps_exactly_360)
{
    EXPECT_LT(weight_at(360), 1e-7f);
    EXPECT_EQ(weight_at(450), 1.0f);         // 450 − 360 = 90
    EXPECT_EQ(weight_at(720), weight_at(360));  // reduced once, to 360, not to 0
    EXPECT_NE(weight_at(720), 0.0f);
    EXPECT_EQ(weight_at(360 * 100 + 90), 1.0f);
}

TEST(ripple_weight, wraps_modulo_2_to_the_32)
{
    // dx² = 2^62 and 2^32: both wrap to 0, the centre itself.
    EXPECT_EQ(ripple_weight(0, 0, INT_MIN, 0), 0.0f);
    EXPECT_EQ(ripple_weight(0, 0, 65536, 0), 0.0f);
    EXPECT_EQ(ripple_weight(0, 0, 0, 65536 * 3), 0.0f);
    // dx² + dy² = 2 × 2147488281 wraps to 9266 = 55² + 79² (a distance of 96.26).
    EXPECT_EQ(ripple_weight(0, 0, 46341, 46341), ripple_weight(55, 79, 0, 0));
    EXPECT_EQ(ripple_weight(INT_MAX, INT_MAX, INT_MIN, INT_MIN), ripple_weight(0, 0, 1, 1));
    EXPECT_EQ(ripple_weight(INT_MIN, 0, INT_MAX, 0), ripple_weight(1, 0, 0, 0));
}

TEST(blend_byte, truncates_toward_zero)
{
    EXPECT_EQ(blend_byte(255, 0, 0.5f), 127);  // 127.5
    EXPECT_EQ(blend_byte(200, 100, 0.5f), 150);
    EXPECT_EQ(blend_byte(0, 255, 0.70710677f), 74);  // 74.69
    EXPECT_EQ(blend_byte(255, 0, 0.70710677f), 180);  // 180.31
    EXPECT_EQ(blend_byte(255, 0, 0.087155744f), 22);
    EXPECT_EQ(blend_byte(0, 255, 0.087155744f), 232);
    EXPECT_EQ(blend_byte(255, 0, weight_at(180)), 0);
    EXPECT_EQ(blend_byte(55, 55, ripple_weight(1, 12, 0, 0)), 54);  // 55 with π to full precision
}

TEST(compose_ripple, centre_shows_the_second_input_and_ring_90_the_first)
{
    picture in1 = load({200, 3}, noise1);
    picture in2 = load({200, 3}, noise2);
    memory_sink out(in1.layout.image_size);
    memory_rows rows1(in1.view), rows2(in2.view);
    compose_ripple(rows1, rows2, 100, 0, out);  // y = 0 is the first stored row
    std::size_t stride = std::size_t(row_length(200));
    auto px = [&](int i, int j) {
        const std::uint8_t* p = out.data() + std::size_t(i) * stride + 3 * std::size_t(j);
        return std::array<std::uint8_t, 3>{p[0], p[1], p[2]};
    };
    EXPECT_EQ(px(0, 100), noise2(0, 100));
    EXPECT_EQ(px(0, 10), noise1(0, 10));
    EXPECT_EQ(px(0, 190), noise1(0, 190));
    EXPECT_NE(px(2, 100), noise2(2, 100));
}

// Every kernel set, with strips of every kind (whole rows, bands of rows, windows
// of one row), against the plain definition, every byte and padding byte
// set. The widths straddle the weight chunk of 4096 and the narrow rows
// blended as one run, which a batch of rows taller than a chunk's worth
// must not outgrow; the second input is alike (as one run), stored the
// other way, or larger and stored the other way.
TEST(compose_ripple, every_kernel_set_matches_the_plain_definition)
{
    const std::pair<int, int> shapes[] = {{1, 1},    {1, 9},    {5, 9},    {6, 1},     {7, 9},
                                          {37, 9},   {4095, 3}, {4096, 3}, {4097, 2},  {12293, 2},
                                          {1, 3000}, {31, 50},  {32, 40},   {31, 400}};
    for (auto [width, height] : shapes)
        for (bmp_params second :
             {bmp_params{width, height}, bmp_params{width, -height}, bmp_params{width + 2, -(height + 1)}}) {
            picture in1 = load({width, height}, noise1), in2 = load(second, noise2);
            line_up(in1, in2);
            const std::pair<std::int32_t, std::int32_t> centres[] = {
                {18, 4},  {0, 0},  {36, 8},  {-1, 9},  {37, -1},  {18, 0},  {0, 4},
                {40000, 40000},     {-40000, 17},       {5, -70000},        {46341, 46341},
                {INT_MIN, INT_MAX}, {INT_MAX, INT_MIN}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX},
                {width - 1, height / 2}, {width / 2, height + 2}, {width / 2, height / 2}};
            for (auto [x, y] : centres) {
                const std::vector<std::uint8_t> want = plain(in1, in2, x, y);
                for (const kernel_set* p : kernel_sets())
                    for (std::size_t strip : {std::size_t(1) << 20, std::size_t(40)}) {
                        memory_sink got(want.size(), strip);
                        std::memset(got.data(), 0xCC, want.size());  // catch bytes left unset
                        memory_rows rows1(in1.view), rows2(in2.view);
                        compose_ripple_with(*p, rows1, rows2, x, y, got);
                        ASSERT_EQ(got.bytes(), want)
                            << p->name << " " << width << "×" << height << " with "
                            << second.width << "×" << second.height << " at " << x << "," << y
                            << ", strips of " << strip << " B";
                    }
            }
        }
}

// Strips written to the output file as they are done make the same block,
// and none of them exceeds its buffer: a tall picture with the centre left
// of it, at the program's own strip size, has bands as tall as a strip. The
// inputs come from files, mapped and read ahead band by band, or read band
// by band where their file system cannot map them, into buffers no larger
// than a strip; the second is alike, stored the other way, or wider and
// stored the other way. Rows longer than a strip end in windows with their
// padding (1 to 3 bytes). Around the block, the output is the first input.
TEST(blend_files, strips_written_to_a_file_make_the_same_block)
{
    // The disk is no part of what this tests, and the syncs would be most
    // of its time.
    output_os unsynced = native_output_os();
    unsynced.sync = [](std::intptr_t) { return 0; };
    unsynced.sync_folder = [](const folder_ref&) { return 0; };
    unsynced.start_writeback = [](std::intptr_t, std::uint64_t, std::uint64_t) {};
    temp_dir dir;
    const std::string name = (dir.path / "Output.bmp").string();
    input_os unmappable = native_input_os();
    unmappable.map = [](std::intptr_t, std::uint64_t, std::size_t, void*&) { return ENODEV; };
    for (bmp_params shape : {bmp_params{5, 3, 108, 0, 24, 0, 9}, bmp_params{4097, 3}, bmp_params{4099, 2},
                             bmp_params{1, 5000}, bmp_params{700, 900}})
        for (bmp_params second :
             {shape, bmp_params{shape.width, -shape.height}, bmp_params{shape.width + 3, -shape.height - 1}})
            for (std::size_t strip : {default_strip_size, std::size_t(40)})
                for (const input_os* os : {&native_input_os(), static_cast<const input_os*>(&unmappable)}) {
                    const auto bytes1 = make_bmp(shape, noise1), bytes2 = make_bmp(second, noise2);
                    picture want1 = in_memory(bytes1), want2 = in_memory(bytes2);
                    line_up(want1, want2);
                    for (auto [x, y] : {std::pair{shape.width / 3, shape.height / 2}, std::pair{-3, 7}}) {
                        ASSERT_TRUE(write_file((dir.path / "1.bmp").string(), bytes1));
                        ASSERT_TRUE(write_file((dir.path / "2.bmp").string(), bytes2));
                        bmp_input in1 = load_bitmap((dir.path / "1.bmp").string(), *os);
                        bmp_input in2 = load_bitmap((dir.path / "2.bmp").string(), *os);
                        ASSERT_EQ(in1.pixels == nullptr, os == &unmappable);
                        match_inputs(in1, in2);
                        output_file out(name, check_output(name, unsynced), unsynced);
                        blend_files(in1, in2, x, y, out, reading_plan(in1, in2, reading_plan::choice::ahead_by_band),
                                    nullptr, strip);
                        std::vector<std::uint8_t> want = bytes1;
                        const auto block = plain(want1, want2, x, y);
                        std::copy(block.begin(), block.end(), want.begin() + std::ptrdiff_t(want1.layout.pixel_offset));
                        EXPECT_EQ(read_bytes(name), want)
                            << shape.width << "×" << shape.height << " with " << second.width << "×"
                            << second.height << ", " << strip << " at " << x << "," << y
                            << (os == &unmappable ? ", read" : ", mapped");
                    }
                }
}

#if !RIPPLE_SANITIZED  // whose allocator this would replace
// The heap, counted: every allocation of this test program goes through
// these, so that a test can see the most that was held at once.
namespace heap {
std::size_t now, peak;
}

void* operator new(std::size_t n)
{
    auto* p = static_cast<std::size_t*>(std::malloc(n + 16));
    if (!p)
        throw std::bad_alloc();
    *p = n;
    heap::now += n;
    heap::peak = std::max(heap::peak, heap::now);
    return p + 2;
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept
{
    if (!p)
        return;
    auto* h = static_cast<std::size_t*>(p) - 2;
    heap::now -= *h;
    std::free(h);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

// The program's own memory does not grow with the pictures: on any path,
// mapped or copied band by band, for shapes whose rows are longer than a
// strip and shorter, and pictures with many bytes after their pixels,
// what it holds at once stays under 1.5 MiB (beside the half MiB any
// process of it has before it starts).
TEST(blend_files, holds_the_same_memory_for_any_picture)
{
    temp_dir dir;
    const std::string name = (dir.path / "Output.bmp").string();
    input_os unmappable = native_input_os();
    unmappable.map = [](std::intptr_t, std::uint64_t, std::size_t, void*&) { return ENODEV; };
    const bmp_params shapes[] = {{5, 3}, {8000, 60}, {300000, 4}, {1, 100000}, {100000, 1},
                                 {100, 100, 40, 0, 24, 0, 3 << 20}};
    for (const bmp_params& shape : shapes)
        for (const input_os* os : {&native_input_os(), static_cast<const input_os*>(&unmappable)})
            for (auto [x, y] : {std::pair{shape.width / 2, std::abs(shape.height) / 2}, std::pair{-40000, 70000}}) {
                ASSERT_TRUE(write_file((dir.path / "1.bmp").string(), make_bmp(shape, noise1)));
                ASSERT_TRUE(write_file((dir.path / "2.bmp").string(), make_bmp(shape, noise2)));
                bmp_input in1 = load_bitmap((dir.path / "1.bmp").string(), *os);
                bmp_input in2 = load_bitmap((dir.path / "2.bmp").string(), *os);
                match_inputs(in1, in2);
                const reading_plan plan(in1, in2);
                output_file out(name, check_output(name));
                const std::size_t before = heap::now;
                heap::peak = heap::now;
                blend_files(in1, in2, x, y, out, plan);
                EXPECT_LT(heap::peak - before, std::size_t(1536) << 10)
                    << shape.width << "×" << shape.height << " at " << x << "," << y
                    << (os == &unmappable ? ", copied" : ", mapped");
            }
}
#endif

// The kernels are chosen by what the processor offers: a choice that took
// AVX2 without FMA, or AVX-512 without one of its parts, would end the run
// with SIGILL on such a processor (or virtual machine).
TEST(kernel_sets, are_chosen_by_what_the_processor_offers)
{
#if defined(RIPPLE_X86_KERNELS)
    auto names = [](const cpu_features& cpu) {
        std::vector<std::string> n;
        for (const kernel_set* k : usable_kernel_sets(cpu))
            n.emplace_back(k->name);
        return n;
    };
    const cpu_features all{true, true, true, true, true, true};
    auto without = [&](bool cpu_features::*part) {
        cpu_features c = all;
        c.*part = false;
        return c;
    };
    using names_t = std::vector<std::string>;
    const std::pair<cpu_features, names_t> cases[] = {
        {{}, {"SSE2"}},
        {all, {"AVX-512", "AVX2", "SSE2"}},
        {without(&cpu_features::avx512vl), {"AVX2", "SSE2"}},
        {without(&cpu_features::avx512bw), {"AVX2", "SSE2"}},
        {without(&cpu_features::avx512dq), {"AVX2", "SSE2"}},
        {without(&cpu_features::avx512f), {"AVX2", "SSE2"}},
        {without(&cpu_features::fma), {"SSE2"}},
        {{false, false, false, false, true, false}, {"SSE2"}},  // AVX2 without FMA
        {{.fma = true}, {"SSE2"}},                              // FMA without AVX2
        {{false, false, false, false, true, true}, {"AVX2", "SSE2"}},
    };
    for (const auto& [cpu, want] : cases)
        EXPECT_EQ(names(cpu), want);
    EXPECT_STREQ(kernel_sets().back()->name, "SSE2");
#elif defined(__x86_64__)
    FAIL() << "an x86-64 build without its vector kernels";
#else
    EXPECT_EQ(kernel_sets().size(), 1u);
#endif
}
