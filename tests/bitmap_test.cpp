#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "bitmap.hpp"
#include "bad_inputs.hpp"
#include "bmp_make.hpp"

namespace fs = std::filesystem;

namespace {

std::array<std::uint8_t, 3> pattern(int r, int c)
{
    return {std::uint8_t(c), std::uint8_t(r), std::uint8_t(0x80 | (r * 3 + c))};
}

bmp_input parse(const std::vector<std::uint8_t>& bytes, bool with_rest = true)
{
    return parse_bitmap(bytes.data(), bytes.size(), "in.bmp", with_rest);
}

// The message of the error that parsing `bytes` throws, or "" if none.
std::string rejection(const std::vector<std::uint8_t>& bytes)
{
    try {
        parse(bytes);
    } catch (const ripple_error& e) {
        return e.what();
    }
    return "";
}

std::vector<std::uint8_t> read_all(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

struct temp_dir {
    fs::path path;
    temp_dir()
    {
        std::string t = (fs::temp_directory_path() / "ripple-XXXXXX").string();
        path = mkdtemp(t.data());
    }
    ~temp_dir() { fs::remove_all(path); }
};

}  // namespace

TEST(row_geometry, pads_rows_to_four_bytes)
{
    const std::int64_t pads[] = {0, 1, 2, 3}, lengths[] = {12, 16, 20, 24};
    for (int w = 4; w <= 7; w++) {
        EXPECT_EQ(row_pad(w), pads[w - 4]) << w;
        EXPECT_EQ(row_length(w), lengths[w - 4]) << w;
    }
    EXPECT_EQ(row_length(1), 4);
    EXPECT_EQ(row_length(INT_MAX), 3 * std::int64_t(INT_MAX) + 3);
}

TEST(load_bitmap, reads_rows_from_the_pixel_offset_for_every_header_size)
{
    for (std::uint32_t info : {40u, 108u, 124u})
        for (std::uint32_t gap : {0u, 7u}) {
            SCOPED_TRACE(std::to_string(info) + " + " + std::to_string(gap));
            auto bytes = make_bmp({5, 3, info, gap}, pattern);
            bmp_input in = parse(bytes);
            EXPECT_EQ(in.width, 5);
            EXPECT_EQ(in.height, 3);
            EXPECT_FALSE(in.top_down);
            // The three blocks are exactly the bytes before the pixels.
            std::vector<std::uint8_t> hdr(in.hdr_file.begin(), in.hdr_file.end());
            hdr.insert(hdr.end(), in.hdr_info.begin(), in.hdr_info.end());
            hdr.insert(hdr.end(), in.hdr_rest.begin(), in.hdr_rest.end());
            ASSERT_EQ(hdr.size(), 14 + info + gap);
            EXPECT_TRUE(std::equal(hdr.begin(), hdr.end(), bytes.begin()));
            ASSERT_EQ(in.rows.size(), 3u);
            for (int r = 0; r < 3; r++)
                for (int c = 0; c < 5; c++)
                    for (int k = 0; k < 3; k++)
                        ASSERT_EQ(in.rows[r][3 * c + k], pattern(r, c)[k]);
        }
}

TEST(load_bitmap, second_input_skips_its_extra_header)
{
    bmp_input in = parse(make_bmp({5, 3, 124, 9}, pattern), false);
    EXPECT_TRUE(in.hdr_rest.empty());
    EXPECT_EQ(in.rows[2][0], pattern(2, 0)[0]);
    EXPECT_EQ(in.rows[2][14], pattern(2, 4)[2]);
}

TEST(load_bitmap, top_down_rows_stay_in_storage_order)
{
    bmp_input in = parse(make_bmp({4, -3}, pattern));
    EXPECT_TRUE(in.top_down);
    EXPECT_EQ(in.height, 3);
    EXPECT_EQ(in.rows[0][1], pattern(0, 0)[1]);
    EXPECT_EQ(in.rows[2][1], pattern(2, 0)[1]);
}

TEST(match_inputs, lines_up_inputs_of_opposite_direction)
{
    bmp_input up = parse(make_bmp({4, 3}, pattern));
    bmp_input down = parse(make_bmp({4, -3}, pattern), false);
    bmp_input down_too = parse(make_bmp({4, -3}, pattern), false);
    match_inputs(up, "a.bmp", down, "b.bmp");
    EXPECT_EQ(down.rows[0][1], pattern(2, 0)[1]);  // the bottom row, as in `up`
    EXPECT_EQ(down.rows[2][1], pattern(0, 0)[1]);
    bmp_input down1 = parse(make_bmp({4, -3}, pattern));
    match_inputs(down1, "a.bmp", down_too, "b.bmp");
    EXPECT_EQ(down_too.rows[0][1], pattern(0, 0)[1]);
}

TEST(match_inputs, refuses_a_smaller_second_input)
{
    bmp_input in1 = parse(make_bmp({6, 4}, pattern));
    for (auto [w, h] : {std::pair{5, 4}, {6, 3}, {5, -3}}) {
        bmp_input in2 = parse(make_bmp({w, h}, pattern), false);
        try {
            match_inputs(in1, "Input_1.bmp", in2, "Input_2.bmp");
            ADD_FAILURE() << w << "×" << h << " accepted";
        } catch (const ripple_error& e) {
            EXPECT_EQ(std::string(e.what()), "Input_2.bmp: obraz " + std::to_string(w) + "×" +
                                                 std::to_string(std::abs(h)) +
                                                 " jest mniejszy niż Input_1.bmp (6×4)");
        }
    }
    bmp_input bigger = parse(make_bmp({7, 5}, pattern), false);
    EXPECT_NO_THROW(match_inputs(in1, "Input_1.bmp", bigger, "Input_2.bmp"));
}

TEST(load_bitmap, rejects_what_it_cannot_read)
{
    ASSERT_EQ(rejection(bad_input_base()), "");
    for (const bad_input& c : bad_inputs()) {
        std::string msg = rejection(c.bytes);
        EXPECT_NE(msg.find(c.message), std::string::npos) << c.what << ": " << msg;
        EXPECT_EQ(msg.rfind("in.bmp: ", 0), 0u) << c.what << ": " << msg;
    }
}

TEST(load_bitmap, names_the_file_that_cannot_be_opened)
{
    temp_dir dir;
    auto message = [](const fs::path& p) {
        try {
            load_bitmap(p.string(), true);
        } catch (const ripple_error& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(message(dir.path / "none.bmp"),
              (dir.path / "none.bmp").string() + ": nie można otworzyć pliku: nie ma takiego pliku");
    EXPECT_EQ(message(dir.path), dir.path.string() + ": to jest katalog, a nie plik");
    EXPECT_EQ(message("/dev/null"), "/dev/null: to nie jest zwykły plik");
    ASSERT_TRUE(write_file((dir.path / "ok.bmp").string(), make_bmp({5, 3, 124, 2}, pattern)));
    bmp_input in = load_bitmap((dir.path / "ok.bmp").string(), true);
    EXPECT_EQ(in.hdr_rest.size(), 124u - 40u + 2u);
    EXPECT_EQ(in.rows[1][3], pattern(1, 1)[0]);
}

TEST(output_file, replaces_the_old_file_only_on_commit)
{
    temp_dir dir;
    std::string name = (dir.path / "Output.bmp").string();
    ASSERT_TRUE(write_file(name, {1, 2, 3}));
    const std::uint8_t data[] = {9, 8, 7, 6};
    {
        output_file out(name);
        out.write(data, sizeof data);
    }  // abandoned, as after a failure
    EXPECT_EQ(read_all(name), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);
    {
        output_file out(name);
        out.write(data, sizeof data);
        out.commit();
    }
    EXPECT_EQ(read_all(name), (std::vector<std::uint8_t>{9, 8, 7, 6}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 1);
}

TEST(write_header, copies_the_first_inputs_header_unchanged)
{
    temp_dir dir;
    std::string name = (dir.path / "Output.bmp").string();
    for (std::uint32_t info : {40u, 108u, 124u}) {
        auto bytes = make_bmp({6, 2, info, 3}, pattern);
        bmp_input in = parse(bytes);
        pixs_out = alloc_block(0, "out");
        output_file out(name);
        write_header(out, in);
        write_pixels(out);
        out.commit();
        auto written = read_all(name);
        ASSERT_EQ(written.size(), 14 + info + 3);
        EXPECT_TRUE(std::equal(written.begin(), written.end(), bytes.begin()));
    }
}
