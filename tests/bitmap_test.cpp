#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <csignal>
#include <utility>

#include "bad_inputs.hpp"
#include "bitmap.hpp"
#include "bmp_make.hpp"
#include "reference.hpp"
#include "test_files.hpp"

namespace {

std::array<std::uint8_t, 3> pattern(int r, int c)
{
    return {std::uint8_t(c), std::uint8_t(r), std::uint8_t(0x80 | (r * 3 + c))};
}

bmp_input parse(const std::vector<std::uint8_t>& bytes, const std::string& label = "in.bmp")
{
    return load_bytes(bytes, label);
}

std::string rejection(const std::vector<std::uint8_t>& bytes)
{
    return error_of([&] { check_header(bytes, bytes.size(), "in.bmp"); });
}

void expect_rows(const bmp_input& in, int width, std::initializer_list<int> stored_rows)
{
    int i = 0;
    for (int r : stored_rows) {
        for (int c = 0; c < width; c++)
            for (int k = 0; k < 3; k++)
                ASSERT_EQ(in.view().row(i)[3 * c + k], pattern(r, c)[k]) << "row " << i << ", column " << c;
        i++;
    }
}

}  // namespace

// Rows come from the pixel offset, in storage order, bottom-up or top-down.
TEST(load_bitmap, reads_rows_from_the_pixel_offset_for_every_header_size)
{
    for (std::uint32_t info : {40u, 108u, 124u})
        for (std::uint32_t gap : {0u, 7u})
            for (std::uint32_t tail : {0u, 300u})
                for (std::int32_t height : {3, -3}) {
                    SCOPED_TRACE(std::to_string(info) + " + " + std::to_string(gap) + " + " +
                                 std::to_string(tail) + ", " + std::to_string(height));
                    auto bytes = make_bmp({5, height, info, gap, 24, 0, tail}, pattern);
                    bmp_input in = parse(bytes);
                    EXPECT_EQ(in.layout.width, 5);
                    EXPECT_EQ(in.layout.height, 3);
                    EXPECT_EQ(in.layout.top_down, height < 0);
                    EXPECT_EQ(in.layout.pixel_offset, 14 + info + gap);
                    expect_rows(in, 5, {0, 1, 2});
                }
}

// Mappings start on a page: the pixel block must be whole however its
// start and end fall within pages (here a 54-byte header, and a block that
// ends exactly on a page boundary).
TEST(load_bitmap, maps_the_whole_pixel_block_wherever_it_lies)
{
    for (const bmp_params& p : {bmp_params{640, 480, 40}, bmp_params{4, 600, 40, 938}}) {
        bmp_input in = parse(make_bmp(p, pattern));
        const int last = p.height - 1;
        for (int c = 0; c < p.width; c++)
            for (int k = 0; k < 3; k++)
                ASSERT_EQ(in.view().row(last)[3 * c + k], pattern(last, c)[k]) << p.width << ", column " << c;
    }
}

// A file cut while it is read ends the read with the truncated-file line
// instead of reading on.
TEST(input_file, a_file_cut_while_it_is_read_ends_the_read)
{
    temp_dir dir;
    const std::string name = (dir.path / "in.bmp").string();
    ASSERT_TRUE(write_file(name, std::vector<std::uint8_t>(5000, 7)));
    input_file in(name);
    fs::resize_file(name, 100);
    std::vector<std::uint8_t> got(5000);
    EXPECT_EQ(error_of([&] { in.read_at(0, got.data(), got.size()); }),
              name + ": plik został skrócony w trakcie odczytu");
    EXPECT_EQ(error_of([&] { in.check_unchanged(); }), name + ": plik został skrócony w trakcie odczytu");
}

// Every pixel of a larger second input stored the other way: the rows
// used are its bottom ones, in the first input's direction.
TEST(match_inputs, lines_up_inputs_of_opposite_direction)
{
    bmp_input up = parse(make_bmp({4, 3}, pattern));
    bmp_input down = parse(make_bmp({6, -5}, pattern));
    match_inputs(up, down);
    expect_rows(down, 6, {4, 3, 2, 1, 0});

    bmp_input down1 = parse(make_bmp({4, -3}, pattern));
    bmp_input up2 = parse(make_bmp({6, 5}, pattern));
    match_inputs(down1, up2);
    expect_rows(up2, 6, {4, 3, 2, 1, 0});  // its top rows, top first

    bmp_input down2 = parse(make_bmp({6, -5}, pattern));
    match_inputs(down1, down2);
    expect_rows(down2, 6, {0, 1, 2, 3, 4});
}

TEST(match_inputs, says_which_side_of_the_second_input_is_short)
{
    bmp_input in1 = parse(make_bmp({8, 4}, pattern), "Input_1.bmp");
    const std::pair<bmp_params, std::string> cases[] = {
        {{7, 4}, "obraz jest za wąski: ma 7 px szerokości, a Input_1.bmp ma 8 px"},
        {{8, 3}, "obraz jest za niski: ma 3 px wysokości, a Input_1.bmp ma 4 px"},
        {{7, -3}, "obraz jest za wąski i za niski: ma 7×3 px, a Input_1.bmp ma 8×4 px"},
        {{9, 5}, ""},
    };
    for (const auto& [params, message] : cases) {
        bmp_input in2 = parse(make_bmp(params, pattern), "Input_2.bmp");
        std::string want = message;
        if (!want.empty())
            want = in2.file.name() + ": " + want.replace(want.find("Input_1.bmp"), 11, in1.file.name());
        EXPECT_EQ(error_of([&] { match_inputs(in1, in2); }), want);
    }
}

// From its bytes, and from a file of them: a file shorter than the headers
// is read only as far as it goes.
TEST(load_bitmap, rejects_what_it_cannot_read)
{
    ASSERT_EQ(rejection(bad_input_base()), "");
    for (const bad_input& c : bad_inputs()) {
        std::string msg = rejection(c.bytes);
        EXPECT_NE(msg.find(c.message), std::string::npos) << c.what << ": " << msg;
        EXPECT_EQ(msg.rfind("in.bmp: ", 0), 0u) << c.what << ": " << msg;
        std::string loaded = error_of([&] { load_bytes(c.bytes); });
        EXPECT_NE(loaded.find(c.message), std::string::npos) << c.what << ": " << loaded;
    }
}

// What a file system may do that none here can be made to: refuse to map
// (FUSE with direct_io), which is read instead; refuse otherwise, which is
// said; or cut a read short.
TEST(input_file, takes_what_its_file_system_gives)
{
    const auto bytes = make_bmp({5, 3}, pattern);
    input_os os = native_input_os();
    for (int err : {ENODEV, EOPNOTSUPP}) {
        static int refusal;
        refusal = err;
        os.map = [](std::intptr_t, std::uint64_t, std::size_t, void*&) { return refusal; };
        bmp_input in = load_bytes(bytes, "in.bmp", os);
        EXPECT_EQ(in.pixels, nullptr);
        EXPECT_EQ(in.view().base, nullptr);
    }
    // A read cut short by a signal is made again.
    os.read_at = [](std::intptr_t h, std::uint64_t offset, std::uint8_t* dst, std::size_t n, std::size_t& got) {
        static bool interrupted;
        if (!std::exchange(interrupted, true))
            return EINTR;
        return native_input_os().read_at(h, offset, dst, n, got);
    };
    EXPECT_EQ(error_of([&] { load_bytes(bytes, "in.bmp", os); }), "");
    os = native_input_os();
    os.map = [](std::intptr_t, std::uint64_t, std::size_t, void*&) { return EACCES; };
    const std::string refused = error_of([&] { load_bytes(bytes, "in.bmp", os); });
    EXPECT_NE(refused.find("in.bmp: nie można zmapować pliku: brak uprawnień"), std::string::npos) << refused;
}

// A change the file system tells of, in size or in either time, and one it
// hides by answering from what it cached.
TEST(input_file, sees_every_change_its_file_system_tells_or_hides)
{
    const auto bytes = make_bmp({5, 3}, pattern);
    input_os os = native_input_os();
    static void (*change)(file_version&) = nullptr;
    os.status = [](std::intptr_t h, file_status& st) {
        const int err = native_input_os().status(h, st);
        if (change)
            change(st.version);
        return err;
    };
    temp_dir dir;
    const std::string name = (dir.path / "in.bmp").string();
    ASSERT_TRUE(write_file(name, bytes));
    input_file in(name, os);
    EXPECT_EQ(error_of([&] { in.check_unchanged(); }), "");
    for (auto c : {+[](file_version& v) { v.size += 10; }, +[](file_version& v) { v.mtime_ns++; },
                   +[](file_version& v) { v.ctime_ns++; }}) {
        change = c;
        EXPECT_EQ(error_of([&] { in.check_unchanged(); }), name + ": plik zmienił się w trakcie działania programu");
    }
    change = [](file_version& v) { v.size -= 1; };
    EXPECT_EQ(error_of([&] { in.check_unchanged(); }), name + ": plik został skrócony w trakcie odczytu");
    change = nullptr;

#ifndef _WIN32  // where no file that is open can be renamed over or removed
    // A file system that answers for the open file from what it cached when
    // it was opened still cannot hide another file put under its name, or
    // the name gone.
    static file_status cached;
    os.status = [](std::intptr_t, file_status& st) {
        st = cached;
        return 0;
    };
    ASSERT_EQ(native_input_os().status_of_name(name, cached), 0);
    input_file stale(name, os);
    EXPECT_EQ(error_of([&] { stale.check_unchanged(); }), "");
    ASSERT_TRUE(write_file((dir.path / "other.bmp").string(), bytes));
    fs::rename(dir.path / "other.bmp", name);
    EXPECT_EQ(error_of([&] { stale.check_unchanged(); }), name + ": plik zmienił się w trakcie działania programu");
    fs::remove(name);
    EXPECT_EQ(error_of([&] { stale.check_unchanged(); }), name + ": plik zmienił się w trakcie działania programu");
#endif
}

#if !defined(_WIN32) && !RIPPLE_SANITIZED && !defined(RIPPLE_EMULATED)
// Each mapped input is guarded while it is mapped, whichever goes first: a
// page of the one still open that another program cut off ends the run
// with its own line and status 1; and with both gone, SIGBUS is as it was.
TEST(load_bitmap, guards_each_mapping_while_it_lasts)
{
    temp_dir dir;
    const std::string first = (dir.path / "first.bmp").string(), second = (dir.path / "second.bmp").string();
    ASSERT_TRUE(write_file(first, make_bmp({4000, 100}, pattern)));
    ASSERT_TRUE(write_file(second, make_bmp({4000, 100}, pattern)));
    struct sigaction before;
    sigaction(SIGBUS, nullptr, &before);
    auto cut_the_second = [&] {
        bmp_input in1 = load_bitmap(first), in2 = load_bitmap(second);
        in1.file.close();
        fs::resize_file(second, 100);
        volatile std::uint8_t sum = 0;
        for (std::int32_t i = 0; i < in2.layout.height; i++)
            sum = std::uint8_t(sum + in2.view().row(i)[0]);
        std::exit(0);
    };
    EXPECT_EXIT(cut_the_second(), ::testing::ExitedWithCode(1), second + ": plik został skrócony w trakcie odczytu");
    {
        bmp_input in1 = load_bitmap(first), in2 = load_bitmap(first);
    }
    struct sigaction after;
    sigaction(SIGBUS, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}
#endif

#ifndef _WIN32  // FIFOs and devices as files are POSIX's
TEST(load_bitmap, refuses_at_once_what_is_not_a_regular_file)
{
    temp_dir dir;
    auto message = [](const fs::path& p) { return error_of([&] { load_bitmap(p.string()); }); };
    ASSERT_EQ(mkfifo((dir.path / "fifo.bmp").c_str(), 0600), 0);  // no writer: open must not wait
    EXPECT_EQ(message(dir.path / "fifo.bmp"), (dir.path / "fifo.bmp").string() + ": to nie jest zwykły plik");
    EXPECT_EQ(message(dir.path / "none.bmp"),
              (dir.path / "none.bmp").string() + ": nie można otworzyć pliku: nie ma takiego pliku");
    EXPECT_EQ(message(dir.path), dir.path.string() + ": to jest katalog, a nie plik");
    EXPECT_EQ(message("/dev/null"), "/dev/null: to nie jest zwykły plik");
    ASSERT_TRUE(write_file((dir.path / "ok.bmp").string(), make_bmp({5, 3, 124, 2}, pattern)));
    bmp_input in = load_bitmap((dir.path / "ok.bmp").string());
    EXPECT_EQ(in.layout.pixel_offset, 14u + 124u + 2u);
    expect_rows(in, 5, {0, 1, 2});
}
#endif
