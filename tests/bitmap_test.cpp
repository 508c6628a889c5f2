#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>

#include "bad_inputs.hpp"
#include "bitmap.hpp"
#include "bmp_make.hpp"
#include "test_files.hpp"

namespace {

std::array<std::uint8_t, 3> pattern(int r, int c)
{
    return {std::uint8_t(c), std::uint8_t(r), std::uint8_t(0x80 | (r * 3 + c))};
}

bmp_input parse(const std::vector<std::uint8_t>& bytes)
{
    return parse_bitmap(bytes.data(), bytes.size(), "in.bmp");
}

// The message of the error that `f` throws, or "" if none.
template <class F>
std::string error_of(F f)
{
    try {
        f();
    } catch (const ripple_error& e) {
        return e.what();
    }
    return "";
}

std::string rejection(const std::vector<std::uint8_t>& bytes)
{
    return error_of([&] { parse(bytes); });
}

void expect_rows(const bmp_input& in, int width, std::initializer_list<int> stored_rows)
{
    int i = 0;
    for (int r : stored_rows) {
        for (int c = 0; c < width; c++)
            for (int k = 0; k < 3; k++)
                ASSERT_EQ(in.row(i)[3 * c + k], pattern(r, c)[k]) << "row " << i << ", column " << c;
        i++;
    }
}

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
        for (std::uint32_t gap : {0u, 7u})
            for (std::uint32_t tail : {0u, 300u}) {
                SCOPED_TRACE(std::to_string(info) + " + " + std::to_string(gap) + " + " +
                             std::to_string(tail));
                auto bytes = make_bmp({5, 3, info, gap, 24, 0, tail}, pattern);
                bmp_input in = parse(bytes);
                EXPECT_EQ(in.width, 5);
                EXPECT_EQ(in.height, 3);
                EXPECT_FALSE(in.top_down);
                EXPECT_EQ(in.pixel_offset, 14 + info + gap);
                EXPECT_TRUE(std::equal(in.hdr_file.begin(), in.hdr_file.end(), bytes.begin()));
                EXPECT_TRUE(std::equal(in.hdr_info.begin(), in.hdr_info.end(), bytes.begin() + 14));
                expect_rows(in, 5, {0, 1, 2});
            }
}

TEST(load_bitmap, top_down_rows_stay_in_storage_order)
{
    bmp_input in = parse(make_bmp({4, -3}, pattern));
    EXPECT_TRUE(in.top_down);
    EXPECT_EQ(in.height, 3);
    expect_rows(in, 4, {0, 1, 2});
}

// Every pixel of a larger second input stored the other way: the rows
// used are its bottom ones, in the first input's direction.
TEST(match_inputs, lines_up_inputs_of_opposite_direction)
{
    bmp_input up = parse(make_bmp({4, 3}, pattern));
    bmp_input down = parse(make_bmp({6, -5}, pattern));
    match_inputs(up, "a.bmp", down, "b.bmp");
    expect_rows(down, 6, {4, 3, 2, 1, 0});

    bmp_input down1 = parse(make_bmp({4, -3}, pattern));
    bmp_input up2 = parse(make_bmp({6, 5}, pattern));
    match_inputs(down1, "a.bmp", up2, "b.bmp");
    expect_rows(up2, 6, {4, 3, 2, 1, 0});  // its top rows, top first

    bmp_input down2 = parse(make_bmp({6, -5}, pattern));
    match_inputs(down1, "a.bmp", down2, "b.bmp");
    expect_rows(down2, 6, {0, 1, 2, 3, 4});
}

TEST(match_inputs, says_which_side_of_the_second_input_is_short)
{
    bmp_input in1 = parse(make_bmp({8, 4}, pattern));
    const std::pair<bmp_params, std::string> cases[] = {
        {{7, 4}, "obraz jest za wąski: ma 7 px szerokości, a Input_1.bmp ma 8 px"},
        {{8, 3}, "obraz jest za niski: ma 3 px wysokości, a Input_1.bmp ma 4 px"},
        {{7, -3}, "obraz jest za wąski i za niski: ma 7×3 px, a Input_1.bmp ma 8×4 px"},
        {{9, 5}, ""},
    };
    for (const auto& [params, message] : cases) {
        bmp_input in2 = parse(make_bmp(params, pattern));
        EXPECT_EQ(error_of([&] { match_inputs(in1, "Input_1.bmp", in2, "Input_2.bmp"); }),
                  message.empty() ? "" : "Input_2.bmp: " + message);
    }
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
    EXPECT_EQ(in.pixel_offset, 14u + 124u + 2u);
    expect_rows(in, 5, {0, 1, 2});
}

// The output file, in both of its ways of being made: unnamed until
// complete, and the named fallback.
class output : public ::testing::TestWithParam<bool> {
protected:
    temp_dir dir;
    std::string name = (dir.path / "Output.bmp").string();
    const std::vector<std::uint8_t> old{1, 2, 3};
    const std::uint8_t data[4] = {9, 8, 7, 6};

    void SetUp() override { ASSERT_TRUE(write_file(name, old)); }

    // The old file untouched and nothing else in the folder.
    void expect_untouched()
    {
        EXPECT_EQ(read_bytes(name), old);
        EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
    }

    // A child that writes an output and then receives `sig`.
    void write_then(int sig)
    {
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        output_file out(name, GetParam());
        out.write_at(0, data, sizeof data);
        std::raise(sig);
        out.commit();
        std::exit(0);
    }
};

INSTANTIATE_TEST_SUITE_P(files, output, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "unnamed" : "named"; });

TEST_P(output, replaces_the_old_file_only_on_commit)
{
    {
        output_file out(name, GetParam());
        out.write_at(0, data, sizeof data);
    }  // abandoned, as after a failure
    expect_untouched();

    // A stale file under the first temporary name is neither used nor removed.
    const std::string stale = name + "." + std::to_string(getpid()) + ".0.tmp";
    ASSERT_TRUE(write_file(stale, {'s'}));
    {
        output_file out(name, GetParam());
        out.write_at(2, data, sizeof data);
        out.write_at(0, data, 2);
        out.commit();
    }
    EXPECT_EQ(read_bytes(name), (std::vector<std::uint8_t>{9, 8, 9, 8, 7, 6}));
    EXPECT_EQ(read_text(stale), "s");
    EXPECT_EQ(dir.others({"Output.bmp", fs::path(stale).filename().string()}),
              std::vector<std::string>{});
}

TEST_P(output, keeps_the_old_files_permissions)
{
    ASSERT_EQ(chmod(name.c_str(), 0604), 0);
    {
        output_file out(name, GetParam());
        out.write_at(0, data, sizeof data);
        out.commit();
    }
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    // A new file follows the umask.
    fs::remove(name);
    mode_t mask = umask(027);
    {
        output_file out(name, GetParam());
        out.commit();
    }
    umask(mask);
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_P(output, reports_every_failure_to_write_and_leaves_the_old_file)
{
    const std::string prefix = name + ": ";
    EXPECT_EQ(error_of([&] {
                  output_file out(name, GetParam());
                  int full = open("/dev/full", O_WRONLY);
                  dup2(full, out.fd);  // every write now fails with ENOSPC
                  close(full);
                  out.write_at(0, data, sizeof data);
              }),
              prefix + "błąd zapisu: brak miejsca na dysku");
    expect_untouched();
    EXPECT_EQ(error_of([&] {
                  output_file out(name, GetParam());
                  out.close_file = [](int fd) {  // as a network file system may fail
                      ::close(fd);
                      errno = EIO;
                      return -1;
                  };
                  out.commit();
              }),
              prefix + "błąd zapisu: błąd wejścia/wyjścia urządzenia");
    expect_untouched();
    auto reserve_over_the_limit = [&] {
        rlimit small{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &small);  // SIGXFSZ would kill this child
        std::fputs(error_of([&] {
                       output_file out(name, GetParam());
                       out.reserve(8192);
                   }).c_str(),
                   stderr);
        std::exit(0);
    };
    EXPECT_EXIT(reserve_over_the_limit(), ::testing::ExitedWithCode(0),
                "nie można zarezerwować miejsca na plik: plik byłby większy, niż pozwala limit "
                "rozmiaru pliku \\(ulimit -f\\)$");
    expect_untouched();
}

// Whatever ends the run, nothing is left behind, and what the parent
// ignored stays ignored.
TEST_P(output, no_signal_leaves_a_file_behind)
{
    std::vector<int> signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGXCPU};
    if (GetParam())
        signals.push_back(SIGKILL);  // which no handler can clean up after
    for (int sig : signals) {
        SCOPED_TRACE(sig);
        EXPECT_EXIT(write_then(sig), ::testing::KilledBySignal(sig), "");
        expect_untouched();
    }
    auto ignored_stays_ignored = [&] {
        std::signal(SIGHUP, SIG_IGN);  // as under nohup
        {
            output_file out(name, GetParam());
            std::raise(SIGHUP);
            out.commit();
        }
        struct sigaction now;
        sigaction(SIGHUP, nullptr, &now);
        std::exit(now.sa_handler == SIG_IGN ? 0 : 1);
    };
    EXPECT_EXIT(ignored_stays_ignored(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>{});
}

// The output is the first input with its pixel block replaced, whatever
// lies around the pixels: longer info headers, gaps, a profile after them.
TEST(write_header, the_output_is_the_first_input_outside_the_pixel_block)
{
    temp_dir dir;
    std::string name = (dir.path / "Output.bmp").string();
    const bmp_params firsts[] = {
        {6, 2, 40}, {6, 2, 108, 3}, {6, -2, 124, 0, 24, 0, 3000}, {5, 3, 40, 0, 24, 0, 17}};
    for (const bmp_params& p : firsts) {
        auto bytes = make_bmp(p, pattern);
        bmp_input in = parse(bytes);
        output_file out(name);
        out.reserve(bytes.size());
        write_header(out, in);
        std::vector<std::uint8_t> pixels(std::size_t(image_size(in)), 0xC3);
        out.write_at(in.pixel_offset, pixels.data(), pixels.size());
        write_tail(out, in);
        out.commit();

        auto want = bytes;
        std::copy(pixels.begin(), pixels.end(), want.begin() + std::ptrdiff_t(in.pixel_offset));
        EXPECT_EQ(read_bytes(name), want) << p.info_size << " + " << p.gap << " + " << p.tail;
    }
}
