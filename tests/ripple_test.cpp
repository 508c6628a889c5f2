#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "bmp_make.hpp"
#include "ripple.hpp"
#include "ripple_simd.hpp"
#include "test_files.hpp"

namespace {

// Weight at distance d along a row from a centre at the origin.
float weight_at(std::int32_t d) { return ripple_weight(0, d, 0, 0); }

bmp_input load(const bmp_params& s, auto pixel)
{
    auto bytes = make_bmp(s, pixel);
    return parse_bitmap(bytes.data(), bytes.size(), "test.bmp");
}

std::array<std::uint8_t, 3> noise1(int r, int c)
{
    return {std::uint8_t(r * 7 + c * 13), std::uint8_t(r * 31 ^ c), std::uint8_t(255 - r - c)};
}

std::array<std::uint8_t, 3> noise2(int r, int c)
{
    return {std::uint8_t(c * 5 + 3), std::uint8_t(r * 11 + 200), std::uint8_t(r * c)};
}

void compose(const bmp_input& in1, const bmp_input& in2, std::int32_t x, std::int32_t y)
{
    pixs_out = pixels_in_memory(image_size(in1));
    std::memset(pixs_out.memory.data, 0xCC, pixs_out.memory.size);  // catch bytes left unset
    compose_ripple(in1, in2, std::int32_t(row_pad(in1.width)), x, y);
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

TEST(ripple_weight, depends_only_on_the_offset)
{
    EXPECT_EQ(ripple_weight(10, 20, 3, 4), ripple_weight(-4, -10, -27, -10));
    EXPECT_EQ(ripple_weight(0, 0, -5, -5), ripple_weight(5, 5, 0, 0));
    EXPECT_EQ(ripple_weight(0, 0, 123, 0), ripple_weight(0, 0, 0, 123));
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

TEST(blend_byte, extreme_weights_reproduce_an_input)
{
    for (int p1 = 0; p1 < 256; p1++)
        for (int p2 = 0; p2 < 256; p2++) {
            ASSERT_EQ(blend_byte(std::uint8_t(p1), std::uint8_t(p2), 0.0f), p2);
            ASSERT_EQ(blend_byte(std::uint8_t(p1), std::uint8_t(p2), -0.0f), p2);
            ASSERT_EQ(blend_byte(std::uint8_t(p1), std::uint8_t(p2), 1.0f), p1);
        }
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

TEST(compose_ripple, fills_every_byte_with_padding_zero)
{
    for (int width : {4, 5, 6, 7, 9}) {
        SCOPED_TRACE(width);
        bmp_input in1 = load({width, 6}, noise1);
        bmp_input in2 = load({width + 3, 8}, noise2);  // larger second input
        compose(in1, in2, 2, -3);
        std::size_t stride = std::size_t(row_length(width));
        for (int i = 0; i < 6; i++) {
            const std::uint8_t* row = pixs_out.memory.data + std::size_t(i) * stride;
            for (int j = 0; j < width; j++) {
                float w = ripple_weight(i, j, 2, -3);
                auto a = noise1(i, j), b = noise2(i, j);
                for (int c = 0; c < 3; c++)
                    ASSERT_EQ(row[3 * j + c], blend_byte(a[c], b[c], w)) << i << "," << j;
            }
            for (std::size_t k = 3 * std::size_t(width); k < stride; k++)
                ASSERT_EQ(row[k], 0);
        }
    }
}

TEST(compose_ripple, centre_shows_the_second_input_and_ring_90_the_first)
{
    bmp_input in1 = load({200, 3}, noise1);
    bmp_input in2 = load({200, 3}, noise2);
    compose(in1, in2, 100, 0);  // y = 0 is the first stored row
    std::size_t stride = std::size_t(row_length(200));
    auto px = [&](int i, int j) {
        const std::uint8_t* p = pixs_out.memory.data + std::size_t(i) * stride + 3 * std::size_t(j);
        return std::array<std::uint8_t, 3>{p[0], p[1], p[2]};
    };
    EXPECT_EQ(px(0, 100), noise2(0, 100));
    EXPECT_EQ(px(0, 10), noise1(0, 10));
    EXPECT_EQ(px(0, 190), noise1(0, 190));
    EXPECT_NE(px(2, 100), noise2(2, 100));
}

// Every path, with strips of every kind (whole rows, bands of rows, windows
// of one row), against the plain definition. The widths straddle the
// weight chunk of 4096 and the narrow rows blended as one run; the second
// input is alike (as one run) or larger and stored the other way.
TEST(compose_ripple, every_path_matches_the_plain_definition)
{
    const std::pair<int, int> shapes[] = {{1, 1},    {1, 9},    {5, 9},    {6, 1},     {7, 9},
                                          {37, 9},   {4095, 3}, {4096, 3}, {4097, 2},  {12293, 2},
                                          {1, 3000}, {31, 50},  {32, 40}};
    std::vector<std::uint8_t> want;
    for (auto [width, height] : shapes)
        for (bmp_params second : {bmp_params{width, height}, bmp_params{width + 2, -(height + 1)}}) {
            bmp_input in1 = load({width, height}, noise1), in2 = load(second, noise2);
            match_inputs(in1, "1", in2, "2");
            const std::pair<std::int32_t, std::int32_t> centres[] = {
                {18, 4},  {0, 0},  {36, 8},  {-1, 9},  {37, -1},  {18, 0},  {0, 4},
                {40000, 40000},     {-40000, 17},       {5, -70000},        {46341, 46341},
                {INT_MIN, INT_MAX}, {INT_MAX, INT_MIN}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX},
                {width - 1, height / 2}, {width / 2, height + 2}};
            const std::int32_t pad = std::int32_t(row_pad(width));
            for (auto [x, y] : centres) {
                pixs_out = pixels_in_memory(image_size(in1));
                compose_ripple_plain(in1, in2, pad, x, y);
                want.assign(pixs_out.memory.data, pixs_out.memory.data + pixs_out.size);
                for (const ripple_path* p : ripple_paths())
                    for (std::size_t strip : {std::size_t(1) << 20, std::size_t(40)}) {
                        pixs_out.strip_size = strip;
                        std::memset(pixs_out.memory.data, 0xCC, pixs_out.size);
                        compose_ripple_with(*p, in1, in2, pad, x, y);
                        ASSERT_TRUE(std::equal(want.begin(), want.end(), pixs_out.memory.data))
                            << p->name << " " << width << "×" << height << " with "
                            << second.width << "×" << second.height << " at " << x << "," << y
                            << ", strips of " << strip << " B";
                    }
            }
        }
}

// Strips written to the output file as they are done make the same block.
TEST(compose_ripple, strips_written_to_a_file_make_the_same_block)
{
    temp_dir dir;
    const std::string name = (dir.path / "Output.bmp").string();
    for (bmp_params shape : {bmp_params{5, 3}, bmp_params{4097, 3}, bmp_params{1, 5000}})
        for (std::size_t strip : {std::size_t(1) << 20, std::size_t(40)}) {
            bmp_input in1 = load(shape, noise1), in2 = load(shape, noise2);
            const std::int32_t x = shape.width / 3, y = shape.height / 2;
            compose(in1, in2, x, y);
            std::vector<std::uint8_t> want(pixs_out.memory.data, pixs_out.memory.data + pixs_out.size);
            {
                output_file out(name);
                pixs_out = pixels_in_file(out, 0, image_size(in1));
                pixs_out.strip_size = strip;
                compose_ripple(in1, in2, std::int32_t(row_pad(shape.width)), x, y);
                out.commit();
            }
            pixs_out = {};
            EXPECT_EQ(read_bytes(name), want) << shape.width << "×" << shape.height << ", " << strip;
        }
}
