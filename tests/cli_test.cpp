// Runs the built program in a scratch folder, as a person would.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "bad_inputs.hpp"
#include "bmp_make.hpp"

namespace fs = std::filesystem;

namespace {

// AddressSanitizer reserves terabytes of address space up front, so its
// builds cannot run under an address-space limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool can_limit = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool can_limit = false;
#else
constexpr bool can_limit = true;
#endif
#else
constexpr bool can_limit = true;
#endif

const std::string prompt_x = "Podaj współrzędną x : ";
const std::string prompt_y = "Podaj współrzędną y : ";

std::string read_text(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

std::vector<std::uint8_t> read_bytes(const fs::path& p)
{
    std::string s = read_text(p);
    return {s.begin(), s.end()};
}

struct run_result {
    int status;
    std::string out, err;
};

// Per-pixel patterns with no symmetry, so swapped rows, columns or
// channels all show.
std::array<std::uint8_t, 3> pic1(int r, int c)
{
    return {std::uint8_t(40 * c + 10), std::uint8_t(100 * r + 20), std::uint8_t(250 - 30 * c - 40 * r)};
}

std::array<std::uint8_t, 3> pic2(int r, int c)
{
    return {std::uint8_t(200 - 35 * c), std::uint8_t(60 * r + 5), std::uint8_t(17 + 50 * c)};
}

class cli : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        std::string t = (fs::temp_directory_path() / "ripple-cli-XXXXXX").string();
        dir = mkdtemp(t.data());
    }
    void TearDown() override { fs::remove_all(dir); }

    void put(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        ASSERT_TRUE(write_file((dir / name).string(), bytes));
    }

    void put_pair(bmp_params s1 = {5, 3}, bmp_params s2 = {5, 3})
    {
        put("Input_1.bmp", make_bmp(s1, pic1));
        put("Input_2.bmp", make_bmp(s2, pic2));
    }

    // With `limit`, the program gets 256 MiB of address space: enough for
    // the small pictures here, far too little for any lie a header tells.
    run_result run(const std::string& answers, bool limit = false,
                   const std::string& limit_kib = "262144")
    {
        std::ofstream(dir / "stdin.txt", std::ios::binary) << answers;
        std::string cmd = "cd '" + dir.string() + "' && " +
                          (limit && can_limit ? "ulimit -v " + limit_kib + "; " : "") + "'" +
                          RIPPLE_EXE "' extra args <stdin.txt >stdout.txt 2>stderr.txt";
        int rc = std::system(cmd.c_str());
        run_result r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read_text(dir / "stdout.txt"),
                     read_text(dir / "stderr.txt")};
        for (auto f : {"stdin.txt", "stdout.txt", "stderr.txt"})
            fs::remove(dir / f);
        return r;
    }

    // Names in the folder other than the inputs: the output and any leftover.
    std::vector<std::string> others()
    {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(dir)) {
            std::string n = e.path().filename().string();
            if (n != "Input_1.bmp" && n != "Input_2.bmp")
                names.push_back(n);
        }
        return names;
    }

    void expect_failure(const std::string& answers, const std::string& message,
                        const std::string& stdout_text = "")
    {
        const std::vector<std::uint8_t> old{'o', 'l', 'd'};
        put("Output.bmp", old);
        run_result r = run(answers);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, stdout_text);
        EXPECT_EQ(r.err, message + "\n");
        EXPECT_EQ(read_bytes(dir / "Output.bmp"), old);
        EXPECT_EQ(others(), std::vector<std::string>{"Output.bmp"});
    }
};

// Worked out apart from the program, straight from the definition, for the
// 5 × 3 pair above: rows in storage order, blue, green, red.
const std::uint8_t expected_at_1_2[] = {
    192, 5, 26,  160, 5,  72, 128, 5,  119, 96, 5,   166, 66, 5,   211, 0,
    195, 66, 21, 162, 65, 68, 129, 66, 117, 96, 67,  165, 66, 68,  209, 0,
    196, 126, 19, 165, 125, 67, 129, 126, 116, 96, 128, 163, 65, 129, 208, 0,
};
const std::uint8_t expected_at_minus400_300[] = {
    77, 14, 166,  92, 14, 163,  105, 14, 162,  116, 14, 162,  125, 13, 164,  0,
    76, 100, 142, 91, 100, 139, 104, 99, 137,  116, 99, 137,  126, 98, 139,  0,
    74, 187, 117, 90, 186, 114, 104, 185, 112, 116, 184, 112, 127, 183, 114, 0,
};

}  // namespace

TEST_F(cli, writes_the_blend_behind_the_first_inputs_header)
{
    put_pair({5, 3, 108}, {5, 3, 40});
    run_result r = run("1\n2\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, prompt_x + prompt_y);
    EXPECT_EQ(r.err, "");
    auto out = read_bytes(dir / "Output.bmp");
    auto in1 = read_bytes(dir / "Input_1.bmp");
    ASSERT_EQ(out.size(), 170u);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 122, in1.begin()));
    EXPECT_TRUE(std::equal(out.begin() + 122, out.end(), std::begin(expected_at_1_2)));
    EXPECT_EQ(others(), std::vector<std::string>{"Output.bmp"});
}

TEST_F(cli, reads_replies_in_percent_i_syntax)
{
    put_pair();
    // -0x190 is -400 and 0454 is octal 300; both replies on one line.
    run_result r = run("  -0x190 0454\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, prompt_x + prompt_y);
    auto out = read_bytes(dir / "Output.bmp");
    ASSERT_EQ(out.size(), 170u);
    EXPECT_TRUE(std::equal(out.begin() + 122, out.end(), std::begin(expected_at_minus400_300)));

    run_result hex = run("0x10\n010\n");
    auto by_hex = read_bytes(dir / "Output.bmp");
    run_result dec = run("+16 8");
    EXPECT_EQ(hex.status, 0);
    EXPECT_EQ(dec.status, 0);
    EXPECT_EQ(by_hex, read_bytes(dir / "Output.bmp"));
}

TEST_F(cli, keeps_the_first_inputs_header_whatever_its_size)
{
    put_pair({6, -2, 124, 5}, {7, 4, 40});  // top-down, gap, larger second input
    run_result r = run("-2147483648 2147483647\n");
    EXPECT_EQ(r.status, 0);
    auto out = read_bytes(dir / "Output.bmp");
    auto in1 = read_bytes(dir / "Input_1.bmp");
    ASSERT_EQ(out.size(), in1.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 14 + 124 + 5, in1.begin()));
    for (std::size_t row = 0; row < 2; row++)
        for (std::size_t k = 18; k < 20; k++)
            EXPECT_EQ(out[143 + row * 20 + k], 0);
}

TEST_F(cli, asks_again_after_a_bad_reply)
{
    put_pair();
    run_result r = run("abc rest of line\n12x\n0x\n99999999999\n1\n  08 \n2\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, prompt_x + prompt_x + prompt_x + prompt_x + prompt_x + prompt_y + prompt_y);
    const std::string hint = "”: potrzebna liczba całkowita z zakresu od -2147483648 do "
                             "2147483647 (np. 320, -5, 0x1F, 017)\n";
    EXPECT_EQ(r.err, "nieprawidłowa odpowiedź „abc" + hint + "nieprawidłowa odpowiedź „12x" + hint +
                         "nieprawidłowa odpowiedź „0x" + hint + "nieprawidłowa odpowiedź „99999999999" +
                         hint + "nieprawidłowa odpowiedź „08" + hint);
    auto out = read_bytes(dir / "Output.bmp");
    ASSERT_EQ(out.size(), 170u);
    EXPECT_TRUE(std::equal(out.begin() + 122, out.end(), std::begin(expected_at_1_2)));
}

TEST_F(cli, end_of_input_writes_nothing)
{
    put_pair();
    const std::string msg =
        "standardowe wejście: dane skończyły się przed podaniem obu współrzędnych";
    expect_failure("", msg, prompt_x);
    expect_failure("5\n", msg, prompt_x + prompt_y);
    expect_failure("oops", "nieprawidłowa odpowiedź „oops”: potrzebna liczba całkowita z zakresu "
                           "od -2147483648 do 2147483647 (np. 320, -5, 0x1F, 017)\n" + msg,
                   prompt_x + prompt_x);
}

TEST_F(cli, bad_inputs_fail_before_the_first_prompt)
{
    expect_failure("1 2", "Input_1.bmp: nie można otworzyć pliku: nie ma takiego pliku");
    put("Input_1.bmp", make_bmp({5, 3}, pic1));
    expect_failure("1 2", "Input_2.bmp: nie można otworzyć pliku: nie ma takiego pliku");
    fs::create_directory(dir / "Input_2.bmp");
    expect_failure("1 2", "Input_2.bmp: to jest katalog, a nie plik");
    fs::remove(dir / "Input_2.bmp");
    put("Input_2.bmp", make_bmp({5, 2}, pic2));
    expect_failure("1 2", "Input_2.bmp: obraz 5×2 jest mniejszy niż Input_1.bmp (5×3)");
    auto truncated = make_bmp({5, 3}, pic1);
    truncated.pop_back();
    put("Input_1.bmp", truncated);
    expect_failure("1 2", "Input_1.bmp: plik jest ucięty: obraz 5×3 wymaga 48 B pikseli od bajtu "
                          "122, a plik ma 169 B");
    put("Input_1.bmp", make_bmp({5, 3, 108, 0, 32}, pic1));
    expect_failure("1 2", "Input_1.bmp: nieobsługiwana liczba bitów na piksel: 32 (wymagane 24)");
}

TEST_F(cli, an_output_that_cannot_be_replaced_stays_as_it_was)
{
    put_pair();
    fs::create_directories(dir / "Output.bmp" / "inside");
    run_result r = run("1 2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, prompt_x + prompt_y);
    EXPECT_EQ(r.err, "Output.bmp: nie można zapisać pliku: to jest katalog, a nie plik\n");
    EXPECT_TRUE(fs::is_directory(dir / "Output.bmp" / "inside"));
    EXPECT_EQ(others(), std::vector<std::string>{"Output.bmp"});
}

// The inputs are mapped, not copied: one cut short by another program while
// ripple waits for the centre must still end in a clean failure.
TEST_F(cli, an_input_truncated_during_the_run_is_reported)
{
    put_pair({4000, 400}, {4000, 400});
    put("Output.bmp", {'o', 'l', 'd'});
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int err = open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (chdir(dir.c_str()) != 0 || err < 0)
            _exit(127);
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        dup2(err, 2);
        close(to_child[1]);
        close(from_child[0]);
        execl(RIPPLE_EXE, RIPPLE_EXE, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    std::string out;
    char buf[256];
    while (out.find(prompt_x) == std::string::npos) {
        ssize_t n = read(from_child[0], buf, sizeof buf);
        ASSERT_GT(n, 0) << "no prompt";
        out.append(buf, std::size_t(n));
    }
    fs::resize_file(dir / "Input_2.bmp", 1000);
    ASSERT_EQ(write(to_child[1], "1 2\n", 4), 4);
    close(to_child[1]);
    while (read(from_child[0], buf, sizeof buf) > 0) {
    }
    close(from_child[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(read_text(dir / "stderr.txt"), "Input_2.bmp: plik został skrócony w trakcie odczytu\n");
    fs::remove(dir / "stderr.txt");
    EXPECT_EQ(read_text(dir / "Output.bmp"), "old");
    EXPECT_EQ(others(), std::vector<std::string>{"Output.bmp"});
}

// Every malformed input, as either file: refused before the first prompt
// with one line naming it, without allocating what its header claims.
TEST_F(cli, refuses_every_malformed_input_before_asking)
{
    const std::vector<std::uint8_t> old{'o', 'l', 'd'};
    for (const char* name : {"Input_1.bmp", "Input_2.bmp"})
        for (const bad_input& c : bad_inputs()) {
            SCOPED_TRACE(std::string(name) + ", " + c.what);
            put_pair();
            put(name, c.bytes);
            put("Output.bmp", old);
            run_result r = run("1 2\n", true);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind(std::string(name) + ": ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            EXPECT_EQ(read_bytes(dir / "Output.bmp"), old);
            EXPECT_EQ(others(), std::vector<std::string>{"Output.bmp"});
        }
}

TEST_F(cli, running_out_of_memory_leaves_the_output_alone)
{
    if (!can_limit)
        GTEST_SKIP() << "no address-space limit under AddressSanitizer";
    // Two 27 MB inputs fit in 70 MB of address space; the output's block
    // does not.
    put_pair({3000, 3000}, {3000, 3000});
    put("Output.bmp", {'o', 'l', 'd'});
    run_result r = run("1 2\n", true, "70000");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, prompt_x + prompt_y);
    EXPECT_EQ(r.err, "Output.bmp: za mało pamięci na 27000000 B pikseli\n");
    EXPECT_EQ(read_text(dir / "Output.bmp"), "old");
    EXPECT_EQ(others(), std::vector<std::string>{"Output.bmp"});
}
